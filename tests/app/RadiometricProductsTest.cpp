// From raw counts to radiance and reflectance with "arv300 acquire" on the simulated instrument: a
// dark stack, a flat field of the integrating sphere in white light, gains, then cubes of the test
// chart checked against the chart's reflectances. The imager is given a response that falls off
// across the field (vignetting), so that only a working flat field makes the patches flat.
//
// The chart, as the simulated scene defines it (scene line x = cube line, u = 519 - stored sample p):
//   white reference  lines 260 ... 399, u 280 ... 479 -> p  40 ... 239, reflectance 0.95
//   grey scale       lines 460 ... 639: u 370 ... 479 -> p  40 ... 149, 0.8
//                                       u 260 ... 369 -> p 150 ... 259, 0.6
//                                       u 150 ... 259 -> p 260 ... 369, 0.4
//                                       u  40 ... 149 -> p 370 ... 479, 0.2
//   checkerboard     squares of 32 x 32, 0.10 where x/32 + u/32 is even, else 0.20; lines 0 ... 31
//                    (x/32 = 0): u 0 ... 31 (p 488 ... 519) 0.10, u 32 ... 63 (p 456 ... 487) 0.20
#include "app/AcquireCommand.h"
#include "calibration/RadiometricCorrection.h"
#include "core/Sleep.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimScene.h"
#include "support/AcquireRun.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

constexpr int W = 696, H = 520, B = 128;

class RadiometricAcquire : public ::testing::Test {
protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::create_directories(dir.File("Settings"));
        for (auto& f :
             std::filesystem::directory_iterator(std::filesystem::path(ARV_SOURCE_DIR) / "settings"))
            std::filesystem::copy_file(f.path(), dir.File("Settings/" + f.path().filename().string()));
        std::filesystem::current_path(dir.Path());
        SetSleepScale(0.1);
        SimMirror::Instance().SetClockScale(10.0);
        SimMirror::Instance().Reset(0);
        cameras.clockScale = 3.0;
        SimOptics::Instance().target = SimTarget::Scene;
        SimOptics::Instance().noise = false;
        SimOptics::Instance().sphereWhiteLight = false;
        SimOptics::Instance().vignetting = 0.3;
        options.acquire = true;
        options.nonInteractive = true;
    }
    void TearDown() override {
        SimCameras::Instance().Shutdown();
        controller.Shutdown();
        SimOptics::Instance().vignetting = 0.0;
        SimOptics::Instance().sphereWhiteLight = false;
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
        std::filesystem::current_path(previous);
    }
    int Run(const std::vector<std::string>& words) {
        options = AppOptions{};
        std::string error;
        QStringList args{"arv300", "acquire"};
        for (const std::string& w : words)
            args << QString::fromStdString(w);
        if (!ParseAppOptions(args, options, error)) {
            err = error;
            return kAcquireBadArguments;
        }
        options.devices.attachSimulators = false; // the simulated devices are set up here
        SimCameras::Instance().Shutdown();
        SimCameras::Instance().Configure(cameras);
        AcquireOutput r = RunAcquireCaptured(options);
        out = std::move(r.out);
        err = std::move(r.err);
        return r.code;
    }
    // The whole float cube of a saved BIL body: line l, band b, position p at l*B*H + b*H + p.
    static std::vector<float> ReadFloatCube(const std::string& path) {
        const std::vector<uint8_t> bytes = ReadFileBytes(path);
        std::vector<float> v(bytes.size() / 4);
        std::memcpy(v.data(), bytes.data(), v.size() * 4);
        return v;
    }
    static std::vector<uint16_t> ReadRawCube(const std::string& path) {
        const std::vector<uint8_t> bytes = ReadFileBytes(path);
        std::vector<uint16_t> v(bytes.size() / 2);
        std::memcpy(v.data(), bytes.data(), v.size() * 2);
        return v;
    }

    TempDir dir;
    std::filesystem::path previous;
    SimCameraSettings cameras;
    SimController controller{"COM1"};
    AppOptions options;
    std::string out, err;
};

