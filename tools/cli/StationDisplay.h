#pragma once
// What a station run shows while it runs. On a terminal one line per port redrawn in place
// (port, adapter serial, step, progress, result); elsewhere (a log file, a pipe) one plain
// line per finished step, "PORT STEP ok|FAILED message|skipped"; so too on a terminal with
// fewer rows than ports, where rows redrawn in place would scroll away and be repeated.
// Text from the camera is escaped: its control bytes never reach the terminal. Called from every
// camera's thread; each call writes whole lines under one lock, so ports never interleave.
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "station/StationPlan.h"
#include "station/StationRecord.h"

namespace cli {

class CStationEvents;

// text with every control character (C0, DEL, C1) written as \xNN and bytes that are not
// UTF-8 as U+FFFD: a camera's text cannot move the cursor, clear the screen or retitle
// the terminal.
std::string TerminalSafe(const std::string& text);

using station::CameraRecord;
using station::StepRecord;

class CStationDisplay {
 public:
  // width, height: the terminal's columns (lines are cut to it, so the cursor moves stay
  // right) and rows (0: unknown). events, when given, is told of everything too.
  CStationDisplay(std::ostream& err, bool terminal, unsigned width,
                  const std::vector<CameraRecord>& cameras, size_t stepCount,
                  unsigned height = 0, CStationEvents* events = nullptr);

  // The camera's thread starts (the events' first line for it).
  void CameraStarted(size_t camera, const CameraRecord& record,
                     const std::vector<std::string>& steps);
  void Picture(size_t camera, const std::string& path);
  // The operator is asked (on the terminal's row, a plain line, or the events); keys:
  // the keys that answer on a terminal, "" when the answer comes another way.
  void Prompt(size_t camera, size_t index, const station::StationStep& step, unsigned timeoutMs,
              const std::string& keys);
  // The whole run's facts, for the camera's record in the events.
  void SetRun(const station::StationRun* run) { m_pRun = run; }

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
  bool m_bTerminal;  // rows redrawn in place
  CStationEvents* m_pEvents;
  const station::StationRun* m_pRun = nullptr;
  unsigned m_width;
  size_t m_stepCount;
  size_t m_portWidth = 0, m_serialWidth = 0;
  std::mutex m_mutex;
  std::vector<Row> m_rows;
  std::vector<size_t> m_ended;  // steps each camera has ended, for their index
  bool m_bDrawn = false;
  std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace cli
