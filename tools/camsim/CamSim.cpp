#include "camsim/CamSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

#include "camsim/CamSimCamera.h"
#include "camsim/CamSimControl.h"
#include "camsim/CamSimReplay.h"
#include "camsim/CamSimWire.h"

using namespace camsim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kReceivedLogCap = 100000;  // frames kept for ReceivedRequests

speed_t SpeedFor(unsigned baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

bool MakeRaw(int fd, unsigned baud) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  if (speed_t speed = SpeedFor(baud); speed != B0) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  }
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::string Abbreviated(const Bytes& bytes) {
  if (bytes.size() <= 24) return ToHex(bytes);
  return ToHex(bytes.data(), 24) + " ... (" + std::to_string(bytes.size()) + " bytes)";
}

}  // namespace

struct CCamSim::Impl {
  explicit Impl(CamSimOptions o) : options(std::move(o)), camera(options), random(options.seed) {
    baud = options.baud;
    delayMs = options.processingDelayMs;
  }

  struct Pending {
    CameraAnswer answer;
    Clock::time_point due;
  };

  CamSimOptions options;

  // State lock: the camera, the queues, the received log and the line flags.
  mutable std::mutex lock;
  std::condition_variable wakeWriter;        // queue, stop, hang-up, pauses
  mutable std::condition_variable changed;   // received frames, idle, writer parked
  CCamSimCamera camera;
  std::mt19937 random;
  std::deque<Pending> queue;
  bool writerBusy = false;
  bool adapterHolding = false;  // the adapter model holds a partial packet
  std::list<CamSimFault> faults;
  std::deque<Bytes> received;
  size_t receivedCount = 0;
  size_t noiseCount = 0;
  unsigned baud = 0;
  unsigned delayMs = 1;

  // Line.
  int lineFd = -1;       // pty master, or the attached device
  int keepSlaveFd = -1;  // keeps the pty alive while the tool has it closed
  int wakeFd = -1;       // eventfd: set once to stop or hang up; both threads poll it
  std::string slavePath;
  bool started = false;
  bool stopping = false;
  bool hungUp = false;
  bool writerParked = false;
  bool muted = false;  // fallen silent: neither reads nor writes until unmuted
  std::thread reader, writer;
  CRequestParser parser;

  // Replay: answers come from a recording instead of the camera.
  std::optional<CReplayScript> replay;
  bool replayTiming = true;
  size_t replayMisses = 0;

  void Log(const char* direction, const std::string& text) const {
    if (options.verbose) std::fprintf(stderr, "camsim %s %s\n", direction, text.c_str());
  }

  // ---- Start / stop ----

  bool OpenLine() {
    if (!options.attachDevice.empty()) {
      lineFd = open(options.attachDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (lineFd < 0) return false;
      MakeRaw(lineFd, options.baud);
      slavePath = options.attachDevice;
      return true;
    }
    lineFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (lineFd < 0) return false;
    char name[128];
    if (grantpt(lineFd) != 0 || unlockpt(lineFd) != 0 || ptsname_r(lineFd, name, sizeof name) != 0) {
      CloseLineFds();
      return false;
    }
    slavePath = name;
    keepSlaveFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keepSlaveFd < 0 || !MakeRaw(keepSlaveFd, options.baud)) {
      CloseLineFds();
      return false;
    }
    fcntl(lineFd, F_SETFL, fcntl(lineFd, F_GETFL) | O_NONBLOCK);
    return true;
  }

  void CloseLineFds() {
    if (lineFd >= 0) close(lineFd);
    if (keepSlaveFd >= 0) close(keepSlaveFd);
    lineFd = keepSlaveFd = -1;
  }

