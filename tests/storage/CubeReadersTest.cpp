// Reading saved cubes back: files written by hand in each layout, the program's own files written
// and read again byte for byte, the header fields, and every refusal with its message.
#include "storage/CubeReaders.h"
#include "StorageTestSupport.h"
#include "storage/CubeHeader.h"
#include "storage/CubeWriters.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// W = 5 lines, H = 7 samples, B = 3 bands; value of line l, band b, stored position p:
// 1000 * l + 100 * b + p + 1 (no two alike, never zero).
const CubeGeometry kGeometry{5, 7, 3, 2};
uint16_t Value(int l, int b, int p) {
    return uint16_t(1000 * l + 100 * b + p + 1);
}

std::vector<uint16_t> SmallCube() {
    std::vector<uint16_t> cube(kGeometry.CubeValues());
    for (int l = 0; l < 5; ++l)
        for (int b = 0; b < 3; ++b)
            for (int p = 0; p < 7; ++p)
                cube[size_t(l) * 21 + size_t(b) * 7 + size_t(p)] = Value(l, b, p);
    return cube;
}

void Put(std::vector<uint8_t>& bytes, uint16_t v, bool bigEndian = false) {
    bytes.push_back(uint8_t(bigEndian ? v >> 8 : v));
    bytes.push_back(uint8_t(bigEndian ? v : v >> 8));
}

std::string HandHeader(const std::string& interleave, int samples = 7, int lines = 5, int bands = 3,
                       int dataType = 12, const std::string& extra = "") {
    return "ENVI\ndescription = {\n  written by hand}\nsamples = " + std::to_string(samples) +
           "\nLINES = " + std::to_string(lines) + "\nbands   = " + std::to_string(bands) +
           "\nheader offset = 0\nfile type = ENVI Standard\ndata type = " + std::to_string(dataType) +
           "\ninterleave = " + interleave + "\n" + extra;
}

void WriteText(const std::string& path, const std::string& text) {
    WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// An opened cube pre-filled with a marker, to see that a failed read leaves it alone.
OpenedCube Untouched() {
    OpenedCube o;
    o.cube.assign(3, 0xBEEF);
    o.dataPath = "before";
    return o;
}
bool StillUntouched(const OpenedCube& o) {
    return o.cube == std::vector<uint16_t>(3, 0xBEEF) && o.dataPath == "before";
}

DefaultCalibration Calibration() {
    DefaultCalibration cal;
    cal.coeffs[0] = 400.0f;
    cal.coeffs[1] = 2.3f;
    cal.coeffs[2] = 0.00095f;
    for (int r = 0; r < 3; ++r) {
        cal.rows[r].column1 = 7 + r;
        for (int c = 0; c < 5; ++c)
            cal.rows[r].columns[c] = 0.1f * float(r * 5 + c) + 1.0f / 3.0f;
    }
    return cal;
}

} // namespace

TEST(CubeReaders, HandWrittenBilBsqAndBipComeBackInTheCubesLayout) {
    TempDir dir;
    const std::vector<uint16_t> expected = SmallCube();
    struct Case {
        const char* interleave;
        bool bigEndian;
    };
    for (const Case c : {Case{"bil", false}, Case{"bsq", false}, Case{"bip", false}, Case{"BIP", true}}) {
        std::vector<uint8_t> body;
        const std::string il = c.interleave;
        if (il == "bil") {
            for (int l = 0; l < 5; ++l)
                for (int b = 0; b < 3; ++b)
                    for (int p = 0; p < 7; ++p)
                        Put(body, Value(l, b, p));
        } else if (il == "bsq") {
            for (int b = 0; b < 3; ++b)
                for (int l = 0; l < 5; ++l)
                    for (int p = 0; p < 7; ++p)
                        Put(body, Value(l, b, p));
        } else {
            for (int l = 0; l < 5; ++l)
                for (int p = 0; p < 7; ++p)
                    for (int b = 0; b < 3; ++b)
                        Put(body, Value(l, b, p), c.bigEndian);
        }
        const std::string name = std::string("hand_") + c.interleave + (c.bigEndian ? "_be" : "");
        WriteFileBytes(dir.File(name + ".cube"), body);
        WriteText(dir.File(name + ".hdr"), HandHeader(c.interleave, 7, 5, 3, 12,
                                                      c.bigEndian ? "byte order = 1\n" : "byte order = 0\n"));
        OpenedCube o;
        const CubeReadResult r = ReadCubeFile(dir.File(name + ".cube"), kGeometry, o);
        ASSERT_TRUE(r) << name << ": " << r.message;
        EXPECT_EQ(o.cube, expected) << name;
        EXPECT_TRUE(o.darkFrame.empty());
        EXPECT_EQ(o.headerPath, dir.File(name + ".hdr"));
        EXPECT_FALSE(o.metadata.exposureMs.has_value());
    }
    // Choosing the header opens the body beside it; a header beside "name.img" is found as well.
    OpenedCube o;
    ASSERT_TRUE(ReadCubeFile(dir.File("hand_bsq.hdr"), kGeometry, o));
    EXPECT_EQ(o.cube, expected);
    EXPECT_EQ(o.dataPath, dir.File("hand_bsq.cube"));
    WriteFileBytes(dir.File("other.img"), ReadFileBytes(dir.File("hand_bil.cube")));
    WriteText(dir.File("other.img.hdr"), HandHeader("bil"));
    ASSERT_TRUE(ReadCubeFile(dir.File("other.img"), kGeometry, o));
    EXPECT_EQ(o.cube, expected);
}

