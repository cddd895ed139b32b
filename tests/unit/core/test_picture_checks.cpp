// Checks as an operator writes them: each form read, each failure named with its value.
#include <gtest/gtest.h>

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
