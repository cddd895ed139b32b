#include "serial/SerialChannel.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/BoundedClose.h"
#include "serial/LowLatency.h"
#include "serial/NetworkPort.h"
#include "serial/PortMap.h"
#include "serial/SerialSpeed.h"

namespace {

constexpr size_t kChunkSize = 8192;

struct SpeedCode {
  unsigned baud;
  speed_t code;
};

constexpr SpeedCode kSpeedCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};


std::string ErrorText(int errnum) { return std::system_category().message(errnum); }

// Errors after which the device is gone for good (unplugged adapter, hung-up terminal).
bool IsLineGone(int errnum) {
  return errnum == EIO || errnum == ENXIO || errnum == ENODEV || errnum == EPIPE ||
         errnum == EBADF || errnum == ECONNRESET || errnum == ECONNABORTED || errnum == ETIMEDOUT ||
         errnum == EHOSTUNREACH || errnum == ENETUNREACH || errnum == ENETDOWN || errnum == ENOTCONN;
}

void Signal(int eventFd) {
  const uint64_t one = 1;
  ssize_t ignored = ::write(eventFd, &one, sizeof one);
  (void)ignored;  // a saturated counter is still signalled
}

void Drain(int eventFd) {
  uint64_t count = 0;
  ssize_t ignored = ::read(eventFd, &count, sizeof count);
  (void)ignored;
}

// The text of the "Application Error" box for a port operation that failed.
std::string StepFailure(const char* step, const std::string& why, unsigned port) {
  return std::string("WARNING:  ") + step + " Failed with the following error: \n" + why +
         "\nPort: " + std::to_string(port) + "\n";
}

// The group that owns the device node, so the advice matches this distribution.
std::string OwningGroup(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) == 0 && st.st_gid != 0) {
    std::vector<char> buffer(4096);
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
      return found->gr_name;
  }
  return "dialout";
}

// The operator hears about a device without low latency once per run, not at every reopen.
bool FirstLatencyNotice(const std::string& device) {
  static std::mutex lock;
  static std::set<std::string> told;
  std::lock_guard<std::mutex> guard(lock);
  return told.insert(device).second;
}

// A raw TCP port carries no line settings; the operator hears so once per address and run.
bool FirstRawTcpNotice(const std::string& address) {
  static std::mutex lock;
  static std::set<std::string> told;
  std::lock_guard<std::mutex> guard(lock);
  return told.insert(address).second;
}

// Discards output not yet on the line. A port server is asked to, best effort: the
// command goes behind whatever the socket still holds, never waiting for room.
void FlushOutput(int fd, bool portServer) {
  if (!portServer) {
    tcflush(fd, TCOFLUSH);
    return;
  }
  const std::vector<uint8_t> purge = telnet::PurgeOutput();
  ssize_t ignored = ::send(fd, purge.data(), purge.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
}

// Gives the device its output back before closing (nothing left for the driver to drain,
// which is what can make close() wait), then closes it within a bound.
int ReleaseDevice(int fd, const LowLatencyState& lowLatency, bool portServer) {
  FlushOutput(fd, portServer);
  RestoreLowLatency(fd, lowLatency);
  return CloseWithin(fd, std::chrono::milliseconds(800));
}

}  // namespace

