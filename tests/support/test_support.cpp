#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <jpeglib.h>

#include "serial/PortMap.h"

namespace testsupport {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    s += b;
  }
  return s;
}

PortOverride::PortOverride(int number, const std::string& device) : m_number(number) {
  GlobalPortMap().AddOverride(number, device);
}

PortOverride::~PortOverride() { GlobalPortMap().RemoveOverride(m_number); }

SilentPty::SilentPty() {
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0 &&
      ptsname_r(m_master, name, sizeof name) == 0)
    m_path = name;
}

SilentPty::~SilentPty() {
  if (m_master >= 0) close(m_master);
}

bool DecodeJpeg(const std::vector<uint8_t>& jpeg, int& width, int& height) {
  struct Error {
    jpeg_error_mgr manager;
    jmp_buf jump;
  } error;
  jpeg_decompress_struct info;
  std::vector<uint8_t> row;  // outside the setjmp scope: a longjmp must not skip its destructor
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<Error*>(c->err)->jump, 1); };
  error.manager.output_message = [](j_common_ptr) {};
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), jpeg.size());
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  row.resize(info.output_width * info.output_components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&info, rows, 1);
  }
  width = static_cast<int>(info.output_width);
  height = static_cast<int>(info.output_height);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

std::tm PinnedSaveTime() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 20;
  t.tm_min = 15;
  t.tm_sec = 30;
  return t;
}

int LoopbackListener(uint16_t* port, int backlog) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(listener);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

}  // namespace testsupport
