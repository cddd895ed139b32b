#include "core/TraceModel.h"

#include "core/PcapngTrace.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>

namespace {
constexpr size_t kPrefixChars = 4;                       // "TX :" / "Rx :"
constexpr size_t kStampChars = 13;                       // "hh:mm:ss.zzz "
constexpr size_t kHexChars = kPrefixChars + 3 * CTraceData::kFirstLineBytes;  // 97, the widest
constexpr size_t kAsciiAt = kHexChars + 1;               // the character column starts here
constexpr size_t kWriteChunk = size_t(1) << 20;
constexpr size_t kDecodedGap = 2;     // spaces between the bytes and the decoded column
constexpr size_t kDecodedChars = 160; // what the widest line allows for the decoded text
constexpr size_t kDeltaChars = 28;    // "    +1.250 ms     14.003 ms "

int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
constexpr size_t kBytesPerStamp = 64;  // the ring's bound on stamps: one per this many bytes

void AppendStamp(std::string& out, int64_t ms) {
  if (ms < 0) {
    out.append(kStampChars, ' ');
    return;
  }
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[24];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(ms % 1000));
  out.append(text, kStampChars);
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
}  // namespace

// ---------------------------------------------------------------- the text

void FormatTraceLine(std::string& out, TraceLineHead head, const uint8_t* bytes, size_t count,
                     const TraceFormat& format, int64_t stampMs, const std::string* deltaColumn) {
  if (format.timestamps) AppendStamp(out, stampMs);
  if (format.deltas) {
    if (deltaColumn)
      out += *deltaColumn;
    else
      out.append(kDeltaChars, ' ');
  }
  const size_t prefix = head == TraceLineHead::None ? 0 : kPrefixChars;
  const size_t hexEnd = prefix + 3 * count;
  const bool ascii = format.ascii && count > 0;
  const size_t asciiAt = std::max(kAsciiAt, hexEnd + 1);
  // Sized once and filled in place: saving forms half a million lines.
  const size_t at = out.size();
  out.resize(at + (ascii ? asciiAt + count : hexEnd), ' ');
  char* o = out.data() + at;
  if (prefix) std::memcpy(o, head == TraceLineHead::Tx ? "TX :" : "Rx :", kPrefixChars);
  o += prefix;
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i, o += 3) {
    o[0] = kHex[bytes[i] >> 4];
    o[1] = kHex[bytes[i] & 0x0F];
  }
  if (ascii) {
    o = out.data() + at + asciiAt;
    for (size_t i = 0; i < count; ++i)
      o[i] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
  }
}

void FormatShortenedLine(std::string& out, TraceLineHead head, const uint8_t* first,
                         const uint8_t* last, uint64_t count, const TraceFormat& format,
                         int64_t stampMs, const std::string* deltaColumn, size_t edge) {
  TraceFormat lead = format;
  lead.ascii = false;
  FormatTraceLine(out, head, first, edge, lead, stampMs, deltaColumn);
  out += "<" + std::to_string(count - 2 * edge) + " bytes> ";
  FormatTraceLine(out, TraceLineHead::None, last, edge);
}

std::string TraceStreamText(bool transmit, const uint8_t* bytes, size_t count,
                            const char* newline) {
  std::string text;
  if (!transmit) {
    FormatTraceLine(text, TraceLineHead::None, bytes, count);
    return text;
  }
  // The frame's line, and the head of its reply's line that the received bytes continue.
  text.append(newline).append(newline);
  FormatTraceLine(text, TraceLineHead::Tx, bytes, count);
  text.append(newline);
  FormatTraceLine(text, TraceLineHead::Rx, nullptr, 0);
  return text;
}

std::string TraceFrameText(bool transmit, const uint8_t* bytes, size_t count,
                           const std::string& decoded, const char* newline) {
  std::string text(newline);
  if (transmit) text += newline;
  const size_t start = text.size();
  FormatTraceLine(text, transmit ? TraceLineHead::Tx : TraceLineHead::Rx, bytes, count);
  // The decoded column lines up after 16 bytes; a longer frame has it two spaces on.
  const size_t column = start + kPrefixChars + 3 * 16 + 1;
  text.append(text.size() < column ? column - text.size() : 1, ' ');
  return text + decoded;
}

