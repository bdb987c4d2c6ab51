#include "calibration/CalibrationFiles.h"
#include "support/DiskFaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

namespace {

class CalibrationFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir =
            std::filesystem::temp_directory_path() /
            ("arv_calfiles_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    std::filesystem::path m_dir;
};

CubeGeometry Full() {
    return CubeGeometry{};
} // W 696, H 520, B 128, N 25

// Stack value of frame f, element i (a distinct pattern per frame), 12-bit as every stack value.
uint16_t Pattern(int f, size_t i) {
    return uint16_t(f * 100 + i % 97);
}

std::vector<uint16_t> MakeStack(int frames, size_t frameValues) {
    std::vector<uint16_t> stack(size_t(frames) * frameValues);
    for (int f = 0; f < frames; ++f)
        for (size_t i = 0; i < frameValues; ++i)
            stack[size_t(f) * frameValues + i] = Pattern(f, i);
    return stack;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

uint16_t U16At(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

} // namespace

TEST(DarkFrameTest, MeanTruncatesAndDoesNotOverflow) {
    const uint16_t three[] = {10, 11, 11};
    uint16_t frame = 0xFFFF;
    ComputeDarkFrame(three, 3, 1, &frame);
    EXPECT_EQ(frame, 10); // 32 / 3 = 10.67 -> 10

    std::vector<uint16_t> full(25, 4095);
    ComputeDarkFrame(full.data(), 25, 1, &frame);
    EXPECT_EQ(frame, 4095);
    std::vector<uint16_t> top(25, 65535);
    ComputeDarkFrame(top.data(), 25, 1, &frame);
    EXPECT_EQ(frame, 65535);

    // Two frames of two values: element-wise means.
    const uint16_t two[] = {1, 100, 4, 201};
    uint16_t out[2];
    ComputeDarkFrame(two, 2, 2, out);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[1], 150);
}

TEST_F(CalibrationFilesTest, DarkStackFileLayout) {
    const CubeGeometry g = Full();
    const size_t frame = g.LineValues(); // 128 * 520 = 66560 values
    const auto stack = MakeStack(25, frame);
    CubeHeaderInfo header;
    header.exposureMs = 12.7;
    ASSERT_EQ(SaveDarkCubeFile(Path("dark"), stack.data(), g, header), FileResult::Ok);
    const auto bytes = ReadAll(Path("dark"));
    // 32768 + 26 frames of 133120 bytes.
    ASSERT_EQ(bytes.size(), 3493888u);
    // Header: samples 520 at 22, lines 25 at 28, bands 128 at 34, exposure 12 at 3197, and the
    // calibration variant's 1.0 (bytes 00 00 80 3F) at 14531.
    EXPECT_EQ(U16At(bytes, 22), 520);
    EXPECT_EQ(U16At(bytes, 28), 25);
    EXPECT_EQ(U16At(bytes, 34), 128);
    EXPECT_EQ(bytes[3197], 12);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 14531, bytes.begin() + 14535),
              (std::vector<uint8_t>{0x00, 0x00, 0x80, 0x3F}));
    // First frame after the header: stack frame 24, band 0 first, least significant byte first.
    EXPECT_EQ(U16At(bytes, 32768), Pattern(24, 0));
    EXPECT_EQ(bytes[32768], uint8_t(Pattern(24, 0)));
    EXPECT_EQ(U16At(bytes, 32768 + 2 * 520), Pattern(24, 520)); // band 1, sample 0
    EXPECT_EQ(U16At(bytes, 32768 + 2 * (frame - 1)), Pattern(24, frame - 1));
    // Last stack frame in the file is frame 0; then the frame of 1000s (E8 03).
    const size_t lastFrame = 32768 + 24 * frame * 2;
    EXPECT_EQ(U16At(bytes, lastFrame), Pattern(0, 0));
    EXPECT_EQ(U16At(bytes, lastFrame + 2 * 777), Pattern(0, 777));
    const size_t trailer = 32768 + 25 * frame * 2;
    EXPECT_EQ(bytes[trailer], 0xE8);
    EXPECT_EQ(bytes[trailer + 1], 0x03);
    EXPECT_EQ(U16At(bytes, bytes.size() - 2), 1000);
}

