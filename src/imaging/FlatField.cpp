#include "imaging/FlatField.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
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
  // About 40,000 samples on a regular grid: plenty for a median, whatever the size.
  const double area = static_cast<double>(plane.width) * plane.height;
  const int step = std::max(1, static_cast<int>(std::sqrt(area / 40000.0)));
  CNoiseEstimator noise(static_cast<size_t>(area / step / step));
  for (int y = 4; y + 4 < plane.height; y += step) {
    const uint8_t* rows[9];
    for (int k = 0; k < 9; ++k) rows[k] = plane.Row(y - 4 + k);
    for (int x = 4; x + 4 < plane.width; x += step) {
      const int r0[3] = {rows[4][x], rows[4][x + 1], rows[4][x + 2]};
      const int r1[3] = {rows[5][x], rows[5][x + 1], rows[5][x + 2]};
      const int r2[3] = {rows[6][x], rows[6][x + 1], rows[6][x + 2]};
      noise.AddHighPass(r0, r1, r2);
      const int eight[8] = {rows[4][x - 4], rows[4][x - 2], rows[4][x + 2], rows[4][x + 4],
                            rows[0][x],     rows[2][x],     rows[6][x],     rows[8][x]};
      noise.AddSpaced(rows[4][x], eight);
    }
  }
  return noise.Sigma();
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

// The median of the 56 pixels three and four steps around (x, y): outside a 3 x 3 group
// centred there and clear of its edge's spread.
double OuterRingMedian(const LumaPlane& plane, int x, int y) {
  std::array<int, 56> ring;
  int n = 0;
  for (int d = 3; d <= 4; ++d) {
    for (int k = -d; k <= d; ++k) {
      ring[n++] = plane.Row(y - d)[x + k];
      ring[n++] = plane.Row(y + d)[x + k];
    }
    for (int k = 1 - d; k < d; ++k) {
      ring[n++] = plane.Row(y + k)[x - d];
      ring[n++] = plane.Row(y + k)[x + d];
    }
  }
  std::nth_element(ring.begin(), ring.begin() + 28, ring.end());
  return (ring[28] + *std::max_element(ring.begin(), ring.begin() + 28)) / 2.0;
}

// The vector work of one row of squares in the group search below: the 2 x 2 sums of rows
// r0 and r1 (added to `blockSums` when given), the 4 x 4 squares they end, and each square of
// the row above less the 8 x 8 square round it; `loud` marks each run of kRun squares where
// one of those differences passes `screen` either way. Built for AVX2 too, where there is one.
constexpr int kRun = 32;
struct ScreenRow {
  const uint8_t *r0, *r1;
  int half;                  // squares a row, each two pixels to the right of the last
  const int16_t* prevPairs;  // the 2 x 2 sums two rows up
  int16_t* pairs;
  uint16_t* blockSums;
  int16_t* squares;          // out: corners on row r0 - 2
  const int16_t *above, *mid;
  int16_t screen;
  uint8_t* loud;             // a flag for each run from square 1 on
};

__attribute__((always_inline)) inline void ScreenRowBody(const ScreenRow& a) {
  const int half = a.half;
  auto pair = [&](int k) {
    uint16_t p, q;
    std::memcpy(&p, a.r0 + 2 * k, 2);
    std::memcpy(&q, a.r1 + 2 * k, 2);
    return static_cast<int16_t>((p & 0xff) + (p >> 8) + (q & 0xff) + (q >> 8));
  };
  if (a.blockSums) {
    for (int k = 0; k < half; ++k) {
      a.pairs[k] = pair(k);
      a.blockSums[k] = static_cast<uint16_t>(a.blockSums[k] + a.pairs[k]);
    }
  } else {
    for (int k = 0; k < half; ++k) a.pairs[k] = pair(k);
  }
  for (int k = 0; k + 1 < half; ++k)
    a.squares[k] = static_cast<int16_t>(a.prevPairs[k] + a.prevPairs[k + 1] + a.pairs[k] + a.pairs[k + 1]);
  const int16_t *above = a.above, *mid = a.mid, *below = a.squares;
  for (int k0 = 1, run = 0; k0 + 2 < half; k0 += kRun, ++run) {
    const int k1 = std::min(k0 + kRun, half - 2);
    int16_t high = 0, low = 0;
    for (int k = k0; k < k1; ++k) {
      const int16_t d = static_cast<int16_t>(4 * mid[k] - above[k - 1] - above[k + 1] - below[k - 1] - below[k + 1]);
      high = std::max(high, d);
      low = std::min(low, d);
    }
    a.loud[run] = high > a.screen || low < -a.screen;
  }
}

