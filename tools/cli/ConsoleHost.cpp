#include "ConsoleHost.h"

#include "CliOutput.h"
#include "CliProgress.h"

namespace cli {

LogEntry ParseStatusLine(const std::string& line) {
  LogEntry entry;
  std::string text = line;
  // "(hh:mm:ss) " is 11 characters.
  if (text.size() >= 11 && text[0] == '(' && text[3] == ':' && text[6] == ':' && text[9] == ')' &&
      text[10] == ' ')
    text.erase(0, 11);
  const std::string mark = "Error:";
  if (text.compare(0, mark.size(), mark) == 0) {
    entry.error = true;
    text.erase(0, mark.size());
  }
  entry.text = text;
  return entry;
}

CConsoleHost::CConsoleHost(ResultWriter* writer, bool trace) : m_pWriter(writer), m_bTrace(trace) {
  // The trace is parsed as it comes; the base only needs a short tail of it.
  SetTrafficLimit(64 * 1024);
}

void CConsoleHost::ShowStatusLine(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(m_consoleMutex);
    m_log.push_back(ParseStatusLine(line));
  }
  HeadlessHost::ShowStatusLine(line);  // records and wakes the waiters
}

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void CConsoleHost::AppendTraffic(const std::string& text) {
  std::string trace;
  {
    std::lock_guard<std::mutex> lock(m_consoleMutex);
    // The trace is "\r\n\r\nTX :56 00 .. \r\nRx :" per request and "76 00 .. " per chunk
    // received; the bytes after "Rx :" are what the camera sent.
    for (size_t i = 0; i < text.size();) {
      if (text.compare(i, 4, "TX :") == 0) {
        m_bTrafficRx = false;
        i += 4;
      } else if (text.compare(i, 4, "Rx :") == 0) {
        m_bTrafficRx = true;
        i += 4;
      } else if (i + 1 < text.size() && HexValue(text[i]) >= 0 && HexValue(text[i + 1]) >= 0) {
        if (m_bTrafficRx)
          m_received.push_back(static_cast<uint8_t>(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
        i += 2;
      } else {
        ++i;
      }
    }
    if (m_bTrace) {
      m_bTraced = true;
      trace.reserve(text.size());
      for (char c : text)
        if (c != '\r') trace += c;
    }
  }
  if (!trace.empty() && m_pWriter) m_pWriter->Trace(trace);
  HeadlessHost::AppendTraffic(text);
}

void CConsoleHost::SetProgressRange(uint32_t maximum) {
  if (m_pMeter) m_pMeter->Range(maximum);
  HeadlessHost::SetProgressRange(maximum);
}

void CConsoleHost::SetProgressPos(uint32_t pos) {
  if (m_pMeter) m_pMeter->Position(pos);
  HeadlessHost::SetProgressPos(pos);
}

void CConsoleHost::FinishTrace() {
  bool traced;
  {
    std::lock_guard<std::mutex> lock(m_consoleMutex);
    traced = m_bTraced;
  }
  if (traced && m_pWriter) m_pWriter->Trace("\n");
}

uint64_t CConsoleHost::Sequence() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_changes;
}

bool CConsoleHost::WaitForChange(uint64_t seq, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, limit, [&] { return m_changes != seq; });
}

size_t CConsoleHost::LogCount() const {
  std::lock_guard<std::mutex> lock(m_consoleMutex);
  return m_log.size();
}

std::vector<LogEntry> CConsoleHost::LogSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_consoleMutex);
  return Since(m_log, mark);
}

size_t CConsoleHost::ReceivedCount() const {
  std::lock_guard<std::mutex> lock(m_consoleMutex);
  return m_received.size();
}

std::vector<uint8_t> CConsoleHost::ReceivedSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_consoleMutex);
  return Since(m_received, mark);
}

std::string CConsoleHost::VersionText() const {
  auto texts = VersionTexts();
  return texts.empty() ? std::string() : texts.back();
}

SettingsReadBack CConsoleHost::LastSettings() const {
  auto all = SettingsReadBacks();
  return all.empty() ? SettingsReadBack{} : all.back();
}

HeadlessHost::Button CConsoleHost::ReadButton() const {
  auto all = ReadButtons();
  return all.empty() ? Button{} : all.back();
}

std::optional<std::string> CConsoleHost::LineFailure() const {
  auto all = LineFailures();
  if (all.empty()) return std::nullopt;
  return all.front();
}

}  // namespace cli
