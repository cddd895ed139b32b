#pragma once
// The records the feature dialogs edit and the replies fill. Their layouts are part of the
// wire format (the senders copy them field by field), so they are packed and 16-bit fields
// are held in host order; the senders write them big-endian.
#include <cstdint>

#pragma pack(push, 1)

struct OsdLineSetting {      // 268 bytes
  uint8_t display = 1;       // 0 "Disable", 1 "Enable"
  uint8_t line = 0;          // 0..3
  uint8_t font = 2;          // font-size index 0..2
  uint16_t x = 0;
  uint16_t y = 0;
  uint16_t fontColor = 0x007C;  // 15-bit colour: red 10-14, green 5-9, blue 0-4
  uint16_t backColor = 0xFFFF;
  uint8_t length = 0;        // text bytes, 0..160
  char text[256] = {};       // NUL-terminated
};
static_assert(sizeof(OsdLineSetting) == 268);

struct DetectSettings {      // 12 bytes
  uint8_t photos = 3;        // 1..5
  uint8_t nextDetect = 10;   // seconds
  uint16_t interval = 100;   // milliseconds
  uint8_t powerOnDetect = 0;
  uint8_t type = 0;          // 0 motion, 1 person, 2 vehicle
  uint8_t sensitivity = 0;   // 0..4
  uint8_t mode = 0;          // 0 detect only, 1 detect and capture
  uint8_t threshold = 1;     // 1..4 (4 means more than 3)
  uint8_t distance = 2;      // 0..4
  uint8_t targetSelect = 0;
  uint8_t detectedCount = 0; // last person/vehicle count reported
};
static_assert(sizeof(DetectSettings) == 12);

struct ImageParams {         // 11 bytes, sent and received in this order
  uint8_t mode = 0;          // 0 day, 1 night (bit 0)
  uint8_t brightness = 0;
  uint8_t contrast = 0;
  uint8_t sharpness = 0;
  uint8_t saturation = 0;
  uint8_t hue = 0;
  uint8_t manualWhiteBalance = 0;  // 0 automatic, 1 manual value below
  uint8_t whiteBalanceHigh = 0;
  uint8_t whiteBalanceLow = 0;
  uint8_t exposure = 0;
  uint8_t hlc = 0;
};
static_assert(sizeof(ImageParams) == 11);

struct CropSettings {        // 15 bytes
  uint16_t x = 0;
  uint16_t y = 0;
  uint16_t width = 320;
  uint16_t height = 240;
  uint16_t imageWidth = 0;   // reported by the camera
  uint16_t imageHeight = 0;
  uint8_t enable = 0;
  uint8_t operation = 0;     // 1 write, 2 read
  uint8_t status = 0;        // 0xFF while a write is pending, then the camera's status
};
static_assert(sizeof(CropSettings) == 15);

struct MultiCaptureSettings {
  uint8_t photos = 3;        // 0..5, 0 = off
  uint16_t interval = 500;   // milliseconds, 0..10000
};

#pragma pack(pop)

// Pictures per motion detection, the gap between them and the pause before the next one.
struct MotionCaptureSettings {
  uint8_t photos = 3;
  uint16_t interval = 100;   // milliseconds
  uint8_t nextDetect = 10;   // seconds
};

// Every record the engine holds for the dialogs, as one value.
struct FeatureRecordSet {
  OsdLineSetting osd[4];
  DetectSettings detect;
  ImageParams imageParams;
  CropSettings crop;
  MultiCaptureSettings multiCapture;
};

// What the window learnt from the version text; the dialogs read it through the engine.
struct ModelInfo {
  int modelCode = 0;
  int modelVariant = 0;
  int versionMajor = 0;
  int versionMinor = 0;
  int firmwareVersion = 0;  // major * 100 + minor
};
