#include "CliSniff.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CliOptions.h"
#include "CliOutput.h"
#include "ConsoleHost.h"
#include "protocol/CommandTable.h"
#include "serial/PortMap.h"
#include "serial/RawLine.h"

namespace cli {

namespace {

constexpr size_t kChunk = 4096;
// Past these the side that cannot keep up is no longer read: the kernel's buffers then hold
// the rest, as a real line's would.
constexpr size_t kMostToCamera = size_t(64) << 10;
constexpr size_t kMostToProgram = size_t(1) << 20;
// A request the program has only partly written is traced as it stands after this long.
constexpr int kFrameWaitMs = 200;
constexpr uint8_t kRequestHeader = 4;  // 56 SN command length

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// The length of the request at the front of `bytes`: 0 while it is incomplete; a run of bytes
// that is no request ends at the next request byte.
size_t RequestLength(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return 0;
  if (bytes[0] != kRequestByte) {
    auto next = std::find(bytes.begin() + 1, bytes.end(), kRequestByte);
    return static_cast<size_t>(next - bytes.begin());
  }
  if (bytes.size() < kRequestHeader) return 0;
  const size_t whole = kRequestHeader + bytes[3];
  return bytes.size() >= whole ? whole : 0;
}

// Drops the link only while it is still ours: another sniffer may have taken the name since.
void RemoveLinkTo(const std::string& link, const std::string& target) {
  char buffer[4096];
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n > 0 && std::string(buffer, static_cast<size_t>(n)) == target) unlink(link.c_str());
}

}  // namespace

CSniffer::CSniffer(ResultWriter& writer, CConsoleHost& host) : m_writer(writer), m_host(host) {
  m_stop = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CSniffer::~CSniffer() {
  Close();
  if (m_stop >= 0) ::close(m_stop);
}

void CSniffer::Stop() {
  const uint64_t one = 1;
  (void)!::write(m_stop, &one, sizeof one);
}

void CSniffer::Close() {
  if (m_bLinkMade) RemoveLinkTo(m_options.link, m_ptyPath);
  m_bLinkMade = false;
  if (m_capture.IsOpen() && !m_capture.Finish())
    m_writer.Error("sniff: --pcapng: " + m_capture.Error());
  if (m_slave >= 0) ::close(m_slave);
  if (m_master >= 0) ::close(m_master);
  CloseRawLine(m_line);
  m_slave = m_master = m_line = -1;
}

std::string CSniffer::Open(const SniffOptions& options) {
  Close();
  m_options = options;
  if (m_stop < 0) return Errno("eventfd");
  std::string error;
  m_line = OpenRawLine(options.device, options.baud, error);
  if (m_line < 0) return error;
  m_lineSpeed = options.baud;

  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[256];
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
      ptsname_r(m_master, name, sizeof name) != 0)
    return Errno("pseudo-terminal");
  m_ptyPath = name;
  m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m_slave < 0) return Errno(m_ptyPath);
  // The program finds a raw line at the port's rate, so bytes pass unchanged even if it never
  // sets the line up. EXTPROC makes every settings change of the program a packet-mode event.
  termios tio{};
  if (tcgetattr(m_slave, &tio) != 0) return Errno(m_ptyPath);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_lflag |= EXTPROC;
  if (tcsetattr(m_slave, TCSANOW, &tio) != 0 || SetRawLineSpeed(m_slave, options.baud) != 0)
    return Errno(m_ptyPath);
  int on = 1;
  if (ioctl(m_master, TIOCPKT, &on) != 0) return Errno("packet mode");
  m_programSpeed = options.baud;

  // The link: replaced when it is a link (left by an earlier run), never when it is anything
  // else the user keeps under that name.
  struct stat st {};
  if (lstat(options.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    return options.link + " exists and is not a symbolic link; choose another --link";
  const std::string temporary = options.link + ".new" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(m_ptyPath.c_str(), temporary.c_str()) != 0) return Errno("link " + options.link);
  if (rename(temporary.c_str(), options.link.c_str()) != 0) {
    const std::string why = Errno("link " + options.link);
    unlink(temporary.c_str());
    return why;
  }
  m_bLinkMade = true;
  if (!options.pcapng.empty() && !m_capture.Open(options.pcapng, "brevant-cli sniff", options.device))
    return "--pcapng: " + m_capture.Error();
  return "";
}

