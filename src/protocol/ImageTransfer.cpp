// Captures and the image transfer: capture start, the frame-buffer reads into the
// temporary file, completion, Stop Capture and the reads of stored pictures.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "imaging/JpegFile.h"
#include "protocol/CommandTable.h"
#include "protocol/StatusMessages.h"
#include "protocol/ProtocolImpl.h"
#include "protocol/ProtocolTables.h"

namespace {

// Holds the decoder's boxes until the picture goes to the host with them.
class PictureBoxCollector : public MessageSink {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons) override {
    m_boxes.push_back({text, caption, icon});
    return IDOK;
  }
  std::vector<PictureBox> Take() { return std::move(m_boxes); }

 private:
  std::vector<PictureBox> m_boxes;
};

// Half a second (and a little) without a new byte ends the wait for a block.
constexpr unsigned kIdleLimitMs = 510;
// No byte at all after a request: ask again after this long. Generous next to the few
// milliseconds a camera needs to start answering, short enough that a lost request costs
// little.
constexpr unsigned kNoAnswerLimitMs = 2000;
// How long a due request waits for the receiver to drain its input before it is written anyway.
constexpr unsigned kIdleFlagWaitMs = 200;
// Receive buffer reserved up front for one answer, at most (a bogus length must not
// allocate gigabytes before a single byte arrived).
constexpr size_t kMaxReserve = 16u << 20;
// After Stop Capture the line counts as quiet once no byte came for this long.
constexpr unsigned kStopQuietMs = 100;
// ... and the wait for quiet gives up after this long: noise at a wrong rate never stops.
constexpr unsigned kStopDrainLimitMs = 10000;

// 76 SN 32 00 00 before and after each block: the frame-buffer read's reply header.
bool MarkerAt(const std::vector<uint8_t>& buf, size_t at, uint8_t sn) {
  const CommandLayout* layout = CommandLayoutFor(CMD_READ_BUF_512);
  return buf[at] == kReplyByte && buf[at + 1] == sn &&
         std::memcmp(&buf[at + 2], layout->replyHeader, layout->replyHeaderLength) == 0;
}

enum class BlockResult { Good, Retry, Stopped, Closing, LineLost };

void EnsureTrailingSlash(std::string& path) {
  if (!path.empty() && path.back() != '/') path += '/';
}

}  // namespace

PictureResult DecodePicture(const std::string& path, PictureKind kind, int frameWidth,
                            int frameHeight, MessageSink* boxes) {
  PictureResult result;
  std::unique_ptr<DibBlock> block;
  result.ok = DecodePictureFile(path, kind, frameWidth, frameHeight, boxes, result.width,
                                result.height, &block);
  if (result.ok && block) {
    auto dib = std::make_shared<CDib>();
    dib->Attach(std::move(block));
    result.bitmap = std::move(dib);
  }
  return result;
}

// ---------------------------------------------------------------- capture start

void CCameraProtocol::CaptureStart() {
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    EnsureTrailingSlash(st.savePath);
    st.bytesWritten = 0;
    st.fileLength = 0;
  }
  LogMessage(MSG_PHOTO_ONCE_FLUSH);
  int imageType;
  {
    std::lock_guard<std::mutex> rxLock(m_pImpl->rxMutex);
    std::vector<uint8_t>().swap(m_pImpl->rx);
    {
      std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
      auto& st = m_pImpl->st;
      st.imageLength = 0;
      st.transferActive = false;
      st.transferMode = st.transmitMode;
      imageType = st.imageType;
    }
    ClearCommands();
  }
  m_pImpl->IssueLocked(MakeCommand(CMD_STOP_FRAME, imageType == IMAGE_TYPE_YUV ? 0x0Au : 0x00u));
}

