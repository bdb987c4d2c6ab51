// The automatic calibration run on its own thread, fed by a fake camera written here: the files it
// leaves, byte for byte, Stop between stacks, and the ends without frames or with a saturated source.
#include "calibration/AutoCalibrationRun.h"
#include "calibration/CalibrationFiles.h"
#include "support/SmallGeometry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

namespace {

CubeGeometry Small() {
    return SmallStackGeometry();
}

// Frame number n of the fake camera: the pixel at row r, column x holds 16 * (400 + x + 100 * (r / 4) + n),
// so that after binning (mean of four rows, then >> 4) band k (rows from the far end) of column x
// reads 400 + x + 100 * (2 - k) + n.
std::vector<uint16_t> FakeFrame(int n, int value = -1) {
    std::vector<uint16_t> f(100 * 12);
    for (int r = 0; r < 12; ++r)
        for (int x = 0; x < 100; ++x)
            f[size_t(r * 100 + x)] = uint16_t(16 * (value >= 0 ? value : 400 + x + 100 * (r / 4) + n));
    return f;
}

class AutoCalibration : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("arv_autocal_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(dir);
        setup.geometry = Small();
        setup.prefix = (dir / "run").string();
        setup.frameTimeoutMs = 200;
        setup.saveStack = [g = setup.geometry](int, const std::string& path,
                                               const std::vector<uint16_t>& stack) {
            return SaveAutoCalibrationCubeFile(path, stack.data(), g, StackHeaderInfo(g, 10.0, {}));
        };
        setup.finished = [this](const AutoCalResult& r) { finished.set_value(r); };
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    AutoCalResult Result() {
        auto future = finished.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        run.Join();
        return future.get();
    }
    static std::vector<uint8_t> Bytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // A stack file of the frames n0 ... n0+3: frame i of the file is the i-th frame taken, each as
    // 3 bands x 100 columns, file band j holding cube band 2 - j and the columns in reverse.
    static std::vector<uint8_t> ExpectedBody(int n0) {
        std::vector<uint8_t> body;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 3; ++j)
                for (int c = 0; c < 100; ++c) {
                    const int v = 400 + (99 - c) + 100 * j + n0 + i;
                    body.push_back(uint8_t(v));
                    body.push_back(uint8_t(v >> 8));
                }
        return body;
    }

    std::filesystem::path dir;
    AutoCalibrationRun run;
    AutoCalibrationRun::Setup setup;
    std::promise<AutoCalResult> finished;
};

} // namespace

TEST_F(AutoCalibration, OneWholeFilePerTickedModeInTheSpectralRunsLayout) {
    int served = 0;
    setup.takeFrame = [&](std::vector<uint16_t>& frame, int) {
        frame = FakeFrame(served++);
        return true;
    };
    std::vector<AutoCalProgress> seen;
    setup.progress = [&](const AutoCalProgress& p) { seen.push_back(p); };
    setup.modes[1] = setup.modes[5] = true; // 1x2 and 2x2
    ASSERT_TRUE(run.Start(setup));
    const AutoCalResult r = Result();
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.message, "");
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0], std::make_pair(2, setup.prefix + "_1x2_flat.cal"));
    EXPECT_EQ(r.files[1], std::make_pair(6, setup.prefix + "_2x2_flat.cal"));
    for (int i = 0; i < 2; ++i) {
        const std::vector<uint8_t> bytes = Bytes(r.files[size_t(i)].second);
        ASSERT_EQ(bytes.size(), 32768u + 4u * 3u * 100u * 2u);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 32768, bytes.end()), ExpectedBody(4 * i));
    }
    EXPECT_EQ(AutoCalSummary(r, 2), "Automatic calibration: 2 of 2 files written.");
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(AutoCalProgressText(seen.back()), "Mode 2x2: frame 4 of 4 (stack 2 of 2)");
}

