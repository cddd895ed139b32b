// Fault soak: continuous captures against the virtual camera while it misbehaves in every
// way a flaky adapter or a long cable can (dropped, corrupted, extra and delayed bytes, bad
// markers, stalls, garbage, reports in the middle of a transfer, a pulled cable), across
// every "Transmit:" mode and both image types.
//
// Each capture must end by itself (picture shown, or a clear error) or, when the fault hit a
// reply the protocol simply waits for, through "Stop Capture" as an operator would press
// it; a capture that neither ends nor stops is a hang. Every picture shown must be the
// camera's picture byte for byte. Memory, threads and open files must stay flat.
//
//   soak [--captures N] [--seed S]      exit status 0 when every check held
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "EngineRig.h"

namespace {

using e2e::RigHost;
using Clock = std::chrono::steady_clock;

constexpr unsigned kQuietBeforeStopMs = 4000;  // no new log line for this long: press Stop
constexpr unsigned kCaptureBoundMs = 60000;    // a capture that has not ended by now hangs
constexpr unsigned kStopBoundMs = 20000;       // Stop Capture must bring the engine back

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    std::getline(in, key);
  }
  return -1;
}

int ThreadCount() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  return -1;
}

int FdCount() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

// What may go wrong with the answers of one capture.
enum class Fault {
  None, DropBytes, CorruptBytes, BadStartMarker, BadEndMarker, ExtraBytes, StopShort,
  Stall, Garbage, NoAnswer, ReportMidway, GarbageMidway, LineClosed,
  LostStopReply,  // the answer to the freeze request is lost: only Stop Capture helps
};
const char* FaultName(Fault f) {
  static const char* names[] = {"none", "dropped bytes", "corrupted bytes", "bad start marker",
                                "bad end marker", "extra bytes", "answer cut short",
                                "stall", "garbage instead of answer", "request unanswered",
                                "report mid-transfer", "garbage mid-transfer",
                                "line closed and reopened", "freeze reply lost"};
  return names[static_cast<int>(f)];
}

class Soak {
 public:
  Soak(int captures, uint32_t seed) : m_captures(captures), m_rng(seed) {
    m_host.SetTrafficLimit(64 * 1024);
    m_host.OnPicture([this](const std::string& path) { CheckPicture(path); });
    m_host.OnStatus([this](const std::string& line) { OnStatus(line); });
    m_engine.UpdateSettings([&](SessionSettings& s) { s.savePath = m_dir.Slash(); });
    m_engine.StartSender();
  }
  ~Soak() {
    m_host.OnStatus(nullptr);
    m_host.OnPicture(nullptr);
    m_engine.StopSender();
    m_engine.ClosePort();
    std::lock_guard<std::mutex> lock(m_camMutex);
    if (m_cam) m_cam->Stop();
    m_cam.reset();
  }

