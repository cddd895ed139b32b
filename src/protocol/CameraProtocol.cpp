// CCameraProtocol: construction, activity log, pending-reply queue, session state,
// feature records, the receive path and the worker and sender threads.
#include "protocol/CameraProtocol.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "protocol/StatusMessages.h"
#include "protocol/ProtocolImpl.h"

std::string StrFormat(const char* fmt, ...) {
  char small[256];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(small, sizeof small, fmt, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, fmt);
  std::vsnprintf(big.data(), big.size(), fmt, args);
  va_end(args);
  big.resize(static_cast<size_t>(n));
  return big;
}

namespace {

// Stands in when the engine is built without a window (nothing is shown anywhere).
CameraHost* NullHost() {
  static CameraHost host;
  return &host;
}

// Non-owning holder for a channel the caller keeps alive.
struct NoDelete {
  void operator()(IFrameChannel*) const {}
};

}  // namespace

CCameraProtocol::Impl::Impl(CCameraProtocol& owner, CameraHost* h, IClock* c)
    : self(owner), host(h ? h : NullHost()) {
  if (!c) {
    ownedClock = std::make_unique<SystemClock>();
    c = ownedClock.get();
  }
  clock = c;
  records.osd[0].line = 0;
  records.osd[1].line = 1;
  records.osd[2].line = 2;
  records.osd[3].line = 3;
}

CCameraProtocol::CCameraProtocol(CameraHost* host, IClock* clock, PictureDecoder decoder)
    : m_pImpl(std::make_unique<Impl>(*this, host, clock)),
      m_pHost(m_pImpl->host),
      m_pClock(m_pImpl->clock) {
  m_pImpl->decoder = decoder ? std::move(decoder) : PictureDecoder(DecodePicture);
}

CCameraProtocol::~CCameraProtocol() {
  StopSender();
  ClosePort();
  StopWorker();  // a worker started for a test channel
  std::lock_guard<std::mutex> gate(m_pImpl->gate);
  m_pImpl->CloseTempFile(false);
}

// ---------------------------------------------------------------- activity log

void CCameraProtocol::LogMessage(int index) { LogInfo(StatusText(index)); }

void CCameraProtocol::LogInfo(const std::string& text) {
  m_pImpl->Collect(text, false);
  m_pHost->ShowStatusLine(FormatLogLine(m_pClock->LocalTime(), text, false));
}

void CCameraProtocol::LogError(const std::string& text) {
  m_pImpl->Collect(text, true);
  m_pHost->ShowStatusLine(FormatLogLine(m_pClock->LocalTime(), text, true));
}

// ---------------------------------------------------------------- typed results

void CCameraProtocol::Impl::BeginCollect(std::vector<LogLine>* into) {
  collecting = into;
  collectingThread = std::this_thread::get_id();
}

void CCameraProtocol::Impl::EndCollect() {
  if (collectingThread.load() != std::this_thread::get_id()) return;
  collectingThread = std::thread::id();
  collecting = nullptr;
}

void CCameraProtocol::Impl::Collect(const std::string& text, bool error) {
  if (collectingThread.load() == std::this_thread::get_id() && collecting)
    collecting->push_back({text, error});
}

void CCameraProtocol::Impl::ReportResult(int code, Outcome outcome, const std::string& reason) {
  CommandResult result;
  result.code = code;
  result.outcome = outcome;
  result.reason = reason;
  host->CommandFinished(result);
}

void CCameraProtocol::Impl::ReportEvent(CameraEvent& event) {
  EndCollect();
  host->CameraEventArrived(event);
}

void CCameraProtocol::Impl::AbandonQueued(Outcome outcome, const std::string& reason) {
  bool transferRunning;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    transferRunning = st.transferActive;
  }
  std::deque<int> dropped;
  bool heldDropped;
  {
    // The held frames belong to queued codes: both go, or a frame would go out unawaited.
    std::lock_guard<std::mutex> issue(issueMutex);
    heldDropped = framesHeld.exchange(false);
    heldFrames.clear();
    std::lock_guard<std::mutex> lock(queueMutex);
    dropped.swap(queue);
    headTrimTold = false;
    // A transfer under way stays at the head: it reports its own end when it lets go.
    const bool keepHead = transferRunning && !dropped.empty() &&
                          (dropped.front() == CMD_READ_TOTAL || dropped.front() == CMD_READ_BUF_512);
    if (keepHead) {
      queue.push_back(dropped.front());
      dropped.pop_front();
    } else if (std::exchange(headReported, false)) {
      dropped.pop_front();  // its result is out already
    }
  }
  if (heldDropped) rxCv.notify_all();  // the quiet wait ends: nothing is left to send
  for (int code : dropped) ReportResult(code, outcome, reason);
}

