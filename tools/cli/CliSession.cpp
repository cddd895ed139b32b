#include "CliSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
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
#include "session/SessionJob.h"


namespace cli {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longest sleep between looks at what the engine reported: a wake-up is also a chance to
// notice an interrupt.
constexpr milliseconds kPoll{20};

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

// The costly figures measured, each a field (null when not measured, with the reason beside
// it): the flat field's and the edges'.
void AddCostlyFigures(ResultLine& line, const PictureFigures& f) {
  const double none = std::nan("");
  auto value = [&](const char* figure) {
    return MeasuredValue(f, figure).value_or(none);
  };
  if (f.flatField) {
    const FlatFieldFigures& flat = *f.flatField;
    line.fields.push_back(Field::Num("shading", value("shading")));
    if (!flat.measured || !flat.shadingMeasured)
      line.fields.push_back(Field::Str("shading_error", flat.measured ? flat.shadingFailure : flat.failure));
    line.fields.push_back(Field::Num("defects", value("defects"), 0));
    if (flat.measured)
      line.fields.insert(line.fields.end(),
                         {Field::Int("defects_hot", flat.hot), Field::Int("defects_dead", flat.dead),
                          Field::Int("defects_stuck", flat.stuck),
                          Field::Int("defect_cluster", flat.largestCluster),
                          Field::Num("defect_threshold", flat.threshold)});
    else
      line.fields.push_back(Field::Str("defects_error", flat.failure));
  }
  if (f.mtf) {
    line.fields.push_back(Field::Num("mtf50", value("mtf50"), 3));
    if (!f.mtf->measured)
      line.fields.push_back(Field::Str("mtf50_error", f.mtf->failure.empty() ? "no edge found" : f.mtf->failure));
    for (const EdgeFigure& edge : f.mtf->edges) {
      const std::string name = "mtf50_" + edge.region;
      if (!edge.measured) {
        line.fields.push_back(Field::Str(name + "_error", edge.failure));
        continue;
      }
      line.fields.insert(line.fields.end(), {Field::Num(name, edge.mtf50, 3),
                                             Field::Num(name + "_angle", edge.angleDegrees),
                                             Field::Num(name + "_contrast", edge.contrast)});
    }
  }
}

MeasureOptions FigureOptions(const CommandPlan& plan, bool json) {
  MeasureOptions options = OptionsForChecks(plan.checks);
  // A reader of --json gets every figure; one who named an edge region gets its MTF50.
  if (json) options.flatField = options.mtf = true;
  if (plan.edgeRegion) {
    options.mtf = true;
    options.edgeRegion = plan.edgeRegion;
  }
  return options;
}

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
                      Field::Num("green", f.meanGreen), Field::Num("blue", f.meanBlue),
                      Field::Num("noise", f.noise)});
  AddCostlyFigures(line, f);
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
  if (wait == Wait::Done) return kExitOk;
  return Say(WaitStatus(Ended(wait), code, m_global.timeoutMs, LineReason()));
}

// The exit status of a result, with words for a failure the log lines did not explain.
int CSession::StatusOf(const CommandResult& result) {
  return Say(ResultStatus(WithLineReason(result)));
}

int CSession::Say(const SessionOutcome& outcome) {
  const int status = ExitStatus(outcome.status);
  if (outcome.message.empty()) return status;
  m_writer.Error(outcome.message);
  if (!outcome.reportable || !m_writer.Json()) return status;
  ResultLine line = Line("", false);
  line.fields = {Field::Int("exit", status), Field::Str("error", outcome.message)};
  // A transfer the camera abandoned says how far it got.
  if (outcome.transfer.total > 0)
    line.fields.insert(line.fields.end(), {Field::Int("received", outcome.transfer.received),
                                           Field::Int("total", outcome.transfer.total)});
  m_writer.Result(line);
  return status;
}

