// brevant-cli against the virtual camera over a real pseudo-terminal: the request bytes
// each command puts on the wire, what it prints and its exit status.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli_run.h"
#include "json_check.h"
#include "CliOptions.h"
#include "camsim/CamSim.h"

namespace {

using testsupport::CliRun;

class CliCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sim = std::make_unique<CCamSim>(Options());
    ASSERT_TRUE(m_sim->Start());
    m_device = m_sim->SlavePath();
  }
  void TearDown() override { m_sim->Stop(); }
  virtual CamSimOptions Options() { return {}; }

  CliRun Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", m_device, "-t", "3000"});
    return testsupport::RunCli(args);
  }

  // The requests after the version query and the settings read-back every session of a
  // QVX5M0 starts with; waits for `count` of them (some go out after the result line).
  std::vector<std::string> CommandRequests(size_t count) {
    m_sim->WaitForRequests(kPreamble + count, 5000);
    auto all = m_sim->ReceivedHex();
    if (all.size() < kPreamble) return all;
    return {all.begin() + kPreamble, all.end()};
  }

  static constexpr size_t kPreamble = 2;
  std::unique_ptr<CCamSim> m_sim;
  std::string m_device;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

}  // namespace

TEST_F(CliCommandsTest, EachCommandSendsItsFrameAndPrintsTheCamerasAnswer) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> requests;
    std::string printed;  // expected stdout (prefix of each line given)
    int status;
  };
  const std::vector<Case> cases = {
      {{"version"}, {}, "Version query success! QVX5M0 2.00\nmodel=8 variant=0 firmware=200\n", 0},
      {{"settings"}, {"56 00 90 01 00"}, "serial=0 size=640X480 ", 0},
      {{"compression", "0x40"}, {"56 00 31 05 01 01 12 04 40"}, "Set compression success!\n", 0},
      {{"image-size", "1920x1080"},
       {"56 00 31 05 05 01 00 19 66", "56 00 26 00"},
       "Set image size success!\nReset success! Init end!\n",
       0},
      {{"image-size", "640X480"},
       {"56 00 31 05 04 01 00 19 00", "56 00 26 00"},
       "Set image size success!\nReset success! Init end!\n",
       0},
      {{"reset"}, {"56 00 26 00"}, "Reset success! Init end!\n", 0},
      {{"power-save", "on"}, {"56 00 3E 03 00 01 01"}, "Change power saving mode success!\n", 0},
      {{"power-save", "off"}, {"56 00 3E 03 00 01 00"}, "Change power saving mode success!\n", 0},
      {{"fill-light", "0"}, {"56 00 85 01 00"}, "Close fill light success!\n", 0},
      {{"fill-light", "35"}, {"56 00 85 01 23"}, "set fill light success!\n", 0},
      {{"image-type", "yuv"}, {"56 00 93 03 03 01 01"}, "set image format success!\n", 0},
      {{"image-type", "jpeg"}, {"56 00 93 03 03 01 00"}, "set image format success!\n", 0},
      {{"temp-baud", "57600"}, {"56 00 24 03 01 1C 4C"}, "设置临时波特率成功!请关闭端口重新选择波特率再打开!\n", 0},
      {{"detection", "on"}, {"56 00 37 01 01"}, "Open motion detect success!\n", 0},
      {{"detection", "off"}, {"56 00 37 01 00"}, "Close motion detect success!\n", 0},
      {{"osd", "3", "AB", "--display", "0", "--x", "100", "--y", "40"},
       {"56 00 86 0E 00 02 02 00 64 00 28 00 7C FF FF 02 41 42"},
       "set osd char line ",
       0},
      {{"image-params", "set", "day"},
       {"56 00 91 0C 04 00 80 80 80 80 80 00 01 55 00 04"},
       "set image success!\n",
       0},
      {{"image-params", "read"},
       {"56 00 90 02 04 00", "56 00 90 02 04 01"},
       "day brightness=128 contrast=128 sharpness=128 saturation=128 hue=128 awb=auto "
       "awb-value=341 exposure=0 hlc=4\nnight brightness=128 ",
       0},
      {{"image-params", "reset", "night"},
       {"56 00 91 02 04 01"},
       "reset image param success!\nnight brightness=128 ",
       0},
      {{"crop", "read"}, {"56 00 8B 01 02"}, "read cropsuccess\nenable=0 x=0 y=0 width=640 ", 0},
      {{"crop", "set", "--enable", "1", "--x", "16", "--y", "8", "--width", "320", "--height", "240"},
       {"56 00 8B 0A 01 01 00 10 00 08 01 40 00 F0"},
       "set cropsuccess\n",
       0},
      {{"motion-capture", "--photos", "3", "--interval", "100", "--next", "10"},
       {"56 00 87 04 03 0A 00 64"},
       "set mutil motion capture success!\n",
       0},
      {{"detection-settings", "set", "--interval", "1000", "--photos", "5", "--next", "30", "--type",
        "person", "--sensitivity", "4", "--mode", "1", "--threshold", "2", "--distance", "3",
        "--power-on", "1", "--target", "1"},
       {"56 00 91 0C 02 01 01 04 01 02 03 01 05 03 E8 1E"},
       "set Intelligent detection success!\n",
       0},
      {{"detection-settings", "read"},
       {"56 00 90 01 02"},
       "power-on=1 type=person sensitivity=4 mode=1 threshold=2 distance=3 target=1 photos=5 "
       "interval=1000 next=30\n",
       0},
      {{"burst", "--photos", "3", "--interval", "500"}, {"56 00 88 03 03 01 F4"}, "Mutil capture success!\n", 0},
      {{"power-on-capture", "--photos", "3", "--interval", "500"},
       {"56 00 91 04 01 03 01 F4"},
       "set power auto capturesuccess\nIt will work next Restart!\n",
       0},
      // A window wider than the current picture (read back at identification) is refused
      // before any crop frame is sent.
      {{"crop", "set", "--enable", "1", "--x", "16", "--y", "8", "--width", "3840", "--height", "240"},
       {},
       "",
       2},
      // The baud change is last: it makes the camera reset into the new rate.
      {{"default-baud", "921600", "--yes"},
       {"56 00 31 06 05 02 00 08 EE A3", "56 00 26 00"},
       "Change temp baud success!Please close prot and select new baud again!\n",
       0},
  };
  for (const Case& c : cases) {
    std::string name = Joined(c.args);
    m_sim->ClearReceived();
    CliRun run = Run(c.args);
    EXPECT_EQ(run.status, c.status) << name << run.out << run.err;
    EXPECT_EQ(run.out.compare(0, c.printed.size(), c.printed), 0)
        << name << "printed:\n" << run.out << "stderr:\n" << run.err;
    EXPECT_EQ(CommandRequests(c.requests.size()), c.requests) << name;
    if (c.status == 0) {
      EXPECT_EQ(run.err, "") << name;
    }
  }
}

