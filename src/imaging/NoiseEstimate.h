#pragma once
// A robust estimate of a picture's noise: the median absolute value of a high-pass that is
// blind to flat areas, gradients and straight edges along the rows and columns (the 3x3
// product of two second differences, [1 -2 1] x [1 -2 1]). Structure touches few of the
// samples, so the median reads the noise under it; white Gaussian noise of sigma s gives the
// high-pass a standard deviation of 6 s.
#include <cstddef>
#include <cstdint>
#include <vector>

class CNoiseHistogram {
 public:
  CNoiseHistogram() : m_counts(kLargest + 1) {}

  // The high-pass of the 3x3 at rows r0, r1, r2 (three levels each, left to right).
  static int Residual(const int* r0, const int* r1, const int* r2) {
    return (r0[0] - 2 * r0[1] + r0[2]) - 2 * (r1[0] - 2 * r1[1] + r1[2]) +
           (r2[0] - 2 * r2[1] + r2[2]);
  }
  void Add(int residual) {
    ++m_counts[static_cast<size_t>(residual < 0 ? -residual : residual)];
    ++m_total;
  }
  uint32_t Samples() const { return m_total; }
  // Sigma in levels; 0 with no samples.
  double Sigma() const;

 private:
  static constexpr int kLargest = 16 * 255;
  std::vector<uint32_t> m_counts;  // samples by absolute residual
  uint32_t m_total = 0;
};

// A percentile (0..1) of levels counted in `counts` (one per level), read as if each level
// covered the half-open span of a level around it, so a narrow spread of whole levels still
// gives a fractional answer.
double HistogramPercentile(const uint32_t* counts, int levels, uint64_t total, double share);