CommandResult CSession::WithLineReason(const CommandResult& result) const {
  if (result.outcome != Outcome::LineFailed) return result;
  CommandResult failed = result;
  failed.reason = LineReason();  // the first failure is the one the operator needs
  return failed;
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

void CSession::PrintBoxes() {
  for (const Box& box : m_host.TakeBoxes()) {
    std::string text = TrimBox(box.text);
    if (box.icon == MsgIcon::Information)
      m_writer.Result(Line(text, true));
    else
      m_writer.Error((box.caption.empty() ? std::string() : box.caption + ": ") + text);
  }
}

void CSession::JsonError(int status, const std::string& text) {
  if (!m_writer.Json()) return;
  ResultLine line = Line("", false);
  line.fields = {Field::Int("exit", status), Field::Str("error", text)};
  m_writer.Result(line);
}

// ---------------------------------------------------------------------------------------
// Identification: what the window does when the port opens

int CSession::Identify(bool readSettings) {
  CIdentifyJob job(m_global.timeoutMs, readSettings, m_cam.State().versionText);
  const int status = Drive(job, false);
  m_version = job.VersionResult();
  if (job.Outcome().settings) m_settingsRead = *job.Outcome().settings;
  if (status == kExitOk) m_host.DropBoxes();
  return status;
}

// ---------------------------------------------------------------------------------------
// Driving the session's step machines

int CSession::Drive(CSessionJob& job, bool boxes) {
  auto started = SteadyClock::now();
  for (;;) {
    const SessionAction action = job.Next();
    switch (action.kind) {
      case SessionAction::Kind::Done:
        SayEnded(job, boxes);
        return ExitStatus(job.Outcome().status);
      case SessionAction::Kind::Wait:
        if (action.awaited == 0 && !job.Busy()) return kExitOk;  // a watch between steps
        Take(job, action);
        break;
      case SessionAction::Kind::Issue:
        if (boxes) m_host.DropBoxes();
        if (!m_cam.Issue(action.command)) job.NotSent();
        break;
      case SessionAction::Kind::StartPicture:
        m_host.DropBoxes();
        started = SteadyClock::now();
        m_bPictureUnsaved = true;
        StartPicture(action);
        break;
      case SessionAction::Kind::Sleep:
        if (SleepInterruptible(action.ms))
          job.Slept();
        else
          job.Abandon(m_host.LineFailure() ? WaitEnd::Line : WaitEnd::Interrupted, {}, LineReason());
        break;
      case SessionAction::Kind::Save: {
        const PictureReply& picture = action.picture;
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - started).count();
        const int status =
            SavePicture(picture, picture.seconds >= 0 ? picture.seconds : elapsed, action.index);
        job.Saved(status == kExitOk            ? SessionStatus::Ok
                  : status == kExitCheckFailed ? SessionStatus::CheckFailed
                                               : SessionStatus::CameraFailure,
                  m_lastSaved);
        break;
      }
      case SessionAction::Kind::Discard: {
        // A picture fetched whole whose run failed later is not saved: its temporary file
        // must not stay in the folder.
        const std::string temporary = m_cam.State().lastImageFile;
        ::unlink((temporary.empty() ? action.picture.file : temporary).c_str());
        break;
      }
      case SessionAction::Kind::StopTransfer:
        // Stop Capture ends the re-requests and removes the temporary file.
        m_cam.StopCapture();
        if (!m_host.LineFailure()) m_cam.Issue(MakeCommand(CMD_RESUME_FRAME));
        break;
      case SessionAction::Kind::Identify: {
        const Identification id = ApplyIdentification(m_cam, action.version);
        m_model = id.info;
        job.Identified(id);
        break;
      }
    }
    SayEnded(job, boxes);
  }
}

// Hands the job the next report, shown as the job's wait asks.
void CSession::Take(CSessionJob& job, const SessionAction& wait) {
  Report report;
  const Wait ended = NextReport(report);
  if (ended != Wait::Done) {
    const SessionView view = m_cam.State();
    job.Abandon(Ended(ended), {view.bytesReceived, view.fileLength}, LineReason());
    return;
  }
  if (report.isEvent) {
    Print(report);
    job.TakeEvent(report.event);
    return;
  }
  const CommandResult& result = report.result;
  if (result.code != wait.awaited || wait.echo == Echo::Report)
    Print(report);
  else if (wait.echo == Echo::Log)
    PrintLog(result.log, result.Ok(), false);
  job.Take(WithLineReason(result));
}

void CSession::StartPicture(const SessionAction& start) {
  switch (start.source) {
    case PictureSource::Capture:
      m_cam.SingleCapture();
      break;
    case PictureSource::Stored:
      m_cam.ReadStoredPicture();
      break;
    case PictureSource::Burst:
      m_cam.ReadMultiCapturePicture();
      break;
    case PictureSource::AutoCaptured:
      if (start.index == 1) {
        // What opening "Auto Capture finish" does, then its button once per picture.
        m_cam.SetCaptureMode(CAPTURE_IDLE);
        m_cam.SetAutoReadIndex(0);
      }
      m_cam.ReadAutoCapturePicture(start.index);
      break;
  }
}

// Says how each step the job finished ended: the boxes raised meanwhile and the failure's
// words, in the order a console has always shown them.
void CSession::SayEnded(CSessionJob& job, bool boxes) {
  while (std::optional<CSessionJob::StepEnd> ended = job.TakeEnded()) {
    const bool showBoxes = boxes && (ended->kind == CSessionJob::StepKind::Command ||
                                     ended->kind == CSessionJob::StepKind::Picture);
    if (ended->cause == CSessionJob::EndCause::Saved) continue;  // the saver said it all
    // A command's answer is shown before the boxes it raised; a step the wait gave up on
    // shows what the camera raised first.
    const bool answered = ended->kind == CSessionJob::StepKind::Command &&
                          ended->cause != CSessionJob::EndCause::Abandoned;
    if (showBoxes && !answered) PrintBoxes();
    Say(ended->outcome);
    if (showBoxes && answered && ended->cause == CSessionJob::EndCause::Result) PrintBoxes();
  }
}

