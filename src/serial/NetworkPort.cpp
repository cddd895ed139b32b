#include "serial/NetworkPort.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "serial/Telnet.h"

namespace {

using Clock = std::chrono::steady_clock;

// Connecting and the server's answers to the settings each get this long; a port server
// on a lab network answers in milliseconds.
constexpr std::chrono::milliseconds kResolveBound{4000};
constexpr std::chrono::milliseconds kConnectBound{5000};
constexpr std::chrono::milliseconds kNegotiateBound{3000};

struct Interrupt {
  std::mutex lock;
  std::condition_variable changed;
  bool on = false;
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // readable while interrupted
};

Interrupt& TheInterrupt() {
  static Interrupt* interrupt = new Interrupt;  // outlives every thread that may ask
  return *interrupt;
}

bool Interrupted() {
  Interrupt& i = TheInterrupt();
  std::lock_guard<std::mutex> guard(i.lock);
  return i.on;
}

std::string ErrorText(int errnum) { return std::system_category().message(errnum); }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Waits for events on fd, or the interrupt or cancel, until the deadline. 1: ready, 0: time
// is up, -1: interrupted or cancelled.
int WaitFor(int fd, short events, Clock::time_point deadline, const CNetworkCancel* cancel) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    pollfd fds[3] = {{fd, events, 0}, {TheInterrupt().fd, POLLIN, 0}, {cancel ? cancel->WakeFd() : -1, POLLIN, 0}};
    const int n = ::poll(fds, 3, static_cast<int>(left.count()) + 1);
    if (n < 0 && errno == EINTR) continue;
    if (fds[1].revents || fds[2].revents) return -1;
    if (n > 0) return 1;
  }
}

const char* StopReason(const CNetworkCancel* cancel) {
  return cancel && cancel->Cancelled() ? "cancelled" : "interrupted";
}

// getaddrinfo cannot be interrupted: it runs on a helper that the caller stops waiting for.
// The helper signals an eventfd, so the wait polls it beside the interrupt and the cancel.
struct Lookup {
  std::mutex lock;
  bool finished = false;
  int status = 0;
  addrinfo* result = nullptr;
  int doneFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~Lookup() {
    if (result) freeaddrinfo(result);
    if (doneFd >= 0) ::close(doneFd);
  }
};

std::shared_ptr<Lookup> Resolve(const NetworkAddress& address, const CNetworkCancel* cancel, std::string& error) {
  auto lookup = std::make_shared<Lookup>();
  if (lookup->doneFd < 0) {
    error = ErrorText(errno);
    return nullptr;
  }
  std::thread([lookup, host = address.host, service = address.service] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    std::lock_guard<std::mutex> guard(lookup->lock);
    lookup->status = status;
    lookup->result = found;
    lookup->finished = true;
    const uint64_t one = 1;
    ssize_t ignored = ::write(lookup->doneFd, &one, sizeof one);
    (void)ignored;
  }).detach();
  const int ready = WaitFor(lookup->doneFd, POLLIN, Clock::now() + kResolveBound, cancel);
  std::lock_guard<std::mutex> guard(lookup->lock);
  if (!lookup->finished) {
    error = ready < 0 ? StopReason(cancel) : "the name " + address.host + " did not resolve in time";
    return nullptr;
  }
  if (lookup->status != 0) {
    error = "cannot resolve " + address.host + ": " + gai_strerror(lookup->status);
    return nullptr;
  }
  return lookup;
}

int ConnectOne(const addrinfo* ai, Clock::time_point deadline, const CNetworkCancel* cancel, int& errnum) {
  const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) {
    errnum = errno;
    return -1;
  }
  if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
    errnum = errno;
    ::close(fd);
    return -1;
  }
  const int ready = WaitFor(fd, POLLOUT, deadline, cancel);
  int soError = 0;
  socklen_t size = sizeof soError;
  if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) == 0 && soError == 0)
    return fd;
  errnum = ready == 1 ? soError : ready == 0 ? ETIMEDOUT : cancel && cancel->Cancelled() ? ECANCELED : EINTR;
  ::close(fd);
  return -1;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes, Clock::time_point deadline, const CNetworkCancel* cancel) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (WaitFor(fd, POLLOUT, deadline, cancel) != 1) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Reads and decodes until done() says the server has answered; false on time, close or
