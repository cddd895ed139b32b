// The trace model forms the same lines the text trace always showed, drops whole oldest
// requests when the ring is full, and can be read while another thread appends. The console
// form of the same traffic is the text trace itself.
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

// Appends the same traffic to the model, the reference and the console's stream.
struct Session {
  CTraceModel model;
  ReferenceTrace ref;
  std::string stream;  // TraceStreamText with the text trace's "\r\n"
  std::mt19937 rng{7};
  explicit Session(size_t limit = CTraceModel::kDefaultLimitBytes) : model(limit) {}
  void Sent(size_t n) {
    auto f = Bytes(rng, n);
    model.Append(true, f.data(), f.size(), 0);
    ref.Sent(f);
    stream += TraceStreamText(true, f.data(), f.size(), "\r\n");
  }
  void Received(size_t n) {
    auto b = Bytes(rng, n);
    model.Append(false, b.data(), b.size(), 0);
    ref.Received(b);
    stream += TraceStreamText(false, b.data(), b.size(), "\r\n");
  }
};

// The text up to its last line break, which a trace read at some moment must begin `all` with.
bool BeginsWith(const std::string& all, std::string part) {
  if (!part.empty() && part.back() == '\n') part.pop_back();
  return all.compare(0, part.size(), part) == 0;
}

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
  // Unbroken, as the console prints it: the text trace byte for byte.
  EXPECT_EQ(s.stream, s.ref.raw);
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

TEST(TraceModel, ConsoleStreamIsTheTextTraceWithItsLineBreak) {
  const uint8_t request[] = {0x56, 0x00, 0x11, 0x00}, reply[] = {0x76, 0x00, 0x11, 0x00, 0x0B};
  const struct {
    const char* newline;
    const char* text;
  } cases[] = {{"\n", "\n\nTX :56 00 11 00 \nRx :76 00 11 00 0B "},
               {"\r\n", "\r\n\r\nTX :56 00 11 00 \r\nRx :76 00 11 00 0B "}};
  for (const auto& c : cases) {
    const std::string text = TraceStreamText(true, request, 4, c.newline) +
                             TraceStreamText(false, reply, 2, c.newline) +
                             TraceStreamText(false, reply + 2, 3, c.newline);
    EXPECT_EQ(text, c.text);
  }
}

TEST(TraceModel, CopyAndSaveSpanningManySlicesMatchASnapshotEvenWhileAppending) {
  Session s;
  for (int i = 0; i < 30; ++i) {
    s.Sent(5 + i % 20);
    s.Received(8000 + 37 * i);
  }
  const TraceExtent e = s.model.Extent();
  ASSERT_GT(e.end - e.first, 3 * CTraceModel::kSliceLines);
  const CTraceData snapshot = s.model.Snapshot();
  const TracePos from{e.first + 3, 5}, to{e.first + 2 * CTraceModel::kSliceLines + 9, 20};
  EXPECT_EQ(s.model.Text(to, from, {}), snapshot.Text(from, to, {}));
  std::string saved;
  auto sink = [&saved](const char* data, size_t size) {
    saved.append(data, size);
    return true;
  };
  ASSERT_TRUE(s.model.WriteText({true, false}, sink));
  EXPECT_EQ(saved, snapshot.AllText({true, false}));

  // Read while another thread appends: every read is the trace as it stood at some moment,
  // with no slice seam showing (no line twice, none missing, none torn).
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) {
      s.Sent(9);
      for (int k = 0; k < 4; ++k) s.Received(300 + i);
    }
    done = true;
  });
  std::vector<std::string> reads;
  while ((!done && reads.size() < 16) || reads.size() < 4) {
    saved.clear();
    ASSERT_TRUE(s.model.WriteText({}, sink));
    reads.push_back(saved);
    const TraceExtent now = s.model.Extent();
    reads.push_back(s.model.Text({now.first, 0}, {now.end - 1, std::string::npos}, {}));
  }
  writer.join();
  const std::string all = s.model.Snapshot().AllText({});
  for (const std::string& read : reads) EXPECT_TRUE(BeginsWith(all, read)) << read.size();
}