  int Run() {
    if (!OpenCamera()) return Fail("the virtual camera could not be started or opened");
    const auto started = Clock::now();
    for (int i = 0; i < m_captures; ++i) {
      const int transmit = i % 6;
      const int type = (i / 6) % 2;
      if (!OneCapture(i, transmit, type)) return 1;
      if (i + 1 == std::min(50, m_captures)) Baseline();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return Report(seconds);
  }

 private:
  bool OpenCamera() {
    CamSimOptions options;
    options.seed = static_cast<uint32_t>(m_rng());
    auto cam = std::make_unique<CCamSim>(options);
    if (!cam->Start()) return false;
    cam->SetImageSizeIndex(2);  // 320x240: big enough for several blocks in every mode
    const std::string device = cam->SlavePath();
    {
      std::lock_guard<std::mutex> lock(m_camMutex);
      m_cam = std::move(cam);
    }
    return m_engine.OpenDevice(device, 1, 115200) == 1;
  }

  void ReopenAfterLineLoss() {
    m_engine.ClosePort();
    std::unique_ptr<CCamSim> old;
    {
      std::lock_guard<std::mutex> lock(m_camMutex);
      old = std::move(m_cam);
    }
    old->Stop();
    old.reset();
    ++m_reopens;
    if (!OpenCamera()) Fail("could not reopen the line");
  }

  Fault PickFault() {
    const int roll = static_cast<int>(m_rng() % 100);
    if (roll < 35) return Fault::None;
    if (roll < 38) return Fault::LostStopReply;
    if (roll < 41) return Fault::LineClosed;
    return static_cast<Fault>(1 + (m_rng() % static_cast<unsigned>(Fault::GarbageMidway)));
  }

  // Runs on the worker as the transfer starts: the fault lands on its first answer.
  void OnStatus(const std::string& line) {
    if (line.find("Create file") == std::string::npos) return;
    Fault fault;
    uint32_t at;
    std::vector<uint8_t> junk;
    {
      std::lock_guard<std::mutex> lock(m_faultMutex);
      fault = m_armed;
      at = m_armedAt;
      junk = m_junk;
      m_armed = Fault::None;
    }
    if (fault == Fault::None) return;
    std::lock_guard<std::mutex> lock(m_camMutex);
    switch (fault) {
      case Fault::DropBytes: m_cam->InjectFault({CamSimFault::DropBytes, at, 1 + at % 7, 0}); break;
      // The framing, not the picture bytes: the protocol carries no checksum, so a flipped
      // bit inside the data of an answer of the right length cannot be told from the picture.
      case Fault::CorruptBytes: m_cam->InjectFault({CamSimFault::CorruptBytes, at % 5, 1, 0}); break;
      case Fault::BadStartMarker: m_cam->InjectFault({CamSimFault::CorruptStartMarker, 0, 0, 0}); break;
      case Fault::BadEndMarker: m_cam->InjectFault({CamSimFault::CorruptEndMarker, 0, 0, 0}); break;
      case Fault::ExtraBytes: m_cam->InjectFault({CamSimFault::AppendExtra, 0, 1 + at % 9, 0}); break;
      case Fault::StopShort: m_cam->InjectFault({CamSimFault::StopShort, 0, 1 + at % 3, 0}); break;
      case Fault::Stall: m_cam->InjectFault({CamSimFault::Stall, at, 0, 100 + at}); break;
      case Fault::Garbage: m_cam->InjectFault({CamSimFault::Garbage, 0, 20 + at, 0}); break;
      case Fault::NoAnswer: m_cam->InjectFault({CamSimFault::NeverAnswer, 0, 0, 0}); break;
      case Fault::ReportMidway: m_cam->SendMotionWhileCapturing(); break;
      case Fault::GarbageMidway: m_cam->SendRaw(junk); break;
      case Fault::LineClosed: m_cam->InjectFault({CamSimFault::CloseLine, at, 0, 0}); break;
      default: break;
    }
  }

  // On the worker, before the picture is decoded: what is shown must be what the camera froze.
  void CheckPicture(const std::string& path) {
    const std::vector<uint8_t> shown = e2e::ReadFile(path);
    std::vector<uint8_t> camera;
    {
      std::lock_guard<std::mutex> lock(m_camMutex);
      camera = m_cam->FrozenPicture();
    }
    std::lock_guard<std::mutex> lock(m_faultMutex);
    ++m_shown;
    m_bytesShown += shown.size();
    if (shown != camera) {
      ++m_corrupt;
      size_t first = 0;
      while (first < shown.size() && first < camera.size() && shown[first] == camera[first]) ++first;
      std::fprintf(stderr, "picture %s differs from the camera's (%zu vs %zu bytes, from byte %zu; fault: %s)\n",
                   path.c_str(), shown.size(), camera.size(), first, FaultName(m_current));
    }
  }

  bool OneCapture(int index, int transmit, int type) {
    const Fault fault = PickFault();
    ++m_faults[fault];
    {
      std::lock_guard<std::mutex> lock(m_faultMutex);
      m_current = fault;
    }
    m_host.Clear();
    m_engine.UpdateSettings([&](SessionSettings& s) { s.imageType = type; });
    m_engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = transmit; });
    if (fault == Fault::LostStopReply) {
      std::lock_guard<std::mutex> lock(m_camMutex);
      m_cam->InjectFault({CamSimFault::NeverAnswer, 0, 0, 0});
    } else {
      std::lock_guard<std::mutex> lock(m_faultMutex);
      m_armed = fault;
      m_armedAt = 5 + static_cast<uint32_t>(m_rng() % 400);  // where in the answer it strikes
      m_junk.resize(1 + m_armedAt % 64);
      for (auto& b : m_junk) b = static_cast<uint8_t>(m_rng());
    }
    size_t shownBefore;
    {
      std::lock_guard<std::mutex> lock(m_faultMutex);
      shownBefore = m_shown;
    }
    m_engine.SingleCapture();

