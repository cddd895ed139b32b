#pragma once
// Pictures the virtual camera serves: a generated test pattern (colour bars, a grey ramp, a zone plate
// and the frame number in large digits, so consecutive pictures differ visibly), encoded
// as JPEG with libjpeg or laid out as an NV12 frame, or JPEG files taken from a folder.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace camsim {

struct Picture {
  std::shared_ptr<const std::vector<uint8_t>> bytes;
  int width = 0;
  int height = 0;
  bool nv12 = false;
  size_t Size() const { return bytes ? bytes->size() : 0; }
};

// The window of the full sensor picture that is delivered (the camera's crop).
struct PictureWindow {
  int fullWidth = 640, fullHeight = 480;
  int x = 0, y = 0, width = 640, height = 480;
};

// JPEG quality for a compression byte: 0x36 (least compression) gives 95, 0x8F gives 10,
// linear in between; bytes outside that range are clamped to it.
int QualityForCompression(uint8_t compression);

// The test pattern as packed RGB rows of the window; `frame` is drawn as digits.
void RenderPatternRow(const PictureWindow& window, unsigned frame, int row, uint8_t* rgb);

// Encodes the pattern; empty bytes when libjpeg fails.
std::vector<uint8_t> EncodePatternJpeg(const PictureWindow& window, unsigned frame, int quality);
// w*h luma bytes, then w*h/2 interleaved U,V bytes (full range); width and height even.
std::vector<uint8_t> RenderPatternNv12(const PictureWindow& window, unsigned frame);

// Width and height from a JPEG's start-of-frame marker; false when there is none.
bool JpegDimensions(const std::vector<uint8_t>& jpeg, int& width, int& height);

// The *.jpg / *.jpeg files of a folder, sorted by name.
std::vector<std::string> ListJpegFiles(const std::string& folder);
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

}  // namespace camsim
