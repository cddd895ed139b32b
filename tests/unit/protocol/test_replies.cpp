// Reply processing, one pass at a time: bytes are fed by hand, passes run by hand.
#include <gtest/gtest.h>

#include "ProtocolTestSupport.h"

namespace {

class Replies : public ::testing::Test {
 protected:
  HeadlessHost host;
  FakeClock clock;
  FakeChannel channel;
  CCameraProtocol engine{&host, &clock, FakeDecoder()};
  void SetUp() override { engine.UseFrameChannel(&channel); }

  void Feed(const std::vector<uint8_t>& bytes) {
    engine.AppendReceived(bytes.data(), static_cast<unsigned>(bytes.size()));
  }
  void Queue(int code) { engine.QueueCommand(code); }
  std::vector<int> Queued() { return engine.QueuedCommands(); }
  std::vector<uint8_t> Buffer() { return engine.ReceiveBufferSnapshot(); }
  std::string Last() { return host.LastStatusLine(); }
  // What the results so far carried of kind T, in order.
  template <typename T>
  std::vector<T> Carried() {
    std::vector<T> out;
    for (const CommandResult& r : host.Results())
      if (const T* data = r.Data<T>()) out.push_back(*data);
    return out;
  }
  int EventsOf(CameraEventKind kind) {
    int n = 0;
    for (const CameraEvent& e : host.Events()) n += e.kind == kind;
    return n;
  }
};

// Commands whose reply only logs, table-driven: queue, feed the reply (with a second
// reply behind it that must survive), one pass.
TEST_F(Replies, SimpleRepliesLogTheirTextAndConsumeOnlyTheirBytes) {
  struct Case {
    int code;
    std::vector<uint8_t> reply;
    const char* line;
  } cases[] = {
      {CMD_SET_COMPRESSION, Bytes({0x76, 0, 0x31, 0, 0}), "(09:05:03) Set compression success!"},
      {CMD_POWER_SAVE_ON, Bytes({0x76, 0, 0x3E, 0, 0}), "(09:05:03) Change power saving mode success!"},
      {CMD_POWER_SAVE_OFF, Bytes({0x76, 0, 0x3E, 0, 0}), "(09:05:03) Change power saving mode success!"},
      {CMD_SET_TEMP_BAUD, Bytes({0x76, 0, 0x24, 0}),
       "(09:05:03) 设置临时波特率成功!请关闭端口重新选择波特率再打开!"},
      {CMD_SET_IMAGE_SIZE, Bytes({0x76, 0, 0x31, 1, 0}), "(09:05:03) Set image size success!"},
      {CMD_FILL_LIGHT_ON, Bytes({0x76, 0, 0x85, 0}), "(09:05:03) Open fill light success!"},
      {CMD_FILL_LIGHT_OFF, Bytes({0x76, 0, 0x85, 0}), "(09:05:03) Close fill light success!"},
      {CMD_SET_FILL_LIGHT, Bytes({0x76, 0, 0x85, 0}), "(09:05:03) set fill light success!"},
      {CMD_SET_OSD, Bytes({0x76, 0, 0x86, 1, 0xC8}), "(09:05:03) set osd char line 200 success!"},
      {CMD_SET_MOTION_CAPTURE, Bytes({0x76, 0, 0x87, 1, 0}), "(09:05:03) set mutil motion capture success!"},
      {CMD_SET_MOTION_CAPTURE, Bytes({0x76, 0, 0x87, 1, 2}), "(09:05:03) set mutil motion capture fail!"},
      {CMD_MULTI_CAPTURE, Bytes({0x76, 0, 0x88, 1, 0}), "(09:05:03) Mutil capture success!"},
      {CMD_MULTI_CAPTURE, Bytes({0x76, 0, 0x88, 1, 1}), "(09:05:03) Mutil capture fail!"},
      {CMD_SET_POWER_CAPTURE, Bytes({0x76, 0, 0x91, 1, 0}), "(09:05:03) set power auto capturesuccess"},
      {CMD_SET_POWER_CAPTURE, Bytes({0x76, 0, 0x91, 1, 4}), "(09:05:03) set power auto capturefail"},
      {CMD_SET_DETECTION, Bytes({0x76, 0, 0x91, 2, 2, 0}), "(09:05:03) set Intelligent detection success!"},
      {CMD_SET_DETECTION, Bytes({0x76, 0, 0x91, 2, 2, 1}), "(09:05:03) set Intelligent detection fail!"},
      {CMD_SET_IMAGE_PARAMS, Bytes({0x76, 0, 0x91, 2, 4, 0}), "(09:05:03) set image success!"},
      {CMD_SET_IMAGE_FORMAT, Bytes({0x76, 0, 0x93, 3, 3, 1, 0}), "(09:05:03) set image format success!"},
      {CMD_SET_CROP, Bytes({0x76, 0, 0x8B, 2, 1, 0}), "(09:05:03) set cropsuccess"},
      {CMD_SET_CROP, Bytes({0x76, 0, 0x8B, 2, 1, 7}), "(09:05:03) set cropfail,7"},
  };
  const auto next = Bytes({0x76, 0, 0x31, 0, 0});
  for (const auto& c : cases) {
    engine.ClearCommands();
    engine.DiscardReceived();
    Queue(c.code);
    Queue(CMD_SET_COMPRESSION);
    auto bytes = c.reply;
    bytes.insert(bytes.end(), next.begin(), next.end());
    Feed(bytes);
    engine.ProcessReplies();
    EXPECT_EQ(Last(), c.line) << "code " << c.code;
    EXPECT_EQ(Queued(), std::vector<int>{CMD_SET_COMPRESSION}) << "code " << c.code;
    EXPECT_EQ(Hex(Buffer()), Hex(next)) << "code " << c.code;
  }
}

TEST_F(Replies, LeadingGarbageAndRepliesSplitAcrossPasses) {
  Queue(CMD_SET_COMPRESSION);
  Feed(Bytes({0x00, 0x00, 0x76, 0x00, 0x31, 0x00, 0x00}));
  engine.ProcessReplies();
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(Buffer().empty());

  Queue(CMD_SET_COMPRESSION);
  Feed(Bytes({0x76, 0x00, 0x31, 0x00}));
  engine.ProcessReplies();
  EXPECT_EQ(Queued(), std::vector<int>{CMD_SET_COMPRESSION});  // waits for the last byte
  EXPECT_EQ(Buffer().size(), 4u);
  Feed(Bytes({0x00}));
  engine.ProcessReplies();
  EXPECT_TRUE(Queued().empty());
}

TEST_F(Replies, OnlyTheAppliedSerialNumberIsRecognised) {
  engine.ApplySerialNumber(0x01);
  Queue(CMD_SET_COMPRESSION);
  Feed(Bytes({0x76, 0x00, 0x31, 0x00, 0x00}));
  engine.ProcessReplies();
  EXPECT_EQ(Queued(), std::vector<int>{CMD_SET_COMPRESSION});  // waits: not ours
  engine.DiscardReceived();
  Feed(Bytes({0x76, 0x01, 0x31, 0x00, 0x00}));
  engine.ProcessReplies();
  EXPECT_TRUE(Queued().empty());
}

TEST_F(Replies, TwoOutstandingCommandsAreMatchedInOrder) {
  Issue(engine, CMD_GET_VERSION);
  Issue(engine, CMD_SET_COMPRESSION, 0x40);
  EXPECT_EQ(channel.HexFrames(),
            (std::vector<std::string>{"56 00 11 00", "56 00 31 05 01 01 12 04 40"}));
  auto both = Bytes({0x76, 0, 0x11, 0, 0x0B});
  const auto text = TextBytes("QVX5M0 2.00");
  both.insert(both.end(), text.begin(), text.end());
  both.insert(both.end(), {0x76, 0, 0x31, 0, 0});
  Feed(both);  // both replies in one chunk
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Version query success! QVX5M0 2.00");
  EXPECT_EQ(engine.State().versionText, "QVX5M0 2.00");
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Set compression success!");
  EXPECT_TRUE(Queued().empty());
}

TEST_F(Replies, VersionTexts) {
  struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"ABC RI07 1.0", "QVX0806NB"},
      {std::string(120, 'V'), std::string(120, 'V')},  // longer than any fixed buffer: whole
      {std::string("QVX1M3 1.2\0junk", 15), "QVX1M3 1.2"},
  };
  for (const auto& c : cases) {
    Queue(CMD_GET_VERSION);
    auto reply = Bytes({0x76, 0, 0x11, 0, static_cast<int>(c.text.size())});
    reply.insert(reply.end(), c.text.begin(), c.text.end() - 1);
    Feed(reply);
    engine.ProcessReplies();
    EXPECT_EQ(Queued().size(), 1u) << "waits for the whole text";
    Feed(Bytes({c.text.back()}));
    engine.ProcessReplies();
    EXPECT_TRUE(Queued().empty());
    const auto versions = Carried<VersionReply>();
    ASSERT_FALSE(versions.empty());
    EXPECT_EQ(versions.back().text, c.shown);
    EXPECT_EQ(engine.State().versionText, c.shown);
    EXPECT_EQ(Last(), "(09:05:03) Version query success! " + c.shown);
  }
}

