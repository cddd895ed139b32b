// Captures and the image transfer: capture start, the frame-buffer reads into the
// temporary file, completion, Stop Capture and the reads of stored pictures.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "app/core/StatusMessages.h"
#include "protocol/ProtocolImpl.h"
#include "protocol/ProtocolTables.h"

namespace {

// About 0.5 s without a new byte ends the wait for a block (50 steps of 10 ms, and one more).
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

const uint8_t kMarkerTail[3] = {0x32, 0x00, 0x00};

bool MarkerAt(const std::vector<uint8_t>& buf, size_t at, uint8_t sn) {
  return buf[at] == 0x76 && buf[at + 1] == sn && std::memcmp(&buf[at + 2], kMarkerTail, 3) == 0;
}

enum class BlockResult { Good, Retry, Stopped, Closing, LineLost };

void EnsureTrailingSlash(std::string& path) {
  if (!path.empty() && path.back() != '/') path += '/';
}

}  // namespace

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
  QueueCommand(CMD_STOP_FRAME);
  SendStopFrame(imageType == IMAGE_TYPE_YUV ? 0x0A : 0x00);
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
  m_pHost->CaptureStateChanged();
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
  m_pHost->CaptureStateChanged();
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
  QueueCommand(CMD_GET_FRAME_LEN);
  SendGetFrameLength(static_cast<uint8_t>(index));
  m_pHost->CaptureStateChanged();
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
  m_pHost->SetMultiCaptureTestButton(false);
  int index;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    st.continuous = false;
    st.captureMode = CAPTURE_MULTI_READ;
    index = ++st.multiReadIndex;
  }
  m_pHost->CaptureStateChanged();
  if (index <= GetMultiCapture().photos) {
    QueueCommand(CMD_GET_FRAME_LEN);
    SendGetFrameLength(static_cast<uint8_t>(index));
  }
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
  m_pHost->CaptureStateChanged();
  QueueCommand(CMD_GET_FRAME_LEN);
  SendGetFrameLength(static_cast<uint8_t>(requestedSoFar));
}

// ---------------------------------------------------------------- stop capture

void CCameraProtocol::StopCapture() {
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    m_pImpl->st.continuous = false;
  }
  // Wake a worker that pauses (continue delay) or waits for bytes so the gate is free soon.
  m_pImpl->Interrupt();
  bool portOpen;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->channelMutex);
    portOpen = m_pImpl->portChannel != nullptr;
  }
  {
    std::lock_guard<std::mutex> gate(m_pImpl->gate);
    // The file of the current (or last) capture, named before the mode changes the rule.
    const std::string tempPath =
        m_pImpl->filePath.empty() ? m_pImpl->TempPathByRule() : m_pImpl->filePath;
    int previousMode;
    {
      std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
      auto& st = m_pImpl->st;
      previousMode = st.captureMode;
      st.continuous = false;
      st.captureMode = CAPTURE_IDLE;
    }
    if (previousMode == CAPTURE_CONTINUOUS) m_pImpl->captureEvent.Reset();
    m_pImpl->CloseTempFile(false);
    if (::access(tempPath.c_str(), F_OK) == 0) ::unlink(tempPath.c_str());
    {
      std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
      auto& st = m_pImpl->st;
      st.imageLength = 0;
      st.fileLength = 0;
      st.bytesWritten = 0;
      st.transferActive = false;
      st.startTime = 0;
      st.endTaken = false;
      st.portOpen = portOpen;
      st.detectionActive = false;
      if (st.lastImageFile == tempPath) st.lastImageFile.clear();
    }
    ClearCommands();
    m_pHost->SetDetectRadio(1);
    m_pHost->SetProgressPos(0);
  }
  m_pImpl->Interrupt();  // a transfer waiting for bytes now sees the closed file
  m_pHost->CaptureStateChanged();
}

// ---------------------------------------------------------------- temporary file

