// Request frames. Each sender builds its frame from the template and the serial number
// applied last, and hands it to the channel at once. Frames are built in local buffers so
// that senders on the GUI thread and the worker never write into a shared template.
#include <cstdio>

#include "protocol/ProtocolImpl.h"
#include "protocol/ProtocolTables.h"

namespace {
constexpr uint8_t REQ = 0x56;
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
}  // namespace

void CCameraProtocol::ApplySerialNumber(uint8_t serialNumber) {
  m_pImpl->templateSn = serialNumber;
}

uint8_t CCameraProtocol::AppliedSerialNumber() const { return m_pImpl->templateSn; }

void CCameraProtocol::SendReset() { m_pImpl->Write({REQ, SN, 0x26, 0x00}); }

void CCameraProtocol::SendStopFrame(uint8_t xx) { m_pImpl->Write({REQ, SN, 0x36, 0x01, xx}); }

void CCameraProtocol::SendResumeFrame() { m_pImpl->Write({REQ, SN, 0x36, 0x01, 0x03}); }

void CCameraProtocol::SendGetFrameLength(uint8_t selector) {
  bool longForm;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->stateMutex);
    auto& st = m_pImpl->st;
    st.lengthSelector = selector;
    // The NV12 form also reports width and height, which the converter needs.
    longForm = selector == 0 && st.imageType == IMAGE_TYPE_YUV &&
               (st.captureMode == CAPTURE_SINGLE || st.captureMode == CAPTURE_CONTINUOUS);
  }
  if (longForm)
    m_pImpl->Write({REQ, SN, 0x34, 0x02, 0x00, 0x00});
  else
    m_pImpl->Write({REQ, SN, 0x34, 0x01, selector});
}

void CCameraProtocol::SendReadFrameBuffer(uint8_t selector, uint32_t address, uint32_t length,
                                          uint16_t delay) {
  std::vector<uint8_t> f{REQ, SN, 0x32, 0x0C, selector, 0x0A};
  PutBe32(f, address);
  PutBe32(f, length);
  PutBe16(f, delay);
  m_pImpl->Write(std::move(f));
}

void CCameraProtocol::SendCompression(uint8_t value) {
  m_pImpl->Write({REQ, SN, 0x31, 0x05, 0x01, 0x01, 0x12, 0x04, value});
}

void CCameraProtocol::SendPowerSave(int mode) {
  if (mode == 1)
    m_pImpl->Write({REQ, SN, 0x3E, 0x03, 0x00, 0x01, 0x01});
  else if (mode == 2)
    m_pImpl->Write({REQ, SN, 0x3E, 0x03, 0x00, 0x01, 0x00});
}

void CCameraProtocol::SendBaudRate(unsigned baud) {
  const BaudCode* row = FindBaud(baud);
  if (!row) return;
  const std::string version = GetVersionText();
  if (version.empty()) return;  // the interface byte depends on the firmware
  const uint8_t iface = (baud >= 9600 && baud <= 115200)
                            ? 0x04
                            : HighRateInterfaceByte(version, row->interfaceByte);
  m_pImpl->Write({REQ, SN, 0x31, 0x06, iface, 0x02, 0x00, 0x08, row->high, row->low});
}

void CCameraProtocol::SendTempBaudRate(unsigned baud) {
  const BaudCode* row = FindBaud(baud);
  if (!row || !row->temporary) return;
  m_pImpl->Write({REQ, SN, 0x24, 0x03, 0x01, row->high, row->low});
}

void CCameraProtocol::SendImageSize(int sizeIndex) {
  if (sizeIndex < 1 || sizeIndex > 14) return;
  const uint8_t iface = sizeIndex <= 3 ? 0x04 : 0x05;
  m_pImpl->Write({REQ, SN, 0x31, 0x05, iface, 0x01, 0x00, 0x19, kImageSizeCodes[sizeIndex - 1]});
}

void CCameraProtocol::SendMotionControl(int mode) {
  switch (mode) {
    case 1: m_pImpl->Write({REQ, SN, 0x37, 0x01, 0x01}); break;
    case 0: m_pImpl->Write({REQ, SN, 0x37, 0x01, 0x00}); break;
    case 2: m_pImpl->Write({REQ, SN, 0x31, 0x05, 0x01, 0x01, 0x1A, 0x6E, 0x03}); break;
    default: break;
  }
}

