#pragma once
// `brevant-cli station PLAN --ports LIST`: the plan run on every listed camera at once,
// one engine per port on a thread of its own, none waiting for another. Each camera's
// output goes to its record and the display; stdout gets one result line per camera.
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "CliOptions.h"
#include "StationPrompt.h"
#include "station/StationPlan.h"
#include "station/StationPorts.h"
#include "station/StationRecord.h"
#include "station/StationStore.h"

namespace cli {

using station::CameraRecord;
using station::CStoreInterrupt;
using station::IResultsStore;
using station::StationPlan;
using station::StationPort;
using station::StationRun;
using station::StationStep;
using station::StepRecord;

class CConsoleHost;
class CStationEvents;
class ResultWriter;

// The reports and results database the command line asks for (--junit, --jsonl, --csv,
// --db, kept in store): kExitOk, or kExitLine after naming each one that could not be
// written. interrupt ends the database's waits.
int WriteStationReports(const StationRun& run, const CommandPlan& command, ResultWriter& writer,
                        const IResultsStore& store, const CStoreInterrupt* interrupt = nullptr);
class CCliFind;

class CStation {
 public:
  CStation(const GlobalOptions& global, const StationPlan& plan, std::vector<StationPort> ports,
           std::atomic<bool>& interrupted, std::function<std::tm()> localTime);

  // Runs every camera and returns when all have ended (closed). stderrTerminal: the live
  // display redraws its lines in place, else plain lines per step; width: its columns.
  // folders: where each camera keeps its pictures.
  // records: each port's record to start from, with its unit (PortRecords(), then
  // AssignUnits); empty: PortRecords() as they are.
  StationRun Run(std::ostream& err, bool stderrTerminal, unsigned width,
                 const std::vector<std::string>& folders, std::vector<CameraRecord> records = {});
  // One record per port with the port's facts, in the order of --ports.
  std::vector<CameraRecord> PortRecords() const;
  // From any thread, after the interrupted flag was set: wakes every camera's waits, and
  // the results store's while it is being checked or written.
  void Interrupt();
  // The store's interrupt while the store is at work (nullptr after). One that ended the
  // run does not reach the store: the run's results are still written.
  void SetStoreInterrupt(CStoreInterrupt* interrupt);
  // The terminal's rows for the live display (0: unknown), and where events go (nullptr:
  // nowhere; prompts are then asked on the terminal).
  void SetDisplay(unsigned rows, CStationEvents* events);

 private:
  class CCamera;
  // The hosts and searches under way, so an interrupt reaches each of them.
  void Register(CConsoleHost* host, CCliFind* find, size_t index);

  const GlobalOptions& m_global;
  const StationPlan& m_plan;
  std::vector<StationPort> m_ports;
  std::atomic<bool>& m_interrupted;
  std::function<std::tm()> m_localTime;
  std::mutex m_mutex;
  std::vector<CConsoleHost*> m_hosts;
  std::vector<CCliFind*> m_finds;
  CStoreInterrupt* m_pStoreInterrupt = nullptr;
  unsigned m_rows = 0;
  CStationEvents* m_pEvents = nullptr;
  std::unique_ptr<CStationOperator> m_pOperator;
};

// The whole command: reads the plan and the ports (status 2 before any port is opened when
// either is wrong), checks the results store (store, at --db) (status 3 before any port is opened when it
// cannot take the run), runs, prints the result lines, writes the reports. 0 when every
// camera passed, 1 when one failed, 3 when a report or the store could not be written (even
// after an interrupt: the results are what is lost), else 130 when interrupted. `running` receives the running station
// (then nullptr again) under stationMutex, for Interrupt.
int RunStationCommand(const GlobalOptions& global, const CommandPlan& command, std::ostream& out,
                      std::ostream& err, bool stderrTerminal, std::atomic<bool>& interrupted,
                      std::function<std::tm()> localTime, std::mutex& stationMutex,
                      CStation*& running, const IResultsStore& store);

}  // namespace cli