TEST_F(Replies, ResetFindsInitEndAfterOtherBytes) {
  Queue(CMD_RESET);
  auto bytes = Bytes({0x76, 0, 0x26, 0, 'x', 'y', 'z'});
  const auto text = TextBytes("Init end\r\n");
  bytes.insert(bytes.end(), text.begin(), text.end());
  Feed(bytes);
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Reset success! Init end!");
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(Buffer().empty());
  // The window sets detection to "Close" on this result.
  ASSERT_EQ(host.Results().size(), 1u);
  EXPECT_EQ(host.Results()[0].code, CMD_RESET);
  EXPECT_TRUE(host.Results()[0].Ok());
}

TEST_F(Replies, ResetWithUnknownTextFlushesTheBuffer) {
  Queue(CMD_RESET);
  auto bytes = Bytes({0x76, 0, 0x26, 0});
  const auto text = TextBytes("Inxxxxxxxx");
  bytes.insert(bytes.end(), text.begin(), text.end());
  Feed(bytes);
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Reset Unknow char ,flush buffer");
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(Buffer().empty());
}

TEST_F(Replies, ResetTextSplitRightAfterItsFirstLetterStillCounts) {
  Queue(CMD_RESET);
  auto bytes = Bytes({0x76, 0, 0x26, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 'I'});
  Feed(bytes);
  engine.ProcessReplies();
  EXPECT_EQ(Hex(Buffer()), "76 00 26 00 49");
  const auto rest = TextBytes("nit end\r\n");
  Feed(rest);
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Reset success! Init end!");
}

