// The virtual camera over its pseudo-terminal, driven through a raw file descriptor as the
// tool would: answers, faults, hang-up and the control language.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "camsim/CamSim.h"
#include "camsim/CamSimWire.h"

using namespace camsim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kDeadlineMs = 20000;  // generous: only a broken camera ever reaches it

class Line {
 public:
  explicit Line(const std::string& path) {
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (m_fd >= 0) {
      termios tio{};
      tcgetattr(m_fd, &tio);
      cfmakeraw(&tio);
      tcsetattr(m_fd, TCSANOW, &tio);
    }
  }
  ~Line() {
    if (m_fd >= 0) close(m_fd);
  }
  bool ok() const { return m_fd >= 0; }
  // The tool's rate: a paced camera hears only its own.
  void SetSpeed(speed_t speed) {
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(m_fd, TCSANOW, &tio);
  }

  void Write(const Bytes& bytes) { ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

  // Reads until `count` bytes have arrived, the line hangs up or the deadline passes.
  Bytes Read(size_t count) {
    Bytes out;
    auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (out.size() < count && Clock::now() < deadline) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t buffer[65536];
      ssize_t n = read(m_fd, buffer, std::min(sizeof buffer, count - out.size()));
      if (n <= 0) {
        m_hungUp = true;
        break;
      }
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

  Bytes Ask(const Bytes& request, size_t replyLength) {
    Write(request);
    return Read(replyLength);
  }

  // True once the far end has hung up (read gives EOF or EIO).
  bool WaitHangUp() {
    auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (!m_hungUp && Clock::now() < deadline) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t buffer[4096];
      if (read(m_fd, buffer, sizeof buffer) <= 0) m_hungUp = true;
    }
    return m_hungUp;
  }

 private:
  int m_fd = -1;
  bool m_hungUp = false;
};

const Bytes kVersion = {0x56, 0x00, 0x11, 0x00};
const Bytes kVersionReply = {0x76, 0x00, 0x11, 0x00, 0x0B, 'Q', 'V', 'X', '5', 'M', '0', ' ', '2', '.', '0', '0'};
const Bytes kStop = {0x56, 0x00, 0x36, 0x01, 0x00};
const Bytes kResume = {0x56, 0x00, 0x36, 0x01, 0x03};
const Bytes kFrameOk = {0x76, 0x00, 0x36, 0x00, 0x00};

Bytes FrameBufferRead(uint32_t address, uint32_t length) {
  return {0x56, 0x00, 0x32, 0x0C, 0x00, 0x0A,
          uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address),
          uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0x00, 0xFF};
}

Bytes Sequence(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

// The answer to a 100-byte read of the Sequence picture.
Bytes ReadAnswer100() {
  Bytes a = {0x76, 0x00, 0x32, 0x00, 0x00};
  Bytes picture = Sequence(100);
  a.insert(a.end(), picture.begin(), picture.end());
  a.insert(a.end(), {0x76, 0x00, 0x32, 0x00, 0x00});
  return a;
}

struct Fixture : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(sim.Start());
    line = std::make_unique<Line>(sim.SlavePath());
    ASSERT_TRUE(line->ok());
  }
  CCamSim sim;
  std::unique_ptr<Line> line;
};

using CamSimLine = Fixture;

}  // namespace

TEST_F(CamSimLine, CaptureExchangeAndRequestLog) {
  EXPECT_EQ(ToHex(line->Ask(kVersion, kVersionReply.size())), ToHex(kVersionReply));
  // Another camera's serial byte: a real camera stays silent.
  line->Write({0x56, 0x07, 0x11, 0x00});
  EXPECT_EQ(ToHex(line->Ask(kStop, 5)), ToHex(kFrameOk));
  Bytes length = line->Ask({0x56, 0x00, 0x34, 0x01, 0x00}, 9);
  ASSERT_EQ(length.size(), 9u);
  uint32_t total = (length[5] << 24) | (length[6] << 16) | (length[7] << 8) | length[8];
  ASSERT_GT(total, 1000u);
  Bytes picture;
  for (uint32_t address = 0; address < total; address += 4096) {
    uint32_t n = std::min<uint32_t>(4096, total - address);
    Bytes block = line->Ask(FrameBufferRead(address, n), n + 10);
    ASSERT_EQ(block.size(), n + 10);
    picture.insert(picture.end(), block.begin() + 5, block.end() - 5);
  }
  EXPECT_EQ(picture, sim.FrozenPicture());
  EXPECT_EQ(ToHex(line->Ask(kResume, 5)), ToHex(kFrameOk));

  auto hex = sim.ReceivedHex();
  ASSERT_GE(hex.size(), 5u);
  EXPECT_EQ(hex[0], "56 00 11 00");
  EXPECT_EQ(hex[1], "56 07 11 00") << "ignored requests are still logged";
  EXPECT_EQ(hex[2], "56 00 36 01 00");
  EXPECT_EQ(hex.back(), "56 00 36 01 03");
  EXPECT_EQ(sim.ReceivedCount(), hex.size());
  EXPECT_EQ(sim.Control("count"), "ok " + std::to_string(hex.size()));
  sim.ClearReceived();
  EXPECT_EQ(sim.Control("received"), "ok");
}

