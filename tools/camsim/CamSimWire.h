#pragma once
// The byte-level side of the virtual camera: line pacing, request framing, the answer
// representation the writer streams, and how an injected fault reshapes an answer.
// Everything here is free of threads and file descriptors so it can be checked directly.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "camsim/CamSim.h"

namespace camsim {

// ---- Pacing (8N1: ten bit times per byte) ----

// Bytes the line can have carried `elapsedUs` microseconds after it started sending.
uint64_t PacedBytesAllowed(uint64_t elapsedUs, unsigned baud);
// The shortest time after which `bytes` bytes are allowed.
uint64_t PacedDurationUs(uint64_t bytes, unsigned baud);
// Bytes written per step at this rate: about 10 ms of line time, so slow lines stay smooth
// and fast lines are not paced byte by byte. Unpaced (baud 0): large writes.
size_t PacingChunk(unsigned baud);

// The output speed set on fd's line in bits per second: on a pseudo-terminal, the rate the
// tool chose. 0 when it cannot be read.
unsigned ToolLineSpeed(int fd);

// ---- Request framing ----

// Splits the incoming byte stream into request frames. A frame starts with 0x56; bytes
// before it are skipped. Known command bytes are framed by their length byte (the
// frame-buffer read is always 16 bytes, the OSD request 16 + the text length in byte 15).
// A header whose command byte is unknown, or whose length byte does not fit the command,
// is returned with only the argument bytes already at hand and never followed past the
// next 0x56, so one damaged header cannot swallow the requests behind it.
class CRequestParser {
 public:
  void Feed(const uint8_t* bytes, size_t count);
  // Takes the next frame; false when more bytes are needed. `wellFormed` is false for a
  // frame cut by the rule above.
  bool Next(std::vector<uint8_t>& frame, bool& wellFormed);
  size_t Buffered() const { return m_buffer.size() - m_start; }
  uint64_t SkippedBytes() const { return m_skipped; }

 private:
  void Compact();
  std::vector<uint8_t> m_buffer;
  size_t m_start = 0;
  uint64_t m_skipped = 0;
};

// True when `length` is a length byte this command byte can carry.
bool IsKnownRequestShape(uint8_t command, uint8_t length);

// ---- Answers ----

using Bytes = std::vector<uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;

// A run of answer bytes: a slice of shared storage (pictures are never copied into the
// queue), or `length` zero bytes when `data` is null.
struct Segment {
  SharedBytes data;
  size_t offset = 0;
  size_t length = 0;
};

struct Answer {
  std::vector<Segment> segments;
  bool frameBuffer = false;  // a frame-buffer read answer (marker faults wait for one)
  std::string what;          // for the verbose log

  void Append(Bytes bytes);
  void AppendShared(const SharedBytes& data, size_t offset, size_t length);
  void AppendZeros(size_t length);
  size_t Size() const;
  // Contiguous bytes at `pos`, at most `maxLength` (never empty while pos < Size()).
  std::span<const uint8_t> At(size_t pos, size_t maxLength) const;
  Bytes Flatten() const;  // for tests and small answers
};

// One step of what the writer puts on the line.
struct WriteOp {
  enum Kind { Copy, Literal, Pause, HangUp, Mute } kind = Copy;
  size_t offset = 0;  // Copy: answer bytes [offset, offset + length)
  size_t length = 0;
  Bytes bytes;        // Literal
  unsigned ms = 0;    // Pause
};

// Does this fault wait for a particular kind of answer? Marker faults wait for a
// frame-buffer answer; the others take the next answer of any kind.
bool FaultAppliesTo(const CamSimFault& fault, const Answer& answer);
// The steps that send `answer` with `fault` applied (kind None: the answer as it is).
// Random bytes (garbage, extra bytes) come from `random`.
std::vector<WriteOp> PlanAnswer(const Answer& answer, const CamSimFault& fault, std::mt19937& random);

std::string ToHex(const uint8_t* bytes, size_t count);
inline std::string ToHex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }

}  // namespace camsim