void ScreenRowPortable(const ScreenRow& a) { ScreenRowBody(a); }
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void ScreenRowAvx2(const ScreenRow& a) { ScreenRowBody(a); }
#endif
void ScreenRowFast(const ScreenRow& a) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return ScreenRowAvx2(a);
#endif
  ScreenRowPortable(a);
}

// A 3 x 3 group of pixels a few levels off stands out on its mean, whose noise is a third of
// a pixel's, long before each pixel does: the groups the pixel test misses in noisy frames.
// A group's trimmed mean is compared with the median of the pixels around it, so a lone hot
// pixel, which the pixel test judges, is not counted again as a group.
//
// Screen: every 3 x 3 group lies wholly inside a 4 x 4 square whose corner is at an even row
// and column, and such a square less the 8 x 8 square round it (x 48: 4 * sum4 - sum8) sees
// 9/16 of the group's offset, with a smooth fall-off cancelled and 0.29 of a pixel's noise. On
// that half-size grid it is 16-bit sums (within +-16,320). The same pass sums the blocks the
// field's flatness is judged on, so the frame is read once for both.
class ClusterSearch {
 public:
  // Screens the whole frame; `columns` x `rows` blocks of kBlock pixels (at least 3 x 3).
  ClusterSearch(const LumaPlane& plane, double threshold, int columns, int rows)
      : m_plane(plane), m_threshold(threshold), m_half(plane.width / 2),
        m_screen(static_cast<int16_t>(0.45 * threshold * 48)),
        m_most(static_cast<size_t>(std::max(100.0, static_cast<double>(plane.width) * plane.height * kMostDefects))),
        m_columns(columns), m_rows(rows), m_blockSums(m_half, 0), m_means(static_cast<size_t>(columns) * rows) {
    for (auto& p : m_pairs) p.assign(m_half, 0);
    for (auto& b : m_squares) b.assign(m_half, 0);
    m_loud.assign(m_half / kRun + 1, 0);
    std::vector<int16_t> first(m_half, 0), unused(m_half, 0);
    // The first rows' differences are not wanted (no 8 x 8 square fits round them).
    Pairs(0, first, m_pairs[0], unused, m_squares[0], m_squares[1]);
    Pairs(2, m_pairs[0], m_pairs[1], m_squares[0], unused, unused);  // rows 0-3
    Pairs(4, m_pairs[1], m_pairs[0], m_squares[1], unused, unused);  // rows 2-5
  }

  // Screens on to `lastRow` (inclusive): the block means of the rows above it are then known.
  void ScreenThrough(int lastRow) {
    for (; m_next + 5 <= lastRow && m_next + 6 <= m_plane.height; m_next += 2) Step(m_next);
  }
  void Complete() { ScreenThrough(m_plane.height - 1); }

  // The blocks' means, row of blocks after row of blocks, as far as screened.
  const std::vector<double>& BlockMeans() const { return m_means; }

