#include "Station.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <memory>
#include <optional>
#include <thread>

#include "CliFind.h"
#include "CliOutput.h"
#include "CliProgress.h"
#include "CliSession.h"
#include "CliTempFiles.h"
#include "ConsoleHost.h"
#include "StationDisplay.h"
#include "StationEvents.h"
#include "core/PictureChecks.h"
#include "protocol/CameraProtocol.h"
#include "serial/NetworkPort.h"
#include "serial/PortMap.h"
#include "station/CameraRun.h"
#include "station/StationReports.h"
#include "station/StationUnits.h"

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

}  // namespace

// One camera: its host, engine and session on its own thread, doing what its step machine
// asks. Its output is kept typed by its writer and becomes its steps' messages and log
// lines, never text on the process's streams.
class CStation::CCamera {
 public:
  CCamera(CStation& station, size_t index, CameraRecord& record, CStationDisplay& display,
          bool meter)
      : m_station(station), m_index(index), m_record(record), m_display(display),
        m_global(station.m_global), m_writer(m_discard, m_discard, false), m_host(&m_writer, false),
        m_meter([this](const std::string& text) { m_display.Progress(m_index, text); }) {
    m_global.port = station.m_ports[index].device;
    m_global.ports = {m_global.port};
    m_global.serial = station.m_plan.serial;
    m_global.baud = station.m_plan.baud;
    m_writer.Keep();
    if (meter || station.m_pEvents) m_host.SetProgressMeter(&m_meter);
  }

  void SetFolder(const std::string& folder) { m_global.outDir = folder; }
  CConsoleHost* Host() { return &m_host; }
  void Run();

 private:
  using Action = station::CameraAction;
  // Does what the machine asked; the status, what was kept of the output and what the
  // action learnt.
  station::ActionResult Do(const Action& action);
  int Find(const StationStep& step, station::ActionResult& result);
  int Identify(unsigned baud, station::ActionResult& result);
  int Serial(const Action& action);
  int Picture(const StationStep& step, station::ActionResult& result);
  int Profile(const StationStep& step);
  int Prompt(const Action& action);
  int Command(CommandPlan& plan);
  void Close();
  void Resume();

  CStation& m_station;
  size_t m_index;
  CameraRecord& m_record;
  CStationDisplay& m_display;
  GlobalOptions m_global;      // this port's; a step's timeout changes it for the step
  std::ostream m_discard{nullptr};  // the writer keeps everything; nothing reaches a stream
  ResultWriter m_writer;
  CConsoleHost m_host;
  CCliProgress m_meter;
  std::unique_ptr<CCameraProtocol> m_pCam;
  std::unique_ptr<CSession> m_pSession;
  CommandPlan m_command;  // the plan of the command a step runs, kept for the session
  bool m_pictureCut = false;  // a picture step was interrupted: the camera is left stopped
};

void CStation::CCamera::Run() {
  const auto started = SteadyClock::now();
  m_record.startedAt = UtcNow();
  std::vector<std::string> names;
  for (const StationStep& step : m_station.m_plan.steps) names.push_back(step.name);
  m_display.CameraStarted(m_index, m_record, names);
  station::CCameraRun run(m_station.m_plan, m_index, m_record);
  const unsigned timeout = m_global.timeoutMs;
  size_t shown = 0;  // step records whose end the display has
  // The step and try whose start it has last shown; tries of a retried step show each.
  std::pair<size_t, int> begun{SIZE_MAX, 0};
  const auto start = [&](size_t index, int attempt, const std::string& name) {
    if (begun == std::make_pair(index, attempt)) return;
    begun = {index, attempt};
    m_display.StepStarted(m_index, index, attempt > 1 ? name + " (try " + std::to_string(attempt) + ")" : name);
  };
  const auto show = [&] {
    const std::vector<StepRecord>& steps = run.Outcome().steps;
    for (; shown < steps.size(); ++shown) {
      // A step decided without the camera (a version compared) starts and ends at once.
      if (!steps[shown].skipped) start(steps[shown].index, steps[shown].attempt, steps[shown].name);
      m_display.StepEnded(m_index, steps[shown]);
    }
  };
  for (;;) {
    if (m_station.m_interrupted) run.Interrupt();
    const Action action = run.Next();
    show();
    if (action.kind == Action::Kind::Done) break;
    if (action.kind == Action::Kind::Close) {
      Close();
      run.Take({});
      continue;
    }
    start(action.index, run.Attempt(), action.step->name);
    m_global.timeoutMs = action.step->timeoutMs ? action.step->timeoutMs : timeout;
    const auto actionStarted = SteadyClock::now();
    station::ActionResult result = Do(action);
    result.seconds = SecondsSince(actionStarted);
    run.Take(result);
  }
  m_record = run.Outcome();
  m_record.seconds = SecondsSince(started);
  m_display.CameraEnded(m_index, m_record);
}

