#pragma once
// CJpegFile: turns "jpeg.tmp" (libjpeg) or "yuv.tmp" (NV12) into a 24-bit bottom-up
// blue-green-red packed bitmap held by a CDib.
#include <cstdint>
#include <memory>
#include <string>

#include "common/MessageSink.h"
#include "imaging/Dib.h"

class CJpegFile {
 public:
  explicit CJpegFile(MessageSink* boxes = nullptr);
  virtual ~CJpegFile();

  int m_nFrameWidth = 0;
  int m_nFrameHeight = 0;
  std::string m_strError = "No Error";
  std::unique_ptr<CDib> m_pDib;

  int LoadImageToDib(const std::string& path);
  // RGB buffer (caller owns), or nullptr.
  uint8_t* DecodeJpegToRgb(const std::string& path, int& width, int& height);
  static int SwapRedBlue(uint8_t* buffer, int width, int height);
  static uint8_t* PadRowsToDword(const uint8_t* buffer, int width, int height, int& stride);
  static int FlipRowsVertically(uint8_t* buffer, int stride, int height);

 private:
  MessageSink* m_pBoxes;
};
