#include "StationDisplay.h"

#include <algorithm>
#include <cstdio>

#include "StationEvents.h"
#include "station/StationReports.h"

namespace cli {

namespace {

std::string Padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// Cut to at most `width` bytes without splitting a UTF-8 character.
std::string Cut(std::string text, size_t width) {
  if (text.size() <= width) return text;
  size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1fs", seconds);
  return text;
}

}  // namespace

std::string TerminalSafe(const std::string& text) {
  const std::string valid = station::ValidUtf8(text);
  std::string out;
  out.reserve(valid.size());
  for (size_t i = 0; i < valid.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(valid[i]);
    unsigned control = 0x100;  // none
    if (c < 0x20 || c == 0x7f) control = c;
    // U+0080..U+009F: C1 controls (CSI among them) that some terminals obey.
    else if (c == 0xc2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xa0)
      control = static_cast<unsigned char>(valid[++i]);
    if (control == 0x100) {
      out += static_cast<char>(c);
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", control);
    out += escaped;
  }
  return out;
}

CStationDisplay::CStationDisplay(std::ostream& err, bool terminal, unsigned width,
                                 const std::vector<CameraRecord>& cameras, size_t stepCount,
                                 unsigned height, CStationEvents* events)
    // Rows redrawn in place need one row each and the cursor's; with fewer the terminal
    // scrolls, the cursor cannot climb back, and every redraw would repeat the rows.
    : m_err(err), m_bTerminal(terminal && (height == 0 || cameras.size() < height)),
      m_pEvents(events), m_width(std::max(20u, width)), m_stepCount(stepCount) {
  for (const CameraRecord& camera : cameras) {
    m_ended.push_back(0);
    m_rows.push_back({camera.port, camera.adapterSerial.empty() ? "-" : camera.adapterSerial,
                      "waiting", "", ""});
    m_portWidth = std::max(m_portWidth, camera.port.size());
    m_serialWidth = std::max(m_serialWidth, m_rows.back().serial.size());
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bTerminal) DrawLocked();
}

std::string CStationDisplay::Text(const Row& row) const {
  std::string text = Padded(row.port, m_portWidth) + "  " + Padded(row.serial, m_serialWidth) +
                     "  " + (row.result.empty() ? Padded(row.step, 18) + row.progress : row.result);
  return Cut(TerminalSafe(text), m_width - 1);  // the last column would wrap on some terminals
}

void CStationDisplay::DrawLocked() {
  // Back to the first row, then each row erased and written again.
  if (m_bDrawn) m_err << "\x1b[" << m_rows.size() << "A";
  for (const Row& row : m_rows) m_err << "\r\x1b[2K" << Text(row) << "\n";
  m_err.flush();
  m_bDrawn = true;
  m_lastDraw = std::chrono::steady_clock::now();
}

void CStationDisplay::StepStarted(size_t camera, size_t index, const std::string& step) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rows[camera].step = std::to_string(index + 1) + "/" + std::to_string(m_stepCount) + " " + step;
  m_rows[camera].progress.clear();
  if (m_pEvents) m_pEvents->StepStarted(m_rows[camera].port, index, step);
  if (m_bTerminal) DrawLocked();
}

void CStationDisplay::Progress(size_t camera, const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rows[camera].progress = text;
  if (m_pEvents) m_pEvents->Progress(m_rows[camera].port, text);
  if (!m_bTerminal) return;
  if (std::chrono::steady_clock::now() - m_lastDraw >= kRedrawEvery || text.empty()) DrawLocked();
}

void CStationDisplay::StepEnded(size_t camera, const StepRecord& step) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rows[camera].progress.clear();
  if (m_pEvents) m_pEvents->StepEnded(m_rows[camera].port, m_ended[camera]++, step);
  if (m_bTerminal) {
    DrawLocked();
    return;
  }
  const std::string outcome = step.skipped  ? "skipped"
                              : step.passed ? "ok"
                                            : "FAILED" + (step.message.empty() ? "" : " " + step.message);
  m_err << TerminalSafe(m_rows[camera].port + " " + step.name + " " + outcome) << "\n";
  m_err.flush();
}

void CStationDisplay::CameraEnded(size_t camera, const CameraRecord& record) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string result = record.passed ? "passed" : "FAILED";
  for (const StepRecord& step : record.steps)
    if (!step.passed && !step.skipped) {
      result += " at " + step.name + (step.message.empty() ? "" : ": " + step.message);
      break;
    }
  m_rows[camera].result = result + " (" + Seconds(record.seconds) + ")";
  if (m_pEvents && m_pRun) m_pEvents->CameraEnded(*m_pRun, record);
  if (m_bTerminal) DrawLocked();
}

void CStationDisplay::CameraStarted(size_t camera, const CameraRecord& record,
                                    const std::vector<std::string>& steps) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_pEvents) m_pEvents->CameraStarted(record, steps);
}

void CStationDisplay::Picture(size_t camera, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_pEvents) m_pEvents->Picture(m_rows[camera].port, path);
}

void CStationDisplay::Prompt(size_t camera, size_t index, const station::StationStep& step,
                             unsigned timeoutMs, const std::string& keys) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_pEvents) m_pEvents->Prompt(m_rows[camera].port, index, step, timeoutMs);
  if (keys.empty()) return;
  const std::string question = "? " + step.promptText + "  [" + keys + "] " +
                               std::to_string((timeoutMs + 999) / 1000) + " s";
  if (m_bTerminal) {
    m_rows[camera].progress = question;
    DrawLocked();
    return;
  }
  m_err << TerminalSafe(m_rows[camera].port + " " + question) << "\n";
  m_err.flush();
}

void CStationDisplay::Finish() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bTerminal) DrawLocked();
}

}  // namespace cli