TEST(CubeReaders, ProgramsOwnFilesReadAgainAndWriteTheSameBytes) {
    TempDir dir;
    const std::vector<uint16_t> cube = SmallCube();
    std::vector<uint16_t> dark(21);
    for (size_t i = 0; i < dark.size(); ++i)
        dark[i] = uint16_t(50 + i);
    CubeHeaderInfo info;
    info.exposureMs = 37.9;
    info.calibration = Calibration();
    ASSERT_TRUE(WriteStandardCubeFile(dir.File("std.cube"), cube.data(), kGeometry, dark.data(), info));
    const std::string hdr =
        BuildEnviHeaderText(5, 7, 3, 32768, kInterleaveBil, info.calibration.coeffs, 12, 345);
    ASSERT_TRUE(WriteEnviHeader(dir.File("std.cube"), hdr));

    OpenedCube o;
    const CubeReadResult r = ReadCubeFile(dir.File("std.cube"), kGeometry, o);
    ASSERT_TRUE(r) << r.message;
    EXPECT_EQ(o.format, CubeFileFormat::Standard);
    EXPECT_EQ(o.cube, cube); // stored last line first, back in acquisition order
    EXPECT_EQ(o.darkFrame, dark);
    ASSERT_TRUE(o.metadata.exposureMs.has_value());
    EXPECT_EQ(*o.metadata.exposureMs, 37.0); // written truncated
    ASSERT_TRUE(o.metadata.calibration.has_value());
    EXPECT_EQ(
        std::memcmp(o.metadata.calibration->coeffs, info.calibration.coeffs, sizeof info.calibration.coeffs),
        0);
    EXPECT_EQ(o.metadata.calibration->rows[2].column1, 9);
    EXPECT_EQ(o.metadata.calibration->rows[1].columns[3], info.calibration.rows[1].columns[3]);
    ASSERT_TRUE(o.metadata.scanLimits.has_value());
    EXPECT_EQ(*o.metadata.scanLimits, (std::pair<int32_t, int32_t>{12, 345}));

    // Written again from what was read: the same bytes.
    CubeHeaderInfo again;
    again.exposureMs = *o.metadata.exposureMs;
    again.calibration = *o.metadata.calibration;
    ASSERT_TRUE(
        WriteStandardCubeFile(dir.File("again.cube"), o.cube.data(), kGeometry, o.darkFrame.data(), again));
    EXPECT_EQ(ReadFileBytes(dir.File("again.cube")), ReadFileBytes(dir.File("std.cube")));

    // The ENVI bodies with their headers: read, written again, the same bytes (the header keeps
    // the list it was read with, even when the calibration of the run differs).
    const float otherCoeffs[3] = {380.0f, 3.0f, 0.0f};
    using Writer = CubeWriteResult (*)(const std::string&, const uint16_t*, const CubeGeometry&);
    const std::pair<const char*, Writer> layouts[] = {{kInterleaveBil, &WriteBilCubeFile},
                                                      {kInterleaveBsq, &WriteBsqCubeFile},
                                                      {kInterleaveBip, &WriteBipCubeFile}};
    for (const auto& [interleave, write] : layouts) {
        const std::string name = std::string("e_") + interleave;
        ASSERT_TRUE(write(dir.File(name + ".cube"), cube.data(), kGeometry));
        ASSERT_TRUE(
            WriteEnviHeader(dir.File(name + ".cube"),
                            BuildEnviHeaderText(5, 7, 3, 0, interleave, info.calibration.coeffs, 0, 4)));
        OpenedCube e;
        ASSERT_TRUE(ReadCubeFile(dir.File(name + ".cube"), kGeometry, e)) << name;
        EXPECT_EQ(e.cube, cube) << name;
        ASSERT_EQ(CountListEntries(e.metadata.wavelengthList), 3);
        ASSERT_TRUE(write(dir.File(name + "_2.cube"), e.cube.data(), kGeometry));
        ASSERT_TRUE(WriteEnviHeader(
            dir.File(name + "_2.cube"),
            BuildEnviHeaderText(5, 7, 3, 0, interleave, otherCoeffs, e.metadata.scanLimits->first,
                                e.metadata.scanLimits->second, e.metadata.wavelengthList)));
        EXPECT_EQ(ReadFileBytes(dir.File(name + "_2.cube")), ReadFileBytes(dir.File(name + ".cube"))) << name;
        EXPECT_EQ(ReadFileBytes(dir.File(name + "_2.hdr")), ReadFileBytes(dir.File(name + ".hdr"))) << name;
    }
}

