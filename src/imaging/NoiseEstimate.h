#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// A robust estimate of a picture's noise, one standard deviation in levels, in two looks.
//
// The first reads the median of a 3x3 high-pass that is blind to flat areas, gradients and
// edges along the rows and columns ([1 -2 1] x [1 -2 1], gain 6 on white noise): texture
// hardly moves it, but JPEG, which smooths noise within a few pixels, hides most of the noise
// from it.
//
// The second compares a pixel with the mean of the eight pixels two and four steps left,
// right, up and down of it, far enough apart that JPEG has not made them alike. Only samples
// whose eight pixels span no more than the noise (of the last look) explains count, which
// leaves out edges and thin lines; for pure noise the choice does not bias the centre's
// deviation (the spread of normal samples is independent of their mean). Where too few
// samples are calm (a picture all texture), the first look stands.
class CNoiseEstimator {
 public:
  explicit CNoiseEstimator(size_t expectedSamples = 0);
  // The 3x3 high-pass at rows r0..r2 (three levels each, left to right).
  void AddHighPass(const int* r0, const int* r1, const int* r2) {
    const int residual = (r0[0] - 2 * r0[1] + r0[2]) - 2 * (r1[0] - 2 * r1[1] + r1[2]) +
                         (r2[0] - 2 * r2[1] + r2[2]);
    ++m_highPass[static_cast<size_t>(residual < 0 ? -residual : residual)];
    ++m_highPassSamples;
  }
  // The centre and its eight pixels two and four steps away.
  void AddSpaced(int centre, const int* eight) {
    int low = eight[0], high = eight[0], sum = 0;
    for (int i = 0; i < 8; ++i) {
      low = std::min(low, eight[i]);
      high = std::max(high, eight[i]);
      sum += eight[i];
    }
    m_deviations.push_back(static_cast<int16_t>(8 * centre - sum));
    m_ranges.push_back(static_cast<uint8_t>(high - low));
  }
  // 0 with no samples, or none that deviate at all.
  double Sigma() const;

 private:
  static constexpr int kLargestHighPass = 16 * 255;
  std::vector<uint32_t> m_highPass;   // samples by absolute high-pass
  uint32_t m_highPassSamples = 0;
  std::vector<int16_t> m_deviations;  // 8 x centre - the sum of the eight
  std::vector<uint8_t> m_ranges;      // largest minus smallest of the eight
};

// A percentile (0..1) of levels counted in `counts` (one per level), read as if each level
// covered the span of a level around it, so a narrow spread of whole levels still gives a
// fractional answer.
double HistogramPercentile(const uint32_t* counts, int levels, uint64_t total, double share);