station::ActionResult CStation::CCamera::Do(const Action& action) {
  station::ActionResult result;
  const StationStep& step = *action.step;
  switch (action.kind) {
    case Action::Kind::Find: result.status = Find(step, result); break;
    case Action::Kind::Identify: result.status = Identify(action.baud, result); break;
    case Action::Kind::Serial: result.status = Serial(action); break;
    case Action::Kind::Capture:
    case Action::Kind::ReadStored: result.status = Picture(step, result); break;
    case Action::Kind::Profile: result.status = Profile(step); break;
    case Action::Kind::Prompt: result.status = Prompt(action); break;
    case Action::Kind::Reset:
      m_command = CommandPlan{};
      m_command.command = Command::Reset;
      m_command.name = step.name;
      result.status = Command(m_command);
      break;
    case Action::Kind::Close:
    case Action::Kind::Done: break;
  }
  ResultWriter::Kept kept = m_writer.TakeKept();
  result.output = std::move(kept.output);
  result.diagnostics = std::move(kept.diagnostics);
  return result;
}

int CStation::CCamera::Find(const StationStep& step, station::ActionResult& result) {
  CCliFind find(m_global, m_writer, false);
  if (step.timeoutMs) find.SetTryTimeout(std::chrono::milliseconds(step.timeoutMs));
  m_station.Register(nullptr, &find, m_index);
  std::optional<FoundCamera> found;
  if (m_station.m_interrupted) find.Cancel();
  const int status = find.Search(SearchCandidates(m_global.ports), found);
  m_station.Register(nullptr, nullptr, m_index);
  if (status == kExitOk) result.baud = found->baud;
  return status;
}

// Opens the port (once: a camera that opened but did not answer is asked again by the next
// step) and identifies the camera.
int CStation::CCamera::Identify(unsigned baud, station::ActionResult& result) {
  if (!m_pCam) {
    m_pCam = std::make_unique<CCameraProtocol>(&m_host);
    m_pCam->StartSender();
    const StationPort& port = m_station.m_ports[m_index];
    if (m_pCam->OpenDevice(port.device, port.number, baud) != 1) {
      m_writer.Error("Open " + port.name + " fail, baud is " + std::to_string(baud) + ": " +
                     m_pCam->LastOpenError());
      m_pCam->StopSender();
      m_pCam.reset();
      return kExitLine;
    }
    if (const std::string notice = RawTcpRateNotice(port.device, baud); !notice.empty())
      m_writer.Error(notice);
    m_global.baud = baud;
    m_command = CommandPlan{};
    m_pSession = std::make_unique<CSession>(m_global, m_command, m_writer, m_host, *m_pCam,
                                            m_station.m_interrupted, m_station.m_localTime);
  }
  SessionSettings settings;
  settings.savePath = m_global.outDir;
  settings.serialNumber = m_global.serial;
  m_pCam->ApplySettings(settings);
  m_pCam->ApplySerialNumber(m_global.serial);
  const int status = m_pSession->Identify(true);
  result.baud = m_global.baud;
  result.version = m_pCam->State().versionText;
  return status;
}