TEST_F(Replies, BytesWithoutAReplyStartCostTheWaitingCommand) {
  Queue(CMD_SET_OSD);
  Feed(TextBytes("hello"));
  engine.ProcessReplies();
  EXPECT_TRUE(Queued().empty());
  engine.ProcessReplies();  // quiet line: the unsolicited junk goes
  EXPECT_TRUE(Buffer().empty());
  EXPECT_TRUE(host.StatusLines().empty());
}

TEST_F(Replies, MismatchOutcomesByCommand) {
  // Dropped with the bytes, nothing logged.
  Queue(CMD_SET_DETECTION);
  Feed(Bytes({0x76, 0, 0x91, 0x03, 0x02, 0x00}));
  engine.ProcessReplies();
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(Buffer().empty());
  EXPECT_TRUE(host.StatusLines().empty());

  // Waited out: nothing removed.
  Queue(CMD_SET_COMPRESSION);
  Feed(Bytes({0x76, 0, 0x31, 0x01, 0x00}));
  engine.ProcessReplies();
  EXPECT_EQ(Queued(), std::vector<int>{CMD_SET_COMPRESSION});
  EXPECT_EQ(Buffer().size(), 5u);
  engine.ClearCommands();
  engine.DiscardReceived();

  // Length: asked again for the same picture, still one entry waiting.
  // Not at once, so a camera that always answers wrongly is not asked in a tight loop.
  engine.SetCaptureMode(CAPTURE_SINGLE);
  Issue(engine, CMD_GET_FRAME_LEN, 3);
  channel.Clear();
  Feed(Bytes({0x76, 0, 0x34, 0x01, 0, 0, 0, 0, 0}));
  const uint32_t before = clock.now;
  engine.ProcessReplies();
  EXPECT_GE(clock.now - before, 100u);
  EXPECT_EQ(channel.HexFrames(), std::vector<std::string>{"56 00 34 01 03"});
  EXPECT_EQ(Queued(), std::vector<int>{CMD_GET_FRAME_LEN});
  EXPECT_TRUE(Buffer().empty());

  // Codes that are never queued or unknown leave at once.
  engine.ClearCommands();
  Queue(CMD_UNUSED_5);
  Queue(40);
  Queue(CMD_SET_COMPRESSION);
  engine.ProcessReplies();
  engine.ProcessReplies();
  EXPECT_EQ(Queued(), std::vector<int>{CMD_SET_COMPRESSION});
}

TEST_F(Replies, AWaitingReplyKeepsABoundedBuffer) {
  Queue(CMD_SET_COMPRESSION);
  const auto wrong = Bytes({0x76, 0, 0x31, 0x01, 0x00});
  Feed(wrong);
  const std::vector<uint8_t> flood(100000, 0x55);
  Feed(flood);
  engine.ProcessReplies();
  const auto kept = Buffer();
  ASSERT_EQ(kept.size(), 65536u);
  EXPECT_EQ(Hex({kept.begin(), kept.begin() + 5}), Hex(wrong));  // the start stays
  EXPECT_EQ(Queued(), std::vector<int>{CMD_SET_COMPRESSION});
  const std::string told =
      "(09:05:03) Error:Waiting for a reply: received bytes beyond 65536 are dropped";
  EXPECT_EQ(Last(), told);
  Feed(flood);
  engine.ProcessReplies();
  EXPECT_EQ(Buffer().size(), 65536u);
  EXPECT_EQ(host.StatusLinesContaining("received bytes beyond").size(), 1u);  // said once
}

TEST_F(Replies, ZeroLengthGetsExactlyOneResult) {
  engine.SetCaptureMode(CAPTURE_SINGLE);
  Queue(CMD_GET_FRAME_LEN);
  for (int i = 0; i < 2; ++i) {  // asked again or not, a second zero adds nothing
    Feed(Bytes({0x76, 0, 0x34, 0, 4, 0, 0, 0, 0}));
    engine.ProcessReplies();
  }
  engine.ClearCommands();
  const auto results = host.Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, CMD_GET_FRAME_LEN);
  EXPECT_EQ(results[0].outcome, Outcome::Failed);
  EXPECT_TRUE(Queued().empty());
  Queue(CMD_SET_COMPRESSION);  // the next command is reported as usual
  engine.ClearCommands();
  EXPECT_EQ(host.Results().size(), 2u);
}