TEST_F(CamSimLine, AnswerFaultsReshapeOnlyTheNextAnswer) {
  sim.SetNextPicture(Sequence(1000));
  ASSERT_EQ(ToHex(line->Ask(kStop, 5)), ToHex(kFrameOk));
  const Bytes clean = ReadAnswer100();
  auto inverted = [](Bytes b, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i) b[i] ^= 0xFF;
    return b;
  };
  struct Case {
    const char* control;
    Bytes expected;        // exact answer, or
    size_t length;         // only its length (random bytes)
    size_t cleanPrefix;    // leading bytes that must be the clean answer's
  } cases[] = {
      {"fault drop 5 10", [&] { Bytes b = clean; b.erase(b.begin() + 5, b.begin() + 15); return b; }(), 0, 0},
      {"fault corrupt 5 2", inverted(clean, 5, 2), 0, 0},
      {"fault startmarker", inverted(clean, 2, 1), 0, 0},
      {"fault endmarker", inverted(clean, 107, 1), 0, 0},
      {"fault stopshort 3", Bytes(clean.begin(), clean.end() - 3), 0, 0},
      {"fault stall 50 20", clean, 0, 0},  // a short stall loses nothing
      {"fault extra 7", {}, 117, 110},
      {"fault garbage 20", {}, 20, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    ASSERT_EQ(sim.Control(c.control), "ok");
    line->Write(FrameBufferRead(0, 100));
    // The version reply behind it shows where the faulty answer ended.
    size_t length = c.expected.empty() ? c.length : c.expected.size();
    Bytes got = line->Ask(kVersion, length + kVersionReply.size());
    ASSERT_EQ(got.size(), length + kVersionReply.size());
    EXPECT_EQ(ToHex(Bytes(got.end() - kVersionReply.size(), got.end())), ToHex(kVersionReply));
    got.resize(length);
    if (!c.expected.empty()) {
      EXPECT_EQ(ToHex(got), ToHex(c.expected));
    }
    EXPECT_EQ(ToHex(Bytes(got.begin(), got.begin() + c.cleanPrefix)),
              ToHex(Bytes(clean.begin(), clean.begin() + c.cleanPrefix)));
  }
  // Nothing left over: the next answer is clean.
  EXPECT_EQ(ToHex(line->Ask(FrameBufferRead(0, 100), clean.size())), ToHex(clean));
}

TEST_F(CamSimLine, MarkerFaultWaitsForAFrameBufferAnswer) {
  sim.SetNextPicture(Sequence(1000));
  CamSimFault fault;
  fault.kind = CamSimFault::CorruptEndMarker;
  sim.InjectFault(fault);
  EXPECT_EQ(ToHex(line->Ask(kStop, 5)), ToHex(kFrameOk));
  EXPECT_EQ(ToHex(line->Ask(kVersion, kVersionReply.size())), ToHex(kVersionReply));
  Bytes got = line->Ask(FrameBufferRead(0, 100), 110);
  ASSERT_EQ(got.size(), 110u);
  EXPECT_EQ(ToHex(Bytes(got.end() - 5, got.end())), "76 00 CD 00 00");
}

