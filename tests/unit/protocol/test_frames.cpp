// Every request frame byte for byte, and the arguments that must send nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "ProtocolTestSupport.h"
#include "protocol/ProtocolFrames.h"

namespace {

struct FrameCase {
  const char* name;
  std::function<void(CCameraProtocol&)> send;
  const char* expected;  // "" = nothing may be written
};

OsdLineSetting OsdRecord(const std::string& text) {
  OsdLineSetting r;
  r.display = 1;
  r.line = 2;
  r.font = 1;
  r.x = 0x0102;
  r.y = 0x0304;
  r.fontColor = 0x7C00;
  r.backColor = 0x001F;
  r.length = static_cast<uint8_t>(text.size());
  std::memcpy(r.text, text.data(), text.size());
  return r;
}

class Frames : public ::testing::Test {
 protected:
  HeadlessHost host;
  FakeClock clock;
  FakeChannel channel;
  CCameraProtocol engine{&host, &clock, FakeDecoder()};
  void SetUp() override { engine.UseFrameChannel(&channel); }

  // The frame-buffer request goes out from inside a transfer; its bytes are checked here.
  void SendBlockRequest(CCameraProtocol&, uint8_t selector, uint32_t address, uint32_t length,
                        uint16_t delay) {
    auto frame = FrameBufferRequest(selector, address, length, delay);
    channel.Send(frame.data(), frame.size());
  }

  void Check(const std::vector<FrameCase>& cases) {
    for (const auto& c : cases) {
      channel.Clear();
      c.send(engine);
      const auto frames = channel.HexFrames();
      if (std::string(c.expected).empty()) {
        EXPECT_TRUE(frames.empty()) << c.name << " sent " << (frames.empty() ? "" : frames[0]);
      } else {
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0], c.expected) << c.name;
      }
    }
  }
};