void CCameraProtocol::SingleCapture() {
  uint8_t sn;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    st.continuous = false;
    st.captureMode = CAPTURE_SINGLE;
    st.readIndex = 0;
    sn = st.serialNumber;
  }
  ApplySerialNumber(sn);
  m_pHost->ClearTraffic();
  CaptureStart();
  m_pImpl->NotifyState();
}

void CCameraProtocol::ContinuesCapture() {
  uint8_t sn;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    sn = st.serialNumber;
    st.continuous = true;
    st.readIndex = 0;
    st.captureMode = CAPTURE_CONTINUOUS;
  }
  ApplySerialNumber(sn);
  m_pImpl->NotifyState();
  m_pHost->ClearTraffic();
  TriggerCapture();
}

void CCameraProtocol::PrepareRead() {
  std::lock_guard<std::mutex> rxLock(m_pImpl->rxMutex);
  std::vector<uint8_t>().swap(m_pImpl->rx);
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    EnsureTrailingSlash(st.savePath);
    st.imageLength = 0;
    st.bytesWritten = 0;
    st.fileLength = 0;
    st.transferActive = false;
    st.transferMode = st.transmitMode;
  }
  ClearCommands();
}

void CCameraProtocol::ReadStoredPicture() {
  m_pHost->ClearTraffic();
  uint8_t sn;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    st.continuous = false;
    st.captureMode = CAPTURE_SINGLE;
    sn = st.serialNumber;
  }
  ApplySerialNumber(sn);
  LogInfo("PhotoOnce 清空命令队列");
  PrepareRead();
  int index;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    if (st.readIndex == 0) st.readIndex = 1;
    index = st.readIndex;
  }
  m_pImpl->IssueLength(index);
  m_pImpl->NotifyState();
}

void CCameraProtocol::ReadMultiCapturePicture() {
  uint8_t sn;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    sn = m_pImpl->st.serialNumber;
    m_pImpl->st.readIndex = 0;
  }
  ApplySerialNumber(sn);
  m_pHost->ClearTraffic();
  LogInfo("PhotoOnce 清空命令队列");
  PrepareRead();
  int index;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    // No new burst while this one is being read.
    st.burstTestEnabled = false;
    ++st.burstTestChanges;
    st.continuous = false;
    st.captureMode = CAPTURE_MULTI_READ;
    index = ++st.multiReadIndex;
  }
  m_pImpl->NotifyState();
  if (index <= Records().multiCapture.photos) m_pImpl->IssueLength(index);
}

void CCameraProtocol::ReadAutoCapturePicture(int requestedSoFar) {
  uint8_t sn;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    st.continuous = false;
    st.captureMode = CAPTURE_AUTO_READ;
    sn = st.serialNumber;
  }
  ApplySerialNumber(sn);
  PrepareRead();
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    ++m_pImpl->st.autoReadIndex;
  }
  m_pImpl->NotifyState();
  m_pImpl->IssueLength(requestedSoFar);
}

// ---------------------------------------------------------------- stop capture

void CCameraProtocol::StopCapture() {
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    m_pImpl->st.continuous = false;
  }
  // Called from a host callback on the worker, the worker is us: it holds the gate and
  // perhaps the receive lock, and nobody else waits to be woken.
  const bool onWorker = m_pImpl->OnWorker();
  // Wake a worker that pauses (continue delay) or waits for bytes so the gate is free soon.
  if (!onWorker) m_pImpl->Interrupt();
  bool portOpen;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->channelMutex);
    portOpen = m_pImpl->portChannel != nullptr;
  }
  {
    std::unique_lock<std::mutex> gate(m_pImpl->gate, std::defer_lock);
    // The worker lets go of the gate while it decodes; a callback there takes it like anyone.
    if (!onWorker || m_pImpl->decoding) gate.lock();
    m_pImpl->StopUnderGate(onWorker, portOpen);
  }
  if (!onWorker) m_pImpl->Interrupt();  // a transfer waiting for bytes sees the closed file
  m_pImpl->NotifyState();
}

