#pragma once
// Pictures of the main window and of every feature dialog, taken against the camera on
// COM1 (the README's screenshots, and a quick way to show someone what a camera offers).
#include <QString>

class CMainDlg;

// Runs the window until every picture is saved in `folder` (created if missing); 0 when
// all of them were written.
int RunScreenshots(CMainDlg& dlg, const QString& folder);
