#include "CliSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "CliFind.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "CliProgress.h"
#include "CliPorts.h"
#include "CliValues.h"
#include "ConsoleHost.h"
#include "core/ModelIdentification.h"
#include "core/PictureChecks.h"
#include "core/PictureSaver.h"
#include "protocol/CameraProtocol.h"
#include "protocol/CommandCodes.h"
#include "protocol/ProtocolTables.h"
#include "serial/PortMap.h"


namespace cli {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longest sleep between looks at what the engine reported: a wake-up is also a chance to
// notice an interrupt.
constexpr milliseconds kPoll{20};

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

// The commands of a picture's capture and read-out: their log lines are the transfer's
// running commentary, which the per-picture result line replaces on a console.
bool IsPictureStep(int code) {
  return code == CMD_STOP_FRAME || code == CMD_GET_FRAME_LEN || code == CMD_READ_TOTAL ||
         code == CMD_READ_BUF_512 || code == CMD_RESUME_FRAME;
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

// The last line of the activity log that the engine wrote for a result (not an error).
std::string MessageOf(const CommandResult& result) {
  std::string message;
  for (const LogLine& line : result.log)
    if (!line.error) message = line.text;
  return message;
}

}  // namespace

// A picture's figures on its result line (a second text line, and fields for --json),
// and the checks it failed on stderr: kExitCheckFailed when any failed.
int AddFigures(ResultLine& line, const PictureFigures& f, const std::vector<PictureCheck>& checks,
               ResultWriter& writer, const std::string& file) {
  line.text += "\n  " + FiguresText(f);
  const std::vector<std::string> failed = FailedChecks(f, checks);
  std::string failures;
  for (const std::string& failure : failed) failures += (failures.empty() ? "" : "; ") + failure;
  line.fields.insert(line.fields.end(),
                     {Field::Num("sharpness", f.sharpness), Field::Num("luma", f.meanLuma),
                      Field::Int("luma_min", f.minLuma), Field::Int("luma_max", f.maxLuma),
                      Field::Num("luma_spread", f.lumaSpread),
                      Field::Num("clipped_black", 100 * f.clippedBlack),
                      Field::Num("clipped_white", 100 * f.clippedWhite),
                      Field::Bool("uniform", f.uniform), Field::Num("red", f.meanRed),
                      Field::Num("green", f.meanGreen), Field::Num("blue", f.meanBlue)});
  if (!checks.empty() || !failed.empty()) {
    line.fields.push_back(Field::Bool("checks_passed", failed.empty()));
    if (!failed.empty()) line.fields.push_back(Field::Str("checks_failed", failures));
  }
  if (failed.empty()) return kExitOk;
  line.ok = false;
  // A damaged file is named: several files may be checked at once.
  if (!f.decodeWarning.empty()) line.fields.push_back(Field::Str("decode_warning", f.decodeWarning));
  for (const std::string& failure : failed)
    writer.Error("check failed: " + (failure.rfind("decodes ", 0) == 0 ? file + ": " : "") + failure);
  return kExitCheckFailed;
}


// Waiting

Wait CSession::WaitFor(const std::function<bool()>& done) {
  // --timeout is the longest silence allowed: any byte the camera sends (a block of a long
  // transfer) or a result starts it again. What the engine itself writes does not: a
  // transfer asking again and again for a block a silent camera never sends must end. While
  // a finished picture is decoded the camera owes nothing, so that is not silence.
  const milliseconds timeout(m_global.timeoutMs);
  auto deadline = SteadyClock::now() + timeout;
  uint64_t seen = m_host.CameraActivity();
  for (;;) {
    uint64_t seq = m_host.Sequence();
    if (done()) return Wait::Done;
    if (m_host.LineFailure()) return Wait::Line;
    if (m_interrupted) return Wait::Interrupted;
    auto now = SteadyClock::now();
    if (uint64_t activity = m_host.CameraActivity(); activity != seen || m_host.Decoding()) {
      seen = activity;
      deadline = now + timeout;
    }
    if (now >= deadline) return Wait::Timeout;
    auto step = std::min<SteadyClock::duration>(deadline - now, kPoll);
    m_host.WaitForChange(seq, std::chrono::ceil<milliseconds>(step));
  }
}

Wait CSession::NextReport(Report& report) {
  return WaitFor([&] {
    std::optional<Report> next = m_host.TakeReport();
    if (!next) return false;
    report = std::move(*next);
    return true;
  });
}

Wait CSession::AwaitResult(int code, CommandResult& result) {
  for (;;) {
    Report report;
    Wait wait = NextReport(report);
    if (wait != Wait::Done) return wait;
    if (!report.isEvent && report.result.code == code) {
      result = std::move(report.result);
      return Wait::Done;
    }
    Print(report);
  }
}

int CSession::Status(Wait wait, int code) {
  int status = kExitCameraFailure;
  std::string text;
  switch (wait) {
    case Wait::Done:
      return kExitOk;
    case Wait::Timeout:
      text = std::string("no reply to ") + CommandCodeName(code) + " within " +
             std::to_string(m_global.timeoutMs) + " ms";
      status = kExitTimeout;
      break;
    case Wait::Line:
      text = "the line failed: " + m_host.LineFailure().value_or("");
      status = kExitLine;
      break;
    case Wait::Interrupted:
      // For a monitor an interrupt is the normal end; only a fetch cut short is worth a word.
      text = m_pPlan->command == Command::Monitor ? "interrupted while fetching a picture"
                                                : "interrupted";
      status = kExitInterrupted;
      break;
  }
  m_writer.Error(text);
  if (!(wait == Wait::Interrupted && m_pPlan->command == Command::Monitor)) JsonError(status, text);
  return status;
}

// The exit status of a result, with words for a failure the log lines did not explain.
int CSession::StatusOf(const CommandResult& result) {
  std::string text = result.reason;
  switch (result.outcome) {
    case Outcome::Done:
      return kExitOk;
    case Outcome::Refused:
      break;  // the camera's own text said so
    case Outcome::LineFailed:
      return Status(Wait::Line, result.code);
    case Outcome::NoValidReply:
      text = std::string("the camera's reply to ") + CommandCodeName(result.code) +
             " was not recognised";
      break;
    case Outcome::Cancelled:
      text = std::string(CommandCodeName(result.code)) + " was cancelled before it was answered";
      break;
    case Outcome::Failed:
      break;
  }
  if (!text.empty()) {
    m_writer.Error(text);
    JsonError(kExitCameraFailure, text);
  }
  return kExitCameraFailure;
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

void CSession::PrintLog(const std::vector<LogLine>& log, bool ok, bool errorsOnly) {
  for (const LogLine& line : log) {
    if (line.error)
      m_writer.Error(line.text);
    else if (!errorsOnly)
      m_writer.Result(Line(line.text, ok));
  }
}

void CSession::Print(const Report& report) {
  if (report.isEvent) {
    PrintLog(report.event.log, true, false);
    return;
  }
  const CommandResult& r = report.result;
  PrintLog(r.log, r.Ok(), IsPictureStep(r.code));
}

bool CSession::PrintBoxes() {
  bool failure = false;
  for (const Box& box : m_host.TakeBoxes()) {
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

void CSession::JsonError(int status, const std::string& text) {
  if (!m_writer.Json()) return;
  ResultLine line = Line("", false);
  line.fields = {Field::Int("exit", status), Field::Str("error", text)};
  m_writer.Result(line);
}

// ---------------------------------------------------------------------------------------
// Identification: what the window does when the port opens

bool CSession::ApplyIdentification(const std::string& version, bool readSettings) {
  if (m_cam.State().versionText != version) m_cam.SetVersionText(version);
  Identification id = ParseVersionText(version, m_cam.State().model);
  m_cam.SetModelInfo(id.info);
  m_model = id.info;
  SessionSettings settings = m_cam.Settings();
  settings.pictureLimit = id.pictureLimit;  // a frame length beyond it is refused
  if (id.resetImageType) settings.imageType = IMAGE_TYPE_JPEG;
  m_cam.ApplySettings(settings);
  return id.sendReadSettings && readSettings && m_cam.Issue(MakeCommand(CMD_READ_SETTINGS));
}

int CSession::Identify(bool readSettings) {
  m_cam.Issue(MakeCommand(CMD_GET_VERSION));
  Wait wait = AwaitResult(CMD_GET_VERSION, m_version);
  if (wait != Wait::Done) return Status(wait, CMD_GET_VERSION);
  if (!m_version.Ok()) return StatusOf(m_version);
  const VersionReply* reply = m_version.Data<VersionReply>();
  // An empty text leaves the one a power-on banner may have given.
  std::string version = reply && !reply->text.empty() ? reply->text : m_cam.State().versionText;
  if (ApplyIdentification(version, readSettings)) {
    CommandResult settings;
    wait = AwaitResult(CMD_READ_SETTINGS, settings);
    if (wait != Wait::Done) return Status(wait, CMD_READ_SETTINGS);
  }
  m_host.DropBoxes();
  return kExitOk;
}

// ---------------------------------------------------------------------------------------
// Commands

int CSession::Simple(const CameraCommand& command, bool chain) {
  m_host.DropBoxes();
  if (!m_cam.Issue(command)) {
    std::string text = std::string(CommandCodeName(command.code)) + ": nothing to send for this value";
    m_writer.Error(text);
    JsonError(kExitCameraFailure, text);
    return kExitCameraFailure;
  }
  int awaited = command.code;
  int status = kExitOk;
  for (;;) {
    CommandResult result;
    Wait wait = AwaitResult(awaited, result);
    if (wait != Wait::Done) {
      PrintBoxes();
      return Status(wait, awaited);
    }
    PrintLog(result.log, result.Ok(), false);
    status = StatusOf(result);
    if (status != kExitOk || !chain || result.next == 0) break;
    awaited = result.next;
  }
  const bool boxFailure = PrintBoxes();
  if (status == kExitOk && boxFailure) status = kExitCameraFailure;
  return status;
}

// Starts a picture with `start` and follows its steps from `firstStep` to the resume that
// lets the camera run again; then saves it.
int CSession::Picture(const std::function<void()>& start, int firstStep, int index) {
  m_host.DropBoxes();
  auto started = SteadyClock::now();
  m_bPictureUnsaved = true;
  start();
  int awaited = firstStep;
  std::optional<PictureReply> picture;
  // A picture fetched whole whose run fails later (the line lost or silent before the
  // resume is answered) is not saved, so its temporary file must not stay in the folder.
  auto unsaved = [&](int status) {
    if (picture) {
      const std::string temporary = m_cam.State().lastImageFile;
      ::unlink((temporary.empty() ? picture->file : temporary).c_str());
    }
    return status;
  };
  for (;;) {
    Report report;
    Wait wait = NextReport(report);
    if (wait == Wait::Timeout && (awaited == CMD_READ_TOTAL || awaited == CMD_READ_BUF_512))
      return unsaved(SilentDuringTransfer(awaited));
    if (wait != Wait::Done) {
      PrintBoxes();
      return unsaved(Status(wait, awaited));
    }
    Print(report);
    if (report.isEvent || !IsPictureStep(report.result.code)) continue;
    const CommandResult& r = report.result;
    // Entries a new capture flushes are reported as cancelled; only this picture's count.
    if (!r.Ok() && r.code != awaited) continue;
    if (!r.Ok()) {
      // A refused length ends the picture but lets the camera run again: its resume is
      // answered before the port closes.
      if (r.next == CMD_RESUME_FRAME) {
        CommandResult resumed;
        AwaitResult(CMD_RESUME_FRAME, resumed);
      }
      PrintBoxes();
      return unsaved(StatusOf(r));
    }
    if (const PictureReply* shown = r.Data<PictureReply>()) {
      if (r.code != CMD_RESUME_FRAME) picture = *shown;
      else if (picture) picture->seconds = shown->seconds;
    }
    if (r.code == CMD_RESUME_FRAME && picture) break;
    if (r.next != 0) awaited = r.next;
  }
  double elapsed = std::chrono::duration<double>(SteadyClock::now() - started).count();
  return SavePicture(*picture, picture->seconds >= 0 ? picture->seconds : elapsed, index);
}

int CSession::SilentDuringTransfer(int awaited) {
  const SessionView view = m_cam.State();
  if (view.fileLength == 0) return Status(Wait::Timeout, awaited);  // no transfer began
  // Stop Capture ends the re-requests and removes the temporary file; the resume frame
  // is what a finished picture sends too, so a camera that comes back runs again.
  m_cam.StopCapture();
  if (!m_host.LineFailure()) m_cam.Issue(MakeCommand(CMD_RESUME_FRAME));
  PrintBoxes();
  const std::string text = "the camera stopped answering: " +
                           std::to_string(view.bytesReceived) + " of " +
                           std::to_string(view.fileLength) + " bytes received, nothing for " +
                           std::to_string(m_global.timeoutMs) + " ms; picture abandoned";
  m_writer.Error(text);
  if (m_writer.Json()) {
    ResultLine line = Line("", false);
    line.fields = {Field::Int("exit", kExitTimeout), Field::Str("error", text),
                   Field::Int("received", view.bytesReceived),
                   Field::Int("total", view.fileLength)};
    m_writer.Result(line);
  }
  return kExitTimeout;
}

int CSession::SavePicture(const PictureReply& picture, double seconds, int index) {
  m_bPictureUnsaved = false;  // saved, or kept where the message says
  const SessionView view = m_cam.State();
  std::string temporary = view.lastImageFile;
  if (temporary.empty()) temporary = picture.file;
  // The engine says whether it asked for an NV12 frame; the file's name does not decide.
  PictureFigures figures;
  if (!m_pPlan->checks.empty() && picture.decoded)
    figures = MeasurePictureFile(temporary, picture.yuv ? PictureKind::Nv12 : PictureKind::Jpeg,
                                 view.frameWidth, view.frameHeight);
  const SaveOutcome outcome = ::SavePicture(temporary, m_global.outDir, picture.yuv, m_localTime());
  const std::string saved = outcome.kind == SaveOutcome::Saved ? outcome.target : "";
  m_lastSaved = saved;
  const std::string error =
      outcome.kind == SaveOutcome::Nothing ? "cannot save: the camera sent no picture file"
      : outcome.error == "no free name"    ? "cannot save " + temporary + ": no free name"
          : "cannot save " + temporary + " as " + outcome.target + ": " + outcome.error;
  bool boxFailure = PrintBoxes();
  if (saved.empty()) {
    m_writer.Error(error);
    JsonError(kExitCameraFailure, error);
    return kExitCameraFailure;
  }
  struct stat st {};
  long long bytes = stat(saved.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;

  ResultLine line = Line("", picture.decoded);
  char text[64];
  std::snprintf(text, sizeof text, " %lld bytes %dx%d %.2fs", bytes, picture.width,
                picture.height, seconds);
  line.text = saved + text;
  line.fields = {Field::Int("index", index),        Field::Str("path", saved),
                 Field::Int("bytes", bytes),        Field::Int("width", picture.width),
                 Field::Int("height", picture.height), Field::Num("seconds", seconds)};
  int checked = kExitOk;
  if (figures.measured) checked = AddFigures(line, figures, m_pPlan->checks, m_writer, saved);
  m_writer.Result(line);
  if (!picture.decoded) {
    m_writer.Error("the picture saved as " + saved + " could not be decoded");
    return kExitCameraFailure;
  }
  if (boxFailure) return kExitCameraFailure;
  return checked;
}

int CSession::Capture() {
  int worst = kExitOk;
  for (unsigned i = 1; i <= m_pPlan->count; ++i) {
    if (i > 1 && m_pPlan->delayMs > 0 && !SleepInterruptible(m_pPlan->delayMs))
      return Status(m_host.LineFailure() ? Wait::Line : Wait::Interrupted, CMD_STOP_FRAME);
    int status = Picture([&] { m_cam.SingleCapture(); }, CMD_STOP_FRAME, static_cast<int>(i));
    // A picture the camera sent but that does not decode is reported and the series goes
    // on; a camera that stops answering ends it.
    if (status != kExitOk && status != kExitCameraFailure) return status;
    worst = std::max(worst, status);
  }
  return worst;
}

int CSession::ReadStored() {
  m_cam.SetReadIndex(m_pPlan->readIndex);
  return Picture([&] { m_cam.ReadStoredPicture(); }, CMD_GET_FRAME_LEN, m_pPlan->readIndex);
}

int CSession::Version() {
  const VersionReply* reply = m_version.Data<VersionReply>();
  const std::string version = reply ? reply->text : std::string();
  ResultLine line = Line(MessageOf(m_version), true);
  line.fields = {Field::Str("version", version),
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
  m_cam.Issue(MakeCommand(CMD_READ_SETTINGS));
  CommandResult result;
  Wait wait = AwaitResult(CMD_READ_SETTINGS, result);
  if (wait != Wait::Done) return Status(wait, CMD_READ_SETTINGS);
  const SettingsReadBack* read = result.Data<SettingsReadBack>();
  if (!result.Ok() || !read) return StatusOf(result);
  const SettingsReadBack& s = *read;
  ResultLine line = Line("", true);
  std::string size = ImageSizeText(s.imageSizeIndex + 1);
  std::string rate = s.defaultRateIndex >= 0 && s.defaultRateIndex < static_cast<int>(RateItems().size())
                         ? RateItems()[static_cast<size_t>(s.defaultRateIndex)]
                         : std::string();
  std::string compression =
      s.compressionIndex >= 0 ? Hex2(static_cast<unsigned>(s.compressionIndex) + kCompressionFirst)
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

void CSession::PrintImageParams(const std::string& message, const ImageParams& p) {
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
  for (uint8_t selector : m_pPlan->selectors) {
    m_host.DropBoxes();
    m_cam.Issue(MakeCommand(code, selector));
    CommandResult result;
    Wait wait = AwaitResult(code, result);
    if (wait != Wait::Done) return Status(wait, code);
    const ImageParams* values = result.Data<ImageParams>();
    if (!result.Ok() || !values) return StatusOf(result);
    PrintLog(result.log, true, true);
    PrintImageParams(MessageOf(result), *values);
    if (PrintBoxes()) return kExitCameraFailure;
  }
  return kExitOk;
}

int CSession::CropRead() {
  m_host.DropBoxes();
  m_cam.Issue(MakeCommand(CMD_READ_CROP));
  CommandResult result;
  Wait wait = AwaitResult(CMD_READ_CROP, result);
  if (wait != Wait::Done) {
    PrintBoxes();
    return Status(wait, CMD_READ_CROP);
  }
  const CropSettings* crop = result.Data<CropSettings>();
  if (!result.Ok() || !crop) return StatusOf(result);
  PrintLog(result.log, true, true);
  const std::string message = MessageOf(result);
  const CropSettings& c = *crop;
  ResultLine line = Line(message, true);
  line.text = message + "\nenable=" + std::to_string(c.enable) + " x=" + std::to_string(c.x) +
              " y=" + std::to_string(c.y) + " width=" + std::to_string(c.width) +
              " height=" + std::to_string(c.height) + " image=" + std::to_string(c.imageWidth) +
              "x" + std::to_string(c.imageHeight);
  line.fields = {Field::Int("enable", c.enable),      Field::Int("x", c.x),
                 Field::Int("y", c.y),                Field::Int("width", c.width),
                 Field::Int("height", c.height),      Field::Int("image_width", c.imageWidth),
                 Field::Int("image_height", c.imageHeight)};
  m_writer.Result(line);
  return PrintBoxes() ? kExitCameraFailure : kExitOk;
}

int CSession::DetectionRead() {
  m_cam.Issue(MakeCommand(CMD_READ_DETECTION));
  CommandResult result;
  Wait wait = AwaitResult(CMD_READ_DETECTION, result);
  if (wait != Wait::Done) return Status(wait, CMD_READ_DETECTION);
  const DetectSettings* read = result.Data<DetectSettings>();
  if (!result.Ok() || !read) return StatusOf(result);
  const DetectSettings& d = *read;
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
  const MultiCaptureSettings* counts = m_pPlan->send.Get<MultiCaptureSettings>();
  if (!counts) return kExitUsage;
  const MultiCaptureSettings multi = *counts;
  m_cam.SetMultiReadIndex(0);
  int status = Simple(m_pPlan->send);
  if (status != kExitOk || !m_pPlan->readBurst) return status;
  for (int k = 1; k <= multi.photos; ++k) {
    status = Picture([&] { m_cam.ReadMultiCapturePicture(); }, CMD_GET_FRAME_LEN, k);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

// The pictures a detection report says the camera stored, once the engine has switched
// detection off.
int CSession::FetchStored(const CameraEvent& event) {
  if (event.next != 0) {
    CommandResult off;
    Wait wait = AwaitResult(event.next, off);
    if (wait != Wait::Done) return Status(wait, event.next);
    PrintLog(off.log, off.Ok(), false);
  }
  for (int k = 1; k <= event.count; ++k) {
    int status = Picture([&] { m_cam.ReadStoredPicture(); }, CMD_GET_FRAME_LEN, k);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int CSession::FetchAutoCaptured(int count) {
  // What opening "Auto Capture finish" does, then its button once per picture.
  m_cam.SetCaptureMode(CAPTURE_IDLE);
  m_cam.SetAutoReadIndex(0);
  for (int k = 1; k <= count; ++k) {
    int status = Picture([&] { m_cam.ReadAutoCapturePicture(k); }, CMD_GET_FRAME_LEN, k);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

// One report while monitoring: printed, and with --fetch the pictures it announces saved.
int CSession::MonitorReport(const Report& report) {
  Print(report);
  if (!report.isEvent) return kExitOk;
  const CameraEvent& event = report.event;
  if (event.kind == CameraEventKind::PowerOn && !event.version.empty())
    ApplyIdentification(event.version, false);  // a power-on banner named the camera again
  if (!m_pPlan->fetch) return kExitOk;
  const bool stored = event.kind == CameraEventKind::Motion ||
                      event.kind == CameraEventKind::StoredPictures;
  if (stored && event.count > 0) return FetchStored(event);
  if (event.kind == CameraEventKind::AutoCapture && event.count > 0)
    return FetchAutoCaptured(event.count);
  return kExitOk;
}

int CSession::Monitor() {
  const bool forever = m_pPlan->forSeconds < 0;
  const auto end = SteadyClock::now() + std::chrono::seconds(forever ? 0 : m_pPlan->forSeconds);
  for (;;) {
    uint64_t seq = m_host.Sequence();
    // One at a time: a fetch takes the reports of its own pictures.
    if (std::optional<Report> report = m_host.TakeReport()) {
      int status = MonitorReport(*report);
      // An interrupted fetch ends the monitor like any interruption.
      if (status == kExitInterrupted) return kExitOk;
      if (status != kExitOk && status != kExitCameraFailure) return status;
    }
    PrintBoxes();
    if (m_host.LineFailure()) return Status(Wait::Line, 0);
    if (m_interrupted) return kExitOk;
    if (!forever && SteadyClock::now() >= end) return kExitOk;
    if (m_host.HasReport()) continue;
    milliseconds wait = kPoll * 10;
    if (!forever) {
      auto left = std::chrono::ceil<milliseconds>(end - SteadyClock::now());
      wait = std::max(milliseconds(1), std::min(wait, left));
    }
    m_host.WaitForChange(seq, wait);
  }
}

void CSession::Close() {
  if (m_cam.State().captureMode != CAPTURE_IDLE) m_cam.StopCapture();
  m_cam.ClearCommands();
  m_cam.ClosePort();
  m_cam.StopWorker();  // a decode under way was abandoned by the stop or the close
  if (!m_bPictureUnsaved) return;
  const std::string left = m_cam.State().lastImageFile;
  if (!left.empty()) ::unlink(left.c_str());
}

int CSession::Run() {
  SessionSettings settings;
  settings.savePath = m_global.outDir;
  settings.serialNumber = m_global.serial;
  settings.transmitMode = m_pPlan->transmit;
  m_cam.ApplySettings(settings);
  m_cam.ApplySerialNumber(m_global.serial);

  int status = Identify(true);
  if (status != kExitOk) return status;
  settings = m_cam.Settings();
  settings.imageType = m_pPlan->imageType;
  m_cam.ApplySettings(settings);
  return RunPlan();
}

int CSession::RunPlan() {
  switch (m_pPlan->command) {
    case Command::Version: return Version();
    case Command::Settings: return Settings();
    case Command::Capture: return Capture();
    case Command::ReadStored: return ReadStored();
    case Command::ImageParamsRead: return ImageParamsReadOrReset(false);
    case Command::ImageParamsReset: return ImageParamsReadOrReset(true);
    case Command::CropRead: return CropRead();
    case Command::DetectionRead: return DetectionRead();
    case Command::Burst: return Burst();
    case Command::Monitor: return Monitor();
    case Command::Profile: return ProfileCommand();
    case Command::DefaultBaud:
      // The engine picks the interface byte from the version text; without one there is
      // no frame to send. The reset sent next answers at the new rate: not waited for.
      if (m_cam.State().versionText.empty()) {
        m_writer.Error("default-baud: the camera reported no version text; nothing sent");
        return kExitCameraFailure;
      }
      return Simple(m_pPlan->send);
    default: {
      bool chain = false;
      CameraCommand command = SettingCommand(chain);
      return command.code == 0 ? kExitUsage : Simple(command, chain);
    }
  }
}

// The one command a setting sends; the engine keeps what it writes. chain: the command is
// complete only when the commands its reply sends have answered too.
CameraCommand CSession::SettingCommand(bool& chain) {
  const CommandPlan& p = (*m_pPlan);
  switch (p.command) {
    case Command::Reset: return MakeCommand(CMD_RESET);
    case Command::ImageSize:
      chain = true;
      return p.send;
    case Command::Detection:
      if (!p.on) {
        m_cam.SetDetectionActive(false);
        return MakeCommand(CMD_MOTION_OFF);
      }
      // Basic cameras need the sensitivity first; the engine then switches detection on
      // by itself, and only that second reply completes the command.
      chain = true;
      return MakeCommand(m_model.modelCode == 0 ? CMD_SET_MOTION_SENSITIVITY : CMD_MOTION_ON);
    default: return p.send;
  }
}
}  // namespace cli