namespace {
// "+12.031" style milliseconds with microseconds, right-aligned in `width`, then " ms ".
void AppendMs(std::string& out, int64_t us, bool sign) {
  char text[40];
  if (us < 0 && !sign) {
    out.append(14, ' ');
    return;
  }
  const int64_t a = us < 0 ? -us : us;
  std::snprintf(text, sizeof text, "%s%lld.%03lld", sign ? (us < 0 ? "-" : "+") : "",
                static_cast<long long>(a / 1000), static_cast<long long>(a % 1000));
  const size_t n = std::strlen(text);
  if (n < 10) out.append(10 - n, ' ');
  out.append(text).append(" ms ");
}
}  // namespace

std::string TraceDeltaColumn(int64_t timeUs, int64_t previousUs, int64_t requestUs) {
  std::string out;
  if (timeUs >= 0 && previousUs >= 0)
    AppendMs(out, timeUs - previousUs, true);
  else
    out.append(14, ' ');
  AppendMs(out, timeUs >= 0 && requestUs >= 0 ? timeUs - requestUs : -1, false);
  return out;
}

std::string TraceFrameText(const DecodedFrame& frame, const uint8_t* bytes, size_t count,
                           const FrameTextOptions& options, int64_t previousUs,
                           const char* newline) {
  std::string text(newline);
  if (frame.transmit) text += newline;
  if (options.deltas) text += TraceDeltaColumn(frame.timeUs, previousUs, frame.requestTimeUs);
  const size_t headAt = text.size();
  const TraceLineHead head = frame.transmit ? TraceLineHead::Tx : TraceLineHead::Rx;
  // A block's bytes on one line would be tens of thousands of characters with its name at
  // the far end; its ends are what a reader checks (markers, JPEG start and end).
  if (frame.data && !options.fullHex && count > 3 * kTraceEdgeBytes) {
    FormatShortenedLine(text, head, bytes, bytes + count - kTraceEdgeBytes, count);
  } else {
    FormatTraceLine(text, head, bytes, count);
  }
  const size_t column = headAt + kPrefixChars + 3 * 16 + 1;
  text.append(text.size() < column ? column - text.size() : 1, ' ');
  return text + frame.text;
}

// Which line of which block an absolute line number is.
struct CTraceData::Where {
  enum Kind { Blank, Tx, Rx } kind = Blank;
  const Block* block = nullptr;
  uint64_t k = 0;  // line within the request ("TX :" is 0) or within the whole reply
  bool fold = false;
};

// ---------------------------------------------------------------- line geometry

uint64_t CTraceData::TxLines(uint64_t n) {
  return 1 + (n > kFirstLineBytes ? CeilDiv(n - kFirstLineBytes, kBytesPerLine) : 0);
}

// A folded block's reply is its picture block on one line, then whatever followed it in
// lines of 32. A block that loses lines to the ring is never folded (see MakeRoomLocked).
uint64_t CTraceData::RxStart(const Block& b, uint64_t k, bool fold) {
  if (k == 0) return 0;
  if (fold && b.rxFold) return b.rxFold + (k - 1) * kBytesPerLine;
  const uint64_t first = b.request ? kFirstLineBytes : kBytesPerLine;
  return first + (k - 1) * kBytesPerLine;
}

uint64_t CTraceData::RxLines(const Block& b, bool fold) {
  if (fold && b.rxFold) return 1 + CeilDiv(b.rxLen - b.rxFold, kBytesPerLine);
  const uint64_t first = b.request ? kFirstLineBytes : kBytesPerLine;
  const uint64_t total = RxStart(b, b.rxLineSkip, false) + b.rxLen;
  return 1 + (total > first ? CeilDiv(total - first, kBytesPerLine) : 0);
}

uint64_t CTraceData::LineCount(const Block& b, bool fold) {
  const uint64_t head = b.request && !b.trimmed ? 1 + TxLines(b.txLen) : 0;
  return head + RxLines(b, fold) - b.rxLineSkip;
}

uint64_t CTraceData::FirstLine(bool fold) const {
  if (m_blocks.empty()) return fold ? m_nextFoldLine : m_nextLine;
  const Block& f = m_blocks.front();
  return StartLine(f, fold) - (f.request && !f.trimmed ? 1 : 0);
}

void CTraceData::RelayoutFolds(size_t from) {
  for (size_t i = std::max<size_t>(from, 1); i < m_blocks.size(); ++i)
    m_blocks[i].foldLine = m_blocks[i - 1].foldLine + LineCount(m_blocks[i - 1], true);
}

