#include "imaging/Nv12.h"

#include <algorithm>
#include <climits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BREVANT_NV12_SSSE3 1
#endif

namespace {

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Since 256Y is a multiple of 256, (256Y + k) >> 8 == Y + (k >> 8): the chroma part of each
// component is computed once per U,V pair and added to every luma sample that shares it.
struct ChromaTerms {
  int r, g, b;
};
inline ChromaTerms TermsOf(const uint8_t* pair) {
  const int u = pair[0] - 128;
  const int v = pair[1] - 128;
  return {(359 * v) >> 8, (-88 * u - 183 * v) >> 8, (454 * u) >> 8};
}

inline void StorePixel(uint8_t* out, int y, const ChromaTerms& t) {
  out[0] = Clamp255(y + t.b);
  out[1] = Clamp255(y + t.g);
  out[2] = Clamp255(y + t.r);
}

// Columns [from, width) of one or two luma rows sharing one chroma row. pairs is the number
// of whole U,V pairs in the chroma row; a trailing odd column reuses the last one.
void ScalarColumns(const uint8_t* y0, const uint8_t* y1, const uint8_t* chroma, int pairs,
                   int from, int width, uint8_t* o0, uint8_t* o1) {
  for (int j = from; j < width; ++j) {
    const ChromaTerms t = TermsOf(chroma + 2 * std::min(j / 2, pairs - 1));
    StorePixel(o0 + 3 * j, y0[j], t);
    if (y1) StorePixel(o1 + 3 * j, y1[j], t);
  }
}

// The portable fast path: fixed blocks of 16 columns with no branches, which the compiler
// turns into vector code on any target (NEON's interleaving stores on arm64). The same
// arithmetic as ScalarColumns, so the same bytes.
constexpr int kBlock = 16;

inline void PortableRow(const uint8_t* y, const int16_t* tr, const int16_t* tg,
                        const int16_t* tb, uint8_t* out) {
  for (int j = 0; j < kBlock; ++j) {
    const int luma = y[j];
    out[3 * j + 0] = Clamp255(luma + tb[j]);
    out[3 * j + 1] = Clamp255(luma + tg[j]);
    out[3 * j + 2] = Clamp255(luma + tr[j]);
  }
}

int PortableColumns(const uint8_t* y0, const uint8_t* y1, const uint8_t* chroma, int pairs,
                    uint8_t* o0, uint8_t* o1) {
  const int blocks = pairs / (kBlock / 2);
  for (int k = 0; k < blocks; ++k) {
    const uint8_t* c = chroma + kBlock * k;
    // Terms per U,V pair (a de-interleaving load), then each given to both its columns
    // (an interleaving store): both are single instructions on NEON.
    int16_t pr[kBlock / 2], pg[kBlock / 2], pb[kBlock / 2];
    for (int p = 0; p < kBlock / 2; ++p) {
      const int u = c[2 * p] - 128;
      const int v = c[2 * p + 1] - 128;
      pr[p] = static_cast<int16_t>((359 * v) >> 8);
      pg[p] = static_cast<int16_t>((-88 * u - 183 * v) >> 8);
      pb[p] = static_cast<int16_t>((454 * u) >> 8);
    }
    int16_t tr[kBlock], tg[kBlock], tb[kBlock];
    for (int p = 0; p < kBlock / 2; ++p) {
      tr[2 * p] = tr[2 * p + 1] = pr[p];
      tg[2 * p] = tg[2 * p + 1] = pg[p];
      tb[2 * p] = tb[2 * p + 1] = pb[p];
    }
    PortableRow(y0 + kBlock * k, tr, tg, tb, o0 + 3 * kBlock * k);
    if (y1) PortableRow(y1 + kBlock * k, tr, tg, tb, o1 + 3 * kBlock * k);
  }
  return kBlock * blocks;
}

enum class Path { Scalar, Portable, Best };

#ifdef BREVANT_NV12_SSSE3
// Shuffle masks that interleave 16 B, 16 G and 16 R bytes into 48 bytes B,G,R,B,G,R,...
// kMask[block][plane] selects, for output bytes block*16 .. block*16+15, the bytes that come
// from that plane (0x80 leaves a zero to be filled by another plane).
struct InterleaveMasks {
  alignas(16) uint8_t m[3][3][16];
  constexpr InterleaveMasks() : m{} {
    for (int block = 0; block < 3; ++block)
      for (int plane = 0; plane < 3; ++plane)
        for (int i = 0; i < 16; ++i) {
          const int k = block * 16 + i;
          m[block][plane][i] = (k % 3 == plane) ? static_cast<uint8_t>(k / 3) : 0x80;
        }
  }
};
constexpr InterleaveMasks kMasks;

__attribute__((target("ssse3"))) inline __m128i Mask(int block, int plane) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(kMasks.m[block][plane]));
}

