// The reply processor fed arbitrary bytes. The input's first bytes set the session state;
// the rest is a script of received chunks, queued command codes, passes and operator
// actions. No threads and no port: passes run here, the clock never sleeps, and whenever
// the engine would wait (pauses, the transfer's block waits) the next received chunk is
// handed over; when the script is used up the line is declared lost, so a transfer that
// waits for more bytes ends instead of retrying for ever.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FuzzInput.h"
#include "ProtocolTestSupport.h"

namespace {

constexpr int kCaptureModes[] = {CAPTURE_IDLE, CAPTURE_SINGLE, CAPTURE_CONTINUOUS,
                                 CAPTURE_MULTI_READ, CAPTURE_AUTO_READ};

class Driver {
 public:
  Driver(const uint8_t* data, size_t size) : m_in(data, size) {
    m_host.SetTrafficLimit(4096);
    m_engine.UseFrameChannel(&m_channel);
    m_clock.onWait = [this] { DeliverDuringWait(); };
    // A frame-buffer read means the engine now waits for the camera's answer.
    m_channel.onSend = [this](const std::vector<uint8_t>& f) {
      if (f.size() > 2 && f[2] == 0x32) m_blockRequested = true;
    };
  }
  ~Driver() { m_engine.UseFrameChannel(nullptr); }

  void Run() {
    m_engine.UpdateSettings([&](SessionSettings& s) { s.savePath = FuzzScratchDir(); });
    m_engine.SetCaptureMode(kCaptureModes[m_in.U8() % 5]);
    const uint8_t flags = m_in.U8();
    m_engine.UpdateSettings([&](SessionSettings& s) { s.imageType = flags & 1; });
    m_engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = (flags >> 1) % 6; });
    m_engine.SetContinuous((flags >> 4) & 1);
    m_engine.SetDetectionActive((flags >> 5) & 1);
    m_engine.SetReadIndex(m_in.U8());
    m_engine.SetStoredCount(m_in.U8());
    m_engine.SetDetectType(m_in.U8() & 3);
    const uint8_t sn = m_in.U8();
    m_engine.UpdateSettings([&](SessionSettings& s) { s.serialNumber = sn; });
    m_engine.ApplySerialNumber(sn);
    m_engine.UpdateSettings([&](SessionSettings& s) { s.continueDelay = m_in.U8() * 10u; });
    MultiCaptureSettings multi;
    multi.photos = m_in.U8() % 16;
    m_engine.UpdateRecords([&](FeatureRecordSet& r) { r.multiCapture = multi; });

    while (m_in.Left() > 0) Step();
    for (int i = 0; i < 4; ++i) Pass();
    // For checking what a seed reaches: BREVANT_FUZZ_TRACE=1 prints the activity log.
    if (std::getenv("BREVANT_FUZZ_TRACE")) {
      for (const auto& line : m_host.StatusLines()) std::fprintf(stderr, "%s\n", line.c_str());
      std::fprintf(stderr, "pictures shown: %zu\n", m_host.Pictures().size());
    }
  }

 private:
  void Append(const uint8_t* bytes, size_t n) {
    m_engine.AppendReceived(bytes, static_cast<unsigned>(n));
    m_channel.idle = true;  // the line has been drained, as the monitor reports it
  }

  void Step() {
    const uint8_t op = m_in.U8();
    if (op < 0x80) {  // a received chunk of 1..128 bytes, then one pass
      const uint8_t* bytes;
      const size_t n = m_in.Take(op + 1u, &bytes);
      if (n) Append(bytes, n);
      Pass();
    } else if (op < 0xC0) {
      m_engine.QueueCommand((op & 0x3F) % (CMD_LAST + 1));
    } else if (op < 0xE0) {
      for (int i = 0; i <= (op & 0x1F); ++i) Pass();
    } else {
      switch (op) {
        case 0xE0: m_engine.SingleCapture(); break;
        case 0xE1: m_engine.StopCapture(); break;
        case 0xE2: m_engine.SetReadIndex(1); m_engine.ReadStoredPicture(); break;
        case 0xE3: m_engine.ReadMultiCapturePicture(); break;
        case 0xE4: m_engine.ReadAutoCapturePicture(m_in.U8()); break;
        case 0xE5: m_engine.ClearCommands(); break;
        case 0xE6: m_engine.DiscardReceived(); break;
        case 0xE7: {
          const int mode = m_in.U8() % 6;
          m_engine.UpdateSettings([&](SessionSettings& s) { s.transmitMode = mode; });
          break;
        }
        case 0xE8: {
          const int type = m_in.U8() & 1;
          m_engine.UpdateSettings([&](SessionSettings& s) { s.imageType = type; });
          break;
        }
        case 0xE9: m_engine.SetCaptureMode(kCaptureModes[m_in.U8() % 5]); break;
        default: Pass(); break;
      }
    }
  }

  void Pass() {
    m_engine.ProcessReplies();
    m_blockRequested = false;
  }

  // Runs inside the engine's waits (its locks released). While a block read waits for its
  // answer, received chunks are delivered here and other script steps skipped; other
  // waits (pauses) pass without bytes.
  void DeliverDuringWait() {
    if (!m_blockRequested) return;
    while (m_in.Left() > 0) {
      const uint8_t op = m_in.U8();
      if (op < 0x80) {
        const uint8_t* bytes;
        const size_t n = m_in.Take(op + 1u, &bytes);
        if (n) Append(bytes, n);
        return;
      }
    }
    if (!m_lineLost) {
      m_lineLost = true;
      m_engine.LineFailed("end of input");
    }
  }

  FuzzInput m_in;
  HeadlessHost m_host;
  FakeClock m_clock;
  FakeChannel m_channel;
  CCameraProtocol m_engine{&m_host, &m_clock};
  bool m_lineLost = false;
  bool m_blockRequested = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Driver(data, size).Run();
  return 0;
}
