// ProcessReplies: one pass matches the reply of the command at the head of the queue at
// the start of the receive buffer, or examines unsolicited reports when nothing is
// pending. Transfer commands hand over to the image transfer.
//
// Replies are dispatched by a table: one row per command code with the reply's minimum
// length, its expected header and what happens when the header differs; each handler is a
// small function. Matching, consuming, mismatch handling and the typed result live once,
// in the dispatcher.
#include <algorithm>
#include <cstring>
#include <utility>

#include "protocol/CommandTable.h"
#include "protocol/ProtocolImpl.h"
#include "protocol/ProtocolTables.h"
#include "protocol/StatusMessages.h"

namespace {

constexpr uint8_t kReply = kReplyByte;
// Unsolicited bytes beyond this many are not waited on for the rest of a report.
constexpr size_t kUnsolicitedWindow = 512;
// A camera answering the length request wrongly is asked again no sooner than this.
constexpr unsigned kAskAgainMs = 100;
// While the head waits on a reply that does not match, the buffer keeps this much of what
// follows; the rest is dropped (a talkative camera must not grow it without end).
constexpr size_t kWaitingKeep = 64 * 1024;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

size_t Find(const uint8_t* data, size_t size, const void* needle, size_t length) {
  if (length == 0 || size < length) return std::string::npos;
  const auto* begin = data;
  const auto* end = data + size;
  const auto* n = static_cast<const uint8_t*>(needle);
  const auto* hit = std::search(begin, end, n, n + length);
  return hit == end ? std::string::npos : static_cast<size_t>(hit - begin);
}
size_t FindText(const uint8_t* data, size_t size, const char* text) {
  return Find(data, size, text, std::strlen(text));
}

// One reply being examined at the front of the receive buffer.
class ReplyView {
 public:
  ReplyView(std::vector<uint8_t>& rx, uint8_t sn) : m_rx(rx), m_sn(sn) {}
  size_t Size() const { return m_rx.size(); }
  uint8_t operator[](size_t i) const { return m_rx[i]; }
  const uint8_t* Data() const { return m_rx.data(); }
  // 76 SN followed by the first `length` bytes of tail.
  bool HeaderIs(const uint8_t* tail, size_t length) const {
    if (m_rx.size() < 2 + length) return false;
    if (m_rx[0] != kReply || m_rx[1] != m_sn) return false;
    return std::equal(tail, tail + length, m_rx.begin() + 2);
  }
  bool HeaderIs(std::initializer_list<uint8_t> tail) const {
    return HeaderIs(tail.begin(), tail.size());
  }
  void Consume(size_t k) { m_rx.erase(m_rx.begin(), m_rx.begin() + std::min(k, m_rx.size())); }
  void Clear() { std::vector<uint8_t>().swap(m_rx); }
  std::vector<uint8_t>& Bytes() { return m_rx; }

 private:
  std::vector<uint8_t>& m_rx;
  uint8_t m_sn;
};

using Impl = CCameraProtocol::Impl;

// A reply being handled: the engine, the bytes, and the result being built.
struct ReplyCall {
  Impl& e;
  ReplyView& r;
  std::unique_lock<std::mutex>& rxLock;
  int code;
  CommandResult result;
  bool emitted = false;
  bool settled = false;  // its result is out already (a length of 0 left it at the head)