TEST(TraceModel, ParsesTraceLimits) {
  const struct {
    const char* text;
    size_t bytes;
  } cases[] = {{"65536", 65536},       {"64K", 64 << 10},    {"16M", 16 << 20},
               {"16MiB", 16 << 20},    {"1g", size_t(1) << 30}, {"2GB", size_t(2) << 30},
               {"", 0},                {"M", 0},             {"12X", 0},
               {"-5M", 0},             {"99999999999999M", 0},
               // too big once scaled, however the shift would wrap
               {"17179869185G", 0},    {"1025G", 0},         {"1024G", size_t(1) << 40},
               {"1099511627777", 0}};
  for (const auto& c : cases) EXPECT_EQ(ParseTraceLimit(c.text), c.bytes) << c.text;
}

// A picture block's line shows its ends and the count between unless the full hex is asked
// for; the deltas column times a reply from the previous frame and from its request.
TEST(TraceModel, FrameLinesShortenPictureBlocksAndTimeFrames) {
  std::vector<uint8_t> bytes(60);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  DecodedFrame block{0, bytes.size(), false, true, "picture data, block 1, 50 bytes", 2000, 1000};
  std::string hex;
  FormatTraceLine(hex, TraceLineHead::None, bytes.data(), bytes.size());
  const std::string shortened = TraceFrameText(block, bytes.data(), bytes.size(), {}, -1);
  EXPECT_EQ(shortened, "\nRx :" + hex.substr(0, 48) + "<28 bytes> " + hex.substr(44 * 3) + " " +
                           block.text);
  FrameTextOptions full;
  full.fullHex = true;
  EXPECT_EQ(TraceFrameText(block, bytes.data(), bytes.size(), full, -1),
            "\nRx :" + hex + " " + block.text);
  block.data = false;  // only picture data is shortened
  EXPECT_EQ(TraceFrameText(block, bytes.data(), bytes.size(), {}, -1), "\nRx :" + hex + " " + block.text);

  FrameTextOptions deltas;
  deltas.deltas = true;
  const uint8_t reply[] = {0x76, 0x00, 0x31, 0x00, 0x00};
  DecodedFrame ok{0, 5, false, false, "set compression 0x36: ok", 12345678, 12000000};
  EXPECT_EQ(TraceFrameText(ok, reply, 5, deltas, 12345000).substr(0, 33),
            "\n    +0.678 ms    345.678 ms Rx :");
  DecodedFrame first{0, 5, true, false, "get version", 1000, -1};
  EXPECT_EQ(TraceFrameText(first, reply, 4, deltas, -1).substr(0, 34),
            "\n\n" + std::string(28, ' ') + "TX :");
}

namespace {
std::vector<uint8_t> BlockRequest(uint32_t offset, uint32_t length) {
  std::vector<uint8_t> f{0x56, 0, 0x32, 0x0C, 0, 0x0A};
  for (uint32_t v : {offset, length})
    for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<uint8_t>(v >> shift));
  f.insert(f.end(), {0, 0xFF});
  return f;
}
// A block's reply: start marker, `length` bytes of picture, and the end marker unless cut.
std::vector<uint8_t> BlockReply(uint32_t length, bool ended, uint8_t seed) {
  std::vector<uint8_t> r{0x76, 0, 0x32, 0, 0};
  for (uint32_t i = 0; i < length; ++i) r.push_back(static_cast<uint8_t>(seed + i * 7));
  if (ended) r.insert(r.end(), {0x76, 0, 0x32, 0, 0});
  return r;
}
std::string HexOf(const uint8_t* bytes, size_t count) {
  std::string s;
  FormatTraceLine(s, TraceLineHead::None, bytes, count);
  return s;
}
}  // namespace