TEST_F(CamSimLine, RequestFaultsSwallowOrReplaceTheAnswer) {
  ASSERT_EQ(sim.Control("fault silent"), "ok");
  line->Write(kVersion);  // swallowed
  EXPECT_EQ(ToHex(line->Ask(kResume, 5)), ToHex(kFrameOk)) << "the version request got no answer";
  ASSERT_EQ(sim.Control("fault motion"), "ok");
  EXPECT_EQ(ToHex(line->Ask(kResume, 5)), "76 00 39 00 00");
  EXPECT_EQ(sim.ReceivedCount(), 3u);
}

TEST_F(CamSimLine, ReportsGoOutOnDemand) {
  EXPECT_EQ(sim.Control("report motion 2"), "ok");
  EXPECT_EQ(ToHex(line->Read(5)), "76 00 39 00 02");
  EXPECT_EQ(sim.StoredPictureCount(), 2);
  EXPECT_EQ(sim.Control("report vehicle 1 3"), "ok");
  EXPECT_EQ(ToHex(line->Read(7)), "76 00 39 03 02 01 03");
  EXPECT_EQ(sim.Control("report auto fail"), "ok");
  EXPECT_EQ(ToHex(line->Read(6)), "76 00 92 02 01 EE");
  EXPECT_EQ(sim.Control("send 76 00 39 00 00"), "ok");
  EXPECT_EQ(ToHex(line->Read(5)), "76 00 39 00 00");
  // Malformed control lines are refused, not half-applied.
  for (const char* bad : {"report motion", "report motion 300", "fault drop 5", "size 15", "bogus", "send 1FF"})
    EXPECT_EQ(sim.Control(bad).rfind("error", 0), 0u) << bad;
  EXPECT_EQ(sim.Control("model QVX2M2E 1.01"), "ok");
  Bytes reply = line->Ask(kVersion, 17);
  EXPECT_EQ(std::string(reply.begin() + 5, reply.end()), "QVX2M2E 1.01");
}

TEST_F(CamSimLine, HangUpMidAnswer) {
  sim.SetNextPicture(Sequence(1000));
  ASSERT_EQ(ToHex(line->Ask(kStop, 5)), ToHex(kFrameOk));
  ASSERT_EQ(sim.Control("fault close 30"), "ok");
  line->Write(FrameBufferRead(0, 100));
  Bytes got = line->Read(110);
  const Bytes clean = ReadAnswer100();
  EXPECT_EQ(ToHex(got), ToHex(Bytes(clean.begin(), clean.begin() + 30)));
  EXPECT_TRUE(line->WaitHangUp());
  EXPECT_TRUE(sim.LineClosed());
}

TEST_F(CamSimLine, HangUpAtOnceAndStopDuringAStall) {
  {
    CCamSim other;
    ASSERT_TRUE(other.Start());
    Line otherLine(other.SlavePath());
    ASSERT_TRUE(otherLine.ok());
    // Without an offset the cut replaces the next answer; the line stays up until then.
    CamSimFault close;
    close.kind = CamSimFault::CloseLine;
    other.InjectFault(close);
    EXPECT_FALSE(other.LineClosed());
    otherLine.Write(kVersion);
    EXPECT_TRUE(otherLine.WaitHangUp());
    EXPECT_TRUE(other.LineClosed());
  }
  {
    CCamSim other;
    ASSERT_TRUE(other.Start());
    Line otherLine(other.SlavePath());
    ASSERT_TRUE(otherLine.ok());
    EXPECT_EQ(other.Control("hangup"), "ok");
    EXPECT_TRUE(otherLine.WaitHangUp());
  }
  // A stall far longer than any test: Stop must still end the camera promptly (the test
  // would hang otherwise) and the tool must see the hang-up.
  sim.SetNextPicture(Sequence(1000));
  ASSERT_EQ(ToHex(line->Ask(kStop, 5)), ToHex(kFrameOk));
  ASSERT_EQ(sim.Control("fault stall 50 600000"), "ok");
  line->Write(FrameBufferRead(0, 100));
  EXPECT_EQ(line->Read(50).size(), 50u);
  EXPECT_FALSE(sim.WaitIdle(0)) << "the answer is still being sent";
  sim.Stop();
  EXPECT_TRUE(line->WaitHangUp());
}

