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
    if (!m_cam.Issue(*command)) {
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
    const std::vector<std::string> unread = UnreportedSettings(model);
    // A file of nothing but the model would be a profile in name only.
    if (WriteProfile(job.Outcome().readBack) == WriteProfile(Profile{kProfileFormat, model.version, {}})) {
      const std::string text = "profile: " + model.version + " reports none of its settings (" +
                               Joined(unread) + "); nothing saved";
      m_writer.Error(text);
      JsonError(kExitNotCompared, text);
      return kExitNotCompared;
    }
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
    if (!unread.empty()) line.text += "\nnot read (the camera cannot report them): " + Joined(unread);
    line.fields = {Field::Str("path", file), Field::Str("model", model.version),
                   Field::Str("not_read", Joined(unread))};
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
  if (std::optional<std::string> warning = ProfileModelWarning(plan.profile, model))
    m_writer.Error("profile: " + file + ": " + *warning);
  const bool apply = plan.profileAction == "apply";
  CProfileJob job(apply ? CProfileJob::Mode::Apply : CProfileJob::Mode::Diff, model, plan.profile);
  const int status = ProfileJob(job);
  // Whatever ended the job, the operator learns what the camera now holds.
  const ProfileOutcome& o = job.Outcome();
  std::vector<std::string> differences;
  for (const ProfileDifference& d : o.differences) differences.push_back(d.Text());
  const bool compared = o.completed && o.compared > 0;
  ResultLine line = Line("", status == kExitOk && o.Clean() && (apply || compared));
  line.text = apply ? "written: " + (o.written.empty() ? "nothing" : Joined(o.written)) + "\n" : "";
  if (!o.refused.empty()) line.text += "refused: " + Joined(o.refused) + "\n";
  if (!o.notWritten.empty()) line.text += "not written: " + Joined(o.notWritten) + "\n";
  if (!o.unverified.empty()) line.text += "not read back: " + Joined(o.unverified) + "\n";
  if (!o.completed)
    line.text += "not compared: stopped (" + o.failure + ")";
  else if (!compared)
    line.text += "nothing compared: " + (o.unverified.empty() ? std::string("the profile names no settings")
                                                              : model.version + " reports none of the settings the profile names");
  else
    line.text += differences.empty() ? "no differences" : "differences:";
  for (const std::string& d : differences) line.text += "\n  " + d;
  line.fields = {Field::Str("path", file), Field::Str("model", model.version)};
  if (apply) line.fields.push_back(Field::Str("written", Joined(o.written)));
  line.fields.push_back(Field::Str("refused", Joined(o.refused)));
  if (apply) line.fields.push_back(Field::Str("not_written", Joined(o.notWritten)));
  line.fields.push_back(Field::Str("unverified", Joined(o.unverified)));
  line.fields.push_back(Field::Bool("compared", compared));
  line.fields.push_back(Field::Int("differences", static_cast<long long>(differences.size())));
  line.fields.push_back(Field::Str("difference_list", Joined(differences)));
  m_writer.Result(line);
  if (status != kExitOk) return status;
  if (!o.Clean()) return kExitCameraFailure;
  return apply || compared ? kExitOk : kExitNotCompared;
}

}  // namespace cli