void CCameraProtocol::Impl::StopUnderGate(bool onWorker, bool portOpen) {
  ++stops;
  // Only a transfer still writing its file leaves a partial picture; the file of a
  // finished one is the picture on screen and stays saveable.
  const bool partial = fileOpen;
  // A complete picture being decoded: the decode is abandoned, and its transfer reports its
  // own end.
  const bool finishing = decoding;
  if (finishing) stopDecode = true;
  int previousMode;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    previousMode = st.captureMode;
    st.continuous = false;
    st.captureMode = CAPTURE_IDLE;
  }
  if (previousMode == CAPTURE_CONTINUOUS) captureEvent.Reset();
  CloseTempFile(partial);
  // The camera may still be sending what it was asked for: the worker waits for the line
  // to go quiet (busy meanwhile) before the next command can be understood.
  const bool drain = previousMode != CAPTURE_IDLE && workerRunning;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    // Busy from now on for the window. Not when called from a handler on the worker: the
    // handler goes on after this call and must see the capture ended.
    if (drain && !onWorker) st.captureMode = CAPTURE_SINGLE;
    st.imageLength = 0;
    st.fileLength = 0;
    st.bytesWritten = 0;
    st.bytesReceived = 0;
    st.transferActive = finishing;
    st.startTime = 0;
    st.endTaken = false;
    st.portOpen = portOpen;
    st.detectionActive = false;
    if (partial && st.lastImageFile == filePath) st.lastImageFile.clear();
  }
  if (drain) stopDrain = true;
  self.ClearCommands();
  host->SetProgressPos(0);
}

// On the worker after Stop Capture: the notice stays and the engine stays busy until no byte
// has come for the quiet time, or for at most the drain limit on a line that never goes
// quiet (then the log says so); then the leftovers go, so the next command's reply is read
// from a clean buffer. Wakes on data, close and line loss; a second Stop does not cut the
// wait short.
void CCameraProtocol::Impl::DrainAfterStop(std::unique_lock<std::mutex>& gateLock) {
  stopDrain = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.stopDraining = true;
  }
  SetMode(CAPTURE_SINGLE, true);
  gateLock.unlock();
  bool stillSending = false;
  {
    std::unique_lock<std::mutex> lock(rxMutex);
    uint64_t seen = rxAppended;
    const uint32_t start = clock->TickMs();
    uint32_t since = start;
    while (!exitRequested && !lineFailed) {
      const uint32_t now = clock->TickMs();
      const int32_t left = static_cast<int32_t>(kStopQuietMs) - TickDiff(since, now);
      if (left <= 0) break;
      const int32_t limitLeft = static_cast<int32_t>(kStopDrainLimitMs) - TickDiff(start, now);
      if (limitLeft <= 0) {
        stillSending = true;
        break;
      }
      clock->WaitFor(rxCv, lock, static_cast<unsigned>(std::min(left, limitLeft)),
                     [&] { return rxAppended != seen || exitRequested || lineFailed; });
      if (rxAppended != seen) {
        seen = rxAppended;
        since = clock->TickMs();
      }
    }
    std::vector<uint8_t>().swap(rx);
  }
  gateLock.lock();
  stopDrain = false;  // a Stop pressed meanwhile is covered by this wait
  // Idle with the notice gone in one change: the window is usable again at once.
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.stopDraining = false;
  }
  SetMode(CAPTURE_IDLE, true);
  host->SetProgressPos(0);
  if (stillSending)
    self.LogInfo(StrFormat("the camera is still sending %u s after Stop Capture; Close resets the line",
                           kStopDrainLimitMs / 1000));
  else
    self.LogMessage(MSG_STOP_SUCCESS);
}

// ---------------------------------------------------------------- temporary file

void CCameraProtocol::SetStallNotice(unsigned ms) { m_pImpl->stallNoticeMs = ms; }

