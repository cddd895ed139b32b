#include "session/SessionJob.h"

#include "protocol/CameraProtocol.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandTable.h"

namespace {

// The commands of a picture's capture and read-out.
bool IsPictureStep(int code) {
  return code == CMD_STOP_FRAME || code == CMD_GET_FRAME_LEN || code == CMD_READ_TOTAL ||
         code == CMD_READ_BUF_512 || code == CMD_RESUME_FRAME;
}

SessionOutcome Failure(SessionStatus status, std::string message) {
  SessionOutcome outcome;
  outcome.status = status;
  outcome.message = std::move(message);
  return outcome;
}

SessionAction Action(SessionAction::Kind kind) {
  SessionAction action;
  action.kind = kind;
  return action;
}

}  // namespace

std::string CommandCodeName(int code) {
  if (const char* symbol = CommandSymbol(code)) return symbol;
  if (code < 1 || code > CMD_LAST) return "a command";
  return "(code " + std::to_string(code) + ")";
}

SessionOutcome ResultStatus(const CommandResult& result) {
  switch (result.outcome) {
    case Outcome::Done:
      return {};
    case Outcome::LineFailed:
      return Failure(SessionStatus::Line, "the line failed: " + result.reason);
    case Outcome::NoValidReply:
      return Failure(SessionStatus::CameraFailure,
                     "the camera's reply to " + CommandCodeName(result.code) + " was not recognised");
    case Outcome::Cancelled:
      return Failure(SessionStatus::CameraFailure,
                     CommandCodeName(result.code) + " was cancelled before it was answered");
    case Outcome::Refused:  // the camera's own text said so, unless the engine added words
    case Outcome::Failed:
      break;
  }
  return Failure(SessionStatus::CameraFailure, result.reason);
}

SessionOutcome WaitStatus(WaitEnd why, int code, unsigned timeoutMs, const std::string& lineReason) {
  switch (why) {
    case WaitEnd::Timeout:
      return Failure(SessionStatus::Timeout, "no reply to " + CommandCodeName(code) + " within " +
                                                 std::to_string(timeoutMs) + " ms");
    case WaitEnd::Line:
      return Failure(SessionStatus::Line, "the line failed: " + lineReason);
    case WaitEnd::Interrupted:
      break;
  }
  return Failure(SessionStatus::Interrupted, "interrupted");
}

Identification ApplyIdentification(CCameraProtocol& camera, const std::string& version) {
  if (camera.State().versionText != version) camera.SetVersionText(version);
  const Identification id = ParseVersionText(version, camera.State().model);
  camera.SetModelInfo(id.info);
  SessionSettings settings = camera.Settings();
  settings.pictureLimit = id.pictureLimit;  // a frame length beyond it is refused
  if (id.resetImageType) settings.imageType = IMAGE_TYPE_JPEG;
  camera.ApplySettings(settings);
  return id;
}

// ---------------------------------------------------------------------------------------
// The steps

CSessionJob::Step CSessionJob::CommandStep(const CameraCommand& command, bool chain) {
  Step step;
  step.kind = StepKind::Command;
  step.command = command;
  step.chain = chain;
  return step;
}

CSessionJob::Step CSessionJob::PictureStep(PictureSource source, int index) {
  Step step;
  step.kind = StepKind::Picture;
  step.source = source;
  step.index = index;
  return step;
}

void CSessionJob::SetInterruptWords(const std::string& text, bool reportable) {
  m_interruptedText = text;
  m_interruptReportable = reportable;
}

std::optional<CSessionJob::StepEnd> CSessionJob::TakeEnded() {
  if (m_ended.empty()) return std::nullopt;
  StepEnd ended = std::move(m_ended.front());
  m_ended.pop_front();
  return ended;
}

