#include "PortServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

constexpr const char* kServer = "/usr/sbin/ser2net";

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

// True when a socket listens on the loopback port (state 0A in /proc/net/tcp).
bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  while (std::getline(table, line))
    if (line.find(wanted) != std::string::npos && line.find(" 0A ") != std::string::npos) return true;
  return false;
}

}  // namespace

bool CPortServer::Available() { return access(kServer, X_OK) == 0; }

bool CPortServer::Start(const std::string& device, Kind kind) {
  m_kind = kind;
  m_port = FreeLoopbackPort();
  if (m_port == 0 || m_folder.Path().empty()) return false;
  const std::string config = m_folder.Path() + "/ser2net.yaml";
  {
    std::ofstream out(config);
    out << "%YAML 1.1\n---\n"
        << "connection: &camera\n"
        << "  accepter: " << (kind == Kind::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1,"
        << m_port << "\n"
        << "  connector: serialdev," << device << ",115200n81,local\n"
        << "  options:\n    kickolduser: true\n";
  }
  m_pid = fork();
  if (m_pid == 0) {
    // -n: stay in the foreground, -u: no UUCP lock files (a test may not write /var/lock).
    execl(kServer, kServer, "-n", "-u", "-c", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (m_pid < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Listening(m_port)) {
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
      m_pid = -1;
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string CPortServer::Url() const {
  return std::string(m_kind == Kind::Rfc2217 ? "rfc2217" : "socket") + "://127.0.0.1:" +
         std::to_string(m_port);
}

void CPortServer::Kill() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

}  // namespace testsupport
