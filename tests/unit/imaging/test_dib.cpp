#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "imaging/Dib.h"

namespace {

void Put16(DibBlock& b, size_t at, uint32_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(DibBlock& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// Information-header bitmap; the colour table holds `tableEntries` entries (i, 2i, 3i).
DibBlock InfoDib(int32_t w, int32_t h, int bits, uint32_t colorsUsed, uint32_t tableEntries) {
  const size_t row = (static_cast<size_t>(bits) * w + 31) / 32 * 4;
  DibBlock b(40 + tableEntries * 4 + row * h, 0);
  Put32(b, 0, 40);
  Put32(b, 4, static_cast<uint32_t>(w));
  Put32(b, 8, static_cast<uint32_t>(h));
  Put16(b, 12, 1);
  Put16(b, 14, bits);
  Put32(b, 32, colorsUsed);
  for (uint32_t i = 0; i < tableEntries; ++i) {
    b[40 + 4 * i] = i & 0xFF;            // blue
    b[40 + 4 * i + 1] = (2 * i) & 0xFF;  // green
    b[40 + 4 * i + 2] = (3 * i) & 0xFF;  // red
  }
  return b;
}

TEST(Dib, InformationHeaderRoutinesAndAttach) {
  // 24-bit, width 161: row size 484, no colour table, no palette.
  DibBlock b24 = InfoDib(161, 3, 24, 0, 0);
  EXPECT_EQ(GetDibWidth(b24.data()), 161);
  EXPECT_EQ(GetDibHeight(b24.data()), 3);
  EXPECT_EQ(GetDibColorCount(b24.data()), 0u);
  EXPECT_EQ(GetDibPaletteSize(b24.data()), 0u);
  EXPECT_EQ(GetDibRowSize(b24.data()), 484u);
  EXPECT_EQ(GetDibBits(b24.data()), b24.data() + 40);
  EXPECT_TRUE(CreatePaletteFromDib(b24.data()).empty());

  CDib dib;
  EXPECT_TRUE(dib.IsEmpty());
  EXPECT_EQ(dib.GetWidth(), 0);
  auto owned = std::make_unique<DibBlock>(b24);
  const DibBlock* raw = owned.get();
  EXPECT_EQ(dib.Attach(std::move(owned)), 1);
  EXPECT_FALSE(dib.IsEmpty());
  EXPECT_EQ(dib.GetHandle(), raw);  // ownership taken, not copied
  EXPECT_EQ(dib.GetWidth(), 161);
  EXPECT_EQ(dib.GetHeight(), 3);
  EXPECT_TRUE(dib.Palette().empty());
  EXPECT_EQ(dib.Bits(), raw->data() + 40);

  // A null block changes nothing.
  EXPECT_EQ(dib.Attach(nullptr), 0);
  EXPECT_EQ(dib.GetHandle(), raw);
  EXPECT_TRUE(dib.IsDrawable());

  // 8-bit with colours-used 0: 256 entries, taken red/green/blue from blue/green/red.
  DibBlock b8 = InfoDib(5, 2, 8, 0, 256);
  EXPECT_EQ(GetDibColorCount(b8.data()), 256u);
  EXPECT_EQ(GetDibPaletteSize(b8.data()), 1024u);
  EXPECT_EQ(GetDibBits(b8.data()), b8.data() + 40 + 1024);
  EXPECT_EQ(GetDibRowSize(b8.data()), 8u);
  EXPECT_EQ(dib.Attach(std::make_unique<DibBlock>(b8)), 1);  // replaces the 24-bit block
  ASSERT_EQ(dib.Palette().size(), 256u);
  EXPECT_EQ(dib.Palette()[7], (PaletteEntry{21, 14, 7, 0}));
  EXPECT_EQ(dib.Palette(), CreatePaletteFromDib(b8.data()));
  EXPECT_EQ(dib.GetWidth(), 5);

  // A colours-used field overrides the bit count.
  DibBlock b8used = InfoDib(4, 1, 8, 16, 16);
  EXPECT_EQ(GetDibColorCount(b8used.data()), 16u);
  EXPECT_EQ(GetDibBits(b8used.data()), b8used.data() + 40 + 64);
  EXPECT_EQ(dib.Attach(std::make_unique<DibBlock>(b8used)), 1);
  EXPECT_EQ(dib.Palette().size(), 16u);
}

TEST(Dib, CoreHeaderReadsSixteenBitFieldsAndThreeByteEntries) {
  // 4-bit, 5 x 3, core header: 16 entries of 3 bytes, rows of 4 bytes.
  DibBlock b(12 + 16 * 3 + 4 * 3, 0);
  Put32(b, 0, 12);
  Put16(b, 4, 5);
  Put16(b, 6, 3);
  Put16(b, 8, 1);
  Put16(b, 10, 4);
  for (int i = 0; i < 16; ++i) {
    b[12 + 3 * i] = 10 + i;      // blue
    b[12 + 3 * i + 1] = 50 + i;  // green
    b[12 + 3 * i + 2] = 90 + i;  // red
  }
  EXPECT_EQ(GetDibWidth(b.data()), 5);
  EXPECT_EQ(GetDibHeight(b.data()), 3);
  EXPECT_EQ(GetDibColorCount(b.data()), 16u);
  EXPECT_EQ(GetDibPaletteSize(b.data()), 48u);
  EXPECT_EQ(GetDibBits(b.data()), b.data() + 60);
  EXPECT_EQ(GetDibRowSize(b.data()), 4u);
  const auto palette = CreatePaletteFromDib(b.data());
  ASSERT_EQ(palette.size(), 16u);
  EXPECT_EQ(palette[15], (PaletteEntry{105, 65, 25, 0}));
  CDib dib;
  EXPECT_EQ(dib.Attach(std::make_unique<DibBlock>(b)), 1);
  EXPECT_EQ(dib.Palette(), palette);
  EXPECT_EQ(dib.Bits(), dib.GetHandle()->data() + 60);
}

TEST(Dib, MalformedBlocksAreKeptButNeverDrawn) {
  struct Case {
    const char* what;
    DibBlock block;
  };
  std::vector<Case> cases;
  cases.push_back({"shorter than the size field", DibBlock{40, 0, 0}});
  cases.push_back({"shorter than the header", DibBlock(20, 0)});
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    b.pop_back();
    cases.push_back({"rows one byte short", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 8, 0, 256);
    b.resize(40 + 512);
    cases.push_back({"colour table past the end", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    Put32(b, 32, 0xFFFFFFFF);
    cases.push_back({"absurd colours-used", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    Put32(b, 4, 0x7FFFFFFF);
    cases.push_back({"absurd width", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    Put32(b, 8, 0);
    cases.push_back({"zero height", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    Put32(b, 8, static_cast<uint32_t>(-8));
    cases.push_back({"negative height", b});
  }
  for (int bits : {16, 32, 2}) {
    DibBlock b = InfoDib(8, 8, 32, 0, 0);
    Put16(b, 14, bits);
    cases.push_back({"unsupported bit count", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    Put16(b, 12, 2);
    cases.push_back({"two planes", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 8, 0, 256);
    Put32(b, 16, 1);
    cases.push_back({"run-length compressed", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    Put32(b, 0, 7);
    cases.push_back({"unknown header size", b});
  }
  {
    DibBlock b = InfoDib(8, 8, 24, 0, 0);
    Put32(b, 0, 0xFFFFFF00);
    cases.push_back({"header size past the end", b});
  }
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    CDib dib;
    auto owned = std::make_unique<DibBlock>(c.block);
    const DibBlock* raw = owned.get();
    EXPECT_EQ(dib.Attach(std::move(owned)), 0);
    EXPECT_FALSE(dib.IsEmpty());
    EXPECT_EQ(dib.GetHandle(), raw);
    EXPECT_FALSE(dib.IsDrawable());
    EXPECT_EQ(dib.Bits(), nullptr);
    EXPECT_TRUE(dib.Palette().empty());
    EXPECT_FALSE(ParseDibLayout(raw->data(), raw->size()).drawable);
  }
  EXPECT_FALSE(ParseDibLayout(nullptr, 100).drawable);
}

TEST(Dib, DuplicateGlobalBlock) {
  DibBlock b = InfoDib(3, 2, 24, 0, 0);
  b.back() = 0x5A;
  auto copy = DuplicateGlobalBlock(&b);
  ASSERT_TRUE(copy);
  EXPECT_EQ(*copy, b);
  EXPECT_NE(copy->data(), b.data());
  EXPECT_EQ(DuplicateGlobalBlock(nullptr), nullptr);
  DibBlock empty;
  EXPECT_EQ(DuplicateGlobalBlock(&empty), nullptr);
}

TEST(Dib, Fixed332Palette) {
  PaletteEntry p[256];
  Fixed332Palette(p);
  EXPECT_EQ(p[0], (PaletteEntry{0, 0, 0, 0}));
  EXPECT_EQ(p[255], (PaletteEntry{255, 255, 255, 0}));
  EXPECT_EQ(p[0b101'011'10], (PaletteEntry{182, 109, 170, 0}));  // 3 bits red, 3 green, 2 blue
  EXPECT_EQ(p[0b001'110'01], (PaletteEntry{36, 219, 85, 0}));
}

// The error diffusion written over a whole working image of ints.
std::vector<uint8_t> ReferenceDither(const uint8_t* bits, int w, int h, int stride) {
  PaletteEntry pal[256];
  Fixed332Palette(pal);
  std::vector<int> img(static_cast<size_t>(w) * h * 3);
  for (int r = 0; r < h; ++r)
    for (int k = 0; k < w * 3; ++k) img[r * w * 3 + k] = bits[r * stride + k];
  const int outStride = (w + 3) / 4 * 4;
  std::vector<uint8_t> out(static_cast<size_t>(outStride) * h, 0);
  auto add = [&](int r, int c, int k, int e) {
    int& v = img[(r * w + c) * 3 + k];
    v = std::clamp(v + e, 0, 255);
  };
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      const int B = img[(r * w + c) * 3], G = img[(r * w + c) * 3 + 1],
                R = img[(r * w + c) * 3 + 2];
      const int bi = B / 85 + (B % 85 > 43 ? 1 : 0);
      const int index = (R & ~0x1F) + ((G / 8) & ~3) + bi;
      out[r * outStride + c] = static_cast<uint8_t>(index);
      const int e[3] = {(B - pal[index].blue) >> 2, (G - pal[index].green) >> 2,
                        (R - pal[index].red) >> 2};
      for (int k = 0; k < 3; ++k) {
        if (r + 1 < h) add(r + 1, c, k, e[k]);
        if (c + 1 < w) add(r, c + 1, k, 2 * e[k]);
      }
    }
  return out;
}

TEST(Dib, DitherMatchesReference) {
  std::mt19937 rng(99);
  for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {7, 5}, {64, 9}, {161, 4}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    const int stride = (w * 3 + 3) / 4 * 4;
    std::vector<uint8_t> bits(static_cast<size_t>(stride) * h);
    for (auto& b : bits) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(DitherTo332(bits.data(), w, h, stride), ReferenceDither(bits.data(), w, h, stride));
  }
  // Colours of the palette itself reduce exactly and spread no error.
  const std::vector<uint8_t> exact = {170, 109, 182, 255, 255, 255, 0, 0, 0, 0};  // B,G,R x 3
  EXPECT_EQ(DitherTo332(exact.data(), 3, 1, 12), (std::vector<uint8_t>{0xAE, 255, 0, 0}));
  EXPECT_TRUE(DitherTo332(nullptr, 3, 1, 12).empty());
}

}  // namespace
