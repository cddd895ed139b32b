#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>

#include "imaging/JpegFile.h"
#include "imaging/Nv12.h"
#include "jpeg_test_util.h"

using jpegtest::RecordingSink;
using testsupport::TempFolder;

namespace {

long FirstDifference(const DibBlock& a, const DibBlock& b) {
  if (a.size() != b.size()) return 0;
  auto m = std::mismatch(a.begin(), a.end(), b.begin());
  return m.first == a.end() ? -1 : static_cast<long>(m.first - a.begin());
}

uint32_t Le32(const DibBlock& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// The step-by-step pipeline: decode to RGB, swap, pad, flip, pack.
std::unique_ptr<DibBlock> PipelineBlock(const std::string& path, MessageSink* sink) {
  CJpegFile decoder(sink);
  int w = 0, h = 0, stride = 0;
  auto rgb = decoder.DecodeJpegToRgb(path, w, h);
  if (!rgb) return nullptr;
  EXPECT_EQ(CJpegFile::SwapRedBlue(rgb.get(), w, h), 1);
  auto padded = CJpegFile::PadRowsToDword(rgb.get(), w, h, stride);
  EXPECT_TRUE(padded);
  EXPECT_EQ(CJpegFile::FlipRowsVertically(padded.get(), stride, h), 1);
  return CJpegFile::PackDib(padded.get(), w, h, stride);
}

const DibBlock& BlockOf(const CJpegFile& decoder) { return *decoder.m_pDib->GetHandle(); }

std::string WriteJpeg(const TempFolder& dir, const std::string& name, int w, int h,
                      int components, const jpegtest::JpegOptions& options = {}) {
  std::vector<uint8_t> pixels;
  if (components == 3) {
    pixels = jpegtest::MakePhotoLikeRgb(w, h, w * 31 + h);
  } else {
    pixels.resize(static_cast<size_t>(w) * h * components);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 % 251);
  }
  const std::string path = dir.File(name);
  jpegtest::WriteBytes(path, jpegtest::EncodeJpeg(pixels.data(), w, h, components, options));
  return path;
}

TEST(JpegFile, DirectDecodeEqualsStepByStepPipeline) {
  TempFolder dir;
  struct Case {
    int w, h, components;
    jpegtest::JpegOptions options;
  } cases[] = {
      {640, 480, 3, {}},                  // 4:2:0
      {161, 121, 3, {}},                  // odd sizes, padded rows
      {33, 17, 3, {85, 2, 1, false}},     // 4:2:2
      {64, 48, 3, {90, 1, 1, false}},     // 4:4:4
      {50, 30, 3, {85, 2, 2, true}},      // progressive
      {161, 40, 1, {}},                   // grayscale
      {1, 1, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " components " << c.components);
    const std::string path = WriteJpeg(dir, "jpeg.tmp", c.w, c.h, c.components, c.options);
    CJpegFile decoder;
    ASSERT_EQ(decoder.LoadImageToDib(path), 1);
    auto expected = PipelineBlock(path, nullptr);
    ASSERT_TRUE(expected);
    EXPECT_EQ(FirstDifference(BlockOf(decoder), *expected), -1);
    EXPECT_EQ(decoder.m_pDib->GetWidth(), c.w);
    EXPECT_EQ(decoder.m_pDib->GetHeight(), c.h);
    EXPECT_TRUE(decoder.m_pDib->IsDrawable());
  }
}

TEST(JpegFile, BitmapLayoutBottomRowFirstInBlueGreenRed) {
  // Top half pure red, bottom half pure blue.
  const int w = 640, h = 480;
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) rgb[(y * w + x) * 3 + (y < h / 2 ? 0 : 2)] = 255;
  TempFolder dir;
  const std::string path = dir.File("jpeg.tmp");
  jpegtest::WriteBytes(path, jpegtest::EncodeJpeg(rgb.data(), w, h, 3));
  CJpegFile decoder;
  ASSERT_EQ(decoder.LoadImageToDib(path), 1);
  const DibBlock& b = BlockOf(decoder);
  ASSERT_EQ(b.size(), 40u + 1920u * 480u);
  EXPECT_EQ(Le32(b, 0), 40u);
  EXPECT_EQ(Le32(b, 4), 640u);
  EXPECT_EQ(Le32(b, 8), 480u);
  EXPECT_EQ(b[12] | (b[13] << 8), 1);
  EXPECT_EQ(b[14] | (b[15] << 8), 24);
  for (size_t at = 16; at < 40; at += 4) EXPECT_EQ(Le32(b, at), 0u) << "header byte " << at;
  // First stored row is the bottom (blue) row: B first.
  EXPECT_GT(b[40], 240);
  EXPECT_LT(b[42], 15);
  // Last stored row is the top (red) row.
  const size_t top = 40 + 1920u * 479;
  EXPECT_LT(b[top], 15);
  EXPECT_GT(b[top + 2], 240);
  EXPECT_EQ(decoder.m_strError, "No Error");
}