TEST_F(AutoCalibration, StopEndsTheRunAfterTheStackUnderWayWhichStaysWhole) {
    // The operator presses Stop (another thread) while the first stack's second frame is taken.
    std::mutex m;
    std::condition_variable cv;
    bool asked = false, stopped = false;
    int served = 0;
    setup.takeFrame = [&](std::vector<uint16_t>& frame, int) {
        if (served == 1) {
            std::unique_lock lock(m);
            asked = true;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(5), [&] { return stopped; });
        }
        frame = FakeFrame(served++);
        return true;
    };
    setup.modes[2] = setup.modes[6] = setup.modes[7] = true; // 1x4, 2x4, 2x8
    ASSERT_TRUE(run.Start(setup));
    EXPECT_FALSE(run.Start(setup)) << "one run at a time";
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return asked; }));
        run.Stop();
        stopped = true;
        cv.notify_all();
    }
    const AutoCalResult r = Result();
    EXPECT_TRUE(r.stopped);
    ASSERT_EQ(r.files.size(), 1u);
    const std::vector<uint8_t> bytes = Bytes(setup.prefix + "_1x4_flat.cal");
    ASSERT_EQ(bytes.size(), 35168u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 32768, bytes.end()), ExpectedBody(0));
    EXPECT_FALSE(std::filesystem::exists(setup.prefix + "_2x4_flat.cal"));
    EXPECT_FALSE(std::filesystem::exists(setup.prefix + "_2x8_flat.cal"));
    EXPECT_EQ(AutoCalSummary(r, 3), "Automatic calibration stopped after 1 of 3 files.");
    EXPECT_EQ(served, 4);
}

TEST_F(AutoCalibration, ACameraWithoutFramesOrASaturatedSourceEndsTheRunWithoutAFile) {
    setup.modes[5] = true;
    int calls = 0;
    setup.takeFrame = [&](std::vector<uint16_t>& frame, int timeoutMs) {
        EXPECT_EQ(timeoutMs, 200); // every wait on the camera has its limit
        if (++calls == 3)
            return false;
        frame = FakeFrame(calls);
        return true;
    };
    ASSERT_TRUE(run.Start(setup));
    AutoCalResult r = Result();
    EXPECT_EQ(r.message, "No frame from the data camera: automatic calibration stopped.");
    EXPECT_TRUE(r.files.empty());
    EXPECT_FALSE(std::filesystem::exists(setup.prefix + "_2x2_flat.cal"));

    finished = {};
    setup.takeFrame = [](std::vector<uint16_t>& frame, int) {
        frame = FakeFrame(0, 3501);
        return true;
    };
    ASSERT_TRUE(run.Start(setup));
    r = Result();
    EXPECT_EQ(r.message,
              "Flat field is saturated: 3501 in mode 2x2.\nDecrease integration time or turn down source.");
    EXPECT_TRUE(r.files.empty());

    finished = {};
    setup.takeFrame = [](std::vector<uint16_t>& frame, int) {
        frame = FakeFrame(0, 299);
        return true;
    };
    ASSERT_TRUE(run.Start(setup));
    r = Result();
    EXPECT_EQ(r.message, "Flat field is low: 299 in mode 2x2.\nIncrease integration time or turn up source.");
}

TEST_F(AutoCalibration, ARunUnderWayIsAbandonedWhenItsOwnerGoes) {
    setup.modes[5] = true;
    setup.geometry.darkLines = 50; // a stack far longer than the time the owner waits
    std::atomic<int> served{0};
    auto owner = std::make_unique<AutoCalibrationRun>();
    setup.finished = nullptr;
    setup.takeFrame = [&](std::vector<uint16_t>& frame, int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        frame = FakeFrame(served++);
        return true;
    };
    ASSERT_TRUE(owner->Start(setup));
    while (served.load() < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    owner.reset(); // waits for the thread
    EXPECT_LT(served.load(), 50);
    EXPECT_FALSE(std::filesystem::exists(setup.prefix + "_2x2_flat.cal"));
}
