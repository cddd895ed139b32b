#pragma once
// CTraceModel: the serial traffic of a session as bytes, with their direction and arrival
// time, in a bounded ring. Any thread appends (the thread that saw the bytes, with a short
// lock and no wait on anyone else); the traffic view reads only the lines it paints.
//
// The text is formed on demand exactly as the trace has always read: a request is a block
//   ""  /  "TX :56 00 11 00 "  /  "Rx :76 00 11 00 ..."
// (an empty line, the frame, then every byte received until the next request), "XX " per
// byte, 31 bytes on a "TX :" or "Rx :" line and 32 on each line after it. Bytes received
// before any request start the trace as bare lines of 32. A trace that starts with a request
// opens with one more empty line.
//
// When the ring is full the oldest whole blocks go first, so a saved trace starts with a
// request; only a single block larger than the ring loses whole lines from its front.
// Lines have absolute numbers that never change while they are kept, so a view's position
// and selection survive the ring dropping older lines.
//
// The trace's text is made here and nowhere else: FormatTraceLine forms every line, whether
// the model breaks it at 32 bytes (the traffic view, "Save trace…") or a console prints each
// request and its reply unbroken as they come (TraceStreamText).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/FrameDecoder.h"

struct TraceFormat {
  bool ascii = false;       // the bytes as characters after the hexadecimal
  bool timestamps = false;  // arrival time (hh:mm:ss.zzz) before each "TX :" / "Rx :" line
  // Each frame named and its fields decoded, on the line where the frame starts (frames
  // starting on one line are joined by "; "). Shown only by a model that decodes.
  bool decoded = false;
  // Before each "TX :" / "Rx :" line (and each line where a decoded frame starts): the time
  // since the bytes before it arrived and, for the camera's bytes, since the request.
  bool deltas = false;
  // A picture block the model found (see CTraceModel::SetShortening) on one line: its first
  // and last bytes with the count between, as the console shows it. Line numbers follow
  // the format: each form has its own, so switching costs no re-layout.
  bool shortBlocks = false;
  bool operator==(const TraceFormat&) const = default;
};

// What a line of the trace starts with.
enum class TraceLineHead { None, Tx, Rx };  // continuation, "TX :", "Rx :"

// Appends one line's text, without its line break: the time stamp column when the format
// has it (stampMs < 0: blank, as on continuation lines), the head, "XX " per byte, then the
// characters when the format has them.
void FormatTraceLine(std::string& out, TraceLineHead head, const uint8_t* bytes, size_t count,
                     const TraceFormat& format = {}, int64_t stampMs = -1,
                     const std::string* deltaColumn = nullptr);

// A picture block's ends: the console's, and the trace view's.
inline constexpr size_t kTraceEdgeBytes = 16;
// The window's shortened lines keep fewer: with 16 at each end the line is wider than the
// view, and the decoded text after it would need sideways scrolling.
inline constexpr size_t kTraceViewEdgeBytes = 8;

// A picture block's line as every front end shows it: the first and last `edge` bytes of
// `count` with "<n bytes>" between (`first` and `last` point at those ends). No ASCII
// column: the characters of picture data say nothing.
void FormatShortenedLine(std::string& out, TraceLineHead head, const uint8_t* first,
                         const uint8_t* last, uint64_t count, const TraceFormat& format = {},
                         int64_t stampMs = -1, const std::string* deltaColumn = nullptr,
                         size_t edge = kTraceEdgeBytes);

// The trace as one stream of text continuing with these bytes: a frame sent is
// `newline newline "TX :" hex newline "Rx :"`, received bytes their hex, so a request's
// reply follows its "Rx :" on one unbroken line.
std::string TraceStreamText(bool transmit, const uint8_t* bytes, size_t count,
                            const char* newline = "\n");

// One decoded frame as a line of its own: `newline newline "TX :"` (or `newline "Rx :"`),
// the frame's hex, then its decoded text in a column of its own (brevant-cli --decode).
std::string TraceFrameText(bool transmit, const uint8_t* bytes, size_t count,
                           const std::string& decoded, const char* newline = "\n");

struct FrameTextOptions {
  bool fullHex = false;  // a picture block's every byte instead of its two ends
  bool deltas = false;   // the time since the previous frame and since the request
};
// The same for a frame the decoder found: a picture block shows its first and last
// kEdgeBytes with the count between (unless fullHex), and with deltas a column before the
// head gives "+ms since the previous frame" and "ms since the request" (replies only).
// `previousUs`: the previous frame's time, -1 for none.
std::string TraceFrameText(const DecodedFrame& frame, const uint8_t* bytes, size_t count,
                           const FrameTextOptions& options, int64_t previousUs,
                           const char* newline = "\n");
// The deltas column alone: "    +1.250 ms     14.003 ms " (blank where a time is unknown).
std::string TraceDeltaColumn(int64_t timeUs, int64_t previousUs, int64_t requestUs);

