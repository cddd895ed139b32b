// Writes the Wireshark dissector (Lua) for brevant's pcapng captures, at build time, from the
// command table the engine builds its requests and matches its replies with. The tables are
// generated; the matching below follows the trace decoder (core/FrameDecoder.cpp) rule for
// rule, on captures where each packet is one frame, so Wireshark names every frame exactly
// as `brevant-cli --decode` does. A change to either must be made to both: the dissector
// test compares them on every row of the table.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Pcapng.h"
#include "core/ModelIdentification.h"
#include "protocol/CommandCodes.h"
#include "protocol/CommandTable.h"
#include "protocol/ProtocolTables.h"

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\r') {
      out += "\\r";
      continue;
    }
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

const char* KindName(FieldKind kind) {
  switch (kind) {
    case FieldKind::Hex: return "hex";
    case FieldKind::Baud: return "baud";
    case FieldKind::ImageSize: return "imagesize";
    case FieldKind::Text: return "text";
    case FieldKind::Ordinal: return "ordinal";
    default: return "number";
  }
}

const char* LengthName(ReplyLength rule) {
  switch (rule) {
    case ReplyLength::CountAt4: return "count4";
    case ReplyLength::LengthForm: return "lengthform";
    case ReplyLength::InitEnd: return "initend";
    default: return "minimum";
  }
}

std::string Bytes(const uint8_t* bytes, size_t count) {
  std::string out = "{";
  for (size_t i = 0; i < count; ++i) out += (i ? "," : "") + std::to_string(bytes[i]);
  return out + "}";
}

std::string Fields(FieldList fields) {
  std::string out = "{";
  for (const FieldLayout& f : fields) {
    out += "{pattern=" + Quote(f.pattern) + ",offset=" + std::to_string(f.offset) +
           ",width=" + std::to_string(f.width) + ",kind=\"" + KindName(f.kind) + "\"" +
           (f.hideZero ? ",hideZero=true" : "") + "},";
  }
  return out + "}";
}

std::string Tables() {
  std::ostringstream out;
  out << "local LINKTYPE = " << pcapng::kLinkTypeSerial << "\n";
  out << "local REQUEST, REPLY = " << int(kRequestByte) << ", " << int(kReplyByte) << "\n";
  out << "local DETECTION, AUTO_CAPTURE, AUTO_FAILED = " << int(kDetectionReport) << ", "
      << int(kAutoCaptureReport) << ", " << int(kAutoCaptureFailed) << "\n";
  out << "local MARKER_LENGTH = " << kFrameBufferMarkerLength << "\n";
  out << "local POWER_ON, VERSION_TAG, ERROR_TAIL = " << Quote(kPowerOnText) << ", "
      << Quote(kVersionTag) << ", " << Quote(kErrorTail) << "\n";
  out << "local INIT_END_LINE = " << Quote("Init end\r\n") << "\n";
  out << "local MOST_WAITING = 64\n";
  out << "local BAUD = {";
  for (const BaudCode& b : kBaudCodes)
    out << "[" << (b.high * 256 + b.low) << "]=" << b.baud << ",";
  out << "}\nlocal IMAGE_SIZES = {";
  const auto& sizes = ImageSizeItems();
  for (size_t i = 0; i < sizes.size() && i < std::size(kImageSizeCodes); ++i)
    out << "[" << int(kImageSizeCodes[i]) << "]=" << Quote(sizes[i]) << ",";
  out << "}\n";
  size_t rows = 0;
  const CommandLayout* layouts = CommandLayouts(&rows);
  out << "local LAYOUTS = {\n";
  for (size_t i = 0; i < rows; ++i) {
    const CommandLayout& s = layouts[i];
    out << "  {symbol=" << Quote(s.symbol) << ",name=" << Quote(s.name)
        << ",request=" << Bytes(s.request, s.requestFixed) << ",fixed=" << int(s.requestFixed)
        << ",requestFields=" << Fields(s.requestFields)
        << ",header=" << Bytes(s.replyHeader, s.replyHeaderLength)
        << ",alternative=" << Bytes(s.replyAlternative, s.replyAlternativeLength)
        << ",minimum=" << int(s.replyMinimum) << ",length=\"" << LengthName(s.replyLength) << "\""
        << ",statusAt=" << int(s.statusAt)
        << (s.replyName ? ",replyName=" + Quote(s.replyName) : std::string())
        << ",replyFields=" << Fields(s.replyFields)
        << (s.code == CMD_READ_BUF_512 ? ",frameBuffer=true" : "")
        << (s.code == CMD_GET_FRAME_LEN ? ",frameLength=true" : "")
        << (s.code == CMD_RESUME_FRAME ? ",resume=true" : "") << "},\n";
  }
  out << "}\n";
  return out.str();
}

