#include <gtest/gtest.h>

#include "protocol/StatusMessages.h"

TEST(StatusMessages, IndexesAndLogFormat) {
  EXPECT_STREQ(StatusText(0), "Reset success! Init end!");
  EXPECT_STREQ(StatusText(35), "PhotoOnce flush cmd queue");
  EXPECT_STREQ(StatusText(71), "command error!");
  EXPECT_STREQ(StatusText(73), "Read success,image length:%ld!");
  EXPECT_STREQ(StatusText(74), "");
  EXPECT_STREQ(StatusText(-1), "");
  EXPECT_STREQ(g_statusMessages[5].chinese, "拍照时检测到移动!");

  std::tm t{};
  t.tm_hour = 9; t.tm_min = 5; t.tm_sec = 3;
  EXPECT_EQ(FormatLogLine(t, "x", true), "(09:05:03) Error:x");
  t.tm_hour = 23; t.tm_min = 59; t.tm_sec = 59;
  EXPECT_EQ(FormatLogLine(t, "Close port", false), "(23:59:59) Close port");
}
