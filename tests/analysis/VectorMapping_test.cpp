// The arithmetic vector mapping against the portable one (the exact tables, guarded by the picture
// checksums): the same pictures for every kind of key, for rows whose indices fall in different
// slices of the colour table, with values outside the tables, for widths that do and do not fill a
// block of 32, and for columns mapped alone.
#include "analysis/ImageProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool ProcessorListsFlag(const std::string& flag) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("flags", 0) == 0)
            return (line + " ").find(" " + flag + " ") != std::string::npos;
    return false;
}

bool ProcessorHasArithmeticMapping() {
    return ProcessorListsFlag("avx2") && ProcessorListsFlag("fma");
}

class Lcg {
public:
    explicit Lcg(uint32_t seed) : m_x(seed) {}
    uint32_t Next() {
        m_x = m_x * 1664525u + 1013904223u;
        return m_x >> 8;
    }

private:
    uint32_t m_x;
};

// Rows of values in bands of the full scale `top` (the value that maps to white), so that the rows'
// indices lie in different slices of the table: dark, bright, around the middle (indices 127/128),
// the whole range with saturation, and rows with values outside the tables (negative, above
// 65535) among ordinary ones.
std::vector<uint32_t> BandedRows(int rows, int columns, double top, uint32_t seed) {
    struct Band {
        double from, to;
    };
    const Band bands[] = {{0.0, 0.02},  {0.80, 0.83}, {0.46, 0.54}, {0.0, 1.3},
                          {0.30, 0.31}, {0.97, 1.0},  {0.62, 0.70}, {0.0, 0.2}};
    std::vector<uint32_t> v(size_t(rows) * size_t(columns));
    Lcg rng(seed);
    for (int r = 0; r < rows; ++r) {
        const Band& b = bands[size_t(r) % std::size(bands)];
        for (int l = 0; l < columns; ++l) {
            const double f = b.from + (b.to - b.from) * double(rng.Next() % 10000) / 9999.0;
            uint32_t x = uint32_t(std::min(65535.0, f * top));
            if (r % 5 == 3 && l % 17 == 4)
                x = (l % 2) ? uint32_t(-int32_t(rng.Next() % 5000)) : 65536 + rng.Next() % 100000;
            v[size_t(r) * size_t(columns) + size_t(l)] = x;
        }
    }
    return v;
}

std::vector<uint16_t> Plane(const std::vector<uint32_t>& grey, int shift) {
    std::vector<uint16_t> p(grey.size());
    for (size_t i = 0; i < grey.size(); ++i)
        p[i] = uint16_t(grey[(i + size_t(shift)) % grey.size()]); // above 32767 reads as negative
    return p;
}

// Two image processors going through the same pictures, one with the processor's vector mapping and
// one with the portable code; every picture must be the same bytes.
class Pair {
public:
    Pair(int columns, int rows) : m_vector(columns, rows), m_portable(columns, rows) {}
    ~Pair() { ImageProcess::SetVectorMapping(true); }

    // Returns whether the vector side was mapped arithmetically.
    bool Grey(const std::vector<uint32_t>& v, int rows, int columns, int colorMap, bool manual, int min,
              int max, int first = 0, int end = -1, const std::string& what = "") {
        // The first picture of a mapping takes the tables; the arithmetic serves the second on.
        ImageProcess::SetVectorMapping(true);
        for (int twice = 0; twice < 2; ++twice)
            m_vector.MakeGreyBitmapColumns(v.data(), rows, columns, colorMap, manual, min, max, first,
                                           end < 0 ? columns : end);
        ImageProcess::SetVectorMapping(false);
        m_portable.MakeGreyBitmapColumns(v.data(), rows, columns, colorMap, manual, min, max, first,
                                         end < 0 ? columns : end);
        ImageProcess::SetVectorMapping(true);
        EXPECT_EQ(m_vector.BitmapFileImage(), m_portable.BitmapFileImage())
            << what << " grey " << rows << " x " << columns << ", table " << colorMap << ", manual " << manual
            << " " << min << ".." << max << ", columns " << first << ".." << end;
        return m_vector.MappedArithmetically();
    }

