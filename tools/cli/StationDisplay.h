#pragma once
// What a station run shows while it runs. On a terminal one line per port redrawn in place
// (port, adapter serial, step, progress, result); elsewhere (a log file, a pipe) one plain
// line per finished step, "PORT STEP ok|FAILED message|skipped". Called from every
// camera's thread; each call writes whole lines under one lock, so ports never interleave.
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "station/StationRecord.h"

namespace cli {

using station::CameraRecord;
using station::StepRecord;

class CStationDisplay {
 public:
  // width: the terminal's columns (lines are cut to it, so the cursor moves stay right).
  CStationDisplay(std::ostream& err, bool terminal, unsigned width,
                  const std::vector<CameraRecord>& cameras, size_t stepCount);

  void StepStarted(size_t camera, size_t index, const std::string& step);
  // The transfer meter's text of the step under way ("" when none).
  void Progress(size_t camera, const std::string& text);
  void StepEnded(size_t camera, const StepRecord& step);
  void CameraEnded(size_t camera, const CameraRecord& record);
  // The last redraw (a terminal's lines stay as the run left them).
  void Finish();

  // Redraws of progress alone are at most this often; a step's start or end always draws.
  static constexpr std::chrono::milliseconds kRedrawEvery{200};

 private:
  struct Row {
    std::string port, serial, step, progress, result;
  };
  std::string Text(const Row& row) const;
  void DrawLocked();

  std::ostream& m_err;
  bool m_bTerminal;
  unsigned m_width;
  size_t m_stepCount;
  size_t m_portWidth = 0, m_serialWidth = 0;
  std::mutex m_mutex;
  std::vector<Row> m_rows;
  bool m_bDrawn = false;
  std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace cli
