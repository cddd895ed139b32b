// brevant-cli pictures against the virtual camera: captures, stored and burst pictures and
// the monitor's fetching, each saved byte for byte under its own name.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "imaging/JpegFile.h"
#include "jpeg_test_util.h"
#include "json_check.h"
#include "test_support.h"
#include "CliOptions.h"
#include "CliRunner.h"
#include "camsim/CamSim.h"
#include "camsim/CamSimPicture.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testsupport::ReadFile;
using testsupport::WriteFile;

Bytes Pattern(unsigned frame, int width = 320, int height = 240) {
  camsim::PictureWindow window;
  window.fullWidth = window.width = width;
  window.fullHeight = window.height = height;
  return camsim::EncodePatternJpeg(window, frame, 80);
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) names.push_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

// Every line of JSON output as an object; fails the test on a line that does not parse.
std::vector<std::map<std::string, jsoncheck::Value>> JsonLines(const std::string& out) {
  std::vector<std::map<std::string, jsoncheck::Value>> objects;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    auto members = jsoncheck::ParseObject(line);
    EXPECT_TRUE(members) << line;
    if (members) objects.push_back(*members);
  }
  return objects;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

std::vector<std::map<std::string, jsoncheck::Value>> Saved(const std::string& out) {
  std::vector<std::map<std::string, jsoncheck::Value>> saved;
  for (auto& o : JsonLines(out))
    if (o.count("path")) saved.push_back(o);
  return saved;
}

class CliCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_out = m_outFolder.Path();
    m_images = m_imagesFolder.Path();
    ASSERT_FALSE(m_out.empty());
    ASSERT_FALSE(m_images.empty());
  }
  void TearDown() override {
    if (m_sim) m_sim->Stop();
  }
  void StartCamera(CamSimOptions options = {}) {
    m_sim = std::make_unique<CCamSim>(options);
    ASSERT_TRUE(m_sim->Start());
  }
  std::vector<std::string> Base() {
    return {"-p", m_sim->SlavePath(), "-o", m_out, "-t", "5000", "--json"};
  }

  // Saved pictures (not the temporary file) in the output folder.
  size_t SavedFileCount() {
    size_t count = 0;
    for (const auto& name : Listing(m_out))
      if (name.rfind("jpeg_", 0) == 0) ++count;
    return count;
  }
  bool WaitForSavedFiles(size_t count, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (SavedFileCount() < count) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  testsupport::TempFolder m_outFolder{"brevant-cli-e2e"}, m_imagesFolder{"brevant-cli-e2e"};
  std::string m_out;
  std::string m_images;
  std::unique_ptr<CCamSim> m_sim;
};


}  // namespace

// Plugged back in while the camera still sends the rest of a picture the last run gave up
// on: the first command waits for the line to go quiet, and its reply is understood.
TEST_F(CliCaptureTest, TheFirstCommandAfterAnAbandonedPictureWaitsOutTheCamera) {
  CamSimOptions options;
  options.imagesDir = m_images;
  options.baud = 115200;  // the rest takes a while to come
  WriteFile(m_images + "/p.jpg", Pattern(51, 160, 120));
  StartCamera(options);
  m_sim->InjectFault({CamSimFault::Mute, 300});
  auto args = Base();
  args[5] = "1000";
  for (const char* a : {"-b", "115200", "capture", "--transmit", "all"}) args.push_back(a);
  std::ostringstream out, err;
  ASSERT_EQ(cli::RunCli(args, out, err), cli::kExitTimeout) << out.str() << err.str();
  m_sim->SetMuted(false);
  args.resize(args.size() - 3);
  args.push_back("version");
  std::ostringstream vout, verr;
  EXPECT_EQ(cli::RunCli(args, vout, verr), cli::kExitOk) << vout.str() << verr.str();
  EXPECT_NE(vout.str().find("QVX5M0 2.00"), std::string::npos) << vout.str();
}

