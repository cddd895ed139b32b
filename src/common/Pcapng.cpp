#include "common/Pcapng.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace pcapng {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kSimplePacket = 0x00000003;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kByteOrderSwapped = 0x4D3C2B1A;

constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptShbUserAppl = 4;
constexpr uint16_t kOptIfName = 2;
constexpr uint16_t kOptIfTsResol = 9;
constexpr uint16_t kOptEpbFlags = 2;
constexpr uint32_t kFlagInbound = 1;
constexpr uint32_t kFlagOutbound = 2;

// Blocks are written in this machine's byte order, as the format intends; the magic tells a
// reader on the other kind of machine to swap.
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  uint8_t raw[4];
  std::memcpy(raw, &v, 4);
  b.insert(b.end(), raw, raw + 4);
}
void Put16(std::vector<uint8_t>& b, uint16_t v) {
  uint8_t raw[2];
  std::memcpy(raw, &v, 2);
  b.insert(b.end(), raw, raw + 2);
}
void Pad(std::vector<uint8_t>& b) {
  while (b.size() % 4) b.push_back(0);
}
void PutOption(std::vector<uint8_t>& b, uint16_t code, const void* value, size_t size) {
  // Option values are at most 65535 bytes; a longer name is cut rather than refused.
  if (size > 0xFFFF) size = 0xFFFF;
  Put16(b, code);
  Put16(b, uint16_t(size));
  const auto* p = static_cast<const uint8_t*>(value);
  b.insert(b.end(), p, p + size);
  Pad(b);
}
// Starts a block: type and a length filled in by EndBlock.
void BeginBlock(std::vector<uint8_t>& b, uint32_t type) {
  b.clear();
  Put32(b, type);
  Put32(b, 0);
}
void EndBlock(std::vector<uint8_t>& b) {
  Pad(b);
  const uint32_t total = uint32_t(b.size() + 4);
  std::memcpy(b.data() + 4, &total, 4);
  Put32(b, total);
}

std::string Describe(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

}  // namespace

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- writer ----

CPcapngWriter::~CPcapngWriter() { Close(); }

bool CPcapngWriter::Fail(const std::string& what, int err) {
  m_error = Describe(what + " " + m_path, err);
  return false;
}

bool CPcapngWriter::WriteAll(const std::vector<uint8_t>& block) {
  size_t done = 0;
  while (done < block.size()) {
    const ssize_t n = ::write(m_fd, block.data() + done, block.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail("cannot write", errno);
    }
    done += size_t(n);
  }
  return true;
}

bool CPcapngWriter::Open(const std::string& path, const std::string& application,
                         const std::string& port) {
  Close();
  m_path = path;
  m_error.clear();
  m_frames = 0;
  m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (m_fd < 0) return Fail("cannot create", errno);

  BeginBlock(m_block, kSectionHeader);
  Put32(m_block, kByteOrderMagic);
  Put16(m_block, 1);  // version 1.0
  Put16(m_block, 0);
  Put32(m_block, 0xFFFFFFFF);  // section length unknown: written as it goes
  Put32(m_block, 0xFFFFFFFF);
  if (!application.empty())
    PutOption(m_block, kOptShbUserAppl, application.data(), application.size());
  PutOption(m_block, kOptEnd, nullptr, 0);
  EndBlock(m_block);
  bool ok = WriteAll(m_block);

  BeginBlock(m_block, kInterfaceDescription);
  Put16(m_block, uint16_t(kLinkTypeSerial));
  Put16(m_block, 0);
  Put32(m_block, 0);  // no snap length: every byte is kept
  if (!port.empty()) PutOption(m_block, kOptIfName, port.data(), port.size());
  const uint8_t microseconds = 6;
  PutOption(m_block, kOptIfTsResol, &microseconds, 1);
  PutOption(m_block, kOptEnd, nullptr, 0);
  EndBlock(m_block);
  ok = ok && WriteAll(m_block);
  if (!ok) {
    ::close(m_fd);
    m_fd = -1;
  }
  return ok;
}

bool CPcapngWriter::Write(Direction direction, int64_t timeUs, const uint8_t* bytes,
                          size_t count) {
  if (m_fd < 0) return false;
  const uint64_t ticks = uint64_t(timeUs < 0 ? 0 : timeUs);
  const bool toCamera = direction == Direction::ToCamera;
  size_t done = 0;
  do {
    const size_t n = std::min(count - done, kMaxFrameBytes);
    BeginBlock(m_block, kEnhancedPacket);
    Put32(m_block, 0);  // the one interface
    Put32(m_block, uint32_t(ticks >> 32));
    Put32(m_block, uint32_t(ticks));
    Put32(m_block, uint32_t(n + 1));
    Put32(m_block, uint32_t(n + 1));
    m_block.push_back(toCamera ? kToCamera : kFromCamera);
    if (n) m_block.insert(m_block.end(), bytes + done, bytes + done + n);
    Pad(m_block);
    const uint32_t flags = toCamera ? kFlagOutbound : kFlagInbound;
    PutOption(m_block, kOptEpbFlags, &flags, 4);
    PutOption(m_block, kOptEnd, nullptr, 0);
    EndBlock(m_block);
    if (!WriteAll(m_block)) {
      ::close(m_fd);
      m_fd = -1;
      return false;
    }
    ++m_frames;
    done += n;
  } while (done < count);
  return true;
}

