#pragma once
// One capture without a window: open COM1 at 38400, ask the version, take a picture, save
// it under its timestamped name in the pictures folder and print where it is.
// Returns the process exit code.
int RunHeadlessCapture();
