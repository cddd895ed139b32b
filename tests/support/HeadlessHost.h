#pragma once
// HeadlessHost: a CameraHost without a window for the tests. It records every call the
// engine makes (status lines, traffic, boxes, results, events, progress, pictures shown,
// and the button captions the window derives from the state snapshots ...) for ever, so
// tests can assert on them. It decodes nothing: the engine does. All
// methods are thread-safe; the Wait* helpers block the caller until a condition holds or
// a deadline passes (for tests and scripts; never call them from a host callback).
//
// Derive to react to calls as they happen: override, then call the base to keep the record.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/CaptureControls.h"
#include "protocol/CameraHost.h"

class HeadlessHost : public CameraHost {
 public:
  struct Box {
    std::string text;
    std::string caption;
    MsgIcon icon = MsgIcon::None;
    MsgButtons buttons = MsgButtons::Ok;
  };
  using Button = CaptureControlFollower::Button;
  // A picture the engine handed over (its bitmap is not kept).
  struct Picture {
    std::string path;
    PictureKind kind = PictureKind::Jpeg;
    int frameWidth = 0;
    int frameHeight = 0;
    PictureResult result;
    std::vector<uint8_t> bytes;  // the file as shown, when KeepPictureBytes(true)
  };
  // Traffic as the engine traced it: a frame sent, or bytes received (consecutive chunks
  // joined). core/TraceModel.h's TraceStreamText forms the text.
  struct TrafficChunk {
    bool transmit = false;
    std::vector<uint8_t> bytes;
  };

  HeadlessHost() = default;

  // ---- settings ----
  void KeepPictureBytes(bool keep);
  // The traffic record keeps about the newest `bytes` bytes (default 4 MiB).
  void SetTrafficLimit(size_t bytes);

  // ---- CameraHost ----
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons buttons) override;
  void ShowStatusLine(const std::string& line) override;
  void TraceBytes(bool transmit, const uint8_t* bytes, size_t count) override;
  void ClearTraffic() override;
  void SetProgressRange(uint32_t maximum) override;
  void SetProgressPos(uint32_t pos) override;
  // Records the picture; its boxes are recorded as boxes.
  void ShowPicture(const DecodedPicture& picture) override;
  // Counts the changes and records, from each snapshot, the controls it moved (below).
  void CaptureStateChanged(const SessionView& state) override;
  void LineFailed(const std::string& reason) override;
  void CommandFinished(const CommandResult& result) override;
  void CameraEventArrived(const CameraEvent& event) override;

  // ---- what was recorded (copies) ----
  std::vector<std::string> StatusLines() const;
  std::string LastStatusLine() const;
  // Lines containing text, in order.
  std::vector<std::string> StatusLinesContaining(const std::string& text) const;
  bool HasStatusLine(const std::string& text) const;  // some line contains text
  std::vector<TrafficChunk> Traffic() const;  // since the last ClearTraffic, newest part only
  uint32_t ProgressRange() const;
  uint32_t ProgressPos() const;
  uint32_t ProgressMax() const;       // highest position since the last range change
  std::vector<Picture> Pictures() const;
  int CaptureStateChanges() const;
  // The capture controls as the window derives them from the snapshots, one entry per move.
  std::vector<Button> ReadButtons() const;
  std::vector<bool> StopNotices() const;
  std::vector<Button> MultiCaptureReadButtons() const;
  std::vector<bool> MultiCaptureTestButtons() const;
  std::vector<std::string> LineFailures() const;
  std::vector<Box> Boxes() const;
  std::vector<CommandResult> Results() const;
  std::vector<CameraEvent> Events() const;
  void Clear();  // forget everything recorded

  // ---- waiting (true when the condition held before the deadline) ----
  bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs) const;
  bool WaitForStatus(const std::string& text, unsigned timeoutMs) const;
  // At least count status lines containing text.
  bool WaitForStatusCount(const std::string& text, size_t count, unsigned timeoutMs) const;
  bool WaitForPictures(size_t count, unsigned timeoutMs) const;
  // The first result for `code` at or after position `from` of Results().
  std::optional<CommandResult> WaitForResult(int code, unsigned timeoutMs, size_t from = 0) const;

 protected:
  void Changed();  // wakes the waiters; call with m_mutex NOT held

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  uint64_t m_changes = 0;

 private:
  bool m_keepPictureBytes = false;
  size_t m_trafficLimit = 4u << 20;

  std::vector<std::string> m_statusLines;
  std::deque<TrafficChunk> m_traffic;
  size_t m_trafficBytes = 0;
  uint32_t m_progressRange = 0;
  uint32_t m_progressPos = 0;
  uint32_t m_progressMax = 0;
  std::vector<Picture> m_pictures;
  int m_stateChanges = 0;
  CaptureControlFollower m_controls;
  std::vector<Button> m_readButtons;
  std::vector<bool> m_stopNotices;
  std::vector<Button> m_multiReadButtons;
  std::vector<bool> m_multiTestButtons;
  std::vector<std::string> m_lineFailures;
  std::vector<Box> m_boxes;
  std::vector<CommandResult> m_results;
  std::vector<CameraEvent> m_events;
};