SessionAction CSessionJob::Next() {
  if (m_finished) return Action(SessionAction::Kind::Done);
  SessionAction wait = Action(SessionAction::Kind::Wait);
  wait.awaited = m_awaited;
  switch (m_phase) {
    case Phase::Idle:
      return m_steps.empty() ? Idle() : StartStep();
    case Phase::Ending: {
      SessionAction action = m_cleanup.front();
      m_cleanup.pop_front();
      if (m_cleanup.empty()) EndPicture(m_failure);
      return action;
    }
    case Phase::Save: {
      m_phase = Phase::Saving;
      SessionAction save = Action(SessionAction::Kind::Save);
      save.picture = *m_picture;
      save.index = m_step.index;
      return save;
    }
    case Phase::Command:
    case Phase::Await:
      wait.echo = m_step.echo;
      return wait;
    case Phase::Picture:
      wait.echo = Echo::Report;
      return wait;
    case Phase::Resume:
      wait.echo = Echo::None;
      return wait;
    case Phase::Saving:
    case Phase::Sleep:
    case Phase::Identify:
      break;  // the front end owes the job its answer
  }
  wait.awaited = 0;
  return wait;
}

SessionAction CSessionJob::StartStep() {
  m_step = std::move(m_steps.front());
  m_steps.pop_front();
  m_result = CommandResult{};
  switch (m_step.kind) {
    case StepKind::Command: {
      m_phase = Phase::Command;
      m_awaited = m_step.command.code;
      SessionAction issue = Action(SessionAction::Kind::Issue);
      issue.command = m_step.command;
      return issue;
    }
    case StepKind::Picture: {
      m_phase = Phase::Picture;
      m_awaited = m_step.source == PictureSource::Capture ? CMD_STOP_FRAME : CMD_GET_FRAME_LEN;
      m_picture.reset();
      SessionAction start = Action(SessionAction::Kind::StartPicture);
      start.source = m_step.source;
      start.index = m_step.index;
      return start;
    }
    case StepKind::Sleep: {
      m_phase = Phase::Sleep;
      m_awaited = CMD_STOP_FRAME;  // what a stop during the pause interrupts
      SessionAction sleep = Action(SessionAction::Kind::Sleep);
      sleep.ms = m_step.ms;
      return sleep;
    }
    case StepKind::Await: {
      m_phase = Phase::Await;
      m_awaited = m_step.code;
      SessionAction wait = Action(SessionAction::Kind::Wait);
      wait.awaited = m_awaited;
      wait.echo = m_step.echo;
      return wait;
    }
    case StepKind::Identify:
    case StepKind::Watch: {
      m_phase = Phase::Identify;
      SessionAction identify = Action(SessionAction::Kind::Identify);
      identify.version = m_step.version;
      return identify;
    }
  }
  return Action(SessionAction::Kind::Done);
}

SessionAction CSessionJob::Idle() {
  Finish(SessionOutcome{});
  return Action(SessionAction::Kind::Done);
}

void CSessionJob::Take(const CommandResult& result) {
  if (m_finished) return;
  switch (m_phase) {
    case Phase::Command: {
      if (result.code != m_awaited) return;
      m_result = result;
      SessionOutcome ended = m_step.anyAnswer ? SessionOutcome{} : ResultStatus(result);
      if (ended.status == SessionStatus::Ok && m_step.chain && result.next != 0) {
        m_awaited = result.next;
        return;
      }
      EndStep(ended, EndCause::Result);
      return;
    }
    case Phase::Await:
      if (result.code != m_awaited) return;
      m_result = result;
      EndStep(SessionOutcome{}, EndCause::Result);
      return;
    case Phase::Picture:
      TakePicture(result);
      return;
    case Phase::Resume:
      if (result.code == CMD_RESUME_FRAME) EndPicture(m_failure);
      return;
    default:
      return;  // not the job's to take
  }
}

