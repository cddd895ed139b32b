#pragma once
// Ports on another machine: "rfc2217://HOST:PORT" (a port server that takes the line
// settings, such as ser2net's telnet rfc2217 accepter) and "socket://HOST:PORT" (raw TCP:
// the server's own line settings). The channel opens them beside its termios devices.
#include <memory>
#include <string>

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

struct NetworkOpenResult {
  int fd = -1;          // a connected non-blocking socket, or -1
  int errnum = 0;
  std::string error;    // the operator's sentence when fd is -1
  bool settingsRefused = false;  // the server refused or changed the line settings
  // RFC 2217: the option state agreed at open, which the monitor goes on decoding with.
  std::shared_ptr<telnet::CDecoder> decoder;
};

// Resolves, connects and, over RFC 2217, negotiates and sets the line, all within a few
// seconds and ended at once by InterruptNetworkOpens(true).
NetworkOpenResult OpenNetworkPort(const NetworkOpenRequest& request);

// What the operator is told once about a raw TCP port (empty for any other name): the
// line runs at the server's settings whatever rate is chosen here.
std::string RawTcpRateNotice(const std::string& name, unsigned baud);

// Ends every network open under way and refuses new ones until called with false (Ctrl+C
// in the command line: the run is over).
void InterruptNetworkOpens(bool interrupt);

// Keepalive and a bound on unacknowledged data, so a server that vanished without a word
// (power cut, cable) fails the line within seconds instead of hours.
void TuneConnectedSocket(int fd);
