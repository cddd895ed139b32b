#include "core/FrameDecoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/ModelIdentification.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandTable.h"
#include "protocol/ProtocolTables.h"

namespace {

// Received bytes held while a frame may still be completing; past this the first is let go.
constexpr size_t kWindow = 1024;
constexpr size_t kPiece = 2 * kWindow;  // received bytes framed per step
// Requests remembered without a reply (a silent camera must not grow the list).
constexpr size_t kMostWaiting = 64;
constexpr char kInitEndLine[] = "Init end\r\n";

uint32_t ReadBe(const uint8_t* p, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

std::string Printf(const char* format, unsigned long long a, unsigned long long b = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

const char* Pictures(unsigned n) { return n == 1 ? "picture" : "pictures"; }

size_t Find(const std::vector<uint8_t>& v, size_t from, size_t to, const char* text) {
  const size_t length = std::strlen(text);
  if (to < from + length) return std::string::npos;
  const auto end = v.begin() + static_cast<long>(to);
  const auto hit = std::search(v.begin() + static_cast<long>(from), end, text, text + length);
  return hit == end ? std::string::npos : static_cast<size_t>(hit - v.begin());
}

size_t NextReply(const std::vector<uint8_t>& v, size_t from) {
  const auto it = std::find(v.begin() + static_cast<long>(std::min(from, v.size())), v.end(), kReplyByte);
  return static_cast<size_t>(it - v.begin());
}

// One field's text, or false when the frame does not carry it (or it is a hidden zero).
bool FieldText(const FieldLayout& f, const uint8_t* frame, size_t count, std::string& out) {
  std::string value;
  if (f.kind == FieldKind::Text) {
    if (f.offset >= count) return false;
    for (size_t i = f.offset; i < count && frame[i] != 0; ++i)
      value += frame[i] >= 0x20 && frame[i] < 0x7F ? static_cast<char>(frame[i]) : '.';
  } else {
    if (size_t{f.offset} + f.width > count) return false;
    const uint8_t* p = frame + f.offset;
    const uint32_t v = ReadBe(p, f.width);
    if (f.hideZero && v == 0) return false;
    switch (f.kind) {
      case FieldKind::Hex: value = Printf(f.width == 1 ? "0x%02llX" : "0x%04llX", v); break;
      case FieldKind::Baud: {
        const int at = f.width == 2 ? BaudPositionForCode(p[0], p[1]) : -1;
        value = at >= 0 ? std::to_string(kBaudCodes[at].baud) : Printf("code 0x%04llX", v);
        break;
      }
      case FieldKind::ImageSize: {
        const int at = ImageSizePositionForCode(p[0]);
        value = at >= 0 ? ImageSizeItems()[static_cast<size_t>(at)] : Printf("code 0x%02llX", v);
        break;
      }
      case FieldKind::Ordinal: value = std::to_string(uint64_t{v} + 1); break;
      default: value = std::to_string(v); break;
    }
  }
  const char* pattern = f.pattern;
  const char* at = std::strstr(pattern, "%s");
  out.append(pattern, at ? static_cast<size_t>(at - pattern) : std::strlen(pattern));
  out += value;
  if (at) out += at + 2;
  return true;
}

// "name v" when the first field is a bare value, else "name: field v, field v".
std::string Describe(const char* name, FieldList fields, const uint8_t* frame, size_t count) {
  std::string text = name, field;
  bool first = true;
  for (const FieldLayout& f : fields) {
    field.clear();
    if (!FieldText(f, frame, count, field)) continue;
    text += first ? (f.pattern[0] == '%' ? " " : ": ") : ", ";
    text += field;
    first = false;
  }
  return text;
}

// The command a request frame is: the row whose fixed bytes it starts with, the longest.
const CommandLayout* RequestLayout(const uint8_t* frame, size_t count) {
  if (count < 4 || frame[0] != kRequestByte) return nullptr;
  size_t rows = 0;
  const CommandLayout* layouts = CommandLayouts(&rows);
  const CommandLayout* best = nullptr;
  for (size_t i = 0; i < rows; ++i) {
    const CommandLayout& s = layouts[i];
    if (s.requestFixed == 0 || s.requestFixed + 2u > count) continue;
    if (std::memcmp(frame + 2, s.request, s.requestFixed) != 0) continue;
    if (!best || s.requestFixed > best->requestFixed) best = &s;
  }
  return best;
}

std::string Unrecognised(uint64_t n) { return Printf("unrecognised, %llu bytes", n); }
std::string Refused(uint8_t status) { return Printf("refused: status %02llX", status); }

}  // namespace

std::string CFrameDecoder::RequestText(const uint8_t* frame, size_t count) {
  const CommandLayout* layout = RequestLayout(frame, count);
  return layout ? Describe(layout->name, layout->requestFields, frame, count) : Unrecognised(count);
}

void CFrameDecoder::Reset() { *this = CFrameDecoder(); }

void CFrameDecoder::Feed(bool transmit, const uint8_t* bytes, size_t count, uint64_t pos,
                         std::vector<DecodedFrame>& out, int64_t timeUs) {
  if (!bytes || count == 0) return;
  if (transmit) return Send(bytes, count, pos, timeUs, out);
  while (count > 0) {
    size_t n;
    if (m_inData && !m_awaitEnd && m_rx.empty()) {  // picture bytes: counted, never copied
      n = static_cast<size_t>(std::min<uint64_t>(m_dataLeft, count));
      m_data.length += n;
      m_dataLeft -= n;
      if (m_dataLeft == 0) m_awaitEnd = true;
    } else {
      // A piece at a time, so taking frames off the front never moves more than a window.
      n = std::min(count, kPiece);
      if (m_rx.empty()) {
        m_rxPos = pos;
        m_rxTime = timeUs;
      } else if (PosAt(m_rx.size()) != pos || TimeAt(m_rx.size()) != timeUs) {
        m_breaks.push_back({m_rx.size(), pos, timeUs});
      }
      m_rx.insert(m_rx.end(), bytes, bytes + n);
      Parse(out);
    }
    bytes += n;
    pos += n;
    count -= n;
  }
}

void CFrameDecoder::Flush(std::vector<DecodedFrame>& out) {
  Parse(out);
  if (m_inData) EndData(m_awaitEnd ? "no end marker" : nullptr, out);
  Parse(out);
  Junk(m_rx.size());  // a frame that never completed is as good as none
  EmitJunk(out);
}

void CFrameDecoder::Send(const uint8_t* frame, size_t count, uint64_t pos, int64_t time,
                         std::vector<DecodedFrame>& out) {
  // A new request ends what came before it: a block cut short, text that matched nothing.
  // A whole block still waiting for its end marker never got one, as at the end of traffic.
  if (m_inData) EndData(m_awaitEnd ? "no end marker" : nullptr, out);
  if (!m_rx.empty() && m_rx[0] != kReplyByte) Junk(NextReply(m_rx, 0));
  EmitJunk(out);
  const CommandLayout* layout = RequestLayout(frame, count);
  out.push_back({pos, count, true, false, RequestText(frame, count), time});
  if (!layout) return;
  Waiting w{layout, out.back().text, frame[1], time};
  if (layout->code == CMD_READ_BUF_512 && count >= 14) {
    w.offset = ReadBe(frame + 6, 4);
    w.length = ReadBe(frame + 10, 4);
    if ((w.offset == 0 || m_blockSize == 0) && w.length != 0) m_blockSize = w.length;
    // A block asked again: the earlier ask will not be answered.
    std::erase_if(m_waiting, [](const Waiting& old) { return old.layout->code == CMD_READ_BUF_512; });
  }
  m_waiting.push_back(std::move(w));
  if (m_waiting.size() > kMostWaiting) m_waiting.pop_front();
}

// ---------------------------------------------------------------- framing the received bytes

void CFrameDecoder::Parse(std::vector<DecodedFrame>& out) {
  while (!m_rx.empty()) {
    if (m_inData) {
      if (!m_awaitEnd) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(m_dataLeft, m_rx.size()));
        m_data.length += take;
        m_dataLeft -= take;
        Consume(take);
        if (m_dataLeft) return;
        m_awaitEnd = true;
        continue;
      }
      if (m_rx.size() < kFrameBufferMarkerLength) return;
      const CommandLayout* layout = CommandLayoutFor(CMD_READ_BUF_512);
      const bool marker = m_rx[0] == kReplyByte && m_rx[1] == m_dataSerial &&
                          std::memcmp(&m_rx[2], layout->replyHeader, layout->replyHeaderLength) == 0;
      if (marker) {
        m_data.length += kFrameBufferMarkerLength;
        Consume(kFrameBufferMarkerLength);
      }
      EndData(marker ? nullptr : "no end marker", out);
      continue;
    }
    if (m_rx[0] != kReplyByte) {
      if (!ParseText(out)) return;
      continue;
    }
    size_t answered = std::string::npos;
    Candidate c = MatchReply(&answered);
    if (c.match == Match::Need) {
      if (m_rx.size() < kWindow) return;
      c.match = Match::None;
    }
    if (c.match == Match::None) {
      Junk(NextReply(m_rx, 1));
      continue;
    }
    if (answered == std::string::npos) {
      Emit(c.length, std::move(c.text), out);
      continue;
    }
    const Waiting w = m_waiting[answered];
    // Requests before the one answered got no reply.
    m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<long>(answered) + 1);
    if (w.layout->code == CMD_READ_BUF_512 && m_rx[3] == 0) {
      StartData(w, out);
      continue;
    }
    if (w.layout->code == CMD_GET_FRAME_LEN && m_rx[3] == 0 && c.length >= 9)
      m_pictureLength = ReadBe(&m_rx[5], 4);
    Emit(c.length, std::move(c.text), out, w.time);
  }
}