TEST_F(CalibrationFilesTest, CalibrationAndAutoCalibrationFiles) {
    const CubeGeometry g = Full();
    const auto stack = MakeStack(25, g.LineValues());
    ASSERT_EQ(SaveCalibrationCubeFile(Path("cal.cube"), stack.data(), g, {}), FileResult::Ok);
    const auto bytes = ReadAll(Path("cal.cube"));
    ASSERT_EQ(bytes.size(), 3360768u); // 32768 + 25 * 133120
    EXPECT_EQ(U16At(bytes, 32768), Pattern(24, 0));
    EXPECT_EQ(U16At(bytes, bytes.size() - 2), Pattern(0, g.LineValues() - 1));

    // Automatic calibration: frames of B x W = 89088 values.
    const size_t autoFrame = size_t(g.bands) * g.width;
    const auto autoStack = MakeStack(25, autoFrame);
    ASSERT_EQ(SaveAutoCalibrationCubeFile(Path("auto.cal"), autoStack.data(), g, {}), FileResult::Ok);
    const auto autoBytes = ReadAll(Path("auto.cal"));
    ASSERT_EQ(autoBytes.size(), 4487168u); // 32768 + 25 * 89088 * 2
    EXPECT_EQ(U16At(autoBytes, 28), 25);
    EXPECT_EQ(U16At(autoBytes, 32768), Pattern(24, 0));
    EXPECT_EQ(U16At(autoBytes, 32768 + 2 * autoFrame), Pattern(23, 0));
    EXPECT_EQ(U16At(autoBytes, autoBytes.size() - 2), Pattern(0, autoFrame - 1));
}

TEST_F(CalibrationFilesTest, SaveFailuresAreReported) {
    const CubeGeometry g = Full();
    const auto stack = MakeStack(25, g.LineValues());
    EXPECT_EQ(SaveDarkCubeFile("/nonexistent-folder/d", stack.data(), g, {}), FileResult::OpenFailed);
    EXPECT_EQ(SaveDarkCubeFile(Path("none"), nullptr, g, {}), FileResult::OpenFailed);
    EXPECT_FALSE(std::filesystem::exists(Path("none")));
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(SaveDarkCubeFile("/dev/full", stack.data(), g, {}), FileResult::WriteFailed);
        EXPECT_EQ(SaveCalibrationCubeFile("/dev/full", stack.data(), g, {}), FileResult::WriteFailed);
    }
}

namespace {
// The three stack savers on the full geometry; `kind` 0 dark, 1 calibration, 2 automatic calibration.
FileResult SaveKind(int kind, const std::string& path) {
    const CubeGeometry g = Full();
    const size_t frame = kind == 2 ? size_t(g.bands) * size_t(g.width) : g.LineValues();
    const auto stack = MakeStack(25, frame);
    return kind == 0   ? SaveDarkCubeFile(path, stack.data(), g, {})
           : kind == 1 ? SaveCalibrationCubeFile(path, stack.data(), g, {})
                       : SaveAutoCalibrationCubeFile(path, stack.data(), g, {});
}

std::vector<std::string> Names(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    return names;
}

// In the fault's child: an earlier file "stack" holding "old", then the save over it. 0 when the
// save reported the failure, left no other file and kept the earlier one; else which check failed.
int SaveOverEarlierFile(int kind, const std::filesystem::path& dir) {
    const std::string path = (dir / "stack").string();
    WriteBytes(path, {'o', 'l', 'd'});
    if (SaveKind(kind, path) != FileResult::WriteFailed)
        return 1;
    if (Names(dir) != std::vector<std::string>{"stack"})
        return 2;
    if (ReadAll(path) != std::vector<uint8_t>{'o', 'l', 'd'})
        return 3;
    return 0;
}
} // namespace

