// Cube bodies (standard, BIL, BSQ, BIP) of a small hand-made cube, the ENVI header text, the
// naming rules and the failure paths.
#include "storage/CubeWriters.h"
#include "StorageTestSupport.h"
#include "storage/AtomicFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numeric>
#include <sys/stat.h>

using ::testing::ElementsAre;

namespace {

// W = 3 lines, H = 2 samples, B = 2 bands. Value of line l, band b, sample p: 0xA000 + l*0x100 +
// b*0x10 + p, so each value names its position and its two bytes differ.
CubeGeometry SmallGeometry() {
    CubeGeometry g;
    g.width = 3;
    g.height = 2;
    g.bands = 2;
    return g;
}
const std::vector<uint16_t> kSmallCube = {0xA000, 0xA001, 0xA010, 0xA011,  // line 0
                                          0xA100, 0xA101, 0xA110, 0xA111,  // line 1
                                          0xA200, 0xA201, 0xA210, 0xA211}; // line 2

std::vector<uint8_t> Body(const std::vector<uint8_t>& file, size_t offset) {
    return std::vector<uint8_t>(file.begin() + std::ptrdiff_t(offset), file.end());
}

} // namespace

TEST(CubeBodies, BilIsTheLinesInOrder) {
    TempDir dir;
    const std::string path = dir.File("small.cube");
    ASSERT_TRUE(WriteBilCubeFile(path, kSmallCube.data(), SmallGeometry()));
    EXPECT_THAT(ReadFileBytes(path), ElementsAre(0x00, 0xA0, 0x01, 0xA0, 0x10, 0xA0, 0x11, 0xA0,   // line 0
                                                 0x00, 0xA1, 0x01, 0xA1, 0x10, 0xA1, 0x11, 0xA1,   // line 1
                                                 0x00, 0xA2, 0x01, 0xA2, 0x10, 0xA2, 0x11, 0xA2)); // line 2
}

TEST(CubeBodies, BsqRunsSampleThenLineThenBand) {
    TempDir dir;
    const std::string path = dir.File("small.cube");
    ASSERT_TRUE(WriteBsqCubeFile(path, kSmallCube.data(), SmallGeometry()));
    EXPECT_THAT(ReadFileBytes(path), ElementsAre(0x00, 0xA0, 0x01, 0xA0, 0x00, 0xA1, 0x01, 0xA1, // band 0
                                                 0x00, 0xA2, 0x01, 0xA2,                         //
                                                 0x10, 0xA0, 0x11, 0xA0, 0x10, 0xA1, 0x11, 0xA1, // band 1
                                                 0x10, 0xA2, 0x11, 0xA2));
}

TEST(CubeBodies, BipRunsBandThenSampleThenLine) {
    TempDir dir;
    const std::string path = dir.File("small.cube");
    ASSERT_TRUE(WriteBipCubeFile(path, kSmallCube.data(), SmallGeometry()));
    EXPECT_THAT(ReadFileBytes(path), ElementsAre(0x00, 0xA0, 0x10, 0xA0, 0x01, 0xA0, 0x11, 0xA0,   // line 0
                                                 0x00, 0xA1, 0x10, 0xA1, 0x01, 0xA1, 0x11, 0xA1,   // line 1
                                                 0x00, 0xA2, 0x10, 0xA2, 0x01, 0xA2, 0x11, 0xA2)); // line 2
}

TEST(CubeBodies, StandardFileHasHeaderReversedLinesThousandsAndDarkFrame) {
    TempDir dir;
    const std::string path = dir.File("small.cube");
    const std::vector<uint16_t> dark = {0x0D00, 0x0D01, 0x0D10, 0x0D11};
    CubeHeaderInfo info; // its geometry fields are replaced by the cube's
    info.exposureMs = 30;
    ASSERT_TRUE(WriteStandardCubeFile(path, kSmallCube.data(), SmallGeometry(), dark.data(), info));
    const std::vector<uint8_t> file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 32768u + (3 + 2) * 2 * 2 * 2);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 22), "Ver 1.0 KORVA-Lite    ");
    EXPECT_THAT(std::vector<uint8_t>(file.begin() + 22, file.begin() + 36),
                ElementsAre(2, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 2, 0)); // samples H, lines W, bands B
    EXPECT_THAT(std::vector<uint8_t>(file.begin() + 14531, file.begin() + 14535),
                ElementsAre(0xED, 0x0D, 0x36, 0x40));
    EXPECT_THAT(Body(file, 32768), ElementsAre(0x00, 0xA2, 0x01, 0xA2, 0x10, 0xA2, 0x11, 0xA2,   // line 2
                                               0x00, 0xA1, 0x01, 0xA1, 0x10, 0xA1, 0x11, 0xA1,   // line 1
                                               0x00, 0xA0, 0x01, 0xA0, 0x10, 0xA0, 0x11, 0xA0,   // line 0
                                               0xE8, 0x03, 0xE8, 0x03, 0xE8, 0x03, 0xE8, 0x03,   // 1000s
                                               0x00, 0x0D, 0x01, 0x0D, 0x10, 0x0D, 0x11, 0x0D)); // dark
}

