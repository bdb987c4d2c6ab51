// Binning of a frame into a cube line: the portable path and the AVX2 path both give the line worked
// out pixel by pixel, for random frames, at the edge columns and rows, for sample and band counts
// that do not fill a vector, and through the engine's frame callback.
#include "camera/LineBinning.h"

#include "EngineSupport.h"
#include "core/Geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

// Whether the kernel lists AVX2 among the processor's flags: read independently of the program's
// own detection, so that a machine with AVX2 always tests that path and one without it is not failed
// for lacking it.
bool ProcessorListsAvx2() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("flags", 0) == 0)
            return (line + " ").find(" avx2 ") != std::string::npos;
    return false;
}

constexpr int kW = 696, kH = 520, kB = 128;

// The value of band k, sample s, written out from the rule: mean of the four 16-bit pixels at column
// s + 88 and rows 4 (B-1-k) ... +3, kept in 16 bits, then shifted right by 4; stored at H-1-s.
std::vector<uint16_t> ReferenceLine(const std::vector<uint16_t>& frame, int width, int samples, int bands) {
    std::vector<uint16_t> line(size_t(samples) * size_t(bands));
    for (int k = 0; k < bands; ++k)
        for (int s = 0; s < samples; ++s) {
            uint32_t sum = 0;
            for (int r = 0; r < 4; ++r)
                sum +=
                    frame[size_t(4 * (bands - 1 - k) + r) * size_t(width) + size_t(s + kFirstSampleColumn)];
            const uint16_t mean = uint16_t(sum >> 2);
            line[size_t(k) * size_t(samples) + size_t(samples - 1 - s)] = uint16_t(mean >> 4);
        }
    return line;
}

std::vector<uint16_t> RandomFrame(int width, int rows, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, 65535);
    std::vector<uint16_t> frame(size_t(width) * size_t(rows));
    for (auto& v : frame)
        v = uint16_t(value(rng));
    return frame;
}

// A plain count of the values at least `from`.
uint64_t PlainCount(const std::vector<uint16_t>& values, uint32_t from) {
    return uint64_t(std::count_if(values.begin(), values.end(), [&](uint16_t v) { return v >= from; }));
}

// Runs one path into a line with guard values before and after it and into a copy; checks that the
// guards are untouched, the copy equals the line and the count the path returns is the plain count of
// the line's values at least countFrom. The line starts 16-byte aligned (where the paths write it
// past the caches if the samples allow) or, with `shifted`, one value later (where they cannot).
using BinFn = uint64_t (*)(const uint16_t*, int, int, int, uint16_t*, uint16_t*, uint32_t);
std::vector<uint16_t> Bin(BinFn fn, const std::vector<uint16_t>& frame, int width, int samples, int bands,
                          uint32_t countFrom, bool shifted) {
    constexpr size_t kGuard = 32;
    constexpr uint16_t kSentinel = 0xBEEF;
    const size_t n = size_t(samples) * size_t(bands);
    // Room for the line and its guards from the first 16-byte boundary in the array on.
    std::vector<uint16_t> room(n + 2 * kGuard + 16);
    const size_t toBoundary = (16 - reinterpret_cast<uintptr_t>(room.data()) % 16) % 16 / sizeof(uint16_t);
    uint16_t* const base = room.data() + toBoundary + (shifted ? 1 : 0);
    std::fill(base, base + n + 2 * kGuard, kSentinel);
    std::vector<uint16_t> copy(n + 2 * kGuard, kSentinel);
    const uint64_t high =
        fn(frame.data(), width, samples, bands, base + kGuard, copy.data() + kGuard, countFrom);
    const std::vector<uint16_t> line(base, base + n + 2 * kGuard);
    for (size_t i = 0; i < kGuard; ++i) {
        EXPECT_EQ(line[i], kSentinel) << "written before the line";
        EXPECT_EQ(line[kGuard + n + i], kSentinel) << "written after the line";
        EXPECT_EQ(copy[i], kSentinel);
        EXPECT_EQ(copy[kGuard + n + i], kSentinel);
    }
    EXPECT_TRUE(std::equal(line.begin(), line.end(), copy.begin())) << "the copy differs from the line";
    std::vector<uint16_t> result(line.begin() + kGuard, line.begin() + long(kGuard + n));
    EXPECT_EQ(high, PlainCount(result, countFrom))
        << "count from " << countFrom << ", " << samples << " samples, " << bands << " bands";
    return result;
}

