#pragma once
// What a front end hands the engine: one command to send (CCameraProtocol::Issue queues its
// code and writes its frame, in that order), and the operator's session settings, read from
// the controls when a command starts.
#include <cstdint>
#include <string>
#include <variant>

#include "protocol/CommandCodes.h"
#include "protocol/FeatureRecords.h"

// What a command carries besides its code: nothing, its one number (rate for CMD_SET_BAUD /
// CMD_SET_TEMP_BAUD, size index 1..14, compression byte, fill-light level, image type,
// frame or parameter selector, the stop-frame byte), or the one record it writes. Burst
// (CMD_MULTI_CAPTURE) and power-on capture (CMD_SET_POWER_CAPTURE) carry a
// MultiCaptureSettings.
using CommandPayload = std::variant<std::monostate, unsigned, OsdLineSetting, CropSettings,
                                    DetectSettings, ImageParams, MotionCaptureSettings,
                                    MultiCaptureSettings>;

struct CameraCommand {
  int code = 0;
  CommandPayload payload;

  // The number the command carries; 0 when it carries none.
  unsigned Value() const {
    const unsigned* value = std::get_if<unsigned>(&payload);
    return value ? *value : 0;
  }
  // The record the command carries, or nullptr when it carries another (or none).
  template <class Record>
  const Record* Get() const {
    return std::get_if<Record>(&payload);
  }
};

inline CameraCommand MakeCommand(int code) { return CameraCommand{code, {}}; }
inline CameraCommand MakeCommand(int code, unsigned value) { return CameraCommand{code, value}; }
// One overload per record, so a plain number never turns into one.
inline CameraCommand MakeCommand(int code, const OsdLineSetting& r) { return {code, r}; }
inline CameraCommand MakeCommand(int code, const CropSettings& r) { return {code, r}; }
inline CameraCommand MakeCommand(int code, const DetectSettings& r) { return {code, r}; }
inline CameraCommand MakeCommand(int code, const ImageParams& r) { return {code, r}; }
inline CameraCommand MakeCommand(int code, const MotionCaptureSettings& r) { return {code, r}; }
inline CameraCommand MakeCommand(int code, const MultiCaptureSettings& r) { return {code, r}; }

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