// Bytes that do not start a reply: the power-on banner, an error text, or nothing known.
bool CFrameDecoder::ParseText(std::vector<DecodedFrame>& out) {
  const size_t run = NextReply(m_rx, 0);
  const bool open = run == m_rx.size();  // the text may still be arriving
  const auto lineEnd = [&](size_t end) {
    return end + 2 <= run && m_rx[end] == '\r' && m_rx[end + 1] == '\n' ? end + 2 : end;
  };
  const size_t banner = Find(m_rx, 0, run, kPowerOnText);
  if (banner != std::string::npos) {
    const size_t textEnd = banner + std::strlen(kPowerOnText);
    const size_t end = lineEnd(textEnd);
    if (end == textEnd && open && m_rx.size() < textEnd + 2) return false;  // "\r\n" to come
    std::string text = "power-on banner";
    const size_t tag = Find(m_rx, 0, banner, kVersionTag);
    if (tag != std::string::npos) {
      const size_t from = tag + std::strlen(kVersionTag);
      const auto stop = std::find(m_rx.begin() + static_cast<long>(from),
                                  m_rx.begin() + static_cast<long>(banner), '\r');
      text += ", version " + std::string(m_rx.begin() + static_cast<long>(from), stop);
    }
    Emit(end, std::move(text), out);
    return true;
  }
  const size_t error = Find(m_rx, 0, run, kErrorTail);
  if (error != std::string::npos) {
    Emit(lineEnd(error + std::strlen(kErrorTail)), "command error", out);
    return true;
  }
  if (open && m_rx.size() < kWindow) return false;
  Junk(run);
  return true;
}