void CCameraProtocol::SendFillLight(unsigned level) {
  const uint8_t lv = static_cast<uint8_t>(level <= 101 ? level : 100);
  m_pImpl->Write({REQ, SN, 0x85, 0x01, lv});
}

void CCameraProtocol::SendOsdLine(const OsdLineSetting& record) {
  const unsigned n = record.length;  // at most 255: the text array holds 256
  const unsigned sum = 12 + n;
  std::vector<uint8_t> f{REQ, SN, 0x86, static_cast<uint8_t>(sum > 255 ? 255 : sum)};
  f.push_back(record.display);
  f.push_back(record.line);
  f.push_back(record.font);
  PutBe16(f, record.x);
  PutBe16(f, record.y);
  PutBe16(f, record.fontColor);
  PutBe16(f, record.backColor);
  f.push_back(record.length);
  f.insert(f.end(), record.text, record.text + n);
  m_pImpl->Write(std::move(f));
}

void CCameraProtocol::SendGetVersion() { m_pImpl->Write({REQ, SN, 0x11, 0x00}); }

void CCameraProtocol::SendMotionCapture(uint8_t photos, uint16_t interval, uint8_t nextDetect) {
  m_pImpl->Write({REQ, SN, 0x87, 0x04, photos, nextDetect, Hi(interval), Lo(interval)});
}

void CCameraProtocol::SendMultiCapture(uint8_t photos, uint16_t interval) {
  m_pImpl->Write({REQ, SN, 0x88, 0x03, photos, Hi(interval), Lo(interval)});
}

void CCameraProtocol::SendPowerOnCapture(uint8_t photos, uint16_t interval) {
  m_pImpl->Write({REQ, SN, 0x91, 0x04, 0x01, photos, Hi(interval), Lo(interval)});
}

void CCameraProtocol::SendCropSetting(const CropSettings& record) {
  if (record.operation != 1) {
    m_pImpl->Write({REQ, SN, 0x8B, 0x01, 0x02});
    return;
  }
  std::vector<uint8_t> f{REQ, SN, 0x8B, 0x0A, 0x01, record.enable};
  PutBe16(f, record.x);
  PutBe16(f, record.y);
  PutBe16(f, record.width);
  PutBe16(f, record.height);
  m_pImpl->Write(std::move(f));
}

void CCameraProtocol::SendDetectionSetting(const DetectSettings& r) {
  // Record bytes 4..10, then byte 0, the 16-bit field at offset 2, byte 1.
  m_pImpl->Write({REQ, SN, 0x91, 0x0C, 0x02, r.powerOnDetect, r.type, r.sensitivity, r.mode,
                  r.threshold, r.distance, r.targetSelect, r.photos, Hi(r.interval),
                  Lo(r.interval), r.nextDetect});
}

void CCameraProtocol::SendReadDetection() { m_pImpl->Write({REQ, SN, 0x90, 0x01, 0x02}); }

void CCameraProtocol::SendReadSettings() { m_pImpl->Write({REQ, SN, 0x90, 0x01, 0x00}); }

void CCameraProtocol::SendImageParams(const ImageParams& r) {
  m_pImpl->Write({REQ, SN, 0x91, 0x0C, 0x04, r.mode, r.brightness, r.contrast, r.sharpness,
                  r.saturation, r.hue, r.manualWhiteBalance, r.whiteBalanceHigh,
                  r.whiteBalanceLow, r.exposure, r.hlc});
}

void CCameraProtocol::SendReadImageParams(uint8_t selector) {
  m_pImpl->Write({REQ, SN, 0x90, 0x02, 0x04, static_cast<uint8_t>(selector <= 1 ? selector : 0)});
}

void CCameraProtocol::SendResetImageParams(uint8_t selector) {
  m_pImpl->Write({REQ, SN, 0x91, 0x02, 0x04, static_cast<uint8_t>(selector <= 1 ? selector : 0)});
}

void CCameraProtocol::SendImageFormat(uint8_t type) {
  m_pImpl->Write({REQ, SN, 0x93, 0x03, 0x03, 0x01, type});
}
