#pragma once
// CSerialChannel: one serial port on POSIX termios with one monitor thread that does all
// port I/O. Frames posted by Send are written whole and in order; received bytes go to
// the receive sink chunk by chunk (at most 8192 bytes each) in arrival order.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/NetworkPort.h"

// Services the channel needs from its owner (the protocol object forwards them to the window).
class SerialOwner {
 public:
  virtual ~SerialOwner() = default;
  // A frame about to be written, for the trace (received bytes reach it through the sink).
  virtual void TraceSent(const uint8_t* /*frame*/, size_t /*length*/) {}
  virtual void LogError(const std::string& text) = 0;
  // The "Application Error" box: text already formatted
  // ("WARNING:  %s Failed with the following error: \n%s\nPort: %d\n").
  virtual void ReportError(const std::string& text) = 0;
  // Something about the device the operator should know once (e.g. no low latency);
  // an error line in the log unless the owner shows notices elsewhere.
  virtual void LogNotice(const std::string& text) { LogError(text); }
  // The port failed for good (device removed, hang-up, a frame the device would not take
  // within the write bound): the monitor has stopped reading and writing.
  virtual void LineFailed(const std::string& reason) = 0;
};

class ReceiveSink {
 public:
  virtual ~ReceiveSink() = default;
  // Called on the monitor thread once per chunk, count 0..8192.
  virtual void AppendReceived(const uint8_t* bytes, unsigned count) = 0;
  // On the monitor thread, each time it has read all the device had and raised the
  // receive-idle flag (after the chunk that emptied it was handed over).
  virtual void InputDrained() {}
};

class CSerialChannel {
 public:
  CSerialChannel();
  virtual ~CSerialChannel();
  CSerialChannel(const CSerialChannel&) = delete;
  CSerialChannel& operator=(const CSerialChannel&) = delete;

  // 1 when the device opened and took its line settings; 0 when it could not be opened (no
  // box; see LastOpenError()) or refused a setting (the owner's box names the step; the
  // port is left closed; LastOpenRefusedSettings()).
  int Open(SerialOwner* owner, ReceiveSink* sink, unsigned port, unsigned baud, char parity,
           unsigned dataBits, unsigned stopBits, unsigned writeBufferCapacity);
  // Same, naming the device directly (used by the CLI and tests).
  int OpenDevice(SerialOwner* owner, ReceiveSink* sink, const std::string& device, unsigned port,
                 unsigned baud, char parity, unsigned dataBits, unsigned stopBits,
                 unsigned writeBufferCapacity);
  // Same, for a network port whose connection was made beforehand (off the caller's
  // thread, see CNetworkOpenAttempt): the channel takes the socket, or the failure as the
  // open's own.
  int OpenConnected(SerialOwner* owner, ReceiveSink* sink, const std::string& device, unsigned port,
                    unsigned baud, unsigned writeBufferCapacity, NetworkOpenResult opened);
  int StartMonitor();
  // Posts one frame; returns 1 when posted, 0 when refused. A frame that is empty or longer
  // than the write buffer is reported through the owner's LogError; a closed or failed port
  // refuses quietly (the operator has already been told).
  int Send(const uint8_t* frame, size_t length);
  // Always 1; returns after the monitor thread has ended (from the monitor thread itself,
  // e.g. inside LineFailed, it only asks it to end; the next Open/Close/destructor joins).
  // Output still queued is discarded and the device's close is waited for at most about a
  // second, so a wedged adapter cannot freeze the caller.
  int Close();

  // Receive counters of this channel: bytes read so far, and "the input was drained" (set
  // by the monitor only, which then calls the sink's InputDrained; cleared by the reader).
  uint32_t ReceivedByteCount() const;
  bool ReceiveIdle() const;
  void ClearReceiveIdle();

  // How long the monitor waits for the device to take a frame of `length` bytes at `baud`
  // (without any of it being accepted) before it fails the line: about a millisecond per
  // byte (longer on slow lines), plus a second.
  static unsigned WriteBoundMs(size_t length, unsigned baud);

  bool IsOpen() const;
  // Why the last Open returned 0: errno and a sentence for the operator
  // (e.g. permission: membership of the dialout group).
  int LastOpenErrno() const;
  std::string LastOpenError() const;
  // The last Open failed because the device refused the line settings (its box is shown).
  bool LastOpenRefusedSettings() const;
  std::string DevicePath() const;

  // The operator's sentence for an open() failure on device (permission, busy, missing).
  static std::string OpenErrorText(int errnum, const std::string& device);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};
