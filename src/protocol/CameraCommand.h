#pragma once
// What a front end hands the engine: one command to send (CCameraProtocol::Issue queues its
// code and writes its frame, in that order), and the operator's session settings, read from
// the controls when a command starts.
#include <cstdint>
#include <string>

#include "protocol/CommandCodes.h"
#include "protocol/FeatureRecords.h"

struct CameraCommand {
  int code = 0;
  // The one number most commands carry: rate for CMD_SET_BAUD / CMD_SET_TEMP_BAUD, size
  // index 1..14, compression byte, fill-light level, image type, frame or parameter
  // selector, the stop-frame byte.
  unsigned value = 0;
  // CMD_SET_MOTION_CAPTURE, CMD_MULTI_CAPTURE, CMD_SET_POWER_CAPTURE.
  uint8_t photos = 0;
  uint16_t interval = 0;
  uint8_t nextDetect = 0;
  // The record a command writes, by code.
  OsdLineSetting osd{};       // CMD_SET_OSD
  CropSettings crop{};        // CMD_SET_CROP
  DetectSettings detect{};    // CMD_SET_DETECTION
  ImageParams params{};       // CMD_SET_IMAGE_PARAMS
};

// A command that carries no record, only its one number (if any).
inline CameraCommand MakeCommand(int code, unsigned value = 0) {
  CameraCommand command;
  command.code = code;
  command.value = value;
  return command;
}

// The longest picture a camera of width x height pixels can send: the frame at 3 bytes a
// pixel, twice its NV12 frame and well above its JPEG at the lowest compression, plus
// 64 KiB for headers. A frame length beyond it is damage on the line, not a picture.
constexpr uint32_t PlausiblePictureLength(uint32_t width, uint32_t height) {
  return width * height * 3 + (64u << 10);
}
// The family's largest size (3840 x 2160): the bound until the camera is identified.
constexpr uint32_t kFamilyPictureLimit = PlausiblePictureLength(3840, 2160);

// The operator's choices a capture or read works with, as one value.
struct SessionSettings {
  uint8_t serialNumber = 0;   // "SerialNo:"
  int imageType = IMAGE_TYPE_JPEG;
  int transmitMode = 0;       // "Transmit:" index 0..5
  std::string savePath;       // "Path"
  unsigned continueDelay = 0; // "Continue Delay", milliseconds
  // Longest frame length believed, in bytes: the front end sets it from the identified
  // model's largest size (PlausiblePictureLength); 0 means kFamilyPictureLimit.
  uint32_t pictureLimit = 0;
};
