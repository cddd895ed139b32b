#include "imaging/JpegFile.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <jpeglib.h>

#include "imaging/Nv12.h"

namespace {

constexpr const char* kOutOfMemory = "JpegFile :\nOut of memory";

std::string Format(const char* fmt, auto... args) {
  const int n = std::snprintf(nullptr, 0, fmt, args...);
  std::string s(n > 0 ? n : 0, '\0');
  std::snprintf(s.data(), s.size() + 1, fmt, args...);
  return s;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// ---- libjpeg error manager: boxes through the sink, fatal errors jump back ----

struct ErrorManager {
  jpeg_error_mgr pub;  // first member: the library's pointer converts back to the manager
  std::jmp_buf jump;
  MessageSink* boxes;
  void (*standardEmit)(j_common_ptr, int);
  std::string firstWarning;
};

// The stop flag of this thread's decodes (CDecodeStopScope).
thread_local const std::atomic<bool>* t_pDecodeStop = nullptr;

// Out of line so that every string it builds is destroyed before FatalError jumps.
[[gnu::noinline]] void ShowLibraryMessage(j_common_ptr cinfo, const char* caption, MsgIcon icon) {
  auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  if (manager->boxes) manager->boxes->ShowMessage(text, caption, icon, MsgButtons::Ok);
}

void FatalError(j_common_ptr cinfo) {
  ShowLibraryMessage(cinfo, "JPEG Fatal Error", MsgIcon::Error);
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// Called by the library's standard emit_message, which keeps its policy: the first warning
// of an image only (more at trace level 3 and up).
void OutputMessage(j_common_ptr cinfo) {
  ShowLibraryMessage(cinfo, "JPEG Error", MsgIcon::None);
}

// Every warning passes here; the first is kept for the caller (a damaged file decodes,
// filled with gray, and must not pass for a sound one). The box policy stays the library's.
void EmitMessage(j_common_ptr cinfo, int level) {
  auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (level < 0 && manager->firstWarning.empty()) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    manager->firstWarning = text;
  }
  manager->standardEmit(cinfo, level);
}

enum class Ended { No, Stopped, TooManyScans };

struct ProgressWatch {
  jpeg_progress_mgr pub;  // first member, as for the error manager
  Ended ended = Ended::No;
};

// Called between units of work (an MCU row of a scan, a scan line): where a decode that
// has gone on too long or is no longer wanted is left.
void WatchProgress(j_common_ptr cinfo) {
  auto* watch = reinterpret_cast<ProgressWatch*>(cinfo->progress);
  auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (t_pDecodeStop && t_pDecodeStop->load(std::memory_order_relaxed)) {
    watch->ended = Ended::Stopped;
    std::longjmp(manager->jump, 1);
  }
  if (cinfo->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxJpegScans) {
    watch->ended = Ended::TooManyScans;
    if (manager->boxes) {
      char text[96];
      std::snprintf(text, sizeof text, "The picture has more than %d scans; it is not decoded",
                    kMaxJpegScans);
      manager->boxes->ShowMessage(text, "JPEG Fatal Error", MsgIcon::Error, MsgButtons::Ok);
    }
    std::longjmp(manager->jump, 1);
  }
}

// Everything a decode changes lives here, outside the functions that call setjmp, so a jump
// back from FatalError finds it intact and its destructor releases it on every path.
struct JpegJob {
  ErrorManager err;
  ProgressWatch progress;
  jpeg_decompress_struct cinfo;
  FilePtr file;

  explicit JpegJob(MessageSink* boxes) {
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = FatalError;
    err.pub.output_message = OutputMessage;
    err.standardEmit = err.pub.emit_message;
    err.pub.emit_message = EmitMessage;
    err.boxes = boxes;
    std::memset(&progress.pub, 0, sizeof progress.pub);
    progress.pub.progress_monitor = WatchProgress;
  }
  JpegJob(const JpegJob&) = delete;
  JpegJob& operator=(const JpegJob&) = delete;
};

enum DecodeResult { kFatal = 0, kDecoded = 1, kNoMemory = -1 };

// Largest picture decoded: eight times the cameras' largest size (3840 x 2160). A header
// damaged on the line can claim up to 65535 x 65535 pixels, a 12 GB bitmap that would be
// decoded from filler for minutes or bring the machine to its knees; it is refused like a
// failed allocation.
constexpr uint64_t kMaxPicturePixels = uint64_t{1} << 26;

bool TooLarge(const jpeg_decompress_struct& cinfo) {
  return uint64_t{cinfo.output_width} * cinfo.output_height > kMaxPicturePixels;
}

// May jump back to the caller's setjmp; holds no object that needs destroying.
void ReadHeader(JpegJob& job) {
  jpeg_create_decompress(&job.cinfo);
  job.cinfo.progress = &job.progress.pub;
  jpeg_stdio_src(&job.cinfo, job.file.get());
  jpeg_read_header(&job.cinfo, TRUE);
}

// Checked before jpeg_start_decompress, which reads every scan of a progressive picture
// into buffers of the stated size: a bogus header costs nothing.
bool TooLargeToStart(JpegJob& job) {
  jpeg_calc_output_dimensions(&job.cinfo);
  return TooLarge(job.cinfo);
}

std::unique_ptr<uint8_t[]> AllocateZeroed(size_t bytes) {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]());
}

