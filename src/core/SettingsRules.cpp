#include "core/SettingsRules.h"

#include <algorithm>
#include <cstdio>

#include "core/SettingsTable.h"

void PictureOfSizeIndex(int sizeIndex, int& width, int& height) {
  width = height = 0;
  if (sizeIndex < 1 || sizeIndex > static_cast<int>(ImageSizeItems().size())) return;
  const std::string& item = ImageSizeItems()[static_cast<size_t>(sizeIndex - 1)];
  std::sscanf(item.c_str(), "%d%*[xX]%d", &width, &height);
}

namespace {

// The crop window's edge and extent along one axis against the picture's.
std::optional<std::string> RefuseAxis(const char* edgeField, long long edge, const char* sizeField, long long size,
                                      int picture, const std::string& where) {
  const SettingRow& edgeRow = Setting("crop", edgeField);
  const SettingRow& sizeRow = Setting("crop", sizeField);
  // The furthest edge that leaves room for the smallest window, on the edge's own step.
  const long long lastEdge = (picture - sizeRow.min) / edgeRow.step * edgeRow.step;
  if (edge > lastEdge)
    return std::string("crop.") + edgeField + " is " + std::to_string(edge) + ", must be 0.." +
           std::to_string(std::max(0ll, lastEdge)) + " (" + where + ")";
  const long long room = (picture - edge) / sizeRow.step * sizeRow.step;
  if (size > room)
    return std::string("crop.") + sizeField + " is " + std::to_string(size) + ", must be " +
           std::to_string(sizeRow.min) + ".." + std::to_string(room) + " (" + edgeField + " " +
           std::to_string(edge) + " in " + where + ")";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> RefuseForCamera(const ProfileSettings& writes, const CameraState& state) {
  const ProfileModel& model = state.model;
  const std::string camera = model.version.empty() ? "this camera" : model.version;
  if (model.known) {
    if (writes.imageSize && *writes.imageSize > model.imageSizes)
      return "image_size is " + ImageSizeItems()[static_cast<size_t>(*writes.imageSize - 1)] + ", must be " +
             ImageSizeItems()[0] + ".." + ImageSizeItems()[static_cast<size_t>(std::max(model.imageSizes, 1) - 1)] +
             " on " + camera;
    if (writes.defaultRate) {
      const int position = RatePosition(*writes.defaultRate);
      if (position < 0 || position >= model.defaultRates)
        return "default_rate is " + std::to_string(*writes.defaultRate) + ", must be " + RateItems()[0] + ".." +
               RateItems()[static_cast<size_t>(std::max(model.defaultRates, 1) - 1)] + " on " + camera;
    }
    if (writes.fillLight && *writes.fillLight > model.fillLightMax)
      return "fill_light is " + std::to_string(*writes.fillLight) + ", must be 0.." +
             std::to_string(model.fillLightMax) + " on " + camera;
  }
  // A window switched off is not used: the camera keeps it whatever the picture.
  if (writes.crop && writes.crop->enable) {
    int width = state.pictureWidth, height = state.pictureHeight;
    if (writes.imageSize) PictureOfSizeIndex(*writes.imageSize, width, height);
    if (width > 0 && height > 0) {
      const std::string where = "the " + std::to_string(width) + "X" + std::to_string(height) + " picture";
      const CropSettings& c = *writes.crop;
      if (auto why = RefuseAxis("x", c.x, "width", c.width, width, where)) return why;
      if (auto why = RefuseAxis("y", c.y, "height", c.height, height, where)) return why;
    }
  }
  return std::nullopt;
}
