#include "core/SettingsTable.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/ControlStates.h"
#include "core/ModelIdentification.h"
#include "protocol/ProtocolTables.h"

namespace {

bool MotionOnly(const ModelInfo& info) { return !ChooseIntelligentDetection(info); }

using K = SettingKind;

// The limits are the camera's, as its dialogs and its refusals state them: crop sizes are
// multiples of 4 from 32 (status 3 and 4), a manual white balance is 300..600 (status 1),
// OSD text is 160 bytes and sits on even coordinates.
const std::vector<SettingRow> kRows = {
    {"", "image_size", "WxH", K::List, 1, 14, 1, 3, false, nullptr, IDC_IMAGE_SIZE_SET, nullptr,
     "picture size WIDTHxHEIGHT; the camera resets afterwards"},
    {"", "compression", "0xNN", K::Number, kCompressionFirst, kCompressionLast, 1, kCompressionFirst,
     true, nullptr, IDC_COMPRESSION_SET, nullptr, "JPEG compression"},
    {"", "image_type", "--type", K::Choice, 0, 1, 1, 0, false, "jpeg|yuv", IDC_IMAGE_TYPE, nullptr,
     "what the camera sends: JPEG or NV12 frames"},
    {"", "default_rate", "N", K::List, 1, 8, 1, 3, false, nullptr, IDC_DEFAULT_RATE_MODIFY, nullptr,
     "the rate the camera starts with"},
    {"", "temp_rate", "N", K::List, 1, 5, 1, 3, false, nullptr, IDC_TEMP_RATE_MODIFY, nullptr,
     "a rate until the camera restarts"},
    {"", "power_save", "on|off", K::Flag, 0, 1, 1, 0, false, nullptr, IDC_POWER_SAVE, nullptr,
     "power saving"},
    {"", "fill_light", "LEVEL", K::Number, 0, 100, 1, 0, false, nullptr, IDC_FILL_LIGHT_SET, nullptr,
     "fill light, 0 (off) ..100 (two-step lights: 0..1)"},
    {"", "serial", "--serial", K::Number, 0, 255, 1, 0, false, nullptr, IDC_SERIAL_NO, nullptr,
     "the camera's serial number byte, in every frame"},

    {"osd", "display", "--display", K::Flag, 0, 1, 1, 1, false, nullptr, IDC_OSD, nullptr,
     "show the line"},
    {"osd", "font", "--font", K::Number, 0, 2, 1, 2, false, nullptr, IDC_OSD, nullptr, "font size"},
    {"osd", "x", "--x", K::Number, 0, 1918, 2, 0, false, nullptr, IDC_OSD, nullptr,
     "left edge, even"},
    {"osd", "y", "--y", K::Number, 0, 1078, 2, 0, false, nullptr, IDC_OSD, nullptr, "top edge, even"},
    {"osd", "color", "--color", K::Hex16, 0, 0xFFFF, 1, 0x007C, true, nullptr, IDC_OSD, nullptr,
     "text colour, 15-bit (red 10-14, green 5-9, blue 0-4)"},
    {"osd", "back", "--back", K::Hex16, 0, 0xFFFF, 1, 0xFFFF, true, nullptr, IDC_OSD, nullptr,
     "background colour, 15-bit"},
    {"osd", "text", "TEXT", K::Text, 0, 160, 1, 0, false, nullptr, IDC_OSD, nullptr,
     "the line's text, limited in GB18030 bytes (a Chinese character counts 2)"},

    {"image", "brightness", "--brightness", K::Number, 0, 255, 1, 128, false, nullptr,
     IDC_IMAGE_CONTROL, nullptr, "brightness"},
    {"image", "contrast", "--contrast", K::Number, 0, 255, 1, 128, false, nullptr, IDC_IMAGE_CONTROL,
     nullptr, "contrast"},
    {"image", "sharpness", "--sharpness", K::Number, 0, 255, 1, 128, false, nullptr,
     IDC_IMAGE_CONTROL, nullptr, "sharpness"},
    {"image", "saturation", "--saturation", K::Number, 0, 255, 1, 128, false, nullptr,
     IDC_IMAGE_CONTROL, nullptr, "saturation"},
    {"image", "hue", "--hue", K::Number, 0, 255, 1, 128, false, nullptr, IDC_IMAGE_CONTROL, nullptr,
     "hue"},
    {"image", "awb", "--awb", K::Number, 300, 600, 1, 341, false, nullptr, IDC_IMAGE_CONTROL, nullptr,
     "manual white balance, or auto (341 is sent with auto)"},
    {"image", "exposure", "--exposure", K::Number, 0, 255, 1, 0, false, nullptr, IDC_IMAGE_CONTROL,
     nullptr, "exposure compensation"},
    {"image", "hlc", "--hlc", K::Number, 0, 10, 1, 4, false, nullptr, IDC_IMAGE_CONTROL, nullptr,
     "highlight compensation"},

    {"crop", "enable", "--enable", K::Flag, 0, 1, 1, 0, false, nullptr, IDC_REGION_CROP, nullptr,
     "cropping on or off"},
    {"crop", "x", "--x", K::Number, 0, 3840, 16, 0, false, nullptr, IDC_REGION_CROP, nullptr,
     "left edge, a multiple of 16"},
    {"crop", "y", "--y", K::Number, 0, 2160, 2, 0, false, nullptr, IDC_REGION_CROP, nullptr,
     "top edge, even"},
    {"crop", "width", "--width", K::Number, 32, 3840, 4, 640, false, nullptr, IDC_REGION_CROP, nullptr,
     "width, a multiple of 4, inside the picture"},
    {"crop", "height", "--height", K::Number, 32, 2160, 4, 480, false, nullptr, IDC_REGION_CROP,
     nullptr, "height, a multiple of 4, inside the picture"},

    {"detection", "power_on", "--power-on", K::Flag, 0, 1, 1, 0, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "detect from power-on"},
    {"detection", "type", "--type", K::Choice, 0, 2, 1, 0, false, "motion|person|vehicle", IDC_MORE,
     ChooseIntelligentDetection, "what to detect"},
    {"detection", "sensitivity", "--sensitivity", K::Number, 0, 4, 1, 3, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "sensitivity"},
    {"detection", "mode", "--mode", K::Number, 0, 1, 1, 0, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "detection mode"},
    {"detection", "threshold", "--threshold", K::Number, 1, 4, 1, 1, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "targets needed"},
    {"detection", "distance", "--distance", K::Number, 0, 4, 1, 2, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "detection distance"},
    {"detection", "target", "--target", K::Number, 0, 1, 1, 0, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "target selection"},
    {"detection", "photos", "--photos", K::Number, 1, 5, 1, 3, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "pictures per detection"},
    {"detection", "interval", "--interval", K::Number, 1, 65535, 1, 100, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "milliseconds between them"},
    {"detection", "next", "--next", K::Number, 0, 255, 1, 10, false, nullptr, IDC_MORE,
     ChooseIntelligentDetection, "seconds before the next detection"},

    {"motion_capture", "photos", "--photos", K::Number, 1, 5, 1, 3, false, nullptr, IDC_MORE,
     MotionOnly, "pictures per motion detection"},
    {"motion_capture", "interval", "--interval", K::Number, 1, 65535, 1, 100, false, nullptr, IDC_MORE,
     MotionOnly, "milliseconds between them"},
    {"motion_capture", "next", "--next", K::Number, 0, 255, 1, 10, false, nullptr, IDC_MORE,
     MotionOnly, "seconds before the next detection"},

    {"burst", "photos", "--photos", K::Number, 1, 5, 1, 3, false, nullptr, IDC_MULTI_CAPTURE, nullptr,
     "pictures in a burst"},
    {"burst", "interval", "--interval", K::Number, 0, 10000, 1, 500, false, nullptr,
     IDC_MULTI_CAPTURE, nullptr, "milliseconds between them"},

    {"power_on_capture", "photos", "--photos", K::Number, 0, 5, 1, 0, false, nullptr,
     IDC_MULTI_CAPTURE, PowerOnCaptureAllowed, "pictures taken at power-on, 0 = off"},
    {"power_on_capture", "interval", "--interval", K::Number, 0, 10000, 1, 500, false, nullptr,
     IDC_MULTI_CAPTURE, PowerOnCaptureAllowed, "milliseconds between them"},
};

std::string Number(const SettingRow& row, long long value) {
  if (!row.hex) return std::to_string(value);
  char text[16];
  std::snprintf(text, sizeof text, "0x%02llX", value);
  return text;
}

}  // namespace

