#pragma once
// CDib: a packed device-independent bitmap (header, colour table, rows) in one owned block,
// and the plain routines that read such a block. Drawing lives in the UI (CImageStatic
// paints through QPainter from the block); the palette-device path is a pure function.
//
// Layout (little-endian): a header whose first 32-bit field is its size. Size 40 (or a
// larger, later version of the same header) is an information header: width (int32) at 4,
// height (int32) at 8, planes (u16) at 12, bit count (u16) at 14, compression (u32) at 16,
// image size at 20, colours used at 32; its colour table has 4-byte entries B,G,R,0. Any
// other size is read as a 12-byte core header: width (u16) at 4, height (u16) at 6, planes
// at 8, bit count at 10; 3-byte entries B,G,R. Rows follow the colour table, bottom row
// first, each padded to a multiple of 4 bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

// Leaves new elements uninitialised unless a value is given: the decoder writes every byte
// of a picture block itself, and zero-filling a 4K picture first costs about 7% of its
// decode. Elements constructed with a value (DibBlock(n, 0), copies, lists) are as usual.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A movable global block stands in as an owned byte vector. DibBlock(n) and resize(n) leave
// the new bytes undefined: say DibBlock(n, 0) when zeros are wanted.
using DibBlock = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

constexpr uint32_t kDibInfoHeaderSize = 40;
constexpr uint32_t kDibCoreHeaderSize = 12;

// The plain routines read a block whose header (and, for GetDibBits, colour table) is
// present; a block of unknown origin is checked with ParseDibLayout first.
int32_t GetDibWidth(const uint8_t* dib);
int32_t GetDibHeight(const uint8_t* dib);
uint16_t GetDibBitCount(const uint8_t* dib);
uint32_t GetDibColorCount(const uint8_t* dib);
uint32_t GetDibPaletteSize(const uint8_t* dib);
const uint8_t* GetDibBits(const uint8_t* dib);
uint32_t GetDibRowSize(const uint8_t* dib);

// Everything drawing needs, read with bounds checks. drawable is true only for an
// uncompressed 1-, 4-, 8- or 24-bit picture of one plane, positive dimensions of at most
// kMaxDibSide, whose header, colour table and rows all lie inside the block.
struct DibLayout {
  bool drawable = false;
  bool coreHeader = false;
  uint32_t headerSize = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t planes = 0;
  uint16_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t colorCount = 0;
  size_t paletteOffset = 0;  // from the start of the block
  size_t bitsOffset = 0;
  size_t rowSize = 0;
};
constexpr int32_t kMaxDibSide = 65535;
DibLayout ParseDibLayout(const uint8_t* dib, size_t size);

struct PaletteEntry {
  uint8_t red, green, blue, flags;
  bool operator==(const PaletteEntry&) const = default;
};
// One entry per colour-table entry; empty when the colour count is 0.
std::vector<PaletteEntry> CreatePaletteFromDib(const uint8_t* dib);
// Copy of the block; nullptr for a null or empty block or when memory runs out.
std::unique_ptr<DibBlock> DuplicateGlobalBlock(const DibBlock* block);

class CDib {
 public:
  CDib() = default;
  virtual ~CDib() = default;
  CDib(const CDib&) = delete;
  CDib& operator=(const CDib&) = delete;

  // Takes ownership of a non-null block (the one held before is freed). 1 when the block
  // can be drawn, 0 otherwise: a malformed block is kept but never read past its end, and
  // draws nothing. A null block returns 0 and leaves the object unchanged.
  int Attach(std::unique_ptr<DibBlock> block);
  // Gives the block away and leaves the object empty; nullptr when it held none.
  std::unique_ptr<DibBlock> Detach();
  bool IsEmpty() const;
  const DibBlock* GetHandle() const;
  // From the header; 0 when empty or the header is incomplete.
  int GetWidth() const;
  int GetHeight() const;
  const std::vector<PaletteEntry>& Palette() const { return m_palette; }
  bool IsDrawable() const { return m_layout.drawable; }
  const DibLayout& Layout() const { return m_layout; }
  // First stored (bottom) row, or nullptr unless drawable.
  const uint8_t* Bits() const;

 private:
  std::unique_ptr<DibBlock> m_pBlock;
  std::vector<PaletteEntry> m_palette;
  DibLayout m_layout;
};

// The palette-device path for 24-bit pictures on displays of 8 bits or fewer: the fixed
// 3-3-2 palette and the error diffusion, as a pure function over bottom-up rows. Returns
// one palette index per pixel, rows padded to a multiple of 4 bytes, in storage order.
std::vector<uint8_t> DitherTo332(const uint8_t* bits, int width, int height, int stride);
void Fixed332Palette(PaletteEntry out[256]);