void CSessionJob::TakePicture(const CommandResult& r) {
  if (!IsPictureStep(r.code)) return;
  // Entries a new capture flushes are reported as cancelled; only this picture's count.
  if (!r.Ok() && r.code != m_awaited) return;
  if (!r.Ok()) {
    m_result = r;
    const SessionOutcome failed = ResultStatus(r);
    // A refused length ends the picture but lets the camera run again: its resume is
    // answered before the step ends (and the port may close).
    if (r.next == CMD_RESUME_FRAME) {
      m_failure = failed;
      m_phase = Phase::Resume;
      m_awaited = CMD_RESUME_FRAME;
      return;
    }
    EndPicture(failed);
    return;
  }
  if (const PictureReply* shown = r.Data<PictureReply>()) {
    if (r.code != CMD_RESUME_FRAME) m_picture = *shown;
    else if (m_picture) m_picture->seconds = shown->seconds;
  }
  if (r.code == CMD_RESUME_FRAME && m_picture) {
    m_phase = Phase::Save;
    return;
  }
  if (r.next != 0) m_awaited = r.next;
}

// A picture that will not be saved: a fetched one leaves no temporary file.
void CSessionJob::EndPicture(const SessionOutcome& ended) {
  if (m_phase != Phase::Ending && m_picture) {
    SessionAction discard = Action(SessionAction::Kind::Discard);
    discard.picture = *m_picture;
    m_cleanup.push_back(discard);
  }
  if (!m_cleanup.empty()) {
    m_failure = ended;
    m_phase = Phase::Ending;
    return;
  }
  EndStep(ended, EndCause::Result);
}

void CSessionJob::NotSent() {
  if (m_phase != Phase::Command) return;
  switch (m_step.notSent) {
    case NotSentRule::Wait:
      return;  // as if it went out: the wait says what happened
    case NotSentRule::Skip:
      EndStep(SessionOutcome{}, EndCause::NotSent);
      return;
    case NotSentRule::Fail:
      EndStep(Failure(SessionStatus::CameraFailure,
                      CommandCodeName(m_step.command.code) + ": nothing to send for this value"),
              EndCause::NotSent);
      return;
  }
}

void CSessionJob::Slept() {
  if (m_phase == Phase::Sleep) EndStep(SessionOutcome{}, EndCause::Done);
}

void CSessionJob::Saved(SessionStatus status, const std::string& path) {
  if (m_phase != Phase::Saving) return;
  if (!path.empty()) m_outcome.saved.push_back(path);
  SessionOutcome ended;
  ended.status = status;
  EndStep(ended, EndCause::Saved);
}

void CSessionJob::Identified(const Identification& id) {
  if (m_phase != Phase::Identify) return;
  m_outcome.identification = id;
  EndStep(SessionOutcome{}, EndCause::Done);
}

SessionOutcome CSessionJob::Stopped(WaitEnd why, int code, const std::string& lineReason) const {
  if (why != WaitEnd::Interrupted) return WaitStatus(why, code, m_timeoutMs, lineReason);
  SessionOutcome stopped = Failure(SessionStatus::Interrupted, m_interruptedText);
  stopped.reportable = m_interruptReportable;
  return stopped;
}

void CSessionJob::Abandon(WaitEnd why, const TransferProgress& progress,
                          const std::string& lineReason) {
  if (m_finished) return;
  switch (m_phase) {
    case Phase::Picture: {
      const bool transfer = m_awaited == CMD_READ_TOTAL || m_awaited == CMD_READ_BUF_512;
      if (why != WaitEnd::Timeout || !transfer || progress.total == 0) {
        EndPicture(Stopped(why, m_awaited, lineReason));
        return;
      }
      // The transfer is ended; the resume frame is what a finished picture sends too, so a
      // camera that comes back runs again.
      m_cleanup.push_back(Action(SessionAction::Kind::StopTransfer));
      SessionOutcome silent = Failure(
          SessionStatus::Timeout,
          "the camera stopped answering: " + std::to_string(progress.received) + " of " +
              std::to_string(progress.total) + " bytes received, nothing for " +
              std::to_string(m_timeoutMs) + " ms; picture abandoned");
      silent.transfer = progress;
      EndPicture(silent);
      return;
    }
    case Phase::Resume:
      EndPicture(m_failure);  // the refusal is what the operator needs to hear
      return;
    case Phase::Command:
    case Phase::Await:
    case Phase::Sleep: {
      SessionOutcome ended = Stopped(why, m_awaited, lineReason);
      EndStep(ended, EndCause::Abandoned);
      return;
    }
    case Phase::Idle:
      // Between steps only a watch waits: a failed line ends it, anything else is its end.
      m_step = Step{};
      m_step.kind = StepKind::Watch;
      m_phase = Phase::Identify;
      EndStep(why == WaitEnd::Line ? Stopped(why, 0, lineReason) : SessionOutcome{},
              EndCause::Abandoned);
      if (!m_finished) Finish(m_outcome);
      return;
    default:
      return;
  }
}