TEST_F(CalibrationFilesTest, SavesThatFailPartWayLeaveNoFileAndKeepTheEarlierOne) {
    for (int kind = 0; kind < 3; ++kind) {
        // A file-size limit inside the frames (the header fits).
        EXPECT_EQ(RunWithFileSizeLimit(100000, [&] { return SaveOverEarlierFile(kind, m_dir); }), 0) << kind;
        // A full disk: 1 MB free, files of 3.3 to 4.5 MB.
        const int full =
            RunOnFullDisk(m_dir.string(), 1 << 20, [&] { return SaveOverEarlierFile(kind, m_dir); });
        if (full == kDiskFaultUnavailable)
            GTEST_SKIP() << "no private mount namespace for a full disk here";
        EXPECT_EQ(full, 0) << kind;
        // Without a fault the same save replaces the earlier file.
        ASSERT_EQ(SaveKind(kind, Path("stack")), FileResult::Ok);
        EXPECT_GT(std::filesystem::file_size(Path("stack")), 3000000u);
        EXPECT_EQ(Names(m_dir), std::vector<std::string>{"stack"});
        std::filesystem::remove(Path("stack"));
    }
}

TEST_F(CalibrationFilesTest, AStackSavedToADeviceWritesToTheDevice) {
    // A device cannot be replaced by a file: /dev/null takes the bytes, /dev/full refuses them, and
    // both stay devices with no temporary file beside them.
    ASSERT_EQ(SaveKind(0, "/dev/null"), FileResult::Ok);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(SaveKind(1, "/dev/full"), FileResult::WriteFailed);
        EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    }
    EXPECT_FALSE(std::filesystem::exists("/dev/null.part"));
    EXPECT_FALSE(std::filesystem::exists("/dev/full.part"));
}

TEST_F(CalibrationFilesTest, LoadReadsFramesInFileOrder) {
    const CubeGeometry g = Full();
    const size_t frame = g.LineValues();
    const auto stack = MakeStack(25, frame);
    ASSERT_EQ(SaveDarkCubeFile(Path("dark"), stack.data(), g, {}), FileResult::Ok);
    std::vector<uint16_t> loaded(stack.size(), 0xABCD);
    const DarkCubeLoad r = LoadDarkCubeFile(Path("dark"), loaded.data(), g);
    EXPECT_EQ(r.result, FileResult::Ok);
    EXPECT_TRUE(r.headerComplete);
    EXPECT_EQ(r.valuesRead, 25 * frame); // the trailing frame is not read
    EXPECT_EQ(r.framesRead, 25);
    // File order: loaded frame 0 is the stack's frame 24, loaded frame 24 its frame 0.
    EXPECT_TRUE(
        std::equal(loaded.begin(), loaded.begin() + ptrdiff_t(frame), stack.end() - ptrdiff_t(frame)));
    EXPECT_TRUE(std::equal(loaded.end() - ptrdiff_t(frame), loaded.end(), stack.begin()));
    // The mean does not depend on the frame order.
    std::vector<uint16_t> a(frame), b(frame);
    ComputeDarkFrame(stack.data(), 25, frame, a.data());
    ComputeDarkFrame(loaded.data(), 25, frame, b.data());
    EXPECT_EQ(a, b);
}

