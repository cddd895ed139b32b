// Captures written as they go read back frame for frame; a file cut off by a crash keeps its
// frames; files from elsewhere (other byte order, other resolutions, other link types) read
// right; hostile lengths are refused without being believed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/Pcapng.h"
#include "test_files.h"

using pcapng::Direction;
using pcapng::Frame;

namespace {

// A capture built by hand, in either byte order, for files no writer of ours makes.
struct Builder {
  bool big = false;
  std::vector<uint8_t> out;
  void U32(std::vector<uint8_t>& b, uint32_t v) const {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(big ? v >> (24 - 8 * i) : v >> (8 * i)));
  }
  void U16(std::vector<uint8_t>& b, uint16_t v) const {
    b.push_back(uint8_t(big ? v >> 8 : v));
    b.push_back(uint8_t(big ? v : v >> 8));
  }
  void Block(uint32_t type, std::vector<uint8_t> body) {
    while (body.size() % 4) body.push_back(0);
    U32(out, type);
    U32(out, uint32_t(body.size() + 12));
    out.insert(out.end(), body.begin(), body.end());
    U32(out, uint32_t(body.size() + 12));
  }
  Builder& Section() {
    std::vector<uint8_t> b;
    U32(b, 0x1A2B3C4D);
    U16(b, 1);
    U16(b, 0);
    U32(b, 0xFFFFFFFF);
    U32(b, 0xFFFFFFFF);
    Block(0x0A0D0D0A, b);
    return *this;
  }
  Builder& Interface(uint16_t linkType, int tsresol = -1) {
    std::vector<uint8_t> b;
    U16(b, linkType);
    U16(b, 0);
    U32(b, 0);
    if (tsresol >= 0) {
      U16(b, 9);
      U16(b, 1);
      b.insert(b.end(), {uint8_t(tsresol), 0, 0, 0});
    }
    Block(1, b);
    return *this;
  }
  Builder& Packet(uint32_t itf, uint64_t ticks, std::vector<uint8_t> data) {
    std::vector<uint8_t> b;
    U32(b, itf);
    U32(b, uint32_t(ticks >> 32));
    U32(b, uint32_t(ticks));
    U32(b, uint32_t(data.size()));
    U32(b, uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    Block(6, b);
    return *this;
  }
};

std::string Hex(const std::vector<uint8_t>& v) {
  std::string s;
  char t[4];
  for (uint8_t b : v) {
    std::snprintf(t, sizeof t, "%02X ", b);
    s += t;
  }
  return s;
}

}  // namespace

TEST(Pcapng, WrittenFramesReadBackAndACutOffFileKeepsItsFrames) {
  testsupport::TempFolder dir;
  const std::string path = dir.File("s.pcapng");
  const std::vector<Frame> sent = {
      {Direction::ToCamera, 1700000000123456, {0x56, 0x00, 0x11, 0x00}},
      {Direction::FromCamera, 1700000000125000, {0x76, 0x00, 0x11, 0x00, 0x0B, 0x56, 0x43}},
      {Direction::FromCamera, 1700000000125001, {}},  // odd sizes and empty pad right
      {Direction::ToCamera, 1700000001000000, std::vector<uint8_t>(70001, 0xA5)},
  };
  {
    pcapng::CPcapngWriter writer;
    ASSERT_TRUE(writer.Open(path, "brevant-cli 1.0", "/dev/ttyUSB0")) << writer.Error();
    for (const auto& f : sent) ASSERT_TRUE(writer.Write(f)) << writer.Error();
    // No Close: every packet is already in the file.
    std::vector<Frame> early;
    std::string error;
    ASSERT_TRUE(pcapng::ReadFile(path, early, error)) << error;
    EXPECT_EQ(early.size(), sent.size());
  }
  std::vector<Frame> got;
  std::string error;
  bool truncated = true;
  ASSERT_TRUE(pcapng::ReadFile(path, got, error, &truncated)) << error;
  EXPECT_FALSE(truncated);
  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(got[i].direction, sent[i].direction) << i;
    EXPECT_EQ(got[i].timeUs, sent[i].timeUs) << i;
    EXPECT_EQ(Hex(got[i].bytes), Hex(sent[i].bytes)) << i;
  }

  // A writer killed inside its last block: the frames before it are still there.
  auto bytes = testsupport::ReadFile(path);
  bytes.resize(bytes.size() - 9);
  ASSERT_TRUE(testsupport::WriteFile(path, bytes));
  ASSERT_TRUE(pcapng::ReadFile(path, got, error, &truncated)) << error;
  EXPECT_TRUE(truncated);
  EXPECT_EQ(got.size(), sent.size() - 1);

  pcapng::CPcapngWriter writer;
  EXPECT_FALSE(writer.Open(dir.File("no/such/folder.pcapng")));
  EXPECT_NE(writer.Error().find("no/such/folder.pcapng"), std::string::npos);
  EXPECT_FALSE(writer.Write(Direction::ToCamera, 0, nullptr, 0));
}

