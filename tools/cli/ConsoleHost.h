#pragma once
// CConsoleHost: the engine's window seam for a console. It keeps only what the runner has
// still to print or wait on: the engine's typed results and events in the order they came
// (the runner never reads log texts to learn an outcome), the boxes raised since the
// runner last looked, the first line failure, and a change count to wait on. What the
// runner has taken is gone, so a long `capture -n` or `monitor` does not grow. The traffic
// trace is forwarded to stderr when asked.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/FrameDecoder.h"
#include "core/PcapngTrace.h"
#include "core/TraceModel.h"
#include "protocol/CameraHost.h"

namespace cli {

class CCliProgress;
class ResultWriter;

// One thing the engine reported: a command's result or an event of the camera's own.
struct Report {
  bool isEvent = false;
  CommandResult result;
  CameraEvent event;
};

// A box the engine raised (the console prints it instead of showing it).
struct Box {
  std::string text;
  std::string caption;
  MsgIcon icon = MsgIcon::None;
};

class CConsoleHost : public CameraHost {
 public:
  // trace: forward the traffic, as text, to writer->Trace.
  CConsoleHost(ResultWriter* writer, bool trace);

  // ---- CameraHost ----
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons buttons) override;
  void TraceBytes(bool transmit, const uint8_t* bytes, size_t count) override;
  void SetProgressRange(uint32_t maximum) override;
  void SetProgressPos(uint32_t pos) override;
  // Shows nothing of a picture but the decoder's boxes.
  void ShowPicture(const DecodedPicture& picture) override;
  // Follows whether a picture is being decoded (Decoding).
  void CaptureStateChanged(const SessionView& state) override;
  void CommandFinished(const CommandResult& result) override;
  void CameraEventArrived(const CameraEvent& event) override;
  void LineFailed(const std::string& reason) override;

  // The transfer meter fed from the two progress calls (none: nothing shown). Set before
  // the engine starts.
  void SetProgressMeter(CCliProgress* meter) { m_pMeter = meter; }

  // ---- Observations for the runner (any thread) ----
  // Grows with every report, box, received chunk and line failure; WaitForChange returns
  // when it moved past seq or the time is up (returns whether it moved).
  uint64_t Sequence() const;
  bool WaitForChange(uint64_t seq, std::chrono::milliseconds limit) const;
  // Wakes every waiter (used when the run is interrupted).
  void Wake() { Changed(); }

  // Grows with every chunk the camera sent and every report: what the runner counts as
  // the camera still talking, and the end of a decode (the silence is timed from there).
  // Requests the engine writes (block re-requests) do not count.
  uint64_t CameraActivity() const;
  // A finished picture is being decoded: the camera owes nothing meanwhile, so that time
  // is not silence.
  bool Decoding() const;
  // The decoder had words for the last picture it decoded (a damaged file).
  bool LastPictureDamaged() const;

  // The oldest report not taken yet, removed from the host.
  std::optional<Report> TakeReport();
  bool HasReport() const;
  // The boxes raised since the last TakeBoxes or DropBoxes, removed from the host.
  std::vector<Box> TakeBoxes();
  // Forgets the boxes raised so far (a step starts: only its own boxes are its outcome).
  void DropBoxes();
  // The first reason the line failed, if it did.
  std::optional<std::string> LineFailure() const;
  // Ends the trace with a line break when traffic was traced (a decoded trace first tells
  // what was still waiting for more bytes).
  void FinishTrace();
  // The trace frame by frame, each with its decoded text. Set before the engine starts.
  void SetDecode(bool decode, FrameTextOptions options = {}) {
    m_bDecode = decode;
    m_frameOptions = options;
  }
  // Every byte traced also goes to this capture (owned by the caller; it outlives the
  // engine). Set before the engine starts.
  void SetCapture(CPcapngTrace* capture) { m_pCapture = capture; }

 private:
  void Changed();  // wakes the waiters; call with m_mutex NOT held
  // Writes decoded frames; with m_decodeMutex held.
  void WriteDecoded(const std::vector<DecodedFrame>& frames, const uint8_t* sent);

  ResultWriter* m_pWriter;
  bool m_bTrace;
  CCliProgress* m_pMeter = nullptr;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  uint64_t m_changes = 0;
  std::deque<Report> m_reports;  // not taken yet
  uint64_t m_reportsArrived = 0;
  std::vector<Box> m_boxes;      // not taken yet
  std::optional<std::string> m_lineFailure;
  uint64_t m_receivedChunks = 0;
  uint64_t m_decodesEnded = 0;
  bool m_bDecoding = false;
  bool m_bPictureDamaged = false;
  bool m_bTraced = false;

  bool m_bDecode = false;
  std::mutex m_decodeMutex;  // the decoder and the bytes it has not framed yet
  CFrameDecoder m_decoder;
  FrameTextOptions m_frameOptions;
  int64_t m_lastFrameUs = -1;  // the previous frame printed, for the deltas
  CPcapngTrace* m_pCapture = nullptr;  // fed with m_decodeMutex held
  uint64_t m_tracePos = 0;
  std::deque<uint8_t> m_rxHeld;
};

}  // namespace cli