// A position in the trace text: absolute line number, character column in that line.
struct TracePos {
  uint64_t line = 0;
  size_t column = 0;
  auto operator<=>(const TracePos&) const = default;
};

// The lines kept now (absolute numbers, end exclusive) and what changed.
struct TraceExtent {
  uint64_t first = 0;
  uint64_t end = 0;
  uint64_t generation = 0;  // grows with every Clear
  size_t bytes = 0;         // traffic kept
  bool shortened = false;   // a picture block is on one line in this format (a wider line)
  bool empty() const { return first == end; }
};

// The trace's data: the model holds the live one and guards it; Snapshot() hands out a
// private copy that can be formatted at leisure without holding the appenders up.
class CTraceData {
 public:
  static constexpr size_t kBytesPerLine = 32;
  static constexpr size_t kFirstLineBytes = 31;  // beside "TX :" / "Rx :"

  TraceExtent Extent(const TraceFormat& format = {}) const;
  std::string Line(uint64_t line, const TraceFormat& format) const;
  // Lines [from, from + count) clipped to what is kept.
  std::vector<std::string> Lines(uint64_t from, size_t count, const TraceFormat& format) const;
  // The text from `from` to `to` (a selection); whole lines end with "\n" except the last.
  std::string Text(TracePos from, TracePos to, const TraceFormat& format) const;
  // Every kept line, each ending with "\n" (what "Save trace…" writes), handed to `sink`
  // in pieces of about a megabyte; stops early when the sink returns false.
  bool WriteText(const TraceFormat& format,
                 const std::function<bool(const char* data, size_t size)>& sink) const;
  std::string AllText(const TraceFormat& format) const;
  // Every kept byte as a pcapng capture, one packet per decoded frame, each stamped with the
  // arrival of its first byte. False with `error` set when the file cannot be written.
  bool WriteCapture(const std::string& path, const std::string& application,
                    std::string* error) const;
  // The longest line's length in characters for this format.
  static size_t MaxLineChars(const TraceFormat& format);
  // The line that shows the same bytes as `line` of format `from` does, in format `to`
  // (a view keeps its place when picture blocks are shortened or shown whole).
  uint64_t MapLine(uint64_t line, const TraceFormat& from, const TraceFormat& to) const;

 protected:
  friend class CTraceModel;  // builds snapshots
  struct Block {
    uint64_t pos = 0;        // absolute ring position of its first kept byte
    uint64_t txLen = 0;      // request bytes kept (0: none or trimmed away)
    uint64_t rxLen = 0;      // reply bytes kept
    uint64_t firstLine = 0;  // absolute number of its first kept line
    uint64_t foldLine = 0;   // the same with picture blocks shortened
    uint64_t rxFold = 0;     // a picture block the reply starts with: its length (0: none)
    uint64_t rxLineSkip = 0; // reply lines dropped from its front
    int64_t txTimeMs = 0;
    int64_t rxTimeMs = -1;   // -1: nothing received yet
    bool request = true;     // false: bytes received before any request (no "Rx :")
    bool trimmed = false;    // the empty line and the "TX :" lines were dropped
  };
  struct Where;

  // `fold`: the geometry with picture blocks on one line.
  static uint64_t TxLines(uint64_t n);
  // Offset of reply line k in the reply.
  static uint64_t RxStart(const Block& b, uint64_t k, bool fold);
  // Reply lines of the whole block, dropped ones too.
  static uint64_t RxLines(const Block& b, bool fold);
  static uint64_t LineCount(const Block& b, bool fold);
  static uint64_t StartLine(const Block& b, bool fold) { return fold ? b.foldLine : b.firstLine; }
  uint64_t FirstLine(bool fold) const;
  bool Locate(uint64_t line, Where& where, bool fold) const;
  // Numbers the shortened lines again from block `from` on, after a fold came or went.
  void RelayoutFolds(size_t from);
  void CopyOut(uint64_t pos, size_t n, uint8_t* out) const;
  void FormatLine(const Where& where, const TraceFormat& format, std::string& out) const;
  // Text and WriteText formed a slice of lines at a time, holding `guard` (if any) for one
  // slice only; lines no longer kept when their slice comes are left out.
  std::string TextSliced(TracePos from, TracePos to, const TraceFormat& format,
                         std::mutex* guard) const;
  bool WriteSliced(const TraceFormat& format,
                   const std::function<bool(const char* data, size_t size)>& sink,
                   std::mutex* guard) const;

  // The decoded text of each frame kept, by the ring position of its first byte.
  struct Note {
    uint64_t pos;
    std::string text;
  };
  void AppendNotes(std::string& out, size_t lineStart, uint64_t from, uint64_t to,
                   const TraceFormat& format) const;

