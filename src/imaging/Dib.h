#pragma once
// CDib: a packed device-independent bitmap (header, colour table, rows) in one owned block,
// and the plain routines that read such a block. Drawing lives in the UI (CImageStatic
// paints through QPainter from the block); the palette-device path is a pure function.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A movable global block stands in as a plain owned byte vector.
using DibBlock = std::vector<uint8_t>;

uint32_t GetDibWidth(const uint8_t* dib);
uint32_t GetDibHeight(const uint8_t* dib);
uint32_t GetDibColorCount(const uint8_t* dib);
uint32_t GetDibPaletteSize(const uint8_t* dib);
const uint8_t* GetDibBits(const uint8_t* dib);
uint32_t GetDibRowSize(const uint8_t* dib);

struct PaletteEntry {
  uint8_t red, green, blue, flags;
};
// Empty when the colour count is 0.
std::vector<PaletteEntry> CreatePaletteFromDib(const uint8_t* dib);
// Copy of the block; nullptr for a null/empty block.
std::unique_ptr<DibBlock> DuplicateGlobalBlock(const DibBlock* block);

class CDib {
 public:
  CDib() = default;
  virtual ~CDib() = default;
  // Takes ownership. 1 when a drawable bitmap was made, 0 otherwise (also for null, which
  // leaves the object unchanged).
  int Attach(std::unique_ptr<DibBlock> block);
  bool IsEmpty() const;
  const DibBlock* GetHandle() const;
  int GetWidth() const;
  int GetHeight() const;
  const std::vector<PaletteEntry>& Palette() const { return m_palette; }
  bool IsDrawable() const { return m_bDrawable; }

 private:
  std::unique_ptr<DibBlock> m_pBlock;
  std::vector<PaletteEntry> m_palette;
  bool m_bDrawable = false;
};

// The palette-device path: the fixed 3-3-2 palette and the error diffusion, as a pure
// function over a 24-bit bottom-up bitmap. Returns one palette index per pixel with rows
// padded to 4 bytes, in storage order.
std::vector<uint8_t> DitherTo332(const uint8_t* bits, int width, int height, int stride);
void Fixed332Palette(PaletteEntry out[256]);
