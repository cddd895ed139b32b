#include "camsim/CamSimWire.h"

#include <algorithm>
#include <cstring>

namespace camsim {

// ---- Pacing ----

uint64_t PacedBytesAllowed(uint64_t elapsedUs, unsigned baud) {
  if (baud == 0) return UINT64_MAX;
  // 128-bit intermediate: hours at 921600 baud would overflow 64 bits in microseconds.
  unsigned __int128 bits = static_cast<unsigned __int128>(elapsedUs) * baud;
  return static_cast<uint64_t>(bits / 10'000'000u);
}

uint64_t PacedDurationUs(uint64_t bytes, unsigned baud) {
  if (baud == 0 || bytes == 0) return 0;
  unsigned __int128 numerator = static_cast<unsigned __int128>(bytes) * 10'000'000u;
  return static_cast<uint64_t>((numerator + baud - 1) / baud);
}

size_t PacingChunk(unsigned baud) {
  if (baud == 0) return 256 * 1024;
  size_t perTenMs = baud / 1000;  // baud / 10 bytes per second, a hundredth of that
  return std::clamp<size_t>(perTenMs, 1, 4096);
}

// ---- Request framing ----

bool IsKnownRequestShape(uint8_t command, uint8_t length) {
  switch (command) {
    case 0x26:  // reset
    case 0x11:  // version
      return length == 0;
    case 0x36:  // stop / resume frame
    case 0x37:  // motion on / off
    case 0x85:  // fill light
      return length == 1;
    case 0x34:  // frame length, 5- and 6-byte forms
      return length == 1 || length == 2;
    case 0x32:  // frame-buffer read
      return length == 0x0C;
    case 0x31:  // register write: interface, count, address (2), 1..4 data bytes
      return length >= 5 && length <= 8;
    case 0x3E:  // power save
    case 0x24:  // temporary baud
    case 0x88:  // burst
    case 0x93:  // image format
      return length == 3;
    case 0x86:  // OSD line: 12 header bytes + text
      return length >= 12;
    case 0x87:  // motion capture
      return length == 4;
    case 0x8B:  // crop write / read
      return length == 0x0A || length == 1;
    case 0x91:  // power-on capture, detection, image params set / reset
      return length == 4 || length == 0x0C || length == 2;
    case 0x90:  // read detection / settings / image params
      return length == 1 || length == 2;
    default:
      return false;
  }
}

void CRequestParser::Feed(const uint8_t* bytes, size_t count) {
  Compact();
  m_buffer.insert(m_buffer.end(), bytes, bytes + count);
}

void CRequestParser::Compact() {
  if (m_start == 0) return;
  if (m_start >= m_buffer.size()) {
    m_buffer.clear();
  } else if (m_start > 4096 || m_start * 2 > m_buffer.size()) {
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<ptrdiff_t>(m_start));
  } else {
    return;
  }
  m_start = 0;
}

bool CRequestParser::Next(std::vector<uint8_t>& frame, bool& wellFormed) {
  const uint8_t* data = m_buffer.data();
  size_t end = m_buffer.size();
  while (m_start < end && data[m_start] != 0x56) {
    ++m_start;
    ++m_skipped;
  }
  size_t available = end - m_start;
  if (available < 4) return false;
  const uint8_t* head = data + m_start;
  uint8_t command = head[2];
  uint8_t length = head[3];
  size_t total = 0;
  wellFormed = IsKnownRequestShape(command, length);
  if (wellFormed) {
    if (command == 0x32) {
      total = 16;
    } else if (command == 0x86) {
      if (available < 16) return false;
      total = 16 + head[15];
    } else {
      total = 4 + length;
    }
    if (available < total) return false;
  } else {
    total = 4;
    while (total < available && total < 4u + length && head[total] != 0x56) ++total;
  }
  frame.assign(head, head + total);
  m_start += total;
  return true;
}

// ---- Answers ----

void Answer::Append(Bytes bytes) {
  size_t length = bytes.size();
  if (length == 0) return;
  segments.push_back({std::make_shared<const Bytes>(std::move(bytes)), 0, length});
}

void Answer::AppendShared(const SharedBytes& data, size_t offset, size_t length) {
  if (length == 0) return;
  segments.push_back({data, offset, length});
}

void Answer::AppendZeros(size_t length) {
  if (length == 0) return;
  segments.push_back({nullptr, 0, length});
}

size_t Answer::Size() const {
  size_t total = 0;
  for (const Segment& s : segments) total += s.length;
  return total;
}

std::span<const uint8_t> Answer::At(size_t pos, size_t maxLength) const {
  static const uint8_t kZeros[64 * 1024] = {};
  for (const Segment& s : segments) {
    if (pos >= s.length) {
      pos -= s.length;
      continue;
    }
    size_t n = std::min(s.length - pos, maxLength);
    if (!s.data) return {kZeros, std::min(n, sizeof kZeros)};
    return {s.data->data() + s.offset + pos, n};
  }
  return {};
}

