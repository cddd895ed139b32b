#pragma once
// Camera profiles: one camera's settings as a small JSON document (docs/PROFILES.md), read
// and checked against the connected camera's model, written to the camera in a safe order
// and compared with what the camera reads back. Window-free: the CLI and the window drive
// the same job (CProfileJob) with the engine's typed results.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/CameraCommand.h"
#include "protocol/CommandResult.h"
#include "protocol/FeatureRecords.h"

inline constexpr int kProfileFormat = 1;
// A profile is a small file (a full one has about 80 keys and values): a larger one, one
// nested deeper than the document goes (the document, "osd", an OSD line) or one of far
// more values is refused before it is parsed, so no file can make the reader take more
// than a few MB or a moment (the ordered JSON object finds each key by a linear search).
inline constexpr size_t kProfileMaxBytes = 1 << 20;
inline constexpr int kProfileMaxDepth = 3;
inline constexpr size_t kProfileMaxItems = 1000;

struct ProfileOsdLine {
  OsdLineSetting record;  // text already in the camera's code page
  std::string text;       // as written in the profile (UTF-8)
};

// Every setting is optional: a profile holds what it names and nothing else.
struct ProfileSettings {
  std::optional<int> imageSize;         // size index 1..14
  std::optional<uint8_t> compression;   // 0x36..0x8F
  std::optional<int> imageType;         // IMAGE_TYPE_JPEG / IMAGE_TYPE_YUV
  std::optional<unsigned> defaultRate;  // baud
  std::optional<bool> powerSave;
  std::optional<unsigned> fillLight;    // 0 off, else the level
  std::array<std::optional<ProfileOsdLine>, 4> osd;
  std::optional<ImageParams> imageDay;
  std::optional<ImageParams> imageNight;
  std::optional<CropSettings> crop;
  std::optional<DetectSettings> detection;
  std::optional<MotionCaptureSettings> motionCapture;
  std::optional<MultiCaptureSettings> powerOnCapture;
};

struct Profile {
  int format = kProfileFormat;
  std::string model;  // the version text of the camera it came from
  ProfileSettings settings;
};

// A refusal of a profile's text: where, and why. line and column count from 1; 0 when the
// problem has no place in the text (a key the camera's model lacks is placed at its key).
struct ProfileError {
  int line = 0;
  int column = 0;
  std::string text;
  std::string Text() const;  // "line 3, column 5: unknown key 'colour'"
};

// Reads a profile. Malformed JSON (numbers beyond a double included), a text beyond the
// bounds above, unknown or repeated keys, wrong
// types and values out of range are refused; the first problem is reported.
std::optional<Profile> ParseProfile(const std::string& text, ProfileError& error);
// The document, with keys in a fixed order and a trailing newline.
std::string WriteProfile(const Profile& profile);

// What the connected camera's model and firmware can take and report, as the window's
// controls would offer it after identification.
struct ProfileModel {
  std::string version;
  ModelInfo info;
  int imageSizes = 0;        // how many of the size list
  int defaultRates = 0;      // how many of the rate list
  unsigned fillLightMax = 0; // 0: no fill light
  bool compression = false;
  bool imageType = false;
  bool powerSave = false;
  bool osd = false;
  bool imageControl = false;
  bool crop = false;
  bool detection = false;      // the intelligent detection record
  bool motionCapture = false;  // pictures per motion detection
  bool powerOnCapture = false;
  bool readSettings = false;   // image size, compression and default rate can be read back
  bool known = false;          // the version text names a model of the table
};
ProfileModel ProfileModelFor(const std::string& versionText);

// The settings the model has that it cannot report, so that a save cannot read them.
std::vector<std::string> UnreportedSettings(const ProfileModel& model);

// When the profile came from another camera than the connected one: a sentence saying so.
std::optional<std::string> ProfileModelWarning(const Profile& profile, const ProfileModel& model);

