#include "controls/UiMessageBox.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <mutex>

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
  QMetaObject::invokeMethod(
      app, [guardedParent, box] { ShowOnGuiThread(guardedParent.data(), box); },
      Qt::QueuedConnection);
  return IDOK;
}

bool ReadInt(QWidget* parent, QLineEdit* edit, long long& value) {
  bool ok = false;
  const long long v = edit->text().trimmed().toLongLong(&ok);
  if (!ok) {
    ShowMessageBox(parent, "Please enter an integer.", "Brevant", MsgIcon::Warning);
    return false;
  }
  value = v;
  return true;
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
