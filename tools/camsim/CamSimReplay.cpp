#include "camsim/CamSimReplay.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/Pcapng.h"

namespace camsim {

namespace {

constexpr char kPcapngMagic[4] = {0x0A, 0x0D, 0x0D, 0x0A};
// A saved text trace larger than this is not a session anyone recorded (the window keeps
// 16 MiB of traffic, about 60 MiB of text); a capture is read packet by packet instead.
constexpr uintmax_t kMaxTraceBytes = uintmax_t(256) << 20;
constexpr int64_t kDayUs = int64_t(86400) * 1000000;
constexpr size_t kStampChars = 13;  // "hh:mm:ss.zzz "

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "hh:mm:ss.zzz " at the start of a line: its time of day in microseconds, else -1.
int64_t StampUs(const std::string& line) {
  if (line.size() < kStampChars) return -1;
  int h, m, s, ms;
  char tail;
  if (std::sscanf(line.c_str(), "%2d:%2d:%2d.%3d%c", &h, &m, &s, &ms, &tail) != 5 || tail != ' ')
    return -1;
  return ((int64_t(h) * 60 + m) * 60 + s) * 1000000 + int64_t(ms) * 1000;
}

// "XX " groups from `pos` on. They end at the first thing that is not one, or at a second
// blank: the characters or the decoded text that may follow the hexadecimal.
Bytes HexRun(const std::string& line, size_t pos, bool& abbreviated) {
  Bytes bytes;
  while (pos + 1 < line.size()) {
    const int hi = HexDigit(line[pos]), lo = HexDigit(line[pos + 1]);
    const bool ends = pos + 2 == line.size() || line[pos + 2] == ' ';
    if (hi < 0 || lo < 0 || !ends) {
      // A display that shortened a block cannot be replayed byte for byte.
      if (line.compare(pos, 3, "...") == 0 || line.compare(pos, 3, "\xE2\x80\xA6") == 0)
        abbreviated = true;
      break;
    }
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    pos += 3;
  }
  return bytes;
}

}  // namespace

void CReplayScript::Sent(const uint8_t* bytes, size_t count, int64_t timeUs) {
  m_parser.Feed(bytes, count);
  Bytes frame;
  bool wellFormed = false;
  while (m_parser.Next(frame, wellFormed)) {
    m_exchanges.push_back({frame, {}});
    m_requestTimes.push_back(timeUs);
  }
}

void CReplayScript::Received(const uint8_t* bytes, size_t count, int64_t timeUs) {
  if (count == 0) return;
  if (m_exchanges.empty()) {
    m_leadingBytes += count;
    return;
  }
  ReplayExchange& last = m_exchanges.back();
  const int64_t sent = m_requestTimes.back();
  int64_t after = sent >= 0 && timeUs >= 0 ? timeUs - sent : 0;
  if (after < 0) after += kDayUs;  // a text trace's clock passed midnight
  if (!last.reply.empty()) after = std::max(after, last.reply.back().afterUs);
  last.reply.push_back({after, std::make_shared<const Bytes>(bytes, bytes + count)});
}

bool CReplayScript::Finish(std::string& error) {
  m_requestTimes.clear();
  m_parser = CRequestParser();
  if (m_exchanges.empty()) {
    error = "the recording holds no request";
    return false;
  }
  Rewind();
  return true;
}

void CReplayScript::Rewind() {
  m_unused.clear();
  for (size_t i = 0; i < m_exchanges.size(); ++i) m_unused[m_exchanges[i].request].push_back(i);
}

const ReplayExchange* CReplayScript::Take(const Bytes& request) {
  auto it = m_unused.find(request);
  if (it == m_unused.end() || it->second.empty()) return nullptr;
  const size_t index = it->second.front();
  it->second.pop_front();
  return &m_exchanges[index];
}

bool CReplayScript::LoadCapture(const std::string& path, std::string& error) {
  pcapng::CPcapngReader reader;
  if (!reader.Open(path)) {
    error = reader.Error();
    return false;
  }
  pcapng::Frame frame;
  for (;;) {
    const auto next = reader.Read(frame);
    if (next == pcapng::CPcapngReader::Next::Error) {
      error = reader.Error();
      return false;
    }
    if (next == pcapng::CPcapngReader::Next::End) break;
    if (frame.direction == pcapng::Direction::ToCamera)
      Sent(frame.bytes.data(), frame.bytes.size(), frame.timeUs);
    else
      Received(frame.bytes.data(), frame.bytes.size(), frame.timeUs);
  }
  if (reader.Truncated())
    std::fprintf(stderr, "camsim: %s ends inside a packet; replaying what came before\n", path.c_str());
  return Finish(error);
}

// The trace's text: a "TX :" line starts a request, an "Rx :" line the bytes received
// after it, and lines without a head continue whichever came last. A time stamp column, a
// character column and decoded text are taken or passed over as they come.
bool CReplayScript::LoadText(const std::string& text, std::string& error) {
  m_exchanges.clear();
  std::istringstream in(text);
  std::string line;
  bool sending = false;
  bool abbreviated = false;
  int64_t stamp = -1;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t pos = 0;
    const int64_t lineStamp = StampUs(line);
    if (lineStamp >= 0) {
      stamp = lineStamp;
      pos = kStampChars;
    }
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (line.compare(pos, 4, "TX :") == 0) {
      sending = true;
      pos += 4;
    } else if (line.compare(pos, 4, "Rx :") == 0) {
      sending = false;
      pos += 4;
    } else if (pos == line.size()) {
      continue;
    }
    const Bytes bytes = HexRun(line, pos, abbreviated);
    if (abbreviated) {
      error = "line " + std::to_string(number) +
              " shortens a block of picture data; save the trace in full to replay it";
      return false;
    }
    if (sending) Sent(bytes.data(), bytes.size(), stamp);
    else Received(bytes.data(), bytes.size(), stamp);
  }
  return Finish(error);
}

bool CReplayScript::Load(const std::string& path, std::string& error) {
  // A regular file only: opening a FIFO would wait for a writer, a device never ends.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    error = path + " is not a file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  char magic[4] = {};
  file.read(magic, sizeof magic);
  if (file.gcount() == 4 && std::memcmp(magic, kPcapngMagic, 4) == 0) return LoadCapture(path, error);
  // A text trace is read whole: it must be of bounded size.
  if (static_cast<uintmax_t>(info.st_size) > kMaxTraceBytes) {
    error = path + " is larger than a saved trace can be (" +
            std::to_string(kMaxTraceBytes >> 20) + " MiB)";
    return false;
  }
  file.seekg(0);
  std::ostringstream text;
  text << file.rdbuf();
  return LoadText(text.str(), error);
}

}  // namespace camsim
