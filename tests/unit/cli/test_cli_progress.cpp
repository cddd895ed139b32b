// The transfer meter: what it says, when it redraws, that it always goes away, and who
// gets it at all.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliOutput.h"
#include "CliProgress.h"
#include "common/Version.h"

using namespace cli;
using std::chrono::milliseconds;

TEST(CliProgress, TextTellsBytesPercentRateAndTimeLeft) {
  struct Case {
    uint64_t bytes, total;
    double seconds;
    const char* text;
  } cases[] = {
      {0, 27500, 0.0, "  0%  0 B of 27.5 kB  -- B/s  --:-- left"},
      // Under half a second the rate would be the camera's pause, not the line's.
      {900, 27500, 0.4, "  3%  900 B of 27.5 kB  -- B/s  --:-- left"},
      {11000, 27500, 1.0, " 40%  11.0 kB of 27.5 kB  11.0 kB/s  0:02 left"},
      // A 4K NV12 frame at 115200 baud: about 18 minutes.
      {115200, 12441600, 10.0, "  0%  115.2 kB of 12.44 MB  11.5 kB/s  17:50 left"},
      {1000, 12441600, 1.0, "  0%  1.0 kB of 12.44 MB  1.0 kB/s  3:27:21 left"},
      // Frame markers can take the count past the length; the meter never shows more.
      {27510, 27500, 2.5, "100%  27.5 kB of 27.5 kB  11.0 kB/s  0:00 left"},
  };
  for (const Case& c : cases) EXPECT_EQ(CCliProgress::Text(c.bytes, c.total, c.seconds), c.text);
}

TEST(CliProgress, RedrawsAtMostEveryQuarterSecondAndClearsWhenThePictureEnds) {
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  std::vector<std::string> drawn;
  CCliProgress meter([&](const std::string& text) { drawn.push_back(text); }, [&] { return now; });

  meter.Position(0);  // the engine resets the bar when idle: nothing to clear
  meter.Position(500);
  EXPECT_TRUE(drawn.empty());

  meter.Range(10000);  // shows at once
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_EQ(drawn.back().substr(0, 4), "  0%");
  now += milliseconds(100);
  meter.Position(1000);  // too soon
  EXPECT_EQ(drawn.size(), 1u);
  now += milliseconds(900);
  meter.Position(5000);
  ASSERT_EQ(drawn.size(), 2u);
  EXPECT_EQ(drawn.back(), " 50%  5.0 kB of 10.0 kB  5.0 kB/s  0:01 left");
  meter.Position(0);  // finished (or stopped): the line goes
  ASSERT_EQ(drawn.size(), 3u);
  EXPECT_EQ(drawn.back(), "");
  meter.Finish();  // nothing left to clear
  EXPECT_EQ(drawn.size(), 3u);

  // The next picture starts its own clock; a run ending mid-picture clears it.
  now += milliseconds(5000);
  meter.Range(2000);
  now += milliseconds(1000);
  meter.Position(1000);
  EXPECT_EQ(drawn.back(), " 50%  1.0 kB of 2.0 kB  1.0 kB/s  0:01 left");
  meter.Finish();
  EXPECT_EQ(drawn.back(), "");
}

TEST(CliProgress, ResultsAndErrorsNeverLandOnTheMeter) {
  // One stream for both, as on a terminal, so the order shows.
  std::ostringstream tty;
  ResultWriter writer(tty, tty, false);
  writer.Transient(" 10%");
  writer.Transient(" 20%");
  ResultLine line;
  line.message = "./jpeg_1.jpg 10 bytes";
  writer.Result(line);
  writer.Transient(" 30%");
  writer.Error("the picture could not be read");
  writer.Transient("");  // already gone: no second erase
  EXPECT_EQ(tty.str(),
            "\r 10%\x1b[K\r 20%\x1b[K\r\x1b[K./jpeg_1.jpg 10 bytes\n"
            "\r 30%\x1b[K\r\x1b[Kbrevant-cli: the picture could not be read\n");
}

TEST(CliProgress, OnlyPictureTransfersWatchedOnATerminalGetIt) {
  auto plan = [](std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", "/dev/null"});
    ParseResult r = ParseCommandLine(args);
    EXPECT_EQ(r.kind, ParseResult::Run) << r.text;
    return r;
  };
  struct Case {
    std::vector<std::string> args;
    bool terminal;
    bool wanted;
  } cases[] = {
      {{"capture"}, true, true},
      {{"capture"}, false, false},
      {{"--progress", "capture"}, false, true},
      {{"--no-progress", "capture"}, true, false},
      {{"--progress", "--no-progress", "capture"}, false, false},  // the last one wins
      {{"--json", "--progress", "capture"}, true, false},
      {{"--trace", "capture"}, true, false},
      {{"read-stored", "3"}, true, true},
      {{"burst", "--photos", "2", "--interval", "0", "--read"}, true, true},
      {{"burst", "--photos", "2", "--interval", "0"}, true, false},
      {{"monitor", "--fetch"}, true, true},
      {{"monitor"}, true, false},
      {{"settings"}, true, false},
  };
  for (const Case& c : cases) {
    ParseResult r = plan(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(WantsProgress(r.global, r.plan, c.terminal), c.wanted) << joined << c.terminal;
  }

  ParseResult version = ParseCommandLine({"capture", "--version"});
  EXPECT_EQ(version.kind, ParseResult::Help);
  EXPECT_EQ(version.text, "brevant-cli " BREVANT_VERSION "\n");
}