  CCameraProtocol& Self() { return e.self; }
  void Pop() {
    if (!e.DropHead()) settled = true;
  }
  // The command is answered: off the queue, its reply off the buffer.
  void Done(size_t length) {
    Pop();
    r.Consume(length);
  }
  // Done, with the camera's status byte deciding the outcome.
  void DoneWithStatus(size_t length, uint8_t status) {
    if (status != 0) {
      result.outcome = Outcome::Refused;
      result.status = status;
    }
    Done(length);
  }
  // Reports the result now, before the handler's follow-ups (their lines are not its own).
  void Emit() {
    if (emitted) return;
    emitted = true;
    e.EndCollect();
    if (settled) return;
    result.code = code;
    e.host->CommandFinished(result);
  }
  void Issue(int next, unsigned value = 0) {
    e.IssueLocked(MakeCommand(next, value));
  }
  template <typename T>
  T Records(T FeatureRecordSet::*field) {
    std::lock_guard<std::mutex> lock(e.recordMutex);
    return e.records.*field;
  }
};

using Handler = void (*)(ReplyCall&);

// What the dispatcher does when a complete-length reply carries another header.
enum class OnMismatch {
  Wait,      // leave everything; the reply may still come (queue order is kept)
  Drop,      // drop the command and the bytes: no valid reply
  AskAgain,  // ask the same question again; the entry at the head waits for the answer
};

struct ReplyRow {
  int code;
  OnMismatch onMismatch;
  Handler handle;
  bool ownHeaders = false;  // the handler compares the headers itself
};

std::string SuccessText(int prefix, bool ok) {
  return std::string(StatusText(prefix)) + StatusText(ok ? MSG_SUCCESS : MSG_FAIL);
}

struct StatusBox {
  uint8_t status;
  const char* text;
  const char* caption;
};

template <size_t N>
void ShowStatusBox(Impl& e, const StatusBox (&boxes)[N], uint8_t status) {
  for (const auto& box : boxes)
    if (box.status == status) e.host->ShowMessage(box.text, box.caption, MsgIcon::Warning, MsgButtons::Ok);
}

// ---------------------------------------------------------------- handlers

void OnReset(ReplyCall& c) {
  auto& rx = c.r.Bytes();
  // The text "Init end\r\n" may follow other bytes; find its "In".
  size_t p = std::string::npos;
  for (size_t i = 4; i + 1 < c.r.Size(); ++i)
    if (c.r[i] == 'I' && c.r[i + 1] == 'n') {
      p = i;
      break;
    }
  if (p == std::string::npos) {
    // Keep a trailing 'I': it may be the start of the text still arriving.
    const size_t keep = c.r[c.r.Size() - 1] == 'I' ? 1 : 0;
    rx.erase(rx.begin() + 4, rx.end() - static_cast<long>(keep));
    return;
  }
  rx.erase(rx.begin() + 4, rx.begin() + static_cast<long>(p));
  if (c.r.Size() < 14) return;
  c.Pop();
  if (std::memcmp(c.r.Data() + 4, "Init end\r\n", 10) == 0) {
    c.Self().LogMessage(MSG_RESET_SUCCESS);
    c.r.Consume(14);
    {
      std::lock_guard<std::mutex> lock(c.e.stateMutex);
      c.e.st.readingDetected = false;
    }
  } else {
    c.Self().LogMessage(MSG_RESET_UNKNOWN);
    c.r.Clear();
    c.result.outcome = Outcome::Failed;
    c.result.reason = "the camera's reset reply did not end as expected";
  }
}

void OnStopFrame(ReplyCall& c) {
  c.Done(5);
  c.Self().LogMessage(MSG_CAPTURE_SUCCESS);
  const int mode = c.e.CaptureMode();
  if (mode != CAPTURE_SINGLE && mode != CAPTURE_CONTINUOUS) return;
  c.result.next = CMD_GET_FRAME_LEN;
  c.Emit();
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    c.e.st.multiReadIndex = 0;
  }
  c.e.PauseLocked(c.rxLock, 100);
  c.Issue(CMD_GET_FRAME_LEN, 0);
}

// The timing line of the picture the resume ends, and the picture it describes.
void TimePicture(ReplyCall& c) {
  std::string timing;
  PictureReply picture;
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    auto& st = c.e.st;
    if (st.imageLength == 0) return;
    if (!st.endTaken) {
      st.endTime = c.e.clock->TickMs();
      st.endTaken = true;
    }
    const double seconds = TickDiff(st.startTime, st.endTime) / 1000.0;
    timing = StrFormat("Time:%.2fs, %s,Image Size:%dX%d, Image Length:%dByte(%.2fKB)", seconds,
                       st.lastImageYuv ? "YUV(NV12)" : "JPG", st.decodedWidth, st.decodedHeight,
                       static_cast<int>(st.imageLength), st.imageLength / 1024.0);
    picture = {st.lastImageFile, st.imageLength, st.decodedWidth, st.decodedHeight,
               st.decodedWidth != 0, st.lastImageYuv, seconds};
    st.startTime = 0;
    st.endTime = 0;
    st.endTaken = false;
  }
  c.Self().LogInfo(timing);
  c.result.data = picture;
}

// The row's header of a reply, or its alternative.
bool IsHeader(const ReplyCall& c, bool alternative) {
  const CommandLayout* layout = CommandLayoutFor(c.code);
  return alternative ? c.r.HeaderIs(layout->replyAlternative, layout->replyAlternativeLength)
                     : c.r.HeaderIs(layout->replyHeader, layout->replyHeaderLength);
}