std::string CCameraProtocol::Impl::TempPathByRule() {
  std::lock_guard<std::mutex> lock(stateMutex);
  const bool yuv = (st.captureMode == CAPTURE_SINGLE || st.captureMode == CAPTURE_CONTINUOUS) &&
                   st.readIndex == 0 && st.imageType == IMAGE_TYPE_YUV;
  return StrFormat("%s%s", st.savePath.c_str(), yuv ? "yuv.tmp" : "jpeg.tmp");
}

bool CCameraProtocol::Impl::OpenTempFile() {
  CloseTempFile(false);
  filePath = TempPathByRule();
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

void CCameraProtocol::RunTransfer(int code) {
  std::unique_lock<std::mutex> gateLock(m_pImpl->gate);
  m_pImpl->RunTransfer(code, gateLock);
}

void CCameraProtocol::Impl::RunTransfer(int code, std::unique_lock<std::mutex>& gateLock) {
  const uint32_t start = clock->TickMs();
  uint32_t total;
  int transferMode, mode;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.startTime = start;
    st.endTaken = false;
    total = st.fileLength;
    transferMode = st.transferMode;
    mode = st.captureMode;
  }
  if (total == 0) {
    // Stopped or flushed since the length was known: nothing to read.
    DropIfHead(code);
    return;
  }
  const uint32_t block = BlockSizeForTransmitMode(transferMode);
  const uint32_t rest = total % block;
  uint32_t count = total / block + (rest ? 1 : 0);
  uint32_t readLength = std::min(block, total);  // a picture smaller than one block
  if (code == CMD_READ_TOTAL) {
    count = 1;
    readLength = total;
  }
  {
    std::lock_guard<std::mutex> lock(rxMutex);
    std::vector<uint8_t>().swap(rx);
  }
  if (!OpenTempFile()) {
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      st.fileLength = 0;
      st.transferActive = false;
    }
    DropIfHead(code);
    return;
  }
  self.LogInfo(StrFormat("%s %d", StatusText(MSG_CREATE_FILE), static_cast<int>(total)));
  uint8_t selector;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.transferActive = true;
    selector = static_cast<uint8_t>(mode == CAPTURE_MULTI_READ  ? st.multiReadIndex
                                    : mode == CAPTURE_AUTO_READ ? st.autoReadIndex
                                                                : st.readIndex);
  }
  const uint8_t sn = templateSn;
  auto ch = Channel();
  uint32_t address = 0;
  uint64_t written = 0;
  BlockResult result = BlockResult::Good;
  std::vector<uint8_t> answer;

  // Waits with the gate released (Stop Capture may run meanwhile) for an interrupt, `ms`
  // of clock time, or (when watchData) the receive buffer to differ from `seen` bytes.
  // Returns with the gate held.
  auto waitUnlocked = [&](bool watchData, size_t seen, unsigned ms) {
    gateLock.unlock();
    {
      std::unique_lock<std::mutex> lock(rxMutex);
      const uint64_t gen = interruptGen;
      clock->WaitFor(rxCv, lock, ms,
                     [&] { return (watchData && rx.size() != seen) || Interrupted(gen); });
    }
    gateLock.lock();
  };
  auto abandoned = [&]() -> bool {
    if (!fileOpen) result = BlockResult::Stopped;
    else if (exitRequested) result = BlockResult::Closing;
    else if (lineFailed) result = BlockResult::LineLost;
    else return false;
    return true;
  };

  for (uint32_t i = 0; i < count;) {
    if (abandoned()) break;
    // Don't talk over an answer still being read; after a bounded wait, ask anyway.
    if (ch && !ch->ReceiveIdle()) {
      // The receiver raises the flag just after it handed over its last chunk, which is
      // usually what woke us: a few yields cover that gap without a timed wait per block.
      for (int spin = 0; spin < 200 && !ch->ReceiveIdle(); ++spin) std::this_thread::yield();
      const uint32_t since = clock->TickMs();
      while (!ch->ReceiveIdle() && TickDiff(since, clock->TickMs()) < (int32_t)kIdleFlagWaitMs &&
             !abandoned())
        waitUnlocked(false, 0, 1);
      if (abandoned()) break;
    }
    {
      std::lock_guard<std::mutex> lock(rxMutex);
      std::vector<uint8_t>().swap(rx);
      rx.reserve(std::min<size_t>(size_t{readLength} + 10, kMaxReserve));
    }
    if (ch) ch->ClearReceiveIdle();
    self.SendReadFrameBuffer(selector, address, readLength, 0x00FF);

    // Wait for exactly readLength + 10 bytes framed by the markers.
    const size_t want = size_t{readLength} + 10;
    const uint32_t requested = clock->TickMs();
    uint32_t lastChange = requested;
    size_t previous = 0;
    bool dataSeen = false;
    BlockResult got = BlockResult::Retry;
    for (;;) {
      if (abandoned()) {
        got = result;
        break;
      }
      size_t n;
      {
        std::lock_guard<std::mutex> lock(rxMutex);
        n = rx.size();
        if (n == want && MarkerAt(rx, 0, sn) && MarkerAt(rx, want - 5, sn)) {
          answer.swap(rx);
          std::vector<uint8_t>().swap(rx);
          got = BlockResult::Good;
        }
      }
      if (got == BlockResult::Good) break;
      const uint32_t now = clock->TickMs();
      if (n != previous) {
        dataSeen = true;
        previous = n;
        lastChange = now;
        if (code == CMD_READ_TOTAL) {
          host->SetProgressPos(static_cast<uint32_t>(n));
          self.LogInfo(StrFormat("%d%%,%d,%d", static_cast<int>(uint64_t{n} * 100 / total),
                                 static_cast<int>(n), static_cast<int>(total)));
        }
      }
      // An answer that stays incomplete, carries bad markers or extra bytes is dropped
      // once the line has been quiet for the idle limit; no answer at all, after longer.
      const int32_t left = dataSeen ? (int32_t)kIdleLimitMs - TickDiff(lastChange, now)
                                    : (int32_t)kNoAnswerLimitMs - TickDiff(requested, now);
      if (left <= 0) break;
      waitUnlocked(true, n, static_cast<unsigned>(left));
    }
    {
      std::lock_guard<std::mutex> lock(rxMutex);
      std::vector<uint8_t>().swap(rx);
    }
    if (got == BlockResult::Retry) continue;  // the same block again
    if (got != BlockResult::Good) {
      result = got;
      break;
    }
    if (std::fwrite(answer.data() + 5, 1, readLength, file) != readLength) {
      fileWriteFailed = true;
      result = BlockResult::Stopped;
      break;
    }
    written += readLength;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      st.bytesWritten = static_cast<uint32_t>(written);
    }
    if (code == CMD_READ_BUF_512) {
      host->SetProgressPos(static_cast<uint32_t>(written));
      self.LogInfo(StrFormat("%d%%,%d,%d", static_cast<int>(written * 100 / total),
                             static_cast<int>(written), static_cast<int>(total)));
    }
    address += block;
    readLength = (address + rest == total) ? rest : block;
    ++i;
  }
  std::vector<uint8_t>().swap(answer);

  if (fileWriteFailed && fileOpen) {
    // Disk full or the folder went away: the picture is incomplete, so it is not shown.
    const int err = errno;
    const std::string path = filePath;
    CloseTempFile(true);
    host->SetProgressPos(0);
    SetMode(CAPTURE_IDLE, true);
    self.LogError(StrFormat("write fail,please check file path! %s: %s", path.c_str(),
                            std::strerror(err)));
  } else if (result == BlockResult::Stopped) {
    // Stop Capture closed and deleted the file; let the camera finish talking first.
    SetMode(CAPTURE_SINGLE, true);
    host->ShowStopNotice(true);
    // The notice stays until the line has been quiet for 100 ms.
    for (bool quiet = false; !quiet && !exitRequested;) {
      size_t pending;
      {
        std::lock_guard<std::mutex> lock(rxMutex);
        pending = rx.size();
      }
      gateLock.unlock();
      Pause(100);
      gateLock.lock();
      std::lock_guard<std::mutex> lock(rxMutex);
      rx.erase(rx.begin(), rx.begin() + static_cast<long>(std::min(pending, rx.size())));
      quiet = rx.empty();
    }
    host->ShowStopNotice(false);
    SetMode(CAPTURE_IDLE, true);
    host->SetProgressPos(0);
    self.LogMessage(MSG_STOP_SUCCESS);
  } else if (result == BlockResult::LineLost || result == BlockResult::Closing) {
    // A partial picture is never shown or offered for saving.
    CloseTempFile(true);
    host->SetProgressPos(0);
    SetMode(CAPTURE_IDLE, true);
    if (result == BlockResult::LineLost) {
      std::string reason;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        reason = lineFailReason;
      }
      self.LogError(StrFormat("Transfer aborted after %u of %u bytes: %s",
                              static_cast<unsigned>(written), total, reason.c_str()));
    }
  } else if (written == total && fileOpen) {
    host->SetProgressPos(0);
    CloseTempFile(false);
    if (fileWriteFailed) {
      ::unlink(filePath.c_str());
      self.LogError(StrFormat("write fail,please check file path! %s", filePath.c_str()));
    } else {
      self.LogMessage(MSG_FILE_CLOSED);
      int frameWidth, frameHeight;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        frameWidth = st.frameWidth;
        frameHeight = st.frameHeight;
      }
      const bool yuv = filePath.find("yuv.tmp") != std::string::npos;
      const PictureResult shown = host->ShowPicture(filePath, frameWidth, frameHeight);
      if (!shown.ok) self.LogError(StrFormat("显示jpg文件%s失败!", filePath.c_str()));
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        st.lastImageFile = filePath;
        st.decodedWidth = shown.ok ? shown.width : 0;
        st.decodedHeight = shown.ok ? shown.height : 0;
        st.lastWasYuv = yuv;
      }
    }
    FinishPicture();
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.transferActive = false;
  }
  DropIfHead(code);
}

