#include "analysis/ImageProcess.h"

#include "core/CpuFeatures.h"
#include "storage/BmpWriter.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#define ARV_MAPPING_X86 1
#include <immintrin.h>
#endif

namespace {

constexpr int64_t kFullScale = 32767; // value that maps to white at gain 1.0
constexpr size_t kLutSize = 65536;    // lookup tables cover the values 0..65535

// Nearest integer to n / d (d > 0), halves away from zero, in exact integer arithmetic.
int64_t RoundDiv(int64_t n, int64_t d) {
    if (n >= 0)
        return (2 * n + d) / (2 * d);
    return -((-2 * n + d) / (2 * d));
}

int ClampIndex(int64_t i) {
    return i < 0 ? 0 : (i > 255 ? 255 : int(i));
}

uint32_t PackBgr(uint8_t blue, uint8_t green, uint8_t red) {
    return uint32_t(blue) | uint32_t(green) << 8 | uint32_t(red) << 16;
}

// Stores the eight bytes of v least significant first.
inline void StoreLE64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 8);
    } else {
        for (int i = 0; i < 8; ++i)
            p[i] = uint8_t(v >> (8 * i));
    }
}

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

#if ARV_MAPPING_X86
// Maps groups of eight values from the table while every value of a group lies in it (below 65536):
// eight lookups, packed from 32-bit blue-green-red-0 to 24 bytes in registers and stored as 16 + 8
// bytes, so nothing beyond the group is written. Returns the number of values mapped.
__attribute__((target("avx2"))) size_t MapGreyGroupsAvx2(const uint32_t* src, size_t count, uint8_t* dst,
                                                         const uint32_t* lut) {
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, //
                                          0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i together = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    const __m256i high = _mm256_set1_epi32(int32_t(0xFFFF0000u));
    size_t l = 0;
    for (; l + 8 <= count; l += 8, dst += 24) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + l));
        if (!_mm256_testz_si256(v, high))
            break;
        alignas(32) uint32_t bgr[8];
        for (int k = 0; k < 8; ++k)
            bgr[k] = lut[src[l + size_t(k)]];
        __m256i g = _mm256_load_si256(reinterpret_cast<const __m256i*>(bgr));
        g = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(g, pack), together);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(g));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(g, 1));
    }
    return l;
}

// The arithmetic mapping: index = trunc(value * scale + bias) with FMA in single precision,
// saturated to 0..255 by the packs; eight values per vector, 32 per round. It is only used for a
// mapping key after the whole table domain has been mapped this way and compared with the exact
// table (see ImageProcess::PrepareVectorMapping), so it is exact wherever it is used.
__attribute__((target("avx2,fma"))) inline __m256i IndexOf8(__m256i v, __m256 scale, __m256 bias) {
    return _mm256_cvttps_epi32(_mm256_fmadd_ps(_mm256_cvtepi32_ps(v), scale, bias));
}

// Four vectors of eight 32-bit indices to 32 bytes in value order, saturated to 0..255 (Packed
// leaves them in the packs' order, see BlockMasks).
__attribute__((target("avx2,fma"))) inline __m256i Packed(__m256i a, __m256i b, __m256i c, __m256i d) {
    return _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
}

__attribute__((target("avx2,fma"))) inline __m256i PackIndices(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i p = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    return _mm256_permutevar8x32_epi32(p, order);
}

__attribute__((target("avx2,fma"))) inline void Extremes(__m256i mn, __m256i mx, uint8_t& lowest,
                                                         uint8_t& highest) {
    __m128i a = _mm_min_epu8(_mm256_castsi256_si128(mn), _mm256_extracti128_si256(mn, 1));
    __m128i b = _mm_max_epu8(_mm256_castsi256_si128(mx), _mm256_extracti128_si256(mx, 1));
    a = _mm_min_epu8(a, _mm_srli_si128(a, 8));
    b = _mm_max_epu8(b, _mm_srli_si128(b, 8));
    a = _mm_min_epu8(a, _mm_srli_si128(a, 4));
    b = _mm_max_epu8(b, _mm_srli_si128(b, 4));
    a = _mm_min_epu8(a, _mm_srli_si128(a, 2));
    b = _mm_max_epu8(b, _mm_srli_si128(b, 2));
    a = _mm_min_epu8(a, _mm_srli_si128(a, 1));
    b = _mm_max_epu8(b, _mm_srli_si128(b, 1));
    lowest = std::min(lowest, uint8_t(_mm_cvtsi128_si32(a)));
    highest = std::max(highest, uint8_t(_mm_cvtsi128_si32(b)));
}

// Indices of `count` grey values (read as signed 32-bit, `offset` subtracted first) into idx, with
// their lowest and highest. Values outside 0..65535 get meaningless indices here; returns whether
// there were any, so that the caller can put the exact ones in their place.
__attribute__((target("avx2,fma"))) bool GreyIndicesAvx2(const uint32_t* src, size_t count, uint8_t* idx,
                                                         float scale, float bias, int32_t offset,
                                                         uint8_t& lowest, uint8_t& highest) {
    const __m256 s = _mm256_set1_ps(scale), b = _mm256_set1_ps(bias);
    const __m256i off = _mm256_set1_epi32(offset);
    __m256i outside = _mm256_setzero_si256();
    __m256i mn = _mm256_set1_epi8(-1), mx = _mm256_setzero_si256();
    uint32_t last[32];
    for (size_t l = 0; l < count; l += 32) {
        const uint32_t* p = src + l;
        const size_t n = std::min<size_t>(32, count - l);
        if (n < 32) {
            // The last values, padded with a repeat of the first so that the extremes stay exact.
            std::memcpy(last, p, n * 4);
            std::fill(last + n, last + 32, p[0]);
            p = last;
        }
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8));
        const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
        const __m256i v3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 24));
        outside = _mm256_or_si256(outside, _mm256_or_si256(_mm256_or_si256(v0, v1), _mm256_or_si256(v2, v3)));
        const __m256i g =
            PackIndices(IndexOf8(_mm256_sub_epi32(v0, off), s, b), IndexOf8(_mm256_sub_epi32(v1, off), s, b),
                        IndexOf8(_mm256_sub_epi32(v2, off), s, b), IndexOf8(_mm256_sub_epi32(v3, off), s, b));
        mn = _mm256_min_epu8(mn, g);
        mx = _mm256_max_epu8(mx, g);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(idx + l), g);
    }
    Extremes(mn, mx, lowest, highest);
    return !_mm256_testz_si256(outside, _mm256_set1_epi32(int32_t(0xFFFF0000u)));
}

