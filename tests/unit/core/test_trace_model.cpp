// The trace model forms the same lines the text trace always showed, drops whole oldest
// requests when the ring is full, and can be read while another thread appends.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/TraceModel.h"

namespace {

// The trace as the engine writes it for text hosts, laid out the way the old text view did:
// '\r' dropped, a soft break after the byte group that reaches column 96, a real break
// right after a soft one replacing it.
struct ReferenceTrace {
  std::string raw;
  void Sent(const std::vector<uint8_t>& frame) { raw += "\r\n\r\nTX :" + Hex(frame) + "\r\nRx :"; }
  void Received(const std::vector<uint8_t>& bytes) { raw += Hex(bytes); }
  static std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char group[4];
    for (uint8_t b : bytes) {
      std::snprintf(group, sizeof group, "%02X ", b);
      s += group;
    }
    return s;
  }
  std::string Lines() const {
    std::string out;
    int column = 0;
    bool soft = false;
    for (char c : raw) {
      if (c == '\r') continue;
      if (c == '\n') {
        soft = false;
        column = 0;
        out += '\n';
        continue;
      }
      if (soft) {
        soft = false;
        column = 0;
        out += '\n';
      }
      out += c;
      ++column;
      if ((c == ' ' && column >= 96) || column >= 192) soft = true;
    }
    return out;
  }
};

std::vector<uint8_t> Bytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::string Joined(const CTraceData& trace) {
  std::string all = trace.AllText({});
  if (!all.empty()) all.pop_back();
  return all;
}

// Appends the same traffic to the model and the reference.
struct Session {
  CTraceModel model;
  ReferenceTrace ref;
  std::mt19937 rng{7};
  explicit Session(size_t limit = CTraceModel::kDefaultLimitBytes) : model(limit) {}
  void Sent(size_t n) {
    auto f = Bytes(rng, n);
    model.Append(true, f.data(), f.size(), 0);
    ref.Sent(f);
  }
  void Received(size_t n) {
    auto b = Bytes(rng, n);
    model.Append(false, b.data(), b.size(), 0);
    ref.Received(b);
  }
};

}  // namespace

TEST(TraceModel, FormsTheTextTraceLinesAtEveryBoundary) {
  Session empty;
  EXPECT_TRUE(empty.model.Extent().empty());
  EXPECT_EQ(empty.model.Snapshot().AllText({}), "");

  Session s;
  s.Received(40);  // a power-on banner before any request: bare lines of 32
  const size_t frames[] = {1, 30, 31, 32, 33, 62, 63, 64, 95, 200};
  const size_t replies[] = {0, 1, 31, 32, 63, 64, 95, 96, 1000, 5};
  for (size_t i = 0; i < std::size(frames); ++i) {
    s.Sent(frames[i]);
    // Replies arrive in pieces that split lines anywhere.
    for (size_t left = replies[i]; left > 0;) {
      const size_t piece = std::min<size_t>(left, 1 + s.rng() % 50);
      s.Received(piece);
      left -= piece;
    }
  }
  EXPECT_EQ(Joined(s.model.Snapshot()), s.ref.Lines());
  // Reading line by line gives the same lines.
  const TraceExtent e = s.model.Extent();
  std::string byLines;
  for (const std::string& line : s.model.Lines(e.first, e.end - e.first, {}))
    byLines += line + "\n";
  EXPECT_EQ(byLines, s.model.Snapshot().AllText({}));

  // A trace that starts with a request opens with two empty lines, as it always did.
  Session t;
  t.Sent(4);
  t.Received(4);
  EXPECT_EQ(Joined(t.model.Snapshot()), t.ref.Lines());
  EXPECT_EQ(t.model.Text({0, 0}, {~0ull, 0}, {}).substr(0, 6), "\n\nTX :");

  // The optional columns: time stamp before "TX :" / "Rx :", characters after the hex.
  CTraceModel m;
  const uint8_t frame[] = {'A', 0x00, 'z'};
  m.Append(true, frame, 3, 0);
  const TraceExtent f = m.Extent();
  const auto lines = m.Lines(f.first, 4, {true, true});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].substr(12), " TX :41 00 7A " + std::string(98 - 13, ' ') + "A.z");
  EXPECT_EQ(lines[3], std::string(13, ' ') + "Rx :");  // nothing received yet
}