CFrameDecoder::Candidate CFrameDecoder::MatchReply(size_t* answered) {
  // The oldest request first, then the camera's own reports, then later requests (the
  // ones before them went unanswered).
  if (!m_waiting.empty()) {
    Candidate c = MatchWaiting(m_waiting.front());
    if (c.match != Match::None) {
      *answered = 0;
      return c;
    }
  }
  Candidate report = MatchReport();
  if (report.match != Match::None) return report;
  for (size_t i = 1; i < m_waiting.size(); ++i) {
    Candidate c = MatchWaiting(m_waiting[i]);
    if (c.match == Match::Frame) *answered = i;
    if (c.match != Match::None) return c;
  }
  return {};
}

CFrameDecoder::Candidate CFrameDecoder::MatchWaiting(const Waiting& w) const {
  const CommandLayout& s = *w.layout;
  const size_t n = m_rx.size();
  const uint8_t* r = m_rx.data();
  if (n < 3) return NeedMore();
  if (r[1] != w.serial || r[2] != s.replyHeader[0]) return {};
  const size_t headerEnd = 2u + std::max(s.replyHeaderLength, s.replyAlternativeLength);
  if (n < headerEnd) return NeedMore();
  const bool primary = std::memcmp(r + 2, s.replyHeader, s.replyHeaderLength) == 0;
  const bool alternative = !primary && s.replyAlternativeLength &&
                           std::memcmp(r + 2, s.replyAlternative, s.replyAlternativeLength) == 0;
  if (!primary && !alternative) {
    // A status in byte 3 that no header of the command allows: the engine does not take
    // it as the answer (it reports no reply), so neither is it called a refusal here.
    if (s.statusAt == 0 && r[2] < 0x80 && r[3] != 0) {
      if (n < 5) return NeedMore();
      return {Match::Frame, 5, w.text + Printf(": no reply, status %02llX", r[3])};
    }
    return {};
  }
  size_t length = s.replyMinimum;
  switch (s.replyLength) {
    case ReplyLength::CountAt4:
      if (n < 5) return NeedMore();
      length = 5u + r[4];
      break;
    case ReplyLength::LengthForm:
      if (n < 5) return NeedMore();
      length = r[4] == 0x0A ? 13 : 9;
      break;
    case ReplyLength::InitEnd: {
      const size_t at = Find(m_rx, 4, n, kInitEndLine);
      if (at == std::string::npos) return NeedMore();
      length = at + std::strlen(kInitEndLine);
      break;
    }
    default: break;
  }
  if (s.code == CMD_READ_BUF_512) length = kFrameBufferMarkerLength;
  if (n < length) return NeedMore();
  if (s.statusAt && r[s.statusAt] != 0) return {Match::Frame, length, Refused(r[s.statusAt])};
  if (alternative && s.code == CMD_RESUME_FRAME) return {Match::Frame, length, "motion while capturing"};
  if (s.replyName) return {Match::Frame, length, Describe(s.replyName, s.replyFields, r, length)};
  return {Match::Frame, length, w.text + ": ok"};
}

