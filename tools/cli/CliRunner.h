#pragma once
// Runs one brevant-cli command line against a camera: checks it, opens the port, asks the
// camera for its version (as the window does on "Open"), runs the command through the
// same engine as the window, prints the results and returns the exit status.
#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace station {
class IResultsStore;
class CStoreInterrupt;
}

namespace cli {

class CConsoleHost;
class CCliFind;
class CSniffer;
class CStation;
class ResultWriter;
struct GlobalOptions;

class CCliRunner {
 public:
  CCliRunner(std::ostream& out, std::ostream& err);
  // args without the program name. Returns the exit status.
  int Run(const std::vector<std::string>& args);
  // From any thread (signal handling): end the run at the next safe point. `monitor`
  // then ends normally; any other command reports the interruption.
  void Interrupt();
  // Local time used for saved names (tests pin it to force name collisions).
  void SetClock(std::function<std::tm()> localTime) { m_localTime = std::move(localTime); }
  // Whether stderr is a terminal: picture transfers then show a progress line there.
  void SetErrorIsTerminal(bool terminal) { m_bErrIsTerminal = terminal; }
  // The terminal's columns, for the station's live display.
  void SetTerminalWidth(unsigned columns) { m_terminalWidth = columns; }
  void SetTerminalRows(unsigned rows) { m_terminalRows = rows; }
  // Where `station` keeps its runs (--db); the program hands it the database store. Without
  // one, `station` is refused before anything is opened.
  void SetResultsStore(const station::IResultsStore& store) { m_pStore = &store; }

 private:
  // `find`, or the rate search of --baud auto on the given port; baud receives the rate found.
  int FindCamera(const GlobalOptions& global, bool report, ResultWriter& writer, unsigned& baud);

  std::ostream& m_out;
  std::ostream& m_err;
  std::function<std::tm()> m_localTime;
  bool m_bErrIsTerminal = false;
  std::atomic<bool> m_interrupted{false};
  std::mutex m_hostMutex;
  CConsoleHost* m_pHost = nullptr;  // the running session's host, for Interrupt
  CCliFind* m_pFind = nullptr;      // the running search, for Interrupt
  CSniffer* m_pSniffer = nullptr;   // the running sniffer, for Interrupt
  unsigned m_terminalWidth = 80;
  unsigned m_terminalRows = 0;  // 0: unknown
  std::mutex m_stationMutex;
  CStation* m_pStation = nullptr;   // the running station, for Interrupt
  // The running report's, or a station's waiting for its start line: for Interrupt.
  station::CStoreInterrupt* m_pWaitInterrupt = nullptr;
  const station::IResultsStore* m_pStore = nullptr;
};

// Convenience for tests and main: one run with a fresh runner.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cli