void CSniffer::Trace(bool transmit, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  m_host.TraceBytes(transmit, bytes, count);
  if (m_capture.IsOpen()) m_capture.Feed(transmit, bytes, count, pcapng::NowUs());
  if (m_tap) m_tap(transmit, bytes, count);
}

// The program's bytes as requests: the decoder takes one request per frame sent.
void CSniffer::TraceSent(bool flushAll) {
  for (;;) {
    size_t n = RequestLength(m_sentUnframed);
    if (n == 0 && flushAll) n = m_sentUnframed.size();
    if (n == 0) return;
    Trace(true, m_sentUnframed.data(), n);
    m_sentUnframed.erase(m_sentUnframed.begin(), m_sentUnframed.begin() + static_cast<long>(n));
  }
}

void CSniffer::CheckProgramSpeed() {
  const unsigned speed = ::LineSpeed(m_master);  // the program's side's settings
  if (speed == 0 || speed == m_programSpeed) return;
  m_programSpeed = speed;
  if (m_pendingSpeed == 0) m_speedAt = m_toCamera.size();
  m_pendingSpeed = speed;
}

// The rate changes once the bytes sent before it are on the wire; the wait is bounded by
// their time at the old rate and ends at once on Stop.
bool CSniffer::ApplyPendingSpeed() {
  if (m_pendingSpeed == 0 || m_speedAt != 0) return true;
  const unsigned old = m_lineSpeed.load();
  for (int queued = 0; ioctl(m_line, TIOCOUTQ, &queued) == 0 && queued > 0;) {
    pollfd stop{m_stop, POLLIN, 0};
    const int ms = static_cast<int>(std::min<long long>(1000, 1 + queued * 10000LL / std::max(old, 1u)));
    if (poll(&stop, 1, ms) != 0) return true;  // stopping: the rate no longer matters
    int still = 0;
    if (ioctl(m_line, TIOCOUTQ, &still) == 0 && still >= queued) break;  // not draining
  }
  const unsigned speed = m_pendingSpeed;
  m_pendingSpeed = 0;
  if (SetRawLineSpeed(m_line, speed) != 0) {
    m_writer.Error("sniff: " + m_options.device + " does not take " + std::to_string(speed) +
                   " baud (" + std::strerror(errno) + "); it stays at " + std::to_string(old));
    return true;
  }
  m_lineSpeed = speed;
  ResultLine line;
  line.command = "sniff";
  line.fields = {Field::Str("event", "rate"), Field::Int("baud", speed)};
  line.text = m_options.device + " now at " + std::to_string(speed) + " baud, as the program set";
  m_writer.Result(line);
  return true;
}

bool CSniffer::ReadProgram() {
  uint8_t buffer[kChunk + 1];
  const ssize_t n = ::read(m_master, buffer, sizeof buffer);
  if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;  // EIO: nobody on it yet
  if (n == 0) return true;
  // Packet mode: a leading 0 carries data; anything else is a change of the program's side.
  CheckProgramSpeed();
  if (buffer[0] != TIOCPKT_DATA || n == 1) return true;
  const size_t count = static_cast<size_t>(n - 1);
  m_toCamera.insert(m_toCamera.end(), buffer + 1, buffer + n);
  m_sentUnframed.insert(m_sentUnframed.end(), buffer + 1, buffer + n);
  m_toCameraTotal += count;
  TraceSent(false);
  return true;
}

bool CSniffer::ReadCamera() {
  uint8_t buffer[kChunk];
  const ssize_t n = ::read(m_line, buffer, sizeof buffer);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return true;
    m_failure = Errno(m_options.device);
    return false;
  }
  if (n == 0) return true;
  // A request the program left unfinished is told before the camera's answer.
  TraceSent(true);
  Trace(false, buffer, static_cast<size_t>(n));
  m_toProgram.insert(m_toProgram.end(), buffer, buffer + n);
  m_fromCameraTotal += static_cast<uint64_t>(n);
  return true;
}

bool CSniffer::WriteCamera() {
  const size_t limit = m_pendingSpeed != 0 ? m_speedAt : m_toCamera.size();
  if (limit == 0) return ApplyPendingSpeed();
  const ssize_t n = ::write(m_line, m_toCamera.data(), limit);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return true;
    m_failure = Errno(m_options.device);
    return false;
  }
  m_toCamera.erase(m_toCamera.begin(), m_toCamera.begin() + n);
  if (m_pendingSpeed != 0) m_speedAt -= static_cast<size_t>(n);
  return ApplyPendingSpeed();
}

