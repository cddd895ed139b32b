#pragma once
// Test pictures for the imaging tests and benchmarks: synthetic photo-like pixels, JPEG
// files made with libjpeg's compressor, NV12 frames, a scratch folder and a message sink
// that records boxes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "common/MessageSink.h"
#include "test_files.h"

namespace jpegtest {

struct JpegOptions {
  int quality = 85;
  int hSampling = 2;  // luma sampling factors: 2,2 is 4:2:0; 2,1 is 4:2:2; 1,1 is 4:4:4
  int vSampling = 2;
  bool progressive = false;
  // A progressive picture of exactly this many scans (2..190): the DC scan, then one scan
  // per AC coefficient of one component at a time. Legal, and as slow to decode as its
  // scan count makes it.
  int scans = 0;
  // An explicit scan script (wins over `scans`).
  std::vector<jpeg_scan_info> script;
};

// The scan script behind JpegOptions::scans (the compressor reads it until the end).
inline std::vector<jpeg_scan_info> ManyScans(int scans, int components) {
  std::vector<jpeg_scan_info> script(static_cast<size_t>(scans));
  script[0].comps_in_scan = components;
  for (int c = 0; c < components; ++c) script[0].component_index[c] = c;
  for (int i = 1; i < scans; ++i) {
    jpeg_scan_info& s = script[static_cast<size_t>(i)];
    s.comps_in_scan = 1;
    s.component_index[0] = (i - 1) % components;
    s.Ss = s.Se = 1 + (i - 1) / components;
  }
  return script;
}

// pixels: width * height * components bytes, top row first; components 1 (gray), 3 (RGB)
// or 4 (CMYK).
inline std::vector<uint8_t> EncodeJpeg(const uint8_t* pixels, int width, int height,
                                       int components, const JpegOptions& options = {}) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* mem = nullptr;
  unsigned long memSize = 0;
  jpeg_mem_dest(&cinfo, &mem, &memSize);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 4 ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, options.quality, TRUE);
  if (components == 3) {
    cinfo.comp_info[0].h_samp_factor = options.hSampling;
    cinfo.comp_info[0].v_samp_factor = options.vSampling;
  }
  if (options.progressive) jpeg_simple_progression(&cinfo);
  const std::vector<jpeg_scan_info> script =
      !options.script.empty() ? options.script
      : options.scans > 0     ? ManyScans(options.scans, components)
                              : std::vector<jpeg_scan_info>();
  if (!script.empty()) {
    cinfo.scan_info = script.data();
    cinfo.num_scans = static_cast<int>(script.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  const size_t rowBytes = static_cast<size_t>(width) * components;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(pixels + cinfo.next_scanline * rowBytes);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<uint8_t> out(mem, mem + memSize);
  std::free(mem);
  return out;
}

// A hostile progressive picture: the luma's AC refinement scan sent `extra` more times.
// The decoder warns of the bogus progression and goes on, and a refinement scan visits
// every coefficient of every block whatever it carries: hundreds of copies make a small
// file that takes a long time to decode.
inline std::vector<uint8_t> RepeatedScanJpeg(const uint8_t* rgb, int width, int height,
                                             int extra, int quality = 75) {
  JpegOptions options;
  options.quality = quality;
  options.script.resize(5);
  std::vector<jpeg_scan_info>& script = options.script;
  script[0].comps_in_scan = 3;
  for (int c = 0; c < 3; ++c) script[0].component_index[c] = c;
  const int ac[4][3] = {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}, {2, 0, 0}};  // component, Ah, Al
  for (int i = 0; i < 4; ++i) {
    jpeg_scan_info& scan = script[static_cast<size_t>(1 + i)];
    scan.comps_in_scan = 1;
    scan.component_index[0] = ac[i][0];
    scan.Ss = 1;
    scan.Se = 63;
    scan.Ah = ac[i][1];
    scan.Al = ac[i][2];
  }
  std::vector<uint8_t> out = EncodeJpeg(rgb, width, height, 3, options);
  // The third start-of-scan is the refinement; it runs to the next marker that is not a
  // stuffed byte or a restart marker (the Huffman table it uses stays defined).
  size_t sos = 0;
  for (size_t i = 0, seen = 0; i + 1 < out.size(); ++i)
    if (out[i] == 0xFF && out[i + 1] == 0xDA && ++seen == 3) {
      sos = i;
      break;
    }
  size_t end = sos + 2;
  while (end + 1 < out.size() &&
         !(out[end] == 0xFF && out[end + 1] != 0x00 && (out[end + 1] < 0xD0 || out[end + 1] > 0xD7)))
    ++end;
  const std::vector<uint8_t> scan(out.begin() + static_cast<long>(sos),
                                  out.begin() + static_cast<long>(end));
  for (int i = 0; i < extra; ++i)
    out.insert(out.begin() + static_cast<long>(end), scan.begin(), scan.end());
  return out;
}

// A picture that is slow to decode yet small to send: smooth gradients and checks (little
// data per scan) with `extra` copies of a refinement scan over width x height pixels.
inline std::vector<uint8_t> SlowToDecodeJpeg(int width, int height, int extra) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(x * 255 / width);
      p[1] = static_cast<uint8_t>(y * 255 / height);
      p[2] = ((x / 64 + y / 64) & 1) ? 200 : 60;
    }
  return RepeatedScanJpeg(rgb.data(), width, height, extra);
}

// Smooth gradients, a few flat shapes with hard edges and mild noise: compresses and
// decodes like a photograph rather than like noise or a flat card.
inline std::vector<uint8_t> MakePhotoLikeRgb(int width, int height, uint32_t seed = 1) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-6, 6);
  const int cx = width / 3, cy = height / 2, radius = std::max(1, std::min(width, height) / 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      int r = 40 + 180 * x / std::max(1, width - 1);
      int g = 60 + 150 * y / std::max(1, height - 1);
      int b = 200 - 120 * (x + y) / std::max(1, width + height - 2);
      const int dx = x - cx, dy = y - cy;
      if (dx * dx + dy * dy < radius * radius) { r = 230; g = 200; b = 40; }
      if (x > width * 2 / 3 && y > height / 5 && y < height * 3 / 5) { r = 30; g = 90; b = 160; }
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(std::clamp(r + noise(rng), 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(g + noise(rng), 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(b + noise(rng), 0, 255));
    }
  return rgb;
}

// A frame of w * h * 3 / 2 bytes: smooth luma with noise, slowly varying chroma.
inline std::vector<uint8_t> MakeNv12Frame(int width, int height, uint32_t seed = 1) {
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3 / 2);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-8, 8);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      frame[static_cast<size_t>(y) * width + x] =
          static_cast<uint8_t>(std::clamp(20 + 215 * (x + y) / std::max(1, width + height - 2) +
                                              noise(rng), 0, 255));
  for (size_t i = static_cast<size_t>(width) * height; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>(std::clamp(128 + (static_cast<int>(i % 97) - 48) + noise(rng),
                                               0, 255));
  return frame;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

struct RecordedBox {
  std::string text;
  std::string caption;
  MsgIcon icon;
};

// Records every box; safe to call from any thread.
class RecordingSink : public MessageSink {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back({text, caption, icon});
    return IDOK;
  }
  std::vector<RecordedBox> Boxes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.clear();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<RecordedBox> m_boxes;
};

}  // namespace jpegtest
