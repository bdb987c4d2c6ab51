// "arv300 acquire": unattended acquisitions on the simulated instrument, their files, messages and
// exit codes, and the same bytes as the window's savers.
#include "app/AcquireCommand.h"
#include "app/ConvertCommand.h"
#include "app/stratadlg.h"
#include "camera/FakeCameraPattern.h"
#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "storage/CubeWriters.h"
#include "support/AcquireRun.h"
#include "tests/storage/StorageTestSupport.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {
class Acquire : public ::testing::Test {
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
        SimCameras::Instance().Shutdown();
        cameras.clockScale = 3.0;
        SimCameras::Instance().Configure(cameras);
        SimOptics::Instance().target = SimTarget::Scene;
        SimOptics::Instance().noise = false;
        options.acquire = true;
        options.nonInteractive = true;
    }
    void TearDown() override {
        SimCameras::Instance().Shutdown();
        controller.Shutdown();
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
        std::filesystem::current_path(previous);
    }
    // Runs the command; its stdout and stderr land in out and err.
    int Run() {
        SimCameras::Instance().Shutdown();
        SimCameras::Instance().Configure(cameras);
        AcquireOutput r = RunAcquireCaptured(options);
        out = std::move(r.out);
        err = std::move(r.err);
        return r.code;
    }
    static uint64_t FileSize(const std::string& path) {
        std::error_code ec;
        const auto n = std::filesystem::file_size(path, ec);
        return ec ? 0 : uint64_t(n);
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TempDir dir;
    std::filesystem::path previous;
    SimCameraSettings cameras;
    SimController controller{"COM1"};
    AppOptions options;
    std::string out, err;
};
} // namespace

TEST_F(Acquire, BilScanOpensInGdalWithTheHeadersWavelengths) {
    ASSERT_TRUE(controller.Start());
    options.acq.format = "bil";
    options.acq.out = dir.File("scan");
    ASSERT_EQ(Run(), kAcquireOk) << err;
    EXPECT_NE(out.find("wrote " + dir.File("scan.cube") + " (92651520 bytes) and " + dir.File("scan.hdr") +
                       ", 696 lines, frame rate =  "),
              std::string::npos)
        << out;
    const std::string python = PythonWithGdal();
    ASSERT_FALSE(python.empty());
    const auto read = RunCommand(python + " " + ARV_SOURCE_DIR "/tests/storage/read_envi.py " +
                                 dir.File("scan.hdr") + " " + dir.File("scan.cube") + " --sum");
    ASSERT_TRUE(read.has_value());
    std::istringstream lines(*read);
    std::string gdalGeometry, sums, waves;
    std::getline(lines, gdalGeometry);
    std::getline(lines, sums);
    std::getline(lines, waves);
    EXPECT_EQ(gdalGeometry, "gdal 696 520 128 uint16");
    // The header's wavelengths: c0 + c1 i + c2 i^2 = 400, 400 + 2.3 + 0.00095, 400 + 4.6 + 0.0038 ...
    EXPECT_EQ(waves.rfind("400.000000 402.300950 404.603800 ", 0), 0u) << waves.substr(0, 60);
}

TEST_F(Acquire, SameBytesAsTheWindowsSaver) {
    ASSERT_TRUE(controller.Start());
    ScriptedPrompts prompts;
    {
        CStrataDlg dlg(prompts, StrataOptions{});
        ASSERT_EQ(dlg.OnInitDialog(), 0);
        dlg.OnCommand(ID_TB_START_CUBE);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.Engine().Busy(); }, 60000));
        prompts.QueueSavePath(dir.File("window"));
        // The dialog's OK with "BIL" and "Create Header" ticked.
        QTimer::singleShot(0, [&] {
            QWidget* formatting = QApplication::activeModalWidget();
            ASSERT_NE(formatting, nullptr);
            FindControl<QRadioButton>(formatting, 1054)->click();
            FindControl<QPushButton>(formatting, IDOK)->click();
        });
        dlg.OnCommand(ID_TB_SAVE_CUBE);
        dlg.close();
    }
    SimMirror::Instance().Reset(0);
    options.acq.format = "bil";
    options.acq.out = dir.File("command");
    ASSERT_EQ(Run(), kAcquireOk) << err;
    const std::string window = Read(dir.File("window.cube"));
    ASSERT_EQ(window.size(), 92651520u);
    EXPECT_TRUE(window == Read(dir.File("command.cube")));
    EXPECT_EQ(Read(dir.File("window.hdr")), Read(dir.File("command.hdr")));
}

