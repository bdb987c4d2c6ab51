#include "camera/LineBinning.h"

#include "core/CpuFeatures.h"
#include "core/Geometry.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#define ARV_BINNING_X86 1
#include <immintrin.h>
#endif

namespace {

// The four rows of band k and the start of band k in the line (and in the copy).
struct BandRows {
    const uint16_t* r0;
    const uint16_t* r1;
    const uint16_t* r2;
    const uint16_t* r3;
    uint16_t* out;
    uint16_t* copy;
};

BandRows RowsOf(const uint16_t* frame, int frameWidth, int samples, int bands, int k, uint16_t* line,
                uint16_t* copy) {
    const size_t W = size_t(frameWidth);
    BandRows b;
    b.r0 = frame + size_t(4 * (bands - 1 - k)) * W + kFirstSampleColumn;
    b.r1 = b.r0 + W;
    b.r2 = b.r1 + W;
    b.r3 = b.r2 + W;
    b.out = line + size_t(k) * size_t(samples);
    b.copy = copy ? copy + size_t(k) * size_t(samples) : nullptr;
    return b;
}

// (4 * 65535) >> 6, the largest binned value.
constexpr uint32_t kBinnedCeiling = 4095;

inline uint16_t BinnedValue(const BandRows& b, int s) {
    // ((p0 + p1 + p2 + p3) >> 2) >> 4 == sum >> 6 for 16-bit pixels (the sum has 18 bits).
    return uint16_t((uint32_t(b.r0[s]) + b.r1[s] + b.r2[s] + b.r3[s]) >> 6);
}

// Samples [from, to) one at a time; returns how many are at least countFrom (none when !kCount).
template <bool kCount>
inline uint64_t BinScalar(const BandRows& b, int samples, int from, int to, uint32_t countFrom) {
    uint64_t high = 0;
    for (int s = from; s < to; ++s) {
        const uint16_t v = BinnedValue(b, s);
        b.out[samples - 1 - s] = v;
        if (b.copy)
            b.copy[samples - 1 - s] = v;
        if constexpr (kCount)
            high += v >= countFrom;
    }
    return high;
}

// How the count of a line is made: every value counts (countFrom 0), none can (a binned value is at
// most 4095), or each value is compared.
enum class Counting { All, None, Compare };
Counting CountingFor(uint32_t countFrom) {
    if (countFrom == 0)
        return Counting::All;
    return countFrom > kBinnedCeiling ? Counting::None : Counting::Compare;
}

#if ARV_BINNING_X86
// Eight samples from s on, reversed, as eight 16-bit values (SSE2).
inline __m128i BinEightSse2(const BandRows& b, int s) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.r0 + s));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.r1 + s));
    const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.r2 + s));
    const __m128i a3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.r3 + s));
    // Widened to 32 bits: the sum of four 16-bit pixels needs 18.
    __m128i lo = _mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi16(a0, zero), _mm_unpacklo_epi16(a1, zero)),
                               _mm_add_epi32(_mm_unpacklo_epi16(a2, zero), _mm_unpacklo_epi16(a3, zero)));
    __m128i hi = _mm_add_epi32(_mm_add_epi32(_mm_unpackhi_epi16(a0, zero), _mm_unpackhi_epi16(a1, zero)),
                               _mm_add_epi32(_mm_unpackhi_epi16(a2, zero), _mm_unpackhi_epi16(a3, zero)));
    lo = _mm_srli_epi32(lo, 6);
    hi = _mm_srli_epi32(hi, 6);
    // At most 4095 after the shift, so the signed pack keeps every value.
    __m128i v = _mm_packs_epi32(lo, hi);
    // Reverse: the four 32-bit pairs, then the two values inside each pair.
    v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
}

// Eight pixels from row + at, widened to 32 bits.
__attribute__((target("avx2"))) inline __m256i Widened(const uint16_t* row, int at) {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + at)));
}

// Sixteen samples from s on, reversed, as sixteen 16-bit values (AVX2).
__attribute__((target("avx2"))) inline __m256i BinSixteenAvx2(const BandRows& b, int s) {
    __m256i lo = _mm256_add_epi32(_mm256_add_epi32(Widened(b.r0, s), Widened(b.r1, s)),
                                  _mm256_add_epi32(Widened(b.r2, s), Widened(b.r3, s)));
    __m256i hi = _mm256_add_epi32(_mm256_add_epi32(Widened(b.r0, s + 8), Widened(b.r1, s + 8)),
                                  _mm256_add_epi32(Widened(b.r2, s + 8), Widened(b.r3, s + 8)));
    lo = _mm256_srli_epi32(lo, 6);
    hi = _mm256_srli_epi32(hi, 6);
    // The pack works per 128-bit half: 64-bit groups (s0-3, s8-11 | s4-7, s12-15). Putting the groups
    // in the order s12-15, s8-11, s4-7, s0-3 and reversing the four values of each group reverses all
    // sixteen.
    __m256i v = _mm256_packus_epi32(lo, hi);
    v = _mm256_permute4x64_epi64(v, _MM_SHUFFLE(0, 2, 1, 3));
    const __m256i reverseGroups = _mm256_setr_epi8(6, 7, 4, 5, 2, 3, 0, 1, 14, 15, 12, 13, 10, 11, 8, 9, //
                                                   6, 7, 4, 5, 2, 3, 0, 1, 14, 15, 12, 13, 10, 11, 8, 9);
    return _mm256_shuffle_epi8(v, reverseGroups);
}
#endif

