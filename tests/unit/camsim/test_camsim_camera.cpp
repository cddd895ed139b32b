// The virtual camera's answers and its own checks, request by request (no line involved).
#include <gtest/gtest.h>

#include <cstdio>

#include "camsim/CamSimCamera.h"
#include "test_support.h"

using namespace camsim;

namespace {

std::string Ask(CCamSimCamera& camera, const Bytes& request) {
  auto answers = camera.Handle(request, true);
  std::string out;
  for (const auto& a : answers) out += (out.empty() ? "" : " | ") + ToHex(a.answer.Flatten());
  return out;
}

Bytes FrameBufferRead(uint8_t selector, uint32_t address, uint32_t length) {
  return {0x56, 0x00, 0x32, 0x0C, selector, 0x0A,
          uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address),
          uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0x00, 0xFF};
}

Bytes ReadAnswer(CCamSimCamera& camera, uint8_t selector, uint32_t address, uint32_t length) {
  auto answers = camera.Handle(FrameBufferRead(selector, address, length), true);
  return answers.size() == 1 ? answers[0].answer.Flatten() : Bytes{};
}

using testsupport::DecodeJpeg;

Bytes Sequence(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

}  // namespace

TEST(CamSimCamera, FrameBufferReadsCarryExactlyTheRequestedBytes) {
  CCamSimCamera camera(CamSimOptions{});
  const Bytes picture = Sequence(1000);
  camera.nextPicture = picture;
  ASSERT_EQ(Ask(camera, {0x56, 0x00, 0x36, 0x01, 0x00}), "76 00 36 00 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x34, 0x01, 0x00}), "76 00 34 00 04 00 00 03 E8");

  struct Case {
    uint32_t address, length;
    size_t pictureBytes;  // taken from the picture; the rest must be zeros
  } cases[] = {
      {0, 512, 512},     // first block
      {512, 488, 488},   // last short block
      {512, 512, 488},   // a full block over the end
      {1000, 16, 0},     // starting exactly at the end
      {70000, 4, 0},     // far past the end
      {0, 0, 0},         // nothing: the two markers only
      {0, 1000, 1000},   // the whole picture at once
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "address " << c.address << " length " << c.length);
    Bytes a = ReadAnswer(camera, 0, c.address, c.length);
    ASSERT_EQ(a.size(), c.length + 10u);
    EXPECT_EQ(ToHex(a.data(), 5), "76 00 32 00 00");
    EXPECT_EQ(ToHex(a.data() + a.size() - 5, 5), "76 00 32 00 00");
    Bytes expected(c.length, 0);
    std::copy_n(picture.begin() + std::min<size_t>(c.address, picture.size()), c.pictureBytes, expected.begin());
    EXPECT_EQ(ToHex(Bytes(a.begin() + 5, a.end() - 5)), ToHex(expected));
  }

  // After resume the buffer still holds the picture; the next stop takes a new one.
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x36, 0x01, 0x03}), "76 00 36 00 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x34, 0x01, 0x00}), "76 00 34 00 04 00 00 03 E8");
  camera.Handle({0x56, 0x00, 0x36, 0x01, 0x00}, true);
  ASSERT_TRUE(camera.frozen);
  EXPECT_NE(*camera.frozen->bytes, picture) << "a stop after resume takes a new picture";
}

