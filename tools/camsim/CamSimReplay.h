#pragma once
// CReplayScript: a recorded session played back as the camera. Each request of the
// recording keeps the bytes the camera sent after it (until the next request) and when they
// came; the n-th time a request arrives it gets the reply recorded for its n-th occurrence.
// A request the recording never saw (or saw fewer times) gets nothing, as a camera that did
// nothing. Recordings are pcapng captures or saved text traces ("TX :" / "Rx :" lines).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "camsim/CamSimWire.h"

namespace camsim {

struct ReplayChunk {
  int64_t afterUs = 0;  // since the request arrived
  SharedBytes bytes;
};

struct ReplayExchange {
  Bytes request;
  std::vector<ReplayChunk> reply;  // in order; afterUs never decreases
};

class CReplayScript {
 public:
  // False with `error` set when the file is neither a capture nor a trace, or holds no
  // request.
  bool Load(const std::string& path, std::string& error);
  // Parsed from memory (tests, and Load's text path).
  bool LoadText(const std::string& text, std::string& error);

  // The exchange for this arrival of `request`, or nullptr (never seen, or used up).
  const ReplayExchange* Take(const Bytes& request);
  // Every arrival answered from the start again.
  void Rewind();

  const std::vector<ReplayExchange>& Exchanges() const { return m_exchanges; }
  // Bytes the camera sent before the first request (left out of the replay).
  size_t LeadingBytes() const { return m_leadingBytes; }

 private:
  // Builds the exchanges from the traffic in order; times in microseconds (-1: unknown).
  void Sent(const uint8_t* bytes, size_t count, int64_t timeUs);
  void Received(const uint8_t* bytes, size_t count, int64_t timeUs);
  bool Finish(std::string& error);
  bool LoadCapture(const std::string& path, std::string& error);

  std::vector<ReplayExchange> m_exchanges;
  std::vector<int64_t> m_requestTimes;  // building only
  CRequestParser m_parser;              // building only
  size_t m_leadingBytes = 0;
  std::map<Bytes, std::deque<size_t>> m_unused;  // request -> its exchanges not yet taken
};

}  // namespace camsim