bool CPcapngWriter::Close() {
  if (m_fd < 0) return m_error.empty();
  const int rc = ::close(m_fd);
  m_fd = -1;
  if (rc != 0 && m_error.empty()) return Fail("cannot close", errno);
  return m_error.empty();
}

// ---- reader ----

CPcapngReader::~CPcapngReader() {
  if (m_file) std::fclose(m_file);
}

CPcapngReader::Next CPcapngReader::Fail(const std::string& what) {
  m_error = what;
  return Next::Error;
}

uint32_t CPcapngReader::U32(const uint8_t* p) const {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return m_swap ? __builtin_bswap32(v) : v;
}
uint16_t CPcapngReader::U16(const uint8_t* p) const {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return m_swap ? __builtin_bswap16(v) : v;
}

bool CPcapngReader::Open(const std::string& path) {
  if (m_file) std::fclose(m_file);
  m_file = nullptr;
  m_error.clear();
  m_offset = 0;
  m_truncated = false;
  m_skipped = 0;
  m_interfaces.clear();
  m_file = std::fopen(path.c_str(), "rbe");
  if (!m_file) {
    m_error = Describe("cannot open " + path, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fileno(m_file), &st) != 0 || !S_ISREG(st.st_mode)) {
    m_error = path + " is not a regular file";
    return false;
  }
  m_fileSize = uint64_t(st.st_size);
  uint8_t head[4];
  if (std::fread(head, 1, 4, m_file) != 4 || std::memcmp(head, "\x0A\x0D\x0D\x0A", 4) != 0) {
    m_error = path + " is not a pcapng capture";
    return false;
  }
  std::rewind(m_file);
  return true;
}

// Reads one whole block; its body is what lies between the length fields. `atEnd` is set
// at a clean end of the file or a cut-off last block (then m_truncated is set).
bool CPcapngReader::ReadBlock(uint32_t& type, std::vector<uint8_t>& body, bool& atEnd) {
  atEnd = false;
  const uint64_t left = m_fileSize - m_offset;
  if (left == 0) {
    atEnd = true;
    return true;
  }
  uint8_t head[12];
  const size_t want = left >= 12 ? 12 : size_t(left);
  if (std::fread(head, 1, want, m_file) != want) {
    m_error = "cannot read the capture";
    return false;
  }
  if (want < 12) {
    m_truncated = atEnd = true;
    return true;
  }
  std::memcpy(&type, head, 4);  // the section header's type reads the same either way
  if (type == kSectionHeader) {
    uint32_t magic;
    std::memcpy(&magic, head + 8, 4);
    if (magic == kByteOrderMagic) {
      m_swap = false;
    } else if (magic == kByteOrderSwapped) {
      m_swap = true;
    } else {
      m_error = "bad byte-order mark at offset " + std::to_string(m_offset);
      return false;
    }
  } else {
    type = U32(head);
  }
  const uint32_t total = U32(head + 4);
  if (total < 12 || total % 4 != 0 || total > kMaxBlockBytes) {
    m_error = "bad block length " + std::to_string(total) + " at offset " +
              std::to_string(m_offset);
    return false;
  }
  if (total > left) {
    m_truncated = atEnd = true;
    return true;
  }
  body.resize(total - 8);
  std::memcpy(body.data(), head + 8, 4);
  const size_t rest = total - 12;
  if (rest && std::fread(body.data() + 4, 1, rest, m_file) != rest) {
    m_error = "cannot read the capture";
    return false;
  }
  uint32_t trailer;
  std::memcpy(&trailer, body.data() + body.size() - 4, 4);
  if (m_swap) trailer = __builtin_bswap32(trailer);
  if (trailer != total) {
    m_error = "block lengths disagree at offset " + std::to_string(m_offset);
    return false;
  }
  body.resize(body.size() - 4);
  m_offset += total;
  return true;
}

bool CPcapngReader::OnSection(const std::vector<uint8_t>& body) {
  if (body.size() < 16 || U16(body.data() + 4) != 1) {
    m_error = "unsupported section header";
    return false;
  }
  m_interfaces.clear();  // interface numbers start again in every section
  return true;
}