const std::vector<SettingRow>& SettingRows() { return kRows; }

const char* const kRateWarningText =
    "RS485 serial：limt max 115200bps\n\nRS232 serial：limt max 230400bps\n\nTTL serail：limt max "
    "921600bps\n\nPlease be careful to choose baud base on your serial type.\nBecasue wrong baud "
    "may cause communication fail!\n\nIf need modify please click OK or click Cancel";

std::optional<unsigned long> ParseDecimal(const std::string& text, unsigned long min,
                                          unsigned long max) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::optional<int> TransmitIndex(const std::string& text) {
  if (text == "all") return 0;
  if (text == "8196") return 4;  // the list's own caption for the 8192-byte block
  const auto value = ParseDecimal(text, 1, 10240);
  for (int i = 1; value && i < 6; ++i)
    if (kTransmitBlockSizes[i] == *value) return i;
  return std::nullopt;
}

const SettingRow& Setting(std::string_view section, std::string_view field) {
  for (const SettingRow& row : kRows)
    if (section == row.section && field == row.field) return row;
  std::fprintf(stderr, "no setting %.*s.%.*s in the settings table\n", static_cast<int>(section.size()),
               section.data(), static_cast<int>(field.size()), field.data());
  std::abort();
}

std::string RangeText(const SettingRow& row) { return Number(row, row.min) + ".." + Number(row, row.max); }

