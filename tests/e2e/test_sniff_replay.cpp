// Another program's session with the virtual camera through brevant-cli sniff, and the same
// session played back by camsim from the capture the sniffer wrote.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "CliOptions.h"
#include "CliOutput.h"
#include "CliSniff.h"
#include "ConsoleHost.h"
#include "camsim/CamSim.h"
#include "cli_run.h"
#include "test_files.h"
#include "test_support.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The one picture a capture saved in `folder`.
std::vector<uint8_t> SavedPicture(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path());
  EXPECT_EQ(files.size(), 1u) << folder;
  return files.empty() ? std::vector<uint8_t>{} : testsupport::ReadFile(files.front());
}

std::vector<std::string> Capture(const std::string& port, const std::string& out) {
  return {"--port", port, "--baud", "115200", "--decode", "--out", out, "capture"};
}

}  // namespace

// The camera hears only 115200 and the sniffer opens it at 38400: the picture arrives only if
// the rate the program set on the pseudo-terminal reached the port.
TEST(SniffAndReplay, AProgramsSessionPassesUnchangedDecodedAndReplaysToTheSamePicture) {
  testsupport::TempFolder folder("brevant-sniff");
  const std::string link = folder.File("camera"), capture = folder.File("session.pcapng");
  std::filesystem::create_directory(folder.File("live"));
  std::filesystem::create_directory(folder.File("replayed"));
  CamSimOptions options;
  options.baud = 115200;
  CCamSim camera(options);
  camera.SetImageSizeIndex(1);
  ASSERT_TRUE(camera.Start());

  std::ostringstream notes, trace;
  std::vector<std::string> sent;
  testsupport::CliRun live;
  {
    cli::ResultWriter writer(notes, trace, false);
    cli::CConsoleHost host(&writer, true);
    host.SetDecode(true);
    cli::CSniffer sniffer(writer, host);
    ASSERT_EQ(sniffer.Open({camera.SlavePath(), 38400, link, capture}), "");
    sniffer.SetFrameTap([&](bool transmit, const uint8_t* bytes, size_t count) {
      if (transmit) sent.push_back(testsupport::Hex({bytes, bytes + count}));
    });
    int status = -1;
    std::thread loop([&] { status = sniffer.Run(); });
    live = testsupport::RunCli(Capture(link, folder.File("live")));
    sniffer.Stop();
    loop.join();
    host.FinishTrace();
    EXPECT_EQ(status, cli::kExitOk) << trace.str();
    EXPECT_EQ(sniffer.LineSpeed(), 115200u);
  }
  EXPECT_FALSE(Exists(link)) << "the link outlived the sniffer";
  ASSERT_EQ(live.status, cli::kExitOk) << live.err;
  EXPECT_EQ(camera.NoiseCount(), 0u);
  EXPECT_NE(notes.str().find("now at 115200 baud"), std::string::npos) << notes.str();

  // Byte for byte both ways: the requests the camera got are the program's, the picture the
  // program saved is the camera's.
  EXPECT_EQ(sent, camera.ReceivedHex());
  const std::vector<uint8_t> picture = SavedPicture(folder.File("live"));
  EXPECT_EQ(picture, camera.FrozenPicture());
  // The sniffer's trace is the one the program decodes of its own traffic.
  EXPECT_EQ(trace.str(), live.err);
  for (const char* name : {"get version", "stop frame", "get frame length", "read frame buffer"})
    EXPECT_NE(trace.str().find(name), std::string::npos) << name;

  CCamSim replay;
  std::string error;
  ASSERT_TRUE(replay.LoadReplay(capture, true, error)) << error;
  ASSERT_TRUE(replay.Start());
  const testsupport::CliRun replayed = testsupport::RunCli(Capture(replay.SlavePath(), folder.File("replayed")));
  ASSERT_EQ(replayed.status, cli::kExitOk) << replayed.err;
  EXPECT_EQ(SavedPicture(folder.File("replayed")), picture);
  EXPECT_EQ(replayed.err, live.err);
  EXPECT_EQ(replay.ReplayMisses(), 0u);
  // The recording answered one version request; a second one meets a camera that says nothing.
  const testsupport::CliRun again = testsupport::RunCli({"--port", replay.SlavePath(), "--timeout", "300", "version"});
  EXPECT_NE(again.status, cli::kExitOk);
  EXPECT_EQ(replay.ReplayMisses(), 1u);
}

// The command: Ctrl+C ends it cleanly (status 0, link gone, capture kept); a link name that is
// not a link is never replaced.
TEST(SniffAndReplay, TheCommandEndsCleanlyAndKeepsWhatIsNotItsLink) {
  testsupport::TempFolder folder("brevant-sniff");
  CCamSim camera;
  ASSERT_TRUE(camera.Start());
  const std::string link = folder.File("camera");
  {
    std::ostringstream out, err;
    cli::CCliRunner runner(out, err);
    runner.Interrupt();  // as a Ctrl+C that comes at once
    EXPECT_EQ(runner.Run({"--port", camera.SlavePath(), "sniff", "--link", link, "--pcapng", folder.File("c.pcapng")}),
              cli::kExitOk)
        << err.str();
    EXPECT_NE(out.str().find("open " + link), std::string::npos) << out.str();
    EXPECT_FALSE(Exists(link));
    EXPECT_TRUE(Exists(folder.File("c.pcapng")));
  }
  ASSERT_TRUE(testsupport::WriteFile(link, {'k', 'e', 'e', 'p'}));
  const testsupport::CliRun refused = testsupport::RunCli({"--port", camera.SlavePath(), "sniff", "--link", link});
  EXPECT_EQ(refused.status, cli::kExitLine);
  EXPECT_NE(refused.err.find("is not a symbolic link"), std::string::npos) << refused.err;
  EXPECT_EQ(testsupport::ReadFile(link), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(testsupport::RunCli({"sniff"}).status, cli::kExitUsage) << "no --port";
}
