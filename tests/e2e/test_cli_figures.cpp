// `check` as a line's engineer uses it on pictures that look like a real sensor's: a noisy
// flat (a dead sensor) is flagged, a noisy blur series is ranked, and a figure that cannot
// be measured fails with its reason.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliRunner.h"
#include "json_check.h"
#include "synthetic_pictures.h"
#include "test_files.h"

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Check(std::vector<std::string> args) {
  args.insert(args.begin(), "check");
  std::ostringstream out, err;
  const int status = cli::RunCli(args, out, err);
  return {status, out.str(), err.str()};
}

std::map<std::string, jsoncheck::Value> Object(const std::string& line) {
  std::map<std::string, jsoncheck::Value> members;
  EXPECT_TRUE(jsoncheck::Reader(line).Object(members)) << line;
  return members;
}

TEST(CliFigures, NoisyFlatIsFlaggedAndABlurSeriesRanked) {
  testsupport::TempFolder dir;
  // The README's checks: a dead sensor's noisy grey must not pass them.
  synth::Field flat = synth::Flat(640, 480, 128);
  synth::AddNoise(flat, 6, 1);
  const std::string flatPath = dir.File("flat.jpg");
  jpegtest::WriteBytes(flatPath, synth::ToJpeg(flat, 90));
  Outcome run = Check({flatPath, "--check", "sharpness>=20,luma=40..220,clipped<=2%,uniform=no"});
  EXPECT_EQ(run.status, cli::kExitCheckFailed) << run.out << run.err;
  EXPECT_NE(run.err.find("check failed: sharpness 0.0 (wanted sharpness>=20)"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("check failed: uniform 1.0 (wanted uniform=no)"), std::string::npos) << run.err;

  // Focusing through noise: each blurrier picture scores lower.
  const synth::Field card = synth::Card(640, 480);
  std::vector<std::string> series;
  for (int radius : {0, 2, 4, 8}) {
    synth::Field field = radius ? synth::Blurred(card, radius) : card;
    synth::AddNoise(field, 6, 20 + radius);
    series.push_back(dir.File("blur" + std::to_string(radius) + ".jpg"));
    jpegtest::WriteBytes(series.back(), synth::ToJpeg(field, 90));
  }
  std::ostringstream out, err;
  ASSERT_EQ(cli::RunCli({"--json", "check", series[0], series[1], series[2], series[3]}, out, err),
            cli::kExitOk)
      << err.str();
  std::istringstream lines(out.str());
  std::string line;
  double previous = 1e9;
  int ranked = 0;
  while (std::getline(lines, line)) {
    auto members = Object(line);
    const double sharpness = std::stod(members["sharpness"].text);
    EXPECT_LT(sharpness, previous) << line;
    EXPECT_EQ(members["uniform"].text, "false") << line;
    // --json asks for every figure: the card is no flat field, and says so.
    EXPECT_EQ(members["shading"].kind, jsoncheck::Value::Null) << line;
    EXPECT_EQ(members["shading_error"].text, "not a flat field") << line;
    previous = sharpness;
    ++ranked;
  }
  EXPECT_EQ(ranked, 4) << out.str();

  // A figure that cannot be measured fails with the reason, never as a number.
  run = Check({series[0], "--check", "defects<=0"});
  EXPECT_EQ(run.status, cli::kExitCheckFailed);
  EXPECT_NE(run.err.find("check failed: defects not measured (not a flat field; wanted defects<=0)"),
            std::string::npos)
      << run.err;
  run = Check({series[0], "--roi", "600,400,100,100", "--check", "mtf50>=0.1"});
  EXPECT_EQ(run.status, cli::kExitCheckFailed);
  EXPECT_NE(run.err.find("mtf50 not measured (the region is not inside the 640x480 picture"),
            std::string::npos)
      << run.err;
  for (const char* roi : {"1,2,3", "1,2,3,4", "a,b,c,d", "-1,0,20,20", "0,0,20,20,"})
    EXPECT_EQ(Check({series[0], "--roi", roi}).status, cli::kExitUsage) << roi;
}

}  // namespace
