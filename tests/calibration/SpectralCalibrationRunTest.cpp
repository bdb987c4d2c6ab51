// The spectral calibration run on its own thread, driven by fakes written here: a camera whose line
// follows a fake monochromator and the integration time, a stack in memory, and a record of every
// message and status text. What is checked: the moves, the list files, the stack layout of each saved
// wavelength, the exposure changes, the run's end messages, Stop during a frame or a wait, and the
// camera's time limit.
#include "calibration/SpectralCalibrationRun.h"

#include "calibration/SpectralCalibration.h"
#include "core/Sleep.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>

namespace {

// 6 columns, 12 rows (3 bands of 4 rows), stacks of 4 frames.
constexpr int kW = 6, kB = 3, kN = 4;

CubeGeometry Small() {
    CubeGeometry g;
    g.width = kW;
    g.height = 8;
    g.bands = kB;
    g.darkLines = kN;
    return g;
}

struct Saved {
    int k;
    std::string path;
    double exposure;
    std::vector<uint16_t> stack;
};

class SpectralRun : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.01);
        dir =
            std::filesystem::temp_directory_path() /
            ("arv_spectral_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(dir);
        stack.assign(size_t(kN) * kB * kW, 0);
        setup.prefix = (dir / "cal").string();
        setup.geometry = Small();
        setup.wavelengthStart = 450;
        setup.wavelengthEnd = 510;
        setup.wavelengthStep = 30;
        setup.exposure = 100;
        setup.frameRate = 20;
        setup.moveMonochromator = [this](int port, int wavelength) {
            std::lock_guard lock(m);
            moves.emplace_back(port, wavelength);
            nm = wavelength;
            return true;
        };
        setup.moveMirrorToCentre = [this] { Log("mirror"); };
        setup.applyCameraSettings = [this] {
            Log("apply");
            return 20.0;
        };
        setup.setExposure = [this](double e) {
            exposure = e;
            Log("exposure " + std::to_string(int(e)));
            return 10.0;
        };
        setup.takeFrame = [this](std::vector<uint16_t>& frame, int timeoutMs) {
            timeouts.push_back(timeoutMs);
            frame = Frame();
            return true;
        };
        setup.writeStack = [this](size_t offset, const uint16_t* values, size_t count) {
            ASSERT_LE(offset + count, stack.size());
            std::copy_n(values, count, stack.begin() + long(offset));
        };
        setup.saveStack = [this](int k, const std::string& path, double e) {
            saved.push_back({k, path, e, stack});
            return path == failingSave ? FileResult::WriteFailed : FileResult::Ok;
        };
        setup.fileNamed = [this](int k, const std::string& name) {
            Log("named " + std::to_string(k) + " " + std::filesystem::path(name).filename().string());
        };
        setup.message = [this](const std::string& text) { Log("message " + text); };
        setup.status = [this](int pane, const std::string& text) {
            Log("status " + std::to_string(pane) + " " + text);
        };
        setup.finished = [this](const SpectralCalResult& r) { finished.set_value(r); };
    }
    void TearDown() override {
        run.Stop();
        run.Join();
        SetSleepScale(1.0);
        std::filesystem::remove_all(dir);
    }
    void Log(const std::string& text) {
        std::lock_guard lock(m);
        log.push_back(text);
    }
    std::vector<std::string> Logged(const std::string& start) {
        std::lock_guard lock(m);
        std::vector<std::string> out;
        for (const std::string& s : log)
            if (s.rfind(start, 0) == 0)
                out.push_back(s);
        return out;
    }
    // The camera: the line lies in band (nm - 450) / 30 % 3 (binned band numbering) with the value
    // brightness * exposure; the other bands hold the frame number, and column x adds x to every
    // value, so that the order of frames and columns can be told apart.
    std::vector<uint16_t> Frame() {
        const int band = (nm - 450) / 30 % kB;
        const int line = int(brightness * exposure);
        std::vector<uint16_t> f(size_t(4 * kB) * kW);
        for (int r = 0; r < 4 * kB; ++r) {
            // Binned band b comes from rows 4 (B - 1 - b) ... 4 (B - 1 - b) + 3.
            const int b = kB - 1 - r / 4;
            for (int x = 0; x < kW; ++x)
                f[size_t(r * kW + x)] = uint16_t(16 * ((b == band ? line : served) + x));
        }
        ++served;
        return f;
    }
    SpectralCalResult Result() {
        auto future = finished.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        run.Join();
        return future.get();
    }
    std::string Read(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::filesystem::path dir;
    SpectralCalibrationRun run;
    SpectralCalibrationRun::Setup setup;
    std::promise<SpectralCalResult> finished;
    std::mutex m;
    std::vector<std::string> log;
    std::vector<std::pair<int, int>> moves;
    std::vector<int> timeouts;
    std::vector<Saved> saved;
    std::vector<uint16_t> stack;
    std::string failingSave;
    int nm = 0, served = 0;
    double exposure = 100, brightness = 10.0;
};

} // namespace

