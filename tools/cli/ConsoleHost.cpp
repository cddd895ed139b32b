#include "ConsoleHost.h"

#include <cctype>

#include "CliOutput.h"
#include "imaging/JpegFile.h"

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

CConsoleHost::CConsoleHost(ResultWriter* writer, bool trace) : m_pWriter(writer), m_bTrace(trace) {}

void CConsoleHost::Changed() {
  ++m_sequence;
  m_changed.notify_all();
}

int CConsoleHost::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                              MsgButtons) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_boxes.push_back({text, caption, icon});
  Changed();
  return IDOK;
}

void CConsoleHost::ShowStatusLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_log.push_back(ParseStatusLine(line));
  Changed();
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
    std::lock_guard<std::mutex> lock(m_mutex);
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
    Changed();
  }
  if (!trace.empty() && m_pWriter) m_pWriter->Trace(trace);
}

void CConsoleHost::FinishTrace() {
  bool traced;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    traced = m_bTraced;
  }
  if (traced && m_pWriter) m_pWriter->Trace("\n");
}

void CConsoleHost::SetVersionText(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_version = text;
  ++m_versionChanges;
  Changed();
}

void CConsoleHost::ApplySettingsReadBack(const SettingsReadBack& values) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_settings = values;
  ++m_settingsReadBacks;
  Changed();
}

void CConsoleHost::SetDetectRadio(int) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

void CConsoleHost::SetProgressRange(uint32_t) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

void CConsoleHost::SetProgressPos(uint32_t) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

PictureResult CConsoleHost::ShowPicture(const std::string& path, int frameWidth, int frameHeight) {
  // Decoding proves the picture is whole and gives the size the timing line reports.
  PictureResult result;
  result.ok = DecodePictureFile(path, frameWidth, frameHeight, this, result.width, result.height);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pictures.push_back({path, result.ok, result.width, result.height});
  Changed();
  return result;
}

void CConsoleHost::CaptureStateChanged() {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

void CConsoleHost::SetReadButton(bool enabled, const std::string& caption) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_readButton.enabled = enabled;
  if (!caption.empty()) m_readButton.caption = caption;
  ++m_readButtonChanges;
  Changed();
}

void CConsoleHost::ShowStopNotice(bool) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

void CConsoleHost::SetMultiCaptureReadButton(bool, const std::string&) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

void CConsoleHost::SetMultiCaptureTestButton(bool) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

void CConsoleHost::OpenAutoCaptureFinish(int count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_autoCaptureReports.push_back(count);
  Changed();
}

void CConsoleHost::ImageParamsUpdated() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_imageParamsUpdates;
  Changed();
}

void CConsoleHost::LineFailed(const std::string& reason) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_lineFailure) m_lineFailure = reason;
  Changed();
}

uint64_t CConsoleHost::Sequence() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_sequence;
}

bool CConsoleHost::WaitForChange(uint64_t seq, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, limit, [&] { return m_sequence != seq; });
}

void CConsoleHost::Wake() {
  std::lock_guard<std::mutex> lock(m_mutex);
  Changed();
}

size_t CConsoleHost::LogCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_log.size();
}

std::vector<LogEntry> CConsoleHost::LogSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (mark >= m_log.size()) return {};
  return {m_log.begin() + static_cast<long>(mark), m_log.end()};
}

size_t CConsoleHost::BoxCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_boxes.size();
}

std::vector<BoxEntry> CConsoleHost::BoxesSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (mark >= m_boxes.size()) return {};
  return {m_boxes.begin() + static_cast<long>(mark), m_boxes.end()};
}

size_t CConsoleHost::PictureCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pictures.size();
}

std::vector<ShownPicture> CConsoleHost::PicturesSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (mark >= m_pictures.size()) return {};
  return {m_pictures.begin() + static_cast<long>(mark), m_pictures.end()};
}

size_t CConsoleHost::ReceivedCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_received.size();
}

std::vector<uint8_t> CConsoleHost::ReceivedSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (mark >= m_received.size()) return {};
  return {m_received.begin() + static_cast<long>(mark), m_received.end()};
}

uint64_t CConsoleHost::VersionChanges() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_versionChanges;
}

std::string CConsoleHost::VersionText() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_version;
}

uint64_t CConsoleHost::SettingsReadBacks() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_settingsReadBacks;
}

SettingsReadBack CConsoleHost::LastSettings() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_settings;
}

uint64_t CConsoleHost::ImageParamsUpdates() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_imageParamsUpdates;
}

uint64_t CConsoleHost::ReadButtonChanges() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_readButtonChanges;
}

ButtonState CConsoleHost::ReadButton() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_readButton;
}

std::vector<int> CConsoleHost::AutoCaptureReportsSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (mark >= m_autoCaptureReports.size()) return {};
  return {m_autoCaptureReports.begin() + static_cast<long>(mark), m_autoCaptureReports.end()};
}

size_t CConsoleHost::AutoCaptureReportCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_autoCaptureReports.size();
}

std::optional<std::string> CConsoleHost::LineFailure() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lineFailure;
}

}  // namespace cli