TEST_F(CamSimLine, PacedAndUnpacedTransfersArriveIntact) {
  // Paced at 921600 in small chunks.
  sim.SetBaud(921600);
  line->SetSpeed(B921600);
  sim.SetNextPicture(Sequence(20000));
  ASSERT_EQ(ToHex(line->Ask(kStop, 5)), ToHex(kFrameOk));
  Bytes paced = line->Ask(FrameBufferRead(0, 20000), 20010);
  ASSERT_EQ(paced.size(), 20010u);
  EXPECT_EQ(Bytes(paced.begin() + 5, paced.end() - 5), Sequence(20000));
  ASSERT_EQ(ToHex(line->Ask(kResume, 5)), ToHex(kFrameOk));

  // Unpaced: a 3840x2160 NV12 frame (12 MB) in one read.
  sim.SetBaud(0);
  sim.SetImageSizeIndex(14);
  ASSERT_EQ(ToHex(line->Ask({0x56, 0x00, 0x36, 0x01, 0x0A}, 5)), ToHex(kFrameOk));
  Bytes length = line->Ask({0x56, 0x00, 0x34, 0x02, 0x00, 0x00}, 13);
  EXPECT_EQ(ToHex(length), "76 00 34 00 0A 00 BD D8 00 0F 00 08 70");
  const uint32_t total = 3840 * 2160 * 3 / 2;
  Bytes frame = line->Ask(FrameBufferRead(0, total), total + 10);
  ASSERT_EQ(frame.size(), total + 10u);
  EXPECT_TRUE(std::equal(frame.begin() + 5, frame.end() - 5, sim.FrozenPicture().begin()));
  EXPECT_EQ(ToHex(Bytes(frame.end() - 5, frame.end())), "76 00 32 00 00");
}

TEST(CamSimAdapter, PartialPacketsAreHeldThenDeliveredWholeAndInOrder) {
  CamSimOptions options;
  options.baud = 921600;
  options.adapterLatencyMs = 20;
  CCamSim sim(options);
  ASSERT_TRUE(sim.Start());
  Line line(sim.SlavePath());
  ASSERT_TRUE(line.ok());

  // Shorter than one packet: only the latency timer can deliver it.
  EXPECT_EQ(ToHex(line.Ask(kVersion, kVersionReply.size())), ToHex(kVersionReply));

  // Idle means delivered: once the camera says so, the whole answer is waiting to be read.
  sim.SetNextPicture(Sequence(20000));
  ASSERT_EQ(ToHex(line.Ask(kStop, 5)), ToHex(kFrameOk));
  line.Write(FrameBufferRead(0, 100));
  ASSERT_TRUE(sim.WaitForRequests(3, kDeadlineMs));
  ASSERT_TRUE(sim.WaitIdle(kDeadlineMs));
  EXPECT_EQ(ToHex(line.Read(110)), ToHex(ReadAnswer100()));

  Bytes block = line.Ask(FrameBufferRead(0, 20000), 20010);
  ASSERT_EQ(block.size(), 20010u);
  EXPECT_EQ(Bytes(block.begin() + 5, block.end() - 5), Sequence(20000));
}

// A camera that falls silent mid-answer: the rest of the answer and the requests sent
// meanwhile wait until it is unmuted, then go out in order; stopping a muted camera ends it.
TEST_F(CamSimLine, MutedCameraCarriesOnWhereItStopped) {
  sim.SetNextPicture(Sequence(1000));
  ASSERT_EQ(ToHex(line->Ask(kStop, 5)), ToHex(kFrameOk));
  ASSERT_EQ(sim.Control("fault mute 30"), "ok");
  line->Write(FrameBufferRead(0, 100));
  const Bytes clean = ReadAnswer100();
  EXPECT_EQ(ToHex(line->Read(30)), ToHex(Bytes(clean.begin(), clean.begin() + 30)));
  // The writer falls silent just after handing those bytes over.
  for (int i = 0; i < 500 && !sim.Muted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(sim.Muted());
  const size_t heard = sim.ReceivedCount();
  line->Write(kVersion);
  EXPECT_EQ(sim.Control("unmute"), "ok");
  Bytes rest = line->Read(80 + kVersionReply.size());
  EXPECT_EQ(ToHex(rest), ToHex(Bytes(clean.begin() + 30, clean.end())) + " " + ToHex(kVersionReply));
  EXPECT_EQ(sim.ReceivedCount(), heard + 1);
  EXPECT_EQ(sim.Control("mute"), "ok");
  sim.Stop();  // a muted camera still stops (the test would hang otherwise)
  EXPECT_TRUE(line->WaitHangUp());
}
