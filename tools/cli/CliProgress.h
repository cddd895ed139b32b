#pragma once
// CCliProgress: the transfer meter of brevant-cli, one line per picture redrawn in place
// on stderr: bytes, per cent, rate and time left. It is fed by the engine's progress
// calls (range at the start of a picture, positions as bytes arrive, 0 when the picture
// ends) from the engine's threads, and draws through a callback so that the writer that
// owns the terminal can keep results and the meter apart.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace cli {

class CCliProgress {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // draw(text) replaces the meter's line with text; draw("") removes it.
  explicit CCliProgress(std::function<void(const std::string&)> draw,
                        Clock clock = [] { return std::chrono::steady_clock::now(); });

  // A picture of total bytes starts: the meter appears at once.
  void Range(uint32_t total);
  // Bytes received so far. 0 after the start means the picture ended (finished, stopped
  // or abandoned): the meter goes, so the result line takes its place.
  void Position(uint32_t pos);
  // Removes a meter still showing (the run ends).
  void Finish();

  // The meter's text, e.g. " 33%  412.3 kB of 1.24 MB  92.1 kB/s  0:09 left"; rate and time
  // left read "--" until there is a rate to tell.
  static std::string Text(uint64_t bytes, uint64_t total, double seconds);

  // Shortest time between two redraws: often enough to look alive, rarely enough that a
  // slow terminal never holds up the transfer.
  static constexpr std::chrono::milliseconds kRedrawEvery{250};

 private:
  void DrawLocked(std::chrono::steady_clock::time_point now);

  std::function<void(const std::string&)> m_draw;
  Clock m_clock;
  std::mutex m_mutex;
  bool m_bActive = false;
  uint32_t m_dwTotal = 0;
  uint32_t m_dwPos = 0;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace cli