void CCameraProtocol::TraceSent(const uint8_t* frame, size_t length) {
  m_pHost->TraceBytes(true, frame, length);
}

void CCameraProtocol::ReportError(const std::string& text) {
  m_pHost->ShowMessage(text, "Application Error", MsgIcon::Error, MsgButtons::Ok);
}

void CCameraProtocol::LineFailed(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    m_pImpl->lineFailReason = reason;
  }
  // The host hears first, so the failure is on record before the woken transfer logs
  // its abort.
  m_pHost->LineFailed(reason);
  // Nothing pending can be answered any more.
  m_pImpl->AbandonQueued(Outcome::LineFailed, reason);
  m_pImpl->lineFailed = true;
  m_pImpl->Interrupt();
}

// ---------------------------------------------------------------- queue

void CCameraProtocol::QueueCommand(int code) {
  // Not between another thread's queueing and its frame.
  std::lock_guard<std::mutex> issue(m_pImpl->issueMutex);
  m_pImpl->Enqueue(code);
}

void CCameraProtocol::Impl::Enqueue(int code) {
  if (code == 0) return;  // 0 means "empty" to PeekCommand
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    queue.push_back(code);
  }
  ++queueGen;
  rxCv.notify_all();  // a queued transfer starts without waiting for the next tick
}

int CCameraProtocol::PeekCommand() {
  std::lock_guard<std::mutex> lock(m_pImpl->queueMutex);
  return m_pImpl->queue.empty() ? 0 : m_pImpl->queue.front();
}

bool CCameraProtocol::Impl::DropHead() {
  std::lock_guard<std::mutex> lock(queueMutex);
  if (queue.empty()) return false;
  queue.pop_front();
  ++queueDrops;
  headTrimTold = false;
  return !std::exchange(headReported, false);
}

bool CCameraProtocol::Impl::HeadReported() {
  std::lock_guard<std::mutex> lock(queueMutex);
  return headReported;
}

bool CCameraProtocol::Impl::MarkHeadReported(int code) {
  std::lock_guard<std::mutex> lock(queueMutex);
  if (queue.empty() || queue.front() != code) return false;
  headReported = true;
  return true;
}

void CCameraProtocol::ClearCommands() { m_pImpl->AbandonQueued(Outcome::Cancelled, {}); }

std::vector<int> CCameraProtocol::QueuedCommands() {
  std::lock_guard<std::mutex> lock(m_pImpl->queueMutex);
  return {m_pImpl->queue.begin(), m_pImpl->queue.end()};
}

bool CCameraProtocol::Impl::DropIfHead(int code) {
  std::lock_guard<std::mutex> lock(queueMutex);
  if (queue.empty() || queue.front() != code) return false;
  queue.pop_front();
  ++queueDrops;
  headTrimTold = false;
  return !std::exchange(headReported, false);
}

// ---------------------------------------------------------------- receive path

void CCameraProtocol::AppendReceived(const uint8_t* bytes, unsigned count) {
  if (count == 0 || !bytes) return;
  // Traced before the worker can see them: once a reply is handled the next request may go
  // out, and its "TX :" must not come before the bytes of this reply.
  m_pHost->TraceBytes(false, bytes, count);
  {
    std::lock_guard<std::mutex> lock(m_pImpl->rxMutex);
    // Memory never follows the line: a camera (or noise) sending without end is counted,
    // and what no reply can need is dropped.
    std::vector<uint8_t>& rx = m_pImpl->rx;
    const size_t room = rx.size() < m_pImpl->rxKeep ? m_pImpl->rxKeep - rx.size() : 0;
    rx.insert(rx.end(), bytes, bytes + std::min<size_t>(count, room));
    m_pImpl->rxAppended += count;
  }
  m_pImpl->rxCv.notify_all();
}

std::vector<uint8_t> CCameraProtocol::ReceiveBufferSnapshot() {
  std::lock_guard<std::mutex> lock(m_pImpl->rxMutex);
  return m_pImpl->rx;
}

void CCameraProtocol::DiscardReceived() {
  std::lock_guard<std::mutex> lock(m_pImpl->rxMutex);
  std::vector<uint8_t>().swap(m_pImpl->rx);
}

void CCameraProtocol::Impl::Interrupt() {
  {
    std::lock_guard<std::mutex> lock(rxMutex);
    ++interruptGen;
  }
  rxCv.notify_all();
}

void CCameraProtocol::Impl::WakeWaits() {
  // Taken so a waiter between its check and its wait is not missed.
  { std::lock_guard<std::mutex> lock(rxMutex); }
  rxCv.notify_all();
}

