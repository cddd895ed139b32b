#pragma once
// CameraHost: everything the engine asks of the window. The engine calls these from the
// protocol worker, the sender and the serial monitor threads as well as from the GUI
// thread. Implementations must never block the caller on the GUI thread: the Qt window
// posts each call (queued, so order is kept); the headless host records it.
// A callback may call StopCapture directly; anything else that drives the engine (captures,
// ClosePort, commands) should be posted to another thread rather than run inside the call.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/MessageSink.h"
#include "protocol/CommandResult.h"
#include "protocol/SessionView.h"

// Result of showing a finished picture.
struct PictureResult {
  bool ok = false;
  int width = 0;   // decoded size, for the timing line
  int height = 0;
};

// Every call has an empty default body: a host overrides only what it uses.
class CameraHost : public MessageSink {
 public:
  ~CameraHost() override = default;

  // A box nobody shows is answered OK.
  int ShowMessage(const std::string&, const std::string&, MsgIcon, MsgButtons) override {
    return IDOK;
  }

  // Activity log: one formatted line "(hh:mm:ss) text" replaces the status line.
  virtual void ShowStatusLine(const std::string& line) {}
  // The traffic trace, as bytes: a frame about to be written (transmit) or a chunk just
  // read, on the thread that saw it, in order, at the time it was seen. The text is the
  // host's to form (core/TraceModel.h).
  virtual void TraceBytes(bool transmit, const uint8_t* bytes, size_t count) {}
  virtual void ClearTraffic() {}

  // Transfer progress bar.
  virtual void SetProgressRange(uint32_t maximum) {}
  virtual void SetProgressPos(uint32_t pos) {}
  // A transfer has received nothing for the stall notice time (stalled), or bytes came
  // again / the transfer ended after such a notice (not stalled). Once per change.
  virtual void TransferStalled(bool stalled) {}

  // A finished temporary picture file: decode it (on the calling worker thread) and show it.
  // frameWidth/frameHeight are the NV12 dimensions from the long length reply.
  virtual PictureResult ShowPicture(const std::string& path, int frameWidth, int frameHeight) {
    return {};
  }

  // The engine changed the capture mode or other state the controls depend on (a stop
  // draining the line, the count a read button shows): state is the snapshot taken at the
  // change. The window re-runs its enable/disable rules and derives its captions from it.
  virtual void CaptureStateChanged(const SessionView& state) {}
  // A command left the pending queue: answered, refused, dropped or abandoned. Every
  // command issued gets exactly one; front ends act on these, never on log texts. What a
  // result or an event carries (the version, a read-back, image parameters, the end of a
  // capture) reaches the host there and nowhere else.
  virtual void CommandFinished(const CommandResult& result) {}
  // The camera reported something by itself (detection, power-on, auto capture).
  virtual void CameraEventArrived(const CameraEvent& event) {}

  // The line failed (device gone, read/write error): the port is unusable.
  virtual void LineFailed(const std::string& reason) {}
};