TEST(CamSimCamera, CapturesDecodableDistinctPicturesAtTheChosenSize) {
  CCamSimCamera camera(CamSimOptions{});
  auto capture = [&] {
    camera.Handle({0x56, 0x00, 0x36, 0x01, 0x00}, true);
    Bytes jpeg = camera.frozen ? *camera.frozen->bytes : Bytes{};
    camera.Handle({0x56, 0x00, 0x36, 0x01, 0x03}, true);
    return jpeg;
  };
  Bytes first = capture(), second = capture();
  int w = 0, h = 0;
  ASSERT_TRUE(DecodeJpeg(first, w, h));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_NE(first, second) << "consecutive pictures carry different frame numbers";

  // A second stop without resume keeps the frozen picture.
  camera.Handle({0x56, 0x00, 0x36, 0x01, 0x00}, true);
  Bytes frozen = *camera.frozen->bytes;
  camera.Handle({0x56, 0x00, 0x36, 0x01, 0x00}, true);
  EXPECT_EQ(*camera.frozen->bytes, frozen);
  camera.Handle({0x56, 0x00, 0x36, 0x01, 0x03}, true);

  // Size 1 (code 22): a change is answered 31 00 00, the same size again 31 01 00.
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x31, 0x05, 0x04, 0x01, 0x00, 0x19, 0x22}), "76 00 31 00 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x31, 0x05, 0x04, 0x01, 0x00, 0x19, 0x22}), "76 00 31 01 00");
  ASSERT_TRUE(DecodeJpeg(capture(), w, h));
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);

  // More compression gives a smaller picture of the same scene size.
  camera.sizeIndex = 3;
  Bytes fine = capture();
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x31, 0x05, 0x01, 0x01, 0x12, 0x04, 0x8F}), "76 00 31 00 00");
  Bytes coarse = capture();
  EXPECT_LT(coarse.size(), fine.size());
}

TEST(CamSimCamera, YuvFrameLengthFormCarriesWidthAndHeight) {
  CCamSimCamera camera(CamSimOptions{});
  camera.sizeIndex = 2;  // 320x240
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x93, 0x03, 0x03, 0x01, 0x01}), "76 00 93 03 03 00 01");
  EXPECT_EQ(camera.imageType, 1);
  camera.Handle({0x56, 0x00, 0x36, 0x01, 0x0A}, true);
  // 320 * 240 * 3 / 2 = 115200 = 0x1C200
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x34, 0x02, 0x00, 0x00}), "76 00 34 00 0A 00 01 C2 00 01 40 00 F0");
  ASSERT_TRUE(camera.frozen);
  EXPECT_TRUE(camera.frozen->nv12);
}

TEST(CamSimCamera, StoredPicturesFillNumberedFrameBuffers) {
  CCamSimCamera camera(CamSimOptions{});
  // Burst of 3: buffers 1..3 hold pictures, buffer 4 reports length 0.
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x88, 0x03, 0x03, 0x01, 0xF4}), "76 00 88 01 00");
  for (uint8_t k = 1; k <= 3; ++k) {
    auto answers = camera.Handle({0x56, 0x00, 0x34, 0x01, k}, true);
    Bytes a = answers.at(0).answer.Flatten();
    uint32_t length = (a[5] << 24) | (a[6] << 16) | (a[7] << 8) | a[8];
    int w, h;
    Bytes body = ReadAnswer(camera, k, 0, length);
    EXPECT_TRUE(DecodeJpeg(Bytes(body.begin() + 5, body.end() - 5), w, h)) << "picture " << int(k);
  }
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x34, 0x01, 0x04}), "76 00 34 00 04 00 00 00 00");
  // Photos above 5 are refused and keep what was stored.
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x88, 0x03, 0x06, 0x01, 0xF4}), "76 00 88 01 01");
  EXPECT_EQ(camera.storedCount, 3);

  // Reports store their pictures; a failed auto-capture (EE) stores none.
  EXPECT_EQ(ToHex(camera.MotionReport(2).Flatten()), "76 00 39 00 02");
  EXPECT_EQ(camera.storedCount, 2);
  EXPECT_EQ(ToHex(camera.PersonVehicleReport(2, 0, 4).Flatten()), "76 00 39 03 02 00 04");
  EXPECT_EQ(camera.storedCount, 2) << "a live count stores nothing";
  EXPECT_EQ(ToHex(camera.AutoCaptureReport(0xEE).Flatten()), "76 00 92 02 01 EE");
  EXPECT_EQ(camera.storedCount, 2);
  camera.AutoCaptureReport(9);
  EXPECT_NE(camera.StoredAt(9), nullptr) << "buffers beyond five are filled on demand";
  EXPECT_EQ(camera.StoredAt(10), nullptr);
}

