// Pacing arithmetic and request framing of the virtual camera.
#include <gtest/gtest.h>

#include "camsim/CamSimWire.h"

using namespace camsim;

TEST(CamSimPacing, BytesAllowedFollowTheLineRate) {
  struct Case {
    uint64_t us;
    unsigned baud;
    uint64_t bytes;
  } cases[] = {
      {0, 115200, 0},
      {1'000'000, 115200, 11520},
      {1'000'000, 9600, 960},
      {999, 9600, 0},          // less than one byte time (1041.7 us)
      {1042, 9600, 1},
      {500'000, 921600, 46080},
      {3'600'000'000ull, 921600, 331'776'000},  // an hour: no overflow
  };
  for (const Case& c : cases) EXPECT_EQ(PacedBytesAllowed(c.us, c.baud), c.bytes) << c.us << " us at " << c.baud;
  EXPECT_EQ(PacedBytesAllowed(1, 0), UINT64_MAX) << "baud 0 is unpaced";
}

TEST(CamSimPacing, DurationIsTheInverseOfAllowance) {
  // 100 KB at 115200 takes about 8.9 s, as on a real line.
  EXPECT_NEAR(PacedDurationUs(102400, 115200) / 1e6, 8.89, 0.01);
  for (unsigned baud : {9600u, 57600u, 115200u, 921600u}) {
    for (uint64_t n : {1ull, 7ull, 512ull, 10250ull, 12'441'600ull}) {
      uint64_t t = PacedDurationUs(n, baud);
      EXPECT_GE(PacedBytesAllowed(t, baud), n) << n << " bytes at " << baud;
      EXPECT_LT(PacedBytesAllowed(t - 1, baud), n) << n << " bytes at " << baud;
    }
  }
  EXPECT_EQ(PacedDurationUs(1000, 0), 0u);
  // Chunks stay small on slow lines (smooth pacing) and large when unpaced.
  EXPECT_LE(PacingChunk(9600), 16u);
  EXPECT_GE(PacingChunk(0), 65536u);
}

namespace {

std::vector<std::string> Frames(CRequestParser& parser) {
  std::vector<std::string> out;
  Bytes frame;
  bool wellFormed = false;
  while (parser.Next(frame, wellFormed)) out.push_back((wellFormed ? "" : "!") + ToHex(frame));
  return out;
}

}  // namespace

TEST(CamSimParser, ResynchronisesOnGarbage) {
  CRequestParser parser;
  const Bytes stream = {
      0x00, 0x12, 0xFF,                          // line noise
      0x56, 0x00, 0x11, 0x00,                    // version
      0x13,                                      // noise between frames
      0x56, 0x00, 0xEE, 0x05, 0x01,              // unknown command: cut at the next 0x56
      0x56, 0x00, 0x36, 0x09,                    // stop frame with an impossible length
      0x56, 0x00, 0x36, 0x01, 0x00,              // stop frame
      0x56, 0x00, 0x32, 0x0C, 0x00, 0x0A, 0x00, 0x00, 0x04, 0x00,
      0x00, 0x00, 0x02, 0x00, 0x00, 0xFF,        // frame-buffer read
  };
  parser.Feed(stream.data(), stream.size());
  EXPECT_EQ(Frames(parser), (std::vector<std::string>{
                                "56 00 11 00",
                                "!56 00 EE 05 01",
                                "!56 00 36 09",
                                "56 00 36 01 00",
                                "56 00 32 0C 00 0A 00 00 04 00 00 00 02 00 00 FF",
                            }));
  EXPECT_EQ(parser.SkippedBytes(), 4u);
  EXPECT_EQ(parser.Buffered(), 0u);
}

TEST(CamSimParser, WaitsForSplitFramesAndLongOsdRequests) {
  CRequestParser parser;
  // A request split across reads comes out whole, once.
  const Bytes reset = {0x56, 0x00, 0x26, 0x00};
  parser.Feed(reset.data(), 2);
  EXPECT_TRUE(Frames(parser).empty());
  parser.Feed(reset.data() + 2, 2);
  EXPECT_EQ(Frames(parser), std::vector<std::string>{"56 00 26 00"});

  // OSD line with 250 text bytes: byte 3 saturates at 255, byte 15 carries the length.
  Bytes osd = {0x56, 0x00, 0x86, 0xFF, 0x01, 0x02, 0x02, 0x00, 0x10, 0x00, 0x20, 0x00, 0x7C, 0xFF, 0xFF, 250};
  osd.resize(16 + 250, 'A');
  osd.insert(osd.end(), reset.begin(), reset.end());
  parser.Feed(osd.data(), 100);
  EXPECT_TRUE(Frames(parser).empty());
  parser.Feed(osd.data() + 100, osd.size() - 100);
  auto frames = Frames(parser);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].size(), 266u * 3 - 1) << "all 16 + 250 bytes in one frame";
  EXPECT_EQ(frames[1], "56 00 26 00");
}

TEST(CamSimAnswer, SegmentsStreamSharedPicturesAndZeros) {
  auto picture = std::make_shared<const Bytes>(Bytes{1, 2, 3, 4, 5, 6});
  Answer a;
  a.Append({0x76, 0x00});
  a.AppendShared(picture, 2, 3);
  a.AppendZeros(2);
  a.Append({0xAA});
  EXPECT_EQ(a.Size(), 8u);
  EXPECT_EQ(ToHex(a.Flatten()), "76 00 03 04 05 00 00 AA");
  EXPECT_EQ(a.At(3, 100).size(), 2u) << "a span never crosses a segment";
}