TEST(JpegFile, OddWidthPaddingIsZeroAndGrayIsThreeEqualBytes) {
  TempFolder dir;
  for (int components : {3, 1}) {
    SCOPED_TRACE(components);
    CJpegFile decoder;
    ASSERT_EQ(decoder.LoadImageToDib(WriteJpeg(dir, "pic.jpg", 161, 9, components)), 1);
    const DibBlock& b = BlockOf(decoder);
    ASSERT_EQ(b.size(), 40u + 484u * 9u);
    for (int row = 0; row < 9; ++row) {
      const uint8_t* r = b.data() + 40 + row * 484;
      EXPECT_EQ(r[483], 0) << "padding of row " << row;  // 161 * 3 = 483 bytes of pixels
      if (components == 1) {
        for (int x = 0; x < 161; ++x)
          ASSERT_TRUE(r[3 * x] == r[3 * x + 1] && r[3 * x] == r[3 * x + 2]) << "pixel " << x;
      }
    }
  }
}

TEST(JpegFile, FourComponentPictureIsBlack) {
  TempFolder dir;
  CJpegFile decoder;
  ASSERT_EQ(decoder.LoadImageToDib(WriteJpeg(dir, "cmyk.jpg", 20, 10, 4)), 1);
  const DibBlock& b = BlockOf(decoder);
  ASSERT_EQ(b.size(), 40u + 60u * 10u);
  EXPECT_TRUE(std::all_of(b.begin() + 40, b.end(), [](uint8_t v) { return v == 0; }));
  auto expected = PipelineBlock(dir.File("cmyk.jpg"), nullptr);
  ASSERT_TRUE(expected);
  EXPECT_EQ(FirstDifference(b, *expected), -1);
}

TEST(JpegFile, TruncatedFileShowsOneWarningAndStillDecodes) {
  TempFolder dir;
  const std::string whole = WriteJpeg(dir, "whole.jpg", 640, 480, 3);
  auto bytes = testsupport::ReadFile(whole);
  bytes.resize(bytes.size() * 6 / 10);
  const std::string path = dir.File("jpeg.tmp");
  jpegtest::WriteBytes(path, bytes);

  RecordingSink sink;
  CJpegFile decoder(&sink);
  ASSERT_EQ(decoder.LoadImageToDib(path), 1);
  const auto boxes = sink.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "JPEG Error");
  EXPECT_EQ(boxes[0].text, "Premature end of JPEG file");
  EXPECT_EQ(boxes[0].icon, MsgIcon::None);
  EXPECT_EQ(decoder.m_pDib->GetWidth(), 640);

  RecordingSink pipelineSink;
  auto expected = PipelineBlock(path, &pipelineSink);
  ASSERT_TRUE(expected);
  EXPECT_EQ(FirstDifference(BlockOf(decoder), *expected), -1);
  EXPECT_EQ(pipelineSink.Boxes().size(), 1u);
}

// A damaged file decodes (gray where data is missing) but says so: the first warning is
// kept for the caller, a clean file leaves none.
TEST(JpegFile, WarningsOfADamagedFileAreKept) {
  TempFolder dir;
  const std::string whole = WriteJpeg(dir, "whole.jpg", 320, 240, 3);
  const auto bytes = testsupport::ReadFile(whole);
  auto truncated = bytes;
  truncated.resize(bytes.size() / 2);
  auto stray = bytes;  // a restart marker where none belongs, mid-scan
  stray.insert(stray.begin() + static_cast<long>(bytes.size() * 2 / 3), {0xFF, 0xD3});
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* warning;
  } cases[] = {{"clean", bytes, ""},
               {"truncated", truncated, "Premature end of JPEG file"},
               {"stray marker", stray, "Corrupt JPEG data"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(std::string(c.name) + ".jpg");
    jpegtest::WriteBytes(path, c.bytes);
    CJpegFile decoder;
    decoder.m_strWarning = "left from before";
    ASSERT_EQ(decoder.LoadImageToDib(path), 1);
    EXPECT_EQ(decoder.m_strWarning.substr(0, std::strlen(c.warning)), c.warning);
    EXPECT_EQ(decoder.m_strWarning.empty(), *c.warning == 0) << decoder.m_strWarning;
  }
}

