#include "controls/UiMessageBox.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <mutex>

#include "controls/GuiPost.h"

namespace {
std::mutex g_hookMutex;
std::function<int(const BoxRecord&)> g_hook;

QMessageBox::Icon ToQtIcon(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Warning: return QMessageBox::Warning;
    case MsgIcon::Error: return QMessageBox::Critical;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

int ShowOnGuiThread(QWidget* parent, const BoxRecord& box) {
  {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    if (g_hook) return g_hook(box);
  }
  QMessageBox mb(ToQtIcon(box.icon), QString::fromStdString(box.caption),
                 QString::fromStdString(box.text),
                 box.buttons == MsgButtons::OkCancel ? (QMessageBox::Ok | QMessageBox::Cancel)
                                                     : QMessageBox::Ok,
                 parent);
  return mb.exec() == QMessageBox::Ok ? IDOK : IDCANCEL;
}
}  // namespace

void SetMessageBoxHook(std::function<int(const BoxRecord&)> hook) {
  std::lock_guard<std::mutex> lock(g_hookMutex);
  g_hook = std::move(hook);
}

int ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption,
                   MsgIcon icon, MsgButtons buttons) {
  BoxRecord box{text, caption, icon, buttons};
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) return ShowOnGuiThread(parent, box);
  // A worker never waits for the operator: the box is shown later by the GUI thread.
  QPointer<QWidget> guardedParent(parent);
  PostToGui(app, [guardedParent, box] { ShowOnGuiThread(guardedParent.data(), box); });
  return IDOK;
}

int CDecoderBoxSink::ShowMessage(const std::string& text, const std::string& caption,
                                  MsgIcon icon, MsgButtons buttons) {
  bool held;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    held = m_bOpen;
    if (held) ++m_nHeld;
    m_bOpen = true;
  }
  if (held) {
    std::string line = caption + ": " + text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    m_log(line);
    return IDOK;
  }
  const BoxRecord box{text, caption, icon, buttons};
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    ShowAndRelease(box);
  } else {
    // Queued on the owner of this sink, so it is dropped if the window is gone.
    QObject* context = m_pParent ? static_cast<QObject*>(m_pParent) : app;
    PostToGui(context, [this, box] { ShowAndRelease(box); });
  }
  return IDOK;
}

void CDecoderBoxSink::ShowAndRelease(const BoxRecord& box) {
  ShowOnGuiThread(m_pParent, box);
  int held;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    held = m_nHeld;
    m_nHeld = 0;
    m_bOpen = false;
  }
  if (held > 0)
    m_log(std::to_string(held) + (held == 1 ? " more picture error" : " more picture errors") +
          " came while the \"" + box.caption + "\" box was open (see the log)");
}

bool ReadIntInRange(QWidget* parent, QLineEdit* edit, long long minimum, long long maximum,
                    long long& value) {
  bool ok = false;
  const long long v = edit->text().trimmed().toLongLong(&ok);
  if (ok) value = v;
  if (!ok || v < minimum || v > maximum) {
    ShowMessageBox(parent,
                   "Please enter an integer between " + std::to_string(minimum) + " and " +
                       std::to_string(maximum) + ".",
                   "Brevant", MsgIcon::Warning);
    return false;
  }
  return true;
}

void Beep() { QApplication::beep(); }