TEST_F(Frames, EveryCommandByteForByte) {
  DetectSettings d;
  d.photos = 3;
  d.nextDetect = 10;
  d.interval = 0x1234;
  d.powerOnDetect = 1;
  d.type = 2;
  d.sensitivity = 3;
  d.mode = 1;
  d.threshold = 4;
  d.distance = 2;
  d.targetSelect = 5;
  ImageParams p{1, 2, 3, 4, 5, 6, 1, 0x01, 0x90, 9, 10};
  CropSettings crop;
  crop.operation = 1;
  crop.enable = 1;
  crop.x = 0x0010;
  crop.y = 0x0020;
  crop.width = 0x0140;
  crop.height = 0x00F0;

  Check({
      {"reset", [](auto& e) { Issue(e, CMD_RESET); }, "56 00 26 00"},
      {"stop frame JPEG", [](auto& e) { Issue(e, CMD_STOP_FRAME, 0x00); }, "56 00 36 01 00"},
      {"stop frame YUV", [](auto& e) { Issue(e, CMD_STOP_FRAME, 0x0A); }, "56 00 36 01 0A"},
      {"resume", [](auto& e) { Issue(e, CMD_RESUME_FRAME); }, "56 00 36 01 03"},
      {"length, selector 3", [](auto& e) { Issue(e, CMD_GET_FRAME_LEN, 3); }, "56 00 34 01 03"},
      {"512 bytes from 1024",
       [&](auto& e) { SendBlockRequest(e, 0, 1024, 512, 0x00FF); },
       "56 00 32 0C 00 0A 00 00 04 00 00 00 02 00 00 FF"},
      {"12 MB from 0x01020304, selector 2",
       [&](auto& e) { SendBlockRequest(e, 2, 0x01020304, 12441600, 0x00FF); },
       "56 00 32 0C 02 0A 01 02 03 04 00 BD D8 00 00 FF"},
      {"compression", [](auto& e) { Issue(e, CMD_SET_COMPRESSION, 0x36); }, "56 00 31 05 01 01 12 04 36"},
      {"power save on", [](auto& e) { Issue(e, CMD_POWER_SAVE_ON); }, "56 00 3E 03 00 01 01"},
      {"power save off", [](auto& e) { Issue(e, CMD_POWER_SAVE_OFF); }, "56 00 3E 03 00 01 00"},
      {"a code without a frame", [](auto& e) { Issue(e, CMD_UNUSED_5); }, ""},
      {"temp baud 9600", [](auto& e) { Issue(e, CMD_SET_TEMP_BAUD, 9600); }, "56 00 24 03 01 AE C8"},
      {"temp baud 115200", [](auto& e) { Issue(e, CMD_SET_TEMP_BAUD, 115200); }, "56 00 24 03 01 0D A6"},
      {"temp baud 230400", [](auto& e) { Issue(e, CMD_SET_TEMP_BAUD, 230400); }, ""},
      {"temp baud 14400", [](auto& e) { Issue(e, CMD_SET_TEMP_BAUD, 14400); }, ""},
      {"image size 1", [](auto& e) { Issue(e, CMD_SET_IMAGE_SIZE, 1); }, "56 00 31 05 04 01 00 19 22"},
      {"image size 3", [](auto& e) { Issue(e, CMD_SET_IMAGE_SIZE, 3); }, "56 00 31 05 04 01 00 19 00"},
      {"image size 4", [](auto& e) { Issue(e, CMD_SET_IMAGE_SIZE, 4); }, "56 00 31 05 05 01 00 19 33"},
      {"image size 14", [](auto& e) { Issue(e, CMD_SET_IMAGE_SIZE, 14); }, "56 00 31 05 05 01 00 19 AD"},
      {"image size 0", [](auto& e) { Issue(e, CMD_SET_IMAGE_SIZE, 0); }, ""},
      {"image size 15", [](auto& e) { Issue(e, CMD_SET_IMAGE_SIZE, 15); }, ""},
      {"motion on", [](auto& e) { Issue(e, CMD_MOTION_ON); }, "56 00 37 01 01"},
      {"motion off", [](auto& e) { Issue(e, CMD_MOTION_OFF); }, "56 00 37 01 00"},
      {"sensitivity", [](auto& e) { Issue(e, CMD_SET_MOTION_SENSITIVITY); }, "56 00 31 05 01 01 1A 6E 03"},
      {"fill light on (never sent)", [](auto& e) { Issue(e, CMD_FILL_LIGHT_ON); }, ""},
      {"fill light 0", [](auto& e) { Issue(e, CMD_FILL_LIGHT_OFF); }, "56 00 85 01 00"},
      {"fill light 35", [](auto& e) { Issue(e, CMD_SET_FILL_LIGHT, 35); }, "56 00 85 01 23"},
      {"fill light 101", [](auto& e) { Issue(e, CMD_SET_FILL_LIGHT, 101); }, "56 00 85 01 65"},
      {"fill light 150", [](auto& e) { Issue(e, CMD_SET_FILL_LIGHT, 150); }, "56 00 85 01 64"},
      {"version", [](auto& e) { Issue(e, CMD_GET_VERSION); }, "56 00 11 00"},
      {"motion capture", [](auto& e) { e.Issue(MakeCommand(CMD_SET_MOTION_CAPTURE, MotionCaptureSettings{3, 500, 10})); },
       "56 00 87 04 03 0A 01 F4"},
      {"multi capture", [](auto& e) { e.Issue(MakeCommand(CMD_MULTI_CAPTURE, MultiCaptureSettings{3, 500})); }, "56 00 88 03 03 01 F4"},
      {"power-on capture", [](auto& e) { e.Issue(MakeCommand(CMD_SET_POWER_CAPTURE, MultiCaptureSettings{3, 500})); },
       "56 00 91 04 01 03 01 F4"},
      {"power-on capture off", [](auto& e) { e.Issue(MakeCommand(CMD_SET_POWER_CAPTURE, MultiCaptureSettings{0, 500})); },
       "56 00 91 04 01 00 01 F4"},
      {"crop write (held LE, sent BE)", [&](auto& e) { e.Issue(MakeCommand(CMD_SET_CROP, crop)); },
       "56 00 8B 0A 01 01 00 10 00 20 01 40 00 F0"},
      {"crop read", [](auto& e) { Issue(e, CMD_READ_CROP); }, "56 00 8B 01 02"},
      // A record write carrying another record (or a number) sends no default record.
      {"crop with a number", [](auto& e) { e.Issue(MakeCommand(CMD_SET_CROP, 5u)); }, ""},
      {"OSD with a crop window", [&](auto& e) { e.Issue(MakeCommand(CMD_SET_OSD, crop)); }, ""},
      {"detection", [&](auto& e) { e.Issue(MakeCommand(CMD_SET_DETECTION, d)); },
       "56 00 91 0C 02 01 02 03 01 04 02 05 03 12 34 0A"},
      {"read detection", [](auto& e) { Issue(e, CMD_READ_DETECTION); }, "56 00 90 01 02"},
      {"read settings", [](auto& e) { Issue(e, CMD_READ_SETTINGS); }, "56 00 90 01 00"},
      {"image params", [&](auto& e) { e.Issue(MakeCommand(CMD_SET_IMAGE_PARAMS, p)); },
       "56 00 91 0C 04 01 02 03 04 05 06 01 01 90 09 0A"},
      {"read image params 1", [](auto& e) { Issue(e, CMD_READ_IMAGE_PARAMS, 1); }, "56 00 90 02 04 01"},
      {"read image params 7 -> 0", [](auto& e) { Issue(e, CMD_READ_IMAGE_PARAMS, 7); }, "56 00 90 02 04 00"},
      {"reset image params 1", [](auto& e) { Issue(e, CMD_RESET_IMAGE_PARAMS, 1); }, "56 00 91 02 04 01"},
      {"reset image params 2 -> 0", [](auto& e) { Issue(e, CMD_RESET_IMAGE_PARAMS, 2); },
       "56 00 91 02 04 00"},
      {"image format YUV", [](auto& e) { Issue(e, CMD_SET_IMAGE_FORMAT, 1); }, "56 00 93 03 03 01 01"},
      {"OSD line", [](auto& e) { e.Issue(MakeCommand(CMD_SET_OSD, OsdRecord("AB"))); },
       "56 00 86 0E 01 02 01 01 02 03 04 7C 00 00 1F 02 41 42"},
  });
}