void CCameraProtocol::Impl::IssueLength(int selector) {
  IssueLocked(MakeCommand(CMD_GET_FRAME_LEN, static_cast<uint8_t>(selector)));
}

std::string CCameraProtocol::Impl::TempPathByRule(bool* yuv) {
  std::lock_guard<std::mutex> lock(stateMutex);
  *yuv = (st.captureMode == CAPTURE_SINGLE || st.captureMode == CAPTURE_CONTINUOUS) &&
         st.readIndex == 0 && st.imageType == IMAGE_TYPE_YUV;
  return StrFormat("%s%s", st.savePath.c_str(), *yuv ? "yuv.tmp" : "jpeg.tmp");
}

bool CCameraProtocol::Impl::OpenTempFile() {
  CloseTempFile(false);
  filePath = TempPathByRule(&fileYuv);
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.bytesWritten = 0;
  }
  fileWriteFailed = false;
  file = std::fopen(filePath.c_str(), "wb");
  if (!file) {
    host->ShowMessage("write fail,please check file path!\n", "create file", MsgIcon::Warning,
                      MsgButtons::Ok);
    fileOpen = false;
    fileClosed = false;
    return false;
  }
  fileOpen = true;
  fileClosed = false;
  return true;
}

void CCameraProtocol::Impl::CloseTempFile(bool remove) {
  if (file) {
    if (std::fclose(file) != 0) fileWriteFailed = true;
    file = nullptr;
    fileClosed = true;
  }
  fileOpen = false;
  if (remove && !filePath.empty()) ::unlink(filePath.c_str());
}

// ---------------------------------------------------------------- the transfer


// One picture read from the camera's frame buffer into the temporary file, on the worker
// with the gate held (released only while it waits).
struct CCameraProtocol::Impl::Transfer {
  Transfer(Impl& engine, std::unique_lock<std::mutex>& gate, int command)
      : e(engine), gateLock(gate), code(command) {}

  Impl& e;
  std::unique_lock<std::mutex>& gateLock;
  const int code;
  uint32_t total = 0, block = 0, rest = 0, count = 0, readLength = 0;
  uint8_t selector = 0, sn = 0;
  std::shared_ptr<IFrameChannel> ch;
  uint64_t written = 0;
  std::vector<uint8_t> answer;
  CommandResult result;  // how it ended, for the host
  uint32_t lastByte = 0;  // clock tick of the last byte received, across re-requests
  bool stalled = false;   // the host has been told of a stall not yet over

  bool Prepare();
  BlockResult Run();
  void Finish(BlockResult result);

 private:
  bool Abandoned(BlockResult& why) const;
  void WaitUnlocked(unsigned ms, const std::function<bool()>& until);
  void WaitForReceiveIdle();
  BlockResult ReadBlock(uint32_t address);
  void DiscardReceived();
  unsigned WatchSilence(uint32_t now, bool bytesCame, size_t inBlock);
  void StopPath();
  void Abort(BlockResult why);
  void Complete();
};

void CCameraProtocol::Impl::RunTransfer(int code, std::unique_lock<std::mutex>& gateLock) {
  Transfer transfer(*this, gateLock, code);
  CommandResult& result = transfer.result;
  result.code = code;
  result.outcome = Outcome::Cancelled;  // stopped or flushed since the length was known
  if (transfer.Prepare()) {
    const BlockResult got = transfer.Run();
    if (transfer.stalled) host->TransferStalled(false);
    // Only the closing lines belong to the result, not one progress line per block.
    BeginCollect(&result.log);
    transfer.Finish(got);
    EndCollect();
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.transferActive = false;
  }
  // Whoever took the entry off the queue (Stop Capture, Close) has reported it.
  if (DropIfHead(code)) host->CommandFinished(result);
}

