// Request frames. Each command's frame is built from its template by the builder in the
// table below and handed to the channel at once, with the serial number applied last in
// byte 1. Frames are built in local buffers so that the GUI thread and the worker never
// write into a shared template.
#include <cstdio>

#include "protocol/CommandTable.h"
#include "protocol/ProtocolFrames.h"
#include "protocol/ProtocolImpl.h"
#include "protocol/ProtocolTables.h"

namespace {
constexpr uint8_t SN = 0x00;  // placeholder: Write() puts the applied serial number here

uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }

void PutBe16(std::vector<uint8_t>& f, uint16_t v) {
  f.push_back(Hi(v));
  f.push_back(Lo(v));
}
void PutBe32(std::vector<uint8_t>& f, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<uint8_t>(v >> shift));
}

// A command's frame: 56 SN, the fixed bytes of its row in the command table, then `args`.
std::vector<uint8_t> Request(int code, std::initializer_list<uint8_t> args = {}) {
  const CommandLayout* layout = CommandLayoutFor(code);
  std::vector<uint8_t> f{kRequestByte, SN};
  f.insert(f.end(), layout->request, layout->request + layout->requestFixed);
  f.insert(f.end(), args);
  return f;
}

const BaudCode* FindBaud(unsigned baud) {
  for (const auto& row : kBaudCodes)
    if (row.baud == baud) return &row;
  return nullptr;
}

// Interface byte of CMD_SET_BAUD above 115200: older firmware of two models takes 04 there.
uint8_t HighRateInterfaceByte(const std::string& version, uint8_t templateByte) {
  int major = 0, minor = 0;
  if (std::sscanf(version.c_str(), "QVX1M3 %d.%d", &major, &minor) == 2)
    return (major >= 1 && minor >= 0 && minor <= 4) ? 0x04 : templateByte;
  if (std::sscanf(version.c_str(), "QVX2M0 %d.%d", &major, &minor) == 2)
    return (major >= 1 && minor >= 0 && minor <= 1) ? 0x04 : templateByte;
  return 0x05;
}

std::vector<uint8_t> TempBaudFrame(unsigned baud) {
  const BaudCode* row = FindBaud(baud);
  if (!row || !row->temporary) return {};
  return Request(CMD_SET_TEMP_BAUD, {row->high, row->low});
}

std::vector<uint8_t> ImageSizeFrame(int sizeIndex) {
  if (sizeIndex < 1 || sizeIndex > 14) return {};
  const uint8_t iface = sizeIndex <= 3 ? 0x04 : 0x05;
  return Request(CMD_SET_IMAGE_SIZE, {iface, 0x01, 0x00, 0x19, kImageSizeCodes[sizeIndex - 1]});
}

std::vector<uint8_t> FillLightFrame(unsigned level) {
  const uint8_t lv = static_cast<uint8_t>(level <= 101 ? level : 100);
  return Request(CMD_SET_FILL_LIGHT, {lv});
}

std::vector<uint8_t> OsdFrame(const OsdLineSetting& record) {
  const unsigned n = record.length;  // at most 255: the text array holds 256
  const unsigned sum = 12 + n;
  std::vector<uint8_t> f = Request(CMD_SET_OSD, {static_cast<uint8_t>(sum > 255 ? 255 : sum)});
  f.push_back(record.display);
  f.push_back(record.line);
  f.push_back(record.font);
  PutBe16(f, record.x);
  PutBe16(f, record.y);
  PutBe16(f, record.fontColor);
  PutBe16(f, record.backColor);
  f.push_back(record.length);
  f.insert(f.end(), record.text, record.text + n);
  return f;
}

std::vector<uint8_t> CropWriteFrame(const CropSettings& record) {
  std::vector<uint8_t> f = Request(CMD_SET_CROP, {record.enable});
  PutBe16(f, record.x);
  PutBe16(f, record.y);
  PutBe16(f, record.width);
  PutBe16(f, record.height);
  return f;
}