// Indices of `count` values of a colour plane (read as signed 16-bit) into idx, with their lowest
// and highest.
__attribute__((target("avx2,fma"))) void PlaneIndicesAvx2(const uint16_t* src, size_t count, uint8_t* idx,
                                                          float scale, float bias, uint8_t& lowest,
                                                          uint8_t& highest) {
    const __m256 s = _mm256_set1_ps(scale), b = _mm256_set1_ps(bias);
    __m256i mn = _mm256_set1_epi8(-1), mx = _mm256_setzero_si256();
    uint16_t last[32];
    for (size_t l = 0; l < count; l += 32) {
        const uint16_t* p = src + l;
        const size_t n = std::min<size_t>(32, count - l);
        if (n < 32) {
            std::memcpy(last, p, n * 2);
            std::fill(last + n, last + 32, p[0]);
            p = last;
        }
        auto half = [](const uint16_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
        const __m256i g = PackIndices(IndexOf8(_mm256_cvtepi16_epi32(half(p)), s, b),
                                      IndexOf8(_mm256_cvtepi16_epi32(half(p + 8)), s, b),
                                      IndexOf8(_mm256_cvtepi16_epi32(half(p + 16)), s, b),
                                      IndexOf8(_mm256_cvtepi16_epi32(half(p + 24)), s, b));
        mn = _mm256_min_epu8(mn, g);
        mx = _mm256_max_epu8(mx, g);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(idx + l), g);
    }
    Extremes(mn, mx, lowest, highest);
}

// Table lookups of 32 indices at once by byte shuffles of 16-entry slices of the table, for indices
// in the slices kLow ... kHigh (index / 16) only. The index is taken relative to slice kLow, every
// slice is looked up with its low four bits, and the bits above them choose among the results: bit
// 4 between neighbouring slices, bit 5 between pairs of them, and so on, one blend per choice. Each
// blend reads the top bit of a byte, so the chosen bit is first shifted up to bit 7. A span of n
// slices costs n shuffles, n - 1 blends and a few shifts, whatever the table holds (no property of
// the table is assumed). Spans of more than eight slices take the whole table (kLow 0, 16 slices),
// where bit 7 of the index itself chooses between the halves.
struct TableSlices {
    __m256i slice[16]; // slices kLow ... kLow + span - 1, each in both halves
    __m256i base;      // 16 * kLow in every byte
    int kLow = 0, kHigh = -1;
    int span = 0; // 1 ... 8, or 16 for the whole table
};

__attribute__((target("avx2"))) inline void MakeSlices(TableSlices& t, const uint8_t* table, int lowest,
                                                       int highest) {
    t.kLow = lowest >> 4;
    t.kHigh = highest >> 4;
    t.span = t.kHigh - t.kLow + 1;
    int first = t.kLow;
    if (t.span > 8) {
        t.span = 16;
        first = 0;
    }
    t.base = _mm256_set1_epi8(int8_t(16 * first));
    for (int k = 0; k < t.span; ++k)
        t.slice[k] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * (first + k))));
}

// Bit kBit of every byte of b moved to its top bit (the bits below it shift along, which a blend
// ignores; nothing crosses from one byte into the top bit of the next).
template <int kBit> __attribute__((target("avx2"))) inline __m256i BitOnTop(__m256i b) {
    if constexpr (kBit == 7)
        return b;
    else
        return _mm256_slli_epi16(b, 7 - kBit);
}

// The entries of slices slice[0 .. kN) for the indices x, chosen by bits 4 ... kBit of the relative
// index b (kN at most 2^(kBit - 3)): the slices with bit kBit clear are the first half, the others
// the rest. Each slice is looked up where it is chosen, so that few results are held at a time.
template <int kN, int kBit>
__attribute__((target("avx2"))) inline __m256i Choose(const __m256i* slice, __m256i x, __m256i b) {
    if constexpr (kN == 1) {
        return _mm256_shuffle_epi8(slice[0], x);
    } else {
        constexpr int kHalf = 1 << (kBit - 4);
        if constexpr (kN <= kHalf)
            return Choose<kN, kBit - 1>(slice, x, b);
        else
            return _mm256_blendv_epi8(Choose<kHalf, kBit - 1>(slice, x, b),
                                      Choose<kN - kHalf, kBit - 1>(slice + kHalf, x, b), BitOnTop<kBit>(b));
    }
}

constexpr int TopBitOf(int span) {
    int bit = 3;
    while ((1 << (bit - 3)) < span)
        ++bit;
    return bit;
}

// The table entries of the 32 indices of a, within the kSpan slices from `base` on. For spans below
// the whole table, `reach` gathers the largest index relative to base: an index outside the slices
// wraps around or lies above them, so that it reaches 16 * kSpan or more (see WithinSlices).
template <int kSpan>
__attribute__((target("avx2"))) inline __m256i Lookup(__m256i a, const __m256i* slice, __m256i base,
                                                      __m256i& reach) {
    if constexpr (kSpan == 16) {
        // A shuffle gives zero for an index with bit 7 set: look up with it cleared, and let bit 7
        // choose between the halves.
        return Choose<16, 7>(slice, _mm256_and_si256(a, _mm256_set1_epi8(0x7F)), a);
    } else {
        const __m256i b = _mm256_sub_epi8(a, base);
        reach = _mm256_max_epu8(reach, b);
        return Choose<kSpan, TopBitOf(kSpan)>(slice, b, b);
    }
}

// Whether the relative indices gathered in `reach` all lay within the kSpan slices.
template <int kSpan> __attribute__((target("avx2"))) inline bool WithinSlices(__m256i reach) {
    if constexpr (kSpan == 0 || kSpan == 16)
        return true;
    else
        return _mm256_testz_si256(_mm256_subs_epu8(reach, _mm256_set1_epi8(int8_t(16 * kSpan - 1))),
                                  _mm256_set1_epi8(-1));
}

// Calls f.template operator()<kSpan>() with the span of t as a constant.
template <class F> __attribute__((target("avx2"))) inline void WithSpan(const TableSlices& t, F&& f) {
    switch (t.span) {
    case 1:
        f.template operator()<1>();
        break;
    case 2:
        f.template operator()<2>();
        break;
    case 3:
        f.template operator()<3>();
        break;
    case 4:
        f.template operator()<4>();
        break;
    case 5:
        f.template operator()<5>();
        break;
    case 6:
        f.template operator()<6>();
        break;
    case 7:
        f.template operator()<7>();
        break;
    case 8:
        f.template operator()<8>();
        break;
    default:
        f.template operator()<16>();
        break;
    }
}

// Replaces the indices idx[0 .. count rounded up to 32), all within lowest ... highest, by their
// table entries.
__attribute__((target("avx2"))) void ApplyTableAvx2(uint8_t* idx, size_t count, const uint8_t* table,
                                                    int lowest, int highest) {
    TableSlices t;
    MakeSlices(t, table, lowest, highest);
    WithSpan(
        t, [&]<int kSpan>() __attribute__((target("avx2,fma"))) {
            __m256i slice[kSpan];
            for (int k = 0; k < kSpan; ++k)
                slice[k] = t.slice[k];
            for (size_t l = 0; l < count; l += 32) {
                const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(idx + l));
                __m256i reach = _mm256_setzero_si256();
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(idx + l),
                                    Lookup<kSpan>(a, slice, t.base, reach));
            }
        });
}

