// ProcessReplies: one pass matches the reply of the command at the head of the queue at
// the start of the receive buffer, or examines unsolicited reports when nothing is
// pending. Transfer commands hand over to the image transfer.
#include <algorithm>
#include <cstring>

#include "protocol/StatusMessages.h"
#include "protocol/ProtocolImpl.h"
#include "protocol/ProtocolTables.h"

namespace {

constexpr uint8_t kReply = 0x76;
// Unsolicited bytes beyond this many are not waited on for the rest of a report.
constexpr size_t kUnsolicitedWindow = 512;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

size_t Find(const uint8_t* data, size_t size, const void* needle, size_t length) {
  if (length == 0 || size < length) return std::string::npos;
  const auto* begin = data;
  const auto* end = data + size;
  const auto* n = static_cast<const uint8_t*>(needle);
  const auto* hit = std::search(begin, end, n, n + length);
  return hit == end ? std::string::npos : static_cast<size_t>(hit - begin);
}
size_t FindText(const uint8_t* data, size_t size, const char* text) {
  return Find(data, size, text, std::strlen(text));
}

bool KnownCode(int code) {
  return (code >= 1 && code <= 4) || (code >= 7 && code <= 18) || (code >= 20 && code <= CMD_LAST);
}

// Commands whose mismatching reply is waited out (nothing removed).
bool WaitsOnMismatch(int code) {
  return (code >= 1 && code <= 3) || (code >= 7 && code <= 15);
}

}  // namespace

void CCameraProtocol::ProcessReplies() {
  std::unique_lock<std::mutex> gateLock(m_pImpl->gate);
  m_pImpl->Pass(gateLock);
}

void CCameraProtocol::Impl::Pass(std::unique_lock<std::mutex>& gateLock) {
  const int code = self.PeekCommand();
  if (code == CMD_READ_TOTAL || code == CMD_READ_BUF_512) {
    RunTransfer(code, gateLock);
    return;
  }
  std::unique_lock<std::mutex> rxLock(rxMutex);
  if (code == 0) {
    Unsolicited(rxLock);
    return;
  }
  if (!KnownCode(code)) {
    self.DropCommand();
    return;
  }
  if (rx.empty()) return;
  const auto start = std::find(rx.begin(), rx.end(), kReply);
  if (start == rx.end()) {
    self.DropCommand();
    Unsolicited(rxLock);
    return;
  }
  rx.erase(rx.begin(), start);
  HandleReply(code, rxLock);
}

namespace {

// One reply being examined at the front of the receive buffer.
class ReplyView {
 public:
  ReplyView(std::vector<uint8_t>& rx, uint8_t sn) : m_rx(rx), m_sn(sn) {}
  size_t Size() const { return m_rx.size(); }
  uint8_t operator[](size_t i) const { return m_rx[i]; }
  const uint8_t* Data() const { return m_rx.data(); }
  // 76 SN followed by tail.
  bool HeaderIs(std::initializer_list<uint8_t> tail) const {
    if (m_rx.size() < 2 + tail.size()) return false;
    if (m_rx[0] != kReply || m_rx[1] != m_sn) return false;
    return std::equal(tail.begin(), tail.end(), m_rx.begin() + 2);
  }
  void Consume(size_t k) { m_rx.erase(m_rx.begin(), m_rx.begin() + std::min(k, m_rx.size())); }
  void Clear() { std::vector<uint8_t>().swap(m_rx); }

 private:
  std::vector<uint8_t>& m_rx;
  uint8_t m_sn;
};

}  // namespace