TEST_F(Acquire, DarkStackUnderTheLensCapThenRepeatedScans) {
    ASSERT_TRUE(controller.Start());
    options.acq.dark = true;
    options.acq.scans = 2;
    options.acq.format = "standard";
    options.acq.out = dir.File("s{n}");
    ASSERT_EQ(Run(), kAcquireOk) << err;
    EXPECT_EQ(FileSize(dir.File("s_dark.drk")), 3493888u);
    EXPECT_EQ(FileSize(dir.File("s1.cube")), 92950528u);
    EXPECT_EQ(FileSize(dir.File("s2.cube")), 92950528u);
    EXPECT_TRUE(FileExists(dir.File("s1.hdr")));
    // The dark file's first value after the header: offset only, 800 >> 4 = 50.
    const std::string dark = Read(dir.File("s_dark.drk"));
    EXPECT_EQ(uint8_t(dark[32768]) | (uint8_t(dark[32769]) << 8), 50);
    // The files stay raw: the cube's last trailing frame (the dark frame) is written, the lines are
    // not reduced by it (a white reference pixel still reads 2900 in the standard file's line order).
    EXPECT_EQ(SimOptics::Instance().target.load(), SimTarget::Scene);
    const size_t lineBytes = 128u * 520u * 2u;
    const std::string cube = Read(dir.File("s1.cube"));
    // Cube line 300 is the file's line 695 - 300; band 10, sample 300 at position 219.
    const size_t at = 32768 + size_t(695 - 300) * lineBytes + (10u * 520u + 219u) * 2u;
    EXPECT_EQ(uint8_t(cube[at]) | (uint8_t(cube[at + 1]) << 8), 2900);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
}

TEST_F(Acquire, FailuresEndWithTheirMessageAndCode) {
    // No controller answering on COM1.
    controller.SetSilent(true);
    ASSERT_TRUE(controller.Start());
    options.acq.out = dir.File("x");
    EXPECT_EQ(Run(), kAcquireScannerOffline);
    EXPECT_NE(err.find("[Scanner Communication Problem] Please Check COM Port Settings"), std::string::npos)
        << err;
    EXPECT_FALSE(FileExists(dir.File("x.cube")));
    // Allowed to scan without the mirror: the cube is taken where the mirror stands.
    options.acq.allowNoMirror = true;
    options.acq.format = "bil";
    EXPECT_EQ(Run(), kAcquireOk) << err;
    EXPECT_TRUE(FileExists(dir.File("x.cube")));
    // An output folder that does not exist.
    controller.SetSilent(false);
    options.acq.allowNoMirror = false;
    options.acq.out = dir.File("missing/folder/x");
    EXPECT_EQ(Run(), kAcquireSaveFailed);
    EXPECT_NE(err.find("unable to save cube"), std::string::npos) << err;
    // No data camera.
    cameras.cameraCount = 1;
    EXPECT_EQ(Run(), kAcquireNoDataCamera);
    EXPECT_NE(
        err.find("[Camera Not Connected] Please Check Camera Connection and Power - Application Closing"),
        std::string::npos);
}

TEST_F(Acquire, MirrorThatNeverArrivesEndsTheCommand) {
    // The scan starts at 100000 counts, where the stuck mirror never gets.
    std::string settings = Read(dir.File("Settings/ARV300_Scanner_Settings.txt"));
    settings.replace(settings.find("Scanner_home_position 0"), 23, "Scanner_home_position 100000");
    std::ofstream(dir.File("Settings/ARV300_Scanner_Settings.txt"), std::ios::binary) << settings;
    controller.SetNeverArrives(true);
    ASSERT_TRUE(controller.Start());
    options.acq.out = dir.File("x");
    EXPECT_EQ(Run(), kAcquireMirrorTimeout);
    EXPECT_NE(err.find("Mirror did not reach 100000"), std::string::npos) << err;
    EXPECT_FALSE(FileExists(dir.File("x.cube")));
    controller.SetNeverArrives(false);
}

