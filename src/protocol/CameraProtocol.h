#pragma once
// CCameraProtocol: the camera protocol engine. Request templates and senders, the
// pending-reply queue, the protocol worker (reply processing every 30 ms, image transfer),
// the command sender thread, and the capture/session state shared by the window, the
// dialogs and the workers. Every call into the window goes through CameraHost.
//
// Threads: GUI (handlers, dialogs), protocol worker, command sender, serial monitor.
// Locks, in the only order they may nest: worker gate -> receive lock -> issue lock ->
// queue lock; the state, record and channel locks are leaves (nothing is taken while
// holding them), and the notify lock orders the state snapshots handed to the host.
// ProtocolImpl.h names them.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/CameraCommand.h"
#include "protocol/CameraHost.h"
#include "protocol/Clock.h"
#include "protocol/CommandCodes.h"
#include "protocol/Event.h"
#include "protocol/FeatureRecords.h"
#include "protocol/FrameChannel.h"
#include "protocol/SessionView.h"
#include "serial/SerialChannel.h"

// The serial owner's services are the engine's own business (the channel calls them through
// the interface): private, except the two a front end or a test also calls.
class CCameraProtocol : private SerialOwner {
 public:
  // decoder: how finished pictures are decoded (tests put a fake in its place).
  explicit CCameraProtocol(CameraHost* host, IClock* clock = nullptr,
                           PictureDecoder decoder = DecodePicture);
  ~CCameraProtocol() override;  // closes the port and joins every thread
  CCameraProtocol(const CCameraProtocol&) = delete;
  CCameraProtocol& operator=(const CCameraProtocol&) = delete;

  CameraHost* Host() const { return m_pHost; }

  // ---- Activity log (formats "(%02d:%02d:%02d) %s" / "... Error:%s" and shows it) ----
  void LogMessage(int index);            // English text of the message table entry
  void LogInfo(const std::string& text);
  void LogError(const std::string& text) override;  // also the serial owner's service

  // ---- Port ----
  // port = COM number (1..15, mapped through GlobalPortMap()), or a device path with
  // OpenDevice. Returns 1 on success. On success the worker and the monitor run.
  int OpenPort(int port, unsigned baud, char parity = 'N', unsigned dataBits = 8,
               unsigned stopBits = 1, unsigned writeBuffer = 512);
  int OpenDevice(const std::string& device, int port, unsigned baud);
  // A network port connected beforehand (CNetworkOpenAttempt): the same open, without its wait.
  int OpenConnected(const std::string& device, int port, unsigned baud, NetworkOpenResult opened,
                    unsigned writeBuffer = 512);
  void ClosePort();
  bool IsPortOpen() const;
  std::string LastOpenError() const;  // why the last open failed, for the operator
  // The last open failed on the line settings: the channel's box has named the step.
  bool LastOpenRefusedSettings() const;

  // Frames go to this channel instead of a serial port (not owned; nullptr detaches).
  // For tests and tools that drive the engine without a port.
  void UseFrameChannel(IFrameChannel* channel);
  // The protocol worker (one ProcessReplies pass every 30 ms). OpenPort starts it and
  // ClosePort stops it; with UseFrameChannel the caller starts and stops it.
  // Must not be called from the engine's own threads or host callbacks.
  int StartWorker();  // 0 on success, 1 when the thread could not be started
  void StopWorker();
  bool IsWorkerRunning() const;

  // ---- Command sender thread (lives as long as the window) ----
  void StartSender();
  void StopSender();