void OnResumeFrame(ReplyCall& c) {
  if (IsHeader(c, true)) {  // motion seen while the picture was taken
    c.Pop();
    c.r.Clear();
    c.Self().LogMessage(MSG_MOTION_WHILE_CAPTURE);
    return;
  }
  if (!IsHeader(c, false)) return;
  c.Self().LogMessage(MSG_DELETE_STOP_CMD);
  c.Done(5);
  c.Self().LogMessage(MSG_STOP_CMD_SUCCESS);
  TimePicture(c);
  c.Emit();
  c.e.PauseLocked(c.rxLock, 100);
  bool readingDetected, allRead = false;
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    auto& st = c.e.st;
    readingDetected = st.readingDetected;
    if (readingDetected && (st.storedCount == 0 || st.readIndex > st.storedCount)) {
      allRead = true;
      st.readingDetected = false;
      st.detectedRead.enabled = false;  // the caption keeps the last count
      ++st.detectedRead.changes;
    }
  }
  if (readingDetected) {
    if (allRead) {
      c.e.NotifyState();
      c.Issue(CMD_MOTION_ON);
    }
    return;
  }
  // The next picture of a continuous series.
  if (!c.Self().State().continuous) return;
  c.e.host->ClearTraffic();
  const unsigned delay = c.Self().Settings().continueDelay;
  if (delay) c.e.PauseLocked(c.rxLock, delay);
  if (c.Self().State().continuous) c.e.captureEvent.Set();
}

// A length no picture of this camera can have: one damaged byte on the line turns 30 KB
// into gigabytes, which would be asked for (and buffered) for hours. The capture ends as a
// failed one and the camera runs again; no file is made.
void RefuseFrameLength(ReplyCall& c, uint32_t length, uint32_t limit, size_t replyLength) {
  const uint8_t* b = c.r.Data() + 5;
  c.result.outcome = Outcome::Failed;
  c.result.reason = StrFormat(
      "the camera reported a picture length of %u bytes (%02X %02X %02X %02X), more than the "
      "%u bytes a picture of this camera can have: the length was damaged on the line",
      length, b[0], b[1], b[2], b[3], limit);
  c.Done(replyLength);
  c.Self().LogError(StrFormat("Transfer refused: implausible image length %u (at most %u)",
                              length, limit));
  int mode;
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    mode = c.e.st.captureMode;
    c.e.st.continuous = false;
    c.e.st.captureMode = CAPTURE_IDLE;
    c.e.st.fileLength = 0;
    if (mode == CAPTURE_MULTI_READ) {  // the burst read ended here: another may start
      c.e.st.burstTestEnabled = true;
      ++c.e.st.burstTestChanges;
    }
  }
  c.e.NotifyState();
  c.result.next = CMD_RESUME_FRAME;
  c.Emit();
  c.Issue(CMD_RESUME_FRAME);
}

void OnFrameLength(ReplyCall& c) {
  const bool longForm = c.r[4] == 0x0A;
  if (longForm && c.r.Size() < 13) return;  // width and height still to come
  const uint32_t length = Be32(c.r.Data() + 5);
  const size_t replyLength = longForm ? 13 : 9;
  int transferMode;
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    if (longForm) {
      c.e.st.frameWidth = Be16(c.r.Data() + 9);
      c.e.st.frameHeight = Be16(c.r.Data() + 11);
    }
    transferMode = c.e.st.transferMode;
  }
  uint32_t limit;
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    limit = c.e.st.pictureLimit ? c.e.st.pictureLimit : kFamilyPictureLimit;
  }
  if (length > limit) {
    RefuseFrameLength(c, length, limit, replyLength);
    return;
  }
  if (length == 0) {
    // The entry stays: the camera has no picture, and nothing more is asked of it. Its
    // one result is this; a flush or a later reply adds none.
    c.Self().LogError("读取jpg长度为0!");
    c.r.Consume(replyLength);
    c.result.outcome = Outcome::Failed;
    c.result.reason = "the camera reported an image length of 0";
    if (!c.e.MarkHeadReported(c.code)) c.settled = true;
    c.Emit();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    auto& st = c.e.st;
    st.imageLength = length;
    st.bytesWritten = 0;
    st.transferActive = false;
    st.fileLength = length;
  }
  c.Done(replyLength);
  c.e.host->SetProgressRange(length);
  c.Self().LogInfo(StrFormat("m_dwFileLength = %d", static_cast<int>(length)));
  c.Self().LogInfo(StrFormat(StatusText(MSG_READ_LENGTH), static_cast<long>(length)));
  c.result.next = transferMode == 0 ? CMD_READ_TOTAL : CMD_READ_BUF_512;
  c.Emit();
  c.e.sendCmd.Set();  // the sender queues the block read
}

