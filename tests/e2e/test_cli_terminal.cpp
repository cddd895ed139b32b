// The brevant-cli program itself with its stderr on a pseudo-terminal, as a person runs it,
// and redirected, as a script runs it: the transfer meter shows only in the first case and
// always gives way to the result line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "camsim/CamSim.h"
#include "test_support.h"

namespace {

struct Transcript {
  int status = -1;
  std::string terminal;  // what the terminal showed (stdout, and stderr when on it)
  std::string err;       // stderr when redirected
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;  // a hung run fails the checks below, not the suite
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;  // EOF on a pipe, EIO on a terminal whose other side closed
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Waits for the program to end while reading its terminal: a program writing to a terminal
// nobody reads blocks once the terminal's buffer is full. Killed after the deadline, so a
// hung run fails its checks instead of the suite's time-out.
int WaitReading(pid_t pid, int master, std::string* shown, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      *shown += "\n[killed: still running after " + std::to_string(seconds) + " s]";
      break;
    }
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) shown->append(buffer, static_cast<size_t>(n));
    }
  }
  return status;
}

// A pseudo-terminal pair, both ends open: false when the system gives none.
bool OpenTerminal(int* master, int* slave) {
  *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*master < 0) return false;
  if (grantpt(*master) != 0 || unlockpt(*master) != 0) {
    close(*master);
    return false;
  }
  *slave = open(ptsname(*master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*slave >= 0) return true;
  close(*master);
  return false;
}

// Reads the terminal until done() holds (or 30 s pass): true when it did.
bool ReadUntil(int master, std::string* shown, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      shown->append(buffer, static_cast<size_t>(n));
    }
  }
  return done();
}

// Runs brevant-cli with stdout on a fresh pseudo-terminal and stderr there too, or on a
// pipe.
Transcript RunProgram(const std::vector<std::string>& args, bool stderrOnTerminal) {
  Transcript t;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return t;
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);  // the bytes as written, without "\n" -> "\r\n"
  tcsetattr(slave, TCSANOW, &raw);
  int errPipe[2];
  if (slave < 0 || pipe2(errPipe, O_CLOEXEC) != 0) return t;

  const std::string program = BREVANT_BINARY_DIR "/tools/cli/brevant-cli";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(slave, 1);
    dup2(stderrOnTerminal ? slave : errPipe[1], 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(slave);
  close(errPipe[1]);
  t.terminal = ReadAll(master);
  t.err = ReadAll(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  t.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  close(master);
  close(errPipe[0]);
  return t;
}

}  // namespace

TEST(CliTerminal, MeterOnATerminalOnlyAndTheResultLineEndsIt) {
  CCamSim sim(CamSimOptions{});
  ASSERT_TRUE(sim.Start());
  const testsupport::TempFolder folder("brevant-cli-tty");
  ASSERT_FALSE(folder.Path().empty());
  const std::vector<std::string> args = {"-p", sim.SlavePath(), "-o", folder.Path(), "capture"};

  Transcript shown = RunProgram(args, true);
  // 127: the program could not be started (a cross build's tests under an emulator).
  if (shown.status == 127) GTEST_SKIP() << "brevant-cli cannot be run here";
  ASSERT_EQ(shown.status, 0) << shown.terminal;
  // The meter appears as soon as the length is known ...
  EXPECT_NE(shown.terminal.find("\r  0%  0 B of "), std::string::npos) << shown.terminal;
  // ... and is erased right before the result line, which ends the output.
  const std::string erase = "\r\x1b[K";
  size_t lastErase = shown.terminal.rfind(erase);
  ASSERT_NE(lastErase, std::string::npos) << shown.terminal;
  std::string tail = shown.terminal.substr(lastErase + erase.size());
  EXPECT_EQ(tail.rfind(folder.File("jpeg_"), 0), 0u) << tail;
  EXPECT_NE(tail.find(" bytes "), std::string::npos) << tail;
  EXPECT_EQ(tail.find('\n'), tail.size() - 1) << tail;

  // Redirected, stderr stays clean and the terminal gets the result alone.
  Transcript quiet = RunProgram(args, false);
  ASSERT_EQ(quiet.status, 0) << quiet.terminal << quiet.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.terminal.rfind(folder.File("jpeg_"), 0), 0u) << quiet.terminal;
  EXPECT_EQ(quiet.terminal.find('\x1b'), std::string::npos) << quiet.terminal;

  // --no-progress keeps a terminal clean too.
  std::vector<std::string> off = args;
  off.insert(off.begin(), "--no-progress");
  Transcript plain = RunProgram(off, true);
  ASSERT_EQ(plain.status, 0) << plain.terminal;
  EXPECT_EQ(plain.terminal.find('\r'), std::string::npos) << plain.terminal;

  sim.Stop();
}

