// Every session step machine fed a scripted sequence of typed results, with no port: what it
// asks the front end to do, and how the step ends.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "protocol/CommandCodes.h"
#include "session/SessionJob.h"

namespace {

struct Abandoned {
  WaitEnd why;
  TransferProgress progress;
};
struct SaveAs {
  SessionStatus status;
};
using Input = std::variant<CommandResult, CameraEvent, Abandoned, SaveAs>;

CommandResult R(int code, int next = 0, Outcome outcome = Outcome::Done, ResultData data = {}) {
  CommandResult r;
  r.code = code;
  r.next = next;
  r.outcome = outcome;
  r.data = std::move(data);
  return r;
}

// A picture's steps as the engine reports them, from its first to the resume.
std::vector<Input> Picture(bool capture) {
  PictureReply shown{.file = "/tmp/jpeg.tmp", .bytes = 5000, .width = 640, .height = 480, .decoded = true};
  std::vector<Input> steps;
  if (capture) steps.push_back(R(CMD_STOP_FRAME, CMD_GET_FRAME_LEN));
  steps.push_back(R(CMD_GET_FRAME_LEN, CMD_READ_BUF_512));
  steps.push_back(R(CMD_READ_BUF_512, CMD_RESUME_FRAME, Outcome::Done, shown));
  steps.push_back(R(CMD_RESUME_FRAME));
  return steps;
}

std::vector<Input> operator+(std::vector<Input> a, const std::vector<Input>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

CameraEvent Event(CameraEventKind kind, int count, int next = 0, std::string version = {}) {
  CameraEvent event;
  event.kind = kind;
  event.count = count;
  event.next = next;
  event.version = std::move(version);
  return event;
}

// Plays the front end: does what the job asks (writing it down) and answers from the
// script. Returns the actions, one word each.
std::string Play(CSessionJob& job, const std::vector<Input>& script, bool notSent = false) {
  std::string trace;
  size_t at = 0;
  auto word = [&](const std::string& w) { trace += (trace.empty() ? "" : " ") + w; };
  for (int guard = 0; guard < 200; ++guard) {
    const SessionAction a = job.Next();
    switch (a.kind) {
      case SessionAction::Kind::Done:
        EXPECT_EQ(at, script.size()) << "script left over: " << trace;
        return trace;
      case SessionAction::Kind::Issue:
        word("issue" + std::to_string(a.command.code));
        if (notSent) job.NotSent();
        break;
      case SessionAction::Kind::StartPicture:
        word("picture" + std::to_string(a.index));
        break;
      case SessionAction::Kind::Sleep:
        word("sleep");
        if (at < script.size() && std::holds_alternative<Abandoned>(script[at]))
          job.Abandon(std::get<Abandoned>(script[at++]).why);
        else
          job.Slept();
        break;
      case SessionAction::Kind::Save: {
        word("save" + std::to_string(a.index));
        SessionStatus status = SessionStatus::Ok;
        if (at < script.size() && std::holds_alternative<SaveAs>(script[at]))
          status = std::get<SaveAs>(script[at++]).status;
        job.Saved(status, status == SessionStatus::CameraFailure ? "" : "p" + std::to_string(a.index));
        break;
      }
      case SessionAction::Kind::Discard:
        word("discard");
        break;
      case SessionAction::Kind::StopTransfer:
        word("stop");
        break;
      case SessionAction::Kind::Identify:
        word("identify");
        job.Identified(ParseVersionText(a.version, ModelInfo{}));
        break;
      case SessionAction::Kind::Wait:
        if (at == script.size()) {
          // A watch with nothing more to report is over.
          if (auto* monitor = dynamic_cast<CMonitorJob*>(&job); monitor && !job.Busy()) {
            monitor->End();
            break;
          }
          ADD_FAILURE() << "the job waits beyond the script: " << trace;
          return trace;
        }
        if (const auto* r = std::get_if<CommandResult>(&script[at])) job.Take(*r);
        else if (const auto* e = std::get_if<CameraEvent>(&script[at])) job.TakeEvent(*e);
        else if (const auto* x = std::get_if<Abandoned>(&script[at])) job.Abandon(x->why, x->progress, "gone");
        else ADD_FAILURE() << "a save answer where a result is due";
        ++at;
        break;
    }
  }
  ADD_FAILURE() << "the job never ends: " << trace;
  return trace;
}

}  // namespace

TEST(SessionJobs, ScriptedRunsEndAsTheFrontEndsReportThem) {
  using S = SessionStatus;
  const PictureReply shown{.file = "/tmp/jpeg.tmp", .bytes = 5000, .decoded = true};
  struct Case {
    const char* name;
    std::function<std::unique_ptr<CSessionJob>()> make;
    std::vector<Input> script;
    std::string actions;
    SessionStatus status;
    std::string message;  // "" : none
    size_t saved;
    bool notSent = false;
  };
  auto capture = [](unsigned n, unsigned delay) {
    return [=] { return std::make_unique<CCaptureJob>(1000, n, delay); };
  };
  auto burst = [](int photos, bool read) {
    return [=] {
      return std::make_unique<CBurstJob>(1000, CameraCommand{.code = CMD_MULTI_CAPTURE}, photos, read);
    };
  };
  auto monitor = [] { return std::make_unique<CMonitorJob>(1000, true); };
  const Case cases[] = {
      {"capture two, a pause between", capture(2, 50), Picture(true) + Picture(true),
       "picture1 save1 sleep picture2 save2", S::Ok, "", 2},
      // A picture the camera botched is reported and the series goes on, ending with 1.
      {"capture: an unrecognised reply", capture(2, 0),
       std::vector<Input>{R(CMD_STOP_FRAME, 0, Outcome::NoValidReply)} + Picture(true),
       "picture1 picture2 save2", S::CameraFailure, "the camera's reply to CMD_STOP_FRAME was not recognised", 1},
      {"capture: a picture that does not decode", capture(2, 0),
       Picture(true) + std::vector<Input>{SaveAs{S::CameraFailure}} + Picture(true),
       "picture1 save1 picture2 save2", S::CameraFailure, "", 1},
      {"capture: a failed check ends the series", capture(2, 0),
       Picture(true) + std::vector<Input>{SaveAs{S::CheckFailed}}, "picture1 save1", S::CheckFailed, "", 1},
      // Results of other commands and flushed entries of other steps are not the picture's.
      {"capture: others' results ignored", capture(1, 0),
       std::vector<Input>{R(CMD_SET_OSD), R(CMD_READ_BUF_512, 0, Outcome::Cancelled)} + Picture(true),
       "picture1 save1", S::Ok, "", 1},
      {"capture: silent mid-transfer", capture(2, 0),
       {R(CMD_STOP_FRAME, CMD_GET_FRAME_LEN), R(CMD_GET_FRAME_LEN, CMD_READ_BUF_512),
        Abandoned{WaitEnd::Timeout, {1024, 5000}}},
       "picture1 stop", S::Timeout,
       "the camera stopped answering: 1024 of 5000 bytes received, nothing for 1000 ms; picture abandoned", 0},
      {"capture: silent before any transfer", capture(1, 0), {Abandoned{WaitEnd::Timeout, {}}},
       "picture1", S::Timeout, "no reply to CMD_STOP_FRAME within 1000 ms", 0},
      {"capture: the line fails in the pause", capture(2, 10),
       Picture(true) + std::vector<Input>{Abandoned{WaitEnd::Line, {}}}, "picture1 save1 sleep", S::Line,
       "the line failed: ", 1},
      // Fetched whole, then the line went before the resume: no temporary file stays.
      {"capture: the line fails before the resume", capture(1, 0),
       {R(CMD_STOP_FRAME, CMD_GET_FRAME_LEN), R(CMD_GET_FRAME_LEN, CMD_READ_BUF_512),
        R(CMD_READ_BUF_512, CMD_RESUME_FRAME, Outcome::Done, shown), Abandoned{WaitEnd::Line, {}}},
       "picture1 discard", S::Line, "the line failed: gone", 0},
      // A refused length ends the picture once its resume has answered.
      {"read stored: length refused", [] { return std::make_unique<CReadStoredJob>(1000, 3); },
       {R(CMD_GET_FRAME_LEN, CMD_RESUME_FRAME, Outcome::Failed), R(CMD_READ_BUF_512, 0, Outcome::Cancelled),
        R(CMD_RESUME_FRAME)},
       "picture3", S::CameraFailure, "", 0},
      {"read stored", [] { return std::make_unique<CReadStoredJob>(1000, 2); }, Picture(false),
       "picture2 save2", S::Ok, "", 1},
      {"burst read back", burst(2, true), std::vector<Input>{R(CMD_MULTI_CAPTURE)} + Picture(false) + Picture(false),
       "issue22 picture1 save1 picture2 save2", S::Ok, "", 2},
      {"burst refused", burst(2, true), {R(CMD_MULTI_CAPTURE, 0, Outcome::Refused)}, "issue22",
       S::CameraFailure, "", 0},
      {"burst interrupted while reading", burst(2, true),
       std::vector<Input>{R(CMD_MULTI_CAPTURE)} + Picture(false) + std::vector<Input>{Abandoned{WaitEnd::Interrupted, {}}},
       "issue22 picture1 save1 picture2", S::Interrupted, "interrupted", 1},
      {"burst not read", burst(3, false), {R(CMD_MULTI_CAPTURE)}, "issue22", S::Ok, "", 0},
      {"a command the engine cannot send",
       [] { return std::make_unique<CCommandJob>(1000, CameraCommand{.code = CMD_SET_CROP}); }, {},
       "issue23", S::CameraFailure, "CMD_SET_CROP: nothing to send for this value", 0, true},
      // A new image size is complete when the reset its reply sends has answered.
      {"a chained command",
       [] { return std::make_unique<CCommandJob>(1000, CameraCommand{.code = CMD_SET_IMAGE_SIZE}, true); },
       {R(CMD_SET_IMAGE_SIZE, CMD_RESET), R(CMD_RESET, 0, Outcome::Cancelled)}, "issue12",
       S::CameraFailure, "CMD_RESET was cancelled before it was answered", 0},
      {"a silent command", [] { return std::make_unique<CCommandJob>(1000, CameraCommand{.code = 5}); },
       {Abandoned{WaitEnd::Timeout, {}}}, "issue5", S::Timeout, "no reply to (code 5) within 1000 ms", 0},
      {"a read the camera refuses",
       [] { return std::make_unique<CReadJob>(1000, CameraCommand{.code = CMD_READ_IMAGE_PARAMS}); },
       {R(CMD_READ_IMAGE_PARAMS, 0, Outcome::Refused)}, "issue31", S::CameraFailure, "", 0},
      {"identify, stored settings read", [] { return std::make_unique<CIdentifyJob>(1000, true, ""); },
       {R(CMD_GET_VERSION, 0, Outcome::Done, VersionReply{"QVX2M2 1.06"}),
        R(CMD_READ_SETTINGS, 0, Outcome::Done, SettingsReadBack{.serialNumber = 7})},
       "issue20 identify issue29", S::Ok, "", 0},
      // A camera that does not report its settings, named earlier by its power-on banner.
      {"identify, the banner's text kept", [] { return std::make_unique<CIdentifyJob>(1000, true, "QVX1M3 1.02"); },
       {R(CMD_GET_VERSION, 0, Outcome::Done, VersionReply{""})}, "issue20 identify", S::Ok, "", 0},
      {"identify: no answer", [] { return std::make_unique<CIdentifyJob>(1000, true, ""); },
       {Abandoned{WaitEnd::Timeout, {}}}, "issue20", S::Timeout, "no reply to CMD_GET_VERSION within 1000 ms", 0},
      {"identify: the line fails", [] { return std::make_unique<CIdentifyJob>(1000, true, ""); },
       {Abandoned{WaitEnd::Line, {}}}, "issue20", S::Line, "the line failed: gone", 0},
      {"identify: the settings never come", [] { return std::make_unique<CIdentifyJob>(1000, true, ""); },
       {R(CMD_GET_VERSION, 0, Outcome::Done, VersionReply{"QVX2M2 1.06"}), Abandoned{WaitEnd::Timeout, {}}},
       "issue20 identify issue29", S::Timeout, "no reply to CMD_READ_SETTINGS within 1000 ms", 0},
      {"monitor: a motion's pictures fetched", monitor,
       std::vector<Input>{Event(CameraEventKind::LiveCount, 2), Event(CameraEventKind::Motion, 2, CMD_MOTION_OFF),
                          R(CMD_MOTION_OFF)} +
           Picture(false) + Picture(false) +
           std::vector<Input>{Event(CameraEventKind::PowerOn, 0, 0, "QVX1M3 1.02"), Event(CameraEventKind::AutoCapture, 1)} +
           Picture(false),
       "picture1 save1 picture2 save2 identify picture1 save1", S::Ok, "", 3},
      // A refused fetch drops the rest of it and the watch goes on; a stop during a fetch
      // is a monitor's normal end.
      {"monitor: refused, then stopped", monitor,
       {Event(CameraEventKind::StoredPictures, 2), R(CMD_GET_FRAME_LEN, 0, Outcome::Refused),
        Event(CameraEventKind::StoredPictures, 1), Abandoned{WaitEnd::Interrupted, {}}},
       "picture1 picture1", S::Ok, "interrupted while fetching a picture", 0},
      {"monitor: a fetch that falls silent", monitor,
       {Event(CameraEventKind::Motion, 1, CMD_MOTION_OFF), Abandoned{WaitEnd::Timeout, {}}}, "",
       S::Timeout, "no reply to CMD_MOTION_OFF within 1000 ms", 0},
      {"monitor: a failed check ends it", monitor,
       std::vector<Input>{Event(CameraEventKind::AutoCapture, 2)} + Picture(false) + std::vector<Input>{SaveAs{S::CheckFailed}},
       "picture1 save1", S::CheckFailed, "", 1},
      {"monitor: the line fails while watching", monitor, {Abandoned{WaitEnd::Line, {}}}, "", S::Line,
       "the line failed: gone", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<CSessionJob> job = c.make();
    EXPECT_EQ(Play(*job, c.script, c.notSent), c.actions);
    ASSERT_TRUE(job->Finished());
    EXPECT_EQ(job->Outcome().status, c.status);
    // The words the front end shows come from the steps' ends, at most one failure each.
    std::string said;
    while (auto ended = job->TakeEnded())
      if (!ended->outcome.message.empty()) said = ended->outcome.message;
    EXPECT_EQ(said, c.message);
    EXPECT_EQ(job->Outcome().saved.size(), c.saved);
  }
}

TEST(SessionJobs, IdentificationAndReadsKeepWhatTheCameraSaid) {
  CIdentifyJob job(1000, true, "");
  Play(job, {R(CMD_GET_VERSION, 0, Outcome::Done, VersionReply{"QVX2M2 1.06"}),
            R(CMD_READ_SETTINGS, 0, Outcome::Done, SettingsReadBack{.serialNumber = 7})});
  EXPECT_EQ(job.Outcome().version, "QVX2M2 1.06");
  EXPECT_EQ(job.Outcome().identification.info.modelCode, 5);
  ASSERT_TRUE(job.Outcome().settings);
  EXPECT_EQ(job.Outcome().settings->serialNumber, 7);
  CropSettings crop;
  crop.width = 64;
  CReadJob read(1000, CameraCommand{.code = CMD_READ_CROP});
  EXPECT_EQ(Play(read, {R(CMD_SET_CROP), R(CMD_READ_CROP, 0, Outcome::Done, crop)}), "issue24");
  ASSERT_TRUE(read.Answer().Data<CropSettings>());
  EXPECT_EQ(read.Answer().Data<CropSettings>()->width, 64);
  // The window starts from the text the camera gave, and reads the settings only when asked.
  CIdentifyJob shown = CIdentifyJob::FromText("QVX2M2 1.06", false);
  EXPECT_EQ(Play(shown, {}), "identify");
  EXPECT_EQ(shown.Outcome().identification.info.firmwareVersion, 106);
}
