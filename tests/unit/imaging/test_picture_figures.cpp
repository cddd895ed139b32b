// Picture figures on generated pictures: what a dead, covered or blinded sensor gives, and
// a focus figure that ranks blur and ignores the picture's size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "imaging/PictureFigures.h"

namespace {

struct Picture {
  int width, height;
  std::vector<uint8_t> bgr;
  PictureFigures Measure() const { return MeasurePicture(bgr.data(), width, height, width * 3u); }
};

Picture Filled(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
  Picture p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  for (size_t i = 0; i < p.bgr.size(); i += 3) {
    p.bgr[i] = b;
    p.bgr[i + 1] = g;
    p.bgr[i + 2] = r;
  }
  return p;
}

// A test card drawn in picture-relative terms, so the same card can be drawn at any size:
// a 16 x 12 checkerboard of two greys crossed by rings round the centre (edges at every
// angle and height, as in a real scene), on a smooth gradient.
Picture Card(int w, int h) {
  Picture p = Filled(w, h, 0, 0, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double u = (x - w / 2.0) / h, v = (y - h / 2.0) / h;
      const bool ring = static_cast<int>(std::sqrt(u * u + v * v) * 40) % 2 == 0;
      const bool dark = (((x * 16 / w) + (y * 12 / h)) % 2 == 0) != ring;
      const int shade = (dark ? 60 : 190) + 20 * x / w;
      uint8_t* px = &p.bgr[(static_cast<size_t>(y) * w + x) * 3];
      px[0] = px[1] = px[2] = static_cast<uint8_t>(shade);
    }
  return p;
}

// A box blur of radius r, rows then columns.
Picture Blurred(const Picture& in, int r) {
  Picture out = in;
  auto pass = [&](Picture& dst, const Picture& src, bool rows) {
    for (int y = 0; y < in.height; ++y)
      for (int x = 0; x < in.width; ++x)
        for (int c = 0; c < 3; ++c) {
          int sum = 0, n = 0;
          for (int k = -r; k <= r; ++k) {
            const int xx = rows ? x + k : x, yy = rows ? y : y + k;
            if (xx < 0 || yy < 0 || xx >= in.width || yy >= in.height) continue;
            sum += src.bgr[(static_cast<size_t>(yy) * in.width + xx) * 3 + c];
            ++n;
          }
          dst.bgr[(static_cast<size_t>(y) * in.width + x) * 3 + c] = static_cast<uint8_t>(sum / n);
        }
  };
  Picture mid = in;
  pass(mid, in, true);
  pass(out, mid, false);
  return out;
}

TEST(PictureFigures, DeadCoveredAndBlindedSensorsAreToldApart) {
  const PictureFigures black = Filled(640, 480, 0, 0, 0).Measure();
  EXPECT_TRUE(black.measured);
  EXPECT_TRUE(black.uniform);
  EXPECT_DOUBLE_EQ(black.clippedBlack, 1.0);
  EXPECT_EQ(black.sharpness, 0);

  const PictureFigures white = Filled(320, 240, 255, 255, 255).Measure();
  EXPECT_TRUE(white.uniform);
  EXPECT_DOUBLE_EQ(white.clippedWhite, 1.0);
  EXPECT_EQ(white.minLuma, 255);

  const PictureFigures grey = Filled(1920, 1080, 128, 128, 128).Measure();
  EXPECT_TRUE(grey.uniform);
  EXPECT_NEAR(grey.meanLuma, 128, 0.5);
  EXPECT_EQ(grey.clippedBlack + grey.clippedWhite, 0);

  // A card with its top quarter burnt out: clipped white, not uniform, histogram whole.
  Picture burnt = Card(640, 480);
  std::fill(burnt.bgr.begin(), burnt.bgr.begin() + burnt.bgr.size() / 4, 255);
  const PictureFigures f = burnt.Measure();
  EXPECT_FALSE(f.uniform);
  EXPECT_NEAR(f.clippedWhite, 0.25, 0.02);
  uint64_t total = 0;
  for (uint32_t n : f.histogram) total += n;
  EXPECT_EQ(total, f.samples);

  // Colour balance: a reddish picture is red-heavy.
  const PictureFigures red = Filled(64, 48, 40, 90, 200).Measure();
  EXPECT_NEAR(red.meanRed, 200, 0.5);
  EXPECT_NEAR(red.meanBlue, 40, 0.5);

  EXPECT_FALSE(MeasurePicture(nullptr, 640, 480, 1920).measured);
}

TEST(PictureFigures, SharpnessRanksBlurAndComparesAcrossSizes) {
  const Picture card = Card(640, 480);
  double previous = card.Measure().sharpness;
  EXPECT_GT(previous, 0);
  for (int radius : {1, 2, 4, 8}) {
    const double blurred = Blurred(card, radius).Measure().sharpness;
    EXPECT_LT(blurred, previous) << "radius " << radius;
    previous = blurred;
  }
  const double small = card.Measure().sharpness;
  const double large = Card(1920, 1080).Measure().sharpness;
  EXPECT_NEAR(large / small, 1.0, 0.15) << small << " against " << large;
}

}  // namespace
