// The engine end to end: real serial channel on a pseudo-terminal, the monitor, worker
// and sender threads, the virtual camera, the real decoder. Every finished picture must
// be byte-identical to what the camera holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <thread>

#include "EngineRig.h"
#include "core/TraceModel.h"

namespace {

using e2e::kWait;
using e2e::Pattern;
using e2e::Rig;
using Reads = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(EngineE2e, RepliesAreMatchedInOrderOnTheRealLine) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  rig.engine.Issue(MakeCommand(CMD_GET_VERSION));
  rig.engine.Issue(MakeCommand(CMD_SET_COMPRESSION, 0x40));
  ASSERT_TRUE(rig.host.WaitForStatus("Set compression success!", kWait));
  EXPECT_TRUE(rig.host.HasStatusLine("Version query success! QVX5M0 2.00"));
  EXPECT_EQ(rig.engine.State().versionText, "QVX5M0 2.00");
  EXPECT_TRUE(rig.engine.QueuedCommands().empty());
  std::string traffic;
  for (const auto& chunk : rig.host.Traffic())
    traffic += TraceStreamText(chunk.transmit, chunk.bytes.data(), chunk.bytes.size(), "\r\n");
  EXPECT_NE(traffic.find("TX :56 00 11 00 \r\nRx :"), std::string::npos);
}

// The GUI thread, the worker and the sender all issue; whoever wins, the camera hears the
// requests in the order their entries were queued, so every reply meets its own command.
TEST(EngineE2e, CommandsIssuedFromSeveralThreadsAreHeardInQueueOrder) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  const std::pair<int, const char*> kRequests[] = {
      {CMD_GET_VERSION, "56 00 11 00"},        {CMD_READ_SETTINGS, "56 00 90 01 00"},
      {CMD_READ_CROP, "56 00 8B 01 02"},       {CMD_READ_DETECTION, "56 00 90 01 02"},
      {CMD_READ_IMAGE_PARAMS, "56 00 90 02 04 00"}};
  constexpr int kThreads = 4, kEach = 25;
  // Half the issuers dawdle between queueing and posting, where the others could overtake.
  static thread_local bool slow = false;
  rig.host.OnSent([] {
    for (int i = 0; slow && i < 1000; ++i) std::this_thread::yield();
  });
  std::atomic<bool> go{false};
  std::vector<std::thread> issuers;
  for (int t = 0; t < kThreads; ++t)
    issuers.emplace_back([&, t] {
      slow = t % 2 == 1;
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kEach; ++i) {
        rig.engine.Issue(MakeCommand(kRequests[(t + i) % 5].first));
        std::this_thread::yield();  // let the issuers interleave
      }
    });
  go = true;
  for (auto& issuer : issuers) issuer.join();
  ASSERT_TRUE(rig.host.WaitUntil([&] { return rig.host.Results().size() >= kThreads * kEach; },
                                 kWait));
  // Results come in queue order, each from its own reply.
  std::vector<std::string> queued;
  for (const auto& result : rig.host.Results()) {
    EXPECT_EQ(result.outcome, Outcome::Done) << "code " << result.code;
    for (const auto& [code, frame] : kRequests)
      if (code == result.code) queued.push_back(frame);
  }
  EXPECT_EQ(queued.size(), size_t{kThreads * kEach});
  EXPECT_EQ(rig.cam.ReceivedHex(), queued);
}