// Byte shuffles that spread 32 source bytes over 96 output bytes, three per pixel: output vector j
// takes its bytes from the 16 source bytes starting at 8 j (the same in both halves), channel c
// (0 blue, 1 green, 2 red) of each pixel, or all three when c is 3.
struct SpreadMasks {
    alignas(32) uint8_t m[4][3][32];
    SpreadMasks() {
        for (int c = 0; c < 4; ++c)
            for (int j = 0; j < 3; ++j)
                for (int q = 0; q < 32; ++q) {
                    const int pos = 32 * j + q, pixel = pos / 3, channel = pos % 3;
                    m[c][j][q] = (c == 3 || c == channel) ? uint8_t(pixel - 8 * j) : 0x80;
                }
    }
};
const SpreadMasks& Spread() {
    static const SpreadMasks masks;
    return masks;
}

// Byte shuffles from the packs' order to pixels. The 32 bytes of a block come out of the packs of
// four vectors of eight 32-bit values as four groups of eight (64-bit words); windows of the block
// put two of them in each half of a vector (words 0,2 | 0,2, then 0,2 | 1,3, then 1,3 | 1,3) and
// output vector j of 96 bytes is shuffled from window j. Channel c as in SpreadMasks.
struct BlockMasks {
    alignas(32) uint8_t m[4][3][32];
    BlockMasks() {
        const int words[4][8] = {{0, 1, 2, 3, 8, 9, 10, 11},
                                 {16, 17, 18, 19, 24, 25, 26, 27},
                                 {4, 5, 6, 7, 12, 13, 14, 15},
                                 {20, 21, 22, 23, 28, 29, 30, 31}};
        const int windows[3][2][2] = {{{0, 2}, {0, 2}}, {{0, 2}, {1, 3}}, {{1, 3}, {1, 3}}};
        for (int c = 0; c < 4; ++c)
            for (int j = 0; j < 3; ++j)
                for (int q = 0; q < 32; ++q) {
                    const int pos = 32 * j + q, pixel = pos / 3, channel = pos % 3, half = q / 16;
                    uint8_t at = 0x80;
                    for (int w = 0; w < 2; ++w)
                        for (int e = 0; e < 8; ++e)
                            if (words[windows[j][half][w]][e] == pixel)
                                at = uint8_t(8 * w + e);
                    m[c][j][q] = (c == 3 || c == channel) ? at : 0x80;
                }
    }
};
const BlockMasks& Blocks() {
    static const BlockMasks masks;
    return masks;
}

// Window j of a block (see BlockMasks).
__attribute__((target("avx2"))) inline __m256i BlockWindow(__m256i g, int j) {
    return j == 0 ? _mm256_permute4x64_epi64(g, _MM_SHUFFLE(2, 0, 2, 0))
                  : (j == 1 ? _mm256_permute4x64_epi64(g, _MM_SHUFFLE(3, 1, 2, 0))
                            : _mm256_permute4x64_epi64(g, _MM_SHUFFLE(3, 1, 3, 1)));
}

__attribute__((target("avx2"))) inline __m256i Window(const uint8_t* p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
__attribute__((target("avx2"))) inline __m256i Mask(const uint8_t* m) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(m));
}

// Grey bytes to blue, green, red triples.
__attribute__((target("avx2"))) void SpreadGreyAvx2(const uint8_t* grey, size_t count, uint8_t* dst) {
    const SpreadMasks& s = Spread();
    const __m256i m0 = Mask(s.m[3][0]), m1 = Mask(s.m[3][1]), m2 = Mask(s.m[3][2]);
    size_t l = 0;
    for (; l + 32 <= count; l += 32, dst += 96) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_shuffle_epi8(Window(grey + l), m0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32),
                            _mm256_shuffle_epi8(Window(grey + l + 8), m1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 64),
                            _mm256_shuffle_epi8(Window(grey + l + 16), m2));
    }
    for (; l < count; ++l, dst += 3)
        dst[0] = dst[1] = dst[2] = grey[l];
}

__attribute__((target("avx2"))) void InterleaveAvx2(const uint8_t* blue, const uint8_t* green,
                                                    const uint8_t* red, size_t count, uint8_t* dst);

// What the vector mapping of a picture needs: the arithmetic's scale, bias and offset, the table,
// and scratch room for three rows of indices.
struct VectorParams {
    float scale;
    float bias;
    int32_t offset;
    const uint8_t* table;
    bool identity;
    bool wholeRange; // the arithmetic alone maps values outside 0..65535 exactly (see GreyBlock)
    uint8_t* scratch;
};

// The exact index of a grey value outside the table.
using ExactIndex = uint8_t (*)(const void* context, uint32_t value);

// 32 grey values to 96 bytes of pixels: indices, the table (kSpan slices; none for the identity,
// kSpan 0), the grey bytes spread to three. With kOutside the values' bits above 16 are gathered in
// `outside`, for values outside the table whose indices the arithmetic may get wrong. Without it the
// caller has made sure it cannot: no offset, a scale of at most 1/2 (so no value's product
// overflows the conversion) and the arithmetic's index of 65535 at 255 or above, where the exact
// index is 255 too. Both are monotone, so every value above 65535 gets 255 both ways; a negative
// value gets an index of 0 or less both ways, which the packs saturate to 0.
template <bool kOffset, bool kOutside, int kSpan>
__attribute__((target("avx2,fma"))) inline void
GreyBlock(const uint32_t* p, uint8_t* out, __m256 s, __m256 b, __m256i off, const __m256i* slice,
          __m256i base, const __m256i* m, __m256i& outside, __m256i& reach) {
    __m256i v[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8 * k));
        if constexpr (kOutside)
            outside = _mm256_or_si256(outside, v[k]);
        if constexpr (kOffset)
            v[k] = _mm256_sub_epi32(v[k], off);
    }
    __m256i g =
        Packed(IndexOf8(v[0], s, b), IndexOf8(v[1], s, b), IndexOf8(v[2], s, b), IndexOf8(v[3], s, b));
    if constexpr (kSpan > 0)
        g = Lookup<kSpan>(g, slice, base, reach);
    for (int j = 0; j < 3; ++j)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * j),
                            _mm256_shuffle_epi8(BlockWindow(g, j), m[j]));
}

// One row of count >= 32 grey values in blocks, the last block overlapping the one before it (its
// pixels get the same bytes again). Returns whether every value lay in the table (0 ... 65535) and
// every index within the slices of t.
template <bool kOffset, bool kOutside, int kSpan>
__attribute__((target("avx2,fma"))) bool GreyRowAvx2(const uint32_t* src, uint8_t* dst, size_t count,
                                                     __m256 s, __m256 b, __m256i off, const TableSlices& t,
                                                     const __m256i* m) {
    // Up to eight slices are held in registers; the whole table is read where it is used.
    __m256i held[kSpan > 0 && kSpan <= 8 ? kSpan : 1];
    for (int k = 0; k < kSpan && kSpan <= 8; ++k)
        held[k] = t.slice[k];
    const __m256i* slice = kSpan <= 8 ? held : t.slice;
    __m256i outside = _mm256_setzero_si256(), reach = _mm256_setzero_si256();
    size_t l = 0;
    for (; l + 32 <= count; l += 32)
        GreyBlock<kOffset, kOutside, kSpan>(src + l, dst + 3 * l, s, b, off, slice, t.base, m, outside,
                                            reach);
    if (l < count)
        GreyBlock<kOffset, kOutside, kSpan>(src + count - 32, dst + 3 * (count - 32), s, b, off, slice,
                                            t.base, m, outside, reach);
    if (kOutside && !_mm256_testz_si256(outside, _mm256_set1_epi32(int32_t(0xFFFF0000u))))
        return false;
    return WithinSlices<kSpan>(reach);
}

