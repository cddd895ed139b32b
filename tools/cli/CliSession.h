#pragma once
// CSession: one open camera driven through the engine, as brevant-cli runs it. The runner
// builds one per command line; a station keeps one per port and runs its steps on it.
#include <atomic>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliOutput.h"
#include "ConsoleHost.h"
#include "core/ModelIdentification.h"
#include "core/Profile.h"
#include "imaging/PictureFigures.h"
#include "protocol/CameraProtocol.h"
#include "session/SessionJob.h"

namespace cli {

enum class Wait { Done, Timeout, Line, Interrupted };

// The command line's exit status of a session step's outcome.
constexpr int ExitStatus(SessionStatus status) {
  switch (status) {
    case SessionStatus::Ok: return kExitOk;
    case SessionStatus::CameraFailure: return kExitCameraFailure;
    case SessionStatus::Usage: return kExitUsage;
    case SessionStatus::Line: return kExitLine;
    case SessionStatus::Timeout: return kExitTimeout;
    case SessionStatus::CheckFailed: return kExitCheckFailed;
    case SessionStatus::NotCompared: return kExitNotCompared;
    case SessionStatus::Interrupted: return kExitInterrupted;
  }
  return kExitCameraFailure;
}

// The costly figures a command's checks, --roi and --json ask for.
MeasureOptions FigureOptions(const CommandPlan& plan, bool json);
// A picture's figures on its result line (a second text line, and fields for --json),
// and the checks it failed on stderr (a damaged `file` is named): kExitCheckFailed when
// any failed.
int AddFigures(ResultLine& line, const PictureFigures& f, const std::vector<PictureCheck>& checks,
               ResultWriter& writer, const std::string& file);

class CSession {
 public:
  CSession(const GlobalOptions& global, const CommandPlan& plan, ResultWriter& writer,
           CConsoleHost& host, CCameraProtocol& cam, std::atomic<bool>& interrupted,
           const std::function<std::tm()>& localTime)
      : m_global(global), m_pPlan(&plan), m_writer(writer), m_host(host), m_cam(cam),
        m_interrupted(interrupted), m_localTime(localTime) {}

  // The whole command line: the camera identified (as the window's Open does), then the plan.
  int Run();
  // The plan alone, on a camera already identified.
  int RunPlan();
  // The next plan to run on the same open camera (several steps, one engine). The plan must
  // outlive its run.
  void SetPlan(const CommandPlan& plan) { m_pPlan = &plan; }
  const ModelInfo& Model() const { return m_model; }
  CCameraProtocol& Camera() { return m_cam; }
  ResultWriter& Writer() { return m_writer; }
  // The picture the last Picture saved ("" when it saved none).
  const std::string& LastSaved() const { return m_lastSaved; }
  // Its figures, read as what the engine asked the camera for (an NV12 frame or a JPEG), not
  // as its name suggests; not measured when none was saved.
  PictureFigures MeasureLastSaved(const MeasureOptions& options) const;
  // Ends the run on this camera: a capture cut short is stopped, the port closed and the
  // worker joined (a decode under way is abandoned); a picture the run never got to save
  // (interrupted, silent camera, line lost) leaves no temporary file.
  void Close();

  // ---- waiting ----
  Wait WaitFor(const std::function<bool()>& done);
  // Waits for the next report and takes it.
  Wait NextReport(Report& report);
  // Waits for the result of `code`, printing (per Print) whatever else is reported first.
  Wait AwaitResult(int code, CommandResult& result);
  // The exit status of a wait that ended early, or of a result, said on the way.
  int Status(Wait wait, int code);
  int StatusOf(const CommandResult& result);
  bool SleepInterruptible(unsigned ms);

  // ---- steps: the session's step machines, driven here ----
  // Runs the job until it is done (a monitor's: until it waits for the camera again);
  // boxes: the boxes each command or picture raised are shown with its outcome.
  int Drive(CSessionJob& job, bool boxes);
  int Identify(bool readSettings);
  // Issues one command and waits for its result; chain: follow the commands its reply
  // sends in turn (a reset after a new image size) until the last has answered.
  int Simple(const CameraCommand& command, bool chain = false);
  // Issues a read and waits for its answer: kExitOk with the answer, else the status said.
  int Read(const CameraCommand& command, CommandResult& answer);
  int SavePicture(const PictureReply& picture, double seconds, int index);
  int Capture();
  int ReadStored();
  int Version();
  int Settings();
  int ImageParamsReadOrReset(bool reset);
  int CropRead();
  int DetectionRead();
  int Burst();
  int Monitor();
  // `profile save|apply|diff` (CliProfile.cpp); ProfileJob drives a job to its end.
  int ProfileCommand();
  int ProfileJob(CProfileJob& job);
  CameraCommand SettingCommand(bool& chain);
  void PrintImageParams(const std::string& message, const ImageParams& p);

 private:
  // ---- output ----
  ResultLine Line(const std::string& message, bool ok) const {
    ResultLine line;
    line.command = m_pPlan->name;
    line.ok = ok;
    line.message = message;
    return line;
  }
  // The log lines of a report: error lines as diagnostics, the others as result lines
  // (failed ones when the command failed). A picture's steps show only their errors.
  void Print(const Report& report);
  void PrintLog(const std::vector<LogLine>& log, bool ok, bool errorsOnly);
  void PrintBoxes();
  // In JSON mode a run that ends in an error still leaves one object on stdout.
  void JsonError(int status, const std::string& text);
  // An outcome's words (on stderr, and as the JSON error object), and its exit status.
  int Say(const SessionOutcome& outcome);
  void SayEnded(CSessionJob& job, bool boxes);
  void Take(CSessionJob& job, const SessionAction& wait);
  void StartPicture(const SessionAction& start);
  std::string LineReason() const { return m_host.LineFailure().value_or(""); }
  CommandResult WithLineReason(const CommandResult& result) const;
  static WaitEnd Ended(Wait wait) {
    return wait == Wait::Line ? WaitEnd::Line : wait == Wait::Timeout ? WaitEnd::Timeout
                                                                      : WaitEnd::Interrupted;
  }

  const GlobalOptions& m_global;
  const CommandPlan* m_pPlan;
  ResultWriter& m_writer;
  CConsoleHost& m_host;
  CCameraProtocol& m_cam;
  std::atomic<bool>& m_interrupted;
  const std::function<std::tm()>& m_localTime;
  ModelInfo m_model;
  CommandResult m_version;  // the version query's result, from Identify
  SettingsReadBack m_settingsRead;  // the settings Identify read back (-1: not reported)
  std::string m_lastSaved;
  bool m_lastSavedYuv = false;
  bool m_bPictureUnsaved = false;  // a picture was started and has not reached SavePicture
};

}  // namespace cli