void ExpectBothPathsGive(const std::vector<uint16_t>& frame, int width, int samples, int bands,
                         uint32_t countFrom = 2048) {
    const auto expected = ReferenceLine(frame, width, samples, bands);
    for (bool shifted : {false, true}) {
        EXPECT_EQ(Bin(&BinFrameToLinePortable, frame, width, samples, bands, countFrom, shifted), expected)
            << "portable, " << samples << " samples, " << bands << " bands" << (shifted ? ", shifted" : "");
        if (!ProcessorListsAvx2()) {
            EXPECT_FALSE(BinningAvx2Supported()) << "AVX2 chosen on a processor without it";
            continue;
        }
        ASSERT_TRUE(BinningAvx2Supported())
            << "this processor has AVX2; the dispatched path must be tested here";
        EXPECT_EQ(Bin(&BinFrameToLineAvx2, frame, width, samples, bands, countFrom, shifted), expected)
            << "AVX2, " << samples << " samples, " << bands << " bands" << (shifted ? ", shifted" : "");
    }
}

} // namespace

TEST(LineBinning, BothPathsGiveTheRuleOnRandomFrames) {
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        const auto frame = RandomFrame(kW, kH, seed);
        ExpectBothPathsGive(frame, kW, kH, kB);
    }
}

TEST(LineBinning, EdgeColumnsAndRowsAndNothingBeyondThem) {
    // Full scale on the used edge columns (88, 607) and rows (0 ... 3, 508 ... 511), and full scale
    // on the columns and rows just outside, which must not reach the line.
    std::vector<uint16_t> frame(size_t(kW) * kH, 0);
    auto at = [&](int row, int column) -> uint16_t& { return frame[size_t(row) * kW + size_t(column)]; };
    for (int row = 0; row < kH; ++row) {
        at(row, 87) = 65535;
        at(row, 608) = 65535;
    }
    for (int column = 0; column < kW; ++column)
        for (int row = 512; row < kH; ++row)
            at(row, column) = 65535;
    for (int row : {0, 1, 2, 3, 508, 509, 510, 511}) {
        at(row, 88) = 65535;
        at(row, 607) = 65535;
    }
    at(0, 89) = 3;  // band 127, sample 1: (3 + 0 + 0 + 0) >> 6 = 0
    at(1, 89) = 61; // now 64 >> 6 = 1
    const auto expected = ReferenceLine(frame, kW, kH, kB);
    // Band 127 (rows 0-3) and band 0 (rows 508-511): 4095 at samples 0 and 519, i.e. positions 519
    // and 0; band 127, sample 1 (position 518) is 1; every other value 0.
    EXPECT_EQ(expected[0 * kH + 519], 4095);
    EXPECT_EQ(expected[0 * kH + 0], 4095);
    EXPECT_EQ(expected[127 * kH + 519], 4095);
    EXPECT_EQ(expected[127 * kH + 0], 4095);
    EXPECT_EQ(expected[127 * kH + 518], 1);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), 0), long(expected.size()) - 5);
    ExpectBothPathsGive(frame, kW, kH, kB);
}

TEST(LineBinning, SampleAndBandCountsThatDoNotFillAVector) {
    const int width = 200;
    for (int samples : {1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 100, 112})
        for (int bands : {1, 3, 5, 60}) {
            const auto frame = RandomFrame(width, 4 * bands, uint32_t(samples * 1000 + bands));
            ExpectBothPathsGive(frame, width, samples, bands);
        }
}