TEST_F(SpectralRun, TwoByTwoModeListsAndSavesEveryWavelengthInTheStackLayout) {
    setup.modes[5] = true;
    ASSERT_TRUE(run.Start(setup));
    const SpectralCalResult r = Result();
    EXPECT_TRUE(r.completed);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{4, 450}, {4, 450}, {4, 480}, {4, 510}}));
    const std::string prefix = setup.prefix;
    EXPECT_EQ(Read("cal_2x2_CalFileList.txt"), "1024 480\n" + prefix + "_2x2_WavelengthList.txt\n" + prefix +
                                                   "_2x2_450.cal\t450\n" + prefix + "_2x2_480.cal\t480\n" +
                                                   prefix + "_2x2_510.cal\t510\n");
    ASSERT_EQ(saved.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Saved& s = saved[size_t(i)];
        EXPECT_EQ(s.k, 6);
        EXPECT_EQ(s.path, CalFileName(prefix, 6, 450 + 30 * i));
        EXPECT_EQ(s.exposure, 100.0);
        // Frame f of the wavelength lies in slot N-1-f, bands and columns reversed: slot band j
        // holds binned band B-1-j, slot column c holds frame column W-1-c.
        const int lineBand = i % kB;
        for (int slot = 0; slot < kN; ++slot) {
            const int frameNumber = i * kN + (kN - 1 - slot);
            for (int j = 0; j < kB; ++j)
                for (int c = 0; c < kW; ++c) {
                    const int base = (kB - 1 - j) == lineBand ? 1000 : frameNumber;
                    ASSERT_EQ(s.stack[size_t(slot * kB * kW + j * kW + c)], base + (kW - 1 - c))
                        << "slot " << slot << " band " << j << " column " << c;
                }
        }
    }
    EXPECT_EQ(Logged("named"), (std::vector<std::string>{"named 6 cal_2x2_450.cal", "named 6 cal_2x2_480.cal",
                                                         "named 6 cal_2x2_510.cal"}));
    EXPECT_EQ(Logged("status"),
              (std::vector<std::string>{"status 2 Starting calibration process..", "status 3 ",
                                        "status 3 " + prefix + "_2x2_510.cal", "status 3 End Cal !"}));
    EXPECT_TRUE(Logged("message").empty());
    // The camera was configured once for the mode; each frame waited two periods of its rate and
    // room for a stream restart.
    EXPECT_EQ(Logged("apply").size(), 1u);
    ASSERT_EQ(timeouts.size(), 12u);
    EXPECT_EQ(timeouts.front(), 2150);
}

