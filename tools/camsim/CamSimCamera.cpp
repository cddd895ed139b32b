#include "camsim/CamSimCamera.h"

#include <algorithm>
#include <utility>

namespace camsim {

namespace {

const ImageSize kSizes[kImageSizeCount] = {
    {160, 120, 0x22},   {320, 240, 0x11},   {640, 480, 0x00},   {1024, 768, 0x33},   {1280, 720, 0x44},
    {1280, 960, 0x55},  {1920, 1080, 0x66}, {1600, 1200, 0x77}, {2304, 1296, 0x88}, {2560, 1440, 0x99},
    {2560, 1920, 0xAA}, {3200, 1800, 0xAB}, {3520, 1980, 0xAC}, {3840, 2160, 0xAD},
};

struct BaudCode {
  unsigned baud;
  uint16_t code;
};
const BaudCode kBaudCodes[] = {
    {9600, 0xAEC8},   {19200, 0x56E4},  {38400, 0x2AF2},  {57600, 0x1C4C},
    {115200, 0x0DA6}, {230400, 0xEEA1}, {460800, 0xEEA2}, {921600, 0xEEA3},
};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void PutBe16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void PutBe32(Bytes& out, uint32_t v) {
  PutBe16(out, v >> 16);
  PutBe16(out, v & 0xFFFF);
}

std::vector<CameraAnswer> One(Answer answer, unsigned switchBaudTo = 0) {
  std::vector<CameraAnswer> out(1);
  out[0].answer = std::move(answer);
  out[0].switchBaudTo = switchBaudTo;
  return out;
}

// The frame has the shape and the length its header announces.
bool IsWholeRequest(const Bytes& f) {
  if (f.size() < 4 || !IsKnownRequestShape(f[2], f[3])) return false;
  if (f[2] == 0x32) return f.size() == 16;
  if (f[2] == 0x86) return f.size() >= 16 && f.size() == 16u + f[15];
  return f.size() == 4u + f[3];
}

}  // namespace

const ImageSize& ImageSizeAt(int index) { return kSizes[std::clamp(index, 1, kImageSizeCount) - 1]; }

int ImageSizeIndexForCode(uint8_t code) {
  for (int i = 0; i < kImageSizeCount; ++i)
    if (kSizes[i].code == code) return i + 1;
  return 0;
}

unsigned BaudForCode(uint16_t code) {
  for (const BaudCode& b : kBaudCodes)
    if (b.code == code) return b.baud;
  return 0;
}

uint16_t CodeForBaud(unsigned baud) {
  for (const BaudCode& b : kBaudCodes)
    if (b.baud == baud) return b.code;
  return 0;
}

CCamSimCamera::CCamSimCamera(const CamSimOptions& options)
    : model(options.model), serial(options.serial), imagesDir(options.imagesDir) {
  if (uint16_t code = CodeForBaud(options.baud)) defaultBaudCode = code;
  powerOnBaud = options.baud;
  detection = {0, 0, 0, 0, 1, 2, 0, 3, 0x00, 0x64, 10};
  imageParams[0] = DefaultImageParams(0);
  imageParams[1] = DefaultImageParams(1);
  frameCounter = options.seed;
  if (!imagesDir.empty()) m_imageFiles = ListJpegFiles(imagesDir);
}

std::array<uint8_t, 11> CCamSimCamera::DefaultImageParams(uint8_t selector) {
  // brightness..hue 128, automatic white balance with the value 341, exposure 0, HLC 4
  return {selector, 128, 128, 128, 128, 128, 0, 0x01, 0x55, 0, 4};
}

Answer CCamSimCamera::Reply(uint8_t command, std::initializer_list<uint8_t> rest) const {
  Bytes bytes = Header(command);
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  Answer answer;
  answer.Append(std::move(bytes));
  return answer;
}

uint8_t CCamSimCamera::Status(uint8_t command, uint8_t judged) {
  auto it = forcedStatus.find(command);
  if (it == forcedStatus.end()) return judged;
  uint8_t status = it->second;
  forcedStatus.erase(it);
  return status;
}

PictureWindow CCamSimCamera::Window() const {
  const ImageSize& size = ImageSizeAt(sizeIndex);
  PictureWindow w;
  w.fullWidth = w.width = size.width;
  w.fullHeight = w.height = size.height;
  if (crop.enable) {
    w.x = crop.x;
    w.y = crop.y;
    w.width = crop.width;
    w.height = crop.height;
  }
  return w;
}

Picture CCamSimCamera::TakePicture(bool nv12) {
  Picture picture;
  picture.nv12 = nv12;
  const PictureWindow window = Window();
  if (nextPicture) {
    auto bytes = std::make_shared<const Bytes>(std::move(*nextPicture));
    nextPicture.reset();
    if (nv12 || !JpegDimensions(*bytes, picture.width, picture.height)) {
      picture.width = window.width;
      picture.height = window.height;
    }
    picture.bytes = std::move(bytes);
    return picture;
  }
  if (!nv12 && !m_imageFiles.empty()) {
    Bytes bytes;
    const std::string& path = m_imageFiles[m_nextImageFile++ % m_imageFiles.size()];
    if (ReadWholeFile(path, bytes) && JpegDimensions(bytes, picture.width, picture.height)) {
      picture.bytes = std::make_shared<const Bytes>(std::move(bytes));
      return picture;
    }
  }
  ++frameCounter;
  if (nv12) {
    picture.width = window.width & ~1;
    picture.height = window.height & ~1;
    picture.bytes = std::make_shared<const Bytes>(RenderPatternNv12(window, frameCounter));
  } else {
    picture.width = window.width;
    picture.height = window.height;
    picture.bytes = std::make_shared<const Bytes>(
        EncodePatternJpeg(window, frameCounter, QualityForCompression(compression)));
  }
  return picture;
}

void CCamSimCamera::StorePictures(int count) {
  stored.clear();
  storedCount = std::clamp(count, 0, 255);
  // A real burst holds at most five pictures; those are taken now, at the current settings.
  // Buffers a report claims beyond them are filled when first read.
  for (int i = 1; i <= std::min(storedCount, 5); ++i) stored[i] = TakePicture(false);
}

void CCamSimCamera::SetStored(const std::vector<Bytes>& pictures) {
  stored.clear();
  storedCount = static_cast<int>(std::min<size_t>(pictures.size(), 255));
  for (int i = 1; i <= storedCount; ++i) {
    Picture p;
    p.bytes = std::make_shared<const Bytes>(pictures[i - 1]);
    JpegDimensions(*p.bytes, p.width, p.height);
    stored[i] = std::move(p);
  }
}

const Picture* CCamSimCamera::StoredAt(int index) {
  if (index < 1 || index > storedCount) return nullptr;
  auto it = stored.find(index);
  if (it == stored.end()) it = stored.emplace(index, TakePicture(false)).first;
  return &it->second;
}

const Picture* CCamSimCamera::PictureFor(uint8_t selector) {
  if (selector == 0) return frozen ? &*frozen : nullptr;
  return StoredAt(selector);
}

uint8_t CCamSimCamera::JudgeCrop(const CCamSim::Crop& c) const {
  const ImageSize& size = ImageSizeAt(sizeIndex);
  if (c.width % 4 != 0 || c.width < 32 || c.width > size.width) return 3;
  if (c.height % 4 != 0 || c.height < 32 || c.height > size.height) return 4;
  if (c.x + c.width > size.width || c.y + c.height > size.height) return 5;
  return 0;
}

uint8_t CCamSimCamera::JudgeImageParams(const uint8_t* record) {
  if (record[6] > 1) return 2;
  unsigned whiteBalance = Be16(record + 7);
  if (record[6] == 1 && (whiteBalance < 300 || whiteBalance > 600)) return 1;
  if (record[10] > 10) return 3;
  return 0;
}

// ---- Unsolicited ----

Answer CCamSimCamera::PowerOnBanner() const {
  Answer a;
  std::string text = "\r\nVersion:" + model + "\r\nInit end\r\n";
  a.Append(Bytes(text.begin(), text.end()));
  a.what = "power-on banner";
  return a;
}

Answer CCamSimCamera::MotionReport(uint8_t count) {
  StorePictures(count);
  Answer a = Reply(0x39, {0x00, count});
  a.what = "motion report";
  return a;
}

Answer CCamSimCamera::PersonVehicleReport(uint8_t kind, uint8_t storedFlag, uint8_t count) {
  if (storedFlag == 1) StorePictures(count);
  Answer a = Reply(0x39, {0x03, kind, storedFlag, count});
  a.what = "person/vehicle report";
  return a;
}

Answer CCamSimCamera::AutoCaptureReport(uint8_t count) {
  if (count != 0xEE) StorePictures(count);
  Answer a = Reply(0x92, {0x02, 0x01, count});
  a.what = "auto-capture report";
  return a;
}

Answer CCamSimCamera::MotionWhileCapturing() const {
  Answer a = Reply(0x39, {0x00, 0x00});
  a.what = "motion while capturing";
  return a;
}

Answer CCamSimCamera::ErrorText() const {
  static const char kText[] = "command error";
  Answer a;
  a.Append(Bytes(kText, kText + sizeof kText - 1));
  a.what = "error text";
  return a;
}

// ---- Requests ----

std::vector<CameraAnswer> CCamSimCamera::Handle(const Bytes& f, bool wellFormed) {
  if (!wellFormed || !IsWholeRequest(f)) return One(ErrorText());
  using Handler = std::vector<CameraAnswer> (CCamSimCamera::*)(const Bytes&);
  static const std::pair<uint8_t, Handler> kHandlers[] = {
      {0x26, &CCamSimCamera::OnReset},         {0x11, &CCamSimCamera::OnVersion},
      {0x36, &CCamSimCamera::OnStopFrame},     {0x34, &CCamSimCamera::OnFrameLength},
      {0x32, &CCamSimCamera::OnFrameBufferRead}, {0x31, &CCamSimCamera::OnRegisterWrite},
      {0x3E, &CCamSimCamera::OnPowerSave},     {0x24, &CCamSimCamera::OnTempBaud},
      {0x37, &CCamSimCamera::OnMotionControl}, {0x85, &CCamSimCamera::OnFillLight},
      {0x86, &CCamSimCamera::OnOsd},           {0x87, &CCamSimCamera::OnMotionCapture},
      {0x88, &CCamSimCamera::OnMultiCapture},  {0x8B, &CCamSimCamera::OnCrop},
      {0x91, &CCamSimCamera::OnVendorWrite},   {0x90, &CCamSimCamera::OnVendorRead},
      {0x93, &CCamSimCamera::OnImageFormat},
  };
  for (const auto& [command, handler] : kHandlers)
    if (command == f[2]) return (this->*handler)(f);
  return One(ErrorText());
}

// Reset: the camera reboots; a temporary rate is lost.
std::vector<CameraAnswer> CCamSimCamera::OnReset(const Bytes&) {
  Answer a;
  Bytes bytes = Header(0x26);
  bytes.push_back(Status(0x26, 0));
  static const char kInitEnd[] = "Init end\r\n";
  bytes.insert(bytes.end(), kInitEnd, kInitEnd + sizeof kInitEnd - 1);
  a.Append(std::move(bytes));
  frozen.reset();
  running = true;
  tempBaud = 0;
  return One(std::move(a), powerOnBaud);
}

std::vector<CameraAnswer> CCamSimCamera::OnVersion(const Bytes&) {
  Bytes bytes = Header(0x11);
  bytes.push_back(Status(0x11, 0));
  size_t n = std::min<size_t>(model.size(), 255);
  bytes.push_back(static_cast<uint8_t>(n));
  bytes.insert(bytes.end(), model.begin(), model.begin() + static_cast<ptrdiff_t>(n));
  Answer a;
  a.Append(std::move(bytes));
  return One(std::move(a));
}

std::vector<CameraAnswer> CCamSimCamera::OnStopFrame(const Bytes& f) {
  uint8_t status = Status(0x36, 0);
  if (status == 0) {
    if (f[4] == 0x03) {
      running = true;  // the next stop takes a new picture
    } else {
      bool nv12 = f[4] == 0x0A;
      // A second stop keeps the frozen picture unless it asks for the other format.
      if (running || !frozen || frozen->nv12 != nv12) frozen = TakePicture(nv12);
      running = false;
    }
  }
  return One(Reply(0x36, {status, 0x00}));
}

std::vector<CameraAnswer> CCamSimCamera::OnPowerSave(const Bytes& f) {
  if (f[5] != 0x01) return One(ErrorText());
  powerSave = f[6];
  return One(Reply(0x3E, {Status(0x3E, 0), 0x00}));
}

std::vector<CameraAnswer> CCamSimCamera::OnTempBaud(const Bytes& f) {
  if (f[4] != 0x01) return One(ErrorText());
  unsigned baud = BaudForCode(Be16(&f[5]));
  uint8_t status = Status(0x24, baud != 0 && baud <= 115200 ? 0 : 1);
  if (status == 0) tempBaud = baud;
  return One(Reply(0x24, {status}), status == 0 && powerOnBaud ? baud : 0);
}

std::vector<CameraAnswer> CCamSimCamera::OnMotionControl(const Bytes& f) {
  uint8_t status = Status(0x37, 0);
  if (status == 0) motionOn = f[4] ? 1 : 0;
  return One(Reply(0x37, {status, 0x00}));
}

std::vector<CameraAnswer> CCamSimCamera::OnFillLight(const Bytes& f) {
  fillLight = f[4];
  return One(Reply(0x85, {Status(0x85, 0)}));
}

std::vector<CameraAnswer> CCamSimCamera::OnOsd(const Bytes& f) {
  uint8_t line = f[5];
  if (line < osdLines.size()) osdLines[line].assign(f.begin() + 4, f.end());
  return One(Reply(0x86, {0x01, line}));
}

std::vector<CameraAnswer> CCamSimCamera::OnMotionCapture(const Bytes& f) {
  uint8_t photos = f[4];
  uint8_t status = Status(0x87, photos >= 1 && photos <= 5 ? 0 : 1);
  if (status == 0) {
    // Motion capture shares the detection record's capture parameters.
    detection[7] = photos;
    detection[10] = f[5];
    detection[8] = f[6];
    detection[9] = f[7];
  }
  return One(Reply(0x87, {0x01, status}));
}

std::vector<CameraAnswer> CCamSimCamera::OnMultiCapture(const Bytes& f) {
  uint8_t photos = f[4];
  uint8_t status = Status(0x88, photos <= 5 ? 0 : 1);
  if (status == 0) {
    burstPhotos = photos;
    burstInterval = Be16(&f[5]);
    if (photos > 0) StorePictures(photos);
  }
  return One(Reply(0x88, {0x01, status}));
}

std::vector<CameraAnswer> CCamSimCamera::OnImageFormat(const Bytes& f) {
  if (f[4] != 0x03) return One(ErrorText());
  uint8_t type = f[6];
  uint8_t status = Status(0x93, type <= 1 ? 0 : 1);
  if (status == 0) imageType = type;
  return One(Reply(0x93, {0x03, 0x03, status, type}));
}

std::vector<CameraAnswer> CCamSimCamera::OnRegisterWrite(const Bytes& f) {
  const uint8_t count = f[5];
  if (f.size() != 8u + count) return One(ErrorText());
  const uint16_t address = Be16(&f[6]);
  const uint8_t* data = &f[8];
  switch (address) {
    case 0x1204:  // compression
      if (count == 1) {
        uint8_t status = Status(0x31, 0);
        if (status == 0) compression = data[0];
        return One(Reply(0x31, {status, 0x00}));
      }
      break;
    case 0x0008: {  // default baud rate: takes effect at the next reset
      if (count != 2) break;
      uint16_t code = Be16(data);
      uint8_t status = Status(0x31, BaudForCode(code) ? 0 : 1);
      if (status == 0) {
        defaultBaudCode = code;
        if (powerOnBaud) powerOnBaud = BaudForCode(code);
      }
      return One(Reply(0x31, {status}));
    }
    case 0x0019: {  // image size
      if (count != 1) break;
      int index = ImageSizeIndexForCode(data[0]);
      // 31 00 00: the size changed (the tool resets the camera); 31 01 00: nothing to change.
      uint8_t judged = index != 0 && index != sizeIndex ? 0 : 1;
      uint8_t status = Status(0x31, judged);
      if (status == 0 && index != 0) {
        sizeIndex = index;
        if (crop.enable && JudgeCrop(crop) != 0) crop.enable = 0;  // no longer inside the picture
      }
      return One(Reply(0x31, {status, 0x00}));
    }
    case 0x1A6E:  // motion sensitivity
      if (count == 1) {
        uint8_t status = Status(0x31, 0);
        if (status == 0) motionSensitivity = data[0];
        return One(Reply(0x31, {status, 0x00}));
      }
      break;
    default: {
      uint8_t status = Status(0x31, 0);
      if (status == 0) registers[address] = Bytes(data, data + count);
      return One(Reply(0x31, {status, 0x00}));
    }
  }
  return One(ErrorText());
}

std::vector<CameraAnswer> CCamSimCamera::OnFrameLength(const Bytes& f) {
  uint8_t status = Status(0x34, 0);
  if (f[3] == 2) {  // 56 SN 34 02 00 00: 13 bytes with the frozen frame's length, width, height
    const Picture* p = frozen ? &*frozen : nullptr;
    Bytes bytes = Header(0x34);
    bytes.push_back(status);
    bytes.push_back(0x0A);
    PutBe32(bytes, p ? static_cast<uint32_t>(p->Size()) : 0);
    PutBe16(bytes, p ? p->width : 0);
    PutBe16(bytes, p ? p->height : 0);
    Answer a;
    a.Append(std::move(bytes));
    return One(std::move(a));
  }
  const Picture* p = PictureFor(f[4]);
  Bytes bytes = Header(0x34);
  bytes.push_back(status);
  bytes.push_back(0x04);
  PutBe32(bytes, p ? static_cast<uint32_t>(p->Size()) : 0);
  Answer a;
  a.Append(std::move(bytes));
  return One(std::move(a));
}

std::vector<CameraAnswer> CCamSimCamera::OnFrameBufferRead(const Bytes& f) {
  const Picture* p = PictureFor(f[4]);
  const uint64_t address = Be32(&f[6]);
  const uint64_t length = Be32(&f[10]);
  const uint64_t size = p ? p->Size() : 0;
  Answer a;
  a.frameBuffer = true;
  Bytes marker = {0x76, serial, 0x32, Status(0x32, 0), 0x00};
  a.Append(marker);
  // Bytes past the end of the picture read as zeros: the answer always carries exactly the
  // requested count, so a reader framing by length never loses sync.
  uint64_t inside = address < size ? std::min(length, size - address) : 0;
  if (inside) a.AppendShared(p->bytes, address, inside);
  a.AppendZeros(length - inside);
  a.Append(marker);
  a.what = "frame-buffer read";
  return One(std::move(a));
}

std::vector<CameraAnswer> CCamSimCamera::OnCrop(const Bytes& f) {
  if (f[3] == 0x0A && f[4] == 0x01) {
    CCamSim::Crop requested;
    requested.enable = f[5];
    requested.x = Be16(&f[6]);
    requested.y = Be16(&f[8]);
    requested.width = Be16(&f[10]);
    requested.height = Be16(&f[12]);
    // Switching cropping off needs no valid window; the last one is kept.
    uint8_t judged = requested.enable ? JudgeCrop(requested) : 0;
    if (forcedCropStatus) {
      judged = *forcedCropStatus;
      forcedCropStatus.reset();
    }
    uint8_t status = Status(0x8B, judged);
    if (status == 0) {
      if (requested.enable) {
        crop = requested;
        crop.enable = 1;
      } else {
        crop.enable = 0;
      }
    }
    return One(Reply(0x8B, {0x02, 0x01, status}));
  }
  if (f[3] == 0x01 && f[4] == 0x02) {
    const ImageSize& size = ImageSizeAt(sizeIndex);
    Bytes bytes = Header(0x8B);
    bytes.push_back(0x0E);
    bytes.push_back(0x02);
    bytes.push_back(crop.enable);
    for (uint32_t v : {uint32_t{crop.x}, uint32_t{crop.y}, uint32_t{crop.width}, uint32_t{crop.height},
                       uint32_t(size.width), uint32_t(size.height)})
      PutBe16(bytes, v);
    Answer a;
    a.Append(std::move(bytes));
    return One(std::move(a));
  }
  return One(ErrorText());
}

std::vector<CameraAnswer> CCamSimCamera::OnVendorWrite(const Bytes& f) {
  const uint8_t length = f[3], sub = f[4];
  if (length == 0x04 && sub == 0x01) {  // power-on capture: photos, interval
    uint8_t photos = f[5];
    uint8_t status = Status(0x91, photos <= 5 ? 0 : 1);
    if (status == 0) {
      powerOnPhotos = photos;
      powerOnInterval = Be16(&f[6]);
    }
    return One(Reply(0x91, {0x01, status}));
  }
  if (length == 0x0C && sub == 0x02) {  // detection settings
    uint8_t status = Status(0x91, 0);
    if (status == 0) std::copy(f.begin() + 5, f.begin() + 16, detection.begin());
    return One(Reply(0x91, {0x02, 0x02, status}));
  }
  if (length == 0x0C && sub == 0x04) {  // image parameters of one set
    uint8_t judged = JudgeImageParams(&f[5]);
    if (forcedImageParamsStatus) {
      judged = *forcedImageParamsStatus;
      forcedImageParamsStatus.reset();
    }
    uint8_t status = Status(0x91, judged);
    if (status == 0) std::copy(f.begin() + 5, f.begin() + 16, imageParams[f[5] & 1].begin());
    return One(Reply(0x91, {0x02, 0x04, status}));
  }
  if (length == 0x02 && sub == 0x04) {  // reset one set to the defaults
    uint8_t selector = f[5];
    auto& set = imageParams[selector & 1];
    set = DefaultImageParams(selector);
    Bytes bytes = Header(0x91);
    bytes.push_back(0x0C);
    bytes.push_back(0x04);
    bytes.insert(bytes.end(), set.begin(), set.end());
    Answer a;
    a.Append(std::move(bytes));
    return One(std::move(a));
  }
  return One(ErrorText());
}

std::vector<CameraAnswer> CCamSimCamera::OnVendorRead(const Bytes& f) {
  const uint8_t length = f[3], sub = f[4];
  Bytes bytes = Header(0x90);
  if (length == 0x01 && sub == 0x02) {
    bytes.push_back(0x0C);
    bytes.push_back(0x02);
    bytes.insert(bytes.end(), detection.begin(), detection.end());
  } else if (length == 0x01 && sub == 0x00) {
    bytes.push_back(0x07);
    bytes.push_back(0x00);
    bytes.push_back(serial);
    bytes.push_back(ImageSizeAt(sizeIndex).code);
    PutBe16(bytes, defaultBaudCode);
    bytes.push_back(compression);
    bytes.push_back(detection[1] & 0x0F);
  } else if (length == 0x02 && sub == 0x04) {
    uint8_t selector = f[5];
    auto set = imageParams[selector & 1];
    set[0] = selector;
    bytes.push_back(0x0C);
    bytes.push_back(0x04);
    bytes.insert(bytes.end(), set.begin(), set.end());
  } else {
    return One(ErrorText());
  }
  Answer a;
  a.Append(std::move(bytes));
  return One(std::move(a));
}

}  // namespace camsim
