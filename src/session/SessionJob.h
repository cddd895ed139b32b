#pragma once
// What a front end does with a camera, as step machines with no I/O: identify, capture and
// save, read a stored picture, burst, monitor and fetch. A front end asks Next() what to do,
// does it with the engine, and hands back what happened as typed results (Take, TakeEvent,
// Saved, Abandon); the job decides what comes next and how the whole step ended. The jobs
// never print and never read log texts: the outcome's status and message are theirs, the
// words on the screen the front end's.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/ModelIdentification.h"
#include "protocol/CameraCommand.h"
#include "protocol/CommandResult.h"

class CCameraProtocol;

// How a step ended. One value per exit status of the command line, which maps them 1:1.
enum class SessionStatus {
  Ok,
  CameraFailure,  // the camera refused or failed, or a picture could not be saved or decoded
  Usage,          // nothing to send for what was asked
  Line,           // the line failed
  Timeout,        // the camera fell silent
  CheckFailed,    // a saved picture failed a check
  NotCompared,    // nothing the camera reports was compared
  Interrupted,    // the operator stopped it
};

// Why the front end stopped waiting for what the job awaits.
enum class WaitEnd { Timeout, Line, Interrupted };

// The engine call that starts a picture.
enum class PictureSource {
  Capture,       // a single capture
  Stored,        // the stored picture at the engine's read index
  Burst,         // the next picture of a burst
  AutoCaptured,  // the next picture the camera took at power-on
};

// A transfer's progress when the camera fell silent, from the engine's state.
struct TransferProgress {
  uint32_t received = 0;
  uint32_t total = 0;  // 0: no transfer had begun
};

// How the front end shows the result it was waiting for (others are shown as reported).
enum class Echo {
  None,     // the job's outcome says it all
  Log,      // every line of its log
  Report,   // as any report: a picture's steps show only their errors
};

struct SessionAction {
  enum class Kind {
    Wait,          // hand the next result (monitoring: event) to the job; `awaited` is due
    Issue,         // issue `command`; NotSent() when the engine has no frame for it
    StartPicture,  // start a picture from `source`; `index` is its number in the series
    Sleep,         // pause `ms` between pictures (Slept(), or Abandon when woken by a stop)
    Save,          // save `picture` as picture `index`; Saved() with how that went
    Discard,       // `picture` was fetched but will not be saved: remove its temporary file
    StopTransfer,  // the camera fell silent mid-transfer: stop it and let the camera run again
    Identify,      // apply `version` to the engine (ApplyIdentification); Identified() after
    Done,
  };
  Kind kind = Kind::Done;
  int awaited = 0;
  Echo echo = Echo::Report;
  CameraCommand command;
  PictureSource source = PictureSource::Capture;
  int index = 0;
  unsigned ms = 0;
  PictureReply picture;
  std::string version;
};

struct SessionOutcome {
  SessionStatus status = SessionStatus::Ok;
  // Why it failed, in words; empty when the camera's own log lines said it.
  std::string message;
  // The message ends a machine-readable run too (a monitor's interrupt is its normal end).
  bool reportable = true;
  TransferProgress transfer;  // a transfer abandoned mid-way (total 0: none)
  // What the steps read and saved.
  std::string version;
  Identification identification;
  std::optional<SettingsReadBack> settings;
  std::vector<std::string> saved;
};

// "CMD_SET_COMPRESSION", as diagnostics name a command.
std::string CommandCodeName(int code);
// How a command's result ends a step: Ok, or the status and words for its failure (empty
// words when its log lines explain it; a failed line is worded from the result's reason).
SessionOutcome ResultStatus(const CommandResult& result);
// A wait that ended before what it awaited (`code`) came: a silent camera, a failed line.
// An interrupt's words are the caller's.
SessionOutcome WaitStatus(WaitEnd why, int code, unsigned timeoutMs, const std::string& lineReason);

// Applies what a version text says about the camera to the engine (the text, the model and
// its firmware, the longest picture, the image type); the window then fits its controls.
// Both front ends identify through this.
Identification ApplyIdentification(CCameraProtocol& camera, const std::string& version);

// The steps of a picture series, a command before them or the fetches a monitor finds.
class CSessionJob {
 public:
  explicit CSessionJob(unsigned timeoutMs) : m_timeoutMs(timeoutMs) {}
  virtual ~CSessionJob() = default;

  SessionAction Next();
  void Take(const CommandResult& result);
  virtual void TakeEvent(const CameraEvent&) {}
  void NotSent();
  void Slept();
  // What saving the picture of the last Save gave: Ok, CameraFailure or CheckFailed;
  // `path` where it went ("" when nowhere).
  void Saved(SessionStatus status, const std::string& path);
  void Identified(const Identification& id);
  // The front end stopped waiting; `progress` is the engine's transfer state at the time,
  // `lineReason` why the line failed.
  void Abandon(WaitEnd why, const TransferProgress& progress = {},
               const std::string& lineReason = {});
  // The words an interrupt ends a step with, and whether they end a machine-readable run.
  void SetInterruptWords(const std::string& text, bool reportable);

  // How each step ended, in order, for the front end to say: what ended it and its status
  // and words. Taken once.
  enum class StepKind { Command, Picture, Sleep, Await, Identify, Watch };
  enum class EndCause { Result, NotSent, Abandoned, Saved, Done };
  struct StepEnd {
    StepKind kind = StepKind::Command;
    EndCause cause = EndCause::Done;
    SessionOutcome outcome;
  };
  std::optional<StepEnd> TakeEnded();