void CCameraProtocol::Impl::PauseLocked(std::unique_lock<std::mutex>& rxLock, unsigned ms) {
  if (ms == 0) return;
  const uint64_t gen = interruptGen;
  const uint32_t start = clock->TickMs();
  // Appends wake the wait too; keep waiting out the rest of the time.
  for (;;) {
    const int32_t left = static_cast<int32_t>(ms) - TickDiff(start, clock->TickMs());
    if (left <= 0 || Interrupted(gen)) return;
    if (clock->WaitFor(rxCv, rxLock, static_cast<unsigned>(left),
                       [&] { return Interrupted(gen); }))
      return;
  }
}

void CCameraProtocol::Impl::Pause(unsigned ms) {
  std::unique_lock<std::mutex> lock(rxMutex);
  PauseLocked(lock, ms);
}

// ---------------------------------------------------------------- channel

void CCameraProtocol::UseFrameChannel(IFrameChannel* channel) {
  std::lock_guard<std::mutex> lock(m_pImpl->channelMutex);
  if (channel)
    m_pImpl->channel = std::shared_ptr<IFrameChannel>(channel, NoDelete{});
  else
    m_pImpl->channel = m_pImpl->portChannel;
}

std::shared_ptr<IFrameChannel> CCameraProtocol::Impl::Channel() {
  std::lock_guard<std::mutex> lock(channelMutex);
  return channel;
}

void CCameraProtocol::Impl::Write(std::vector<uint8_t> frame, std::shared_ptr<IFrameChannel> line) {
  frame[1] = templateSn.load();
  if (!line) line = Channel();
  if (line) line->Send(frame.data(), frame.size());
}

void CCameraProtocol::ClosePort() {
  std::shared_ptr<IFrameChannel> port;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->channelMutex);
    port = std::move(m_pImpl->portChannel);
    m_pImpl->portChannel.reset();
    if (m_pImpl->channel == port) m_pImpl->channel.reset();
  }
  if (port) {
    port->Close();  // the monitor ends: no more appends
    m_pImpl->EndWorker(false);
    // Whatever a thread queued after the caller's ClearCommands can no longer be
    // answered; left in the queue it would hold the replies after the next Open.
    m_pImpl->AbandonQueued(Outcome::Cancelled, {});
  }
  DiscardReceived();
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  m_pImpl->st.portOpen = false;
}

bool CCameraProtocol::IsPortOpen() const {
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  return m_pImpl->st.portOpen;
}

std::string CCameraProtocol::LastOpenError() const {
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  return m_pImpl->st.lastOpenError;
}

bool CCameraProtocol::LastOpenRefusedSettings() const {
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  return m_pImpl->st.lastOpenRefusedSettings;
}

// ---------------------------------------------------------------- worker

int CCameraProtocol::StartWorker() {
  if (m_pImpl->worker.joinable()) {
    if (m_pImpl->OnWorker()) return 0;
    StopWorker();
  }
  m_pImpl->exitRequested = false;
  m_pImpl->lineFailed = false;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    m_pImpl->st.transferActive = false;
  }
  try {
    m_pImpl->workerRunning = true;
    m_pImpl->worker = std::thread([this] { m_pImpl->WorkerLoop(); });
  } catch (const std::system_error&) {
    m_pImpl->workerRunning = false;
    return 1;
  }
  return 0;
}

void CCameraProtocol::StopWorker() { m_pImpl->EndWorker(true); }

void CCameraProtocol::Impl::EndWorker(bool waitOutDecode) {
  if (!worker.joinable()) return;
  exitRequested = true;
  stopDecode = true;  // a picture being decoded is not waited for
  Interrupt();
  // Asked from the worker itself (a host reacting inside a callback), or while it decodes a
  // finished picture for a close: it ends after that and the next StartWorker, ClosePort or
  // the destructor joins it.
  if (OnWorker() || (!waitOutDecode && decoding)) return;
  worker.join();
}

bool CCameraProtocol::IsWorkerRunning() const { return m_pImpl->workerRunning; }

void CCameraProtocol::Impl::WorkerLoop() {
  workerId = std::this_thread::get_id();
  uint64_t seenAppended = 0;
  uint64_t seenQueue = 0;
  while (!exitRequested) {
    if (framesHeld) {
      QuietThenReleaseHeld();
    } else {
      std::unique_lock<std::mutex> gateLock(gate);
      if (stopDrain)
        DrainAfterStop(gateLock);
      else
        Pass(gateLock);
    }
    // One pass every 30 ms, sooner when a reply starts to arrive for a waiting command or
    // a command was queued, so replies are not left waiting for the tick.
    std::unique_lock<std::mutex> lock(rxMutex);
    seenAppended = rxAppended;
    seenQueue = queueGen;
    rxCv.wait_for(lock, std::chrono::milliseconds(30), [&] {
      if (exitRequested || stopDrain || queueGen != seenQueue) return true;
      if (rxAppended == seenAppended || rx.empty() || rx.front() != 0x76) return false;
      std::lock_guard<std::mutex> q(queueMutex);
      return !queue.empty();
    });
  }
  // A stop whose quiet wait the close cut short still ends idle.
  if (stopDrain.exchange(false)) SetMode(CAPTURE_IDLE, true);
  workerId = std::thread::id();
  workerRunning = false;
}