TEST_F(Replies, LengthReply) {
  engine.SetCaptureMode(CAPTURE_SINGLE);
  Queue(CMD_GET_FRAME_LEN);
  Feed(Bytes({0x76, 0, 0x34, 0, 4, 0, 0, 0, 0}));
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Error:读取jpg长度为0!");
  EXPECT_EQ(Queued(), std::vector<int>{CMD_GET_FRAME_LEN});  // stays at the head
  EXPECT_TRUE(Buffer().empty());

  Feed(Bytes({0x76, 0, 0x34, 0, 4, 0x00, 0x01, 0x86, 0xA0}));
  engine.ProcessReplies();
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(engine.State().fileLength, 100000u);
  EXPECT_EQ(engine.State().imageLength, 100000u);
  EXPECT_EQ(host.ProgressRange(), 100000u);
  EXPECT_TRUE(host.HasStatusLine("m_dwFileLength = 100000"));
  EXPECT_EQ(Last(), "(09:05:03) Read success,image length:100000!");

  // The long NV12 form: the whole 13 bytes before it counts, then width and height.
  Queue(CMD_GET_FRAME_LEN);
  Feed(Bytes({0x76, 0, 0x34, 0, 0x0A, 0x00, 0xBD, 0xD8, 0x00, 0x0F}));
  engine.ProcessReplies();
  EXPECT_EQ(Queued(), std::vector<int>{CMD_GET_FRAME_LEN});
  Feed(Bytes({0x00, 0x08, 0x70, 0x76}));
  engine.ProcessReplies();
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(engine.State().fileLength, 12441600u);
  EXPECT_EQ(engine.State().frameWidth, 3840);
  EXPECT_EQ(engine.State().frameHeight, 2160);
  EXPECT_EQ(Hex(Buffer()), "76");  // the next reply's first byte is left alone
}

TEST_F(Replies, FollowUpCommands) {
  struct {
    int code;
    std::vector<uint8_t> reply;
    std::vector<std::string> frames;
    std::vector<int> queued;
    const char* line;
  } cases[] = {
      {CMD_SET_BAUD, Bytes({0x76, 0, 0x31, 0}), {"56 00 26 00"}, {CMD_RESET},
       "(09:05:03) Change temp baud success!Please close prot and select new baud again!"},
      {CMD_SET_IMAGE_SIZE, Bytes({0x76, 0, 0x31, 0, 0}), {"56 00 26 00"}, {CMD_RESET},
       "(09:05:03) Set image size success!"},
      {CMD_SET_MOTION_SENSITIVITY, Bytes({0x76, 0, 0x31, 0, 0}), {"56 00 37 01 01"},
       {CMD_MOTION_ON}, "(09:05:03) set motion sensitivity success!"},
  };
  for (const auto& c : cases) {
    engine.ClearCommands();
    channel.Clear();
    Queue(c.code);
    Feed(c.reply);
    engine.ProcessReplies();
    EXPECT_EQ(channel.HexFrames(), c.frames) << c.code;
    EXPECT_EQ(Queued(), c.queued) << c.code;
    EXPECT_EQ(Last(), c.line) << c.code;
  }
}

TEST_F(Replies, DetectionSwitchWordingFollowsTheDetectionKind) {
  const char* on[] = {"Open motion detect success!", "Open person detect success!",
                      "Open vehicle detect success!"};
  const char* off[] = {"Close motion detect success!", "Close person detect success!",
                       "Close vehicle detect success!"};
  for (uint8_t kind = 0; kind < 3; ++kind) {
    engine.SetDetectType(kind);
    Queue(CMD_MOTION_ON);
    Queue(CMD_MOTION_OFF);
    Feed(Bytes({0x76, 0, 0x37, 0, 0, 0x76, 0, 0x37, 0, 0}));
    engine.ProcessReplies();
    EXPECT_EQ(Last(), std::string("(09:05:03) ") + on[kind]);
    engine.ProcessReplies();
    EXPECT_EQ(Last(), std::string("(09:05:03) ") + off[kind]);
  }
}

TEST_F(Replies, UnsolicitedMotionReportAsksToReadThePictures) {
  Feed(Bytes({0x76, 0x00, 0x39, 0x00, 0x02}));
  engine.ProcessReplies();
  EXPECT_TRUE(host.HasStatusLine("Motion Detection happen!"));
  EXPECT_EQ(channel.HexFrames(), std::vector<std::string>{"56 00 37 01 00"});
  EXPECT_EQ(Queued(), std::vector<int>{CMD_MOTION_OFF});
  ASSERT_EQ(host.ReadButtons().size(), 1u);
  EXPECT_TRUE(host.ReadButtons()[0].enabled);
  EXPECT_EQ(host.ReadButtons()[0].caption, "Read0/2");
  EXPECT_EQ(engine.State().storedCount, 2);
  EXPECT_TRUE(engine.State().readingDetected);
  EXPECT_TRUE(Buffer().empty());

  // Detection switched off: with pictures waiting, the operator is told to read them.
  Feed(Bytes({0x76, 0x00, 0x37, 0x00, 0x00}));
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Motion Detection happen! Please click read");
}