TEST_F(CalibrationFilesTest, ShortAndLongDarkFiles) {
    CubeGeometry g;
    g.height = 3;
    g.bands = 2;
    g.darkLines = 2; // frames of 6 values, stack of 12
    std::vector<uint8_t> header(32768, 0);
    std::vector<uint16_t> stack(12, 0xABCD);

    // Header only: an all-zero stack and dark frame.
    WriteBytes(Path("h"), header);
    DarkCubeLoad r = LoadDarkCubeFile(Path("h"), stack.data(), g);
    EXPECT_EQ(r.result, FileResult::Ok);
    EXPECT_TRUE(r.headerComplete);
    EXPECT_EQ(r.valuesRead, 0u);
    EXPECT_EQ(stack, std::vector<uint16_t>(12, 0));
    uint16_t dark[6] = {9, 9, 9, 9, 9, 9};
    ComputeDarkFrame(stack.data(), 2, 6, dark);
    EXPECT_EQ(std::vector<uint16_t>(dark, dark + 6), std::vector<uint16_t>(6, 0));

    // One and a half frames and an odd byte: 9 values, 1 whole frame, the rest 0.
    std::vector<uint8_t> partial = header;
    for (int i = 1; i <= 9; ++i) {
        partial.push_back(uint8_t(i));
        partial.push_back(0x01);
    }
    partial.push_back(0x77);
    WriteBytes(Path("p"), partial);
    std::fill(stack.begin(), stack.end(), 0xABCD);
    r = LoadDarkCubeFile(Path("p"), stack.data(), g);
    EXPECT_EQ(r.valuesRead, 9u);
    EXPECT_EQ(r.framesRead, 1);
    EXPECT_EQ(stack, (std::vector<uint16_t>{0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109, 0,
                                            0, 0}));

    // Longer than the stack: reading stops at 12 values.
    std::vector<uint8_t> longer = header;
    longer.resize(header.size() + 100 * 2, 0x02);
    WriteBytes(Path("l"), longer);
    r = LoadDarkCubeFile(Path("l"), stack.data(), g);
    EXPECT_EQ(r.valuesRead, 12u);
    EXPECT_EQ(r.framesRead, 2);
    EXPECT_EQ(stack, std::vector<uint16_t>(12, 0x0202));

    // Shorter than the header: nothing read, the stack is zeroed.
    WriteBytes(Path("s"), std::vector<uint8_t>(100, 0x05));
    r = LoadDarkCubeFile(Path("s"), stack.data(), g);
    EXPECT_EQ(r.result, FileResult::Ok);
    EXPECT_FALSE(r.headerComplete);
    EXPECT_EQ(r.valuesRead, 0u);
    EXPECT_EQ(stack, std::vector<uint16_t>(12, 0));

    // A missing file changes nothing.
    std::fill(stack.begin(), stack.end(), 0xABCD);
    r = LoadDarkCubeFile(Path("missing"), stack.data(), g);
    EXPECT_EQ(r.result, FileResult::OpenFailed);
    EXPECT_EQ(stack, std::vector<uint16_t>(12, 0xABCD));
}

TEST_F(CalibrationFilesTest, RadiometricGains) {
    std::vector<float> gains(128 * 520, 1.0f);
    // 4 bytes: 2.5f is 0x40200000, least significant byte first.
    WriteBytes(Path("four"), {0x00, 0x00, 0x20, 0x40});
    RadCalLoad r = LoadRadCalFile(Path("four"), gains.data(), gains.size());
    EXPECT_EQ(r.result, FileResult::Ok);
    EXPECT_EQ(r.valuesRead, 1u);
    EXPECT_EQ(gains[0], 2.5f);
    EXPECT_EQ(gains[1], 1.0f);
    EXPECT_EQ(gains.back(), 1.0f);

    // 266240 bytes fill every gain; more bytes are not read; 6 bytes give one value.
    std::vector<uint8_t> full;
    for (size_t i = 0; i < gains.size() + 10; ++i) {
        const float v = float(i) * 0.5f;
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        full.insert(full.end(), b, b + 4);
    }
    WriteBytes(Path("full"), full);
    r = LoadRadCalFile(Path("full"), gains.data(), gains.size());
    EXPECT_EQ(r.valuesRead, gains.size());
    EXPECT_EQ(gains[0], 0.0f);
    EXPECT_EQ(gains.back(), float(gains.size() - 1) * 0.5f);

    WriteBytes(Path("six"), {0x00, 0x00, 0x80, 0x3F, 0x11, 0x22});
    r = LoadRadCalFile(Path("six"), gains.data(), gains.size());
    EXPECT_EQ(r.valuesRead, 1u);
    EXPECT_EQ(gains[0], 1.0f);
    EXPECT_EQ(gains[1], 0.5f);

    r = LoadRadCalFile(Path("missing"), gains.data(), gains.size());
    EXPECT_EQ(r.result, FileResult::OpenFailed);
    EXPECT_EQ(gains[0], 1.0f);
}