  bool Start() {
    std::lock_guard<std::mutex> guard(lock);
    if (started) return true;
    if (!OpenLine()) return false;
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
      CloseLineFds();
      return false;
    }
    started = true;
    stopping = hungUp = writerParked = false;
    parser = CRequestParser();
    reader = std::thread([this] { ReaderLoop(); });
    writer = std::thread([this] { WriterLoop(); });
    return true;
  }

  void SignalWake() {
    uint64_t one = 1;
    if (wakeFd >= 0) (void)!write(wakeFd, &one, sizeof one);
    wakeWriter.notify_all();
    changed.notify_all();
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (!started) return;
      stopping = true;
      SignalWake();
    }
    if (reader.joinable()) reader.join();
    if (writer.joinable()) writer.join();
    std::lock_guard<std::mutex> guard(lock);
    CloseLineFds();
    if (wakeFd >= 0) close(wakeFd);
    wakeFd = -1;
    started = false;
    hungUp = true;
    queue.clear();
    changed.notify_all();
  }

  // Called with the lock held. The reader closes the line once the writer has let go of it.
  void HangUpLocked() {
    if (hungUp) return;
    hungUp = true;
    queue.clear();
    Log("--", "line hung up");
    SignalWake();
  }

  // ---- Reader: requests in ----

  void ReaderLoop() {
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
      pollfd fds[2] = {{lineFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      int r = poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || (fds[1].revents & POLLIN)) break;
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = read(lineFd, buffer.data(), buffer.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
          // The attached device went away (a pty master never gets here: a slave stays open).
          std::lock_guard<std::mutex> guard(lock);
          HangUpLocked();
          break;
        }
        std::unique_lock<std::mutex> guard(lock);
        // A muted camera leaves requests unread; these wait until it speaks again.
        wakeWriter.wait(guard, [this] { return !muted || Interrupted(); });
        if (Interrupted()) continue;
        if (HearsNoise()) {
          OnNoise(static_cast<size_t>(n));
          continue;
        }
        parser.Feed(buffer.data(), static_cast<size_t>(n));
        Bytes frame;
        bool wellFormed = false;
        while (!hungUp && parser.Next(frame, wellFormed)) OnFrame(frame, wellFormed);
      }
    }
    std::unique_lock<std::mutex> guard(lock);
    if (hungUp && !stopping) {
      changed.wait(guard, [this] { return writerParked || stopping; });
      if (!stopping) CloseLineFds();  // the cable is pulled: the tool sees the hang-up
    }
  }

  // The rate the tool set on its side of the pty, when it differs from the camera's own
  // (lock held). An attached device shows only our own settings, so it is never judged.
  unsigned MismatchedToolRate() const {
    if (options.anyRate || baud == 0 || keepSlaveFd < 0) return 0;
    const unsigned tool = ToolLineSpeed(keepSlaveFd);
    return tool != 0 && tool != baud ? tool : 0;
  }
  bool HearsNoise() const { return MismatchedToolRate() != 0; }

  // Bytes at the wrong rate: the UART sees framing errors, so nothing parses and nothing is
  // answered; a half-read request before them is lost too.
  void OnNoise(size_t bytes) {
    ++noiseCount;
    parser = CRequestParser();
    changed.notify_all();
    Log("<-", std::to_string(bytes) + " bytes of noise (the tool is at " +
                  std::to_string(MismatchedToolRate()) + ", the camera at " + std::to_string(baud) + ")");
  }

  template <class Pred>
  CamSimFault TakeFault(Pred matches) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (matches(*it)) {
        CamSimFault f = *it;
        faults.erase(it);
        return f;
      }
    }
    return {};
  }

  void OnFrame(const Bytes& frame, bool wellFormed) {
    received.push_back(frame);
    if (received.size() > kReceivedLogCap) received.pop_front();
    ++receivedCount;
    changed.notify_all();
    Log("<-", Abbreviated(frame));
    if (replay) {
      Replay(frame);
      return;
    }
    if (frame[1] != camera.serial) return;  // addressed to another camera: stay silent
    CamSimFault f = TakeFault([](const CamSimFault& x) {
      return x.kind == CamSimFault::NeverAnswer || x.kind == CamSimFault::MotionInstead;
    });
    if (f.kind == CamSimFault::NeverAnswer) {
      Log("--", "request swallowed");
      return;
    }
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMs);
    if (f.kind == CamSimFault::MotionInstead) {
      Enqueue({camera.MotionWhileCapturing(), 0}, due);
      return;
    }
    for (CameraAnswer& a : camera.Handle(frame, wellFormed)) Enqueue(std::move(a), due);
  }

  // Lock held. The recorded camera's reply to this arrival of the request, at its times.
  void Replay(const Bytes& frame) {
    const ReplayExchange* exchange = replay->Take(frame);
    if (!exchange) {
      ++replayMisses;
      std::fprintf(stderr, "camsim: replay: no recorded reply for %s; silent\n",
                   Abbreviated(frame).c_str());
      return;
    }
    const Clock::time_point arrived = Clock::now();
    for (const ReplayChunk& chunk : exchange->reply) {
      CameraAnswer answer;
      answer.answer.AppendShared(chunk.bytes, 0, chunk.bytes->size());
      answer.answer.what = "recorded reply";
      Enqueue(std::move(answer),
              replayTiming ? arrived + std::chrono::microseconds(chunk.afterUs) : arrived);
    }
  }

  void Enqueue(CameraAnswer answer, Clock::time_point due) {
    if (hungUp || !started) return;
    queue.push_back({std::move(answer), due});
    wakeWriter.notify_all();
  }

  void EnqueueNow(Answer answer) { Enqueue({std::move(answer), 0}, Clock::now()); }

  // ---- Writer: answers out, paced ----

  Clock::time_point periodStart{};
  uint64_t periodSent = 0;
  unsigned periodBaud = 0;

  bool Interrupted() const { return stopping || hungUp; }

  unsigned CurrentBaud() const {
    std::lock_guard<std::mutex> guard(lock);
    return baud;
  }

  // ---- USB adapter model (writer thread only) ----

  static constexpr size_t kAdapterPacket = 62;  // payload of one full-speed USB packet
  Bytes held;                                    // the partial packet the adapter holds
  Clock::time_point heldSince{};

  Clock::time_point AdapterFlushAt() const {
    return heldSince + std::chrono::milliseconds(options.adapterLatencyMs);
  }

  void SetHolding(bool holding) {
    std::lock_guard<std::mutex> guard(lock);
    adapterHolding = holding;
    if (!holding) changed.notify_all();
  }

  // The latency timer ran out: the partial packet goes to the tool.
  bool FlushHeld() {
    if (held.empty()) return true;
    Bytes out;
    out.swap(held);
    SetHolding(false);
    return WriteAll(out.data(), out.size());
  }

  // Bytes the adapter received from the camera: full packets go on at once, the rest waits.
  bool Deliver(const uint8_t* data, size_t length) {
    if (options.adapterLatencyMs == 0) return WriteAll(data, length);
    if (held.empty() && length > 0) heldSince = Clock::now();
    held.insert(held.end(), data, data + length);
    const size_t full = held.size() / kAdapterPacket * kAdapterPacket;
    if (full > 0) {
      if (!WriteAll(held.data(), full)) return false;
      held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(full));
      heldSince = Clock::now();
    }
    SetHolding(!held.empty());
    return true;
  }

  // Waits with the lock held until pred holds or `until` passes (forever when `until` is
  // empty), delivering a held partial packet when its timer runs out meanwhile. True when
  // pred became true.
  template <typename Pred>
  bool WaitDelivering(std::unique_lock<std::mutex>& guard, std::optional<Clock::time_point> until,
                      Pred pred) {
    for (;;) {
      if (!held.empty() && (!until || AdapterFlushAt() < *until)) {
        if (wakeWriter.wait_until(guard, AdapterFlushAt(), pred)) return true;
        guard.unlock();
        FlushHeld();
        guard.lock();
        continue;
      }
      if (!until) {
        wakeWriter.wait(guard, pred);
        return true;
      }
      return wakeWriter.wait_until(guard, *until, pred);
    }
  }

  // Sleeps until `when` unless stopped or hung up; true when the time was reached.
  bool SleepUntil(Clock::time_point when) {
    std::unique_lock<std::mutex> guard(lock);
    return !WaitDelivering(guard, when, [this] { return Interrupted(); });
  }

  // Writes all bytes, waiting for room in the line; false when the line is gone.
  bool WriteAll(const uint8_t* data, size_t length) {
    while (length > 0) {
      ssize_t n = write(lineFd, data, length);
      if (n > 0) {
        data += n;
        length -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return false;
      pollfd fds[2] = {{lineFd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
      if (fds[1].revents & POLLIN) return false;
      if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
    }
    return true;
  }

  // Waits while muted; false when stopped or hung up meanwhile.
  bool WaitUnmuted() {
    std::unique_lock<std::mutex> guard(lock);
    WaitDelivering(guard, std::nullopt, [this] { return !muted || Interrupted(); });
    return !Interrupted();
  }

  // One chunk at the line rate: it goes out once the line has carried everything before it.
  bool WritePaced(const uint8_t* data, size_t length) {
    if (!WaitUnmuted()) return false;
    const unsigned rate = CurrentBaud();
    if (rate != 0) {
      Clock::time_point now = Clock::now();
      auto lineDone = periodStart + std::chrono::microseconds(PacedDurationUs(periodSent, periodBaud));
      if (rate != periodBaud || now > lineDone + std::chrono::milliseconds(20)) {
        periodStart = now;  // the line was idle: no credit for the silence
        periodSent = 0;
        periodBaud = rate;
      } else if (now < lineDone && !SleepUntil(lineDone)) {
        return false;
      }
      periodSent += length;
    }
    return Deliver(data, length);
  }

  // A pty hang-up discards what the tool has not read yet, while a pulled cable still
  // delivers the bytes already on the wire: give the tool up to a second to take them.
  void LetTheToolRead() {
    if (keepSlaveFd < 0) return;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    // First a moment for the kernel to move the written bytes to the tool's side.
    if (!SleepUntil(Clock::now() + std::chrono::milliseconds(10))) return;
    for (;;) {
      int queued = 0;
      if (ioctl(keepSlaveFd, TIOCINQ, &queued) != 0 || queued == 0) return;
      if (Clock::now() >= deadline || !SleepUntil(Clock::now() + std::chrono::milliseconds(5))) return;
    }
  }

  bool Execute(const std::vector<WriteOp>& plan, const Answer& answer) {
    for (const WriteOp& op : plan) {
      switch (op.kind) {
        case WriteOp::Copy: {
          size_t pos = op.offset, end = op.offset + op.length;
          while (pos < end) {
            auto span = answer.At(pos, std::min(end - pos, PacingChunk(CurrentBaud())));
            if (!WritePaced(span.data(), span.size())) return false;
            pos += span.size();
          }
          break;
        }
        case WriteOp::Literal: {
          size_t pos = 0;
          while (pos < op.bytes.size()) {
            size_t n = std::min(op.bytes.size() - pos, PacingChunk(CurrentBaud()));
            if (!WritePaced(op.bytes.data() + pos, n)) return false;
            pos += n;
          }
          break;
        }
        case WriteOp::Pause:
          Log("--", "stall " + std::to_string(op.ms) + " ms");
          if (!SleepUntil(Clock::now() + std::chrono::milliseconds(op.ms))) return false;
          periodSent = 0;
          periodStart = Clock::now();
          break;
        case WriteOp::HangUp: {
          FlushHeld();  // the adapter still passes on what it had before the cable went
          LetTheToolRead();
          std::lock_guard<std::mutex> guard(lock);
          HangUpLocked();
          return false;
        }
        case WriteOp::Mute: {
          std::lock_guard<std::mutex> guard(lock);
          muted = true;
          Log("--", "muted");
          break;
        }
      }
    }
    return true;
  }

  // What a tool listening at `tool` makes of an answer sent at the camera's rate: about as
  // many characters as fit in the time, none of them the answer.
  CamSimFault Garbled(const Answer& answer, unsigned tool) const {
    CamSimFault f;
    f.kind = CamSimFault::Garbage;
    const uint64_t scaled = static_cast<uint64_t>(answer.Size()) * tool / baud;
    f.count = static_cast<uint32_t>(std::clamp<uint64_t>(scaled, 1, answer.Size() * 4 + 1));
    return f;
  }

  void WriterLoop() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      WaitDelivering(guard, std::nullopt, [this] { return Interrupted() || !queue.empty(); });
      if (Interrupted()) break;
      Pending next = std::move(queue.front());
      queue.pop_front();
      writerBusy = true;
      if (WaitDelivering(guard, next.due, [this] { return Interrupted(); })) break;
      Answer& answer = next.answer.answer;
      CamSimFault fault = TakeFault([&](const CamSimFault& f) { return FaultAppliesTo(f, answer); });
      if (const unsigned tool = MismatchedToolRate()) fault = Garbled(answer, tool);
      std::vector<WriteOp> plan = PlanAnswer(answer, fault, random);
      if (options.verbose) {
        std::string text = answer.what.empty() ? Abbreviated(answer.Flatten()) : answer.what + ", " +
                           std::to_string(answer.Size()) + " bytes";
        if (fault.kind != CamSimFault::None) text += " [fault " + std::string(FaultName(fault.kind)) + "]";
        Log("->", text);
      }
      guard.unlock();
      bool sent = Execute(plan, answer);
      guard.lock();
      if (sent && next.answer.switchBaudTo && baud != 0) baud = next.answer.switchBaudTo;
      writerBusy = false;
      changed.notify_all();
      if (!sent && Interrupted()) break;
    }
    writerBusy = false;
    writerParked = true;
    changed.notify_all();
  }
};

