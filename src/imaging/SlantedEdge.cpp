#include "imaging/SlantedEdge.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kOversample = 4;             // edge profile bins per pixel
constexpr double kBin = 1.0 / kOversample;
constexpr int kMinRows = 20;               // fewer rows leave the profile too sparse and noisy
constexpr double kMinAngle = 1.0;          // degrees: below this the rows share too few phases
constexpr double kMaxAngle = 40.0;         // degrees: beyond this the edge is no longer near an axis
constexpr double kMinLevels = 10.0;        // light minus dark below this is lost in the noise
constexpr double kMaxClippedShare = 0.02;
constexpr int kDetectScale = 4;            // squares are found on a picture this much smaller

const char kNoEdge[] = "no edge found";
const char kClipped[] = "edge clipped";
const char kTooShort[] = "edge too short";
const char kNearZero[] = "angle too close to 0";
const char kNear45[] = "angle too close to 45";
const char kFaint[] = "edge too faint";
const char kNotStraight[] = "edge not straight";

double Sinc(double x) { return std::abs(x) < 1e-9 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// A window of the picture copied so that the edge runs down its rows: transposed when the edge
// is near horizontal, so one measurement serves both.
struct Strip {
  int rows = 0, cols = 0;
  std::vector<float> px;
  float At(int r, int c) const { return px[static_cast<size_t>(r) * cols + c]; }
};

Strip CopyStrip(const uint8_t* luma, size_t stride, const EdgeRect& rect, bool transposed) {
  Strip s;
  s.rows = transposed ? rect.width : rect.height;
  s.cols = transposed ? rect.height : rect.width;
  s.px.resize(static_cast<size_t>(s.rows) * s.cols);
  for (int y = 0; y < rect.height; ++y) {
    const uint8_t* row = luma + static_cast<size_t>(rect.y + y) * stride + rect.x;
    for (int x = 0; x < rect.width; ++x) {
      const size_t at = transposed ? static_cast<size_t>(x) * s.cols + y : static_cast<size_t>(y) * s.cols + x;
      s.px[at] = row[x];
    }
  }
  return s;
}

// The edge as x = a + b * row, in strip coordinates (pixel centres at whole numbers).
struct Line {
  double a = 0, b = 0;
  double At(double r) const { return a + b * r; }
};

// Least squares, then once more without the rows that stray by more than three robust
// deviations (a dust speck, a neighbouring feature), so one bad row cannot tilt the line.
bool FitLine(const std::vector<double>& rs, const std::vector<double>& xs, Line& line,
             double* keptShare = nullptr) {
  std::vector<char> keep(rs.size(), 1);
  for (int pass = 0; pass < 2; ++pass) {
    double n = 0, sr = 0, sx = 0, srr = 0, srx = 0;
    for (size_t i = 0; i < rs.size(); ++i) {
      if (!keep[i]) continue;
      n += 1; sr += rs[i]; sx += xs[i]; srr += rs[i] * rs[i]; srx += rs[i] * xs[i];
    }
    const double det = n * srr - sr * sr;
    if (n < kMinRows || det <= 0) return false;
    line.b = (n * srx - sr * sx) / det;
    line.a = (sx - line.b * sr) / n;
    if (pass == 1) break;
    std::vector<double> dev;
    for (size_t i = 0; i < rs.size(); ++i) dev.push_back(std::abs(xs[i] - line.At(rs[i])));
    std::vector<double> sorted = dev;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double limit = std::max(0.5, 3 * 1.4826 * sorted[sorted.size() / 2]);
    for (size_t i = 0; i < rs.size(); ++i) keep[i] = dev[i] <= limit;
    if (keptShare) *keptShare = static_cast<double>(std::count(keep.begin(), keep.end(), 1)) / rs.size();
  }
  return true;
}

struct EdgeOutcome {
  bool measured = false;
  std::string failure;
  double mtf50 = 0, angleDegrees = 0, contrast = 0;
};

class EdgeMeasure {
 public:
  // Rows whose edge point lies in [sLo, sHi] (strip rows) are measured: the rest of the strip
  // only gives the profile room on either side.
  // cornerAllowance >= 0: [sLo, sHi] runs corner to corner of a square's side, known to
  // within that many pixels; the ends are kept clear of the neighbouring sides' spread once the
  // edge's own rise is known.
  EdgeMeasure(const Strip& strip, double sLo, double sHi, int maxHalfSpan, double cornerAllowance = -1)
      : m_s(strip), m_maxHalfSpan(maxHalfSpan), m_extentLo(sLo), m_extentHi(sHi),
        m_cornerAllowance(cornerAllowance) {
    const double first = cornerAllowance < 0 ? 0 : cornerAllowance + 12;
    Limit(sLo + first, sHi - first);
  }

  EdgeOutcome Run() {
    EdgeOutcome out;
    if (m_rHi - m_rLo + 1 < kMinRows || m_s.cols < 8) return Fail(kTooShort);
    if (!Polarity()) return Fail(kNoEdge);
    Line line;
    if (!RoughLine(line)) return Fail(kNoEdge);
    if (const char* why = AngleProblem(line)) return Fail(why);
    // The rise from a first profile sets how wide a window each row's centroid needs.
    double rise = 0;
    {
      std::vector<double> esf;
      if (!Profile(line, std::min<double>(m_maxHalfSpan, 16), esf)) return Fail(kNoEdge);
      rise = Rise(esf);
    }
    const double reach = std::max(3.0, 1.5 * rise + 1);
    if (m_cornerAllowance >= 0) {
      const double clear = m_cornerAllowance + 1.5 * rise + 1;
      Limit(m_extentLo + clear, m_extentHi - clear);
    } else if (m_cutLo || m_cutHi) {
      // Where the run was cut something else begins: keep clear of its spread.
      const double clear = 1.5 * rise + 1;
      Limit(m_sLo + (m_cutLo ? clear : 0), m_sHi - (m_cutHi ? clear : 0));
    }
    if (m_rHi - m_rLo + 1 < kMinRows) return Fail(kTooShort);
    for (int pass = 0; pass < 2; ++pass) {
      double kept = 0;
      if (!CentroidLine(line, reach, line, kept)) return Fail(kNoEdge);
      // Many rows off the line: a corner, a curve or a second edge in the region.
      if (kept < 0.8) return Fail(kNotStraight);
    }
    if (const char* why = AngleProblem(line)) return Fail(why);
    const double halfSpan = HalfSpan(line, rise);
    if (halfSpan < std::max(4.0, 1.5 * rise)) return Fail(kClipped);
    std::vector<double> esf;
    if (!Profile(line, halfSpan, esf)) return Fail(kTooShort);
    if (m_clipped > kMaxClippedShare * m_used) return Fail(kClipped);
    const size_t quarter = esf.size() / 4;
    double lo = 0, hi = 0;
    for (size_t i = 0; i < quarter; ++i) {
      lo += esf[i];
      hi += esf[esf.size() - 1 - i];
    }
    lo /= quarter;
    hi /= quarter;
    if (std::abs(hi - lo) < kMinLevels) return Fail(kFaint);
    const double mtf50 = Mtf50(esf, halfSpan);
    if (mtf50 <= 0) return Fail(kNoEdge);
    out.measured = true;
    out.mtf50 = mtf50;
    out.angleDegrees = std::atan(line.b) * 180 / kPi;
    out.contrast = (std::max(lo, hi) - std::min(lo, hi)) / std::max(1.0, lo + hi);
    return out;
  }

 private:
  void Limit(double sLo, double sHi) {
    m_sLo = sLo;
    m_sHi = sHi;
    m_rLo = std::max(0, static_cast<int>(std::ceil(sLo)));
    m_rHi = std::min(m_s.rows - 1, static_cast<int>(std::floor(sHi)));
  }

  static EdgeOutcome Fail(const char* why) {
    EdgeOutcome out;
    out.failure = why;
    return out;
  }

  bool Polarity() {
    double sum = 0;
    for (int r = m_rLo; r <= m_rHi; ++r) sum += m_s.At(r, m_s.cols - 1) - m_s.At(r, 0);
    m_polarity = sum >= 0 ? 1 : -1;
    return std::abs(sum) / (m_rHi - m_rLo + 1) >= kMinLevels / 2;
  }

  float Step(int r, int c) const { return m_polarity * (m_s.At(r, c + 1) - m_s.At(r, c)); }

  // Each row's steepest step (smoothed, then refined by a parabola through its neighbours).
  // The rows measured are then cut to the longest run that has the edge on the line: a region
  // drawn longer than the edge, or over a corner, measures the one straight edge in it.
  bool RoughLine(Line& line) {
    std::vector<double> rs, xs, strength;
    for (int r = m_rLo; r <= m_rHi; ++r) {
      int best = -1;
      float bestValue = 0;
      for (int c = 1; c + 2 < m_s.cols; ++c) {
        const float v = Step(r, c - 1) + 2 * Step(r, c) + Step(r, c + 1);
        if (v > bestValue) { bestValue = v; best = c; }
      }
      if (best < 0) continue;
      double x = best + 0.5;
      if (best > 1 && best + 3 < m_s.cols) {
        const double l = Step(r, best - 2) + 2 * Step(r, best - 1) + Step(r, best);
        const double rr = Step(r, best) + 2 * Step(r, best + 1) + Step(r, best + 2);
        const double den = l - 2 * bestValue + rr;
        if (den < 0) x += std::clamp(0.5 * (l - rr) / den, -0.5, 0.5);
      }
      rs.push_back(r);
      xs.push_back(x);
      strength.push_back(bestValue);
    }
    if (rs.size() < static_cast<size_t>(kMinRows)) return false;
    std::vector<double> sorted = strength;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double weak = 0.4 * sorted[sorted.size() / 2];
    std::vector<double> strongR, strongX;
    for (size_t i = 0; i < rs.size(); ++i)
      if (strength[i] >= weak) {
        strongR.push_back(rs[i]);
        strongX.push_back(xs[i]);
      }
    if (!FitLine(strongR, strongX, line)) return false;
    // Longest run of rows on the line (a gap of a few noisy rows does not break it).
    int bestLo = 0, bestHi = -1, lo = -1, last = -1000;
    for (size_t i = 0; i < rs.size(); ++i) {
      if (strength[i] < weak || std::abs(xs[i] - line.At(rs[i])) > 2.0) continue;
      const int r = static_cast<int>(rs[i]);
      if (r - last > 3) lo = r;
      last = r;
      if (r - lo > bestHi - bestLo) { bestLo = lo; bestHi = r; }
    }
    if (bestHi - bestLo + 1 < kMinRows) return false;
    m_cutLo = bestLo > m_rLo + 3;
    m_cutHi = bestHi < m_rHi - 3;
    Limit(std::max(m_sLo, static_cast<double>(bestLo)), std::min(m_sHi, static_cast<double>(bestHi)));
    std::vector<double> runR, runX;
    for (size_t i = 0; i < rs.size(); ++i)
      if (rs[i] >= bestLo && rs[i] <= bestHi && strength[i] >= weak) {
        runR.push_back(rs[i]);
        runX.push_back(xs[i]);
      }
    return FitLine(runR, runX, line);
  }

  // Each row's centroid of the step within `reach` of the current line: the window stays on the
  // edge, so noise far from it does not pull the centroid.
  bool CentroidLine(const Line& around, double reach, Line& line, double& kept) const {
    std::vector<double> rs, xs;
    for (int r = m_rLo; r <= m_rHi; ++r) {
      const double centre = around.At(r) - 0.5;  // step c sits at c + 0.5
      const int c0 = std::max(0, static_cast<int>(std::ceil(centre - reach)));
      const int c1 = std::min(m_s.cols - 2, static_cast<int>(std::floor(centre + reach)));
      double sum = 0, moment = 0;
      for (int c = c0; c <= c1; ++c) {
        const double v = Step(r, c);
        sum += v;
        moment += v * (c + 0.5);
      }
      if (c1 - c0 < 2 || sum <= 0) continue;
      rs.push_back(r);
      xs.push_back(moment / sum);
    }
    return FitLine(rs, xs, line, &kept);
  }

  const char* AngleProblem(const Line& line) const {
    const double degrees = std::abs(std::atan(line.b)) * 180 / kPi;
    if (degrees > kMaxAngle) return kNear45;
    // The edge must cross a few columns over its length, or some phases of the profile stay empty.
    if (degrees < kMinAngle || std::abs(line.b) * (m_rHi - m_rLo) < 1) return kNearZero;
    return nullptr;
  }

  // How far the profile reaches on each side: four rises (room for the spread and a flat
  // stretch for the window), as far as most rows have picture on both sides.
  double HalfSpan(const Line& line, double rise) const {
    const double cosA = 1 / std::sqrt(1 + line.b * line.b);
    std::vector<double> room;
    for (int r = m_rLo; r <= m_rHi; ++r) {
      const double x = line.At(r);
      room.push_back(std::min(x, m_s.cols - 1 - x) * cosA);
    }
    std::nth_element(room.begin(), room.begin() + room.size() / 2, room.end());
    return std::floor(std::min({room[room.size() / 2], static_cast<double>(m_maxHalfSpan),
                                std::max(8.0, 4 * rise)}));
  }

  // The edge spread function: every pixel near the edge by its distance from the line
  // (across the edge, in pixels), averaged into quarter-pixel bins. Each bin's mean is placed
  // at the mean distance of its pixels and the profile read back at the bin centres: at
  // angles whose tangent is a simple fraction the pixels fall on a few fixed distances, not
  // spread over the bins, and a bin's centre would misplace them. An empty bin is bridged.
  bool Profile(const Line& line, double halfSpan, std::vector<double>& esf) {
    const int bins = static_cast<int>(2 * halfSpan * kOversample);
    std::vector<double> sum(bins, 0.0), sumAt(bins, 0.0);
    std::vector<int> count(bins, 0);
    const double norm = std::sqrt(1 + line.b * line.b), cosA = 1 / norm;
    const double along = line.b / (1 + line.b * line.b);
    const int reach = static_cast<int>(std::ceil(halfSpan * norm)) + 1;
    const int r0 = std::max(0, static_cast<int>(std::floor(m_sLo - reach * std::abs(along))));
    const int r1 = std::min(m_s.rows - 1, static_cast<int>(std::ceil(m_sHi + reach * std::abs(along))));
    m_used = m_clipped = 0;
    for (int r = r0; r <= r1; ++r) {
      const double x = line.At(r);
      const int c0 = std::max(0, static_cast<int>(x) - reach);
      const int c1 = std::min(m_s.cols - 1, static_cast<int>(x) + reach);
      for (int c = c0; c <= c1; ++c) {
        const double off = c - x;
        const double foot = r + off * along;  // where the pixel's perpendicular meets the edge
        if (foot < m_sLo || foot > m_sHi) continue;
        const double at = (off * cosA + halfSpan) * kOversample;  // in bins
        const int bin = static_cast<int>(std::floor(at));
        if (bin < 0 || bin >= bins) continue;
        const float v = m_s.At(r, c);
        sum[bin] += v;
        sumAt[bin] += at;
        ++count[bin];
        ++m_used;
        if (v <= 1 || v >= 254) ++m_clipped;
      }
    }
    std::vector<double> at, value;
    for (int i = 0; i < bins; ++i)
      if (count[i]) {
        at.push_back(sumAt[i] / count[i]);
        value.push_back(sum[i] / count[i]);
      }
    if (at.size() < 2 || static_cast<int>(at.size()) < bins - bins / 5) return false;
    esf.assign(bins, 0.0);
    size_t k = 0;
    for (int i = 0; i < bins; ++i) {
      const double centre = i + 0.5;
      while (k + 2 < at.size() && at[k + 1] < centre) ++k;
      const double t = std::clamp((centre - at[k]) / std::max(1e-9, at[k + 1] - at[k]), 0.0, 1.0);
      esf[i] = value[k] + (value[k + 1] - value[k]) * t;
    }
    return true;
  }

  // 10 % to 90 % rise of a profile, in pixels.
  static double Rise(const std::vector<double>& esf) {
    const size_t q = std::max<size_t>(1, esf.size() / 8);
    double lo = 0, hi = 0;
    for (size_t i = 0; i < q; ++i) {
      lo += esf[i];
      hi += esf[esf.size() - 1 - i];
    }
    lo /= q;
    hi /= q;
    if (std::abs(hi - lo) < 1e-6) return 0;
    auto crossing = [&](double level) {
      // Scan outwards from the middle so noise on the plateaus cannot answer first.
      const size_t mid = esf.size() / 2;
      const double t = lo + level * (hi - lo);
      const bool rising = hi > lo;
      auto above = [&](size_t i) { return rising ? esf[i] >= t : esf[i] <= t; };
      if (above(mid)) {
        size_t i = mid;
        while (i > 0 && above(i - 1)) --i;
        return static_cast<double>(i);
      }
      size_t i = mid;
      while (i + 1 < esf.size() && !above(i + 1)) ++i;
      return static_cast<double>(i + 1);
    };
    return std::abs(crossing(0.9) - crossing(0.1)) * kBin;
  }

  // Differentiate, window, transform; the response is divided by what the central difference
  // and the quarter-pixel bins take away themselves, so that it is the edge's own.
  double Mtf50(const std::vector<double>& esf, double halfSpan) const {
    const int n = static_cast<int>(esf.size());
    std::vector<double> lsf(n, 0.0), pos(n);
    for (int i = 0; i < n; ++i) pos[i] = (i + 0.5) * kBin - halfSpan;
    for (int i = 1; i + 1 < n; ++i) lsf[i] = (esf[i + 1] - esf[i - 1]) * (esf.back() > esf.front() ? 1 : -1);
    // Flat over the middle half where the spread is, a cosine taper to zero at the ends: the
    // taper quiets the noise of the plateaus without narrowing the spread itself.
    for (int i = 0; i < n; ++i) {
      const double u = std::abs(pos[i]) / halfSpan;
      if (u > 0.5) lsf[i] *= 0.5 * (1 + std::cos(kPi * std::min(1.0, (u - 0.5) / 0.5)));
    }
    double dc = 0;
    for (double v : lsf) dc += v;
    if (dc <= 0) return 0;
    auto response = [&](double f) {
      const std::complex<double> step = std::polar(1.0, -2 * kPi * f * kBin);
      std::complex<double> phase = std::polar(1.0, -2 * kPi * f * pos[0]), acc = 0;
      for (int i = 0; i < n; ++i) {
        acc += lsf[i] * phase;
        phase *= step;
      }
      return std::abs(acc) / dc / (Sinc(2 * f * kBin) * Sinc(f * kBin));
    };
    constexpr double kStep = 0.01, kLimit = 1.0;
    double prev = 0;
    for (double f = kStep; f <= kLimit + 1e-9; f += kStep) {
      if (response(f) >= 0.5) {
        prev = f;
        continue;
      }
      double lo = prev, hi = f;
      for (int i = 0; i < 14; ++i) {
        const double mid = 0.5 * (lo + hi);
        (response(mid) >= 0.5 ? lo : hi) = mid;
      }
      return 0.5 * (lo + hi);
    }
    return 0;
  }

  const Strip& m_s;
  int m_maxHalfSpan;
  double m_extentLo, m_extentHi, m_cornerAllowance;
  int m_rLo = 0, m_rHi = -1;
  double m_sLo = 0, m_sHi = 0;
  bool m_cutLo = false, m_cutHi = false;
  float m_polarity = 1;
  long m_used = 0, m_clipped = 0;
};

// ---- the one edge inside a region the user chose ----

EdgeRect Clamp(const EdgeRect& r, int width, int height) {
  const int x0 = std::clamp(r.x, 0, width), y0 = std::clamp(r.y, 0, height);
  const int x1 = std::clamp(r.x + std::max(0, r.width), 0, width);
  const int y1 = std::clamp(r.y + std::max(0, r.height), 0, height);
  return {x0, y0, x1 - x0, y1 - y0};
}

EdgeFigure MeasureRegion(const uint8_t* luma, size_t stride, const EdgeRect& rect) {
  EdgeFigure figure;
  figure.region = "roi";
  figure.rect = rect;
  if (rect.width < 8 || rect.height < 8) {
    figure.failure = kTooShort;
    return figure;
  }
  // Which way the edge runs: steps across the rows outweigh steps down the columns when
  // it is near vertical.
  double across = 0, down = 0;
  for (int y = 0; y + 1 < rect.height; ++y) {
    const uint8_t* row = luma + static_cast<size_t>(rect.y + y) * stride + rect.x;
    for (int x = 0; x + 1 < rect.width; ++x) {
      across += std::abs(row[x + 1] - row[x]);
      down += std::abs(row[x + stride] - row[x]);
    }
  }
  const Strip strip = CopyStrip(luma, stride, rect, down > across);
  const EdgeOutcome out = EdgeMeasure(strip, 0, strip.rows - 1, 64).Run();
  figure.measured = out.measured;
  figure.failure = out.failure;
  figure.mtf50 = out.mtf50;
  figure.angleDegrees = out.angleDegrees;
  figure.contrast = out.contrast;
  return figure;
}

// ---- dark squares found in the centre and the corners ----

struct Point { double x, y; };

struct Square {
  Point tl, tr, bl, br;  // corners in picture coordinates
  Point centre;
  double side = 0;
};

// A small copy of the picture: the mean of the middle 2 x 2 of every 4 x 4 block, enough to
// find squares tens of pixels wide at a sixteenth of the cost.
struct Small {
  int width = 0, height = 0;
  std::vector<uint8_t> px;
};

Small Shrink(const uint8_t* luma, int width, int height, size_t stride) {
  Small s;
  s.width = width / kDetectScale;
  s.height = height / kDetectScale;
  s.px.resize(static_cast<size_t>(s.width) * s.height);
  for (int y = 0; y < s.height; ++y) {
    const uint8_t* a = luma + static_cast<size_t>(y * kDetectScale + 1) * stride;
    const uint8_t* b = a + stride;
    for (int x = 0; x < s.width; ++x) {
      const int c = x * kDetectScale + 1;
      s.px[static_cast<size_t>(y) * s.width + x] =
          static_cast<uint8_t>((a[c] + a[c + 1] + b[c] + b[c + 1] + 2) >> 2);
    }
  }
  return s;
}

// Dark blobs in [x0,x1) x [y0,y1) of the small picture, halfway between its dark and light
// levels, that look like a tilted square (a quadrilateral the blob fills) and lie wholly
// inside the search area.
std::vector<Square> FindSquares(const Small& s, int x0, int y0, int x1, int y1) {
  std::vector<Square> found;
  const int w = x1 - x0, h = y1 - y0;
  if (w < 8 || h < 8) return found;
  std::array<int, 256> histogram{};
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) ++histogram[s.px[static_cast<size_t>(y) * s.width + x]];
  auto percentile = [&](double share) {
    long seen = 0;
    const long want = static_cast<long>(share * w * h);
    for (int v = 0; v < 256; ++v)
      if ((seen += histogram[v]) > want) return v;
    return 255;
  };
  const int dark = percentile(0.02), light = percentile(0.98);
  if (light - dark < 2 * kMinLevels) return found;
  const int threshold = (dark + light) / 2;
  std::vector<int> label(static_cast<size_t>(w) * h, 0);
  std::vector<int> stack;
  int next = 0;
  for (int sy = 0; sy < h; ++sy)
    for (int sx = 0; sx < w; ++sx) {
      const size_t at = static_cast<size_t>(sy) * w + sx;
      if (label[at] || s.px[static_cast<size_t>(sy + y0) * s.width + sx + x0] >= threshold) continue;
      ++next;
      label[at] = next;
      stack.assign(1, static_cast<int>(at));
      long area = 0;
      bool touches = false;
      double sumX = 0, sumY = 0;
      int minSum = 1 << 30, maxSum = -(1 << 30), minDiff = 1 << 30, maxDiff = -(1 << 30);
      Point tl{}, br{}, bl{}, tr{};
      while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        const int px = i % w, py = i / w;
        ++area;
        sumX += px;
        sumY += py;
        touches |= px == 0 || py == 0 || px == w - 1 || py == h - 1;
        if (px + py < minSum) { minSum = px + py; tl = {double(px), double(py)}; }
        if (px + py > maxSum) { maxSum = px + py; br = {double(px), double(py)}; }
        if (px - py < minDiff) { minDiff = px - py; bl = {double(px), double(py)}; }
        if (px - py > maxDiff) { maxDiff = px - py; tr = {double(px), double(py)}; }
        const int nx[4] = {px - 1, px + 1, px, px};
        const int ny[4] = {py, py, py - 1, py + 1};
        for (int k = 0; k < 4; ++k) {
          if (nx[k] < 0 || ny[k] < 0 || nx[k] >= w || ny[k] >= h) continue;
          const size_t j = static_cast<size_t>(ny[k]) * w + nx[k];
          if (label[j] || s.px[static_cast<size_t>(ny[k] + y0) * s.width + nx[k] + x0] >= threshold)
            continue;
          label[j] = next;
          stack.push_back(static_cast<int>(j));
        }
      }
      if (touches || area < 36) continue;
      // Shoelace area of the four extreme points: a square fills it.
      const Point q[4] = {tl, tr, br, bl};
      double quad = 0;
      for (int k = 0; k < 4; ++k) quad += q[k].x * q[(k + 1) % 4].y - q[(k + 1) % 4].x * q[k].y;
      quad = std::abs(quad) / 2;
      auto len = [](Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); };
      const double shortest = std::min({len(tl, tr), len(tr, br), len(br, bl), len(bl, tl)});
      if (quad <= 0 || shortest < 5 || area < 0.8 * quad || area > 1.3 * quad) continue;
      // Back to picture coordinates: a small pixel covers a 4 x 4 block, and the extreme
      // pixels sit half a block inside the true corners.
      auto full = [&](Point p, double dx, double dy) {
        return Point{(p.x + x0 + 0.5 + 0.5 * dx) * kDetectScale, (p.y + y0 + 0.5 + 0.5 * dy) * kDetectScale};
      };
      Square sq;
      sq.tl = full(tl, -1, -1);
      sq.tr = full(tr, 1, -1);
      sq.br = full(br, 1, 1);
      sq.bl = full(bl, -1, 1);
      sq.centre = {(sumX / area + x0 + 0.5) * kDetectScale, (sumY / area + y0 + 0.5) * kDetectScale};
      sq.side = shortest * kDetectScale;
      found.push_back(sq);
    }
  return found;
}

