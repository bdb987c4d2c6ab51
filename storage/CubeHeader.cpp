#include "storage/CubeHeader.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {
class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : m_out(out) {}
    size_t Pos() const { return m_pos; }
    void Zero(size_t n) { m_pos += n; } // the buffer starts zeroed
    void Bytes(const void* p, size_t n) {
        std::memcpy(&m_out[m_pos], p, n);
        m_pos += n;
    }
    void U16(uint16_t v) {
        const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
        Bytes(b, 2);
    }
    void U32(uint32_t v) {
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        Bytes(b, 4);
    }
    void I32(int32_t v) { U32(uint32_t(v)); }
    void F32(float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        U32(bits);
    }

private:
    std::vector<uint8_t>& m_out;
    size_t m_pos = 0;
};
} // namespace

int32_t HeaderExposureMs(double exposureMs) {
    // Compared before the conversion: a double outside the 32-bit range (or not a number) would
    // convert with undefined behaviour.
    if (std::isnan(exposureMs))
        return 0;
    const double ms = std::trunc(exposureMs);
    if (ms <= double(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (ms >= double(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return int32_t(ms);
}

std::vector<uint8_t> BuildCubeHeader(const CubeHeaderInfo& info) {
    std::vector<uint8_t> out(kCubeHeaderSize, 0);
    Writer w(out);
    const DefaultCalibration& cal = info.calibration;
    w.Bytes(kCubeHeaderVersion, kCubeHeaderVersionSize);
    w.U16(uint16_t(info.samples));
    w.Zero(4);
    w.U16(uint16_t(info.lines));
    w.Zero(4);
    w.U16(info.bands);
    w.Zero(3101);
    // Calibration columns 3, 4, 5, 6 and then 2 of the three default calibration rows.
    for (int column : {1, 2, 3, 4, 0})
        for (const DefCalRow& row : cal.rows)
            w.F32(row.columns[column]);
    w.I32(HeaderExposureMs(info.exposureMs));
    for (int i = 0; i < 1189; ++i)
        w.F32(0.0f);
    for (int i = 0; i < 384; ++i)
        w.F32(1.0f);
    w.Zero(1540);
    w.Zero(404); // 202 unsigned 16-bit zeros
    w.Zero(3072);
    w.Zero(22); // 11 unsigned 16-bit zeros
    const float k = info.variant == CubeHeaderVariant::Cube ? 2.8446f : 1.0f;
    for (int i = 0; i < 768; ++i)
        w.F32(k);
    w.Zero(1220);
    auto rowsAndCoeffs = [&] {
        for (const DefCalRow& row : cal.rows)
            w.I32(row.column1);
        for (float c : cal.coeffs)
            w.F32(c);
    };
    rowsAndCoeffs();
    w.Zero(2852);
    char name[80] = "None";
    w.Bytes(name, 80);
    w.Bytes(name, 80);
    rowsAndCoeffs();
    // The rest up to 32768 stays zero.
    return out;
}

bool WriteCubeHeader(FILE* file, const CubeHeaderInfo& info) {
    const std::vector<uint8_t> bytes = BuildCubeHeader(info);
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

namespace {
uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t GetU16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
float GetF32(const uint8_t* p) {
    const uint32_t bits = GetU32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}
// Offsets of the populated fields (see BuildCubeHeader, which writes them in this order).
constexpr size_t kSamplesAt = 22, kLinesAt = 28, kBandsAt = 34;
constexpr size_t kColumnsAt = 3137;  // columns 3, 4, 5, 6, then 2, three rows each
constexpr size_t kExposureAt = 3197; // signed 32-bit
constexpr size_t kVariantAt = 14531; // the first of the 768 variant constants
constexpr size_t kRowsAt = 18823;    // column 1 of the three rows, then c0, c1, c2
} // namespace

bool ParseCubeHeader(const uint8_t* bytes, CubeHeaderInfo& info) {
    if (bytes == nullptr || std::memcmp(bytes, kCubeHeaderVersion, kCubeHeaderVersionSize) != 0)
        return false;
    CubeHeaderInfo h;
    h.samples = GetU16(bytes + kSamplesAt);
    h.lines = GetU16(bytes + kLinesAt);
    h.bands = GetU16(bytes + kBandsAt);
    const uint8_t* p = bytes + kColumnsAt;
    for (int column : {1, 2, 3, 4, 0})
        for (DefCalRow& row : h.calibration.rows) {
            row.columns[column] = GetF32(p);
            p += 4;
        }
    h.exposureMs = double(int32_t(GetU32(bytes + kExposureAt)));
    h.variant = GetF32(bytes + kVariantAt) == 1.0f ? CubeHeaderVariant::Calibration : CubeHeaderVariant::Cube;
    p = bytes + kRowsAt;
    for (DefCalRow& row : h.calibration.rows) {
        row.column1 = int32_t(GetU32(p));
        p += 4;
    }
    for (float& c : h.calibration.coeffs) {
        c = GetF32(p);
        p += 4;
    }
    info = h;
    return true;
}