// interrupt (reason in why). Data the camera sent meanwhile is dropped, as the purge does.
template <class Done>
bool Negotiate(int fd, telnet::CDecoder& decoder, Clock::time_point deadline, const CNetworkCancel* cancel,
               Done done, std::string& why) {
  uint8_t buffer[1024];
  std::vector<uint8_t> data, answers;
  while (!done()) {
    if (decoder.ComPortRefused()) {
      why = "the server does not take line settings (RFC 2217); use socket:// for a raw TCP port";
      return false;
    }
    const int ready = WaitFor(fd, POLLIN, deadline, cancel);
    if (ready != 1) {
      why = ready == 0 ? "the server did not answer the line settings in time" : StopReason(cancel);
      return false;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      why = n == 0 ? "the server closed the connection" : ErrorText(errno);
      return false;
    }
    if (n < 0) continue;
    decoder.Feed(buffer, static_cast<size_t>(n), data, answers);
    data.clear();
    if (!answers.empty() && !SendAll(fd, answers, deadline, cancel)) {
      why = "the server stopped taking data";
      return false;
    }
    answers.clear();
  }
  return true;
}

// The settings as the server reports them must be the ones asked for: a line at another
// rate garbles every reply, exactly as a local device that cannot make the rate.
std::string SettingsMismatch(const NetworkOpenRequest& r, const telnet::ServerSettings& s) {
  const unsigned actual = *s.baud;
  if (actual == 0 || actual > r.baud + r.baud / 50 || actual < r.baud - r.baud / 50)
    return "the server does not support " + std::to_string(r.baud) + " baud (it reports " +
           std::to_string(actual) + ")";
  if (*s.dataSize != r.dataBits || *s.parity != telnet::ParityCode(r.parity) ||
      *s.stopSize != telnet::StopSizeCode(r.stopBits))
    return "the server does not support the data bits, parity or stop bits asked for";
  return "";
}

NetworkOpenResult Failed(int errnum, std::string error, bool settings = false) {
  NetworkOpenResult result;
  result.errnum = errnum;
  result.error = std::move(error);
  result.settingsRefused = settings;
  return result;
}

}  // namespace

NetworkAddress ParseNetworkAddress(const std::string& text) {
  NetworkAddress address;
  std::string rest;
  if (StartsWith(text, "rfc2217://")) {
    address.kind = NetworkAddress::Kind::Rfc2217;
    rest = text.substr(10);
  } else if (StartsWith(text, "socket://")) {
    address.kind = NetworkAddress::Kind::Raw;
    rest = text.substr(9);
  } else {
    return address;
  }
  // Anything after the port (a path, options) is not understood: refused, not ignored.
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return address;
    address.host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.find(':');
    if (colon == std::string::npos || rest.find(':', colon + 1) != std::string::npos) return address;
    address.host = rest.substr(0, colon);
  }
  address.service = rest.substr(colon + 1);
  if (address.host.empty() || address.service.empty() || address.service.size() > 5) return address;
  unsigned long number = 0;
  for (char c : address.service) {
    if (c < '0' || c > '9') return address;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  address.ok = number >= 1 && number <= 65535;
  return address;
}

std::string RawTcpRateNotice(const std::string& name, unsigned baud) {
  if (ParseNetworkAddress(name).kind != NetworkAddress::Kind::Raw) return "";
  return name + " is a raw TCP port: the line runs at the server's rate and settings, not at " +
         std::to_string(baud) + " baud as chosen here";
}

bool IsNetworkPortName(const std::string& text) {
  return ParseNetworkAddress(text).kind != NetworkAddress::Kind::None;
}

void InterruptNetworkOpens(bool interrupt) {
  Interrupt& i = TheInterrupt();
  std::lock_guard<std::mutex> guard(i.lock);
  i.on = interrupt;
  uint64_t value = 1;
  if (interrupt) {
    ssize_t ignored = ::write(i.fd, &value, sizeof value);
    (void)ignored;
  } else {
    ssize_t ignored = ::read(i.fd, &value, sizeof value);
    (void)ignored;
  }
  i.changed.notify_all();
}

