#pragma once
// CConsoleHost: the engine's window seam for a console. The headless host records what
// the engine reports; this adds what the command runner needs to decide when a reply has
// come and what it said: the log as indexed entries, the bytes received, a change count
// to wait on, and the traffic trace forwarded to stderr when asked.
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

struct LogEntry {
  std::string text;   // without the "(hh:mm:ss) " stamp and the "Error:" mark
  bool error = false;
};

class CConsoleHost : public HeadlessHost {
 public:
  // trace: forward the traffic text to writer->Trace (with "\r\n" as "\n").
  CConsoleHost(ResultWriter* writer, bool trace);

  void ShowStatusLine(const std::string& line) override;
  void AppendTraffic(const std::string& text) override;
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

  size_t LogCount() const;
  std::vector<LogEntry> LogSince(size_t mark) const;
  size_t BoxCount() const { return Boxes().size(); }
  std::vector<Box> BoxesSince(size_t mark) const { return Since(Boxes(), mark); }
  size_t PictureCount() const { return Pictures().size(); }
  std::vector<Picture> PicturesSince(size_t mark) const { return Since(Pictures(), mark); }
  size_t ReceivedCount() const;
  std::vector<uint8_t> ReceivedSince(size_t mark) const;

  uint64_t VersionChanges() const { return VersionTexts().size(); }
  std::string VersionText() const;
  uint64_t SettingsReadBackCount() const { return SettingsReadBacks().size(); }
  SettingsReadBack LastSettings() const;
  // Every "Read" button change: the engine enables it when a detection stored pictures.
  uint64_t ReadButtonChanges() const { return ReadButtons().size(); }
  Button ReadButton() const;
  size_t AutoCaptureReportCount() const { return AutoCaptureOpens().size(); }
  std::vector<int> AutoCaptureReportsSince(size_t mark) const {
    return Since(AutoCaptureOpens(), mark);
  }
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
  // The log and the received bytes are indexed by the runner's marks; kept apart from the
  // base's records so a long run is not copied whole on every look.
  mutable std::mutex m_consoleMutex;
  std::vector<LogEntry> m_log;
  std::vector<uint8_t> m_received;
  bool m_bTrafficRx = true;   // the trace text after "Rx :" is received bytes
  bool m_bTraced = false;
};

// Strips the log stamp "(hh:mm:ss) " and the "Error:" mark from a status line.
LogEntry ParseStatusLine(const std::string& line);

}  // namespace cli
