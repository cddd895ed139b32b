#pragma once
// IFrameChannel: where the engine writes request frames, and the receive-idle flag that
// paces block requests. The serial line satisfies it through an adapter; unit tests plug
// in a recording fake so no port is needed.
#include <cstddef>
#include <cstdint>

class IFrameChannel {
 public:
  virtual ~IFrameChannel() = default;
  // Posts one frame and returns at once; 1 when accepted.
  virtual int Send(const uint8_t* frame, size_t length) = 0;
  // True once the receiver has drained its input since the last ClearReceiveIdle().
  virtual bool ReceiveIdle() = 0;
  virtual void ClearReceiveIdle() = 0;
  // Stops all I/O; no receive calls follow once it returns.
  virtual void Close() {}
};