// ---- Public face ----

bool CCamSim::LoadReplay(const std::string& path, bool recordedTiming, std::string& error) {
  CReplayScript script;
  if (!script.Load(path, error)) return false;
  if (script.LeadingBytes() != 0)
    std::fprintf(stderr, "camsim: replay: the %zu bytes recorded before the first request are not sent\n",
                 script.LeadingBytes());
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->replay = std::move(script);
  m_pImpl->replayTiming = recordedTiming;
  m_pImpl->replayMisses = 0;
  return true;
}

size_t CCamSim::ReplayMisses() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->replayMisses;
}

CCamSim::CCamSim(CamSimOptions options) : m_pImpl(std::make_unique<Impl>(std::move(options))) {}
CCamSim::~CCamSim() { Stop(); }

bool CCamSim::Start() { return m_pImpl->Start(); }
void CCamSim::Stop() { m_pImpl->Stop(); }

std::string CCamSim::SlavePath() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->slavePath;
}

std::vector<std::vector<uint8_t>> CCamSim::ReceivedRequests() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return {m_pImpl->received.begin(), m_pImpl->received.end()};
}

std::vector<std::string> CCamSim::ReceivedHex() const {
  std::vector<std::string> out;
  for (const auto& frame : ReceivedRequests()) out.push_back(ToHex(frame));
  return out;
}