// A decode that takes its time: Stop Capture and Close come back while it runs. The decode
// is abandoned, so its picture is neither shown nor kept (no jpeg.tmp stays behind), and
// the capture ends there (the camera is not resumed).
TEST(EngineE2e, StopAndCloseDoNotWaitForTheDecode) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  std::mutex mutex;
  std::condition_variable changed;
  bool decoding = false, release = false;
  rig.host.OnPicture([&](const std::string&) {
    std::unique_lock<std::mutex> lock(mutex);
    decoding = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::milliseconds(kWait), [&] { return release; });
    decoding = release = false;
  });
  // True when `action` returned while the decode was still held up.
  auto returnsDuringDecode = [&](const std::function<void()>& action) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (!changed.wait_for(lock, std::chrono::milliseconds(kWait), [&] { return decoding; }))
        return false;
    }
    auto done = std::async(std::launch::async, action);
    const bool returned =
        done.wait_for(std::chrono::milliseconds(kWait)) == std::future_status::ready;
    {
      std::lock_guard<std::mutex> lock(mutex);
      release = true;
    }
    changed.notify_all();
    done.wait();
    return returned;
  };
  const std::string resume = "56 00 36 01 03";
  auto resumes = [&] {
    const auto heard = rig.cam.ReceivedHex();
    return std::count(heard.begin(), heard.end(), resume);
  };

  rig.engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = 2; });
  rig.engine.SingleCapture();
  EXPECT_TRUE(returnsDuringDecode([&] { rig.engine.StopCapture(); }));
  ASSERT_TRUE(rig.host.WaitForStatus("stop success!", kWait));
  EXPECT_TRUE(rig.host.Pictures().empty());
  EXPECT_EQ(rig.engine.State().lastImageFile, "");
  EXPECT_FALSE(rig.Exists("jpeg.tmp"));
  auto read = rig.host.WaitForResult(CMD_READ_BUF_512, kWait);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->outcome, Outcome::Cancelled);
  EXPECT_EQ(resumes(), 0);
  EXPECT_EQ(rig.engine.State().captureMode, CAPTURE_IDLE);
  EXPECT_TRUE(rig.engine.QueuedCommands().empty());

  const size_t before = rig.host.Results().size();
  rig.engine.SingleCapture();
  EXPECT_TRUE(returnsDuringDecode([&] { rig.engine.ClosePort(); }));
  read = rig.host.WaitForResult(CMD_READ_BUF_512, kWait, before);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->outcome, Outcome::Cancelled);
  EXPECT_TRUE(rig.host.Pictures().empty());
  EXPECT_FALSE(rig.Exists("jpeg.tmp"));
  ASSERT_TRUE(rig.host.WaitUntil([&] { return !rig.engine.IsWorkerRunning(); }, kWait));
  EXPECT_EQ(resumes(), 0);
  EXPECT_FALSE(rig.engine.IsPortOpen());
}

TEST(EngineE2e, BlockReadsAndFaultsGiveByteIdenticalFiles) {
  struct Case {
    const char* name;
    size_t total;
    int mode;
    CamSimFault fault;  // injected just before the first block is requested
    Reads reads;        // with extra bytes the block may also be taken before they come
  } cases[] = {
      {"1000 in 512 blocks", 1000, 1, {}, {{0, 512}, {512, 488}}},
      {"1024 in 512 blocks", 1024, 1, {}, {{0, 512}, {512, 512}}},
      {"whole read", 65536, 0, {}, {{0, 65536}}},
      {"8196Byte once", 20000, 4, {}, {{0, 8192}, {8192, 8192}, {16384, 3616}}},
      {"short by one", 1000, 1, {CamSimFault::StopShort, 0, 1}, {{0, 512}, {0, 512}, {512, 488}}},
      {"bad start marker", 1000, 1, {CamSimFault::CorruptStartMarker}, {{0, 512}, {0, 512}, {512, 488}}},
      {"bad end marker", 1000, 1, {CamSimFault::CorruptEndMarker}, {{0, 512}, {0, 512}, {512, 488}}},
      {"extra bytes", 1000, 1, {CamSimFault::AppendExtra, 0, 7}, {{0, 512}, {0, 512}, {512, 488}}},
      {"whole read, extra bytes", 5000, 0, {CamSimFault::AppendExtra, 0, 3}, {{0, 5000}, {0, 5000}}},
      {"start marker byte 0 flipped", 1000, 1, {CamSimFault::CorruptBytes, 0, 1}, {{0, 512}, {0, 512}, {512, 488}}},
      {"start marker byte 4 flipped", 1000, 2, {CamSimFault::CorruptBytes, 4, 1}, {{0, 1000}, {0, 1000}}},
      {"serial byte flipped, whole", 3000, 0, {CamSimFault::CorruptBytes, 1, 1}, {{0, 3000}, {0, 3000}}},
  };
  Rig rig;
  ASSERT_TRUE(rig.Open());
  uint32_t seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto picture = Pattern(c.total, seed++);
    rig.cam.SetNextPicture(picture);
    rig.cam.ClearReceived();
    rig.host.Clear();
    const CamSimFault fault = c.fault;
    rig.host.OnStatus([&, fault](const std::string& line) {
      if (fault.kind != CamSimFault::None && line.find("Create file") != std::string::npos)
        rig.cam.InjectFault(fault);
    });
    ASSERT_TRUE(rig.Capture(c.mode));
    if (c.fault.kind == CamSimFault::AppendExtra) {
      auto reads = rig.Reads();
      reads.erase(std::unique(reads.begin(), reads.end()), reads.end());
      auto once = c.reads;
      once.erase(std::unique(once.begin(), once.end()), once.end());
      EXPECT_EQ(reads, once);
    } else {
      EXPECT_EQ(rig.Reads(), c.reads);
    }
    const auto pictures = rig.host.Pictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].path, rig.Dir() + "jpeg.tmp");
    EXPECT_EQ(pictures[0].bytes, picture);
    EXPECT_EQ(rig.engine.State().lastImageFile, rig.Dir() + "jpeg.tmp");
    EXPECT_TRUE(rig.engine.QueuedCommands().empty());
  }
  rig.host.OnStatus(nullptr);
}

