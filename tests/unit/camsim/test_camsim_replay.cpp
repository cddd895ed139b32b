// What a replay is made of: the exchanges read back from a saved trace (in every format the
// trace model writes) and from a capture, and how arrivals of a request take them.
#include <gtest/gtest.h>

#include "camsim/CamSimReplay.h"
#include "common/Pcapng.h"
#include "core/TraceModel.h"
#include "test_files.h"
#include "test_support.h"

using namespace camsim;

namespace {

Bytes Joined(const ReplayExchange& exchange) {
  Bytes all;
  for (const ReplayChunk& chunk : exchange.reply) all.insert(all.end(), chunk.bytes->begin(), chunk.bytes->end());
  return all;
}

}  // namespace

TEST(CamSimReplay, ReadsEveryFormatOfASavedTrace) {
  const Bytes banner = {'I', 'n', 'i', 't'};
  const Bytes version = {0x56, 0x00, 0x11, 0x00};
  const Bytes versionReply = {0x76, 0x00, 0x11, 0x00, 0x03, 'A', 'B', 'C'};
  const Bytes stop = {0x56, 0x00, 0x36, 0x01, 0x00};
  const Bytes first = {0x76, 0x00, 0x36, 0x00, 0x00};
  const Bytes second = testsupport::Pattern(100);  // over several lines
  const Bytes length = {0x56, 0x00, 0x34, 0x01, 0x00};  // never answered
  const int64_t t0 = 1'765'000'000'000;  // ms

  for (const TraceFormat format : {TraceFormat{}, TraceFormat{true, false, false}, TraceFormat{false, true, false},
                                   TraceFormat{true, true, true}}) {
    SCOPED_TRACE(testing::Message() << "ascii " << format.ascii << ", stamps " << format.timestamps
                                    << ", decoded " << format.decoded);
    CTraceModel model;
    model.SetDecoding(format.decoded);
    model.Append(false, banner.data(), banner.size(), t0 - 50);
    model.Append(true, version.data(), version.size(), t0);
    model.Append(false, versionReply.data(), 3, t0 + 5);
    model.Append(false, versionReply.data() + 3, versionReply.size() - 3, t0 + 30);
    model.Append(true, stop.data(), stop.size(), t0 + 100);
    model.Append(false, first.data(), first.size(), t0 + 120);
    model.Append(true, stop.data(), stop.size(), t0 + 200);
    model.Append(false, second.data(), second.size(), t0 + 240);
    model.Append(true, length.data(), length.size(), t0 + 300);

    CReplayScript script;
    std::string error;
    ASSERT_TRUE(script.LoadText(model.Snapshot().AllText(format), error)) << error;
    EXPECT_EQ(script.LeadingBytes(), banner.size());
    ASSERT_EQ(script.Exchanges().size(), 4u);

    const ReplayExchange* v = script.Take(version);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(Joined(*v), versionReply);
    // A text trace knows when a reply started, not when each later read came.
    if (format.timestamps) EXPECT_EQ(v->reply.front().afterUs, 5000);
    const ReplayExchange* s1 = script.Take(stop);
    const ReplayExchange* s2 = script.Take(stop);
    ASSERT_TRUE(s1 && s2);
    EXPECT_EQ(Joined(*s1), first);
    EXPECT_EQ(Joined(*s2), second);
    EXPECT_EQ(script.Take(stop), nullptr) << "a third stop was never recorded";
    const ReplayExchange* l = script.Take(length);
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(l->reply.empty());
    EXPECT_EQ(script.Take({0x56, 0x00, 0x11, 0x01}), nullptr);
    script.Rewind();
    EXPECT_EQ(script.Take(stop), s1);
  }
}

TEST(CamSimReplay, ReadsACaptureAndRefusesWhatCannotBeReplayed) {
  testsupport::TempFolder folder("camsim-replay");
  const std::string path = folder.File("session.pcapng");
  {
    pcapng::CPcapngWriter writer;
    ASSERT_TRUE(writer.Open(path)) << writer.Error();
    // Two requests in one write, then the replies in reads that split them.
    const Bytes both = {0x56, 0x00, 0x11, 0x00, 0x56, 0x00, 0x36, 0x01, 0x00};
    const Bytes r1 = {0x76, 0x00, 0x11, 0x00, 0x01}, r2 = {'X', 0x76, 0x00, 0x36, 0x00, 0x00};
    ASSERT_TRUE(writer.Write(pcapng::Direction::ToCamera, 1'000'000, both.data(), both.size()));
    ASSERT_TRUE(writer.Write(pcapng::Direction::FromCamera, 1'001'000, r1.data(), r1.size()));
    ASSERT_TRUE(writer.Write(pcapng::Direction::FromCamera, 1'002'500, r2.data(), r2.size()));
  }
  CReplayScript script;
  std::string error;
  ASSERT_TRUE(script.Load(path, error)) << error;
  ASSERT_EQ(script.Exchanges().size(), 2u);
  EXPECT_TRUE(script.Exchanges()[0].reply.empty()) << "the first request's reply came after the second";
  const auto& reply = script.Exchanges()[1].reply;
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply[0].afterUs, 1000);
  EXPECT_EQ(reply[1].afterUs, 2500);

  const struct {
    const char* text;
    const char* error;
  } refused[] = {
      {"\n\nTX :56 00 32 0C 00 0A\nRx :76 00 32 00 00 FF D8 ... (27,486 bytes) ... FF D9\n", "in full"},
      {"no traffic here\n", "no request"},
      {"", "no request"},
  };
  for (const auto& r : refused) {
    CReplayScript bad;
    EXPECT_FALSE(bad.LoadText(r.text, error)) << r.text;
    EXPECT_NE(error.find(r.error), std::string::npos) << error;
  }
  EXPECT_FALSE(script.Load(folder.File("missing"), error));
}