// A report cut short before its count with the next report right behind it: 0x76 is not a
// count of 118, and the report behind it is the one that counts.
TEST_F(Replies, AMotionReportCutShortDoesNotSwallowTheFrameBehindIt) {
  Feed(Bytes({0x76, 0x00, 0x39, 0x00, 0x76, 0x00, 0x39, 0x00, 0x02}));
  engine.ProcessReplies();
  engine.ProcessReplies();
  const auto events = host.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, CameraEventKind::Motion);
  EXPECT_EQ(events[0].count, 2);
  EXPECT_EQ(engine.State().storedCount, 2);
}

TEST_F(Replies, UnsolicitedPersonReports) {
  // Live count only.
  Feed(Bytes({0x76, 0, 0x39, 0x03, 0x01, 0x00, 0x04}));
  engine.ProcessReplies();
  EXPECT_TRUE(host.HasStatusLine("(09:05:03) 4 people detecting now!"));
  EXPECT_EQ(engine.Records().detect.detectedCount, 4);
  engine.ClearCommands();

  Feed(Bytes({0x76, 0, 0x39, 0x03, 0x02, 0x00, 0x02}));
  engine.ProcessReplies();
  EXPECT_TRUE(host.HasStatusLine("(09:05:03) 2 cars detecting now!"));
  engine.ClearCommands();

  // Pictures stored; the report arrives in two pieces.
  Feed(Bytes({0x00, 0x76, 0, 0x39, 0x03}));
  engine.ProcessReplies();
  EXPECT_FALSE(host.HasStatusLine("Person or vehicle"));
  Feed(Bytes({0x01, 0x01, 0x03}));
  engine.ProcessReplies();
  EXPECT_EQ(engine.State().storedCount, 3);
  EXPECT_TRUE(host.HasStatusLine("Person or vehicle Detection happen! Please click read"));
  EXPECT_EQ(host.ReadButtons().back().caption, "Read0/3");
}

TEST_F(Replies, PowerOnBannerErrorsAndAutoCaptureReports) {
  Feed(TextBytes("\r\nVersion:QVX5M0 2.00\r\nInit end\r\n"));
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Power on success! Get Init end!");
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].version, "QVX5M0 2.00");
  EXPECT_TRUE(Buffer().empty());

  Feed(TextBytes("xxRI07 Init end\r\n"));
  engine.ProcessReplies();
  EXPECT_EQ(host.Events().back().version, "QVX0806NB");

  Feed(TextBytes("Error"));
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) command error!");
  EXPECT_TRUE(Buffer().empty());

  Feed(Bytes({0x76, 0, 0x92, 0x02, 0x01}));
  engine.ProcessReplies();  // the count is still to come
  EXPECT_EQ(EventsOf(CameraEventKind::AutoCapture), 0);
  Feed(Bytes({0x05}));
  engine.ProcessReplies();
  ASSERT_EQ(EventsOf(CameraEventKind::AutoCapture), 1);
  EXPECT_EQ(host.Events().back().count, 5);

  Feed(Bytes({0x76, 0, 0x92, 0x02, 0x01, 0xEE}));
  engine.ProcessReplies();
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text, "Snap erro after power on!");
  EXPECT_EQ(EventsOf(CameraEventKind::AutoCapture), 1);
  EXPECT_EQ(host.Events().back().kind, CameraEventKind::AutoCaptureFailed);
}

TEST_F(Replies, LongUnsolicitedJunkIsDroppedWithoutLosingALaterReport) {
  std::vector<uint8_t> junk(1500, 0x11);
  Feed(junk);
  for (int i = 0; i < 5; ++i) engine.ProcessReplies();
  EXPECT_TRUE(Buffer().empty());
  EXPECT_TRUE(Queued().empty());

  junk.resize(700);
  junk.insert(junk.end(), {0x76, 0x00, 0x39, 0x00, 0x01});
  Feed(junk);
  for (int i = 0; i < 5; ++i) engine.ProcessReplies();
  EXPECT_EQ(engine.State().storedCount, 1);
  EXPECT_TRUE(host.HasStatusLine("Motion Detection happen!"));
}

TEST_F(Replies, ResumeReplyDuringMotionAndPicturesReadOut) {
  Queue(CMD_RESUME_FRAME);
  Feed(Bytes({0x76, 0, 0x39, 0, 0, 0xAA}));
  engine.ProcessReplies();
  EXPECT_EQ(Last(), "(09:05:03) Motion Detection!");
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(Buffer().empty());

  // The last detected picture was read: detection goes back on.
  Feed(Bytes({0x76, 0, 0x39, 0, 1}));
  engine.ProcessReplies();  // report: 1 picture
  engine.ClearCommands();
  engine.SetReadIndex(2);
  channel.Clear();
  Queue(CMD_RESUME_FRAME);
  Feed(Bytes({0x76, 0, 0x36, 0, 0}));
  engine.ProcessReplies();
  EXPECT_EQ(channel.HexFrames(), std::vector<std::string>{"56 00 37 01 01"});
  EXPECT_EQ(Queued(), std::vector<int>{CMD_MOTION_ON});
  EXPECT_FALSE(engine.State().readingDetected);
  EXPECT_FALSE(host.ReadButtons().back().enabled);
}