bool LookupSpeed(unsigned baud, speed_t* code) {
  for (const SpeedCode& entry : kSpeedCodes) {
    if (entry.baud == baud) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

unsigned LineSpeed(int fd) {
  if (const unsigned exact = ReadArbitrarySpeed(fd)) return exact;
  // Where the exact rate cannot be read (an emulator without TCGETS2), the Bnnn code can.
  termios tio {};
  if (tcgetattr(fd, &tio) != 0) return 0;
  const speed_t code = cfgetospeed(&tio);
  for (const SpeedCode& entry : kSpeedCodes)
    if (entry.code == code) return entry.baud;
  return 0;
}

// Everything the monitor thread needs, fixed before it starts and never changed while it runs.
struct MonitorContext {
  int fd;
  int shutdownFd;
  int writeFd;
  SerialOwner* owner;
  ReceiveSink* sink;
  unsigned port;
  unsigned baud;
  std::string device;
  bool socket;               // a network port: send/recv instead of write/read
  telnet::CDecoder* telnet;  // RFC 2217: the stream is telnet; null for raw TCP
};

struct CSerialChannel::Impl {
  // Changed only by Open/Close on the controlling thread.
  int fd = -1;
  int shutdownFd = -1;
  int writeFd = -1;
  std::thread monitor;
  LowLatencyState lowLatency;  // what to undo at close
  bool socket = false;
  std::shared_ptr<telnet::CDecoder> telnet;

  std::atomic<uint32_t> rxByteCount{0};
  std::atomic<uint8_t> receiveIdle{0};

  // Guards everything below; senders on any thread, the monitor and Open/Close meet here.
  mutable std::mutex lock;
  SerialOwner* owner = nullptr;
  ReceiveSink* sink = nullptr;
  unsigned port = 0;
  unsigned baud = 0;
  unsigned capacity = 0;
  bool open = false;
  bool lineFailed = false;
  std::deque<std::vector<uint8_t>> frames;
  std::string device;
  int lastErrno = 0;
  std::string lastError;
  bool lastSettingsRefused = false;

  void ReportStep(const char* step, const std::string& why) const;
  bool Configure(int fd, unsigned baud, char parity, unsigned dataBits, unsigned stopBits,
                 std::string* failure) const;
  void Fail(int errnum, std::string text);
  void Begin(SerialOwner* owner, ReceiveSink* sink, const std::string& device, unsigned port,
             unsigned baud, unsigned capacity);
  int AdoptNetwork(const std::string& address, NetworkOpenResult opened);
  int Attach(int fd, const std::string& device);
  void Run(MonitorContext ctx);
  class Monitor;
};

void CSerialChannel::Impl::ReportStep(const char* step, const std::string& why) const {
  if (owner) owner->ReportError(StepFailure(step, why, port));
}

// The line settings; on a step that fails, its box and the step's name and reason in
// *failure (the port is then not usable: every reply would be garbled).
bool CSerialChannel::Impl::Configure(int portFd, unsigned baud, char parity, unsigned dataBits,
                                     unsigned stopBits, std::string* failure) const {
  auto refuse = [&](const char* step, const std::string& why) {
    ReportStep(step, why);
    *failure = std::string(step) + ": " + why;
    return false;
  };
  termios tio {};
  if (tcgetattr(portFd, &tio) != 0) return refuse("GetCommState()", ErrorText(errno));

  tcflag_t size = 0;
  switch (dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default:
      return refuse("BuildCommDCB()", "Unsupported number of data bits: " + std::to_string(dataBits));
  }
  tcflag_t parityFlags = 0;
  switch (parity) {
    case 'N': case 'n': break;
    case 'E': case 'e': parityFlags = PARENB; break;
    case 'O': case 'o': parityFlags = PARENB | PARODD; break;
    case 'M': case 'm': parityFlags = PARENB | PARODD | CMSPAR; break;
    case 'S': case 's': parityFlags = PARENB | CMSPAR; break;
    default:
      return refuse("BuildCommDCB()", std::string("Unsupported parity: ") + parity);
  }
  if (stopBits != 1 && stopBits != 2)
    return refuse("BuildCommDCB()", "Unsupported number of stop bits: " + std::to_string(stopBits));
  if (baud == 0) return refuse("BuildCommDCB()", "Unsupported baud rate: 0");

  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | size | parityFlags | (stopBits == 2 ? CSTOPB : 0);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  // Reads return at once with whatever is queued; the monitor only reads when poll says so.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  speed_t code = B9600;
  const bool standard = LookupSpeed(baud, &code);
  if (standard) {
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
  }
  if (tcsetattr(portFd, TCSANOW, &tio) != 0 ||
      (!standard && SetArbitrarySpeed(portFd, baud) != 0))
    return refuse("SetCommState()", ErrorText(errno));
  // tcsetattr succeeds when any part of the request took; a driver that cannot make the
  // rate keeps another one, which would garble every reply. Allow the usual UART tolerance.
  const unsigned actual = LineSpeed(portFd);
  if (actual != 0 && (actual > baud + baud / 50 || actual < baud - baud / 50))
    return refuse("SetCommState()", "The device does not support " + std::to_string(baud) +
                                        " baud (the line runs at " + std::to_string(actual) +
                                        " baud)");
  int rts = TIOCM_RTS;
  // Pseudo-terminals and some adapters have no modem lines; nothing to hold low there.
  if (ioctl(portFd, TIOCMBIC, &rts) != 0 && errno != ENOTTY && errno != EINVAL)
    return refuse("SetCommState()", ErrorText(errno));
  return true;
}

void CSerialChannel::Impl::Fail(int errnum, std::string text) {
  std::lock_guard<std::mutex> guard(lock);
  lastErrno = errnum;
  lastError = std::move(text);
  lastSettingsRefused = false;
}

// Which channel's monitor runs on this thread, so that Close can tell it is called from there.
thread_local const void* t_monitorOf = nullptr;

// The monitor thread's state and steps: one frame being written, the chunk buffer, and the
// write bound that fails a line the device stops taking data from.
class CSerialChannel::Impl::Monitor {
 public:
  Monitor(Impl& channel, const MonitorContext& ctx) : m_channel(channel), m_ctx(ctx) {}
  void Loop();

 private:
  void LineFails(const std::string& what);
  void ShortWrite();
  void WriteQueued();
  bool TakeNextFrame();
  void ReadChunk(short revents);
  void InputDrained();
  void QueueAnswers();
  void WriteTimedOut();
  int PollTimeoutMs() const;
  bool PollFailed();

  Impl& m_channel;
  const MonitorContext& m_ctx;
  std::array<uint8_t, kChunkSize> m_buffer;
  std::vector<uint8_t> m_current;  // the frame being written (telnet-escaped on a network port)
  std::vector<uint8_t> m_decoded, m_answers;  // a telnet chunk's data, and what it asks back
  std::vector<uint8_t> m_pendingAnswers;      // telnet answers waiting for the frame under way
  size_t m_written = 0;
  bool m_failed = false;
  // Armed while the device refuses the current frame; cleared by any progress.
  bool m_stalled = false;
  std::chrono::steady_clock::time_point m_stallDeadline;
  unsigned m_stallBoundMs = 0;
};

void CSerialChannel::Impl::Monitor::LineFails(const std::string& what) {
  m_failed = true;
  m_stalled = false;
  m_current.clear();
  m_written = 0;
  {
    std::lock_guard<std::mutex> guard(m_channel.lock);
    m_channel.lineFailed = true;
    m_channel.frames.clear();
  }
  if (m_ctx.owner)
    m_ctx.owner->LineFailed("The serial line " + m_ctx.device + " failed: " + what +
                            ". Check the cable or adapter and open the port again.");
}

void CSerialChannel::Impl::Monitor::ShortWrite() {
  if (!m_ctx.owner) return;
  const std::string frameText(m_current.begin(),
                              std::find(m_current.begin(), m_current.end(), uint8_t{0}));
  char head[128];
  std::snprintf(head, sizeof head, "WARNING: WriteFile() error.. Bytes Sent: %d; Message Length: %d ",
                static_cast<int>(m_written), static_cast<int>(m_current.size()));
  m_ctx.owner->LogError(head + frameText + "\n");
}

// The next queued frame once the current one is out; false when none waits.
bool CSerialChannel::Impl::Monitor::TakeNextFrame() {
  m_written = 0;
  if (!m_pendingAnswers.empty()) {
    m_current.swap(m_pendingAnswers);
    m_pendingAnswers.clear();
    return true;
  }
  std::lock_guard<std::mutex> guard(m_channel.lock);
  if (m_channel.frames.empty()) {
    m_current.clear();
    return false;
  }
  m_current = std::move(m_channel.frames.front());
  m_channel.frames.pop_front();
  if (m_ctx.telnet) {
    std::vector<uint8_t> escaped;
    telnet::Escape(m_current.data(), m_current.size(), escaped);
    m_current.swap(escaped);
  }
  return true;
}

// Writes queued frames until all are out or the driver is full; a frame is finished
// before the next is taken, so frames never interleave.
void CSerialChannel::Impl::Monitor::WriteQueued() {
  for (;;) {
    if (m_written == m_current.size() && !TakeNextFrame()) return;
    const ssize_t n =
        m_ctx.socket ? ::send(m_ctx.fd, m_current.data() + m_written, m_current.size() - m_written, MSG_NOSIGNAL)
                     : ::write(m_ctx.fd, m_current.data() + m_written, m_current.size() - m_written);
    if (n > 0) {
      m_written += static_cast<size_t>(n);
      m_stalled = false;
      continue;
    }
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {  // poll for POLLOUT
      if (!m_stalled) {
        m_stalled = true;
        m_stallBoundMs = WriteBoundMs(m_current.size() - m_written, m_ctx.baud);
        m_stallDeadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(m_stallBoundMs);
      }
      return;
    }
    if (errno == EINTR) continue;
    const int err = errno;
    m_stalled = false;
    ShortWrite();
    if (IsLineGone(err)) {
      LineFails(ErrorText(err));
      return;
    }
    if (m_ctx.owner)
      m_ctx.owner->ReportError(StepFailure("WriteFile()", ErrorText(err), m_ctx.port));
    m_current.clear();
    m_written = 0;
  }
}

// The server's option requests are answered ahead of frames still queued, never inside
// one being written.
void CSerialChannel::Impl::Monitor::QueueAnswers() {
  m_pendingAnswers.insert(m_pendingAnswers.end(), m_answers.begin(), m_answers.end());
  WriteQueued();
}

void CSerialChannel::Impl::Monitor::InputDrained() {
  m_channel.receiveIdle.store(1);
  if (m_ctx.sink) m_ctx.sink->InputDrained();
}

void CSerialChannel::Impl::Monitor::ReadChunk(short revents) {
  const ssize_t n = m_ctx.socket ? ::recv(m_ctx.fd, m_buffer.data(), m_buffer.size(), 0)
                                 : ::read(m_ctx.fd, m_buffer.data(), m_buffer.size());
  if (n > 0) {
    const uint8_t* data = m_buffer.data();
    size_t count = static_cast<size_t>(n);
    if (m_ctx.telnet) {
      m_decoded.clear();
      m_answers.clear();
      m_ctx.telnet->Feed(data, count, m_decoded, m_answers);
      data = m_decoded.data();
      count = m_decoded.size();
      if (!m_answers.empty()) QueueAnswers();
    }
    if (count > 0 && m_ctx.sink) m_ctx.sink->AppendReceived(data, static_cast<unsigned>(count));
    m_channel.rxByteCount.fetch_add(static_cast<uint32_t>(count));
    int queued = 0;
    if (ioctl(m_ctx.fd, FIONREAD, &queued) == 0 && queued == 0) InputDrained();
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
      LineFails("the device hung up or was removed");
    else
      InputDrained();
    return;
  }
  // End of file on a terminal means it hung up.
  LineFails(n == 0 ? std::string("the device hung up or was removed") : ErrorText(errno));
}

// A frame the device takes nothing of within its bound fails the line rather than wait
// for ever (flow control stuck, adapter wedged).
void CSerialChannel::Impl::Monitor::WriteTimedOut() {
  ShortWrite();
  FlushOutput(m_ctx.fd, m_ctx.telnet != nullptr);  // what is held must not go out after the failure
  LineFails("the device accepted no data for " + std::to_string(m_stallBoundMs) +
            " ms (flow control stuck or the adapter is not responding)");
}

// Only a stalled write puts a deadline on the wait; otherwise it waits for the line.
int CSerialChannel::Impl::Monitor::PollTimeoutMs() const {
  if (m_failed || m_written >= m_current.size() || !m_stalled) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      m_stallDeadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count() + 1));
}

