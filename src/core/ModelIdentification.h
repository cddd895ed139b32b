#pragma once
// Camera model identification from the firmware version text, and the model-dependent
// choices the main window and the feature dialogs make. No widgets: the window applies
// the result to its controls, the dialogs and the CLI call the choice functions.
#include <string>
#include <vector>

#include "core/ControlStates.h"
#include "core/SettingsTable.h"
#include "protocol/CameraCommand.h"
#include "protocol/FeatureRecords.h"

// Item lists of the identification-filled combo boxes, in list order (the rate and size
// lists are the settings table's).
const std::vector<std::string>& FillLightTwoStep(); // "0-close", "1-open"
const std::vector<std::string>& FillLightLevels();  // "0-close", "1%".."100%"

// Scans text against a pattern made of literal characters, white space (matching any
// amount of white space, none included) and "%d" conversions, the way sscanf does.
// Returns how many numbers were converted, or -1 when the text ended before the first
// conversion (which callers count as a match). Numbers not converted are left untouched.
int ScanVersion(const std::string& text, const char* pattern, int& major, int& minor);

// What identification decided. The three lists are refilled only when listsRefilled;
// otherwise they keep their contents. Enable changes are applied in order and are
// followed by the window's own default-rate selection and UpdateControlStates.
struct Identification {
  ModelInfo info;                 // model code, variant, version after this text
  int row = 0;                    // model-table row that matched (1..16), 0 when none
  bool listsRefilled = false;
  std::vector<std::string> defaultRates;
  std::vector<std::string> imageSizes;
  std::vector<std::string> fillLights;
  std::vector<EnableChange> enables;
  bool sendReadSettings = false;  // level-light models report their stored settings
  bool resetImageType = false;    // back to JPEG
  bool resetFillLightIndex = false;
  // The longest frame length a picture of this model can have (its largest size, see
  // PlausiblePictureLength); the family's largest when the model is not known.
  uint32_t pictureLimit = kFamilyPictureLimit;
};

// Identifies the camera from the "Version:" text; previous is the identification before
// this text (model code and variant are kept when the text names no known model).
Identification ParseVersionText(const std::string& text, const ModelInfo& previous);

// Models whose fill light has 101 levels and that answer CMD_READ_SETTINGS.
bool IsLevelLightModel(int modelCode);
// "More": the Intelligent Detection dialog (true) or the MotionDetection dialog (false).
bool ChooseIntelligentDetection(const ModelInfo& info);
// The OSD dialog offers the larger font sizes.
bool OsdUsesLargeFonts(int modelCode);
// The MultipleCapture dialog's power-on capture control (1117).
bool PowerOnCaptureAllowed(const ModelInfo& info);