std::atomic<bool> g_forcePortable{false};

#if ARV_BINNING_X86
// Lanes whose values a block has not counted yet. Blocks run from sample 0 up; the last one is moved
// back to end at the last sample, so its first `already` samples were counted by the block before.
// A block holds its samples reversed (sample s + i in lane lanes - 1 - i): the lanes to count are
// those below lanes - already.
inline __m128i FreshLanesSse2(int already) {
    return _mm_cmpgt_epi16(_mm_set1_epi16(int16_t(8 - already)), _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
}

// Whether every block store into the line can go past the caches: streaming stores need 16-byte
// aligned addresses, and a band's blocks end on whole multiples of eight values from its end.
bool StreamsInto(const uint16_t* line, int samples) {
    return (reinterpret_cast<uintptr_t>(line) & 15) == 0 && samples % 8 == 0;
}

// Eight values into the line, past the caches (kStream) or through them.
template <bool kStream> inline void StoreEight(uint16_t* at, __m128i v) {
    if constexpr (kStream)
        _mm_stream_si128(reinterpret_cast<__m128i*>(at), v);
    else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
}

template <bool kCount, bool kStream>
uint64_t BinPortable(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                     uint16_t* copy, uint32_t countFrom) {
    const __m128i below = _mm_set1_epi16(int16_t(kCount ? countFrom - 1 : 0));
    const __m128i ones = _mm_set1_epi16(1);
    __m128i total = _mm_setzero_si128(); // 32-bit lanes
    uint64_t high = 0;
    for (int k = 0; k < bands; ++k) {
        const BandRows b = RowsOf(frame, frameWidth, samples, bands, k, line, copy);
        if (samples < 8) {
            high += BinScalar<kCount>(b, samples, 0, samples, countFrom);
            continue;
        }
        // Blocks of eight; the last block overlaps the one before it when the samples are not a
        // multiple of eight (the values it writes twice are the same, and are counted once).
        __m128i hits = _mm_setzero_si128(); // 16-bit lanes, emptied into total before they can overflow
        int blocks = 0;
        for (int next = 0;; next += 8) {
            const int s = std::min(next, samples - 8);
            const __m128i v = BinEightSse2(b, s);
            StoreEight<kStream>(b.out + (samples - 8 - s), v);
            if (b.copy)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(b.copy + (samples - 8 - s)), v);
            if constexpr (kCount) {
                __m128i hit = _mm_cmpgt_epi16(v, below); // values are at most 4095: signed compare
                if (s != next)
                    hit = _mm_and_si128(hit, FreshLanesSse2(next - s));
                hits = _mm_sub_epi16(hits, hit);
                if (++blocks == 32767) {
                    total = _mm_add_epi32(total, _mm_madd_epi16(hits, ones));
                    hits = _mm_setzero_si128();
                    blocks = 0;
                }
            }
            if (s == samples - 8)
                break;
        }
        if constexpr (kCount)
            total = _mm_add_epi32(total, _mm_madd_epi16(hits, ones));
    }
    if constexpr (kStream)
        _mm_sfence(); // streaming stores are weakly ordered: the line is complete before it is handed on
    if constexpr (kCount) {
        alignas(16) uint32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), total);
        high += uint64_t(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
    }
    return high;
}

__attribute__((target("avx2"))) inline __m256i FreshLanesAvx2(int already) {
    return _mm256_cmpgt_epi16(_mm256_set1_epi16(int16_t(16 - already)),
                              _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// Sixteen values into the line: two streaming stores of eight (the line's bands are 16-byte aligned,
// not always 32-byte), or one ordinary store.
template <bool kStream> __attribute__((target("avx2"))) inline void StoreSixteen(uint16_t* at, __m256i v) {
    if constexpr (kStream) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(at), _mm256_castsi256_si128(v));
        _mm_stream_si128(reinterpret_cast<__m128i*>(at + 8), _mm256_extracti128_si256(v, 1));
    } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v);
    }
}

