// brevant-cli station against a rack of virtual cameras: each camera fails at its own step,
// and an interrupt mid-transfer leaves every port closed and no partial file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "CliRunner.h"
#include "camsim/CamSim.h"
#include "cli_run.h"
#include "imaging/JpegFile.h"
#include "jpeg_test_util.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(m_dir.empty()); }

  std::unique_ptr<CCamSim> Camera(const std::string& model, unsigned baud = 0) {
    CamSimOptions options;
    options.model = model;
    options.baud = baud;
    auto cam = std::make_unique<CCamSim>(options);
    EXPECT_TRUE(cam->Start());
    return cam;
  }
  std::string Plan(const std::string& text) {
    const std::string path = m_dir + "/plan.toml";
    testsupport::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
  }
  // Descriptors of this process open on device.
  static int OpenOn(const std::string& device) {
    int count = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (fs::read_symlink(fd.path(), ec) == device) ++count;
    }
    return count;
  }
  // Whether a camera's temporary picture exists in the output folder, that is whether a
  // transfer is under way.
  bool TemporaryPicture() const {
    for (const auto& entry : fs::recursive_directory_iterator(m_dir))
      if (entry.path().filename() == "jpeg.tmp") return true;
    return false;
  }
  // Until a transfer is under way (or done, if given).
  bool WaitForTransfer(const std::function<bool()>& done = [] { return false; }) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!TemporaryPicture() && !done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return TemporaryPicture();
  }
  static std::string Line(const std::string& text, const std::string& start) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(start, 0) == 0) return line;
    return "";
  }

  testsupport::TempFolder m_folder{"brevant-station-e2e"};
  std::string m_dir = m_folder.Path();
};

