#include "imaging/PictureFigures.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/Dib.h"
#include "imaging/LumaPlane.h"
#include "imaging/NoiseEstimate.h"

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
  double steps = 0, stepsSquared = 0;
  int minY = 255, maxY = 0;
  CNoiseHistogram noise;
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
    // One place in the cells' height per row of cells, one in its width per cell: the
    // picture rows a row of cells reads are then read left to right, which the caches can
    // fetch ahead (a place per cell in both ways costs twice the time, in cache misses).
    const int y0 = static_cast<int>(static_cast<int64_t>(gy) * (height - 1) / rows);
    const int y1 = static_cast<int>(static_cast<int64_t>(gy + 1) * (height - 1) / rows);
    const int y = y0 + place(std::max(1, y1 - y0));
    // The third row and column of the noise's 3x3 stay inside a picture 2 pixels wide.
    const size_t down2 = (y + 2 < height ? 2 : 1) * stride;
    for (int gx = 0; gx < cols; ++gx) {
      const int x = cellX[gx] + place(std::max(1, cellX[gx + 1] - cellX[gx]));
      const uint8_t* p = bgr + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3;
      const size_t right2 = x + 2 < width ? 6 : 3;
      const int r0[3] = {Luma(p), Luma(p + 3), Luma(p + right2)};
      const int r1[3] = {Luma(p + stride), Luma(p + stride + 3), Luma(p + stride + right2)};
      const int r2[3] = {Luma(p + down2), Luma(p + down2 + 3), Luma(p + down2 + right2)};
      const int level = r0[0];
      // Two parallel steps a row (a column) apart share no pixel, so their noise is
      // independent and their product is, on average, the square of the step without it.
      const int product = (r0[1] - r0[0]) * (r1[1] - r1[0]) + (r1[0] - r0[0]) * (r1[1] - r0[1]);
      steps += product;
      stepsSquared += static_cast<double>(product) * product;
      // Clipped levels hide the noise: such samples would talk it down.
      const int low = std::min({r0[0], r0[1], r0[2], r1[0], r1[1], r1[2], r2[0], r2[1], r2[2]});
      const int high = std::max({r0[0], r0[1], r0[2], r1[0], r1[1], r1[2], r2[0], r2[1], r2[2]});
      if (low > kBlackLevel && high < kWhiteLevel) noise.Add(CNoiseHistogram::Residual(r0, r1, r2));
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

  f.noise = noise.Sigma();
  // Between the 1st and 99th percentiles: a few hot or dead pixels do not make a dead
  // sensor's picture lively.
  const double low = HistogramPercentile(f.histogram.data(), 256, f.samples, 0.01);
  const double high = HistogramPercentile(f.histogram.data(), 256, f.samples, 0.99);
  // The 10th-90th percentile spread of a normal variable is 2.563 standard deviations.
  const double robustSpread = (HistogramPercentile(f.histogram.data(), 256, f.samples, 0.90) -
                               HistogramPercentile(f.histogram.data(), 256, f.samples, 0.10)) /
                              2.563;
  const double noise2 = f.noise * f.noise;
  f.structure = std::sqrt(std::max(0.0, robustSpread * robustSpread - noise2));
  f.uniform = f.structure < kUniformLevels + kUniformNoiseShare * f.noise &&
              high - low < kUniformSpan + kUniformSpanNoise * f.noise;
  if (!f.uniform) {
    // The steps' mean less two of its standard errors: what noise alone may leave of it
    // does not count as detail.
    const double mean = steps / n;
    const double error = std::sqrt(std::max(0.0, stepsSquared / n - mean * mean) / n);
    const double detail = std::max(0.0, mean - 2 * error);
    const double spread = std::sqrt(std::max(0.0, f.lumaSpread * f.lumaSpread - noise2));
    f.sharpness = 100.0 * std::sqrt(detail * AreaScale(width, height)) / (spread + 1.0);
  }
  return f;
}

void MeasureCostlyFigures(const LumaPlane& luma, const MeasureOptions& options,
                          PictureFigures& figures) {
  if (luma.Empty()) return;
  if (options.flatField) figures.flatField = MeasureFlatField(luma);
  if (options.mtf)
    figures.mtf = MeasureSlantedEdges(luma.pixels.data(), luma.width, luma.height,
                                      static_cast<size_t>(luma.width), options.edgeRegion);
}

PictureFigures MeasurePicture(const CDib& dib, const MeasureOptions& options) {
  const DibLayout& layout = dib.Layout();
  if (!dib.IsDrawable() || layout.bitCount != 24) return {};
  PictureFigures figures =
      MeasurePicture(dib.Bits(), layout.width, std::abs(layout.height), layout.rowSize);
  if (options.Any()) MeasureCostlyFigures(LumaOf(dib), options, figures);
  return figures;
}