template <bool kCount, bool kStream>
__attribute__((target("avx2"))) uint64_t BinAvx2(const uint16_t* frame, int frameWidth, int samples,
                                                 int bands, uint16_t* line, uint16_t* copy,
                                                 uint32_t countFrom) {
    const __m256i below = _mm256_set1_epi16(int16_t(kCount ? countFrom - 1 : 0));
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i total = _mm256_setzero_si256(); // 32-bit lanes
    uint64_t high = 0;
    for (int k = 0; k < bands; ++k) {
        const BandRows b = RowsOf(frame, frameWidth, samples, bands, k, line, copy);
        if (samples < 16) {
            high += BinScalar<kCount>(b, samples, 0, samples, countFrom);
            continue;
        }
        __m256i hits = _mm256_setzero_si256();
        int blocks = 0;
        for (int next = 0;; next += 16) {
            const int s = std::min(next, samples - 16);
            const __m256i v = BinSixteenAvx2(b, s);
            StoreSixteen<kStream>(b.out + (samples - 16 - s), v);
            if (b.copy)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(b.copy + (samples - 16 - s)), v);
            if constexpr (kCount) {
                __m256i hit = _mm256_cmpgt_epi16(v, below);
                if (s != next)
                    hit = _mm256_and_si256(hit, FreshLanesAvx2(next - s));
                hits = _mm256_sub_epi16(hits, hit);
                if (++blocks == 32767) {
                    total = _mm256_add_epi32(total, _mm256_madd_epi16(hits, ones));
                    hits = _mm256_setzero_si256();
                    blocks = 0;
                }
            }
            if (s == samples - 16)
                break;
        }
        if constexpr (kCount)
            total = _mm256_add_epi32(total, _mm256_madd_epi16(hits, ones));
    }
    if constexpr (kStream)
        _mm_sfence();
    if constexpr (kCount) {
        alignas(32) uint32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
        for (uint32_t lane : lanes)
            high += lane;
    }
    return high;
}
#else
template <bool kCount, bool>
uint64_t BinPortable(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                     uint16_t* copy, uint32_t countFrom) {
    uint64_t high = 0;
    for (int k = 0; k < bands; ++k)
        high += BinScalar<kCount>(RowsOf(frame, frameWidth, samples, bands, k, line, copy), samples, 0,
                                  samples, countFrom);
    return high;
}
#endif

// Runs the path's kernel with or without the comparisons, as the threshold needs, and with streaming
// stores where the line allows them: kernel(count, stream), each a std::bool_constant.
template <class Kernel>
uint64_t Dispatched(Kernel kernel, const uint16_t* line, int samples, int bands, uint32_t countFrom) {
#if ARV_BINNING_X86
    const bool stream = StreamsInto(line, samples);
#else
    const bool stream = false;
    (void)line;
#endif
    const auto run = [&](auto count) {
        return stream ? kernel(count, std::true_type{}) : kernel(count, std::false_type{});
    };
    switch (CountingFor(countFrom)) {
    case Counting::All:
        run(std::false_type{});
        return uint64_t(samples) * uint64_t(bands);
    case Counting::None:
        run(std::false_type{});
        return 0;
    case Counting::Compare:
        break;
    }
    return run(std::true_type{});
}

} // namespace

uint64_t BinFrameToLinePortable(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                                uint16_t* copy, uint32_t countFrom) {
    if (samples <= 0 || bands <= 0)
        return 0;
    return Dispatched(
        [&](auto count, auto stream) {
            return BinPortable<decltype(count)::value, decltype(stream)::value>(frame, frameWidth, samples,
                                                                                bands, line, copy, countFrom);
        },
        line, samples, bands, countFrom);
}

uint64_t BinFrameToLineAvx2(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                            uint16_t* copy, uint32_t countFrom) {
#if ARV_BINNING_X86
    if (samples <= 0 || bands <= 0)
        return 0;
    return Dispatched(
        [&](auto count, auto stream) {
            return BinAvx2<decltype(count)::value, decltype(stream)::value>(frame, frameWidth, samples, bands,
                                                                            line, copy, countFrom);
        },
        line, samples, bands, countFrom);
#else
    return BinFrameToLinePortable(frame, frameWidth, samples, bands, line, copy, countFrom);
#endif
}

bool BinningAvx2Supported() {
    return CpuHasAvx2();
}

BinningPath ActiveBinningPath() {
    return CpuHasAvx2() && !g_forcePortable.load(std::memory_order_relaxed) ? BinningPath::Avx2
                                                                            : BinningPath::Portable;
}

BinningPath SetBinningPath(BinningPath path) {
    g_forcePortable.store(path == BinningPath::Portable);
    return ActiveBinningPath();
}

uint64_t BinFrameToLine(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                        uint16_t* copy, uint32_t countFrom) {
    return ActiveBinningPath() == BinningPath::Avx2
               ? BinFrameToLineAvx2(frame, frameWidth, samples, bands, line, copy, countFrom)
               : BinFrameToLinePortable(frame, frameWidth, samples, bands, line, copy, countFrom);
}