TEST(TraceModel, RingDropsWholeOldestRequestsAndKeepsLineNumbers) {
  const size_t limit = CTraceModel::kMinLimitBytes;
  Session s(limit);
  std::vector<std::string> exchanges;  // each request's lines, to find where the kept trace starts
  for (int i = 0; i < 100; ++i) {
    const size_t before = s.ref.raw.size();
    s.Sent(9);
    s.Received(1000 + i);
    exchanges.push_back(ReferenceTrace{s.ref.raw.substr(before)}.Lines());
  }
  const CTraceData trace = s.model.Snapshot();
  const TraceExtent e = trace.Extent();
  EXPECT_LE(e.bytes, limit);
  EXPECT_GT(e.bytes, limit / 2);
  // The kept trace is exactly the newest whole requests, opening as a fresh trace does.
  std::string expected;
  size_t kept = 0;
  for (size_t i = exchanges.size(); i-- > 0 && kept + 9 + 1000 + i <= limit;) {
    expected = exchanges[i] + expected;
    kept += 9 + 1000 + i;
  }
  EXPECT_EQ(Joined(trace), expected);
  // Line numbers are absolute: the last line is still the same number after more appends.
  const std::string last = trace.Line(e.end - 1, {});
  s.Sent(9);
  s.Received(2000);  // more than the room left: the oldest request goes
  EXPECT_EQ(s.model.Lines(e.end - 1, 1, {}).at(0), last);
  EXPECT_GT(s.model.Extent().first, e.first);

  // One reply larger than the whole ring loses whole lines from its front only.
  Session big(limit);
  big.Sent(5);
  for (int i = 0; i < 30; ++i) big.Received(8192);
  const std::string all = big.ref.Lines();
  const std::string tail = Joined(big.model.Snapshot());
  EXPECT_LE(big.model.Extent().bytes, limit);
  ASSERT_LT(tail.size(), all.size());
  EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
  EXPECT_EQ(all[all.size() - tail.size() - 1], '\n');  // starts at a line start
  EXPECT_EQ(tail.find("TX :"), std::string::npos);

  // Clear empties it; the next request starts a fresh trace.
  big.model.Clear();
  EXPECT_TRUE(big.model.Extent().empty());
  const uint8_t frame[] = {0x56, 0x00, 0x11, 0x00};
  big.model.Append(true, frame, 4, 0);
  EXPECT_EQ(Joined(big.model.Snapshot()), "\n\nTX :56 00 11 00 \nRx :");
}

TEST(TraceModel, ReadersSeeWholeLinesWhileAnotherThreadAppends) {
  Session s(CTraceModel::kMinLimitBytes);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 400; ++i) {
      s.Sent(1 + i % 40);
      for (int k = 0; k < 5; ++k) s.Received(37 * k + i % 90);
    }
    done = true;
  });
  size_t reads = 0;
  while (!done || reads < 10) {
    const TraceExtent e = s.model.Extent();
    for (const std::string& line : s.model.Lines(e.end > 40 ? e.end - 40 : 0, 40, {})) {
      ASSERT_LE(line.size(), 97u);
      ASSERT_EQ(line.size() % 3 == 0 || line.size() % 3 == 1, true) << line;
    }
    const CTraceData copy = s.model.Snapshot();
    EXPECT_LE(copy.Extent().bytes, CTraceModel::kMinLimitBytes);
    ++reads;
  }
  writer.join();
  const std::string all = s.ref.Lines();
  const std::string kept = Joined(s.model.Snapshot());
  EXPECT_EQ(all.substr(all.size() - kept.size()), kept);
  EXPECT_EQ(kept.substr(0, 6), "\n\nTX :");
}

TEST(TraceModel, ParsesTraceLimits) {
  const struct {
    const char* text;
    size_t bytes;
  } cases[] = {{"65536", 65536},       {"64K", 64 << 10},    {"16M", 16 << 20},
               {"16MiB", 16 << 20},    {"1g", size_t(1) << 30}, {"2GB", size_t(2) << 30},
               {"", 0},                {"M", 0},             {"12X", 0},
               {"-5M", 0},             {"99999999999999M", 0}};
  for (const auto& c : cases) EXPECT_EQ(ParseTraceLimit(c.text), c.bytes) << c.text;
}