TEST_F(Replies, SettingsReadBackSetsEverySelection) {
  Queue(CMD_READ_SETTINGS);
  Feed(Bytes({0x76, 0, 0x90, 0x07, 0x00, 0x05, 0x66, 0xEE, 0xA3, 0x40, 0x12}));
  engine.ProcessReplies();
  ASSERT_EQ(Carried<SettingsReadBack>().size(), 1u);
  const auto v = Carried<SettingsReadBack>()[0];
  EXPECT_EQ(v.serialNumber, 5);
  EXPECT_EQ(v.imageSizeIndex, 6);     // 1920X1080
  EXPECT_EQ(v.defaultRateIndex, 7);   // 921600
  EXPECT_EQ(v.compressionIndex, 0x0A);
  EXPECT_EQ(v.detectionKind, 2);
  EXPECT_EQ(engine.Settings().serialNumber, 5);
  EXPECT_EQ(engine.State().detectType, 2);

  // Codes outside the tables leave those controls unchanged.
  Queue(CMD_READ_SETTINGS);
  Feed(Bytes({0x76, 0, 0x90, 0x07, 0x00, 0x00, 0x5A, 0x12, 0x34, 0x20, 0x00}));
  engine.ProcessReplies();
  ASSERT_EQ(Carried<SettingsReadBack>().size(), 2u);
  const auto u = Carried<SettingsReadBack>()[1];
  EXPECT_EQ(u.imageSizeIndex, -1);
  EXPECT_EQ(u.defaultRateIndex, -1);
  EXPECT_EQ(u.compressionIndex, -1);
}

TEST_F(Replies, RecordsFilledFromReplies) {
  Queue(CMD_READ_CROP);
  Feed(Bytes({0x76, 0, 0x8B, 0x0E, 0x02, 0x01, 0x00, 0x10, 0x00, 0x20, 0x01, 0x40, 0x00, 0xF0,
              0x07, 0x80, 0x04, 0x38}));
  engine.ProcessReplies();
  const auto crop = engine.Records().crop;
  EXPECT_EQ(crop.enable, 1);
  EXPECT_EQ(crop.x, 16);
  EXPECT_EQ(crop.y, 32);
  EXPECT_EQ(crop.width, 320);
  EXPECT_EQ(crop.height, 240);
  EXPECT_EQ(crop.imageWidth, 1920);
  EXPECT_EQ(crop.imageHeight, 1080);
  EXPECT_EQ(Last(), "(09:05:03) read cropsuccess");

  Queue(CMD_READ_DETECTION);
  Feed(Bytes({0x76, 0, 0x90, 0x0C, 0x02, 1, 2, 3, 1, 4, 2, 5, 3, 0x12, 0x34, 10}));
  engine.ProcessReplies();
  const auto d = engine.Records().detect;
  EXPECT_EQ(d.powerOnDetect, 1);
  EXPECT_EQ(d.type, 2);
  EXPECT_EQ(d.targetSelect, 5);
  EXPECT_EQ(d.photos, 3);
  EXPECT_EQ(d.interval, 0x1234);
  EXPECT_EQ(d.nextDetect, 10);

  Queue(CMD_RESET_IMAGE_PARAMS);
  Feed(Bytes({0x76, 0, 0x91, 0x0C, 0x04, 1, 2, 3, 4, 5, 6, 1, 1, 0x90, 9, 10}));
  engine.ProcessReplies();
  const auto p = engine.Records().imageParams;
  EXPECT_EQ(p.brightness, 2);
  EXPECT_EQ(p.whiteBalanceLow, 0x90);
  EXPECT_EQ(p.hlc, 10);
  EXPECT_EQ(Last(), "(09:05:03) reset image param success!");
  ASSERT_EQ(Carried<ImageParams>().size(), 1u);
  EXPECT_EQ(Carried<ImageParams>()[0].hlc, 10);
}

