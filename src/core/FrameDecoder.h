#pragma once
// CFrameDecoder: names each frame of the traffic and its fields, from the command table the
// engine builds its requests and matches its replies with (protocol/CommandTable.h).
//
// It is fed the traffic in order, each frame sent and each chunk received, and finds the
// frames in the received stream the way the engine does: the reply to the oldest request
// still unanswered, picture data between the 76 SN 32 00 00 markers (one frame per block),
// the camera's own reports and banner, refusals, and bytes that match nothing. A frame
// split over several reads is one frame. No window, no threads: the caller serialises.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

struct CommandLayout;

struct DecodedFrame {
  uint64_t start = 0;   // stream position of its first byte (sent and received share one count)
  uint64_t length = 0;  // its bytes
  bool transmit = false;
  std::string text;     // "set compression 0x36: ok", "unrecognised, 3 bytes"
};

class CFrameDecoder {
 public:
  // `pos`: stream position of bytes[0]. A frame sent is one call; received bytes any split.
  void Feed(bool transmit, const uint8_t* bytes, size_t count, uint64_t pos,
            std::vector<DecodedFrame>& out);
  // The end of the traffic: what still waits for more bytes is told as it stands.
  void Flush(std::vector<DecodedFrame>& out);
  void Reset();

  // A request frame alone: its name and fields, or "unrecognised, n bytes".
  static std::string RequestText(const uint8_t* frame, size_t count);

 private:
  struct Waiting {  // a request whose reply has not come yet
    const CommandLayout* layout;
    std::string text;
    uint8_t serial;
    uint32_t offset = 0, length = 0;  // a frame-buffer read's block
  };
  enum class Match { None, Need, Frame };
  struct Candidate {
    Match match = Match::None;
    size_t length = 0;
    std::string text;
  };
  static Candidate NeedMore() { return {Match::Need, 0, {}}; }

  void Send(const uint8_t* frame, size_t count, uint64_t pos, std::vector<DecodedFrame>& out);
  void Parse(std::vector<DecodedFrame>& out);
  bool ParseText(std::vector<DecodedFrame>& out);
  Candidate MatchReply(size_t* answered);
  Candidate MatchWaiting(const Waiting& w) const;
  Candidate MatchReport() const;
  void StartData(const Waiting& w, std::vector<DecodedFrame>& out);
  void EndData(const char* note, std::vector<DecodedFrame>& out);
  void Emit(size_t length, std::string text, std::vector<DecodedFrame>& out);
  void Junk(size_t length);
  void EmitJunk(std::vector<DecodedFrame>& out);
  uint64_t PosAt(size_t index) const;
  void Consume(size_t count);

  std::deque<Waiting> m_waiting;
  std::vector<uint8_t> m_rx;  // received bytes not yet framed
  uint64_t m_rxPos = 0;       // position of m_rx[0]
  std::vector<std::pair<size_t, uint64_t>> m_breaks;  // later chunks: index in m_rx, position
  uint64_t m_junkPos = 0, m_junkLength = 0;           // bytes that matched nothing, not yet told

  // A picture block being read: its frame, the bytes still to skip, then the end marker.
  bool m_inData = false;
  bool m_awaitEnd = false;
  uint8_t m_dataSerial = 0;
  uint64_t m_dataLeft = 0;
  DecodedFrame m_data;
  uint32_t m_dataWanted = 0;
  uint32_t m_pictureLength = 0;  // from the last frame-length reply
  uint32_t m_blockSize = 0;
};
