#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "protocol/Event.h"

using namespace std::chrono_literals;

TEST(Event, WaitAnyPrefersLowestIndexAndWakesOnSet) {
  Event exitEv, sendEv, captureEv;
  captureEv.Set();
  sendEv.Set();
  EXPECT_EQ(Event::WaitAny({&exitEv, &sendEv, &captureEv}), 1);
  exitEv.Set();
  EXPECT_EQ(Event::WaitAny({&exitEv, &sendEv, &captureEv}), 0);
  exitEv.Reset();
  sendEv.Reset();
  captureEv.Reset();
  EXPECT_EQ(Event::WaitAny({&exitEv, &sendEv}, 1ms), Event::kTimeout);

  std::thread setter([&] { sendEv.Set(); });
  EXPECT_EQ(Event::WaitAny({&exitEv, &sendEv, &captureEv}), 1);  // no timeout: must wake
  setter.join();
  EXPECT_TRUE(sendEv.IsSet());  // manual reset: stays set after the wait
}