// A grey picture of `rows` rows of `count` values, at least 32 (row r at values + r * stride), to
// pixels (row r at top + r * step). Each row goes in one pass with the table slices of the indices
// met so far. A row holding other indices, or values outside 0..65535, is mapped again in three
// passes: its indices (the exact ones for values outside the table), the table for the indices it
// holds, the grey bytes spread to pixels; the slices then cover its indices too.
template <bool kOffset, bool kOutside>
__attribute__((target("avx2,fma"))) void
GreyPictureAvx2(const uint32_t* values, size_t stride, int rows, size_t count, uint8_t* top, ptrdiff_t step,
                const VectorParams& vp, ExactIndex exact, const void* context) {
    const __m256 s = _mm256_set1_ps(vp.scale), b = _mm256_set1_ps(vp.bias);
    const __m256i off = _mm256_set1_epi32(vp.offset);
    const BlockMasks& bm = Blocks();
    const __m256i m[3] = {Mask(bm.m[3][0]), Mask(bm.m[3][1]), Mask(bm.m[3][2])};
    TableSlices t;
    bool known = vp.identity; // slices for the indices met so far (none are needed for the identity)
    int rangeLow = 255, rangeHigh = 0;
    uint8_t* idx = vp.scratch;
    for (int r = 0; r < rows; ++r) {
        const uint32_t* src = values + size_t(r) * stride;
        uint8_t* dst = top + ptrdiff_t(r) * step;
        if (known) {
            bool done = false;
            if (vp.identity)
                done = GreyRowAvx2<kOffset, kOutside, 0>(src, dst, count, s, b, off, t, m);
            else
                WithSpan(
                    t, [&]<int kSpan>() __attribute__((target("avx2,fma"))) {
                        done = GreyRowAvx2<kOffset, kOutside, kSpan>(src, dst, count, s, b, off, t, m);
                    });
            if (done)
                continue;
        }
        uint8_t lowest = 255, highest = 0;
        if (GreyIndicesAvx2(src, count, idx, vp.scale, vp.bias, vp.offset, lowest, highest)) {
            for (size_t l = 0; l < count; ++l) {
                if (src[l] < kLutSize)
                    continue;
                idx[l] = exact(context, src[l]);
                lowest = std::min(lowest, idx[l]);
                highest = std::max(highest, idx[l]);
            }
        }
        if (!vp.identity) {
            ApplyTableAvx2(idx, count, vp.table, lowest, highest);
            rangeLow = std::min<int>(rangeLow, lowest);
            rangeHigh = std::max<int>(rangeHigh, highest);
            MakeSlices(t, vp.table, rangeLow, rangeHigh);
        }
        SpreadGreyAvx2(idx, count, dst);
        known = true;
    }
}

// Eight signed 16-bit values widened to 32 bits.
__attribute__((target("avx2"))) inline __m256i Widened(const uint16_t* q) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
}

// 32 values of a colour plane to indices (in the packs' order, as grey values, see BlockMasks),
// looked up in the table unless it is the identity (kSpan 0). The 16-bit values are widened with
// their sign as they are loaded, eight at a time.
template <int kSpan>
__attribute__((target("avx2,fma"))) inline __m256i
PlaneBytes(const uint16_t* p, __m256 s, __m256 b, const __m256i* slice, __m256i base, __m256i& reach) {
    __m256i g = Packed(IndexOf8(Widened(p), s, b), IndexOf8(Widened(p + 8), s, b),
                       IndexOf8(Widened(p + 16), s, b), IndexOf8(Widened(p + 24), s, b));
    if constexpr (kSpan > 0)
        g = Lookup<kSpan>(g, slice, base, reach);
    return g;
}

// 32 pixels of the three planes (blue, green, red) to 96 bytes.
template <int kSpan>
__attribute__((target("avx2,fma"))) inline void
ColorBlock(const uint16_t* const* planes, size_t l, uint8_t* out, __m256 s, __m256 b, const __m256i* slice,
           __m256i base, const __m256i (*m)[3], __m256i& reach) {
    const __m256i gb = PlaneBytes<kSpan>(planes[0] + l, s, b, slice, base, reach);
    const __m256i gg = PlaneBytes<kSpan>(planes[1] + l, s, b, slice, base, reach);
    const __m256i gr = PlaneBytes<kSpan>(planes[2] + l, s, b, slice, base, reach);
    for (int j = 0; j < 3; ++j) {
        const __m256i o = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(BlockWindow(gb, j), m[0][j]),
                                                          _mm256_shuffle_epi8(BlockWindow(gg, j), m[1][j])),
                                          _mm256_shuffle_epi8(BlockWindow(gr, j), m[2][j]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * j), o);
    }
}

// One row of count >= 32 pixels of the three planes (see GreyRowAvx2). Returns whether every index
// lay within the slices of t.
template <int kSpan>
__attribute__((target("avx2,fma"))) bool ColorRowAvx2(const uint16_t* const* planes, uint8_t* dst,
                                                      size_t count, __m256 s, __m256 b, const TableSlices& t,
                                                      const __m256i (*m)[3]) {
    // Up to eight slices are held in registers; the whole table is read where it is used.
    __m256i held[kSpan > 0 && kSpan <= 8 ? kSpan : 1];
    for (int k = 0; k < kSpan && kSpan <= 8; ++k)
        held[k] = t.slice[k];
    const __m256i* slice = kSpan <= 8 ? held : t.slice;
    __m256i reach = _mm256_setzero_si256();
    size_t l = 0;
    for (; l + 32 <= count; l += 32)
        ColorBlock<kSpan>(planes, l, dst + 3 * l, s, b, slice, t.base, m, reach);
    if (l < count)
        ColorBlock<kSpan>(planes, count - 32, dst + 3 * (count - 32), s, b, slice, t.base, m, reach);
    return WithinSlices<kSpan>(reach);
}

// A colour picture (see GreyPictureAvx2): planes blue, green, red of at least 32 values a row,
// each row at plane + r * stride.
__attribute__((target("avx2,fma"))) void ColorPictureAvx2(const uint16_t* blue, const uint16_t* green,
                                                          const uint16_t* red, size_t stride, int rows,
                                                          size_t count, uint8_t* top, ptrdiff_t step,
                                                          const VectorParams& vp) {
    const __m256 s = _mm256_set1_ps(vp.scale), b = _mm256_set1_ps(vp.bias);
    const BlockMasks& bm = Blocks();
    __m256i m[3][3];
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 3; ++j)
            m[c][j] = Mask(bm.m[c][j]);
    TableSlices t;
    bool known = vp.identity;
    int rangeLow = 255, rangeHigh = 0;
    const size_t room = (count + 31) / 32 * 32;
    uint8_t* idx[3] = {vp.scratch, vp.scratch + room, vp.scratch + 2 * room};
    for (int r = 0; r < rows; ++r) {
        const uint16_t* planes[3] = {blue + size_t(r) * stride, green + size_t(r) * stride,
                                     red + size_t(r) * stride};
        uint8_t* dst = top + ptrdiff_t(r) * step;
        if (known) {
            bool done = false;
            if (vp.identity)
                done = ColorRowAvx2<0>(planes, dst, count, s, b, t, m);
            else
                WithSpan(
                    t, [&]<int kSpan>() __attribute__((target("avx2,fma"))) {
                        done = ColorRowAvx2<kSpan>(planes, dst, count, s, b, t, m);
                    });
            if (done)
                continue;
        }
        for (int c = 0; c < 3; ++c) {
            uint8_t lowest = 255, highest = 0;
            PlaneIndicesAvx2(planes[c], count, idx[c], vp.scale, vp.bias, lowest, highest);
            if (!vp.identity) {
                ApplyTableAvx2(idx[c], count, vp.table, lowest, highest);
                rangeLow = std::min<int>(rangeLow, lowest);
                rangeHigh = std::max<int>(rangeHigh, highest);
            }
        }
        if (!vp.identity)
            MakeSlices(t, vp.table, rangeLow, rangeHigh);
        InterleaveAvx2(idx[0], idx[1], idx[2], count, dst);
        known = true;
    }
}

