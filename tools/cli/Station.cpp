#include "Station.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <memory>
#include <sstream>
#include <thread>

#include "CliFind.h"
#include "CliOutput.h"
#include "CliProgress.h"
#include "CliSession.h"
#include "CliTempFiles.h"
#include "ConsoleHost.h"
#include "StationDb.h"
#include "StationDisplay.h"
#include "StationReports.h"
#include "core/PictureChecks.h"
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"
#include "protocol/CommandCodes.h"
#include "CliValues.h"
#include "core/TextCodec.h"

namespace cli {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string HostName() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// Lines written to a camera's streams since the last look, and the stream emptied.
std::vector<std::string> TakeLines(std::ostringstream& stream) {
  std::vector<std::string> lines;
  std::istringstream text(stream.str());
  stream.str("");
  for (std::string line; std::getline(text, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

constexpr const char kErrorPrefix[] = "brevant-cli: ";

}  // namespace

// One camera: its host, engine and session on its own thread. Its output goes into string
// streams that become its steps' log lines, never onto the process's stdout.
class CStation::CCamera {
 public:
  CCamera(CStation& station, size_t index, CameraRecord& record, CStationDisplay& display,
          bool meter)
      : m_station(station), m_index(index), m_record(record), m_display(display),
        m_global(station.m_global), m_writer(m_out, m_err, false), m_host(&m_writer, false),
        m_meter([this](const std::string& text) { m_display.Progress(m_index, text); }) {
    m_global.port = station.m_ports[index].device;
    m_global.ports = {m_global.port};
    m_global.serial = station.m_plan.serial;
    m_global.baud = station.m_plan.baud;
    if (meter) m_host.SetProgressMeter(&m_meter);
  }

  void SetFolder(const std::string& folder) { m_global.outDir = folder; }
  CConsoleHost* Host() { return &m_host; }
  void Run();

 private:
  // Runs one step; returns its exit status and fills the step's record.
  int Step(const StationStep& step, StepRecord& record);
  int Find(const StationStep& step);
  int Open();
  int Identified();
  int Version(const StationStep& step);
  int Serial(const StationStep& step);
  int Command(CommandPlan& plan);
  void Close();

  CStation& m_station;
  size_t m_index;
  CameraRecord& m_record;
  CStationDisplay& m_display;
  GlobalOptions m_global;  // this port's; a step's timeout changes it for the step
  std::ostringstream m_out, m_err;
  ResultWriter m_writer;
  CConsoleHost m_host;
  CCliProgress m_meter;
  std::unique_ptr<CCameraProtocol> m_pCam;
  std::unique_ptr<CSession> m_pSession;
  CommandPlan m_command;  // the plan of the command a step runs, kept for the session
  bool m_bOpened = false;
  bool m_bIdentified = false;
};

void CStation::CCamera::Run() {
  const auto started = SteadyClock::now();
  m_record.startedAt = UtcNow();
  bool failed = false;
  const unsigned timeout = m_global.timeoutMs;
  for (size_t i = 0; i < m_station.m_plan.steps.size(); ++i) {
    const StationStep& step = m_station.m_plan.steps[i];
    StepRecord record;
    record.name = step.name;
    // An interrupt ends the camera's run: nothing more is started.
    if ((failed && m_station.m_plan.stopAtFirstFailure) || m_station.m_interrupted) {
      record.skipped = true;
    } else {
      m_display.StepStarted(m_index, i, step.name);
      m_global.timeoutMs = step.timeoutMs ? step.timeoutMs : timeout;
      const auto stepStarted = SteadyClock::now();
      record.status = Step(step, record);
      record.seconds = SecondsSince(stepStarted);
      record.passed = record.status == kExitOk;
      failed = failed || !record.passed;
    }
    m_record.steps.push_back(record);
    m_display.StepEnded(m_index, m_record.steps.back());
  }
  Close();
  // Passed means every step ran and passed: an interrupt leaves the rest skipped.
  m_record.passed = std::all_of(m_record.steps.begin(), m_record.steps.end(),
                                [](const StepRecord& s) { return s.passed; });
  m_record.seconds = SecondsSince(started);
  m_display.CameraEnded(m_index, m_record);
}

int CStation::CCamera::Step(const StationStep& step, StepRecord& record) {
  int status = kExitOk;
  if (step.kind == StationStep::Kind::Find) {
    status = Find(step);
  } else if ((status = Identified()) == kExitOk) {
    switch (step.kind) {
      case StationStep::Kind::Version: status = Version(step); break;
      case StationStep::Kind::Serial: status = Serial(step); break;
      case StationStep::Kind::Capture:
      case StationStep::Kind::ReadStored: {
        m_command = CommandPlan{};
        const bool capture = step.kind == StationStep::Kind::Capture;
        m_command.command = capture ? Command::Capture : Command::ReadStored;
        m_command.name = step.name;
        m_command.checks = step.checks;
        m_command.transmit = step.transmit;
        m_command.readIndex = step.readIndex;
        SessionSettings settings = m_pCam->Settings();
        settings.transmitMode = step.transmit;
        m_pCam->ApplySettings(settings);
        const std::string before = m_pSession->LastSaved();
        status = Command(m_command);
        const std::string& saved = m_pSession->LastSaved();
        if (saved != before && !saved.empty()) {
          m_record.picturePath = saved;
          const PictureFigures figures = MeasurePictureFile(saved);
          if (figures.measured) m_record.figures = figures;
        }
        break;
      }
      case StationStep::Kind::Profile:
        // The same job as `profile apply`: checked against the model, written, read back.
        m_command = CommandPlan{};
        m_command.command = Command::Profile;
        m_command.name = step.name;
        m_command.profileAction = "apply";
        m_command.files = {step.profilePath};
        m_command.profile = step.profile;
        m_command.profileText = step.profileText;
        status = Command(m_command);
        if (status == kExitOk) m_record.profileHash = step.profileHash;
        break;
      case StationStep::Kind::Reset:
        m_command = CommandPlan{};
        m_command.command = Command::Reset;
        m_command.name = step.name;
        status = Command(m_command);
        break;
      default:
        m_writer.Error(step.name + ": not available in this build");
        status = kExitUsage;
        break;
    }
  }
  std::vector<std::string> errors = TakeLines(m_err);
  record.log = TakeLines(m_out);
  for (std::string& line : errors) {
    if (line.rfind(kErrorPrefix, 0) == 0) line.erase(0, sizeof kErrorPrefix - 1);
    if (status != kExitOk) record.message += (record.message.empty() ? "" : "; ") + line;
    record.log.push_back(line);
  }
  if (status == kExitInterrupted && record.message.empty()) record.message = "interrupted";
  if (status != kExitOk && record.message.empty()) record.message = "failed";
  return status;
}

int CStation::CCamera::Find(const StationStep& step) {
  CCliFind find(m_global, m_writer, false);
  if (step.timeoutMs) find.SetTryTimeout(std::chrono::milliseconds(step.timeoutMs));
  m_station.Register(nullptr, &find, m_index);
  std::optional<FoundCamera> found;
  if (m_station.m_interrupted) find.Cancel();
  const int status = find.Search(SearchCandidates(m_global.ports), found);
  m_station.Register(nullptr, nullptr, m_index);
  if (status == kExitOk) m_global.baud = found->baud;
  return status;
}

int CStation::CCamera::Open() {
  if (m_bOpened) return kExitOk;
  m_pCam = std::make_unique<CCameraProtocol>(&m_host);
  m_pCam->StartSender();
  const StationPort& port = m_station.m_ports[m_index];
  if (m_pCam->OpenDevice(port.device, port.number, m_global.baud) != 1) {
    m_writer.Error("Open " + port.name + " fail, baud is " + std::to_string(m_global.baud) +
                   ": " + m_pCam->LastOpenError());
    m_pCam->StopSender();
    m_pCam.reset();
    return kExitLine;
  }
  m_bOpened = true;
  m_record.baud = m_global.baud;
  m_command = CommandPlan{};
  m_pSession = std::make_unique<CSession>(m_global, m_command, m_writer, m_host, *m_pCam,
                                          m_station.m_interrupted, m_station.m_localTime);
  return kExitOk;
}

// The camera opened and identified once, by the first step that talks to it.
int CStation::CCamera::Identified() {
  if (m_bIdentified) return kExitOk;
  const int opened = Open();
  if (opened != kExitOk) return opened;
  SessionSettings settings;
  settings.savePath = m_global.outDir;
  settings.serialNumber = m_global.serial;
  m_pCam->ApplySettings(settings);
  m_pCam->ApplySerialNumber(m_global.serial);
  const int status = m_pSession->Identify(true);
  m_record.version = m_pCam->State().versionText;
  m_bIdentified = status == kExitOk;
  return status;
}

int CStation::CCamera::Version(const StationStep& step) {
  if (fnmatch(step.expect.c_str(), m_record.version.c_str(), 0) == 0) return kExitOk;
  m_writer.Error("version '" + m_record.version + "' does not match '" + step.expect + "'");
  return kExitCameraFailure;
}

int CStation::CCamera::Serial(const StationStep& step) {
  const std::string text = SerialText(step, m_index);
  auto bytes = Utf8ToGb18030(text);
  if (!bytes || bytes->size() > 160) {
    m_writer.Error("serial: '" + text + "' does not fit an OSD line");
    return kExitUsage;
  }
  m_command = CommandPlan{};
  m_command.command = Command::Osd;
  m_command.name = step.name;
  m_command.osdLine = step.osdLine;
  OsdLineSetting osd;
  osd.line = static_cast<uint8_t>(step.osdLine);
  osd.x = static_cast<uint16_t>(step.x);
  osd.y = static_cast<uint16_t>(step.y);
  osd.length = static_cast<uint8_t>(bytes->size());
  std::copy(bytes->begin(), bytes->end(), osd.text);
  m_command.send = MakeCommand(CMD_SET_OSD, osd);
  const int status = Command(m_command);
  if (status == kExitOk) m_record.serialWritten = text;
  return status;
}

int CStation::CCamera::Command(CommandPlan& plan) {
  m_pSession->SetPlan(plan);
  return m_pSession->RunPlan();
}

void CStation::CCamera::Close() {
  if (m_pCam) {
    m_station.Register(nullptr, nullptr, m_index);
    // A capture cut short must not leave a half-written temporary picture behind.
    if (m_bOpened) m_pSession->Close();
    m_pCam->StopSender();
  }
  m_pSession.reset();
  m_pCam.reset();
  m_meter.Finish();
}

// ---------------------------------------------------------------------------------------

CStation::CStation(const GlobalOptions& global, const StationPlan& plan,
                   std::vector<StationPort> ports, std::atomic<bool>& interrupted,
                   std::function<std::tm()> localTime)
    : m_global(global), m_plan(plan), m_ports(std::move(ports)), m_interrupted(interrupted),
      m_localTime(std::move(localTime)), m_hosts(m_ports.size(), nullptr),
      m_finds(m_ports.size(), nullptr) {}

void CStation::Register(CConsoleHost* host, CCliFind* find, size_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (host) m_hosts[index] = host;
  m_finds[index] = find;
}

void CStation::Interrupt() {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (CConsoleHost* host : m_hosts)
    if (host) host->Wake();
  for (CCliFind* find : m_finds)
    if (find) find->Cancel();
  if (m_pStoreInterrupt) m_pStoreInterrupt->Interrupt();
}

void CStation::SetStoreInterrupt(CStoreInterrupt* interrupt) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pStoreInterrupt = interrupt;
}

StationRun CStation::Run(std::ostream& err, bool stderrTerminal, unsigned width,
                         const std::vector<std::string>& folders) {
  StationRun run;
  run.planPath = m_plan.path;
  run.planHash = m_plan.hash;
  run.station = HostName();
  run.startedAt = UtcNow();
  const auto started = SteadyClock::now();
  for (const StationPort& port : m_ports) {
    CameraRecord record;
    record.port = port.name;
    record.device = port.device;
    record.adapterSerial = port.adapterSerial;
    run.cameras.push_back(record);
  }
  CStationDisplay display(err, stderrTerminal, width, run.cameras, m_plan.steps.size());
  std::vector<std::unique_ptr<CCamera>> cameras;
  std::vector<std::unique_ptr<CPictureFolder>> temporary;
  for (size_t i = 0; i < m_ports.size(); ++i) {
    temporary.push_back(std::make_unique<CPictureFolder>(folders[i]));
    cameras.push_back(std::make_unique<CCamera>(*this, i, run.cameras[i], display, stderrTerminal));
    cameras.back()->SetFolder(folders[i]);
  }
  std::vector<std::thread> threads;
  for (size_t i = 0; i < cameras.size(); ++i) {
    Register(cameras[i]->Host(), nullptr, i);
    threads.emplace_back([&camera = *cameras[i]] { camera.Run(); });
  }
  for (std::thread& thread : threads) thread.join();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fill(m_hosts.begin(), m_hosts.end(), nullptr);
  }
  display.Finish();
  run.interrupted = m_interrupted;
  run.seconds = SecondsSince(started);
  return run;
}

namespace {

// Each camera keeps its pictures (and its temporary file) in a folder of its own: eight
// engines writing "jpeg.tmp" into one folder would write into each other's pictures.
bool MakeFolders(const std::string& out, const std::vector<StationPort>& ports,
                 std::vector<std::string>& folders, std::string& error) {
  struct stat st {};
  if (stat(out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(out.c_str(), W_OK | X_OK) != 0) {
    error = "--out: '" + out + "' is not a writable folder";
    return false;
  }
  std::set<std::string> taken;
  for (size_t i = 0; i < ports.size(); ++i) {
    std::string name = PortFolderName(ports[i]);
    if (!taken.insert(name).second) taken.insert(name += "-" + std::to_string(i + 1));
    const std::string folder = out + "/" + name;
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
      error = "--out: cannot make " + folder + ": " + std::strerror(errno);
      return false;
    }
    folders.push_back(folder);
  }
  return true;
}

ResultLine CameraLine(const CameraRecord& camera) {
  ResultLine line;
  line.command = "station";
  line.ok = camera.passed;
  const StepRecord* failed = nullptr;
  for (const StepRecord& step : camera.steps)
    if (!failed && !step.passed && !step.skipped) failed = &step;
  line.text = camera.port + " " + (camera.passed ? "passed" : "FAILED");
  if (failed) line.text += " at " + failed->name + ": " + failed->message;
  if (!camera.serialWritten.empty()) line.text += " serial " + camera.serialWritten;
  if (!camera.picturePath.empty()) line.text += " picture " + camera.picturePath;
  line.fields = {Field::Str("port", camera.port),
                 Field::Str("device", camera.device),
                 Field::Str("adapter_serial", camera.adapterSerial),
                 Field::Str("version", camera.version),
                 Field::Str("serial_written", camera.serialWritten),
                 Field::Str("picture", camera.picturePath),
                 Field::Str("failed_step", failed ? failed->name : ""),
                 Field::Str("error", failed ? failed->message : ""),
                 Field::Num("seconds", camera.seconds)};
  return line;
}

}  // namespace

int WriteStationReports(const StationRun& run, const CommandPlan& command, ResultWriter& writer,
                        const CStoreInterrupt* interrupt) {
  int status = kExitOk;
  const struct {
    const std::string& path;
    std::string (*make)(const StationRun&);
  } reports[] = {{command.junitPath, JUnitReport},
                 {command.jsonlPath, JsonLinesReport},
                 {command.csvPath, CsvReport}};
  std::string error;
  for (const auto& report : reports) {
    if (report.path.empty()) continue;
    if (!WriteReportFile(report.path, report.make(run), error)) {
      writer.Error(error);
      status = kExitLine;
    }
  }
  if (!WriteStationDb(command.dbTarget, run, error, interrupt)) {
    writer.Error(error);
    status = kExitLine;
  }
  return status;
}

int RunStationCommand(const GlobalOptions& global, const CommandPlan& command, std::ostream& out,
                      std::ostream& err, bool stderrTerminal, std::atomic<bool>& interrupted,
                      std::function<std::tm()> localTime, std::mutex& stationMutex,
                      CStation*& station) {
  ResultWriter writer(out, err, global.json);
  StationPlan plan;
  std::string error;
  std::vector<StationPort> ports;
  std::vector<std::string> folders;
  if (!ReadStationPlan(command.planPath, plan, error) ||
      !ExpandStationPorts(command.portList, GlobalPortMap(), ports, error) ||
      !MakeFolders(global.outDir, ports, folders, error)) {
    writer.Error(error);
    return kExitUsage;
  }
  CStation run(global, plan, ports, interrupted, std::move(localTime));
  {
    std::lock_guard<std::mutex> lock(stationMutex);
    station = &run;
  }
  const auto leave = [&](int status) {
    std::lock_guard<std::mutex> lock(stationMutex);
    station = nullptr;
    return status;
  };
  // The store is found wrong (a wrong password, a server that is down, a file of a newer
  // schema) before the first camera is touched, not after a rack's results were made.
  {
    CStoreInterrupt storeInterrupt;
    run.SetStoreInterrupt(&storeInterrupt);
    const bool usable = CheckStationDb(command.dbTarget, error, &storeInterrupt);
    run.SetStoreInterrupt(nullptr);
    if (!usable) {
      writer.Error(error);
      return leave(storeInterrupt.Interrupted() ? kExitInterrupted : kExitLine);
    }
  }
  if (interrupted) run.Interrupt();
  const StationRun result = run.Run(err, stderrTerminal, command.terminalWidth, folders);
  bool passed = !result.cameras.empty();
  for (const CameraRecord& camera : result.cameras) {
    writer.Result(CameraLine(camera));
    passed = passed && camera.passed;
  }
  CStoreInterrupt storeInterrupt;
  run.SetStoreInterrupt(&storeInterrupt);
  const int reports = WriteStationReports(result, command, writer, &storeInterrupt);
  run.SetStoreInterrupt(nullptr);
  // Results that could not be kept outrank the interrupt: the operator must know.
  if (reports != kExitOk) return leave(reports);
  if (result.interrupted) return leave(kExitInterrupted);
  return leave(passed ? kExitOk : kExitCameraFailure);
}

}  // namespace cli