TEST(CubeBodies, StandardFileWithoutDarkFrameEndsInZeros) {
    TempDir dir;
    const std::string path = dir.File("small.cube");
    ASSERT_TRUE(WriteStandardCubeFile(path, kSmallCube.data(), SmallGeometry(), nullptr, CubeHeaderInfo{}));
    const std::vector<uint8_t> file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 32808u);
    EXPECT_THAT(Body(file, 32800), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
}

TEST(CubeBodies, LayoutsOfALargerCubeHoldTheSameValuesInTheirOrder) {
    // 5 lines x 7 samples x 3 bands; checks each layout against its index formula.
    CubeGeometry g;
    g.width = 5;
    g.height = 7;
    g.bands = 3;
    std::vector<uint16_t> cube(g.CubeValues());
    std::iota(cube.begin(), cube.end(), uint16_t(1000));
    auto at = [&](int l, int b, int p) { return cube[size_t(l) * 21 + size_t(b) * 7 + size_t(p)]; };
    auto valueAt = [](const std::vector<uint8_t>& f, size_t i) {
        return uint16_t(f[2 * i] | f[2 * i + 1] << 8);
    };
    TempDir dir;
    ASSERT_TRUE(WriteBsqCubeFile(dir.File("bsq"), cube.data(), g));
    ASSERT_TRUE(WriteBipCubeFile(dir.File("bip"), cube.data(), g));
    const auto bsq = ReadFileBytes(dir.File("bsq"));
    const auto bip = ReadFileBytes(dir.File("bip"));
    ASSERT_EQ(bsq.size(), 2 * cube.size());
    ASSERT_EQ(bip.size(), 2 * cube.size());
    for (int l = 0; l < 5; ++l)
        for (int b = 0; b < 3; ++b)
            for (int p = 0; p < 7; ++p) {
                EXPECT_EQ(valueAt(bsq, size_t(b) * 35 + size_t(l) * 7 + size_t(p)), at(l, b, p));
                EXPECT_EQ(valueAt(bip, size_t(l) * 21 + size_t(p) * 3 + size_t(b)), at(l, b, p));
            }
}

// ---------------------------------------------------------------------------------------------
// ENVI header

TEST(EnviHeader, TextOfAThreeBandStandardCube) {
    const float coeffs[3] = {400.0f, 2.5f, 0.0f};
    EXPECT_EQ(BuildEnviHeaderText(696, 520, 3, 32768, "bil", coeffs, 0, 695),
              "ENVI\n"
              "description = {}\n"
              "samples = 520\n"
              "lines   = 696\n"
              "bands   = 3\n"
              "header offset = 32768\n"
              "major frame offsets = {0, 0}\n"
              "file type = ENVI Standard\n"
              "data type = 12\n"
              "interleave =  bil\n"
              "sensor type = Unknown\n"
              "byte order = 0\n"
              "wavelength units = Unknown\n"
              "\n"
              "\n"
              "wavelength = {\n"
              "400.000000, 402.500000, 405.000000}\n"
              "Scanner Limits (pixels) = 0\t695\n");
}

