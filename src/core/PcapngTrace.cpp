#include "core/PcapngTrace.h"

#include <algorithm>

bool CPcapngTrace::Open(const std::string& path, const std::string& application,
                        const std::string& port) {
  m_decoder.Reset();
  m_pos = 0;
  m_received.clear();
  return m_writer.Open(path, application, port);
}

void CPcapngTrace::Feed(bool transmit, const uint8_t* bytes, size_t count, int64_t timeUs) {
  if (!m_writer.IsOpen() || !bytes || count == 0) return;
  if (!transmit) m_received.insert(m_received.end(), bytes, bytes + count);
  m_frames.clear();
  m_decoder.Feed(transmit, bytes, count, m_pos, m_frames, timeUs);
  m_pos += count;
  m_lastUs = timeUs;
  Write(m_frames, transmit ? bytes : nullptr, timeUs);
}

bool CPcapngTrace::Finish() {
  if (m_writer.IsOpen()) {
    m_frames.clear();
    m_decoder.Flush(m_frames);
    Write(m_frames, nullptr, m_lastUs);
    // Whatever no frame claimed still belongs in the capture.
    if (!m_received.empty()) {
      const std::vector<uint8_t> rest(m_received.begin(), m_received.end());
      m_writer.Write(pcapng::Direction::FromCamera, m_lastUs, rest.data(), rest.size());
      m_received.clear();
    }
  }
  return m_writer.Close();
}

void CPcapngTrace::Write(const std::vector<DecodedFrame>& frames, const uint8_t* sent,
                         int64_t timeUs) {
  WriteFrames(m_writer, frames, sent, m_received, timeUs);
}

bool CPcapngTrace::WriteFrames(pcapng::CPcapngWriter& writer,
                               const std::vector<DecodedFrame>& frames, const uint8_t* sent,
                               std::deque<uint8_t>& received, int64_t fallbackUs) {
  std::vector<uint8_t> bytes;
  bool ok = true;
  for (const DecodedFrame& f : frames) {
    const int64_t time = f.timeUs >= 0 ? f.timeUs : fallbackUs;
    if (f.transmit) {
      // A frame sent is the bytes of the call it came in.
      if (sent) ok = writer.Write(pcapng::Direction::ToCamera, time, sent, f.length) && ok;
      continue;
    }
    // Received frames come in the order of their bytes: each takes its bytes off the front.
    const size_t n = static_cast<size_t>(std::min<uint64_t>(f.length, received.size()));
    bytes.assign(received.begin(), received.begin() + static_cast<long>(n));
    received.erase(received.begin(), received.begin() + static_cast<long>(n));
    ok = writer.Write(pcapng::Direction::FromCamera, time, bytes.data(), bytes.size()) && ok;
  }
  return ok;
}