TEST(CubeReaders, ShortLongAndMismatchedFilesAreRefusedWithWhatWasFound) {
    TempDir dir;
    const std::vector<uint16_t> cube = SmallCube();
    ASSERT_TRUE(
        WriteStandardCubeFile(dir.File("std.cube"), cube.data(), kGeometry, nullptr, CubeHeaderInfo{}));
    const std::vector<uint8_t> full = ReadFileBytes(dir.File("std.cube"));
    ASSERT_EQ(full.size(), 32768u + 7u * 21u * 2u);
    auto refuse = [&](const std::string& path) {
        OpenedCube o = Untouched();
        const CubeReadResult r = ReadCubeFile(path, kGeometry, o);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(StillUntouched(o)) << path;
        return r.message;
    };
    // Two bytes short, two bytes long, only part of the header.
    WriteFileBytes(dir.File("short.cube"), std::vector<uint8_t>(full.begin(), full.end() - 2));
    EXPECT_EQ(refuse(dir.File("short.cube")), "short.cube is truncated: 33060 bytes where a cube of 7 "
                                              "samples x 5 lines x 3 bands in this format has "
                                              "33062");
    std::vector<uint8_t> longer = full;
    longer.push_back(0);
    longer.push_back(0);
    WriteFileBytes(dir.File("long.cube"), longer);
    EXPECT_EQ(
        refuse(dir.File("long.cube")),
        "long.cube is longer than a cube: 33064 bytes where a cube of 7 samples x 5 lines x 3 bands in this "
        "format has 33062");
    WriteFileBytes(dir.File("head.cube"), std::vector<uint8_t>(full.begin(), full.begin() + 100));
    EXPECT_NE(refuse(dir.File("head.cube")).find("head.cube is truncated: 100 bytes"), std::string::npos);
    // A dark stack file is not a cube: its header says 2 lines.
    CubeHeaderInfo stack;
    stack.samples = 7;
    stack.lines = 2;
    stack.bands = 3;
    std::vector<uint8_t> darkFile = BuildCubeHeader(stack);
    darkFile.resize(full.size(), 0);
    WriteFileBytes(dir.File("dark.drk"), darkFile);
    EXPECT_EQ(refuse(dir.File("dark.drk")), "dark.drk holds 7 samples x 2 lines x 3 bands (so its header "
                                            "says); only cubes of 7 samples x 5 lines x "
                                            "3 bands can be opened");

    // ENVI: other geometry, other type, unknown interleave, a body of the wrong size.
    std::vector<uint8_t> body(5 * 21 * 2, 0);
    WriteFileBytes(dir.File("e.cube"), body);
    WriteText(dir.File("e.hdr"), HandHeader("bil", 100, 5, 3, 12));
    EXPECT_EQ(
        refuse(dir.File("e.cube")),
        "e.hdr describes 100 samples x 5 lines x 3 bands of data type 12 (unsigned 16-bit); only cubes of 7 "
        "samples x 5 lines x 3 bands of data type 12 (unsigned 16-bit) can be opened");
    WriteText(dir.File("e.hdr"), HandHeader("bil", 7, 5, 3, 4));
    EXPECT_NE(refuse(dir.File("e.cube")).find("of data type 4 (32-bit float)"), std::string::npos);
    WriteText(dir.File("e.hdr"), HandHeader("bxl"));
    EXPECT_EQ(refuse(dir.File("e.cube")),
              "e.hdr gives the interleave \"bxl\"; only bil, bsq and bip can be read");
    WriteText(dir.File("e.hdr"), HandHeader("bsq"));
    body.pop_back();
    WriteFileBytes(dir.File("e.cube"), body);
    EXPECT_NE(refuse(dir.File("e.cube")).find("e.cube is truncated: 209 bytes"), std::string::npos);
    WriteText(dir.File("e.hdr"), "ENVI\nsamples = 7\nlines = 5\nbands = 3\ninterleave = bil\n");
    EXPECT_EQ(refuse(dir.File("e.cube")),
              "e.hdr is not an ENVI header that can be read: it gives no \"data type\"");
    WriteText(dir.File("e.hdr"), "P6\n520 696\n");
    EXPECT_EQ(refuse(dir.File("e.cube")),
              "e.hdr is not an ENVI header that can be read: it does not start with \"ENVI\"");

    // No header beside a body that is not the program's own; nothing at all; a folder.
    WriteFileBytes(dir.File("lone.dat"), body);
    EXPECT_EQ(refuse(dir.File("lone.dat")), "lone.dat is not a cube of the program's own format, and no ENVI "
                                            "header (lone.dat.hdr) lies beside it");
    EXPECT_NE(refuse(dir.File("missing.cube")).find("Unable to open cube file " + dir.File("missing.cube")),
              std::string::npos);
    EXPECT_EQ(refuse(dir.Path()), "Unable to open cube file " + dir.Path().string() + ": it is not a file");
    WriteText(dir.File("orphan.hdr"), HandHeader("bil"));
    EXPECT_EQ(refuse(dir.File("orphan.hdr")), "No cube file lies beside orphan.hdr (looked for orphan.cube)");
    // A "header" far too long is not read.
    WriteFileBytes(dir.File("big.cube"), body);
    WriteFileBytes(dir.File("big.hdr"), std::vector<uint8_t>(kMaxEnviHeaderBytes + 1, 'x'));
    EXPECT_NE(refuse(dir.File("big.cube")).find("big.hdr is too long for an ENVI header"), std::string::npos);
}

