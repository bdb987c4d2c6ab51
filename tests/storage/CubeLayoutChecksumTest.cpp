// The reordered layouts (BSQ, BIP) are written byte for byte as before their writers were made
// faster. The expected checksums below were written down from the writers of main at bda6621
// (one cube line buffer, a sixteen-band transposition), before the cache-blocked transposition and
// the gathered BSQ write replaced them; geometries are chosen so that every edge of the blocking
// (bands and samples not a multiple of the block, a single line, a single band) is crossed.
#include "StorageTestSupport.h"
#include "storage/CubeWriters.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

// FNV-1a, 64 bits, over the file's bytes.
uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

// Every 16-bit value can occur: both bytes of each value vary.
std::vector<uint16_t> FilledCube(const CubeGeometry& g, uint32_t seed) {
    std::vector<uint16_t> cube(g.CubeValues());
    uint32_t x = seed;
    for (auto& v : cube) {
        x = x * 1664525u + 1013904223u;
        v = uint16_t(x >> 16);
    }
    return cube;
}

struct Case {
    int lines, samples, bands;
    uint64_t bsq, bip;
};

CubeGeometry GeometryOf(const Case& c) {
    CubeGeometry g;
    g.width = c.lines;
    g.height = c.samples;
    g.bands = c.bands;
    return g;
}

const Case kCases[] = {
    {696, 520, 128, 0x8ac2368ce2cb09a2ull, 0xe2dd5108ef5f0296ull}, // the instrument's cube
    {7, 13, 5, 0xd18e9e161c28ea28ull, 0x261638f1cbdb7f70ull},      // nothing fills a block
    {33, 17, 60, 0x83495461040ee139ull, 0x5775f137c7c705fdull},    // band count of the 60-band setting
    {3, 520, 180, 0xfff67847b7424336ull, 0x2bab6c8889be04d6ull},   // 180 bands, a few lines
    {1, 1, 1, 0x8fbde07b597329cull, 0x8fbde07b597329cull},
    {2, 9, 1, 0x334a06df8bc1f5d2ull, 0x334a06df8bc1f5d2ull},  // a single band
    {5, 1, 33, 0xd6021ff58063b9c4ull, 0xc298a6d7348a2ea4ull}, // a single sample
    // Two chunks in each layout (added later; written down from the writers as they stood when the
    // cases above still held, before the save reserved its room).
    {6, 520, 180, 0xdd8ba69e2f7b594ull, 0x73cee787c58b6604ull},
};

} // namespace

TEST(CubeLayoutChecksums, BsqAndBipBytesAreThoseOfTheEarlierWriters) {
    TempDir dir;
    for (const Case& c : kCases) {
        const CubeGeometry g = GeometryOf(c);
        const std::vector<uint16_t> cube =
            FilledCube(g, uint32_t(c.lines * 1000003 + c.samples * 101 + c.bands));
        ASSERT_TRUE(WriteBsqCubeFile(dir.File("c.bsq"), cube.data(), g));
        ASSERT_TRUE(WriteBipCubeFile(dir.File("c.bip"), cube.data(), g));
        const auto bsq = ReadFileBytes(dir.File("c.bsq"));
        const auto bip = ReadFileBytes(dir.File("c.bip"));
        ASSERT_EQ(bsq.size(), cube.size() * 2);
        ASSERT_EQ(bip.size(), cube.size() * 2);
        EXPECT_EQ(Fnv1a(bsq), c.bsq) << c.lines << " x " << c.samples << " x " << c.bands << " BSQ";
        EXPECT_EQ(Fnv1a(bip), c.bip) << c.lines << " x " << c.samples << " x " << c.bands << " BIP";
    }
}

TEST(CubeLayoutChecksums, AWriteFailingAfterSomeChunksEndsTheHelperAndLeavesNoFile) {
    // The instrument's cube under a file size limit of 3 MiB: the third or fourth chunk cannot be
    // written; the save reports it, the helper thread ends, and nothing is left in the folder.
    const CubeGeometry g;
    const std::vector<uint16_t> cube = FilledCube(g, 5);
    TempDir dir;
    for (auto write : {&WriteBsqCubeFile, &WriteBipCubeFile}) {
        const int code = RunWithFileSizeLimit(3u << 20, [&] {
            const CubeWriteResult r = write(dir.File("x.cube"), cube.data(), g);
            if (r.status != CubeWriteStatus::WriteFailed)
                return 1;
            if (r.errorNumber != EFBIG)
                return 2;
            if (r.message != "unable to save cube")
                return 3;
            return dir.Entries().empty() ? 0 : 4;
        });
        EXPECT_EQ(code, 0);
    }
    // The same saves succeed without the limit, one after the other.
    ASSERT_TRUE(WriteBsqCubeFile(dir.File("a.cube"), cube.data(), g));
    ASSERT_TRUE(WriteBipCubeFile(dir.File("b.cube"), cube.data(), g));
    EXPECT_EQ(ReadFileBytes(dir.File("a.cube")).size(), g.CubeValues() * 2);
}