// Unplugged just after the picture came whole, before the resume is answered: status 3,
// and the unsaved picture's temporary file is gone too.
TEST_F(CliCaptureTest, ALineLostAfterTheLastBlockLeavesNoFile) {
  StartCamera();
  // Version, settings, stop, length and the one block are answered as they are; the line
  // goes instead of the resume's answer.
  for (int i = 0; i < 5; ++i) m_sim->InjectFault({CamSimFault::DropBytes, 0, 0});
  m_sim->InjectFault({CamSimFault::CloseLine});
  auto args = Base();
  for (const char* a : {"capture", "--transmit", "all"}) args.push_back(a);
  std::ostringstream out, err;
  EXPECT_EQ(cli::RunCli(args, out, err), cli::kExitLine) << out.str() << err.str();
  EXPECT_EQ(m_sim->ReceivedHex().back(), "56 00 36 01 03") << testing::PrintToString(m_sim->ReceivedHex());
  auto names = Listing(m_out);
  std::erase_if(names, [](const std::string& n) { return n == "." || n == ".."; });
  EXPECT_EQ(names, std::vector<std::string>{}) << out.str();
}

// One byte of the length reply damaged on the line (FF in place of 00): the capture is
// refused at once with the length named, exit 1, the camera resumed, no file left, and the
// next command is understood.
TEST_F(CliCaptureTest, AnImplausibleLengthFailsTheCaptureAndResumesTheCamera) {
  StartCamera();
  // Version and settings go through; the length reply's first length byte is inverted.
  for (int i = 0; i < 3; ++i) m_sim->InjectFault({CamSimFault::DropBytes, 0, 0});
  m_sim->InjectFault({CamSimFault::CorruptBytes, 5, 1});
  auto args = Base();
  args.erase(args.end() - 1);  // plain text
  args.push_back("capture");
  std::ostringstream out, err;
  EXPECT_EQ(cli::RunCli(args, out, err), cli::kExitCameraFailure) << out.str() << err.str();
  EXPECT_NE(err.str().find("the camera reported a picture length of 42"), std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("damaged on the line"), std::string::npos) << err.str();
  EXPECT_EQ(m_sim->ReceivedHex().back(), "56 00 36 01 03");
  auto names = Listing(m_out);
  std::erase_if(names, [](const std::string& n) { return n == "." || n == ".."; });
  EXPECT_EQ(names, std::vector<std::string>{});
  args.back() = "version";
  std::ostringstream vout, verr;
  EXPECT_EQ(cli::RunCli(args, vout, verr), cli::kExitOk) << vout.str() << verr.str();
}

