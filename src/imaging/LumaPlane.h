#pragma once
// The luma plane of a picture, top row first, one byte a pixel: what the costly figures
// (edge sharpness, flat-field shading and defects) read. A decoded picture gives it from its
// blue-green-red pixels; an NV12 frame gives its own Y plane, untouched by any conversion.
#include <cstddef>
#include <cstdint>
#include <vector>

class CDib;

struct LumaPlane {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height, no padding

  bool Empty() const { return pixels.empty(); }
  const uint8_t* Row(int y) const { return pixels.data() + static_cast<size_t>(y) * width; }
};

// BT.601 luma of 3-byte pixels; `stride` may be negative (a bottom-up bitmap's last row
// first). Empty when a dimension is not positive.
LumaPlane LumaFromBgr(const uint8_t* topRow, int width, int height, std::ptrdiff_t stride);
// A 24-bit picture's luma; empty for any other.
LumaPlane LumaOf(const CDib& dib);
// The Y plane of an NV12 frame (width * height bytes first); empty when `size` is short.
LumaPlane LumaOfNv12(const uint8_t* frame, size_t size, int width, int height);