TEST_F(Frames, LengthRequestTakesTheLongFormOnlyForLiveNv12Frames) {
  struct {
    int imageType, mode;
    uint8_t selector;
    const char* expected;
  } cases[] = {
      {IMAGE_TYPE_YUV, CAPTURE_SINGLE, 0, "56 00 34 02 00 00"},
      {IMAGE_TYPE_YUV, CAPTURE_CONTINUOUS, 0, "56 00 34 02 00 00"},
      {IMAGE_TYPE_YUV, CAPTURE_SINGLE, 1, "56 00 34 01 01"},  // a stored picture is JPEG
      {IMAGE_TYPE_YUV, CAPTURE_MULTI_READ, 0, "56 00 34 01 00"},
      {IMAGE_TYPE_JPEG, CAPTURE_SINGLE, 0, "56 00 34 01 00"},
  };
  for (const auto& c : cases) {
    engine.UpdateSettings([&](SessionSettings& s) { s.imageType = c.imageType; });
    engine.SetCaptureMode(c.mode);
    channel.Clear();
    Issue(engine, CMD_GET_FRAME_LEN, c.selector);
    EXPECT_EQ(channel.LastHex(), c.expected) << c.imageType << "/" << c.mode;
  }
}

TEST_F(Frames, SerialNumberGoesIntoByteOneOfEveryFrame) {
  engine.ApplySerialNumber(0x01);
  Check({
      {"reset", [](auto& e) { Issue(e, CMD_RESET); }, "56 01 26 00"},
      {"OSD", [](auto& e) { e.Issue(MakeCommand(CMD_SET_OSD, OsdRecord(""))); },
       "56 01 86 0C 01 02 01 01 02 03 04 7C 00 00 1F 00"},
  });
  // Only the applied number counts; storing the window's value alone changes nothing.
  engine.UpdateSettings([&](SessionSettings& s) { s.serialNumber = 0x22; });
  Check({{"reset", [](auto& e) { Issue(e, CMD_RESET); }, "56 01 26 00"}});
}

TEST_F(Frames, DefaultRateInterfaceByteFollowsTheFirmware) {
  struct {
    const char* version;
    unsigned baud;
    const char* expected;
  } cases[] = {
      {"QVX1M3 1.2", 921600, "56 00 31 06 04 02 00 08 EE A3"},
      {"QVX1M3 1.4", 460800, "56 00 31 06 04 02 00 08 EE A2"},
      {"QVX1M3 1.5", 921600, "56 00 31 06 05 02 00 08 EE A3"},
      {"QVX1M3 0.3", 921600, "56 00 31 06 05 02 00 08 EE A3"},
      {"QVX2M0 1.1", 230400, "56 00 31 06 04 02 00 08 EE A1"},
      {"QVX2M0 1.2", 230400, "56 00 31 06 05 02 00 08 EE A1"},
      {"QVX5M0 2.00", 921600, "56 00 31 06 05 02 00 08 EE A3"},
      {"QVX1M3 1.5", 115200, "56 00 31 06 04 02 00 08 0D A6"},
      {"QVX5M0 2.00", 9600, "56 00 31 06 04 02 00 08 AE C8"},
      {"", 921600, ""},
      {"", 115200, ""},
      {"QVX1M3 1.2", 250000, ""},
  };
  for (const auto& c : cases) {
    engine.SetVersionText(c.version);
    channel.Clear();
    Issue(engine, CMD_SET_BAUD, c.baud);
    EXPECT_EQ(channel.Frames().empty() ? "" : channel.LastHex(), c.expected)
        << c.version << " @ " << c.baud;
  }
}

TEST_F(Frames, LongOsdTextKeepsEveryByteWithLengthCappedAt255) {
  const std::string text(250, 'x');
  engine.Issue(MakeCommand(CMD_SET_OSD, OsdRecord(text)));
  const auto frames = channel.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].size(), 16u + 250u);
  EXPECT_EQ(frames[0][3], 0xFF);  // 12 + 250 = 262 does not fit
  EXPECT_EQ(frames[0][15], 250);
  EXPECT_EQ(frames[0].back(), 'x');
}

}  // namespace