// poll() itself failed: the line is lost; out of resources, retry gently rather than spin.
bool CSerialChannel::Impl::Monitor::PollFailed() {
  if (errno == EINTR) return true;
  if (!m_failed) LineFails(ErrorText(errno));
  const timespec pause{0, 100 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  return true;
}

void CSerialChannel::Impl::Monitor::Loop() {
  for (;;) {
    const bool wantOut = m_written < m_current.size();
    pollfd fds[3] = {
        {m_ctx.shutdownFd, POLLIN, 0},
        {m_ctx.writeFd, POLLIN, 0},
        // A failed line leaves the set: a hung-up descriptor would report POLLHUP forever.
        {m_failed ? -1 : m_ctx.fd, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0},
    };
    if (::poll(fds, 3, PollTimeoutMs()) < 0 && PollFailed()) continue;
    if (fds[0].revents) return;
    if (!m_failed && m_stalled && m_written < m_current.size() &&
        std::chrono::steady_clock::now() >= m_stallDeadline && !(fds[2].revents & POLLOUT)) {
      WriteTimedOut();
      continue;
    }
    bool mayWrite = (fds[2].revents & POLLOUT) != 0;
    if (fds[1].revents & POLLIN) {
      Drain(m_ctx.writeFd);
      mayWrite = true;
    }
    if (!m_failed && mayWrite) WriteQueued();
    if (!m_failed && (fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
      ReadChunk(fds[2].revents);
  }
}

void CSerialChannel::Impl::Run(MonitorContext ctx) {
  t_monitorOf = this;
  // Named so that per-thread tools (top -H, the benchmarks) can tell it apart.
  pthread_setname_np(pthread_self(), "serial monitor");
  // Best effort: unprivileged users may not raise a thread's priority.
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -5) != 0) errno = 0;
  Monitor(*this, ctx).Loop();
  const int closeError = ReleaseDevice(ctx.fd, lowLatency, ctx.telnet != nullptr);
  if (closeError > 0 && ctx.owner) ctx.owner->ReportError("CloseHandle " + std::to_string(closeError));
}

CSerialChannel::CSerialChannel() : m_pImpl(std::make_unique<Impl>()) {}

CSerialChannel::~CSerialChannel() { Close(); }

unsigned CSerialChannel::WriteBoundMs(size_t length, unsigned baud) {
  // Twelve bit times per byte covers parity and two stop bits; never under 1 ms a byte.
  const unsigned long long perByteUs =
      baud == 0 ? 1000 : std::max<unsigned long long>(1000, 12'000'000ULL / baud);
  return static_cast<unsigned>(std::min<unsigned long long>(
      1000 + (length * perByteUs + 999) / 1000, 24ULL * 3600 * 1000));
}

uint32_t CSerialChannel::ReceivedByteCount() const { return m_pImpl->rxByteCount.load(); }
bool CSerialChannel::ReceiveIdle() const { return m_pImpl->receiveIdle.load() != 0; }
void CSerialChannel::ClearReceiveIdle() { m_pImpl->receiveIdle.store(0); }

int CSerialChannel::Open(SerialOwner* owner, ReceiveSink* sink, unsigned port, unsigned baud,
                         char parity, unsigned dataBits, unsigned stopBits,
                         unsigned writeBufferCapacity) {
  CPortMap& map = GlobalPortMap();
  const int number = static_cast<int>(port);
  std::string device = map.DeviceFor(number);
  if (device.empty() && number >= 1 && number <= CPortMap::kPortCount) {
    map.Refresh();  // a device plugged in since the list was built
    device = map.DeviceFor(number);
  }
  if (device.empty()) {
    Close();
    m_pImpl->Fail(ENODEV, "No serial device is mapped to COM" + std::to_string(port) +
                              "; connect an adapter or name a device with --port COM" +
                              std::to_string(port) + "=DEVICE");
    return 0;
  }
  return OpenDevice(owner, sink, device, port, baud, parity, dataBits, stopBits,
                    writeBufferCapacity);
}

void CSerialChannel::Impl::Begin(SerialOwner* newOwner, ReceiveSink* newSink, const std::string& name,
                                 unsigned number, unsigned rate, unsigned writeCapacity) {
  {
    std::lock_guard<std::mutex> guard(lock);
    owner = newOwner;
    sink = newSink;
    port = number;
    baud = rate;
    capacity = writeCapacity;
    device = name;
    frames.clear();
  }
  socket = false;
  telnet.reset();
}

int CSerialChannel::OpenDevice(SerialOwner* owner, ReceiveSink* sink, const std::string& device,
                               unsigned port, unsigned baud, char parity, unsigned dataBits,
                               unsigned stopBits, unsigned writeBufferCapacity) {
  Impl& d = *m_pImpl;
  Close();
  d.Begin(owner, sink, device, port, baud, writeBufferCapacity);
  if (IsNetworkPortName(device)) {
    NetworkOpenRequest request{ParseNetworkAddress(device), baud, parity, dataBits, stopBits};
    return d.AdoptNetwork(device, OpenNetworkPort(request));
  }

  // A file or /dev/null would open, then look like a pulled cable at the first read:
  // refuse anything that is not a terminal device here, before a thread starts.
  struct stat info {};
  if (::stat(device.c_str(), &info) == 0 && !S_ISCHR(info.st_mode)) {
    d.Fail(ENOTTY, OpenErrorText(ENOTTY, device));
    return 0;
  }
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    d.Fail(err, OpenErrorText(err, device));
    return 0;
  }
  if (!::isatty(fd)) {
    ::close(fd);
    d.Fail(ENOTTY, OpenErrorText(ENOTTY, device));
    return 0;
  }
  // TIOCEXCL keeps other users out but not root; the advisory lock also stops a second
  // copy of this tool run as root from sharing the line.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(fd);
    d.Fail(EBUSY, OpenErrorText(EBUSY, device));
    return 0;
  }
  ioctl(fd, TIOCEXCL);  // not a terminal: the configuration below says so

  // A line that would run at other settings than asked garbles every reply: no open.
  std::string refused;
  if (!d.Configure(fd, baud, parity, dataBits, stopBits, &refused)) {
    ::close(fd);
    d.Fail(EINVAL, device + " does not take its line settings (" + refused + ")");
    std::lock_guard<std::mutex> guard(d.lock);
    d.lastSettingsRefused = true;
    return 0;
  }
  LowLatencyOutcome latency = RequestLowLatency(fd, device);
  d.lowLatency = latency.state;
  if (!latency.problem.empty() && owner && FirstLatencyNotice(device)) owner->LogNotice(latency.problem);
  tcflush(fd, TCIOFLUSH);
  return d.Attach(fd, device);
}