TEST(Pcapng, ReadsOtherByteOrderResolutionsAndSkipsOtherLinkTypes) {
  testsupport::TempFolder dir;
  for (bool big : {false, true}) {
    Builder b;
    b.big = big;
    b.Section()
        .Interface(147, 9)    // nanoseconds
        .Interface(1)         // Ethernet: not ours
        .Interface(147, 0x80 | 10)  // 2^-10 s
        .Packet(0, 1500000000, {0x00, 0x56, 0x00, 0x26, 0x00})
        .Packet(1, 7, {0xFF, 0xFF})
        .Packet(2, 2048, {0x01, 0x76, 0x00, 0x26, 0x00, 0x00});
    b.Block(5, std::vector<uint8_t>(8, 0));  // interface statistics: ignored
    const std::string path = dir.File(big ? "big.pcapng" : "little.pcapng");
    ASSERT_TRUE(testsupport::WriteFile(path, b.out));
    pcapng::CPcapngReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.Error();
    Frame f;
    ASSERT_EQ(reader.Read(f), pcapng::CPcapngReader::Next::Frame) << reader.Error();
    EXPECT_EQ(f.direction, Direction::ToCamera);
    EXPECT_EQ(f.timeUs, 1500000);
    EXPECT_EQ(Hex(f.bytes), "56 00 26 00 ");
    ASSERT_EQ(reader.Read(f), pcapng::CPcapngReader::Next::Frame) << reader.Error();
    EXPECT_EQ(f.direction, Direction::FromCamera);
    EXPECT_EQ(f.timeUs, 2000000);
    EXPECT_EQ(Hex(f.bytes), "76 00 26 00 00 ");
    EXPECT_EQ(reader.Read(f), pcapng::CPcapngReader::Next::End);
    EXPECT_EQ(reader.Skipped(), 1u);
    EXPECT_FALSE(reader.Truncated());
  }
}

TEST(Pcapng, HostileFilesAreRefusedWithAReason) {
  testsupport::TempFolder dir;
  auto good = [] {
    Builder b;
    b.Section().Interface(147).Packet(0, 1, {0x00, 0x56});
    return b.out;
  };
  const size_t packetAt = good().size() - 36;  // the packet block: 12 + 20 + 4 bytes
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    const char* reason;
  };
  std::vector<Case> cases;
  cases.push_back({"not pcapng", {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0}, "not a pcapng"});
  auto set32 = [](std::vector<uint8_t> f, size_t at, uint32_t v) {
    std::memcpy(f.data() + at, &v, 4);
    return f;
  };
  cases.push_back({"huge block", set32(good(), packetAt + 4, 0xFFFFFFF0), "bad block length"});
  cases.push_back({"unaligned block", set32(good(), packetAt + 4, 34), "bad block length"});
  cases.push_back({"tiny block", set32(good(), packetAt + 4, 8), "bad block length"});
  cases.push_back({"trailer differs", set32(good(), good().size() - 4, 40), "disagree"});
  cases.push_back({"bad byte order", set32(good(), 8, 0x12345678), "byte-order"});
  cases.push_back({"no such interface", set32(good(), packetAt + 8, 3), "undescribed"});
  cases.push_back({"captured beyond block", set32(good(), packetAt + 20, 5000), "longer"});
  cases.push_back({"no direction", set32(good(), packetAt + 28, 0x5607), "direction"});
  for (const auto& c : cases) {
    const std::string path = dir.File("bad.pcapng");
    ASSERT_TRUE(testsupport::WriteFile(path, c.file));
    std::vector<Frame> frames;
    std::string error;
    EXPECT_FALSE(pcapng::ReadFile(path, frames, error)) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
  }
  std::vector<Frame> frames;
  std::string error;
  EXPECT_FALSE(pcapng::ReadFile(dir.Path(), frames, error));  // a folder
  EXPECT_FALSE(error.empty());
}