TEST_F(CliCommandsTest, RefusalsExplainThemselvesOnStderr) {
  // What the camera refuses is exit 1 with the camera's own text (a window that fits the
  // picture, so only the camera can refuse it).
  m_sim->SetCropStatus(4);
  CliRun crop = Run({"crop", "set", "--enable", "1", "--x", "0", "--y", "0", "--width", "640",
                     "--height", "480"});
  EXPECT_EQ(crop.status, cli::kExitCameraFailure);
  EXPECT_EQ(crop.out, "set cropfail,4\n");
  EXPECT_NE(crop.err.find("height error: crop height range [32,1080]"), std::string::npos)
      << crop.err;

  CliRun outside = Run({"crop", "set", "--enable", "1", "--x", "16", "--y", "8", "--width", "3840",
                        "--height", "240"});
  EXPECT_EQ(outside.status, cli::kExitUsage);
  EXPECT_NE(outside.err.find("brevant-cli: crop: crop.width is 3840, must be 32..624 (x 16 in the 640X480 picture)"),
            std::string::npos)
      << outside.err;

  m_sim->SetImageParamsStatus(1);
  CliRun awb = Run({"image-params", "set", "day", "--awb", "600"});
  EXPECT_EQ(awb.status, cli::kExitCameraFailure);
  EXPECT_NE(awb.err.find("awb error: awb range [300,600],Please input again!"), std::string::npos)
      << awb.err;
}