TEST_F(Replies, StatusBoxes) {
  struct {
    int code;
    std::vector<uint8_t> reply;
    const char* caption;
  } cases[] = {
      {CMD_SET_CROP, Bytes({0x76, 0, 0x8B, 2, 1, 3}), "width error"},
      {CMD_SET_CROP, Bytes({0x76, 0, 0x8B, 2, 1, 4}), "height error"},
      {CMD_SET_CROP, Bytes({0x76, 0, 0x8B, 2, 1, 5}), "error"},
      {CMD_SET_IMAGE_PARAMS, Bytes({0x76, 0, 0x91, 2, 4, 1}), "awb error"},
      {CMD_SET_IMAGE_PARAMS, Bytes({0x76, 0, 0x91, 2, 4, 2}), "awb mode error"},
      {CMD_SET_IMAGE_PARAMS, Bytes({0x76, 0, 0x91, 2, 4, 3}), "High light error"},
      {CMD_SET_POWER_CAPTURE, Bytes({0x76, 0, 0x91, 1, 0}), "Setting Success"},
      {CMD_SET_POWER_CAPTURE, Bytes({0x76, 0, 0x91, 1, 1}), "Setting Fail"},
  };
  for (const auto& c : cases) {
    host.Clear();
    Queue(c.code);
    Feed(c.reply);
    engine.ProcessReplies();
    ASSERT_EQ(host.Boxes().size(), 1u) << c.caption;
    EXPECT_EQ(host.Boxes()[0].caption, c.caption) << host.Boxes()[0].text << " code " << c.code;
  }
  EXPECT_EQ(engine.Records().crop.status, 5);
}

// A write is the engine's copy from the moment it is issued; a refusal leaves it, adding
// the camera's status where the record has one; a command without a frame keeps nothing.
TEST_F(Replies, IssueKeepsWhatItWritesAndARefusalLeavesIt) {
  OsdLineSetting osd;
  osd.line = 2;
  osd.length = 1;
  osd.text[0] = 'A';
  ImageParams params;
  params.brightness = 77;
  CropSettings crop;
  crop.x = 16;
  crop.width = 640;
  DetectSettings detect;
  detect.type = 2;
  detect.photos = 4;
  for (const CameraCommand& c :
       {MakeCommand(CMD_SET_OSD, osd), MakeCommand(CMD_SET_IMAGE_PARAMS, params),
        MakeCommand(CMD_SET_DETECTION, detect),
        MakeCommand(CMD_SET_MOTION_CAPTURE, MotionCaptureSettings{5, 300, 7}),
        MakeCommand(CMD_MULTI_CAPTURE, MultiCaptureSettings{4, 900}),
        MakeCommand(CMD_SET_POWER_CAPTURE, MultiCaptureSettings{1, 100}),
        MakeCommand(CMD_SET_IMAGE_FORMAT, IMAGE_TYPE_YUV), MakeCommand(CMD_SET_CROP, crop)})
    ASSERT_TRUE(engine.Issue(c)) << c.code;
  FeatureRecordSet r = engine.Records();
  EXPECT_EQ(r.osd[2].text[0], 'A');
  EXPECT_EQ(r.osd[0].length, 0);
  EXPECT_EQ(r.imageParams.brightness, 77);
  EXPECT_EQ(r.detect.type, 2);
  // The motion-capture write changes only its three fields of the detection record.
  EXPECT_EQ(r.detect.photos, 5);
  EXPECT_EQ(+r.detect.interval, 300);
  EXPECT_EQ(r.detect.nextDetect, 7);
  // The burst record is the burst's; power-on capture leaves it.
  EXPECT_EQ(r.multiCapture.photos, 4);
  EXPECT_EQ(+r.multiCapture.interval, 900);
  EXPECT_EQ(engine.State().detectType, 2);
  EXPECT_EQ(engine.Settings().imageType, IMAGE_TYPE_YUV);
  EXPECT_EQ(+r.crop.x, 16);
  EXPECT_EQ(r.crop.operation, 1);
  EXPECT_EQ(r.crop.status, 0xFF);

  engine.ClearCommands();
  Queue(CMD_SET_CROP);
  Feed(Bytes({0x76, 0, 0x8B, 2, 1, 4}));  // refused: height
  engine.ProcessReplies();
  r = engine.Records();
  EXPECT_EQ(+r.crop.x, 16);
  EXPECT_EQ(+r.crop.width, 640);
  EXPECT_EQ(r.crop.status, 4);

  // A crop code carrying image parameters has no frame: nothing is sent or kept.
  params.brightness = 1;
  EXPECT_FALSE(engine.Issue(MakeCommand(CMD_SET_CROP, params)));
  EXPECT_EQ(engine.Records().imageParams.brightness, 77);
  EXPECT_EQ(+engine.Records().crop.width, 640);
}

TEST_F(Replies, CaptureStartDiscardsWaitingCommandsAndBytes) {
  Queue(CMD_GET_VERSION);
  Feed(Bytes({0x76, 0x00, 0x11}));
  engine.UpdateSettings([&](SessionSettings& s) { s.imageType = IMAGE_TYPE_YUV; });
  engine.SingleCapture();
  EXPECT_EQ(Queued(), std::vector<int>{CMD_STOP_FRAME});
  EXPECT_TRUE(Buffer().empty());
  EXPECT_EQ(channel.LastHex(), "56 00 36 01 0A");
  EXPECT_TRUE(host.HasStatusLine("PhotoOnce flush cmd queue"));
}