// Replies that only say "done": the log line of each code.
int PlainMessage(int code) {
  switch (code) {
    case CMD_SET_COMPRESSION: return MSG_SET_COMPRESSION;
    case CMD_POWER_SAVE_ON:
    case CMD_POWER_SAVE_OFF: return MSG_POWER_SAVE;
    case CMD_SET_IMAGE_FORMAT: return MSG_SET_IMAGE_FORMAT;
    case CMD_FILL_LIGHT_ON: return MSG_OPEN_FILL_LIGHT;
    case CMD_FILL_LIGHT_OFF: return MSG_CLOSE_FILL_LIGHT;
    default: return MSG_SET_FILL_LIGHT;
  }
}

template <size_t Length>
void OnPlainDone(ReplyCall& c) {
  c.Done(Length);
  c.Self().LogMessage(PlainMessage(c.code));
}

// The fill-light replies log before they are taken off the buffer.
void OnFillLight(ReplyCall& c) {
  c.Self().LogMessage(PlainMessage(c.code));
  c.Done(4);
}

void OnSetBaud(ReplyCall& c) {
  c.Done(4);
  c.e.PauseLocked(c.rxLock, 300);
  c.Issue(CMD_RESET);
  c.result.next = CMD_RESET;
  c.e.PauseLocked(c.rxLock, 100);
  c.Self().LogMessage(MSG_SET_BAUD);
}

void OnTempBaud(ReplyCall& c) {
  c.Done(4);
  c.Self().LogInfo("设置临时波特率成功!请关闭端口重新选择波特率再打开!");
}

void OnImageSize(ReplyCall& c) {
  const bool resetAfter = IsHeader(c, false);
  if (!resetAfter && !IsHeader(c, true)) return;  // the alternative: no reset follows
  c.Done(5);
  c.Self().LogMessage(MSG_SET_IMAGE_SIZE);
  if (!resetAfter) return;
  c.result.next = CMD_RESET;
  c.Issue(CMD_RESET);
}

void OnSensitivity(ReplyCall& c) {
  c.Done(5);
  c.Self().LogMessage(MSG_SET_SENSITIVITY);
  c.result.next = CMD_MOTION_ON;
  c.e.PauseLocked(c.rxLock, 20);
  c.Issue(CMD_MOTION_ON);
}

void OnMotionSwitch(ReplyCall& c) {
  static const int kMessages[3][2] = {{MSG_OPEN_MOTION, MSG_CLOSE_MOTION},
                                      {MSG_OPEN_PERSON, MSG_CLOSE_PERSON},
                                      {MSG_OPEN_VEHICLE, MSG_CLOSE_VEHICLE}};
  bool readingDetected, personVehicle;
  int stored;
  uint8_t kind;
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    auto& st = c.e.st;
    if (c.code == CMD_MOTION_ON) {
      st.readingDetected = false;
      st.storedCount = 0;
    }
    kind = st.detectType <= 2 ? st.detectType : 0;
    readingDetected = st.readingDetected;
    stored = st.storedCount;
    personVehicle = st.personVehicle;
  }
  c.Self().LogMessage(kMessages[kind][c.code == CMD_MOTION_ON ? 0 : 1]);
  c.Done(5);
  if (readingDetected && stored == 0) {
    // A report without stored pictures: take one ourselves.
    c.result.next = CMD_STOP_FRAME;
    c.Emit();
    c.e.PauseLocked(c.rxLock, 100);
    c.rxLock.unlock();
    c.Self().SingleCapture();
    c.rxLock.lock();
  } else if (stored != 0) {
    c.Self().LogMessage(personVehicle ? MSG_PERSON_PLEASE_READ : MSG_MOTION_PLEASE_READ);
  }
}

void OnOsd(ReplyCall& c) {
  c.Self().LogInfo(StrFormat(StatusText(MSG_OSD_LINE), static_cast<int>(c.r[4])));
  c.Done(5);
}

void OnVersion(ReplyCall& c) {
  const size_t ln = c.r[4];
  if (c.r.Size() < 5 + ln) return;
  // The whole text is kept, however long; it stops at a NUL like a C string would.
  const auto* text = reinterpret_cast<const char*>(c.r.Data() + 5);
  std::string version(text, strnlen(text, ln));
  if (!version.empty()) {
    if (version.find("RI07") != std::string::npos) version = "QVX0806NB";
    c.e.SetVersionFromCamera(version);
  }
  c.Self().LogInfo(StrFormat(StatusText(MSG_VERSION), version.c_str()));
  c.result.data = VersionReply{version};
  // Only this reply: a reply queued behind it may already follow in the buffer.
  c.Done(5 + ln);
}

