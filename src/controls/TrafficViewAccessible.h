#pragma once
// What assistive technology reads of the traffic view: the lines on screen as text (the
// desktop's text interface, with the caret and the selection), as from a read-only text box.

// Registers the view's accessible interface with Qt; safe to call more than once.
void InstallTrafficViewAccessible();
