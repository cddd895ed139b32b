#include "protocol/CommandTable.h"

#include "protocol/CommandCodes.h"

namespace {

template <size_t N>
constexpr FieldList F(const FieldLayout (&fields)[N]) {
  return {fields, static_cast<uint8_t>(N)};
}

using K = FieldKind;

constexpr FieldLayout kStopFields[] = {{"mode %s", 4, 1, K::Hex, true}};
constexpr FieldLayout kLengthFields[] = {{"picture %s", 5, 1, K::Number, true}};
constexpr FieldLayout kLengthReply[] = {{"%s bytes", 5, 4}, {"width %s", 9, 2}, {"height %s", 11, 2}};
constexpr FieldLayout kCompressionFields[] = {{"%s", 8, 1, K::Hex}};
constexpr FieldLayout kBaudFields[] = {{"%s", 8, 2, K::Baud}, {"interface %s", 4, 1, K::Hex}};
constexpr FieldLayout kTempBaudFields[] = {{"%s", 5, 2, K::Baud}};
constexpr FieldLayout kImageSizeFields[] = {{"%s", 8, 1, K::ImageSize}};
constexpr FieldLayout kSensitivityFields[] = {{"%s", 8, 1}};
constexpr FieldLayout kFillLightFields[] = {{"%s", 4, 1}};
constexpr FieldLayout kOsdFields[] = {{"line %s", 5, 1, K::Ordinal},           {"display %s", 4, 1},
                                    {"font %s", 6, 1},           {"x %s", 7, 2},
                                    {"y %s", 9, 2},              {"colour %s", 11, 2, K::Hex},
                                    {"back %s", 13, 2, K::Hex},  {"\"%s\"", 16, 0, K::Text}};
constexpr FieldLayout kVersionReply[] = {{"%s", 5, 0, K::Text}};
constexpr FieldLayout kMotionCaptureFields[] = {
    {"%s photos", 4, 1}, {"next %s s", 5, 1}, {"interval %s ms", 6, 2}};
constexpr FieldLayout kBurstFields[] = {{"%s photos", 4, 1}, {"interval %s ms", 5, 2}};
constexpr FieldLayout kCropFields[] = {
    {"enable %s", 5, 1}, {"x %s", 6, 2}, {"y %s", 8, 2}, {"width %s", 10, 2}, {"height %s", 12, 2}};
constexpr FieldLayout kCropReply[] = {{"enable %s", 5, 1},       {"x %s", 6, 2},
                                    {"y %s", 8, 2},            {"width %s", 10, 2},
                                    {"height %s", 12, 2},      {"image width %s", 14, 2},
                                    {"image height %s", 16, 2}};
constexpr FieldLayout kPowerCaptureFields[] = {{"%s photos", 5, 1}, {"interval %s ms", 6, 2}};
// The detection record as the request and the read-back both carry it.
constexpr FieldLayout kDetectionFields[] = {
    {"power-on %s", 5, 1},  {"type %s", 6, 1},      {"sensitivity %s", 7, 1},
    {"mode %s", 8, 1},      {"threshold %s", 9, 1}, {"distance %s", 10, 1},
    {"target %s", 11, 1},   {"%s photos", 12, 1},   {"interval %s ms", 13, 2},
    {"next %s s", 15, 1}};
constexpr FieldLayout kSettingsReply[] = {{"serial %s", 5, 1},
                                        {"size %s", 6, 1, K::ImageSize},
                                        {"default rate %s", 7, 2, K::Baud},
                                        {"compression %s", 9, 1, K::Hex},
                                        {"detection %s", 10, 1}};
// The image parameter record, bytes 5..15 of the request and of both read-backs.
constexpr FieldLayout kImageFields[] = {
    {"set %s", 5, 1},       {"brightness %s", 6, 1}, {"contrast %s", 7, 1},
    {"sharpness %s", 8, 1}, {"saturation %s", 9, 1}, {"hue %s", 10, 1},
    {"manual awb %s", 11, 1}, {"awb %s", 12, 2},     {"exposure %s", 14, 1},
    {"hlc %s", 15, 1}};
constexpr FieldLayout kImageSetFields[] = {{"set %s", 5, 1}};
constexpr FieldLayout kImageTypeFields[] = {{"%s", 6, 1}};
constexpr FieldLayout kFrameBufferFields[] = {{"picture %s", 4, 1, K::Number, true},
                                            {"offset %s", 6, 4},
                                            {"%s bytes", 10, 4},
                                            {"delay %s", 14, 2}};

constexpr ReplyLength Min = ReplyLength::Minimum;

// code, its symbol, name, request bytes after 56 SN, fixed count, request fields,
// reply header after 76 SN, its length, alternative header, its length, minimum, length
// rule, status offset, reply name, reply fields.
constexpr CommandLayout kLayouts[] = {
    {CMD_RESET, "CMD_RESET", "reset", {0x26, 0x00}, 2, {}, {0x26, 0x00}, 2, {}, 0, 14, ReplyLength::InitEnd, 0, nullptr, {}},
    {CMD_STOP_FRAME, "CMD_STOP_FRAME", "stop frame", {0x36, 0x01}, 2, F(kStopFields),
     {0x36, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_RESUME_FRAME, "CMD_RESUME_FRAME", "resume frame", {0x36, 0x01, 0x03}, 3, {},
     {0x36, 0x00, 0x00}, 3, {kDetectionReport, 0x00, 0x00}, 3, 5, Min, 0, nullptr, {}},
    {CMD_GET_FRAME_LEN, "CMD_GET_FRAME_LEN", "get frame length", {0x34}, 1, F(kLengthFields),
     {0x34, 0x00}, 2, {}, 0, 9, ReplyLength::LengthForm, 0, "frame length", F(kLengthReply)},
    {CMD_SET_COMPRESSION, "CMD_SET_COMPRESSION", "set compression", {0x31, 0x05, 0x01, 0x01, 0x12, 0x04}, 6,
     F(kCompressionFields), {0x31, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_POWER_SAVE_ON, "CMD_POWER_SAVE_ON", "power saving on", {0x3E, 0x03, 0x00, 0x01, 0x01}, 5, {},
     {0x3E, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_POWER_SAVE_OFF, "CMD_POWER_SAVE_OFF", "power saving off", {0x3E, 0x03, 0x00, 0x01, 0x00}, 5, {},
     {0x3E, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_SET_BAUD, "CMD_SET_BAUD", "set default rate", {0x31, 0x06}, 2, F(kBaudFields),
     {0x31, 0x00}, 2, {}, 0, 4, Min, 0, nullptr, {}},
    {CMD_SET_TEMP_BAUD, "CMD_SET_TEMP_BAUD", "set temporary rate", {0x24, 0x03, 0x01}, 3, F(kTempBaudFields),
     {0x24, 0x00}, 2, {}, 0, 4, Min, 0, nullptr, {}},
    {CMD_SET_IMAGE_SIZE, "CMD_SET_IMAGE_SIZE", "set image size", {0x31, 0x05}, 2, F(kImageSizeFields),
     {0x31, 0x00, 0x00}, 3, {0x31, 0x01, 0x00}, 3, 5, Min, 0, nullptr, {}},
    {CMD_SET_MOTION_SENSITIVITY, "CMD_SET_MOTION_SENSITIVITY", "set motion sensitivity", {0x31, 0x05, 0x01, 0x01, 0x1A, 0x6E},
     6, F(kSensitivityFields), {0x31, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_MOTION_ON, "CMD_MOTION_ON", "detection on", {0x37, 0x01, 0x01}, 3, {},
     {0x37, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_MOTION_OFF, "CMD_MOTION_OFF", "detection off", {0x37, 0x01, 0x00}, 3, {},
     {0x37, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    // Never sent: only its reply is known.
    {CMD_FILL_LIGHT_ON, "CMD_FILL_LIGHT_ON", "fill light on", {}, 0, {}, {0x85, 0x00}, 2, {}, 0, 4, Min, 0, nullptr, {}},
    {CMD_FILL_LIGHT_OFF, "CMD_FILL_LIGHT_OFF", "fill light off", {0x85, 0x01, 0x00}, 3, {},
     {0x85, 0x00}, 2, {}, 0, 4, Min, 0, nullptr, {}},
    {CMD_SET_OSD, "CMD_SET_OSD", "set osd", {0x86}, 1, F(kOsdFields), {0x86, 0x01}, 2, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_READ_BUF_512, "CMD_READ_BUF_512", "read frame buffer", {kFrameBufferCommand, 0x0C}, 2, F(kFrameBufferFields),
     {kFrameBufferCommand, 0x00, 0x00}, 3, {}, 0, 5, Min, 0, nullptr, {}},
    {CMD_GET_VERSION, "CMD_GET_VERSION", "get version", {0x11, 0x00}, 2, {},
     {0x11, 0x00}, 2, {}, 0, 5, ReplyLength::CountAt4, 0, "version", F(kVersionReply)},
    {CMD_SET_MOTION_CAPTURE, "CMD_SET_MOTION_CAPTURE", "set motion capture", {0x87, 0x04}, 2, F(kMotionCaptureFields),
     {0x87, 0x01}, 2, {}, 0, 5, Min, 4, nullptr, {}},
    {CMD_MULTI_CAPTURE, "CMD_MULTI_CAPTURE", "burst", {0x88, 0x03}, 2, F(kBurstFields),
     {0x88, 0x01}, 2, {}, 0, 5, Min, 4, nullptr, {}},
    {CMD_SET_CROP, "CMD_SET_CROP", "set crop", {0x8B, 0x0A, 0x01}, 3, F(kCropFields),
     {0x8B, 0x02, 0x01}, 3, {}, 0, 6, Min, 5, nullptr, {}},
    {CMD_READ_CROP, "CMD_READ_CROP", "read crop", {0x8B, 0x01, 0x02}, 3, {},
     {0x8B, 0x0E, 0x02}, 3, {}, 0, 18, Min, 0, "crop", F(kCropReply)},
    {CMD_SET_POWER_CAPTURE, "CMD_SET_POWER_CAPTURE", "set power-on capture", {0x91, 0x04, 0x01}, 3, F(kPowerCaptureFields),
     {0x91, 0x01}, 2, {}, 0, 5, Min, 4, nullptr, {}},
    {CMD_SET_DETECTION, "CMD_SET_DETECTION", "set detection", {0x91, 0x0C, 0x02}, 3, F(kDetectionFields),
     {0x91, 0x02}, 2, {}, 0, 6, Min, 5, nullptr, {}},
    {CMD_READ_DETECTION, "CMD_READ_DETECTION", "read detection", {0x90, 0x01, 0x02}, 3, {},
     {0x90, 0x0C, 0x02}, 3, {}, 0, 16, Min, 0, "detection", F(kDetectionFields)},
    {CMD_SET_FILL_LIGHT, "CMD_SET_FILL_LIGHT", "set fill light", {0x85, 0x01}, 2, F(kFillLightFields),
     {0x85, 0x00}, 2, {}, 0, 4, Min, 0, nullptr, {}},
    {CMD_READ_SETTINGS, "CMD_READ_SETTINGS", "read settings", {0x90, 0x01, 0x00}, 3, {},
     {0x90, 0x07, 0x00}, 3, {}, 0, 11, Min, 0, "settings", F(kSettingsReply)},
    {CMD_SET_IMAGE_PARAMS, "CMD_SET_IMAGE_PARAMS", "set image", {0x91, 0x0C, 0x04}, 3, F(kImageFields),
     {0x91, 0x02, 0x04}, 3, {}, 0, 6, Min, 5, nullptr, {}},
    {CMD_READ_IMAGE_PARAMS, "CMD_READ_IMAGE_PARAMS", "read image", {0x90, 0x02, 0x04}, 3, F(kImageSetFields),
     {0x90, 0x0C, 0x04}, 3, {}, 0, 16, Min, 0, "image", F(kImageFields)},
    {CMD_RESET_IMAGE_PARAMS, "CMD_RESET_IMAGE_PARAMS", "reset image", {0x91, 0x02, 0x04}, 3, F(kImageSetFields),
     {0x91, 0x0C, 0x04}, 3, {}, 0, 16, Min, 0, "image", F(kImageFields)},
    {CMD_SET_IMAGE_FORMAT, "CMD_SET_IMAGE_FORMAT", "set image type", {0x93, 0x03, 0x03, 0x01}, 4, F(kImageTypeFields),
     {0x93, 0x03, 0x03}, 3, {}, 0, 7, Min, 0, nullptr, {}},
};

}  // namespace

const CommandLayout* CommandLayouts(size_t* count) {
  *count = sizeof kLayouts / sizeof kLayouts[0];
  return kLayouts;
}

const CommandLayout* CommandLayoutFor(int code) {
  for (const CommandLayout& layout : kLayouts)
    if (layout.code == code) return &layout;
  return nullptr;
}

const char* CommandSymbol(int code) {
  if (const CommandLayout* layout = CommandLayoutFor(code)) return layout->symbol;
  // The whole-picture read goes out in the frame-buffer read's frame, so it has no row.
  return code == CMD_READ_TOTAL ? "CMD_READ_TOTAL" : nullptr;
}