TEST(CamSimCamera, CropStatusRules) {
  CCamSimCamera camera(CamSimOptions{});  // 640x480
  struct Case {
    uint8_t enable;
    uint16_t x, y, w, h;
    uint8_t status;
  } cases[] = {
      {1, 0, 0, 640, 480, 0},
      {1, 16, 8, 320, 240, 0},
      {1, 0, 0, 30, 240, 3},    // narrower than 32
      {1, 0, 0, 322, 240, 3},   // width not a multiple of 4
      {1, 0, 0, 644, 240, 3},   // wider than the picture
      {1, 0, 0, 320, 28, 4},    // lower than 32
      {1, 0, 0, 320, 242, 4},   // height not a multiple of 4
      {1, 0, 0, 320, 484, 4},
      {1, 336, 0, 320, 240, 5}, // x + width beyond 640
      {1, 0, 242, 320, 240, 5}, // y + height beyond 480
      {0, 0, 0, 0, 0, 0},       // switching off needs no window
  };
  for (const Case& c : cases) {
    Bytes request = {0x56, 0x00, 0x8B, 0x0A, 0x01, c.enable, uint8_t(c.x >> 8), uint8_t(c.x), uint8_t(c.y >> 8),
                     uint8_t(c.y), uint8_t(c.w >> 8), uint8_t(c.w), uint8_t(c.h >> 8), uint8_t(c.h)};
    char expected[32];
    std::snprintf(expected, sizeof expected, "76 00 8B 02 01 %02X", c.status);
    EXPECT_EQ(Ask(camera, request), expected) << c.x << "," << c.y << " " << c.w << "x" << c.h;
  }
  // The last accepted window is kept when cropping is switched off; the read-back says so.
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x8B, 0x01, 0x02}),
            "76 00 8B 0E 02 00 00 10 00 08 01 40 00 F0 02 80 01 E0");
  // A cropped picture has the window's size.
  camera.Handle({0x56, 0x00, 0x8B, 0x0A, 0x01, 0x01, 0x00, 0x10, 0x00, 0x08, 0x01, 0x40, 0x00, 0xF0}, true);
  camera.Handle({0x56, 0x00, 0x36, 0x01, 0x00}, true);
  int w = 0, h = 0;
  ASSERT_TRUE(DecodeJpeg(*camera.frozen->bytes, w, h));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
}

TEST(CamSimCamera, ImageParameterStatusRulesAndDefaults) {
  CCamSimCamera camera(CamSimOptions{});
  auto set = [&](uint8_t mode, uint8_t manual, uint16_t wb, uint8_t hlc) {
    return Ask(camera, {0x56, 0x00, 0x91, 0x0C, 0x04, mode, 10, 20, 30, 40, 50, manual, uint8_t(wb >> 8),
                        uint8_t(wb), 5, hlc});
  };
  EXPECT_EQ(set(0, 0, 341, 4), "76 00 91 02 04 00");
  EXPECT_EQ(set(1, 1, 300, 10), "76 00 91 02 04 00");
  EXPECT_EQ(set(0, 1, 600, 0), "76 00 91 02 04 00");
  EXPECT_EQ(set(0, 1, 700, 4), "76 00 91 02 04 01") << "manual white balance above 600";
  EXPECT_EQ(set(0, 1, 299, 4), "76 00 91 02 04 01");
  EXPECT_EQ(set(0, 0, 700, 4), "76 00 91 02 04 00") << "automatic: the value is not used";
  EXPECT_EQ(set(0, 2, 341, 4), "76 00 91 02 04 02") << "white-balance mode byte above 1";
  EXPECT_EQ(set(0, 0, 341, 11), "76 00 91 02 04 03") << "HLC above 10";

  // The night set holds what was last accepted for it; reading returns it.
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x90, 0x02, 0x04, 0x01}),
            "76 00 90 0C 04 01 0A 14 1E 28 32 01 01 2C 05 0A");
  // Reset gives the defaults for the selected set only.
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x91, 0x02, 0x04, 0x01}),
            "76 00 91 0C 04 01 80 80 80 80 80 00 01 55 00 04");
  EXPECT_EQ(Ask(camera, {0x56, 0x00, 0x90, 0x02, 0x04, 0x00}),
            "76 00 90 0C 04 00 0A 14 1E 28 32 00 02 BC 05 04");
}

