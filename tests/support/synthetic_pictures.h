#pragma once
// Seeded grey pictures for the picture-figure tests and benchmarks: flats with noise, a test
// card and its blurred copies, flats with a lens's cos^4 fall-off and injected defects. A
// picture is a field of real levels until it is rounded into pixels (BGR, NV12 or luma), so
// the truth (noise sigma, shading, defect places) is known before any rounding or JPEG.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imaging/LumaPlane.h"
#include "jpeg_test_util.h"

namespace synth {

struct Field {
  int width = 0, height = 0;
  std::vector<double> levels;  // top row first
  double& At(int x, int y) { return levels[static_cast<size_t>(y) * width + x]; }
  double At(int x, int y) const { return levels[static_cast<size_t>(y) * width + x]; }
};

struct InjectedDefect {
  int x, y;       // the centre of a cluster
  int size;       // 1 for a single pixel, 3 for a 3x3 cluster
  double offset;  // levels added (negative: a dark defect)
};


namespace detail {

inline uint8_t Pixel(double level) { return static_cast<uint8_t>(std::clamp(std::lround(level), 0L, 255L)); }

}  // namespace detail

inline Field Flat(int width, int height, double level) {
  return Field{width, height, std::vector<double>(static_cast<size_t>(width) * height, level)};
}

// The card of the figure tests, drawn in picture-relative terms so that it looks the same at
// any size: a 16 x 12 checkerboard of two greys (dark, light) crossed by rings round the
// centre, on a gentle gradient.
inline Field Card(int width, int height, double dark = 60, double light = 190) {
  Field card = Flat(width, height, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double u = (x - width / 2.0) / height, v = (y - height / 2.0) / height;
      const bool ring = static_cast<int>(std::sqrt(u * u + v * v) * 40) % 2 == 0;
      const bool isDark = (((x * 16 / width) + (y * 12 / height)) % 2 == 0) != ring;
      card.At(x, y) = (isDark ? dark : light) + (light - dark) * 0.15 * x / width;
    }
  return card;
}

// A box blur of radius r (rows, then columns).
inline Field Blurred(const Field& in, int radius) {
  auto pass = [radius](const Field& src, bool rows) {
    Field dst = src;
    const int outer = rows ? src.height : src.width, inner = rows ? src.width : src.height;
    for (int o = 0; o < outer; ++o)
      for (int i = 0; i < inner; ++i) {
        double sum = 0;
        int n = 0;
        for (int k = std::max(0, i - radius); k <= std::min(inner - 1, i + radius); ++k, ++n)
          sum += rows ? src.At(k, o) : src.At(o, k);
        (rows ? dst.At(i, o) : dst.At(o, i)) = sum / n;
      }
    return dst;
  };
  return pass(pass(in, true), false);
}

// White Gaussian noise of `sigma` levels, from `seed`.
inline void AddNoise(Field& field, double sigma, uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (double& level : field.levels) level += noise(random);
}

// A lens's natural fall-off, cos^4 of the angle off axis, with the focal length chosen so
// that the picture's corners keep `cornerShare` (0..1) of the centre's light.
inline void Shade(Field& field, double cornerShare) {
  // cos^4(atan(r / f)) = share at the corner's radius: cos = share^(1/4).
  const double cx = (field.width - 1) / 2.0, cy = (field.height - 1) / 2.0;
  const double corner = std::hypot(cx, cy);
  const double angle = std::acos(std::pow(cornerShare, 0.25));
  const double focal = corner / std::tan(angle);
  for (int y = 0; y < field.height; ++y)
    for (int x = 0; x < field.width; ++x) {
      const double c = std::cos(std::atan(std::hypot(x - cx, y - cy) / focal));
      field.At(x, y) *= c * c * c * c;
    }
}

// The shading the flat-field figure should report for `clean` (no noise): its darkest
// corner square's mean against the centre square's, in percent, squares as the figure
// reads them.
inline double ExpectedShading(const Field& clean, int boxDivisor) {
  const int w = std::max(4, clean.width / boxDivisor), h = std::max(4, clean.height / boxDivisor);
  auto mean = [&](int x0, int y0) {
    double sum = 0;
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) sum += clean.At(x, y);
    return sum / (w * h);
  };
  const double centre = mean((clean.width - w) / 2, (clean.height - h) / 2);
  const double darkest = std::min({mean(0, 0), mean(clean.width - w, 0), mean(0, clean.height - h),
                                   mean(clean.width - w, clean.height - h)});
  return 100 * darkest / centre;
}

// `singles` single pixels and `clusters` 3x3 clusters, each `offset` levels brighter or
// darker (alternating), at seeded places at least 8 pixels from the border and each other.
inline std::vector<InjectedDefect> InjectDefects(Field& field, int singles, int clusters, double offset,
                                          uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> xs(8, field.width - 9), ys(8, field.height - 9);
  std::vector<InjectedDefect> injected;
  while (static_cast<int>(injected.size()) < singles + clusters) {
    const InjectedDefect d{xs(random), ys(random),
                           static_cast<int>(injected.size()) < singles ? 1 : 3,
                           injected.size() % 2 ? -offset : offset};
    const bool apart = std::none_of(injected.begin(), injected.end(), [&](const InjectedDefect& o) {
      return std::abs(o.x - d.x) < 8 && std::abs(o.y - d.y) < 8;
    });
    if (!apart) continue;
    injected.push_back(d);
    const int r = d.size / 2;
    for (int y = d.y - r; y <= d.y + r; ++y)
      for (int x = d.x - r; x <= d.x + r; ++x) field.At(x, y) += d.offset;
  }
  return injected;
}

// Rounded and clamped to 0..255: top row first, 3 bytes a pixel, no padding.
inline std::vector<uint8_t> ToBgr(const Field& field) {
  std::vector<uint8_t> bgr(field.levels.size() * 3);
  for (size_t i = 0; i < field.levels.size(); ++i)
    bgr[3 * i] = bgr[3 * i + 1] = bgr[3 * i + 2] = detail::Pixel(field.levels[i]);
  return bgr;
}

// An NV12 frame of a grey field: chroma at 128.
inline std::vector<uint8_t> ToNv12(const Field& field) {
  std::vector<uint8_t> frame(field.levels.size() * 3 / 2, 128);
  std::transform(field.levels.begin(), field.levels.end(), frame.begin(), detail::Pixel);
  return frame;
}

inline LumaPlane ToLuma(const Field& field) {
  const std::vector<uint8_t> frame = ToNv12(field);
  return LumaOfNv12(frame.data(), frame.size(), field.width, field.height);
}

// A JPEG file's bytes of the field (4:2:0).
inline std::vector<uint8_t> ToJpeg(const Field& field, int quality) {
  jpegtest::JpegOptions options;
  options.quality = quality;
  const std::vector<uint8_t> bgr = ToBgr(field);
  return jpegtest::EncodeJpeg(bgr.data(), field.width, field.height, 3, options);
}

}  // namespace synth