TEST(CubeReaders, EnviHeaderFields) {
    EnviHeader h;
    std::string error;
    const std::string text = "ENVI\r\nDescription = {two\nlines}\r\nSamples = 520\r\nlines   = 696\r\n"
                             "bands = 128\r\nheader offset = 32768\r\ndata type = 12\r\ninterleave =  BIL\r\n"
                             "byte order = 1\r\nwavelength = {\n400.0, 401.5,\n 403.0}\r\n"
                             "Scanner Limits (pixels) = -3\t700\r\n";
    ASSERT_TRUE(ParseEnviHeader(text, h, error)) << error;
    EXPECT_EQ(h.samples, 520);
    EXPECT_EQ(h.lines, 696);
    EXPECT_EQ(h.bands, 128);
    EXPECT_EQ(h.headerOffset, 32768);
    EXPECT_EQ(h.dataType, 12);
    EXPECT_EQ(h.byteOrder, 1);
    EXPECT_EQ(h.interleave, "bil");
    EXPECT_EQ(h.wavelengths, "400.0, 401.5,\n 403.0");
    EXPECT_EQ(CountListEntries(h.wavelengths), 3);
    ASSERT_TRUE(h.scannerLimits.has_value());
    EXPECT_EQ(*h.scannerLimits, (std::pair<int32_t, int32_t>{-3, 700}));

    EXPECT_FALSE(ParseEnviHeader(
        "ENVI\nsamples = 5x\nlines = 1\nbands = 1\ndata type = 12\ninterleave = bil\n", h, error));
    EXPECT_EQ(error, "its \"samples\" is not a whole number (\"5x\")");
    EXPECT_FALSE(ParseEnviHeader("ENVI\nwavelength = {1, 2\n", h, error));
    EXPECT_EQ(error, "the value of \"wavelength\" has no closing brace");
    EXPECT_FALSE(ParseEnviHeader("ENVI\nsamples = 1\nlines = 1\nbands = 1\ndata type = 12\n", h, error));
    EXPECT_EQ(error, "it gives no \"interleave\"");
    EXPECT_FALSE(ParseEnviHeader("", h, error));
    EXPECT_EQ(CountListEntries(""), 0);
    EXPECT_EQ(CountListEntries(" 1 , ,2"), 2);
}

TEST(CubeHeaderFields, ReadBackAsWritten) {
    CubeHeaderInfo info;
    info.samples = 520;
    info.lines = 25;
    info.bands = 128;
    info.exposureMs = 12.99;
    info.calibration = Calibration();
    info.variant = CubeHeaderVariant::Calibration;
    const std::vector<uint8_t> bytes = BuildCubeHeader(info);
    CubeHeaderInfo back;
    ASSERT_TRUE(ParseCubeHeader(bytes.data(), back));
    EXPECT_EQ(back.samples, 520);
    EXPECT_EQ(back.lines, 25);
    EXPECT_EQ(back.bands, 128);
    EXPECT_EQ(back.exposureMs, 12.0);
    EXPECT_EQ(back.variant, CubeHeaderVariant::Calibration);
    // The fields written again give the same bytes.
    EXPECT_EQ(BuildCubeHeader(back), bytes);
    std::vector<uint8_t> other = bytes;
    other[0] = 'v';
    EXPECT_FALSE(ParseCubeHeader(other.data(), back));
    EXPECT_FALSE(ParseCubeHeader(nullptr, back));
}