bool CPcapngReader::OnInterface(const std::vector<uint8_t>& body) {
  if (body.size() < 8) {
    m_error = "short interface description";
    return false;
  }
  if (m_interfaces.size() >= 65536) {
    m_error = "too many interfaces";
    return false;
  }
  Interface itf;
  itf.linkType = U16(body.data());
  size_t at = 8;
  while (at + 4 <= body.size()) {
    const uint16_t code = U16(body.data() + at);
    const uint16_t len = U16(body.data() + at + 2);
    at += 4;
    if (code == kOptEnd || len > body.size() - at) break;
    if (code == kOptIfTsResol && len >= 1) {
      const uint8_t v = body[at];
      itf.base2 = (v & 0x80) != 0;
      itf.exp = v & 0x7F;
    }
    at += (size_t(len) + 3) & ~size_t(3);
  }
  m_interfaces.push_back(itf);
  return true;
}

int64_t CPcapngReader::ToMicroseconds(const Interface& itf, uint64_t ticks) const {
  using Wide = unsigned __int128;  // ticks times a million fits whatever the resolution
  const Wide t = ticks;
  Wide us;
  if (itf.base2) {
    us = itf.exp >= 64 ? 0 : (t * 1000000u) >> itf.exp;
  } else if (itf.exp <= 6) {
    Wide scale = 1;
    for (int i = itf.exp; i < 6; ++i) scale *= 10;
    us = t * scale;
  } else {
    Wide scale = 1;
    for (int i = 6; i < itf.exp && scale <= t; ++i) scale *= 10;
    us = t / scale;
  }
  return us > Wide(INT64_MAX) ? INT64_MAX : int64_t(us);
}

CPcapngReader::Next CPcapngReader::OnPacket(const std::vector<uint8_t>& body, Frame& frame) {
  if (body.size() < 20) return Fail("short packet block at offset " + std::to_string(m_blockAt));
  const uint32_t id = U32(body.data());
  if (id >= m_interfaces.size())
    return Fail("packet on an undescribed interface at offset " + std::to_string(m_blockAt));
  const Interface& itf = m_interfaces[id];
  const uint32_t captured = U32(body.data() + 12);
  if (captured > body.size() - 20)
    return Fail("packet longer than its block at offset " + std::to_string(m_blockAt));
  if (itf.linkType != kLinkTypeSerial) {
    ++m_skipped;
    return Next::End;  // the caller reads on
  }
  if (captured < 1 || body[20] > kFromCamera)
    return Fail("packet without a direction at offset " + std::to_string(m_blockAt));
  const uint64_t ticks = (uint64_t(U32(body.data() + 4)) << 32) | U32(body.data() + 8);
  frame.direction = body[20] == kToCamera ? Direction::ToCamera : Direction::FromCamera;
  frame.timeUs = ToMicroseconds(itf, ticks);
  frame.bytes.assign(body.begin() + 21, body.begin() + 20 + captured);
  return Next::Frame;
}

CPcapngReader::Next CPcapngReader::Read(Frame& frame) {
  if (!m_file || !m_error.empty()) return Next::Error;
  for (;;) {
    uint32_t type = 0;
    bool atEnd = false;
    m_blockAt = m_offset;
    if (!ReadBlock(type, m_body, atEnd)) return Next::Error;
    if (atEnd) return Next::End;
    if (m_blockAt == 0 && type != kSectionHeader) return Fail("not a pcapng capture");
    if (type == kSectionHeader) {
      if (!OnSection(m_body)) return Next::Error;
    } else if (type == kInterfaceDescription) {
      if (!OnInterface(m_body)) return Next::Error;
    } else if (type == kEnhancedPacket) {
      const Next n = OnPacket(m_body, frame);
      if (n != Next::End) return n;  // End: a packet of another link type, skipped
    } else if (type == kSimplePacket) {
      ++m_skipped;  // no time stamp and no interface of ours to speak of
    }
    // Other blocks (statistics, name resolution, custom) say nothing about the frames.
  }
}

bool ReadFile(const std::string& path, std::vector<Frame>& frames, std::string& error,
              bool* truncated) {
  frames.clear();
  CPcapngReader reader;
  if (!reader.Open(path)) {
    error = reader.Error();
    return false;
  }
  Frame frame;
  for (;;) {
    const auto next = reader.Read(frame);
    if (next == CPcapngReader::Next::Error) {
      error = reader.Error();
      return false;
    }
    if (next == CPcapngReader::Next::End) break;
    frames.push_back(std::move(frame));
  }
  if (truncated) *truncated = reader.Truncated();
  error.clear();
  return true;
}

}  // namespace pcapng
