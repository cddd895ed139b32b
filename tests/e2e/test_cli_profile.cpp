// brevant-cli profile save|apply|diff against the virtual camera: a round trip, a profile
// the camera's model cannot take, files that are not profiles.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camsim/CamSim.h"
#include "cli_run.h"
#include "test_files.h"

namespace {

using testsupport::CliRun;

// Profiles of this run, in a folder removed when the program ends.
std::string TempFile(const std::string& name, const std::string& text = {}) {
  static const testsupport::TempFolder folder("brevant-profile");
  const std::string path = folder.File("profile_" + name);
  if (!text.empty()) std::ofstream(path) << text;
  return path;
}

std::string Read(const std::string& path) { return testsupport::ReadText(path); }

CliRun RunOn(CCamSim& sim, std::vector<std::string> args) {
  args.insert(args.begin(), {"-p", sim.SlavePath(), "-t", "3000"});
  return testsupport::RunCli(args);
}

}  // namespace

TEST(CliProfile, SavedProfileComesBackAfterTheCameraChangedAndTheRateGoesLast) {
  CCamSim sim;
  ASSERT_TRUE(sim.Start());
  const std::string saved = TempFile("saved.json");
  CliRun run = RunOn(sim, {"profile", "save", saved});
  ASSERT_EQ(run.status, 0) << run.err;
  std::string text = Read(saved);
  EXPECT_NE(text.find("\"model\": \"QVX5M0 2.00\""), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');

  ASSERT_EQ(RunOn(sim, {"compression", "0x50"}).status, 0);
  ASSERT_EQ(RunOn(sim, {"image-params", "set", "night", "--hue", "7"}).status, 0);
  run = RunOn(sim, {"profile", "diff", saved});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("compression: expected 0x36, camera has 0x50"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("image_night.hue: expected 128, camera has 7"), std::string::npos) << run.out;

  // Settings the camera cannot report travel too; the new default rate is written last.
  const size_t at = text.find("\"default_rate\": 115200");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 22, "\"default_rate\": 57600, \"fill_light\": 40, \"osd\": {\"2\": {\"display\": true, "
                       "\"font\": 1, \"x\": 4, \"y\": 8, \"color\": \"7C00\", \"back\": \"FFFF\", \"text\": \"Gate 3\"}}");
  const std::string wanted = TempFile("wanted.json", text);
  sim.ClearReceived();
  run = RunOn(sim, {"profile", "apply", wanted});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("not read back: default_rate, fill_light, osd"), std::string::npos) << run.out;
  sim.WaitForRequests(14, 5000);
  const std::vector<std::string> wire = sim.ReceivedHex();
  ASSERT_GE(wire.size(), 2u);
  EXPECT_EQ(wire[wire.size() - 2], "56 00 31 06 04 02 00 08 1C 4C");  // 57600
  EXPECT_EQ(wire.back(), "56 00 26 00");  // the reset that moves the camera to it
  for (size_t i = 0; i + 2 < wire.size(); ++i) EXPECT_NE(wire[i].rfind("56 00 31 06", 0), 0u) << i;

  run = RunOn(sim, {"-b", "57600", "profile", "diff", wanted});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("no differences"), std::string::npos) << run.out;
  sim.Stop();
}

