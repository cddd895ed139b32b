// brevant-cli through a port server: the virtual camera's pty behind Debian's ser2net on
// the loopback address, over RFC 2217 and raw TCP.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliOptions.h"
#include "CliRunner.h"
#include "PortServer.h"
#include "camsim/CamSim.h"
#include "camsim/CamSimPicture.h"
#include "test_support.h"

namespace {

using testsupport::CPortServer;

std::vector<std::string> Pictures(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir))
      if (std::string(entry->d_name).rfind("jpeg", 0) == 0) names.push_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

std::vector<uint8_t> Picture(int width, int height) {
  camsim::PictureWindow window;
  window.fullWidth = window.width = width;
  window.fullHeight = window.height = height;
  return camsim::EncodePatternJpeg(window, 7, 90);
}

class NetworkPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CPortServer::Available()) GTEST_SKIP() << "ser2net is not installed";
    CamSimOptions options;
    options.baud = 115200;  // paced, and hears only requests at its own rate
    m_sim = std::make_unique<CCamSim>(options);
    ASSERT_TRUE(m_sim->Start());
  }
  void TearDown() override {
    m_server.Kill();
    if (m_sim) m_sim->Stop();
  }
  std::vector<std::string> Args(std::initializer_list<const char*> rest, const char* baud = "115200") {
    std::vector<std::string> args{"-p", m_server.Url(), "-b", baud, "-o", m_out.Path(), "-t", "5000"};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }

  std::unique_ptr<CCamSim> m_sim;
  CPortServer m_server;
  testsupport::TempFolder m_out{"brevant-net"};
};

}  // namespace

// A picture full of 0xFF bytes (every JPEG marker) arrives byte for byte both ways; over
// raw TCP the operator is told once that the rate is the server's.
TEST_F(NetworkPortTest, ACaptureArrivesWholeOverRfc2217AndRawTcp) {
  for (CPortServer::Kind kind : {CPortServer::Kind::Rfc2217, CPortServer::Kind::Raw}) {
    SCOPED_TRACE(kind == CPortServer::Kind::Rfc2217 ? "rfc2217" : "raw");
    ASSERT_TRUE(m_server.Start(m_sim->SlavePath(), kind));
    m_sim->SetNextPicture(Picture(160, 120));
    std::ostringstream out, err;
    ASSERT_EQ(cli::RunCli(Args({"capture", "--transmit", "2048"}), out, err), cli::kExitOk)
        << out.str() << err.str();
    const std::vector<std::string> saved = Pictures(m_out.Path());
    ASSERT_EQ(saved.size(), 1u) << out.str();
    EXPECT_EQ(testsupport::ReadFile(m_out.Path() + "/" + saved[0]), m_sim->FrozenPicture());
    const bool told = err.str().find("raw TCP port") != std::string::npos ||
                      out.str().find("raw TCP port") != std::string::npos;
    EXPECT_EQ(told, kind == CPortServer::Kind::Raw) << out.str() << err.str();
    std::filesystem::remove(m_out.Path() + "/" + saved[0]);
    m_server.Kill();
  }
}

// The camera moves to a new default rate; the next opening at that rate must move the
// server's line with it, or the camera hears noise and never answers.
TEST_F(NetworkPortTest, ARateChangeReachesThePortServer) {
  ASSERT_TRUE(m_server.Start(m_sim->SlavePath(), CPortServer::Kind::Rfc2217));
  std::ostringstream out, err;
  ASSERT_EQ(cli::RunCli(Args({"default-baud", "57600"}), out, err), cli::kExitOk) << out.str() << err.str();
  ASSERT_EQ(m_sim->Baud(), 57600u);
  std::ostringstream vout, verr;
  EXPECT_EQ(cli::RunCli(Args({"version"}, "57600"), vout, verr), cli::kExitOk) << vout.str() << verr.str();
  EXPECT_EQ(m_sim->NoiseCount(), 0u);
}

// The server dies mid-picture: the same line failure as a pulled adapter, exit 3, no file.
TEST_F(NetworkPortTest, AServerThatDiesMidPictureFailsTheLineAndLeavesNoFile) {
  ASSERT_TRUE(m_server.Start(m_sim->SlavePath(), CPortServer::Kind::Rfc2217));
  m_sim->SetNextPicture(Picture(640, 480));  // seconds at 115200
  std::ostringstream out, err;
  int status = -1;
  std::thread run([&] { status = cli::RunCli(Args({"capture", "--transmit", "512"}), out, err); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto blockRead = [&] {
    for (const std::string& hex : m_sim->ReceivedHex())
      if (hex.rfind("56 00 32", 0) == 0) return true;
    return false;
  };
  while (!blockRead() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  m_server.Kill();
  run.join();
  EXPECT_EQ(status, cli::kExitLine) << out.str() << err.str();
  EXPECT_NE(err.str().find("failed: the device hung up or was removed"), std::string::npos) << err.str();
  EXPECT_TRUE(Pictures(m_out.Path()).empty()) << out.str();
}