void CCameraProtocol::Impl::FinishPicture() {
  int mode, readIndex = 0, stored = 0, multiIndex;
  bool readingDetected;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    mode = st.captureMode;
    // A power-on picture is requested one button press at a time, like a single capture.
    if (mode == CAPTURE_SINGLE || mode == CAPTURE_AUTO_READ) st.captureMode = CAPTURE_IDLE;
    st.bytesWritten = 0;
    readingDetected = st.multiReading && st.readIndex <= st.storedCount;
    if (readingDetected) {
      readIndex = st.readIndex;
      stored = st.storedCount;
      ++st.readIndex;
    }
    multiIndex = st.multiReadIndex;
  }
  if (mode == CAPTURE_SINGLE || mode == CAPTURE_AUTO_READ) host->CaptureStateChanged();
  if (readingDetected)
    host->SetReadButton(readIndex != stored,
                        StrFormat("%s%d/%d", StatusText(MSG_READ), readIndex, stored));
  if (mode == CAPTURE_MULTI_READ) {
    const int photos = self.GetMultiCapture().photos;
    if (multiIndex >= photos) {
      host->SetMultiCaptureReadButton(false, StatusText(MSG_READ_MULTI));
      host->SetMultiCaptureTestButton(true);
      SetMode(CAPTURE_IDLE, true);
    } else {
      host->SetMultiCaptureReadButton(
          true, StrFormat("%s%d/%d", StatusText(MSG_NEXT), multiIndex, photos));
    }
  }
  Pause(5);
  self.QueueCommand(CMD_RESUME_FRAME);
  self.SendResumeFrame();
}
