// camsim: a virtual camera module on a pseudo-terminal. Prints the device the tool should
// open on its first line and serves until SIGINT or SIGTERM.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camsim/CamSim.h"
#include "camsim/CamSimControl.h"
#include "camsim/CamSimPicture.h"
#include "common/Version.h"

namespace {

const char kUsage[] =
    "Usage: camsim [options]\n"
    "A virtual serial JPEG camera module. Prints the pseudo-terminal to open on its first\n"
    "line, then answers requests until interrupted (SIGINT/SIGTERM).\n"
    "\n"
    "Options:\n"
    "  --model TEXT     version text answered to the version request (default \"QVX5M0 2.00\")\n"
    "  --serial N       camera serial-number byte (default 0)\n"
    "  --baud N         the camera's line rate: it sends at most N/10 bytes per second and hears\n"
    "                   only a tool set to N (other rates are noise); 0 = unpaced, hears any\n"
    "                   rate (default)\n"
    "  --any-rate       hear the tool at any rate, even with --baud N\n"
    "  --images DIR     serve the JPEG files of DIR in turn instead of the test pattern\n"
    "  --seed N         seed of the frame counter and of random fault bytes (default 1)\n"
    "  --delay MS       processing delay before each answer (default 1)\n"
    "  --adapter-latency MS\n"
    "                   act like a USB adapter: bytes reach the tool in 62-byte packets and\n"
    "                   a partial packet waits MS (16 = FTDI default, 1 = lowered); 0 = off\n"
    "  --control PATH   Unix stream socket for control commands (see below)\n"
    "  --attach DEVICE  serve on this tty (set raw) instead of a new pseudo-terminal\n"
    "  --replay FILE    answer from a recorded session (pcapng capture or saved text trace):\n"
    "                   each request gets the reply recorded for it, in order; a request\n"
    "                   the recording has no reply for is logged and gets silence\n"
    "  --replay-timing recorded|none\n"
    "                   send each reply as long after its request as recorded (default), or\n"
    "                   at once\n"
    "  --verbose        log requests and answers to stderr\n"
    "  --help           this text\n"
    "  --version        the program's version\n"
    "\n";

bool ParseUnsigned(const char* text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 0);
  return errno == 0 && end != text && *end == '\0' && text[0] != '-' && value <= max;
}

