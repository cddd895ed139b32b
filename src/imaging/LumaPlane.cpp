#include "imaging/LumaPlane.h"

#include <algorithm>
#include <cstdlib>

#include "imaging/Dib.h"

LumaPlane LumaFromBgr(const uint8_t* topRow, int width, int height, std::ptrdiff_t stride) {
  LumaPlane plane;
  if (!topRow || width <= 0 || height <= 0) return plane;
  plane.width = width;
  plane.height = height;
  plane.pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const uint8_t* p = topRow + y * stride;
    uint8_t* out = plane.pixels.data() + static_cast<size_t>(y) * width;
    // The same weights as the picture figures, so both speak of the same levels.
    for (int x = 0; x < width; ++x, p += 3)
      out[x] = static_cast<uint8_t>((29 * p[0] + 150 * p[1] + 77 * p[2] + 128) >> 8);
  }
  return plane;
}

LumaPlane LumaOf(const CDib& dib) {
  const DibLayout& layout = dib.Layout();
  if (!dib.IsDrawable() || layout.bitCount != 24) return {};
  const int height = std::abs(layout.height);
  const auto stride = static_cast<std::ptrdiff_t>(layout.rowSize);
  // A positive height is a bottom-up bitmap: its top row is stored last.
  if (layout.height > 0)
    return LumaFromBgr(dib.Bits() + (height - 1) * stride, layout.width, height, -stride);
  return LumaFromBgr(dib.Bits(), layout.width, height, stride);
}

LumaPlane LumaOfNv12(const uint8_t* frame, size_t size, int width, int height) {
  LumaPlane plane;
  if (!frame || width <= 0 || height <= 0 ||
      size < static_cast<size_t>(width) * static_cast<size_t>(height))
    return plane;
  plane.width = width;
  plane.height = height;
  plane.pixels.assign(frame, frame + static_cast<size_t>(width) * height);
  return plane;
}
