#pragma once
// Internal command codes: what the pending-reply queue holds. A request's code is queued
// just before the request is written; the reply processor matches the head code.

constexpr int CMD_RESET = 1;
constexpr int CMD_STOP_FRAME = 2;
constexpr int CMD_RESUME_FRAME = 3;
constexpr int CMD_GET_FRAME_LEN = 4;
constexpr int CMD_UNUSED_5 = 5;  // never queued; dropped at once if it ever heads the queue
constexpr int CMD_READ_TOTAL = 6;
constexpr int CMD_SET_COMPRESSION = 7;
constexpr int CMD_POWER_SAVE_ON = 8;
constexpr int CMD_POWER_SAVE_OFF = 9;
constexpr int CMD_SET_BAUD = 10;
constexpr int CMD_SET_TEMP_BAUD = 11;
constexpr int CMD_SET_IMAGE_SIZE = 12;
constexpr int CMD_SET_MOTION_SENSITIVITY = 13;
constexpr int CMD_MOTION_ON = 14;
constexpr int CMD_MOTION_OFF = 15;
constexpr int CMD_FILL_LIGHT_ON = 16;  // never sent; only its reply text exists
constexpr int CMD_FILL_LIGHT_OFF = 17;
constexpr int CMD_SET_OSD = 18;
constexpr int CMD_READ_BUF_512 = 19;
constexpr int CMD_GET_VERSION = 20;
constexpr int CMD_SET_MOTION_CAPTURE = 21;
constexpr int CMD_MULTI_CAPTURE = 22;
constexpr int CMD_SET_CROP = 23;
constexpr int CMD_READ_CROP = 24;
constexpr int CMD_SET_POWER_CAPTURE = 25;
constexpr int CMD_SET_DETECTION = 26;
constexpr int CMD_READ_DETECTION = 27;
constexpr int CMD_SET_FILL_LIGHT = 28;
constexpr int CMD_READ_SETTINGS = 29;
constexpr int CMD_SET_IMAGE_PARAMS = 30;
constexpr int CMD_READ_IMAGE_PARAMS = 31;
constexpr int CMD_RESET_IMAGE_PARAMS = 32;
constexpr int CMD_SET_IMAGE_FORMAT = 33;
constexpr int CMD_LAST = CMD_SET_IMAGE_FORMAT;

// Capture modes shared by the window and the engine.
constexpr int CAPTURE_IDLE = 0;
constexpr int CAPTURE_SINGLE = 1;      // single capture or a detection read
constexpr int CAPTURE_CONTINUOUS = 2;
constexpr int CAPTURE_MULTI_READ = 4;  // reading the pictures of a burst
constexpr int CAPTURE_AUTO_READ = 5;   // reading pictures the camera took at power-on

// Image types.
constexpr int IMAGE_TYPE_JPEG = 0;
constexpr int IMAGE_TYPE_YUV = 1;
