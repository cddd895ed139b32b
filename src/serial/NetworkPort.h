#pragma once
// Ports on another machine: "rfc2217://HOST:PORT" (a port server that takes the line
// settings, such as ser2net's telnet rfc2217 accepter) and "socket://HOST:PORT" (raw TCP:
// the server's own line settings). The channel opens them beside its termios devices.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "serial/Telnet.h"

struct NetworkAddress {
  enum class Kind { None, Rfc2217, Raw };
  Kind kind = Kind::None;  // None: not a network port name
  std::string host;        // a name, an IPv4 address or a bracketed IPv6 address, unbracketed
  std::string service;     // the TCP port, 1..65535
  bool ok = false;         // false: a network scheme with a malformed HOST:PORT
};

// Kind None for anything that does not start with one of the schemes.
NetworkAddress ParseNetworkAddress(const std::string& text);
bool IsNetworkPortName(const std::string& text);

struct NetworkOpenRequest {
  NetworkAddress address;
  unsigned baud = 0;
  char parity = 'N';
  unsigned dataBits = 8, stopBits = 1;
};

// Owns its socket: a result nobody takes (an open given up on) closes it.
struct NetworkOpenResult {
  NetworkOpenResult() = default;
  ~NetworkOpenResult();
  NetworkOpenResult(NetworkOpenResult&& other) noexcept;
  NetworkOpenResult& operator=(NetworkOpenResult&& other) noexcept;
  NetworkOpenResult(const NetworkOpenResult&) = delete;
  NetworkOpenResult& operator=(const NetworkOpenResult&) = delete;
  int Release();  // the socket, now the caller's

  int fd = -1;          // a connected non-blocking socket, or -1
  int errnum = 0;
  std::string error;    // the operator's sentence when fd is -1
  bool settingsRefused = false;  // the server refused or changed the line settings
  // RFC 2217: the option state agreed at open, which the monitor goes on decoding with.
  std::shared_ptr<telnet::CDecoder> decoder;
};

// Ends the opens it is given to, at once and from any thread; stays cancelled.
class CNetworkCancel {
 public:
  CNetworkCancel();
  ~CNetworkCancel();
  CNetworkCancel(const CNetworkCancel&) = delete;
  CNetworkCancel& operator=(const CNetworkCancel&) = delete;
  void Cancel();
  bool Cancelled() const { return m_cancelled.load(); }
  int WakeFd() const { return m_fd; }  // readable once cancelled

 private:
  std::atomic<bool> m_cancelled{false};
  int m_fd;
};

// Resolves, connects and, over RFC 2217, negotiates and sets the line, all within a few
// seconds and ended at once by InterruptNetworkOpens(true) or by cancel.
NetworkOpenResult OpenNetworkPort(const NetworkOpenRequest& request, const CNetworkCancel* cancel = nullptr);

// One network open on a thread of its own, so that a window stays responsive while a
// server is slow or silent. done runs on that thread with the outcome (a cancelled open
// ends with errnum ECANCELED), and must not wait for whoever owns the attempt.
class CNetworkOpenAttempt {
 public:
  using Done = std::function<void(NetworkOpenResult)>;
  CNetworkOpenAttempt(const NetworkOpenRequest& request, Done done);
  ~CNetworkOpenAttempt();  // cancels and joins, which is prompt: every wait wakes on cancel
  CNetworkOpenAttempt(const CNetworkOpenAttempt&) = delete;
  CNetworkOpenAttempt& operator=(const CNetworkOpenAttempt&) = delete;
  void Cancel() { m_cancel.Cancel(); }

 private:
  CNetworkCancel m_cancel;
  std::thread m_thread;
};

// What the operator is told once about a raw TCP port (empty for any other name): the
// line runs at the server's settings whatever rate is chosen here.
std::string RawTcpRateNotice(const std::string& name, unsigned baud);

// Ends every network open under way and refuses new ones until called with false (Ctrl+C
// in the command line: the run is over).
void InterruptNetworkOpens(bool interrupt);

// Keepalive and a bound on unacknowledged data, so a server that vanished without a word
// (power cut, cable) fails the line within seconds instead of hours.
void TuneConnectedSocket(int fd);
