#pragma once
// What a station run keeps of each camera: the one record the live display, the reports
// (JUnit, JSON lines, CSV) and the results database are all made from.
#include <optional>
#include <string>
#include <vector>

#include "imaging/PictureFigures.h"

namespace station {

struct StepRecord {
  std::string name;     // the plan's step kind: "find", "version", "profile", "serial",
                        // "capture", "read-stored", "reset"
  bool passed = false;
  bool skipped = false;  // not run: an earlier step failed and the plan stops at a failure
  int status = 0;        // the exit status the step would give as a command of its own
  std::string message;   // why it failed ("" when it passed)
  std::vector<std::string> log;  // the camera's log lines during the step
  double seconds = 0;
};

struct CameraRecord {
  std::string port;           // as listed on --ports (after a glob is expanded)
  std::string device;         // the device path opened
  std::string adapterSerial;  // the USB adapter's serial number ("" when it has none)
  unsigned baud = 0;          // the rate the camera answered at
  std::string version;        // the camera's version text
  std::string serialWritten;  // the unit serial number written ("" when the plan writes none)
  std::string profileHash;    // hash of the profile file applied ("" when none)
  std::string picturePath;    // the picture kept by a capture step ("" when none)
  std::optional<PictureFigures> figures;  // that picture's figures
  std::vector<StepRecord> steps;
  bool passed = false;
  std::string startedAt;  // UTC, ISO 8601 ("2026-12-09T06:01:02Z")
  double seconds = 0;
};

struct StationRun {
  std::string planPath;
  std::string planHash;   // hash of the plan file as read
  std::string station;    // the host name
  std::string startedAt;  // UTC, ISO 8601
  double seconds = 0;
  bool interrupted = false;  // Ctrl+C: the records hold what ran
  std::vector<CameraRecord> cameras;  // in the order of --ports
};

}  // namespace station