void CCamSim::ClearReceived() {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->received.clear();
  m_pImpl->receivedCount = 0;
}

size_t CCamSim::ReceivedCount() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->receivedCount;
}

bool CCamSim::WaitForRequests(size_t count, unsigned timeoutMs) const {
  std::unique_lock<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                   [&] { return m_pImpl->receivedCount >= count; });
}

bool CCamSim::WaitIdle(unsigned timeoutMs) const {
  std::unique_lock<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    return m_pImpl->queue.empty() && !m_pImpl->writerBusy && !m_pImpl->adapterHolding;
  });
}

void CCamSim::SetMuted(bool muted) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->muted = muted;
  m_pImpl->Log("--", muted ? "muted" : "unmuted");
  m_pImpl->wakeWriter.notify_all();
}

bool CCamSim::Muted() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->muted;
}

size_t CCamSim::UnreadBytes() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  int queued = 0;
  if (m_pImpl->lineFd < 0 || ioctl(m_pImpl->lineFd, FIONREAD, &queued) != 0) return 0;
  return static_cast<size_t>(queued);
}

bool CCamSim::LineClosed() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->hungUp || !m_pImpl->started;
}

void CCamSim::SetModel(const std::string& versionText) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->camera.model = versionText;
}

void CCamSim::SetSerial(uint8_t serial) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->camera.serial = serial;
}

