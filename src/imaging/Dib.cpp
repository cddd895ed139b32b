#include "imaging/Dib.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
int32_t I32(const uint8_t* p) { return static_cast<int32_t>(U32(p)); }

// Later header versions (52, 56, 108, 124 bytes) extend the information header.
bool IsInfoHeader(uint32_t headerSize) { return headerSize >= kDibInfoHeaderSize; }

uint32_t ColorCountFor(uint16_t bitCount, uint32_t colorsUsed, bool info) {
  if (info && colorsUsed != 0) return colorsUsed;
  switch (bitCount) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
  }
}

uint64_t RowSizeFor(uint16_t bitCount, uint16_t planes, int64_t width) {
  return (static_cast<uint64_t>(bitCount) * planes * static_cast<uint64_t>(width) + 31) / 32 * 4;
}

std::vector<PaletteEntry> PaletteFrom(const uint8_t* table, uint32_t count, bool core) {
  std::vector<PaletteEntry> palette(count);
  const size_t entry = core ? 3 : 4;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = table + i * entry;
    palette[i] = PaletteEntry{e[2], e[1], e[0], 0};
  }
  return palette;
}

uint8_t Level8(int k) { return static_cast<uint8_t>((k * 255 * 2 + 7) / 14); }

uint8_t AddClamped(uint8_t value, int delta) {
  const int v = value + delta;
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace

int32_t GetDibWidth(const uint8_t* dib) {
  return IsInfoHeader(U32(dib)) ? I32(dib + 4) : U16(dib + 4);
}

int32_t GetDibHeight(const uint8_t* dib) {
  return IsInfoHeader(U32(dib)) ? I32(dib + 8) : U16(dib + 6);
}

uint16_t GetDibBitCount(const uint8_t* dib) {
  return IsInfoHeader(U32(dib)) ? U16(dib + 14) : U16(dib + 10);
}

static uint16_t GetDibPlanes(const uint8_t* dib) {
  return IsInfoHeader(U32(dib)) ? U16(dib + 12) : U16(dib + 8);
}

uint32_t GetDibColorCount(const uint8_t* dib) {
  const bool info = IsInfoHeader(U32(dib));
  return ColorCountFor(GetDibBitCount(dib), info ? U32(dib + 32) : 0, info);
}

uint32_t GetDibPaletteSize(const uint8_t* dib) {
  return GetDibColorCount(dib) * (IsInfoHeader(U32(dib)) ? 4 : 3);
}

const uint8_t* GetDibBits(const uint8_t* dib) {
  return dib + U32(dib) + GetDibPaletteSize(dib);
}

uint32_t GetDibRowSize(const uint8_t* dib) {
  return static_cast<uint32_t>(RowSizeFor(GetDibBitCount(dib), GetDibPlanes(dib),
                                          GetDibWidth(dib)));
}

DibLayout ParseDibLayout(const uint8_t* dib, size_t size) {
  DibLayout l;
  if (!dib || size < 4) return l;
  l.headerSize = U32(dib);
  const bool info = IsInfoHeader(l.headerSize);
  l.coreHeader = !info;
  // Only fields that lie inside the block are read.
  if (info && size >= kDibInfoHeaderSize) {
    l.width = I32(dib + 4);
    l.height = I32(dib + 8);
    l.planes = U16(dib + 12);
    l.bitCount = U16(dib + 14);
    l.compression = U32(dib + 16);
    l.colorCount = ColorCountFor(l.bitCount, U32(dib + 32), true);
  } else if (!info && size >= kDibCoreHeaderSize) {
    l.width = U16(dib + 4);
    l.height = U16(dib + 6);
    l.planes = U16(dib + 8);
    l.bitCount = U16(dib + 10);
    l.colorCount = ColorCountFor(l.bitCount, 0, false);
  } else {
    return l;
  }
  // A header size that is neither a core header nor lies inside the block cannot be drawn.
  const bool headerOk = info ? l.headerSize <= size : l.headerSize == kDibCoreHeaderSize;
  const uint64_t paletteBytes = static_cast<uint64_t>(l.colorCount) * (info ? 4 : 3);
  const uint64_t bitsOffset = static_cast<uint64_t>(l.headerSize) + paletteBytes;
  const bool formatOk = l.planes == 1 && l.compression == 0 &&
                        (l.bitCount == 1 || l.bitCount == 4 || l.bitCount == 8 ||
                         l.bitCount == 24) &&
                        (l.bitCount == 24 || l.colorCount <= 256);
  const bool sizeOk = l.width > 0 && l.height > 0 && l.width <= kMaxDibSide &&
                      l.height <= kMaxDibSide;
  if (!headerOk || !formatOk || !sizeOk) return l;
  const uint64_t rowSize = RowSizeFor(l.bitCount, l.planes, l.width);
  if (bitsOffset > size || rowSize * static_cast<uint64_t>(l.height) > size - bitsOffset) return l;
  l.paletteOffset = l.headerSize;
  l.bitsOffset = static_cast<size_t>(bitsOffset);
  l.rowSize = static_cast<size_t>(rowSize);
  l.drawable = true;
  return l;
}

std::vector<PaletteEntry> CreatePaletteFromDib(const uint8_t* dib) {
  const uint32_t count = GetDibColorCount(dib);
  if (count == 0) return {};
  return PaletteFrom(dib + U32(dib), count, !IsInfoHeader(U32(dib)));
}

std::unique_ptr<DibBlock> DuplicateGlobalBlock(const DibBlock* block) {
  if (!block || block->empty()) return nullptr;
  try {
    return std::make_unique<DibBlock>(*block);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int CDib::Attach(std::unique_ptr<DibBlock> block) {
  if (!block) return 0;
  m_pBlock = std::move(block);
  m_layout = ParseDibLayout(m_pBlock->data(), m_pBlock->size());
  m_palette.clear();
  // The colour table is read only where ParseDibLayout found it inside the block.
  if (m_layout.drawable && m_layout.colorCount != 0)
    m_palette = PaletteFrom(m_pBlock->data() + m_layout.paletteOffset, m_layout.colorCount,
                            m_layout.coreHeader);
  return m_layout.drawable ? 1 : 0;
}

std::unique_ptr<DibBlock> CDib::Detach() {
  m_palette.clear();
  m_layout = DibLayout{};
  return std::move(m_pBlock);
}

bool CDib::IsEmpty() const { return !m_pBlock || m_pBlock->empty(); }

const DibBlock* CDib::GetHandle() const { return m_pBlock.get(); }

int CDib::GetWidth() const { return IsEmpty() ? 0 : m_layout.width; }

int CDib::GetHeight() const { return IsEmpty() ? 0 : m_layout.height; }

const uint8_t* CDib::Bits() const {
  return m_layout.drawable ? m_pBlock->data() + m_layout.bitsOffset : nullptr;
}

void Fixed332Palette(PaletteEntry out[256]) {
  for (int i = 0; i < 256; ++i)
    out[i] = PaletteEntry{Level8(i / 32), Level8((i / 4) % 8), static_cast<uint8_t>((i % 4) * 85),
                          0};
}

std::vector<uint8_t> DitherTo332(const uint8_t* bits, int width, int height, int stride) {
  if (!bits || width <= 0 || height <= 0) return {};
  PaletteEntry palette[256];
  Fixed332Palette(palette);
  const size_t outStride = (static_cast<size_t>(width) + 3) & ~size_t{3};
  std::vector<uint8_t> out(outStride * height, 0);
  // Working copies of the row being reduced and the one below it in storage order; the
  // errors spread into them before those pixels are reduced.
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> cur(bits, bits + rowBytes);
  std::vector<uint8_t> next(rowBytes);
  for (int r = 0; r < height; ++r) {
    const bool haveNext = r + 1 < height;
    if (haveNext) {
      const uint8_t* src = bits + static_cast<size_t>(r + 1) * stride;
      std::copy(src, src + rowBytes, next.begin());
    }
    uint8_t* dst = out.data() + static_cast<size_t>(r) * outStride;
    for (int c = 0; c < width; ++c) {
      uint8_t* px = &cur[3 * c];
      const int b = px[0], g = px[1], red = px[2];
      const int blueIndex = b / 85 + (b % 85 > 43 ? 1 : 0);
      const int index = (red & ~0x1F) + ((g / 8) & ~3) + blueIndex;
      dst[c] = static_cast<uint8_t>(index);
      const PaletteEntry& p = palette[index];
      const int err[3] = {(b - p.blue) >> 2, (g - p.green) >> 2, (red - p.red) >> 2};
      for (int k = 0; k < 3; ++k) {
        if (haveNext) next[3 * c + k] = AddClamped(next[3 * c + k], err[k]);
        if (c + 1 < width) px[3 + k] = AddClamped(px[3 + k], 2 * err[k]);
      }
    }
    std::swap(cur, next);
  }
  return out;
}
