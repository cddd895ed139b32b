#pragma once
// `brevant-cli find` and `--baud auto`: where the camera answers, searched with the same
// finder as the window's "Find Camera…".
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "core/CameraFinder.h"

namespace cli {

class ResultWriter;

// The ports to search: each --port given (COMn, COMn=DEVICE or a path), else every
// mapped port.

class CCliFind {
 public:
  // showProgress: redraw "trying COM3 at 115200 ..." on stderr while searching.
  CCliFind(const GlobalOptions& global, ResultWriter& writer, bool showProgress);

  // Searches ports at every rate. kExitOk with `found` set; kExitTimeout (after a one-line
  // hint) when nothing answered; kExitInterrupted after Cancel.
  int Search(const std::vector<FindCandidate>& ports, std::optional<FoundCamera>& found);
  // The `find` command's result line.
  void Report(const FoundCamera& found);
  // From any thread.
  void Cancel();
  // Longest wait for an answer at one port and rate (the finder's own default otherwise).
  void SetTryTimeout(std::chrono::milliseconds timeout) { m_tryTimeout = timeout; }

 private:
  const GlobalOptions& m_global;
  ResultWriter& m_writer;
  bool m_bShowProgress;
  std::chrono::milliseconds m_tryTimeout = CCameraFinder::kDefaultTryTimeout;
  std::mutex m_mutex;  // guards the two below: Cancel may come from a signal thread
  bool m_bCancelled = false;
  CCameraFinder* m_pFinder = nullptr;  // the search under way
};

}  // namespace cli
