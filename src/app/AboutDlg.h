#pragma once
#include <QDialog>

// "About Brevant": the icon, "Brevant 2.11" and an OK button.
class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};