size_t Stride24(int width) { return (static_cast<size_t>(width) * 24 + 31) / 32 * 4; }

// A block for a 24-bit bottom-up picture: the 40-byte header written, the padding bytes of
// every row zeroed; the pixels are left to the caller, or zeroed when it may not write them
// all. Every byte ends up defined, so equal pictures give equal blocks.
std::unique_ptr<DibBlock> AllocateDib(int width, int height, bool zeroPixels) {
  std::unique_ptr<DibBlock> block;
  const size_t stride = Stride24(width);
  try {
    block = std::make_unique<DibBlock>(kDibInfoHeaderSize + stride * height);
  } catch (const std::exception&) {
    return nullptr;
  }
  uint8_t* bits = block->data() + kDibInfoHeaderSize;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  if (zeroPixels) {
    std::memset(bits, 0, stride * height);
  } else if (stride != rowBytes) {
    for (int y = 0; y < height; ++y)
      std::memset(bits + y * stride + rowBytes, 0, stride - rowBytes);
  }
  uint8_t* h = block->data();
  std::memset(h, 0, kDibInfoHeaderSize);
  auto put16 = [&](int at, uint16_t v) { h[at] = v & 0xFF; h[at + 1] = v >> 8; };
  auto put32 = [&](int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = (v >> (8 * i)) & 0xFF;
  };
  put32(0, kDibInfoHeaderSize);
  put32(4, static_cast<uint32_t>(width));
  put32(8, static_cast<uint32_t>(height));
  put16(12, 1);
  put16(14, 24);
  return block;
}

// One decoded row of 1 or 3 components to blue-green-red; other counts write nothing (a
// four-component picture stays black).
void WriteBgrRow(const uint8_t* src, int components, int width, uint8_t* dst) {
  if (components == 3) {
    for (int x = 0; x < width; ++x, src += 3, dst += 3) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
    }
  } else if (components == 1) {
    for (int x = 0; x < width; ++x, dst += 3) dst[0] = dst[1] = dst[2] = src[x];
  }
}

