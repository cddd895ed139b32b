#include "imaging/NoiseEstimate.h"

#include <algorithm>

double HistogramPercentile(const uint32_t* counts, int levels, uint64_t total, double share) {
  if (total == 0) return 0;
  const double wanted = share * static_cast<double>(total);
  double seen = 0;
  for (int level = 0; level < levels; ++level) {
    if (counts[level] == 0) continue;
    if (seen + counts[level] >= wanted)
      return level - 0.5 + (wanted - seen) / counts[level];
    seen += counts[level];
  }
  return levels - 1;
}

double CNoiseHistogram::Sigma() const {
  if (m_total == 0 || m_counts[0] == m_total) return 0;  // not one level of noise
  // The absolute residual 0 covers only [0, 0.5): its share is read on that half span.
  const double half = m_total / 2.0;
  double median = 0;
  if (m_counts[0] >= half) {
    median = 0.5 * half / m_counts[0];
  } else {
    median = HistogramPercentile(m_counts.data(), kLargest + 1, m_total, 0.5);
    median = std::max(median, 0.5);
  }
  // Median absolute value of a normal variable: 0.6745 sigma; the high-pass's gain: 6.
  return median / 0.6745 / 6.0;
}
