// The pictures of the image processor are the same bytes as before the mapping was made faster.
// The expected checksums were written down from the image processor of main at bda6621 (one lookup
// table per mapping, four pixels per three stores), before the mapping was rewritten. The sequence
// of pictures matters: a manual picture sets the gain that the later automatic and colour pictures
// use, so one object runs through the whole sequence.
#include "analysis/ImageProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

// Whether the kernel lists AVX2 among the processor's flags (read independently of the program's
// own detection).
bool ProcessorListsAvx2() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("flags", 0) == 0)
            return (line + " ").find(" avx2 ") != std::string::npos;
    return false;
}

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

class Lcg {
public:
    explicit Lcg(uint32_t seed) : m_x(seed) {}
    uint32_t Next() {
        m_x = m_x * 1664525u + 1013904223u;
        return m_x;
    }

private:
    uint32_t m_x;
};

// Display values: mostly 12-bit, some spread over the whole 32-bit range (negative, above 65535)
// so that the values outside the lookup tables are mapped too.
std::vector<uint32_t> GreyValues(int rows, int columns, uint32_t seed) {
    std::vector<uint32_t> v(size_t(rows) * size_t(columns));
    Lcg rng(seed);
    for (auto& e : v) {
        const uint32_t x = rng.Next();
        switch (x & 7) {
        case 0:
            e = x; // anything, negative included
            break;
        case 1:
            e = (x >> 8) & 0x3FFFF; // up to 262143
            break;
        default:
            e = (x >> 12) & 0x0FFF;
        }
    }
    return v;
}

// Colour planes: 12-bit values and some with the top bit set (read as negative).
std::vector<uint16_t> Plane(int rows, int columns, uint32_t seed) {
    std::vector<uint16_t> v(size_t(rows) * size_t(columns));
    Lcg rng(seed);
    for (auto& e : v) {
        const uint32_t x = rng.Next();
        e = (x & 15) == 0 ? uint16_t(x >> 16) : uint16_t((x >> 12) & 0x0FFF);
    }
    return v;
}

struct Step {
    const char* what;
    uint64_t expected;
};

// Runs the sequence on a picture of rows x columns and compares each picture with its checksum,
// once with the processor's vector mapping and once with the portable code forced.
void RunSequenceOnce(int rows, int columns, const std::vector<Step>& steps, const char* path);
void RunSequence(int rows, int columns, const std::vector<Step>& steps) {
    const bool avx2 = ProcessorListsAvx2();
    ASSERT_EQ(ImageProcess::SetVectorMapping(true), avx2)
        << "the vector mapping does not follow the processor";
    if (avx2)
        RunSequenceOnce(rows, columns, steps, "AVX2");
    EXPECT_FALSE(ImageProcess::SetVectorMapping(false));
    RunSequenceOnce(rows, columns, steps, "portable");
    ImageProcess::SetVectorMapping(true);
}
void RunSequenceOnce(int rows, int columns, const std::vector<Step>& steps, const char* path) {
    ImageProcess ip(columns, rows);
    const auto grey = GreyValues(rows, columns, 7u + uint32_t(rows * columns));
    std::vector<int32_t> signedGrey(grey.begin(), grey.end());
    const auto red = Plane(rows, columns, 11), green = Plane(rows, columns, 12),
               blue = Plane(rows, columns, 13);
    // Every picture is mapped twice: the first picture of a mapping takes the tables, the second the
    // arithmetic where the processor allows it; both must give the same bytes.
    size_t i = 0;
    uint64_t firstPicture = 0;
    auto first = [&] { firstPicture = Fnv1a(ip.BitmapFileImage()); };
    auto check = [&](const char* what) {
        ASSERT_LT(i, steps.size());
        EXPECT_EQ(firstPicture, steps[i].expected)
            << rows << " x " << columns << ": " << what << ", first picture, " << path;
        const uint64_t got = Fnv1a(ip.BitmapFileImage());
        EXPECT_EQ(got, steps[i].expected) << rows << " x " << columns << ": " << what << ", " << path;
        ++i;
    };
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, false, 0, 1);
    first();
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, false, 0, 1);
    check("grey, start gain");
    ip.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 1);
    first();
    ip.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 1);
    check("colour, start gain");
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, 100, 1000);
    first();
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, 100, 1000);
    check("grey, manual 100..1000");
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, false, 0, 1);
    first();
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, false, 0, 1);
    check("grey, gain of the manual picture");
    ip.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 1);
    first();
    ip.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 1);
    check("colour, gain of the manual picture");
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, 0, 1);
    first();
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, 0, 1);
    check("grey, manual 0..1");
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, 3000, 2000);
    first();
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, 3000, 2000);
    check("grey, manual min above max");
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, -50, 16383);
    first();
    ip.MakeGreyBitmap(grey.data(), rows, columns, 1, true, -50, 16383);
    check("grey, manual -50..16383");
    ip.MakeGreyBitmap(signedGrey.data(), rows, columns, 1, true, 7, 4095);
    first();
    ip.MakeGreyBitmap(signedGrey.data(), rows, columns, 1, true, 7, 4095);
    check("grey from signed values, manual 7..4095");
    ip.MakeGreyBitmap(grey.data(), rows, columns, 0, true, 7, 4095);
    first();
    ip.MakeGreyBitmap(grey.data(), rows, columns, 0, true, 7, 4095);
    check("grey, linear table");
    ip.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 0);
    first();
    ip.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 0);
    check("colour, linear table");
    EXPECT_EQ(i, steps.size());
}

} // namespace

TEST(ImageProcessChecksums, PicturesOfTheInstrumentsSize) {
    RunSequence(520, 696,
                {
                    {"grey, start gain", 0xbe5163d0b40aba2bull},
                    {"colour, start gain", 0x29c902636d4b23ecull},
                    {"grey, manual 100..1000", 0x76ed9052fa3c9cecull},
                    {"grey, gain of the manual picture", 0xf396605ab7164006ull},
                    {"colour, gain of the manual picture", 0x97e34ae142665004ull},
                    {"grey, manual 0..1", 0xc52c6ec9516656edull},
                    {"grey, manual min above max", 0xf1c5216cb610588eull},
                    {"grey, manual -50..16383", 0xb16ccb63ada2e424ull},
                    {"grey from signed values, manual 7..4095", 0x7dc1bc0ef4cb1a2dull},
                    {"grey, linear table", 0x4d2ee7bcf6fd5fbull},
                    {"colour, linear table", 0xe63ce4fc3219777aull},
                });
}

TEST(ImageProcessChecksums, PicturesWhoseRowsAreNotAMultipleOfTheBlock) {
    RunSequence(5, 37,
                {
                    {"grey, start gain", 0x5ed23d7b4b485a76ull},
                    {"colour, start gain", 0xe458b95e7ed42dacull},
                    {"grey, manual 100..1000", 0xc53ffd6807f6a19eull},
                    {"grey, gain of the manual picture", 0x88b98652aa68c696ull},
                    {"colour, gain of the manual picture", 0x27d8680a2472250aull},
                    {"grey, manual 0..1", 0x793839a6624e7f2bull},
                    {"grey, manual min above max", 0x2f099dbfaaa29cdcull},
                    {"grey, manual -50..16383", 0x778a59900aa2308dull},
                    {"grey from signed values, manual 7..4095", 0x2a29aa05ec4bc752ull},
                    {"grey, linear table", 0xc6af062e7cc56f1aull},
                    {"colour, linear table", 0x7aa3cb5bff84dd84ull},
                });
}
