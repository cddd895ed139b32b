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
  bool data = false;    // a picture block: its bytes are the picture's, not a frame's fields
  std::string text;     // "set compression 0x36: ok", "unrecognised, 3 bytes"
  int64_t timeUs = -1;         // arrival of its first byte (as fed); -1: not told
  int64_t requestTimeUs = -1;  // a reply: when the request it answers was sent
};

class CFrameDecoder {
 public:
  // `pos`: stream position of bytes[0]. A frame sent is one call; received bytes any split.
  // `timeUs`: when the bytes crossed the line (microseconds), carried to the frames.
  void Feed(bool transmit, const uint8_t* bytes, size_t count, uint64_t pos,
            std::vector<DecodedFrame>& out, int64_t timeUs = -1);
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
    int64_t time = -1;
    uint32_t offset = 0, length = 0;  // a frame-buffer read's block
  };
  enum class Match { None, Need, Frame };
  struct Candidate {
    Match match = Match::None;
    size_t length = 0;
    std::string text;
  };
  static Candidate NeedMore() { return {Match::Need, 0, {}}; }

  void Send(const uint8_t* frame, size_t count, uint64_t pos, int64_t time,
            std::vector<DecodedFrame>& out);
  void Parse(std::vector<DecodedFrame>& out);
  bool ParseText(std::vector<DecodedFrame>& out);
  Candidate MatchReply(size_t* answered);
  Candidate MatchWaiting(const Waiting& w) const;
  Candidate MatchReport() const;
  void StartData(const Waiting& w, std::vector<DecodedFrame>& out);
  void EndData(const char* note, std::vector<DecodedFrame>& out);
  void Emit(size_t length, std::string text, std::vector<DecodedFrame>& out,
            int64_t requestTime = -1);
  void Junk(size_t length);
  void EmitJunk(std::vector<DecodedFrame>& out);
  uint64_t PosAt(size_t index) const;
  int64_t TimeAt(size_t index) const;
  void Consume(size_t count);

  std::deque<Waiting> m_waiting;
  std::vector<uint8_t> m_rx;  // received bytes not yet framed
  uint64_t m_rxPos = 0;       // position of m_rx[0]
  int64_t m_rxTime = -1;      // arrival of m_rx[0]
  struct Break {              // a later chunk: index in m_rx, position, arrival
    size_t at;
    uint64_t pos;
    int64_t time;
  };
  std::vector<Break> m_breaks;
  uint64_t m_junkPos = 0, m_junkLength = 0;  // bytes that matched nothing, not yet told
  int64_t m_junkTime = -1;

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