// The matching, as the trace decoder does it, for a packet that is one whole frame.
const char kLogic[] = R"LUA(
local brevant = Proto("brevant", "Brevant serial camera protocol")
local DIRECTIONS = {[0] = "to camera", [1] = "from camera"}
local f_direction = ProtoField.uint8("brevant.direction", "Direction", base.DEC, DIRECTIONS)
local f_frame = ProtoField.string("brevant.frame", "Frame")
local f_command = ProtoField.string("brevant.command", "Command")
local f_field = ProtoField.string("brevant.field", "Field")
local f_serial = ProtoField.uint8("brevant.serial", "Serial number", base.DEC)
local f_request = ProtoField.framenum("brevant.request_in", "Request in frame")
local f_since = ProtoField.relative_time("brevant.time_since_request", "Time since request")
brevant.fields = {f_direction, f_frame, f_command, f_field, f_serial, f_request, f_since}

local function be(b, at, width)  -- `at` counts from 0, as the table's offsets do
  local v = 0
  for i = 0, width - 1 do v = v * 256 + b[at + i + 1] end
  return v
end

local function find(b, from, to, text)  -- 0-based [from, to); nil when absent
  local n = #text
  for i = from, to - n do
    local hit = true
    for k = 1, n do
      if b[i + k] ~= text:byte(k) then hit = false break end
    end
    if hit then return i end
  end
  return nil
end