void OnMotionCapture(ReplyCall& c) {
  c.Self().LogMessage(c.r[4] == 0 ? MSG_MOTION_CAPTURE_SUCCESS : MSG_MOTION_CAPTURE_FAIL);
  c.DoneWithStatus(5, c.r[4]);
}

void OnMultiCapture(ReplyCall& c) {
  c.Self().LogMessage(c.r[4] == 0 ? MSG_MULTI_SUCCESS : MSG_MULTI_FAIL);
  c.DoneWithStatus(5, c.r[4]);
}

void OnSetCrop(ReplyCall& c) {
  const uint8_t status = c.r[5];
  {
    std::lock_guard<std::mutex> lock(c.e.recordMutex);
    c.e.records.crop.status = status;
  }
  if (status == 0)
    c.Self().LogInfo(SuccessText(MSG_SET_CROP, true));
  else
    c.Self().LogInfo(StrFormat("%s%s,%d", StatusText(MSG_SET_CROP), StatusText(MSG_FAIL), status));
  static const StatusBox kBoxes[] = {
      {3, "crop width range [32,1920],width must be align 4 and less than image width\n",
       "width error"},
      {4, "crop height range [32,1080],height must be align 4 and less than image height\n",
       "height error"},
      {5, "x + width / y + height do not more than image width/height\n", "error"},
  };
  ShowStatusBox(c.e, kBoxes, status);
  c.DoneWithStatus(6, status);
}

void OnReadCrop(ReplyCall& c) {
  const uint8_t* p = c.r.Data();
  {
    std::lock_guard<std::mutex> lock(c.e.recordMutex);
    auto& crop = c.e.records.crop;
    crop.enable = p[5];
    crop.x = Be16(p + 6);
    crop.y = Be16(p + 8);
    crop.width = Be16(p + 10);
    crop.height = Be16(p + 12);
    crop.imageWidth = Be16(p + 14);
    crop.imageHeight = Be16(p + 16);
    c.result.data = crop;
  }
  c.Self().LogInfo(SuccessText(MSG_READ_CROP, true));
  c.Done(18);
}

void OnPowerCapture(ReplyCall& c) {
  const uint8_t status = c.r[4];
  c.Self().LogInfo(SuccessText(MSG_SET_POWER_CAPTURE, status == 0));
  // A refused setting must not be announced as a success.
  if (status == 0) {
    c.e.host->ShowMessage("It will work next Restart!", "Setting Success", MsgIcon::Information,
                          MsgButtons::Ok);
  } else {
    c.e.host->ShowMessage("The camera refused the power-on capture setting (status " +
                              std::to_string(status) + ").\n",
                          "Setting Fail", MsgIcon::Warning, MsgButtons::Ok);
  }
  c.DoneWithStatus(5, status);
}

void OnSetDetection(ReplyCall& c) {
  c.Self().LogMessage(c.r[5] == 0 ? MSG_DETECTION_SUCCESS : MSG_DETECTION_FAIL);
  c.DoneWithStatus(6, c.r[5]);
}

void OnReadDetection(ReplyCall& c) {
  const uint8_t* p = c.r.Data() + 5;
  {
    std::lock_guard<std::mutex> lock(c.e.recordMutex);
    auto& d = c.e.records.detect;
    d.powerOnDetect = p[0];
    d.type = p[1];
    d.sensitivity = p[2];
    d.mode = p[3];
    d.threshold = p[4];
    d.distance = p[5];
    d.targetSelect = p[6];
    d.photos = p[7];
    d.interval = Be16(p + 8);
    d.nextDetect = p[10];
    c.result.data = d;
  }
  c.Done(16);
}

void OnReadSettings(ReplyCall& c) {
  SettingsReadBack values;
  values.serialNumber = c.r[5];
  values.imageSizeIndex = ImageSizePositionForCode(c.r[6]);
  values.defaultRateIndex = BaudPositionForCode(c.r[7], c.r[8]);
  if (c.r[9] >= kCompressionFirst && c.r[9] <= kCompressionLast)
    values.compressionIndex = c.r[9] - kCompressionFirst;
  values.detectionKind = c.r[10] & 0x0F;
  {
    std::lock_guard<std::mutex> lock(c.e.stateMutex);
    c.e.st.serialNumber = c.r[5];
    c.e.st.detectType = static_cast<uint8_t>(values.detectionKind);
  }
  c.result.data = values;
  c.Done(11);
}