TEST_F(Acquire, AMirrorStuckAtTheScanStartIsReportedAfterTheLastLine) {
    // The mirror stands at the scan start (0) and never moves from there: the start is reached, the
    // steps are not carried out.
    controller.SetNeverArrives(true);
    ASSERT_TRUE(controller.Start());
    options.acq.format = "bil";
    options.acq.scans = 2;
    options.acq.out = dir.File("scan{n}");
    EXPECT_EQ(Run(), kAcquireMirrorTimeout) << err;
    EXPECT_NE(err.find("[Scanner] Mirror did not follow the scan: at 0 after the last line, sent to 8352\n"),
              std::string::npos)
        << err;
    // The lines are written, the summary says what happened, and the series ends there.
    EXPECT_NE(out.find(", 696 lines, frame rate = "), std::string::npos) << out;
    EXPECT_NE(out.find("; the mirror did not follow the scan (at 0 after the last line, sent to 8352)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(FileSize(dir.File("scan1.cube")), 92651520u);
    EXPECT_FALSE(FileExists(dir.File("scan2.cube")));
    controller.SetNeverArrives(false);
    // A mirror that follows gives no such text.
    options.acq.scans = 1;
    EXPECT_EQ(Run(), kAcquireOk) << err;
    EXPECT_EQ(err.find("did not follow"), std::string::npos) << err;
}

TEST_F(Acquire, AStepThatWouldLeaveTheMirrorsRangeIsRefusedAndTheScanKeepsTheDefault) {
    // A missing decimal point: 12000000 instead of 12.000000.
    std::string settings = Read(dir.File("Settings/ARV300_Scanner_Settings.txt"));
    settings.replace(settings.find("Scanner_Step_size 12.000000"), 27, "Scanner_Step_size 12000000");
    std::ofstream(dir.File("Settings/ARV300_Scanner_Settings.txt"), std::ios::binary) << settings;
    ASSERT_TRUE(controller.Start());
    options.acq.format = "bil";
    options.acq.out = dir.File("scan");
    ASSERT_EQ(Run(), kAcquireOk) << err;
    EXPECT_NE(
        err.find("[Strata] ARV300_Scanner_Settings.txt: line 7, Scanner_Step_size 12000000: a scan of 696 "
                 "lines from the Scan Start Position 0 would leave the mirror's range"),
        std::string::npos)
        << err;
    // Every move of the scan was a 12-count step; nothing outside the range went to the mirror.
    int steps = 0;
    for (const std::string& c : controller.ReceivedCommands()) {
        if (c.rfind("LA", 0) != 0)
            continue;
        const long long position = std::stoll(c.substr(2));
        EXPECT_TRUE(position >= 0 && position <= 696 * 12) << c;
        steps += 1;
    }
    EXPECT_GE(steps, 697);
    EXPECT_EQ(controller.CountOf("LA8352\n"), 1u);
}

TEST_F(Acquire, ACameraThatStopsMidScanEndsTheCommandWithTheLinesSaved) {
    ASSERT_TRUE(controller.Start());
    // The camera dies when the mirror reaches 4200 counts, about line 350 of the default scan.
    cameras.stopDeliveringAt = 4200;
    options.acq.format = "bil";
    options.acq.scans = 2;
    options.acq.out = dir.File("scan{n}");
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Run(), kAcquireCameraStopped) << err;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(40));
    EXPECT_NE(err.find("[Strata] The data camera stopped delivering frames: none came for "),
              std::string::npos)
        << err;
    // One summary line: the series ends with the camera.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_FALSE(FileExists(dir.File("scan2.cube")));
    const size_t at = out.find(" lines, frame rate = ");
    ASSERT_NE(at, std::string::npos) << out;
    const int lines = std::stoi(out.substr(out.rfind(", ", at - 1) + 2));
    EXPECT_GT(lines, 200);
    EXPECT_LT(lines, 500);
    EXPECT_NE(out.find("; ended: the data camera stopped delivering frames\n"), std::string::npos) << out;
    // The lines taken are in the file, the rest is zero.
    const std::string cube = Read(dir.File("scan1.cube"));
    ASSERT_EQ(cube.size(), 92651520u);
    const size_t lineBytes = 128u * 520u * 2u;
    int zeroLines = 0;
    for (size_t l = 0; l < 696; ++l)
        zeroLines += std::all_of(cube.begin() + long(l * lineBytes), cube.begin() + long((l + 1) * lineBytes),
                                 [](char c) { return c == 0; });
    EXPECT_EQ(zeroLines, 696 - lines);
    // The drive was switched off at the end.
    EXPECT_EQ(controller.ReceivedCommands().back(), "DI\n");
}