// Block size, count and first read length; the temporary file. False: nothing to read.
bool CCameraProtocol::Impl::Transfer::Prepare() {
  int transferMode, mode;
  {
    std::lock_guard<std::mutex> lock(e.stateMutex);
    e.st.startTime = e.clock->TickMs();
    e.st.endTaken = false;
    e.st.bytesReceived = 0;
    total = e.st.fileLength;
    transferMode = e.st.transferMode;
    mode = e.st.captureMode;
  }
  if (total == 0) return false;  // stopped or flushed since the length was known
  block = BlockSizeForTransmitMode(transferMode);
  rest = total % block;
  count = total / block + (rest ? 1 : 0);
  readLength = std::min(block, total);  // a picture smaller than one block
  if (code == CMD_READ_TOTAL) {
    count = 1;
    readLength = total;
  }
  DiscardReceived();
  if (!e.OpenTempFile()) {
    result.outcome = Outcome::Failed;
    result.reason = "the temporary picture file could not be created";
    std::lock_guard<std::mutex> lock(e.stateMutex);
    e.st.fileLength = 0;
    return false;
  }
  e.self.LogInfo(StrFormat("%s %d", StatusText(MSG_CREATE_FILE), static_cast<int>(total)));
  {
    std::lock_guard<std::mutex> lock(e.stateMutex);
    e.st.transferActive = true;
    selector = static_cast<uint8_t>(mode == CAPTURE_MULTI_READ  ? e.st.multiReadIndex
                                    : mode == CAPTURE_AUTO_READ ? e.st.autoReadIndex
                                                                : e.st.readIndex);
  }
  sn = e.templateSn;
  ch = e.Channel();
  lastByte = e.clock->TickMs();
  return true;
}

// Reads every block, asking again for one whose answer is incomplete, badly framed or
// missing. Returns Good when all blocks are in the file.
BlockResult CCameraProtocol::Impl::Transfer::Run() {
  uint32_t address = 0;
  for (uint32_t i = 0; i < count;) {
    const BlockResult got = ReadBlock(address);
    if (got == BlockResult::Retry) continue;
    if (got != BlockResult::Good) return got;
    if (std::fwrite(answer.data() + 5, 1, readLength, e.file) != readLength) {
      e.fileWriteFailed = true;
      return BlockResult::Stopped;
    }
    written += readLength;
    {
      std::lock_guard<std::mutex> lock(e.stateMutex);
      e.st.bytesWritten = static_cast<uint32_t>(written);
    }
    if (code == CMD_READ_BUF_512) {
      e.host->SetProgressPos(static_cast<uint32_t>(written));
      e.self.LogInfo(StrFormat("%d%%,%d,%d", static_cast<int>(written * 100 / total),
                               static_cast<int>(written), static_cast<int>(total)));
    }
    address += block;
    readLength = (address + rest == total) ? rest : block;
    ++i;
  }
  return BlockResult::Good;
}

bool CCameraProtocol::Impl::Transfer::Abandoned(BlockResult& why) const {
  if (!e.fileOpen) why = BlockResult::Stopped;  // Stop Capture closed the file
  else if (e.exitRequested) why = BlockResult::Closing;
  else if (e.lineFailed) why = BlockResult::LineLost;
  else return false;
  return true;
}

// Waits with the gate released (Stop Capture may run meanwhile) for an interrupt, `ms` of
// clock time, or `until` (checked under the receive lock).
void CCameraProtocol::Impl::Transfer::WaitUnlocked(unsigned ms, const std::function<bool()>& until) {
  gateLock.unlock();
  {
    std::unique_lock<std::mutex> lock(e.rxMutex);
    const uint64_t gen = e.interruptGen;
    e.clock->WaitFor(e.rxCv, lock, ms, [&] { return until() || e.Interrupted(gen); });
  }
  gateLock.lock();
}

// Don't talk over an answer still being read; after a bounded wait, ask anyway. The
// receiver wakes the wait when it has drained its input.
void CCameraProtocol::Impl::Transfer::WaitForReceiveIdle() {
  if (!ch || ch->ReceiveIdle()) return;
  WaitUnlocked(kIdleFlagWaitMs, [&] { return ch->ReceiveIdle(); });
}

