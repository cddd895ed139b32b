#pragma once
// A station plan: the steps every camera of a rack goes through, read from a TOML file.
// Everything a step will send is checked when the plan is read, so a bad plan is refused
// with its line before any port is opened.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/PictureChecks.h"
#include "core/Profile.h"

namespace station {

// A capture's check with its marginal band: a value within the check's limits but outside
// [marginalLow, marginalHigh] passes and is marked marginal.
struct StepLimit {
  PictureCheck check;
  std::optional<double> marginalLow, marginalHigh;
  std::string unit;  // "%" where the figure is a share
  std::string text;  // as written, band included
};

// Reads checks as a capture step writes them: the picture checks, each optionally followed
// by its marginal band, "sharpness>=40 marginal 50, luma=40..220 marginal 60..200". A
// one-sided check takes one number (the band's edge on its side), a range takes a range
// inside it; an exact check has none. False with error naming the part.
bool ParseStepLimits(const std::string& text, std::vector<StepLimit>& limits, std::string& error);

struct StationStep {
  enum class Kind { Find, Version, Profile, Serial, Capture, ReadStored, Reset, Prompt };
  Kind kind = Kind::Version;
  std::string name;        // the plan's spelling: "find", "version", ...
  int line = 0;            // where the step starts in the plan
  unsigned timeoutMs = 0;  // longest silence allowed in the step; 0: --timeout
  int retries = 0;         // a failed step is run again up to this many times
  bool continueOnFailure = false;  // a failure of this step does not end the run

  std::string expect;       // version: a glob the whole version text must match
  std::string profilePath;  // profile: the file, relative paths taken from the plan's folder
  std::string profileHash;
  Profile profile;          // profile: as read and checked with the plan
  std::string profileText;  // its bytes, for the places a refusal names
  int osdLine = 3;          // serial: OSD line 0..3 the number is burnt into
  std::string format;       // serial: "SN{:06}"; without a field the number follows the text
  unsigned long start = 0;  // serial: the first camera's number; the others count on
  unsigned x = 0, y = 0;
  std::vector<PictureCheck> checks;  // capture: what the picture must pass
  std::vector<StepLimit> limits;     // capture: the same checks with their marginal bands
  int transmit = 0;                  // capture: "Transmit:" index 0..5
  int readIndex = 1;                 // read-stored
  std::string promptText;     // prompt: what the operator is asked to judge
  std::string promptPicture;  // prompt: a picture shown with it ("" when none)
};

struct StationPlan {
  std::string path;
  std::string name;  // the plan's "name", else its file name without ".toml": the key of
                     // the unit counter, attempts and the yield report
  std::string hash;  // of the file's bytes (FNV-1a 64, hex)
  bool stopAtFirstFailure = true;
  unsigned baud = 38400;  // the rate opened at when no find step searches it
  uint8_t serial = 0;     // the camera serial-number byte of every frame
  std::vector<StationStep> steps;
};

// A plan is a small file a line engineer writes: these bounds are far above any real plan
// and keep a hostile one from costing more than a few MB or a moment to refuse.
inline constexpr size_t kPlanMaxBytes = 1 << 20;
inline constexpr size_t kPlanMaxSteps = 1000;
inline constexpr int kPlanMaxRetries = 100;  // per step
inline constexpr size_t kPlanMaxItems = 50000;  // keys, array items and tables together
inline constexpr size_t kPlanMaxKeyParts = 8;   // a.b.c: parts of one dotted key
// The profiles a plan's steps name, together (each is read and kept with its step).
inline constexpr size_t kPlanMaxProfileBytes = 4 << 20;
// A prompt's picture is shown as a reference beside the question, not a camera's frame.
inline constexpr size_t kPromptMaxPictureBytes = 16 << 20;
// A human needs longer than a camera: a prompt without timeout_ms waits this long.
inline constexpr unsigned kPromptDefaultTimeoutMs = 60000;

// False with error "PLAN:LINE: reason" (LINE omitted when the file cannot be read). Only a
// regular file of at most kPlanMaxBytes is read.
bool ReadStationPlan(const std::string& path, StationPlan& plan, std::string& error);
// The same on the plan's bytes; `path` names it in messages and its folder is where the
// profiles' relative paths start.
bool ParseStationPlan(const std::string& bytes, const std::string& path, StationPlan& plan,
                      std::string& error);

// The serial number text of the camera at `position` (0-based) of --ports.
std::string SerialText(const StationStep& step, size_t position);
// Number `number` as the serial step writes it.
std::string SerialNumberText(const StationStep& step, unsigned long long number);

// The name a plan goes by when it gives none: its file's, without the folder and ".toml".
std::string PlanName(const std::string& path);

// FNV-1a 64 of bytes, 16 lower-case hex digits.
std::string Fnv1a64Hex(const std::string& bytes);

}  // namespace station