TEST_F(Acquire, ACameraThatDeliversNothingEndsADarkStackWithoutAFile) {
    ASSERT_TRUE(controller.Start());
    cameras.stopDeliveringAt = std::numeric_limits<int32_t>::min();
    options.acq.dark = true;
    options.acq.out = dir.File("s");
    ASSERT_EQ(Run(), kAcquireCameraStopped) << err;
    EXPECT_NE(err.find("ended after 0 lines"), std::string::npos) << err;
    EXPECT_FALSE(FileExists(dir.File("s_dark.drk")));
    EXPECT_FALSE(FileExists(dir.File("s.cube")));
    EXPECT_EQ(out, "");
}

TEST(AcquireOptions, ParsedAndRefused) {
    AppOptions o;
    std::string error;
    ASSERT_TRUE(ParseAppOptions({"arv300", "acquire", "--format", "movie", "--scans", "3", "--interval", "60",
                                 "--out", "/tmp/s{n}", "--dark", "--no-header", "--quiet"},
                                o, error))
        << error;
    EXPECT_TRUE(o.acquire);
    EXPECT_EQ(o.acq.format, "movie");
    EXPECT_EQ(o.acq.scans, 3);
    EXPECT_DOUBLE_EQ(o.acq.intervalSeconds, 60.0);
    EXPECT_TRUE(o.acq.dark && o.acq.quiet && !o.acq.createHeader);
    AppOptions bad;
    EXPECT_FALSE(ParseAppOptions({"arv300", "acquire", "--format", "tiff"}, bad, error));
    EXPECT_FALSE(ParseAppOptions({"arv300", "acquire", "--scans", "0"}, bad, error));
    // Acquisition options mean nothing to the window.
    AppOptions window;
    EXPECT_FALSE(ParseAppOptions({"arv300", "--scans", "2"}, window, error));
}