TraceExtent CTraceData::Extent(const TraceFormat& format) const {
  const bool fold = format.shortBlocks;
  TraceExtent e;
  e.first = FirstLine(fold);
  e.end = m_blocks.empty() ? e.first
                           : StartLine(m_blocks.back(), fold) + LineCount(m_blocks.back(), fold);
  e.generation = m_generation;
  e.bytes = static_cast<size_t>(m_tail - m_head);
  e.shortened = fold && m_nFolded > 0;
  return e;
}

bool CTraceData::Locate(uint64_t line, Where& where, bool fold) const {
  TraceFormat format;
  format.shortBlocks = fold;
  const TraceExtent e = Extent(format);
  if (line < e.first || line >= e.end) return false;
  if (line < StartLine(m_blocks.front(), fold)) {  // the empty line a trace opens with
    where = {Where::Blank, &m_blocks.front(), 0, fold};
    return true;
  }
  auto it = std::upper_bound(m_blocks.begin(), m_blocks.end(), line,
                             [fold](uint64_t l, const Block& b) { return l < StartLine(b, fold); });
  const Block& b = *std::prev(it);
  const uint64_t i = line - StartLine(b, fold);
  if (b.request && !b.trimmed) {
    const uint64_t tx = TxLines(b.txLen);
    if (i == 0)
      where = {Where::Blank, &b, 0, fold};
    else if (i <= tx)
      where = {Where::Tx, &b, i - 1, fold};
    else
      where = {Where::Rx, &b, i - 1 - tx, fold};
  } else {
    where = {Where::Rx, &b, i + b.rxLineSkip, fold};
  }
  return true;
}

uint64_t CTraceData::MapLine(uint64_t line, const TraceFormat& from, const TraceFormat& to) const {
  const bool fold = to.shortBlocks;
  Where w;
  if (from.shortBlocks == fold || !Locate(line, w, from.shortBlocks)) return line;
  const Block& b = *w.block;
  if (w.kind != Where::Rx)  // the lines before a reply are the same in either form
    return line - StartLine(b, from.shortBlocks) + StartLine(b, fold);
  // The reply line holding the same first byte.
  const uint64_t offset = RxStart(b, w.k, from.shortBlocks);
  uint64_t k = 0;
  if (fold && b.rxFold)
    k = offset < b.rxFold ? 0 : 1 + (offset - b.rxFold) / kBytesPerLine;
  else if (offset > 0)
    k = 1 + (offset - RxStart(b, 1, false)) / kBytesPerLine;
  const uint64_t head = b.request && !b.trimmed ? 1 + TxLines(b.txLen) : 0;
  return StartLine(b, fold) + head + k - b.rxLineSkip;
}

// ---------------------------------------------------------------- forming lines

void CTraceData::CopyOut(uint64_t pos, size_t n, uint8_t* out) const {
  const size_t at = static_cast<size_t>((pos - m_origin) % m_capacity);
  const size_t first = std::min(n, m_capacity - at);
  std::memcpy(out, m_storage.get() + at, first);
  std::memcpy(out + first, m_storage.get(), n - first);
}

