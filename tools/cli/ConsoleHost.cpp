#include "ConsoleHost.h"

#include <algorithm>

#include "CliOutput.h"
#include "CliProgress.h"
#include "core/TraceModel.h"

namespace cli {

CConsoleHost::CConsoleHost(ResultWriter* writer, bool trace) : m_pWriter(writer), m_bTrace(trace) {}

void CConsoleHost::Changed() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_changes;
  }
  m_changed.notify_all();
}

int CConsoleHost::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                              MsgButtons) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back({text, caption, icon});
  }
  Changed();
  return IDOK;  // nobody is there to cancel
}

// The trace on stderr as it comes: each request and each reply on one unbroken line.
void CConsoleHost::TraceBytes(bool transmit, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!transmit) ++m_receivedChunks;
    m_bTraced = m_bTraced || m_bTrace;
  }
  const int64_t now = pcapng::NowUs();
  if (m_pCapture) {
    std::lock_guard<std::mutex> lock(m_decodeMutex);
    m_pCapture->Feed(transmit, bytes, count, now);
  }
  if (m_bTrace && m_pWriter && m_bDecode) {
    std::lock_guard<std::mutex> lock(m_decodeMutex);
    if (!transmit) m_rxHeld.insert(m_rxHeld.end(), bytes, bytes + count);
    std::vector<DecodedFrame> frames;
    m_decoder.Feed(transmit, bytes, count, m_tracePos, frames, now);
    m_tracePos += count;
    WriteDecoded(frames, transmit ? bytes : nullptr);
  } else if (m_bTrace && m_pWriter) {
    m_pWriter->Trace(TraceStreamText(transmit, bytes, count));
  }
  Changed();  // wakes the waiters
}

// Received frames come in the order of their bytes, so each takes its bytes off the front
// of what is held; a frame sent is the bytes of the call.
void CConsoleHost::WriteDecoded(const std::vector<DecodedFrame>& frames, const uint8_t* sent) {
  std::string text;
  std::vector<uint8_t> bytes;
  for (const DecodedFrame& f : frames) {
    if (f.transmit) {
      if (sent) text += TraceFrameText(f, sent, f.length, m_frameOptions, m_lastFrameUs);
    } else {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(f.length, m_rxHeld.size()));
      bytes.assign(m_rxHeld.begin(), m_rxHeld.begin() + static_cast<long>(n));
      m_rxHeld.erase(m_rxHeld.begin(), m_rxHeld.begin() + static_cast<long>(n));
      text += TraceFrameText(f, bytes.data(), bytes.size(), m_frameOptions, m_lastFrameUs);
    }
    if (f.timeUs >= 0) m_lastFrameUs = f.timeUs;
  }
  if (!text.empty()) m_pWriter->Trace(text);
}

void CConsoleHost::SetProgressRange(uint32_t maximum) {
  if (m_pMeter) m_pMeter->Range(maximum);
}

void CConsoleHost::SetProgressPos(uint32_t pos) {
  if (m_pMeter) m_pMeter->Position(pos);
}

void CConsoleHost::ShowPicture(const DecodedPicture& picture) {
  // Whatever the decoder had to say about the file marks the picture as damaged (a warning
  // leaves it decoded, from a damaged file).
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bPictureDamaged = !picture.boxes.empty();
  }
  for (const PictureBox& box : picture.boxes)
    ShowMessage(box.text, box.caption, box.icon, MsgButtons::Ok);
}

void CConsoleHost::CaptureStateChanged(const SessionView& state) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bDecoding == state.decodingPicture) return;
    m_bDecoding = state.decodingPicture;
    if (m_bDecoding) m_bPictureDamaged = false;  // the mark is the decode under way's alone
    // The camera's silence is timed from the end of a decode, never from before it.
    if (!m_bDecoding) ++m_decodesEnded;
  }
  Changed();
}

bool CConsoleHost::LastPictureDamaged() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bPictureDamaged;
}

bool CConsoleHost::Decoding() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bDecoding;
}

void CConsoleHost::CommandFinished(const CommandResult& result) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Report report;
    report.result = result;
    m_reports.push_back(std::move(report));
    ++m_reportsArrived;
  }
  Changed();
}

void CConsoleHost::CameraEventArrived(const CameraEvent& event) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Report report;
    report.isEvent = true;
    report.event = event;
    m_reports.push_back(std::move(report));
    ++m_reportsArrived;
  }
  Changed();
}

void CConsoleHost::LineFailed(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lineFailure) m_lineFailure = reason;
  }
  Changed();
}

void CConsoleHost::FinishTrace() {
  bool traced;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    traced = m_bTraced;
  }
  if (traced && m_pWriter && m_bDecode) {
    std::lock_guard<std::mutex> lock(m_decodeMutex);
    std::vector<DecodedFrame> frames;
    m_decoder.Flush(frames);
    WriteDecoded(frames, nullptr);
  }
  if (traced && m_pWriter) m_pWriter->EndTraceLine();
}

uint64_t CConsoleHost::Sequence() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_changes;
}

bool CConsoleHost::WaitForChange(uint64_t seq, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, limit, [&] { return m_changes != seq; });
}

uint64_t CConsoleHost::CameraActivity() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_receivedChunks + m_reportsArrived + m_decodesEnded;
}

std::optional<Report> CConsoleHost::TakeReport() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_reports.empty()) return std::nullopt;
  Report report = std::move(m_reports.front());
  m_reports.pop_front();
  return report;
}

bool CConsoleHost::HasReport() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return !m_reports.empty();
}

std::vector<Box> CConsoleHost::TakeBoxes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<Box> boxes;
  boxes.swap(m_boxes);
  return boxes;
}

void CConsoleHost::DropBoxes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_boxes.clear();
}

std::optional<std::string> CConsoleHost::LineFailure() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lineFailure;
}

}  // namespace cli