// Checks every setting of the profile against the model; the text locates a refused key
// (it may be empty, for a profile built in code). Empty when the camera can take it all.
// A setting whose range differs between the profile's model (its "model", when that names
// a known model) and the connected one is refused too: the same value means another thing.
std::optional<ProfileError> CheckProfileForModel(const Profile& profile, const ProfileModel& model,
                                                 const std::string& text = {});

struct ProfileDifference {
  std::string key;       // "image_day.brightness"
  std::string expected;  // as the profile writes it
  std::string actual;    // as the camera reported it
  std::string Text() const;  // "image_day.brightness: expected 128, camera has 100"
};

// The keys of `wanted` the camera reported on, compared one by one.
std::vector<ProfileDifference> CompareProfiles(const ProfileSettings& wanted,
                                               const ProfileSettings& reported);

// What a job did.
struct ProfileOutcome {
  bool completed = false;  // every step answered (refusals included)
  std::string failure;     // why it stopped early
  std::vector<std::string> written;     // keys written and acknowledged
  std::vector<std::string> refused;     // keys the camera refused: "crop (status 2: why)"
  std::vector<std::string> notWritten;  // keys an apply that stopped never wrote
  std::vector<std::string> unverified;  // written keys the camera cannot report
  std::vector<ProfileDifference> differences;
  size_t compared = 0;  // keys of the profile compared with what the camera reported
  Profile readBack;  // what the camera reported, with its version text
  // Nothing went wrong and the camera holds what was asked.
  bool Clean() const { return completed && refused.empty() && differences.empty(); }
};

struct CameraState;

// One profile job as a small step machine. The front end asks Next() for a command,
// issues it, and hands every result it gets to Take() until Awaited() is 0 again; the job
// ignores results of other commands. Save reads everything the model reports; Diff reads
// what the profile names and compares; Apply writes the profile (the default rate last:
// the camera uses it from its next reset on, so nothing can be read after it), reading
// back and comparing before that last write.
class CProfileJob {
 public:
  enum class Mode { Save, Apply, Diff };
  CProfileJob(Mode mode, const ProfileModel& model, const Profile& profile = {});

  // The next command to issue, or nothing when the job is over or waits for a result.
  std::optional<CameraCommand> Next();
  // The code whose result the job waits for (0: none).
  int Awaited() const { return m_awaited; }
  void Take(const CommandResult& result);
  // The command Next() gave could not be sent (no frame for its value, port closed).
  void NotSent();
  // The front end gave up (timeout, line failure, the operator): the job ends here.
  void Abandon(const std::string& why);

  bool Finished() const { return m_finished; }
  Mode GetMode() const { return m_mode; }
  const Profile& GetProfile() const { return m_profile; }
  const ProfileOutcome& Outcome() const { return m_outcome; }
  // Progress: steps done and all steps planned; the key of the current step.
  size_t StepsDone() const { return m_next; }
  size_t StepCount() const { return m_steps.size(); }
  std::string CurrentKey() const;

 private:
  struct Step {
    std::string key;
    CameraCommand command;
    bool write = false;
    bool readable = false;  // a write the read-back will check
    bool chain = false;     // wait for the commands its reply sends in turn
    bool state = false;     // a read of the camera's state the writes are checked against
    bool heldAwb = false;   // a read of the manual white balance an "auto" write keeps
  };
  void Plan(const ProfileModel& model);
  void RefuseBeforeWriting(const CameraState& state);
  void PlanWrites(const ProfileModel& model, bool last);
  void PlanReads(const ProfileModel& model);
  void PlanHeldWhiteBalance(const ProfileModel& model);
  void KeepHeldWhiteBalance(const ImageParams& held);
  void Store(const CommandResult& result);
  void Finish();
  void NoteNotWritten(bool inFlight);

  Mode m_mode;
  Profile m_profile;
  std::vector<Step> m_steps;
  size_t m_next = 0;
  int m_awaited = 0;
  bool m_finished = false;
  ProfileOutcome m_outcome;
  ProfileModel m_model;
};
