#pragma once
// What the engine tells its host when a command has finished, and what the camera reported
// by itself. Front ends act on these; the activity-log lines are the operator's record
// only and are carried along (`log`) so a front end can show them without parsing them.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "protocol/FeatureRecords.h"

// Values read back from the camera by CMD_READ_SETTINGS (-1 = leave the control unchanged).
struct SettingsReadBack {
  int serialNumber = -1;
  int imageSizeIndex = -1;   // position in the 14-entry size list
  int defaultRateIndex = -1; // position among the eight baud codes
  int compressionIndex = -1; // byte - 0x36
  int detectionKind = -1;    // 0 motion, 1 person, 2 vehicle
};

enum class Outcome {
  Done,          // the camera answered as expected
  Refused,       // the camera answered with a failure status (`status`)
  NoValidReply,  // what came back was not this command's reply; the entry was dropped
  Cancelled,     // dropped by Stop Capture, Close or a new capture before it was answered
  LineFailed,    // the port failed while it was pending
  Failed,        // answered, but the tool could not finish it (`reason` says why)
};

struct VersionReply {
  std::string text;  // the "Version:" text, as the window shows it
};

// A picture read into its temporary file and shown.
struct PictureReply {
  std::string file;    // the temporary file
  uint32_t bytes = 0;
  int width = 0;       // decoded size (0 when it did not decode)
  int height = 0;
  bool decoded = false;
  bool yuv = false;
  double seconds = -1; // capture to resume; -1 until the resume reply timed it
};

using ResultData = std::variant<std::monostate, VersionReply, SettingsReadBack, ImageParams,
                                CropSettings, DetectSettings, PictureReply>;

struct LogLine {
  std::string text;  // without the time stamp and the "Error:" mark
  bool error = false;
};

struct CommandResult {
  int code = 0;
  Outcome outcome = Outcome::Done;
  int status = 0;          // the camera's status byte, for Refused
  std::string reason;      // plain words for Failed / LineFailed
  int next = 0;            // a command the engine sent because of this reply (0: none)
  ResultData data;
  std::vector<LogLine> log;  // the activity-log lines written for this reply

  bool Ok() const { return outcome == Outcome::Done; }
  template <typename T>
  const T* Data() const { return std::get_if<T>(&data); }
};

enum class CameraEventKind {
  Motion,          // a motion report; `count` pictures stored
  StoredPictures,  // a person/vehicle report with `count` pictures stored
  LiveCount,       // persons (`target` 1) or vehicles (2) in view now: `count`
  PowerOn,         // the power-on banner; `version` when it named the camera
  CommandError,    // the camera complained about a request
  AutoCapture,     // pictures taken at power-on: `count`
  AutoCaptureFailed,
};

struct CameraEvent {
  CameraEventKind kind = CameraEventKind::Motion;
  int count = 0;
  int target = 0;
  std::string version;
  int next = 0;              // a command the engine sent because of it (0: none)
  std::vector<LogLine> log;  // the activity-log lines written for it
};
