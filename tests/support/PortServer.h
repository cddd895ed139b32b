#pragma once
// Debian's ser2net as a port server on the loopback address, in front of a device (the
// virtual camera's pty): the config is written here, the process started and killed here.
#include <sys/types.h>

#include <string>

#include "test_files.h"

namespace testsupport {

class CPortServer {
 public:
  enum class Kind { Rfc2217, Raw };
  CPortServer() = default;
  ~CPortServer() { Kill(); }
  CPortServer(const CPortServer&) = delete;
  CPortServer& operator=(const CPortServer&) = delete;

  static bool Available();  // ser2net is installed
  // Serves device at 115200 8N1 on a free loopback port; true once it listens.
  bool Start(const std::string& device, Kind kind);
  // "rfc2217://127.0.0.1:PORT" or "socket://127.0.0.1:PORT".
  std::string Url() const;
  void Kill();  // SIGKILL, as a server that dies or loses power

 private:
  TempFolder m_folder{"brevant-ser2net"};
  pid_t m_pid = -1;
  int m_port = 0;
  Kind m_kind = Kind::Rfc2217;
};

}  // namespace testsupport