TEST(CalibrationLabelsTest, LabelTextsAndNames) {
    EXPECT_EQ(FileNameWithoutFolder("/home/op/darks/dark1.cube"), "dark1.cube");
    EXPECT_EQ(FileNameWithoutFolder("dark1"), "dark1");
    EXPECT_EQ(FileNameWithoutFolder("/home/op/"), "");
    EXPECT_EQ(DarkLabelText("dark1"), "Dark Frame: dark1");
    EXPECT_EQ(RadCalLabelText("gains.rad"), "Rad. Cal.:  gains.rad");
    EXPECT_EQ(RadCalLabelText("None"), "Rad. Cal.:  None");

    const std::string name79(79, 'a');
    EXPECT_EQ(LabelFileName(name79), name79);
    // 100 characters: the first 38, "...", the last 38.
    const std::string name100 = std::string(50, 'x') + std::string(46, 'y') + ".cal";
    const std::string shown = LabelFileName(name100);
    EXPECT_EQ(shown.size(), 79u);
    EXPECT_EQ(shown, std::string(38, 'x') + "..." + std::string(34, 'y') + ".cal");
    EXPECT_EQ(DarkLabelText(name100), "Dark Frame: " + shown);
    // A multi-byte character at the cut is kept whole or left out, never split.
    const std::string accents = std::string(37, 'a') + "\xC3\xA9" + std::string(60, 'b');
    const std::string cut = LabelFileName(accents);
    EXPECT_EQ(cut.substr(0, 40), std::string(37, 'a') + "...");
}

TEST_F(CalibrationFilesTest, GainFilesHoldingNoGainsAreRefusedWhole) {
    std::vector<float> gains(128 * 520, 1.0f);
    gains[0] = 3.0f;
    auto fileOf = [](std::initializer_list<float> values) {
        std::vector<uint8_t> bytes;
        for (float v : values) {
            uint8_t b[4];
            std::memcpy(b, &v, 4);
            bytes.insert(bytes.end(), b, b + 4);
        }
        return bytes;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        std::vector<uint8_t> bytes;
        const char* problem;
    } cases[] = {
        {fileOf({2.0f, std::nanf(""), 2.0f}), "gain 1 is nan"},
        {fileOf({2.0f, 2.0f, inf}), "gain 2 is inf"},
        {fileOf({-0.5f}), "gain 0 is -0.5"},
    };
    for (const auto& c : cases) {
        WriteBytes(Path("bad.rad"), c.bytes);
        const RadCalLoad r = LoadRadCalFile(Path("bad.rad"), gains.data(), gains.size());
        EXPECT_EQ(r.result, FileResult::Refused);
        EXPECT_EQ(r.problem, std::string("bad.rad is not a radiometric calibration file: ") + c.problem +
                                 ", not a finite number of 0 or more. No gains were loaded.");
        EXPECT_EQ(gains[0], 3.0f) << "no gain changes, not even those before the bad one";
        EXPECT_EQ(gains[1], 1.0f);
    }
    // Zero and very large finite gains are gains.
    WriteBytes(Path("ok.rad"), fileOf({0.0f, 3e38f}));
    const RadCalLoad ok = LoadRadCalFile(Path("ok.rad"), gains.data(), gains.size());
    EXPECT_EQ(ok.result, FileResult::Ok);
    EXPECT_EQ(gains[0], 0.0f);
    EXPECT_EQ(gains[1], 3e38f);
}

TEST_F(CalibrationFilesTest, DarkFilesHoldingValuesAbove12BitsAreRefused) {
    CubeGeometry g;
    g.height = 3;
    g.bands = 2;
    g.darkLines = 2; // frames of 6 values, stack of 12
    std::vector<uint8_t> bytes(32768, 0);
    for (uint16_t v : {uint16_t(10), uint16_t(4095), uint16_t(4096)}) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    WriteBytes(Path("not-dark"), bytes);
    std::vector<uint16_t> stack(12, 7);
    const DarkCubeLoad r = LoadDarkCubeFile(Path("not-dark"), stack.data(), g);
    EXPECT_EQ(r.result, FileResult::Refused);
    EXPECT_EQ(r.problem,
              "not-dark is not a dark frame file of this instrument: value 2 is 4096, above the largest "
              "sample value 4095. The dark frame is unchanged.");
    EXPECT_EQ(stack, std::vector<uint16_t>(12, 7));
    // 4095 is a sample value.
    bytes.resize(bytes.size() - 2);
    WriteBytes(Path("dark"), bytes);
    const DarkCubeLoad ok = LoadDarkCubeFile(Path("dark"), stack.data(), g);
    EXPECT_EQ(ok.result, FileResult::Ok);
    EXPECT_EQ(stack, (std::vector<uint16_t>{10, 4095, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}
