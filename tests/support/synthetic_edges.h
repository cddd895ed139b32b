#pragma once
// Slanted-edge pictures whose MTF is known exactly: dark squares, tilted, on a light ground,
// blurred by a Gaussian and each pixel the integral of the blurred picture over its square
// area. Across an edge at angle a, a square pixel integrates like two boxes of width cos a and
// sin a, so the edge's true MTF (cycles per pixel, across the edge) is
//   exp(-2 pi^2 sigma^2 f^2) * sinc(f cos a) * sinc(f sin a).
// Noise is Gaussian from a seeded generator; the picture is luma, 8 bits, top row first.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imaging/JpegFile.h"
#include "imaging/Nv12.h"
#include "jpeg_test_util.h"

namespace synthetic {

constexpr double kPi = 3.14159265358979323846;

struct Square {
  double cx = 0, cy = 0;       // centre, picture coordinates (pixel centres at whole numbers)
  double side = 80;
  double angleDegrees = 5;     // clockwise tilt of its sides from the axes
};

struct Chart {
  int width = 640, height = 480;
  std::vector<Square> squares;
  double sigma = 1.0;          // Gaussian blur, pixels
  double light = 190, dark = 60;
  double noise = 2;            // Gaussian, levels
  uint32_t seed = 1;
};

// Integrals of the unit step blurred by a Gaussian: F1' = Phi(t / sigma), F2' = F1.
inline double StepIntegral1(double t, double sigma) {
  const double u = t / sigma;
  const double phi = std::exp(-0.5 * u * u) / std::sqrt(2 * kPi), cdf = 0.5 * std::erfc(-u / std::sqrt(2.0));
  return sigma * (u * cdf + phi);
}
inline double StepIntegral2(double t, double sigma) {
  const double u = t / sigma;
  const double phi = std::exp(-0.5 * u * u) / std::sqrt(2 * kPi), cdf = 0.5 * std::erfc(-u / std::sqrt(2.0));
  return sigma * sigma * (0.5 * (u * u + 1) * cdf + 0.5 * u * phi);
}

// How much of the pixel whose centre lies `d` pixels inside a blurred half-plane is covered,
// the edge at angle a to the pixel's sides: the step blurred, then averaged over the pixel's
// projection across the edge (a box of cos a convolved with a box of sin a).
inline double PixelCoverage(double d, double sigma, double cosA, double sinA) {
  const double p = std::abs(cosA), q = std::abs(sinA);
  if (q < 1e-6)
    return (StepIntegral1(d + p / 2, sigma) - StepIntegral1(d - p / 2, sigma)) / p;
  return (StepIntegral2(d + (p + q) / 2, sigma) - StepIntegral2(d + (p - q) / 2, sigma) -
          StepIntegral2(d - (p - q) / 2, sigma) + StepIntegral2(d - (p + q) / 2, sigma)) /
         (p * q);
}

// The true MTF50 of an edge at `angleDegrees` in a picture blurred by `sigma`.
inline double TrueMtf50(double sigma, double angleDegrees) {
  const double a = angleDegrees * kPi / 180;
  auto sinc = [](double x) { return std::abs(x) < 1e-12 ? 1.0 : std::sin(kPi * x) / (kPi * x); };
  auto mtf = [&](double f) {
    return std::exp(-2 * kPi * kPi * sigma * sigma * f * f) * sinc(f * std::cos(a)) * sinc(f * std::sin(a));
  };
  double lo = 0, hi = 1;
  for (int i = 0; i < 60; ++i) {
    const double mid = 0.5 * (lo + hi);
    (mtf(mid) > 0.5 ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// The picture without noise, as exact levels (not rounded).
inline std::vector<double> RenderExact(const Chart& chart) {
  std::vector<double> px(static_cast<size_t>(chart.width) * chart.height, chart.light);
  const double blurReach = 5 * chart.sigma + 2;
  for (const Square& sq : chart.squares) {
    const double a = sq.angleDegrees * kPi / 180, c = std::cos(a), s = std::sin(a);
    const double half = sq.side / 2, reach = half * std::sqrt(2.0) + blurReach;
    const int x0 = std::max(0, static_cast<int>(sq.cx - reach)), x1 = std::min(chart.width - 1, static_cast<int>(sq.cx + reach));
    const int y0 = std::max(0, static_cast<int>(sq.cy - reach)), y1 = std::min(chart.height - 1, static_cast<int>(sq.cy + reach));
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        // The square's own axes: u along its rotated x side, v along its rotated y side.
        const double dx = x - sq.cx, dy = y - sq.cy;
        const double u = c * dx + s * dy, v = -s * dx + c * dy;
        if (std::abs(u) > half + blurReach || std::abs(v) > half + blurReach) continue;
        // A blurred square is the product of two blurred slabs (the Gaussian separates along
        // any axes); away from the corners the pixel integral separates too.
        const double cu = PixelCoverage(half - u, chart.sigma, c, s) - PixelCoverage(-half - u, chart.sigma, c, s);
        const double cv = PixelCoverage(half - v, chart.sigma, c, s) - PixelCoverage(-half - v, chart.sigma, c, s);
        double& out = px[static_cast<size_t>(y) * chart.width + x];
        out -= (chart.light - chart.dark) * cu * cv;
      }
  }
  return px;
}

// With noise, rounded to 8 bits.
inline std::vector<uint8_t> RenderLuma(const Chart& chart) {
  const std::vector<double> exact = RenderExact(chart);
  std::mt19937 rng(chart.seed);
  std::normal_distribution<double> noise(0.0, chart.noise);
  std::vector<uint8_t> out(exact.size());
  for (size_t i = 0; i < exact.size(); ++i)
    out[i] = static_cast<uint8_t>(std::clamp(std::lround(exact[i] + (chart.noise > 0 ? noise(rng) : 0.0)), 0L, 255L));
  return out;
}

// The usual chart layout: one square in the centre and one near each corner.
inline Chart FiveSquares(int width, int height, double side, double angleDegrees, double sigma,
                         uint32_t seed) {
  Chart chart;
  chart.width = width;
  chart.height = height;
  chart.sigma = sigma;
  chart.seed = seed;
  const double inset = side * 1.1;
  const double xs[5] = {width / 2.0, inset, width - inset, inset, width - inset};
  const double ys[5] = {height / 2.0, inset, inset, height - inset, height - inset};
  for (int i = 0; i < 5; ++i) chart.squares.push_back({xs[i], ys[i], side, angleDegrees});
  return chart;
}

// The picture as a camera sends it: a colour JPEG (4:2:0) of the grey picture, decoded by the
// program's own decoder, back to BT.601 luma. Empty when it could not be written or decoded.
inline std::vector<uint8_t> ThroughJpeg(const std::vector<uint8_t>& luma, int width, int height,
                                        int quality, const std::string& folder) {
  std::vector<uint8_t> rgb(luma.size() * 3);
  for (size_t i = 0; i < luma.size(); ++i) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = luma[i];
  jpegtest::JpegOptions options;
  options.quality = quality;
  const std::string path = folder + "/edge.jpg";
  if (!testsupport::WriteFile(path, jpegtest::EncodeJpeg(rgb.data(), width, height, 3, options))) return {};
  CJpegFile decoder;
  int w = 0, h = 0;
  const auto decoded = decoder.DecodeJpegToRgb(path, w, h);
  if (!decoded || w != width || h != height) return {};
  std::vector<uint8_t> out(luma.size());
  for (size_t i = 0; i < out.size(); ++i) {
    const uint8_t* px = &decoded[3 * i];
    out[i] = static_cast<uint8_t>((77 * px[0] + 150 * px[1] + 29 * px[2] + 128) >> 8);
  }
  return out;
}

// The picture as an NV12 frame (neutral chroma) converted by the program's own converter, back
// to BT.601 luma.
inline std::vector<uint8_t> ThroughNv12(const std::vector<uint8_t>& luma, int width, int height) {
  std::vector<uint8_t> frame(luma.begin(), luma.end());
  frame.resize(luma.size() + static_cast<size_t>(width) * ((height + 1) / 2), 128);
  std::vector<uint8_t> bgr(luma.size() * 3);
  if (ConvertNv12ToBgr(frame.data(), width, height, bgr.data()) < 0) return {};
  std::vector<uint8_t> out(luma.size());
  for (size_t i = 0; i < out.size(); ++i) {
    const uint8_t* px = &bgr[3 * i];
    out[i] = static_cast<uint8_t>((29 * px[0] + 150 * px[1] + 77 * px[2] + 128) >> 8);
  }
  return out;
}

}  // namespace synthetic