void OnSetImageParams(ReplyCall& c) {
  const uint8_t status = c.r[5];
  c.Self().LogMessage(status == 0 ? MSG_SET_IMAGE_SUCCESS : MSG_SET_IMAGE_FAIL);
  static const StatusBox kBoxes[] = {
      {1, "awb range [300,600],Please input again!\n", "awb error"},
      {2, "awb mode range [0,1]\n", "awb mode error"},
      {3, "High Light range [0,10],Please input again!\n", "High light error"},
  };
  ShowStatusBox(c.e, kBoxes, status);
  c.DoneWithStatus(6, status);
}

// A read or reset of one image-parameter set: the reply carries the set's values.
void OnImageParamsValues(ReplyCall& c) {
  ImageParams values;
  std::memcpy(&values, c.r.Data() + 5, sizeof(ImageParams));
  {
    std::lock_guard<std::mutex> lock(c.e.recordMutex);
    c.e.records.imageParams = values;
  }
  c.result.data = values;
  if (c.code == CMD_RESET_IMAGE_PARAMS) c.Self().LogMessage(MSG_RESET_IMAGE);
  c.Done(16);
}

constexpr OnMismatch W = OnMismatch::Wait;
constexpr OnMismatch D = OnMismatch::Drop;
constexpr bool Own = true;  // the handler tells the reply's headers apart itself

// Each reply's minimum length and header come from the command table (CommandTable.cpp).
const ReplyRow kReplyRows[] = {
    {CMD_RESET, W, OnReset},
    {CMD_STOP_FRAME, W, OnStopFrame},
    {CMD_RESUME_FRAME, W, OnResumeFrame, Own},
    {CMD_GET_FRAME_LEN, OnMismatch::AskAgain, OnFrameLength},
    {CMD_SET_COMPRESSION, W, OnPlainDone<5>},
    {CMD_POWER_SAVE_ON, W, OnPlainDone<5>},
    {CMD_POWER_SAVE_OFF, W, OnPlainDone<5>},
    {CMD_SET_BAUD, W, OnSetBaud},
    {CMD_SET_TEMP_BAUD, W, OnTempBaud},
    {CMD_SET_IMAGE_SIZE, W, OnImageSize, Own},
    {CMD_SET_MOTION_SENSITIVITY, W, OnSensitivity},
    {CMD_MOTION_ON, W, OnMotionSwitch},
    {CMD_MOTION_OFF, W, OnMotionSwitch},
    {CMD_FILL_LIGHT_ON, D, OnFillLight},
    {CMD_FILL_LIGHT_OFF, D, OnFillLight},
    {CMD_SET_FILL_LIGHT, D, OnFillLight},
    {CMD_SET_OSD, D, OnOsd},
    {CMD_GET_VERSION, D, OnVersion},
    {CMD_SET_MOTION_CAPTURE, D, OnMotionCapture},
    {CMD_MULTI_CAPTURE, D, OnMultiCapture},
    {CMD_SET_CROP, D, OnSetCrop},
    {CMD_READ_CROP, D, OnReadCrop},
    {CMD_SET_POWER_CAPTURE, D, OnPowerCapture},
    {CMD_SET_DETECTION, D, OnSetDetection},
    {CMD_READ_DETECTION, D, OnReadDetection},
    {CMD_READ_SETTINGS, D, OnReadSettings},
    {CMD_SET_IMAGE_PARAMS, D, OnSetImageParams},
    {CMD_READ_IMAGE_PARAMS, D, OnImageParamsValues},
    {CMD_RESET_IMAGE_PARAMS, D, OnImageParamsValues},
    {CMD_SET_IMAGE_FORMAT, D, OnPlainDone<7>},
};