TEST(CamSimCamera, SettingsDetectionAndRegisterReplies) {
  CamSimOptions options;
  options.serial = 0x01;
  options.baud = 57600;
  CCamSimCamera camera(options);
  auto detection = Bytes{0x56, 0x01, 0x91, 0x0C, 0x02, 0x01, 0x01, 0x04, 0x01, 0x02, 0x03, 0x01, 0x05, 0x03, 0xE8, 0x1E};
  EXPECT_EQ(Ask(camera, detection), "76 01 91 02 02 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x90, 0x01, 0x02}), "76 01 90 0C 02 01 01 04 01 02 03 01 05 03 E8 1E");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x31, 0x05, 0x05, 0x01, 0x00, 0x19, 0xAD}), "76 01 31 00 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x31, 0x05, 0x01, 0x01, 0x12, 0x04, 0x50}), "76 01 31 00 00");
  // Serial, size code AD, baud code of 57600, compression, detection kind (person).
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x90, 0x01, 0x00}), "76 01 90 07 00 01 AD 1C 4C 50 01");
  // The default rate is remembered (reply without a data byte) and reported back.
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x31, 0x06, 0x05, 0x02, 0x00, 0x08, 0xEE, 0xA3}), "76 01 31 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x90, 0x01, 0x00}), "76 01 90 07 00 01 AD EE A3 50 01");
  // Changing the default rate takes effect at the next reset; a temporary rate at once.
  auto reset = camera.Handle({0x56, 0x01, 0x26, 0x00}, true);
  ASSERT_EQ(reset.size(), 1u);
  EXPECT_EQ(ToHex(reset[0].answer.Flatten()), "76 01 26 00 49 6E 69 74 20 65 6E 64 0D 0A");
  EXPECT_EQ(reset[0].switchBaudTo, 921600u);
  auto temp = camera.Handle({0x56, 0x01, 0x24, 0x03, 0x01, 0x0D, 0xA6}, true);
  EXPECT_EQ(ToHex(temp.at(0).answer.Flatten()), "76 01 24 00");
  EXPECT_EQ(temp[0].switchBaudTo, 115200u);

  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x11, 0x00}), "76 01 11 00 0B 51 56 58 35 4D 30 20 32 2E 30 30");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x85, 0x01, 0x65}), "76 01 85 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x3E, 0x03, 0x00, 0x01, 0x01}), "76 01 3E 00 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x37, 0x01, 0x01}), "76 01 37 00 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x87, 0x04, 0x03, 0x0A, 0x00, 0x64}), "76 01 87 01 00");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x87, 0x04, 0x00, 0x0A, 0x00, 0x64}), "76 01 87 01 01");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x91, 0x04, 0x01, 0x03, 0x01, 0xF4}), "76 01 91 01 00");
  EXPECT_EQ(camera.powerOnPhotos, 3);
  // A malformed or unknown request gets the error text.
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x5A, 0x00}), "63 6F 6D 6D 61 6E 64 20 65 72 72 6F 72");
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x90, 0x01, 0x07}), "63 6F 6D 6D 61 6E 64 20 65 72 72 6F 72");
  // A forced status is used once.
  camera.forcedStatus[0x31] = 2;
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x31, 0x05, 0x01, 0x01, 0x12, 0x04, 0x40}), "76 01 31 02 00");
  EXPECT_EQ(camera.compression, 0x50) << "a refused write changes nothing";
  EXPECT_EQ(Ask(camera, {0x56, 0x01, 0x31, 0x05, 0x01, 0x01, 0x12, 0x04, 0x40}), "76 01 31 00 00");
}

TEST(CamSimCamera, OsdReplyNamesTheLineAndBannerCarriesTheVersion) {
  CamSimOptions options;
  options.model = "QVX2M2E 1.01";
  CCamSimCamera camera(options);
  Bytes osd = {0x56, 0x00, 0x86, 0x0F, 0x01, 0x02, 0x02, 0x00, 0x10, 0x00, 0x20, 0x00, 0x7C, 0xFF, 0xFF, 0x03, 'a', 'b', 'c'};
  EXPECT_EQ(Ask(camera, osd), "76 00 86 01 02");
  std::string banner;
  for (uint8_t b : camera.PowerOnBanner().Flatten()) banner += static_cast<char>(b);
  EXPECT_NE(banner.find("sion:QVX2M2E 1.01\r"), std::string::npos);
  EXPECT_NE(banner.find("Init end"), std::string::npos);
}