    // Wait for the picture or an error; press Stop when the log has gone quiet.
    const auto start = Clock::now();
    auto lastChange = start;
    size_t lines = 0;
    enum { Waiting, Shown, Error, Stopped } outcome = Waiting;
    while (outcome == Waiting) {
      m_host.WaitUntil([&] { return m_host.StatusLines().size() != lines; }, 200);
      const auto now = Clock::now();
      const size_t count = m_host.StatusLines().size();
      if (count != lines) {
        lines = count;
        lastChange = now;
      }
      {
        std::lock_guard<std::mutex> lock(m_faultMutex);
        if (m_shown > shownBefore && m_engine.State().captureMode == CAPTURE_IDLE) outcome = Shown;
      }
      if (outcome == Waiting && m_host.HasStatusLine("Error:") &&
          m_engine.State().captureMode == CAPTURE_IDLE)
        outcome = Error;
      if (outcome != Waiting) break;
      if (now - lastChange > std::chrono::milliseconds(kQuietBeforeStopMs)) {
        m_engine.StopCapture();
        if (!m_host.WaitUntil([&] { return m_engine.State().captureMode == CAPTURE_IDLE; },
                              kStopBoundMs))
          return Fail("capture " + std::to_string(index) + " (" + FaultName(fault) +
                      ") did not stop");
        outcome = Stopped;
      } else if (now - start > std::chrono::milliseconds(kCaptureBoundMs)) {
        return Fail("capture " + std::to_string(index) + " (" + FaultName(fault) + ") hangs");
      }
    }
    // A completed capture lets the camera run again; its timing line follows shortly.
    if (outcome == Shown) {
      m_host.WaitForStatus("Time:", 5000);
      ++m_completed;
    } else if (outcome == Error) {
      ++m_errors;
    } else {
      ++m_stopped;
    }
    {
      std::lock_guard<std::mutex> lock(m_faultMutex);
      m_armed = Fault::None;
    }
    bool lineLost;
    {
      std::lock_guard<std::mutex> lock(m_camMutex);
      lineLost = m_cam->LineClosed();
      if (!lineLost) m_cam->InjectFault({});  // forget a fault that found no answer
    }
    if (lineLost || !m_engine.IsPortOpen()) ReopenAfterLineLoss();
    if ((index + 1) % 100 == 0)
      std::printf("%d captures: %d shown, %d errors, %d stopped, RSS %ld kB, %d threads, %d fds\n",
                  index + 1, m_completed, m_errors, m_stopped, RssKb(), ThreadCount(), FdCount());
    std::fflush(stdout);
    return m_failed == 0;
  }

  void Baseline() {
    m_rssBase = RssKb();
    m_threadsBase = ThreadCount();
    m_fdsBase = FdCount();
  }

  int Report(double seconds) {
    const long rss = RssKb();
    const int threads = ThreadCount(), fds = FdCount();
    std::printf("captures: %d in %.0f s (every Transmit mode, JPEG and NV12)\n", m_captures, seconds);
    std::printf("  picture shown: %d, clear error: %d, stopped by the operator: %d\n", m_completed,
                m_errors, m_stopped);
    std::printf("  pictures compared with the camera's: %zu (%llu bytes), differing: %zu\n", m_shown,
                static_cast<unsigned long long>(m_bytesShown), m_corrupt);
    std::printf("  line closed and reopened: %d times\n", m_reopens);
    std::printf("faults injected:\n");
    for (const auto& [fault, n] : m_faults) std::printf("  %-28s %d\n", FaultName(fault), n);
    std::printf("after capture %d: RSS %ld kB, %d threads, %d fds\n", std::min(50, m_captures),
                m_rssBase, m_threadsBase, m_fdsBase);
    std::printf("after the run:    RSS %ld kB, %d threads, %d fds\n", rss, threads, fds);
    int failures = m_failed;
    if (m_corrupt) failures += Fail("a picture shown differs from the camera's");
    if (m_completed == 0) failures += Fail("no capture completed");
    // Allocator noise stays well inside 8 MB; a leak of a picture per capture does not.
    if (m_captures > 50 && rss > m_rssBase + 8 * 1024 + m_rssBase / 10)
      failures += Fail("RSS grew from " + std::to_string(m_rssBase) + " to " + std::to_string(rss) + " kB");
    if (threads != m_threadsBase) failures += Fail("thread count changed");
    if (fds != m_fdsBase) failures += Fail("open file count changed");
    std::printf(failures ? "SOAK FAILED\n" : "SOAK PASSED\n");
    return failures ? 1 : 0;
  }

  int Fail(const std::string& why) {
    std::fprintf(stderr, "soak: %s\n", why.c_str());
    ++m_failed;
    return 1;
  }

  int m_captures;
  std::mt19937 m_rng;
  testsupport::TempFolder m_dir{"brevant-soak"};
  std::mutex m_camMutex;
  std::unique_ptr<CCamSim> m_cam;
  RigHost m_host;
  CCameraProtocol m_engine{&m_host, nullptr, m_host.Decoder()};  // the picture hook runs in its decode

  std::mutex m_faultMutex;
  Fault m_armed = Fault::None;
  Fault m_current = Fault::None;
  uint32_t m_armedAt = 0;
  std::vector<uint8_t> m_junk;
  size_t m_shown = 0, m_corrupt = 0;
  uint64_t m_bytesShown = 0;
  std::map<Fault, int> m_faults;
  int m_completed = 0, m_errors = 0, m_stopped = 0, m_reopens = 0, m_failed = 0;
  long m_rssBase = 0;
  int m_threadsBase = 0, m_fdsBase = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int captures = 1000;
  uint32_t seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--captures")) captures = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seed")) seed = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
  }
  if (captures <= 0) {
    std::fprintf(stderr, "usage: soak [--captures N] [--seed S]\n");
    return 2;
  }
  return Soak(captures, seed).Run();
}
