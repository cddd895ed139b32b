#pragma once
// One camera's run of a station plan as a step machine with no I/O. The front end asks
// Next() what to do, does it with its own port and session, and hands back what came of it,
// typed, with Take(). The machine decides the rest: the order of the steps, that a camera
// is identified once before the first step that talks to it, what ends the run (a failed
// step when the plan stops there, an interrupt), which picture, figures, serial number and
// profile belong to the unit, and the record and status the camera ends with.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "imaging/PictureFigures.h"
#include "station/StationPlan.h"
#include "station/StationRecord.h"

namespace station {

// A step's status: the exit status it would give as a command of its own.
inline constexpr int kStepPassed = 0;
inline constexpr int kStepCameraFailure = 1;  // the camera answered, not as the plan asks
inline constexpr int kStepUsage = 2;          // the plan asks for what cannot be sent
inline constexpr int kStepInterrupted = 130;

struct CameraAction {
  enum class Kind {
    Find,        // search the rate the camera answers at (step->timeoutMs bounds each try)
    Identify,    // open the port at `baud` and identify the camera
    Profile,     // apply step->profile, checked, written and read back
    Serial,      // write `osdText` on OSD line step->osdLine at step->x, step->y
    Capture,     // capture and save with step->transmit, checked by step->checks
    ReadStored,  // read stored picture step->readIndex
    Reset,
    Prompt,      // ask the operator step->promptText; pass or fail is their answer
    Close,       // the steps are over: close what is open
    Done,        // nothing more; Outcome() is the camera's record
  };
  Kind kind = Kind::Done;
  size_t index = 0;  // the plan's step the action belongs to (not for Close and Done)
  const StationStep* step = nullptr;
  unsigned baud = 0;    // Identify
  std::string osdText;  // Serial: the text as the camera takes it (GB18030 bytes)
};

// What came of an action.
struct ActionResult {
  int status = kStepPassed;
  std::vector<std::string> output;       // result lines for the operator
  std::vector<std::string> diagnostics;  // what went wrong, each said once, in order
  double seconds = 0;
  unsigned baud = 0;    // Find: the rate found; Identify: the rate opened at (0: not opened)
  std::string version;  // Identify: the camera's version text ("" when none came)
  std::string picturePath;  // Capture, ReadStored: the picture kept ("" when none)
  std::optional<PictureFigures> figures;  // that picture's, when it could be measured
};

// How value stands against the limits and marginal band of `limits`.
Outcome JudgeMeasurement(double value, const Measurement& limits);

class CCameraRun {
 public:
  // position: the camera's place in --ports, which the serial step counts from when the
  // unit has no identity. record holds the camera's port facts and the unit (unit,
  // unitSource, attempt: typed, scanned, --unit or the store's counter, set by the front
  // end before the run); the serial step writes a unit's identity as it is. The run fills
  // in the rest.
  CCameraRun(const StationPlan& plan, size_t position, CameraRecord record);

  CameraAction Next();
  // The result of the action Next() last gave.
  void Take(const ActionResult& result);
  // Stop: no further step starts (the rest are skipped); the port is still closed.
  void Interrupt() { m_interrupted = true; }

  bool Finished() const { return m_finished; }
  // The try of the step under way (1 for its first).
  int Attempt() const { return m_attempt; }
  // The record so far; whole once Finished(). Its steps grow one at a time, skipped ones
  // included, in the plan's order.
  const CameraRecord& Outcome() const { return m_record; }

 private:
  void EndStep(int status);
  void Measure(const StationStep& step, const ActionResult& result);
  std::optional<CameraAction> StepAction(size_t index);

  const StationPlan& m_plan;
  size_t m_position;
  CameraRecord m_record;
  CameraAction m_action;  // given out and not yet taken (kind Done: none)
  StepRecord m_step;      // the step under way
  bool m_stepOpen = false;
  std::vector<std::string> m_output, m_errors;  // the step's, in the order they came
  std::string m_serialText;  // what the serial step under way writes
  unsigned m_baud;           // what the camera is opened at
  size_t m_index = 0;  // the plan's step under way
  int m_attempt = 1;   // its try
  bool m_capturedPicture = false;  // the unit's picture is a capture's
  bool m_identified = false;
  bool m_failed = false;
  bool m_interrupted = false;
  bool m_closeGiven = false;
  bool m_finished = false;
};

}  // namespace station