void CTraceData::FormatLine(const Where& w, const TraceFormat& format, std::string& out) const {
  if (w.kind == Where::Blank) return;
  const Block& b = *w.block;
  uint64_t start, stop, base;  // byte range within the request or the reply; its ring start
  TraceLineHead head = TraceLineHead::None;
  int64_t stamp = -1;
  if (w.kind == Where::Tx) {
    start = w.k == 0 ? 0 : kFirstLineBytes + (w.k - 1) * kBytesPerLine;
    stop = std::min<uint64_t>(b.txLen, w.k == 0 ? kFirstLineBytes : start + kBytesPerLine);
    base = b.pos;
    if (w.k == 0) head = TraceLineHead::Tx;
    stamp = b.txTimeMs;
  } else {
    const uint64_t dropped = RxStart(b, b.rxLineSkip, w.fold);
    start = RxStart(b, w.k, w.fold) - dropped;
    stop = std::min<uint64_t>(b.rxLen, RxStart(b, w.k + 1, w.fold) - dropped);
    base = b.pos + b.txLen;
    if (w.k == 0 && b.request) head = TraceLineHead::Rx;
    stamp = b.rxTimeMs;
  }
  const uint64_t count = stop - start;
  // Room for a whole line, or for a shortened picture block's two ends.
  static_assert(2 * kTraceViewEdgeBytes <= kBytesPerLine);
  uint8_t bytes[kBytesPerLine];
  const bool shortened = count > kBytesPerLine;
  if (shortened) {
    CopyOut(base + start, kTraceViewEdgeBytes, bytes);
    CopyOut(base + stop - kTraceViewEdgeBytes, kTraceViewEdgeBytes, bytes + kTraceViewEdgeBytes);
  } else {
    CopyOut(base + start, static_cast<size_t>(count), bytes);
  }
  const size_t lineStart = out.size();
  std::string deltas;
  if (format.deltas) {
    // A line's head, or the first decoded frame that starts on it, gets the column.
    uint64_t at = base + start;
    bool shown = w.k == 0;
    if (!shown && format.decoded) {
      auto note = std::lower_bound(m_notes.begin(), m_notes.end(), base + start,
                                   [](const Note& n, uint64_t pos) { return n.pos < pos; });
      if (note != m_notes.end() && note->pos < base + stop) {
        at = note->pos;
        shown = true;
      }
    }
    if (shown) deltas = DeltaColumn(b, at, w.kind == Where::Rx);
  }
  const std::string* deltaColumn = deltas.empty() ? nullptr : &deltas;
  if (shortened)
    FormatShortenedLine(out, head, bytes, bytes + kTraceViewEdgeBytes, count, format,
                        w.k == 0 ? stamp : -1, deltaColumn, kTraceViewEdgeBytes);
  else
    FormatTraceLine(out, head, bytes, static_cast<size_t>(count), format, w.k == 0 ? stamp : -1,
                    deltaColumn);
  if (format.decoded) AppendNotes(out, lineStart, base + start, base + stop, format);
}

void CTraceData::AppendNotes(std::string& out, size_t lineStart, uint64_t from, uint64_t to,
                             const TraceFormat& format) const {
  auto it = std::lower_bound(m_notes.begin(), m_notes.end(), from,
                             [](const Note& n, uint64_t pos) { return n.pos < pos; });
  if (it == m_notes.end() || it->pos >= to) return;
  // Right after this line's bytes, not after the widest line's: a short frame's name is on
  // screen next to it at the window's width. Requests line up after 16 bytes, as on the
  // console.
  const size_t headChars = (format.timestamps ? kStampChars : 0) +
                           (format.deltas ? kDeltaChars : 0) + kPrefixChars;
  const size_t column = lineStart + headChars + 3 * 16 + 1;
  out.resize(std::max(out.size() + kDecodedGap, column), ' ');
  for (bool first = true; it != m_notes.end() && it->pos < to; ++it, first = false) {
    if (!first) out += "; ";
    out += it->text;
  }
}

size_t CTraceData::MaxLineChars(const TraceFormat& format) {
  // "<4294967295 bytes> " between a shortened block's ends.
  constexpr size_t kShortenedChars = kPrefixChars + 6 * kTraceViewEdgeBytes + 19;
  const size_t bytes = format.ascii ? kAsciiAt + kBytesPerLine : kHexChars;
  return (format.timestamps ? kStampChars : 0) + (format.deltas ? kDeltaChars : 0) +
         (format.shortBlocks ? std::max(bytes, kShortenedChars) : bytes) +
         (format.decoded ? kDecodedGap + kDecodedChars : 0);
}

std::string CTraceData::Line(uint64_t line, const TraceFormat& format) const {
  std::string out;
  Where w;
  if (Locate(line, w, format.shortBlocks)) FormatLine(w, format, out);
  return out;
}

std::vector<std::string> CTraceData::Lines(uint64_t from, size_t count,
                                           const TraceFormat& format) const {
  std::vector<std::string> lines;
  const TraceExtent e = Extent(format);
  for (uint64_t l = std::max(from, e.first); l < e.end && l < from + count; ++l)
    lines.push_back(Line(l, format));
  return lines;
}

std::string CTraceData::Text(TracePos from, TracePos to, const TraceFormat& format) const {
  return TextSliced(from, to, format, nullptr);
}

bool CTraceData::WriteText(const TraceFormat& format,
                           const std::function<bool(const char*, size_t)>& sink) const {
  return WriteSliced(format, sink, nullptr);
}

namespace {
std::unique_lock<std::mutex> Hold(std::mutex* guard) {
  return guard ? std::unique_lock<std::mutex>(*guard) : std::unique_lock<std::mutex>();
}
}  // namespace

