// MTF50 from slanted edges, against pictures whose MTF is known exactly (a blurred step
// integrated over each pixel), through the JPEG and NV12 paths a camera's pictures take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "imaging/SlantedEdge.h"
#include "synthetic_edges.h"
#include "test_files.h"

namespace {

MtfFigures Measure(const std::vector<uint8_t>& luma, int width, int height,
                   const std::optional<EdgeRect>& roi = std::nullopt) {
  return MeasureSlantedEdges(luma.data(), width, height, width, roi);
}

TEST(SlantedEdge, MeasuresKnownBlurInCentreAndCornersThroughJpegAndNv12) {
  testsupport::TempFolder dir;
  struct Case { double sigma, angle, side; bool jpeg; };
  const Case cases[] = {{0.6, 4, 70, true}, {1.2, 8, 90, false}, {1.8, 13, 80, true}, {2.4, 6, 100, false}};
  std::vector<double> errors;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "sigma " << c.sigma << " angle " << c.angle << (c.jpeg ? " jpeg" : " nv12"));
    const auto chart = synthetic::FiveSquares(640, 480, c.side, c.angle, c.sigma, 7);
    const auto raw = synthetic::RenderLuma(chart);
    const auto luma = c.jpeg ? synthetic::ThroughJpeg(raw, 640, 480, 90, dir.Path()) : synthetic::ThroughNv12(raw, 640, 480);
    ASSERT_EQ(luma.size(), raw.size());
    const MtfFigures figures = Measure(luma, 640, 480);
    ASSERT_TRUE(figures.measured) << figures.failure;
    ASSERT_EQ(figures.edges.size(), 5u);
    double lowest = 1e9;
    for (const EdgeFigure& edge : figures.edges) {
      ASSERT_TRUE(edge.measured) << edge.region << ": " << edge.failure;
      const double truth = synthetic::TrueMtf50(c.sigma, c.angle);
      errors.push_back(std::abs(edge.mtf50 / truth - 1));
      EXPECT_NEAR(edge.mtf50, truth, 0.04 * truth) << edge.region;
      EXPECT_NEAR(std::abs(edge.angleDegrees), c.angle, 0.5) << edge.region;
      EXPECT_NEAR(edge.contrast, (190.0 - 60) / (190 + 60), 0.03) << edge.region;
      // The strip measured lies on the square of its own region.
      const double cx = edge.rect.x + edge.rect.width / 2.0, cy = edge.rect.y + edge.rect.height / 2.0;
      if (edge.region != "centre") {
        EXPECT_EQ(cx < 320, edge.region == "tl" || edge.region == "bl") << edge.region;
        EXPECT_EQ(cy < 240, edge.region == "tl" || edge.region == "tr") << edge.region;
      }
      lowest = std::min(lowest, edge.mtf50);
    }
    EXPECT_EQ(figures.minimum, lowest);
  }
  std::sort(errors.begin(), errors.end());
  EXPECT_LE(errors[errors.size() / 2], 0.015);
}

TEST(SlantedEdge, RegionGivenMeasuresTheOneEdgeInsideEitherWay) {
  // One square; a region across its right side (near vertical) and one across its bottom
  // (near horizontal, measured transposed) must agree with the truth alike.
  synthetic::Chart chart;
  chart.squares.push_back({320, 240, 200, 7});
  chart.sigma = 1.5;
  const auto luma = synthetic::RenderLuma(chart);
  const double truth = synthetic::TrueMtf50(1.5, 7);
  // The last region runs past the side's end, round the corner: the side alone is measured.
  const EdgeRect regions[] = {{385, 170, 70, 140}, {250, 305, 140, 70}, {380, 80, 80, 200}};
  for (const EdgeRect& r : regions) {
    const MtfFigures figures = Measure(luma, 640, 480, r);
    ASSERT_EQ(figures.edges.size(), 1u);
    const EdgeFigure& edge = figures.edges[0];
    ASSERT_TRUE(edge.measured) << edge.failure;
    EXPECT_EQ(edge.region, "roi");
    EXPECT_NEAR(edge.mtf50, truth, 0.04 * truth);
    EXPECT_NEAR(std::abs(edge.angleDegrees), 7, 0.3);
  }
  // A region hanging over the picture's side is cut to the picture, not read past it.
  const MtfFigures over = Measure(luma, 640, 480, EdgeRect{600, 400, 500, 500});
  EXPECT_EQ(over.edges[0].rect.x + over.edges[0].rect.width, 640);
  EXPECT_EQ(over.edges[0].rect.y + over.edges[0].rect.height, 480);
  EXPECT_FALSE(over.measured);
}

TEST(SlantedEdge, RefusesEdgesItCannotTrust) {
  auto chart = [](double angle, double light, double dark, double noise) {
    synthetic::Chart c;
    c.squares.push_back({320, 240, 200, angle});
    c.sigma = 1.0;
    c.light = light;
    c.dark = dark;
    c.noise = noise;
    return synthetic::RenderLuma(c);
  };
  struct Case { const char* what; std::vector<uint8_t> luma; std::optional<EdgeRect> roi; const char* failure; };
  const Case cases[] = {
      {"noisy flat", chart(0, 128, 128, 6), std::nullopt, "no edge found"},
      {"square square to the axes", chart(0, 190, 60, 2), std::nullopt, "angle too close to 0"},
      {"edge near 45 degrees", chart(42, 190, 60, 2), EdgeRect{350, 255, 90, 100}, "angle too close to 45"},
      {"saturated edge", chart(6, 255, 0, 2), EdgeRect{385, 170, 70, 140}, "edge clipped"},
      {"short region", chart(6, 190, 60, 2), EdgeRect{385, 230, 70, 14}, "edge too short"},
      {"faint edge", chart(6, 130, 124, 0.5), EdgeRect{385, 170, 70, 140}, "edge too faint"},
  };
  for (const Case& c : cases) {
    const MtfFigures figures = Measure(c.luma, 640, 480, c.roi);
    EXPECT_FALSE(figures.measured) << c.what << ": mtf50 " << figures.minimum;
    ASSERT_FALSE(figures.edges.empty());
    EXPECT_EQ(figures.edges[0].failure, c.failure) << c.what;  // the centre, or the region given
    EXPECT_NE(figures.failure.find(c.failure), std::string::npos) << c.what;
    for (const EdgeFigure& edge : figures.edges) EXPECT_EQ(edge.mtf50, 0) << c.what;
  }
}

}  // namespace