TEST(EngineE2e, ProgressLinesOfABlockRead) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  rig.cam.SetNextPicture(Pattern(1000));
  ASSERT_TRUE(rig.Capture(1));
  const auto lines = rig.host.StatusLinesContaining("%,");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(") 51%,512,1000"), std::string::npos);
  EXPECT_NE(lines[1].find(") 100%,1000,1000"), std::string::npos);
}

TEST(EngineE2e, JpegCaptureIsDecodedAndTimed) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  ASSERT_TRUE(rig.Capture(3));
  const auto pictures = rig.host.Pictures();
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_TRUE(pictures[0].result.ok);
  EXPECT_EQ(pictures[0].bytes, rig.Held().at(0));
  const auto timing = rig.host.StatusLinesContaining("Time:");
  ASSERT_EQ(timing.size(), 1u);
  const std::string expected = ", JPG,Image Size:640X480, Image Length:" +
                               std::to_string(pictures[0].bytes.size()) + "Byte(";
  EXPECT_NE(timing[0].find(expected), std::string::npos) << timing[0];
  EXPECT_EQ(rig.engine.State().captureMode, CAPTURE_IDLE);
}

TEST(EngineE2e, YuvSingleCaptureWritesYuvTmp) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  ASSERT_TRUE(rig.Command(CMD_SET_IMAGE_FORMAT, 1));
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.imageType = IMAGE_TYPE_YUV; });
  ASSERT_TRUE(rig.Capture(5));
  const auto pictures = rig.host.Pictures();
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_EQ(pictures[0].path, rig.Dir() + "yuv.tmp");
  EXPECT_EQ(pictures[0].frameWidth, 640);
  EXPECT_EQ(pictures[0].frameHeight, 480);
  EXPECT_EQ(pictures[0].bytes, rig.Held().at(0));
  EXPECT_EQ(pictures[0].bytes.size(), 640u * 480u * 3u / 2u);
  EXPECT_TRUE(pictures[0].result.ok);
  EXPECT_TRUE(rig.host.HasStatusLine(", YUV(NV12),Image Size:640X480, Image Length:460800Byte("));
}