void CCameraProtocol::Impl::HandleReply(int code, std::unique_lock<std::mutex>& rxLock) {
  ReplyView r(rx, templateSn);
  const size_t n = r.Size();

  // Minimum length reached but the header differs.
  auto mismatch = [&] {
    if (WaitsOnMismatch(code)) return;
    if (code == CMD_GET_FRAME_LEN) {
      // Ask again for the same picture; the entry at the head waits for the new answer
      // (a second entry would wait for a reply that never comes).
      r.Clear();
      uint8_t selector;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        selector = st.lengthSelector;
      }
      self.SendGetFrameLength(selector);
      return;
    }
    self.DropCommand();
    r.Consume(n);
  };
  // true when the reply is complete and its header is 76 SN tail.
  auto expect = [&](size_t minimum, std::initializer_list<uint8_t> tail) {
    if (n < minimum) return false;
    if (r.HeaderIs(tail)) return true;
    mismatch();
    return false;
  };
  auto done = [&](size_t length) {
    self.DropCommand();
    r.Consume(length);
  };
  auto successText = [](int prefix, bool ok) {
    return std::string(StatusText(prefix)) + StatusText(ok ? MSG_SUCCESS : MSG_FAIL);
  };

  switch (code) {
    case CMD_RESET: {
      if (!expect(14, {0x26, 0x00})) return;
      // The text "Init end\r\n" may follow other bytes; find its "In".
      size_t p = std::string::npos;
      for (size_t i = 4; i + 1 < r.Size(); ++i)
        if (r[i] == 'I' && r[i + 1] == 'n') {
          p = i;
          break;
        }
      if (p == std::string::npos) {
        // Keep a trailing 'I': it may be the start of the text still arriving.
        const size_t keep = r[r.Size() - 1] == 'I' ? 1 : 0;
        rx.erase(rx.begin() + 4, rx.end() - static_cast<long>(keep));
        return;
      }
      rx.erase(rx.begin() + 4, rx.begin() + static_cast<long>(p));
      if (r.Size() < 14) return;
      self.DropCommand();
      if (std::memcmp(r.Data() + 4, "Init end\r\n", 10) == 0) {
        self.LogMessage(MSG_RESET_SUCCESS);
        r.Consume(14);
        {
          std::lock_guard<std::mutex> lock(stateMutex);
          st.multiReading = false;
        }
        host->SetDetectRadio(1);
      } else {
        self.LogMessage(MSG_RESET_UNKNOWN);
        r.Clear();
      }
      return;
    }

    case CMD_STOP_FRAME: {
      if (!expect(5, {0x36, 0x00, 0x00})) return;
      done(5);
      self.LogMessage(MSG_CAPTURE_SUCCESS);
      const int mode = CaptureMode();
      if (mode == CAPTURE_SINGLE || mode == CAPTURE_CONTINUOUS) {
        {
          std::lock_guard<std::mutex> lock(stateMutex);
          st.multiReadIndex = 0;
        }
        PauseLocked(rxLock, 100);
        self.QueueCommand(CMD_GET_FRAME_LEN);
        self.SendGetFrameLength(0);
      }
      return;
    }

    case CMD_RESUME_FRAME: {
      if (n < 5) return;
      if (r.HeaderIs({0x39, 0x00, 0x00})) {
        self.DropCommand();
        r.Clear();
        self.LogMessage(MSG_MOTION_WHILE_CAPTURE);
        return;
      }
      if (!r.HeaderIs({0x36, 0x00, 0x00})) return;
      self.LogMessage(MSG_DELETE_STOP_CMD);
      done(5);
      self.LogMessage(MSG_STOP_CMD_SUCCESS);
      std::string timing;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (st.imageLength != 0) {
          if (!st.endTaken) {
            st.endTime = clock->TickMs();
            st.endTaken = true;
          }
          const double seconds = TickDiff(st.startTime, st.endTime) / 1000.0;
          timing = StrFormat("Time:%.2fs, %s,Image Size:%dX%d, Image Length:%dByte(%.2fKB)",
                             seconds, st.lastWasYuv ? "YUV(NV12)" : "JPG", st.decodedWidth,
                             st.decodedHeight, static_cast<int>(st.imageLength),
                             st.imageLength / 1024.0);
          st.startTime = 0;
          st.endTime = 0;
          st.endTaken = false;
        }
      }
      if (!timing.empty()) self.LogInfo(timing);
      PauseLocked(rxLock, 100);
      bool readingDetected, allRead = false;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        readingDetected = st.multiReading;
        if (readingDetected && (st.storedCount == 0 || st.readIndex > st.storedCount)) {
          allRead = true;
          st.multiReading = false;
        }
      }
      if (readingDetected) {
        if (allRead) {
          host->SetReadButton(false, "");
          self.QueueCommand(CMD_MOTION_ON);
          self.SendMotionControl(1);
        }
        return;
      }
      // The next picture of a continuous series.
      if (!self.IsContinuous()) return;
      host->ClearTraffic();
      const unsigned delay = self.GetContinueDelay();
      if (delay) PauseLocked(rxLock, delay);
      if (self.IsContinuous()) self.TriggerCapture();
      return;
    }

    case CMD_GET_FRAME_LEN: {
      if (!expect(9, {0x34, 0x00})) return;
      const bool longForm = r[4] == 0x0A;
      if (longForm && n < 13) return;  // width and height still to come
      const uint32_t length = Be32(r.Data() + 5);
      const size_t replyLength = longForm ? 13 : 9;
      if (longForm) {
        std::lock_guard<std::mutex> lock(stateMutex);
        st.frameWidth = Be16(r.Data() + 9);
        st.frameHeight = Be16(r.Data() + 11);
      }
      if (length == 0) {
        self.LogError("读取jpg长度为0!");
        r.Consume(replyLength);
        return;
      }
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        st.imageLength = length;
        st.bytesWritten = 0;
        st.transferActive = false;
        st.fileLength = length;
      }
      self.DropCommand();
      r.Consume(replyLength);
      host->SetProgressRange(length);
      self.LogInfo(StrFormat("m_dwFileLength = %d", static_cast<int>(length)));
      self.LogInfo(StrFormat(StatusText(MSG_READ_LENGTH), static_cast<long>(length)));
      self.RequestBlockRead();
      return;
    }

    case CMD_SET_COMPRESSION:
      if (!expect(5, {0x31, 0x00, 0x00})) return;
      done(5);
      self.LogMessage(MSG_SET_COMPRESSION);
      return;

    case CMD_POWER_SAVE_ON:
    case CMD_POWER_SAVE_OFF:
      if (!expect(5, {0x3E, 0x00, 0x00})) return;
      done(5);
      self.LogMessage(MSG_POWER_SAVE);
      return;

    case CMD_SET_BAUD:
      if (!expect(4, {0x31, 0x00})) return;
      done(4);
      PauseLocked(rxLock, 300);
      self.QueueCommand(CMD_RESET);
      self.SendReset();
      PauseLocked(rxLock, 100);
      self.LogMessage(MSG_SET_BAUD);
      return;

    case CMD_SET_TEMP_BAUD:
      if (!expect(4, {0x24, 0x00})) return;
      done(4);
      self.LogInfo("设置临时波特率成功!请关闭端口重新选择波特率再打开!");
      return;

    case CMD_SET_IMAGE_SIZE: {
      if (n < 5) return;
      const bool resetAfter = r.HeaderIs({0x31, 0x00, 0x00});
      if (!resetAfter && !r.HeaderIs({0x31, 0x01, 0x00})) return;
      done(5);
      self.LogMessage(MSG_SET_IMAGE_SIZE);
      if (resetAfter) {
        self.QueueCommand(CMD_RESET);
        self.SendReset();
      }
      return;
    }

    case CMD_SET_MOTION_SENSITIVITY:
      if (!expect(5, {0x31, 0x00, 0x00})) return;
      done(5);
      self.LogMessage(MSG_SET_SENSITIVITY);
      PauseLocked(rxLock, 20);
      self.QueueCommand(CMD_MOTION_ON);
      self.SendMotionControl(1);
      return;

    case CMD_MOTION_ON:
    case CMD_MOTION_OFF: {
      if (!expect(5, {0x37, 0x00, 0x00})) return;
      static const int kMessages[3][2] = {{MSG_OPEN_MOTION, MSG_CLOSE_MOTION},
                                          {MSG_OPEN_PERSON, MSG_CLOSE_PERSON},
                                          {MSG_OPEN_VEHICLE, MSG_CLOSE_VEHICLE}};
      bool readingDetected, personVehicle;
      int stored;
      uint8_t kind;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (code == CMD_MOTION_ON) {
          st.multiReading = false;
          st.storedCount = 0;
        }
        kind = st.detectType <= 2 ? st.detectType : 0;
        readingDetected = st.multiReading;
        stored = st.storedCount;
        personVehicle = st.personVehicle;
      }
      self.LogMessage(kMessages[kind][code == CMD_MOTION_ON ? 0 : 1]);
      done(5);
      if (readingDetected && stored == 0) {
        // A report without stored pictures: take one ourselves.
        PauseLocked(rxLock, 100);
        rxLock.unlock();
        self.SingleCapture();
        rxLock.lock();
      } else if (stored != 0) {
        self.LogMessage(personVehicle ? MSG_PERSON_PLEASE_READ : MSG_MOTION_PLEASE_READ);
      }
      return;
    }

    case CMD_FILL_LIGHT_ON:
    case CMD_FILL_LIGHT_OFF:
    case CMD_SET_FILL_LIGHT:
      if (!expect(4, {0x85, 0x00})) return;
      self.LogMessage(code == CMD_FILL_LIGHT_ON    ? MSG_OPEN_FILL_LIGHT
                      : code == CMD_FILL_LIGHT_OFF ? MSG_CLOSE_FILL_LIGHT
                                                   : MSG_SET_FILL_LIGHT);
      done(4);
      return;

    case CMD_SET_OSD:
      if (!expect(5, {0x86, 0x01})) return;
      self.LogInfo(StrFormat(StatusText(MSG_OSD_LINE), static_cast<int>(r[4])));
      done(5);
      return;

    case CMD_GET_VERSION: {
      if (!expect(5, {0x11, 0x00})) return;
      const size_t ln = r[4];
      if (n < 5 + ln) return;
      // The whole text is kept, however long; it stops at a NUL like a C string would.
      const auto* text = reinterpret_cast<const char*>(r.Data() + 5);
      std::string version(text, strnlen(text, ln));
      if (!version.empty()) {
        if (version.find("RI07") != std::string::npos) version = "QVX0806NB";
        SetVersionFromCamera(version);
      }
      self.LogInfo(StrFormat(StatusText(MSG_VERSION), version.c_str()));
      // Only this reply: a reply queued behind it may already follow in the buffer.
      done(5 + ln);
      return;
    }

    case CMD_SET_MOTION_CAPTURE:
      if (!expect(5, {0x87, 0x01})) return;
      self.LogMessage(r[4] == 0 ? MSG_MOTION_CAPTURE_SUCCESS : MSG_MOTION_CAPTURE_FAIL);
      done(5);
      return;

    case CMD_MULTI_CAPTURE:
      if (!expect(5, {0x88, 0x01})) return;
      self.LogMessage(r[4] == 0 ? MSG_MULTI_SUCCESS : MSG_MULTI_FAIL);
      host->SetMultiCaptureReadButton(true, "");
      done(5);
      return;

    case CMD_SET_CROP: {
      if (!expect(6, {0x8B, 0x02, 0x01})) return;
      const uint8_t status = r[5];
      {
        std::lock_guard<std::mutex> lock(recordMutex);
        records.crop.status = status;
      }
      if (status == 0)
        self.LogInfo(successText(MSG_SET_CROP, true));
      else
        self.LogInfo(StrFormat("%s%s,%d", StatusText(MSG_SET_CROP), StatusText(MSG_FAIL), status));
      static const struct {
        uint8_t status;
        const char* text;
        const char* caption;
      } kCropBoxes[] = {
          {3, "crop width range [32,1920],width must be align 4 and less than image width\n",
           "width error"},
          {4, "crop height range [32,1080],height must be align 4 and less than image height\n",
           "height error"},
          {5, "x + width / y + height do not more than image width/height\n", "error"},
      };
      for (const auto& box : kCropBoxes)
        if (box.status == status)
          host->ShowMessage(box.text, box.caption, MsgIcon::Warning, MsgButtons::Ok);
      done(6);
      return;
    }

    case CMD_READ_CROP: {
      if (!expect(18, {0x8B, 0x0E, 0x02})) return;
      {
        std::lock_guard<std::mutex> lock(recordMutex);
        auto& c = records.crop;
        c.enable = r[5];
        c.x = Be16(r.Data() + 6);
        c.y = Be16(r.Data() + 8);
        c.width = Be16(r.Data() + 10);
        c.height = Be16(r.Data() + 12);
        c.imageWidth = Be16(r.Data() + 14);
        c.imageHeight = Be16(r.Data() + 16);
      }
      self.LogInfo(successText(MSG_READ_CROP, true));
      done(18);
      return;
    }

    case CMD_SET_POWER_CAPTURE:
      if (!expect(5, {0x91, 0x01})) return;
      self.LogInfo(successText(MSG_SET_POWER_CAPTURE, r[4] == 0));
      // A refused setting must not be announced as a success.
      if (r[4] == 0) {
        host->ShowMessage("It will work next Restart!", "Setting Success", MsgIcon::Information,
                          MsgButtons::Ok);
      } else {
        host->ShowMessage("The camera refused the power-on capture setting (status " +
                              std::to_string(r[4]) + ").\n",
                          "Setting Fail", MsgIcon::Warning, MsgButtons::Ok);
      }
      done(5);
      return;

    case CMD_SET_DETECTION:
      if (!expect(6, {0x91, 0x02})) return;
      self.LogMessage(r[5] == 0 ? MSG_DETECTION_SUCCESS : MSG_DETECTION_FAIL);
      done(6);
      return;

    case CMD_READ_DETECTION: {
      if (!expect(16, {0x90, 0x0C, 0x02})) return;
      {
        std::lock_guard<std::mutex> lock(recordMutex);
        auto& d = records.detect;
        const uint8_t* p = r.Data() + 5;
        d.powerOnDetect = p[0];
        d.type = p[1];
        d.sensitivity = p[2];
        d.mode = p[3];
        d.threshold = p[4];
        d.distance = p[5];
        d.targetSelect = p[6];
        d.photos = p[7];
        d.interval = Be16(p + 8);
        d.nextDetect = p[10];
      }
      done(16);
      return;
    }

    case CMD_READ_SETTINGS: {
      if (!expect(11, {0x90, 0x07, 0x00})) return;
      SettingsReadBack values;
      values.serialNumber = r[5];
      values.imageSizeIndex = ImageSizePositionForCode(r[6]);
      values.defaultRateIndex = BaudPositionForCode(r[7], r[8]);
      if (r[9] >= kCompressionFirst && r[9] <= kCompressionLast)
        values.compressionIndex = r[9] - kCompressionFirst;
      values.detectionKind = r[10] & 0x0F;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        st.serialNumber = r[5];
        st.detectType = static_cast<uint8_t>(values.detectionKind);
      }
      host->ApplySettingsReadBack(values);
      done(11);
      return;
    }

    case CMD_SET_IMAGE_PARAMS: {
      if (!expect(6, {0x91, 0x02, 0x04})) return;
      const uint8_t status = r[5];
      self.LogMessage(status == 0 ? MSG_SET_IMAGE_SUCCESS : MSG_SET_IMAGE_FAIL);
      static const struct {
        uint8_t status;
        const char* text;
        const char* caption;
      } kParamBoxes[] = {
          {1, "awb range [300,600],Please input again!\n", "awb error"},
          {2, "awb mode range [0,1]\n", "awb mode error"},
          {3, "High Light range [0,10],Please input again!\n", "High light error"},
      };
      for (const auto& box : kParamBoxes)
        if (box.status == status)
          host->ShowMessage(box.text, box.caption, MsgIcon::Warning, MsgButtons::Ok);
      done(6);
      return;
    }

    case CMD_READ_IMAGE_PARAMS:
    case CMD_RESET_IMAGE_PARAMS: {
      const uint8_t command = code == CMD_READ_IMAGE_PARAMS ? 0x90 : 0x91;
      if (!expect(16, {command, 0x0C, 0x04})) return;
      {
        std::lock_guard<std::mutex> lock(recordMutex);
        std::memcpy(&records.imageParams, r.Data() + 5, sizeof(ImageParams));
      }
      if (code == CMD_RESET_IMAGE_PARAMS) self.LogMessage(MSG_RESET_IMAGE);
      host->ImageParamsUpdated();
      done(16);
      return;
    }

    case CMD_SET_IMAGE_FORMAT:
      if (!expect(7, {0x93, 0x03, 0x03})) return;
      done(7);
      self.LogMessage(MSG_SET_IMAGE_FORMAT);
      return;

    default:
      return;
  }
}