// One side of a square, measured on a strip around it that leaves out the corners, where the
// neighbouring sides' spread would mix in.
EdgeOutcome MeasureSide(const uint8_t* luma, int width, int height, size_t stride, Point p, Point q,
                        double side, EdgeRect& rect) {
  const bool vertical = std::abs(q.y - p.y) >= std::abs(q.x - p.x);
  if (!vertical) {  // work in transposed coordinates, where the side runs down the rows
    std::swap(p.x, p.y);
    std::swap(q.x, q.y);
  }
  if (p.y > q.y) std::swap(p, q);
  const double tilt = std::abs(q.x - p.x) / std::max(1.0, q.y - p.y);
  const double halfSpan = std::clamp(side / 2, 16.0, 48.0);
  constexpr double kCornerAllowance = 4;  // the corners come from the small picture
  const double margin = kCornerAllowance + 2;
  const double pad = halfSpan * tilt + 2;
  const int across0 = static_cast<int>(std::floor(std::min(p.x, q.x) - halfSpan));
  const int across1 = static_cast<int>(std::ceil(std::max(p.x, q.x) + halfSpan));
  const int along0 = static_cast<int>(std::floor(p.y + margin - pad));
  const int along1 = static_cast<int>(std::ceil(q.y - margin + pad));
  EdgeRect want = vertical ? EdgeRect{across0, along0, across1 - across0 + 1, along1 - along0 + 1}
                           : EdgeRect{along0, across0, along1 - along0 + 1, across1 - across0 + 1};
  rect = Clamp(want, width, height);
  if (rect.width < 8 || rect.height < 8) {
    EdgeOutcome out;
    out.failure = kClipped;
    return out;
  }
  const Strip strip = CopyStrip(luma, stride, rect, !vertical);
  const int alongOrigin = vertical ? rect.y : rect.x;
  return EdgeMeasure(strip, p.y - alongOrigin, q.y - alongOrigin, static_cast<int>(halfSpan),
                     kCornerAllowance)
      .Run();
}