std::string CTraceData::TextSliced(TracePos from, TracePos to, const TraceFormat& format,
                                   std::mutex* guard) const {
  if (from > to) std::swap(from, to);
  {
    const auto lock = Hold(guard);
    const TraceExtent e = Extent(format);
    if (from.line < e.first) from = {e.first, 0};
    if (to.line >= e.end) {
      if (e.empty()) return {};
      to = {e.end - 1, std::string::npos};
    }
  }
  std::string out, line;
  bool first = true;
  for (uint64_t slice = from.line; slice <= to.line; slice += CTraceModel::kSliceLines) {
    const auto lock = Hold(guard);
    const uint64_t last = std::min<uint64_t>(to.line, slice + CTraceModel::kSliceLines - 1);
    for (uint64_t l = std::max(slice, FirstLine(format.shortBlocks)); l <= last; ++l) {
      Where w;
      // Cleared meanwhile: nothing later is part of this text.
      if (!Locate(l, w, format.shortBlocks)) break;
      line.clear();
      FormatLine(w, format, line);
      const size_t begin = l == from.line ? std::min(from.column, line.size()) : 0;
      const size_t end = l == to.line ? std::min(to.column, line.size()) : line.size();
      if (!first) out += '\n';
      first = false;
      if (end > begin) out.append(line, begin, end - begin);
    }
  }
  return out;
}

bool CTraceData::WriteSliced(const TraceFormat& format,
                             const std::function<bool(const char*, size_t)>& sink,
                             std::mutex* guard) const {
  TraceExtent e;
  {
    const auto lock = Hold(guard);
    e = Extent(format);
  }
  std::string out;
  out.reserve(kWriteChunk + 256 * CTraceModel::kSliceLines);
  for (uint64_t slice = e.first; slice < e.end; slice += CTraceModel::kSliceLines) {
    {
      const auto lock = Hold(guard);
      const uint64_t end = std::min<uint64_t>(e.end, slice + CTraceModel::kSliceLines);
      for (uint64_t l = std::max(slice, FirstLine(format.shortBlocks)); l < end; ++l) {
        Where w;
        if (!Locate(l, w, format.shortBlocks)) break;
        FormatLine(w, format, out);
        out += '\n';
      }
    }
    if (out.size() >= kWriteChunk) {
      if (!sink(out.data(), out.size())) return false;
      out.clear();
    }
  }
  return out.empty() || sink(out.data(), out.size());
}

int64_t CTraceData::StampAt(uint64_t pos) const {
  auto it = std::upper_bound(m_stamps.begin(), m_stamps.end(), pos,
                             [](uint64_t p, const Stamp& s) { return p < s.pos; });
  return it == m_stamps.begin() ? -1 : std::prev(it)->us;
}

std::string CTraceData::DeltaColumn(const Block& b, uint64_t pos, bool reply) const {
  const int64_t previous = pos > m_head ? StampAt(pos - 1) : -1;
  const int64_t request = reply && b.request && b.txLen ? StampAt(b.pos) : -1;
  return TraceDeltaColumn(StampAt(pos), previous, request);
}

bool CTraceData::WriteCapture(const std::string& path, const std::string& application,
                              std::string* error) const {
  CPcapngTrace capture;
  bool ok = capture.Open(path, application, {});
  std::vector<uint8_t> piece;
  // Fed as it arrived, append by append, so every frame keeps its own arrival.
  const auto feed = [&](bool transmit, uint64_t pos, uint64_t length, int64_t blockMs) {
    while (ok && length > 0) {
      auto next = std::upper_bound(m_stamps.begin(), m_stamps.end(), pos,
                                   [](uint64_t p, const Stamp& s) { return p < s.pos; });
      uint64_t n = length;
      if (!transmit && next != m_stamps.end()) n = std::min<uint64_t>(n, next->pos - pos);
      piece.resize(static_cast<size_t>(n));
      CopyOut(pos, piece.size(), piece.data());
      const int64_t us = StampAt(pos);  // a stamp dropped for room: the block's own time
      capture.Feed(transmit, piece.data(), piece.size(), us >= 0 ? us : blockMs * 1000);
      pos += n;
      length -= n;
    }
  };
  for (const Block& b : m_blocks) {
    feed(true, b.pos, b.txLen, b.txTimeMs);
    feed(false, b.pos + b.txLen, b.rxLen, b.rxTimeMs);
  }
  ok = capture.Finish() && ok;
  if (!ok && error) *error = capture.Error();
  return ok;
}