// Three planes of bytes to blue, green, red triples.
__attribute__((target("avx2"))) void InterleaveAvx2(const uint8_t* blue, const uint8_t* green,
                                                    const uint8_t* red, size_t count, uint8_t* dst) {
    const SpreadMasks& s = Spread();
    size_t l = 0;
    for (; l + 32 <= count; l += 32, dst += 96) {
        for (int j = 0; j < 3; ++j) {
            const size_t w = l + size_t(8 * j);
            const __m256i o =
                _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(Window(blue + w), Mask(s.m[0][j])),
                                                _mm256_shuffle_epi8(Window(green + w), Mask(s.m[1][j]))),
                                _mm256_shuffle_epi8(Window(red + w), Mask(s.m[2][j])));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32 * j), o);
        }
    }
    for (; l < count; ++l, dst += 3) {
        dst[0] = blue[l];
        dst[1] = green[l];
        dst[2] = red[l];
    }
}
#else
size_t MapGreyGroupsAvx2(const uint32_t*, size_t, uint8_t*, const uint32_t*) {
    return 0;
}
bool GreyIndicesAvx2(const uint32_t*, size_t, uint8_t*, float, float, int32_t, uint8_t&, uint8_t&) {
    return false;
}
void PlaneIndicesAvx2(const uint16_t*, size_t, uint8_t*, float, float, uint8_t&, uint8_t&) {}
void ApplyTableAvx2(uint8_t*, size_t, const uint8_t*, int, int) {}
struct VectorParams {
    float scale;
    float bias;
    int32_t offset;
    const uint8_t* table;
    bool identity;
    bool wholeRange;
    uint8_t* scratch;
};
using ExactIndex = uint8_t (*)(const void* context, uint32_t value);
template <bool kOffset, bool kOutside>
void GreyPictureAvx2(const uint32_t*, size_t, int, size_t, uint8_t*, ptrdiff_t, const VectorParams&,
                     ExactIndex, const void*) {}
void ColorPictureAvx2(const uint16_t*, const uint16_t*, const uint16_t*, size_t, int, size_t, uint8_t*,
                      ptrdiff_t, const VectorParams&) {}
#endif

std::atomic<bool> g_forcePortableMapping{false};

bool VectorMappingInForce() {
    return CpuHasAvx2() && std::endian::native == std::endian::little && !g_forcePortableMapping.load();
}

// The arithmetic mapping needs FMA besides AVX2 (every processor with AVX2 has had it so far).
bool ArithmeticMappingInForce() {
    return CpuHasFma() && VectorMappingInForce();
}

// The values 0..65535, the whole domain of the lookup tables.
const std::vector<uint32_t>& TableDomain() {
    static const std::vector<uint32_t> all = [] {
        std::vector<uint32_t> v(kLutSize);
        for (size_t u = 0; u < kLutSize; ++u)
            v[u] = uint32_t(u);
        return v;
    }();
    return all;
}

ImageProcess::ColorTable MakeRamp06() {
    ImageProcess::ColorTable t{};
    // 255 * (i / 255)^0.6 equals 255 * i^0.6 / 255^0.6 and is exactly 255 at i = 255; no entry
    // lies within 1e-3 of an integer, so the truncation is not sensitive to rounding.
    for (int i = 0; i < 256; ++i)
        t[i] = uint8_t(255.0 * std::pow(i / 255.0, 0.6));
    return t;
}

ImageProcess::ColorTable MakeLinear() {
    ImageProcess::ColorTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = uint8_t(i);
    return t;
}

} // namespace

ImageProcess::ImageProcess(int width, int height) {
    std::lock_guard lock(m_mutex);
    ResizeLocked(width > 0 ? width : 1, height > 0 ? height : 1);
}

bool ImageProcess::SetVectorMapping(bool on) {
    g_forcePortableMapping = !on;
    return VectorMappingInForce();
}

bool ImageProcess::LookUpInVectors(const ColorTable& table, int lowest, int highest,
                                   std::vector<uint8_t>& idx) {
    if (!VectorMappingInForce() || lowest < 0 || highest > 255 || lowest > highest)
        return false;
    const size_t count = idx.size();
    idx.resize((count + 31) / 32 * 32, uint8_t(lowest)); // the lookup goes in blocks of 32
    ApplyTableAvx2(idx.data(), count, table.data(), lowest, highest);
    idx.resize(count);
    return true;
}

const ImageProcess::ColorTable& ImageProcess::GetColorTable(int index) {
    static const ColorTable ramp = MakeRamp06();
    static const ColorTable linear = MakeLinear();
    return index == 1 ? ramp : linear;
}

void ImageProcess::ResizeLocked(int width, int height) {
    m_width = width;
    m_height = height;
    m_lastPicture = Picture::None;
    const size_t pixels = size_t(width) * size_t(height);
    m_bitmap.assign(kBitmapHeaderSize + pixels * 3, 0);
    WriteHeadersLocked();
    m_workBuffer.resize(pixels);
    m_pixelIndexMap.resize(pixels);
    for (size_t i = 0; i < pixels; ++i)
        m_pixelIndexMap[i] = int32_t(i);
    m_pixelGainMap.assign(pixels, 1.0f);
    m_mapSize = int32_t(pixels);
}

void ImageProcess::WriteHeadersLocked() {
    uint8_t* h = m_bitmap.data();
    std::memset(h, 0, kBitmapHeaderSize);
    // File header: "BM", file size, two reserved words, offset of the pixel data.
    h[0] = 'B';
    h[1] = 'M';
    PutU32(h + 2, uint32_t(m_bitmap.size()));
    PutU32(h + 10, uint32_t(kBitmapHeaderSize));
    // Information header: size 40, width, height (positive: rows bottom-up), 1 plane, 24 bits,
    // no compression; image size, resolutions and colour counts 0.
    PutU32(h + 14, 40);
    PutU32(h + 18, uint32_t(m_width));
    PutU32(h + 22, uint32_t(m_height));
    PutU16(h + 26, 1);
    PutU16(h + 28, 24);
}

