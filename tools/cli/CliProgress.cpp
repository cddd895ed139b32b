#include "CliProgress.h"

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

// Decimal units, like the line rate they are compared with (baud / 10 bytes per second).
std::string Amount(double bytes) {
  char text[32];
  if (bytes < 1000)
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  else if (bytes < 1000 * 1000)
    std::snprintf(text, sizeof text, "%.1f kB", bytes / 1000);
  else
    std::snprintf(text, sizeof text, "%.2f MB", bytes / (1000 * 1000));
  return text;
}

std::string Duration(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

CCliProgress::CCliProgress(std::function<void(const std::string&)> draw, Clock clock)
    : m_draw(std::move(draw)), m_clock(std::move(clock)) {}

std::string CCliProgress::Text(uint64_t bytes, uint64_t total, double seconds) {
  bytes = std::min(bytes, total);
  const int percent = total > 0 ? static_cast<int>(bytes * 100 / total) : 0;
  char head[16];
  std::snprintf(head, sizeof head, "%3d%%  ", percent);
  std::string text = head + Amount(static_cast<double>(bytes)) + " of " +
                     Amount(static_cast<double>(total));
  // Under half a second the rate is mostly the camera's pause before the first byte.
  if (bytes == 0 || seconds < 0.5) return text + "  -- B/s  --:-- left";
  const double rate = static_cast<double>(bytes) / seconds;
  return text + "  " + Amount(rate) + "/s  " +
         Duration(static_cast<double>(total - bytes) / rate) + " left";
}

void CCliProgress::Range(uint32_t total) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bActive = true;
  m_dwTotal = total;
  m_dwPos = 0;
  m_start = m_clock();
  DrawLocked(m_start);
}

void CCliProgress::Position(uint32_t pos) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_bActive) return;
  if (pos == 0) {
    m_bActive = false;
    m_draw("");
    return;
  }
  m_dwPos = pos;
  const auto now = m_clock();
  if (now - m_lastDraw >= kRedrawEvery) DrawLocked(now);
}

void CCliProgress::Finish() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_bActive) return;
  m_bActive = false;
  m_draw("");
}

void CCliProgress::DrawLocked(std::chrono::steady_clock::time_point now) {
  m_lastDraw = now;
  m_draw(Text(m_dwPos, m_dwTotal, std::chrono::duration<double>(now - m_start).count()));
}

}  // namespace cli