TEST(CliProfile, ProfileForAnotherModelIsRefusedWithNothingWritten) {
  CamSimOptions options;
  options.model = "QVX0806 1.00";  // three sizes, no OSD, no image control, no crop
  CCamSim sim(options);
  ASSERT_TRUE(sim.Start());
  const std::string file = TempFile("other.json",
                                    "{\n  \"format\": 1,\n  \"model\": \"QVX5M0 2.00\",\n"
                                    "  \"compression\": \"0x40\",\n  \"crop\": {\"enable\": true, "
                                    "\"x\": 0, \"y\": 0, \"width\": 320, \"height\": 240}\n}\n");
  const CliRun run = RunOn(sim, {"profile", "apply", file});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("line 5, column 3: QVX0806 1.00 has no \"crop\" setting; nothing written"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(sim.ReceivedHex(), std::vector<std::string>{"56 00 11 00"});
  sim.Stop();
}

TEST(CliProfile, FilesThatAreNotProfilesAreRefusedWithTheirPlace) {
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {"{\n  \"format\": 1,\n  \"crop\": {\"x\": 3,\n}\n", "line 4, column 1: syntax error"},
      {"{\n  \"format\": 1,\n  \"colour\": 3\n}\n", "line 3, column 3: unknown key \"colour\""},
      {"{\"format\": 1, \"image_day\": {\"brightness\": 1, \"contrast\": 1, \"sharpness\": 1, "
       "\"saturation\": 1, \"hue\": 1, \"awb\": \"auto\", \"exposure\": 1, \"hlc\": 11}}",
       "line 1, column 134: \"image_day.hlc\" is 11, must be 0..10"},
      {"{\"format\": 1, \"fill_light\": 1, \"fill_light\": 2}", "line 1, column 32: key \"fill_light\" appears twice"},
      {"{\"format\": 1, \"crop\": {\"enable\": true}}", "\"crop\" has no \"x\""},
      {"{\"model\": \"x\"}", "the profile has no \"format\""},
      // A number beyond a double is the library's out_of_range, not a parse_error.
      {"{\"format\":1,\"fill_light\":1e309}", "line 1, column 26: number overflow parsing '1e309'"},
      {"{\"format\": 1, \"osd\": {\"1\": {\"text\": [\"a\"]}}}",
       "line 1, column 37: nested deeper than a profile goes"},
      {std::string(10000, '[') + std::string(10000, ']'), "line 1, column 4: nested deeper"},
      {std::string(1 << 20, ' ') + "{}", "is 1048578 bytes, more than the 1048576 allowed"},
  };
  for (const auto& c : cases) {
    const std::string file = TempFile("bad.json", c.text);
    const CliRun run = testsupport::RunCli({"-p", "/dev/null", "profile", "diff", file});
    EXPECT_EQ(run.status, 2) << c.text.substr(0, 80);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err.substr(0, 300);
  }
  // Only a regular file is read: a FIFO (which would block for ever) or a folder is named.
  const std::string fifo = TempFile("fifo.json");
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [path, what] : {std::pair{fifo, "is a FIFO (named pipe), not a file"},
                                   std::pair{::testing::TempDir(), "is a folder, not a file"}}) {
    const CliRun run = testsupport::RunCli({"-p", "/dev/null", "profile", "apply", path});
    EXPECT_EQ(run.status, 2) << path;
    EXPECT_NE(run.err.find("profile: cannot read '" + path + "': " + what), std::string::npos) << run.err;
  }
  ::unlink(fifo.c_str());
}

TEST(CliProfile, ApplyComparesWhatTheCameraUsesAndAlwaysSaysWhatItWrote) {
  CCamSim sim;
  ASSERT_TRUE(sim.Start());
  // The camera keeps its last window when cropping goes off: only the switch is compared.
  sim.SetCrop({16, 16, 320, 240, 1});
  const std::string off = TempFile("crop_off.json",
                                   "{\"format\": 1, \"model\": \"QVX5M0 2.00\", \"crop\": {\"enable\": false, "
                                   "\"x\": 0, \"y\": 0, \"width\": 640, \"height\": 480}}");
  CliRun run = RunOn(sim, {"profile", "apply", off});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("written: crop\nno differences"), std::string::npos) << run.out;
  EXPECT_EQ(sim.GetCrop().x, 16);

  // A refusal half-way: the summary names what was written, what the camera refused and
  // why, in both forms.
  const std::string text =
      "{\"format\": 1, \"model\": \"QVX5M0 2.00\", \"compression\": \"0x40\", \"crop\": {\"enable\": true, "
      "\"x\": 0, \"y\": 0, \"width\": 320, \"height\": 240}, \"fill_light\": 3}";
  const std::string wanted = TempFile("refused.json", text);
  for (const bool json : {false, true}) {
    sim.SetCropStatus(3);  // a refusal the camera explains (a message box for the window)
    std::vector<std::string> args = {"profile", "apply", wanted};
    if (json) args.insert(args.begin(), "--json");
    run = RunOn(sim, args);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const std::string refused = json ? "\"refused\":\"crop (status 3: " : "refused: crop (status 3: ";
    EXPECT_NE(run.out.find(refused), std::string::npos) << run.out << run.err;
    EXPECT_NE(run.out.find(json ? "\"written\":\"compression, fill_light\"" : "written: compression, fill_light"),
              std::string::npos)
        << run.out;
  }
  sim.Stop();
}