// The descriptor becomes the channel's port, with the monitor's wake-ups beside it.
int CSerialChannel::Impl::Attach(int portFd, const std::string& name) {
  const int shutdown = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int write = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (shutdown < 0 || write < 0) {
    const int err = errno;
    if (shutdown >= 0) ::close(shutdown);
    if (write >= 0) ::close(write);
    ReleaseDevice(portFd, lowLatency, telnet != nullptr);
    Fail(err, "Cannot open " + name + ": " + ErrorText(err));
    return 0;
  }
  std::lock_guard<std::mutex> guard(lock);
  fd = portFd;
  shutdownFd = shutdown;
  writeFd = write;
  open = true;
  lineFailed = false;
  lastErrno = 0;
  lastError.clear();
  lastSettingsRefused = false;
  return 1;
}

int CSerialChannel::OpenConnected(SerialOwner* owner, ReceiveSink* sink, const std::string& device,
                                  unsigned port, unsigned baud, unsigned writeBufferCapacity,
                                  NetworkOpenResult opened) {
  Impl& d = *m_pImpl;
  Close();
  d.Begin(owner, sink, device, port, baud, writeBufferCapacity);
  return d.AdoptNetwork(device, std::move(opened));
}

int CSerialChannel::Impl::AdoptNetwork(const std::string& address, NetworkOpenResult opened) {
  if (opened.fd < 0) {
    if (opened.settingsRefused) ReportStep("SetCommState()", opened.error);
    Fail(opened.errnum, opened.error);
    std::lock_guard<std::mutex> guard(lock);
    lastSettingsRefused = opened.settingsRefused;
    return 0;
  }
  lowLatency = {};
  socket = true;
  telnet = opened.decoder;
  if (const std::string notice = RawTcpRateNotice(address, baud);
      !notice.empty() && owner && FirstRawTcpNotice(address))
    owner->LogNotice(notice);
  return Attach(opened.Release(), address);
}

