#include "HeadlessHost.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>


void HeadlessHost::KeepPictureBytes(bool keep) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_keepPictureBytes = keep;
}

void HeadlessHost::SetTrafficLimit(size_t bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_trafficLimit = bytes;
}

void HeadlessHost::Changed() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_changes;
  }
  m_changed.notify_all();
}

// Records one call under the lock, then wakes the waiters.
#define RECORD(statement)                        \
  do {                                           \
    {                                            \
      std::lock_guard<std::mutex> lock(m_mutex); \
      statement;                                 \
    }                                            \
    Changed();                                   \
  } while (0)

int HeadlessHost::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                              MsgButtons buttons) {
  RECORD(m_boxes.push_back({text, caption, icon, buttons}));
  return IDOK;  // every box answered OK
}

void HeadlessHost::ShowStatusLine(const std::string& line) { RECORD(m_statusLines.push_back(line)); }

void HeadlessHost::TraceBytes(bool transmit, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  RECORD({
    if (transmit || m_traffic.empty() || m_traffic.back().transmit)
      m_traffic.push_back({transmit, {}});
    m_traffic.back().bytes.insert(m_traffic.back().bytes.end(), bytes, bytes + count);
    m_trafficBytes += count;
    // Trimmed in large steps so a long transfer does not move the record on every chunk.
    const size_t keep = m_trafficBytes > m_trafficLimit ? m_trafficLimit / 2 : m_trafficBytes;
    while (m_trafficBytes > keep) {
      std::vector<uint8_t>& oldest = m_traffic.front().bytes;
      const size_t drop = std::min(oldest.size(), m_trafficBytes - keep);
      m_trafficBytes -= drop;
      if (drop == oldest.size())
        m_traffic.pop_front();
      else
        oldest.erase(oldest.begin(), oldest.begin() + static_cast<long>(drop));
    }
  });
}

void HeadlessHost::ClearTraffic() {
  RECORD({
    m_traffic.clear();
    m_trafficBytes = 0;
  });
}

void HeadlessHost::SetProgressRange(uint32_t maximum) {
  RECORD({
    m_progressRange = maximum;
    m_progressMax = 0;
  });
}

void HeadlessHost::SetProgressPos(uint32_t pos) {
  RECORD({
    m_progressPos = pos;
    if (pos > m_progressMax) m_progressMax = pos;
  });
}

void HeadlessHost::ShowPicture(const DecodedPicture& shown) {
  for (const PictureBox& box : shown.boxes) ShowMessage(box.text, box.caption, box.icon, MsgButtons::Ok);
  bool keep;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    keep = m_keepPictureBytes;
  }
  Picture picture;
  picture.path = shown.path;
  picture.kind = shown.kind;
  picture.frameWidth = shown.frameWidth;
  picture.frameHeight = shown.frameHeight;
  picture.result = shown.result;
  picture.result.bitmap.reset();  // a long run's bitmaps would pile up
  if (keep) {
    std::ifstream in(shown.path, std::ios::binary);
    picture.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  RECORD(m_pictures.push_back(std::move(picture)));
}

void HeadlessHost::CaptureStateChanged(const SessionView& state) {
  RECORD({
    ++m_stateChanges;
    const CaptureControlFollower::Moves moves = m_controls.Follow(state);
    if (moves.detectedRead) m_readButtons.push_back(*moves.detectedRead);
    if (moves.stopNotice) m_stopNotices.push_back(*moves.stopNotice);
    if (moves.burstRead) m_multiReadButtons.push_back(*moves.burstRead);
    if (moves.burstTest) m_multiTestButtons.push_back(*moves.burstTest);
  });
}

void HeadlessHost::LineFailed(const std::string& reason) { RECORD(m_lineFailures.push_back(reason)); }

void HeadlessHost::CommandFinished(const CommandResult& result) { RECORD(m_results.push_back(result)); }

void HeadlessHost::CameraEventArrived(const CameraEvent& event) { RECORD(m_events.push_back(event)); }

#undef RECORD

// ---------------------------------------------------------------- snapshots