TEST(CliProfile, AModelThatCannotReportItsSettingsIsNeverClaimedSavedOrCompared) {
  CamSimOptions options;
  options.model = "QVX0806 1.00";  // reports none of its settings
  CCamSim sim(options);
  ASSERT_TRUE(sim.Start());
  const std::string saved = TempFile("unreported.json");
  std::remove(saved.c_str());
  CliRun run = RunOn(sim, {"profile", "save", saved});
  EXPECT_EQ(run.status, 6) << run.out << run.err;
  EXPECT_NE(run.err.find("profile: QVX0806 1.00 reports none of its settings (image_size, compression, "
                         "default_rate, power_save); nothing saved"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(Read(saved).empty());

  const std::string wanted = TempFile("compression.json", "{\"format\": 1, \"model\": \"QVX5M0 2.00\", \"compression\": \"0x40\"}");
  run = RunOn(sim, {"--json", "profile", "diff", wanted});
  EXPECT_EQ(run.status, 6) << run.out << run.err;
  EXPECT_NE(run.out.find("\"compared\":false"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("the profile was saved from QVX5M0 2.00, this camera is QVX0806 1.00"), std::string::npos)
      << run.err;
  run = RunOn(sim, {"profile", "diff", wanted});
  EXPECT_EQ(run.out, "not read back: compression\nnothing compared: QVX0806 1.00 reports none of the settings "
                     "the profile names\n");
  sim.Stop();
}

// "auto" in a profile keeps the manual white balance the camera holds (the record carries one
// either way): 341 as the camera came, 400 where it was set by hand, on both day and night.
TEST(CliProfile, AutoWhiteBalanceWritesBackTheValueTheCameraHolds) {
  CCamSim sim;
  ASSERT_TRUE(sim.Start());
  const std::string file = TempFile("auto_awb.json");
  ASSERT_EQ(RunOn(sim, {"profile", "save", file}).status, 0);
  ASSERT_NE(Read(file).find("\"awb\": \"auto\""), std::string::npos) << Read(file);
  const struct {
    const char* manual;  // set by hand before the apply, or nothing
    const char* bytes;
    const char* value;
  } cases[] = {{nullptr, "01 55", "341"}, {"400", "01 90", "400"}};
  for (const auto& c : cases) {
    for (const char* mode : {"day", "night"}) {
      if (!c.manual) break;
      ASSERT_EQ(RunOn(sim, {"image-params", "set", mode, "--awb", c.manual}).status, 0);
    }
    sim.ClearReceived();
    const CliRun run = RunOn(sim, {"profile", "apply", file});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::vector<std::string> wire = sim.ReceivedHex();
    for (const char* mode : {"00", "01"}) {
      const std::string write = std::string("56 00 91 0C 04 ") + mode + " 80 80 80 80 80 00 " + c.bytes + " 00 04";
      EXPECT_NE(std::find(wire.begin(), wire.end(), write), wire.end()) << c.bytes << " " << mode;
    }
    const CliRun shown = RunOn(sim, {"image-params", "read"});
    EXPECT_NE(shown.out.find(std::string("awb=auto awb-value=") + c.value), std::string::npos) << shown.out;
  }
  sim.Stop();
}