int CSession::Read(const CameraCommand& command, CommandResult& answer) {
  CReadJob job(m_global.timeoutMs, command);
  const int status = Drive(job, false);
  answer = job.Answer();
  return status;
}

int CSession::Simple(const CameraCommand& command, bool chain) {
  CCommandJob job(m_global.timeoutMs, command, chain);
  return Drive(job, true);
}

PictureFigures CSession::MeasureLastSaved(const MeasureOptions& options) const {
  if (m_lastSaved.empty()) return {};
  const SessionView view = m_cam.State();
  return MeasurePictureFile(m_lastSaved, m_lastSavedYuv ? PictureKind::Nv12 : PictureKind::Jpeg,
                            view.frameWidth, view.frameHeight, options);
}

int CSession::SavePicture(const PictureReply& picture, double seconds, int index) {
  m_bPictureUnsaved = false;  // saved, or kept where the message says
  const SessionView view = m_cam.State();
  std::string temporary = view.lastImageFile;
  if (temporary.empty()) temporary = picture.file;
  // The engine says whether it asked for an NV12 frame; the file's name does not decide.
  PictureFigures figures;
  if ((!m_pPlan->checks.empty() || m_pPlan->edgeRegion) && picture.decoded)
    figures = MeasurePictureFile(temporary, picture.yuv ? PictureKind::Nv12 : PictureKind::Jpeg,
                                 view.frameWidth, view.frameHeight,
                                 FigureOptions(*m_pPlan, m_global.json));
  const SaveOutcome outcome = ::SavePicture(temporary, m_global.outDir, picture.yuv, m_localTime());
  const std::string saved = outcome.kind == SaveOutcome::Saved ? outcome.target : "";
  m_lastSaved = saved;
  m_lastSavedYuv = picture.yuv;
  const std::string error =
      outcome.kind == SaveOutcome::Nothing ? "cannot save: the camera sent no picture file"
      : outcome.error == "no free name"    ? "cannot save " + temporary + ": no free name"
          : "cannot save " + temporary + " as " + outcome.target + ": " + outcome.error;
  PrintBoxes();
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
  // Kept and named, but a picture from a damaged file is not a clean capture.
  if (m_host.LastPictureDamaged()) return kExitCameraFailure;
  return checked;
}

int CSession::Capture() {
  CCaptureJob job(m_global.timeoutMs, m_pPlan->count, m_pPlan->delayMs);
  return Drive(job, true);
}

int CSession::ReadStored() {
  m_cam.SetReadIndex(m_pPlan->readIndex);
  CReadStoredJob job(m_global.timeoutMs, m_pPlan->readIndex);
  return Drive(job, true);
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
  CommandResult result;
  if (const int status = Read(MakeCommand(CMD_READ_SETTINGS), result); status != kExitOk)
    return status;
  const SettingsReadBack* read = result.Data<SettingsReadBack>();
  if (!read) return kExitOk;
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
    CommandResult result;
    if (const int status = Read(MakeCommand(code, selector), result); status != kExitOk)
      return status;
    const ImageParams* values = result.Data<ImageParams>();
    if (!values) return kExitOk;
    PrintLog(result.log, true, true);
    PrintImageParams(MessageOf(result), *values);
    PrintBoxes();
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
  PrintBoxes();
  return kExitOk;
}

int CSession::DetectionRead() {
  CommandResult result;
  if (const int status = Read(MakeCommand(CMD_READ_DETECTION), result); status != kExitOk)
    return status;
  const DetectSettings* read = result.Data<DetectSettings>();
  if (!read) return kExitOk;
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
  CBurstJob job(m_global.timeoutMs, m_pPlan->send, multi.photos, m_pPlan->readBurst);
  return Drive(job, true);
}

// The camera's own reports, printed as they come; with --fetch the pictures they announce
// are saved.
int CSession::Monitor() {
  CMonitorJob job(m_global.timeoutMs, m_pPlan->fetch);
  const bool forever = m_pPlan->forSeconds < 0;
  const auto end = SteadyClock::now() + std::chrono::seconds(forever ? 0 : m_pPlan->forSeconds);
  for (;;) {
    uint64_t seq = m_host.Sequence();
    // One at a time: a fetch takes the reports of its own pictures.
    if (std::optional<Report> report = m_host.TakeReport()) {
      Print(*report);
      if (report->isEvent) job.TakeEvent(report->event);
      if (job.Busy()) Drive(job, true);
      if (job.Finished()) return ExitStatus(job.Outcome().status);
    }
    PrintBoxes();
    if (m_host.LineFailure()) {
      job.Abandon(WaitEnd::Line, {}, LineReason());
      SayEnded(job, true);
      return ExitStatus(job.Outcome().status);
    }
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
  // What only the identified camera can judge is refused before anything is written.
  if (std::optional<std::string> why = RefuseForCamera(*m_pPlan, m_cam.State().versionText, m_settingsRead)) {
    m_writer.Error(*why);
    JsonError(kExitUsage, *why);
    return kExitUsage;
  }
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