// Red-green-blue rows, top row first (the decoder's step-by-step path).
DecodeResult RunToRgb(JpegJob& job, std::unique_ptr<uint8_t[]>& out, int& width, int& height) {
  if (setjmp(job.err.jump)) {
    jpeg_destroy_decompress(&job.cinfo);
    return kFatal;
  }
  ReadHeader(job);
  if (TooLargeToStart(job)) {
    jpeg_destroy_decompress(&job.cinfo);
    return kNoMemory;
  }
  jpeg_start_decompress(&job.cinfo);
  const int w = static_cast<int>(job.cinfo.output_width);
  const int h = static_cast<int>(job.cinfo.output_height);
  if (!TooLarge(job.cinfo)) out = AllocateZeroed(static_cast<size_t>(w) * h * 3);
  if (!out) {
    jpeg_destroy_decompress(&job.cinfo);
    return kNoMemory;
  }
  width = w;
  height = h;
  const int components = job.cinfo.output_components;
  JSAMPARRAY row = (*job.cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&job.cinfo),
                                                  JPOOL_IMAGE, w * components, 1);
  while (job.cinfo.output_scanline < job.cinfo.output_height) {
    jpeg_read_scanlines(&job.cinfo, row, 1);
    uint8_t* dst = out.get() + static_cast<size_t>(job.cinfo.output_scanline - 1) * w * 3;
    if (components == 3)
      std::memcpy(dst, row[0], static_cast<size_t>(w) * 3);
    else if (components == 1)
      for (int x = 0; x < w; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = row[0][x];
  }
  jpeg_finish_decompress(&job.cinfo);
  jpeg_destroy_decompress(&job.cinfo);
  return kDecoded;
}

// Straight into the final bitmap: each scan line lands in its bottom-up row. For the colour
// spaces whose default output is RGB or gray, libjpeg-turbo writes blue-green-red itself
// (gray as three equal bytes), which is byte for byte what RGB plus a swap gives.
DecodeResult RunToDib(JpegJob& job, std::unique_ptr<DibBlock>& block) {
  if (setjmp(job.err.jump)) {
    jpeg_destroy_decompress(&job.cinfo);
    return kFatal;
  }
  ReadHeader(job);
  const bool direct =
      job.cinfo.out_color_space == JCS_RGB || job.cinfo.out_color_space == JCS_GRAYSCALE;
  if (direct) job.cinfo.out_color_space = JCS_EXT_BGR;
  if (TooLargeToStart(job)) {
    jpeg_destroy_decompress(&job.cinfo);
    return kNoMemory;
  }
  jpeg_start_decompress(&job.cinfo);
  const int w = static_cast<int>(job.cinfo.output_width);
  const int h = static_cast<int>(job.cinfo.output_height);
  // Scan lines of other component counts are not converted, and those rows stay black.
  const bool writesEveryRow = direct || job.cinfo.output_components == 1 ||
                              job.cinfo.output_components == 3;
  if (!TooLarge(job.cinfo)) block = AllocateDib(w, h, !writesEveryRow);
  if (!block) {
    jpeg_destroy_decompress(&job.cinfo);
    return kNoMemory;
  }
  const size_t stride = Stride24(w);
  uint8_t* bits = block->data() + kDibInfoHeaderSize;
  auto rowOf = [&](JDIMENSION scanline) { return bits + (h - 1 - scanline) * stride; };
  if (direct) {
    JSAMPROW rows[32];
    while (job.cinfo.output_scanline < job.cinfo.output_height) {
      const JDIMENSION first = job.cinfo.output_scanline;
      const JDIMENSION count = std::min<JDIMENSION>(32, job.cinfo.output_height - first);
      for (JDIMENSION i = 0; i < count; ++i) rows[i] = rowOf(first + i);
      jpeg_read_scanlines(&job.cinfo, rows, count);
    }
  } else {
    const int components = job.cinfo.output_components;
    JSAMPARRAY row = (*job.cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&job.cinfo),
                                                    JPOOL_IMAGE, w * components, 1);
    while (job.cinfo.output_scanline < job.cinfo.output_height) {
      const JDIMENSION scanline = job.cinfo.output_scanline;
      jpeg_read_scanlines(&job.cinfo, row, 1);
      WriteBgrRow(row[0], components, w, rowOf(scanline));
    }
  }
  jpeg_finish_decompress(&job.cinfo);
  jpeg_destroy_decompress(&job.cinfo);
  return kDecoded;
}

