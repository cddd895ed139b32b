// A session captured with --pcapng reads back frame for frame (our reader) and opens in
// tshark with the generated dissector naming every frame exactly as the trace decoder does,
// for every row of the command table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ProtocolTestSupport.h"
#include "cli_run.h"
#include "camsim/CamSim.h"
#include "common/Pcapng.h"
#include "core/FrameDecoder.h"
#include "core/PcapngTrace.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandTable.h"
#include "test_files.h"

namespace {

const std::string kDissector = BREVANT_BINARY_DIR "/wireshark/brevant.lua";

// tshark's brevant.frame for every packet, one per line; empty when tshark cannot run.
std::vector<std::string> TsharkFrames(const std::string& capture) {
  const std::string command = "tshark -n -r '" + capture + "' -X lua_script:'" + kDissector +
                              "' -T fields -e brevant.frame 2>/dev/null";
  std::vector<std::string> lines;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return lines;
  std::string line;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    lines.push_back(line);
    line.clear();
  }
  pclose(pipe);
  return lines;
}

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// The decoder's names for a capture's frames, fed packet by packet.
std::vector<std::string> DecoderFrames(const std::vector<pcapng::Frame>& frames) {
  CFrameDecoder decoder;
  std::vector<DecodedFrame> out;
  uint64_t pos = 0;
  for (const auto& f : frames) {
    decoder.Feed(f.direction == pcapng::Direction::ToCamera, f.bytes.data(), f.bytes.size(), pos,
                 out, f.timeUs);
    pos += f.bytes.size();
  }
  decoder.Flush(out);
  std::vector<std::string> texts;
  for (const auto& f : out) texts.push_back(f.text);
  return texts;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// One request of the row, its fields filled in, and a reply its header accepts.
std::vector<uint8_t> RowRequest(const CommandLayout& s) {
  if (s.code == CMD_READ_BUF_512)  // offset 0, 16 bytes
    return Bytes({0x56, 0, 0x32, 0x0C, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0xFF});
  std::vector<uint8_t> f{kRequestByte, 0};
  f.insert(f.end(), s.request, s.request + s.requestFixed);
  size_t end = f.size();
  for (const FieldLayout& field : s.requestFields)
    end = std::max<size_t>(end, field.offset + (field.width ? field.width : 3));
  for (uint8_t v = 1; f.size() < end; ++v) f.push_back(v);
  return f;
}

std::vector<uint8_t> RowReply(const CommandLayout& s) {
  std::vector<uint8_t> r{kReplyByte, 0};
  r.insert(r.end(), s.replyHeader, s.replyHeader + s.replyHeaderLength);
  if (s.code == CMD_READ_BUF_512) {
    r.insert(r.end(), 16, 0xA5);
    r.insert(r.end(), {kReplyByte, 0, kFrameBufferCommand, 0, 0});
    return r;
  }
  switch (s.replyLength) {
    case ReplyLength::CountAt4: r.resize(4); r.insert(r.end(), {3, 'a', 'b', 'c'}); return r;
    case ReplyLength::LengthForm: r.resize(4); r.insert(r.end(), {4, 0, 0, 0x10, 0}); return r;
    case ReplyLength::InitEnd: {
      const char* text = "Init end\r\n";
      r.insert(r.end(), text, text + std::strlen(text));
      return r;
    }
    default: break;
  }
  for (uint8_t v = 7; r.size() < s.replyMinimum; ++v) r.push_back(v);
  if (s.statusAt) r[s.statusAt] = 0;
  return r;
}

}  // namespace