// Scans are bounded: a picture of up to kMaxJpegScans decodes, one more is refused with a
// box that says why. A stop flag ends a decode under way without a box.
TEST(JpegFile, ScanCountIsBoundedAndAStopEndsTheDecode) {
  TempFolder dir;
  const auto pixels = jpegtest::MakePhotoLikeRgb(96, 64);
  for (int scans : {kMaxJpegScans, kMaxJpegScans + 1}) {
    SCOPED_TRACE(scans);
    const std::string path = dir.File("scans.jpg");
    jpegtest::JpegOptions options;
    options.scans = scans;
    jpegtest::WriteBytes(path, jpegtest::EncodeJpeg(pixels.data(), 96, 64, 3, options));
    RecordingSink sink;
    CJpegFile decoder(&sink);
    const bool within = scans <= kMaxJpegScans;
    EXPECT_EQ(decoder.LoadImageToDib(path), within ? 1 : 0);
    int w = 0, h = 0;
    EXPECT_EQ(decoder.DecodeJpegToRgb(path, w, h) != nullptr, within);
    if (within) {
      EXPECT_TRUE(sink.Boxes().empty());
      continue;
    }
    EXPECT_EQ(decoder.m_strError, "JPEG :\nMore than 100 scans\n");
    ASSERT_EQ(sink.Boxes().size(), 2u);
    EXPECT_EQ(sink.Boxes()[0].caption, "JPEG Fatal Error");
    EXPECT_NE(sink.Boxes()[0].text.find("more than 100 scans"), std::string::npos);

    std::atomic<bool> stop{true};
    CDecodeStopScope stoppable(&stop);
    RecordingSink quiet;
    CJpegFile stopped(&quiet);
    const std::string sound = WriteJpeg(dir, "sound.jpg", 64, 48, 3);
    EXPECT_EQ(stopped.LoadImageToDib(sound), 0);
    EXPECT_TRUE(stopped.m_bStopped);
    EXPECT_TRUE(quiet.Boxes().empty());
    stop = false;
    EXPECT_EQ(stopped.LoadImageToDib(sound), 1);
    EXPECT_FALSE(stopped.m_bStopped);
  }
}