std::vector<uint8_t> DetectionFrame(const DetectSettings& r) {
  // Record bytes 4..10, then byte 0, the 16-bit field at offset 2, byte 1.
  return Request(CMD_SET_DETECTION, {r.powerOnDetect, r.type, r.sensitivity, r.mode,
                                     r.threshold, r.distance, r.targetSelect, r.photos,
                                     Hi(r.interval), Lo(r.interval), r.nextDetect});
}

std::vector<uint8_t> ImageParamsFrame(const ImageParams& r) {
  return Request(CMD_SET_IMAGE_PARAMS, {r.mode, r.brightness, r.contrast, r.sharpness,
                                        r.saturation, r.hue, r.manualWhiteBalance,
                                        r.whiteBalanceHigh, r.whiteBalanceLow, r.exposure, r.hlc});
}

std::vector<uint8_t> MotionCaptureFrame(const MotionCaptureSettings& r) {
  return Request(CMD_SET_MOTION_CAPTURE, {r.photos, r.nextDetect, Hi(r.interval), Lo(r.interval)});
}

// Burst and power-on capture: the count, then the gap.
std::vector<uint8_t> CountFrame(int code, const MultiCaptureSettings& r) {
  return Request(code, {r.photos, Hi(r.interval), Lo(r.interval)});
}

// A record write's frame, built only from the record it names: a command carrying another
// (or none) has no frame, rather than writing a default record to the camera.
template <class Record, class Build>
std::vector<uint8_t> WithRecord(const CameraCommand& command, Build build) {
  const Record* record = command.Get<Record>();
  return record ? build(*record) : std::vector<uint8_t>{};
}

uint8_t Selector(unsigned value) { return static_cast<uint8_t>(value <= 1 ? value : 0); }

}  // namespace

std::vector<uint8_t> CCameraProtocol::Impl::LengthFrame(uint8_t selector) {
  bool longForm;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.lengthSelector = selector;
    // The NV12 form also reports width and height, which the converter needs.
    longForm = selector == 0 && st.imageType == IMAGE_TYPE_YUV &&
               (st.captureMode == CAPTURE_SINGLE || st.captureMode == CAPTURE_CONTINUOUS);
  }
  if (longForm) return Request(CMD_GET_FRAME_LEN, {0x02, 0x00, 0x00});
  return Request(CMD_GET_FRAME_LEN, {0x01, selector});
}

std::vector<uint8_t> CCameraProtocol::Impl::BaudFrame(unsigned baud) {
  const BaudCode* row = FindBaud(baud);
  if (!row) return {};
  std::string version;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    version = st.versionText;
  }
  if (version.empty()) return {};  // the interface byte depends on the firmware
  const uint8_t iface = (baud >= 9600 && baud <= 115200)
                            ? 0x04
                            : HighRateInterfaceByte(version, row->interfaceByte);
  return Request(CMD_SET_BAUD, {iface, 0x02, 0x00, 0x08, row->high, row->low});
}

void CCameraProtocol::ApplySerialNumber(uint8_t serialNumber) {
  m_pImpl->templateSn = serialNumber;
}


std::vector<uint8_t> FrameBufferRequest(uint8_t selector, uint32_t address, uint32_t length,
                                        uint16_t delay) {
  std::vector<uint8_t> f = Request(CMD_READ_BUF_512, {selector, 0x0A});
  PutBe32(f, address);
  PutBe32(f, length);
  PutBe16(f, delay);
  return f;
}

void CCameraProtocol::Impl::WriteBlockRequest(uint8_t selector, uint32_t address,
                                              uint32_t length, uint16_t delay) {
  Write(FrameBufferRequest(selector, address, length, delay));
}

// ---------------------------------------------------------------- one command path