    bool Color(const std::vector<uint16_t>& red, const std::vector<uint16_t>& green,
               const std::vector<uint16_t>& blue, int rows, int columns, int colorMap, int first = 0,
               int end = -1, const std::string& what = "") {
        ImageProcess::SetVectorMapping(true);
        for (int twice = 0; twice < 2; ++twice)
            m_vector.MakeColorBitmapColumns(red.data(), green.data(), blue.data(), rows, columns, colorMap,
                                            first, end < 0 ? columns : end);
        ImageProcess::SetVectorMapping(false);
        m_portable.MakeColorBitmapColumns(red.data(), green.data(), blue.data(), rows, columns, colorMap,
                                          first, end < 0 ? columns : end);
        ImageProcess::SetVectorMapping(true);
        EXPECT_EQ(m_vector.BitmapFileImage(), m_portable.BitmapFileImage())
            << what << " colour " << rows << " x " << columns << ", table " << colorMap << ", gain "
            << m_vector.Gain() << ", columns " << first << ".." << end;
        return m_vector.MappedArithmetically();
    }

private:
    ImageProcess m_vector;
    ImageProcess m_portable;
};

} // namespace

TEST(VectorMapping, SamePicturesAsThePortableMappingForEveryKindOfKey) {
    const bool arithmetic = ProcessorHasArithmeticMapping();
    for (const int columns : {696, 37, 64, 20}) {
        const int rows = 24;
        Pair pair(columns, rows);
        const uint32_t seed = uint32_t(columns);
        // Start gain: 32767 is white.
        const auto grey = BandedRows(rows, columns, 32767, seed);
        const auto red = Plane(grey, 1), green = Plane(grey, 7), blue = Plane(grey, 13);
        for (const int table : {1, 0}) {
            // Rows shorter than a block of 32 take the tables.
            EXPECT_EQ(pair.Grey(grey, rows, columns, table, false, 0, 1), arithmetic && columns >= 32)
                << "the start gain is mapped arithmetically wherever the processor allows it";
            EXPECT_EQ(pair.Color(red, green, blue, rows, columns, table), arithmetic && columns >= 32);
        }
        // Manual scaling: cuts inside the range, min above max, negative min, the smallest maxima.
        struct Manual {
            int min, max;
        };
        for (const Manual m : {Manual{0, 4095}, Manual{100, 1000}, Manual{7, 4095}, Manual{3000, 2000},
                               Manual{-50, 16383}, Manual{0, 1}, Manual{0, 2}, Manual{900, 901}}) {
            const auto values = BandedRows(rows, columns, m.max, seed + uint32_t(m.max));
            pair.Grey(values, rows, columns, 1, true, m.min, m.max);
            pair.Grey(values, rows, columns, 0, true, m.min, m.max);
            // Automatic pictures and colour pictures keep the manual picture's gain.
            pair.Grey(values, rows, columns, 1, false, 0, 1);
            const auto r = Plane(values, 3), g = Plane(values, 5), b = Plane(values, 11);
            pair.Color(r, g, b, rows, columns, 1);
            pair.Color(r, g, b, rows, columns, 0);
        }
    }
}

TEST(VectorMapping, ManyMaximaAreMappedArithmeticallyAndAllExactly) {
    // The arithmetic mapping is used only when it agrees with the table everywhere; for most maxima
    // some single-precision scale does.
    const int rows = 8, columns = 45;
    Pair pair(columns, rows);
    int arithmetic = 0, keys = 0;
    for (int max = 1; max < 70000; max += (max < 600 ? 1 : 997)) {
        const auto values = BandedRows(rows, columns, max, uint32_t(max));
        arithmetic += pair.Grey(values, rows, columns, 1, true, max / 3, max) ? 1 : 0;
        ++keys;
    }
    if (ProcessorHasArithmeticMapping())
        EXPECT_GT(arithmetic, keys * 3 / 4) << arithmetic << " of " << keys << " maxima";
    else
        EXPECT_EQ(arithmetic, 0);
}