// A picture slow to decode (a progressive file of many repeated scans): the decode is not
// the camera falling silent, so a short --timeout still saves it; Ctrl+C during the decode
// ends the run without leaving jpeg.tmp.
TEST_F(CliCaptureTest, ASlowDecodeIsNotSilenceAndAnInterruptLeavesNoFile) {
  const Bytes slow = jpegtest::SlowToDecodeJpeg(6000, 4000, kMaxJpegScans - 5);
  WriteFile(m_images + "/slow.jpg", slow);
  CamSimOptions options;
  options.imagesDir = m_images;
  StartCamera(options);
  auto args = Base();
  args[5] = "300";
  for (const char* a : {"capture", "--transmit", "all"}) args.push_back(a);
  {
    std::ostringstream out, err;
    // Saved; the library's warning of the bogus progression makes it a failure (1), never a
    // silent camera (4).
    ASSERT_EQ(cli::RunCli(args, out, err), cli::kExitCameraFailure) << out.str() << err.str();
    EXPECT_EQ(err.str().find("stopped answering"), std::string::npos) << err.str();
    auto saved = Saved(out.str());
    ASSERT_EQ(saved.size(), 1u) << out.str();
    EXPECT_EQ(ReadFile(saved[0]["path"].text), slow);
    std::system(("rm -f '" + saved[0]["path"].text + "'").c_str());
  }

  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  int status = -1;
  std::thread cli([&] { status = runner.Run(args); });
  // The whole picture is in the temporary file: the decode runs now.
  const std::string temporary = m_out + "/jpeg.tmp";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  struct stat st {};
  while (!(stat(temporary.c_str(), &st) == 0 && size_t(st.st_size) == slow.size()) &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  runner.Interrupt();
  cli.join();
  EXPECT_EQ(status, cli::kExitInterrupted) << out.str() << err.str();
  auto names = Listing(m_out);
  std::erase_if(names, [](const std::string& n) { return n == "." || n == ".."; });
  EXPECT_EQ(names, std::vector<std::string>{}) << out.str();
}

TEST_F(CliCaptureTest, ThreePicturesSavedByteIdenticalUnderDistinctNames) {
  std::vector<Bytes> pictures = {Pattern(11), Pattern(12), Pattern(13, 640, 480)};
  for (size_t i = 0; i < pictures.size(); ++i)
    WriteFile(m_images + "/p" + std::to_string(i) + ".jpg", pictures[i]);
  CamSimOptions options;
  options.imagesDir = m_images;
  StartCamera(options);
  // A file of an earlier run already holds the first name.
  WriteFile(m_out + "/jpeg_20261206_201530.jpg", {'o', 'l', 'd'});

  for (const char* transmit : {"all", "512"}) {
    std::ostringstream out, err;
    cli::CCliRunner runner(out, err);
    runner.SetClock(testsupport::PinnedSaveTime);
    auto args = Base();
    for (const char* a : {"capture", "-n", "3", "--delay", "10", "--transmit"}) args.push_back(a);
    args.push_back(transmit);
    ASSERT_EQ(runner.Run(args), cli::kExitOk) << out.str() << err.str();
    auto saved = Saved(out.str());
    ASSERT_EQ(saved.size(), 3u) << out.str();
    for (size_t i = 0; i < saved.size(); ++i) {
      const std::string path = saved[i]["path"].text;
      EXPECT_EQ(ReadFile(path), pictures[i]) << path;
      EXPECT_EQ(saved[i]["bytes"].text, std::to_string(pictures[i].size()));
      EXPECT_EQ(saved[i]["width"].text, i == 2 ? "640" : "320");
      EXPECT_EQ(saved[i]["height"].text, i == 2 ? "480" : "240");
    }
    if (std::string(transmit) == "all") {
      EXPECT_EQ(saved[0]["path"].text, m_out + "/jpeg_20261206_201530_2.jpg");
      EXPECT_EQ(saved[2]["path"].text, m_out + "/jpeg_20261206_201530_4.jpg");
    }
  }
  EXPECT_EQ(ReadFile(m_out + "/jpeg_20261206_201530.jpg"), (Bytes{'o', 'l', 'd'}));
  // The temporary file was renamed each time, never left behind.
  EXPECT_NE(access((m_out + "/jpeg.tmp").c_str(), F_OK), 0);

  // One capture: stop frame, length, the read in 512-byte blocks, resume.
  m_sim->ClearReceived();
  std::ostringstream out, err;
  auto args = Base();
  for (const char* a : {"capture", "--transmit", "512"}) args.push_back(a);
  ASSERT_EQ(cli::RunCli(args, out, err), cli::kExitOk) << err.str();
  auto hex = m_sim->ReceivedHex();
  ASSERT_GE(hex.size(), 6u);
  EXPECT_EQ(hex[2], "56 00 36 01 00");
  EXPECT_EQ(hex[3], "56 00 34 01 00");
  EXPECT_EQ(hex[4], "56 00 32 0C 00 0A 00 00 00 00 00 00 02 00 00 FF");
  EXPECT_EQ(hex.back(), "56 00 36 01 03");
}

TEST_F(CliCaptureTest, NothingIsLeftHalfWrittenWhenTheCameraFallsSilent) {
  StartCamera();
  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  auto args = Base();
  args[5] = "1500";
  // The pause between the pictures leaves ample room to silence the camera after the first.
  for (const char* a : {"capture", "-n", "2", "--delay", "2000"}) args.push_back(a);
  int status = -1;
  std::thread cli([&] { status = runner.Run(args); });
  // Version, settings, then stop, length, read and resume of the first picture.
  ASSERT_TRUE(m_sim->WaitForRequests(2 + 4, 10000));
  m_sim->InjectFault({CamSimFault::NeverAnswer});
  cli.join();
  EXPECT_EQ(status, cli::kExitTimeout) << out.str() << err.str();
  auto saved = Saved(out.str());
  ASSERT_EQ(saved.size(), 1u) << out.str();
  EXPECT_EQ(std::to_string(ReadFile(saved[0]["path"].text).size()), saved[0]["bytes"].text);
  EXPECT_NE(access((m_out + "/jpeg.tmp").c_str(), F_OK), 0);
  EXPECT_NE(err.str().find("no reply to CMD_STOP_FRAME within 1500 ms"), std::string::npos)
      << err.str();
}

TEST_F(CliCaptureTest, StoredAndBurstPicturesAreFetchedByNumber) {
  StartCamera();
  std::vector<Bytes> stored = {Pattern(21), Pattern(22), Pattern(23)};
  m_sim->SetStoredPictures(stored);

  std::ostringstream out, err;
  auto args = Base();
  for (const char* a : {"read-stored", "2"}) args.push_back(a);
  ASSERT_EQ(cli::RunCli(args, out, err), cli::kExitOk) << err.str();
  auto saved = Saved(out.str());
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(ReadFile(saved[0]["path"].text), stored[1]);
  EXPECT_EQ(m_sim->ReceivedHex().at(2), "56 00 34 01 02");

  // A number the camera holds no picture for: its zero length is a failure, nothing saved.
  std::ostringstream zout, zerr;
  args = Base();
  for (const char* a : {"read-stored", "9"}) args.push_back(a);
  EXPECT_EQ(cli::RunCli(args, zout, zerr), cli::kExitCameraFailure) << zout.str();
  EXPECT_NE(zerr.str().find("读取jpg长度为0!"), std::string::npos) << zerr.str();
  EXPECT_TRUE(Saved(zout.str()).empty());
  auto zlines = JsonLines(zout.str());
  ASSERT_FALSE(zlines.empty());
  EXPECT_EQ(zlines.back()["exit"].text, "1");

  std::ostringstream bout, berr;
  args = Base();
  for (const char* a : {"burst", "--photos", "3", "--interval", "100", "--read"}) args.push_back(a);
  ASSERT_EQ(cli::RunCli(args, bout, berr), cli::kExitOk) << berr.str();
  saved = Saved(bout.str());
  ASSERT_EQ(saved.size(), 3u) << bout.str();
  // The burst replaced what the camera held in buffers 1..3.
  for (int k = 1; k <= 3; ++k)
    EXPECT_EQ(ReadFile(saved[static_cast<size_t>(k - 1)]["path"].text), m_sim->StoredPicture(k));
}

// Ctrl+C before the camera has even answered ends a monitor as it ends any command: plainly
// "interrupted", in the JSON too, never as a fetch cut short.
TEST_F(CliCaptureTest, AMonitorStoppedWhileIdentifyingSaysInterrupted) {
  StartCamera();
  m_sim->InjectFault({CamSimFault::NeverAnswer});  // the version's answer never comes
  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  auto args = Base();
  args[5] = "60000";
  args.push_back("monitor");
  int status = -1;
  std::thread cli([&] { status = runner.Run(args); });
  EXPECT_TRUE(m_sim->WaitForRequests(1, 20000));  // its answer is awaited now
  runner.Interrupt();
  cli.join();
  EXPECT_EQ(status, cli::kExitInterrupted) << err.str();
  EXPECT_EQ(err.str(), "brevant-cli: interrupted\n");
  auto lines = JsonLines(out.str());
  ASSERT_EQ(lines.size(), 1u) << out.str();
  EXPECT_EQ(lines[0]["error"].text, "interrupted");
}

TEST_F(CliCaptureTest, MonitorPrintsReportsAndFetchesWhatTheCameraStored) {
  StartCamera();
  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  auto args = Base();
  for (const char* a : {"monitor", "--fetch"}) args.push_back(a);
  int status = -1;
  std::thread cli([&] { status = runner.Run(args); });

  // Version and settings read-back: the session is up.
  ASSERT_TRUE(m_sim->WaitForRequests(2, 10000));
  m_sim->SendMotionReport(2);
  // Detection off, then per picture length, read and resume, then detection on again.
  ASSERT_TRUE(m_sim->WaitForRequests(2 + 1 + 3 * 2 + 1, 20000)) << Joined(m_sim->ReceivedHex());
  EXPECT_EQ(m_sim->ReceivedHex()[2], "56 00 37 01 00");
  EXPECT_EQ(m_sim->ReceivedHex().back(), "56 00 37 01 01");
  std::vector<Bytes> detected = {m_sim->StoredPicture(1), m_sim->StoredPicture(2)};

  // Each report stores fresh pictures in the camera's buffers.
  m_sim->SendAutoCaptureReport(1);
  // The run is ended once the third picture has been saved.
  ASSERT_TRUE(WaitForSavedFiles(3, 20000));
  runner.Interrupt();
  cli.join();
  EXPECT_EQ(status, cli::kExitOk) << err.str();
  EXPECT_EQ(m_sim->ReceivedHex().at(10), "56 00 34 01 01");
  Bytes automatic = m_sim->StoredPicture(1);

  auto lines = JsonLines(out.str());
  bool reported = false;
  for (auto& l : lines)
    if (l.count("message") && l["message"].text == "Motion Detection happen!") reported = true;
  EXPECT_TRUE(reported) << out.str();
  auto saved = Saved(out.str());
  ASSERT_EQ(saved.size(), 3u) << out.str();
  EXPECT_EQ(ReadFile(saved[0]["path"].text), detected[0]);
  EXPECT_EQ(ReadFile(saved[1]["path"].text), detected[1]);
  EXPECT_EQ(ReadFile(saved[2]["path"].text), automatic);
}

// A camera that dies mid-picture (whole read or a block read): the run ends once nothing has
// arrived for the timeout, however often the engine asks again, says how far it got, and
// leaves no file. The camera is sent the resume frame it needs to run again.
TEST_F(CliCaptureTest, ACameraSilentMidTransferEndsTheRunAndLeavesNoFile) {
  struct Case {
    std::vector<const char*> command;
    uint32_t muteAt;  // bytes of the frame-buffer answer sent before the camera falls silent
  } cases[] = {
      {{"capture", "--transmit", "all"}, 3000},
      {{"capture", "--transmit", "512"}, 200},
      {{"read-stored", "1"}, 700},
      {{"burst", "--photos", "2", "--interval", "0", "--read"}, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command[0] + std::string(" ") + c.command.back());
    StartCamera();  // a fresh one: the last still holds the rest of its answer
    m_sim->SetStoredPictures({Pattern(31)});
    m_sim->InjectFault({CamSimFault::Mute, c.muteAt});
    std::ostringstream out, err;
    auto args = Base();
    args[5] = "1500";
    args.push_back("--trace");
    args.insert(args.end(), c.command.begin(), c.command.end());
    EXPECT_EQ(cli::RunCli(args, out, err), cli::kExitTimeout) << out.str() << err.str();
    EXPECT_TRUE(m_sim->Muted());
    EXPECT_EQ(SavedFileCount(), 0u);
    EXPECT_NE(access((m_out + "/jpeg.tmp").c_str(), F_OK), 0);
    auto lines = JsonLines(out.str());
    ASSERT_FALSE(lines.empty());
    auto last = lines.back();
    EXPECT_EQ(last["exit"].text, "4");
    ASSERT_TRUE(last.count("received") && last.count("total")) << out.str();
    const long received = std::stol(last["received"].text), total = std::stol(last["total"].text);
    EXPECT_EQ(received, long{c.muteAt} - 5) << "the first marker is not picture data";
    EXPECT_GT(total, received);
    EXPECT_NE(err.str().find("the camera stopped answering: " + std::to_string(received) + " of " +
                             std::to_string(total) + " bytes received"),
              std::string::npos)
        << err.str();
    // The last request is the resume that lets a camera that comes back run again.
    const std::string trace = err.str();
    const size_t lastTx = trace.rfind("TX :");
    ASSERT_NE(lastTx, std::string::npos);
    EXPECT_EQ(trace.compare(lastTx, 18, "TX :56 00 36 01 03"), 0) << trace.substr(lastTx, 40);
  }
}

// Silent for a while, then talking again within the timeout: the re-requests bring the
// picture in whole, byte for byte.
TEST_F(CliCaptureTest, ACameraThatResumesWithinTheTimeoutDeliversThePictureWhole) {
  CamSimOptions options;
  options.imagesDir = m_images;
  const Bytes picture = Pattern(41);
  WriteFile(m_images + "/p.jpg", picture);
  StartCamera(options);
  for (const char* transmit : {"all", "512"}) {
    SCOPED_TRACE(transmit);
    m_sim->InjectFault({CamSimFault::Mute, 400});
    std::ostringstream out, err;
    auto args = Base();
    args[5] = "8000";
    for (const char* a : {"capture", "--transmit", transmit}) args.push_back(a);
    int status = -1;
    std::thread cli([&] { status = cli::RunCli(args, out, err); });
    for (int i = 0; i < 1000 && !m_sim->Muted(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(m_sim->Muted());
    // Until the engine has asked again while nobody listens (the request waits unread).
    for (int i = 0; i < 3000 && m_sim->UnreadBytes() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(m_sim->UnreadBytes(), 0u);
    m_sim->SetMuted(false);
    cli.join();
    ASSERT_EQ(status, cli::kExitOk) << out.str() << err.str();
    auto saved = Saved(out.str());
    ASSERT_EQ(saved.size(), 1u) << out.str();
    EXPECT_EQ(ReadFile(saved[0]["path"].text), picture);
  }
}

TEST_F(CliCaptureTest, PictureChecksPrintTheFiguresAndFailWithTheirOwnStatus) {
  StartCamera();
  auto run = [&](std::vector<std::string> args, std::string& out, std::string& err) {
    std::ostringstream o, e;
    const int status = cli::RunCli(args, o, e);
    out = o.str();
    err = e.str();
    return status;
  };
  std::string out, err;
  auto args = Base();
  for (const char* a : {"capture", "--check", "sharpness>=100000,uniform=no"}) args.push_back(a);
  ASSERT_EQ(run(args, out, err), cli::kExitCheckFailed) << out << err;
  EXPECT_NE(err.find("check failed: sharpness"), std::string::npos) << err;
  auto saved = Saved(out);
  ASSERT_EQ(saved.size(), 1u) << out;  // a picture that fails is still kept, for the record
  EXPECT_EQ(saved[0]["checks_passed"].text, "false");
  EXPECT_EQ(saved[0]["uniform"].text, "false");

  // The saved picture measured again gives the same figures, and passes checks it meets.
  const std::string path = saved[0]["path"].text;
  ASSERT_EQ(run({"--json", "check", path, "--check", "luma=1..254,clipped<=50%"}, out, err),
            cli::kExitOk)
      << out << err;
  auto checked = Saved(out);
  ASSERT_EQ(checked.size(), 1u) << out;
  for (const char* figure : {"sharpness", "luma", "luma_spread", "red", "blue"})
    EXPECT_EQ(checked[0][figure].text, saved[0][figure].text) << figure;
  ASSERT_EQ(run({"check", path}, out, err), cli::kExitOk);
  EXPECT_NE(out.find("\n  sharpness "), std::string::npos) << out;

  WriteFile(m_out + "/not.jpg", {'n', 'o'});
  EXPECT_EQ(run({"check", m_out + "/not.jpg"}, out, err), cli::kExitCameraFailure);
  EXPECT_NE(out.find("not a picture that decodes"), std::string::npos) << out;
  // A file that is not there, or is a folder, is said to be so.
  for (const auto& [what, said] : {std::pair<std::string, std::string>{m_out + "/gone.jpg", "no such file"},
                                   {m_out, "is a folder"}}) {
    EXPECT_EQ(run({"check", what}, out, err), cli::kExitCameraFailure);
    EXPECT_NE(out.find(what + ": " + said), std::string::npos) << out;
  }
  // A damaged picture still decodes (gray where data is missing), but fails "decodes",
  // named, whatever was asked: half of it, or a restart marker dropped into its scan.
  const Bytes whole = ReadFile(path);
  Bytes half(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
  Bytes marked = whole;
  marked.insert(marked.begin() + static_cast<long>(whole.size() * 2 / 3), {0xFF, 0xD3});
  for (const auto& [name, bytes, warning] :
       {std::tuple<std::string, Bytes, std::string>{"half.jpg", half, "Premature end of JPEG file"},
        {"marked.jpg", marked, "Corrupt JPEG data"}}) {
    const std::string damaged = m_out + "/" + name;
    WriteFile(damaged, bytes);
    EXPECT_EQ(run({"check", damaged}, out, err), cli::kExitCheckFailed) << out << err;
    EXPECT_NE(err.find("check failed: " + damaged + ": decodes no (" + warning), std::string::npos)
        << err;
  }
  EXPECT_EQ(run({"check", path, "--check", "focus>=3"}, out, err), cli::kExitUsage);
  EXPECT_NE(err.find("cannot read the check \"focus>=3\""), std::string::npos) << err;
}