// ---------------------------------------------------------------- unsolicited reports

void CCameraProtocol::Impl::Unsolicited(std::unique_lock<std::mutex>& rxLock) {
  if (rx.empty()) return;
  // Bytes still arriving since the previous look: a short report split across passes is
  // kept whole until the rest is there, instead of being thrown away half-read.
  const bool flowing = rxAppended != appendedAtUnsolicited;
  appendedAtUnsolicited = rxAppended;
  const size_t count = rx.size();
  const uint8_t* s = rx.data();
  const bool mayWait = flowing && count < kUnsolicitedWindow;

  // Detection report 76 SN 39 ..; its fields are read where it starts.
  const uint8_t head[3] = {kReply, templateSn, 0x39};
  const size_t at = Find(s, count, head, 3);
  if (at != std::string::npos) {
    const size_t need = (count > at + 3 && s[at + 3] == 3) ? 7 : 5;
    if (count - at >= need) {
      DetectionReport(s + at, rxLock);
      return;
    }
    if (mayWait) {
      rx.erase(rx.begin(), rx.begin() + static_cast<long>(at));
      return;
    }
  }

  if (count >= 10 && FindText(s, count, "Init end") != std::string::npos) {
    std::string version;
    const size_t sion = FindText(s, count, "sion:");
    if (sion != std::string::npos) {
      const uint8_t* begin = s + sion + 5;
      const uint8_t* end = std::find(begin, s + count, '\r');
      version.assign(begin, end);
    } else if (FindText(s, count, "RI07") != std::string::npos) {
      version = "QVX0806NB";
    }
    if (!version.empty()) SetVersionFromCamera(version);
    self.LogMessage(MSG_POWER_ON);
    std::vector<uint8_t>().swap(rx);
    return;
  }

  if (count >= 4 && FindText(s, count, "ror") != std::string::npos) {
    self.LogMessage(MSG_COMMAND_ERROR);
    std::vector<uint8_t>().swap(rx);
    return;
  }

  if (count >= 5 && s[0] == kReply && s[2] == 0x92) {
    if (count < 6 && mayWait) return;  // the picture count is byte 5
    if (count >= 6) {
      const uint8_t pictures = s[5];
      std::vector<uint8_t>().swap(rx);
      if (pictures == 0xEE)
        host->ShowMessage("Snap erro after power on!", "", MsgIcon::Warning, MsgButtons::Ok);
      else
        host->OpenAutoCaptureFinish(pictures);
      return;
    }
  }

  if (mayWait) return;
  // Nothing recognisable: let it go, all but what may be the start of a report.
  size_t keep = 0;
  for (size_t i = count; i-- > 0 && count - i < 7;)
    if (s[i] == kReply) {
      keep = count - i;
      break;
    }
  if (!flowing) keep = 0;
  rx.erase(rx.begin(), rx.end() - static_cast<long>(keep));
}