  // ---- Commands ----
  // The one way to send a command: queues command.code, then writes its frame, as one step
  // (whichever threads issue, the camera hears the requests in queue order). With no port
  // (nor frame channel) nothing is queued: the command is reported Cancelled. False when
  // the command has no frame for its values (then nothing is queued or sent). Each command
  // issued ends in exactly one CameraHost::CommandFinished.
  // A write also becomes the engine's copy of what it writes (Records(), and for
  // CMD_SET_DETECTION / CMD_SET_IMAGE_FORMAT the session's detection and image type),
  // taken as the frame is built, before anything can answer: front ends never update a
  // record themselves. The copy holds what was last asked of the camera, sent or not (a
  // closed port), answered or refused: a dialog opened later shows what the operator
  // asked for, and a refusal only adds the camera's status where the record has one (the
  // crop window's). A read-back replaces it with what the camera holds. A command
  // without a frame changes nothing.
  bool Issue(const CameraCommand& command);
  // Every entry still waiting is dropped and reported Cancelled (Close, a new capture).
  void ClearCommands();
  // The codes waiting for a reply, oldest first (diagnostics, tests).
  std::vector<int> QueuedCommands();
  // An entry without a frame: what the sender thread queues for a block read, and what
  // tests queue before they feed a reply by hand.
  void QueueCommand(int code);
  // Byte 1 of every frame and reply template from now on.
  void ApplySerialNumber(uint8_t serialNumber);

  // ---- Captures and reads (GUI thread) ----
  // SingleCapture, ContinuesCapture, ReadStoredPicture and ReadMultiCapturePicture also
  // empty the traffic view (host ClearTraffic).
  void SingleCapture();          // capture mode 1, serial number applied, capture start
  void ContinuesCapture();       // capture mode 2, capturing flag, next capture on the sender
  void StopCapture();            // worker held off at a safe point while state is reset
  void ReadStoredPicture();      // detection "Read": frame selector = read index (>= 1)
  void ReadMultiCapturePicture();  // "Read capture" of the MultipleCapture dialog
  void ReadAutoCapturePicture(int requestedSoFar);  // "Auto Capture finish" button
  // A transfer that receives no byte for this long is reported to the host as stalled
  // (CameraHost::TransferStalled); default 10 s. The transfer itself goes on asking.
  void SetStallNotice(unsigned ms);
  // Whether the first request after an open waits for the line to go quiet (default on): a
  // camera plugged back in may still be sending what an interrupted transfer asked for.
  // The camera finder's short tries do without.
  void SetQuietBeforeFirstRequest(bool wait);

  // ---- Reply processing (protocol worker; public so tests can step) ----
  // Received bytes in arrival order (the serial monitor, or a test feeding replies).
  void AppendReceived(const uint8_t* bytes, unsigned count);
  void ProcessReplies();
  std::vector<uint8_t> ReceiveBufferSnapshot();
  void DiscardReceived();

  // ---- The operator's settings, as one value (read from the controls when a command starts)
  void ApplySettings(const SessionSettings& settings);
  SessionSettings Settings() const;
  // Changes some fields in one step (nothing else runs while `change` does).
  void UpdateSettings(const std::function<void(SessionSettings&)>& change);

  // ---- Session state shared by the window and the workers (thread-safe) ----
  SessionView State() const;
  void SetCaptureMode(int mode);
  void SetContinuous(bool on);
  void SetReadIndex(int index);
  void SetStoredCount(int count);
  void SetVersionText(const std::string& text);
  void SetModelInfo(const ModelInfo& info);
  void SetDetectionActive(bool on);
  void SetDetectType(uint8_t type);
  void SetMultiReadIndex(int index);
  void SetAutoReadIndex(int index);

  // ---- Feature records: what Issue last wrote and replies filled (copies under the record
  // lock). UpdateRecords is for what a window keeps without sending (a read's blank start).
  FeatureRecordSet Records() const;
  void UpdateRecords(const std::function<void(FeatureRecordSet&)>& change);

  // The line failed for good (the serial owner's service; tests use it to pull the cable).
  void LineFailed(const std::string& reason) override;

  struct Impl;  // private state, defined in ProtocolImpl.h for the engine's own sources

 private:
  // SerialOwner
  void TraceSent(const uint8_t* frame, size_t length) override;
  void ReportError(const std::string& text) override;

  // Used by the engine's own threads (Impl is a member, so it may call these).
  int PeekCommand();
  void TriggerCapture();    // capture event: start the next capture on the sender thread
  void RequestBlockRead();  // the image length is known: queue the block read
  void CaptureStart();      // flush, CMD_STOP_FRAME with the image-type byte
  void PrepareRead();       // receive buffer emptied, transfer state reset, queue cleared
  IClock* Clock() const { return m_pClock; }

  std::unique_ptr<Impl> m_pImpl;
  CameraHost* m_pHost;
  IClock* m_pClock;
};
