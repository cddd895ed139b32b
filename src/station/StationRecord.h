#pragma once
// What a station run keeps of each camera: the one record the live display, the reports
// (JUnit, JSON lines, CSV) and the results database are all made from.
#include <optional>
#include <string>
#include <vector>

#include "imaging/PictureFigures.h"

namespace station {

// How a measured figure stands against its limits. Marginal passes: the unit is good, but
// close enough to a limit that the line wants to know.
enum class Outcome { Pass, Marginal, Fail };

// "pass", "marginal", "fail": as the reports and the results store spell it.
inline const char* OutcomeName(Outcome outcome) {
  return outcome == Outcome::Pass ? "pass" : outcome == Outcome::Marginal ? "marginal" : "fail";
}

// One figure a step checked. A limit that is absent is open on that side; the marginal
// band lies inside the limits: a value within the limits but outside the band is marginal.
struct Measurement {
  std::string name;             // the figure, as the plan writes it: "sharpness", "luma", ...
  std::optional<double> value;  // absent when the figure could not be measured
  std::string notMeasured;      // why there is no value ("" when there is one)
  std::string unit;             // "%" for shares, "" for plain numbers
  std::optional<double> low, high;                  // fail outside these
  std::optional<double> marginalLow, marginalHigh;  // marginal outside these
  Outcome outcome = Outcome::Fail;  // no value is always a failure
  size_t step = 0;                  // the plan's step (0-based) it belongs to
  std::string stepName;             // that step's kind, as in StepRecord::name
  int attempt = 1;                  // the try of that step (StepRecord::attempt)
  std::string limitText;            // the check as the plan wrote it, for the operator
};

struct StepRecord {
  std::string name;     // the plan's step kind: "find", "version", "profile", "serial",
                        // "capture", "read-stored", "reset"
  bool passed = false;
  bool skipped = false;  // not run: an earlier step failed and the plan stops at a failure
  int status = 0;        // the exit status the step would give as a command of its own
  std::string message;   // why it failed ("" when it passed)
  std::vector<std::string> log;  // the camera's log lines during the step
  double seconds = 0;
  size_t index = 0;  // the plan's step (0-based); a retried step has one record per try
  int attempt = 1;   // the try: 1, then 2.. up to 1 + the step's retries
  bool marginal = false;    // passed with a measurement outside its marginal band
  bool continued = false;   // failed, and the plan goes on past it (continue_on_failure)
  std::string picturePath;  // the picture this step kept (capture, read-stored), "" none
};

// Where a unit's identity came from.
enum class UnitSource {
  None,     // the run has no identity for it ("" unit)
  Given,    // typed or scanned by the operator, or --unit PORT=SERIAL
  Counter,  // allocated from the results store's counter for the plan
};

struct CameraRecord {
  std::string port;           // as listed on --ports (after a glob is expanded)
  std::string device;         // the device path opened
  std::string adapterSerial;  // the USB adapter's serial number ("" when it has none)
  unsigned baud = 0;          // the rate the camera answered at
  std::string version;        // the camera's version text
  std::string serialWritten;  // the unit serial number written ("" when the plan writes none)
  std::string profileHash;    // hash of the profile file applied ("" when none)
  std::string picturePath;    // the picture the unit is judged by: the last checked capture's
  std::optional<PictureFigures> figures;  // that picture's figures
  std::vector<StepRecord> steps;
  bool passed = false;
  std::string startedAt;  // UTC, ISO 8601 ("2026-12-09T06:01:02Z")
  double seconds = 0;
  std::string unit;           // the unit's identity (its serial number), "" when none
  UnitSource unitSource = UnitSource::None;
  int attempt = 1;  // how many times this unit has been tested with this plan, this run included
  std::vector<Measurement> measurements;  // every figure every step checked, every try
  bool marginal = false;     // passed, with a measurement outside its marginal band
  bool interrupted = false;  // Ctrl+C or Stop: the steps after it were not run
};

struct StationRun {
  std::string planPath;
  std::string planHash;   // hash of the plan file as read
  std::string station;    // the host name
  std::string startedAt;  // UTC, ISO 8601
  double seconds = 0;
  bool interrupted = false;  // Ctrl+C: the records hold what ran
  std::vector<CameraRecord> cameras;  // in the order of --ports
  std::string planName;  // StationPlan::name
};

}  // namespace station
