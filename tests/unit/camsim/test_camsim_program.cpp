// The camsim program as the demo and scripts use it, an attached tty, and served files.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "camsim/CamSim.h"
#include "camsim/CamSimCamera.h"
#include "camsim/CamSimPicture.h"
#include "test_support.h"

extern char** environ;

using namespace camsim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDeadlineMs = 20000;

// Reads from fd until `count` bytes or `stop` (when non-zero) has been seen, or the deadline.
std::string ReadFd(int fd, size_t count, char stop = 0) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (out.size() < count && Clock::now() < deadline) {
    if (stop && !out.empty() && out.back() == stop) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c[4096];
    ssize_t n = read(fd, c, stop ? 1 : std::min(sizeof c, count - out.size()));
    if (n <= 0) break;
    out.append(c, static_cast<size_t>(n));
  }
  return out;
}

int OpenRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd >= 0) {
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

std::string Hex(const std::string& s) { return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

}  // namespace

TEST(CamSimProgram, PrintsItsDeviceServesControlAndEndsOnSigterm) {
  const std::string program = std::string(BREVANT_BINARY_DIR) + "/tools/camsim/camsim";
  const testsupport::TempFolder folder("camsim-test");
  ASSERT_FALSE(folder.Path().empty());
  const std::string socketPath = folder.File("control");

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args = {program, "--model", "QVX1M3 1.02", "--serial", "3", "--control", socketPath};
  // A cross build runs the program through its emulator, which passes signals on.
  const std::string emulator = BREVANT_TEST_EMULATOR;
  if (!emulator.empty()) args.insert(args.begin(), emulator);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ), 0) << args[0];
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);

  // First line: the device, printed at once (not held in a stdio buffer).
  std::string first = ReadFd(out[0], 256, '\n');
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(first.back(), '\n');
  first.pop_back();
  int line = OpenRaw(first);
  ASSERT_GE(line, 0) << first;
  const char version[] = {0x56, 0x03, 0x11, 0x00};
  ASSERT_EQ(write(line, version, 4), 4);
  std::string reply = ReadFd(line, 16);
  EXPECT_EQ(Hex(reply.substr(0, 5)), "76 03 11 00 0B");
  EXPECT_EQ(reply.substr(5), "QVX1M3 1.02");

  // The control socket is listening by the time the device is printed.
  int control = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(connect(control, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string commands = "report motion 1\nbogus\ncount\n";
  ASSERT_EQ(write(control, commands.data(), commands.size()), ssize_t(commands.size()));
  EXPECT_EQ(ReadFd(control, 64, '\n'), "ok\n");
  EXPECT_EQ(ReadFd(control, 64, '\n'), "error unknown command: bogus\n");
  EXPECT_EQ(ReadFd(control, 64, '\n'), "ok 1\n");
  EXPECT_EQ(Hex(ReadFd(line, 5)), "76 03 39 00 01");
  close(control);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(access(socketPath.c_str(), F_OK), 0) << "the socket is removed on exit";
  close(line);
  close(out[0]);
}

TEST(CamSimProgram, AttachesToAnExistingTty) {
  // The far end of a pty pair stands in for a serial adapter.
  testsupport::SilentPty pty;
  ASSERT_FALSE(pty.Path().empty());
  const int master = pty.Master();
  CamSimOptions options;
  options.attachDevice = pty.Path();
  CCamSim sim(options);
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(sim.SlavePath(), pty.Path());
  const char resume[] = {0x56, 0x00, 0x36, 0x01, 0x03};
  ASSERT_EQ(write(master, resume, 5), 5);
  EXPECT_EQ(Hex(ReadFd(master, 5)), "76 00 36 00 00");
  sim.Stop();
}

TEST(CamSimProgram, ServesJpegFilesOfAFolderInTurn) {
  const testsupport::TempFolder folder("camsim-images");
  ASSERT_FALSE(folder.Path().empty());
  std::vector<Bytes> files;
  for (int i = 0; i < 2; ++i) {
    PictureWindow w;
    w.fullWidth = w.width = 96 + 32 * i;
    w.fullHeight = w.height = 64;
    files.push_back(EncodePatternJpeg(w, 100 + i, 75));
    std::ofstream(folder.File(std::string(1, char('a' + i)) + ".jpg"), std::ios::binary)
        .write(reinterpret_cast<const char*>(files.back().data()), std::streamsize(files.back().size()));
  }
  std::ofstream(folder.File("notes.txt")) << "not a picture";
  CamSimOptions options;
  options.imagesDir = folder.Path();
  CCamSimCamera camera(options);
  for (int round = 0; round < 3; ++round) {
    camera.Handle({0x56, 0x00, 0x36, 0x01, 0x00}, true);
    ASSERT_TRUE(camera.frozen);
    EXPECT_EQ(*camera.frozen->bytes, files[round % 2]) << "round " << round;
    EXPECT_EQ(camera.frozen->width, 96 + 32 * (round % 2));
    camera.Handle({0x56, 0x00, 0x36, 0x01, 0x03}, true);
  }
}