TEST(EngineE2e, DetectedPicturesAreReadOneByOne) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.imageType = IMAGE_TYPE_YUV; });  // stored pictures are read as JPEG anyway
  rig.cam.SendMotionReport(2);
  ASSERT_TRUE(rig.host.WaitForStatus("Motion Detection happen! Please click read", kWait));
  for (int index = 1; index <= 2; ++index) {
    SCOPED_TRACE(index);
    ASSERT_TRUE(rig.host.WaitUntil([&] { return rig.engine.QueuedCommands().empty(); }, kWait));
    const size_t before = rig.Timings();
    rig.engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = 2; });
    rig.engine.ReadStoredPicture();
    ASSERT_TRUE(rig.host.WaitForStatusCount("Time:", before + 1, kWait));
    const auto pictures = rig.host.Pictures();
    ASSERT_EQ(pictures.size(), static_cast<size_t>(index));
    EXPECT_EQ(pictures.back().path, rig.Dir() + "jpeg.tmp");
    EXPECT_EQ(pictures.back().bytes, rig.cam.StoredPicture(index));
    EXPECT_EQ(rig.host.ReadButtons().back().caption, index == 1 ? "Read1/2" : "Read2/2");
  }
  EXPECT_FALSE(rig.Exists("yuv.tmp"));
  // After the last picture detection is switched back on.
  EXPECT_TRUE(rig.host.WaitForStatus("Open motion detect success!", kWait));
}

TEST(EngineE2e, ContinuousSeries) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.continueDelay = 20; });
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = 5; });
  rig.engine.ContinuesCapture();
  ASSERT_TRUE(rig.host.WaitForPictures(3, kWait));
  rig.engine.StopCapture();
  ASSERT_TRUE(rig.host.WaitForStatus("stop success!", kWait));  // busy until the line is quiet
  const auto pictures = rig.host.Pictures();
  const auto held = rig.Held();
  ASSERT_GE(pictures.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(pictures[i].bytes, held[i]) << i;
    EXPECT_TRUE(pictures[i].result.ok) << i;
  }
  EXPECT_NE(pictures[0].bytes, pictures[1].bytes);  // a fresh picture each time
  EXPECT_FALSE(rig.engine.State().continuous);
  EXPECT_EQ(rig.engine.State().captureMode, CAPTURE_IDLE);
}

TEST(EngineE2e, StopCaptureDuringALongTransfer) {
  CamSimOptions options;
  options.baud = 115200;  // about 5 s for this picture
  Rig rig(options);
  ASSERT_TRUE(rig.Open());
  rig.cam.SetNextPicture(Pattern(60000));
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = 2; });
  rig.engine.SingleCapture();
  ASSERT_TRUE(rig.host.WaitForStatus("%,4096,60000", kWait));
  rig.engine.StopCapture();  // as the GUI thread does
  ASSERT_TRUE(rig.host.WaitForStatus("stop success!", kWait));
  EXPECT_EQ(rig.host.StopNotices(), (std::vector<bool>{true, false}));
  EXPECT_TRUE(rig.host.Pictures().empty());
  EXPECT_FALSE(rig.Exists("jpeg.tmp"));
  EXPECT_TRUE(rig.engine.QueuedCommands().empty());
  EXPECT_EQ(rig.engine.State().captureMode, CAPTURE_IDLE);
  // The engine is usable again (the camera still holds the frozen picture).
  rig.cam.SetBaud(0);
  ASSERT_TRUE(rig.Capture(2));
  ASSERT_EQ(rig.host.Pictures().size(), 1u);
  EXPECT_EQ(rig.host.Pictures()[0].bytes, rig.Held().at(0));
  EXPECT_EQ(rig.host.Pictures()[0].bytes, Pattern(60000));
}

// Each wait of the engine counts in full on this clock, however soon bytes end it, and
// really lasts up to 20 times longer: a camera that talks without pause keeps every wait
// short, so ten seconds of the engine's time pass in a fraction of one.
class EveryWaitInFullClock : public SystemClock {
 public:
  uint32_t TickMs() override { return m_now; }
  void SleepMs(unsigned ms) override {
    SystemClock::SleepMs(ms);
    m_now += ms;
  }
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, unsigned ms,
               const std::function<bool()>& pred) override {
    const bool done = cv.wait_for(lock, std::chrono::milliseconds(ms) * 20, pred);
    m_now += ms;
    return done;
  }

 private:
  std::atomic<uint32_t> m_now{1000};
};