TEST_F(SpectralRun, ModeOneByOneKeepsItsLastWavelengthAndIsSkippedDuringAnAcquisition) {
    setup.modes[0] = true;
    ASSERT_TRUE(run.Start(setup));
    EXPECT_TRUE(Result().completed);
    // Its list holds the head twice and no wavelength; its stack keeps the columns in order.
    const std::string head = "1024 480\n" + setup.prefix + "_1x1_WavelengthList.txt\n";
    EXPECT_EQ(Read("cal_1x1_CalFileList.txt"), head + head);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].path, CalFileName(setup.prefix, 1, 510));
    EXPECT_EQ(saved[0].stack[kW], 2 * kN + kN - 1);
    EXPECT_EQ(saved[0].stack[kW + 1], 2 * kN + kN - 1 + 1);
    EXPECT_EQ(moves.size(), 4u);

    finished = {};
    saved.clear();
    moves.clear();
    setup.acquiring = [] { return true; };
    setup.modes[5] = true;
    ASSERT_TRUE(run.Start(setup));
    EXPECT_TRUE(Result().completed);
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_EQ(saved[0].k, 6);
}

TEST_F(SpectralRun, TheExposureFollowsTheLineUntilItsLimitEndsTheRun) {
    // At 100 ms the line reads 200: 150 ms brings it to 300, and the wavelength starts again.
    brightness = 2.0;
    setup.modes[1] = setup.modes[5] = true; // 1x2, 2x2
    setup.wavelengthEnd = 450;
    ASSERT_TRUE(run.Start(setup));
    EXPECT_TRUE(Result().completed);
    EXPECT_EQ(Logged("exposure"), std::vector<std::string>{"exposure 150"});
    EXPECT_EQ(Logged("status 2"), (std::vector<std::string>{"status 2 Starting calibration process..",
                                                            "status 2 Increasing Integration Time to: 150"}));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].exposure, 150.0);
    EXPECT_EQ(saved[1].exposure, 150.0);
    // The new rate sets the next frame's time limit: 2000 + 3 * 100 ms.
    EXPECT_EQ(timeouts[1], 2300);
    // Every frame of a stack was taken at the final exposure.
    EXPECT_EQ(saved[0].stack[size_t(kB - 1) * kW + kW - 1], 300);

    // A line too strong for the lowest exposure ends a 2x4 run; mode 1x1 names the weak line.
    finished = {};
    log.clear();
    saved.clear();
    brightness = 200.0;
    setup.exposure = exposure = 20;
    setup.modes = {};
    setup.modes[6] = true;
    ASSERT_TRUE(run.Start(setup));
    EXPECT_FALSE(Result().completed);
    EXPECT_EQ(Logged("message"), std::vector<std::string>{"message Unable to set Low exposure"});
    EXPECT_EQ(Logged("status 2").back(), "status 2 Decreasing Integration Time");
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(Read("cal_2x4_CalFileList.txt"), "1024 480\n" + setup.prefix + "_2x4_WavelengthList.txt\n");

    finished = {};
    log.clear();
    brightness = 1.0;
    setup.exposure = exposure = 100;
    setup.modes = {};
    setup.modes[0] = true;
    ASSERT_TRUE(run.Start(setup));
    EXPECT_FALSE(Result().completed);
    EXPECT_EQ(Logged("message"),
              std::vector<std::string>{
                  "message Spectral Line is low: 105 at 450.\nIncrease integration time or turn up source."});
    EXPECT_NE(Logged("status").back(), "status 3 End Cal !");
}

TEST_F(SpectralRun, AListThatCannotBeWrittenSkipsItsModeAndAFailedSaveIsReported) {
    setup.modes[2] = setup.modes[5] = true;
    setup.prefix = (dir / "no" / "such" / "p").string();
    ASSERT_TRUE(run.Start(setup));
    EXPECT_TRUE(Result().completed);
    EXPECT_EQ(Logged("message"),
              (std::vector<std::string>{"message List FileNotOpen", "message List FileNotOpen"}));
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(Logged("status").back(), "status 3 End Cal !");

    // A stack that cannot be saved is reported; the run goes on and lists it.
    finished = {};
    log.clear();
    setup.prefix = (dir / "cal").string();
    setup.modes = {};
    setup.modes[5] = true;
    failingSave = CalFileName(setup.prefix, 6, 480);
    ASSERT_TRUE(run.Start(setup));
    EXPECT_TRUE(Result().completed);
    EXPECT_EQ(Logged("message"), std::vector<std::string>{"message unable to save auto Calibration Cube..."});
    EXPECT_EQ(saved.size(), 3u);
}

