#include "CliRunner.h"

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
#include "CliSession.h"
#include "CliSniff.h"
#include "CliTempFiles.h"
#include "CliOutput.h"
#include "CliProgress.h"
#include "CliPorts.h"
#include "CliValues.h"
#include "Station.h"
#include "StationPrompt.h"
#include "StationReport.h"
#include "ConsoleHost.h"
#include "common/Version.h"
#include "core/InputFile.h"
#include "core/ModelIdentification.h"
#include "core/PictureChecks.h"
#include "core/PictureSaver.h"
#include "protocol/CameraProtocol.h"
#include "protocol/CommandCodes.h"
#include "serial/NetworkPort.h"
#include "serial/PortMap.h"


namespace cli {

namespace {

// `check FILE...`: the saved pictures measured, each on its line.
int RunCheckCommand(const GlobalOptions& global, const CommandPlan& plan, std::ostream& out,
                    std::ostream& err) {
  ResultWriter writer(out, err, global.json);
  int worst = kExitOk;
  for (const std::string& file : plan.files) {
    // A missing file or a folder is said as what it is; only a file is decoded.
    std::string why;
    const bool readable = CheckInputFile(file, &why);
    const PictureFigures figures =
        readable ? MeasurePictureFile(file, 0, 0, FigureOptions(plan, global.json)) : PictureFigures{};
    ResultLine line;
    line.command = "check";
    if (!figures.measured) {
      if (readable) why = "not a picture that decodes";
      line.ok = false;
      line.fields = {Field::Str("path", file), Field::Str("error", why)};
      line.text = file + ": " + why;
      writer.Result(line);
      worst = std::max(worst, static_cast<int>(kExitCameraFailure));
      continue;
    }
    line.fields = {Field::Str("path", file), Field::Int("width", figures.width),
                   Field::Int("height", figures.height)};
    line.text = file + " " + std::to_string(figures.width) + "x" + std::to_string(figures.height);
    const int status = AddFigures(line, figures, plan.checks, writer, file);
    writer.Result(line);
    // A picture that fails its checks outranks one that would not decode.
    if (status != kExitOk) worst = status;
  }
  return worst;
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
  InterruptNetworkOpens(true);  // a connect or a server's answer under way ends now
  std::lock_guard<std::mutex> lock(m_hostMutex);
  if (m_pHost) m_pHost->Wake();
  if (m_pFind) m_pFind->Cancel();
  if (m_pSniffer) m_pSniffer->Stop();
  std::lock_guard<std::mutex> stationLock(m_stationMutex);
  if (m_pStation) m_pStation->Interrupt();
  if (m_pWaitInterrupt) m_pWaitInterrupt->Interrupt();
}

int CCliRunner::FindCamera(const GlobalOptions& global, bool report, ResultWriter& writer,
                           unsigned& baud) {
  // Like the transfer meter: only for a person watching stderr.
  const bool progress =
      !global.json && !global.trace && (global.progress < 0 ? m_bErrIsTerminal : global.progress == 1);
  CCliFind find(global, writer, progress);
  {
    std::lock_guard<std::mutex> lock(m_hostMutex);
    m_pFind = &find;
  }
  GlobalOptions where = global;
  if (!report) where.ports = {global.port};  // --baud auto: the port the command names
  std::optional<FoundCamera> found;
  if (m_interrupted) find.Cancel();
  int status = find.Search(SearchCandidates(where.ports), found);
  {
    std::lock_guard<std::mutex> lock(m_hostMutex);
    m_pFind = nullptr;
  }
  if (status != kExitOk) return status;
  baud = found->baud;
  if (report) find.Report(*found);
  return kExitOk;
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
  // Network opens follow this runner's interrupt, not one left by an earlier run in the process.
  InterruptNetworkOpens(m_interrupted);
  GlobalOptions global = parsed.global;
  if (parsed.plan.command == Command::Ports) return RunPortsCommand(global, m_out, m_err);
  if (parsed.plan.command == Command::Check)
    return RunCheckCommand(global, parsed.plan, m_out, m_err);
  if (parsed.plan.command == Command::Report) {
    if (!m_pStore) {
      ResultWriter(m_out, m_err, global.json).Error("report: no results store in this program");
      return kExitLine;
    }
    station::CStoreInterrupt interrupt;
    {
      std::lock_guard<std::mutex> lock(m_stationMutex);
      m_pWaitInterrupt = &interrupt;
    }
    if (m_interrupted) interrupt.Interrupt();
    const int status = RunReportCommand(global, parsed.plan, m_out, m_err, *m_pStore, &interrupt);
    std::lock_guard<std::mutex> lock(m_stationMutex);
    m_pWaitInterrupt = nullptr;
    return interrupt.Interrupted() ? kExitInterrupted : status;
  }
  if (parsed.plan.command == Command::Station) {
    if (parsed.plan.dbTarget.empty()) parsed.plan.dbTarget = global.outDir + "/station.sqlite";
    parsed.plan.terminalWidth = m_terminalWidth;
    parsed.plan.terminalRows = m_terminalRows;
    if (!m_pStore) {
      ResultWriter(m_out, m_err, global.json).Error("station: no results store in this program");
      return kExitLine;
    }
    if (parsed.plan.waitForStart) {
      // Loaded ahead (a window's tile keeps one ready): the plan, ports and store are read
      // once started, so a plan edited meanwhile is the one that runs.
      station::CStoreInterrupt wait;
      {
        std::lock_guard<std::mutex> lock(m_stationMutex);
        m_pWaitInterrupt = &wait;
      }
      if (m_interrupted) wait.Interrupt();
      std::string units;
      const StartWait how = WaitForStartLine(STDIN_FILENO, wait.WakeFd(), units);
      {
        std::lock_guard<std::mutex> lock(m_stationMutex);
        m_pWaitInterrupt = nullptr;
      }
      if (how == StartWait::Interrupted) return kExitInterrupted;
      if (how == StartWait::Closed) return kExitOk;  // nobody started it: nothing was run
      if (!units.empty()) parsed.plan.unitList += (parsed.plan.unitList.empty() ? "" : ",") + units;
    }
    return RunStationCommand(global, parsed.plan, m_out, m_err, m_bErrIsTerminal, m_interrupted,
                             m_localTime, m_stationMutex, m_pStation, *m_pStore);
  }
  if (parsed.plan.command == Command::Sniff) {
    ResultWriter writer(m_out, m_err, global.json);
    return RunSniffCommand(global, parsed.plan, writer, m_interrupted, m_hostMutex, m_pSniffer);
  }
  const bool find = parsed.plan.command == Command::Find;
  if (parsed.plan.WritesPictures()) {
    std::string problem = CheckOutputFolder(global.outDir);
    if (!problem.empty()) {
      m_err << "brevant-cli: " << problem << "\n";
      m_err.flush();
      return kExitUsage;
    }
  }

  ResultWriter writer(m_out, m_err, global.json);
  if (find || global.autoBaud) {
    const int status = FindCamera(global, find, writer, global.baud);
    if (find || status != kExitOk) return status;
  }
  // Where a picture under way lives, for a second Ctrl+C that cannot wait for the run.
  std::optional<CPictureFolder> temporary;
  if (parsed.plan.WritesPictures()) temporary.emplace(global.outDir);
  CConsoleHost host(&writer, global.trace);
  FrameTextOptions frameText;
  frameText.fullHex = global.decodeFull;
  frameText.deltas = global.decodeDeltas;
  host.SetDecode(global.decode, frameText);
  CPcapngTrace capture;
  if (!global.pcapng.empty()) {
    if (!capture.Open(global.pcapng, "brevant-cli " BREVANT_VERSION, global.port)) {
      writer.Error(capture.Error());
      return kExitUsage;
    }
    host.SetCapture(&capture);
  }
  CCliProgress meter([&writer](const std::string& text) { writer.Transient(text); });
  if (WantsProgress(global, parsed.plan, m_bErrIsTerminal)) host.SetProgressMeter(&meter);
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
    const PortName port = GlobalPortMap().Resolve(global.port);
    const int opened = port.number > 0 ? cam.OpenPort(port.number, global.baud)
                                       : cam.OpenDevice(port.device, 0, global.baud);
    if (opened != 1) {
      writer.Error("Open " + PortLabel(port.number, port.device) + " fail, baud is " + std::to_string(global.baud) + ": " +
                   cam.LastOpenError());
      status = kExitLine;
    } else {
      // The engine's notices go to the window's log; a command line says this one itself.
      if (const std::string notice = RawTcpRateNotice(port.device, global.baud); !notice.empty())
        writer.Error(notice);
      CSession session(global, parsed.plan, writer, host, cam, m_interrupted, m_localTime);
      status = session.Run();
      // A capture cut short must not leave a temporary picture behind.
      session.Close();
    }
    cam.StopSender();
  }
  meter.Finish();
  host.FinishTrace();
  // A capture that could not be written whole is not a record of the session.
  if (!global.pcapng.empty() && !capture.Finish()) {
    writer.Error(capture.Error());
    if (status == kExitOk) status = kExitLine;
  }
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
