#include "StationPrompt.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <optional>

#include "StationEvents.h"
#include "station/CameraRun.h"

namespace cli {

namespace {

// The terminal's modes while a prompt holds it in single-key mode, so an exit that skips
// the prompt's unwinding (a second Ctrl+C) can still put them back. One lock: the mode is
// changed, or put back, and recorded as one step.
std::mutex g_terminalMutex;
int g_terminalFd = -1;
termios g_terminalSaved{};

// The terminal in single-key mode (no line editing, no echo) for as long as it lives.
class CKeyMode {
 public:
  explicit CKeyMode(int fd) {
    std::lock_guard<std::mutex> lock(g_terminalMutex);
    termios saved{};
    if (g_terminalFd >= 0 || tcgetattr(fd, &saved) != 0) return;
    termios keys = saved;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &keys) != 0) return;
    g_terminalFd = fd;
    g_terminalSaved = saved;
    m_set = true;
  }
  ~CKeyMode() {
    if (m_set) RestoreTerminalModes();
  }

 private:
  bool m_set = false;
};

}  // namespace

void RestoreTerminalModes() {
  std::lock_guard<std::mutex> lock(g_terminalMutex);
  if (g_terminalFd < 0) return;
  tcsetattr(g_terminalFd, TCSANOW, &g_terminalSaved);
  g_terminalFd = -1;
}

CStationOperator::CStationOperator(int input, bool answers)
    : m_input(input),
      m_source(answers ? Source::Answers : isatty(input) == 1 ? Source::Terminal : Source::None),
      m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CStationOperator::~CStationOperator() {
  if (m_wake >= 0) close(m_wake);
}

void CStationOperator::Wake() {
  // Left readable: every wait after an interrupt ends at once too.
  const uint64_t one = 1;
  if (m_wake >= 0) (void)!write(m_wake, &one, sizeof one);
}

int CStationOperator::Take(const std::string& port, bool& eof) {
  char bytes[256];
  const ssize_t n = read(m_input, bytes, sizeof bytes);
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) eof = true;
  if (n <= 0) return -1;
  if (m_source == Source::Terminal) {
    for (ssize_t i = 0; i < n; ++i) {
      const int key = std::tolower(static_cast<unsigned char>(bytes[i]));
      if (key == 'p' || key == 'y') return 1;
      if (key == 'f' || key == 'n') return 0;
    }
    return -1;
  }
  m_pending.append(bytes, static_cast<size_t>(n));
  for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
    const std::string line = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    const OperatorAnswer answer = ParseOperatorAnswer(line, port);
    if (answer != OperatorAnswer::None) return answer == OperatorAnswer::Pass ? 1 : 0;
  }
  // A line without an end that grows past any answer is not one.
  if (m_pending.size() > 4096) m_pending.clear();
  return -1;
}

int CStationOperator::Ask(const std::string& port, unsigned timeoutMs, std::string& why) {
  if (m_source == Source::None) {
    why = "prompt: no operator to answer (stdin is not a terminal; a program answers with --events)";
    return station::kStepCameraFailure;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  std::optional<CKeyMode> keys;
  if (m_source == Source::Terminal) keys.emplace(m_input);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool eof = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd fds[2] = {{m_input, POLLIN, 0}, {m_wake, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      why = "interrupted";
      return station::kStepInterrupted;
    }
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
    const int answer = Take(port, eof);
    if (answer == 1) return station::kStepPassed;
    if (answer == 0) {
      why = "the operator answered fail";
      return station::kStepCameraFailure;
    }
    if (eof) {
      why = "prompt: the operator's input closed before an answer";
      return station::kStepCameraFailure;
    }
  }
  why = "prompt: no answer in " + std::to_string((timeoutMs + 999) / 1000) + " s";
  return station::kStepCameraFailure;
}

StartWait WaitForStartLine(int input, int wakeFd, std::string& unitList) {
  std::string line;
  for (;;) {
    pollfd fds[2] = {{input, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return StartWait::Closed;
    if (fds[1].revents & POLLIN) return StartWait::Interrupted;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
    // A byte at a time: the line is short, and a read past its end would take an answer
    // the prompt must see.
    char c = 0;
    const ssize_t n = read(input, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return StartWait::Closed;
    if (c != '\n') {
      // Past any start line: not one, and not to be kept growing.
      if (line.size() < 4096) line += c;
      continue;
    }
    if (ParseStartLine(line, unitList)) return StartWait::Started;
    line.clear();
  }
}

}  // namespace cli