namespace {

using Frame = std::vector<uint8_t>;
using Builder = Frame (*)(CCameraProtocol::Impl&, const CameraCommand&);

struct FrameRow {
  int code;
  Builder build;
};

// One row per command a front end may issue. An empty frame means "nothing to send" (a
// value outside its table): then nothing is queued either, so no entry waits for ever.
const FrameRow kFrameRows[] = {
    {CMD_RESET, [](auto&, auto&) { return Request(CMD_RESET); }},
    {CMD_STOP_FRAME,
     [](auto&, auto& c) { return Request(CMD_STOP_FRAME, {static_cast<uint8_t>(c.Value())}); }},
    {CMD_RESUME_FRAME, [](auto&, auto&) { return Request(CMD_RESUME_FRAME); }},
    {CMD_GET_FRAME_LEN,
     [](auto& e, auto& c) { return e.LengthFrame(static_cast<uint8_t>(c.Value())); }},
    {CMD_SET_COMPRESSION,
     [](auto&, auto& c) {
       return Request(CMD_SET_COMPRESSION, {static_cast<uint8_t>(c.Value())});
     }},
    {CMD_POWER_SAVE_ON, [](auto&, auto&) { return Request(CMD_POWER_SAVE_ON); }},
    {CMD_POWER_SAVE_OFF, [](auto&, auto&) { return Request(CMD_POWER_SAVE_OFF); }},
    {CMD_SET_BAUD, [](auto& e, auto& c) { return e.BaudFrame(c.Value()); }},
    {CMD_SET_TEMP_BAUD, [](auto&, auto& c) { return TempBaudFrame(c.Value()); }},
    {CMD_SET_IMAGE_SIZE, [](auto&, auto& c) { return ImageSizeFrame(static_cast<int>(c.Value())); }},
    {CMD_SET_MOTION_SENSITIVITY,
     [](auto&, auto&) { return Request(CMD_SET_MOTION_SENSITIVITY, {0x03}); }},
    {CMD_MOTION_ON, [](auto&, auto&) { return Request(CMD_MOTION_ON); }},
    {CMD_MOTION_OFF, [](auto&, auto&) { return Request(CMD_MOTION_OFF); }},
    {CMD_FILL_LIGHT_OFF, [](auto&, auto&) { return Request(CMD_FILL_LIGHT_OFF); }},
    {CMD_SET_FILL_LIGHT, [](auto&, auto& c) { return FillLightFrame(c.Value()); }},
    {CMD_SET_OSD, [](auto&, auto& c) { return WithRecord<OsdLineSetting>(c, OsdFrame); }},
    {CMD_GET_VERSION, [](auto&, auto&) { return Request(CMD_GET_VERSION); }},
    {CMD_SET_MOTION_CAPTURE,
     [](auto&, auto& c) { return WithRecord<MotionCaptureSettings>(c, MotionCaptureFrame); }},
    {CMD_MULTI_CAPTURE,
     [](auto&, auto& c) {
       return WithRecord<MultiCaptureSettings>(
           c, [](const MultiCaptureSettings& r) { return CountFrame(CMD_MULTI_CAPTURE, r); });
     }},
    {CMD_SET_CROP, [](auto&, auto& c) { return WithRecord<CropSettings>(c, CropWriteFrame); }},
    {CMD_READ_CROP, [](auto&, auto&) { return Request(CMD_READ_CROP); }},
    {CMD_SET_POWER_CAPTURE,
     [](auto&, auto& c) {
       return WithRecord<MultiCaptureSettings>(
           c, [](const MultiCaptureSettings& r) { return CountFrame(CMD_SET_POWER_CAPTURE, r); });
     }},
    {CMD_SET_DETECTION,
     [](auto&, auto& c) { return WithRecord<DetectSettings>(c, DetectionFrame); }},
    {CMD_READ_DETECTION, [](auto&, auto&) { return Request(CMD_READ_DETECTION); }},
    {CMD_READ_SETTINGS, [](auto&, auto&) { return Request(CMD_READ_SETTINGS); }},
    {CMD_SET_IMAGE_PARAMS,
     [](auto&, auto& c) { return WithRecord<ImageParams>(c, ImageParamsFrame); }},
    {CMD_READ_IMAGE_PARAMS,
     [](auto&, auto& c) { return Request(CMD_READ_IMAGE_PARAMS, {Selector(c.Value())}); }},
    {CMD_RESET_IMAGE_PARAMS,
     [](auto&, auto& c) { return Request(CMD_RESET_IMAGE_PARAMS, {Selector(c.Value())}); }},
    {CMD_SET_IMAGE_FORMAT,
     [](auto&, auto& c) {
       return Request(CMD_SET_IMAGE_FORMAT, {static_cast<uint8_t>(c.Value())});
     }},
};

}  // namespace