TEST(AcquireOptions, NumbersOutsideTheirMeaningAreRefusedWithTheirRange) {
    struct Case {
        std::vector<QString> words;
        std::string message; // empty: accepted
    };
    const std::string integration = "--integration takes milliseconds from 0.001 to 60000";
    const std::string interval = "--interval takes seconds, above 0 and at most 86400 (a day)";
    const std::vector<Case> cases = {
        {{"--integration", "inf"}, integration},
        {{"--integration", "nan"}, integration},
        {{"--integration", "1e300"}, integration},
        {{"--integration", "0"}, integration},
        {{"--integration", "-1"}, integration},
        {{"--integration", "0.0009"}, integration},
        {{"--integration", "60000.5"}, integration},
        {{"--integration", "12ms"}, integration},
        {{"--integration", "0.001"}, ""},
        {{"--integration", "60000"}, ""},
        {{"--interval", "1e10"}, interval},
        {{"--interval", "86400.001"}, interval},
        {{"--interval", "0"}, interval},
        {{"--interval", "-inf"}, interval},
        {{"--interval", "86400"}, ""},
        {{"--gain", "0"}, "--gain takes a whole number from 1 to 1000"},
        {{"--gain", "1001"}, "--gain takes a whole number from 1 to 1000"},
        {{"--gain", "2.5"}, "--gain takes a whole number from 1 to 1000"},
        {{"--gain", "99999999999"}, "--gain takes a whole number from 1 to 1000"},
        {{"--scans", "100001"}, "--scans takes a whole number from 1 to 100000"},
        {{"--scans", "100000"}, ""},
        {{"--period", "0"}, "--period takes whole milliseconds from 1 to 3600000"},
        {{"--period", "3600001"}, "--period takes whole milliseconds from 1 to 3600000"},
        {{"--mirror-stall", "nan"}, "--mirror-stall takes a number of seconds (above 0, at most 3600)"},
        {{"--mirror-stall", "inf"}, "--mirror-stall takes a number of seconds (above 0, at most 3600)"},
        {{"--sim-clock-scale", "1e300"}, "--sim-clock-scale takes a number from 0.01 to 1000"},
        {{"--sim-clock-scale", "inf"}, "--sim-clock-scale takes a number from 0.01 to 1000"},
        {{"--sim-mirror-speed", "inf"}, "--sim-mirror-speed takes counts per second from 1 to 1000000000"},
        {{"--sim-camera-stops-at", "2147483648"},
         "--sim-camera-stops-at takes a mirror position (a whole number of 32 bits)"},
    };
    for (const Case& c : cases) {
        QStringList args = {"arv300", "acquire"};
        for (const QString& w : c.words)
            args << w;
        SCOPED_TRACE(args.join(' ').toStdString());
        AppOptions o;
        const AppOptions defaults;
        std::string error;
        const bool ok = ParseAppOptions(args, o, error);
        EXPECT_EQ(ok, c.message.empty());
        EXPECT_EQ(error, c.message);
        if (!ok) {
            // Nothing of the refused value was kept.
            EXPECT_EQ(o.acq.integrationMs, defaults.acq.integrationMs);
            EXPECT_EQ(o.acq.intervalSeconds, defaults.acq.intervalSeconds);
            EXPECT_EQ(o.acq.gain, defaults.acq.gain);
            EXPECT_EQ(o.acq.scans, defaults.acq.scans);
        }
    }
    // The window's screenshot options name their ranges too.
    std::string error;
    AppOptions w;
    EXPECT_FALSE(ParseAppOptions({"arv300", "--rgb", "47,27,128"}, w, error));
    EXPECT_EQ(error, "--rgb takes three band numbers from 0 to 127");
    EXPECT_FALSE(ParseAppOptions({"arv300", "--probe", "696,10"}, w, error));
    EXPECT_EQ(error, "--probe takes X,Y of the picture (0 to 695, 0 to 519)");
    EXPECT_FALSE(ParseAppOptions({"arv300", "--screenshot-line", "696"}, w, error));
    EXPECT_EQ(error, "--screenshot-line takes a line number from 0 to 695");
    EXPECT_TRUE(ParseAppOptions({"arv300", "--image-scale", "0:4096", "--probe", "695,519"}, w, error))
        << error;
}

// ---------------------------------------------------------------------------------------------
// "arv300 convert"

namespace {
class Convert : public Acquire {
protected:
    void SetUp() override {
        Acquire::SetUp();
        options = AppOptions{};
        options.convert = true;
        // A cube whose values name their place: (l * 7 + b * 3 + p) mod 4096.
        pattern.resize(size_t(696) * 128 * 520);
        for (size_t l = 0; l < 696; ++l)
            for (size_t b = 0; b < 128; ++b)
                for (size_t p = 0; p < 520; ++p)
                    pattern[(l * 128 + b) * 520 + p] = uint16_t((l * 7 + b * 3 + p) % 4096);
        int error = 0;
        ASSERT_TRUE(ReadDefaultCalibrationFile(DefaultCalibrationPath(1), calibration, &error));
    }
    int RunConvertCommand(const std::string& in, const std::string& format, const std::string& outPath) {
        options.conv.input = in;
        options.conv.format = format;
        options.conv.out = outPath;
        FILE* o = std::tmpfile();
        FILE* e = std::tmpfile();
        const int code = RunConvert(options, o, e);
        out = ReadBackAndClose(o);
        err = ReadBackAndClose(e);
        return code;
    }
    std::vector<uint16_t> pattern;
    DefaultCalibration calibration;
};
} // namespace