int ImageProcess::GreyIndex(int64_t v, const GreyKey& key) const {
    const int i = ClampIndex(RoundDiv(255 * (v - key.storedMin) * key.gainNum, kFullScale * key.gainDen));
    if (key.manual) {
        if (i < key.lower)
            return 0;
        if (i > key.upper)
            return 255;
    }
    return i;
}

void ImageProcess::BuildGreyLut(const GreyKey& key) {
    const ColorTable& table = GetColorTable(key.colorMap);
    m_greyLut.resize(kLutSize);
    // The raw index grows with the value; once it reaches 255 it stays there, so the division is
    // only needed up to that point.
    size_t v = 0;
    for (; v < kLutSize; ++v) {
        const int raw =
            ClampIndex(RoundDiv(255 * (int64_t(v) - key.storedMin) * key.gainNum, kFullScale * key.gainDen));
        const uint8_t c = table[GreyIndex(int64_t(v), key)];
        m_greyLut[v] = PackBgr(c, c, c);
        if (raw == 255)
            break;
    }
    if (v < kLutSize) {
        const uint32_t top = m_greyLut[v];
        for (++v; v < kLutSize; ++v)
            m_greyLut[v] = top;
    }
    m_greyKey = key;
    m_greyLutValid = true;
    m_greyVector.checked = false;
    m_greyVector.usedOnce = false;
}

void ImageProcess::BuildColorLut(const ColorKey& key) {
    const ColorTable& table = GetColorTable(key.colorMap);
    m_colorLut.resize(kLutSize);
    for (size_t u = 0; u < kLutSize; ++u) {
        const int64_t v = int16_t(uint16_t(u)); // values 32768 and above count as negative
        m_colorLut[u] = table[ClampIndex(RoundDiv(255 * v * key.gainNum, kFullScale * key.gainDen))];
    }
    m_colorKey = key;
    m_colorLutValid = true;
    m_colorVector.checked = false;
    m_colorVector.usedOnce = false;
}

void ImageProcess::SetVectorTable(VectorMapping& vm, const ColorTable& table) {
    vm.table = table;
    vm.identity = true;
    for (int i = 0; i < 256; ++i)
        vm.identity = vm.identity && table[size_t(i)] == i;
}

// Single-precision candidates for scale and bias near the exact ratio: the nearest float, one step
// above it, and each with the bias a little above one half so that values lying exactly halfway
// round up as the exact division does.
template <class MapAll>
bool ImageProcess::FindVectorMapping(VectorMapping& vm, double ratio, const uint8_t* exact, MapAll mapAll) {
    const float nearest = float(ratio);
    const float above = std::nextafter(nearest, 1e30f);
    const float half = 0.5f, halfUp = 0.5f + 1.0f / 65536.0f;
    const std::array<std::pair<float, float>, 4> candidates = {
        {{nearest, half}, {above, half}, {nearest, halfUp}, {above, halfUp}}};
    std::vector<uint8_t> mapped(kLutSize + 32);
    for (const auto& [scale, bias] : candidates) {
        uint8_t lowest = 255, highest = 0;
        mapAll(scale, bias, mapped.data(), lowest, highest);
        if (!vm.identity)
            ApplyTableAvx2(mapped.data(), kLutSize, vm.table.data(), lowest, highest);
        if (std::memcmp(mapped.data(), exact, kLutSize) == 0) {
            vm.scale = scale;
            vm.bias = bias;
            return true;
        }
    }
    return false;
}

bool ImageProcess::GreyVectorUsableLocked() {
    VectorMapping& vm = m_greyVector;
    if (vm.checked)
        return vm.usable;
    // The first picture of a key takes the table: while a slider moves every picture has a key of
    // its own, and the comparison would cost more than the picture.
    if (!vm.usedOnce) {
        vm.usedOnce = true;
        return false;
    }
    vm.checked = true;
    const GreyKey& key = m_greyKey;
    // The colour table with the manual cut folded in: indices below the lower limit are black,
    // above the upper one white.
    const ColorTable& colors = GetColorTable(key.colorMap);
    ColorTable table{};
    for (int i = 0; i < 256; ++i) {
        int j = i;
        if (key.manual && i < key.lower)
            j = 0;
        else if (key.manual && i > key.upper)
            j = 255;
        table[size_t(i)] = colors[size_t(j)];
    }
    SetVectorTable(vm, table);
    vm.offset = key.storedMin;
    std::vector<uint8_t> exact(kLutSize);
    for (size_t u = 0; u < kLutSize; ++u)
        exact[u] = uint8_t(m_greyLut[u]);
    const int32_t offset = vm.offset;

    vm.usable = FindVectorMapping(
        vm, 255.0 * double(key.gainNum) / (double(kFullScale) * double(key.gainDen)), exact.data(),
        [offset](float scale, float bias, uint8_t* out, uint8_t& lo, uint8_t& hi) {
            GreyIndicesAvx2(TableDomain().data(), kLutSize, out, scale, bias, offset, lo, hi);
        });
    // Whether values outside the table need no test of their own (see GreyBlock): the exact index
    // of 65535 is 255, and so is the arithmetic's (single rounding, as the vector FMA).
    const int64_t top = int64_t(kLutSize - 1);
    vm.wholeRange = vm.usable && vm.offset == 0 && vm.scale > 0.0f && vm.scale <= 0.5f &&
                    ClampIndex(RoundDiv(255 * top * key.gainNum, kFullScale * key.gainDen)) == 255 &&
                    std::trunc(std::fma(float(top), vm.scale, vm.bias)) >= 255.0f;

    return vm.usable;
}

bool ImageProcess::ColorVectorUsableLocked() {
    VectorMapping& vm = m_colorVector;
    if (vm.checked)
        return vm.usable;
    // The first picture of a key takes the table: while a slider moves every picture has a key of
    // its own, and the comparison would cost more than the picture.
    if (!vm.usedOnce) {
        vm.usedOnce = true;
        return false;
    }
    vm.checked = true;
    SetVectorTable(vm, GetColorTable(m_colorKey.colorMap));
    vm.offset = 0;
    std::vector<uint16_t> domain(kLutSize);
    for (size_t u = 0; u < kLutSize; ++u)
        domain[u] = uint16_t(u);
    vm.usable = FindVectorMapping(
        vm, 255.0 * double(m_colorKey.gainNum) / (double(kFullScale) * double(m_colorKey.gainDen)),
        m_colorLut.data(), [&domain](float scale, float bias, uint8_t* out, uint8_t& lo, uint8_t& hi) {
            PlaneIndicesAvx2(domain.data(), kLutSize, out, scale, bias, lo, hi);
        });
    return vm.usable;
}

ImageProcess::GreyKey ImageProcess::GreyKeyLocked(int colorMap, bool manual, int min, int max) {
    GreyKey key{};
    if (manual) {
        const int64_t m = max < 1 ? 1 : max; // the max control never goes below 1
        m_gainNum = kFullScale;
        m_gainDen = m;
        key.lower = RoundDiv(255 * (int64_t(min) - m_storedMin) * m_gainNum, kFullScale * m_gainDen);
        key.upper = RoundDiv(255 * (m - m_storedMin) * m_gainNum, kFullScale * m_gainDen);
    }
    key.gainNum = m_gainNum;
    key.gainDen = m_gainDen;
    key.storedMin = m_storedMin;
    key.manual = manual;
    key.colorMap = colorMap;
    return key;
}

