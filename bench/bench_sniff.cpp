// A picture captured through brevant-cli sniff against the same picture captured directly,
// from the virtual camera paced at the line rate.
//
//   anchor = the direct capture's wall time, measured in this run, alternating with ours
//   ratio  = the capture through the sniffer / the anchor (1.00: the sniffer costs nothing)
//   CPU    = the sniffer thread's CPU time per megabyte it passed
//   line   = the anchor / the picture's time on the wire (bytes x 10 / baud)
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "CliOutput.h"
#include "CliRunner.h"
#include "CliSniff.h"
#include "ConsoleHost.h"
#include "camsim/CamSim.h"
#include "test_files.h"

namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Wall seconds of one capture through `port`; false when it failed.
bool Capture(const std::string& port, unsigned baud, const std::string& out, double& seconds) {
  std::filesystem::remove_all(out);
  std::filesystem::create_directories(out);
  std::ostringstream o, e;
  const auto t0 = std::chrono::steady_clock::now();
  const int status = cli::RunCli({"--port", port, "--baud", std::to_string(baud), "--out", out, "capture"}, o, e);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (status != 0) std::fprintf(stderr, "capture failed: %s", e.str().c_str());
  return status == 0;
}

}  // namespace

int main() {
  std::printf("Capture through the sniffer against a direct capture, same camera and picture\n");
  std::printf("%-8s %10s %10s %8s %10s %8s\n", "baud", "bytes", "anchor s", "ratio", "CPU s/MB", "line");
  for (const unsigned baud : {921600u, 115200u}) {
    testsupport::TempFolder folder("bench-sniff");
    CamSimOptions options;
    options.baud = baud;
    CCamSim camera(options);
    camera.SetImageSizeIndex(baud > 115200 ? 10 : 4);
    if (!camera.Start()) return 1;
    double seconds = 0;
    if (!Capture(camera.SlavePath(), baud, folder.File("w"), seconds)) return 1;
    const std::vector<uint8_t> picture = camera.FrozenPicture();

    // The sniffer holds the port while it runs, so it is opened for its own captures only.
    std::vector<double> direct, sniffed;
    double cpu = 0;
    uint64_t passed = 0;
    for (int rep = 0; rep < 2; ++rep) {
      camera.SetNextPicture(picture);
      if (!Capture(camera.SlavePath(), baud, folder.File("d"), seconds)) return 1;
      direct.push_back(seconds);
      std::ostringstream notes, trace;
      cli::ResultWriter writer(notes, trace, false);
      cli::CConsoleHost host(&writer, true);
      host.SetDecode(true);
      cli::CSniffer sniffer(writer, host);
      if (!sniffer.Open({camera.SlavePath(), baud, folder.File("link"), ""}).empty()) return 1;
      std::thread loop([&] {
        const double t0 = ThreadCpuSeconds();
        sniffer.Run();
        cpu += ThreadCpuSeconds() - t0;
      });
      camera.SetNextPicture(picture);
      const bool ok = Capture(folder.File("link"), baud, folder.File("s"), seconds);
      sniffer.Stop();
      loop.join();
      if (!ok) return 1;
      sniffed.push_back(seconds);
      passed += sniffer.BytesToCamera() + sniffer.BytesFromCamera();
    }
    const double anchor = *std::min_element(direct.begin(), direct.end());
    const double ours = *std::min_element(sniffed.begin(), sniffed.end());
    const double megabytes = passed / 1e6;
    const double wire = picture.size() * 10.0 / baud;
    std::printf("%-8u %10zu %10.2f %8.2f %10.3f %8.2f\n", baud, picture.size(), anchor, ours / anchor,
                megabytes > 0 ? cpu / megabytes : 0.0, anchor / wire);
  }
  return 0;
}