// What the decoder tells its caller of a decode that ended.
void TakeOutcome(CJpegFile& decoder, const JpegJob& job, DecodeResult result) {
  decoder.m_strWarning = job.err.firstWarning;
  decoder.m_bStopped = job.progress.ended == Ended::Stopped;
  if (result == kNoMemory)
    decoder.m_strError = kOutOfMemory;
  else if (decoder.m_bStopped)
    decoder.m_strError = "JPEG :\nDecode stopped\n";
  else if (job.progress.ended == Ended::TooManyScans)
    decoder.m_strError = Format("JPEG :\nMore than %d scans\n", kMaxJpegScans);
}

}  // namespace

CDecodeStopScope::CDecodeStopScope(const std::atomic<bool>* stop) : m_pPrevious(t_pDecodeStop) {
  t_pDecodeStop = stop;
}

CDecodeStopScope::~CDecodeStopScope() { t_pDecodeStop = m_pPrevious; }

CJpegFile::CJpegFile(MessageSink* boxes) : m_pBoxes(boxes) {}

CJpegFile::~CJpegFile() = default;

PictureKind PictureKindByName(const std::string& path) {
  return path.find("yuv.tmp") != std::string::npos ? PictureKind::Nv12 : PictureKind::Jpeg;
}

int CJpegFile::LoadImageToDib(const std::string& path, PictureKind kind) {
  std::unique_ptr<DibBlock> block =
      kind == PictureKind::Nv12 ? DecodeRawFrame(path) : DecodeJpegToDib(path);
  if (!block) return 0;
  auto dib = std::make_unique<CDib>();
  dib->Attach(std::move(block));
  m_pDib = std::move(dib);
  return 1;
}

std::unique_ptr<DibBlock> CJpegFile::DecodeJpegToDib(const std::string& path) {
  m_strWarning.clear();
  m_bStopped = false;
  JpegJob job(m_pBoxes);
  job.file.reset(std::fopen(path.c_str(), "rb"));
  if (!job.file) {
    m_strError = "JPEG :\nCan't open " + path + "\n";
    return nullptr;
  }
  std::unique_ptr<DibBlock> block;
  const DecodeResult result = RunToDib(job, block);
  TakeOutcome(*this, job, result);
  if (result != kDecoded) return nullptr;
  return block;
}

std::unique_ptr<DibBlock> CJpegFile::DecodeRawFrame(const std::string& path) {
  const int w = m_nFrameWidth;
  const int h = m_nFrameHeight;
  // The converter counts its output in an int, and a bitmap side is at most kMaxDibSide.
  if (w <= 0 || h <= 0 || w > kMaxDibSide || h > kMaxDibSide ||
      static_cast<long long>(w) * h * 3 > INT_MAX) {
    m_strError = Format("YUV :\nInvalid frame size %dX%d\n", w, h);
    return nullptr;
  }
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    m_strError = "YUV :\nCan't open " + path + "\n";
    return nullptr;
  }
  const size_t need = static_cast<size_t>(w) * h * 3 / 2;
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[need]);
  if (!frame) {
    m_strError = kOutOfMemory;
    return nullptr;
  }
  // Only the frame's own bytes are read; a longer file is accepted, a shorter one refused.
  const size_t got = std::fread(frame.get(), 1, need, file.get());
  if (got < need) {
    m_strError = std::ferror(file.get())
                     ? "YUV :\nCan't read " + path + "\n"
                     : Format("YUV :\n%s holds %zu bytes, a %dX%d frame needs %zu\n",
                              path.c_str(), got, w, h, need);
    return nullptr;
  }
  file.reset();
  std::unique_ptr<DibBlock> block = AllocateDib(w, h, false);  // the converter writes every pixel
  if (!block) {
    m_strError = kOutOfMemory;
    return nullptr;
  }
  const size_t stride = Stride24(w);
  uint8_t* bottomRow = block->data() + kDibInfoHeaderSize;
  ConvertNv12ToBgrRows(frame.get(), w, h, bottomRow + (h - 1) * stride,
                       -static_cast<std::ptrdiff_t>(stride));
  return block;
}

