#pragma once
// CCameraProtocol: the camera protocol engine. Request templates and senders, the
// pending-reply queue, the protocol worker (reply processing every 30 ms, image transfer),
// the command sender thread, and the capture/session state shared by the window, the
// dialogs and the workers. Every call into the window goes through CameraHost.
//
// Threads: GUI (handlers, dialogs), protocol worker, command sender, serial monitor.
// Locks, in the only order they may nest: worker gate -> receive lock -> queue lock;
// the state lock and the record lock are leaves (nothing is taken while holding them).
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
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
#include "serial/SerialChannel.h"

class CCameraProtocol : public SerialOwner, public ReceiveSink {
 public:
  explicit CCameraProtocol(CameraHost* host, IClock* clock = nullptr);
  ~CCameraProtocol() override;  // closes the port and joins every thread
  CCameraProtocol(const CCameraProtocol&) = delete;
  CCameraProtocol& operator=(const CCameraProtocol&) = delete;

  CameraHost* Host() const { return m_pHost; }
  IClock* Clock() const { return m_pClock; }

  // ---- Activity log (formats "(%02d:%02d:%02d) %s" / "... Error:%s" and shows it) ----
  void LogMessage(int index);            // English text of the message table entry
  void LogInfo(const std::string& text);
  void LogError(const std::string& text) override;  // also the serial owner's service

  // ---- Port ----
  // port = COM number (1..15, mapped through GlobalPortMap()), or a device path with
  // OpenDevice. Returns 1 on success. On success the worker and the monitor run.
  int OpenPort(int port, unsigned baud, char parity = 'N', unsigned dataBits = 8,
               unsigned stopBits = 1, unsigned eventMask = 9, unsigned writeBuffer = 512);
  int OpenDevice(const std::string& device, int port, unsigned baud);
  void ClosePort();
  bool IsPortOpen() const;
  std::string LastOpenError() const;  // why the last open failed, for the operator

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
  void TriggerCapture();    // capture event: start the next capture on the sender thread
  void RequestBlockRead();  // hSendCmd: the image length is known

  // ---- Commands: the one way to send one. Queues command.code, then writes its frame.
  // False when the command has no frame for its values (nothing queued, nothing sent).
  bool Issue(const CameraCommand& command);

  // ---- Pending-reply queue ----
  void QueueCommand(int code);
  int PeekCommand();
  void DropCommand();
  void ClearCommands();
  std::vector<int> QueuedCommands();  // snapshot, for tests and diagnostics

  // ---- Request senders (the caller queues the code first) ----
  void ApplySerialNumber(uint8_t serialNumber);
  uint8_t AppliedSerialNumber() const;  // byte 1 of every frame and reply template
  void SendReset();
  void SendStopFrame(uint8_t xx);
  void SendResumeFrame();
  void SendGetFrameLength(uint8_t selector);
  void SendReadFrameBuffer(uint8_t selector, uint32_t address, uint32_t length, uint16_t delay);
  void SendCompression(uint8_t value);
  void SendPowerSave(int mode);            // 1 enter, 2 leave
  void SendBaudRate(unsigned baud);
  void SendTempBaudRate(unsigned baud);
  void SendImageSize(int sizeIndex);       // 1..14
  void SendMotionControl(int mode);        // 1 on, 0 off, 2 sensitivity
  void SendFillLight(unsigned level);
  void SendOsdLine(const OsdLineSetting& record);
  void SendGetVersion();
  void SendMotionCapture(uint8_t photos, uint16_t interval, uint8_t nextDetect);
  void SendMultiCapture(uint8_t photos, uint16_t interval);
  void SendPowerOnCapture(uint8_t photos, uint16_t interval);
  void SendCropSetting(const CropSettings& record);
  void SendDetectionSetting(const DetectSettings& record);
  void SendReadDetection();
  void SendReadSettings();
  void SendImageParams(const ImageParams& record);
  void SendReadImageParams(uint8_t selector);
  void SendResetImageParams(uint8_t selector);
  void SendImageFormat(uint8_t type);