  bool Finished() const { return m_finished; }
  // A step is under way (a monitor between steps is waiting for the camera's reports).
  bool Busy() const { return m_phase != Phase::Idle || !m_steps.empty(); }
  const SessionOutcome& Outcome() const { return m_outcome; }

 protected:
  // What a command step does when the engine has no frame for it.
  enum class NotSentRule { Fail, Skip, Wait };
  struct Step {
    StepKind kind = StepKind::Command;
    CameraCommand command;
    bool chain = false;  // complete only when the commands its reply sends have answered
    bool anyAnswer = false;  // a refusal or failed answer does not fail the step
    NotSentRule notSent = NotSentRule::Fail;
    Echo echo = Echo::Log;
    PictureSource source = PictureSource::Capture;
    int index = 0;
    unsigned ms = 0;
    int code = 0;  // Await: the code whose result is due
    std::string version;
  };
  static Step CommandStep(const CameraCommand& command, bool chain = false);
  static Step PictureStep(PictureSource source, int index);
  // A step ended with `ended` (Ok or a failure with its words). By default the first
  // failure ends the job. m_step is the step that ended, m_result its last result.
  virtual void StepEnded(const SessionOutcome& ended);
  // Nothing left to do: the job ends with what it has (a monitor waits on instead).
  virtual SessionAction Idle();
  void Finish(const SessionOutcome& outcome);
  // Ends the step under way with `ended`; the front end hears of it through TakeEnded.
  void EndStep(const SessionOutcome& ended, EndCause cause);

  std::deque<Step> m_steps;
  Step m_step;
  CommandResult m_result;
  SessionOutcome m_outcome;
  bool m_finished = false;

 private:
  enum class Phase {
    Idle,      // the next step starts at Next()
    Command,   // a command's result (or one its reply sent) is due
    Picture,   // a picture's steps are reported until its resume
    Resume,    // a refused picture step lets the camera run again: its resume is due
    Save,      // the picture is fetched: save it
    Saving,    // waiting for Saved()
    Sleep,     // waiting for Slept()
    Await,     // a result the job only waits for
    Identify,  // waiting for Identified()
    Ending,    // a failure's clean-up actions, then the step ends
  };
  SessionAction StartStep();
  void TakePicture(const CommandResult& result);
  void EndPicture(const SessionOutcome& ended);
  SessionOutcome Stopped(WaitEnd why, int code, const std::string& lineReason) const;

  unsigned m_timeoutMs;
  std::string m_interruptedText = "interrupted";
  bool m_interruptReportable = true;
  Phase m_phase = Phase::Idle;
  int m_awaited = 0;
  std::optional<PictureReply> m_picture;
  SessionOutcome m_failure;          // what ends the step once the clean-up is done
  std::deque<SessionAction> m_cleanup;
  std::deque<StepEnd> m_ended;
};

// Identification, as the port opens: the version query, the model from its text and, when
// asked and the model reports them, the stored settings. Started with a text the camera
// already gave, it skips the query.
class CIdentifyJob : public CSessionJob {
 public:
  // previous: the version text the engine already has (a power-on banner's), kept when
  // the reply's text is empty.
  CIdentifyJob(unsigned timeoutMs, bool readSettings, const std::string& previous);
  // The camera already gave its text: no query.
  static CIdentifyJob FromText(const std::string& version, bool readSettings);
  // The version query's result (its log is the version's message).
  const CommandResult& VersionResult() const { return m_version; }

 protected:
  void StepEnded(const SessionOutcome& ended) override;

 private:
  bool m_readSettings;
  std::string m_previous;
  CommandResult m_version;
};

// `count` single captures `delayMs` apart, each saved. A picture that fails on the camera's
// side is reported and the series goes on; a silent camera, a lost line or a stop end it.
class CCaptureJob : public CSessionJob {
 public:
  CCaptureJob(unsigned timeoutMs, unsigned count, unsigned delayMs);

 protected:
  void StepEnded(const SessionOutcome& ended) override;
  SessionAction Idle() override;

 private:
  SessionOutcome m_worst;
};

// The stored picture at `index` (the front end sets the engine's read index).
class CReadStoredJob : public CSessionJob {
 public:
  CReadStoredJob(unsigned timeoutMs, int index);
};

// A burst of `photos` pictures `interval` apart; with readBack each is read and saved.
// `burst` is the burst command as the front end built it.
class CBurstJob : public CSessionJob {
 public:
  CBurstJob(unsigned timeoutMs, const CameraCommand& burst, int photos, bool readBack);
};

// One command and, chained, the commands its reply sends in turn.
class CCommandJob : public CSessionJob {
 public:
  CCommandJob(unsigned timeoutMs, const CameraCommand& command, bool chain = false);
};

// One read: its answer carries the record (Answer()), which the front end shows.
class CReadJob : public CSessionJob {
 public:
  CReadJob(unsigned timeoutMs, const CameraCommand& read);
  const CommandResult& Answer() const { return m_result; }
};

// Watching the camera's own reports: a power-on banner names the camera again and, with
// fetch, the pictures a detection or power-on capture reports are read and saved. A failed
// fetch ends the monitor unless the camera merely refused; an interrupt is its normal end.
class CMonitorJob : public CSessionJob {
 public:
  CMonitorJob(unsigned timeoutMs, bool fetch);
  void TakeEvent(const CameraEvent& event) override;
  // The front end's watch is over (its time is up or the operator stopped it).
  void End();

 protected:
  void StepEnded(const SessionOutcome& ended) override;
  SessionAction Idle() override;

 private:
  bool m_fetch;
  bool m_over = false;
};
