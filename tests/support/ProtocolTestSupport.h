#pragma once
// Test doubles for the protocol engine: a clock that advances instead of sleeping, a
// channel that records frames, and a scripted camera that answers frame-buffer reads.
#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/CameraProtocol.h"
#include "protocol/Clock.h"
#include "protocol/FrameChannel.h"
#include "HeadlessHost.h"
#include "test_support.h"

using testsupport::Hex;
using testsupport::Pattern;
using testsupport::ReadFile;

inline std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

template <typename... Parts>
std::string StrOf(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

inline std::vector<uint8_t> TextBytes(const std::string& s) { return {s.begin(), s.end()}; }

// Time moves only when the engine would wait with nothing happening. onWait runs with
// the engine's lock released, where a real wait would let other threads deliver bytes.
class FakeClock : public IClock {
 public:
  std::atomic<uint32_t> now{100000};
  std::function<void()> onWait;

  uint32_t TickMs() override { return now; }
  void SleepMs(unsigned ms) override { now += ms; }
  std::tm LocalTime() override {
    std::tm t{};
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    return t;
  }
  bool WaitFor(std::condition_variable&, std::unique_lock<std::mutex>& lock, unsigned ms,
               const std::function<bool()>& pred) override {
    if (pred()) return true;
    if (onWait) {
      lock.unlock();
      onWait();
      lock.lock();
      if (pred()) return true;
    }
    now += ms;
    return pred();
  }
};

// Records every frame written; the receive-idle flag is the test's to set.
class FakeChannel : public IFrameChannel {
 public:
  std::function<void(const std::vector<uint8_t>&)> onSend;
  std::atomic<bool> idle{true};

  int Send(const uint8_t* frame, size_t length) override {
    std::vector<uint8_t> f(frame, frame + length);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_frames.push_back(f);
    }
    if (onSend) onSend(f);
    return 1;
  }
  bool ReceiveIdle() override { return idle; }
  void ClearReceiveIdle() override { idle = false; }

  std::vector<std::vector<uint8_t>> Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }
  std::vector<std::string> HexFrames() {
    std::vector<std::string> out;
    for (const auto& f : Frames()) out.push_back(Hex(f));
    return out;
  }
  std::string LastHex() {
    auto f = Frames();
    return f.empty() ? std::string() : Hex(f.back());
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_frames;
};

// A camera behind the fake channel: answers frame-buffer reads from its pictures (one per
// frame selector) and the stop/length/resume commands of a capture. Answers are queued
// and delivered in chunks when the engine waits (FakeClock::onWait) or on Deliver().
class FakeCamera {
 public:
  enum class Fault { None, ShortByOne, BadStartMarker, BadEndMarker, ExtraBytes, Silent };

  FakeCamera(CCameraProtocol& engine, FakeChannel& channel, FakeClock* clock = nullptr)
      : m_engine(engine), m_channel(channel) {
    channel.onSend = [this](const std::vector<uint8_t>& f) { OnRequest(f); };
    if (clock) clock->onWait = [this] { DeliverChunk(); };
  }

  uint8_t sn = 0;
  size_t chunk = 4096;  // bytes handed over per delivery
  bool answerCaptureCommands = true;
  std::map<uint8_t, std::vector<uint8_t>> pictures;  // by frame selector
  std::map<int, Fault> readFaults;                   // by frame-buffer read number (0-based)
  std::function<void(int readNumber)> onRead;        // before a read is answered
  uint16_t width = 0, height = 0;                    // reported by the long length reply

  // Forgets pictures, faults, requests and undelivered bytes.
  void Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    pictures.clear();
    readFaults.clear();
    onRead = nullptr;
    m_pending.clear();
    m_reads = 0;
    m_requests.clear();
  }

  int Reads() const { return m_reads; }
  std::vector<std::pair<uint32_t, uint32_t>> ReadRequests() const { return m_requests; }

  // Hands over everything queued.
  void Deliver() {
    while (DeliverChunk()) {
    }
  }
  bool DeliverChunk() {
    std::vector<uint8_t> piece;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_pending.empty()) return false;
      const size_t k = std::min(chunk, m_pending.size());
      piece.assign(m_pending.begin(), m_pending.begin() + static_cast<long>(k));
      m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(k));
    }
    m_engine.AppendReceived(piece.data(), static_cast<unsigned>(piece.size()));
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_pending.empty()) m_channel.idle = true;
    }
    return true;
  }
  void Queue(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
  }

 private:
  void OnRequest(const std::vector<uint8_t>& f) {
    if (f.size() < 4 || f[0] != 0x56) return;
    const uint8_t cmd = f[2];
    if (cmd == 0x32 && f.size() == 16) {
      const int number = m_reads++;
      const uint8_t selector = f[4];
      const uint32_t address = (uint32_t{f[6]} << 24) | (f[7] << 16) | (f[8] << 8) | f[9];
      const uint32_t length = (uint32_t{f[10]} << 24) | (f[11] << 16) | (f[12] << 8) | f[13];
      m_requests.emplace_back(address, length);
      if (onRead) onRead(number);
      const Fault fault = readFaults.count(number) ? readFaults[number] : Fault::None;
      if (fault == Fault::Silent) return;
      const auto& pic = pictures[selector];
      std::vector<uint8_t> a{0x76, sn, 0x32, 0x00, 0x00};
      for (uint32_t i = 0; i < length; ++i)
        a.push_back(address + i < pic.size() ? pic[address + i] : 0);
      a.insert(a.end(), {0x76, sn, 0x32, 0x00, 0x00});
      if (fault == Fault::ShortByOne) a.pop_back();
      if (fault == Fault::BadStartMarker) a[2] = 0x33;
      if (fault == Fault::BadEndMarker) a[a.size() - 1] = 0x01;
      if (fault == Fault::ExtraBytes) a.insert(a.end(), {0x11, 0x22, 0x33});
      Queue(a);
      return;
    }
    if (!answerCaptureCommands) return;
    if (cmd == 0x36) {
      Queue({0x76, sn, 0x36, 0x00, 0x00});
    } else if (cmd == 0x34) {
      const uint8_t selector = f[3] == 0x01 ? f[4] : 0;
      const uint32_t len = static_cast<uint32_t>(pictures[selector].size());
      std::vector<uint8_t> a{0x76, sn, 0x34, 0x00, static_cast<uint8_t>(f[3] == 0x02 ? 0x0A : 0x04),
                             uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)};
      if (f[3] == 0x02)
        a.insert(a.end(), {uint8_t(width >> 8), uint8_t(width), uint8_t(height >> 8), uint8_t(height)});
      Queue(a);
    }
  }

  CCameraProtocol& m_engine;
  FakeChannel& m_channel;
  std::mutex m_mutex;
  std::deque<uint8_t> m_pending;
  int m_reads = 0;
  std::vector<std::pair<uint32_t, uint32_t>> m_requests;
};

// The engine's decoder stand-in: reports the picture decoded at a fixed size unless told to
// fail.
inline PictureDecoder FakeDecoder(bool ok = true, int w = 640, int h = 480) {
  return [=](const std::string&, PictureKind, int, int, MessageSink*) {
    PictureResult r;
    r.ok = ok;
    r.width = ok ? w : 0;
    r.height = ok ? h : 0;
    return r;
  };
}

// One command through the engine's single command path.
inline CameraCommand Cmd(int code, unsigned value = 0) {
  return MakeCommand(code, value);
}
inline bool Issue(CCameraProtocol& engine, int code, unsigned value = 0) {
  return engine.Issue(Cmd(code, value));
}
