#pragma once
// Low receive latency on USB serial adapters. An FTDI-style adapter holds received bytes
// until a 62-byte packet fills or its latency timer (16 ms by default) expires, which can
// cost a block read most of its speed. On open the channel asks the driver for low latency
// and, where sysfs offers a writable latency_timer, sets it to 1 ms; on close it puts back
// whatever it changed.
#include <string>

struct LowLatencyState {
  bool flagChanged = false;  // ASYNC_LOW_LATENCY was off and we set it
  int oldFlags = 0;
  std::string timerPath;     // the sysfs latency_timer we lowered, or empty
  int oldTimer = 0;          // its value before, in ms
};

struct LowLatencyOutcome {
  LowLatencyState state;
  // Empty when the device now delivers with low latency (or already did); otherwise one
  // sentence for the operator: what could not be changed, why, and what to do.
  std::string problem;
};

// device: the path opened (symlinks such as /dev/serial/by-id/... are followed to find the
// tty's name in sysfs). sysRoot is injectable for tests.
LowLatencyOutcome RequestLowLatency(int fd, const std::string& device,
                                    const std::string& sysRoot = "/sys");
// Undoes what RequestLowLatency changed; fd must still be open. Failures are ignored: the
// device may already be gone.
void RestoreLowLatency(int fd, const LowLatencyState& state);