template <typename T> double At(const std::vector<T>& cube, int l, int b, int p) {
    return double(cube[size_t(l) * B * H + size_t(b) * H + size_t(p)]);
}

// Largest relative difference between the per-sample means (over the lines) of a patch, in band b.
template <typename T>
double SpreadAcrossSamples(const std::vector<T>& cube, int b, int l0, int l1, int p0, int p1) {
    double lo = 1e300, hi = -1e300, sum = 0;
    for (int p = p0; p <= p1; ++p) {
        double m = 0;
        for (int l = l0; l <= l1; ++l)
            m += At(cube, l, b, p);
        m /= double(l1 - l0 + 1);
        lo = std::min(lo, m);
        hi = std::max(hi, m);
        sum += m;
    }
    return (hi - lo) / (sum / double(p1 - p0 + 1));
}

struct Patch {
    const char* name;
    int l0, l1, p0, p1; // inclusive, a few pixels inside the patch's edges
    double reflectance;
};
const Patch kPatches[] = {
    {"white reference", 264, 395, 44, 235, 0.95}, {"grey 0.8", 464, 635, 44, 145, 0.8},
    {"grey 0.6", 464, 635, 154, 255, 0.6},        {"grey 0.4", 464, 635, 264, 365, 0.4},
    {"grey 0.2", 464, 635, 374, 475, 0.2},        {"checker 0.10", 4, 27, 492, 515, 0.10},
    {"checker 0.20", 4, 27, 460, 483, 0.20},
};

} // namespace