std::vector<HeadlessHost::TrafficChunk> HeadlessHost::Traffic() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_traffic.begin(), m_traffic.end()};
}

#define SNAPSHOT(type, name, field)              \
  type HeadlessHost::name() const {              \
    std::lock_guard<std::mutex> lock(m_mutex);   \
    return field;                                \
  }

SNAPSHOT(std::vector<std::string>, StatusLines, m_statusLines)
SNAPSHOT(uint32_t, ProgressRange, m_progressRange)
SNAPSHOT(uint32_t, ProgressPos, m_progressPos)
SNAPSHOT(uint32_t, ProgressMax, m_progressMax)
SNAPSHOT(std::vector<HeadlessHost::Picture>, Pictures, m_pictures)
SNAPSHOT(int, CaptureStateChanges, m_stateChanges)
SNAPSHOT(std::vector<HeadlessHost::Button>, ReadButtons, m_readButtons)
SNAPSHOT(std::vector<bool>, StopNotices, m_stopNotices)
SNAPSHOT(std::vector<HeadlessHost::Button>, MultiCaptureReadButtons, m_multiReadButtons)
SNAPSHOT(std::vector<bool>, MultiCaptureTestButtons, m_multiTestButtons)
SNAPSHOT(std::vector<std::string>, LineFailures, m_lineFailures)
SNAPSHOT(std::vector<HeadlessHost::Box>, Boxes, m_boxes)
SNAPSHOT(std::vector<CommandResult>, Results, m_results)
SNAPSHOT(std::vector<CameraEvent>, Events, m_events)

#undef SNAPSHOT

std::optional<CommandResult> HeadlessHost::WaitForResult(int code, unsigned timeoutMs,
                                                         size_t from) const {
  std::optional<CommandResult> found;
  WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = from; i < m_results.size(); ++i)
          if (m_results[i].code == code) {
            found = m_results[i];
            return true;
          }
        return false;
      },
      timeoutMs);
  return found;
}

std::string HeadlessHost::LastStatusLine() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_statusLines.empty() ? std::string() : m_statusLines.back();
}

std::vector<std::string> HeadlessHost::StatusLinesContaining(const std::string& text) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> lines;
  for (const auto& line : m_statusLines)
    if (line.find(text) != std::string::npos) lines.push_back(line);
  return lines;
}

bool HeadlessHost::HasStatusLine(const std::string& text) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& line : m_statusLines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

void HeadlessHost::Clear() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_statusLines.clear();
    m_traffic.clear();
    m_trafficBytes = 0;
    m_progressRange = m_progressPos = m_progressMax = 0;
    m_pictures.clear();
    m_results.clear();
    m_events.clear();
    m_stateChanges = 0;
    m_readButtons.clear();
    m_stopNotices.clear();
    m_multiReadButtons.clear();
    m_multiTestButtons.clear();
    m_lineFailures.clear();
    m_boxes.clear();
  }
  Changed();
}

// ---------------------------------------------------------------- waiting

bool HeadlessHost::WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      seen = m_changes;
    }
    // Evaluated without the lock: the condition may use the snapshot accessors.
    if (condition()) return true;
    std::unique_lock<std::mutex> lock(m_mutex);
    // A change wakes us; the timed wait also covers conditions on state outside the host.
    if (!m_changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                           std::chrono::milliseconds(50)),
                              [&] { return m_changes != seen; }) &&
        std::chrono::steady_clock::now() >= deadline) {
      lock.unlock();
      return condition();
    }
  }
}

bool HeadlessHost::WaitForStatus(const std::string& text, unsigned timeoutMs) const {
  return WaitUntil([&] { return HasStatusLine(text); }, timeoutMs);
}

bool HeadlessHost::WaitForStatusCount(const std::string& text, size_t count,
                                      unsigned timeoutMs) const {
  return WaitUntil([&] { return StatusLinesContaining(text).size() >= count; }, timeoutMs);
}

bool HeadlessHost::WaitForPictures(size_t count, unsigned timeoutMs) const {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pictures.size() >= count;
      },
      timeoutMs);
}