// A line that never goes quiet after Stop Capture (noise at a wrong rate): the wait ends
// after its bound with a line that says so, and the engine is usable again.
TEST(EngineE2e, StopOnALineThatNeverGoesQuietEndsTheWaitAfterItsBound) {
  EveryWaitInFullClock clock;
  Rig rig({}, &clock);
  ASSERT_TRUE(rig.Open());
  rig.engine.SingleCapture();
  ASSERT_TRUE(rig.host.WaitForStatus("Capture Success!", kWait));
  rig.engine.StopCapture();
  std::atomic<bool> talking{true};
  std::thread noise([&] {
    const std::vector<uint8_t> junk(16, 0x55);
    while (talking) {
      rig.cam.SendRaw(junk);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const bool told = rig.host.WaitForStatus(
      "the camera is still sending 10 s after Stop Capture; Close resets the line", kWait);
  talking = false;
  noise.join();
  ASSERT_TRUE(told);
  EXPECT_FALSE(rig.host.HasStatusLine("stop success!"));
  EXPECT_EQ(rig.host.StopNotices(), (std::vector<bool>{true, false}));
  EXPECT_EQ(rig.engine.State().captureMode, CAPTURE_IDLE);
  // Usable again once the noise still on its way has come and gone as unsolicited junk.
  ASSERT_TRUE(rig.cam.WaitIdle(kWait));
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
  while (!rig.engine.ReceiveBufferSnapshot().empty() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(rig.Command(CMD_GET_VERSION));
}

// Engine time that stands still until the test moves it: a wait for quiet cannot end by
// itself, so what happens during it can be looked at.
class StandingClock : public SystemClock {
 public:
  uint32_t TickMs() override { return now; }
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, unsigned ms,
               const std::function<bool()>& pred) override {
    return cv.wait_for(lock, std::chrono::milliseconds(std::min(ms, 10u)), pred);
  }
  std::atomic<uint32_t> now{1000};
};

// After an open the first requests wait for a quiet line on the worker: the issuing thread
// returns while the camera still talks, nothing is sent until the line was quiet, what came
// meanwhile is not taken for the reply, and Stop or Close take the held requests back
// without sending them.
TEST(EngineE2e, TheFirstRequestsWaitForAQuietLineWithoutHoldingTheIssuer) {
  StandingClock clock;
  Rig rig({}, &clock);
  const std::string waiting = "The camera is still sending: waiting for the line to go quiet";
  auto issue = [&](int code) {
    const CameraCommand command = MakeCommand(code);
    auto issued = std::async(std::launch::async, [&rig, command] { rig.engine.Issue(command); });
    return issued.wait_for(std::chrono::milliseconds(kWait)) == std::future_status::ready;
  };
  ASSERT_TRUE(rig.Open());
  // Leftovers of an interrupted exchange, shaped like the awaited reply's header.
  rig.cam.SendRaw({0x76, 0x00, 0x11, 0x00, 0x0B, 'L', 'E', 'F', 'T', 'O', 'V', 'E', 'R'});
  ASSERT_TRUE(issue(CMD_GET_VERSION)) << "the issuing thread waited for the line";
  ASSERT_TRUE(rig.host.WaitForStatus(waiting, kWait));
  EXPECT_FALSE(rig.cam.WaitForRequests(1, 300)) << "sent before the line was quiet";

  rig.engine.StopCapture();  // takes the held request back
  auto stopped = rig.host.WaitForResult(CMD_GET_VERSION, kWait);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->outcome, Outcome::Cancelled);
  ASSERT_TRUE(issue(CMD_READ_SETTINGS));
  // Quiet long enough, whenever the worker starts to look: its wait counts from its own start
  // once bytes came after the open, so time moves on until the request is answered.
  auto settings = rig.host.WaitForResult(CMD_READ_SETTINGS, 50);
  for (unsigned step = 0; !settings && step < kWait / 50; ++step) {
    clock.now += 100;
    settings = rig.host.WaitForResult(CMD_READ_SETTINGS, 50);
  }
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->outcome, Outcome::Done);
  EXPECT_EQ(rig.cam.ReceivedHex(), (std::vector<std::string>{"56 00 90 01 00"}));

  // Close during the wait: it ends at once and the held frame never reaches the line.
  rig.cam.ClearReceived();
  ASSERT_TRUE(rig.Open());
  rig.cam.SendRaw({0x00, 0x01, 0x02});
  const size_t before = rig.host.Results().size();
  ASSERT_TRUE(issue(CMD_GET_VERSION));
  ASSERT_TRUE(rig.host.WaitForStatusCount(waiting, 2, kWait));
  auto closed = std::async(std::launch::async, [&] { rig.engine.ClosePort(); });
  ASSERT_EQ(closed.wait_for(std::chrono::milliseconds(kWait)), std::future_status::ready);
  auto cancelled = rig.host.WaitForResult(CMD_GET_VERSION, kWait, before);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->outcome, Outcome::Cancelled);
  EXPECT_EQ(rig.cam.ReceivedCount(), 0u);
}