TEST_F(Convert, StandardToBilAndBackGivesTheSavedBytes) {
    const CubeGeometry g{};
    CubeHeaderInfo info;
    info.exposureMs = 10.0; // the shipped camera settings' integration time
    info.calibration = calibration;
    ASSERT_TRUE(WriteStandardCubeFile(dir.File("in.cube"), pattern.data(), g, nullptr, info));
    ASSERT_EQ(RunConvertCommand(dir.File("in.cube"), "bil", dir.File("out")), kConvertOk) << err;
    EXPECT_EQ(out, "wrote " + dir.File("out.cube") + " (92651520 bytes) and " + dir.File("out.hdr") +
                       ", 696 lines, from " + dir.File("in.cube") + ", line record " +
                       dir.File("out.lines.csv") + "\n");
    EXPECT_EQ(err, "");
    ASSERT_TRUE(WriteBilCubeFile(dir.File("direct.cube"), pattern.data(), g));
    EXPECT_TRUE(Read(dir.File("out.cube")) == Read(dir.File("direct.cube")));
    EXPECT_EQ(Read(dir.File("out.hdr")),
              BuildEnviHeaderText(696, 520, 128, 0, kInterleaveBil, calibration.coeffs, 0, 511));
    // The input has no line record: the new one says where the cube came from.
    EXPECT_EQ(Read(dir.File("out.lines.csv")), "# ARV300 line record of out.cube\n"
                                               "# no cube acquisition was recorded\n"
                                               "# note: converted from " +
                                                   dir.File("in.cube") +
                                                   ", which has no line record\n"
                                                   "line,ms,position,dropped_before,link_up\n");
    // Back to the program's own format: the bytes of the first file, and the record goes along.
    ASSERT_EQ(RunConvertCommand(dir.File("out.hdr"), "standard", dir.File("back.cube")), kConvertOk) << err;
    EXPECT_TRUE(Read(dir.File("back.cube")) == Read(dir.File("in.cube")));
    EXPECT_EQ(Read(dir.File("back.lines.csv")), Read(dir.File("out.lines.csv")));
    // And a bitmap of the picture the window would show.
    ASSERT_EQ(RunConvertCommand(dir.File("in.cube"), "bitmap", dir.File("picture.bmp")), kConvertOk) << err;
    EXPECT_EQ(FileSize(dir.File("picture.bmp")), 54u + 696u * 520u * 3u);
}

TEST_F(Convert, UnreadableInputsAndUnwritableOutputsEndWithTheirCode) {
    const CubeGeometry g{};
    ASSERT_TRUE(WriteBilCubeFile(dir.File("in.cube"), pattern.data(), g));
    // No header beside it.
    EXPECT_EQ(RunConvertCommand(dir.File("in.cube"), "standard", dir.File("x")), kConvertUnreadable);
    EXPECT_EQ(err,
              "[Strata] in.cube is not a cube of the program's own format, and no ENVI header (in.hdr) lies "
              "beside it\n");
    EXPECT_EQ(out, "");
    // Truncated.
    ASSERT_TRUE(WriteEnviHeader(dir.File("in.cube"), BuildEnviHeaderText(696, 520, 128, 0, kInterleaveBil,
                                                                         calibration.coeffs, 0, 511)));
    std::filesystem::resize_file(dir.File("in.cube"), 92651520u - 2u);
    EXPECT_EQ(RunConvertCommand(dir.File("in.cube"), "standard", dir.File("x")), kConvertUnreadable);
    EXPECT_NE(err.find("in.cube is truncated: 92651518 bytes"), std::string::npos) << err;
    EXPECT_FALSE(FileExists(dir.File("x.cube")));
    // An output folder that does not exist.
    std::filesystem::resize_file(dir.File("in.cube"), 92651520u);
    EXPECT_EQ(RunConvertCommand(dir.File("in.cube"), "bsq", dir.File("missing/x")), kConvertSaveFailed);
    EXPECT_EQ(err, "[Strata] unable to save cube\n");

    // Arguments.
    AppOptions o;
    std::string error;
    EXPECT_TRUE(ParseAppOptions(
        {"arv300", "convert", "a.cube", "--format", "bsq", "--out", "b", "--no-header"}, o, error))
        << error;
    EXPECT_TRUE(o.convert && !o.conv.createHeader);
    EXPECT_EQ(o.conv.input, "a.cube");
    AppOptions noOut, twoInputs, tiff, scans;
    EXPECT_FALSE(ParseAppOptions({"arv300", "convert", "a.cube", "--format", "bsq"}, noOut, error));
    EXPECT_EQ(error, "usage: arv300 convert IN --format F --out OUT (see arv300 convert --help)");
    EXPECT_FALSE(
        ParseAppOptions({"arv300", "convert", "a", "b", "--format", "bil", "--out", "c"}, twoInputs, error));
    EXPECT_EQ(error, "convert takes one input file (a and b given)");
    EXPECT_FALSE(ParseAppOptions({"arv300", "convert", "a", "--format", "tiff", "--out", "c"}, tiff, error));
    EXPECT_FALSE(ParseAppOptions({"arv300", "convert", "a", "--scans", "2", "--format", "bil", "--out", "c"},
                                 scans, error));
    AppOptions help;
    EXPECT_TRUE(ParseAppOptions({"arv300", "convert", "--help"}, help, error));
    EXPECT_TRUE(help.help);
}

