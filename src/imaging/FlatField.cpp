#include "imaging/FlatField.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numeric>
#include <unordered_map>
#include <vector>

#include "imaging/LumaPlane.h"
#include "imaging/NoiseEstimate.h"
#include "imaging/PictureFigures.h"

namespace {

// The shading model's blocks: small enough to follow a lens's fall-off, large enough that
// their means are quiet.
constexpr int kBlock = 16;
// A flat field has at most this share of its pixels as defects; more is a scene or a fault
// of another kind, and counting it as defects would only mislead.
constexpr double kMostDefects = 0.001;

double NoiseOfPlane(const LumaPlane& plane) {
  // About 150,000 high-pass samples on a regular grid: plenty for a median, whatever the size.
  const double area = static_cast<double>(plane.width) * plane.height;
  const int step = std::max(1, static_cast<int>(std::sqrt(area / 150000.0)));
  CNoiseHistogram histogram;
  for (int y = 0; y + 2 < plane.height; y += step) {
    const uint8_t* a = plane.Row(y);
    const uint8_t* b = plane.Row(y + 1);
    const uint8_t* c = plane.Row(y + 2);
    for (int x = 0; x + 2 < plane.width; x += step) {
      const int r0[3] = {a[x], a[x + 1], a[x + 2]};
      const int r1[3] = {b[x], b[x + 1], b[x + 2]};
      const int r2[3] = {c[x], c[x + 1], c[x + 2]};
      histogram.Add(CNoiseHistogram::Residual(r0, r1, r2));
    }
  }
  return histogram.Sigma();
}

// Block means, row of blocks after row of blocks; partial blocks at the right and bottom
// are left out.
std::vector<double> BlockMeans(const LumaPlane& plane, int columns, int rows) {
  std::vector<double> means(static_cast<size_t>(columns) * rows);
  std::vector<uint32_t> sums(static_cast<size_t>(columns));
  for (int by = 0; by < rows; ++by) {
    std::fill(sums.begin(), sums.end(), 0u);
    for (int y = by * kBlock; y < (by + 1) * kBlock; ++y) {
      const uint8_t* row = plane.Row(y);
      for (int bx = 0; bx < columns; ++bx) {
        const uint8_t* q = row + bx * kBlock;
        uint32_t sum = 0;
        for (int i = 0; i < kBlock; ++i) sum += q[i];
        sums[bx] += sum;
      }
    }
    for (int bx = 0; bx < columns; ++bx)
      means[static_cast<size_t>(by) * columns + bx] = sums[bx] / double(kBlock * kBlock);
  }
  return means;
}

// A field is flat when its block means change smoothly: the 95th percentile of their second
// differences stays within what shading and noise explain (a few defect clusters may
// disturb the blocks they sit in).
bool SmoothBlocks(const std::vector<double>& means, int columns, int rows, double noise,
                  double level) {
  std::vector<double> bends;
  bends.reserve(means.size() * 2);
  auto at = [&](int bx, int by) { return means[static_cast<size_t>(by) * columns + bx]; };
  for (int by = 0; by < rows; ++by)
    for (int bx = 1; bx + 1 < columns; ++bx)
      bends.push_back(std::fabs(at(bx - 1, by) - 2 * at(bx, by) + at(bx + 1, by)));
  for (int by = 1; by + 1 < rows; ++by)
    for (int bx = 0; bx < columns; ++bx)
      bends.push_back(std::fabs(at(bx, by - 1) - 2 * at(bx, by) + at(bx, by + 1)));
  if (bends.empty()) return false;
  auto p95 = bends.begin() + static_cast<std::ptrdiff_t>(bends.size() * 95 / 100);
  std::nth_element(bends.begin(), p95, bends.end());
  // A block mean's noise is noise / kBlock; a second difference has sqrt(6) times that.
  const double limit = 2.0 + 0.01 * level + 3.0 * noise * std::sqrt(6.0) / kBlock;
  return *p95 <= limit;
}

// The mean of a box's levels between its 5th and 95th percentile: a defect in the box does
// not move it.
double TrimmedMean(const LumaPlane& plane, int x0, int y0, int width, int height) {
  std::array<uint32_t, 256> counts{};
  for (int y = y0; y < y0 + height; ++y) {
    const uint8_t* row = plane.Row(y);
    for (int x = x0; x < x0 + width; ++x) ++counts[row[x]];
  }
  const double total = static_cast<double>(width) * height;
  const double from = total * 0.05, to = total * 0.95;
  double seen = 0, sum = 0, kept = 0;
  for (int level = 0; level < 256; ++level) {
    // The part of this level's pixels that lies between the two ranks.
    const double lo = std::max(seen, from), hi = std::min(seen + counts[level], to);
    if (hi > lo) {
      sum += (hi - lo) * level;
      kept += hi - lo;
    }
    seen += counts[level];
  }
  return kept > 0 ? sum / kept : 0;
}

void MeasureShading(const LumaPlane& plane, FlatFieldFigures& f) {
  const int w = std::max(4, plane.width / kShadingBoxDivisor);
  const int h = std::max(4, plane.height / kShadingBoxDivisor);
  f.centre = TrimmedMean(plane, (plane.width - w) / 2, (plane.height - h) / 2, w, h);
  if (f.centre < kShadingMinLevel) {
    char text[64];
    std::snprintf(text, sizeof text, "too dark (centre %.1f)", f.centre);
    f.shadingFailure = text;
    return;
  }
  if (f.centre >= kWhiteLevel) {
    f.shadingFailure = "centre clipped white";
    return;
  }
  const struct {
    const char* name;
    int x, y;
  } corners[] = {{"tl", 0, 0},
                 {"tr", plane.width - w, 0},
                 {"bl", 0, plane.height - h},
                 {"br", plane.width - w, plane.height - h}};
  double darkest = 0;
  for (const auto& corner : corners) {
    const double mean = TrimmedMean(plane, corner.x, corner.y, w, h);
    if (f.darkestCorner.empty() || mean < darkest) {
      darkest = mean;
      f.darkestCorner = corner.name;
    }
  }
  f.shadingMeasured = true;
  f.shading = 100.0 * darkest / f.centre;
}

struct Defect {
  int x, y;
  bool hot;
};

// The median of the eight pixels two steps around (x, y): outside a 3x3 cluster centred
// there, and at most three of them inside one for any other pixel of the cluster.
double RingMedian(const LumaPlane& plane, int x, int y) {
  const uint8_t* a = plane.Row(y - 2);
  const uint8_t* b = plane.Row(y);
  const uint8_t* c = plane.Row(y + 2);
  std::array<int, 8> ring = {a[x - 2], a[x], a[x + 2], b[x - 2], b[x + 2], c[x - 2], c[x], c[x + 2]};
  std::nth_element(ring.begin(), ring.begin() + 4, ring.end());
  const int upper = ring[4];
  const int lower = *std::max_element(ring.begin(), ring.begin() + 4);
  return (lower + upper) / 2.0;
}

// Pixels that stand out, in raster order; false when so many do that this is no flat field.
bool FindDefects(const LumaPlane& plane, const std::vector<double>& means, int columns, int rows,
                 double threshold, std::vector<Defect>& defects) {
  const double pixels = static_cast<double>(plane.width) * plane.height;
  const size_t most = static_cast<size_t>(std::max(100.0, pixels * kMostDefects));
  // A cheap first look against the block's mean (off by less than a level of shading within a
  // block) picks the candidates; the neighbourhood's median decides.
  const double screen = threshold / 2;
  for (int y = 2; y + 2 < plane.height; ++y) {
    const int by = std::min(y / kBlock, rows - 1);
    const uint8_t* row = plane.Row(y);
    for (int bx = 0; bx < columns; ++bx) {
      const int x0 = std::max(2, bx * kBlock);
      const int x1 = bx + 1 == columns ? plane.width - 2 : (bx + 1) * kBlock;
      const double ref = means[static_cast<size_t>(by) * columns + bx];
      const int lo = static_cast<int>(std::ceil(ref - screen));
      const int hi = static_cast<int>(std::floor(ref + screen));
      int outside = 0;
      for (int x = x0; x < x1; ++x) outside |= (row[x] < lo) | (row[x] > hi);
      if (!outside) continue;
      for (int x = x0; x < x1; ++x) {
        if (row[x] >= lo && row[x] <= hi) continue;
        const double standOut = row[x] - RingMedian(plane, x, y);
        if (std::fabs(standOut) <= threshold) continue;
        defects.push_back({x, y, standOut > 0});
        if (defects.size() > most) return false;
      }
    }
  }
  return true;
}

int LargestCluster(const std::vector<Defect>& defects, int width) {
  std::vector<int> parent(defects.size()), size(defects.size(), 1);
  std::iota(parent.begin(), parent.end(), 0);
  std::function<int(int)> root = [&](int i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  std::unordered_map<int64_t, int> index;
  int largest = 0;
  for (int i = 0; i < static_cast<int>(defects.size()); ++i) {
    const Defect& d = defects[i];
    index[static_cast<int64_t>(d.y) * width + d.x] = i;
    // The neighbours already seen in raster order: left, and the three above.
    const int around[4][2] = {{-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
    for (const auto& step : around) {
      const auto found = index.find(static_cast<int64_t>(d.y + step[1]) * width + d.x + step[0]);
      if (found == index.end()) continue;
      const int a = root(i), b = root(found->second);
      if (a == b) continue;
      parent[b] = a;
      size[a] += size[b];
    }
    largest = std::max(largest, size[root(i)]);
  }
  return largest;
}

}  // namespace

FlatFieldFigures MeasureFlatField(const LumaPlane& plane) {
  FlatFieldFigures f;
  const int columns = plane.width / kBlock, rows = plane.height / kBlock;
  if (plane.Empty() || columns < 3 || rows < 3) {
    f.failure = "picture too small";
    return f;
  }
  f.noise = NoiseOfPlane(plane);
  const std::vector<double> means = BlockMeans(plane, columns, rows);
  const double level = std::accumulate(means.begin(), means.end(), 0.0) / means.size();
  if (!SmoothBlocks(means, columns, rows, f.noise, level)) {
    f.failure = "not a flat field";
    return f;
  }
  f.threshold = std::max(kDefectMinLevels, kDefectNoiseMultiple * f.noise);
  std::vector<Defect> defects;
  if (!FindDefects(plane, means, columns, rows, f.threshold, defects)) {
    f.failure = "not a flat field (too many pixels stand out)";
    return f;
  }
  f.measured = true;
  MeasureShading(plane, f);
  f.defects = static_cast<int>(defects.size());
  for (const Defect& d : defects) {
    (d.hot ? f.hot : f.dead) += 1;
    const uint8_t level = plane.Row(d.y)[d.x];
    if (level == 0 || level == 255) ++f.stuck;
  }
  f.largestCluster = LargestCluster(defects, plane.width);
  return f;
}