CFrameDecoder::Candidate CFrameDecoder::MatchReport() const {
  const size_t n = m_rx.size();
  const uint8_t* r = m_rx.data();
  if (n < 3) return NeedMore();
  if (r[2] != kDetectionReport && r[2] != kAutoCaptureReport) return {};
  if (n < 4) return NeedMore();
  if (r[2] == kDetectionReport && r[3] == 0) {
    if (n < 5) return NeedMore();
    // A report cut short before its count: the next frame (76 SN ..) starts where the count
    // would be. Taking 0x76 as the count would also swallow that frame's first byte.
    if (r[4] == kReplyByte) {
      if (n < 6) return NeedMore();
      if (r[5] == r[1]) return {};
    }
    return {Match::Frame, 5,
            "motion: " + std::to_string(r[4]) + " " + Pictures(r[4]) + " stored"};
  }
  if (r[2] == kDetectionReport && r[3] == 3) {
    if (n < 7) return NeedMore();
    const char* who = r[4] == 1 ? "person" : r[4] == 2 ? "vehicle" : "person or vehicle";
    std::string text = std::string(who) + ": " + std::to_string(r[6]);
    text += r[5] == 1 ? std::string(" ") + Pictures(r[6]) + " stored" : " detected now";
    return {Match::Frame, 7, text};
  }
  if (r[2] == kAutoCaptureReport) {
    if (n < 6) return NeedMore();
    if (r[5] == kAutoCaptureFailed) return {Match::Frame, 6, "power-on capture failed"};
    return {Match::Frame, 6, "power-on capture: " + std::to_string(r[5]) + " " + Pictures(r[5])};
  }
  return {};
}

