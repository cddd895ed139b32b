#pragma once
// Command line of brevant-cli: parsing and checking. Everything a command will send is
// checked here, before the port is opened, so a bad value never reaches the wire.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/PictureChecks.h"
#include "core/Profile.h"
#include "protocol/CameraCommand.h"
#include "protocol/CommandResult.h"
#include "protocol/FeatureRecords.h"

namespace cli {

// Exit statuses scripts depend on.
enum ExitStatus {
  kExitOk = 0,
  kExitCameraFailure = 1,
  kExitUsage = 2,
  kExitLine = 3,
  kExitTimeout = 4,
  kExitCheckFailed = 5,  // a picture failed a --check
  kExitNotCompared = 6,  // profile save/diff: the camera reports none of what was asked
  kExitInterrupted = 130,  // SIGINT/SIGTERM outside `monitor`, as shells report it
};

enum class Command {
  Version,
  Settings,
  Capture,
  ReadStored,
  Reset,
  ImageSize,
  Compression,
  DefaultBaud,
  TempBaud,
  PowerSave,
  FillLight,
  ImageType,
  Detection,
  Osd,
  ImageParamsRead,
  ImageParamsReset,
  ImageParamsSet,
  CropRead,
  CropSet,
  MotionCapture,
  DetectionRead,
  DetectionSet,
  Burst,
  PowerOnCapture,
  Monitor,
  Ports,  // lists the port mapping; opens nothing
  Find,   // searches ports and rates for a camera
  Check,  // measures picture files; opens nothing
  Profile,  // save, apply or compare a profile file
  Station,  // a plan on many ports at once
  Sniff,    // passes another program's traffic to the camera, traced
  Report,   // the yield report of a results store; opens no port
};

struct GlobalOptions {
  std::string port;          // device path or "COMn" (the last --port)
  std::vector<std::string> ports;  // every --port given, in order (`find` tries each)
  unsigned baud = 38400;
  bool autoBaud = false;     // --baud auto: search the rate before the command
  uint8_t serial = 0;
  unsigned timeoutMs = 5000;
  std::string outDir = ".";
  bool trace = false;
  bool decode = false;       // --decode: the trace frame by frame, decoded
  bool decodeFull = false;   // --decode=full: a picture block's every byte
  bool decodeDeltas = false; // --decode=deltas: time since the previous frame and the request
  std::string pcapng;        // --pcapng FILE: the traffic as a capture
  bool json = false;
  // --progress (1) / --no-progress (0); -1 leaves it to whether stderr is a terminal.
  int progress = -1;
};

// A checked command, ready to run. Only the fields of `command` are meaningful.
struct CommandPlan {
  Command command = Command::Version;
  std::string name;  // as typed, for messages and JSON ("image-params", "crop", ...)

  // capture
  unsigned count = 1;
  unsigned delayMs = 0;
  int transmit = 0;      // "Transmit:" index 0..5
  int imageType = 0;     // 0 JPEG, 1 YUV (NV12)
  // capture, check: the checks every picture must pass (--check), and check's files
  std::vector<PictureCheck> checks;
  std::optional<EdgeRect> edgeRegion;  // --roi: the one edge MTF50 is measured on
  std::vector<std::string> files;
  // read-stored
  int readIndex = 1;
  // The one command a setting sends, as checked: image-size, compression, default-baud,
  // temp-baud, power-save, fill-light, image-type, osd, image-params set, crop set,
  // motion-capture, detection-settings set, burst, power-on-capture.
  CameraCommand send;
  // detection (whose command depends on the camera's model)
  bool on = false;
  // osd
  int osdLine = 0;       // 0..3
  std::string osdBytes;  // the text as sent (GB18030)
  // image-params read/reset: the sets, day (0) and/or night (1)
  std::vector<uint8_t> selectors;
  // burst
  bool readBurst = false;
  // monitor
  bool fetch = false;
  long forSeconds = -1;  // -1: until interrupted
  // profile: "save", "apply" or "diff"; the file (files[0]); apply and diff: its contents
  std::string profileAction;
  Profile profile;
  std::string profileText;
  // station
  std::string planPath;
  std::string portList;   // --ports, as given
  std::string unitList;   // station --unit PORT=SERIAL,..., as given
  std::string reportPlan, reportSince, htmlPath;  // report --plan, --since, --html
  std::string junitPath, jsonlPath, csvPath;  // "" when not asked for
  std::string dbTarget;   // an SQLite file or a PostgreSQL connection string
  unsigned terminalWidth = 80;  // the live display's columns
  // sniff
  std::string linkPath;
  unsigned terminalRows = 0;    // and rows (0: unknown)
  std::string eventsPath;       // --events: a file, or "-" for stdout ("" when not asked for)
  bool waitForStart = false;    // station --wait-for-start

  // Whether the command writes pictures into the output folder.
  bool WritesPictures() const;
};

struct ParseResult {
  enum Kind { Run, Help, Error } kind = Error;
  int exitStatus = kExitUsage;
  std::string text;  // help text (Help) or the one-line reason (Error)
  GlobalOptions global;
  CommandPlan plan;
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);

// What a checked command would write that the identified camera cannot take: a crop window
// outside its current picture (from the settings read back), a value beyond its model's
// ranges. The text names the command and the field ("crop: crop.width is 1920, must be
// 32..1280 (x 640 in the 1920X1080 picture)"); empty when the camera can take it.
std::optional<std::string> RefuseForCamera(const CommandPlan& plan, const std::string& versionText,
                                           const SettingsReadBack& settings);

// Usage texts: the whole program, or one command ("" when the name is unknown).
std::string GeneralUsage();
std::string CommandUsage(const std::string& command);
// "brevant-cli VERSION", the answer to --version.
std::string VersionText();

// The parser's own tables, for the checks that keep the manual page and the shell
// completion in step: command names, and the long options ("--name") of a command, or the
// global ones for "".
std::vector<std::string> CommandNames();
std::vector<std::string> OptionNames(const std::string& command);

// Whether a command that transfers pictures shows the progress line: only for a person
// watching stderr, never in a machine-read run.
bool WantsProgress(const GlobalOptions& global, const CommandPlan& plan, bool stderrIsTerminal);

}  // namespace cli
