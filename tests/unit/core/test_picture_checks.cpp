// Checks as an operator writes them: each form read, each failure named with its value.
#include <gtest/gtest.h>

#include <cmath>

#include "core/PictureChecks.h"

TEST(PictureChecks, ReadAsWrittenAndFailuresNamed) {
  std::vector<PictureCheck> checks;
  std::string error;
  ASSERT_TRUE(ParsePictureChecks("sharpness>=40, luma=40..220,clipped<=2%,uniform=no", checks, error))
      << error;
  ASSERT_EQ(checks.size(), 4u);

  PictureFigures f;
  f.sharpness = 55;
  f.meanLuma = 128;
  f.clippedWhite = 0.01;
  EXPECT_TRUE(FailedChecks(f, checks).empty());

  f.sharpness = 12.34;
  f.clippedBlack = 0.02;  // 3 % clipped in all
  f.uniform = true;
  const auto failed = FailedChecks(f, checks);
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0], "sharpness 12.3 (wanted sharpness>=40)");
  EXPECT_EQ(failed[1], "clipped 3.0% (wanted clipped<=2%)");
  // A damaged file fails "decodes" whatever was asked.
  PictureFigures damaged;
  damaged.decodeWarning = "Premature end of JPEG file";
  EXPECT_EQ(FailedChecks(damaged, {}),
            std::vector<std::string>{"decodes no (Premature end of JPEG file)"});

  for (const char* bad : {"", "focus>=3", "luma=220..40", "luma>=", "sharpness>=x", "uniform>=1",
                          "luma=40..", "clipped<=2%%", "luma=40..220,"}) {
    EXPECT_FALSE(ParsePictureChecks(bad, checks, error)) << bad;
    EXPECT_TRUE(checks.empty());
    EXPECT_NE(error.find("cannot read the check"), std::string::npos);
  }
}

// The costly figures: asked for only by the checks that read them, and a figure that could
// not be measured fails with its reason, never as a number (not even as 0 passing "<=").
TEST(PictureChecks, CostlyFiguresAreAskedForAndFailWithTheirReason) {
  std::vector<PictureCheck> checks;
  std::string error;
  ASSERT_TRUE(ParsePictureChecks("noise<=3", checks, error)) << error;
  EXPECT_FALSE(OptionsForChecks(checks).Any());
  ASSERT_TRUE(ParsePictureChecks("defects<=0,mtf50_tl>=0.2", checks, error)) << error;
  EXPECT_TRUE(OptionsForChecks(checks).flatField);
  EXPECT_TRUE(OptionsForChecks(checks).mtf);

  PictureFigures f;
  f.flatField = FlatFieldFigures{};
  f.flatField->failure = "not a flat field";
  f.mtf = MtfFigures{};
  f.mtf->measured = true;
  f.mtf->minimum = 0.18;
  f.mtf->edges = {EdgeFigure{"centre", true, "", 0.31, 5, 0.6, {}},
                  EdgeFigure{"tl", true, "", 0.18, 4, 0.5, {}},
                  EdgeFigure{"br", false, "edge clipped", 0, 0, 0, {}}};
  ASSERT_TRUE(ParsePictureChecks("defects<=0,mtf50>=0.2,mtf50_centre>=0.2,mtf50_br>=0.1,"
                                 "mtf50_tr>=0.1,shading>=70%",
                                 checks, error))
      << error;
  EXPECT_EQ(FailedChecks(f, checks),
            (std::vector<std::string>{"defects not measured (not a flat field; wanted defects<=0)",
                                      "mtf50 0.180 (wanted mtf50>=0.2)",
                                      "mtf50_br not measured (edge clipped; wanted mtf50_br>=0.1)",
                                      "mtf50_tr not measured (no edge found in region tr; wanted mtf50_tr>=0.1)",
                                      "shading not measured (not a flat field; wanted shading>=70%)"}));
  std::string why;
  EXPECT_FALSE(MeasuredValue(f, "defects", &why));
  EXPECT_EQ(why, "not a flat field");
  EXPECT_TRUE(std::isnan(CheckedValue(f, "defects")));
  EXPECT_DOUBLE_EQ(*MeasuredValue(f, "mtf50_centre"), 0.31);
  // Not asked for at all: said so.
  EXPECT_FALSE(MeasuredValue(PictureFigures{}, "shading", &why));
  EXPECT_EQ(why, "not measured");

  // The edge region: X,Y,W,H in whole pixels, big enough to hold an edge.
  EXPECT_EQ(ParseEdgeRegion(" 10, 20,64,48", error)->width, 64);
  for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "1,2,4,64", "-1,0,20,20", "a,0,20,20", "1.5,0,20,20"})
    EXPECT_FALSE(ParseEdgeRegion(bad, error)) << bad;
}
