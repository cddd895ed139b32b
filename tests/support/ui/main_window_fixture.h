#pragma once
// The main window for the window tests: a fresh window per test (its save folder a scratch
// folder), every box recorded and answered with m_answer, the virtual camera on COM1, and
// the window's controls by identifier. A test class derives from QObject and this, and
// calls SetUpWindow / TearDownWindow from its init / cleanup slots.
#include <QComboBox>
#include <QPushButton>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/MainDlg.h"
#include "camsim/CamSim.h"
#include "controls/ControlName.h"
#include "controls/UiMessageBox.h"
#include "test_support.h"

class CMainWindowFixture {
 protected:
  void SetUpWindow();
  // The window goes first: closing it closes the port and joins the engine's threads.
  void TearDownWindow();

  template <typename T = QWidget>
  T* W(int id) {
    T* w = FindControl<T>(m_dlg.get(), id);
    if (!w) qFatal("control id%d missing", id);
    return w;
  }
  QPushButton* B(int id) { return W<QPushButton>(id); }
  QComboBox* C(int id) { return W<QComboBox>(id); }

  std::vector<BoxRecord> Boxes();
  bool Sent(const std::string& hex);         // the camera heard this request
  bool AnyLine(const std::string& text);     // a recent log line contains text
  int LineCount(const std::string& text);    // recent log lines containing text
  bool Quiet() { return !m_dlg->AwaitingReplies(); }

  // The virtual camera, mapped to COM1.
  void StartCamera(const CamSimOptions& options = {});
  void StartCamera(const std::string& model);
  // "Open" on COM1 (at the camera's rate when it has one), then waits until identification
  // and the replies it asks for are done.
  void OpenAndIdentify();

  // A fresh picture folder per test, and its path as the window takes it.
  std::unique_ptr<testsupport::TempFolder> m_dir;
  QString DirPath() const { return QString::fromStdString(m_dir->Path()); }
  std::unique_ptr<CCamSim> m_sim;
  std::unique_ptr<CMainDlg> m_dlg;
  int m_answer = IDOK;  // what boxes with OK and Cancel are answered

 private:
  unsigned m_cameraBaud = 0;
  std::mutex m_boxMutex;
  std::vector<BoxRecord> m_boxes;
};