int CStation::CCamera::Serial(const Action& action) {
  const StationStep& step = *action.step;
  m_command = CommandPlan{};
  m_command.command = Command::Osd;
  m_command.name = step.name;
  m_command.osdLine = step.osdLine;
  OsdLineSetting osd;
  osd.line = static_cast<uint8_t>(step.osdLine);
  osd.x = static_cast<uint16_t>(step.x);
  osd.y = static_cast<uint16_t>(step.y);
  osd.length = static_cast<uint8_t>(action.osdText.size());
  std::copy(action.osdText.begin(), action.osdText.end(), osd.text);
  m_command.send = MakeCommand(CMD_SET_OSD, osd);
  return Command(m_command);
}

int CStation::CCamera::Picture(const StationStep& step, station::ActionResult& result) {
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
  const int status = Command(m_command);
  m_pictureCut = m_pictureCut || status == kExitInterrupted;
  const std::string& saved = m_pSession->LastSaved();
  if (saved != before && !saved.empty()) {
    result.picturePath = saved;
    // The costly figures (flat field, MTF) only where the plan's checks read them.
    const PictureFigures figures = m_pSession->MeasureLastSaved(OptionsForChecks(step.checks));
    if (figures.measured) result.figures = figures;
    m_display.Picture(m_index, saved);
  }
  return status;
}

// The same job as `profile apply`: checked against the model, written, read back.
int CStation::CCamera::Profile(const StationStep& step) {
  m_command = CommandPlan{};
  m_command.command = Command::Profile;
  m_command.name = step.name;
  m_command.profileAction = "apply";
  m_command.files = {step.profilePath};
  m_command.profile = step.profile;
  m_command.profileText = step.profileText;
  return Command(m_command);
}

int CStation::CCamera::Prompt(const Action& action) {
  const StationStep& step = *action.step;
  const unsigned timeout = step.timeoutMs ? step.timeoutMs : station::kPromptDefaultTimeoutMs;
  CStationOperator& who = *m_station.m_pOperator;
  const bool keys = who.From() == CStationOperator::Source::Terminal;
  m_display.Prompt(m_index, action.index, step, timeout, keys ? CStationOperator::kKeys : "");
  std::string why;
  const int status = who.Ask(m_station.m_ports[m_index].name, timeout, why);
  if (status != station::kStepPassed) m_writer.Error(why);
  return status;
}

int CStation::CCamera::Command(CommandPlan& plan) {
  m_pSession->SetPlan(plan);
  return m_pSession->RunPlan();
}