// Output bytes block*16 .. block*16+15 of 16 pixels.
__attribute__((target("ssse3"))) inline __m128i Interleave(__m128i b, __m128i g, __m128i r,
                                                           int block) {
  return _mm_or_si128(
      _mm_or_si128(_mm_shuffle_epi8(b, Mask(block, 0)), _mm_shuffle_epi8(g, Mask(block, 1))),
      _mm_shuffle_epi8(r, Mask(block, 2)));
}

__attribute__((target("ssse3"))) inline void Store16(const uint8_t* yrow, __m128i dr0,
                                                     __m128i dr1, __m128i dg0, __m128i dg1,
                                                     __m128i db0, __m128i db1, uint8_t* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yrow));
  const __m128i ylo = _mm_unpacklo_epi8(y, zero);
  const __m128i yhi = _mm_unpackhi_epi8(y, zero);
  // Y + term stays within int16 (-227..480); packus clamps to 0..255 exactly like Clamp255.
  const __m128i r = _mm_packus_epi16(_mm_add_epi16(ylo, dr0), _mm_add_epi16(yhi, dr1));
  const __m128i g = _mm_packus_epi16(_mm_add_epi16(ylo, dg0), _mm_add_epi16(yhi, dg1));
  const __m128i b = _mm_packus_epi16(_mm_add_epi16(ylo, db0), _mm_add_epi16(yhi, db1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Interleave(b, g, r, 0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), Interleave(b, g, r, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), Interleave(b, g, r, 2));
}

// Eight chroma terms (one per pair) of 16 chroma bytes, for coefficients (cu, cv) per pair.
// madd forms cu*U + cv*V in 32 bits, so the shift floors the exact sum.
__attribute__((target("ssse3"))) inline __m128i Terms8(__m128i lo, __m128i hi, __m128i coeff) {
  return _mm_packs_epi32(_mm_srai_epi32(_mm_madd_epi16(lo, coeff), 8),
                         _mm_srai_epi32(_mm_madd_epi16(hi, coeff), 8));
}

// 16 columns per step; returns the number of columns done (a multiple of 16 that only
// uses whole pairs).
__attribute__((target("ssse3"))) int Ssse3Columns(const uint8_t* y0, const uint8_t* y1,
                                                  const uint8_t* chroma, int pairs, uint8_t* o0,
                                                  uint8_t* o1) {
  const int blocks = (2 * pairs) / 16;
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(128);
  const __m128i kR = _mm_setr_epi16(0, 359, 0, 359, 0, 359, 0, 359);
  const __m128i kG = _mm_setr_epi16(-88, -183, -88, -183, -88, -183, -88, -183);
  const __m128i kB = _mm_setr_epi16(454, 0, 454, 0, 454, 0, 454, 0);
  for (int k = 0; k < blocks; ++k) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + 16 * k));
    const __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(c, zero), bias);
    const __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(c, zero), bias);
    const __m128i dr = Terms8(lo, hi, kR);
    const __m128i dg = Terms8(lo, hi, kG);
    const __m128i db = Terms8(lo, hi, kB);
    // Each pair's term serves two neighbouring columns.
    const __m128i dr0 = _mm_unpacklo_epi16(dr, dr), dr1 = _mm_unpackhi_epi16(dr, dr);
    const __m128i dg0 = _mm_unpacklo_epi16(dg, dg), dg1 = _mm_unpackhi_epi16(dg, dg);
    const __m128i db0 = _mm_unpacklo_epi16(db, db), db1 = _mm_unpackhi_epi16(db, db);
    Store16(y0 + 16 * k, dr0, dr1, dg0, dg1, db0, db1, o0 + 48 * k);
    if (y1) Store16(y1 + 16 * k, dr0, dr1, dg0, dg1, db0, db1, o1 + 48 * k);
  }
  return 16 * blocks;
}