TEST(VectorMapping, ColumnsAloneAreTheSameAsThePortableMapping) {
    const int rows = 16, columns = 696;
    Pair pair(columns, rows);
    auto grey = BandedRows(rows, columns, 32767, 99);
    pair.Grey(grey, rows, columns, 1, false, 0, 1);
    // New values in a few columns, mapped alone: narrower than a block, one block, wider, up to the
    // last column; the new values reach other slices of the table than the picture had.
    struct Range {
        int first, end;
    };
    Lcg rng(5);
    for (const Range c : {Range{5, 9}, Range{100, 132}, Range{200, 245}, Range{650, 696}, Range{0, 1}}) {
        for (int r = 0; r < rows; ++r)
            for (int l = c.first; l < c.end; ++l)
                grey[size_t(r * columns + l)] = rng.Next() % 40000;
        pair.Grey(grey, rows, columns, 1, false, 0, 1, c.first, c.end, "columns alone");
    }
    auto red = Plane(grey, 1), green = Plane(grey, 2), blue = Plane(grey, 3);
    pair.Color(red, green, blue, rows, columns, 1);
    for (const Range c : {Range{3, 30}, Range{300, 340}, Range{680, 696}}) {
        for (int r = 0; r < rows; ++r)
            for (int l = c.first; l < c.end; ++l) {
                red[size_t(r * columns + l)] = uint16_t(rng.Next());
                blue[size_t(r * columns + l)] = uint16_t(rng.Next() % 33000);
            }
        pair.Color(red, green, blue, rows, columns, 1, c.first, c.end, "columns alone");
    }
}

// The table lookup by byte shuffles against the table itself: every index, in every byte of a block,
// for every range of slices the mapping can meet (one to all sixteen), for both colour tables, a table
// with the manual cut folded in and tables that go up and down at random.
TEST(VectorMapping, TableLookupGivesEveryEntryForEveryRangeOfSlices) {
    std::vector<ImageProcess::ColorTable> tables = {ImageProcess::GetColorTable(1),
                                                    ImageProcess::GetColorTable(0)};
    ImageProcess::ColorTable cut = ImageProcess::GetColorTable(1);
    std::fill(cut.begin(), cut.begin() + 40, uint8_t(0));
    std::fill(cut.begin() + 200, cut.end(), uint8_t(255));
    tables.push_back(cut);
    Lcg rng(17);
    for (int n = 0; n < 3; ++n) {
        ImageProcess::ColorTable t{};
        for (auto& e : t)
            e = uint8_t(rng.Next());
        tables.push_back(t);
    }
    ImageProcess::ColorTable zigzag{}; // neighbours differ in every bit position that a lookup chooses by
    for (int i = 0; i < 256; ++i)
        zigzag[size_t(i)] = uint8_t(i % 2 ? 255 - i : i);
    tables.push_back(zigzag);

    const bool vectors = ProcessorListsFlag("avx2");
    int failures = 0;
    for (size_t which = 0; which < tables.size(); ++which) {
        const auto& table = tables[which];
        for (int kLow = 0; kLow < 16; ++kLow)
            for (int kHigh = kLow; kHigh < 16; ++kHigh) {
                const int lowest = 16 * kLow, n = 16 * (kHigh - kLow + 1);
                // Each index once in every byte position of a block of 32, and a ragged end.
                std::vector<uint8_t> idx(size_t(32 * n + 5));
                for (size_t p = 0; p < idx.size(); ++p)
                    idx[p] = uint8_t(lowest + int((p + p / 32) % size_t(n)));
                const std::vector<uint8_t> in = idx;
                ASSERT_EQ(ImageProcess::LookUpInVectors(table, lowest, lowest + n - 1, idx), vectors);
                if (!vectors)
                    continue;
                ASSERT_EQ(idx.size(), in.size());
                for (size_t p = 0; p < idx.size() && failures < 10; ++p)
                    if (idx[p] != table[in[p]]) {
                        ++failures;
                        ADD_FAILURE() << "table " << which << ", slices " << kLow << ".." << kHigh
                                      << ": index " << int(in[p]) << " at " << p << " gave " << int(idx[p])
                                      << ", not " << int(table[in[p]]);
                    }
            }
    }
    // A range narrower than the slices it touches still looks up every index within it.
    std::vector<uint8_t> idx = {33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49};
    const std::vector<uint8_t> in = idx;
    if (vectors) {
        ASSERT_TRUE(ImageProcess::LookUpInVectors(zigzag, 33, 49, idx));
        for (size_t p = 0; p < idx.size(); ++p)
            EXPECT_EQ(idx[p], zigzag[in[p]]) << "index " << int(in[p]);
    }
}

