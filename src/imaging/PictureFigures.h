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
#include <optional>
#include <string>

#include "imaging/FlatField.h"
#include "imaging/SlantedEdge.h"

class CDib;
struct LumaPlane;

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
  // exposure. The step is the product of two parallel steps one row (or column) apart, whose
  // noise is independent, so noise adds nothing to it on average; the spread is the
  // structure's, with the noise taken out. 0 for a uniform picture.
  double sharpness = 0;
  // Noise in levels (one standard deviation), from the median of a high-pass that ignores
  // flat areas, gradients and edges; samples touching clipped levels are left out.
  double noise = 0;
  // Luma spread of the picture's structure: the 10th-90th percentile spread (as a standard
  // deviation) with the noise taken out.
  double structure = 0;
  // No structure above the noise: a dead, covered or fully saturated sensor, whatever the
  // noise and the level (see kUniformLevels).
  bool uniform = false;
  double meanRed = 0;     // 0..255
  double meanGreen = 0;
  double meanBlue = 0;
  // The costly figures, present only when asked for (MeasureOptions).
  std::optional<FlatFieldFigures> flatField;
  std::optional<MtfFigures> mtf;
};

// Which costly figures to measure besides the sampled ones.
struct MeasureOptions {
  bool flatField = false;
  bool mtf = false;
  std::optional<EdgeRect> edgeRegion;  // MTF on this region only (picture pixels)
  bool Any() const { return flatField || mtf; }
};

constexpr int kGridColumns = 400;
constexpr int kBlackLevel = 2;
constexpr int kWhiteLevel = 253;
// A picture is uniform when its structure (above) is under kUniformLevels plus
// kUniformNoiseShare times its noise, and its 1st-99th percentile span is under kUniformSpan
// plus kUniformSpanNoise times its noise (a bright spot of more than 1 % of the picture is
// structure too). Pure noise of sigma s spans about 4.7 s between those percentiles.
constexpr double kUniformLevels = 1.5;
constexpr double kUniformNoiseShare = 0.5;
constexpr int kUniformSpan = 8;
constexpr double kUniformSpanNoise = 6.0;

// bgr: 3 bytes a pixel, `stride` bytes a row (rows in either order).
PictureFigures MeasurePicture(const uint8_t* bgr, int width, int height, size_t stride);
// A decoded picture (24 bits a pixel); any other is not measured. The costly figures come
// from its luma.
PictureFigures MeasurePicture(const CDib& dib, const MeasureOptions& options = {});
// Adds the costly figures `options` asks for, measured on `luma` (for an NV12 frame, its own
// Y plane).
void MeasureCostlyFigures(const LumaPlane& luma, const MeasureOptions& options,
                          PictureFigures& figures);