int CSerialChannel::StartMonitor() {
  Impl& d = *m_pImpl;
  if (d.monitor.joinable()) return 1;
  if (d.fd < 0) return 0;
  MonitorContext ctx{d.fd, d.shutdownFd, d.writeFd, nullptr, nullptr, 0, 0, {}, d.socket, d.telnet.get()};
  {
    std::lock_guard<std::mutex> guard(d.lock);
    ctx.owner = d.owner;
    ctx.sink = d.sink;
    ctx.port = d.port;
    ctx.baud = d.baud;
    ctx.device = d.device;
  }
  try {
    d.monitor = std::thread(&Impl::Run, &d, std::move(ctx));
  } catch (const std::system_error&) {
    return 0;
  }
  return 1;
}

int CSerialChannel::Send(const uint8_t* frame, size_t length) {
  Impl& d = *m_pImpl;
  SerialOwner* owner = nullptr;
  unsigned capacity = 0;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    if (!d.open || d.lineFailed) return 0;
    owner = d.owner;
    capacity = d.capacity;
  }
  if (frame == nullptr || length == 0 || length > capacity) {
    if (owner)
      owner->LogError("Frame of " + std::to_string(length) +
                      " bytes not sent: the write buffer holds 1 to " + std::to_string(capacity) +
                      " bytes");
    return 0;
  }

  // Traced before the frame is queued, so the reply's bytes are traced after it.
  if (owner) owner->TraceSent(frame, length);

  std::lock_guard<std::mutex> guard(d.lock);
  if (!d.open || d.lineFailed) return 0;
  d.frames.emplace_back(frame, frame + length);
  Signal(d.writeFd);
  return 1;
}