TEST(EnviHeader, ExampleGeometryWithOffsetZeroAndNegativeLimits) {
    const float coeffs[3] = {400.0f, 2.5f, 0.0f};
    const std::string text = BuildEnviHeaderText(696, 520, 128, 0, "bsq", coeffs, -12, 700);
    EXPECT_NE(text.find("\nsamples = 520\nlines   = 696\nbands   = 128\nheader offset = 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("\ninterleave =  bsq\n"), std::string::npos);
    EXPECT_NE(text.find("\nwavelength = {\n400.000000, 402.500000, 405.000000, "), std::string::npos);
    EXPECT_NE(text.find(", 715.000000, 717.500000}\nScanner Limits (pixels) = -12\t700\n"),
              std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(EnviHeader, WavelengthsWidenTheFloatCoefficients) {
    // 0.1f is 0.100000001490116...; band 511: 261121 * 0.1f = 26112.1003891 in double. A float
    // computation would give 26112.099609, a decimal 0.1 26112.100000.
    const float coeffs[3] = {0.0f, 0.0f, 0.1f};
    const std::string text = BuildEnviHeaderText(1, 1, 512, 0, "bip", coeffs, 0, 0);
    EXPECT_NE(text.find(", 26112.100389}\n"), std::string::npos) << text.substr(text.size() - 80);
    EXPECT_NE(text.find("{\n0.000000, 0.100000, 0.400000, 0.900000, "), std::string::npos);
}

TEST(EnviHeader, NoBandsGiveAClosingBraceOnly) {
    const float coeffs[3] = {1.0f, 1.0f, 1.0f};
    EXPECT_NE(BuildEnviHeaderText(1, 1, 0, 0, "bil", coeffs, 0, 0).find("wavelength = {\n}\n"),
              std::string::npos);
}

TEST(EnviHeader, WrittenBesideTheCube) {
    TempDir dir;
    const CubeWriteResult r = WriteEnviHeader(dir.File("scan1.cube"), "ENVI\n");
    ASSERT_TRUE(r) << r.message;
    EXPECT_THAT(ReadFileBytes(dir.File("scan1.hdr")), ElementsAre('E', 'N', 'V', 'I', '\n'));
    EXPECT_THAT(dir.Entries(), ElementsAre("scan1.hdr"));
}

TEST(EnviHeader, OpenFailureNamesThePathAfterTwoBlanks) {
    const CubeWriteResult r = WriteEnviHeader("/nonexistent-arv-dir/scan1.cube", "ENVI\n");
    EXPECT_EQ(r.status, CubeWriteStatus::CannotOpen);
    EXPECT_EQ(r.message, "unable to open  /nonexistent-arv-dir/scan1.hdr");
}

// ---------------------------------------------------------------------------------------------
// Names

TEST(CubeNames, SuffixAndHeaderName) {
    EXPECT_EQ(EnsureCubeSuffix("scan1"), "scan1.cube");
    EXPECT_EQ(EnsureCubeSuffix("scan1.cube"), "scan1.cube");
    EXPECT_EQ(EnsureCubeSuffix("scan1.cube.bak"), "scan1.cube.bak.cube");
    EXPECT_EQ(EnsureCubeSuffix("scan1.CUBE"), "scan1.CUBE.cube");
    EXPECT_EQ(EnsureCubeSuffix("cube"), "cube.cube");
    EXPECT_EQ(EnviHeaderPath("D:\\data\\scan1.cube"), "D:\\data\\scan1.hdr");
    EXPECT_EQ(EnviHeaderPath("/data/scan1.cube"), "/data/scan1.hdr");
    EXPECT_EQ(EnviHeaderPath("/data/scan1"), "/data/scan1.hdr");
    EXPECT_EQ(EnviHeaderPath("scan1.cube.bak"), "scan1.cube.bak.hdr");
}

TEST(CubeNames, AutomaticNameHasNoPadding) {
    std::tm evening{};
    evening.tm_year = 2026 - 1900;
    evening.tm_mon = 11;
    evening.tm_mday = 6;
    evening.tm_hour = 21;
    evening.tm_min = 5;
    evening.tm_sec = 9;
    EXPECT_EQ(ComposeCubeFileName("", 30.0, 0, 695, evening), "_I30_L0-695_6-12-2026_21.5.9.cube");

    std::tm morning{};
    morning.tm_year = 2027 - 1900;
    morning.tm_mon = 1;
    morning.tm_mday = 1;
    morning.tm_hour = 9;
    morning.tm_min = 5;
    morning.tm_sec = 3;
    EXPECT_EQ(ComposeCubeFileName("", 12.99, -4, 700, morning), "_I12_L-4-700_1-2-2027_9.5.3.cube");
    EXPECT_EQ(ComposeCubeFileName("run", 0.5, 10, 20, morning), "run_I0_L10-20_1-2-2027_9.5.3.cube");
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST(CubeWriteFailures, CannotOpenIsReportedWithTheSaveMessage) {
    TempDir dir;
    const CubeWriteResult missing =
        WriteBilCubeFile("/nonexistent-arv-dir/x.cube", kSmallCube.data(), SmallGeometry());
    EXPECT_EQ(missing.status, CubeWriteStatus::CannotOpen);
    EXPECT_EQ(missing.errorNumber, ENOENT);
    EXPECT_EQ(missing.message, "unable to save cube");
    const CubeWriteResult folder = WriteBsqCubeFile(dir.Path(), kSmallCube.data(), SmallGeometry());
    EXPECT_EQ(folder.status, CubeWriteStatus::CannotOpen);
    EXPECT_EQ(folder.message, "unable to save cube");
    const CubeWriteResult null = WriteBipCubeFile(dir.File("x.cube"), nullptr, SmallGeometry());
    EXPECT_EQ(null.status, CubeWriteStatus::InvalidArgument);
    EXPECT_TRUE(dir.Entries().empty());
}

namespace {
// 8 lines x 16 samples x 32 bands: 1024 bytes per line.
struct FailureCube {
    CubeGeometry g = [] {
        CubeGeometry g;
        g.width = 8;
        g.height = 16;
        g.bands = 32;
        return g;
    }();
    std::vector<uint16_t> cube = std::vector<uint16_t>(g.CubeValues(), 0x1234);
};

// Runs write under a file size limit; returns 0 when it reported a write failure with the save
// message and left nothing but `keep` in the folder.
int ExpectFailedWrite(const std::function<CubeWriteResult()>& write, const TempDir& dir,
                      std::vector<std::string> keep, uint64_t limit) {
    return RunWithFileSizeLimit(limit, [&] {
        const CubeWriteResult r = write();
        if (r.status != CubeWriteStatus::WriteFailed)
            return 1;
        if (r.errorNumber != EFBIG)
            return 2;
        if (r.message != "unable to save cube" && r.message.rfind("unable to open  ", 0) != 0)
            return 3;
        if (dir.Entries() != keep)
            return 4;
        return 0;
    });
}
} // namespace

TEST(CubeWriteFailures, TheProgramsSignalSetUpTurnsTheSizeLimitIntoAnError) {
    FailureCube c;
    TempDir dir;
    const std::string path = dir.File("x.cube");
    auto write = [&] { return WriteBilCubeFile(path, c.cube.data(), c.g) ? 0 : 7; };
    // Without the program's set-up the limit kills the writer at its first write beyond it, and the
    // temporary file stays behind.
    EXPECT_EQ(RunWithFileSizeLimit(3000, write, false), -SIGXFSZ);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"x.cube.part"});
    std::filesystem::remove(dir.File("x.cube.part"));
    // With it the write fails, is reported, and nothing stays.
    EXPECT_EQ(RunWithFileSizeLimit(3000, write), 7);
    EXPECT_TRUE(dir.Entries().empty());
}

TEST(CubeWriteFailures, AWriteThatFailsPartWayLeavesNoFile) {
    FailureCube c;
    TempDir dir;
    const std::string path = dir.File("x.cube");
    EXPECT_EQ(0,
              ExpectFailedWrite([&] { return WriteBilCubeFile(path, c.cube.data(), c.g); }, dir, {}, 3000));
    EXPECT_EQ(0,
              ExpectFailedWrite([&] { return WriteBsqCubeFile(path, c.cube.data(), c.g); }, dir, {}, 3000));
    EXPECT_EQ(0,
              ExpectFailedWrite([&] { return WriteBipCubeFile(path, c.cube.data(), c.g); }, dir, {}, 3000));
    // Past the header, inside the lines; then inside the trailing frames.
    for (uint64_t limit : {40000u, 32768u + 8 * 1024u + 100u})
        EXPECT_EQ(
            0, ExpectFailedWrite([&] { return WriteStandardCubeFile(path, c.cube.data(), c.g, nullptr, {}); },
                                 dir, {}, limit))
            << limit;
    const float coeffs[3] = {400, 2.5f, 0};
    const std::string text = BuildEnviHeaderText(8, 16, 32, 0, "bil", coeffs, 0, 7);
    EXPECT_EQ(0, ExpectFailedWrite([&] { return WriteEnviHeader(path, text); }, dir, {}, 100));
    // The same writes pass without the limit.
    EXPECT_TRUE(WriteStandardCubeFile(path, c.cube.data(), c.g, nullptr, {}));
    EXPECT_TRUE(WriteEnviHeader(path, text));
}

TEST(CubeWriteFailures, AFailedSaveKeepsTheFileThatWasThere) {
    FailureCube c;
    TempDir dir;
    const std::string path = dir.File("x.cube");
    const std::vector<uint8_t> before = {'o', 'l', 'd'};
    WriteFileBytes(path, before);
    EXPECT_EQ(0, ExpectFailedWrite([&] { return WriteBilCubeFile(path, c.cube.data(), c.g); }, dir,
                                   {"x.cube"}, 3000));
    EXPECT_EQ(ReadFileBytes(path), before);
    // A successful save replaces it.
    ASSERT_TRUE(WriteBilCubeFile(path, c.cube.data(), c.g));
    EXPECT_EQ(ReadFileBytes(path).size(), 8u * 1024u);
    EXPECT_THAT(dir.Entries(), ElementsAre("x.cube"));
}

TEST(CubeWriteFailures, AFullDiskFailsEveryLayoutAndGivesBackTheRoom) {
    // A 1 MiB file system. A cube of 2.1 MB cannot be reserved nor written: every layout reports
    // the full disk and keeps the earlier file. Cubes that fit are then saved one after the
    // other, so nothing the failed saves set aside is still held.
    TempDir dir;
    const int code = RunOnFullDisk(dir.Path(), 1 << 20, [&] {
        CubeGeometry big;
        big.width = 16;
        big.height = 520;
        big.bands = 128;
        const std::vector<uint16_t> cube(big.CubeValues(), 0x0ABC);
        const std::string path = dir.File("x.cube");
        const std::vector<uint8_t> before = {'o', 'l', 'd'};
        WriteFileBytes(path, before);
        const std::function<CubeWriteResult(const std::string&, const CubeGeometry&)> writes[] = {
            [&](const std::string& p, const CubeGeometry& g) { return WriteBilCubeFile(p, cube.data(), g); },
            [&](const std::string& p, const CubeGeometry& g) { return WriteBsqCubeFile(p, cube.data(), g); },
            [&](const std::string& p, const CubeGeometry& g) { return WriteBipCubeFile(p, cube.data(), g); },
            [&](const std::string& p, const CubeGeometry& g) {
                return WriteStandardCubeFile(p, cube.data(), g, nullptr, {});
            },
        };
        int step = 0;
        for (const auto& write : writes) {
            ++step;
            const CubeWriteResult r = write(path, big);
            if (r.status != CubeWriteStatus::WriteFailed || r.errorNumber != ENOSPC ||
                r.message != "unable to save cube")
                return step;
            if (dir.Entries() != std::vector<std::string>{"x.cube"} || ReadFileBytes(path) != before)
                return 10 + step;
        }
        // Three lines: 400 kB, the standard file 700 kB; each replaces the one before.
        CubeGeometry fits = big;
        fits.width = 3;
        step = 0;
        for (const auto& write : writes) {
            ++step;
            std::filesystem::remove(path);
            if (!write(path, fits))
                return 20 + step;
        }
        return dir.Entries() == std::vector<std::string>{"x.cube"} ? 0 : 30;
    });
    if (code != kDiskFaultUnavailable) {
        EXPECT_EQ(code, 0);
    }
}

TEST(CubeWriteFailures, RoomReservedButNotWrittenNeverShowsInTheFile) {
    // The save reserves the whole file's room before writing it; a file that ends up shorter (as
    // a failed save's would, before it is removed) holds its written bytes and nothing more.
    TempDir dir;
    const std::string path = dir.File("a");
    AtomicFile file;
    ASSERT_TRUE(file.Open(path));
    file.Reserve(1 << 20);
    ASSERT_TRUE(file.Write("seven b", 7));
    file.Reserve(1 << 20);
    ASSERT_TRUE(file.Write("and 5", 5));
    ASSERT_TRUE(file.Commit());
    const std::string text = "seven band 5";
    EXPECT_EQ(ReadFileBytes(path), std::vector<uint8_t>(text.begin(), text.end()));
    // A device has no room to reserve; the writes go on.
    AtomicFile device;
    ASSERT_TRUE(device.Open("/dev/null"));
    device.Reserve(1 << 20);
    EXPECT_TRUE(device.Write("x", 1));
    EXPECT_TRUE(device.Commit());
}

TEST(CubeWriteFailures, DevicesAndPipesAreWrittenDirectlyOrRefused) {
    FailureCube c;
    // A device is written, never replaced by a file renamed over it.
    EXPECT_TRUE(WriteBilCubeFile("/dev/null", c.cube.data(), c.g));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_FALSE(std::filesystem::exists("/dev/null.part"));
    if (std::filesystem::exists("/dev/full")) {
        const CubeWriteResult full = WriteBilCubeFile("/dev/full", c.cube.data(), c.g);
        EXPECT_EQ(full.status, CubeWriteStatus::WriteFailed);
        EXPECT_EQ(full.errorNumber, ENOSPC);
        EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    }
    // A named pipe nobody reads is refused at once instead of waited for; it stays a pipe.
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);
    const CubeWriteResult pipe = WriteBilCubeFile(dir.File("pipe"), c.cube.data(), c.g);
    EXPECT_EQ(pipe.status, CubeWriteStatus::CannotOpen);
    EXPECT_EQ(pipe.errorNumber, ENXIO);
    EXPECT_TRUE(std::filesystem::is_fifo(dir.File("pipe")));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"pipe"});
}
