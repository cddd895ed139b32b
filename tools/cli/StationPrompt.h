#pragma once
// The operator a prompt step asks: over the events' answers on an input stream (a program
// drives the station), or with a key on the terminal. One question at a time: there is one
// operator. Every wait ends at the prompt's time-out, at an answer, or at Wake().
#include <mutex>
#include <string>

namespace cli {

class CStationOperator {
 public:
  enum class Source { None, Terminal, Answers };
  // input: the descriptor answers or keys are read from (stdin); answers: whether a program
  // answers there, one line each, else a terminal on input is asked for a key.
  CStationOperator(int input, bool answers);
  ~CStationOperator();
  CStationOperator(const CStationOperator&) = delete;
  CStationOperator& operator=(const CStationOperator&) = delete;

  Source From() const { return m_source; }
  // The keys a terminal answers with, for the question's text.
  static constexpr const char* kKeys = "p pass / f fail";

  // Waits for the answer to the question for port. Returns the step's status: passed (0),
  // failed by the operator, nobody answered in timeoutMs or nobody can (1), interrupted
  // (130); why says the reason when it did not pass.
  int Ask(const std::string& port, unsigned timeoutMs, std::string& why);
  // From any thread: ends a wait under way and every one after it.
  void Wake();

 private:
  // 1 pass, 0 fail, -1 nothing yet; throws nothing. eof: the input closed.
  int Take(const std::string& port, bool& eof);

  int m_input;
  Source m_source;
  int m_wake = -1;
  std::mutex m_mutex;  // one question at a time
  std::string m_pending;  // answer bytes read past a line's end
};

// A station loaded ahead of its run waits on input for its start line (ParseStartLine),
// reading no byte past it: what follows are the operator's answers. wakeFd readable ends
// the wait (an interrupt).
enum class StartWait { Started, Closed, Interrupted };
StartWait WaitForStartLine(int input, int wakeFd, std::string& unitList);

// Puts back the terminal a prompt has in single-key mode, if one has: for a second
// interrupt, which ends the program at once without unwinding the prompt's wait.
void RestoreTerminalModes();

}  // namespace cli
