#pragma once
// CConsoleHost: the engine's window seam for a console. The headless host records what
// the engine reports; this adds what the command runner needs: the engine's typed results
// and events in the order they came (the runner never reads log texts to learn an
// outcome), a change count to wait on, and the traffic trace forwarded to stderr when asked.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/HeadlessHost.h"

namespace cli {

class CCliProgress;
class ResultWriter;

// One thing the engine reported: a command's result or an event of the camera's own.
struct Report {
  bool isEvent = false;
  CommandResult result;
  CameraEvent event;
};

class CConsoleHost : public HeadlessHost {
 public:
  // trace: forward the traffic, as text, to writer->Trace.
  CConsoleHost(ResultWriter* writer, bool trace);

  void TraceBytes(bool transmit, const uint8_t* bytes, size_t count) override;
  void CommandFinished(const CommandResult& result) override;
  void CameraEventArrived(const CameraEvent& event) override;
  void SetProgressRange(uint32_t maximum) override;
  void SetProgressPos(uint32_t pos) override;
  // The transfer meter fed from the two progress calls (none: nothing shown). Set before
  // the engine starts.
  void SetProgressMeter(CCliProgress* meter) { m_pMeter = meter; }

  // ---- Observations for the runner (any thread) ----
  // Grows with every call from the engine; WaitForChange returns when it moved past seq
  // or the time is up (returns whether it moved).
  uint64_t Sequence() const;
  bool WaitForChange(uint64_t seq, std::chrono::milliseconds limit) const;
  // Wakes every waiter (used when the run is interrupted).
  void Wake() { Changed(); }

  // Grows with every chunk the camera sent and every report: what the runner counts as
  // the camera still talking. Requests the engine writes (block re-requests) do not count.
  uint64_t CameraActivity() const;

  size_t ReportCount() const;
  std::vector<Report> ReportsSince(size_t mark) const;
  size_t BoxCount() const { return Boxes().size(); }
  std::vector<Box> BoxesSince(size_t mark) const { return Since(Boxes(), mark); }
  std::optional<std::string> LineFailure() const;
  // Ends the trace with a line break when traffic was traced.
  void FinishTrace();

 private:
  template <typename T>
  static std::vector<T> Since(const std::vector<T>& all, size_t mark) {
    if (mark >= all.size()) return {};
    return {all.begin() + static_cast<long>(mark), all.end()};
  }

  ResultWriter* m_pWriter;
  bool m_bTrace;
  CCliProgress* m_pMeter = nullptr;
  mutable std::mutex m_consoleMutex;
  std::vector<Report> m_reports;
  bool m_bTraced = false;
  uint64_t m_receivedChunks = 0;
};

}  // namespace cli