// ---------------------------------------------------------------------------------------------
// The line record beside every cube

namespace {
struct RecordRow {
    int line = 0;
    double ms = 0;
    long position = 0;
    unsigned dropped = 0;
    int linkUp = 0;
};
// The comment lines and the rows of a line record.
std::pair<std::vector<std::string>, std::vector<RecordRow>> ParseRecord(const std::string& text) {
    std::vector<std::string> comments;
    std::vector<RecordRow> rows;
    std::istringstream in(text);
    std::string line;
    bool header = false;
    while (std::getline(in, line)) {
        if (line.rfind("#", 0) == 0) {
            comments.push_back(line);
            continue;
        }
        if (!header) {
            EXPECT_EQ(line, "line,ms,position,dropped_before,link_up");
            header = true;
            continue;
        }
        RecordRow r;
        char c1, c2, c3, c4;
        std::istringstream fields(line);
        fields >> r.line >> c1 >> r.ms >> c2 >> r.position >> c3 >> r.dropped >> c4 >> r.linkUp;
        EXPECT_TRUE(fields && c1 == ',' && c2 == ',' && c3 == ',' && c4 == ',') << line;
        rows.push_back(r);
    }
    return {comments, rows};
}
} // namespace

TEST_F(Acquire, EveryCubeGetsItsLineRecord) {
    ASSERT_TRUE(controller.Start());
    options.acq.format = "bil";
    options.acq.out = dir.File("scan");
    ASSERT_EQ(Run(), kAcquireOk) << err;
    const auto [comments, rows] = ParseRecord(Read(dir.File("scan.lines.csv")));
    ASSERT_EQ(rows.size(), 696u);
    // The shipped settings: scan start 0, 12 counts per line, 10 ms, gain 1, 50 frames/s.
    EXPECT_EQ(comments[0], "# ARV300 line record of scan.cube");
    for (const char* expected : {"# integration_ms: 10.000", "# gain: 1", "# frame_rate_hz: 50.000",
                                 "# scan_start: 0", "# scan_step: 12", "# simulated: cameras, COM1, COM4"})
        EXPECT_NE(std::find(comments.begin(), comments.end(), expected), comments.end()) << expected;
    EXPECT_NE(std::find_if(comments.begin(), comments.end(),
                           [](const std::string& c) { return c.rfind("# camera: id 0x", 0) == 0; }),
              comments.end());
    // The camera runs three times faster than real time here: one frame every 20 / 3 ms.
    const double period = 20.0 / 3.0;
    std::vector<double> steps;
    int withDrops = 0;
    for (size_t l = 0; l < rows.size(); ++l) {
        EXPECT_EQ(rows[l].line, int(l));
        EXPECT_EQ(rows[l].position, long(l) * 12) << l;
        EXPECT_EQ(rows[l].linkUp, 1) << l;
        withDrops += rows[l].dropped > 0;
        if (l > 0) {
            EXPECT_GT(rows[l].ms, rows[l - 1].ms) << l;
            steps.push_back((rows[l].ms - rows[l - 1].ms) / (1 + rows[l].dropped));
        }
    }
    // About one frame period from line to line (per frame that arrived).
    std::sort(steps.begin(), steps.end());
    EXPECT_NEAR(steps[steps.size() / 2], period, 0.3 * period);
    EXPECT_NE(out.find(", lines after dropped frames: " + std::to_string(withDrops) + ", line record " +
                       dir.File("scan.lines.csv") + "\n"),
              std::string::npos)
        << out;
}

