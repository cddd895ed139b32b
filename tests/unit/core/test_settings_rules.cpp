// The rules that need the camera's state: a crop window must fit the picture, a model takes
// only its own ranges; an apply refuses them before its first write.
#include <gtest/gtest.h>

#include "core/Profile.h"
#include "core/SettingsRules.h"
#include "protocol/CommandCodes.h"

namespace {

CropSettings Window(uint16_t x, uint16_t y, uint16_t width, uint16_t height, uint8_t enable = 1) {
  CropSettings c;
  c.x = x;
  c.y = y;
  c.width = width;
  c.height = height;
  c.enable = enable;
  return c;
}

}  // namespace

TEST(SettingsRules, CropWindowMustFitThePictureAndValuesTheModelsRanges) {
  const CameraState hd{ProfileModelFor("QVX5M0 2.00"), 1920, 1080};
  const struct {
    const char* name;
    ProfileSettings writes;
    CameraState state;
    const char* refusal;  // nullptr: taken
  } cases[] = {
      {"fits exactly", {.crop = Window(0, 0, 1920, 1080)}, hd, nullptr},
      {"right edge", {.crop = Window(1888, 0, 32, 32)}, hd, nullptr},
      {"too wide at x", {.crop = Window(640, 0, 1920, 480)}, hd,
       "crop.width is 1920, must be 32..1280 (x 640 in the 1920X1080 picture)"},
      {"x past the last window", {.crop = Window(1904, 0, 32, 32)}, hd,
       "crop.x is 1904, must be 0..1888 (the 1920X1080 picture)"},
      {"too tall at y", {.crop = Window(0, 100, 640, 1000)}, hd,
       "crop.height is 1000, must be 32..980 (y 100 in the 1920X1080 picture)"},
      {"switched off: any window", {.crop = Window(640, 0, 1920, 480, 0)}, hd, nullptr},
      {"picture unknown: the camera judges", {.crop = Window(640, 0, 1920, 480)}, CameraState{}, nullptr},
      {"the size set first decides", {.imageSize = 3, .crop = Window(0, 0, 1280, 720)}, hd,
       "crop.width is 1280, must be 32..640 (x 0 in the 640X480 picture)"},
      {"beyond the model's sizes", {.imageSize = 14}, CameraState{ProfileModelFor("QVX1M3 1.03")},
       "image_size is 3840X2160, must be 160X120.."},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> why = RefuseForCamera(c.writes, c.state);
    if (!c.refusal) {
      EXPECT_FALSE(why) << c.name << ": " << *why;
    } else {
      ASSERT_TRUE(why) << c.name;
      EXPECT_EQ(why->rfind(c.refusal, 0), 0u) << c.name << ": " << *why;
    }
  }
}

TEST(SettingsRules, AnApplyReadsThePictureAndRefusesAWindowOutsideItBeforeWriting) {
  ProfileError error;
  const std::optional<Profile> profile = ParseProfile(
      R"({"format": 1, "compression": "0x40", "crop": {"enable": true, "x": 640, "y": 0, "width": 1920, "height": 480}})",
      error);
  ASSERT_TRUE(profile) << error.Text();
  CProfileJob job(CProfileJob::Mode::Apply, ProfileModelFor("QVX5M0 2.00"), *profile);
  std::vector<int> sent;
  while (std::optional<CameraCommand> command = job.Next()) {
    sent.push_back(command->code);
    CommandResult result;
    result.code = command->code;
    if (command->code == CMD_READ_CROP) {
      CropSettings current;
      current.imageWidth = 1920;
      current.imageHeight = 1080;
      result.data = current;
    }
    job.Take(result);
  }
  ASSERT_TRUE(job.Finished());
  EXPECT_EQ(sent, std::vector<int>{CMD_READ_CROP});
  EXPECT_EQ(job.Outcome().failure, "crop.width is 1920, must be 32..1280 (x 640 in the 1920X1080 picture)");
  EXPECT_TRUE(job.Outcome().written.empty());
  EXPECT_EQ(job.Outcome().notWritten, (std::vector<std::string>{"compression", "crop"}));
}