bool CSniffer::WriteProgram() {
  const ssize_t n = ::write(m_master, m_toProgram.data(), m_toProgram.size());
  if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
  m_toProgram.erase(m_toProgram.begin(), m_toProgram.begin() + n);
  return true;
}

int CSniffer::Run() {
  if (m_line < 0 || m_master < 0) return kExitLine;
  for (;;) {
    pollfd fds[3] = {{m_stop, POLLIN, 0}, {m_master, 0, 0}, {m_line, 0, 0}};
    if (m_toCamera.size() < kMostToCamera) fds[1].events |= POLLIN;
    if (!m_toProgram.empty()) fds[1].events |= POLLOUT;
    if (m_toProgram.size() < kMostToProgram) fds[2].events |= POLLIN;
    if (!m_toCamera.empty() || m_pendingSpeed != 0) fds[2].events |= POLLOUT;
    const int ready = poll(fds, 3, m_sentUnframed.empty() ? -1 : kFrameWaitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      m_failure = Errno("poll");
      break;
    }
    if (fds[0].revents) break;
    if (ready == 0) TraceSent(true);
    // Reads before writes: what is read now goes out in this same pass.
    if (fds[1].revents & (POLLERR | POLLNVAL)) {  // never while the held slave is open
      m_failure = m_ptyPath + ": the pseudo-terminal failed";
      break;
    }
    if ((fds[1].revents & POLLIN) && !ReadProgram()) break;
    if ((fds[2].revents & POLLIN) && !ReadCamera()) break;
    if ((fds[2].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[2].revents & POLLIN)) {
      m_failure = m_options.device + ": the line hung up";
      break;
    }
    if ((fds[2].revents & POLLOUT) && !WriteCamera()) break;
    if ((fds[1].revents & POLLOUT) && !WriteProgram()) break;
  }
  TraceSent(true);
  if (!m_failure.empty()) {
    m_writer.Error("sniff: " + m_failure);
    return kExitLine;
  }
  return kExitOk;
}

int RunSniffCommand(const GlobalOptions& global, const CommandPlan& plan, ResultWriter& writer,
                    const std::atomic<bool>& interrupted, std::mutex& guard, CSniffer*& running) {
  const PortName port = GlobalPortMap().Resolve(global.port);
  SniffOptions options;
  options.device = port.number > 0 && port.device.empty() ? GlobalPortMap().DeviceFor(port.number)
                                                          : port.device;
  options.baud = global.baud;
  options.link = plan.linkPath;
  options.pcapng = global.pcapng;
  if (options.device.empty()) {
    writer.Error("sniff: no serial device is mapped to " + global.port);
    return kExitLine;
  }
  // Searching would talk to the camera on the program's behalf; the program sets the rate.
  if (global.autoBaud) {
    writer.Error("sniff: --baud auto does not apply: the port starts at --baud N and then "
                 "follows the rate the program sets");
    return kExitUsage;
  }
  CConsoleHost host(&writer, true);
  host.SetDecode(!global.trace || global.decode);  // --trace alone: the plain hex trace
  CSniffer sniffer(writer, host);
  {
    std::lock_guard<std::mutex> lock(guard);
    running = &sniffer;
  }
  int status = kExitLine;
  const std::string problem = sniffer.Open(options);
  if (!problem.empty()) {
    writer.Error("sniff: " + problem);
  } else {
    ResultLine ready;
    ready.command = "sniff";
    ready.fields = {Field::Str("event", "ready"), Field::Str("link", options.link),
                    Field::Str("pty", sniffer.PtyPath()), Field::Str("port", options.device),
                    Field::Int("baud", options.baud)};
    ready.text = "open " + options.link + " (" + sniffer.PtyPath() + ") instead of " +
                 options.device + ", at " + std::to_string(options.baud) + " baud";
    writer.Result(ready);
    if (interrupted) sniffer.Stop();
    status = sniffer.Run();
    host.FinishTrace();
    ResultLine done;
    done.command = "sniff";
    done.fields = {Field::Str("event", "end"), Field::Int("to_camera", static_cast<long long>(sniffer.BytesToCamera())),
                   Field::Int("from_camera", static_cast<long long>(sniffer.BytesFromCamera()))};
    done.text = std::to_string(sniffer.BytesToCamera()) + " bytes to the camera, " +
                std::to_string(sniffer.BytesFromCamera()) + " from it";
    writer.Result(done);
  }
  {
    std::lock_guard<std::mutex> lock(guard);
    running = nullptr;
  }
  return status;
}

}  // namespace cli