void CCameraProtocol::Impl::Transfer::DiscardReceived() {
  std::lock_guard<std::mutex> lock(e.rxMutex);
  std::vector<uint8_t>().swap(e.rx);
}

// Requests one block and waits for exactly readLength + 10 bytes framed by the markers;
// Good leaves the answer in `answer`.
BlockResult CCameraProtocol::Impl::Transfer::ReadBlock(uint32_t address) {
  BlockResult why;
  if (Abandoned(why)) return why;
  WaitForReceiveIdle();
  if (Abandoned(why)) return why;
  const size_t want = size_t{readLength} + 10;
  {
    std::lock_guard<std::mutex> lock(e.rxMutex);
    std::vector<uint8_t>().swap(e.rx);
    e.rx.reserve(std::min<size_t>(want, kMaxReserve));
    e.rxKeep = std::max(Impl::kReceiveKeep, want + 1);
  }
  if (ch) ch->ClearReceiveIdle();
  e.WriteBlockRequest(selector, address, readLength, 0x00FF);

  const uint32_t requested = e.clock->TickMs();
  uint32_t lastChange = requested;
  size_t previous = 0;
  bool dataSeen = false;
  BlockResult got = BlockResult::Retry;
  for (;;) {
    if (Abandoned(why)) {
      got = why;
      break;
    }
    size_t n;
    {
      std::lock_guard<std::mutex> lock(e.rxMutex);
      n = e.rx.size();
      if (n == want && MarkerAt(e.rx, 0, sn) && MarkerAt(e.rx, want - 5, sn)) {
        answer.swap(e.rx);
        got = BlockResult::Good;
      }
    }
    if (got == BlockResult::Good) break;
    const uint32_t now = e.clock->TickMs();
    const unsigned untilNotice = WatchSilence(now, n != previous, n);
    if (n != previous) {
      dataSeen = true;
      previous = n;
      lastChange = now;
      if (code == CMD_READ_TOTAL) {
        e.host->SetProgressPos(static_cast<uint32_t>(n));
        e.self.LogInfo(StrFormat("%d%%,%d,%d", static_cast<int>(uint64_t{n} * 100 / total),
                                 static_cast<int>(n), static_cast<int>(total)));
      }
    }
    // An answer that stays incomplete, carries bad markers or extra bytes is dropped once
    // the line has been quiet for the idle limit; no answer at all, after longer.
    const int32_t left = dataSeen ? (int32_t)kIdleLimitMs - TickDiff(lastChange, now)
                                  : (int32_t)kNoAnswerLimitMs - TickDiff(requested, now);
    if (left <= 0) break;
    WaitUnlocked(std::min(static_cast<unsigned>(left), untilNotice),
                 [&] { return e.rx.size() != n; });
  }
  DiscardReceived();
  {
    std::lock_guard<std::mutex> lock(e.rxMutex);
    e.rxKeep = Impl::kReceiveKeep;
  }
  return got;
}

// Keeps the received count and the stall notice: the block re-requests go on (the
// operator decides when to stop), but a long silence is said once, and cleared by the next
// byte. Returns how long until the notice is due.
unsigned CCameraProtocol::Impl::Transfer::WatchSilence(uint32_t now, bool bytesCame,
                                                       size_t inBlock) {
  if (bytesCame) {
    lastByte = now;
    const uint32_t data = static_cast<uint32_t>(std::min<size_t>(
        inBlock > 5 ? inBlock - 5 : 0, readLength));
    {
      std::lock_guard<std::mutex> lock(e.stateMutex);
      e.st.bytesReceived = static_cast<uint32_t>(written) + data;
    }
    if (stalled) {
      stalled = false;
      e.host->TransferStalled(false);
    }
    return kNoAnswerLimitMs;
  }
  if (stalled) return kNoAnswerLimitMs;
  const unsigned limit = e.stallNoticeMs.load();
  const int32_t quiet = TickDiff(lastByte, now);
  if (quiet < static_cast<int32_t>(limit)) return limit - static_cast<unsigned>(quiet);
  stalled = true;
  e.self.LogInfo(StrFormat("no data from the camera for %u s; Stop Capture ends the transfer",
                           (limit + 999) / 1000));
  e.host->TransferStalled(true);
  return kNoAnswerLimitMs;
}

