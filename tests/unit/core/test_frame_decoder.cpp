// The trace decoder names what the engine really sends (each request comes from the
// engine's own builders) and the camera's answers to it, fed in small pieces so that every
// reply is split over several reads; reports, the banner and garbage without a request.
#include <gtest/gtest.h>

#include <cstring>

#include "ProtocolTestSupport.h"
#include "core/FrameDecoder.h"
#include "core/TraceModel.h"
#include "protocol/ProtocolFrames.h"

namespace {

struct Exchange {
  CameraCommand command;          // code 0: no request
  std::vector<uint8_t> request;   // sent as is instead (the transfer's block reads)
  std::vector<uint8_t> reply;
  std::vector<std::string> texts;  // the request's, then each received frame's
};

CameraCommand Cmd(int code, unsigned value = 0) { return MakeCommand(code, value); }

std::vector<uint8_t> with(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> Block(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b{0x76, 0x00, 0x32, 0x00, 0x00};
  b.insert(b.end(), data.begin(), data.end());
  b.insert(b.end(), {0x76, 0x00, 0x32, 0x00, 0x00});
  return b;
}

std::vector<Exchange> Exchanges() {
  OsdLineSetting line;
  line.line = 1;
  line.length = 2;
  std::strcpy(line.text, "Hi");
  const CameraCommand osd = MakeCommand(CMD_SET_OSD, line);
  const CameraCommand crop = MakeCommand(CMD_SET_CROP, CropSettings{16, 8, 320, 240, 0, 0, 1});
  const CameraCommand motion = MakeCommand(CMD_SET_MOTION_CAPTURE, MotionCaptureSettings{3, 500, 5});
  const CameraCommand burst = MakeCommand(CMD_MULTI_CAPTURE, MultiCaptureSettings{2, 100});
  const auto text = [](const char* s) { return TextBytes(s); };
  return {
      {Cmd(CMD_RESET), {}, with(Bytes({0x76, 0, 0x26, 0}), text("Init end\r\n")), {"reset", "reset: ok"}},
      {Cmd(CMD_GET_VERSION), {}, with(Bytes({0x76, 0, 0x11, 0, 0x0B}), text("QVX8M0 2.00")),
       {"get version", "version QVX8M0 2.00"}},
      {Cmd(CMD_READ_SETTINGS), {}, Bytes({0x76, 0, 0x90, 7, 0, 0, 0x11, 0x0D, 0xA6, 0x36, 1}),
       {"read settings",
        "settings: serial 0, size 320X240, default rate 115200, compression 0x36, detection 1"}},
      {Cmd(CMD_SET_COMPRESSION, 0x36), {}, Bytes({0x76, 0, 0x31, 0, 0}),
       {"set compression 0x36", "set compression 0x36: ok"}},
      {Cmd(CMD_SET_IMAGE_SIZE, 7), {}, Bytes({0x76, 0, 0x31, 1, 0}),
       {"set image size 1920X1080", "set image size 1920X1080: ok"}},
      {Cmd(CMD_SET_TEMP_BAUD, 115200), {}, Bytes({0x76, 0, 0x24, 0}),
       {"set temporary rate 115200", "set temporary rate 115200: ok"}},
      {Cmd(CMD_POWER_SAVE_ON), {}, Bytes({0x76, 0, 0x3E, 0, 0}), {"power saving on", "power saving on: ok"}},
      {Cmd(CMD_SET_FILL_LIGHT, 50), {}, Bytes({0x76, 0, 0x85, 0}), {"set fill light 50", "set fill light 50: ok"}},
      {Cmd(CMD_SET_IMAGE_FORMAT, 1), {}, Bytes({0x76, 0, 0x93, 3, 3, 0, 0}), {"set image type 1", "set image type 1: ok"}},
      {Cmd(CMD_MOTION_ON), {}, Bytes({0x76, 0, 0x37, 0, 0}), {"detection on", "detection on: ok"}},
      {osd, {}, Bytes({0x76, 0, 0x86, 1, 1}), {}},  // texts filled below
      {motion, {}, Bytes({0x76, 0, 0x87, 1, 1}),
       {"set motion capture 3 photos, next 5 s, interval 500 ms", "refused: status 01"}},
      {burst, {}, Bytes({0x76, 0, 0x88, 1, 0}), {"burst 2 photos, interval 100 ms", "burst 2 photos, interval 100 ms: ok"}},
      {crop, {}, Bytes({0x76, 0, 0x8B, 2, 1, 0}),
       {"set crop: enable 1, x 16, y 8, width 320, height 240",
        "set crop: enable 1, x 16, y 8, width 320, height 240: ok"}},
      {Cmd(CMD_READ_CROP), {}, Bytes({0x76, 0, 0x8B, 0x0E, 2, 1, 0, 16, 0, 8, 1, 0x40, 0, 0xF0, 7, 0x80, 4, 0x38}),
       {"read crop", "crop: enable 1, x 16, y 8, width 320, height 240, image width 1920, image height 1080"}},
      {Cmd(CMD_READ_DETECTION), {}, Bytes({0x76, 0, 0x90, 0x0C, 2, 1, 1, 2, 0, 3, 4, 1, 2, 1, 0xF4, 5}),
       {"read detection", "detection: power-on 1, type 1, sensitivity 2, mode 0, threshold 3, "
                          "distance 4, target 1, 2 photos, interval 500 ms, next 5 s"}},
      {Cmd(CMD_READ_IMAGE_PARAMS, 1), {}, Bytes({0x76, 0, 0x90, 0x0C, 4, 1, 50, 40, 30, 20, 10, 1, 1, 0x2C, 5, 3}),
       {"read image: set 1", "image: set 1, brightness 50, contrast 40, sharpness 30, saturation 20, "
                             "hue 10, manual awb 1, awb 300, exposure 5, hlc 3"}},
      // A capture: stop, length, two blocks (the second one short), resume.
      {Cmd(CMD_STOP_FRAME), {}, Bytes({0x76, 0, 0x36, 0, 0}), {"stop frame", "stop frame: ok"}},
      {Cmd(CMD_GET_FRAME_LEN), {}, Bytes({0x76, 0, 0x34, 0, 4, 0, 0, 3, 0xE8}),
       {"get frame length", "frame length 1000 bytes"}},
      {{}, FrameBufferRequest(0, 0, 512, 0xFF), Block(std::vector<uint8_t>(512, 0x76)),
       {"read frame buffer: offset 0, 512 bytes, delay 255", "picture data, block 1 of 2, 512 bytes"}},
      {{}, FrameBufferRequest(0, 512, 488, 0xFF), Block(std::vector<uint8_t>(488, 0x32)),
       {"read frame buffer: offset 512, 488 bytes, delay 255", "picture data, block 2 of 2, 488 bytes"}},
      {Cmd(CMD_RESUME_FRAME), {}, Bytes({0x76, 0, 0x36, 0, 0}), {"resume frame", "resume frame: ok"}},
      // The camera's own reports, and what matches nothing.
      {{}, {}, Bytes({0x76, 0, 0x39, 0, 2}), {"motion: 2 pictures stored"}},
      {{}, {}, Bytes({0x76, 0, 0x39, 3, 1, 1, 3}), {"person: 3 pictures stored"}},
      {{}, {}, Bytes({0x76, 0, 0x92, 2, 1, 0xEE}), {"power-on capture failed"}},
      {{}, {}, text("\r\nVersion:QVX8M0 2.00\r\nInit end\r\n"), {"power-on banner, version QVX8M0 2.00"}},
      {Cmd(CMD_SET_COMPRESSION, 0x40), {}, Bytes({0, 0, 0x76, 0, 0x31, 0, 0}),
       {"set compression 0x40", "unrecognised, 2 bytes", "set compression 0x40: ok"}},
      // A report cut short before its count is not a count of 0x76 pictures, and the reply
      // after it still decodes.
      {Cmd(CMD_SET_COMPRESSION, 0x36), {}, Bytes({0x76, 0, 0x39, 0, 0x76, 0, 0x31, 0, 0}),
       {"set compression 0x36", "unrecognised, 4 bytes", "set compression 0x36: ok"}},
      // ... while a real count of 0x76 is one.
      {{}, {}, Bytes({0x76, 0, 0x39, 0, 0x76, 0x76, 0, 0x39, 0, 1}),
       {"motion: 118 pictures stored", "motion: 1 picture stored"}},
      // A status the command's headers do not allow: the engine reports no reply, not a refusal.
      {Cmd(CMD_SET_COMPRESSION, 0x36), {}, Bytes({0x76, 0, 0x31, 2, 0}),
       {"set compression 0x36", "set compression 0x36: no reply, status 02"}},
  };
}

TEST(FrameDecoder, CapturedExchangesSplitIntoPiecesDecodeFrameByFrame) {
  HeadlessHost host;
  FakeChannel channel;
  CCameraProtocol engine(&host);
  engine.UseFrameChannel(&channel);
  CFrameDecoder decoder;
  uint64_t pos = 0;
  std::vector<Exchange> exchanges = Exchanges();
  std::vector<DecodedFrame> out;
  for (Exchange& x : exchanges) {
    out.clear();
    std::vector<uint8_t> request = x.request;
    if (x.command.code) {
      const size_t before = channel.Frames().size();
      ASSERT_TRUE(engine.Issue(x.command));
      request = channel.Frames().at(before);
    }
    if (x.command.code == CMD_SET_OSD)
      // The record's line 1 is the operator's second line.
      x.texts = {"set osd: line 2, display 1, font 2, x 0, y 0, colour 0x007C, back 0xFFFF, \"Hi\"",
                 "set osd: line 2, display 1, font 2, x 0, y 0, colour 0x007C, back 0xFFFF, \"Hi\": ok"};
    if (!request.empty()) decoder.Feed(true, request.data(), request.size(), pos, out);
    pos += request.size();
    const uint64_t replyAt = pos;
    for (size_t i = 0; i < x.reply.size(); i += 3) {  // every reply split over reads
      const size_t n = std::min<size_t>(3, x.reply.size() - i);
      decoder.Feed(false, x.reply.data() + i, n, pos, out);
      pos += n;
    }
    std::vector<std::string> texts;
    for (const DecodedFrame& f : out) texts.push_back(f.text);
    EXPECT_EQ(texts, x.texts) << x.texts.front();
    if (!request.empty() && !out.empty()) {
      EXPECT_EQ(out.front().length, request.size());
    }
    if (out.size() > 1) {
      EXPECT_EQ(out.back().start + out.back().length, pos) << x.texts.front();
    }
    if (out.size() > 1 && x.texts.size() == 2 && !request.empty()) {
      EXPECT_EQ(out.back().start, replyAt);
    }
  }
  engine.UseFrameChannel(nullptr);
}

TEST(FrameDecoder, GarbageAndCutShortFramesAreToldAtTheEnd) {
  CFrameDecoder decoder;
  std::vector<DecodedFrame> out;
  const auto frame = FrameBufferRequest(0, 0, 512, 0xFF);
  decoder.Feed(true, frame.data(), frame.size(), 0, out);
  const auto head = Bytes({0x76, 0, 0x32, 0, 0, 1, 2, 3});
  decoder.Feed(false, head.data(), head.size(), 16, out);
  const auto again = FrameBufferRequest(0, 0, 512, 0xFF);  // the block asked again
  decoder.Feed(true, again.data(), again.size(), 24, out);
  const auto junk = Bytes({0x01, 0x76, 0x02, 0x55, 0x76});
  decoder.Feed(false, junk.data(), junk.size(), 40, out);
  decoder.Flush(out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[1].text, "picture data, block 1, 3 of 512 bytes");
  EXPECT_EQ(out[3].text, "unrecognised, 5 bytes");
  EXPECT_EQ(out[3].start, 40u);
  EXPECT_EQ(CFrameDecoder::RequestText(junk.data(), junk.size()), "unrecognised, 5 bytes");
}

TEST(FrameDecoder, FramesCarryTheArrivalOfTheirFirstByteAndTheirRequestsTime) {
  CFrameDecoder decoder;
  std::vector<DecodedFrame> out;
  const auto request = Bytes({0x56, 0, 0x11, 0});
  const auto reply = with(Bytes({0x76, 0, 0x11, 0, 2}), TextBytes("V1"));
  const auto report = Bytes({0x76, 0, 0x39, 0, 1});
  decoder.Feed(true, request.data(), request.size(), 0, out, 1000);
  decoder.Feed(false, reply.data(), 3, 4, out, 2500);
  decoder.Feed(false, reply.data() + 3, reply.size() - 3, 7, out, 2600);
  decoder.Feed(false, report.data(), report.size(), 11, out, 9000);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].timeUs, 1000);
  EXPECT_EQ(out[1].timeUs, 2500);
  EXPECT_EQ(out[1].requestTimeUs, 1000);
  EXPECT_EQ(out[2].timeUs, 9000);
  EXPECT_EQ(out[2].requestTimeUs, -1);  // a report answers nothing
}