std::string CTraceData::AllText(const TraceFormat& format) const {
  std::string all;
  WriteText(format, [&all](const char* data, size_t size) {
    all.append(data, size);
    return true;
  });
  return all;
}

// ---------------------------------------------------------------- the live model

CTraceModel::CTraceModel(size_t limitBytes) : m_limit(std::max(limitBytes, kMinLimitBytes)) {}

void CTraceModel::SetLimit(size_t limitBytes) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearLocked();
    m_limit = std::max(limitBytes, kMinLimitBytes);
    m_storage.reset();
    m_capacity = 0;
  }
  Notify();
}

size_t CTraceModel::Limit() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_limit;
}

void CTraceModel::SetChangeCallback(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_changed = std::move(callback);
  m_bNotifyArmed = true;
}

TraceExtent CTraceModel::TakeChanges(const TraceFormat& format) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bNotifyArmed = true;
  return CTraceData::Extent(format);
}

void CTraceModel::Notify() {
  std::function<void()> call;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bNotifyArmed || !m_changed) return;
    m_bNotifyArmed = false;
    call = m_changed;
  }
  call();
}

void CTraceModel::Append(bool transmit, const uint8_t* bytes, size_t count) {
  AppendUs(transmit, bytes, count, NowUs());
}

void CTraceModel::Append(bool transmit, const uint8_t* bytes, size_t count, int64_t timeMs) {
  AppendUs(transmit, bytes, count, timeMs * 1000);
}

void CTraceModel::AppendUs(bool transmit, const uint8_t* bytes, size_t count, int64_t timeUs) {
  if (!bytes || count == 0) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    AppendLocked(transmit, bytes, count, timeUs);
  }
  Notify();
}

bool CTraceModel::WriteCapture(const std::string& path, const std::string& application,
                               std::string* error) const {
  return Snapshot().WriteCapture(path, application, error);
}

void CTraceModel::Clear() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearLocked();
  }
  Notify();
}

void CTraceModel::ClearLocked() {
  TraceFormat folded;
  folded.shortBlocks = true;
  const TraceExtent e = CTraceData::Extent(), f = CTraceData::Extent(folded);
  m_blocks.clear();
  m_nFolded = 0;
  m_notes.clear();
  m_stamps.clear();
  m_decoder.Reset();
  m_head = m_tail;
  m_nextLine = e.end + 1;
  m_nextFoldLine = f.end + 1;
  ++m_generation;
}

void CTraceModel::AppendLocked(bool transmit, const uint8_t* bytes, size_t count,
                               int64_t timeUs) {
  const int64_t timeMs = timeUs < 0 ? timeUs : timeUs / 1000;
  const size_t most = m_limit / 2;
  if (!transmit && count > most) {  // never more than half the ring in one go
    for (size_t done = 0; done < count; done += most)
      AppendLocked(false, bytes + done, std::min(most, count - done), timeUs);
    return;
  }
  // A frame can never be this long (the write buffer is far smaller); keep its head.
  if (transmit) count = std::min(count, most);
  MakeRoomLocked(count, transmit);
  if (transmit || m_blocks.empty()) {
    Block b;
    b.pos = m_tail;
    b.request = transmit;
    b.txLen = transmit ? count : 0;
    b.txTimeMs = timeMs;
    if (m_blocks.empty()) {
      b.firstLine = m_nextLine;
      b.foldLine = m_nextFoldLine;
    } else {
      const Block& last = m_blocks.back();
      b.firstLine = last.firstLine + LineCount(last, false);
      b.foldLine = last.foldLine + LineCount(last, true);
    }
    m_blocks.push_back(b);
  }
  if (!transmit) {
    Block& b = m_blocks.back();
    if (b.rxTimeMs < 0) b.rxTimeMs = timeMs;
    b.rxLen += count;
  }
  if (m_stamps.empty() || m_stamps.back().us != timeUs) m_stamps.push_back({m_tail, timeUs});
  // Bounded whatever the reads' sizes: past it the oldest stamps go (their bytes then read
  // as arriving with the next one kept).
  while (m_stamps.size() > m_limit / kBytesPerStamp) m_stamps.pop_front();
  const size_t at = static_cast<size_t>((m_tail - m_origin) % m_capacity);
  const size_t first = std::min(count, m_capacity - at);
  std::memcpy(m_storage.get() + at, bytes, first);
  std::memcpy(m_storage.get(), bytes + first, count - first);
  if (m_bDecoding || m_bShortening) {
    DecodeLocked(transmit, bytes, count, m_tail);
    // A block folded as the request after it came: that request's lines move up.
    if (m_foldFrom != SIZE_MAX) RelayoutFolds(m_foldFrom + 1);
    m_foldFrom = SIZE_MAX;
  }
  m_tail += count;
}