void CCamSim::SetBaud(unsigned baud) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->baud = baud;
  m_pImpl->camera.powerOnBaud = baud;
}

unsigned CCamSim::Baud() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->baud;
}

size_t CCamSim::NoiseCount() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->noiseCount;
}

void CCamSim::SetProcessingDelay(unsigned ms) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->delayMs = ms;
}

int CCamSim::ImageSizeIndex() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->camera.sizeIndex;
}

void CCamSim::SetImageSizeIndex(int k) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  if (k >= 1 && k <= kImageSizeCount) m_pImpl->camera.sizeIndex = k;
}

int CCamSim::ImageType() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->camera.imageType;
}

void CCamSim::SetNextPicture(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->camera.nextPicture = bytes;
}

std::vector<uint8_t> CCamSim::FrozenPicture() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  const auto& frozen = m_pImpl->camera.frozen;
  return frozen && frozen->bytes ? *frozen->bytes : std::vector<uint8_t>{};
}

void CCamSim::SetStoredPictures(const std::vector<std::vector<uint8_t>>& pictures) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->camera.SetStored(pictures);
}

std::vector<uint8_t> CCamSim::StoredPicture(int index) const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  const Picture* p = m_pImpl->camera.StoredAt(index);
  return p && p->bytes ? *p->bytes : std::vector<uint8_t>{};
}