// Values far outside the tables (up to the ends of 32-bit) among ordinary ones, at the start gain
// (where the arithmetic alone must map them) and at gains where a value's product no longer fits the
// conversion, in grey; and the extremes of 16-bit in colour.
TEST(VectorMapping, ValuesFarOutsideTheTablesAreMappedExactly) {
    const int rows = 6, columns = 96;
    Pair pair(columns, rows);
    const uint32_t far[] = {0x7FFFFFFFu,    0x80000000u, 0xFFFFFFFFu, 65536u,      65535u,      1u << 24,
                            (1u << 24) + 1, 0xFFFF0000u, 0x00010001u, 0x40000000u, 0xC0000000u, 32767u,
                            32768u,         0u,          100000u,     0xFFFFFFF0u};
    std::vector<uint32_t> grey = BandedRows(rows, columns, 32767, 3);
    for (int r = 0; r < rows; ++r)
        for (int l = r % 3; l < columns; l += 5)
            grey[size_t(r * columns + l)] = far[size_t(r * columns + l) % std::size(far)];
    const bool arithmetic = ProcessorHasArithmeticMapping();
    for (const int table : {1, 0}) {
        EXPECT_EQ(pair.Grey(grey, rows, columns, table, false, 0, 1, 0, -1, "start gain"), arithmetic);
        for (const int max : {1, 2, 200, 40000, 70000, 1 << 20})
            pair.Grey(grey, rows, columns, table, true, 0, max, 0, -1, "manual");
        // The automatic picture after a manual one keeps its gain.
        pair.Grey(grey, rows, columns, table, false, 0, 1, 0, -1, "after manual");
    }
    std::vector<uint16_t> plane(size_t(rows * columns));
    for (size_t i = 0; i < plane.size(); ++i)
        plane[i] = uint16_t(i % 7 == 0 ? 0x8000 : i % 7 == 1 ? 0x7FFF : i % 7 == 2 ? 0xFFFF : i * 389);
    const auto other = Plane(grey, 9);
    for (const int max : {1, 4095, 32767}) {
        pair.Grey(grey, rows, columns, 1, true, 0, max, 0, -1, "gain for colour");
        pair.Color(plane, other, plane, rows, columns, 1, 0, -1, "16-bit extremes");
        pair.Color(other, plane, plane, rows, columns, 0, 0, -1, "16-bit extremes");
    }
}

// Rows whose indices reach one index further than all rows before them, upwards from the darkest
// slice and downwards from the brightest: a row that leaves the slices met so far by a single index
// must be noticed and mapped again, in grey and in colour.
TEST(VectorMapping, RowsReachingOneIndexBeyondTheSlicesMetAreMappedAgain) {
    const int rows = 40, columns = 96;
    Pair pair(columns, rows);
    auto valueOf = [](int index) { return uint32_t(std::lround(index * 32767.0 / 255.0)); }; // start gain
    Lcg rng(23);
    for (const bool upwards : {true, false}) {
        std::vector<uint32_t> grey(size_t(rows * columns));
        for (int r = 0; r < rows; ++r) {
            const int reach = upwards ? 10 + r : 245 - r; // the row's furthest index
            for (int l = 0; l < columns; ++l) {
                const int within = upwards ? int(rng.Next() % 11) : 245 + int(rng.Next() % 11);
                grey[size_t(r * columns + l)] = valueOf(within);
            }
            grey[size_t(r * columns) + rng.Next() % columns] = valueOf(reach);
        }
        const std::string what = upwards ? "upwards" : "downwards";
        EXPECT_EQ(pair.Grey(grey, rows, columns, 1, false, 0, 1, 0, -1, what),
                  ProcessorHasArithmeticMapping());
        const auto plane = Plane(grey, 0),
                   dark = Plane(std::vector<uint32_t>(grey.size(), valueOf(upwards ? 3 : 250)), 0);
        pair.Color(plane, dark, dark, rows, columns, 1, 0, -1, what);
        pair.Color(dark, dark, plane, rows, columns, 1, 0, -1, what);
    }
}