TEST(LineBinning, BothPathsCountTheClippedValuesOfTheLineOnce) {
    // Every threshold kind (all, none, compared) over sample counts whose last block overlaps the one
    // before it by every amount: a value in the overlap counted twice or not at all shows here.
    const int width = 200;
    for (int samples : {1, 7, 8, 9, 15, 16, 17, 23, 31, 33, 100, 112})
        for (uint32_t from : {0u, 1u, 2u, 1000u, 2048u, 4094u, 4095u, 4096u, 65535u, 65536u, kCountNothing}) {
            const auto frame = RandomFrame(width, 4 * 3, uint32_t(samples * 7 + from));
            ExpectBothPathsGive(frame, width, samples, 3, from);
        }
    // A frame whose binned values are all at the ceiling, and one whose values are all just below it.
    for (uint16_t pixel : {uint16_t(65535), uint16_t(65535 - 64)}) {
        const std::vector<uint16_t> frame(size_t(kW) * kH, pixel);
        ExpectBothPathsGive(frame, kW, kH, kB, 4095);
    }
}

TEST(LineBinning, LongBandsCountPastTheBlockCounters) {
    // One band of more than 32767 blocks of sixteen (and of eight): nearly every value is at least
    // 1, so a block counter that is never emptied overflows and the count comes out wrong.
    const int samples = 16 * 32767 + 40;
    const auto frame = RandomFrame(samples + kFirstSampleColumn, 4, 77);
    ExpectBothPathsGive(frame, samples + kFirstSampleColumn, samples, 1, 1);
}

TEST(LineBinning, DispatchFollowsTheProcessorAndTheTestHook) {
    ASSERT_EQ(BinningAvx2Supported(), ProcessorListsAvx2());
    if (!ProcessorListsAvx2())
        GTEST_SKIP() << "no AVX2 on this processor: only the portable path exists here";
    EXPECT_EQ(SetBinningPath(BinningPath::Portable), BinningPath::Portable);
    EXPECT_EQ(ActiveBinningPath(), BinningPath::Portable);
    EXPECT_EQ(SetBinningPath(BinningPath::Avx2), BinningPath::Avx2);
    EXPECT_EQ(ActiveBinningPath(), BinningPath::Avx2);
}

TEST(LineBinning, EngineStoresTheSameLinesOnBothPaths) {
    // Frames through OnDataFrame in cube mode, once with the portable path forced and once with the
    // processor's choice: the cubes and the last-line buffers are identical and follow the rule.
    auto scan = [](BinningPath path) {
        SetBinningPath(path);
        FakeHost host;
        FakeMirror mirror;
        AcquisitionEngine engine(host, mirror);
        engine.AllocateBuffers(CubeGeometry{});
        engine.SetDataCameraOnline(true);
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        std::vector<std::vector<uint16_t>> lastLines;
        for (uint32_t i = 0; i < 6; ++i) {
            const auto frame = RandomFrame(kW, kH, 100 + i);
            engine.OnDataFrame(frame.data());
            lastLines.push_back(engine.LastLine());
        }
        engine.StopAcquisition();
        engine.ShutdownDisplayThread();
        SetBinningPath(BinningPath::Avx2);
        return std::make_pair(
            std::vector<uint16_t>(engine.Cube().begin(),
                                  engine.Cube().begin() + long(6 * CubeGeometry{}.LineValues())),
            lastLines);
    };
    const auto portable = scan(BinningPath::Portable);
    const auto dispatched = scan(BinningPath::Avx2);
    EXPECT_TRUE(portable == dispatched);
    const size_t L = CubeGeometry{}.LineValues();
    for (uint32_t i = 0; i < 6; ++i) {
        const auto expected = ReferenceLine(RandomFrame(kW, kH, 100 + i), kW, kH, kB);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dispatched.first.begin() + long(i * L)))
            << "line " << i;
        EXPECT_EQ(dispatched.second[i], expected) << "last-line buffer after line " << i;
    }
}
