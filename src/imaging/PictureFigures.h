#pragma once
// Figures of a decoded picture that tell a good module from a bad one without looking:
// brightness and its spread, clipping, a focus figure, a dead or covered sensor, colour
// balance. Window-free; cheap enough to run on every picture of a continuous capture.
//
// The figures come from one pixel in each cell of a grid of kGridColumns columns (and rows
// in proportion), at a place that varies from cell to cell (across) and from row to row of
// cells (down) so that a regular pattern cannot hide between the samples. That is a few
// tens of thousands of pixels whatever the picture's size: a 4K picture costs a small part
// of its decode.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CDib;

struct PictureFigures {
  bool measured = false;  // false: no drawable 24-bit picture
  // The decoder's first warning ("Premature end of JPEG file"): the file is damaged and the
  // figures are of what could be decoded. Empty for a picture that decoded cleanly.
  std::string decodeWarning;
  int width = 0;
  int height = 0;
  double meanLuma = 0;    // 0..255, BT.601 weights
  int minLuma = 0;
  int maxLuma = 0;
  double lumaSpread = 0;  // standard deviation of luma
  std::array<uint32_t, 256> histogram{};  // sampled pixels by luma
  uint32_t samples = 0;   // pixels sampled in all
  double clippedBlack = 0;  // share 0..1 of pixels at luma <= kBlackLevel
  double clippedWhite = 0;  // share 0..1 of pixels at luma >= kWhiteLevel
  // Root-mean-square luma step between neighbouring pixels, per unit of luma spread, scaled
  // to a 640 x 480 picture's edge density, x 100: falls as the picture blurs, whatever its
  // exposure or size. 0 for a uniform picture.
  double sharpness = 0;
  bool uniform = false;   // a dead, covered or fully saturated sensor: (almost) one level
  double meanRed = 0;     // 0..255
  double meanGreen = 0;
  double meanBlue = 0;
};

constexpr int kGridColumns = 400;
constexpr int kBlackLevel = 2;
constexpr int kWhiteLevel = 253;
// Luma levels between the 1st and 99th percentile below which a picture counts as uniform.
constexpr int kUniformSpan = 8;

// bgr: 3 bytes a pixel, `stride` bytes a row (rows in either order).
PictureFigures MeasurePicture(const uint8_t* bgr, int width, int height, size_t stride);
// A decoded picture (24 bits a pixel); any other is not measured.
PictureFigures MeasurePicture(const CDib& dib);
