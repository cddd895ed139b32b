#pragma once
// The protocol engine on the real serial channel against the virtual camera: a pty, the
// monitor, worker and sender threads, the real decoder.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "camsim/CamSim.h"
#include "protocol/CameraProtocol.h"
#include "HeadlessHost.h"
#include "test_support.h"

namespace e2e {

constexpr unsigned kWait = 30000;  // generous: the machines are shared and noisy

using testsupport::Pattern;
using testsupport::ReadFile;

// A HeadlessHost that lets a test act at the moment a line is logged or a picture shown
// (on the worker thread, where the engine is between two steps).
class RigHost : public HeadlessHost {
 public:
  void OnStatus(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(m_hookMutex);
    m_onStatus = std::move(hook);
  }
  void OnPicture(std::function<void(const std::string& path)> hook) {
    std::lock_guard<std::mutex> lock(m_hookMutex);
    m_onPicture = std::move(hook);
  }
  // Runs as a frame is traced on its way out, on the thread that issues it.
  void OnSent(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_hookMutex);
    m_onSent = std::move(hook);
  }
  void TraceBytes(bool transmit, const uint8_t* bytes, size_t count) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(m_hookMutex);
      hook = m_onSent;
    }
    if (hook && transmit) hook();
    HeadlessHost::TraceBytes(transmit, bytes, count);
  }
  void ShowStatusLine(const std::string& line) override {
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> lock(m_hookMutex);
      hook = m_onStatus;
    }
    if (hook) hook(line);
    HeadlessHost::ShowStatusLine(line);
  }
  // The engine's decoder: the picture hook runs first, as the decode of a finished
  // picture starts.
  PictureDecoder Decoder() {
    return [this](const std::string& path, PictureKind kind, int w, int h, MessageSink* boxes) {
      std::function<void(const std::string&)> hook;
      {
        std::lock_guard<std::mutex> lock(m_hookMutex);
        hook = m_onPicture;
      }
      if (hook) hook(path);
      return DecodePicture(path, kind, w, h, boxes);
    };
  }

 private:
  std::mutex m_hookMutex;
  std::function<void(const std::string&)> m_onStatus;
  std::function<void(const std::string&)> m_onPicture;
  std::function<void()> m_onSent;
};

class Rig {
 public:
  // clock: the engine's clock (a test's own, to drive its timed rules); none is the system's.
  explicit Rig(CamSimOptions options = {}, IClock* clock = nullptr)
      : cam(options), engine(&host, clock, host.Decoder()) {
    started = cam.Start();
    host.KeepPictureBytes(true);
    // What the camera holds at the moment a picture is shown: the live frame it froze
    // (it lets go of it once the capture is resumed).
    host.OnPicture([this](const std::string&) {
      std::lock_guard<std::mutex> lock(m_heldMutex);
      m_held.push_back(cam.FrozenPicture());
    });
    engine.UpdateSettings([&](SessionSettings& s) { s.savePath = Dir(); });
    engine.StartSender();
  }
  ~Rig() {
    engine.StopSender();
    engine.ClosePort();
    cam.Stop();
  }

  std::string Dir() const { return m_dir.Slash(); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Dir() + name); }
  bool Open(unsigned baud = 115200) {
    return started && engine.OpenDevice(cam.SlavePath(), 1, baud) == 1;
  }
  // Issue as a button handler does, and wait for the command's result.
  bool Command(int code, unsigned value = 0) {
    const size_t before = host.Results().size();
    if (!engine.Issue(MakeCommand(code, value))) return false;
    auto result = host.WaitForResult(code, kWait, before);
    return result && result->Ok();
  }
  std::vector<std::vector<uint8_t>> Held() {
    std::lock_guard<std::mutex> lock(m_heldMutex);
    return m_held;
  }
  size_t Timings() const { return host.StatusLinesContaining("Time:").size(); }
  // One "Single Capture" through to the timing line.
  bool Capture(int transmitMode, unsigned timeoutMs = kWait) {
    const size_t before = Timings();
    engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = transmitMode; });
    engine.SingleCapture();
    return host.WaitForStatusCount("Time:", before + 1, timeoutMs);
  }
  // Frame-buffer reads the camera received, as (address, length).
  std::vector<std::pair<uint32_t, uint32_t>> Reads() const {
    std::vector<std::pair<uint32_t, uint32_t>> reads;
    for (const auto& f : cam.ReceivedRequests())
      if (f.size() == 16 && f[2] == 0x32)
        reads.emplace_back((uint32_t{f[6]} << 24) | (f[7] << 16) | (f[8] << 8) | f[9],
                           (uint32_t{f[10]} << 24) | (f[11] << 16) | (f[12] << 8) | f[13]);
    return reads;
  }

  CCamSim cam;
  RigHost host;
  CCameraProtocol engine;
  bool started = false;

 private:
  testsupport::TempFolder m_dir{"brevant-e2e"};
  std::mutex m_heldMutex;
  std::vector<std::vector<uint8_t>> m_held;
};

}  // namespace e2e
