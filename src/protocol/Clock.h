#pragma once
// The clock and sleeps used by protocol rules, injectable so tests can drive time.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

class IClock {
 public:
  virtual ~IClock() = default;
  virtual uint32_t TickMs() = 0;              // milliseconds since an arbitrary start
  virtual void SleepMs(unsigned ms) = 0;
  virtual std::tm LocalTime() = 0;            // for log lines and saved names
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