TEST_F(CliCommandsTest, BadValuesSendNothing) {
  const std::vector<std::vector<std::string>> refused = {
      {"fill-light", "101"},
      {"compression", "0x90"},
      {"image-size", "800x600"},
      {"default-baud", "230400"},
      {"temp-baud", "230400"},
      {"osd", "1", "AB", "--x", "101"},
      {"osd", "1", std::string(161, 'x')},
      {"crop", "set", "--enable", "1", "--x", "8", "--y", "0", "--width", "640", "--height", "480"},
      {"crop", "set", "--enable", "1", "--x", "16", "--y", "3", "--width", "640", "--height", "480"},
      {"image-params", "set", "day", "--hlc", "11"},
      {"image-params", "set", "day", "--awb", "100"},
      {"crop", "set", "--enable", "1", "--x", "0", "--y", "0", "--width", "20000", "--height", "10"},
      {"crop", "set", "--enable", "1", "--x", "0", "--y", "0", "--width", "322", "--height", "240"},
      {"detection-settings", "set", "--distance", "5"},
      {"motion-capture", "--photos", "3", "--interval", "100"},
      {"capture", "--transmit", "100"},
      {"reset", "--serial", "300"},
  };
  for (const auto& args : refused) {
    CliRun run = Run(args);
    EXPECT_EQ(run.status, cli::kExitUsage) << Joined(args) << run.err;
    EXPECT_EQ(run.out, "") << Joined(args);
    // One line naming what is allowed (the rate warning brings the window's text first).
    EXPECT_NE(run.err.find("brevant-cli: "), std::string::npos) << Joined(args);
  }
  // The port was never opened, so the camera saw nothing at all.
  EXPECT_TRUE(m_sim->ReceivedRequests().empty()) << Joined(m_sim->ReceivedHex());
}