bool ImageProcess::KeepsOtherColumnsLocked(const GreyKey* grey, const ColorKey* color) const {
    if (m_lastPicture == Picture::Grey)
        return grey != nullptr && m_lastGreyKey == *grey;
    if (m_lastPicture == Picture::Color)
        return color != nullptr && m_lastColorKey == *color;
    return false;
}

template <class T>
bool ImageProcess::MakeGreyLocked(const T* values, int rows, int columns, int colorMap, bool manual, int min,
                                  int max, int firstColumn, int endColumn) {
    if (values == nullptr || rows <= 0 || columns <= 0)
        return false;
    if (rows != m_height || columns != m_width)
        ResizeLocked(columns, rows);
    const GreyKey key = GreyKeyLocked(colorMap, manual, min, max);
    if (!m_greyLutValid || !(key == m_greyKey))
        BuildGreyLut(key);
    // Only the given columns when the rest of the picture was mapped the same way; else all.
    firstColumn = std::clamp(firstColumn, 0, columns);
    endColumn = std::clamp(endColumn, firstColumn, columns);
    const bool partial = KeepsOtherColumnsLocked(&key, nullptr);
    if (!partial) {
        firstColumn = 0;
        endColumn = columns;
    }
    const ColorTable& table = GetColorTable(colorMap);
    const uint32_t* lut = m_greyLut.data();
    const bool useAvx2 = VectorMappingInForce();
    const size_t rowBytes = size_t(columns) * 3;
    const size_t count = size_t(endColumn - firstColumn);
    uint8_t* pixels = m_bitmap.data() + kBitmapHeaderSize;
    // Fewer values a row than a block (a few new columns during a scan) take the table.
    const bool arithmetic = count >= 32 && ArithmeticMappingInForce() && GreyVectorUsableLocked();
    if (arithmetic) {
        const VectorMapping& vm = m_greyVector;
        m_indexRows.resize((count + 31) / 32 * 32);
        const VectorParams vp{vm.scale,    vm.bias,       vm.offset,         vm.table.data(),
                              vm.identity, vm.wholeRange, m_indexRows.data()};
        // Values outside the table (negative or above 65535) take the exact computation.
        const ExactIndex exact = [](const void* context, uint32_t u) {
            const GreyKey& k = *static_cast<const GreyKey*>(context);
            return uint8_t(ClampIndex(
                RoundDiv(255 * (int64_t(int32_t(u)) - k.storedMin) * k.gainNum, kFullScale * k.gainDen)));
        };
        const auto* src = reinterpret_cast<const uint32_t*>(values) + size_t(firstColumn);
        uint8_t* top = pixels + size_t(rows - 1) * rowBytes + size_t(firstColumn) * 3;
        if (vm.wholeRange)
            GreyPictureAvx2<false, false>(src, size_t(columns), rows, count, top, -ptrdiff_t(rowBytes), vp,
                                          exact, &key);
        else if (vm.offset == 0)
            GreyPictureAvx2<false, true>(src, size_t(columns), rows, count, top, -ptrdiff_t(rowBytes), vp,
                                         exact, &key);
        else
            GreyPictureAvx2<true, true>(src, size_t(columns), rows, count, top, -ptrdiff_t(rowBytes), vp,
                                        exact, &key);
    }
    for (int r = 0; r < rows && count > 0 && !arithmetic; ++r) {
        const T* src = values + size_t(r) * size_t(columns) + size_t(firstColumn);
        // Picture row 0 is the last bitmap row.
        uint8_t* dst = pixels + size_t(rows - 1 - r) * rowBytes + size_t(firstColumn) * 3;
        size_t l = 0;
        while (l < count) {
            // Runs of groups of eight whose values all lie in the table, with AVX2 where the
            // processor has it.
            if (useAvx2) {
                const size_t done =
                    MapGreyGroupsAvx2(reinterpret_cast<const uint32_t*>(src) + l, count - l, dst, lut);
                l += done;
                dst += 3 * done;
            }
            if (l + 8 > count)
                break;
            // One group of eight (a value outside the table, or no AVX2): three 64-bit stores.
            // Values outside the table (negative or above 65535) take the exact computation.
            uint64_t p[8];
            for (int k = 0; k < 8; ++k)
                p[k] = GreyPixel(uint32_t(src[l + size_t(k)]), key, lut, table);
            StoreLE64(dst, p[0] | p[1] << 24 | p[2] << 48);
            StoreLE64(dst + 8, p[2] >> 16 | p[3] << 8 | p[4] << 32 | p[5] << 56);
            StoreLE64(dst + 16, p[5] >> 8 | p[6] << 16 | p[7] << 40);
            l += 8;
            dst += 24;
        }
        for (; l < count; ++l, dst += 3) {
            const uint32_t p = GreyPixel(uint32_t(src[l]), key, lut, table);
            dst[0] = uint8_t(p);
            dst[1] = uint8_t(p >> 8);
            dst[2] = uint8_t(p >> 16);
        }
    }
    m_lastPicture = Picture::Grey;
    m_lastGreyKey = key;
    m_mappedArithmetically = arithmetic;
    m_ready = true;
    return partial;
}

uint32_t ImageProcess::GreyPixel(uint32_t u, const GreyKey& key, const uint32_t* lut,
                                 const ColorTable& table) const {
    if (u < kLutSize)
        return lut[u];
    const uint8_t c = table[GreyIndex(int64_t(int32_t(u)), key)];
    return PackBgr(c, c, c);
}

void ImageProcess::MakeGreyBitmap(const uint32_t* values, int rows, int columns, int colorMap, bool manual,
                                  int min, int max) {
    std::lock_guard lock(m_mutex);
    MakeGreyLocked(values, rows, columns, colorMap, manual, min, max, 0, columns);
}

void ImageProcess::MakeGreyBitmap(const int32_t* values, int rows, int columns, int colorMap, bool manual,
                                  int min, int max) {
    std::lock_guard lock(m_mutex);
    MakeGreyLocked(values, rows, columns, colorMap, manual, min, max, 0, columns);
}

bool ImageProcess::MakeGreyBitmapColumns(const uint32_t* values, int rows, int columns, int colorMap,
                                         bool manual, int min, int max, int firstColumn, int endColumn) {
    std::lock_guard lock(m_mutex);
    return MakeGreyLocked(values, rows, columns, colorMap, manual, min, max, firstColumn, endColumn);
}

void ImageProcess::MakeColorBitmap(const uint16_t* red, const uint16_t* green, const uint16_t* blue, int rows,
                                   int columns, int colorMap) {
    std::lock_guard lock(m_mutex);
    MakeColorLocked(red, green, blue, rows, columns, colorMap, 0, columns);
}

bool ImageProcess::MakeColorBitmapColumns(const uint16_t* red, const uint16_t* green, const uint16_t* blue,
                                          int rows, int columns, int colorMap, int firstColumn,
                                          int endColumn) {
    std::lock_guard lock(m_mutex);
    return MakeColorLocked(red, green, blue, rows, columns, colorMap, firstColumn, endColumn);
}

