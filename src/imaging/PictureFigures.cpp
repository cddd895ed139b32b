#include "imaging/PictureFigures.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/Dib.h"

namespace {

inline int Luma(const uint8_t* bgr) { return (29 * bgr[0] + 150 * bgr[1] + 77 * bgr[2] + 128) >> 8; }

// The share of the picture's area a 640 x 480 picture has: edges per pixel fall as the
// same scene is taken with more pixels, and the sharpness figure makes up for it.
double AreaScale(int width, int height) {
  return std::sqrt(static_cast<double>(width) * height / (640.0 * 480.0));
}

}  // namespace

PictureFigures MeasurePicture(const uint8_t* bgr, int width, int height, size_t stride) {
  PictureFigures f;
  if (!bgr || width < 2 || height < 2) return f;
  f.measured = true;
  f.width = width;
  f.height = height;
  // Each sample reads its right and lower neighbours too, so cells cover all but the last
  // column and row.
  const int cols = std::min(kGridColumns, width - 1);
  const int rows = std::clamp(static_cast<int>(static_cast<int64_t>(cols) * height / width), 1,
                              height - 1);
  uint64_t sumB = 0, sumG = 0, sumR = 0, sumY = 0, sumYY = 0;
  double steps = 0;
  int minY = 255, maxY = 0;
  // Where each column of cells starts and how wide it is, worked out once.
  std::vector<int> cellX(static_cast<size_t>(cols) + 1);
  for (int gx = 0; gx <= cols; ++gx)
    cellX[gx] = static_cast<int>(static_cast<int64_t>(gx) * (width - 1) / cols);
  uint32_t seed = 0x9E3779B9u;  // fixed: the same picture always gives the same figures
  // A place in [0, span): the random number's top 16 bits scaled, no division.
  auto place = [&seed](int span) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>(((seed >> 16) * static_cast<uint32_t>(span)) >> 16);
  };
  for (int gy = 0; gy < rows; ++gy) {
    // One place in the cells' height per row of cells, one in its width per cell: the two
    // picture rows a row of cells reads are then read left to right, which the caches can
    // fetch ahead (a place per cell in both ways costs twice the time, in cache misses).
    const int y0 = static_cast<int>(static_cast<int64_t>(gy) * (height - 1) / rows);
    const int y1 = static_cast<int>(static_cast<int64_t>(gy + 1) * (height - 1) / rows);
    const int y = y0 + place(std::max(1, y1 - y0));
    for (int gx = 0; gx < cols; ++gx) {
      const int x = cellX[gx] + place(std::max(1, cellX[gx + 1] - cellX[gx]));
      const uint8_t* p = bgr + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3;
      const int level = Luma(p);
      const int dx = Luma(p + 3) - level;
      const int dy = Luma(p + stride) - level;
      steps += dx * dx + dy * dy;
      sumB += p[0];
      sumG += p[1];
      sumR += p[2];
      sumY += level;
      sumYY += static_cast<uint64_t>(level * level);
      ++f.histogram[static_cast<size_t>(level)];
      minY = std::min(minY, level);
      maxY = std::max(maxY, level);
    }
  }
  const double n = static_cast<double>(cols) * rows;
  f.samples = static_cast<uint32_t>(n);
  f.meanLuma = sumY / n;
  f.minLuma = minY;
  f.maxLuma = maxY;
  f.lumaSpread = std::sqrt(std::max(0.0, sumYY / n - f.meanLuma * f.meanLuma));
  f.meanBlue = sumB / n;
  f.meanGreen = sumG / n;
  f.meanRed = sumR / n;

  uint32_t black = 0, white = 0;
  for (int level = 0; level <= kBlackLevel; ++level) black += f.histogram[level];
  for (int level = kWhiteLevel; level <= 255; ++level) white += f.histogram[level];
  f.clippedBlack = black / n;
  f.clippedWhite = white / n;

  // Between the 1st and 99th percentiles: a few hot or dead pixels do not make a dead
  // sensor's picture lively.
  uint32_t seen = 0;
  int low = -1, high = 255;
  for (int level = 0; level < 256; ++level) {
    seen += f.histogram[level];
    if (low < 0 && seen > n * 0.01) low = level;
    if (seen >= n * 0.99) {
      high = level;
      break;
    }
  }
  f.uniform = high - low < kUniformSpan;
  if (!f.uniform)
    f.sharpness = 100.0 * std::sqrt(steps / n * AreaScale(width, height)) / (f.lumaSpread + 1.0);
  return f;
}

PictureFigures MeasurePicture(const CDib& dib) {
  const DibLayout& layout = dib.Layout();
  if (!dib.IsDrawable() || layout.bitCount != 24) return {};
  return MeasurePicture(dib.Bits(), layout.width, std::abs(layout.height), layout.rowSize);
}
