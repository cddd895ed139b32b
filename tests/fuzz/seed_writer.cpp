// Writes the fuzz seed corpora from real frames: pictures the virtual camera encodes, the
// bitmaps the decoder makes of them, version texts of every model family, and reply
// scripts of whole captures and settings exchanges as the engine receives them.
// Usage: seed_writer <corpus folder>   (creates <folder>/{jpeg,dib,model,replies})
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../support/jpeg_test_util.h"
#include "camsim/CamSimPicture.h"
#include "imaging/JpegFile.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::string g_root;

void Write(const std::string& sub, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(g_root + "/" + sub);
  std::ofstream out(g_root + "/" + sub + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Jpeg(int w, int h, int quality, unsigned frame = 1) {
  camsim::PictureWindow win;
  win.fullWidth = win.width = w;
  win.fullHeight = win.height = h;
  return camsim::EncodePatternJpeg(win, frame, quality);
}

Bytes Nv12(int w, int h) {
  camsim::PictureWindow win;
  win.fullWidth = win.width = w;
  win.fullHeight = win.height = h;
  return camsim::RenderPatternNv12(win, 2);
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// ---- reply scripts (the fuzz_replies input format) ----
enum : uint8_t { kPass = 0xC0, kSingleCapture = 0xE0, kStop = 0xE1, kReadStored = 0xE2 };
uint8_t QueueOp(int code) { return static_cast<uint8_t>(0x80 | code); }

struct Script {
  Bytes bytes;
  // state: capture mode index, flags (type, transmit, continuous, detection), read
  // index, stored count, detect type, serial number, delay / 10, multi-capture photos
  Script(uint8_t modeIndex, int imageType, int transmit, uint8_t sn = 0) {
    bytes = {modeIndex, static_cast<uint8_t>(imageType | (transmit << 1)), 0, 0, 0, sn, 0, 3};
  }
  void Queue(int code) { bytes.push_back(QueueOp(code)); }
  void Op(uint8_t op) { bytes.push_back(op); }
  // Received bytes in chunks of at most `chunk` (1..128).
  void Receive(const Bytes& data, size_t chunk = 128) {
    for (size_t i = 0; i < data.size(); i += chunk) {
      const size_t n = std::min(chunk, data.size() - i);
      bytes.push_back(static_cast<uint8_t>(n - 1));
      bytes.insert(bytes.end(), data.begin() + static_cast<long>(i),
                   data.begin() + static_cast<long>(i + n));
    }
  }
};

Bytes BlockAnswer(const Bytes& picture, size_t address, size_t length, uint8_t sn) {
  Bytes a{0x76, sn, 0x32, 0x00, 0x00};
  a.insert(a.end(), picture.begin() + static_cast<long>(address),
           picture.begin() + static_cast<long>(address + length));
  Append(a, {0x76, sn, 0x32, 0x00, 0x00});
  return a;
}

// A whole capture as the camera answers it: stop, length, every block, resume.
Bytes CaptureScript(const Bytes& picture, int transmit, int imageType, int w, int h, uint8_t sn) {
  static const size_t kBlocks[] = {0, 512, 2048, 4096, 8192, 10240};
  Script s(1, imageType, transmit, sn);
  s.Op(kSingleCapture);
  s.Receive({0x76, sn, 0x36, 0x00, 0x00});
  const uint32_t len = static_cast<uint32_t>(picture.size());
  Bytes lengthReply{0x76, sn, 0x34, 0x00, static_cast<uint8_t>(imageType ? 0x0A : 0x04),
                    uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)};
  if (imageType) Append(lengthReply, {uint8_t(w >> 8), uint8_t(w), uint8_t(h >> 8), uint8_t(h)});
  s.Receive(lengthReply);
  s.Queue(transmit == 0 ? 6 : 19);  // what the sender thread queues once the length is known
  s.Op(kPass);
  const size_t block = transmit == 0 ? picture.size() : kBlocks[transmit];
  for (size_t at = 0; at < picture.size(); at += block)
    s.Receive(BlockAnswer(picture, at, std::min(block, picture.size() - at), sn), 97);
  s.Receive({0x76, sn, 0x36, 0x00, 0x00});
  return s.bytes;
}

void WriteReplySeeds() {
  const Bytes small = Jpeg(48, 32, 40);
  for (int t = 0; t < 6; ++t)
    Write("replies", "capture_jpeg_mode" + std::to_string(t), CaptureScript(small, t, 0, 48, 32, 0));
  Write("replies", "capture_nv12", CaptureScript(Nv12(16, 8), 1, 1, 16, 8, 3));

  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  {
    Script s(0, 0, 1);
    s.Queue(1);
    Bytes reply{0x76, 0x00, 0x26, 0x00};
    Append(reply, text("\r\nVersion:QVX2M2 2.05\r\nInit end\r\n"));
    s.Receive(reply, 9);
    s.Queue(20);
    Bytes version{0x76, 0x00, 0x11, 0x00, 0x0B};
    Append(version, text("QVX3M0E 1.7"));
    s.Receive(version);
    Write("replies", "reset_and_version", s.bytes);
  }
  {
    Script s(0, 0, 1);
    s.Receive({0x76, 0x00, 0x39, 0x00, 0x02});  // motion report, two pictures stored
    s.Op(kPass);
    s.Receive({0x76, 0x00, 0x37, 0x00, 0x00});
    s.Op(kReadStored);
    s.Receive({0x76, 0x00, 0x39, 0x03, 0x01, 0x02, 0x01});
    s.Receive({0x76, 0x00, 0x92, 0x02, 0x01, 0x03});  // auto-capture report
    Append(s.bytes, {0xE4, 0x01});
    s.Receive(text("Error\r\nsion:QVX5M0 1.2\r\n"));
    Write("replies", "unsolicited_reports", s.bytes);
  }
  {
    Script s(0, 0, 1);
    const std::vector<std::pair<int, Bytes>> exchanges = {
        {29, {0x76, 0x00, 0x90, 0x07, 0x00, 0x01, 0x11, 0xAE, 0xC8, 0x36, 0x02}},
        {24, {0x76, 0x00, 0x8B, 0x0E, 0x02, 0x01, 0x00, 0x10, 0x00, 0x20, 0x01, 0x40, 0x00, 0xF0,
              0x02, 0x80, 0x01, 0xE0}},
        {23, {0x76, 0x00, 0x8B, 0x02, 0x01, 0x03}},
        {31, {0x76, 0x00, 0x90, 0x0C, 0x04, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {27, {0x76, 0x00, 0x90, 0x0C, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {30, {0x76, 0x00, 0x91, 0x02, 0x04, 0x01}},
        {25, {0x76, 0x00, 0x91, 0x01, 0x00}},
        {13, {0x76, 0x00, 0x31, 0x00, 0x00}},
        {14, {0x76, 0x00, 0x37, 0x00, 0x00}},
        {12, {0x76, 0x00, 0x31, 0x00, 0x00}},
        {10, {0x76, 0x00, 0x31, 0x00}},
        {33, {0x76, 0x00, 0x93, 0x03, 0x03, 0x01, 0x00}},
        {4, {0x76, 0x00, 0x34, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const auto& [code, reply] : exchanges) {
      s.Queue(code);
      s.Receive(reply);
    }
    Write("replies", "settings_exchanges", s.bytes);
  }
  {
    // A transfer stopped by the operator half-way, then a new capture.
    Bytes picture = Jpeg(48, 32, 40);
    Bytes script = CaptureScript(picture, 1, 0, 48, 32, 0);
    script.resize(script.size() / 2);
    script.push_back(kStop);
    Append(script, {0x7F});
    script.insert(script.end(), 128, 0x55);
    Write("replies", "stopped_transfer", script);
  }
}

void WriteImageSeeds() {
  auto prefixed = [](uint8_t first, const Bytes& rest) {
    Bytes b{first};
    Append(b, rest);
    return b;
  };
  const Bytes a = Jpeg(48, 32, 40), b = Jpeg(40, 24, 90, 7), c = Jpeg(17, 9, 75, 3);
  Write("jpeg", "pattern_48x32_q40", prefixed(0, a));
  Write("jpeg", "pattern_40x24_q90", prefixed(0, b));
  Write("jpeg", "pattern_17x9_q75", prefixed(0, c));
  Write("jpeg", "pattern_truncated", prefixed(0, Bytes(a.begin(), a.begin() + a.size() / 2)));
  // Progressive pictures of many scans: at the decoder's scan limit, one past it, and one
  // scan sent again and again (the slow decode a hostile file asks for).
  const Bytes rgb = jpegtest::MakePhotoLikeRgb(24, 16);
  for (int scans : {kMaxJpegScans, kMaxJpegScans + 1}) {
    jpegtest::JpegOptions options;
    options.scans = scans;
    Write("jpeg", "scans_" + std::to_string(scans),
          prefixed(0, jpegtest::EncodeJpeg(rgb.data(), 24, 16, 3, options)));
  }
  Write("jpeg", "repeated_scan_x150", prefixed(0, jpegtest::RepeatedScanJpeg(rgb.data(), 24, 16, 150)));
  for (auto [w, h] : {std::pair{16, 8}, std::pair{32, 24}, std::pair{6, 4}}) {
    Bytes s{1, uint8_t(w >> 8), uint8_t(w), uint8_t(h >> 8), uint8_t(h)};
    Append(s, Nv12(w, h));
    Write("jpeg", "nv12_" + std::to_string(w) + "x" + std::to_string(h), s);
  }

  // Bitmaps as the decoder makes them, plus the header forms the view also reads.
  const std::string tmp = g_root + "/seed.jpg";
  {
    std::ofstream out(tmp, std::ios::binary);
    out.write(reinterpret_cast<const char*>(c.data()), static_cast<std::streamsize>(c.size()));
  }
  CJpegFile decoder;
  if (decoder.LoadImageToDib(tmp)) {
    const DibBlock* block = decoder.m_pDib->GetHandle();
    Write("dib", "decoded_17x9_24bit", Bytes(block->begin(), block->end()));
  }
  std::filesystem::remove(tmp);
  auto le = [](Bytes& v, uint32_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  };
  {
    Bytes d;  // 8-bit, 4 colours used, 5x3
    le(d, 40, 4); le(d, 5, 4); le(d, 3, 4); le(d, 1, 2); le(d, 8, 2);
    le(d, 0, 4); le(d, 24, 4); le(d, 0, 4); le(d, 0, 4); le(d, 4, 4); le(d, 0, 4);
    for (int i = 0; i < 4; ++i) le(d, 0x00102030u * i, 4);
    for (int i = 0; i < 24; ++i) d.push_back(static_cast<uint8_t>(i & 3));
    Write("dib", "info_8bit_palette", d);
  }
  {
    Bytes d;  // core header, 1-bit, 9x2
    le(d, 12, 4); le(d, 9, 2); le(d, 2, 2); le(d, 1, 2); le(d, 1, 2);
    Append(d, {0, 0, 0, 255, 255, 255});
    Append(d, {0xAA, 0x80, 0, 0, 0x55, 0x00, 0, 0});
    Write("dib", "core_1bit", d);
  }
}

void WriteModelSeeds() {
  const char* texts[] = {"QVX2M0 1.05", "QVX1M0 2.1", "QVX2M2 3.07",  "QVX2M2E 1.2",
                         "QVX3M0 1.9",  "QVX3M0E 2.0", "QVX5M0 1.11", "QVX5M0E 1.3",
                         "QVX09-200 1.7", "QVX09E-200 2.2", "QVX09-130 1.6", "QVX09E-130 1.0",
                         "QVX09-30 1.3", "QVX8M0 1.14", "QVX1M3 2.5", "QVX0806NB", "V2.11"};
  int i = 0;
  for (const char* t : texts) {
    Bytes b{5, 0, 1, 0};
    b.insert(b.end(), t, t + std::strlen(t));
    Write("model", "version_" + std::to_string(i++), b);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  WriteReplySeeds();
  WriteImageSeeds();
  WriteModelSeeds();
  return 0;
}
