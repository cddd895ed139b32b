#include "ConsoleHost.h"

#include "CliOutput.h"
#include "CliProgress.h"
#include "core/TraceModel.h"

namespace cli {

CConsoleHost::CConsoleHost(ResultWriter* writer, bool trace) : m_pWriter(writer), m_bTrace(trace) {
  // The trace goes straight to stderr; the base only needs a short tail of it.
  SetTrafficLimit(64 * 1024);
}

// The trace on stderr as it comes: each request and each reply on one unbroken line.
void CConsoleHost::TraceBytes(bool transmit, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(m_consoleMutex);
    if (!transmit) ++m_receivedChunks;
    m_bTraced = m_bTraced || m_bTrace;
  }
  if (m_bTrace && m_pWriter) m_pWriter->Trace(TraceStreamText(transmit, bytes, count));
  HeadlessHost::TraceBytes(transmit, bytes, count);  // records and wakes the waiters
}

uint64_t CConsoleHost::CameraActivity() const {
  std::lock_guard<std::mutex> lock(m_consoleMutex);
  return m_receivedChunks + m_reports.size();
}

void CConsoleHost::CommandFinished(const CommandResult& result) {
  {
    std::lock_guard<std::mutex> lock(m_consoleMutex);
    Report report;
    report.result = result;
    m_reports.push_back(std::move(report));
  }
  HeadlessHost::CommandFinished(result);
}

void CConsoleHost::CameraEventArrived(const CameraEvent& event) {
  {
    std::lock_guard<std::mutex> lock(m_consoleMutex);
    Report report;
    report.isEvent = true;
    report.event = event;
    m_reports.push_back(std::move(report));
  }
  HeadlessHost::CameraEventArrived(event);
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

size_t CConsoleHost::ReportCount() const {
  std::lock_guard<std::mutex> lock(m_consoleMutex);
  return m_reports.size();
}

std::vector<Report> CConsoleHost::ReportsSince(size_t mark) const {
  std::lock_guard<std::mutex> lock(m_consoleMutex);
  return Since(m_reports, mark);
}

std::optional<std::string> CConsoleHost::LineFailure() const {
  auto all = LineFailures();
  if (all.empty()) return std::nullopt;
  return all.front();
}

}  // namespace cli
