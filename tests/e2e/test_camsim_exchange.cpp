// A whole capture exchange between the real serial channel and the virtual camera over a
// pseudo-terminal: stop, length, block reads, resume; the picture must decode.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "camsim/CamSim.h"
#include "serial/SerialChannel.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto kDeadline = std::chrono::seconds(20);

// Collects what the channel delivers and what it reports.
class Endpoint : public SerialOwner, public ReceiveSink {
 public:
  void LogError(const std::string& text) override { Note(errors, text); }
  void LogNotice(const std::string& text) override { Note(notices, text); }  // no low latency on a pty
  void ReportError(const std::string& text) override { Note(errors, text); }
  void LineFailed(const std::string& reason) override { Note(failures, reason); }

  void AppendReceived(const uint8_t* bytes, unsigned count) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_received.insert(m_received.end(), bytes, bytes + count);
    m_changed.notify_all();
  }

  // Waits for `count` bytes and takes them; fewer when the deadline passes.
  Bytes Take(size_t count) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait_for(guard, kDeadline, [&] { return m_received.size() >= count; });
    size_t n = std::min(count, m_received.size());
    Bytes out(m_received.begin(), m_received.begin() + static_cast<ptrdiff_t>(n));
    m_received.erase(m_received.begin(), m_received.begin() + static_cast<ptrdiff_t>(n));
    return out;
  }

  size_t Available() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_received.size();
  }

  bool WaitForFailure() {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, kDeadline, [&] { return !failures.empty(); });
  }

  std::vector<std::string> errors, notices, failures;

 private:
  void Note(std::vector<std::string>& list, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    list.push_back(text);
    m_changed.notify_all();
  }
  std::mutex m_lock;
  std::condition_variable m_changed;
  Bytes m_received;
};

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }

Bytes FrameBufferRead(uint32_t address, uint32_t length) {
  return {0x56, 0x00, 0x32, 0x0C, 0x00, 0x0A,
          uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address),
          uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0x00, 0xFF};
}

using testsupport::DecodeJpeg;
using testsupport::Hex;

struct CamSimExchange : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(sim.Start());
    ASSERT_EQ(channel.OpenDevice(&end, &end, sim.SlavePath(), 1, 115200, 'N', 8, 1, 512), 1)
        << channel.LastOpenError();
    ASSERT_EQ(channel.StartMonitor(), 1);
  }
  void TearDown() override { channel.Close(); }

  Bytes Ask(const Bytes& request, size_t replyLength) {
    EXPECT_EQ(channel.Send(request.data(), request.size()), 1);
    return end.Take(replyLength);
  }

  CCamSim sim;
  Endpoint end;
  CSerialChannel channel;
};

}  // namespace

TEST_F(CamSimExchange, CaptureThroughTheSerialChannelDecodes) {
  sim.SetImageSizeIndex(4);  // 1024x768
  for (int picture = 0; picture < 2; ++picture) {
    SCOPED_TRACE(picture);
    ASSERT_EQ(Hex(Ask({0x56, 0x00, 0x36, 0x01, 0x00}, 5)), "76 00 36 00 00");
    Bytes length = Ask({0x56, 0x00, 0x34, 0x01, 0x00}, 9);
    ASSERT_EQ(length.size(), 9u);
    ASSERT_EQ(Hex(Bytes(length.begin(), length.begin() + 5)), "76 00 34 00 04");
    const uint32_t total = Be32(&length[5]);
    ASSERT_GT(total, 0u);

    Bytes jpeg;
    const uint32_t block = 2048;
    for (uint32_t address = 0; address < total; address += block) {
      const uint32_t n = std::min(block, total - address);
      Bytes answer = Ask(FrameBufferRead(address, n), n + 10);
      ASSERT_EQ(answer.size(), n + 10) << "block at " << address;
      ASSERT_EQ(Hex(Bytes(answer.begin(), answer.begin() + 5)), "76 00 32 00 00");
      ASSERT_EQ(Hex(Bytes(answer.end() - 5, answer.end())), "76 00 32 00 00");
      jpeg.insert(jpeg.end(), answer.begin() + 5, answer.end() - 5);
    }
    EXPECT_EQ(jpeg, sim.FrozenPicture());
    ASSERT_EQ(Hex(Ask({0x56, 0x00, 0x36, 0x01, 0x03}, 5)), "76 00 36 00 00");

    int width = 0, height = 0;
    ASSERT_TRUE(DecodeJpeg(jpeg, width, height));
    EXPECT_EQ(width, 1024);
    EXPECT_EQ(height, 768);
  }
  EXPECT_EQ(sim.FrameCounter(), 2);
  EXPECT_TRUE(end.errors.empty());
  auto requests = sim.ReceivedHex();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front(), "56 00 36 01 00");
  EXPECT_EQ(requests.back(), "56 00 36 01 03");
}

TEST_F(CamSimExchange, CablePulledMidTransferIsReportedByTheChannel) {
  ASSERT_EQ(Hex(Ask({0x56, 0x00, 0x36, 0x01, 0x00}, 5)), "76 00 36 00 00");
  ASSERT_EQ(sim.Control("fault close 200"), "ok");
  const Bytes read = FrameBufferRead(0, 1000);
  ASSERT_EQ(channel.Send(read.data(), read.size()), 1);
  ASSERT_TRUE(end.WaitForFailure());
  EXPECT_EQ(end.Available(), 200u) << "the bytes before the cut arrive, nothing after it";
  EXPECT_EQ(channel.Send(FrameBufferRead(0, 10).data(), 16), 0) << "a failed line refuses frames";
}