  // The groups' pixels join `defects` (the pixel test's, in raster order; kept so).
  bool Finish(std::vector<Defect>& defects) {
    if (m_tried.size() > m_most) return false;
    auto isSingle = [&](int x, int y) {
      return std::binary_search(defects.begin(), defects.end(), Defect{x, y, false}, RasterOrder);
    };
    // The mean of the middle five of a group's nine: a hot pixel or two among them, which the
    // pixel test judges, cannot make a group, while a group the pixel test found in part
    // still counts whole.
    auto trimmedMean = [&](int x, int y) {
      std::array<int, 9> group;
      for (int dy = -1, i = 0; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) group[i++] = m_plane.Row(y + dy)[x + dx];
      std::sort(group.begin(), group.end());
      return (group[2] + group[3] + group[4] + group[5] + group[6]) / 5.0;
    };
    // A group in a square is centred on one of its middle four pixels: the one that stands out
    // most the way the square did is measured against the pixels round it.
    std::vector<std::pair<int, int>> centres;  // (y, x)
    for (const Tried& t : m_tried) {
      double best = 0;
      int bx = -1, by = -1;
      for (int y = t.y + 1; y <= t.y + 2; ++y)
        for (int x = t.x + 1; x <= t.x + 2; ++x) {
          if (x < 4 || y < 4 || x + 4 >= m_plane.width || y + 4 >= m_plane.height) continue;
          const double level = trimmedMean(x, y) * (t.bright ? 1 : -1);
          if (bx < 0 || level > best) { best = level; bx = x; by = y; }
        }
      if (bx >= 0) centres.emplace_back(by, bx);
    }
    std::sort(centres.begin(), centres.end());
    centres.erase(std::unique(centres.begin(), centres.end()), centres.end());
    struct Found { double standOut; int x, y; };
    std::vector<Found> found;
    for (const auto& [y, x] : centres) {
      const double standOut = trimmedMean(x, y) - OuterRingMedian(m_plane, x, y);
      if (std::fabs(standOut) > m_threshold) found.push_back({standOut, x, y});
    }
    // The places next to a group's centre see most of it too: the strongest place stands for
    // the group and those overlapping it are left out.
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return std::fabs(a.standOut) > std::fabs(b.standOut); });
    std::vector<Found> kept;
    for (const Found& f : found) {
      const bool overlaps = std::any_of(kept.begin(), kept.end(), [&](const Found& k) {
        return std::abs(k.x - f.x) < 3 && std::abs(k.y - f.y) < 3;
      });
      if (!overlaps) kept.push_back(f);
      if (kept.size() * 9 > m_most) return false;
    }
    std::vector<Defect> added;
    for (const Found& k : kept)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          if (!isSingle(k.x + dx, k.y + dy)) added.push_back({k.x + dx, k.y + dy, k.standOut > 0});
    defects.insert(defects.end(), added.begin(), added.end());
    std::sort(defects.begin(), defects.end(), RasterOrder);
    return defects.size() <= m_most;
  }

 private:
  static bool RasterOrder(const Defect& a, const Defect& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; }

  // The block means of a row of blocks, once its last pair of rows is summed.
  void BlockRowDone(int y) {
    if (y >= m_rows * kBlock || y % kBlock != kBlock - 2) return;
    for (int bx = 0; bx < m_columns; ++bx) {
      uint32_t sum = 0;
      for (int i = 0; i < kBlock / 2; ++i) sum += m_blockSums[bx * kBlock / 2 + i];
      m_means[static_cast<size_t>(y / kBlock) * m_columns + bx] = sum / double(kBlock * kBlock);
    }
    std::fill(m_blockSums.begin(), m_blockSums.end(), uint16_t{0});
  }

  // Rows y, y + 1 into `pairs`, ending squares with corners on row y - 2 in `squares`.
  void Pairs(int y, const std::vector<int16_t>& prevPairs, std::vector<int16_t>& pairs,
             std::vector<int16_t>& squares, const std::vector<int16_t>& above, const std::vector<int16_t>& mid) {
    ScreenRow row{m_plane.Row(y), m_plane.Row(y + 1), m_half, prevPairs.data(), pairs.data(),
                  y < m_rows * kBlock ? m_blockSums.data() : nullptr,  // partial blocks are left out
                  squares.data(), above.data(), mid.data(), m_screen, m_loud.data()};
    ScreenRowFast(row);
    BlockRowDone(y);
  }

  // The squares with corners on row y: m_squares[0..2] then hold rows y - 2, y and y + 2.
  void Step(int y) {
    Pairs(y + 4, m_pairs[0], m_pairs[1], m_squares[2], m_squares[0], m_squares[1]);
    std::swap(m_pairs[0], m_pairs[1]);
    const int16_t *above = m_squares[0].data(), *mid = m_squares[1].data(), *below = m_squares[2].data();
    for (int k0 = 1, run = 0; k0 + 2 < m_half; k0 += kRun, ++run) {
      if (!m_loud[run]) continue;
      for (int k = k0; k < std::min(k0 + kRun, m_half - 2); ++k) {
        const int d = 4 * mid[k] - above[k - 1] - above[k + 1] - below[k - 1] - below[k + 1];
        if (std::abs(d) > m_screen && m_tried.size() <= m_most) m_tried.push_back({2 * k, y, d > 0});
      }
    }
    std::swap(m_squares[0], m_squares[1]);
    std::swap(m_squares[1], m_squares[2]);
  }

  const LumaPlane& m_plane;
  double m_threshold;
  int m_half;
  int16_t m_screen;
  size_t m_most;
  int m_columns, m_rows;
  std::vector<uint16_t> m_blockSums;  // a row of blocks' 2 x 2 sums, added up down the rows
  std::vector<double> m_means;
  int m_next = 2;  // the next row of squares to screen
  std::vector<int16_t> m_pairs[2], m_squares[3];
  std::vector<uint8_t> m_loud;
  struct Tried { int x, y; bool bright; };  // a square's corner, and which way it stood out
  std::vector<Tried> m_tried;
};

