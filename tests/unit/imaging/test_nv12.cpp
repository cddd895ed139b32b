#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "imaging/Nv12.h"

namespace {

// The formula written out per pixel, with the documented rule for odd sizes (last odd
// column / row share the nearest whole pair / chroma row; no pair or row at all: gray).
std::vector<uint8_t> Reference(const std::vector<uint8_t>& f, int w, int h) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
  auto clamp = [](int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
  for (int i = 0; i < h; ++i)
    for (int j = 0; j < w; ++j) {
      const int y = f[i * w + j];
      int u = 0, v = 0;
      if (w / 2 > 0 && h / 2 > 0) {
        const int ci = std::min(i / 2, h / 2 - 1), cj = std::min(j / 2, w / 2 - 1);
        u = f[w * h + ci * w + cj * 2] - 128;
        v = f[w * h + ci * w + cj * 2 + 1] - 128;
      }
      uint8_t* p = &out[(static_cast<size_t>(i) * w + j) * 3];
      p[0] = clamp((256 * y + 454 * u) >> 8);
      p[1] = clamp((256 * y - 88 * u - 183 * v) >> 8);
      p[2] = clamp((256 * y + 359 * v) >> 8);
    }
  return out;
}

// Index of the first differing byte, or -1; keeps failure output short on big frames.
long FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 0;
  auto m = std::mismatch(a.begin(), a.end(), b.begin());
  return m.first == a.end() ? -1 : static_cast<long>(m.first - a.begin());
}

TEST(Nv12, FormulaCornerCases) {
  struct Case {
    uint8_t y, u, v;
    uint8_t b, g, r;
  } cases[] = {
      {0, 128, 128, 0, 0, 0},        // black
      {255, 128, 128, 255, 255, 255},  // white
      {16, 128, 128, 16, 16, 16},    // full range: no offset of 16
      {128, 128, 255, 128, 37, 255},   // R = 306 clamped
      {0, 0, 128, 0, 44, 0},           // B = -227 clamped
      {1, 127, 127, 0, 2, 0},          // R = B = -1: floor, not truncation
      {100, 128, 127, 100, 100, 98},   // -359 >> 8 is -2, not -1
  };
  for (const Case& c : cases) {
    // 2 x 2 frame: four equal luma samples and one chroma pair.
    const std::vector<uint8_t> frame = {c.y, c.y, c.y, c.y, c.u, c.v};
    for (bool scalar : {false, true}) {
      std::vector<uint8_t> out(12, 0xEE);
      const int n = scalar ? ConvertNv12ToBgrRowsScalar(frame.data(), 2, 2, out.data(), 6)
                           : ConvertNv12ToBgr(frame.data(), 2, 2, out.data());
      EXPECT_EQ(n, 12);
      for (int px = 0; px < 4; ++px) {
        SCOPED_TRACE(testing::Message() << "Y=" << int(c.y) << " U=" << int(c.u)
                                        << " V=" << int(c.v) << " scalar=" << scalar);
        EXPECT_EQ(out[px * 3 + 0], c.b);
        EXPECT_EQ(out[px * 3 + 1], c.g);
        EXPECT_EQ(out[px * 3 + 2], c.r);
      }
    }
  }
}

TEST(Nv12, FourByTwoLayoutAndBounds) {
  // 8 luma bytes, one chroma row: pair 0 neutral colours columns 0-1 of both rows,
  // pair 1 colours columns 2-3.
  const std::vector<uint8_t> frame = {10, 20, 30, 40, 50, 60, 70, 80, 128, 128, 200, 60};
  std::vector<uint8_t> out(24 + 4, 0xEE);
  EXPECT_EQ(ConvertNv12ToBgr(frame.data(), 4, 2, out.data()), 24);
  const std::vector<uint8_t> gray = {10, 10, 10, 20, 20, 20};
  EXPECT_TRUE(std::equal(gray.begin(), gray.end(), out.begin()));
  const std::vector<uint8_t> gray2 = {50, 50, 50, 60, 60, 60};
  EXPECT_TRUE(std::equal(gray2.begin(), gray2.end(), out.begin() + 12));
  std::vector<uint8_t> written(out.begin(), out.begin() + 24);
  EXPECT_EQ(FirstDifference(written, Reference(frame, 4, 2)), -1);
  // Column 2 of both rows, coloured by pair 1 (U = 72, V = -68 after centring).
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 6, out.begin() + 9),
            (std::vector<uint8_t>{157, 53, 0}));
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 18, out.begin() + 21),
            (std::vector<uint8_t>{197, 93, 0}));
  for (int k = 24; k < 28; ++k) EXPECT_EQ(out[k], 0xEE) << "wrote past the output";

  // A null frame or output writes nothing.
  std::vector<uint8_t> untouched(24, 0xEE);
  EXPECT_EQ(ConvertNv12ToBgr(nullptr, 4, 2, untouched.data()), -1);
  EXPECT_EQ(ConvertNv12ToBgr(frame.data(), 4, 2, nullptr), -1);
  EXPECT_EQ(ConvertNv12ToBgr(frame.data(), -4, 2, untouched.data()), -1);
  EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xEE; }));
}

TEST(Nv12, FastPathMatchesReferenceOnRandomFrames) {
  // Widths around the 16-column vector step, odd sizes and a large frame. Each frame is
  // allocated at exactly w * h * 3 / 2 bytes so a sanitizer build catches any over-read.
  const std::pair<int, int> sizes[] = {{2, 2},  {16, 2},  {18, 4},  {30, 6},   {32, 32},
                                       {34, 6}, {48, 10}, {1, 1},   {1, 6},    {7, 1},
                                       {3, 3},  {5, 4},   {4, 5},   {17, 9},   {33, 7},
                                       {640, 480}, {1922, 4}, {352, 288}};
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto [w, h] : sizes) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 3 / 2);
    for (auto& b : frame) b = static_cast<uint8_t>(byte(rng));
    const auto expected = Reference(frame, w, h);
    std::vector<uint8_t> fast(expected.size()), scalar(expected.size()),
        portable(expected.size());
    EXPECT_EQ(ConvertNv12ToBgr(frame.data(), w, h, fast.data()), w * h * 3);
    EXPECT_EQ(ConvertNv12ToBgrRowsScalar(frame.data(), w, h, scalar.data(), w * 3), w * h * 3);
    EXPECT_EQ(ConvertNv12ToBgrRowsPortable(frame.data(), w, h, portable.data(), w * 3), w * h * 3);
    EXPECT_EQ(FirstDifference(fast, expected), -1);
    EXPECT_EQ(FirstDifference(scalar, expected), -1);
    EXPECT_EQ(FirstDifference(portable, expected), -1);
  }
}

}  // namespace