// Shortened, each picture block is one line (its ends and count, narrower than the console's),
// whether it ended with its marker or was cut by the next request; a short block, the full
// form and the lines after every block stay as they were, also once the ring has dropped
// blocks, and a model told to shorten later shows the same.
TEST(TraceModel, PictureBlocksAreOneLineWhenShortened) {
  TraceFormat full, shortened;
  shortened.shortBlocks = true;
  const std::vector<uint8_t> version{0x56, 0, 0x11, 0}, versionReply{0x76, 0, 0x11, 0, 1, 'V'};
  struct Block {
    uint32_t length;
    bool ended;
    bool folded;
  } blocks[] = {{512, true, true}, {300, false, true}, {30, true, false}, {39, true, true}};
  CTraceModel live, later, plain;
  live.SetShortening(true);
  for (CTraceModel* m : {&live, &later, &plain}) {
    uint8_t seed = 0;
    for (const Block& b : blocks) {
      const auto request = BlockRequest(0, b.length), reply = BlockReply(b.length, b.ended, seed++);
      m->Append(true, request.data(), request.size(), 0);
      for (size_t at = 0; at < reply.size(); at += 100)  // a block arrives in reads
        m->Append(false, reply.data() + at, std::min<size_t>(100, reply.size() - at), 0);
      m->Append(true, version.data(), version.size(), 0);
      m->Append(false, versionReply.data(), versionReply.size(), 0);
    }
  }
  later.SetShortening(true);
  EXPECT_EQ(live.Snapshot().AllText(full), plain.Snapshot().AllText(full));
  const std::string text = live.Snapshot().AllText(shortened);
  EXPECT_EQ(later.Snapshot().AllText(shortened), text);
  EXPECT_EQ(plain.Snapshot().AllText(shortened), plain.Snapshot().AllText(full));  // none found

  std::vector<std::string> lines;
  const TraceExtent e = live.Extent(shortened);
  for (const std::string& line : live.Lines(e.first, e.end - e.first, shortened)) {
    lines.push_back(line);
    EXPECT_EQ(live.Lines(live.MapLine(e.first + lines.size() - 1, shortened, full), 1, full)
                  .front()
                  .substr(0, 20),
              line.substr(0, 20));  // the same bytes begin the line it maps to
  }
  EXPECT_EQ(text.size(), [&] {
    size_t n = 0;
    for (const auto& l : lines) n += l.size() + 1;
    return n;
  }());
  uint8_t seed = 0;
  size_t at = 0;
  for (const Block& b : blocks) {
    const auto reply = BlockReply(b.length, b.ended, seed++);
    while (lines[at].rfind("TX :56 00 32", 0) != 0) ++at;
    const std::string& rx = lines[at + 1];
    if (b.folded) {
      constexpr size_t e = kTraceViewEdgeBytes;
      EXPECT_EQ(rx, "Rx :" + HexOf(reply.data(), e) + "<" + std::to_string(reply.size() - 2 * e) +
                        " bytes> " + HexOf(reply.data() + reply.size() - e, e));
      EXPECT_EQ(lines[at + 3], "TX :56 00 11 00 ");  // the next request right after it
    } else {
      EXPECT_EQ(rx, "Rx :" + HexOf(reply.data(), 31));
    }
    ++at;
  }

  // Dropped by the ring block by block, the lines left are numbered as before.
  CTraceModel ring(CTraceModel::kMinLimitBytes);
  ring.SetShortening(true);
  for (int i = 0; i < 200; ++i) {
    const auto request = BlockRequest(0, 1000);
    const auto reply = BlockReply(1000, true, static_cast<uint8_t>(i));
    ring.Append(true, request.data(), request.size(), 0);
    ring.Append(false, reply.data(), reply.size(), 0);
  }
  const TraceExtent r = ring.Extent(shortened);
  const CTraceData kept = ring.Snapshot();
  // The opening empty line, then an empty line, the request and its block per request.
  EXPECT_EQ(r.end - r.first, 1 + 3 * (r.bytes / 1026));
  EXPECT_EQ(kept.AllText(shortened).substr(0, 6), "\n\nTX :");
  EXPECT_EQ(ring.Lines(r.end - 1, 1, shortened).front().find("<994 bytes> "), 28u);
  EXPECT_TRUE(r.shortened);
  // No wider than a plain line, so the decoded text after it is on screen too.
  EXPECT_EQ(CTraceData::MaxLineChars(shortened), CTraceData::MaxLineChars(full));
  EXPECT_FALSE(ring.Extent(full).shortened);
  const std::vector<uint8_t> plainReply(1000, 0x11);
  for (int i = 0; i < 100; ++i) {  // every block dropped for plain replies
    ring.Append(true, version.data(), version.size(), 0);
    ring.Append(false, plainReply.data(), plainReply.size(), 0);
  }
  EXPECT_FALSE(ring.Extent(shortened).shortened);
}
