#pragma once
// CConsoleHost: the engine's window seam for a console. It records everything the engine
// reports (log lines, boxes, pictures, read-backs, received bytes) so the command runner
// can decide when a reply has come and what it said, and it forwards the traffic trace
// to stderr when asked. Engine threads call in; the runner waits on the change sequence.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/CameraHost.h"

namespace cli {

class ResultWriter;

struct LogEntry {
  std::string text;   // without the "(hh:mm:ss) " stamp and the "Error:" mark
  bool error = false;
};

struct BoxEntry {
  std::string text;
  std::string caption;
  MsgIcon icon = MsgIcon::None;
};

struct ShownPicture {
  std::string path;
  bool ok = false;
  int width = 0;
  int height = 0;
};

struct ButtonState {
  bool enabled = false;
  std::string caption;
};

class CConsoleHost : public CameraHost {
 public:
  // trace: forward the traffic text to writer->Trace (with "\r\n" as "\n").
  CConsoleHost(ResultWriter* writer, bool trace);

  // ---- CameraHost ----
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons buttons) override;
  void ShowStatusLine(const std::string& line) override;
  void AppendTraffic(const std::string& text) override;
  void ClearTraffic() override {}
  void SetVersionText(const std::string& text) override;
  void ApplySettingsReadBack(const SettingsReadBack& values) override;
  void SetDetectRadio(int w) override;
  void SetProgressRange(uint32_t maximum) override;
  void SetProgressPos(uint32_t pos) override;
  PictureResult ShowPicture(const std::string& path, int frameWidth, int frameHeight) override;
  void CaptureStateChanged() override;
  void SetReadButton(bool enabled, const std::string& caption) override;
  void ShowStopNotice(bool show) override;
  void SetMultiCaptureReadButton(bool enabled, const std::string& caption) override;
  void SetMultiCaptureTestButton(bool enabled) override;
  void OpenAutoCaptureFinish(int count) override;
  void ImageParamsUpdated() override;
  void LineFailed(const std::string& reason) override;

  // ---- Observations for the runner (any thread) ----
  // Grows with every call from the engine; WaitForChange returns when it moved past seq
  // or the time is up (returns whether it moved).
  uint64_t Sequence() const;
  bool WaitForChange(uint64_t seq, std::chrono::milliseconds limit) const;
  // Wakes every waiter (used when the run is interrupted).
  void Wake();

  size_t LogCount() const;
  std::vector<LogEntry> LogSince(size_t mark) const;
  size_t BoxCount() const;
  std::vector<BoxEntry> BoxesSince(size_t mark) const;
  size_t PictureCount() const;
  std::vector<ShownPicture> PicturesSince(size_t mark) const;
  size_t ReceivedCount() const;
  std::vector<uint8_t> ReceivedSince(size_t mark) const;

  uint64_t VersionChanges() const;
  std::string VersionText() const;
  uint64_t SettingsReadBacks() const;
  SettingsReadBack LastSettings() const;
  uint64_t ImageParamsUpdates() const;
  // Every "Read" button change: the engine enables it when a detection stored pictures.
  uint64_t ReadButtonChanges() const;
  ButtonState ReadButton() const;
  // Counts of the automatic-capture reports, in arrival order.
  std::vector<int> AutoCaptureReportsSince(size_t mark) const;
  size_t AutoCaptureReportCount() const;
  std::optional<std::string> LineFailure() const;
  // Ends the trace with a line break when traffic was traced.
  void FinishTrace();

 private:
  void Changed();  // caller holds m_mutex

  ResultWriter* m_pWriter;
  bool m_bTrace;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  uint64_t m_sequence = 0;

  std::vector<LogEntry> m_log;
  std::vector<BoxEntry> m_boxes;
  std::vector<ShownPicture> m_pictures;
  std::vector<uint8_t> m_received;
  bool m_bTrafficRx = true;   // the trace text after "Rx :" is received bytes
  bool m_bTraced = false;
  uint64_t m_versionChanges = 0;
  std::string m_version;
  uint64_t m_settingsReadBacks = 0;
  SettingsReadBack m_settings;
  uint64_t m_imageParamsUpdates = 0;
  uint64_t m_readButtonChanges = 0;
  ButtonState m_readButton;
  std::vector<int> m_autoCaptureReports;
  std::optional<std::string> m_lineFailure;
};

// Strips the log stamp "(hh:mm:ss) " and the "Error:" mark from a status line.
LogEntry ParseStatusLine(const std::string& line);

}  // namespace cli