std::optional<std::string> RefuseValue(const SettingRow& row, long long value) {
  if (value < row.min || value > row.max) return "must be " + RangeText(row);
  if (row.step > 1 && value % row.step != 0)
    return row.step == 2 ? std::string("must be even") : "must be a multiple of " + std::to_string(row.step);
  return std::nullopt;
}

std::optional<std::string> RefuseTextBytes(const SettingRow& row, size_t bytes) {
  if (static_cast<long long>(bytes) <= row.max) return std::nullopt;
  return "is " + std::to_string(bytes) + " bytes for the camera, at most " + std::to_string(row.max) +
         " (a Chinese character counts 2)";
}

std::vector<std::string> ChoiceNames(const SettingRow& row) {
  std::vector<std::string> names;
  const std::string_view all = row.choices ? row.choices : "";
  for (size_t start = 0; start <= all.size();) {
    const size_t bar = std::min(all.find('|', start), all.size());
    names.emplace_back(all.substr(start, bar - start));
    start = bar + 1;
  }
  return names;
}

int ChoiceIndex(const SettingRow& row, std::string_view name) {
  const std::vector<std::string> names = ChoiceNames(row);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i);
  return -1;
}

std::string ChoiceText(const SettingRow& row, const char* lastJoin) {
  const std::vector<std::string> names = ChoiceNames(row);
  std::string text;
  for (size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? lastJoin : ", ") + names[i];
  return text;
}

const std::vector<std::string>& RateItems() {
  static const std::vector<std::string> items = [] {
    std::vector<std::string> v;
    for (const BaudCode& code : kBaudCodes) v.push_back(std::to_string(code.baud));
    return v;
  }();
  return items;
}

int TemporaryRateCount() { return static_cast<int>(Setting("", "temp_rate").max); }

int RatePosition(unsigned long baud) {
  for (int i = 0; i < static_cast<int>(std::size(kBaudCodes)); ++i)
    if (kBaudCodes[i].baud == baud) return i;
  return -1;
}

const std::vector<std::string>& ImageSizeItems() {
  // The captions are the window's list, lower-case x and all.
  static const std::vector<std::string> items = {
      "160X120",   "320X240",   "640X480",   "1024X768",  "1280X720",
      "1280X960",  "1920X1080", "1600X1200", "2304X1296", "2560X1440",
      "2560X1920", "3200x1800", "3520x1980", "3840X2160"};
  return items;
}

int ImageSizeIndex(const std::string& text) {
  const auto& sizes = ImageSizeItems();
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string& item = sizes[i];
    if (item.size() != text.size()) continue;
    bool same = true;
    for (size_t j = 0; j < item.size() && same; ++j)
      same = std::tolower(static_cast<unsigned char>(item[j])) ==
             std::tolower(static_cast<unsigned char>(text[j]));
    if (same) return static_cast<int>(i) + 1;
  }
  return 0;
}