int OpenControlSocket(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "camsim: control path too long: %s\n", path.c_str());
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());  // a socket left by an earlier run
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
    std::fprintf(stderr, "camsim: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// Serves control connections until `stopFd` becomes readable. Several clients may be
// connected; each line gets one reply line.
void ServeControl(CCamSim& sim, int listenFd, int stopFd) {
  struct Client {
    int fd;
    std::string pending;
  };
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{stopFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back({fd, {}});
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      Client& c = clients[i - 2];
      char buffer[4096];
      ssize_t n = read(c.fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(c.fd);
        c.fd = -1;
        continue;
      }
      c.pending.append(buffer, static_cast<size_t>(n));
      size_t newline;
      while ((newline = c.pending.find('\n')) != std::string::npos) {
        std::string line = c.pending.substr(0, newline);
        c.pending.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string reply = sim.Control(line) + "\n";
        if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
      }
      if (c.pending.size() > 65536) c.pending.clear();  // no line that long is a command
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
  }
  for (const Client& c : clients) close(c.fd);
}

// Reads the command line; returns -1 to go on, or the status to exit with.
struct ReplayChoice {
  std::string file;
  bool recordedTiming = true;
};

int ParseOptions(int argc, char** argv, CamSimOptions& options, std::string& controlPath,
                 ReplayChoice& replay) {
  enum { kModel = 1, kSerial, kBaud, kImages, kSeed, kDelay, kControl, kAttach, kVerbose, kHelp,
         kVersion, kAdapter, kAnyRate, kReplay, kReplayTiming };
  const option longOptions[] = {
      {"model", required_argument, nullptr, kModel},     {"serial", required_argument, nullptr, kSerial},
      {"baud", required_argument, nullptr, kBaud},       {"images", required_argument, nullptr, kImages},
      {"seed", required_argument, nullptr, kSeed},       {"delay", required_argument, nullptr, kDelay},
      {"control", required_argument, nullptr, kControl}, {"attach", required_argument, nullptr, kAttach},
      {"verbose", no_argument, nullptr, kVerbose},       {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {"adapter-latency", required_argument, nullptr, kAdapter},
      {"any-rate", no_argument, nullptr, kAnyRate},
      {"replay", required_argument, nullptr, kReplay},
      {"replay-timing", required_argument, nullptr, kReplayTiming},
      {nullptr, 0, nullptr, 0},
  };
  for (int opt; (opt = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
    unsigned long value = 0;
    auto number = [&](unsigned long max) {
      if (ParseUnsigned(optarg, max, value)) return true;
      std::fprintf(stderr, "camsim: bad value for --%s: %s\n", longOptions[opt - 1].name, optarg);
      std::exit(2);
    };
    switch (opt) {
      case kModel: options.model = optarg; break;
      case kSerial: number(255), options.serial = static_cast<uint8_t>(value); break;
      case kBaud: number(100'000'000), options.baud = static_cast<unsigned>(value); break;
      case kImages: options.imagesDir = optarg; break;
      case kSeed: number(0xFFFFFFFF), options.seed = static_cast<uint32_t>(value); break;
      case kDelay: number(600'000), options.processingDelayMs = static_cast<unsigned>(value); break;
      case kControl: controlPath = optarg; break;
      case kAttach: options.attachDevice = optarg; break;
      case kVerbose: options.verbose = true; break;
      case kAnyRate: options.anyRate = true; break;
      case kReplay: replay.file = optarg; break;
      case kReplayTiming:
        if (std::strcmp(optarg, "recorded") != 0 && std::strcmp(optarg, "none") != 0) {
          std::fprintf(stderr, "camsim: --replay-timing must be recorded or none: %s\n", optarg);
          return 2;
        }
        replay.recordedTiming = std::strcmp(optarg, "recorded") == 0;
        break;
      case kAdapter: number(10'000), options.adapterLatencyMs = static_cast<unsigned>(value); break;
      case kHelp:
        std::fputs(kUsage, stdout);
        std::fputs(camsim::kControlHelp, stdout);
        return 0;
      case kVersion:
        std::fputs("camsim " BREVANT_VERSION "\n", stdout);
        return 0;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "camsim: unexpected argument: %s\n", argv[optind]);
    return 2;
  }
  if (!options.imagesDir.empty() && camsim::ListJpegFiles(options.imagesDir).empty())
    std::fprintf(stderr, "camsim: no JPEG files in %s; serving the test pattern\n", options.imagesDir.c_str());
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  CamSimOptions options;
  std::string controlPath;
  ReplayChoice replay;
  if (const int status = ParseOptions(argc, argv, options, controlPath, replay); status >= 0)
    return status;

  // Signals are taken by sigwait below; every thread started from here inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  CCamSim sim(options);
  if (std::string error; !replay.file.empty() &&
                         !sim.LoadReplay(replay.file, replay.recordedTiming, error)) {
    std::fprintf(stderr, "camsim: --replay %s: %s\n", replay.file.c_str(), error.c_str());
    return 2;
  }
  if (!sim.Start()) {
    std::fprintf(stderr, "camsim: cannot open %s: %s\n",
                 options.attachDevice.empty() ? "a pseudo-terminal" : options.attachDevice.c_str(),
                 std::strerror(errno));
    return 1;
  }
  int listenFd = -1, stopPipe[2] = {-1, -1};
  std::thread control;
  if (!controlPath.empty()) {
    listenFd = OpenControlSocket(controlPath);
    if (listenFd < 0 || pipe2(stopPipe, O_CLOEXEC) != 0) {
      sim.Stop();
      return 1;
    }
    control = std::thread(ServeControl, std::ref(sim), listenFd, stopPipe[0]);
  }
  // Last: once the device is printed, the camera and its control socket are ready.
  std::printf("%s\n", sim.SlavePath().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);

  if (control.joinable()) {
    (void)!write(stopPipe[1], "x", 1);
    control.join();
    close(listenFd);
    close(stopPipe[0]);
    close(stopPipe[1]);
    unlink(controlPath.c_str());
  }
  sim.Stop();
  return 0;
}