struct Area {
  const char* name;
  double x0, y0, x1, y1;  // share of the picture
  double ax, ay;          // where the wanted square is nearest
};

constexpr Area kAreas[] = {
    {"centre", 0.25, 0.25, 0.75, 0.75, 0.5, 0.5}, {"tl", 0, 0, 0.5, 0.5, 0, 0},
    {"tr", 0.5, 0, 1, 0.5, 1, 0},                 {"bl", 0, 0.5, 0.5, 1, 0, 1},
    {"br", 0.5, 0.5, 1, 1, 1, 1},
};

EdgeFigure MeasureArea(const uint8_t* luma, int width, int height, size_t stride, const Small& small,
                       const Area& area) {
  EdgeFigure figure;
  figure.region = area.name;
  const int x0 = static_cast<int>(area.x0 * small.width), x1 = static_cast<int>(area.x1 * small.width);
  const int y0 = static_cast<int>(area.y0 * small.height), y1 = static_cast<int>(area.y1 * small.height);
  figure.rect = {x0 * kDetectScale, y0 * kDetectScale, (x1 - x0) * kDetectScale, (y1 - y0) * kDetectScale};
  figure.failure = kNoEdge;
  std::vector<Square> squares = FindSquares(small, x0, y0, x1, y1);
  const Point anchor{area.ax * width, area.ay * height};
  std::sort(squares.begin(), squares.end(), [&](const Square& a, const Square& b) {
    return std::hypot(a.centre.x - anchor.x, a.centre.y - anchor.y) <
           std::hypot(b.centre.x - anchor.x, b.centre.y - anchor.y);
  });
  if (squares.size() > 3) squares.resize(3);
  bool first = true;
  for (const Square& sq : squares) {
    // Both near-vertical sides first (they give the horizontal resolution), then both
    // near-horizontal ones; directions are never mixed, since lenses differ between them.
    // Two parallel sides lie at different places against a JPEG's 8 x 8 blocks, whose
    // quantisation shifts a sharp edge's figure by a few per cent one way or the other, so
    // their mean is steadier than either side alone.
    const std::pair<Point, Point> directions[2][2] = {{{sq.tr, sq.br}, {sq.tl, sq.bl}},
                                                      {{sq.tl, sq.tr}, {sq.bl, sq.br}}};
    for (const auto& sides : directions) {
      int measured = 0;
      double mtf50 = 0, angle = 0, contrast = 0;
      for (const auto& [p, q] : sides) {
        EdgeRect rect;
        const EdgeOutcome out = MeasureSide(luma, width, height, stride, p, q, sq.side, rect);
        if (first) {  // the nearest square's first side speaks for the area when nothing measures
          figure.failure = out.failure;
          figure.rect = rect;
          first = false;
        }
        if (!out.measured) continue;
        if (measured++ == 0) figure.rect = rect;
        mtf50 += out.mtf50;
        angle += out.angleDegrees;
        contrast += out.contrast;
      }
      if (measured == 0) continue;
      figure.measured = true;
      figure.failure.clear();
      figure.mtf50 = mtf50 / measured;
      figure.angleDegrees = angle / measured;
      figure.contrast = contrast / measured;
      return figure;
    }
  }
  return figure;
}

}  // namespace