const ReplyRow* RowFor(int code) {
  for (const ReplyRow& row : kReplyRows)
    if (row.code == code) return &row;
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- the dispatcher

void CCameraProtocol::ProcessReplies() {
  std::unique_lock<std::mutex> gateLock(m_pImpl->gate);
  m_pImpl->Pass(gateLock);
}

void CCameraProtocol::Impl::Pass(std::unique_lock<std::mutex>& gateLock) {
  const int code = self.PeekCommand();
  if (framesHeld) return;  // what is in the buffer now answers nothing we sent
  if (code == CMD_READ_TOTAL || code == CMD_READ_BUF_512) {
    RunTransfer(code, gateLock);
    return;
  }
  std::unique_lock<std::mutex> rxLock(rxMutex);
  if (code == 0) {
    Unsolicited(rxLock);
    return;
  }
  if (!RowFor(code)) {
    if (DropHead()) ReportResult(code, Outcome::NoValidReply);
    return;
  }
  if (rx.empty()) return;
  const auto start = std::find(rx.begin(), rx.end(), kReply);
  if (start == rx.end()) {
    if (DropHead()) ReportResult(code, Outcome::NoValidReply);
    Unsolicited(rxLock);
    return;
  }
  rx.erase(rx.begin(), start);
  HandleReply(code, rxLock);
}

void CCameraProtocol::Impl::HandleReply(int code, std::unique_lock<std::mutex>& rxLock) {
  const ReplyRow* row = RowFor(code);
  const CommandLayout* layout = CommandLayoutFor(code);
  ReplyView r(rx, templateSn);
  const size_t n = r.Size();
  if (!row || !layout || n < layout->replyMinimum) return;
  if (!row->ownHeaders && !r.HeaderIs(layout->replyHeader, layout->replyHeaderLength)) {
    if (row->onMismatch == OnMismatch::AskAgain) {
      const uint64_t gen = interruptGen;
      PauseLocked(rxLock, kAskAgainMs);  // stop, close and line loss end it
      if (Interrupted(gen) || self.PeekCommand() != code) return;
      r.Clear();
      uint8_t selector;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        selector = st.lengthSelector;
      }
      WriteCommand(MakeCommand(code, selector));
    } else if (row->onMismatch == OnMismatch::Drop) {
      const bool owed = DropHead();
      r.Consume(n);
      if (owed) ReportResult(code, Outcome::NoValidReply);
    } else {
      BoundWaiting();
    }
    return;
  }
  const uint64_t dropsBefore = queueDrops;
  ReplyCall call{*this, r, rxLock, code, {}};
  call.settled = HeadReported();
  BeginCollect(&call.result.log);
  row->handle(call);
  EndCollect();
  // Still queued and not reported: the reply is not complete yet.
  if (!call.emitted && queueDrops != dropsBefore) call.Emit();
  else if (!call.emitted) BoundWaiting();
}

void CCameraProtocol::Impl::BoundWaiting() {
  if (rx.size() <= kWaitingKeep) return;
  // The start, where the awaited reply sits, stays; the newest bytes go.
  rx.resize(kWaitingKeep);
  rx.shrink_to_fit();
  bool told;
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    told = std::exchange(headTrimTold, true);
  }
  if (!told)
    self.LogError(StrFormat("Waiting for a reply: received bytes beyond %zu are dropped",
                            kWaitingKeep));
}

// ---------------------------------------------------------------- unsolicited reports

void CCameraProtocol::Impl::Unsolicited(std::unique_lock<std::mutex>& rxLock) {
  if (rx.empty()) return;
  // Bytes still arriving since the previous look: a short report split across passes is
  // kept whole until the rest is there, instead of being thrown away half-read.
  const bool flowing = rxAppended != appendedAtUnsolicited;
  appendedAtUnsolicited = rxAppended;
  const size_t count = rx.size();
  const uint8_t* s = rx.data();
  const bool mayWait = flowing && count < kUnsolicitedWindow;

  // Detection report 76 SN 39 ..; its fields are read where it starts.
  const uint8_t head[3] = {kReply, templateSn, kDetectionReport};
  const size_t at = Find(s, count, head, 3);
  if (at != std::string::npos) {
    // A motion report cut short before its count, the next frame (76 SN ..) where the count
    // would be: taking 0x76 for a count would report 118 pictures and swallow that frame.
    if (count - at >= 5 && s[at + 3] == 0 && s[at + 4] == kReply) {
      if (count - at >= 6 && s[at + 5] == templateSn) {
        rx.erase(rx.begin(), rx.begin() + static_cast<long>(at + 4));
        return;
      }
      if (count - at < 6 && mayWait) {
        rx.erase(rx.begin(), rx.begin() + static_cast<long>(at));
        return;
      }
    }
    const size_t need = (count > at + 3 && s[at + 3] == 3) ? 7 : 5;
    if (count - at >= need) {
      DetectionReport(s + at, rxLock);
      return;
    }
    if (mayWait) {
      rx.erase(rx.begin(), rx.begin() + static_cast<long>(at));
      return;
    }
  }
  if (count >= 10 && FindText(s, count, kPowerOnText) != std::string::npos) {
    PowerOnBanner();
    return;
  }
  if (count >= 4 && FindText(s, count, kErrorTail) != std::string::npos) {
    CameraEvent event;
    event.kind = CameraEventKind::CommandError;
    BeginCollect(&event.log);
    self.LogMessage(MSG_COMMAND_ERROR);
    std::vector<uint8_t>().swap(rx);
    ReportEvent(event);
    return;
  }
  if (count >= 5 && s[0] == kReply && s[2] == kAutoCaptureReport) {
    if (count < 6 && mayWait) return;  // the picture count is byte 5
    if (count >= 6) {
      AutoCaptureReport(s[5]);
      return;
    }
  }
  if (mayWait) return;
  // Nothing recognisable: let it go, all but what may be the start of a report.
  size_t keep = 0;
  for (size_t i = count; i-- > 0 && count - i < 7;)
    if (s[i] == kReply) {
      keep = count - i;
      break;
    }
  if (!flowing) keep = 0;
  rx.erase(rx.begin(), rx.end() - static_cast<long>(keep));
}

