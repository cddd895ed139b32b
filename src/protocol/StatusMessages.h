#pragma once
// The fixed table of status texts (Chinese, English) addressed by index, and the format
// of an activity-log line.
#include <ctime>
#include <string>

struct StatusMessage {
  const char* chinese;
  const char* english;
};

constexpr int kStatusMessageCount = 74;
extern const StatusMessage g_statusMessages[kStatusMessageCount];

// English text of entry index ("" outside the table).
const char* StatusText(int index);

// "(%02d:%02d:%02d) %s", or "(%02d:%02d:%02d) Error:%s" when isError.
std::string FormatLogLine(const std::tm& now, const std::string& text, bool isError);

// Indexes the engine and the window use by name.
enum StatusIndex {
  MSG_RESET_SUCCESS = 0,
  MSG_RESET_UNKNOWN = 1,
  MSG_CAPTURE_SUCCESS = 2,
  MSG_DELETE_STOP_CMD = 3,
  MSG_STOP_CMD_SUCCESS = 4,
  MSG_MOTION_WHILE_CAPTURE = 5,
  MSG_SET_COMPRESSION = 6,
  MSG_POWER_SAVE = 7,
  MSG_SET_BAUD = 8,
  MSG_SET_IMAGE_SIZE = 9,
  MSG_SET_SENSITIVITY = 10,
  MSG_OPEN_MOTION = 11,
  MSG_CLOSE_MOTION = 12,
  MSG_OPEN_PERSON = 13,
  MSG_CLOSE_PERSON = 14,
  MSG_OPEN_VEHICLE = 15,
  MSG_CLOSE_VEHICLE = 16,
  MSG_OPEN_FILL_LIGHT = 17,
  MSG_CLOSE_FILL_LIGHT = 18,
  MSG_SET_FILL_LIGHT = 19,
  MSG_CREATE_FILE = 20,
  MSG_MOTION_HAPPEN = 33,
  MSG_POWER_ON = 34,
  MSG_PHOTO_ONCE_FLUSH = 35,
  MSG_FILE_CLOSED = 38,
  MSG_NEXT = 39,
  MSG_IMAGE_MODE = 40,
  MSG_COMMAND_MODE = 41,
  MSG_START_MULTI = 42,
  MSG_READ_MULTI = 43,
  MSG_CAPTURE_WAIT = 44,
  MSG_MULTI_SUCCESS = 45,
  MSG_MULTI_FAIL = 46,
  MSG_READ = 47,
  MSG_MOTION_CAPTURE_SUCCESS = 48,
  MSG_MOTION_CAPTURE_FAIL = 49,
  MSG_MOTION_PLEASE_READ = 50,
  MSG_DETECTION_SUCCESS = 51,
  MSG_DETECTION_FAIL = 52,
  MSG_PERSON_PLEASE_READ = 53,
  MSG_PEOPLE_NOW = 54,
  MSG_CARS_NOW = 55,
  MSG_OSD_LINE = 56,
  MSG_VERSION = 57,
  MSG_STOP_SUCCESS = 58,
  MSG_SAVE_SUCCESS = 59,
  MSG_SET_CROP = 60,
  MSG_READ_CROP = 61,
  MSG_SUCCESS = 62,
  MSG_FAIL = 63,
  MSG_READ_PHOTOS = 64,
  MSG_SET_POWER_CAPTURE = 65,
  MSG_SET_DETECTION = 66,
  MSG_SET_IMAGE_SUCCESS = 67,
  MSG_SET_IMAGE_FAIL = 68,
  MSG_RESET_IMAGE = 69,
  MSG_COMMAND_ERROR = 71,
  MSG_SET_IMAGE_FORMAT = 72,
  MSG_READ_LENGTH = 73,
};