  // ---- Captures and reads (GUI thread, or the sender thread for TriggerCapture) ----
  // SingleCapture, ContinuesCapture, ReadStoredPicture and ReadMultiCapturePicture also
  // empty the traffic view (host ClearTraffic).
  void SingleCapture();          // capture mode 1, serial number applied, capture start
  void ContinuesCapture();       // capture mode 2, capturing flag, TriggerCapture
  void CaptureStart();           // flush, CMD_STOP_FRAME with the image-type byte
  void StopCapture();            // worker held off at a safe point while state is reset
  void ReadStoredPicture();      // detection "Read": frame selector = read index (>= 1)
  void PrepareRead();            // receive buffer emptied, transfer state reset, queue cleared
  void ReadMultiCapturePicture();  // "Read capture" of the MultipleCapture dialog
  void ReadAutoCapturePicture(int requestedSoFar);  // "Auto Capture finish" button

  // ---- Reply processing and transfer (protocol worker; public so tests can step) ----
  void AppendReceived(const uint8_t* bytes, unsigned count) override;
  void ProcessReplies();
  void RunTransfer(int code);
  std::vector<uint8_t> ReceiveBufferSnapshot();
  void DiscardReceived();

  // ---- The operator's settings, as one value (read from the controls when a command starts)
  void ApplySettings(const SessionSettings& settings);
  SessionSettings Settings() const;

  // ---- Session state shared by the window and the workers (thread-safe) ----
  int GetCaptureMode() const;
  void SetCaptureMode(int mode);
  bool IsContinuous() const;
  void SetContinuous(bool on);
  int GetReadIndex() const;
  void SetReadIndex(int index);
  int GetStoredCount() const;
  void SetStoredCount(int count);
  int GetImageType() const;
  void SetImageType(int type);
  int GetTransmitMode() const;          // "Transmit:" index 0..5
  void SetTransmitMode(int mode);
  std::string GetSavePath() const;      // always ends with "/" once a capture started
  void SetSavePath(const std::string& path);
  unsigned GetContinueDelay() const;
  void SetContinueDelay(unsigned ms);
  uint8_t GetSerialNumber() const;
  void SetSerialNumber(uint8_t sn);     // stores only; ApplySerialNumber patches templates
  uint32_t GetFileLength() const;       // m_dwFileLength, under the main lock
  uint32_t GetBytesWritten() const;
  std::string GetLastImageFile() const; // the temporary file of the last complete picture
  std::string TemporaryFilePath() const;  // where the current capture writes
  int GetFrameWidth() const;            // NV12 dimensions from the long length reply
  int GetFrameHeight() const;
  std::string GetVersionText() const;   // mirrors the "Version:" field
  void SetVersionText(const std::string& text);
  ModelInfo GetModelInfo() const;
  void SetModelInfo(const ModelInfo& info);
  bool IsDetectionActive() const;
  void SetDetectionActive(bool on);
  uint8_t GetDetectType() const;        // m_nDetectType: wording of detection on/off results
  void SetDetectType(uint8_t type);
  uint32_t GetImageLength() const;      // image length of the last length reply
  // Set by a detection report; cleared by a reset reply, CMD_MOTION_ON and after the
  // last detected picture has been read.
  bool IsReadingDetectedPictures() const;

  // ---- Feature records (copies under the record lock) ----
  OsdLineSetting GetOsdLine(int line) const;
  void SetOsdLine(int line, const OsdLineSetting& record);
  DetectSettings GetDetectSettings() const;
  void SetDetectSettings(const DetectSettings& record);
  ImageParams GetImageParams() const;
  void SetImageParams(const ImageParams& record);
  CropSettings GetCropSettings() const;
  void SetCropSettings(const CropSettings& record);
  MultiCaptureSettings GetMultiCapture() const;
  void SetMultiCapture(const MultiCaptureSettings& record);
  int GetMultiReadIndex() const;
  void SetMultiReadIndex(int index);
  int GetAutoReadIndex() const;
  void SetAutoReadIndex(int index);

  // SerialOwner
  void AppendTraffic(const std::string& text) override;
  void TraceSent(const uint8_t* frame, size_t length) override;
  void ReportError(const std::string& text) override;
  void LineFailed(const std::string& reason) override;

  struct Impl;  // private state, defined in ProtocolImpl.h for the engine's own sources

 private:
  std::unique_ptr<Impl> m_pImpl;
  CameraHost* m_pHost;
  IClock* m_pClock;
};
