#pragma once
// Pictures of the main window and of every feature dialog, taken against the camera on
// COM1 (the README's screenshots, and a quick way to show someone what a camera offers).
#include <QString>

class CMainDlg;
struct CommandResult;

// What a result says about a capture a driver started: its picture is in, shown and timed
// (Captured), its transfer ended without a picture (Failed), or neither.
enum class CaptureEnd { None, Captured, Failed };
CaptureEnd CaptureEndOf(const CommandResult& result);

// Runs the window until every picture is saved in `folder` (created if missing); 0 when
// all of them were written.
int RunScreenshots(CMainDlg& dlg, const QString& folder);