void CSessionJob::EndStep(const SessionOutcome& ended, EndCause cause) {
  m_phase = Phase::Idle;
  m_awaited = 0;
  m_cleanup.clear();
  m_ended.push_back({m_step.kind, cause, ended});
  StepEnded(ended);
}

void CSessionJob::StepEnded(const SessionOutcome& ended) {
  if (ended.status != SessionStatus::Ok) Finish(ended);
}

void CSessionJob::Finish(const SessionOutcome& outcome) {
  m_finished = true;
  m_steps.clear();
  m_outcome.status = outcome.status;
  m_outcome.message = outcome.message;
  m_outcome.reportable = outcome.reportable;
  m_outcome.transfer = outcome.transfer;
}

// ---------------------------------------------------------------------------------------
// The jobs

CIdentifyJob::CIdentifyJob(unsigned timeoutMs, bool readSettings, const std::string& previous)
    : CSessionJob(timeoutMs), m_readSettings(readSettings), m_previous(previous) {
  Step query = CommandStep(CameraCommand{.code = CMD_GET_VERSION});
  query.echo = Echo::None;  // the version's own message is the front end's to show
  query.notSent = NotSentRule::Wait;
  m_steps.push_back(query);
}

CIdentifyJob CIdentifyJob::FromText(const std::string& version, bool readSettings) {
  CIdentifyJob job(0, readSettings, version);
  job.m_steps.clear();
  Step apply;
  apply.kind = StepKind::Identify;
  apply.version = version;
  job.m_steps.push_back(apply);
  job.m_outcome.version = version;
  return job;
}

void CIdentifyJob::StepEnded(const SessionOutcome& ended) {
  if (ended.status != SessionStatus::Ok) {
    Finish(ended);
    return;
  }
  switch (m_step.kind) {
    case StepKind::Command:
      if (m_step.command.code == CMD_GET_VERSION) {
        m_version = m_result;
        const VersionReply* reply = m_result.Data<VersionReply>();
        // An empty text leaves the one a power-on banner may have given.
        m_outcome.version = reply && !reply->text.empty() ? reply->text : m_previous;
        Step apply;
        apply.kind = StepKind::Identify;
        apply.version = m_outcome.version;
        m_steps.push_back(apply);
      } else if (const SettingsReadBack* read = m_result.Data<SettingsReadBack>()) {
        m_outcome.settings = *read;
      }
      return;
    case StepKind::Identify:
      // Level-light models report their stored settings; the controls show them.
      if (m_readSettings && m_outcome.identification.sendReadSettings) {
        Step read = CommandStep(CameraCommand{.code = CMD_READ_SETTINGS});
        read.echo = Echo::None;
        read.anyAnswer = true;
        read.notSent = NotSentRule::Skip;
        m_steps.push_back(read);
      }
      return;
    default:
      return;
  }
}

CCaptureJob::CCaptureJob(unsigned timeoutMs, unsigned count, unsigned delayMs)
    : CSessionJob(timeoutMs) {
  for (unsigned i = 1; i <= count; ++i) {
    if (i > 1 && delayMs > 0) {
      Step pause;
      pause.kind = StepKind::Sleep;
      pause.ms = delayMs;
      m_steps.push_back(pause);
    }
    m_steps.push_back(PictureStep(PictureSource::Capture, static_cast<int>(i)));
  }
}

