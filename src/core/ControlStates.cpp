#include "core/ControlStates.h"

#include <initializer_list>

namespace {

void Set(std::vector<EnableChange>& out, bool enable, std::initializer_list<int> ids) {
  for (int id : ids) out.push_back({id, enable});
}

bool IsGatedModel(int code) {
  switch (code) {
    case 1: case 2: case 3: case 4: case 5: case 8: case 10: case 12: case 14: case 15:
      return true;
    default:
      return false;
  }
}

// Models that have every optional feature from their first firmware on.
bool IsFullFeatureModel(int code) {
  switch (code) {
    case 3: case 4: case 5: case 8: case 10: case 12: case 14: case 15:
      return true;
    default:
      return false;
  }
}

void CommonTail(std::vector<EnableChange>& out) {
  Set(out, false,
      {IDC_DETECT_OPEN, IDC_DETECT_CLOSE, IDC_FILL_LIGHT, IDC_FILL_LIGHT_SET, IDC_OSD,
       IDC_IMAGE_SIZE, IDC_IMAGE_SIZE_SET, IDC_READ, IDC_MORE, IDC_MULTI_CAPTURE, IDC_TRANSMIT,
       IDC_COMPRESSION, IDC_REGION_CROP, IDC_CONTINUE_DELAY, IDC_IMAGE_CONTROL, IDC_IMAGE_TYPE});
}

void ModelFeatures(std::vector<EnableChange>& out, int model, int v) {
  const bool full = IsFullFeatureModel(model);
  Set(out, true, {IDC_FILL_LIGHT, IDC_FILL_LIGHT_SET});

  // OSD: early QVX1M3 firmware keeps whatever identification decided.
  if (model != 1 || v >= 103) Set(out, true, {IDC_OSD});

  // More / Multiple Capture: left alone (so disabled by the idle step) when not supported.
  if ((model == 1 && v >= 106) || (model == 2 && v >= 103) || full)
    Set(out, true, {IDC_MORE, IDC_MULTI_CAPTURE});

  const bool compression = (model == 1 && v >= 108) || (model == 2 && v >= 106) || full;
  Set(out, compression, {IDC_HIDDEN_EDIT, IDC_COMPRESSION_SET, IDC_COMPRESSION});

  const bool crop = (model == 1 && v >= 109) || (model == 2 && v >= 107) || full;
  Set(out, crop, {IDC_REGION_CROP});

  const bool late = model == 8 || model == 10 || model == 12 || model == 14 || model == 15;
  const bool imageControl = ((model == 4 || model == 5) && v >= 101) || late;
  Set(out, imageControl, {IDC_IMAGE_CONTROL});
  const bool imageType = ((model == 4 || model == 5) && v >= 106) || late;
  Set(out, imageType, {IDC_IMAGE_TYPE});
}

}  // namespace

std::vector<EnableChange> UpdateControlStates(const GatingInputs& in) {
  std::vector<EnableChange> out;
  out.reserve(64);
  if (!in.portOpen) {
    Set(out, true, {IDC_BAUD, IDC_PORT});
    Set(out, false,
        {IDC_POWER_SAVE, IDC_POWER_SAVE_EXIT, IDC_READ_ONE, IDC_READ_512, IDC_COMPRESSION_SET,
         IDC_SINGLE_CAPTURE, IDC_CONTINUES_CAPTURE, IDC_STOP_CAPTURE, IDC_RESET, IDC_SAVE,
         IDC_DEFAULT_RATE_MODIFY, IDC_TEMP_RATE_MODIFY, IDC_BROWSE, IDC_SERIAL_NO,
         IDC_DEFAULT_RATE, IDC_TEMP_RATE, IDC_HIDDEN_EDIT});
    CommonTail(out);
    return out;
  }
  if (in.captureMode != 0) {
    Set(out, false,
        {IDC_BAUD, IDC_PORT, IDC_READ_ONE, IDC_READ_512, IDC_POWER_SAVE, IDC_POWER_SAVE_EXIT,
         IDC_COMPRESSION_SET, IDC_SINGLE_CAPTURE, IDC_CONTINUES_CAPTURE});
    Set(out, !in.stopping, {IDC_STOP_CAPTURE});
    Set(out, false,
        {IDC_RESET, IDC_SAVE, IDC_DEFAULT_RATE_MODIFY, IDC_TEMP_RATE_MODIFY, IDC_BROWSE,
         IDC_SERIAL_NO, IDC_DEFAULT_RATE, IDC_TEMP_RATE, IDC_HIDDEN_EDIT});
    Set(out, true, {IDC_EXIT});
    CommonTail(out);
    return out;
  }
  Set(out, false, {IDC_BAUD, IDC_PORT});
  Set(out, true,
      {IDC_TRANSMIT, IDC_POWER_SAVE, IDC_POWER_SAVE_EXIT, IDC_READ_ONE, IDC_READ_512,
       IDC_COMPRESSION_SET, IDC_SINGLE_CAPTURE, IDC_CONTINUES_CAPTURE});
  Set(out, false, {IDC_STOP_CAPTURE});
  Set(out, true,
      {IDC_RESET, IDC_SAVE, IDC_DEFAULT_RATE_MODIFY, IDC_TEMP_RATE_MODIFY, IDC_BROWSE,
       IDC_SERIAL_NO, IDC_DEFAULT_RATE, IDC_TEMP_RATE, IDC_HIDDEN_EDIT, IDC_COMPRESSION, IDC_EXIT,
       IDC_DETECT_OPEN, IDC_DETECT_CLOSE, IDC_CONTINUE_DELAY});
  Set(out, false, {IDC_MORE, IDC_MULTI_CAPTURE});
  // "Read" is left to the reply processing, which enables it when stored pictures wait.
  if (IsGatedModel(in.modelCode)) ModelFeatures(out, in.modelCode, in.firmwareVersion);
  Set(out, true, {IDC_IMAGE_SIZE, IDC_IMAGE_SIZE_SET});
  return out;
}

void ApplyEnableChanges(std::map<int, bool>& states, const std::vector<EnableChange>& changes) {
  for (const EnableChange& c : changes) states[c.id] = c.enable;
}

int DefaultRateSelection(int baudIndex, int rateCount) {
  return baudIndex >= 0 && baudIndex < rateCount ? baudIndex : -1;
}