int CSerialChannel::Close() {
  Impl& d = *m_pImpl;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    d.open = false;
    d.frames.clear();
  }
  // Asked from the monitor itself (an owner closing inside LineFailed): it ends when this
  // call returns; whoever opens or closes next joins it.
  if (t_monitorOf == &d) {
    Signal(d.shutdownFd);
    return 1;
  }
  if (d.monitor.joinable()) {
    Signal(d.shutdownFd);
    d.monitor.join();  // the monitor has closed the port
  } else if (d.fd >= 0) {
    ReleaseDevice(d.fd, d.lowLatency, d.telnet != nullptr);  // opened but never monitored
  }
  d.fd = -1;
  if (d.shutdownFd >= 0) ::close(d.shutdownFd);
  if (d.writeFd >= 0) ::close(d.writeFd);
  d.shutdownFd = -1;
  d.writeFd = -1;
  return 1;
}

bool CSerialChannel::IsOpen() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->open;
}

int CSerialChannel::LastOpenErrno() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->lastErrno;
}

std::string CSerialChannel::LastOpenError() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->lastError;
}

bool CSerialChannel::LastOpenRefusedSettings() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->lastSettingsRefused;
}

std::string CSerialChannel::DevicePath() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->device;
}

std::string CSerialChannel::OpenErrorText(int errnum, const std::string& device) {
  switch (errnum) {
    case EACCES:
    case EPERM: {
      const std::string group = OwningGroup(device);
      return "Permission denied on " + device + ": add your user to the " + group +
             " group (sudo usermod -aG " + group + " $USER) and log in again";
    }
    case EBUSY:
    case EWOULDBLOCK:
      return device + " is in use by another program; close that program and try again";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return device + ": no such device; check that the adapter is plugged in";
    case ENOTTY:
      return device + " is not a serial device; give the camera's serial port (such as /dev/ttyUSB0)";
    default:
      return "Cannot open " + device + ": " + ErrorText(errnum);
  }
}