void CCaptureJob::StepEnded(const SessionOutcome& ended) {
  // A picture the camera sent but that does not decode is reported and the series goes
  // on; a camera that stops answering ends it.
  if (ended.status == SessionStatus::CameraFailure) m_worst = ended;
  else if (ended.status != SessionStatus::Ok) Finish(ended);
}

SessionAction CCaptureJob::Idle() {
  Finish(m_worst);
  return Next();
}

CReadStoredJob::CReadStoredJob(unsigned timeoutMs, int index) : CSessionJob(timeoutMs) {
  m_steps.push_back(PictureStep(PictureSource::Stored, index));
}

CBurstJob::CBurstJob(unsigned timeoutMs, const CameraCommand& burst, int photos, bool readBack)
    : CSessionJob(timeoutMs) {
  m_steps.push_back(CommandStep(burst));
  if (!readBack) return;
  for (int k = 1; k <= photos; ++k) m_steps.push_back(PictureStep(PictureSource::Burst, k));
}

CCommandJob::CCommandJob(unsigned timeoutMs, const CameraCommand& command, bool chain)
    : CSessionJob(timeoutMs) {
  m_steps.push_back(CommandStep(command, chain));
}

CReadJob::CReadJob(unsigned timeoutMs, const CameraCommand& read) : CSessionJob(timeoutMs) {
  Step step = CommandStep(read);
  step.echo = Echo::None;  // the record is the answer's words
  step.notSent = NotSentRule::Wait;
  m_steps.push_back(step);
}

CMonitorJob::CMonitorJob(unsigned timeoutMs, bool fetch) : CSessionJob(timeoutMs), m_fetch(fetch) {
  // For a monitor an interrupt is the normal end; only a fetch cut short is worth a word.
  SetInterruptWords("interrupted while fetching a picture", false);
}

void CMonitorJob::TakeEvent(const CameraEvent& event) {
  if (Finished() || Busy()) return;  // one report at a time: a fetch takes its own
  if (event.kind == CameraEventKind::PowerOn && !event.version.empty()) {
    Step apply;  // a power-on banner named the camera again
    apply.kind = StepKind::Identify;
    apply.version = event.version;
    m_steps.push_back(apply);
  }
  if (!m_fetch || event.count <= 0) return;
  const bool stored =
      event.kind == CameraEventKind::Motion || event.kind == CameraEventKind::StoredPictures;
  if (stored) {
    // The engine switches detection off first; its answer comes before the pictures.
    if (event.next != 0) {
      Step off;
      off.kind = StepKind::Await;
      off.code = event.next;
      m_steps.push_back(off);
    }
    for (int k = 1; k <= event.count; ++k)
      m_steps.push_back(PictureStep(PictureSource::Stored, k));
  } else if (event.kind == CameraEventKind::AutoCapture) {
    for (int k = 1; k <= event.count; ++k)
      m_steps.push_back(PictureStep(PictureSource::AutoCaptured, k));
  }
}

void CMonitorJob::End() { m_over = true; }

void CMonitorJob::StepEnded(const SessionOutcome& ended) {
  if (ended.status == SessionStatus::Ok) return;
  m_steps.clear();  // the rest of this fetch
  // An interrupted fetch ends the monitor like any interruption; a refusal does not.
  if (ended.status == SessionStatus::Interrupted) Finish(SessionOutcome{});
  else if (ended.status != SessionStatus::CameraFailure) Finish(ended);
}

SessionAction CMonitorJob::Idle() {
  if (m_over) {
    Finish(SessionOutcome{});
    return Next();
  }
  SessionAction watch;
  watch.kind = SessionAction::Kind::Wait;
  watch.echo = Echo::Report;
  return watch;
}