// "Init end" with, perhaps, the camera's version after "sion:".
void CCameraProtocol::Impl::PowerOnBanner() {
  const size_t count = rx.size();
  const uint8_t* s = rx.data();
  CameraEvent event;
  event.kind = CameraEventKind::PowerOn;
  const size_t sion = FindText(s, count, kVersionTag);
  if (sion != std::string::npos) {
    const uint8_t* begin = s + sion + 5;
    const uint8_t* end = std::find(begin, s + count, '\r');
    event.version.assign(begin, end);
  } else if (FindText(s, count, "RI07") != std::string::npos) {
    event.version = "QVX0806NB";
  }
  BeginCollect(&event.log);
  if (!event.version.empty()) SetVersionFromCamera(event.version);
  self.LogMessage(MSG_POWER_ON);
  std::vector<uint8_t>().swap(rx);
  ReportEvent(event);
}

void CCameraProtocol::Impl::AutoCaptureReport(uint8_t pictures) {
  std::vector<uint8_t>().swap(rx);
  CameraEvent event;
  event.kind = pictures == kAutoCaptureFailed ? CameraEventKind::AutoCaptureFailed
                                             : CameraEventKind::AutoCapture;
  event.count = pictures == kAutoCaptureFailed ? 0 : pictures;
  if (pictures == kAutoCaptureFailed)
    host->ShowMessage("Snap erro after power on!", "Brevant", MsgIcon::Warning, MsgButtons::Ok);
  ReportEvent(event);
}

void CCameraProtocol::Impl::DetectionReport(const uint8_t* r, std::unique_lock<std::mutex>& rxLock) {
  const uint8_t kind = r[3];
  CameraEvent event;
  // A motion report has 5 bytes; only a person/vehicle report (kind 3) has bytes 5 and 6.
  event.kind = kind != 3     ? CameraEventKind::Motion
               : r[5] == 1 ? CameraEventKind::StoredPictures
                           : CameraEventKind::LiveCount;
  int stored;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (kind == 0) {
      st.personVehicle = false;
      st.storedCount = r[4];
    } else if (kind == 3) {
      st.personVehicle = true;
      if (r[5] == 1) st.storedCount = r[6];
    }
    stored = st.storedCount;
  }
  BeginCollect(&event.log);
  if (kind == 0) {
    self.LogMessage(MSG_MOTION_HAPPEN);
    event.count = r[4];
  } else if (kind == 3) {
    if (r[5] == 1) {
      self.LogMessage(MSG_PERSON_PLEASE_READ);
      event.count = r[6];
    } else {
      const uint8_t live = r[6];
      {
        std::lock_guard<std::mutex> lock(recordMutex);
        records.detect.detectedCount = live;
      }
      event.count = live;
      event.target = r[4];
      if (r[4] == 1) self.LogInfo(StrFormat(StatusText(MSG_PEOPLE_NOW), live));
      else if (r[4] == 2) self.LogInfo(StrFormat(StatusText(MSG_CARS_NOW), live));
    }
  }
  EndCollect();
  std::vector<uint8_t>().swap(rx);  // r points into rx: not used past here
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.readingDetected = true;
  }
  PauseLocked(rxLock, 100);
  IssueLocked(MakeCommand(CMD_MOTION_OFF));
  event.next = CMD_MOTION_OFF;
  if (stored != 0) {
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      st.readIndex = 0;
      st.detectedRead = {st.detectedRead.changes + 1, true, 0, stored};
    }
    NotifyState();
  }
  ReportEvent(event);
}
