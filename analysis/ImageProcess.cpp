#include "analysis/ImageProcess.h"

#include "storage/AtomicFile.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

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
bool DetectAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

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
#else
bool DetectAvx2() {
    return false;
}
size_t MapGreyGroupsAvx2(const uint32_t*, size_t, uint8_t*, const uint32_t*) {
    return 0;
}
#endif

std::atomic<bool> g_forcePortableMapping{false};

bool VectorMappingInForce() {
    static const bool avx2 = DetectAvx2();
    return avx2 && std::endian::native == std::endian::little && !g_forcePortableMapping.load();
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
    for (int r = 0; r < rows && count > 0; ++r) {
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
    for (int r = 0; r < rows && count > 0; ++r) {
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
    m_ready = true;
    return partial;
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
    // Written beside the destination and renamed when complete: a failed save leaves no short
    // bitmap and keeps an earlier file of the same name.
    AtomicFile file;
    if (!file.Open(path))
        return 0;
    const size_t rowBytes = size_t(m_width) * 3;
    const size_t padding = (4 - rowBytes % 4) % 4;
    if (padding == 0) {
        file.Write(m_bitmap.data(), m_bitmap.size());
    } else {
        // Rows of the file format are padded to four bytes; the file size in the header follows.
        std::array<uint8_t, kBitmapHeaderSize> header;
        std::memcpy(header.data(), m_bitmap.data(), kBitmapHeaderSize);
        PutU32(header.data() + 2, uint32_t(kBitmapHeaderSize + (rowBytes + padding) * size_t(m_height)));
        file.Write(header.data(), header.size());
        const uint8_t zeros[4] = {0, 0, 0, 0};
        for (int r = 0; !file.Failed() && r < m_height; ++r) {
            file.Write(m_bitmap.data() + kBitmapHeaderSize + size_t(r) * rowBytes, rowBytes);
            file.Write(zeros, padding);
        }
    }
    return file.Commit() ? 1 : 0;
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
