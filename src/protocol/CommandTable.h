#pragma once
// What each command's frames look like: the request's fixed leading bytes and its fields,
// the reply's header, length and fields. The frame builders start every request from its
// row, the reply processor matches replies with it, and the trace decoder names frames and
// their fields from it, so what is sent, what is matched and what is shown cannot drift.
//
// Offsets count from a frame's first byte (0x56 or 0x76); byte 1 is the serial number.
#include <cstddef>
#include <cstdint>

// How a field's bytes read as text.
enum class FieldKind : uint8_t {
  Number,     // unsigned, big-endian over `width` bytes, in decimal
  Hex,        // 0xNN (one byte) or 0xNNNN (two)
  Baud,       // a two-byte baud code, as its rate
  ImageSize,  // an image-size code (its list position; the core names it)
  Text,       // the bytes from `offset` to the end of the frame, as characters
  Ordinal,    // a position sent from 0 that the operator counts from 1 (the OSD line)
};

struct FieldLayout {
  const char* pattern;  // "%s" is where the value goes: "offset %s", "%s bytes"
  uint8_t offset;
  uint8_t width;
  FieldKind kind = FieldKind::Number;
  bool hideZero = false;  // left out when its value is 0
};

struct FieldList {
  const FieldLayout* items = nullptr;
  uint8_t count = 0;
  const FieldLayout* begin() const { return items; }
  const FieldLayout* end() const { return items + count; }
};

// How long a reply is, beyond its minimum.
enum class ReplyLength : uint8_t {
  Minimum,     // exactly the minimum
  CountAt4,    // 5 + byte 4 (a text whose length byte is byte 4)
  LengthForm,  // 13 when byte 4 is 0x0A (width and height follow), else 9
  InitEnd,     // the 4-byte header, then text up to and with "Init end\r\n"
};

struct CommandLayout {
  int code;
  const char* symbol;            // "CMD_SET_COMPRESSION": the code as diagnostics name it
  const char* name;              // "set compression"
  uint8_t request[8];            // after 56 SN: command byte, length byte, fixed arguments
  uint8_t requestFixed;          // how many of `request` every frame of this command has
  FieldList requestFields;
  uint8_t replyHeader[3];        // after 76 SN
  uint8_t replyHeaderLength;
  uint8_t replyAlternative[3];   // a second header the reply may carry (0 length: none)
  uint8_t replyAlternativeLength;
  uint8_t replyMinimum;          // bytes the reply processor needs before it looks
  ReplyLength replyLength;
  uint8_t statusAt;              // offset of the camera's status byte; 0: none
  const char* replyName;         // a reply with data: its name; nullptr: it only says done
  FieldList replyFields;
};

// Every command with a frame, the frame-buffer read (CMD_READ_BUF_512's row) included.
const CommandLayout* CommandLayouts(size_t* count);
// The row of a command code, or nullptr.
const CommandLayout* CommandLayoutFor(int code);
// The code's symbol ("CMD_SET_COMPRESSION"), or nullptr for a code no request uses.
const char* CommandSymbol(int code);

// Frames and texts the camera sends by itself.
inline constexpr uint8_t kRequestByte = 0x56;
inline constexpr uint8_t kReplyByte = 0x76;
inline constexpr uint8_t kFrameBufferCommand = 0x32;  // its answer's markers: 76 SN 32 00 00
inline constexpr size_t kFrameBufferMarkerLength = 5;
inline constexpr uint8_t kDetectionReport = 0x39;     // 76 SN 39 00 NN, 76 SN 39 03 T F C
inline constexpr uint8_t kAutoCaptureReport = 0x92;   // 76 SN 92 02 01 NN
inline constexpr uint8_t kAutoCaptureFailed = 0xEE;
inline constexpr char kPowerOnText[] = "Init end";
inline constexpr char kVersionTag[] = "sion:";
inline constexpr char kErrorTail[] = "ror";