// ---------------------------------------------------------------- picture blocks

void CFrameDecoder::StartData(const Waiting& w, std::vector<DecodedFrame>& out) {
  EmitJunk(out);
  m_inData = true;
  m_awaitEnd = w.length == 0;
  m_dataSerial = w.serial;
  m_dataWanted = w.length;
  m_dataLeft = w.length;
  m_data = {PosAt(0), kFrameBufferMarkerLength, false, true, "picture data, block ", TimeAt(0),
            w.time};
  const uint32_t block = m_blockSize ? w.offset / m_blockSize + 1 : 1;
  m_data.text += std::to_string(block);
  if (m_pictureLength && m_blockSize)
    m_data.text += " of " + std::to_string((m_pictureLength + m_blockSize - 1) / m_blockSize);
  Consume(kFrameBufferMarkerLength);
}

void CFrameDecoder::EndData(const char* note, std::vector<DecodedFrame>& out) {
  const uint64_t got = m_dataWanted - m_dataLeft;
  m_data.text += got == m_dataWanted ? Printf(", %llu bytes", got)
                                     : Printf(", %llu of %llu bytes", got, m_dataWanted);
  if (note) m_data.text += std::string(", ") + note;
  EmitJunk(out);
  out.push_back(std::move(m_data));
  m_data = {};
  m_inData = m_awaitEnd = false;
  m_dataLeft = 0;
}

// ---------------------------------------------------------------- the bytes held

void CFrameDecoder::Emit(size_t length, std::string text, std::vector<DecodedFrame>& out,
                         int64_t requestTime) {
  EmitJunk(out);
  out.push_back({PosAt(0), length, false, false, std::move(text), TimeAt(0), requestTime});
  Consume(length);
}

void CFrameDecoder::Junk(size_t length) {
  if (length == 0) return;
  if (m_junkLength == 0) {
    m_junkPos = PosAt(0);
    m_junkTime = TimeAt(0);
  }
  m_junkLength += length;
  Consume(length);
}

void CFrameDecoder::EmitJunk(std::vector<DecodedFrame>& out) {
  if (m_junkLength == 0) return;
  out.push_back({m_junkPos, m_junkLength, false, false, Unrecognised(m_junkLength), m_junkTime});
  m_junkLength = 0;
}

uint64_t CFrameDecoder::PosAt(size_t index) const {
  uint64_t pos = m_rxPos;
  size_t base = 0;
  for (const Break& b : m_breaks) {
    if (b.at > index) break;
    pos = b.pos;
    base = b.at;
  }
  return pos + (index - base);
}

int64_t CFrameDecoder::TimeAt(size_t index) const {
  int64_t time = m_rxTime;
  for (const Break& b : m_breaks) {
    if (b.at > index) break;
    time = b.time;
  }
  return time;
}

void CFrameDecoder::Consume(size_t count) {
  count = std::min(count, m_rx.size());
  const uint64_t next = PosAt(count);
  const int64_t nextTime = TimeAt(count);
  m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<long>(count));
  std::erase_if(m_breaks, [count](const Break& b) { return b.at <= count; });
  for (Break& b : m_breaks) b.at -= count;
  m_rxPos = next;
  m_rxTime = nextTime;
}