void TuneConnectedSocket(int fd) {
  const int on = 1, idle = 5, interval = 2, count = 3;
  const unsigned userTimeoutMs = 10000;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // request frames are small
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

NetworkOpenResult OpenNetworkPort(const NetworkOpenRequest& request, const CNetworkCancel* cancel) {
  const NetworkAddress& address = request.address;
  const bool ipv6 = address.host.find(':') != std::string::npos;
  const std::string where = (address.kind == NetworkAddress::Kind::Raw ? "socket://" : "rfc2217://") +
                            (ipv6 ? "[" + address.host + "]" : address.host) + ":" + address.service;
  if (!address.ok)
    return Failed(EINVAL, "A network port is named rfc2217://HOST:PORT or socket://HOST:PORT");
  auto stopped = [&] {
    const bool cancelled = cancel && cancel->Cancelled();
    return Failed(cancelled ? ECANCELED : EINTR, "Cannot open " + where + ": " + StopReason(cancel));
  };
  if (Interrupted() || (cancel && cancel->Cancelled())) return stopped();
  std::string why;
  const std::shared_ptr<Lookup> lookup = Resolve(address, cancel, why);
  if (!lookup) {
    if (Interrupted() || (cancel && cancel->Cancelled())) return stopped();
    return Failed(EHOSTUNREACH, "Cannot open " + where + ": " + why);
  }

  const auto connectDeadline = Clock::now() + kConnectBound;
  int fd = -1, errnum = ECONNREFUSED;
  for (const addrinfo* ai = lookup->result; ai && fd < 0 && errnum != EINTR && errnum != ECANCELED;
       ai = ai->ai_next)
    fd = ConnectOne(ai, connectDeadline, cancel, errnum);
  if (fd < 0) {
    if (errnum == EINTR || errnum == ECANCELED) return stopped();
    return Failed(errnum, "Cannot open " + where + ": " + ErrorText(errnum) +
                              "; check that the port server runs there");
  }
  TuneConnectedSocket(fd);
  NetworkOpenResult result;
  result.fd = fd;  // from here the result closes it on every failure
  if (address.kind == NetworkAddress::Kind::Raw) return result;

  const auto deadline = Clock::now() + kNegotiateBound;
  telnet::CDecoder decoder;
  for (uint8_t option : {telnet::kBinary, telnet::kSuppressGoAhead}) {
    decoder.AskedFor(true, option);
    decoder.AskedFor(false, option);
  }
  decoder.AskedFor(true, telnet::kComPort);
  // The settings go once the server has taken the COM-PORT option; it may ignore them before.
  bool ok = SendAll(fd, telnet::Greeting(), deadline, cancel) &&
            Negotiate(fd, decoder, deadline, cancel, [&] { return decoder.ComPortAccepted(); }, why) &&
            SendAll(fd, telnet::LineSettings(request.baud, request.parity, request.dataBits, request.stopBits),
                    deadline, cancel) &&
            Negotiate(fd, decoder, deadline, cancel, [&] {
              const telnet::ServerSettings& s = decoder.Server();
              return s.baud && s.dataSize && s.parity && s.stopSize;
            }, why);
  if (!ok) {
    if (Interrupted() || (cancel && cancel->Cancelled())) return stopped();
    if (why.empty()) why = "the server stopped taking data";
    return Failed(EPROTO, "Cannot open " + where + ": " + why);
  }
  const std::string mismatch = SettingsMismatch(request, decoder.Server());
  if (!mismatch.empty())
    return Failed(EINVAL, where + " does not take its line settings (" + mismatch + ")", true);
  result.decoder = std::make_shared<telnet::CDecoder>(decoder);
  return result;
}

NetworkOpenResult::~NetworkOpenResult() {
  if (fd >= 0) ::close(fd);
}

NetworkOpenResult::NetworkOpenResult(NetworkOpenResult&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      errnum(other.errnum),
      error(std::move(other.error)),
      settingsRefused(other.settingsRefused),
      decoder(std::move(other.decoder)) {}

NetworkOpenResult& NetworkOpenResult::operator=(NetworkOpenResult&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
    errnum = other.errnum;
    error = std::move(other.error);
    settingsRefused = other.settingsRefused;
    decoder = std::move(other.decoder);
  }
  return *this;
}

int NetworkOpenResult::Release() { return std::exchange(fd, -1); }

CNetworkCancel::CNetworkCancel() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CNetworkCancel::~CNetworkCancel() {
  if (m_fd >= 0) ::close(m_fd);
}

void CNetworkCancel::Cancel() {
  m_cancelled.store(true);
  const uint64_t one = 1;
  ssize_t ignored = ::write(m_fd, &one, sizeof one);  // stays readable: every later wait wakes too
  (void)ignored;
}

CNetworkOpenAttempt::CNetworkOpenAttempt(const NetworkOpenRequest& request, Done done)
    : m_thread([this, request, done = std::move(done)] {
        pthread_setname_np(pthread_self(), "network open");
        done(OpenNetworkPort(request, &m_cancel));
      }) {}

CNetworkOpenAttempt::~CNetworkOpenAttempt() {
  m_cancel.Cancel();
  m_thread.join();
}
