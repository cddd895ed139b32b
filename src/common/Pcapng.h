#pragma once
// Serial traffic as a pcapng capture, so it opens in Wireshark and tshark.
//
// One section, one interface of link type LINKTYPE_USER0 (147), one enhanced packet block
// per frame. Every packet starts with a one-byte header saying which way the bytes went:
//   0x00  to the camera (what the host wrote)
//   0x01  from the camera (what the host read)
// then the bytes exactly as they crossed the line. The same direction is also in the block's
// flags (outbound / inbound), which Wireshark shows without any dissector. Time stamps are
// microseconds since the epoch (the interface's default resolution, also written out).
//
// Neither class needs the engine, Qt or anything above src/common, so the virtual camera
// links them too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pcapng {

constexpr uint32_t kLinkTypeSerial = 147;  // LINKTYPE_USER0: the header above
constexpr uint8_t kToCamera = 0x00;
constexpr uint8_t kFromCamera = 0x01;
// The largest block either side handles; a longer one in a file is refused, not allocated.
constexpr size_t kMaxBlockBytes = size_t(64) << 20;
// The most bytes one packet carries (the block, its header and options fit in the above).
constexpr size_t kMaxFrameBytes = kMaxBlockBytes - 4096;

enum class Direction { ToCamera, FromCamera };

struct Frame {
  Direction direction = Direction::ToCamera;
  int64_t timeUs = 0;  // microseconds since the epoch
  std::vector<uint8_t> bytes;
};

// Microseconds since the epoch, now.
int64_t NowUs();

// Writes a capture as it goes: every packet reaches the file (one write) before Write
// returns, so a session that ends badly keeps every frame written before.
class CPcapngWriter {
 public:
  CPcapngWriter() = default;
  ~CPcapngWriter();
  CPcapngWriter(const CPcapngWriter&) = delete;
  CPcapngWriter& operator=(const CPcapngWriter&) = delete;

  // Creates (or replaces) `path` and writes the section header and the interface.
  // `application` names the writer (shb_userappl), `port` the line (if_name); either may be
  // empty. False with Error() set when the file cannot be made.
  bool Open(const std::string& path, const std::string& application = {},
            const std::string& port = {});
  // One packet. Bytes beyond kMaxFrameBytes go in further packets of the same direction
  // and time, so nothing is lost. False (and Error()) once a write fails; later calls do
  // nothing and return false.
  bool Write(Direction direction, int64_t timeUs, const uint8_t* bytes, size_t count);
  bool Write(const Frame& frame) {
    return Write(frame.direction, frame.timeUs, frame.bytes.data(), frame.bytes.size());
  }
  bool Close();
  bool IsOpen() const { return m_fd >= 0; }
  const std::string& Error() const { return m_error; }
  uint64_t FramesWritten() const { return m_frames; }

 private:
  bool WriteAll(const std::vector<uint8_t>& block);
  bool Fail(const std::string& what, int err);

  int m_fd = -1;
  std::string m_path;
  std::string m_error;
  uint64_t m_frames = 0;
  std::vector<uint8_t> m_block;  // reused for every packet
};

// Reads a capture frame by frame, without holding more than one block in memory. Every
// length in the file is checked against the file and kMaxBlockBytes before it is believed.
// Packets on interfaces of another link type are skipped (counted in Skipped()).
class CPcapngReader {
 public:
  enum class Next { Frame, End, Error };

  CPcapngReader() = default;
  ~CPcapngReader();
  CPcapngReader(const CPcapngReader&) = delete;
  CPcapngReader& operator=(const CPcapngReader&) = delete;

  // False (Error() set) when the file cannot be opened or does not start as pcapng.
  bool Open(const std::string& path);
  // The next frame; End at a clean end of the file. A file cut off inside its last block
  // (a writer that died mid-write) ends with End and Truncated() true.
  Next Read(Frame& frame);
  const std::string& Error() const { return m_error; }
  bool Truncated() const { return m_truncated; }
  uint64_t Skipped() const { return m_skipped; }

 private:
  struct Interface {
    uint32_t linkType = 0;
    // Time stamp units: 10^-exp seconds (base 10) or 2^-exp seconds.
    bool base2 = false;
    uint8_t exp = 6;
  };
  Next Fail(const std::string& what);
  bool ReadBlock(uint32_t& type, std::vector<uint8_t>& body, bool& atEnd);
  bool OnSection(const std::vector<uint8_t>& body);
  bool OnInterface(const std::vector<uint8_t>& body);
  Next OnPacket(const std::vector<uint8_t>& body, Frame& frame);
  uint32_t U32(const uint8_t* p) const;
  uint16_t U16(const uint8_t* p) const;
  int64_t ToMicroseconds(const Interface& itf, uint64_t ticks) const;

  FILE* m_file = nullptr;
  uint64_t m_fileSize = 0;
  uint64_t m_offset = 0;
  uint64_t m_blockAt = 0;  // where the block being read starts, for messages
  bool m_swap = false;  // the section was written in the other byte order
  bool m_truncated = false;
  uint64_t m_skipped = 0;
  std::string m_error;
  std::vector<Interface> m_interfaces;
  std::vector<uint8_t> m_body;
};

// Every frame of a capture. False with `error` set when the file is refused; a truncated
// file gives the frames before the cut (and `truncated`).
bool ReadFile(const std::string& path, std::vector<Frame>& frames, std::string& error,
              bool* truncated = nullptr);

}  // namespace pcapng