TEST_F(SpectralRun, StopEndsTheRunAtTheNextFrameOrDuringAWait) {
    // The operator stops (another thread) while the second wavelength's third frame is taken.
    std::condition_variable cv;
    bool asked = false, stopped = false;
    setup.modes[5] = true;
    setup.takeFrame = [&](std::vector<uint16_t>& frame, int) {
        frame = Frame();
        if (served == kN + 3) {
            std::unique_lock lock(m);
            asked = true;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(5), [&] { return stopped; });
        }
        return true;
    };
    ASSERT_TRUE(run.Start(setup));
    EXPECT_FALSE(run.Start(setup)) << "one run at a time";
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return asked; }));
        run.Stop();
        stopped = true;
        cv.notify_all();
    }
    SpectralCalResult r = Result();
    EXPECT_TRUE(r.stopped);
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(served, kN + 3);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(Read("cal_2x2_CalFileList.txt"), "1024 480\n" + setup.prefix + "_2x2_WavelengthList.txt\n" +
                                                   setup.prefix + "_2x2_450.cal\t450\n");
    EXPECT_TRUE(Logged("message").empty());

    // A wait is cut short: with device waits of 50 s and more, the run ends at Stop.
    finished = {};
    saved.clear();
    SetSleepScale(100.0);
    std::promise<void> moved;
    int moveCalls = 0;
    setup.moveMonochromator = [&](int, int) {
        if (++moveCalls == 1)
            moved.set_value();
        return true;
    };
    setup.wavelengthEnd = 450;
    setup.takeFrame = [&](std::vector<uint16_t>& frame, int) {
        frame = Frame();
        return true;
    };
    ASSERT_TRUE(run.Start(setup));
    ASSERT_EQ(moved.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    run.Stop();
    r = Result();
    EXPECT_TRUE(r.stopped);
    EXPECT_TRUE(saved.empty());
}

TEST_F(SpectralRun, ACameraWithoutFramesEndsTheRunWithItsMessage) {
    setup.modes[5] = true;
    int calls = 0;
    setup.takeFrame = [&](std::vector<uint16_t>& frame, int timeoutMs) {
        EXPECT_EQ(timeoutMs, 2150);
        if (++calls == 3)
            return false;
        frame = Frame();
        return true;
    };
    ASSERT_TRUE(run.Start(setup));
    EXPECT_FALSE(Result().completed);
    EXPECT_EQ(Logged("message"), std::vector<std::string>{
                                     "message No frame from the data camera: spectral calibration stopped."});
    EXPECT_TRUE(saved.empty());

    // A frame too short for the bands is no frame either; a monochromator that cannot be reached
    // ends the run before any mode.
    finished = {};
    log.clear();
    setup.takeFrame = [](std::vector<uint16_t>& frame, int) {
        frame.assign(size_t(4 * kB - 1) * kW, 0);
        return true;
    };
    ASSERT_TRUE(run.Start(setup));
    EXPECT_FALSE(Result().completed);
    EXPECT_EQ(Logged("message").size(), 1u);

    finished = {};
    log.clear();
    setup.moveMonochromator = [](int, int) { return false; };
    ASSERT_TRUE(run.Start(setup));
    EXPECT_FALSE(Result().completed);
    EXPECT_TRUE(Logged("mirror").empty());
    EXPECT_TRUE(Logged("message").empty());

    SpectralCalibrationRun::Setup incomplete;
    EXPECT_FALSE(run.Start(incomplete));
}