// A station's prompt on the terminal it runs on: the question shows in the port's row and
// one key answers it, p passing and f failing the step.
TEST(CliTerminal, AStationPromptIsAnsweredWithAKey) {
  CCamSim cam;
  ASSERT_TRUE(cam.Start());
  testsupport::TempFolder folder("brevant-prompt-e2e");
  const std::string plan = folder.Path() + "/plan.toml";
  const std::string text =
      "[[step]]\nkind = \"version\"\nexpect = \"QVX5M0 *\"\n"
      "[[step]]\nkind = \"prompt\"\ntext = \"Is the LED green?\"\ntimeout_ms = 600000\n";
  testsupport::WriteFile(plan, std::vector<uint8_t>(text.begin(), text.end()));
  for (const char key : {'p', 'f'}) {
    int master = -1, slave = -1;
    ASSERT_TRUE(OpenTerminal(&master, &slave));
    const std::string program = BREVANT_BINARY_DIR "/tools/cli/brevant-cli";
    pid_t pid = fork();
    if (pid == 0) {
      for (int fd : {0, 1, 2}) dup2(slave, fd);
      execl(program.c_str(), program.c_str(), "--out", folder.Path().c_str(), "station",
            plan.c_str(), "--ports", cam.SlavePath().c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(slave);
    std::string shown;
    if (!ReadUntil(master, &shown, [&] { return shown.find("Is the LED green?") != std::string::npos; })) {
      int status = 0;
      waitpid(pid, &status, 0);
      close(master);
      // 127: the program could not be started (a cross build's tests under an emulator).
      if (WIFEXITED(status) && WEXITSTATUS(status) == 127) GTEST_SKIP() << "brevant-cli cannot be run here";
      FAIL() << shown;
    }
    ASSERT_NE(shown.find("[p pass / f fail]"), std::string::npos) << shown;
    ASSERT_EQ(write(master, &key, 1), 1);
    const int status = WaitReading(pid, master, &shown);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), key == 'p' ? 0 : 1) << shown;
    if (key == 'f') {
      EXPECT_NE(shown.find("the operator answered fail"), std::string::npos) << shown;
    }
  }
}

// Ctrl+C and a second signal right behind it while a prompt holds the terminal in
// single-key mode: the program ends at once, and the shell gets its line mode and echo back.
TEST(CliTerminal, ASecondInterruptDuringAPromptGivesTheTerminalBack) {
  CCamSim cam;
  ASSERT_TRUE(cam.Start());
  testsupport::TempFolder folder("brevant-prompt-break");
  const std::string plan = folder.Path() + "/plan.toml";
  const std::string text = "[[step]]\nkind = \"prompt\"\ntext = \"Is the LED green?\"\ntimeout_ms = 600000\n";
  testsupport::WriteFile(plan, std::vector<uint8_t>(text.begin(), text.end()));
  int master = -1, slave = -1;
  ASSERT_TRUE(OpenTerminal(&master, &slave));
  const auto lineMode = [slave] {
    termios now{};
    return tcgetattr(slave, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
  };
  ASSERT_TRUE(lineMode());
  const std::string program = BREVANT_BINARY_DIR "/tools/cli/brevant-cli";
  pid_t pid = fork();
  if (pid == 0) {
    for (int fd : {0, 1, 2}) dup2(slave, fd);
    execl(program.c_str(), program.c_str(), "--out", folder.Path().c_str(), "station", plan.c_str(),
          "--ports", cam.SlavePath().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // The question is up and the keys are taken one at a time.
  std::string shown;
  const auto asked = [&] { return shown.find("Is the LED green?") != std::string::npos; };
  ReadUntil(master, &shown, [&] { return asked() && !lineMode(); });
  if (!asked()) {
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    close(slave);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) GTEST_SKIP() << "brevant-cli cannot be run here";
    FAIL() << shown;
  }
  ASSERT_FALSE(lineMode()) << shown;
  // Two different signals, so both are delivered even if neither was taken yet.
  kill(pid, SIGINT);
  kill(pid, SIGTERM);
  const int status = WaitReading(pid, master, &shown);
  EXPECT_TRUE(lineMode()) << shown;
  EXPECT_TRUE(WIFEXITED(status)) << status << shown;
  close(master);
  close(slave);
}