TEST_F(RadiometricAcquire, FlatFieldGainsMakeRadianceFlatAndReflectanceReadsTheChart) {
    ASSERT_TRUE(controller.Start());
    // Dark stack, flat field of the sphere, gains, and a radiance cube of the chart.
    ASSERT_EQ(Run({"--simulate", "--dark", "--flat-field", "--format", "radiance", "--out", dir.File("rad")}),
              kAcquireOk)
        << err;
    EXPECT_NE(
        out.find("wrote " + dir.File("rad_flat.cal") + " (3360768 bytes), calibration stack of 25 lines"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("wrote " + dir.File("rad_radcal.rad") +
                       " (266240 bytes), Radiometric calibration from rad_flat.cal: every gain computed."),
              std::string::npos)
        << out;
    const std::string header = [&] {
        std::ifstream in(dir.File("rad.hdr"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_NE(header.find("description = {ARV300 radiance in counts: dark frame rad_dark.drk subtracted; "
                          "radiometric gains rad_radcal.rad applied}\n"),
              std::string::npos)
        << header;
    EXPECT_NE(header.find("data type = 4\n"), std::string::npos);
    const std::vector<float> radiance = ReadFloatCube(dir.File("rad.cube"));
    ASSERT_EQ(radiance.size(), size_t(W) * B * H);

    // The same chart raw, to show what the flat field has to undo.
    ASSERT_EQ(Run({"--simulate", "--format", "bil", "--out", dir.File("raw")}), kAcquireOk) << err;
    const std::vector<uint16_t> raw = ReadRawCube(dir.File("raw.cube"));
    ASSERT_EQ(raw.size(), size_t(W) * B * H);

    for (const Patch& patch : kPatches) {
        if (patch.reflectance < 0.3 || patch.reflectance > 0.9)
            continue; // the grey scale's middle steps span the widest range of samples
        for (int b : {0, 40, 90, 127}) {
            SCOPED_TRACE(std::string(patch.name) + " band " + std::to_string(b));
            EXPECT_GT(SpreadAcrossSamples(raw, b, patch.l0, patch.l1, patch.p0, patch.p1), 0.02);
            EXPECT_LT(SpreadAcrossSamples(radiance, b, patch.l0, patch.l1, patch.p0, patch.p1), 0.01);
        }
    }
    // The level by hand: (v - dark) = 3000 R f(column, row) counts, and the gains take every sample
    // to the band's mean over the samples of f. In band 0 (rows 508 ... 511, row/519 about 0.9817)
    // the columns 88 ... 607 have c/695 at 0.5 on average: f = 1 - 0.3 * 0.5 * (0.5 + 0.5 * 0.9817).
    const double f0 = 1.0 - 0.3 * 0.5 * (0.5 + 0.5 * 0.9817);
    double grey = 0;
    for (int l = 464; l <= 635; ++l)
        grey += At(radiance, l, 0, 300);
    grey /= 172.0;
    EXPECT_NEAR(grey / (3000.0 * 0.4 * f0), 1.0, 0.01);

    // Reflectance against the white panel, with the dark and the gains of the first run.
    ASSERT_EQ(Run({"--simulate", "--dark-file", dir.File("rad_dark.drk"), "--rad-cal",
                   dir.File("rad_radcal.rad"), "--format", "reflectance", "--white", "264:395,44:235",
                   "--white-reflectance", "0.95", "--out", dir.File("refl")}),
              kAcquireOk)
        << err;
    const std::vector<float> reflectance = ReadFloatCube(dir.File("refl.cube"));
    ASSERT_EQ(reflectance.size(), size_t(W) * B * H);
    for (const Patch& patch : kPatches) {
        SCOPED_TRACE(patch.name);
        int wrong = 0;
        double worst = 0;
        for (int l = patch.l0; l <= patch.l1; l += 3)
            for (int b = 0; b < B; b += 7)
                for (int p = patch.p0; p <= patch.p1; p += 3) {
                    const double d = std::abs(At(reflectance, l, b, p) - patch.reflectance);
                    worst = std::max(worst, d);
                    wrong += d > 0.01;
                }
        EXPECT_EQ(wrong, 0) << "largest difference " << worst;
    }
}

TEST_F(RadiometricAcquire, CorrectedCubesAreRefusedWithoutWhatTheyNeed) {
    struct Case {
        QStringList args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--format", "radiance"}, "--format radiance needs a dark frame: --dark or --dark-file PATH"},
        {{"--dark", "--format", "reflectance"},
         "--format reflectance needs the white reference: --white L0:L1,S0:S1 (the white panel's lines and "
         "samples)"},
        {{"--dark", "--format", "bil", "--white", "1:2,3:4"},
         "--white is used only with --format reflectance"},
        {{"--dark", "--format", "radiance", "--white-reflectance", "0.5"},
         "--white-reflectance is used only with --format reflectance"},
        {{"--dark", "--format", "reflectance", "--white", "1-2,3:4"},
         "--white takes the white panel's lines and samples as L0:L1,S0:S1 (e.g. 260:399,40:239), not "
         "\"1-2,3:4\""},
        {{"--dark", "--format", "reflectance", "--white", "1:2,3:4", "--white-reflectance", "2"},
         "--white-reflectance takes the panel's reflectance, above 0 and at most 1.5"},
        {{"--flat-field", "--format", "bil"},
         "--flat-field needs a dark frame to subtract from the flat field: --dark or --dark-file PATH"},
        {{"--dark", "--flat-field", "--rad-cal", "g.rad"},
         "--flat-field, --flat-file and --rad-cal each give the gains: choose one"},
        {{"--dark", "--dark-file", "d.drk"}, "--dark and --dark-file both give the dark frame: choose one"},
        {{"--rad-cal-out", "g.rad"}, "--rad-cal-out names the gains made by --flat-field or --flat-file"},
    };
    for (const Case& c : cases) {
        AppOptions o;
        std::string error;
        EXPECT_FALSE(ParseAppOptions(QStringList{"arv300", "acquire"} + c.args, o, error)) << c.message;
        EXPECT_EQ(error, c.message);
    }
    AppOptions o;
    std::string error;
    ASSERT_TRUE(
        ParseAppOptions({"arv300", "acquire", "--dark-file", "d.drk", "--rad-cal", "g.rad", "--format",
                         "reflectance", "--white", "260:399,40:239", "--white-reflectance", "0.95"},
                        o, error))
        << error;
    EXPECT_EQ(o.acq.white, "260:399,40:239");
    EXPECT_DOUBLE_EQ(o.acq.whiteReflectance, 0.95);

    // Found when the files and the cube's size are known: before anything is acquired.
    ASSERT_TRUE(controller.Start());
    EXPECT_EQ(Run({"--simulate", "--dark-file", dir.File("none.drk"), "--format", "radiance", "--out",
                   dir.File("a")}),
              kAcquireBadArguments);
    EXPECT_NE(err.find("[Strata] Unable to open Dark Frame File: " + dir.File("none.drk")), std::string::npos)
        << err;
    EXPECT_EQ(Run({"--simulate", "--dark", "--format", "reflectance", "--white", "600:700,0:10", "--out",
                   dir.File("b")}),
              kAcquireBadArguments);
    EXPECT_NE(err.find("The white reference's lines 600 to 700 leave the cube's lines 0 to 695."),
              std::string::npos)
        << err;
    EXPECT_FALSE(FileExists(dir.File("b_dark.drk")));
    EXPECT_FALSE(FileExists(dir.File("b.cube")));
}

TEST_F(RadiometricAcquire, RawFilesKeepTheBytesTheyHadBeforeCorrectedCubesExisted) {
    // The checksums of the standard file and its header of the simulated chart, made before the
    // corrected formats were added (a flat imager, the shipped settings).
    SimOptics::Instance().vignetting = 0.0;
    ASSERT_TRUE(controller.Start());
    ASSERT_EQ(Run({"--simulate", "--quiet", "--format", "standard", "--out", dir.File("scan")}), kAcquireOk)
        << err;
    const auto sums = RunCommand("cd '" + dir.Path().string() + "' && md5sum scan.cube scan.hdr");
    ASSERT_TRUE(sums.has_value());
    EXPECT_EQ(*sums, "6193ca9abba1d72b9440a6011aa9961a  scan.cube\n"
                     "6f2180f6a9b987850e8abd0ff186ccab  scan.hdr\n");
}

TEST_F(RadiometricAcquire, EveryRawFormatAndTheDarkStackKeepTheirBytes) {
    // Checksums made with the program as it was before the engine's buffers became private and the
    // dark frame and gains moved into their store (a flat imager, the shipped settings, no noise):
    // the same simulated cube saved in each raw layout, its dark stack, and the bitmap.
    SimOptics::Instance().vignetting = 0.0;
    ASSERT_TRUE(controller.Start());
    ASSERT_EQ(Run({"--simulate", "--quiet", "--dark", "--format", "bil", "--out", dir.File("bil")}),
              kAcquireOk)
        << err;
    for (const char* format : {"bsq", "bip", "bitmap"})
        ASSERT_EQ(Run({"--simulate", "--quiet", "--format", format, "--out", dir.File(format)}), kAcquireOk)
            << format << ": " << err;
    const auto sums =
        RunCommand("cd '" + dir.Path().string() +
                   "' && md5sum bil.cube bil.hdr bil_dark.drk bsq.cube bsq.hdr bip.cube bip.hdr bitmap");
    ASSERT_TRUE(sums.has_value());
    EXPECT_EQ(*sums, "a483a7c8756551d4d2512408723420cf  bil.cube\n"
                     "c72c250b0ca1217d9104fdffd300b176  bil.hdr\n"
                     "55e66d740168802c135e359975445532  bil_dark.drk\n"
                     "56b168d89e2367c93dc2d7489916ee3b  bsq.cube\n"
                     "691dae1a00e19a843d5594d1c2ee7f5b  bsq.hdr\n"
                     "82aa0da0380f40ee2a9101d994be063d  bip.cube\n"
                     "38bb7efc58383a92e0e2baff7fd8028a  bip.hdr\n"
                     "8b54376816658325c6ba293688ad86bd  bitmap\n");
}
