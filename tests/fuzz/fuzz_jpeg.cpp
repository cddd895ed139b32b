// Picture files as the camera may leave them: arbitrary "jpeg.tmp" contents (truncated,
// corrupt, not JPEG at all) and "yuv.tmp" frames whose stated size and file length
// disagree. Besides surviving, the decoder must agree with itself: the step-by-step
// pipeline and the direct decode give the same bitmap, and the vector NV12 path gives
// the same pixels as the portable one.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "imaging/JpegFile.h"
#include "imaging/Nv12.h"

namespace {

class CountingSink : public MessageSink {
 public:
  int boxes = 0;
  int ShowMessage(const std::string&, const std::string&, MsgIcon, MsgButtons) override {
    ++boxes;
    return IDOK;
  }
};

// Bytes per row of a 24-bit bitmap: width * 3 rounded up to a multiple of 4.
int Stride24(int width) { return (width * 3 + 3) / 4 * 4; }

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Largest picture any start-of-frame marker in the data claims. The decoder sizes its work
// by the stated dimensions, so a mutated header turns a 1 KB input into a long decode of
// filler; those add time, not paths (a 65536 x 1 picture still exercises the wide rows).
uint64_t LargestStatedFrame(const uint8_t* data, size_t size) {
  uint64_t largest = 0;
  for (size_t i = 0; i + 8 < size; ++i) {
    if (data[i] != 0xFF) continue;
    const uint8_t m = data[i + 1];
    if (m < 0xC0 || m > 0xCF || m == 0xC4 || m == 0xC8 || m == 0xCC) continue;
    const uint64_t h = (data[i + 5] << 8) | data[i + 6], w = (data[i + 7] << 8) | data[i + 8];
    largest = std::max(largest, w * h);
  }
  return largest;
}

void FuzzJpeg(const uint8_t* data, size_t size) {
  if (LargestStatedFrame(data, size) > (1u << 16)) return;
  const std::string path = FuzzScratchDir() + "jpeg.tmp";
  WriteWholeFile(path, data, size);
  CountingSink boxes;
  CJpegFile direct(&boxes);
  const int ok = direct.LoadImageToDib(path);
  Check(ok == (direct.m_pDib != nullptr));

  CJpegFile steps;
  int w = 0, h = 0;
  auto rgb = steps.DecodeJpegToRgb(path, w, h);
  if (!rgb) return;
  Check(w > 0 && h > 0);
  Check(CJpegFile::SwapRedBlue(rgb.get(), w, h) == 1);
  int stride = 0;
  auto padded = CJpegFile::PadRowsToDword(rgb.get(), w, h, stride);
  if (!padded) return;
  Check(stride == Stride24(w));
  Check(CJpegFile::FlipRowsVertically(padded.get(), stride, h) == 1);
  auto packed = CJpegFile::PackDib(padded.get(), w, h, stride);
  if (!packed || !ok) return;
  const DibBlock* shown = direct.m_pDib->GetHandle();
  Check(shown && *shown == *packed);
}

void FuzzNv12(FuzzInput& in) {
  CountingSink boxes;
  CJpegFile decoder(&boxes);
  decoder.m_nFrameWidth = in.U16();
  decoder.m_nFrameHeight = in.U16();
  const int w = decoder.m_nFrameWidth, h = decoder.m_nFrameHeight;
  const uint8_t* frame = in.Rest();
  const size_t size = in.Left();
  const std::string path = FuzzScratchDir() + "yuv.tmp";
  WriteWholeFile(path, frame, size);
  const int ok = decoder.LoadImageToDib(path);
  const size_t need = static_cast<size_t>(w) * h * 3 / 2;
  // A frame is shown exactly when the file holds all of it.
  Check(ok == (w > 0 && h > 0 && size >= need));
  if (!ok) return;
  Check(decoder.m_pDib->GetWidth() == w && decoder.m_pDib->GetHeight() == h);
  Check(decoder.m_pDib->IsDrawable());

  // Top-down, unpadded reference from the portable path, compared row by row with the
  // bottom-up bitmap and with the plain converter.
  const size_t rowBytes = static_cast<size_t>(w) * 3;
  std::vector<uint8_t> scalar(rowBytes * h), plain(rowBytes * h);
  Check(ConvertNv12ToBgrRowsScalar(frame, w, h, scalar.data(),
                                   static_cast<std::ptrdiff_t>(rowBytes)) == w * h * 3);
  Check(ConvertNv12ToBgr(frame, w, h, plain.data()) == w * h * 3);
  Check(scalar == plain);
  const uint8_t* bottom = decoder.m_pDib->Bits();
  const size_t stride = static_cast<size_t>(Stride24(w));
  for (int y = 0; y < h; ++y)
    Check(std::memcmp(bottom + (h - 1 - y) * stride, scalar.data() + y * rowBytes, rowBytes) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FuzzInput in(data, size);
  // Frames of more than 4 megapixels add time, not paths.
  if (in.U8() & 1) {
    FuzzInput probe(data + 1, size - 1);
    const uint32_t w = probe.U16(), h = probe.U16();
    if (uint64_t{w} * h > (4u << 20)) return 0;
    FuzzNv12(in);
  } else {
    FuzzJpeg(data + 1, size - 1);
  }
  return 0;
}
