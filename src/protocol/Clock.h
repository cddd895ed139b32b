#pragma once
// The clock and sleeps used by protocol rules, injectable so tests can drive time.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <thread>

class IClock {
 public:
  virtual ~IClock() = default;
  virtual uint32_t TickMs() = 0;              // milliseconds since an arbitrary start
  virtual void SleepMs(unsigned ms) = 0;
  virtual std::tm LocalTime() = 0;            // for log lines and saved names
  // Waits on cv (lock held by the caller, released while waiting) until pred() holds or
  // ms of this clock's time have passed; returns pred(). Every timed rule of the engine
  // (idle limits, pauses) waits through here, so a test clock can advance its own time
  // instead of sleeping while the waits still wake on data, stop and close.
  virtual bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                       unsigned ms, const std::function<bool()>& pred) {
    return cv.wait_for(lock, std::chrono::milliseconds(ms), pred);
  }
};

class SystemClock : public IClock {
 public:
  uint32_t TickMs() override {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
  void SleepMs(unsigned ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  std::tm LocalTime() override {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
  }
};