// ---------------------------------------------------------------- sender thread

void CCameraProtocol::StartSender() {
  if (m_pImpl->sender.joinable()) return;
  m_pImpl->senderExit.Reset();
  m_pImpl->sender = std::thread([this] { m_pImpl->SenderLoop(); });
}

void CCameraProtocol::StopSender() {
  if (!m_pImpl->sender.joinable()) return;
  m_pImpl->senderExit.Set();
  m_pImpl->sender.join();
}

void CCameraProtocol::TriggerCapture() { m_pImpl->captureEvent.Set(); }

void CCameraProtocol::RequestBlockRead() { m_pImpl->sendCmd.Set(); }

void CCameraProtocol::Impl::SenderLoop() {
  for (;;) {
    const int which = Event::WaitAny({&senderExit, &sendCmd, &captureEvent});
    if (which == 0) break;
    if (which == 1) {
      // Reset first: a request made while this one is handled is not lost.
      sendCmd.Reset();
      int mode;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        mode = st.transferMode;
      }
      self.QueueCommand(mode == 0 ? CMD_READ_TOTAL : CMD_READ_BUF_512);
    } else if (which == 2) {
      captureEvent.Reset();
      self.CaptureStart();
    }
  }
}

// ---------------------------------------------------------------- session state

SessionView CCameraProtocol::State() const {
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  return m_pImpl->st;  // the front ends' part of the engine's state
}

#define STATE_SET(type, name, field)                                \
  void CCameraProtocol::name(type value) {                          \
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);          \
    m_pImpl->st.field = value;                                      \
  }

STATE_SET(int, SetCaptureMode, captureMode)
STATE_SET(bool, SetContinuous, continuous)
STATE_SET(int, SetReadIndex, readIndex)
STATE_SET(int, SetStoredCount, storedCount)
STATE_SET(const std::string&, SetVersionText, versionText)
STATE_SET(const ModelInfo&, SetModelInfo, model)
STATE_SET(bool, SetDetectionActive, detectionActive)
STATE_SET(uint8_t, SetDetectType, detectType)
STATE_SET(int, SetMultiReadIndex, multiReadIndex)
STATE_SET(int, SetAutoReadIndex, autoReadIndex)

#undef STATE_SET

int CCameraProtocol::Impl::CaptureMode() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return st.captureMode;
}

void CCameraProtocol::Impl::SetMode(int mode, bool notify) {
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.captureMode = mode;
  }
  if (notify) NotifyState();
}

void CCameraProtocol::Impl::NotifyState() {
  std::lock_guard<std::mutex> lock(notifyMutex);
  host->CaptureStateChanged(self.State());
}

// The host learns the text from the version result or the power-on event.
void CCameraProtocol::Impl::SetVersionFromCamera(const std::string& text) {
  std::lock_guard<std::mutex> lock(stateMutex);
  st.versionText = text;
}

// ---------------------------------------------------------------- feature records

FeatureRecordSet CCameraProtocol::Records() const {
  std::lock_guard<std::mutex> lock(m_pImpl->recordMutex);
  return m_pImpl->records;
}

void CCameraProtocol::UpdateRecords(const std::function<void(FeatureRecordSet&)>& change) {
  std::lock_guard<std::mutex> lock(m_pImpl->recordMutex);
  change(m_pImpl->records);
}

// ---------------------------------------------------------------- operator settings

void CCameraProtocol::ApplySettings(const SessionSettings& settings) {
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  auto& st = m_pImpl->st;
  st.serialNumber = settings.serialNumber;
  st.imageType = settings.imageType;
  st.transmitMode = settings.transmitMode;
  st.savePath = settings.savePath;
  st.continueDelay = settings.continueDelay;
  st.pictureLimit = settings.pictureLimit;
}

void CCameraProtocol::UpdateSettings(const std::function<void(SessionSettings&)>& change) {
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  auto& st = m_pImpl->st;
  SessionSettings settings{st.serialNumber, st.imageType,     st.transmitMode,
                           st.savePath,     st.continueDelay, st.pictureLimit};
  change(settings);
  st.serialNumber = settings.serialNumber;
  st.imageType = settings.imageType;
  st.transmitMode = settings.transmitMode;
  st.savePath = settings.savePath;
  st.continueDelay = settings.continueDelay;
  st.pictureLimit = settings.pictureLimit;
}

SessionSettings CCameraProtocol::Settings() const {
  std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
  const auto& st = m_pImpl->st;
  return {st.serialNumber, st.imageType,     st.transmitMode,
          st.savePath,     st.continueDelay, st.pictureLimit};
}
