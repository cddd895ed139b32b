#include "CliRunner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "CliOptions.h"
#include "CliOutput.h"
#include "CliPorts.h"
#include "CliValues.h"
#include "ConsoleHost.h"
#include "SavedPicture.h"
#include "app/core/ModelIdentification.h"
#include "protocol/CameraProtocol.h"
#include "protocol/CommandCodes.h"
#include "serial/PortMap.h"

namespace cli {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longest sleep between looks at the engine's queue: the queue changes without a host
// call (a reply dropped without a log line), so waits also look on a short period.
constexpr milliseconds kPoll{20};
// After a command has left the queue, how long its result line may still take: the
// engine logs within the same pass, after at most the pauses of the rate change (400 ms),
// so this only runs out when the reply was dropped unrecognised.
constexpr milliseconds kSettle{1500};

const char* CommandCodeName(int code) {
  static const char* const names[] = {
      "",
      "CMD_RESET",
      "CMD_STOP_FRAME",
      "CMD_RESUME_FRAME",
      "CMD_GET_FRAME_LEN",
      "(code 5)",
      "CMD_READ_TOTAL",
      "CMD_SET_COMPRESSION",
      "CMD_POWER_SAVE_ON",
      "CMD_POWER_SAVE_OFF",
      "CMD_SET_BAUD",
      "CMD_SET_TEMP_BAUD",
      "CMD_SET_IMAGE_SIZE",
      "CMD_SET_MOTION_SENSITIVITY",
      "CMD_MOTION_ON",
      "CMD_MOTION_OFF",
      "CMD_FILL_LIGHT_ON",
      "CMD_FILL_LIGHT_OFF",
      "CMD_SET_OSD",
      "CMD_READ_BUF_512",
      "CMD_GET_VERSION",
      "CMD_SET_MOTION_CAPTURE",
      "CMD_MULTI_CAPTURE",
      "CMD_SET_CROP",
      "CMD_READ_CROP",
      "CMD_SET_POWER_CAPTURE",
      "CMD_SET_DETECTION",
      "CMD_READ_DETECTION",
      "CMD_SET_FILL_LIGHT",
      "CMD_READ_SETTINGS",
      "CMD_SET_IMAGE_PARAMS",
      "CMD_READ_IMAGE_PARAMS",
      "CMD_RESET_IMAGE_PARAMS",
      "CMD_SET_IMAGE_FORMAT",
  };
  if (code < 1 || code > CMD_LAST) return "a command";
  return names[code];
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// "%d%%,%d,%d": the transfer's progress line.
bool IsProgressLine(const std::string& text) {
  size_t i = 0;
  auto digits = [&] {
    size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > start;
  };
  return digits() && i < text.size() && text[i++] == '%' && i < text.size() && text[i++] == ',' &&
         digits() && i < text.size() && text[i++] == ',' && digits() && i == text.size();
}

// Log lines of a picture transfer that a console user has no use for: the per-picture
// result line says it all.
bool IsTransferNoise(const std::string& text) {
  static const char* const exact[] = {"PhotoOnce flush cmd queue", "PhotoOnce 清空命令队列",
                                      "File cloed!", "Capture Success!", "delete sotp capture cmd!",
                                      "stop capture cmd success!"};
  for (const char* e : exact)
    if (text == e) return true;
  static const char* const prefixes[] = {"Create file", "m_dwFileLength = ",
                                         "Read success,image length:", "Time:"};
  for (const char* p : prefixes)
    if (StartsWith(text, p)) return true;
  return IsProgressLine(text);
}

// The result texts of one command: the success line(s), and failure lines beyond the
// ones that say "fail" themselves.
struct ReplyTexts {
  std::vector<std::string> success;
  std::vector<std::string> failure;
};

bool IsFailureLine(const LogEntry& line, const ReplyTexts& texts) {
  if (line.error) return true;
  if (line.text.find("fail") != std::string::npos) return true;
  for (const auto& f : texts.failure)
    if (StartsWith(line.text, f)) return true;
  return false;
}

bool IsResultLine(const LogEntry& line, const ReplyTexts& texts) {
  if (IsFailureLine(line, texts)) return true;
  for (const auto& s : texts.success)
    if (StartsWith(line.text, s)) return true;
  return false;
}

std::string TrimBox(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

const char* DetectionKindName(int kind) {
  switch (kind) {
    case 0: return "motion";
    case 1: return "person";
    case 2: return "vehicle";
    default: return "unknown";
  }
}

std::string Hex2(unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", value & 0xFF);
  return buf;
}

enum class Wait { Done, Unrecognised, Failed, Timeout, Line, Interrupted };

class CSession {
 public:
  CSession(const GlobalOptions& global, const CommandPlan& plan, ResultWriter& writer,
           CConsoleHost& host, CCameraProtocol& cam, std::atomic<bool>& interrupted,
           const std::function<std::tm()>& localTime)
      : m_global(global), m_plan(plan), m_writer(writer), m_host(host), m_cam(cam),
        m_interrupted(interrupted), m_localTime(localTime) {}

  int Run();

 private:
  // ---- waiting ----
  Wait WaitFor(const std::function<bool()>& done, const std::function<bool()>& failed = {});
  bool Queued(int code);
  bool QueueEmpty() { return m_cam.QueuedCommands().empty(); }
  // The engine logs a reply's result inside the worker pass that removed it from the
  // queue; taking the receive lock once waits for that pass to end.
  void SyncWithWorker() { (void)m_cam.ReceiveBufferSnapshot(); }
  Wait AwaitAnswered(int code, const std::function<bool()>& recognised,
                     const std::function<bool()>& failed = {});
  Wait AwaitQueueEmpty();
  int Status(Wait wait, int code);
  bool SleepInterruptible(unsigned ms);

  // ---- output ----
  ResultLine Line(const std::string& message, bool ok) const {
    ResultLine line;
    line.command = m_plan.name;
    line.ok = ok;
    line.message = message;
    return line;
  }
  // Prints the log lines since mark (transfer noise left out) and the boxes since
  // boxMark, moving both marks past what was printed; returns whether any of them
  // reports a failure.
  bool PrintAndAdvance(size_t& mark, size_t& boxMark, const ReplyTexts& texts);
  bool PrintSince(size_t mark, size_t boxMark, const ReplyTexts& texts) {
    return PrintAndAdvance(mark, boxMark, texts);
  }
  bool PrintBoxes(size_t& boxMark);
  // In JSON mode a run that ends in an error still leaves one object on stdout.
  void JsonError(int status, const std::string& text);

  // ---- steps ----
  int Identify(bool readSettings);
  void ApplyIdentification(const std::string& version, bool readSettings);
  // Queues and sends one command and waits for its result line. followUps: the reply
  // chains further commands, wait for the queue to empty; completion: lines one of which
  // must have come before the command counts as done.
  int Simple(int code, const std::function<void()>& send, const ReplyTexts& texts,
             bool followUps = false, const std::vector<std::string>& completion = {});
  int Picture(const std::function<void()>& start, int index) {
    size_t mark = m_host.LogCount();
    size_t boxMark = m_host.BoxCount();
    return PictureFrom(start, index, mark, boxMark);
  }
  int PictureFrom(const std::function<void()>& start, int index, size_t& mark, size_t& boxMark);
  int Capture();
  int ReadStored();
  int Version();
  int Settings();
  int ImageParamsReadOrReset(bool reset);
  int ImageParamsSet();
  int CropRead();
  int CropSet();
  int DetectionRead();
  int Burst();
  int Monitor();
  int FetchStored(int count);
  int FetchAutoCaptured(int count);
  void PrintImageParams(const std::string& message);

  const GlobalOptions& m_global;
  const CommandPlan& m_plan;
  ResultWriter& m_writer;
  CConsoleHost& m_host;
  CCameraProtocol& m_cam;
  std::atomic<bool>& m_interrupted;
  const std::function<std::tm()>& m_localTime;
  ModelInfo m_model;
  uint64_t m_versionChangesSeen = 0;
  // monitor: what has been printed so far
  size_t m_logMark = 0;
  size_t m_boxMark = 0;
  uint64_t m_readButtonSeen = 0;
  size_t m_autoMark = 0;
};

// ---------------------------------------------------------------------------------------
// Waiting

Wait CSession::WaitFor(const std::function<bool()>& done, const std::function<bool()>& failed) {
  // --timeout is the longest silence allowed: anything the camera sends (a block of a
  // long transfer, a log line) starts it again.
  const milliseconds timeout(m_global.timeoutMs);
  auto deadline = SteadyClock::now() + timeout;
  uint64_t seen = m_host.Sequence();
  for (;;) {
    uint64_t seq = m_host.Sequence();
    if (m_host.LineFailure()) return Wait::Line;
    if (m_interrupted) return Wait::Interrupted;
    if (failed && failed()) return Wait::Failed;
    if (done()) return Wait::Done;
    auto now = SteadyClock::now();
    if (seq != seen) {
      seen = seq;
      deadline = now + timeout;
    }
    if (now >= deadline) return Wait::Timeout;
    auto step = std::min<SteadyClock::duration>(deadline - now, kPoll);
    m_host.WaitForChange(seq, std::chrono::ceil<milliseconds>(step));
  }
}

bool CSession::Queued(int code) {
  auto queue = m_cam.QueuedCommands();
  return std::find(queue.begin(), queue.end(), code) != queue.end();
}

Wait CSession::AwaitAnswered(int code, const std::function<bool()>& recognised,
                             const std::function<bool()>& failed) {
  bool gone = false;
  bool unrecognised = false;
  SteadyClock::time_point goneAt;
  Wait wait = WaitFor(
      [&] {
        if (Queued(code)) return false;
        if (!gone) {
          gone = true;
          goneAt = SteadyClock::now();
          SyncWithWorker();
        }
        if (recognised()) {
          SyncWithWorker();
          return true;
        }
        if (SteadyClock::now() - goneAt > kSettle) {
          unrecognised = true;
          return true;
        }
        return false;
      },
      failed);
  if (wait == Wait::Done && unrecognised) return Wait::Unrecognised;
  return wait;
}

Wait CSession::AwaitQueueEmpty() {
  return WaitFor([&] {
    if (!QueueEmpty()) return false;
    SyncWithWorker();
    return QueueEmpty();
  });
}

int CSession::Status(Wait wait, int code) {
  int status = kExitCameraFailure;
  std::string text;
  switch (wait) {
    case Wait::Done:
      return kExitOk;
    case Wait::Failed:
      return kExitCameraFailure;
    case Wait::Unrecognised:
      text = std::string("the camera's reply to ") + CommandCodeName(code) + " was not recognised";
      status = kExitCameraFailure;
      break;
    case Wait::Timeout: {
      auto queue = m_cam.QueuedCommands();
      int head = queue.empty() ? code : queue.front();
      text = std::string("no reply to ") + CommandCodeName(head) + " within " +
             std::to_string(m_global.timeoutMs) + " ms";
      status = kExitTimeout;
      break;
    }
    case Wait::Line:
      text = "the line failed: " + m_host.LineFailure().value_or("");
      status = kExitLine;
      break;
    case Wait::Interrupted:
      // For a monitor an interrupt is the normal end; only a fetch cut short is worth a word.
      text = m_plan.command == Command::Monitor ? "interrupted while fetching a picture"
                                                : "interrupted";
      status = kExitInterrupted;
      break;
  }
  m_writer.Error(text);
  if (!(wait == Wait::Interrupted && m_plan.command == Command::Monitor)) JsonError(status, text);
  return status;
}

bool CSession::SleepInterruptible(unsigned ms) {
  auto end = SteadyClock::now() + milliseconds(ms);
  for (;;) {
    if (m_interrupted || m_host.LineFailure()) return false;
    auto now = SteadyClock::now();
    if (now >= end) return true;
    m_host.WaitForChange(m_host.Sequence(), std::chrono::ceil<milliseconds>(end - now));
  }
}

// ---------------------------------------------------------------------------------------
// Output

bool CSession::PrintBoxes(size_t& boxMark) {
  bool failure = false;
  auto boxes = m_host.BoxesSince(boxMark);
  boxMark += boxes.size();
  for (const auto& box : boxes) {
    std::string text = TrimBox(box.text);
    if (box.icon == MsgIcon::Information) {
      m_writer.Result(Line(text, true));
    } else {
      failure = true;
      m_writer.Error((box.caption.empty() ? std::string() : box.caption + ": ") + text);
    }
  }
  return failure;
}

bool CSession::PrintAndAdvance(size_t& mark, size_t& boxMark, const ReplyTexts& texts) {
  bool failure = false;
  auto lines = m_host.LogSince(mark);
  mark += lines.size();
  for (const LogEntry& entry : lines) {
    if (IsTransferNoise(entry.text)) continue;
    bool failed = IsFailureLine(entry, texts);
    failure = failure || failed;
    if (entry.error)
      m_writer.Error(entry.text);
    else
      m_writer.Result(Line(entry.text, !failed));
  }
  return PrintBoxes(boxMark) || failure;
}

void CSession::JsonError(int status, const std::string& text) {
  if (!m_writer.Json()) return;
  ResultLine line = Line("", false);
  line.fields = {Field::Int("exit", status), Field::Str("error", text)};
  m_writer.Result(line);
}

// ---------------------------------------------------------------------------------------
// Identification: what the window does when the port opens

void CSession::ApplyIdentification(const std::string& version, bool readSettings) {
  if (m_cam.GetVersionText() != version) m_cam.SetVersionText(version);
  Identification id = ParseVersionText(version, m_cam.GetModelInfo());
  m_cam.SetModelInfo(id.info);
  m_model = id.info;
  if (id.resetImageType) m_cam.SetImageType(IMAGE_TYPE_JPEG);
  if (id.sendReadSettings && readSettings) {
    m_cam.QueueCommand(CMD_READ_SETTINGS);
    m_cam.SendReadSettings();
  }
}

int CSession::Identify(bool readSettings) {
  size_t mark = m_host.LogCount();
  m_cam.QueueCommand(CMD_GET_VERSION);
  m_cam.SendGetVersion();
  auto answered = [&] {
    for (const LogEntry& e : m_host.LogSince(mark))
      if (StartsWith(e.text, "Version query success!")) return true;
    return false;
  };
  Wait wait = AwaitAnswered(CMD_GET_VERSION, answered);
  if (wait != Wait::Done) return Status(wait, CMD_GET_VERSION);
  // What a monitor prints starts here, so that a report arriving while the settings are
  // read back is not lost.
  m_logMark = m_host.LogCount();
  m_boxMark = m_host.BoxCount();
  m_readButtonSeen = m_host.ReadButtonChanges();
  m_autoMark = m_host.AutoCaptureReportCount();
  m_versionChangesSeen = m_host.VersionChanges();
  uint64_t settingsBefore = m_host.SettingsReadBackCount();
  ApplyIdentification(m_host.VersionText(), readSettings);
  if (readSettings && Queued(CMD_READ_SETTINGS)) {
    wait = AwaitAnswered(CMD_READ_SETTINGS,
                         [&] { return m_host.SettingsReadBackCount() > settingsBefore; });
    if (wait != Wait::Done) return Status(wait, CMD_READ_SETTINGS);
  }
  return kExitOk;
}

// ---------------------------------------------------------------------------------------
// Commands

int CSession::Simple(int code, const std::function<void()>& send, const ReplyTexts& texts,
                     bool followUps, const std::vector<std::string>& completion) {
  size_t mark = m_host.LogCount();
  size_t boxMark = m_host.BoxCount();
  m_cam.QueueCommand(code);
  send();
  auto recognised = [&] {
    for (const LogEntry& e : m_host.LogSince(mark))
      if (IsResultLine(e, texts)) return true;
    return false;
  };
  Wait wait = AwaitAnswered(code, recognised);
  // Replies that chain another command (a reset after a new image size, detection on
  // after the sensitivity) are complete when the chain is.
  if (wait == Wait::Done && followUps) wait = AwaitQueueEmpty();
  if (wait == Wait::Done && !completion.empty()) {
    wait = WaitFor([&] {
      for (const LogEntry& e : m_host.LogSince(mark)) {
        if (IsFailureLine(e, texts)) return true;
        for (const auto& c : completion)
          if (StartsWith(e.text, c)) return true;
      }
      return false;
    });
  }
  bool failure = PrintSince(mark, boxMark, texts);
  if (wait != Wait::Done) return Status(wait, code);
  return failure ? kExitCameraFailure : kExitOk;
}

int CSession::PictureFrom(const std::function<void()>& start, int index, size_t& mark,
                          size_t& boxMark) {
  const size_t firstLine = mark;
  const size_t firstBox = boxMark;
  size_t pictureMark = m_host.PictureCount();
  auto started = SteadyClock::now();
  start();
  auto shown = [&] { return m_host.PictureCount() > pictureMark; };
  // A picture is complete when it has been shown and the camera confirmed the resume, so
  // the next command starts on a quiet line.
  auto done = [&] {
    if (!shown() || !QueueEmpty()) return false;
    SyncWithWorker();
    return QueueEmpty();
  };
  // The engine reports a zero length or an unwritable file and then waits for ever.
  auto failed = [&] {
    for (const LogEntry& e : m_host.LogSince(firstLine))
      if (e.error) return true;
    for (const auto& b : m_host.BoxesSince(firstBox))
      if (b.caption == "create file") return true;
    return false;
  };
  Wait wait = WaitFor(done, failed);
  auto elapsed = std::chrono::duration<double>(SteadyClock::now() - started).count();
  if (wait != Wait::Done) {
    PrintAndAdvance(mark, boxMark, {});
    if (wait == Wait::Failed) {
      std::string reason = "the picture could not be read";
      for (const LogEntry& e : m_host.LogSince(firstLine))
        if (e.error && e.text == "读取jpg长度为0!") reason = "the camera reported an image length of 0";
      for (const auto& b : m_host.BoxesSince(firstBox))
        if (b.caption == "create file") reason = "the temporary picture file could not be created";
      m_writer.Error(reason);
      JsonError(kExitCameraFailure, reason);
      return kExitCameraFailure;
    }
    int head = m_cam.QueuedCommands().empty() ? CMD_STOP_FRAME : m_cam.QueuedCommands().front();
    return Status(wait, head);
  }

  HeadlessHost::Picture picture = m_host.PicturesSince(pictureMark).front();
  double seconds = elapsed;
  for (const LogEntry& e : m_host.LogSince(firstLine)) {
    double t;
    if (std::sscanf(e.text.c_str(), "Time:%lfs", &t) == 1) seconds = t;
  }
  std::string temporary = m_cam.GetLastImageFile();
  if (temporary.empty()) temporary = picture.path;
  std::string error;
  std::string saved = SavePictureNoReplace(temporary, m_global.outDir, m_localTime(), error);
  if (saved.empty()) {
    PrintAndAdvance(mark, boxMark, {});
    m_writer.Error(error);
    JsonError(kExitCameraFailure, error);
    return kExitCameraFailure;
  }
  struct stat st {};
  long long bytes = stat(saved.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;

  ResultLine line = Line("", picture.result.ok);
  char text[64];
  std::snprintf(text, sizeof text, " %lld bytes %dx%d %.2fs", bytes, picture.result.width,
                picture.result.height, seconds);
  line.text = saved + text;
  line.fields = {Field::Int("index", index),        Field::Str("path", saved),
                 Field::Int("bytes", bytes),        Field::Int("width", picture.result.width),
                 Field::Int("height", picture.result.height), Field::Num("seconds", seconds)};
  bool failure = PrintAndAdvance(mark, boxMark, {});
  m_writer.Result(line);
  if (!picture.result.ok) {
    m_writer.Error("the picture saved as " + saved + " could not be decoded");
    return kExitCameraFailure;
  }
  return failure ? kExitCameraFailure : kExitOk;
}

int CSession::Capture() {
  int worst = kExitOk;
  for (unsigned i = 1; i <= m_plan.count; ++i) {
    if (i > 1 && m_plan.delayMs > 0 && !SleepInterruptible(m_plan.delayMs))
      return Status(m_host.LineFailure() ? Wait::Line : Wait::Interrupted, CMD_STOP_FRAME);
    m_cam.SetSavePath(m_global.outDir);
    m_cam.SetTransmitMode(m_plan.transmit);
    m_cam.SetImageType(m_plan.imageType);
    int status = Picture([&] { m_cam.SingleCapture(); }, static_cast<int>(i));
    // A picture the camera sent but that does not decode is reported and the series goes
    // on; a camera that stops answering ends it.
    if (status != kExitOk && status != kExitCameraFailure) return status;
    worst = std::max(worst, status);
  }
  return worst;
}

int CSession::ReadStored() {
  m_cam.SetSavePath(m_global.outDir);
  m_cam.SetTransmitMode(m_plan.transmit);
  m_cam.SetReadIndex(m_plan.readIndex);
  return Picture([&] { m_cam.ReadStoredPicture(); }, m_plan.readIndex);
}

int CSession::Version() {
  ResultLine line = Line("Version query success! " + m_cam.GetVersionText(), true);
  line.fields = {Field::Str("version", m_cam.GetVersionText()),
                 Field::Int("model", m_model.modelCode),
                 Field::Int("variant", m_model.modelVariant),
                 Field::Int("firmware", m_model.firmwareVersion)};
  line.text = line.message + "\nmodel=" + std::to_string(m_model.modelCode) +
              " variant=" + std::to_string(m_model.modelVariant) +
              " firmware=" + std::to_string(m_model.firmwareVersion);
  m_writer.Result(line);
  return kExitOk;
}

int CSession::Settings() {
  uint64_t before = m_host.SettingsReadBackCount();
  m_cam.QueueCommand(CMD_READ_SETTINGS);
  m_cam.SendReadSettings();
  Wait wait =
      AwaitAnswered(CMD_READ_SETTINGS, [&] { return m_host.SettingsReadBackCount() > before; });
  if (wait != Wait::Done) return Status(wait, CMD_READ_SETTINGS);
  SettingsReadBack s = m_host.LastSettings();
  ResultLine line = Line("", true);
  std::string size = ImageSizeText(s.imageSizeIndex + 1);
  std::string rate = s.defaultRateIndex >= 0 && s.defaultRateIndex < 8
                         ? std::to_string(kBaudRates[static_cast<size_t>(s.defaultRateIndex)])
                         : std::string();
  std::string compression =
      s.compressionIndex >= 0 ? Hex2(static_cast<unsigned>(s.compressionIndex) + kCompressionMin)
                              : std::string();
  auto orUnknown = [](const std::string& v) { return v.empty() ? std::string("unknown") : v; };
  line.text = "serial=" + std::to_string(s.serialNumber) + " size=" + orUnknown(size) +
              " default-baud=" + orUnknown(rate) + " compression=" + orUnknown(compression) +
              " detection=" + DetectionKindName(s.detectionKind);
  line.fields = {Field::Int("serial", s.serialNumber), Field::Str("size", size),
                 Field::Str("default_baud", rate), Field::Str("compression", compression),
                 Field::Str("detection", DetectionKindName(s.detectionKind))};
  m_writer.Result(line);
  return kExitOk;
}

void CSession::PrintImageParams(const std::string& message) {
  ImageParams p = m_cam.GetImageParams();
  unsigned awb = static_cast<unsigned>(p.whiteBalanceHigh) << 8 | p.whiteBalanceLow;
  std::string set = (p.mode & 1) ? "night" : "day";
  std::string awbText = p.manualWhiteBalance ? std::to_string(awb) : "auto";
  ResultLine line = Line(message, true);
  line.text = (message.empty() ? "" : message + "\n") + set +
              " brightness=" + std::to_string(p.brightness) +
              " contrast=" + std::to_string(p.contrast) +
              " sharpness=" + std::to_string(p.sharpness) +
              " saturation=" + std::to_string(p.saturation) + " hue=" + std::to_string(p.hue) +
              " awb=" + awbText + " awb-value=" + std::to_string(awb) +
              " exposure=" + std::to_string(p.exposure) + " hlc=" + std::to_string(p.hlc);
  line.fields = {Field::Str("set", set),
                 Field::Int("mode", p.mode),
                 Field::Int("brightness", p.brightness),
                 Field::Int("contrast", p.contrast),
                 Field::Int("sharpness", p.sharpness),
                 Field::Int("saturation", p.saturation),
                 Field::Int("hue", p.hue),
                 Field::Str("awb", awbText),
                 Field::Int("awb_value", awb),
                 Field::Int("exposure", p.exposure),
                 Field::Int("hlc", p.hlc)};
  m_writer.Result(line);
}

int CSession::ImageParamsReadOrReset(bool reset) {
  int code = reset ? CMD_RESET_IMAGE_PARAMS : CMD_READ_IMAGE_PARAMS;
  for (uint8_t selector : m_plan.selectors) {
    size_t mark = m_host.LogCount();
    size_t boxMark = m_host.BoxCount();
    int before = m_host.ImageParamsUpdates();
    m_cam.QueueCommand(code);
    if (reset)
      m_cam.SendResetImageParams(selector);
    else
      m_cam.SendReadImageParams(selector);
    Wait wait = AwaitAnswered(code, [&] { return m_host.ImageParamsUpdates() > before; });
    if (wait != Wait::Done) return Status(wait, code);
    std::string message;
    for (const LogEntry& e : m_host.LogSince(mark))
      if (!e.error) message = e.text;
    PrintImageParams(message);
    if (PrintBoxes(boxMark)) return kExitCameraFailure;
  }
  return kExitOk;
}

int CSession::ImageParamsSet() {
  return Simple(
      CMD_SET_IMAGE_PARAMS,
      [&] {
        m_cam.SetImageParams(m_plan.params);
        m_cam.SendImageParams(m_plan.params);
      },
      {{"set image success!"}, {"set image fail!"}});
}

int CSession::CropRead() {
  size_t mark = m_host.LogCount();
  size_t boxMark = m_host.BoxCount();
  CropSettings request = m_cam.GetCropSettings();
  request.operation = 2;
  m_cam.SetCropSettings(request);
  m_cam.QueueCommand(CMD_READ_CROP);
  m_cam.SendCropSetting(request);
  ReplyTexts texts{{"read crop"}, {}};
  Wait wait = AwaitAnswered(CMD_READ_CROP, [&] {
    for (const LogEntry& e : m_host.LogSince(mark))
      if (IsResultLine(e, texts)) return true;
    return false;
  });
  if (wait != Wait::Done) {
    PrintSince(mark, boxMark, texts);
    return Status(wait, CMD_READ_CROP);
  }
  std::string message;
  bool failure = false;
  for (const LogEntry& e : m_host.LogSince(mark)) {
    if (IsTransferNoise(e.text)) continue;
    failure = failure || IsFailureLine(e, texts);
    if (e.error) m_writer.Error(e.text);
    else message = e.text;
  }
  CropSettings c = m_cam.GetCropSettings();
  ResultLine line = Line(message, !failure);
  line.text = message + "\nenable=" + std::to_string(c.enable) + " x=" + std::to_string(c.x) +
              " y=" + std::to_string(c.y) + " width=" + std::to_string(c.width) +
              " height=" + std::to_string(c.height) + " image=" + std::to_string(c.imageWidth) +
              "x" + std::to_string(c.imageHeight);
  line.fields = {Field::Int("enable", c.enable),      Field::Int("x", c.x),
                 Field::Int("y", c.y),                Field::Int("width", c.width),
                 Field::Int("height", c.height),      Field::Int("image_width", c.imageWidth),
                 Field::Int("image_height", c.imageHeight)};
  m_writer.Result(line);
  failure = PrintBoxes(boxMark) || failure;
  return failure ? kExitCameraFailure : kExitOk;
}

int CSession::CropSet() {
  return Simple(
      CMD_SET_CROP,
      [&] {
        m_cam.SetCropSettings(m_plan.crop);
        m_cam.SendCropSetting(m_plan.crop);
      },
      {{"set cropsuccess"}, {"set cropfail"}});
}

int CSession::DetectionRead() {
  // The engine stores this reply without a log line; the reply's own header on the line
  // is what tells a read from a reply dropped as unrecognised.
  size_t rxMark = m_host.ReceivedCount();
  m_cam.QueueCommand(CMD_READ_DETECTION);
  m_cam.SendReadDetection();
  const uint8_t sn = m_global.serial;
  const std::vector<uint8_t> header = {0x76, sn, 0x90, 0x0C, 0x02};
  auto recognised = [&] {
    auto rx = m_host.ReceivedSince(rxMark);
    return rx.size() >= 16 && std::search(rx.begin(), rx.end(), header.begin(), header.end()) !=
                                  rx.end();
  };
  Wait wait = AwaitAnswered(CMD_READ_DETECTION, recognised);
  if (wait != Wait::Done) return Status(wait, CMD_READ_DETECTION);
  DetectSettings d = m_cam.GetDetectSettings();
  ResultLine line = Line("", true);
  line.text = "power-on=" + std::to_string(d.powerOnDetect) + " type=" +
              DetectionKindName(d.type) + " sensitivity=" + std::to_string(d.sensitivity) +
              " mode=" + std::to_string(d.mode) + " threshold=" + std::to_string(d.threshold) +
              " distance=" + std::to_string(d.distance) + " target=" +
              std::to_string(d.targetSelect) + " photos=" + std::to_string(d.photos) +
              " interval=" + std::to_string(d.interval) + " next=" + std::to_string(d.nextDetect);
  line.fields = {Field::Int("power_on", d.powerOnDetect),   Field::Str("type", DetectionKindName(d.type)),
                 Field::Int("sensitivity", d.sensitivity),  Field::Int("mode", d.mode),
                 Field::Int("threshold", d.threshold),      Field::Int("distance", d.distance),
                 Field::Int("target", d.targetSelect),      Field::Int("photos", d.photos),
                 Field::Int("interval", d.interval),        Field::Int("next", d.nextDetect)};
  m_writer.Result(line);
  return kExitOk;
}

int CSession::Burst() {
  m_cam.SetMultiCapture(m_plan.multi);
  m_cam.SetMultiReadIndex(0);
  int status = Simple(
      CMD_MULTI_CAPTURE, [&] { m_cam.SendMultiCapture(m_plan.multi.photos, m_plan.multi.interval); },
      {{"Mutil capture success!"}, {"Mutil capture fail!"}});
  if (status != kExitOk || !m_plan.readBurst) return status;
  m_cam.SetSavePath(m_global.outDir);
  m_cam.SetTransmitMode(m_plan.transmit);
  for (int k = 1; k <= m_plan.multi.photos; ++k) {
    status = Picture([&] { m_cam.ReadMultiCapturePicture(); }, k);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int CSession::FetchStored(int count) {
  // The engine switched detection off after the report; let that finish first.
  Wait wait = AwaitQueueEmpty();
  PrintAndAdvance(m_logMark, m_boxMark, {});
  if (wait != Wait::Done) return Status(wait, CMD_MOTION_OFF);
  m_cam.SetSavePath(m_global.outDir);
  m_cam.SetTransmitMode(m_plan.transmit);
  for (int k = 1; k <= count; ++k) {
    int status = PictureFrom([&] { m_cam.ReadStoredPicture(); }, k, m_logMark, m_boxMark);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int CSession::FetchAutoCaptured(int count) {
  // What opening "Auto Capture finish" does, then its button once per picture.
  m_cam.SetCaptureMode(CAPTURE_IDLE);
  m_cam.SetAutoReadIndex(0);
  m_cam.SetSavePath(m_global.outDir);
  m_cam.SetTransmitMode(m_plan.transmit);
  for (int k = 1; k <= count; ++k) {
    int status = PictureFrom([&] { m_cam.ReadAutoCapturePicture(k); }, k, m_logMark, m_boxMark);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int CSession::Monitor() {
  const bool forever = m_plan.forSeconds < 0;
  const auto end = SteadyClock::now() + std::chrono::seconds(forever ? 0 : m_plan.forSeconds);
  for (;;) {
    uint64_t seq = m_host.Sequence();
    PrintAndAdvance(m_logMark, m_boxMark, {});
    if (m_host.LineFailure()) return Status(Wait::Line, 0);
    if (m_interrupted) return kExitOk;
    if (!forever && SteadyClock::now() >= end) return kExitOk;

    if (m_host.VersionChanges() != m_versionChangesSeen) {
      // A power-on banner named the camera again.
      m_versionChangesSeen = m_host.VersionChanges();
      ApplyIdentification(m_host.VersionText(), false);
    }
    if (m_plan.fetch) {
      int status = kExitOk;
      if (m_host.ReadButtonChanges() != m_readButtonSeen) {
        // A detection report enables "Read" with the read index back at 0; the reads
        // themselves change the button too, so only that first state starts a fetch.
        int stored = m_cam.GetStoredCount();
        if (m_host.ReadButton().enabled && stored > 0 && m_cam.GetReadIndex() == 0)
          status = FetchStored(stored);
        m_readButtonSeen = m_host.ReadButtonChanges();
      }
      auto reports = m_host.AutoCaptureReportsSince(m_autoMark);
      m_autoMark += reports.size();
      for (int count : reports)
        if (status == kExitOk && count > 0) status = FetchAutoCaptured(count);
      // An interrupted fetch ends the monitor like any interruption.
      if (status == kExitInterrupted) return kExitOk;
      if (status != kExitOk && status != kExitCameraFailure) return status;
      if (m_host.Sequence() != seq) continue;
    }
    milliseconds wait = kPoll * 10;
    if (!forever) {
      auto left = std::chrono::ceil<milliseconds>(end - SteadyClock::now());
      wait = std::max(milliseconds(1), std::min(wait, left));
    }
    m_host.WaitForChange(seq, wait);
  }
}

int CSession::Run() {
  m_cam.SetSavePath(m_global.outDir);
  m_cam.SetSerialNumber(m_global.serial);
  m_cam.ApplySerialNumber(m_global.serial);
  m_cam.SetTransmitMode(m_plan.transmit);

  int status = Identify(true);
  if (status != kExitOk) return status;
  m_cam.SetImageType(m_plan.imageType);

  const CommandPlan& p = m_plan;
  switch (p.command) {
    case Command::Version:
      return Version();
    case Command::Settings:
      return Settings();
    case Command::Capture:
      return Capture();
    case Command::ReadStored:
      return ReadStored();
    case Command::Reset:
      return Simple(CMD_RESET, [&] { m_cam.SendReset(); },
                    {{"Reset success! Init end!"}, {"Reset Unknow char ,flush buffer"}});
    case Command::ImageSize:
      return Simple(CMD_SET_IMAGE_SIZE, [&] { m_cam.SendImageSize(p.sizeIndex); },
                    {{"Set image size success!", "Reset success! Init end!"},
                     {"Reset Unknow char ,flush buffer"}},
                    true);
    case Command::Compression:
      return Simple(CMD_SET_COMPRESSION, [&] { m_cam.SendCompression(p.compression); },
                    {{"Set compression success!"}, {}});
    case Command::DefaultBaud:
      // The engine picks the interface byte from the version text; without one it
      // would send nothing and the wait would only time out.
      if (m_cam.GetVersionText().empty()) {
        m_writer.Error("default-baud: the camera reported no version text; nothing sent");
        return kExitCameraFailure;
      }
      return Simple(CMD_SET_BAUD, [&] { m_cam.SendBaudRate(p.rate); },
                    {{"Change temp baud success!"}, {}});
    case Command::TempBaud:
      return Simple(CMD_SET_TEMP_BAUD, [&] { m_cam.SendTempBaudRate(p.rate); },
                    {{"设置临时波特率成功!"}, {}});
    case Command::PowerSave:
      return Simple(p.on ? CMD_POWER_SAVE_ON : CMD_POWER_SAVE_OFF,
                    [&] { m_cam.SendPowerSave(p.on ? 1 : 2); },
                    {{"Change power saving mode success!"}, {}});
    case Command::FillLight:
      return Simple(p.level == 0 ? CMD_FILL_LIGHT_OFF : CMD_SET_FILL_LIGHT,
                    [&] { m_cam.SendFillLight(p.level); },
                    {{p.level == 0 ? "Close fill light success!" : "set fill light success!"}, {}});
    case Command::ImageType:
      return Simple(CMD_SET_IMAGE_FORMAT,
                    [&] {
                      m_cam.SetImageType(p.imageType);
                      m_cam.SendImageFormat(static_cast<uint8_t>(p.imageType));
                    },
                    {{"set image format success!"}, {}});
    case Command::Detection: {
      const std::vector<std::string> open = {"Open motion detect success!",
                                             "Open person detect success!",
                                             "Open vehicle detect success!"};
      if (!p.on) {
        m_cam.SetDetectionActive(false);
        return Simple(CMD_MOTION_OFF, [&] { m_cam.SendMotionControl(0); },
                      {{"Close motion detect success!", "Close person detect success!",
                        "Close vehicle detect success!"},
                       {}});
      }
      // Basic cameras need the sensitivity first; the engine then switches detection on
      // by itself, and only that second reply completes the command.
      if (m_model.modelCode == 0) {
        std::vector<std::string> chain = open;
        chain.push_back("set motion sensitivity success!");
        return Simple(CMD_SET_MOTION_SENSITIVITY, [&] { m_cam.SendMotionControl(2); },
                      {chain, {}}, true, open);
      }
      return Simple(CMD_MOTION_ON, [&] { m_cam.SendMotionControl(1); }, {open, {}});
    }
    case Command::Osd:
      return Simple(CMD_SET_OSD,
                    [&] {
                      m_cam.SetOsdLine(p.osdLine, p.osd);
                      m_cam.SendOsdLine(p.osd);
                    },
                    {{"set osd char line "}, {}});
    case Command::ImageParamsRead:
      return ImageParamsReadOrReset(false);
    case Command::ImageParamsReset:
      return ImageParamsReadOrReset(true);
    case Command::ImageParamsSet:
      return ImageParamsSet();
    case Command::CropRead:
      return CropRead();
    case Command::CropSet:
      return CropSet();
    case Command::MotionCapture: {
      DetectSettings record = m_cam.GetDetectSettings();
      record.photos = p.detect.photos;
      record.interval = p.detect.interval;
      record.nextDetect = p.detect.nextDetect;
      m_cam.SetDetectSettings(record);
      return Simple(CMD_SET_MOTION_CAPTURE,
                    [&] { m_cam.SendMotionCapture(record.photos, record.interval, record.nextDetect); },
                    {{"set mutil motion capture success!"}, {"set mutil motion capture fail!"}});
    }
    case Command::DetectionRead:
      return DetectionRead();
    case Command::DetectionSet:
      return Simple(CMD_SET_DETECTION,
                    [&] {
                      m_cam.SetDetectType(p.detect.type);
                      m_cam.SetDetectSettings(p.detect);
                      m_cam.SendDetectionSetting(p.detect);
                    },
                    {{"set Intelligent detection success!"}, {"set Intelligent detection fail!"}});
    case Command::Burst:
      return Burst();
    case Command::PowerOnCapture:
      return Simple(CMD_SET_POWER_CAPTURE,
                    [&] { m_cam.SendPowerOnCapture(p.multi.photos, p.multi.interval); },
                    {{"set power auto capturesuccess"}, {"set power auto capturefail"}});
    case Command::Monitor:
      return Monitor();
  }
  return kExitUsage;
}

std::tm SystemLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

// The output folder must take the temporary and the saved pictures; checked before
// anything is sent.
std::string CheckOutputFolder(const std::string& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0)
    return "--out: '" + folder + "': " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "--out: '" + folder + "' is not a folder";
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    return "--out: '" + folder + "' is not writable: " + std::strerror(errno);
  return "";
}

}  // namespace

CCliRunner::CCliRunner(std::ostream& out, std::ostream& err)
    : m_out(out), m_err(err), m_localTime(SystemLocalTime) {}

void CCliRunner::Interrupt() {
  m_interrupted = true;
  std::lock_guard<std::mutex> lock(m_hostMutex);
  if (m_pHost) m_pHost->Wake();
}

int CCliRunner::Run(const std::vector<std::string>& args) {
  ParseResult parsed = ParseCommandLine(args);
  if (parsed.kind == ParseResult::Help) {
    m_out << parsed.text;
    m_out.flush();
    return kExitOk;
  }
  if (parsed.kind == ParseResult::Error) {
    m_err << "brevant-cli: " << parsed.text << "\nTry 'brevant-cli --help'.\n";
    m_err.flush();
    return kExitUsage;
  }
  const GlobalOptions& global = parsed.global;
  if (parsed.plan.command == Command::Ports) return RunPortsCommand(global, m_out, m_err);
  if (parsed.plan.WritesPictures()) {
    std::string problem = CheckOutputFolder(global.outDir);
    if (!problem.empty()) {
      m_err << "brevant-cli: " << problem << "\n";
      m_err.flush();
      return kExitUsage;
    }
  }

  ResultWriter writer(m_out, m_err, global.json);
  CConsoleHost host(&writer, global.trace);
  {
    std::lock_guard<std::mutex> lock(m_hostMutex);
    m_pHost = &host;
  }
  int status;
  {
    CCameraProtocol cam(&host);
    cam.StartSender();
    // "COMn" opens the device mapped to n; "COMn=DEVICE" maps it first, as the window's
    // --port does.
    std::string port = global.port;
    size_t eq = port.find('=');
    if (eq != std::string::npos) {
      GlobalPortMap().AddOverride(port);
      port.resize(eq);
    }
    int com = CPortMap::ParseComName(port);
    int opened;
    if (com > 0) {
      GlobalPortMap().Refresh();
      opened = cam.OpenPort(com, global.baud);
    } else {
      opened = cam.OpenDevice(global.port, 0, global.baud);
    }
    if (opened != 1) {
      std::string name = com > 0 ? "COM" + std::to_string(com) : global.port;
      writer.Error("Open " + name + " fail, baud is " + std::to_string(global.baud) + ": " +
                   cam.LastOpenError());
      status = kExitLine;
    } else {
      CSession session(global, parsed.plan, writer, host, cam, m_interrupted, m_localTime);
      status = session.Run();
      // A capture cut short must not leave a half-written temporary picture behind.
      if (cam.GetCaptureMode() != CAPTURE_IDLE) cam.StopCapture();
      cam.ClearCommands();
      cam.ClosePort();
    }
    cam.StopSender();
  }
  host.FinishTrace();
  {
    std::lock_guard<std::mutex> lock(m_hostMutex);
    m_pHost = nullptr;
  }
  return status;
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CCliRunner runner(out, err);
  return runner.Run(args);
}

}  // namespace cli
