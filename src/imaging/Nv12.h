#pragma once
#include <cstdint>

// NV12 (full range) to blue-green-red pixels, top row first, no row padding.
// Returns width * height * 3, or -1 when frame is null. out holds width * height * 3 bytes.
int ConvertNv12ToBgr(const uint8_t* frame, int width, int height, uint8_t* out);
