// `profile save|apply|diff FILE`: the core's profile job driven synchronously on the open
// camera.
#include <fstream>

#include "CliSession.h"

namespace cli {

namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

}  // namespace

int CSession::ProfileJob(CProfileJob& job) {
  m_host.DropBoxes();
  while (!job.Finished()) {
    std::optional<CameraCommand> command = job.Next();
    if (!command) continue;
    if (!IssueProfileCommand(m_cam, *command)) {
      job.NotSent();
      break;
    }
    while (job.Awaited() != 0) {
      const int awaited = job.Awaited();
      CommandResult result;
      const Wait wait = AwaitResult(awaited, result);
      if (wait != Wait::Done) {
        job.Abandon("no answer");
        return Status(wait, awaited);
      }
      PrintLog(result.log, result.Ok(), true);  // the job's summary says what was done
      job.Take(result);
    }
  }
  // Information boxes (a power-on capture's "It will work next Restart!") are results too.
  const bool boxFailure = PrintBoxes();
  const ProfileOutcome& outcome = job.Outcome();
  if (!outcome.completed) {
    m_writer.Error("profile: " + outcome.failure);
    JsonError(kExitCameraFailure, "profile: " + outcome.failure);
    return kExitCameraFailure;
  }
  return boxFailure ? kExitCameraFailure : kExitOk;
}

int CSession::ProfileCommand() {
  const CommandPlan& plan = *m_pPlan;
  const std::string& file = plan.files.at(0);
  const ProfileModel model = ProfileModelFor(m_cam.State().versionText);
  if (plan.profileAction == "save") {
    CProfileJob job(CProfileJob::Mode::Save, model);
    int status = ProfileJob(job);
    if (status != kExitOk) return status;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << WriteProfile(job.Outcome().readBack);
    out.close();
    if (!out) {
      m_writer.Error("profile: cannot write '" + file + "'");
      JsonError(kExitCameraFailure, "profile: cannot write '" + file + "'");
      return kExitCameraFailure;
    }
    ResultLine line = Line("", true);
    line.text = "saved " + file + " from " + model.version;
    line.fields = {Field::Str("path", file), Field::Str("model", model.version)};
    m_writer.Result(line);
    return kExitOk;
  }
  // Nothing is written unless the camera's model can take every setting.
  if (std::optional<ProfileError> refusal =
          CheckProfileForModel(plan.profile, model, plan.profileText)) {
    const std::string text = "profile: " + file + ": " + refusal->Text() + "; nothing written";
    m_writer.Error(text);
    JsonError(kExitCameraFailure, text);
    return kExitCameraFailure;
  }
  const bool apply = plan.profileAction == "apply";
  CProfileJob job(apply ? CProfileJob::Mode::Apply : CProfileJob::Mode::Diff, model, plan.profile);
  int status = ProfileJob(job);
  if (status != kExitOk) return status;
  const ProfileOutcome& o = job.Outcome();
  std::vector<std::string> differences;
  for (const ProfileDifference& d : o.differences) differences.push_back(d.Text());
  ResultLine line = Line("", o.Clean());
  line.text = apply ? "written: " + (o.written.empty() ? "nothing" : Joined(o.written)) + "\n" : "";
  if (!o.refused.empty()) line.text += "refused: " + Joined(o.refused) + "\n";
  if (!o.unverified.empty()) line.text += "not read back: " + Joined(o.unverified) + "\n";
  line.text += differences.empty() ? "no differences" : "differences:";
  for (const std::string& d : differences) line.text += "\n  " + d;
  line.fields = {Field::Str("path", file), Field::Str("model", model.version)};
  if (apply) line.fields.push_back(Field::Str("written", Joined(o.written)));
  line.fields.push_back(Field::Str("refused", Joined(o.refused)));
  line.fields.push_back(Field::Str("unverified", Joined(o.unverified)));
  line.fields.push_back(Field::Int("differences", static_cast<long long>(differences.size())));
  line.fields.push_back(Field::Str("difference_list", Joined(differences)));
  m_writer.Result(line);
  return o.Clean() ? kExitOk : kExitCameraFailure;
}

}  // namespace cli