bool ImageProcess::MakeColorLocked(const uint16_t* red, const uint16_t* green, const uint16_t* blue, int rows,
                                   int columns, int colorMap, int firstColumn, int endColumn) {
    if (red == nullptr || green == nullptr || blue == nullptr || rows <= 0 || columns <= 0)
        return false;
    if (rows != m_height || columns != m_width)
        ResizeLocked(columns, rows);
    const ColorKey key{m_gainNum, m_gainDen, colorMap};
    if (!m_colorLutValid || !(key == m_colorKey))
        BuildColorLut(key);
    firstColumn = std::clamp(firstColumn, 0, columns);
    endColumn = std::clamp(endColumn, firstColumn, columns);
    const bool partial = KeepsOtherColumnsLocked(nullptr, &key);
    if (!partial) {
        firstColumn = 0;
        endColumn = columns;
    }
    // Red, green and blue share one table (every colour table serves all three).
    const uint8_t* lut = m_colorLut.data();
    const size_t rowBytes = size_t(columns) * 3;
    const size_t count = size_t(endColumn - firstColumn);
    uint8_t* pixels = m_bitmap.data() + kBitmapHeaderSize;
    const bool arithmetic = count >= 32 && ArithmeticMappingInForce() && ColorVectorUsableLocked();
    if (arithmetic) {
        const VectorMapping& vm = m_colorVector;
        m_indexRows.resize(3 * ((count + 31) / 32 * 32));
        const VectorParams vp{vm.scale,    vm.bias,       vm.offset,         vm.table.data(),
                              vm.identity, vm.wholeRange, m_indexRows.data()};
        const size_t off = size_t(firstColumn);
        ColorPictureAvx2(blue + off, green + off, red + off, size_t(columns), rows, count,
                         pixels + size_t(rows - 1) * rowBytes + off * 3, -ptrdiff_t(rowBytes), vp);
    }
    for (int r = 0; r < rows && count > 0 && !arithmetic; ++r) {
        const size_t off = size_t(r) * size_t(columns) + size_t(firstColumn);
        const uint16_t* pr = red + off;
        const uint16_t* pg = green + off;
        const uint16_t* pb = blue + off;
        uint8_t* dst = pixels + size_t(rows - 1 - r) * rowBytes + size_t(firstColumn) * 3;
        auto bgr = [&](size_t l) -> uint64_t {
            return uint64_t(lut[pb[l]]) | uint64_t(lut[pg[l]]) << 8 | uint64_t(lut[pr[l]]) << 16;
        };
        size_t l = 0;
        for (; l + 8 <= count; l += 8, dst += 24) {
            uint64_t p[8];
            for (int k = 0; k < 8; ++k)
                p[k] = bgr(l + size_t(k));
            StoreLE64(dst, p[0] | p[1] << 24 | p[2] << 48);
            StoreLE64(dst + 8, p[2] >> 16 | p[3] << 8 | p[4] << 32 | p[5] << 56);
            StoreLE64(dst + 16, p[5] >> 8 | p[6] << 16 | p[7] << 40);
        }
        for (; l < count; ++l, dst += 3) {
            dst[0] = lut[pb[l]];
            dst[1] = lut[pg[l]];
            dst[2] = lut[pr[l]];
        }
    }
    m_lastPicture = Picture::Color;
    m_lastColorKey = key;
    m_mappedArithmetically = arithmetic;
    m_ready = true;
    return partial;
}

bool ImageProcess::MappedArithmetically() const {
    std::lock_guard lock(m_mutex);
    return m_mappedArithmetically;
}

void ImageProcess::PaintMask(const uint8_t* mask, int rows, int columns, uint8_t red, uint8_t green,
                             uint8_t blue, int firstColumn, int endColumn) {
    std::lock_guard lock(m_mutex);
    if (!m_ready || mask == nullptr || rows != m_height || columns != m_width)
        return;
    const int first = std::max(firstColumn, 0);
    const int end = std::min(endColumn, columns);
    const size_t rowBytes = size_t(columns) * 3;
    uint8_t* pixels = m_bitmap.data() + kBitmapHeaderSize;
    for (int r = 0; r < rows; ++r) {
        const uint8_t* m = mask + size_t(r) * size_t(columns);
        uint8_t* dst = pixels + size_t(rows - 1 - r) * rowBytes; // picture row 0 is the last bitmap row
        for (int l = first; l < end; ++l) {
            if (m[l] == 0)
                continue;
            dst[3 * size_t(l)] = blue;
            dst[3 * size_t(l) + 1] = green;
            dst[3 * size_t(l) + 2] = red;
        }
    }
}

bool ImageProcess::IsReady() const {
    std::lock_guard lock(m_mutex);
    return m_ready;
}

bool ImageProcess::CopyTopDownRgb32(std::vector<uint32_t>& out, int& width, int& height) const {
    std::lock_guard lock(m_mutex);
    if (!m_ready)
        return false;
    width = m_width;
    height = m_height;
    out.resize(size_t(m_width) * size_t(m_height));
    const uint8_t* pixels = m_bitmap.data() + kBitmapHeaderSize;
    const size_t rowBytes = size_t(m_width) * 3;
    for (int r = 0; r < m_height; ++r) {
        const uint8_t* src = pixels + size_t(m_height - 1 - r) * rowBytes;
        uint32_t* dst = out.data() + size_t(r) * size_t(m_width);
        for (int l = 0; l < m_width; ++l, src += 3)
            dst[l] = 0xFF000000u | uint32_t(src[2]) << 16 | uint32_t(src[1]) << 8 | uint32_t(src[0]);
    }
    return true;
}

std::vector<uint8_t> ImageProcess::BitmapFileImage() const {
    std::lock_guard lock(m_mutex);
    return m_bitmap;
}

int ImageProcess::SaveBitmapFile(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    // The picture's rows are kept unpadded behind the headers; the writer pads them to four bytes
    // and writes beside the destination, so a failed save keeps an earlier file of the same name.
    const uint8_t* rows = m_bitmap.data() + kBitmapHeaderSize;
    return WriteBmp24(path, uint32_t(m_width), uint32_t(m_height), rows, size_t(m_width) * 3).Ok() ? 1 : 0;
}

float ImageProcess::Gain() const {
    std::lock_guard lock(m_mutex);
    return float(double(m_gainNum) / double(m_gainDen));
}

uint16_t ImageProcess::StoredMinimum() const {
    std::lock_guard lock(m_mutex);
    return m_storedMin;
}

int ImageProcess::Width() const {
    std::lock_guard lock(m_mutex);
    return m_width;
}

int ImageProcess::Height() const {
    std::lock_guard lock(m_mutex);
    return m_height;
}

std::vector<int32_t> ImageProcess::PixelIndexMap() const {
    std::lock_guard lock(m_mutex);
    return m_pixelIndexMap;
}

std::vector<float> ImageProcess::PixelGainMap() const {
    std::lock_guard lock(m_mutex);
    return m_pixelGainMap;
}

int32_t ImageProcess::MapSize() const {
    std::lock_guard lock(m_mutex);
    return m_mapSize;
}
