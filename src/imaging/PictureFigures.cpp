#include "imaging/PictureFigures.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/Dib.h"
#include "imaging/LumaPlane.h"
#include "imaging/NoiseEstimate.h"

namespace {

constexpr int kNoiseRowStep = 6;

inline int Luma(const uint8_t* bgr) { return (29 * bgr[0] + 150 * bgr[1] + 77 * bgr[2] + 128) >> 8; }

// The share of the picture's area a 640 x 480 picture has: edges per pixel fall as the
// same scene is taken with more pixels, and the sharpness figure makes up for it. That holds
// for edges sharp to the pixel; a blur that grows with the picture still reads lower at more
// pixels, so the figure ranks pictures of one size.
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
  double steps = 0, squares = 0;
  int minY = 255, maxY = 0;
  CNoiseEstimator noise(static_cast<size_t>(cols) * rows);
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
    // The noise's spaced samples need the pixels four steps around them; the third row and
    // column of its 3x3 stay inside a picture 2 pixels wide.
    const bool rowForNoise = y >= 4 && y + 4 < height;
    // Noise is read on every kNoiseRowStep-th row of cells: tens of thousands of samples are
    // plenty for a median, and the rows around them are most of the cost.
    const bool noiseRow = gy % kNoiseRowStep == 0;
    const size_t down2 = (y + 2 < height ? 2 : 1) * stride;
    for (int gx = 0; gx < cols; ++gx) {
      const int x = cellX[gx] + place(std::max(1, cellX[gx + 1] - cellX[gx]));
      const uint8_t* p = bgr + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3;
      const int level = Luma(p), right = Luma(p + 3), below = Luma(p + stride),
                diagonal = Luma(p + stride + 3);
      // Two parallel steps a row (a column) apart share no pixel, so their noise is
      // independent and their product is, on average, the square of the step without it.
      const int product = (right - level) * (diagonal - below) + (below - level) * (diagonal - right);
      steps += product;
      const int dx = right - level, dy = below - level;
      const int square = dx * dx + dy * dy;
      squares += square;
      if (noiseRow) {
        const size_t right2 = x + 2 < width ? 6 : 3;
        const int r0[3] = {level, right, Luma(p + right2)};
        const int r1[3] = {below, diagonal, Luma(p + stride + right2)};
        const int r2[3] = {Luma(p + down2), Luma(p + down2 + 3), Luma(p + down2 + right2)};
        // Clipped levels hide the noise: such samples would talk it down.
        const int low = std::min({r0[0], r0[1], r0[2], r1[0], r1[1], r1[2], r2[0], r2[1], r2[2]});
        const int high = std::max({r0[0], r0[1], r0[2], r1[0], r1[1], r1[2], r2[0], r2[1], r2[2]});
        if (low > kBlackLevel && high < kWhiteLevel) {
          noise.AddHighPass(r0, r1, r2);
          if (rowForNoise && x >= 4 && x + 4 < width) {
            const int eight[8] = {Luma(p - 12),         Luma(p - 6),          r0[2],
                                  Luma(p + 12),         Luma(p - 4 * stride), Luma(p - 2 * stride),
                                  r2[0],                Luma(p + 4 * stride)};
            if (*std::min_element(eight, eight + 8) > kBlackLevel &&
                *std::max_element(eight, eight + 8) < kWhiteLevel)
              noise.AddSpaced(level, eight);
          }
        }
      }
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
    // The products carry no noise but see a little less of detail finer than a row; the
    // squares less the noise's own share (4 sigma^2) are the figure as it always was on a
    // clean picture. The larger is the detail: the squares where the noise is known, the
    // products where JPEG has hidden some of it from the estimate.
    const double detail = std::max({0.0, steps / n, squares / n - 4 * noise2});
    const double spread = std::sqrt(std::max(0.0, f.lumaSpread * f.lumaSpread - noise2));
    f.sharpness = 100.0 * std::sqrt(detail * AreaScale(width, height)) / (spread + 1.0);
  }
  return f;
}

void MeasureCostlyFigures(const LumaPlane& luma, const MeasureOptions& options,
                          PictureFigures& figures) {
  if (luma.Empty()) return;
  if (options.flatField) figures.flatField = MeasureFlatField(luma);
  if (!options.mtf) return;
  if (const auto& r = options.edgeRegion;
      r && (r->x < 0 || r->y < 0 || r->width <= 0 || r->height <= 0 ||
            int64_t{r->x} + r->width > luma.width || int64_t{r->y} + r->height > luma.height)) {
    // Said as it is rather than measured on a part of the region.
    figures.mtf = MtfFigures{};
    figures.mtf->failure = "the region is not inside the " + std::to_string(luma.width) + "x" +
                           std::to_string(luma.height) + " picture";
    return;
  }
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
