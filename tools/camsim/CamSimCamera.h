#pragma once
// CCamSimCamera: what the virtual camera module knows and how it answers one request.
// No threads and no I/O: the line side (CCamSim) feeds it frames and streams the answers.
// Not thread-safe; CCamSim guards it with its state lock.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "camsim/CamSim.h"
#include "camsim/CamSimPicture.h"
#include "camsim/CamSimWire.h"

namespace camsim {

struct ImageSize {
  int width, height;
  uint8_t code;  // the size code of the image-size register
};
constexpr int kImageSizeCount = 14;
const ImageSize& ImageSizeAt(int index);  // 1..14
int ImageSizeIndexForCode(uint8_t code);  // 0 when unknown

// Baud-rate codes of the baud registers; 0 when unknown.
unsigned BaudForCode(uint16_t code);
uint16_t CodeForBaud(unsigned baud);  // 0 when not a camera rate

// An answer plus what happens on the line once it has been sent.
struct CameraAnswer {
  Answer answer;
  unsigned switchBaudTo = 0;  // the camera's line rate changes after this answer
};

class CCamSimCamera {
 public:
  explicit CCamSimCamera(const CamSimOptions& options);

  // One frame addressed to this camera (its serial byte already checked). `wellFormed`
  // false: the header did not fit any request; the camera answers its error text.
  std::vector<CameraAnswer> Handle(const Bytes& frame, bool wellFormed);

  // Unsolicited reports. The detection and auto-capture reports store their pictures.
  Answer PowerOnBanner() const;
  Answer MotionReport(uint8_t stored);
  Answer PersonVehicleReport(uint8_t kind, uint8_t stored, uint8_t count);
  Answer AutoCaptureReport(uint8_t count);
  Answer MotionWhileCapturing() const;
  Answer ErrorText() const;

  // ---- State ----
  std::string model;
  uint8_t serial = 0;
  int sizeIndex = 3;
  uint8_t compression = 0x36;
  int imageType = 0;  // as set by the image-format request
  uint16_t defaultBaudCode = 0x0DA6;
  unsigned tempBaud = 0;
  unsigned powerOnBaud = 0;  // line rate after the next reset; 0 = the line is not paced
  uint8_t powerSave = 0;
  uint8_t motionOn = 0;
  uint8_t motionSensitivity = 0;
  uint8_t fillLight = 0;
  std::array<Bytes, 4> osdLines;               // header + text as received
  std::array<uint8_t, 11> detection{};         // request layout
  std::array<std::array<uint8_t, 11>, 2> imageParams{};  // day, night
  uint8_t burstPhotos = 0;
  uint16_t burstInterval = 0;
  uint8_t powerOnPhotos = 0;
  uint16_t powerOnInterval = 0;
  CCamSim::Crop crop;
  std::map<uint16_t, Bytes> registers;          // register writes the camera has no use for

  // Pictures.
  std::string imagesDir;
  std::optional<Bytes> nextPicture;
  // Frame buffer 0: the picture the last stop froze. Resume lets the camera run again but
  // the buffer keeps that picture until the next stop (or a reset).
  std::optional<Picture> frozen;
  bool running = true;
  int storedCount = 0;
  std::map<int, Picture> stored;  // frame buffers 1..255; missing ones are taken on demand
  unsigned frameCounter = 0;

  // Forced statuses (one-shot).
  std::optional<uint8_t> forcedCropStatus;
  std::optional<uint8_t> forcedImageParamsStatus;
  std::map<uint8_t, uint8_t> forcedStatus;

  Picture TakePicture(bool nv12);
  const Picture* StoredAt(int index);  // null when the buffer is empty
  void StorePictures(int count);       // replaces the frame buffers with `count` new pictures
  void SetStored(const std::vector<Bytes>& pictures);
  PictureWindow Window() const;
  static std::array<uint8_t, 11> DefaultImageParams(uint8_t selector);

  // The camera's own checks.
  uint8_t JudgeCrop(const CCamSim::Crop& requested) const;
  static uint8_t JudgeImageParams(const uint8_t* record);

 private:
  Bytes Header(uint8_t command) const { return {0x76, serial, command}; }
  Answer Reply(uint8_t command, std::initializer_list<uint8_t> rest) const;
  uint8_t Status(uint8_t command, uint8_t judged);
  const Picture* PictureFor(uint8_t selector);

  // One handler per request command byte; Handle dispatches by table.
  std::vector<CameraAnswer> OnReset(const Bytes& f);            // 0x26
  std::vector<CameraAnswer> OnVersion(const Bytes& f);          // 0x11
  std::vector<CameraAnswer> OnStopFrame(const Bytes& f);        // 0x36
  std::vector<CameraAnswer> OnPowerSave(const Bytes& f);        // 0x3E
  std::vector<CameraAnswer> OnTempBaud(const Bytes& f);         // 0x24
  std::vector<CameraAnswer> OnMotionControl(const Bytes& f);    // 0x37
  std::vector<CameraAnswer> OnFillLight(const Bytes& f);        // 0x85
  std::vector<CameraAnswer> OnOsd(const Bytes& f);              // 0x86
  std::vector<CameraAnswer> OnMotionCapture(const Bytes& f);    // 0x87
  std::vector<CameraAnswer> OnMultiCapture(const Bytes& f);     // 0x88
  std::vector<CameraAnswer> OnImageFormat(const Bytes& f);      // 0x93
  std::vector<CameraAnswer> OnRegisterWrite(const Bytes& f);
  std::vector<CameraAnswer> OnFrameLength(const Bytes& f);
  std::vector<CameraAnswer> OnFrameBufferRead(const Bytes& f);
  std::vector<CameraAnswer> OnCrop(const Bytes& f);
  std::vector<CameraAnswer> OnVendorWrite(const Bytes& f);  // 0x91
  std::vector<CameraAnswer> OnVendorRead(const Bytes& f);   // 0x90

  std::vector<std::string> m_imageFiles;
  size_t m_nextImageFile = 0;
};

}  // namespace camsim
