#pragma once
// NV12 (full range) to blue-green-red pixels.
//
// Frame layout: w*h luma bytes, then one chroma row of w bytes (U,V pairs) for every two
// luma rows. Per pixel, with U and V centred on 128:
//   R = (256Y + 359V) >> 8,  G = (256Y - 88U - 183V) >> 8,  B = (256Y + 454U) >> 8
// (arithmetic shift, then clamped to 0..255).
//
// Odd sizes never come from the camera; they are converted without reading past the
// w*h*3/2 bytes of the frame: a last odd column uses the last whole U,V pair of its row, a
// last odd row uses the chroma row above it, and a frame one pixel wide or high (which has
// no whole pair or chroma row) comes out gray (U = V = 128).
#include <cstddef>
#include <cstdint>

// Top row first, no row padding. Returns width * height * 3, or -1 when frame or out is
// null, a dimension is negative or the size does not fit an int. out holds
// width * height * 3 bytes.
int ConvertNv12ToBgr(const uint8_t* frame, int width, int height, uint8_t* out);

// Same pixels written row by row: row i goes to outTopRow + i * outStride. A negative
// stride with outTopRow at the last row of a buffer gives bottom-up rows, so the decoder
// can convert straight into a padded bitmap. Bytes between rows are not touched.
int ConvertNv12ToBgrRows(const uint8_t* frame, int width, int height, uint8_t* outTopRow,
                         std::ptrdiff_t outStride);

// The portable path (no SIMD); identical output. Exposed so it is tested on every machine.
int ConvertNv12ToBgrRowsScalar(const uint8_t* frame, int width, int height, uint8_t* outTopRow,
                               std::ptrdiff_t outStride);

// The portable vectorised path (the fast path where there is no x86 SIMD, e.g. arm64);
// identical output. Exposed so it is checked against the others on every machine.
int ConvertNv12ToBgrRowsPortable(const uint8_t* frame, int width, int height, uint8_t* outTopRow,
                                 std::ptrdiff_t outStride);
