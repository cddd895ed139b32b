// brevant-cli: the camera engine of the window, driven from scripts.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "CliRunner.h"
#include "CliTempFiles.h"
#include "StationPrompt.h"
#include "station/StationDb.h"

int main(int argc, char** argv) {
  // A closed stdout pipe must end the run with an error, not kill it mid-transfer.
  signal(SIGPIPE, SIG_IGN);

  // Interrupts are taken by one thread with sigwait, so every other thread (engine,
  // serial monitor) inherits the blocked mask and the run ends at a safe point.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  cli::CCliRunner runner(std::cout, std::cerr);
  runner.SetErrorIsTerminal(isatty(STDERR_FILENO) == 1);
  runner.SetResultsStore(station::DatabaseStore());
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) runner.SetTerminalWidth(size.ws_col);
  if (size.ws_row > 0) runner.SetTerminalRows(size.ws_row);
  // The first signal ends the run at its next safe point, with every report written. A
  // second one (Ctrl+C again, or SIGTERM after it) is someone who will not wait: the
  // temporary pictures and reports in progress are removed, a prompt's terminal gets its
  // line mode and echo back, and the process ends at once, with 128 + the signal's number
  // as a shell reports it (130 for SIGINT, 143 for SIGTERM).
  std::thread([&runner, stopSignals] {
    int signalNumber = 0;
    for (int received = 0; sigwait(&stopSignals, &signalNumber) == 0;) {
      if (++received == 1) {
        runner.Interrupt();
        continue;
      }
      cli::RemoveTemporaryFiles();
      cli::RestoreTerminalModes();
      std::_Exit(128 + signalNumber);
    }
  }).detach();

  std::vector<std::string> args(argv + 1, argv + argc);
  int status = runner.Run(args);
  std::cout.flush();
  // Leave without running static destructors while the signal thread may still look at
  // the runner.
  std::_Exit(status);
}
