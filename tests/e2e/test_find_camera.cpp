// A camera at a rate nobody remembers: the virtual camera hears only its own rate, and
// `find` / `--baud auto` search ports and rates until it answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cli_run.h"
#include "json_check.h"
#include "test_support.h"
#include "core/CameraFinder.h"
#include "camsim/CamSim.h"
#include "camsim/CamSimWire.h"

namespace {

using testsupport::CliRun;
using testsupport::SilentPty;
const auto Cli = testsupport::RunCli;

std::unique_ptr<CCamSim> Camera(unsigned baud) {
  CamSimOptions options;
  options.baud = baud;
  auto sim = std::make_unique<CCamSim>(options);
  EXPECT_TRUE(sim->Start());
  return sim;
}

std::map<std::string, jsoncheck::Value> LastJson(const std::string& out) {
  std::istringstream lines(out);
  std::string line, last;
  while (std::getline(lines, line)) last = line;
  auto members = jsoncheck::ParseObject(last);
  EXPECT_TRUE(members) << out;
  return members ? *members : std::map<std::string, jsoncheck::Value>{};
}

// Whether the camera can see the rate the tool set: an emulator that does not pass the
// line-settings request on (qemu-user) hides it, and then every rate is heard.
bool CameraSeesTheToolsRate(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool seen = camsim::ToolLineSpeed(fd) != 0;
  close(fd);
  return seen;
}

}  // namespace

TEST(CameraRate, HeardOnlyAtItsOwnRateUntilARateChangeMovesIt) {
  auto sim = Camera(115200);
  const std::string port = sim->SlavePath();
  if (!CameraSeesTheToolsRate(port)) GTEST_SKIP() << "the line settings cannot be read back here";
  // At 38400 the query is noise: nothing received, nothing answered.
  CliRun wrong = Cli({"-p", port, "-t", "700", "version"});
  EXPECT_EQ(wrong.status, 4) << wrong.err;
  EXPECT_EQ(sim->ReceivedCount(), 0u);
  EXPECT_GE(sim->NoiseCount(), 1u);
  CliRun right = Cli({"-p", port, "-b", "115200", "version"});
  EXPECT_EQ(right.status, 0) << right.err;
  EXPECT_NE(right.out.find("QVX5M0 2.00"), std::string::npos);

  // A temporary rate change moves the camera; the old rate is noise from then on.
  EXPECT_EQ(Cli({"-p", port, "-b", "115200", "temp-baud", "57600"}).status, 0);
  EXPECT_TRUE(sim->WaitIdle(3000));
  EXPECT_EQ(sim->Baud(), 57600u);
  EXPECT_EQ(Cli({"-p", port, "-b", "115200", "-t", "700", "version"}).status, 4);
  EXPECT_EQ(Cli({"-p", port, "-b", "57600", "version"}).status, 0);

  // --any-rate keeps the forgiving camera some tests need.
  CamSimOptions forgiving;
  forgiving.baud = 115200;
  forgiving.anyRate = true;
  CCamSim any(forgiving);
  ASSERT_TRUE(any.Start());
  EXPECT_EQ(Cli({"-p", any.SlavePath(), "-b", "9600", "version"}).status, 0);
  EXPECT_EQ(any.NoiseCount(), 0u);
}

TEST(CameraRate, FindLocatesTheCameraAmongPortsAndReportsNothingAsStatus4) {
  SilentPty silent;
  ASSERT_FALSE(silent.Path().empty());
  auto sim = Camera(57600);
  if (!CameraSeesTheToolsRate(sim->SlavePath()))
    GTEST_SKIP() << "the line settings cannot be read back here";
  CliRun run = Cli({"--json", "-p", silent.Path(), "-p", sim->SlavePath(), "find"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto found = LastJson(run.out);
  EXPECT_EQ(found["command"].text, "find");
  EXPECT_EQ(found["device"].text, sim->SlavePath());
  EXPECT_EQ(found["baud"].text, "57600");
  EXPECT_EQ(found["version"].text, "QVX5M0 2.00");
  EXPECT_EQ(found["model"].text, "8");

  CliRun text = Cli({"-p", sim->SlavePath(), "find"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out, sim->SlavePath() + " at 57600: QVX5M0 2.00\nmodel=8 variant=0 firmware=200\n");

  // A rate the line refuses is one more rate without a camera, not the end of the port.
  CCameraFinder refusing({{0, sim->SlavePath()}}, {0, 57600});
  const auto atRate = refusing.Run(nullptr);
  ASSERT_TRUE(atRate);
  EXPECT_EQ(atRate->baud, 57600u);
  EXPECT_TRUE(refusing.OpenFailures().empty());

  CliRun none = Cli({"--json", "-p", silent.Path(), "find"});
  EXPECT_EQ(none.status, 4);
  EXPECT_NE(none.err.find("no camera answered on 1 port at any rate; check the camera's power and wiring\n"), std::string::npos) << none.err;
  EXPECT_EQ(none.err.find('\n'), none.err.size() - 1) << "one line: " << none.err;
  auto error = LastJson(none.out);
  EXPECT_EQ(error["exit"].text, "4");
  EXPECT_EQ(error["ok"].text, "false");
}

TEST(CameraRate, BaudAutoFindsTheRateBeforeACapture) {
  // The camera was left at 115200 by an earlier DefaultRate change.
  auto sim = Camera(38400);
  const std::string port = sim->SlavePath();
  ASSERT_EQ(Cli({"-p", port, "default-baud", "115200"}).status, 0);
  ASSERT_TRUE(sim->WaitIdle(3000));
  ASSERT_EQ(sim->Baud(), 115200u);

  const testsupport::TempFolder folder("brevant-find");
  const std::string out = folder.Path();
  ASSERT_FALSE(out.empty());
  sim->ClearReceived();
  CliRun run = Cli({"-p", port, "--baud", "auto", "-o", out, "--json", "capture"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(LastJson(run.out)["path"].text, "");
  EXPECT_EQ(sim->Baud(), 115200u);
}

TEST(CameraRate, SearchOrderPutsTheLikelyRatesFirstAndCancelEndsItAtOnce) {
  EXPECT_EQ(DefaultSearchRates(),
            (std::vector<unsigned>{38400, 115200, 9600, 19200, 57600, 230400, 460800, 921600}));
  SilentPty silent;
  CCameraFinder finder({{0, silent.Path()}}, DefaultSearchRates());
  std::vector<unsigned> tried;
  auto found = finder.Run([&](const FindStep& step) {
    tried.push_back(step.baud);
    if (step.index == 1) finder.Cancel();
  });
  EXPECT_FALSE(found);
  EXPECT_TRUE(finder.Cancelled());
  EXPECT_EQ(tried, (std::vector<unsigned>{38400, 115200}));
}