int CCamSim::StoredPictureCount() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->camera.storedCount;
}

int CCamSim::FrameCounter() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return static_cast<int>(m_pImpl->camera.frameCounter - m_pImpl->options.seed);
}

void CCamSim::SetCrop(const Crop& crop) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->camera.crop = crop;
}

CCamSim::Crop CCamSim::GetCrop() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  return m_pImpl->camera.crop;
}

void CCamSim::SetCropStatus(uint8_t status) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  if (status) m_pImpl->camera.forcedCropStatus = status;
  else m_pImpl->camera.forcedCropStatus.reset();
}

void CCamSim::SetImageParamsStatus(uint8_t status) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  if (status) m_pImpl->camera.forcedImageParamsStatus = status;
  else m_pImpl->camera.forcedImageParamsStatus.reset();
}

void CCamSim::SetReplyStatus(int command, uint8_t status) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->camera.forcedStatus[static_cast<uint8_t>(command)] = status;
}

void CCamSim::SendPowerOnBanner() {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->EnqueueNow(m_pImpl->camera.PowerOnBanner());
}

void CCamSim::SendMotionReport(uint8_t stored) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->EnqueueNow(m_pImpl->camera.MotionReport(stored));
}

void CCamSim::SendPersonVehicleReport(uint8_t kind, uint8_t stored, uint8_t count) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->EnqueueNow(m_pImpl->camera.PersonVehicleReport(kind, stored, count));
}

void CCamSim::SendAutoCaptureReport(uint8_t count) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->EnqueueNow(m_pImpl->camera.AutoCaptureReport(count));
}

void CCamSim::SendMotionWhileCapturing() {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  m_pImpl->EnqueueNow(m_pImpl->camera.MotionWhileCapturing());
}

void CCamSim::SendRaw(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  Answer a;
  a.Append(bytes);
  m_pImpl->EnqueueNow(std::move(a));
}

void CCamSim::InjectFault(const CamSimFault& fault) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  if (fault.kind == CamSimFault::None) {
    m_pImpl->faults.clear();
    return;
  }
  m_pImpl->faults.push_back(fault);
}

void CCamSim::HangUp() {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  if (m_pImpl->started) m_pImpl->HangUpLocked();
}

std::string CCamSim::Control(const std::string& line) { return RunControlCommand(*this, line); }