local function field_text(f, b, count)
  local value
  if f.kind == "text" then
    if f.offset >= count then return nil end
    local chars = {}
    for i = f.offset, count - 1 do
      local c = b[i + 1]
      if c == 0 then break end
      chars[#chars + 1] = (c >= 0x20 and c < 0x7F) and string.char(c) or "."
    end
    value = table.concat(chars)
  else
    if f.offset + f.width > count then return nil end
    local v = be(b, f.offset, f.width)
    if f.hideZero and v == 0 then return nil end
    if f.kind == "hex" then
      value = string.format(f.width == 1 and "0x%02X" or "0x%04X", v)
    elseif f.kind == "baud" then
      local rate = f.width == 2 and BAUD[v] or nil
      value = rate and tostring(rate) or string.format("code 0x%04X", v)
    elseif f.kind == "imagesize" then
      local name = IMAGE_SIZES[b[f.offset + 1]]
      value = name or string.format("code 0x%02X", v)
    elseif f.kind == "ordinal" then
      value = string.format("%d", v + 1)
    else
      value = string.format("%d", v)
    end
  end
  local at = f.pattern:find("%s", 1, true)
  if not at then return f.pattern end
  return f.pattern:sub(1, at - 1) .. value .. f.pattern:sub(at + 2)
end

-- "name v" when the first field is a bare value, else "name: field v, field v".
local function describe(name, fields, b, count, parts)
  local text, first = name, true
  for _, f in ipairs(fields) do
    local t = field_text(f, b, count)
    if t then
      text = text .. (first and (f.pattern:sub(1, 1) == "%" and " " or ": ") or ", ") .. t
      first = false
      if parts then parts[#parts + 1] = t end
    end
  end
  return text
end

local function request_layout(b, count)
  if count < 4 or b[1] ~= REQUEST then return nil end
  local best
  for _, s in ipairs(LAYOUTS) do
    if s.fixed > 0 and s.fixed + 2 <= count then
      local same = true
      for k = 1, s.fixed do
        if b[2 + k] ~= s.request[k] then same = false break end
      end
      if same and (not best or s.fixed > best.fixed) then best = s end
    end
  end
  return best
end

local function pictures(n) return n == 1 and "picture" or "pictures" end
local function unrecognised(n) return string.format("unrecognised, %d bytes", n) end

local function starts_with(b, at, bytes)  -- b from 0-based `at` holds `bytes`
  for k = 1, #bytes do
    if b[at + k] ~= bytes[k] then return false end
  end
  return true
end

-- A reply to waiting request `w`: its text, or nil.
local function match_waiting(w, b, n)
  local s = w.layout
  if n < 3 or b[2] ~= w.serial or b[3] ~= s.header[1] then return nil end
  if n < 2 + math.max(#s.header, #s.alternative) then return nil end
  local primary = starts_with(b, 2, s.header)
  local alternative = not primary and #s.alternative > 0 and starts_with(b, 2, s.alternative)
  if not primary and not alternative then
    if s.statusAt == 0 and b[3] < 0x80 and b[4] ~= 0 and n >= 5 then
      return w.text .. string.format(": no reply, status %02X", b[4])
    end
    return nil
  end
  local length = s.minimum
  if s.length == "count4" then
    if n < 5 then return nil end
    length = 5 + b[5]
  elseif s.length == "lengthform" then
    if n < 5 then return nil end
    length = b[5] == 0x0A and 13 or 9
  elseif s.length == "initend" then
    local at = find(b, 4, n, INIT_END_LINE)
    if not at then return nil end
    length = at + #INIT_END_LINE
  end
  if s.frameBuffer then length = MARKER_LENGTH end
  if n < length then return nil end
  if s.statusAt > 0 and b[s.statusAt + 1] ~= 0 then
    return string.format("refused: status %02X", b[s.statusAt + 1])
  end
  if alternative and s.resume then return "motion while capturing" end
  if s.replyName then return describe(s.replyName, s.replyFields, b, length) end
  return w.text .. ": ok"
end

local function match_report(b, n)
  if n < 3 or (b[3] ~= DETECTION and b[3] ~= AUTO_CAPTURE) or n < 4 then return nil end
  if b[3] == DETECTION and b[4] == 0 then
    if n < 5 then return nil end
    if b[5] == REPLY and n >= 6 and b[6] == b[2] then return nil end  -- cut short
    return string.format("motion: %d %s stored", b[5], pictures(b[5]))
  end
  if b[3] == DETECTION and b[4] == 3 then
    if n < 7 then return nil end
    local who = b[5] == 1 and "person" or (b[5] == 2 and "vehicle" or "person or vehicle")
    local text = string.format("%s: %d", who, b[7])
    if b[6] == 1 then return text .. " " .. pictures(b[7]) .. " stored" end
    return text .. " detected now"
  end
  if b[3] == AUTO_CAPTURE then
    if n < 6 then return nil end
    if b[6] == AUTO_FAILED then return "power-on capture failed" end
    return string.format("power-on capture: %d %s", b[6], pictures(b[6]))
  end
  return nil
end

local function text_frame(b, n)
  local banner = find(b, 0, n, POWER_ON)
  if banner then
    local text = "power-on banner"
    local tag = find(b, 0, banner, VERSION_TAG)
    if tag then
      local chars = {}
      for i = tag + #VERSION_TAG, banner - 1 do
        if b[i + 1] == 13 then break end
        chars[#chars + 1] = string.char(b[i + 1])
      end
      text = text .. ", version " .. table.concat(chars)
    end
    return text
  end
  if find(b, 0, n, ERROR_TAIL) then return "command error" end
  return unrecognised(n)
end

-- What the capture has told so far, in packet order (the first pass).
local state
local results = {}
local function reset()
  state = {waiting = {}, pictureLength = 0, blockSize = 0}
  results = {}
end
reset()
brevant.init = reset  -- every new capture (or reload) starts afresh

local function on_request(b, n, time)
  local s = request_layout(b, n)
  local r = {}
  if not s then
    r.text = unrecognised(n)
    return r
  end
  r.parts = {}
  r.text = describe(s.name, s.requestFields, b, n, r.parts)
  r.command = s.name
  local w = {layout = s, text = r.text, serial = b[2], time = time, offset = 0, length = 0}
  if s.frameBuffer and n >= 14 then
    w.offset = be(b, 6, 4)
    w.length = be(b, 10, 4)
    if (w.offset == 0 or state.blockSize == 0) and w.length ~= 0 then state.blockSize = w.length end
    -- A block asked again: the earlier ask will not be answered.
    for i = #state.waiting, 1, -1 do
      if state.waiting[i].layout.frameBuffer then table.remove(state.waiting, i) end
    end
  end
  table.insert(state.waiting, w)
  if #state.waiting > MOST_WAITING then table.remove(state.waiting, 1) end
  return r
end

local function picture_data(w, b, n)
  local wanted = w.length
  local got = math.min(n - MARKER_LENGTH, wanted)
  local tail = n - MARKER_LENGTH - got
  local marker = tail >= MARKER_LENGTH and b[n - 4] == REPLY and b[n - 3] == w.serial and
                 starts_with(b, n - 3, w.layout.header)
  local block = state.blockSize > 0 and math.floor(w.offset / state.blockSize) + 1 or 1
  local text = "picture data, block " .. block
  if state.pictureLength > 0 and state.blockSize > 0 then
    text = text .. " of " .. math.floor((state.pictureLength + state.blockSize - 1) / state.blockSize)
  end
  if got == wanted then
    text = text .. string.format(", %d bytes", got)
  else
    text = text .. string.format(", %d of %d bytes", got, wanted)
  end
  if got == wanted and not marker then text = text .. ", no end marker" end
  return text
end

local function on_reply(b, n)
  if b[1] ~= REPLY then return {text = text_frame(b, n)} end
  local answered, text
  if #state.waiting > 0 then
    text = match_waiting(state.waiting[1], b, n)
    if text then answered = 1 end
  end
  if not text then text = match_report(b, n) end
  if not text then
    for i = 2, #state.waiting do
      text = match_waiting(state.waiting[i], b, n)
      if text then
        answered = i
        break
      end
    end
  end
  if not text then return {text = unrecognised(n)} end
  if not answered then return {text = text} end
  local w = state.waiting[answered]
  -- Requests before the one answered got no reply.
  for _ = 1, answered do table.remove(state.waiting, 1) end
  local r = {command = w.layout.name, request = w.frame, time = w.time}
  if w.layout.frameBuffer and b[4] == 0 then
    r.text = picture_data(w, b, n)
    return r
  end
  if w.layout.frameLength and b[4] == 0 and n >= 9 then state.pictureLength = be(b, 5, 4) end
  r.text = text
  if w.layout.replyName then
    r.parts = {}
    describe(w.layout.replyName, w.layout.replyFields, b, n, r.parts)
  end
  return r
end

function brevant.dissector(tvb, pinfo, tree)
  if tvb:len() < 1 then return 0 end
  local direction = tvb(0, 1):uint()
  local n = tvb:len() - 1
  local r = results[pinfo.number]
  if not r then
    local b = {}
    for i = 1, n do b[i] = tvb(i, 1):uint() end
    if direction == 0 then
      r = on_request(b, n, pinfo.abs_ts)
      if state.waiting[#state.waiting] then state.waiting[#state.waiting].frame = pinfo.number end
    else
      r = on_reply(b, n)
    end
    r.serial = n >= 2 and b[2] or nil
    results[pinfo.number] = r
  end
  pinfo.cols.protocol = "Brevant"
  pinfo.cols.info = (direction == 0 and "TX " or "Rx ") .. r.text
  local item = tree:add(brevant, tvb())
  item:add(f_direction, tvb(0, 1))
  item:add(f_frame, r.text)
  if r.command then item:add(f_command, r.command) end
  if r.serial then item:add(f_serial, tvb(2, 1)) end
  for _, part in ipairs(r.parts or {}) do item:add(f_field, part) end
  if r.request then
    item:add(f_request, r.request)
    local since = pinfo.abs_ts - r.time
    local seconds = math.floor(since)
    item:add(f_since, NSTime.new(seconds, math.floor((since - seconds) * 1e9 + 0.5)))
  end
  return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, brevant)
)LUA";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << "-- Wireshark dissector for brevant's pcapng captures (link type USER0, 147: one byte\n"
         "-- 0 = to the camera, 1 = from the camera, then the frame). Generated from the\n"
         "-- command table at build time; do not edit.\n";
  out << Tables() << kLogic;
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
