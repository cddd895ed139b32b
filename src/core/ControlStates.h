#pragma once
// Which of the main window's controls are enabled, as data: the rules take the port state,
// the capture mode and the camera identification and return an ordered list of changes.
// A control the list does not name keeps the state it had, which some rules rely on.
#include <map>
#include <vector>

// Identifiers of the windows themselves.
enum WindowId : int {
  IDD_ABOUT = 100,
  IDD_MAIN = 102,
};

// Control identifiers of the main window (each widget's objectName is "id<number>").
enum MainControlId : int {
  IDC_PICTURE = 1000,
  IDC_TRAFFIC = 1006,
  IDC_CLEAR = 1008,
  IDC_HIDDEN_EDIT = 1009,
  IDC_SERIAL_NO = 1010,
  IDC_VERSION = 1011,
  IDC_PATH = 1012,
  IDC_READ_ONE = 1014,
  IDC_READ_512 = 1015,
  IDC_PORT = 1016,
  IDC_BAUD = 1017,
  IDC_CLOSE = 1018,
  IDC_OPEN = 1019,
  IDC_CONTINUE_DELAY = 1020,
  IDC_SINGLE_CAPTURE = 1021,
  IDC_BROWSE = 1022,
  IDC_CONTINUES_CAPTURE = 1023,
  IDC_STOP_CAPTURE = 1024,
  IDC_RESET = 1025,
  IDC_EXIT = 1026,
  IDC_POWER_SAVE = 1028,
  IDC_POWER_SAVE_EXIT = 1029,
  IDC_COMPRESSION_SET = 1030,
  IDC_TEMP_RATE = 1031,
  IDC_TEMP_RATE_MODIFY = 1032,
  IDC_SAVE = 1033,
  IDC_PROGRESS = 1034,
  IDC_DEFAULT_RATE = 1035,
  IDC_DEFAULT_RATE_MODIFY = 1036,
  IDC_TEMP_RATE_VALUE = 1037,
  IDC_IMAGE_SIZE = 1038,
  IDC_IMAGE_SIZE_SET = 1039,
  IDC_TRANSMIT = 1040,
  IDC_STATUS = 1041,
  IDC_COMPRESSION = 1042,
  IDC_DETECT_OPEN = 1046,
  IDC_DETECT_CLOSE = 1047,
  IDC_LOGO = 1048,
  IDC_REGION_CROP = 1049,
  IDC_FILL_LIGHT = 1050,
  IDC_FILL_LIGHT_SET = 1051,
  IDC_IMAGE_CONTROL = 1052,
  IDC_IMAGE_TYPE = 1053,
  IDC_OSD = 1054,
  IDC_COMMAND_MODE = 1055,
  IDC_IMAGE_TYPE_SET = 1056,
  IDC_READ = 1096,
  IDC_STOP_NOTICE = 1104,
  IDC_LINK = 1105,
  IDC_MORE = 1112,
  IDC_BURST5 = 1113,
  IDC_MULTI_CAPTURE = 1114,
};

struct EnableChange {
  int id;
  bool enable;
  bool operator==(const EnableChange&) const = default;
};

struct GatingInputs {
  bool portOpen = false;
  int captureMode = 0;
  int modelCode = 0;
  int firmwareVersion = 0;  // major * 100 + minor
  bool stopping = false;    // a stop waits for the line to go quiet: "Stop Capture" is done
};

// The enable/disable steps for the given state, in the order they are applied.
std::vector<EnableChange> UpdateControlStates(const GatingInputs& in);

// Applies changes in order onto a state map (id -> enabled); ids not named keep their entry.
void ApplyEnableChanges(std::map<int, bool>& states, const std::vector<EnableChange>& changes);

// The default-rate selection after identification: the position the baud list has
// selected, or -1 (no selection) when the default-rate list is shorter than that.
int DefaultRateSelection(int baudIndex, int rateCount);