// Pixels that stand out, in raster order; false when so many do that this is no flat field.
// The block means come from the group search, screened a row of blocks ahead of this pass, so
// that this pass finds the rows it reads still in the cache.
bool FindDefects(const LumaPlane& plane, ClusterSearch& clusters, int columns, int rows,
                 double threshold, std::vector<Defect>& defects) {
  const std::vector<double>& means = clusters.BlockMeans();
  const double pixels = static_cast<double>(plane.width) * plane.height;
  const size_t most = static_cast<size_t>(std::max(100.0, pixels * kMostDefects));
  // A cheap first look against the block's mean (off by less than a level of shading within a
  // block, and by the ring's own noise) picks the candidates; the neighbourhood's median
  // decides.
  const double screen = threshold * 0.7;
  // Each pixel's screening bounds, spread from its block once per row of blocks, so the
  // screening itself is a byte-wise compare the compiler vectorises.
  std::vector<uint8_t> lowest(static_cast<size_t>(plane.width)), highest(lowest.size());
  int boundsRow = -1;
  for (int y = 2; y + 2 < plane.height; ++y) {
    const int by = std::min(y / kBlock, rows - 1);
    if (by != boundsRow) {
      boundsRow = by;
      clusters.ScreenThrough((by + 1) * kBlock - 1);
      for (int bx = 0; bx < columns; ++bx) {
        const double ref = means[static_cast<size_t>(by) * columns + bx];
        // The last block reaches the right edge, partial block included.
        const int x0 = bx * kBlock, x1 = bx + 1 == columns ? plane.width : x0 + kBlock;
        std::fill(lowest.begin() + x0, lowest.begin() + x1,
                  static_cast<uint8_t>(std::clamp(std::ceil(ref - screen), 0.0, 255.0)));
        std::fill(highest.begin() + x0, highest.begin() + x1,
                  static_cast<uint8_t>(std::clamp(std::floor(ref + screen), 0.0, 255.0)));
      }
    }
    const uint8_t* row = plane.Row(y);
    for (int x0 = 2; x0 < plane.width - 2; x0 += 64) {
      const int x1 = std::min(x0 + 64, plane.width - 2);
      uint8_t outside = 0;
      for (int x = x0; x < x1; ++x) outside |= (row[x] < lowest[x]) | (row[x] > highest[x]);
      if (!outside) continue;
      for (int x = x0; x < x1; ++x) {
        if (row[x] >= lowest[x] && row[x] <= highest[x]) continue;
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
  f.clusterThreshold = std::max(kDefectMinLevels, kDefectNoiseMultiple * kClusterNoiseShare * f.noise);
  ClusterSearch clusters(plane, f.clusterThreshold, columns, rows);
  f.threshold = std::max(kDefectMinLevels, kDefectNoiseMultiple * f.noise);
  // One pass over the frame finds the defects and the block means together; whether the field
  // is flat is judged after it, and decides first.
  std::vector<Defect> defects;
  const bool few = FindDefects(plane, clusters, columns, rows, f.threshold, defects);
  clusters.Complete();
  const std::vector<double>& means = clusters.BlockMeans();
  const double level = std::accumulate(means.begin(), means.end(), 0.0) / means.size();
  if (!SmoothBlocks(means, columns, rows, f.noise, level)) {
    f.failure = "not a flat field";
    return f;
  }
  if (!few || !clusters.Finish(defects)) {
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