// The same steps on 32 columns. Unpack, madd, pack and shuffle work within each 128-bit
// lane, and the lane split of luma (columns 0-15 | 16-31) matches that of the chroma bytes,
// so the terms line up with their columns without any cross-lane shuffle until the store.
__attribute__((target("avx2"))) inline __m256i Mask256(int block, int plane) {
  return _mm256_broadcastsi128_si256(
      _mm_load_si128(reinterpret_cast<const __m128i*>(kMasks.m[block][plane])));
}

__attribute__((target("avx2"))) inline __m256i Interleave256(__m256i b, __m256i g, __m256i r,
                                                            const __m256i masks[3]) {
  return _mm256_or_si256(
      _mm256_or_si256(_mm256_shuffle_epi8(b, masks[0]), _mm256_shuffle_epi8(g, masks[1])),
      _mm256_shuffle_epi8(r, masks[2]));
}

__attribute__((target("avx2"))) inline void Store32(const uint8_t* yrow, __m256i dr0, __m256i dr1,
                                                    __m256i dg0, __m256i dg1, __m256i db0,
                                                    __m256i db1, const __m256i masks[3][3],
                                                    uint8_t* out) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(yrow));
  const __m256i ylo = _mm256_unpacklo_epi8(y, zero);
  const __m256i yhi = _mm256_unpackhi_epi8(y, zero);
  const __m256i r = _mm256_packus_epi16(_mm256_add_epi16(ylo, dr0), _mm256_add_epi16(yhi, dr1));
  const __m256i g = _mm256_packus_epi16(_mm256_add_epi16(ylo, dg0), _mm256_add_epi16(yhi, dg1));
  const __m256i b = _mm256_packus_epi16(_mm256_add_epi16(ylo, db0), _mm256_add_epi16(yhi, db1));
  // Each lane now holds 48 output bytes of its 16 columns in three vectors; put lane 0's
  // three parts first, then lane 1's.
  const __m256i v0 = Interleave256(b, g, r, masks[0]);
  const __m256i v1 = Interleave256(b, g, r, masks[1]);
  const __m256i v2 = Interleave256(b, g, r, masks[2]);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(v0, v1, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                      _mm256_permute2x128_si256(v2, v0, 0x30));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64),
                      _mm256_permute2x128_si256(v1, v2, 0x31));
}

__attribute__((target("avx2"))) inline __m256i Terms16(__m256i lo, __m256i hi, __m256i coeff) {
  return _mm256_packs_epi32(_mm256_srai_epi32(_mm256_madd_epi16(lo, coeff), 8),
                            _mm256_srai_epi32(_mm256_madd_epi16(hi, coeff), 8));
}

__attribute__((target("avx2"))) int Avx2Columns(const uint8_t* y0, const uint8_t* y1,
                                                const uint8_t* chroma, int pairs, uint8_t* o0,
                                                uint8_t* o1) {
  const int blocks = (2 * pairs) / 32;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i bias = _mm256_set1_epi16(128);
  const __m256i kR = _mm256_set1_epi32(359 << 16);
  const __m256i kG = _mm256_set1_epi32(static_cast<int>((static_cast<uint32_t>(-183) << 16) |
                                                        (static_cast<uint32_t>(-88) & 0xFFFF)));
  const __m256i kB = _mm256_set1_epi32(454);
  __m256i masks[3][3];
  for (int block = 0; block < 3; ++block)
    for (int plane = 0; plane < 3; ++plane) masks[block][plane] = Mask256(block, plane);
  for (int k = 0; k < blocks; ++k) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma + 32 * k));
    const __m256i lo = _mm256_sub_epi16(_mm256_unpacklo_epi8(c, zero), bias);
    const __m256i hi = _mm256_sub_epi16(_mm256_unpackhi_epi8(c, zero), bias);
    const __m256i dr = Terms16(lo, hi, kR);
    const __m256i dg = Terms16(lo, hi, kG);
    const __m256i db = Terms16(lo, hi, kB);
    const __m256i dr0 = _mm256_unpacklo_epi16(dr, dr), dr1 = _mm256_unpackhi_epi16(dr, dr);
    const __m256i dg0 = _mm256_unpacklo_epi16(dg, dg), dg1 = _mm256_unpackhi_epi16(dg, dg);
    const __m256i db0 = _mm256_unpacklo_epi16(db, db), db1 = _mm256_unpackhi_epi16(db, db);
    Store32(y0 + 32 * k, dr0, dr1, dg0, dg1, db0, db1, masks, o0 + 96 * k);
    if (y1) Store32(y1 + 32 * k, dr0, dr1, dg0, dg1, db0, db1, masks, o1 + 96 * k);
  }
  return 32 * blocks;
}

