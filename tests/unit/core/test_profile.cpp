// Profiles against the camera they meet: another model's profile, a camera that cannot
// report its settings, an apply that stops half-way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Profile.h"
#include "protocol/CommandCodes.h"

namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

Profile Parsed(const std::string& text) {
  ProfileError error;
  std::optional<Profile> profile = ParseProfile(text, error);
  EXPECT_TRUE(profile.has_value()) << error.Text();
  return profile.value_or(Profile{});
}

}  // namespace

TEST(Profile, AnotherModelsProfileIsRefusedWhereARangeDiffersAndNamedOtherwise) {
  const ProfileModel camera = ProfileModelFor("QVX5M0 2.00");
  const struct {
    const char* text;
    const char* refusal;  // empty: taken
    bool warned;
  } cases[] = {
      {R"({"format": 1, "model": "QVX5M0 2.00", "image_size": "640X480"})", "", false},
      {R"({"format": 1, "image_size": "640X480"})", "", false},
      // Fewer sizes on the profile's model: its "640X480" is the same words, another list.
      {R"({"format": 1, "model": "QVX2M0 2.00",
  "image_size": "640X480"})",
       "line 2, column 3: \"image_size\" ranges 160X120..1920X1080 on QVX2M0 2.00 (the profile's model) but "
       "160X120..2560X1920 on QVX5M0 2.00; set \"model\" to this camera's to apply it here",
       true},
      {R"({"format": 1, "model": "QVX2M0 2.00", "compression": "0x40"})", "", true},
      {R"({"format": 1, "model": "QVX5M0 1.00", "image_size": "640X480"})", "", true},
      {R"({"format": 1, "model": "bench camera 7", "image_size": "640X480"})", "", true},
  };
  for (const auto& c : cases) {
    const Profile profile = Parsed(c.text);
    const std::optional<ProfileError> refusal = CheckProfileForModel(profile, camera, c.text);
    EXPECT_EQ(refusal ? refusal->Text() : "", c.refusal) << c.text;
    const std::optional<std::string> warning = ProfileModelWarning(profile, camera);
    EXPECT_EQ(warning.has_value(), c.warned) << c.text;
    if (warning) {
      EXPECT_EQ(*warning, "the profile was saved from " + profile.model + ", this camera is QVX5M0 2.00");
    }
  }
  // What a save cannot read is named, model by model.
  EXPECT_EQ(Joined(UnreportedSettings(ProfileModelFor("QVX0806 1.00"))), "image_size, compression, default_rate, power_save");
  EXPECT_EQ(Joined(UnreportedSettings(camera)), "image_type, power_save, fill_light, osd, power_on_capture");
}

TEST(ProfileJob, AnApplyThatStopsListsWhatItNeverWroteAndCropOffComparesTheSwitchOnly) {
  const Profile profile = Parsed(R"({"format": 1, "compression": "0x40", "fill_light": 3,
    "crop": {"enable": false, "x": 0, "y": 0, "width": 640, "height": 480}, "default_rate": 57600})");
  const ProfileModel model = ProfileModelFor("QVX5M0 2.00");

  // Answered step by step, with the camera's window left where it was.
  CProfileJob done(CProfileJob::Mode::Apply, model, profile);
  while (std::optional<CameraCommand> command = done.Next()) {
    CommandResult result;
    result.code = command->code;
    CropSettings kept;  // switched off, an old window
    kept.x = 16;
    if (command->code == CMD_READ_CROP) result.data = kept;
    done.Take(result);
  }
  ASSERT_TRUE(done.Finished());
  EXPECT_TRUE(done.Outcome().Clean()) << done.Outcome().differences.size();
  EXPECT_EQ(Joined(done.Outcome().written), "compression, fill_light, crop, default_rate");

  // Stopped while the fill light's write waits for its answer.
  CProfileJob stopped(CProfileJob::Mode::Apply, model, profile);
  std::optional<CameraCommand> first = stopped.Next();
  ASSERT_TRUE(first);
  CommandResult ack;
  ack.code = first->code;
  stopped.Take(ack);
  ASSERT_TRUE(stopped.Next());
  stopped.Abandon("no answer");
  EXPECT_FALSE(stopped.Outcome().completed);
  EXPECT_EQ(Joined(stopped.Outcome().written), "compression");
  EXPECT_EQ(Joined(stopped.Outcome().notWritten), "fill_light (sent, not acknowledged), crop, default_rate");
}
