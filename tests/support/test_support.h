#pragma once
// Small helpers the unit, end-to-end and window tests share: test bytes, files, a port
// where nobody answers, and a JPEG's decoded size.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "test_files.h"

namespace testsupport {

// n bytes of a linear congruential sequence: content no stage of a transfer can mistake
// for another's, the same for the same seed.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 7);
// "56 00 11 00": bytes as the camera's side lists them.
std::string Hex(const std::vector<uint8_t>& bytes);

// A pseudo-terminal with nothing behind it: a port where no camera answers (unless the test
// speaks on Master() itself).
class SilentPty {
 public:
  SilentPty();
  ~SilentPty();
  SilentPty(const SilentPty&) = delete;
  SilentPty& operator=(const SilentPty&) = delete;
  // The device to open; empty when no pseudo-terminal could be had.
  const std::string& Path() const { return m_path; }
  int Master() const { return m_master; }

 private:
  int m_master = -1;
  std::string m_path;
};

// Maps COMn to a device in the process-wide port map for as long as it lives, so a test
// that fails half-way leaves no mapping behind for the next.
class PortOverride {
 public:
  PortOverride(int number, const std::string& device);
  ~PortOverride();
  PortOverride(const PortOverride&) = delete;
  PortOverride& operator=(const PortOverride&) = delete;

 private:
  int m_number;
};

// A TCP socket listening on 127.0.0.1 at a port of the system's choosing (in *port), for a
// server that takes connections and never answers; -1 when none could be had.
int LoopbackListener(uint16_t* port, int backlog = 8);

// Decodes the whole stream with libjpeg; false (no crash) on a broken one.
bool DecodeJpeg(const std::vector<uint8_t>& jpeg, int& width, int& height);

// 2026-12-06 20:15:30: a save time pinned to one second, so that pictures saved in a run
// compete for one name.
std::tm PinnedSaveTime();

}  // namespace testsupport