// Every command left the queue with exactly one typed result: what the camera answered,
// the data it carried, or why it never will.
TEST_F(Replies, EveryCommandEndsInOneTypedResult) {
  auto night = Bytes({0x76, 0, 0x90, 0x0C, 0x04, 1, 10, 11, 12, 13, 14, 0, 0, 0, 3, 4});
  auto day = Bytes({0x76, 0, 0x90, 0x0C, 0x04, 0, 20, 21, 22, 23, 24, 0, 0, 0, 5, 6});
  struct Case {
    int code;
    std::vector<uint8_t> reply;
    Outcome outcome;
    int status;
  } cases[] = {
      {CMD_SET_COMPRESSION, Bytes({0x76, 0, 0x31, 0, 0}), Outcome::Done, 0},
      {CMD_SET_CROP, Bytes({0x76, 0, 0x8B, 2, 1, 7}), Outcome::Refused, 7},
      {CMD_SET_IMAGE_PARAMS, Bytes({0x76, 0, 0x91, 2, 4, 1}), Outcome::Refused, 1},
      {CMD_MULTI_CAPTURE, Bytes({0x76, 0, 0x88, 1, 2}), Outcome::Refused, 2},
      {CMD_SET_OSD, Bytes({0x76, 0, 0x31, 0, 0}), Outcome::NoValidReply, 0},
      {CMD_RESET, Bytes({0x76, 0, 0x26, 0, 'I', 'n', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'}),
       Outcome::Failed, 0},
  };
  for (const auto& c : cases) {
    host.Clear();
    engine.DiscardReceived();
    Queue(c.code);
    Feed(c.reply);
    engine.ProcessReplies();
    ASSERT_EQ(host.Results().size(), 1u) << c.code;
    EXPECT_EQ(host.Results()[0].code, c.code);
    EXPECT_EQ(host.Results()[0].outcome, c.outcome) << c.code;
    EXPECT_EQ(host.Results()[0].status, c.status) << c.code;
  }

  // Two image-parameter reads answered back to back: each result holds its own set, so a
  // refresh never shows the later set twice.
  host.Clear();
  Issue(engine, CMD_READ_IMAGE_PARAMS, 0);
  Issue(engine, CMD_READ_IMAGE_PARAMS, 1);
  Feed(day);
  Feed(night);
  engine.ProcessReplies();
  engine.ProcessReplies();
  auto results = host.Results();
  ASSERT_EQ(results.size(), 2u);
  ASSERT_TRUE(results[0].Data<ImageParams>() && results[1].Data<ImageParams>());
  EXPECT_EQ(results[0].Data<ImageParams>()->brightness, 20);
  EXPECT_EQ(results[1].Data<ImageParams>()->brightness, 10);

  // The log lines travel with the result, so no front end reads the activity log.
  host.Clear();
  Issue(engine, CMD_GET_VERSION);
  auto version = Bytes({0x76, 0, 0x11, 0, 0x0B});
  const auto text = TextBytes("QVX5M0 2.00");
  version.insert(version.end(), text.begin(), text.end());
  Feed(version);
  engine.ProcessReplies();
  auto answered = host.WaitForResult(CMD_GET_VERSION, 0);
  ASSERT_TRUE(answered && answered->Data<VersionReply>());
  EXPECT_EQ(answered->Data<VersionReply>()->text, "QVX5M0 2.00");
  ASSERT_EQ(answered->log.size(), 1u);
  EXPECT_EQ(answered->log[0].text, "Version query success! QVX5M0 2.00");

  // Abandoned: a stop or close cancels what waits, a failed line ends the rest.
  host.Clear();
  Issue(engine, CMD_READ_SETTINGS);
  Issue(engine, CMD_SET_COMPRESSION, 0x40);
  engine.ClearCommands();
  Issue(engine, CMD_READ_CROP);
  engine.LineFailed("device removed");
  results = host.Results();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].outcome, Outcome::Cancelled);
  EXPECT_EQ(results[1].outcome, Outcome::Cancelled);
  EXPECT_EQ(results[2].code, CMD_READ_CROP);
  EXPECT_EQ(results[2].outcome, Outcome::LineFailed);
  EXPECT_EQ(results[2].reason, "device removed");
  EXPECT_TRUE(Queued().empty());
}

// What the camera says by itself arrives as events, with the command it set off.
TEST_F(Replies, ReportsArriveAsTypedEvents) {
  Feed(Bytes({0x76, 0, 0x39, 0, 2}));
  engine.ProcessReplies();
  Feed(TextBytes("\r\nVersion:QVX5M0 2.00\r\nInit end\r\n"));
  engine.ClearCommands();
  engine.ProcessReplies();
  Feed(Bytes({0x76, 0, 0x92, 1, 0, 3}));
  engine.ProcessReplies();
  auto events = host.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, CameraEventKind::Motion);
  EXPECT_EQ(events[0].count, 2);
  EXPECT_EQ(events[0].next, CMD_MOTION_OFF);
  EXPECT_EQ(events[1].kind, CameraEventKind::PowerOn);
  EXPECT_EQ(events[1].version, "QVX5M0 2.00");
  EXPECT_EQ(events[2].kind, CameraEventKind::AutoCapture);
  EXPECT_EQ(events[2].count, 3);
}

}  // namespace