void CTraceModel::DecodeLocked(bool transmit, const uint8_t* bytes, size_t count, uint64_t pos) {
  m_decoded.clear();
  m_decoder.Feed(transmit, bytes, count, pos, m_decoded);
  for (DecodedFrame& f : m_decoded) {
    if (f.start < m_head) continue;  // its first line is gone already
    if (f.data) FoldLocked(f);
    if (!m_bDecoding) continue;
    // Mostly in order; a reply that began before a request ends after it.
    auto at = m_notes.end();
    while (at != m_notes.begin() && std::prev(at)->pos > f.start) --at;
    m_notes.insert(at, Note{f.start, std::move(f.text)});
  }
}

void CTraceModel::FoldLocked(const DecodedFrame& frame) {
  if (frame.length <= 3 * kTraceEdgeBytes) return;  // as short as its ends would be
  // The block whose reply it starts; its bytes are all kept (it ended, and the block is whole).
  auto it = std::upper_bound(m_blocks.begin(), m_blocks.end(), frame.start,
                             [](uint64_t pos, const Block& b) { return pos < b.pos; });
  if (it == m_blocks.begin()) return;
  Block& b = *std::prev(it);
  if (!b.request || b.trimmed || b.rxLineSkip || b.pos + b.txLen != frame.start ||
      frame.length > b.rxLen)
    return;
  if (!b.rxFold) ++m_nFolded;
  b.rxFold = frame.length;
  m_foldFrom = std::min(m_foldFrom, static_cast<size_t>(std::prev(it) - m_blocks.begin()));
}

void CTraceModel::DropNotesLocked() {
  while (!m_notes.empty() && m_notes.front().pos < m_head) m_notes.pop_front();
  // The stamp covering the first kept byte stays.
  while (m_stamps.size() > 1 && m_stamps[1].pos <= m_head) m_stamps.pop_front();
}

void CTraceModel::SetDecoding(bool on) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (on == m_bDecoding) return;
    m_bDecoding = on;
    if (on || !m_bShortening)
      RedecodeLocked();
    else
      m_notes.clear();  // the blocks found stay as they are
  }
  Notify();
}

void CTraceModel::SetShortening(bool on) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (on == m_bShortening) return;
    m_bShortening = on;
    // Decoding already finds them; otherwise what is kept is searched now.
    if (!m_bDecoding) RedecodeLocked();
  }
  Notify();
}

void CTraceModel::RedecodeLocked() {
  m_notes.clear();
  m_decoder.Reset();
  for (Block& b : m_blocks) b.rxFold = 0;
  m_nFolded = 0;
  m_foldFrom = SIZE_MAX;
  if (m_bDecoding || m_bShortening) {
    // What is kept is decoded at once, as if it were arriving now.
    std::vector<uint8_t> piece;
    for (const Block& b : m_blocks) {
      const auto feed = [&](bool transmit, uint64_t pos, uint64_t length) {
        for (uint64_t done = 0; done < length; done += piece.size()) {
          piece.resize(static_cast<size_t>(std::min<uint64_t>(length - done, kWriteChunk)));
          CopyOut(pos + done, piece.size(), piece.data());
          DecodeLocked(transmit, piece.data(), piece.size(), pos + done);
        }
      };
      feed(true, b.pos, b.txLen);
      feed(false, b.pos + b.txLen, b.rxLen);
    }
  }
  m_foldFrom = SIZE_MAX;
  RelayoutFolds(1);
}

bool CTraceModel::Decoding() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bDecoding;
}

