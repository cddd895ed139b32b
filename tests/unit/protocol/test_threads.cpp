// The sender and worker threads around the queue, with a recording channel.
#include <gtest/gtest.h>

#include "ProtocolTestSupport.h"

namespace {

constexpr unsigned kWait = 20000;

class Threads : public ::testing::Test {
 protected:
  HeadlessHost host;
  FakeChannel channel;
  CCameraProtocol engine{&host, nullptr, FakeDecoder()};  // real clock: the threads wait for real
  void SetUp() override {
    engine.UseFrameChannel(&channel);
    engine.StartSender();
  }
  void Feed(const std::vector<uint8_t>& bytes) {
    engine.AppendReceived(bytes.data(), static_cast<unsigned>(bytes.size()));
  }
  bool QueueBecomes(const std::vector<int>& expected) {
    return host.WaitUntil([&] { return engine.QueuedCommands() == expected; }, kWait);
  }
};

TEST_F(Threads, LengthReplyQueuesTheReadChosenByTransmit) {
  for (int mode : {1, 0}) {
    SCOPED_TRACE(mode);
    engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = mode; });
    engine.SingleCapture();
    Feed(Bytes({0x76, 0, 0x36, 0, 0}));
    engine.ProcessReplies();
    EXPECT_EQ(channel.LastHex(), "56 00 34 01 00");
    Feed(Bytes({0x76, 0, 0x34, 0, 4, 0, 0, 0x10, 0}));
    engine.ProcessReplies();
    EXPECT_TRUE(QueueBecomes({mode == 0 ? CMD_READ_TOTAL : CMD_READ_BUF_512}));
  }
}

TEST_F(Threads, ContinuousCaptureStartsOnTheSenderThread) {
  engine.ContinuesCapture();
  // The sender queues the command just before it writes the frame: wait for the frame.
  EXPECT_TRUE(host.WaitUntil([&] { return channel.LastHex() == "56 00 36 01 00"; }, kWait));
  EXPECT_EQ(engine.QueuedCommands(), std::vector<int>{CMD_STOP_FRAME});
  EXPECT_EQ(engine.State().captureMode, CAPTURE_CONTINUOUS);
  engine.StopCapture();
  EXPECT_TRUE(engine.QueuedCommands().empty());
  EXPECT_FALSE(engine.State().continuous);
}

TEST_F(Threads, WorkerProcessesRepliesAndStopsWhenAsked) {
  ASSERT_EQ(engine.StartWorker(), 0);
  engine.QueueCommand(CMD_SET_COMPRESSION);
  Feed(Bytes({0x76, 0, 0x31, 0, 0}));
  EXPECT_TRUE(host.WaitForStatus("Set compression success!", kWait));
  Feed(Bytes({0x76, 0, 0x39, 0, 1}));  // unsolicited, on the 30 ms tick
  EXPECT_TRUE(host.WaitForStatus("Motion Detection happen!", kWait));
  engine.StopWorker();
  EXPECT_FALSE(engine.IsWorkerRunning());
}

TEST_F(Threads, StopCaptureWakesAWorkerWaitingOutTheContinueDelay) {
  ASSERT_EQ(engine.StartWorker(), 0);
  engine.UpdateSettings([&](SessionSettings& s) { s.continueDelay = 1000000; });  // a worker that kept pausing would hit the test timeout
  engine.SetContinuous(true);
  engine.QueueCommand(CMD_RESUME_FRAME);
  Feed(Bytes({0x76, 0, 0x36, 0, 0}));
  ASSERT_TRUE(host.WaitForStatus("stop capture cmd success!", kWait));
  engine.StopCapture();  // returns although the worker was about to pause
  engine.StopWorker();
  engine.StopSender();
  for (const auto& frame : channel.HexFrames()) EXPECT_NE(frame, "56 00 36 01 00");
}

}  // namespace

namespace {

// A host that presses Stop Capture from inside a callback on the worker (as a script might).
class StoppingHost : public HeadlessHost {
 public:
  CCameraProtocol* engine = nullptr;
  void ShowStatusLine(const std::string& line) override {
    HeadlessHost::ShowStatusLine(line);
    if (line.find("Capture Success!") != std::string::npos) engine->StopCapture();
  }
};

TEST(ThreadsHost, StopCaptureFromAWorkerCallbackDoesNotDeadlock) {
  StoppingHost host;
  FakeChannel channel;
  CCameraProtocol engine(&host, nullptr, FakeDecoder());
  host.engine = &engine;
  engine.UseFrameChannel(&channel);
  ASSERT_EQ(engine.StartWorker(), 0);
  engine.SingleCapture();
  const auto reply = Bytes({0x76, 0, 0x36, 0, 0});
  engine.AppendReceived(reply.data(), 5);
  ASSERT_TRUE(host.WaitUntil([&] { return host.CaptureStateChanges() >= 2; }, kWait));
  engine.StopWorker();
  EXPECT_EQ(engine.State().captureMode, CAPTURE_IDLE);
  EXPECT_TRUE(engine.QueuedCommands().empty());
  for (const auto& frame : channel.HexFrames()) EXPECT_NE(frame, "56 00 34 01 00");
}

}  // namespace
