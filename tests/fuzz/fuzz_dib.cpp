// Packed bitmaps of unknown origin: the layout check, CDib::Attach and every routine that
// reads a block must stay inside it, and what the check calls drawable must really fit.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/Dib.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DibLayout layout = ParseDibLayout(data, size);
  if (layout.drawable) {
    Check(layout.bitsOffset + layout.rowSize * static_cast<size_t>(layout.height) <= size);
    Check(layout.width > 0 && layout.height > 0);
    // The plain routines agree with the checked layout on a block that passed it.
    Check(GetDibWidth(data) == layout.width && GetDibHeight(data) == layout.height);
    Check(GetDibBitCount(data) == layout.bitCount);
    Check(GetDibBits(data) == data + layout.bitsOffset);
    Check(GetDibRowSize(data) == layout.rowSize);
    Check(CreatePaletteFromDib(data).size() == GetDibColorCount(data));
  }

  auto block = std::make_unique<DibBlock>(data, data + size);
  const DibBlock* raw = block.get();
  auto copy = DuplicateGlobalBlock(raw);
  Check(size == 0 ? copy == nullptr : (copy && *copy == *raw));

  CDib dib;
  const int drawable = dib.Attach(std::move(block));
  Check(drawable == (layout.drawable ? 1 : 0));
  Check(dib.GetHandle() == raw);
  if (!drawable) {
    Check(dib.Bits() == nullptr);
    return 0;
  }
  Check(dib.Palette().size() == layout.colorCount);
  // Touch every stored byte of every row.
  const uint8_t* bits = dib.Bits();
  unsigned sum = 0;
  for (size_t i = 0; i < layout.rowSize * static_cast<size_t>(layout.height); ++i) sum += bits[i];
  (void)sum;
  if (layout.bitCount == 24 && static_cast<uint64_t>(layout.width) * layout.height <= (1u << 20)) {
    const auto indexes = DitherTo332(bits, layout.width, layout.height,
                                     static_cast<int>(layout.rowSize));
    Check(indexes.size() == static_cast<size_t>((layout.width + 3) / 4 * 4) * layout.height);
  }
  auto back = dib.Detach();
  Check(back.get() == raw && dib.IsEmpty());
  return 0;
}