void CTraceModel::MakeRoomLocked(size_t count, bool transmit) {
  size_t kept = static_cast<size_t>(m_tail - m_head);
  if (m_capacity != m_limit) {
    // Left uninitialised: the pages become resident only as the traffic fills them, so the
    // memory used follows the traffic kept (growing by copies would leave freed copies behind).
    std::shared_ptr<uint8_t[]> ring(new uint8_t[m_limit]);
    if (kept) CopyOut(m_head, kept, ring.get());
    m_storage = std::move(ring);
    m_capacity = m_limit;
    m_origin = m_head;
  }
  while (kept + count > m_limit) {
    if (m_blocks.size() > 1 || transmit) {  // the oldest whole block goes first
      const Block& f = m_blocks.front();
      const uint64_t end = f.firstLine + LineCount(f, false);
      const uint64_t foldEnd = f.foldLine + LineCount(f, true);
      if (f.rxFold) --m_nFolded;
      m_blocks.pop_front();
      m_head = m_blocks.empty() ? m_tail : m_blocks.front().pos;
      if (m_blocks.empty()) {
        m_nextLine = end + 1;
        m_nextFoldLine = foldEnd + 1;
      }
      kept = static_cast<size_t>(m_tail - m_head);
      continue;
    }
    // One reply larger than the ring: drop its oldest whole lines.
    Block& b = m_blocks.front();
    // Shown whole from now on: its lines go in 32s, and are numbered alike in both forms.
    if (b.rxFold) --m_nFolded;
    b.rxFold = 0;
    uint64_t dropped = 0;
    if (b.request && !b.trimmed) {
      dropped = 1 + TxLines(b.txLen);
      b.pos += b.txLen;
      b.txLen = 0;
      b.trimmed = true;
    }
    while (kept + count > m_limit && b.rxLen > 0) {
      const uint64_t line = std::min(b.rxLen, RxStart(b, b.rxLineSkip + 1, false) -
                                                  RxStart(b, b.rxLineSkip, false));
      b.pos += line;
      b.rxLen -= line;
      ++b.rxLineSkip;
      ++dropped;
      kept -= static_cast<size_t>(line);
    }
    b.firstLine += dropped;
    b.foldLine += dropped;
    m_head = b.pos;
    kept = static_cast<size_t>(m_tail - m_head);
  }
  DropNotesLocked();
}

TraceExtent CTraceModel::Extent(const TraceFormat& format) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return CTraceData::Extent(format);
}

uint64_t CTraceModel::MapLine(uint64_t line, const TraceFormat& from, const TraceFormat& to) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return CTraceData::MapLine(line, from, to);
}

std::vector<std::string> CTraceModel::Lines(uint64_t from, size_t count,
                                            const TraceFormat& format) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return CTraceData::Lines(from, count, format);
}

std::string CTraceModel::Text(TracePos from, TracePos to, const TraceFormat& format) const {
  return TextSliced(from, to, format, &m_mutex);
}

bool CTraceModel::WriteText(const TraceFormat& format,
                            const std::function<bool(const char*, size_t)>& sink) const {
  return WriteSliced(format, sink, &m_mutex);
}

CTraceData CTraceModel::Snapshot() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  CTraceData copy;
  const size_t kept = static_cast<size_t>(m_tail - m_head);
  copy.m_capacity = std::max<size_t>(kept, 1);
  copy.m_storage.reset(new uint8_t[copy.m_capacity]);
  if (kept) CopyOut(m_head, kept, copy.m_storage.get());
  copy.m_origin = copy.m_head = m_head;
  copy.m_tail = m_tail;
  copy.m_nextLine = m_nextLine;
  copy.m_nextFoldLine = m_nextFoldLine;
  copy.m_nFolded = m_nFolded;
  copy.m_generation = m_generation;
  copy.m_blocks = m_blocks;
  copy.m_notes = m_notes;
  copy.m_stamps = m_stamps;
  return copy;
}

size_t ParseTraceLimit(const std::string& text) {
  constexpr unsigned long long kMaxTraceLimit = 1ull << 40;
  size_t i = 0;
  unsigned long long value = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > kMaxTraceLimit) return 0;
    ++i;
  }
  if (i == 0) return 0;
  std::string unit = text.substr(i);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const struct {
    const char* names[4];
    int shift;
  } kUnits[] = {{{"", "B"}, 0},
                {{"K", "KB", "KIB"}, 10},
                {{"M", "MB", "MIB"}, 20},
                {{"G", "GB", "GIB"}, 30}};
  for (const auto& u : kUnits)
    for (const char* name : u.names)
      if (name && unit == name)  // the range before the shift, which would wrap
        return value > (kMaxTraceLimit >> u.shift) ? 0 : static_cast<size_t>(value << u.shift);
  return 0;
}