TEST(FrameDecoder, TraceModelShowsEachFrameOnTheLineItStarts) {
  // A version reply split over two appends, then a motion report on the same line; a model
  // that starts decoding afterwards shows the same as one that decoded all along.
  CTraceModel live, later;
  live.SetDecoding(true);
  const auto request = Bytes({0x56, 0, 0x11, 0});
  const auto reply = with(with(Bytes({0x76, 0, 0x11, 0, 2}), TextBytes("V1")), Bytes({0x76, 0, 0x39, 0, 1}));
  for (CTraceModel* m : {&live, &later}) {
    m->Append(true, request.data(), request.size(), 0);
    m->Append(false, reply.data(), 4, 0);
    m->Append(false, reply.data() + 4, reply.size() - 4, 0);
  }
  later.SetDecoding(true);
  TraceFormat decoded;
  decoded.decoded = true;
  const TraceExtent e = live.Extent();
  const auto lines = live.Lines(e.first, 8, decoded);
  ASSERT_EQ(lines.size(), 4u);
  // The column sits after 16 bytes' worth, beside the frame, not after the widest line.
  EXPECT_EQ(lines[2], "TX :56 00 11 00" + std::string(53 - 15, ' ') + "get version");
  EXPECT_EQ(lines[3].substr(53), "version V1; motion: 1 picture stored");
  EXPECT_EQ(later.Lines(e.first, 8, decoded), lines);
  EXPECT_EQ(live.Lines(e.first, 8, {})[2], "TX :56 00 11 00 ");  // the column is asked for
}

}  // namespace
