#include "imaging/NoiseEstimate.h"

#include <algorithm>
#include <cmath>

double HistogramPercentile(const uint32_t* counts, int levels, uint64_t total, double share) {
  if (total == 0) return 0;
  const double wanted = share * static_cast<double>(total);
  double seen = 0;
  for (int level = 0; level < levels; ++level) {
    if (counts[level] == 0) continue;
    if (seen + counts[level] >= wanted) return level - 0.5 + (wanted - seen) / counts[level];
    seen += counts[level];
  }
  return levels - 1;
}

CNoiseEstimator::CNoiseEstimator(size_t expectedSamples) : m_highPass(kLargestHighPass + 1) {
  m_deviations.reserve(expectedSamples);
  m_ranges.reserve(expectedSamples);
}

namespace {

constexpr int kLargestSpaced = 8 * 255;
// The spaced deviation's standard deviation per unit of white noise: sqrt(64 + 8).
const double kSpacedGain = std::sqrt(72.0);
// Samples the second look needs before it is believed.
constexpr size_t kFewestCalm = 500;

// The median of absolute values counted by value, with 0 read on its half span [0, 0.5).
double MedianOfAbsolutes(const uint32_t* counts, int largest, uint64_t total) {
  if (total == 0 || counts[0] == total) return 0;
  const double half = total / 2.0;
  if (counts[0] >= half) return 0.5 * half / counts[0];
  return std::max(0.5, HistogramPercentile(counts, largest + 1, total, 0.5));
}

}  // namespace

double CNoiseEstimator::Sigma() const {
  // Median absolute value of a normal variable: 0.6745 sigma; the high-pass's gain: 6.
  double sigma = MedianOfAbsolutes(m_highPass.data(), kLargestHighPass, m_highPassSamples) / 0.6745 / 6.0;
  if (sigma <= 0) return 0;
  std::vector<uint32_t> counts(kLargestSpaced + 1);
  for (int look = 0; look < 3; ++look) {
    // Eight normal samples span less than 3.5 sigma about three times in four; a tight
    // limit keeps smooth texture (a blurred pattern) out too.
    const int widest = static_cast<int>(std::ceil(3.5 * sigma)) + 1;
    std::fill(counts.begin(), counts.end(), 0u);
    uint64_t calm = 0;
    for (size_t i = 0; i < m_deviations.size(); ++i) {
      if (m_ranges[i] > widest) continue;
      ++counts[static_cast<size_t>(std::abs(m_deviations[i]))];
      ++calm;
    }
    if (calm < kFewestCalm) break;
    const double next = MedianOfAbsolutes(counts.data(), kLargestSpaced, calm) / 0.6745 / kSpacedGain;
    if (next <= 0) break;
    sigma = next;
  }
  return sigma;
}