MtfFigures MeasureSlantedEdges(const uint8_t* luma, int width, int height, size_t stride,
                               const std::optional<EdgeRect>& roi) {
  MtfFigures figures;
  if (!luma || width <= 0 || height <= 0 || stride < static_cast<size_t>(width)) {
    figures.failure = "no picture";
    return figures;
  }
  if (roi) {
    figures.edges.push_back(MeasureRegion(luma, stride, Clamp(*roi, width, height)));
  } else {
    const Small small = Shrink(luma, width, height, stride);
    for (const Area& area : kAreas) figures.edges.push_back(MeasureArea(luma, width, height, stride, small, area));
  }
  // Unmeasured regions grouped by reason: "edge too short (centre); no edge found (tl, tr)".
  std::vector<std::pair<std::string, std::string>> reasons;
  for (const EdgeFigure& edge : figures.edges) {
    if (edge.measured) {
      figures.minimum = figures.measured ? std::min(figures.minimum, edge.mtf50) : edge.mtf50;
      figures.measured = true;
      continue;
    }
    auto it = std::find_if(reasons.begin(), reasons.end(), [&](const auto& r) { return r.first == edge.failure; });
    if (it == reasons.end()) reasons.emplace_back(edge.failure, edge.region);
    else it->second += ", " + edge.region;
  }
  if (!figures.measured) {
    if (reasons.size() == 1) {
      figures.failure = reasons[0].first;
    } else {
      for (const auto& [why, where] : reasons)
        figures.failure += (figures.failure.empty() ? "" : "; ") + why + " (" + where + ")";
    }
  }
  return figures;
}
