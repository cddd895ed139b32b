#pragma once
// CameraHost: everything the engine asks of the window. The engine calls these from the
// protocol worker, the sender and the serial monitor threads as well as from the GUI
// thread. Implementations must never block the caller on the GUI thread: the Qt window
// posts each call (queued, so order is kept); the headless host records it.
// A callback may call StopCapture directly; anything else that drives the engine (captures,
// ClosePort, commands) should be posted to another thread rather than run inside the call.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/MessageSink.h"
#include "imaging/Dib.h"
#include "imaging/JpegFile.h"
#include "protocol/CommandResult.h"
#include "protocol/SessionView.h"

// The engine's decode of a finished picture file.
struct PictureResult {
  bool ok = false;
  int width = 0;   // decoded size, for the timing line and the typed result
  int height = 0;
  std::shared_ptr<const CDib> bitmap;  // what to show; null when it did not decode
};

// A decoder's box, held until the host gets the picture it came with.
struct PictureBox {
  std::string text;
  std::string caption;
  MsgIcon icon = MsgIcon::None;
};

// A finished picture as the engine decoded it on its worker.
struct DecodedPicture {
  std::string path;  // the temporary file
  PictureKind kind = PictureKind::Jpeg;
  int frameWidth = 0;  // the NV12 size the long length reply gave
  int frameHeight = 0;
  PictureResult result;
  std::vector<PictureBox> boxes;  // what the decoder had to say ("JPEG Error" ...)
};

// How the engine decodes a finished file (boxes receives the decoder's boxes). The tests
// put a fake in its place; DecodePicture is the real one.
using PictureDecoder = std::function<PictureResult(const std::string& path, PictureKind kind,
                                                   int frameWidth, int frameHeight,
                                                   MessageSink* boxes)>;
PictureResult DecodePicture(const std::string& path, PictureKind kind, int frameWidth,
                            int frameHeight, MessageSink* boxes);

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

  // A finished picture, decoded (or not) on the worker that calls: show its bitmap and its
  // boxes. A decode Stop Capture or Close abandoned never comes here.
  virtual void ShowPicture(const DecodedPicture& picture) {}

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