TEST(PcapngCapture, EveryRowOfTheCommandTableIsNamedByTsharkAsByTheDecoder) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  testsupport::TempFolder dir;
  const std::string path = dir.File("rows.pcapng");
  CPcapngTrace capture;
  ASSERT_TRUE(capture.Open(path, "test", "rows")) << capture.Error();
  CFrameDecoder decoder;  // the same traffic as it was fed, for the names the trace shows
  std::vector<DecodedFrame> fed;
  uint64_t pos = 0;
  int64_t time = 1700000000000000;
  const auto feed = [&](bool transmit, const std::vector<uint8_t>& bytes) {
    capture.Feed(transmit, bytes.data(), bytes.size(), time);
    decoder.Feed(transmit, bytes.data(), bytes.size(), pos, fed, time);
    pos += bytes.size();
    time += 1500;
  };
  size_t rows = 0;
  const CommandLayout* layouts = CommandLayouts(&rows);
  std::vector<std::string> names;
  for (size_t i = 0; i < rows; ++i) {
    const CommandLayout& s = layouts[i];
    if (s.requestFixed == 0) continue;  // never sent
    names.push_back(s.name);
    if (s.code == CMD_GET_FRAME_LEN) {  // its reply is what numbers the blocks
      feed(true, RowRequest(s));
      feed(false, RowReply(s));
      continue;
    }
    feed(true, RowRequest(s));
    const auto reply = RowReply(s);
    // Replies split over reads are one frame, one packet.
    feed(false, std::vector<uint8_t>(reply.begin(), reply.begin() + 3));
    feed(false, std::vector<uint8_t>(reply.begin() + 3, reply.end()));
  }
  // A whole block whose end marker never came, cut short by the next request.
  feed(true, RowRequest(*CommandLayoutFor(CMD_READ_BUF_512)));
  auto unended = RowReply(*CommandLayoutFor(CMD_READ_BUF_512));
  unended.resize(unended.size() - kFrameBufferMarkerLength);
  feed(false, unended);
  // Refusals, a status no header allows, reports (one cut short), the banner and garbage.
  feed(true, RowRequest(*CommandLayoutFor(CMD_MULTI_CAPTURE)));
  feed(false, Bytes({0x76, 0, 0x88, 1, 1}));
  feed(true, RowRequest(*CommandLayoutFor(CMD_SET_COMPRESSION)));
  feed(false, Bytes({0x76, 0, 0x31, 2, 0}));
  feed(true, RowRequest(*CommandLayoutFor(CMD_SET_COMPRESSION)));
  feed(false, Bytes({0x76, 0, 0x39, 0, 0x76, 0, 0x31, 0, 0, 0x76, 0, 0x39, 3, 2, 0, 4}));
  feed(false, Bytes({0x76, 0, 0x92, 2, 1, 0xEE, 0x76, 0, 0x92, 2, 1, 3}));
  feed(false, TextBytes("\r\nVersion:QVX8M0 2.00\r\nInit end\r\n"));
  feed(false, Bytes({1, 2, 3}));
  feed(true, Bytes({0x56, 0, 0x7F, 0}));
  feed(false, TextBytes("Command error\r\n"));
  ASSERT_TRUE(capture.Finish()) << capture.Error();
  decoder.Flush(fed);

  std::vector<std::string> expected;
  for (const auto& f : fed) expected.push_back(f.text);
  std::vector<pcapng::Frame> frames;
  std::string error;
  ASSERT_TRUE(pcapng::ReadFile(path, frames, error)) << error;
  EXPECT_EQ(frames.size(), expected.size());  // one packet per frame
  EXPECT_EQ(Joined(DecoderFrames(frames)), Joined(expected));
  EXPECT_EQ(Joined(TsharkFrames(path)), Joined(expected));
  EXPECT_NE(Joined(expected).find("16 bytes, no end marker\n"), std::string::npos);
  for (const auto& name : names) {  // the capture really holds every row, named
    bool seen = false;
    for (const auto& text : expected) seen = seen || text.rfind(name, 0) == 0;
    EXPECT_TRUE(seen) << name;
  }
}

TEST(PcapngCapture, ACliSessionRoundTripsThroughOurReaderAndTshark) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  CCamSim sim;
  ASSERT_TRUE(sim.Start());
  testsupport::TempFolder dir;
  const std::string path = dir.File("session.pcapng");
  const auto run = testsupport::RunCli({"-p", sim.SlavePath(), "-o", dir.Path(), "--decode",
                                        "--pcapng", path, "capture", "--transmit", "512"});
  sim.Stop();
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<pcapng::Frame> frames;
  std::string error;
  ASSERT_TRUE(pcapng::ReadFile(path, frames, error)) << error;
  ASSERT_GT(frames.size(), 10u);

  // The picture's bytes are in the capture whole: the blocks between their markers.
  std::vector<uint8_t> picture;
  for (const auto& f : frames) {
    if (f.direction != pcapng::Direction::FromCamera || f.bytes.size() <= 10 ||
        f.bytes[2] != kFrameBufferCommand)
      continue;
    picture.insert(picture.end(), f.bytes.begin() + 5, f.bytes.end() - 5);
  }
  std::string saved;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    if (entry.path().extension() == ".jpg") saved = entry.path().string();
  ASSERT_FALSE(saved.empty()) << run.out;
  EXPECT_TRUE(picture == testsupport::ReadFile(saved));

  // Every frame named alike by tshark, by the decoder and in the --decode trace.
  const auto names = DecoderFrames(frames);
  EXPECT_EQ(Joined(TsharkFrames(path)), Joined(names));
  for (const auto& name : names) EXPECT_NE(run.err.find(name), std::string::npos) << name;
}