void CCameraProtocol::Impl::DetectionReport(const uint8_t* r, std::unique_lock<std::mutex>& rxLock) {
  const uint8_t kind = r[3];
  int stored;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (kind == 0) {
      st.personVehicle = false;
      st.storedCount = r[4];
    } else if (kind == 3) {
      st.personVehicle = true;
      if (r[5] == 1) st.storedCount = r[6];
    }
    stored = st.storedCount;
  }
  if (kind == 0) {
    self.LogMessage(MSG_MOTION_HAPPEN);
  } else if (kind == 3) {
    if (r[5] == 1) {
      self.LogMessage(MSG_PERSON_PLEASE_READ);
    } else {
      const uint8_t live = r[6];
      {
        std::lock_guard<std::mutex> lock(recordMutex);
        records.detect.detectedCount = live;
      }
      if (r[4] == 1) self.LogInfo(StrFormat(StatusText(MSG_PEOPLE_NOW), live));
      else if (r[4] == 2) self.LogInfo(StrFormat(StatusText(MSG_CARS_NOW), live));
    }
  }
  std::vector<uint8_t>().swap(rx);  // r points into rx: not used past here
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    st.multiReading = true;
  }
  PauseLocked(rxLock, 100);
  self.QueueCommand(CMD_MOTION_OFF);
  self.SendMotionControl(0);
  if (stored != 0) {
    self.SetReadIndex(0);
    host->SetReadButton(true, StrFormat("%s%d/%d", StatusText(MSG_READ), 0, stored));
  }
}
