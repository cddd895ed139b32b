#pragma once
// CPcapngTrace: the traffic written to a pcapng capture as it goes, one packet per frame.
//
// The bytes are framed by the trace decoder, so a reply split over several reads is one
// packet and several replies in one read are several, each stamped with the arrival of its
// first byte: the capture reads frame by frame in Wireshark as `--decode` prints it. Every
// byte fed lands in exactly one packet, in the order it came (bytes that match no frame are
// packets of their own), so a capture replays byte for byte.
//
// Not thread-safe: the owner serialises Feed and Finish.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/Pcapng.h"
#include "core/FrameDecoder.h"

class CPcapngTrace {
 public:
  // Creates the file; false with Error() set when it cannot be made.
  bool Open(const std::string& path, const std::string& application, const std::string& port);
  // `timeUs`: when the bytes crossed the line (pcapng::NowUs() when the caller saw them).
  void Feed(bool transmit, const uint8_t* bytes, size_t count, int64_t timeUs);
  // Writes what still waits for more bytes and closes the file. False when any write
  // failed (Error() says why).
  bool Finish();
  bool IsOpen() const { return m_writer.IsOpen(); }
  const std::string& Error() const { return m_writer.Error(); }

  // Writes every frame of already framed traffic: the decoder's frames with their bytes.
  static bool WriteFrames(pcapng::CPcapngWriter& writer, const std::vector<DecodedFrame>& frames,
                          const uint8_t* sent, std::deque<uint8_t>& received, int64_t fallbackUs);

 private:
  void Write(const std::vector<DecodedFrame>& frames, const uint8_t* sent, int64_t timeUs);

  pcapng::CPcapngWriter m_writer;
  CFrameDecoder m_decoder;
  uint64_t m_pos = 0;
  std::deque<uint8_t> m_received;  // received bytes not yet in a packet
  std::vector<DecodedFrame> m_frames;
  int64_t m_lastUs = 0;
};