std::vector<uint8_t> CCameraProtocol::Impl::BuildFrame(const CameraCommand& command) {
  for (const FrameRow& row : kFrameRows)
    if (row.code == command.code) return row.build(*this, command);
  return {};
}

bool CCameraProtocol::Impl::IssueLocked(const CameraCommand& command) {
  {
    // One issue at a time from queue to channel, so queue order is wire order whichever
    // thread issues. Built under it too: the length frame records its selector for a re-ask.
    std::lock_guard<std::mutex> issue(issueMutex);
    Frame frame = BuildFrame(command);
    if (frame.empty()) return false;
    KeepRecord(command);
    if (std::shared_ptr<IFrameChannel> line = Channel()) {
      if (holdFrames) {
        // Marked before the code is queued, so a pass that sees the code sees the hold.
        heldFrames.push_back(std::move(frame));
        framesHeld = true;
        Enqueue(command.code);
        return true;
      }
      // Queued first: the reply may be handled before the frame is posted.
      Enqueue(command.code);
      Write(std::move(frame), line);
      return true;
    }
  }
  // No line to write to, so nothing can answer: an entry queued now would head the queue
  // after the next Open and hold every reply behind it.
  ReportResult(command.code, Outcome::Cancelled, "the port is closed");
  return true;
}

bool CCameraProtocol::Issue(const CameraCommand& command) { return m_pImpl->IssueLocked(command); }

void CCameraProtocol::Impl::KeepRecord(const CameraCommand& c) {
  if (c.code == CMD_SET_IMAGE_FORMAT) {
    // Captures name and decode their temporary file by the image type.
    std::lock_guard<std::mutex> lock(stateMutex);
    st.imageType = static_cast<int>(c.Value());
    return;
  }
  if (const auto* detect = c.Get<DetectSettings>()) {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.detectType = detect->type;  // the wording of the detection switch's results
  }
  std::lock_guard<std::mutex> lock(recordMutex);
  if (const auto* osd = c.Get<OsdLineSetting>()) {
    records.osd[osd->line & 3] = *osd;
  } else if (const auto* params = c.Get<ImageParams>()) {
    records.imageParams = *params;
  } else if (const auto* crop = c.Get<CropSettings>()) {
    records.crop = *crop;
    records.crop.operation = 1;
    records.crop.status = 0xFF;  // until the camera answers
  } else if (c.code == CMD_READ_CROP) {
    records.crop.operation = 2;
  } else if (const auto* detect = c.Get<DetectSettings>()) {
    records.detect = *detect;
  } else if (const auto* motion = c.Get<MotionCaptureSettings>()) {
    records.detect.photos = motion->photos;
    records.detect.interval = motion->interval;
    records.detect.nextDetect = motion->nextDetect;
  } else if (const auto* burst = c.Get<MultiCaptureSettings>();
             burst && c.code == CMD_MULTI_CAPTURE) {
    // The burst read counts its pictures by it. Power-on capture has no record of its own.
    records.multiCapture = *burst;
  }
}

// ---------------------------------------------------------------- a frame asked again

void CCameraProtocol::Impl::WriteCommand(const CameraCommand& command) {
  Frame frame = BuildFrame(command);
  if (!frame.empty()) Write(std::move(frame));
}