void CCameraProtocol::Impl::Transfer::Finish(BlockResult result) {
  std::vector<uint8_t>().swap(answer);
  if (e.fileWriteFailed && e.fileOpen)
    Abort(BlockResult::Stopped);
  else if (result == BlockResult::Stopped)
    StopPath();
  else if (result == BlockResult::LineLost || result == BlockResult::Closing)
    Abort(result);
  else if (written == total && e.fileOpen)
    Complete();
}

// Stop Capture closed and deleted the file: let the camera finish talking first.
void CCameraProtocol::Impl::Transfer::StopPath() { e.DrainAfterStop(gateLock); }

// The picture cannot be finished (line lost, port closing, disk full): a partial picture
// is never shown or offered for saving.
void CCameraProtocol::Impl::Transfer::Abort(BlockResult why) {
  const int err = errno;
  const bool writeFailed = e.fileWriteFailed;
  result.outcome = writeFailed                    ? Outcome::Failed
                   : why == BlockResult::LineLost ? Outcome::LineFailed
                                                  : Outcome::Cancelled;
  const std::string path = e.filePath;
  e.CloseTempFile(true);
  e.host->SetProgressPos(0);
  e.SetMode(CAPTURE_IDLE, true);
  if (writeFailed) {
    result.reason = StrFormat("the picture could not be written to %s: %s", path.c_str(),
                              std::strerror(err));
    e.self.LogError(StrFormat("write fail,please check file path! %s: %s", path.c_str(),
                              std::strerror(err)));
  } else if (why == BlockResult::LineLost) {
    std::string reason;
    {
      std::lock_guard<std::mutex> lock(e.stateMutex);
      reason = e.lineFailReason;
    }
    result.reason = reason;
    e.self.LogError(StrFormat("Transfer aborted after %u of %u bytes: %s",
                              static_cast<unsigned>(written), total, reason.c_str()));
  }
}

