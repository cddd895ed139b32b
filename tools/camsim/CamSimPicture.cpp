#include "camsim/CamSimPicture.h"

#include <dirent.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <jpeglib.h>

namespace camsim {

int QualityForCompression(uint8_t compression) {
  int c = std::clamp<int>(compression, 0x36, 0x8F);
  return 95 - (c - 0x36) * 85 / (0x8F - 0x36);
}

namespace {

// 5x7 digits, one byte per row, bit 4 = leftmost column.
const uint8_t kDigitFont[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

const uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                             {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};

// Where the frame number sits in the full picture; it moves with the number.
struct Label {
  std::string digits;
  int scale = 1;  // pixels per font dot
  int x = 0, y = 0, width = 0, height = 0;
};

Label PlaceLabel(const PictureWindow& w, unsigned frame) {
  Label label;
  label.digits = std::to_string(frame);
  label.scale = std::max(1, w.fullHeight / 40);
  int n = static_cast<int>(label.digits.size());
  label.width = (n * 6 + 1) * label.scale;
  label.height = 9 * label.scale;
  int room = std::max(1, w.fullWidth - label.width);
  label.x = static_cast<int>((frame * 7919u) % static_cast<unsigned>(room));
  label.y = w.fullHeight / 8;
  return label;
}

uint8_t ZonePlate(unsigned phase) {
  static const auto table = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(127.5 + 127.5 * std::sin(i * 2 * M_PI / 256));
    return t;
  }();
  return table[phase & 255];
}

void RenderRow(const PictureWindow& w, const Label& label, unsigned frame, int row, uint8_t* rgb) {
  const int y = w.y + row;
  const bool bars = y < w.fullHeight * 2 / 3;
  for (int col = 0; col < w.width; ++col) {
    const int x = w.x + col;
    uint8_t* p = rgb + static_cast<size_t>(col) * 3;
    if (bars) {
      const uint8_t* c = kBars[std::min(7, x * 8 / std::max(1, w.fullWidth))];
      p[0] = c[0], p[1] = c[1], p[2] = c[2];
    } else if (x < w.fullWidth / 2) {
      uint8_t v = static_cast<uint8_t>(x * 255 / std::max(1, w.fullWidth - 1));
      p[0] = p[1] = p[2] = v;
    } else {
      // Zone plate: fine detail so the picture size follows the compression setting, and
      // a phase that moves with the frame number.
      int dx = x - w.fullWidth * 3 / 4, dy = y - w.fullHeight * 5 / 6;
      unsigned phase = static_cast<unsigned>(dx * dx + dy * dy) / 16 + frame * 16;
      uint8_t v = ZonePlate(phase);
      p[0] = v;
      p[1] = static_cast<uint8_t>(255 - v);
      p[2] = 128;
    }
  }
  // Frame number: white dots on a black box.
  if (y < label.y || y >= label.y + label.height) return;
  int fontRow = (y - label.y) / label.scale - 1;
  int from = std::max(label.x, w.x), to = std::min(label.x + label.width, w.x + w.width);
  for (int x = from; x < to; ++x) {
    uint8_t* p = rgb + static_cast<size_t>(x - w.x) * 3;
    int dotX = (x - label.x) / label.scale - 1;
    bool lit = false;
    if (fontRow >= 0 && fontRow < 7 && dotX >= 0) {
      int digit = dotX / 6, column = dotX % 6;
      if (digit < static_cast<int>(label.digits.size()) && column < 5)
        lit = (kDigitFont[label.digits[digit] - '0'][fontRow] >> (4 - column)) & 1;
    }
    p[0] = p[1] = p[2] = lit ? 255 : 0;
  }
}

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
  longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

}  // namespace

void RenderPatternRow(const PictureWindow& window, unsigned frame, int row, uint8_t* rgb) {
  RenderRow(window, PlaceLabel(window, frame), frame, row, rgb);
}

std::vector<uint8_t> EncodePatternJpeg(const PictureWindow& window, unsigned frame, int quality) {
  if (window.width <= 0 || window.height <= 0) return {};
  const Label label = PlaceLabel(window, frame);
  std::vector<uint8_t> row(static_cast<size_t>(window.width) * 3);

  jpeg_compress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = OnJpegError;
  // Heap-held so its contents stay defined after a longjmp back here.
  struct MemorySink {
    unsigned char* out = nullptr;
    unsigned long size = 0;
  };
  auto sink = std::make_unique<MemorySink>();
  volatile bool created = false;
  if (setjmp(error.jump)) {
    if (created) jpeg_destroy_compress(&info);
    free(sink->out);
    return {};
  }
  jpeg_create_compress(&info);
  created = true;
  jpeg_mem_dest(&info, &sink->out, &sink->size);
  info.image_width = static_cast<JDIMENSION>(window.width);
  info.image_height = static_cast<JDIMENSION>(window.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    RenderRow(window, label, frame, static_cast<int>(info.next_scanline), row.data());
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> bytes(sink->out, sink->out + sink->size);
  free(sink->out);
  return bytes;
}

std::vector<uint8_t> RenderPatternNv12(const PictureWindow& window, unsigned frame) {
  const int w = window.width & ~1, h = window.height & ~1;
  if (w <= 0 || h <= 0) return {};
  const Label label = PlaceLabel(window, frame);
  const size_t lumaSize = static_cast<size_t>(w) * h;
  std::vector<uint8_t> out(lumaSize + lumaSize / 2);
  std::vector<uint8_t> rgb(static_cast<size_t>(window.width) * 3);
  for (int row = 0; row < h; ++row) {
    RenderRow(window, label, frame, row, rgb.data());
    uint8_t* luma = out.data() + static_cast<size_t>(row) * w;
    uint8_t* chroma = out.data() + lumaSize + static_cast<size_t>(row / 2) * w;
    for (int col = 0; col < w; ++col) {
      int r = rgb[col * 3], g = rgb[col * 3 + 1], b = rgb[col * 3 + 2];
      luma[col] = static_cast<uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8);
      // Chroma from the top-left pixel of each 2x2 block.
      if ((row & 1) == 0 && (col & 1) == 0) {
        chroma[col] = static_cast<uint8_t>(std::clamp(((-43 * r - 85 * g + 128 * b + 128) >> 8) + 128, 0, 255));
        chroma[col + 1] = static_cast<uint8_t>(std::clamp(((128 * r - 107 * g - 21 * b + 128) >> 8) + 128, 0, 255));
      }
    }
  }
  return out;
}

bool JpegDimensions(const std::vector<uint8_t>& jpeg, int& width, int& height) {
  size_t i = 2;
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
  while (i + 4 <= jpeg.size()) {
    if (jpeg[i] != 0xFF) return false;
    uint8_t marker = jpeg[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      i += 2;
      continue;
    }
    size_t length = (static_cast<size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3];
    bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (startOfFrame) {
      if (i + 9 > jpeg.size()) return false;
      height = (jpeg[i + 5] << 8) | jpeg[i + 6];
      width = (jpeg[i + 7] << 8) | jpeg[i + 8];
      return true;
    }
    if (marker == 0xD9 || marker == 0xDA || length < 2) return false;
    i += 2 + length;
  }
  return false;
}

std::vector<std::string> ListJpegFiles(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return files;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    auto endsWith = [&](const char* suffix) {
      size_t n = std::strlen(suffix);
      return lower.size() > n && lower.compare(lower.size() - n, n, suffix) == 0;
    };
    if (endsWith(".jpg") || endsWith(".jpeg")) files.push_back(folder + "/" + name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  bytes.clear();
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

}  // namespace camsim