TEST_F(CliCommandsTest, SerialNumberGoesIntoEveryFrame) {
  m_sim->SetSerial(7);
  CliRun run = Run({"-s", "7", "--trace", "reset"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Reset success! Init end!\n");
  // The trace on stderr: each request on a "TX :" line, the camera's answer after "Rx :".
  EXPECT_NE(run.err.find("\n\nTX :56 07 26 00 \nRx :76 07 26 00 "), std::string::npos) << run.err;
  m_sim->WaitForRequests(3, 5000);
  EXPECT_EQ(m_sim->ReceivedHex(),
            (std::vector<std::string>{"56 07 11 00", "56 07 90 01 00", "56 07 26 00"}));
}

TEST_F(CliCommandsTest, SilentCameraTimesOutWithStatus4) {
  m_sim->InjectFault({CamSimFault::NeverAnswer});
  CliRun run = Run({"-t", "300", "compression", "0x40"});
  EXPECT_EQ(run.status, cli::kExitTimeout);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("no reply to CMD_GET_VERSION within 300 ms"), std::string::npos) << run.err;
  // Nothing after the unanswered request: the command itself is not sent blind.
  EXPECT_EQ(m_sim->ReceivedHex(), (std::vector<std::string>{"56 00 11 00"}));
}

TEST_F(CliCommandsTest, PortsByPathOrComNumberAndStatus3WhenTheyFail) {
  // A COM number given to the camera's device on the command line, as the window allows.
  CliRun mapped = Run({"-p", "COM9=" + m_device, "version"});
  EXPECT_EQ(mapped.status, 0) << mapped.err;
  EXPECT_EQ(mapped.out.rfind("Version query success! QVX5M0 2.00", 0), 0u) << mapped.out;

  std::ostringstream out, err;
  EXPECT_EQ(cli::RunCli({"-p", "/dev/brevant-no-such-tty", "reset"}, out, err), cli::kExitLine);
  EXPECT_NE(err.str().find("Open /dev/brevant-no-such-tty fail, baud is 38400"), std::string::npos)
      << err.str();
  EXPECT_EQ(out.str(), "");

  // Not a terminal at all: refused at open, in words that do not send anyone to the cable.
  for (const char* path : {"/dev/null", "/etc/passwd"}) {
    std::ostringstream nout, nerr;
    EXPECT_EQ(cli::RunCli({"-p", path, "capture"}, nout, nerr), cli::kExitLine) << path;
    EXPECT_NE(nerr.str().find(std::string(path) + " is not a serial device"), std::string::npos)
        << nerr.str();
  }

  // The cable is pulled while the camera answers.
  m_sim->InjectFault({CamSimFault::CloseLine});
  CliRun run = Run({"reset"});
  EXPECT_EQ(run.status, cli::kExitLine) << run.out << run.err;
  EXPECT_NE(run.err.find("the line failed"), std::string::npos) << run.err;
}

TEST_F(CliCommandsTest, JsonLinesParse) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"version"}, {"settings"}, {"crop", "read"},
        {"image-params", "read"}, {"detection-settings", "read"}, {"power-on-capture", "--photos",
                                                                     "0", "--interval", "0"}}) {
    args.insert(args.begin(), "--json");
    CliRun run = Run(args);
    EXPECT_EQ(run.status, 0) << Joined(args) << run.err;
    std::istringstream lines(run.out);
    std::string line;
    int objects = 0;
    while (std::getline(lines, line)) {
      auto members = jsoncheck::ParseObject(line);
      ASSERT_TRUE(members) << line;
      EXPECT_EQ((*members)["command"].text, args[1]) << line;
      EXPECT_EQ((*members)["ok"].text, "true") << line;
      ++objects;
    }
    EXPECT_GE(objects, 1) << Joined(args);
  }

  CliRun version = Run({"--json", "version"});
  auto v = jsoncheck::ParseObject(version.out.substr(0, version.out.find('\n')));
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)["version"].text, "QVX5M0 2.00");
  EXPECT_EQ((*v)["model"].text, "8");
  EXPECT_EQ((*v)["firmware"].text, "200");

  // A run that ends in an error still leaves one parseable object with the status.
  m_sim->InjectFault({CamSimFault::NeverAnswer});
  CliRun silent = Run({"--json", "-t", "200", "reset"});
  EXPECT_EQ(silent.status, cli::kExitTimeout);
  auto e = jsoncheck::ParseObject(silent.out.substr(0, silent.out.find('\n')));
  ASSERT_TRUE(e) << silent.out;
  EXPECT_EQ((*e)["ok"].text, "false");
  EXPECT_EQ((*e)["exit"].text, "4");
}

TEST(CliBasicCamera, DetectionOnSetsTheSensitivityFirstAndWaitsForTheSwitch) {
  CamSimOptions options;
  options.model = "QVX0806 1.00";  // a basic camera: no settings read-back
  CCamSim sim(options);
  ASSERT_TRUE(sim.Start());
  std::ostringstream out, err;
  EXPECT_EQ(cli::RunCli({"-p", sim.SlavePath(), "detection", "on"}, out, err), 0) << err.str();
  EXPECT_EQ(out.str(), "set motion sensitivity success!\nOpen motion detect success!\n");
  sim.WaitForRequests(3, 5000);
  EXPECT_EQ(sim.ReceivedHex(), (std::vector<std::string>{"56 00 11 00", "56 00 31 05 01 01 1A 6E 03",
                                                         "56 00 37 01 01"}));
  sim.Stop();
}