Bytes Answer::Flatten() const {
  Bytes out;
  out.reserve(Size());
  size_t pos = 0, total = Size();
  while (pos < total) {
    auto span = At(pos, total - pos);
    out.insert(out.end(), span.begin(), span.end());
    pos += span.size();
  }
  return out;
}

bool FaultAppliesTo(const CamSimFault& fault, const Answer& answer) {
  switch (fault.kind) {
    case CamSimFault::CorruptStartMarker:
    case CamSimFault::CorruptEndMarker:
    case CamSimFault::Mute:  // a camera that dies mid-picture
      return answer.frameBuffer;
    case CamSimFault::None:
    case CamSimFault::NeverAnswer:    // acts on requests, not answers
    case CamSimFault::MotionInstead:  // likewise
      return false;
    default:
      return true;
  }
}

namespace {

void AddCopy(std::vector<WriteOp>& ops, size_t from, size_t to) {
  if (to <= from) return;
  WriteOp op;
  op.kind = WriteOp::Copy;
  op.offset = from;
  op.length = to - from;
  ops.push_back(std::move(op));
}

// The answer bytes [from, to) with every byte inverted.
WriteOp Inverted(const Answer& answer, size_t from, size_t to) {
  WriteOp op;
  op.kind = WriteOp::Literal;
  while (from < to) {
    auto span = answer.At(from, to - from);
    for (uint8_t b : span) op.bytes.push_back(static_cast<uint8_t>(b ^ 0xFF));
    from += span.size();
  }
  return op;
}

Bytes RandomBytes(size_t count, std::mt19937& random) {
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(random() & 0xFF);
  return bytes;
}

}  // namespace

std::vector<WriteOp> PlanAnswer(const Answer& answer, const CamSimFault& fault, std::mt19937& random) {
  std::vector<WriteOp> ops;
  const size_t total = answer.Size();
  auto clampPos = [total](size_t pos) { return std::min(pos, total); };
  switch (fault.kind) {
    case CamSimFault::DropBytes: {
      size_t from = clampPos(fault.offset), to = clampPos(size_t{fault.offset} + fault.count);
      AddCopy(ops, 0, from);
      AddCopy(ops, to, total);
      break;
    }
    case CamSimFault::CorruptBytes: {
      size_t from = clampPos(fault.offset), to = clampPos(size_t{fault.offset} + fault.count);
      AddCopy(ops, 0, from);
      if (to > from) ops.push_back(Inverted(answer, from, to));
      AddCopy(ops, to, total);
      break;
    }
    case CamSimFault::CorruptStartMarker:
    case CamSimFault::CorruptEndMarker: {
      // The command byte of the marker: both the length and the rest stay intact, so only
      // a reader that checks the markers notices.
      if (total < 10) {
        AddCopy(ops, 0, total);
        break;
      }
      size_t at = fault.kind == CamSimFault::CorruptStartMarker ? 2 : total - 3;
      AddCopy(ops, 0, at);
      ops.push_back(Inverted(answer, at, at + 1));
      AddCopy(ops, at + 1, total);
      break;
    }
    case CamSimFault::AppendExtra: {
      AddCopy(ops, 0, total);
      WriteOp extra;
      extra.kind = WriteOp::Literal;
      extra.bytes = RandomBytes(fault.count, random);
      ops.push_back(std::move(extra));
      break;
    }
    case CamSimFault::StopShort:
      AddCopy(ops, 0, total - std::min<size_t>(fault.count, total));
      break;
    case CamSimFault::Stall: {
      size_t at = clampPos(fault.offset);
      AddCopy(ops, 0, at);
      WriteOp pause;
      pause.kind = WriteOp::Pause;
      pause.ms = fault.delayMs;
      ops.push_back(std::move(pause));
      AddCopy(ops, at, total);
      break;
    }
    case CamSimFault::Garbage: {
      WriteOp junk;
      junk.kind = WriteOp::Literal;
      junk.bytes = RandomBytes(fault.count, random);
      ops.push_back(std::move(junk));
      break;
    }
    case CamSimFault::CloseLine: {
      AddCopy(ops, 0, clampPos(fault.offset));
      WriteOp hangUp;
      hangUp.kind = WriteOp::HangUp;
      ops.push_back(std::move(hangUp));
      break;
    }
    case CamSimFault::Mute: {
      const size_t at = clampPos(fault.offset);
      AddCopy(ops, 0, at);
      WriteOp mute;
      mute.kind = WriteOp::Mute;
      ops.push_back(std::move(mute));
      AddCopy(ops, at, total);  // the rest once unmuted
      break;
    }
    default:
      AddCopy(ops, 0, total);
      break;
  }
  return ops;
}

std::string ToHex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

}  // namespace camsim
