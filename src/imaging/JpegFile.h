#pragma once
// CJpegFile: turns "jpeg.tmp" (libjpeg) or "yuv.tmp" (NV12) into a 24-bit bottom-up
// blue-green-red packed bitmap held by a CDib.
//
// Library errors are shown through the MessageSink: a fatal error in a "JPEG Fatal Error"
// box (the decode then fails), the first warning of an image in a "JPEG Error" box (the
// decode goes on). A decoder without a sink shows nothing.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/MessageSink.h"
#include "imaging/Dib.h"

// A progressive picture needs about ten scans; one with more than this is refused before
// it costs minutes of decoding (hundreds of repeated scans are damage or a hostile file).
constexpr int kMaxJpegScans = 100;

// While one lives, a JPEG decode on this thread ends soon after *stop is set, failed and
// with no box: Stop Capture, Close and Ctrl+C never wait for a slow picture.
class CDecodeStopScope {
 public:
  explicit CDecodeStopScope(const std::atomic<bool>* stop);
  ~CDecodeStopScope();
  CDecodeStopScope(const CDecodeStopScope&) = delete;
  CDecodeStopScope& operator=(const CDecodeStopScope&) = delete;

 private:
  const std::atomic<bool>* m_pPrevious;
};

// What a finished picture file holds. The engine knows which it asked the camera for; only
// a file that comes with nothing but its name is told by the name.
enum class PictureKind { Jpeg, Nv12 };
// A name containing "yuv.tmp" is a raw NV12 frame; anything else a JPEG file.
PictureKind PictureKindByName(const std::string& path);

class CJpegFile {
 public:
  explicit CJpegFile(MessageSink* boxes = nullptr);
  virtual ~CJpegFile();
  CJpegFile(const CJpegFile&) = delete;
  CJpegFile& operator=(const CJpegFile&) = delete;

  // Dimensions of a raw NV12 frame; not used for JPEG.
  int m_nFrameWidth = 0;
  int m_nFrameHeight = 0;
  std::string m_strError = "No Error";
  // The library's first warning of the last JPEG decode ("Premature end of JPEG file",
  // "Corrupt JPEG data: ..."): the picture decoded, but from a damaged file. Empty when clean.
  std::string m_strWarning;
  // The last decode was ended by a CDecodeStopScope's flag.
  bool m_bStopped = false;
  // The bitmap of the last successful decode; a failed decode leaves it as it was.
  std::unique_ptr<CDib> m_pDib;

  // A raw NV12 frame of m_nFrameWidth x m_nFrameHeight, or a JPEG file. 1 on success, 0 on
  // failure.
  int LoadImageToDib(const std::string& path, PictureKind kind);
  // The kind told by the name (PictureKindByName).
  int LoadImageToDib(const std::string& path) {
    return LoadImageToDib(path, PictureKindByName(path));
  }

  // The step-by-step pipeline. LoadImageToDib produces the same bitmap without the
  // intermediate buffers (libjpeg writes blue-green-red straight into the final rows).
  // DecodeJpegToRgb: red-green-blue, top row first, no padding; nullptr on failure.
  std::unique_ptr<uint8_t[]> DecodeJpegToRgb(const std::string& path, int& width, int& height);
  static int SwapRedBlue(uint8_t* buffer, int width, int height);
  // Rows padded to a multiple of 4 bytes with zero bytes; nullptr on failure.
  static std::unique_ptr<uint8_t[]> PadRowsToDword(const uint8_t* buffer, int width, int height,
                                                   int& stride);
  static int FlipRowsVertically(uint8_t* buffer, int stride, int height);
  // The 40-byte header followed by the padded rows (already bottom-up); nullptr when
  // memory runs out.
  static std::unique_ptr<DibBlock> PackDib(const uint8_t* rows, int width, int height, int stride);

 private:
  std::unique_ptr<DibBlock> DecodeJpegToDib(const std::string& path);
  std::unique_ptr<DibBlock> DecodeRawFrame(const std::string& path);

  MessageSink* m_pBoxes;
};

// The picture view's extension rule: ".jpg", ".jpe", ".jpeg" or ".tmp", any case, taken
// from the last path component.
bool IsPictureFileName(const std::string& path);

// Decode a finished picture file as the picture view does (extension rule, CJpegFile with
// the NV12 frame size), for hosts without a window. On success reports the picture size
// and, when block is given, hands over the bitmap. width and height are 0 on failure.
bool DecodePictureFile(const std::string& path, PictureKind kind, int frameWidth,
                       int frameHeight, MessageSink* boxes, int& width, int& height,
                       std::unique_ptr<DibBlock>* block = nullptr);
// The same, the kind told by the name.
bool DecodePictureFile(const std::string& path, int frameWidth, int frameHeight,
                       MessageSink* boxes, int& width, int& height,
                       std::unique_ptr<DibBlock>* block = nullptr);