  std::deque<Note> m_notes;
  // When the bytes from `pos` on arrived (one per append, the oldest dropped with the ring).
  struct Stamp {
    uint64_t pos;
    int64_t us;
  };
  std::deque<Stamp> m_stamps;
  int64_t StampAt(uint64_t pos) const;  // -1: not known
  std::string DeltaColumn(const Block& b, uint64_t pos, bool reply) const;
  std::shared_ptr<uint8_t[]> m_storage;  // never shared: a snapshot gets its own copy
  size_t m_capacity = 0;                 // allocated bytes: the limit, from the first append
  uint64_t m_origin = 0;                 // absolute position stored at index 0 of the ring
  uint64_t m_head = 0;                   // first kept byte
  uint64_t m_tail = 0;                   // one past the last byte
  uint64_t m_nextLine = 1;               // where a trace starting now puts its first block
  uint64_t m_nextFoldLine = 1;           // the same with picture blocks shortened
  size_t m_nFolded = 0;                  // blocks kept with rxFold set
  uint64_t m_generation = 0;
  std::deque<Block> m_blocks;
};

class CTraceModel : private CTraceData {
 public:
  static constexpr size_t kDefaultLimitBytes = size_t(16) << 20;
  static constexpr size_t kMinLimitBytes = size_t(64) << 10;
  // Lines Text and WriteText form per hold of the lock (about 200 KB of text).
  static constexpr size_t kSliceLines = 2048;

  explicit CTraceModel(size_t limitBytes = kDefaultLimitBytes);

  // Any thread. `timeMs`: milliseconds since the epoch; by default now (to the microsecond).
  void Append(bool transmit, const uint8_t* bytes, size_t count);
  void Append(bool transmit, const uint8_t* bytes, size_t count, int64_t timeMs);
  void AppendUs(bool transmit, const uint8_t* bytes, size_t count, int64_t timeUs);
  void Clear();
  // Drops what is kept and bounds the ring to `limitBytes` (at least kMinLimitBytes).
  void SetLimit(size_t limitBytes);
  size_t Limit() const;

  // Called (outside the lock, on the appending thread) after an append or clear when the
  // previous call has been acknowledged with TakeChanges(): a view posts itself an update.
  void SetChangeCallback(std::function<void()> callback);
  // Re-arms the change callback and returns the current extent.
  TraceExtent TakeChanges(const TraceFormat& format = {});

  TraceExtent Extent(const TraceFormat& format = {}) const;
  uint64_t MapLine(uint64_t line, const TraceFormat& from, const TraceFormat& to) const;
  std::vector<std::string> Lines(uint64_t from, size_t count, const TraceFormat& format) const;
  // A selection (Copy) and every kept line ("Save trace…"), as CTraceData gives them. They
  // are formed a slice of lines at a time, the lock held for one slice only, so an appender
  // never waits for more than a slice however large the trace. Lines the ring drops while
  // this runs are left out; lines added after it started are not included.
  std::string Text(TracePos from, TracePos to, const TraceFormat& format) const;
  bool WriteText(const TraceFormat& format,
                 const std::function<bool(const char* data, size_t size)>& sink) const;
  // "Save trace…" as a capture: from a snapshot, so appenders are held up only for the copy.
  bool WriteCapture(const std::string& path, const std::string& application,
                    std::string* error) const;
  // A private copy of everything kept, taken at once under the lock.
  CTraceData Snapshot() const;

  // Decodes the traffic (TraceFormat::decoded shows it): what is kept at once, then every
  // append as it comes. Off, the decoded text is dropped and costs nothing.
  void SetDecoding(bool on);
  bool Decoding() const;
  // Finds the picture blocks in the traffic (what is kept at once, then as it comes), so a
  // format with shortBlocks shows each on one line. Off, nothing is folded.
  void SetShortening(bool on);

 private:
  void DecodeLocked(bool transmit, const uint8_t* bytes, size_t count, uint64_t pos);
  void FoldLocked(const DecodedFrame& frame);
  // Decodes what is kept afresh after the decoding or the shortening was switched.
  void RedecodeLocked();
  void DropNotesLocked();
  void AppendLocked(bool transmit, const uint8_t* bytes, size_t count, int64_t timeUs);
  void MakeRoomLocked(size_t count, bool transmit);
  void ClearLocked();
  void Notify();

  mutable std::mutex m_mutex;  // guards the ring, the blocks and the fields below
  size_t m_limit;
  bool m_bDecoding = false;    // decoded text kept
  bool m_bShortening = false;  // picture blocks found
  size_t m_foldFrom = SIZE_MAX;  // the first block folded by the current append
  CFrameDecoder m_decoder;
  std::vector<DecodedFrame> m_decoded;  // scratch of one append
  bool m_bNotifyArmed = true;
  std::function<void()> m_changed;
};

// Parses a --trace-limit value: bytes, or with K, M or G (binary; "KiB", "MB"… accepted).
// Returns 0 if the text is not a size or names more than 1 TiB.
size_t ParseTraceLimit(const std::string& text);