std::unique_ptr<uint8_t[]> CJpegFile::DecodeJpegToRgb(const std::string& path, int& width,
                                                      int& height) {
  width = 0;
  height = 0;
  m_strWarning.clear();
  m_bStopped = false;
  JpegJob job(m_pBoxes);
  job.file.reset(std::fopen(path.c_str(), "rb"));
  if (!job.file) {
    m_strError = "JPEG :\nCan't open " + path + "\n";
    return nullptr;
  }
  std::unique_ptr<uint8_t[]> out;
  const DecodeResult result = RunToRgb(job, out, width, height);
  TakeOutcome(*this, job, result);
  if (result != kDecoded) {
    width = 0;
    height = 0;
    return nullptr;
  }
  return out;
}

int CJpegFile::SwapRedBlue(uint8_t* buffer, int width, int height) {
  if (!buffer) return 0;
  const size_t pixels = static_cast<size_t>(std::max(width, 0)) * std::max(height, 0);
  for (size_t i = 0; i < pixels; ++i) std::swap(buffer[3 * i], buffer[3 * i + 2]);
  return 1;
}

std::unique_ptr<uint8_t[]> CJpegFile::PadRowsToDword(const uint8_t* buffer, int width,
                                                     int height, int& stride) {
  if (!buffer || width <= 0 || height <= 0) return nullptr;
  const size_t padded = Stride24(width);
  if (padded > INT_MAX) return nullptr;
  auto out = AllocateZeroed(padded * height);
  if (!out) return nullptr;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y)
    std::memcpy(out.get() + y * padded, buffer + y * rowBytes, rowBytes);
  stride = static_cast<int>(padded);
  return out;
}

int CJpegFile::FlipRowsVertically(uint8_t* buffer, int stride, int height) {
  if (!buffer) return 0;
  for (int i = 0; i < height / 2; ++i)
    std::swap_ranges(buffer + static_cast<size_t>(i) * stride,
                     buffer + static_cast<size_t>(i + 1) * stride,
                     buffer + static_cast<size_t>(height - 1 - i) * stride);
  return 1;
}

std::unique_ptr<DibBlock> CJpegFile::PackDib(const uint8_t* rows, int width, int height,
                                             int stride) {
  if (!rows || width <= 0 || height <= 0 || static_cast<size_t>(stride) != Stride24(width))
    return nullptr;
  auto block = AllocateDib(width, height, false);
  if (block)
    std::memcpy(block->data() + kDibInfoHeaderSize, rows, static_cast<size_t>(stride) * height);
  return block;
}

bool IsPictureFileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".jpg" || ext == ".jpe" || ext == ".jpeg" || ext == ".tmp";
}

bool DecodePictureFile(const std::string& path, int frameWidth, int frameHeight,
                       MessageSink* boxes, int& width, int& height,
                       std::unique_ptr<DibBlock>* block) {
  return DecodePictureFile(path, PictureKindByName(path), frameWidth, frameHeight, boxes, width,
                           height, block);
}

bool DecodePictureFile(const std::string& path, PictureKind kind, int frameWidth,
                       int frameHeight, MessageSink* boxes, int& width, int& height,
                       std::unique_ptr<DibBlock>* block) {
  width = 0;
  height = 0;
  if (!IsPictureFileName(path)) return false;
  CJpegFile decoder(boxes);
  decoder.m_nFrameWidth = frameWidth;
  decoder.m_nFrameHeight = frameHeight;
  if (!decoder.LoadImageToDib(path, kind)) return false;
  width = decoder.m_pDib->GetWidth();
  height = decoder.m_pDib->GetHeight();
  if (block) *block = decoder.m_pDib->Detach();
  return true;
}
