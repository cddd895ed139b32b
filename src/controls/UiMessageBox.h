#pragma once
// Every message box the user interface raises goes through ShowMessageBox, so tests can
// record and answer boxes instead of blocking on them, and boxes asked for by worker
// threads are shown by the GUI thread without making the worker wait.
#include <QString>
#include <functional>
#include <mutex>
#include <string>

#include "common/MessageSink.h"

class QWidget;
class QLineEdit;

struct BoxRecord {
  std::string text;
  std::string caption;
  MsgIcon icon = MsgIcon::None;
  MsgButtons buttons = MsgButtons::Ok;
};

// Tests install a hook: it receives every box and returns IDOK or IDCANCEL.
// Pass an empty function to restore real boxes.
void SetMessageBoxHook(std::function<int(const BoxRecord&)> hook);

// Shows a modal box on the GUI thread and returns IDOK/IDCANCEL. Called from any other
// thread it is posted to the GUI thread and returns IDOK at once.
int ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption,
                   MsgIcon icon, MsgButtons buttons = MsgButtons::Ok);

// A MessageSink for code that has no widget at hand (decoder, engine).
class UiMessageSink : public MessageSink {
 public:
  explicit UiMessageSink(QWidget* parent = nullptr) : m_pParent(parent) {}
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons buttons) override {
    return ShowMessageBox(m_pParent, text, caption, icon, buttons);
  }

 private:
  QWidget* m_pParent;
};

// The decoder's boxes: one open at a time. On a noisy line every damaged picture of a
// continuous capture raises one; the operator gets the first as a box, the ones that come
// while it is open go to `log` only, and closing the box logs how many there were. The
// caller never waits for the operator.
class CDecoderBoxSink : public MessageSink {
 public:
  CDecoderBoxSink(QWidget* parent, std::function<void(const std::string&)> log)
      : m_pParent(parent), m_log(std::move(log)) {}
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons buttons) override;

 private:
  void ShowAndRelease(const BoxRecord& box);

  QWidget* m_pParent;
  std::function<void(const std::string&)> m_log;
  std::mutex m_mutex;  // guards the two below
  bool m_bOpen = false;
  int m_nHeld = 0;
};

// Range-checked integer exchange, as the dialog framework does it: on a value that is not
// an integer within [min, max] the standard message naming both bounds is shown
// ("Please enter an integer between %d and %d.") and false is returned. A well-formed
// integer outside the range is still stored in value (some handlers go on with what was
// read); text that is not an integer (empty included) leaves value unchanged. Callers that
// must keep the previous value on failure restore it themselves.
bool ReadIntInRange(QWidget* parent, QLineEdit* edit, long long minimum, long long maximum,
                    long long& value);

// The default beep (keystroke filters).
void Beep();