TEST_F(StationTest, EachCameraFailsAtItsOwnStepAndTheRestPass) {
  auto good = Camera("QVX5M0 2.00");
  auto wrong = Camera("QVX3M0 1.10");
  testsupport::SilentPty silent;
  const std::string profile = m_dir + "/rack.profile";
  const std::string profileText =
      "{\"format\": 1, \"crop\": {\"enable\": true, \"x\": 16, \"y\": 8, \"width\": 320, \"height\": 240}}\n";
  testsupport::WriteFile(profile, std::vector<uint8_t>(profileText.begin(), profileText.end()));
  const std::string plan = Plan(R"(
[[step]]
kind = "find"
timeout_ms = 100
[[step]]
kind = "version"
expect = "QVX5M0 *"
[[step]]
kind = "profile"
file = "rack.profile"
[[step]]
kind = "serial"
format = "SN{:04}"
start = 7
[[step]]
kind = "capture"
checks = "uniform=no"
)");
  const std::string ports = good->SlavePath() + "," + wrong->SlavePath() + "," + silent.Path();
  const auto run = testsupport::RunCli({"station", plan, "--ports", ports, "--out", m_dir,
                                        "--jsonl", m_dir + "/run.jsonl"});
  EXPECT_EQ(run.status, 1) << run.err;
  const std::string passed = Line(run.out, good->SlavePath() + " ");
  EXPECT_NE(passed.find(" passed serial SN0007 picture " + m_dir + "/"), std::string::npos) << run.out;
  EXPECT_EQ(Line(run.out, wrong->SlavePath() + " "),
            wrong->SlavePath() + " FAILED at version: version 'QVX3M0 1.10' does not match 'QVX5M0 *'");
  EXPECT_EQ(Line(run.out, silent.Path() + " ").rfind(silent.Path() + " FAILED at find: no camera answered", 0), 0u)
      << run.out;
  // The plain display: one line per step, the skipped ones too.
  EXPECT_NE(run.err.find(wrong->SlavePath() + " capture skipped\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(good->SlavePath() + " capture ok\n"), std::string::npos) << run.err;
  // The OSD frame carries the serial number; the picture went to the camera's own folder.
  bool osd = false;
  for (const std::string& hex : good->ReceivedHex()) osd = osd || hex.find("53 4E 30 30 30 37") != std::string::npos;
  EXPECT_TRUE(osd);
  // The profile was applied: the camera holds its crop window now.
  EXPECT_EQ(good->GetCrop().width, 320);
  EXPECT_EQ(good->GetCrop().enable, 1);
  EXPECT_NE(run.err.find(good->SlavePath() + " profile ok\n"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::exists(m_dir + "/run.jsonl"));
  EXPECT_TRUE(fs::exists(m_dir + "/station.sqlite"));
  EXPECT_FALSE(fs::exists(m_dir + "/" + fs::path(good->SlavePath()).parent_path().filename().string() +
                          "_" + fs::path(good->SlavePath()).filename().string() + "/jpeg.tmp"));
}

// A camera set to send NV12 frames: the capture step's checks read the frame itself, saved
// as .yuv, not a JPEG its name does not promise.
TEST_F(StationTest, ACaptureOfAnNv12FrameIsCheckedOnTheFrame) {
  auto cam = Camera("QVX5M0 2.00");
  const std::string profile = m_dir + "/nv12.profile";
  const std::string profileText = "{\"format\": 1, \"image_type\": \"yuv\", \"image_size\": \"160X120\"}\n";
  testsupport::WriteFile(profile, std::vector<uint8_t>(profileText.begin(), profileText.end()));
  const std::string plan = Plan(R"(
[[step]]
kind = "profile"
file = "nv12.profile"
[[step]]
kind = "capture"
checks = "uniform=no,luma=1..254"
)");
  const auto run = testsupport::RunCli({"station", plan, "--ports", cam->SlavePath(), "--out", m_dir,
                                        "--jsonl", m_dir + "/run.jsonl"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::string line = Line(run.out, cam->SlavePath() + " ");
  EXPECT_NE(line.find(" passed"), std::string::npos) << run.out << run.err;
  EXPECT_NE(line.find(".yuv"), std::string::npos) << line;
  // The record holds the frame's figures, each measurement judged on them.
  const auto bytes = testsupport::ReadFile(m_dir + "/run.jsonl");
  const std::string record(bytes.begin(), bytes.end());
  EXPECT_EQ(record.find("\"figures\":null"), std::string::npos) << record;
  EXPECT_NE(record.find("\"name\":\"uniform\",\"value\":0"), std::string::npos) << record;
  EXPECT_EQ(record.find("\"outcome\":\"fail\""), std::string::npos) << record;
}

TEST_F(StationTest, AnInterruptMidTransferClosesEveryPortAndWritesTheReports) {
  // At 9600 the picture takes long enough to be caught under way.
  auto slow = Camera("QVX5M0 2.00", 9600);
  auto other = Camera("QVX5M0 2.00", 9600);
  const std::string plan = Plan("baud = 9600\n[[step]]\nkind = \"capture\"\n[[step]]\nkind = \"reset\"\n");
  // The virtual cameras hold their own side open; only what the station opened counts.
  const int held = OpenOn(slow->SlavePath()) + OpenOn(other->SlavePath());
  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  runner.SetResultsStore(station::DatabaseStore());
  int status = -1;
  std::thread station([&] {
    status = runner.Run({"station", plan, "--ports", slow->SlavePath() + "," + other->SlavePath(),
                         "--out", m_dir, "--junit", m_dir + "/run.xml"});
  });
  // Interrupted once a picture is arriving: its temporary file exists.
  auto temporary = [&] {
    for (const auto& entry : fs::recursive_directory_iterator(m_dir))
      if (entry.path().filename() == "jpeg.tmp") return true;
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!temporary() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(temporary());
  runner.Interrupt();
  station.join();
  EXPECT_EQ(status, 130) << err.str();
  EXPECT_FALSE(temporary());
  EXPECT_EQ(OpenOn(slow->SlavePath()) + OpenOn(other->SlavePath()), held);
  const auto junit = testsupport::ReadFile(m_dir + "/run.xml");
  const std::string xml(junit.begin(), junit.end());
  EXPECT_NE(xml.find("</testsuites>"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(m_dir))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  EXPECT_NE(out.str().find(slow->SlavePath() + " FAILED at capture: interrupted"), std::string::npos) << out.str();
}

// Interrupted while a port decodes a slow picture: the run ends and the port's folder
// keeps no jpeg.tmp.
TEST_F(StationTest, AnInterruptDuringADecodeLeavesNoTemporaryFile) {
  const Bytes slow = jpegtest::SlowToDecodeJpeg(6000, 4000, kMaxJpegScans - 5);
  fs::create_directories(m_dir + "/images");
  fs::create_directories(m_dir + "/out");
  testsupport::WriteFile(m_dir + "/images/slow.jpg", slow);
  CamSimOptions options;
  options.imagesDir = m_dir + "/images";
  CCamSim cam(options);
  ASSERT_TRUE(cam.Start());
  const std::string plan = Plan("[[step]]\nkind = \"capture\"\ntransmit = \"all\"\n");
  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  runner.SetResultsStore(station::DatabaseStore());
  int status = -1;
  std::thread station([&] {
    status = runner.Run({"station", plan, "--ports", cam.SlavePath(), "--out", m_dir + "/out"});
  });
  // The whole picture is in its port's temporary file: the decode runs now.
  auto whole = [&] {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(m_dir + "/out", ec))
      if (entry.path().filename() == "jpeg.tmp" && fs::file_size(entry.path(), ec) == slow.size())
        return true;
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!whole() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  runner.Interrupt();
  station.join();
  EXPECT_EQ(status, 130) << out.str() << err.str();
  for (const auto& entry : fs::recursive_directory_iterator(m_dir + "/out"))
    EXPECT_NE(entry.path().filename(), "jpeg.tmp") << entry.path();
}

TEST_F(StationTest, AStoreThatCannotTakeTheRunIsFoundBeforeAnyCameraIsTouched) {
  auto camera = Camera("QVX5M0 2.00");
  const std::string plan = Plan("[[step]]\nkind = \"version\"\nexpect = \"*\"\n");
  const auto run = testsupport::RunCli({"station", plan, "--ports", camera->SlavePath(), "--out", m_dir,
                                        "--junit", m_dir + "/run.xml", "--db", m_dir + "/none/results.db"});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find("cannot open results database " + m_dir + "/none/results.db"), std::string::npos)
      << run.err;
  EXPECT_TRUE(camera->ReceivedHex().empty());
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(fs::exists(m_dir + "/run.xml"));
}

TEST_F(StationTest, AStoreFailingAfterAnInterruptedRunLeavesTheReportsAndExits3) {
  auto slow = Camera("QVX5M0 2.00", 9600);
  const std::string plan = Plan("baud = 9600\n[[step]]\nkind = \"capture\"\n");
  const std::string db = m_dir + "/results.db";
  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  runner.SetResultsStore(station::DatabaseStore());
  int status = -1;
  std::thread station([&] {
    status = runner.Run({"station", plan, "--ports", slow->SlavePath(), "--out", m_dir, "--junit",
                         m_dir + "/run.xml", "--db", db});
  });
  ASSERT_TRUE(WaitForTransfer());
  // The store was checked before the run; meanwhile a newer program took it over.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(other, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  runner.Interrupt();
  station.join();
  EXPECT_EQ(status, 3) << err.str();
  EXPECT_NE(err.str().find("schema version 99 is newer"), std::string::npos) << err.str();
  EXPECT_TRUE(fs::exists(m_dir + "/run.xml"));
  EXPECT_NE(out.str().find(slow->SlavePath() + " FAILED at capture: interrupted"), std::string::npos) << out.str();
}

TEST_F(StationTest, ASecondInterruptEndsTheProcessAtOnceAndLeavesNoTemporaryFile) {
  auto slow = Camera("QVX5M0 2.00", 9600);
  const std::string plan = Plan("baud = 9600\n[[step]]\nkind = \"capture\"\n");
  const std::string program = BREVANT_BINARY_DIR "/tools/cli/brevant-cli";
  std::vector<std::string> args = {program, "station", plan, "--ports", slow->SlavePath(), "--out", m_dir};
  // A cross build runs the program through its emulator, which passes signals on.
  const std::string emulator = BREVANT_TEST_EMULATOR;
  if (!emulator.empty()) args.insert(args.begin(), emulator);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  bool ended = false;
  if (!WaitForTransfer([&] { return ended = waitpid(pid, &status, WNOHANG) != 0; })) {
    if (!ended) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    FAIL() << "no transfer got under way";
  }
  // Another station holds the results file, so the first interrupt's orderly end would
  // wait for it: the second one must not.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((m_dir + "/station.sqlite").c_str(), &other), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  // Ctrl+C, then SIGTERM from someone who will not wait.
  kill(pid, SIGINT);
  kill(pid, SIGTERM);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_FALSE(TemporaryPicture());
  for (const auto& entry : fs::recursive_directory_iterator(m_dir))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

}  // namespace