enum class SimdLevel { None, Ssse3, Avx2 };
SimdLevel DetectSimd() {
  static const SimdLevel level = __builtin_cpu_supports("avx2")    ? SimdLevel::Avx2
                                 : __builtin_cpu_supports("ssse3") ? SimdLevel::Ssse3
                                                                   : SimdLevel::None;
  return level;
}

// Whole vector steps first, then the narrower step for what is left.
int SimdColumns(const uint8_t* y0, const uint8_t* y1, const uint8_t* chroma, int pairs,
                uint8_t* o0, uint8_t* o1) {
  const SimdLevel level = DetectSimd();
  int done = 0;
  if (level == SimdLevel::Avx2) done = Avx2Columns(y0, y1, chroma, pairs, o0, o1);
  if (level != SimdLevel::None) {
    const int rest = pairs - done / 2;
    done += Ssse3Columns(y0 + done, y1 ? y1 + done : nullptr, chroma + done, rest, o0 + 3 * done,
                         o1 ? o1 + 3 * done : nullptr);
  }
  return done;
}
#endif

bool ValidArgs(const uint8_t* frame, int width, int height, const uint8_t* out) {
  if (!frame || !out || width < 0 || height < 0) return false;
  return static_cast<long long>(width) * height * 3 <= INT_MAX;
}

int Convert(const uint8_t* frame, int width, int height, uint8_t* outTop, std::ptrdiff_t stride,
            Path path) {
  if (!ValidArgs(frame, width, height, outTop)) return -1;
  const uint8_t* luma = frame;
  const uint8_t* chromaPlane = frame + static_cast<std::ptrdiff_t>(width) * height;
  const int pairs = width / 2;
  const int chromaRows = height / 2;
  auto lumaRow = [&](int i) { return luma + static_cast<std::ptrdiff_t>(i) * width; };
  auto outRow = [&](int i) { return outTop + static_cast<std::ptrdiff_t>(i) * stride; };

  if (pairs == 0 || chromaRows == 0) {
    // No whole chroma pair or row exists: gray from luma alone.
    for (int i = 0; i < height; ++i)
      for (int j = 0; j < width; ++j) {
        uint8_t* p = outRow(i) + 3 * j;
        p[0] = p[1] = p[2] = lumaRow(i)[j];
      }
    return width * height * 3;
  }

  for (int i = 0; i < height; i += 2) {
    // A last odd row has no chroma row of its own: it shares the one above.
    const int chromaRow = std::min(i / 2, chromaRows - 1);
    const uint8_t* chroma = chromaPlane + static_cast<std::ptrdiff_t>(chromaRow) * width;
    const uint8_t* y0 = lumaRow(i);
    const uint8_t* y1 = i + 1 < height ? lumaRow(i + 1) : nullptr;
    uint8_t* o0 = outRow(i);
    uint8_t* o1 = y1 ? outRow(i + 1) : nullptr;
    int done = 0;
#ifdef BREVANT_NV12_SSSE3
    if (path == Path::Best) done = SimdColumns(y0, y1, chroma, pairs, o0, o1);
#else
    if (path == Path::Best) done = PortableColumns(y0, y1, chroma, pairs, o0, o1);
#endif
    if (path == Path::Portable) done = PortableColumns(y0, y1, chroma, pairs, o0, o1);
    ScalarColumns(y0, y1, chroma, pairs, done, width, o0, o1);
  }
  return width * height * 3;
}

}  // namespace

int ConvertNv12ToBgr(const uint8_t* frame, int width, int height, uint8_t* out) {
  return Convert(frame, width, height, out, static_cast<std::ptrdiff_t>(width) * 3, Path::Best);
}

int ConvertNv12ToBgrRows(const uint8_t* frame, int width, int height, uint8_t* outTopRow,
                         std::ptrdiff_t outStride) {
  return Convert(frame, width, height, outTopRow, outStride, Path::Best);
}

int ConvertNv12ToBgrRowsScalar(const uint8_t* frame, int width, int height, uint8_t* outTopRow,
                               std::ptrdiff_t outStride) {
  return Convert(frame, width, height, outTopRow, outStride, Path::Scalar);
}

int ConvertNv12ToBgrRowsPortable(const uint8_t* frame, int width, int height, uint8_t* outTopRow,
                                 std::ptrdiff_t outStride) {
  return Convert(frame, width, height, outTopRow, outStride, Path::Portable);
}