// All bytes are in: close, show, then let the camera run again.
void CCameraProtocol::Impl::Transfer::Complete() {
  e.host->SetProgressPos(0);
  e.CloseTempFile(false);
  if (e.fileWriteFailed) {  // the data did not all reach the disk
    ::unlink(e.filePath.c_str());
    e.SetMode(CAPTURE_IDLE, true);
    result.outcome = Outcome::Failed;
    result.reason = "the picture could not be written to " + e.filePath;
    e.self.LogError(StrFormat("write fail,please check file path! %s", e.filePath.c_str()));
    return;
  }
  e.self.LogMessage(MSG_FILE_CLOSED);
  int frameWidth, frameHeight;
  {
    std::lock_guard<std::mutex> lock(e.stateMutex);
    frameWidth = e.st.frameWidth;
    frameHeight = e.st.frameHeight;
  }
  const bool yuv = e.fileYuv;
  // Decoded with the gate released, so Stop Capture does not wait for a large picture. A
  // stop or close meanwhile abandons the decode and ends the capture: no resume.
  const uint64_t stops = e.stops;
  e.stopDecode = false;
  e.decoding = true;
  if (e.exitRequested) {  // the close may be waiting for us already: a cut-short picture
    e.decoding = false;
    Abort(BlockResult::Closing);
    return;
  }
  DecodedPicture picture;
  picture.path = e.filePath;
  picture.kind = yuv ? PictureKind::Nv12 : PictureKind::Jpeg;  // what was asked for
  picture.frameWidth = frameWidth;
  picture.frameHeight = frameHeight;
  {
    std::lock_guard<std::mutex> lock(e.stateMutex);
    e.st.decodingPicture = true;
  }
  e.NotifyState();
  gateLock.unlock();
  {
    // The boxes wait for the picture: an abandoned decode raises none.
    PictureBoxCollector boxes;
    CDecodeStopScope stoppable(&e.stopDecode);
    picture.result =
        e.decoder(picture.path, picture.kind, frameWidth, frameHeight, &boxes);
    picture.boxes = boxes.Take();
  }
  const PictureResult& shown = picture.result;
  const std::string& path = picture.path;
  const bool abandoned = !shown.ok && e.stopDecode;
  if (!abandoned) e.host->ShowPicture(picture);
  // The engine lets go of the bitmap while the decode still counts: freeing a large picture
  // is the decode's time, not the camera's silence.
  picture.result.bitmap.reset();
  gateLock.lock();
  e.decoding = false;
  {
    std::lock_guard<std::mutex> lock(e.stateMutex);
    e.st.decodingPicture = false;
  }
  e.NotifyState();
  if (abandoned) {
    // Never shown, so not kept either: no picture file stays behind a stop.
    ::unlink(path.c_str());
    result.outcome = Outcome::Cancelled;
    std::lock_guard<std::mutex> lock(e.stateMutex);
    if (e.st.lastImageFile == path) e.st.lastImageFile.clear();
    return;
  }
  if (!shown.ok) e.self.LogError(StrFormat("显示jpg文件%s失败!", e.filePath.c_str()));
  {
    std::lock_guard<std::mutex> lock(e.stateMutex);
    e.st.lastImageFile = e.filePath;
    e.st.decodedWidth = shown.ok ? shown.width : 0;
    e.st.decodedHeight = shown.ok ? shown.height : 0;
    e.st.lastImageYuv = yuv;
  }
  result.outcome = Outcome::Done;
  result.data = PictureReply{e.filePath, total, shown.ok ? shown.width : 0,
                             shown.ok ? shown.height : 0, shown.ok, yuv, -1};
  if (stops != e.stops || e.exitRequested) return;
  result.next = CMD_RESUME_FRAME;
  e.FinishPicture();
}

void CCameraProtocol::Impl::FinishPicture() {
  int mode;
  bool readingDetected, burstDone = false;
  const int photos = self.Records().multiCapture.photos;  // the record lock is a leaf too
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    mode = st.captureMode;
    // A power-on picture is requested one button press at a time, like a single capture.
    if (mode == CAPTURE_SINGLE || mode == CAPTURE_AUTO_READ) st.captureMode = CAPTURE_IDLE;
    st.bytesWritten = 0;
    readingDetected = st.readingDetected && st.readIndex <= st.storedCount;
    if (readingDetected) {
      // The caption names the picture just read; the button stays while more are stored.
      auto& button = st.detectedRead;
      button = {button.changes + 1, st.readIndex != st.storedCount, st.readIndex, st.storedCount};
      ++st.readIndex;
    }
    if (mode == CAPTURE_MULTI_READ) {
      burstDone = st.multiReadIndex >= photos;
      auto& button = st.burstRead;
      button = {button.changes + 1, !burstDone, st.multiReadIndex, photos};
      if (burstDone) {
        st.burstTestEnabled = true;
        ++st.burstTestChanges;
      }
    }
  }
  if (mode == CAPTURE_SINGLE || mode == CAPTURE_AUTO_READ || readingDetected ||
      (mode == CAPTURE_MULTI_READ && !burstDone))
    NotifyState();
  if (burstDone) SetMode(CAPTURE_IDLE, true);
  Pause(5);
  IssueLocked(MakeCommand(CMD_RESUME_FRAME));
}