TEST(JpegFile, FatalErrorsShowTheLibraryTextAndKeepThePreviousBitmap) {
  TempFolder dir;
  const std::string good = WriteJpeg(dir, "good.jpg", 32, 16, 3);
  // A bitmap file where a JPEG was expected.
  const std::string notJpeg = dir.File("jpeg.tmp");
  jpegtest::WriteBytes(notJpeg, {'B', 'M', 0x36, 0, 0, 0, 0, 0, 0, 0});
  // A valid picture followed by a second frame header: the error comes after the rows
  // were decoded into a freshly allocated bitmap.
  auto twoFrames = testsupport::ReadFile(good);
  std::vector<uint8_t> sof;
  for (size_t i = 0; i + 3 < twoFrames.size(); ++i)
    if (twoFrames[i] == 0xFF && twoFrames[i + 1] == 0xC0) {
      const size_t len = (twoFrames[i + 2] << 8) | twoFrames[i + 3];
      sof.assign(twoFrames.begin() + i, twoFrames.begin() + i + 2 + len);
      break;
    }
  ASSERT_FALSE(sof.empty());
  twoFrames.resize(twoFrames.size() - 2);  // drop the end marker
  twoFrames.insert(twoFrames.end(), sof.begin(), sof.end());
  twoFrames.insert(twoFrames.end(), {0xFF, 0xD9});
  const std::string lateError = dir.File("late.jpg");
  jpegtest::WriteBytes(lateError, twoFrames);

  struct Case {
    std::string path, text;
  } cases[] = {
      {notJpeg, "Not a JPEG file: starts with 0x42 0x4d"},
      {lateError, "Invalid JPEG file structure: two SOF markers"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    RecordingSink sink;
    CJpegFile decoder(&sink);
    ASSERT_EQ(decoder.LoadImageToDib(good), 1);
    const DibBlock* before = decoder.m_pDib->GetHandle();
    const int fds = OpenDescriptors();
    EXPECT_EQ(decoder.LoadImageToDib(c.path), 0);
    EXPECT_EQ(OpenDescriptors(), fds) << "file left open";
    const auto boxes = sink.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "JPEG Fatal Error");
    EXPECT_EQ(boxes[0].text, c.text);
    EXPECT_EQ(boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(decoder.m_strError, "No Error");
    EXPECT_EQ(decoder.m_pDib->GetHandle(), before);

    int w = -1, h = -1;
    EXPECT_EQ(decoder.DecodeJpegToRgb(c.path, w, h), nullptr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(sink.Boxes().size(), 2u);
  }
}

TEST(JpegFile, HeaderClaimingAHugePictureIsRefusedNotDecoded) {
  // A frame header damaged on the line: 65280 x 65280 pixels (within libjpeg's own limit of
  // 65500) would be a 12 GB bitmap.
  TempFolder dir;
  const std::string good = WriteJpeg(dir, "good.jpg", 32, 16, 3);
  auto bytes = testsupport::ReadFile(good);
  bool patched = false;
  for (size_t i = 0; i + 8 < bytes.size() && !patched; ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
      for (size_t k : {i + 5, i + 7}) {
        bytes[k] = 0xFF;
        bytes[k + 1] = 0x00;
      }
      patched = true;
    }
  ASSERT_TRUE(patched);
  const std::string huge = dir.File("jpeg.tmp");
  jpegtest::WriteBytes(huge, bytes);

  RecordingSink sink;
  CJpegFile decoder(&sink);
  ASSERT_EQ(decoder.LoadImageToDib(good), 1);
  const DibBlock* before = decoder.m_pDib->GetHandle();
  EXPECT_EQ(decoder.LoadImageToDib(huge), 0);
  EXPECT_EQ(decoder.m_strError, "JpegFile :\nOut of memory");
  EXPECT_EQ(decoder.m_pDib->GetHandle(), before);
  int w = -1, h = -1;
  EXPECT_EQ(decoder.DecodeJpegToRgb(huge, w, h), nullptr);
}

TEST(JpegFile, MissingFileSetsErrorWithoutBox) {
  RecordingSink sink;
  CJpegFile decoder(&sink);
  EXPECT_EQ(decoder.LoadImageToDib("/nonexistent/jpeg.tmp"), 0);
  EXPECT_EQ(decoder.m_strError, "JPEG :\nCan't open /nonexistent/jpeg.tmp\n");
  EXPECT_TRUE(sink.Boxes().empty());
  EXPECT_EQ(decoder.m_pDib, nullptr);
}

TEST(JpegFile, RawFrameDecodesLikeTheConverterPipeline) {
  TempFolder dir;
  const int w = 66, h = 10;
  auto frame = jpegtest::MakeNv12Frame(w, h, 3);
  auto longer = frame;
  longer.insert(longer.end(), 100, 0x55);  // bytes past the frame are ignored
  const std::string path = dir.File("yuv.tmp");
  jpegtest::WriteBytes(path, longer);

  std::vector<uint8_t> bgr(w * h * 3);
  ASSERT_EQ(ConvertNv12ToBgr(frame.data(), w, h, bgr.data()), w * h * 3);
  int stride = 0;
  auto padded = CJpegFile::PadRowsToDword(bgr.data(), w, h, stride);
  ASSERT_TRUE(padded);
  EXPECT_EQ(stride, 200);
  CJpegFile::FlipRowsVertically(padded.get(), stride, h);
  auto expected = CJpegFile::PackDib(padded.get(), w, h, stride);

  CJpegFile decoder;
  decoder.m_nFrameWidth = w;
  decoder.m_nFrameHeight = h;
  ASSERT_EQ(decoder.LoadImageToDib(path), 1);
  EXPECT_EQ(FirstDifference(BlockOf(decoder), *expected), -1);
}

TEST(JpegFile, RawFrameRefusals) {
  TempFolder dir;
  const int w = 16, h = 8;
  const auto frame = jpegtest::MakeNv12Frame(w, h);
  jpegtest::WriteBytes(dir.File("yuv.tmp"), frame);
  jpegtest::WriteBytes(dir.File("empty_yuv.tmp"), {});
  jpegtest::WriteBytes(dir.File("short_yuv.tmp"),
                       std::vector<uint8_t>(frame.begin(), frame.end() - 1));
  std::filesystem::create_directory(dir.File("dir_yuv.tmp"));
  // A folder whose name holds "yuv.tmp" makes every file in it a raw frame.
  std::filesystem::create_directory(dir.File("yuv.tmp.d"));
  const std::string good = WriteJpeg(dir, "good.jpg", 8, 8, 3);
  std::filesystem::copy_file(good, dir.File("yuv.tmp.d/jpeg.tmp"));

  struct Case {
    const char* what;
    std::string path;
    int w, h;
  } cases[] = {
      {"zero width", dir.File("yuv.tmp"), 0, h},
      {"zero height", dir.File("yuv.tmp"), w, 0},
      {"negative width", dir.File("yuv.tmp"), -w, h},
      {"absurd size", dir.File("yuv.tmp"), 100000, 100000},
      {"missing file", dir.File("missing_yuv.tmp"), w, h},
      {"empty file", dir.File("empty_yuv.tmp"), w, h},
      {"one byte short", dir.File("short_yuv.tmp"), w, h},
      {"unreadable (a folder)", dir.File("dir_yuv.tmp"), w, h},
      {"JPEG in a yuv.tmp folder", dir.File("yuv.tmp.d/jpeg.tmp"), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CJpegFile decoder;
    ASSERT_EQ(decoder.LoadImageToDib(good), 1);
    const DibBlock* before = decoder.m_pDib->GetHandle();
    decoder.m_nFrameWidth = c.w;
    decoder.m_nFrameHeight = c.h;
    EXPECT_EQ(decoder.LoadImageToDib(c.path), 0);
    EXPECT_NE(decoder.m_strError, "No Error");
    EXPECT_EQ(decoder.m_pDib->GetHandle(), before);
  }
}

TEST(JpegFile, PipelineStepsRefuseNullBuffers) {
  int stride = 0;
  EXPECT_EQ(CJpegFile::SwapRedBlue(nullptr, 2, 2), 0);
  EXPECT_EQ(CJpegFile::PadRowsToDword(nullptr, 2, 2, stride), nullptr);
  EXPECT_EQ(CJpegFile::FlipRowsVertically(nullptr, 8, 2), 0);
  // Odd height: the middle row stays, the outer rows change places.
  uint8_t rows[3 * 4] = {1, 1, 1, 0, 2, 2, 2, 0, 3, 3, 3, 0};
  EXPECT_EQ(CJpegFile::FlipRowsVertically(rows, 4, 3), 1);
  EXPECT_EQ(rows[0], 3);
  EXPECT_EQ(rows[4], 2);
  EXPECT_EQ(rows[8], 1);
}

TEST(JpegFile, PictureFileNameRule) {
  struct Case {
    const char* path;
    bool accepted;
  } cases[] = {
      {"/pics/jpeg.tmp", true}, {"/pics/yuv.tmp", true}, {"a.JPG", true},
      {"a.Jpe", true},          {"a.jpeg", true},        {"a.bmp", false},
      {"a.jpgx", false},        {"noext", false},        {"/x.jpg/file", false},
      {"a.tmp.bmp", false},     {"/dir.v2/a.JPEG", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPictureFileName(c.path), c.accepted) << c.path;
}

TEST(JpegFile, DecodePictureFileForHeadlessHosts) {
  TempFolder dir;
  const std::string jpeg = WriteJpeg(dir, "jpeg.tmp", 40, 30, 3);
  int w = 0, h = 0;
  std::unique_ptr<DibBlock> block;
  EXPECT_TRUE(DecodePictureFile(jpeg, 0, 0, nullptr, w, h, &block));
  EXPECT_EQ(w, 40);
  EXPECT_EQ(h, 30);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->size(), 40u + 120u * 30u);

  const std::string bmp = dir.File("picture.bmp");
  std::filesystem::copy_file(jpeg, bmp);
  RecordingSink sink;
  EXPECT_FALSE(DecodePictureFile(bmp, 0, 0, &sink, w, h));
  EXPECT_EQ(w, 0);
  EXPECT_TRUE(sink.Boxes().empty()) << "refused by name, not decoded";

  jpegtest::WriteBytes(dir.File("yuv.tmp"), jpegtest::MakeNv12Frame(8, 4));
  EXPECT_TRUE(DecodePictureFile(dir.File("yuv.tmp"), 8, 4, nullptr, w, h));
  EXPECT_EQ(w, 8);
  EXPECT_EQ(h, 4);

  // Told the kind, the decoder goes by it and not by the name.
  jpegtest::WriteBytes(dir.File("frame.tmp"), jpegtest::MakeNv12Frame(8, 4));
  EXPECT_TRUE(DecodePictureFile(dir.File("frame.tmp"), PictureKind::Nv12, 8, 4, nullptr, w, h));
  EXPECT_EQ(w, 8);
  EXPECT_EQ(h, 4);
  EXPECT_FALSE(DecodePictureFile(dir.File("frame.tmp"), PictureKind::Jpeg, 8, 4, nullptr, w, h));
  const std::string named = dir.File("yuv.tmp");
  std::filesystem::copy_file(jpeg, named, std::filesystem::copy_options::overwrite_existing);
  EXPECT_TRUE(DecodePictureFile(named, PictureKind::Jpeg, 8, 4, nullptr, w, h));
  EXPECT_EQ(w, 40);
}

}  // namespace
