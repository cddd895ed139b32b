// A station run on a rack of virtual cameras against the same run on one camera alone.
//
//   wall ratio = wall time of the station on N cameras / wall time on one camera alone
//                (target at 8: <= 1.3x; each camera is paced at the line rate, so the one
//                camera alone is the anchor: what the line itself allows)
//   memory     = peak resident memory of this process during the run, above what it held
//                before, per port
//
// The cameras run in child processes, so the figures are the station's alone. The plan is
// the version check and one 640x480 capture at 115200 baud. --ports N adds a row for N.
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliRunner.h"
#include "station/StationDb.h"
#include "test_files.h"
#include "camsim/CamSim.h"

namespace {

constexpr unsigned kBaud = 115200;

// One virtual camera in a child process; serves until killed.
struct CameraProcess {
  pid_t pid = -1;
  std::string device;

  CameraProcess() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      CamSimOptions options;
      options.baud = kBaud;
      CCamSim cam(options);
      if (!cam.Start()) _exit(1);
      const std::string path = cam.SlavePath() + "\n";
      if (write(fds[1], path.data(), path.size()) < 0) _exit(1);
      for (;;) pause();
    }
    close(fds[1]);
    char buf[256] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    if (n > 1) device.assign(buf, static_cast<size_t>(n - 1));
  }
  ~CameraProcess() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

struct Figures {
  double seconds = 0;
  double kbPerPort = 0;
  int status = -1;
};

Figures RunStation(const std::string& plan, const std::string& folder,
                   const std::vector<CameraProcess>& cameras) {
  std::string ports;
  for (const CameraProcess& c : cameras) ports += (ports.empty() ? "" : ",") + c.device;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const long before = ResidentKb();
  std::atomic<long> peak{before};
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done) {
      peak = std::max(peak.load(), ResidentKb());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::ostringstream out, err;
  const auto start = std::chrono::steady_clock::now();
  Figures f;
  cli::CCliRunner runner(out, err);
  runner.SetResultsStore(station::DatabaseStore());
  f.status = runner.Run({"station", plan, "--ports", ports, "--out", folder});
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  done = true;
  sampler.join();
  f.kbPerPort = static_cast<double>(peak - before) / static_cast<double>(cameras.size());
  if (f.status != 0) std::fprintf(stderr, "station failed (%d):\n%s%s", f.status, out.str().c_str(), err.str().c_str());
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> counts = {8, 16};
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--ports") == 0) counts = {std::strtoul(argv[i + 1], nullptr, 10)};
  const testsupport::TempFolder scratch("brevant-bench-station");
  const std::string folder = scratch.Path();
  const std::string plan = scratch.File("plan.toml");
  std::ofstream(plan) << "baud = " << kBaud
                      << "\n[[step]]\nkind = \"version\"\nexpect = \"*\"\n"
                         "[[step]]\nkind = \"capture\"\nchecks = \"uniform=no\"\n";

  std::vector<CameraProcess> one(1);
  RunStation(plan, folder + "/warm", one);  // first run pays for page faults and caches
  const Figures alone = RunStation(plan, folder + "/one", one);
  std::printf("station: version + 640x480 capture at %u baud\n", kBaud);
  std::printf("%-8s %10s %12s %14s %8s\n", "cameras", "wall s", "wall ratio", "kB per port", "status");
  std::printf("%-8d %10.2f %12s %14.0f %8d\n", 1, alone.seconds, "1.00x (anchor)", alone.kbPerPort,
              alone.status);
  int worst = alone.status;
  for (size_t count : counts) {
    std::vector<CameraProcess> rack(count);
    const Figures f = RunStation(plan, folder + "/rack", rack);
    std::printf("%-8zu %10.2f %11.2fx %14.0f %8d%s\n", count, f.seconds, f.seconds / alone.seconds,
                f.kbPerPort, f.status, count == 8 ? "   (target <= 1.30x)" : "");
    worst = std::max(worst, f.status);
  }
  std::filesystem::remove_all(folder);
  std::filesystem::remove(plan);
  return worst == 0 ? 0 : 1;
}