TEST_F(Acquire, FramesLostToAFastClockShowInTheRecord) {
    ASSERT_TRUE(controller.Start());
    // A frame every half millisecond: far more than the callback keeps up with.
    cameras.clockScale = 40.0;
    options.acq.format = "bil";
    options.acq.out = dir.File("fast");
    options.acq.createHeader = false;
    SimCameras::Instance().ResetCounters();
    ASSERT_EQ(Run(), kAcquireOk) << err;
    const auto [comments, rows] = ParseRecord(Read(dir.File("fast.lines.csv")));
    ASSERT_EQ(rows.size(), 696u);
    uint64_t lost = 0;
    int withDrops = 0;
    for (const RecordRow& r : rows) {
        lost += r.dropped;
        withDrops += r.dropped > 0;
    }
    EXPECT_GT(withDrops, 0);
    EXPECT_GT(lost, 0u);
    EXPECT_NE(out.find("lines after dropped frames: " + std::to_string(withDrops) + ","), std::string::npos)
        << out;
}

TEST_F(Acquire, GenicamFakeCameraCubeFollowsItsRampAndOpensInGdal) {
    ASSERT_TRUE(controller.Start());
    options.devices.dataCamera = CameraChoice::Parse("genicam:Fake_1");
    options.acq.format = "bil";
    options.acq.out = dir.File("scan");
    ASSERT_EQ(Run(), kAcquireOk) << err;
    EXPECT_EQ(err.rfind("Simulated: COM1, COM4\n", 0), 0u) << err;
    EXPECT_NE(out.find(", 696 lines, frame rate =  "), std::string::npos) << out;
    // Every line of the file is one frame of the fake camera's ramp (10 ms, gain 1), in order.
    const std::string body = Read(dir.File("scan.cube"));
    ASSERT_EQ(body.size(), 92651520u);
    std::vector<uint16_t> line(128 * 520);
    const FakeCameraPattern pattern = FakeCameraPattern::For(10.0, 1.0);
    long first = -1, frame = -1;
    for (int l = 0; l < 696; ++l) {
        std::memcpy(line.data(), body.data() + size_t(l) * line.size() * 2, line.size() * 2);
        frame = frame < 0 ? pattern.FrameOf(line.data(), 0, 65535)
                          : pattern.FrameOf(line.data(), frame + 1, 2000);
        ASSERT_GE(frame, 0) << "line " << l;
        if (l == 0)
            first = frame;
    }
    // GDAL sees 696 lines of 520 samples in 128 bands, and the ramp at line 0, sample 0 (the last
    // column the cube takes from the frame, column 607).
    const std::string python = PythonWithGdal();
    ASSERT_FALSE(python.empty());
    const auto read = RunCommand(python + " " + ARV_SOURCE_DIR "/tests/storage/read_envi.py " +
                                 dir.File("scan.hdr") + " " + dir.File("scan.cube") + " --sum");
    ASSERT_TRUE(read.has_value());
    std::istringstream lines(*read);
    std::string geometry, sums;
    std::getline(lines, geometry);
    std::getline(lines, sums);
    EXPECT_EQ(geometry, "gdal 696 520 128 uint16");
    std::istringstream values(sums);
    long long total = 0;
    values >> total;
    for (int k = 0; k < 128; ++k) {
        int v = -1;
        values >> v;
        ASSERT_EQ(v, pattern.CubeValue(519, k, first)) << "band " << k;
    }
}
