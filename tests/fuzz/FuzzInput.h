#pragma once
// Reads a fuzz input front to back: small header values first, the rest is payload.
// Reads past the end yield zeros so every input is usable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint16_t U16() {
    const uint16_t hi = U8();
    return static_cast<uint16_t>((hi << 8) | U8());
  }
  const uint8_t* Rest() const { return m_data + m_pos; }
  size_t Left() const { return m_size - m_pos; }
  // Up to n bytes of the payload; advances past them.
  size_t Take(size_t n, const uint8_t** out) {
    if (n > Left()) n = Left();
    *out = Rest();
    m_pos += n;
    return n;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// One scratch folder per process, with a trailing "/".
inline const std::string& FuzzScratchDir() {
  static const std::string dir = [] {
    // In memory where the machine has it: every input is written to a file first.
    std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm/brevant-fuzz-XXXXXX"
                                                     : "/tmp/brevant-fuzz-XXXXXX";
    const char* made = mkdtemp(tmpl.data());
    if (!made) std::abort();
    return std::string(made) + "/";
  }();
  // Registered once dir exists, so it runs before dir is destroyed.
  static const bool cleaned = [] {
    return std::atexit([] { std::filesystem::remove_all(FuzzScratchDir()); }) == 0;
  }();
  (void)cleaned;
  return dir;
}

inline void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}
