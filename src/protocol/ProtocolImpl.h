#pragma once
// Private state of CCameraProtocol, shared by its source files (CameraProtocol.cpp,
// ProtocolFrames.cpp, ReplyProcessor.cpp, ImageTransfer.cpp, CameraPort.cpp).
//
// Locks, in the only order they nest: gate -> rxMutex -> issueMutex -> queueMutex.
// stateMutex, recordMutex and channelMutex are leaves: nothing is called while they are
// held (no host call, no send). issueMutex is held from queueing a code to posting its frame: under it
// only the channel's Send runs, which posts and returns and never calls into the engine.
// The host is called with gate and/or rxMutex held; host calls never block on the GUI.
// notifyMutex is held around taking a state snapshot and handing it to the host, and only
// there (it takes stateMutex inside), so the host gets snapshots in the order they were taken.
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/CameraProtocol.h"
#include "protocol/SessionView.h"

class CSerialChannel;
class ReceiveSink;

// printf-style formatting into a std::string.
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Everything the window and the workers share about the current session and capture: what
// front ends see (SessionView, State() hands them that part) and what only the engine keeps.
struct SessionState : SessionView {
  int imageType = IMAGE_TYPE_JPEG;
  int transmitMode = 0;     // the window's "Transmit:" selection
  int transferMode = 0;     // taken from transmitMode when a capture or read starts
  std::string savePath;
  unsigned continueDelay = 0;
  uint32_t pictureLimit = 0;  // SessionSettings::pictureLimit
  uint8_t serialNumber = 0;
  uint32_t startTime = 0;
  uint32_t endTime = 0;
  bool endTaken = false;
  bool personVehicle = false;   // the last report was a person/vehicle report
  uint8_t lengthSelector = 0;   // frame selector of the last length request
  int decodedWidth = 0;         // of the last picture shown, for the timing line
  int decodedHeight = 0;
  bool transferActive = false;
  bool portOpen = false;
  std::string lastOpenError;
  bool lastOpenRefusedSettings = false;
};


struct CCameraProtocol::Impl {
  Impl(CCameraProtocol& owner, CameraHost* host, IClock* clock);

  CCameraProtocol& self;
  CameraHost* host;
  std::unique_ptr<IClock> ownedClock;
  IClock* clock;

  // ---- Worker gate: held for each reply pass; StopCapture takes it to hold the worker
  // off at a safe point. The transfer releases it while it waits for bytes.
  std::mutex gate;

  // ---- Receive buffer and the wake-ups of every wait in the engine ----
  std::mutex rxMutex;
  std::condition_variable rxCv;
  std::vector<uint8_t> rx;
  // Most bytes rx keeps; what arrives beyond is counted but dropped. Raised to one block
  // answer (and a byte, so an overlong answer still shows) while a block is awaited.
  size_t rxKeep = kReceiveKeep;
  static constexpr size_t kReceiveKeep = 1u << 20;
  uint64_t rxAppended = 0;         // bytes ever appended, kept or not
  uint64_t interruptGen = 0;       // bumped by stop, close and line failure
  uint64_t appendedAtUnsolicited = 0;  // rxAppended at the previous unsolicited pass

  // ---- Pending-reply queue ----
  std::mutex issueMutex;  // queue push and frame post as one step (IssueLocked)
  std::mutex queueMutex;
  std::deque<int> queue;
  std::atomic<uint64_t> queueGen{0};
  std::atomic<uint64_t> queueDrops{0};  // entries taken off the head
  bool headReported = false;  // the head's result is out while it stays (a zero length)
  bool headTrimTold = false;  // the log said the head's wait drops bytes

  // ---- Session state and feature records (leaf locks) ----
  mutable std::mutex stateMutex;
  SessionState st;
  mutable std::mutex recordMutex;
  FeatureRecordSet records;

  std::atomic<uint8_t> templateSn{0};

  // ---- Channel: frames are written without holding any engine lock of ours ----
  std::mutex channelMutex;
  std::shared_ptr<IFrameChannel> channel;      // where frames go
  std::shared_ptr<IFrameChannel> portChannel;  // the serial adapter while a port is open

  // ---- Threads ----
  std::thread worker;
  std::atomic<std::thread::id> workerId{};  // so calls from the worker itself are told apart
  bool OnWorker() const { return std::this_thread::get_id() == workerId.load(); }
  std::atomic<bool> workerRunning{false};
  std::atomic<bool> exitRequested{false};
  std::atomic<bool> lineFailed{false};
  std::atomic<bool> stopDrain{false};  // Stop Capture asks the worker to wait out the line
  PictureDecoder decoder;  // set once, before any thread runs
  std::atomic<bool> decoding{false};   // the worker shows a picture with the gate released
  std::atomic<bool> stopDecode{false};  // Stop Capture or Close: that decode is abandoned
  std::atomic<uint64_t> stops{0};      // Stop Capture calls, counted under the gate
  std::string lineFailReason;  // under stateMutex
  std::thread sender;
  Event senderExit;
  Event sendCmd;
  Event captureEvent;

  // ---- Temporary picture file: touched only with the gate held ----
  FILE* file = nullptr;
  bool fileOpen = false;
  bool fileClosed = false;
  bool fileWriteFailed = false;
  // Quiet time in a transfer after which the host hears of the stall (SetStallNotice).
  std::atomic<unsigned> stallNoticeMs{10000};
  std::string filePath;
  bool fileYuv = false;  // filePath holds a raw NV12 frame, by the rule that named it