TEST(EngineE2e, TwelveMegabyteFrameInOneRead) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  rig.cam.SetImageSizeIndex(14);
  ASSERT_TRUE(rig.Command(CMD_SET_IMAGE_FORMAT, 1));
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.imageType = IMAGE_TYPE_YUV; });
  ASSERT_TRUE(rig.Capture(0, 180000));
  const auto pictures = rig.host.Pictures();
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_EQ(pictures[0].bytes.size(), 12441600u);
  EXPECT_EQ(pictures[0].bytes, rig.Held().at(0));
  EXPECT_EQ(rig.Reads(), (Reads{{0, 12441600}}));
  EXPECT_TRUE(rig.host.HasStatusLine("YUV(NV12),Image Size:3840X2160, Image Length:12441600Byte("));
}

TEST(EngineE2e, LineClosedMidTransfer) {
  Rig rig;
  ASSERT_TRUE(rig.Open());
  rig.cam.SetNextPicture(Pattern(20000));
  rig.host.OnStatus([&](const std::string& line) {
    if (line.find("Create file") != std::string::npos)
      rig.cam.InjectFault({CamSimFault::CloseLine, 3000, 0, 0});
  });
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = 3; });
  rig.engine.SingleCapture();
  ASSERT_TRUE(rig.host.WaitForStatus("Error:Transfer aborted after", kWait));
  rig.host.OnStatus(nullptr);
  EXPECT_FALSE(rig.host.LineFailures().empty());
  EXPECT_TRUE(rig.host.Pictures().empty());
  EXPECT_FALSE(rig.Exists("jpeg.tmp"));
  EXPECT_TRUE(rig.engine.State().lastImageFile.empty());
  EXPECT_EQ(rig.engine.State().captureMode, CAPTURE_IDLE);
  rig.engine.ClosePort();
  EXPECT_FALSE(rig.engine.IsWorkerRunning());
}

TEST(EngineE2e, ClosingThePortWhileThePictureStreams) {
  CamSimOptions options;
  options.baud = 115200;
  Rig rig(options);
  ASSERT_TRUE(rig.Open());
  rig.cam.SetNextPicture(Pattern(100000));
  rig.engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = 0; });
  rig.engine.SingleCapture();
  ASSERT_TRUE(rig.host.WaitForStatus(",100000", kWait));  // bytes are flowing
  rig.engine.ClearCommands();
  rig.engine.ClosePort();  // returns: every wait wakes on close
  EXPECT_FALSE(rig.engine.IsWorkerRunning());
  EXPECT_FALSE(rig.engine.IsPortOpen());
  EXPECT_TRUE(rig.host.Pictures().empty());
  EXPECT_FALSE(rig.Exists("jpeg.tmp"));
  // And opens again; what the camera still sends of the old picture is let go. The
  // camera's power-on banner comes after the last of it, so once the banner is heard
  // nothing old is left to arrive behind the next capture's replies.
  rig.cam.SetBaud(0);
  ASSERT_TRUE(rig.Open());
  ASSERT_TRUE(rig.cam.WaitIdle(kWait));
  rig.cam.SendPowerOnBanner();
  ASSERT_TRUE(rig.host.WaitForStatus("Power on success! Get Init end!", kWait));
  ASSERT_TRUE(rig.host.WaitUntil([&] { return rig.engine.ReceiveBufferSnapshot().empty(); }, kWait));
  ASSERT_TRUE(rig.Capture(1));
  ASSERT_EQ(rig.host.Pictures().size(), 1u);
  EXPECT_EQ(rig.host.Pictures()[0].bytes, Pattern(100000));
}

}  // namespace