// A picture stops the camera on its frame until the resume that ends the transfer; an
// interrupt cuts that short, and the camera would hand the next run the same stale frame.
// It is let run again before the port closes. The wait is bounded and needs no reply to
// go on: a camera that says nothing must not keep the station.
void CStation::CCamera::Resume() {
  if (m_pCam->State().captureMode != CAPTURE_IDLE) m_pCam->StopCapture();
  m_pCam->ClearCommands();
  while (m_host.TakeReport()) {
  }
  if (!m_pCam->Issue(MakeCommand(CMD_RESUME_FRAME))) return;
  // The stop's drain comes first (the line must be quiet before a request is understood).
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(m_global.timeoutMs) +
                        std::chrono::seconds(2);
  for (;;) {
    const uint64_t seq = m_host.Sequence();
    while (std::optional<Report> report = m_host.TakeReport())
      if (!report->isEvent && report->result.code == CMD_RESUME_FRAME) return;
    if (m_host.LineFailure()) return;
    const auto now = SteadyClock::now();
    if (now >= deadline) return;
    m_host.WaitForChange(seq, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

void CStation::CCamera::Close() {
  if (m_pCam) {
    m_station.Register(nullptr, nullptr, m_index);
    if (m_pictureCut) Resume();
    // A capture cut short must not leave a half-written temporary picture behind.
    m_pSession->Close();
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

void CStation::SetDisplay(unsigned rows, CStationEvents* events) {
  m_rows = rows;
  m_pEvents = events;
}

void CStation::Interrupt() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_pOperator) m_pOperator->Wake();
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

std::vector<CameraRecord> CStation::PortRecords() const {
  std::vector<CameraRecord> records;
  for (const StationPort& port : m_ports) {
    CameraRecord record;
    record.port = port.name;
    record.device = port.device;
    record.adapterSerial = port.adapterSerial;
    records.push_back(record);
  }
  return records;
}

StationRun CStation::Run(std::ostream& err, bool stderrTerminal, unsigned width,
                         const std::vector<std::string>& folders, std::vector<CameraRecord> records) {
  StationRun run;
  run.planPath = m_plan.path;
  run.planName = m_plan.name;
  run.planHash = m_plan.hash;
  run.station = HostName();
  run.startedAt = UtcNow();
  const auto started = SteadyClock::now();
  run.cameras = records.size() == m_ports.size() ? std::move(records) : PortRecords();
  CStationDisplay display(err, stderrTerminal, width, run.cameras, m_plan.steps.size(), m_rows,
                          m_pEvents);
  display.SetRun(&run);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pOperator = std::make_unique<CStationOperator>(STDIN_FILENO, m_pEvents != nullptr);
    if (m_interrupted) m_pOperator->Wake();
  }
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
    std::string name = station::PortFolderName(ports[i]);
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

std::string MeasuredText(const station::Measurement& m) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", m.value.value_or(0));
  return text + m.unit;
}

ResultLine CameraLine(const CameraRecord& camera) {
  ResultLine line;
  line.command = "station";
  line.ok = camera.passed;
  const StepRecord* failed = station::FailingStep(camera);
  line.text = camera.port + " " + (camera.passed ? "passed" : "FAILED");
  if (const station::Measurement* m = camera.marginal ? station::MarginalMeasurement(camera) : nullptr)
    line.text += " marginal (" + m->name + " " + MeasuredText(*m) + ", wanted " + m->limitText + ")";
  if (failed) line.text += " at " + failed->name + ": " + failed->message;
  // A unit the operator named is said when no serial number says it; a counted one is
  // the serial number the plan writes.
  if (camera.unitSource == station::UnitSource::Given && camera.unit != camera.serialWritten)
    line.text += " unit " + camera.unit;
  if (camera.attempt > 1) line.text += " attempt " + std::to_string(camera.attempt);
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
                 Field::Num("seconds", camera.seconds),
                 Field::Str("unit", camera.unit),
                 Field::Int("attempt", camera.attempt),
                 Field::Str("result", !camera.passed ? "fail" : camera.marginal ? "marginal" : "pass")};
  return line;
}

}  // namespace

int WriteStationReports(const StationRun& run, const CommandPlan& command, ResultWriter& writer,
                        const IResultsStore& store, const CStoreInterrupt* interrupt) {
  int status = kExitOk;
  const std::string measurementsPath =
      command.csvPath.empty() ? "" : station::MeasurementsCsvPath(command.csvPath);
  const struct {
    const std::string& path;
    std::string (*make)(const StationRun&);
  } reports[] = {{command.junitPath, station::JUnitReport},
                 {command.jsonlPath, station::JsonLinesReport},
                 {command.csvPath, station::CsvReport},
                 {measurementsPath, station::CsvMeasurementsReport}};
  std::string error;
  for (const auto& report : reports) {
    if (report.path.empty()) continue;
    // A second Ctrl+C removes the report's temporary file on its way out.
    std::optional<CTemporaryFile> registered;
    const auto watch = [&registered](const std::string& temp, bool made) {
      if (made) registered.emplace(temp);
      else registered.reset();
    };
    if (!station::WriteReportFile(report.path, report.make(run), error, watch)) {
      writer.Error(error);
      status = kExitLine;
    }
  }
  if (!store.Write(command.dbTarget, run, error, interrupt)) {
    writer.Error(error);
    status = kExitLine;
  }
  return status;
}

int RunStationCommand(const GlobalOptions& global, const CommandPlan& command, std::ostream& out,
                      std::ostream& err, bool stderrTerminal, std::atomic<bool>& interrupted,
                      std::function<std::tm()> localTime, std::mutex& stationMutex,
                      CStation*& running, const IResultsStore& store) {
  ResultWriter writer(out, err, global.json);
  StationPlan plan;
  std::string error;
  std::vector<StationPort> ports;
  std::vector<std::string> folders;
  if (!station::ReadStationPlan(command.planPath, plan, error) ||
      !station::ExpandStationPorts(command.portList, GlobalPortMap(), ports, error) ||
      !MakeFolders(global.outDir, ports, folders, error)) {
    writer.Error(error);
    return kExitUsage;
  }
  CStation run(global, plan, ports, interrupted, std::move(localTime));
  // --events -: the lines share stdout with the result lines, which come after them.
  std::ofstream eventsFile;
  std::optional<CStationEvents> events;
  if (command.eventsPath == "-") {
    events.emplace(out);
  } else if (!command.eventsPath.empty()) {
    eventsFile.open(command.eventsPath, std::ios::trunc);
    if (!eventsFile) {
      writer.Error("--events: cannot write " + command.eventsPath + ": " + std::strerror(errno));
      return kExitUsage;
    }
    events.emplace(eventsFile);
  }
  run.SetDisplay(command.terminalRows, events ? &*events : nullptr);
  {
    std::lock_guard<std::mutex> lock(stationMutex);
    running = &run;
  }
  const auto leave = [&](int status) {
    std::lock_guard<std::mutex> lock(stationMutex);
    running = nullptr;
    return status;
  };
  // The store is found wrong (a wrong password, a server that is down, a file of a newer
  // schema) before the first camera is touched, not after a rack's results were made.
  {
    CStoreInterrupt storeInterrupt;
    run.SetStoreInterrupt(&storeInterrupt);
    const bool usable = store.Check(command.dbTarget, error, &storeInterrupt);
    run.SetStoreInterrupt(nullptr);
    if (!usable) {
      writer.Error(error);
      return leave(storeInterrupt.Interrupted() ? kExitInterrupted : kExitLine);
    }
  }
  // Each port's unit, before the first camera is touched: a unit named twice or a counter
  // the store cannot hand out stops the run while nothing has been done.
  std::vector<CameraRecord> records = run.PortRecords();
  {
    std::vector<station::UnitGiven> given;
    if (!command.unitList.empty() && !station::ParseUnitList(command.unitList, given, error)) {
      writer.Error(error);
      return leave(kExitUsage);
    }
    for (const station::UnitGiven& unit : given) {
      size_t matched = 0;
      for (size_t i = 0; i < ports.size(); ++i)
        if (ports[i].name == unit.port || ports[i].device == unit.port) {
          if (!records[i].unit.empty() && records[i].unit != unit.unit) {
            writer.Error("--unit: " + unit.port + " is given two units");
            return leave(kExitUsage);
          }
          records[i].unit = unit.unit;
          ++matched;
        }
      if (matched == 0) {
        writer.Error("--unit: " + unit.port + " is not one of --ports");
        return leave(kExitUsage);
      }
    }
    for (size_t i = 0; i < records.size(); ++i)
      for (size_t j = 0; j < i; ++j)
        if (!records[i].unit.empty() && records[i].unit == records[j].unit) {
          writer.Error("--unit: unit " + records[i].unit + " is given to two ports");
          return leave(kExitUsage);
        }
    CStoreInterrupt storeInterrupt;
    run.SetStoreInterrupt(&storeInterrupt);
    const bool assigned = station::AssignUnits(plan, store, command.dbTarget, records, error, &storeInterrupt);
    run.SetStoreInterrupt(nullptr);
    if (!assigned) {
      writer.Error(error);
      return leave(storeInterrupt.Interrupted() ? kExitInterrupted : kExitLine);
    }
  }
  if (interrupted) run.Interrupt();
  const StationRun result = run.Run(err, stderrTerminal, command.terminalWidth, folders, records);
  bool passed = !result.cameras.empty();
  for (const CameraRecord& camera : result.cameras) {
    writer.Result(CameraLine(camera));
    passed = passed && camera.passed;
  }
  CStoreInterrupt storeInterrupt;
  run.SetStoreInterrupt(&storeInterrupt);
  const int reports = WriteStationReports(result, command, writer, store, &storeInterrupt);
  run.SetStoreInterrupt(nullptr);
  // Results that could not be kept outrank the interrupt: the operator must know.
  if (reports != kExitOk) return leave(reports);
  if (result.interrupted) return leave(kExitInterrupted);
  return leave(passed ? kExitOk : kExitCameraFailure);
}

}  // namespace cli