  // Opens the serial line with `open` and starts the worker and the monitor (CameraPort.cpp).
  int OpenSerial(const std::function<int(CSerialChannel&, ReceiveSink*)>& open);
  // The first requests after an open are queued at once but their frames are held until
  // the worker has seen the line quiet (bounded) and dropped what came, so the issuing
  // thread (the window's) never waits for a camera still talking. Under issueMutex:
  // holdFrames, heldFrames; under rxMutex: openTick, appendedAtOpen.
  void QuietThenReleaseHeld();  // on the worker, gate not held
  std::atomic<bool> quietOnOpen{true};
  bool holdFrames = false;
  std::vector<std::vector<uint8_t>> heldFrames;
  std::atomic<bool> framesHeld{false};  // heldFrames is not empty; set before the code is queued
  uint32_t openTick = 0;
  uint64_t appendedAtOpen = 0;

  // ---- frames (ProtocolFrames.cpp) ----
  std::vector<uint8_t> BuildFrame(const CameraCommand& command);  // empty: nothing to send
  bool IssueLocked(const CameraCommand& command);  // queue the code, then write the frame
  void KeepRecord(const CameraCommand& command);   // a write's values become the records
  void Enqueue(int code);  // with issueMutex held
  void WriteCommand(const CameraCommand& command);  // the frame only (a request asked again)
  std::vector<uint8_t> LengthFrame(uint8_t selector);
  std::vector<uint8_t> BaudFrame(unsigned baud);
  void WriteBlockRequest(uint8_t selector, uint32_t address, uint32_t length, uint16_t delay);
  void IssueLength(int selector);  // CMD_GET_FRAME_LEN for frame `selector`

  // ---- helpers (CameraProtocol.cpp) ----
  void Write(std::vector<uint8_t> frame, std::shared_ptr<IFrameChannel> line = nullptr);
  std::shared_ptr<IFrameChannel> Channel();
  void Interrupt();  // wakes every wait so it re-checks stop/close/line state
  void WakeWaits();  // wakes every wait to re-check its condition (the input was drained)
  bool Interrupted(uint64_t gen) const { return exitRequested || interruptGen != gen; }
  // Sleeps ms of clock time with rxMutex held by the caller (released while waiting);
  // wakes early on stop, close or line failure.
  void PauseLocked(std::unique_lock<std::mutex>& rxLock, unsigned ms);
  void Pause(unsigned ms);
  // Take the head off; true when its result is still to be reported.
  bool DropIfHead(int code);  // only when `code` is at the head
  bool DropHead();
  bool HeadReported();
  // `code` stays at the head with its result out: it gets no other. False when it is no
  // longer there (whoever took it reported it).
  bool MarkHeadReported(int code);
  void WorkerLoop();
  void EndWorker(bool waitOutDecode);  // false: a worker decoding is joined later
  void SenderLoop();
  void SetVersionFromCamera(const std::string& text);
  int CaptureMode();
  void SetMode(int mode, bool notify);
  // Hands the host a snapshot of the state as it is now (take no lock around it). Threads
  // notify one at a time, so an older snapshot never reaches the host after a newer one
  // (a stale "decoding" or caption would otherwise outlive the change it missed).
  void NotifyState();
  std::mutex notifyMutex;

  // ---- typed results (CameraProtocol.cpp) ----
  // Log lines written on this thread between Begin and End go into `into` as well.
  void BeginCollect(std::vector<LogLine>* into);
  void EndCollect();
  void Collect(const std::string& text, bool error);
  void ReportResult(int code, Outcome outcome, const std::string& reason = {});
  void ReportEvent(CameraEvent& event);
  // Takes every queued entry off (a running transfer's reports its own end) and reports
  // each with `outcome`.
  void AbandonQueued(Outcome outcome, const std::string& reason);
  std::vector<LogLine>* collecting = nullptr;  // touched only by collectingThread
  std::atomic<std::thread::id> collectingThread{};

  // ---- reply processing (ReplyProcessor.cpp) ----
  void Pass(std::unique_lock<std::mutex>& gateLock);
  void HandleReply(int code, std::unique_lock<std::mutex>& rxLock);
  void BoundWaiting();  // the head waits: keep the buffer bounded (rxMutex held)
  void Unsolicited(std::unique_lock<std::mutex>& rxLock);
  void DetectionReport(const uint8_t* r, std::unique_lock<std::mutex>& rxLock);
  void PowerOnBanner();
  void AutoCaptureReport(uint8_t pictures);

  // ---- transfer (ImageTransfer.cpp) ----
  struct Transfer;
  void RunTransfer(int code, std::unique_lock<std::mutex>& gateLock);
  bool OpenTempFile();
  void CloseTempFile(bool remove);
  void StopUnderGate(bool onWorker, bool portOpen);  // Stop Capture's work, gate held
  void DrainAfterStop(std::unique_lock<std::mutex>& gateLock);
  void FinishPicture();  // captions, mode, CMD_RESUME_FRAME after a picture was stored
  std::string TempPathByRule(bool* yuv);
};

// Milliseconds from a to b on the 32-bit tick clock, wrap-safe.
inline int32_t TickDiff(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }
