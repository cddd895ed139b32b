#pragma once
// CMainApp: the application object. It runs the main window and ends when the window
// closes; with --demo-capture it also drives one capture by itself (demo, screenshots).
#include <QApplication>

#include "app/AppOptions.h"

class CMainApp : public QApplication {
 public:
  CMainApp(int& argc, char** argv);
  int InitInstance(const AppOptions& options);
};
