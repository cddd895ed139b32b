#pragma once
// The one way this program raises a message box. The GUI shows a real box (from a worker
// thread it is posted to the GUI thread and the worker goes on); tests and the CLI record it.
#include <string>

enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgButtons { Ok, OkCancel };

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Returns IDOK or IDCANCEL. A box raised off the GUI thread never blocks its caller and
  // returns IDOK.
  virtual int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                          MsgButtons buttons) = 0;
};

// A sink that drops every box; for callers that have nowhere to show one.
class NullMessageSink : public MessageSink {
 public:
  int ShowMessage(const std::string&, const std::string&, MsgIcon, MsgButtons) override {
    return IDOK;
  }
};
