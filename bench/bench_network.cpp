// A capture through a port server against the same capture on the pseudo-terminal: the
// virtual camera paced at 115200 baud, Debian's ser2net in front of its pty on the loopback
// address (RFC 2217 and raw TCP), the whole engine as the window runs it.
//
//   efficiency = picture bytes / (seconds of the "Time:" line x baud / 10)
//   anchor     = the same capture on the pty directly, measured in this run
//   vs pty     = efficiency through the server / the anchor's (goal: >= 95 %)
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "HeadlessHost.h"
#include "PortServer.h"
#include "camsim/CamSim.h"
#include "jpeg_test_util.h"
#include "protocol/CameraProtocol.h"
#include "test_files.h"

namespace {

constexpr unsigned kBaud = 115200;

class TimingHost : public HeadlessHost {
 public:
  void ShowStatusLine(const std::string& line) override {
    if (line.find("Time:") == std::string::npos) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_timing = line;
    m_cv.notify_all();
  }
  bool Wait(unsigned ms, std::string& line) {
    std::unique_lock<std::mutex> lock(m_lock);
    const bool ok = m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !m_timing.empty(); });
    line = m_timing;
    return ok;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::string m_timing;
};

// Seconds of the "Time:" line and the picture's length, or 0 on failure.
double Capture(const std::string& port, const std::vector<uint8_t>& picture, int mode, CCamSim& cam) {
  cam.SetNextPicture(picture);
  const testsupport::TempFolder folder("brevant-bench-net");
  TimingHost host;
  CCameraProtocol engine(&host);
  SessionSettings settings = engine.Settings();
  settings.savePath = folder.Slash();
  settings.transmitMode = mode;
  engine.ApplySettings(settings);
  engine.StartSender();
  double seconds = 0;
  if (engine.OpenDevice(port, 1, kBaud) == 1) {
    engine.SingleCapture();
    std::string line;
    const unsigned timeoutMs = static_cast<unsigned>(picture.size() * 10.0 / kBaud * 2000) + 30000;
    if (host.Wait(timeoutMs, line) && std::sscanf(line.c_str() + line.find("Time:"), "Time:%lfs", &seconds) != 1)
      seconds = 0;
  }
  engine.StopSender();
  engine.ClosePort();
  return seconds;
}

}  // namespace

int main() {
  if (!testsupport::CPortServer::Available()) {
    std::printf("bench_network: ser2net is not installed; skipped\n");
    return 0;
  }
  const auto rgb = jpegtest::MakePhotoLikeRgb(1280, 720, 3);
  jpegtest::JpegOptions q;
  std::vector<uint8_t> picture;
  for (q.quality = 80; q.quality <= 100 && picture.size() < 100000; q.quality += 2)
    picture = jpegtest::EncodeJpeg(rgb.data(), 1280, 720, 3, q);

  CamSimOptions options;
  options.baud = kBaud;
  CCamSim cam(options);
  if (!cam.Start()) return 1;
  std::printf("Capture through ser2net on 127.0.0.1 vs the pty directly, %u baud, %zu-byte JPEG\n\n",
              kBaud, picture.size());
  std::printf("%-15s %-9s %8s %11s %8s\n", "Transmit:", "port", "Time: s", "efficiency", "vs pty");
  const struct {
    int mode;
    const char* name;
  } modes[] = {{1, "512Byte once"}, {5, "10240Byte once"}};
  bool ok = true;
  for (const auto& m : modes) {
    double anchor = 0;
    for (int kind = 0; kind < 3; ++kind) {
      testsupport::CPortServer server;
      std::string port = cam.SlavePath();
      const char* label = "pty";
      if (kind > 0) {
        const auto serverKind = kind == 1 ? testsupport::CPortServer::Kind::Rfc2217 : testsupport::CPortServer::Kind::Raw;
        if (!server.Start(cam.SlavePath(), serverKind)) return 1;
        port = server.Url();
        label = kind == 1 ? "rfc2217" : "socket";
      }
      const double seconds = Capture(port, picture, m.mode, cam);
      if (seconds <= 0) {
        std::printf("%-15s %-9s FAILED\n", m.name, label);
        ok = false;
        continue;
      }
      const double efficiency = picture.size() / (seconds * kBaud / 10.0);
      if (kind == 0) anchor = efficiency;
      std::printf("%-15s %-9s %8.2f %10.1f%% %7.1f%%\n", m.name, label, seconds, 100 * efficiency,
                  anchor > 0 ? 100 * efficiency / anchor : 0);
      std::fflush(stdout);
    }
  }
  std::printf("\nGoal: a capture through RFC 2217 at >= 95%% of the pty's efficiency.\n");
  cam.Stop();
  return ok ? 0 : 1;
}
