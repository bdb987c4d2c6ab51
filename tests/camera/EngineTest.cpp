// The acquisition engine driven frame by frame (no camera thread): binning, line order, the end of
// a scan, stacks, stop, positioning and the frame-rate report.
#include "EngineSupport.h"
#include "support/EngineTestAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {
constexpr int W = 696, H = 520, B = 128;

class Engine : public EngineFixture {
protected:
    uint16_t& Pixel(int row, int column) { return frame[size_t(row) * W + column]; }
    uint16_t Cube(int line, int band, int position) const {
        return engine.Cube()[size_t(line) * B * H + size_t(band) * H + position];
    }
};
} // namespace

TEST_F(Engine, BinsFourFarEndRowsAndReversesTheSamples) {
    // Sample 0 comes from column 88; band 0 from rows 508 ... 511; band 127 from rows 0 ... 3.
    Pixel(508, 88) = 100;
    Pixel(509, 88) = 200;
    Pixel(510, 88) = 300;
    Pixel(511, 88) = 401; // sum 1001: >> 2 = 250, >> 4 = 15
    for (int r = 0; r < 4; ++r)
        Pixel(r, 607) = 65535; // band 127, sample 519: 4095
    Pixel(0, 87) = 65535;      // column 87 is not a sample
    Pixel(512, 88) = 65535;    // row 512 is beyond the last band
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(1);
    EXPECT_EQ(engine.LineIndex(), 1);
    EXPECT_EQ(Cube(0, 0, H - 1), 15);  // sample 0 stored at position 519
    EXPECT_EQ(Cube(0, 127, 0), 4095);  // sample 519 stored at position 0
    EXPECT_EQ(Cube(0, 127, H - 1), 0); // (column 87 contributes nothing)
    EXPECT_EQ(Cube(0, 1, H - 1), 0);   // band 1 is rows 504 ... 507
    // The last stored line is kept apart as well.
    EXPECT_EQ(engine.LastLine()[0 * H + H - 1], 15);
    EXPECT_EQ(engine.LastLine()[127 * H + 0], 4095);
}

TEST_F(Engine, FullCubeStepsTheMirrorPerLineAndEndsOnThe697thFrame) {
    engine.SetStepPerLine(12.5);
    engine.scanPositions = [] { return ScanPositions{-300000, -165000}; };
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_TRUE(engine.Busy());
    EXPECT_FALSE(host.limitsEnabled.load());
    for (int line = 0; line < W; ++line) {
        std::fill(frame.begin(), frame.end(), uint16_t(line * 16)); // every value reads back as line
        Feed(1);
    }
    EXPECT_EQ(engine.LineIndex(), W);
    EXPECT_TRUE(engine.Busy());
    Feed(1); // the 697th frame ends the scan and commands one more step
    EXPECT_FALSE(engine.Busy());
    EXPECT_FALSE(engine.AcquiringCube());
    EXPECT_EQ(engine.LineIndex(), 0);
    ASSERT_EQ(mirror.moves.size(), 697u);
    // -300000 + L * 12.5, truncated toward zero: -300000, -299987 (not -299988), -299975, ...
    EXPECT_EQ(mirror.moves[0], -300000);
    EXPECT_EQ(mirror.moves[1], -299987);
    EXPECT_EQ(mirror.moves[2], -299975);
    EXPECT_EQ(mirror.moves[696], -300000 + 8700);
    // Start travel to the scan start, the steps, then the return with the drive off at the end.
    const auto log = mirror.Log();
    EXPECT_EQ(log[0], "EN");
    EXPECT_EQ(log[1], "TRAVEL-300000");
    EXPECT_EQ(log[log.size() - 3], "EN");
    EXPECT_EQ(log[log.size() - 2], "TRAVEL-300000");
    EXPECT_EQ(log.back(), "DI");
    EXPECT_EQ(Cube(0, 5, 7), 0);
    EXPECT_EQ(Cube(345, 5, 7), 345);
    EXPECT_EQ(Cube(695, 127, 519), 695);
    EXPECT_EQ(host.Status(2), "Ready");
    EXPECT_EQ(host.ended.load(), 1);
    // Later frames store nothing and move nothing.
    Feed(3);
    EXPECT_EQ(mirror.moves.size(), 697u);
}

TEST_F(Engine, AScanWhosePositionsLeaveThe32BitRangeIsRefusedBeforeAnythingMoves) {
    // A step of 12000000 (a missing decimal point): line 696 would be at 8 352 000 000 counts.
    engine.SetStepPerLine(12000000.0);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_FALSE(engine.Busy());
    EXPECT_FALSE(engine.AcquiringCube());
    EXPECT_TRUE(mirror.Log().empty()) << "nothing sent, not even the drive enable";
    EXPECT_EQ(engine.ScansRefused(), 1);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0],
              "The scan does not fit the mirror's range: from the Scan Start Position 0 with a Step Size of "
              "12000000.000000, line 696 would be at 8352000000 counts. Check the scanner settings.");
    Feed(3);
    EXPECT_TRUE(mirror.moves.empty());
    // A scan start near 2^31: the last step would be 2147483000 + 696 * 12 = 2147491352.
    engine.SetStepPerLine(12.0);
    engine.scanPositions = [] { return ScanPositions{2147483000, 0}; };
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_FALSE(engine.Busy());
    EXPECT_EQ(engine.ScansRefused(), 2);
    // Going down: -2147483000 - 696 * 12 is below -2^31 as well.
    engine.scanPositions = [] { return ScanPositions{-2147483000, 0}; };
    engine.SetStepPerLine(-12.0);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_EQ(engine.ScansRefused(), 3);
    // The largest scan that fits: its last step lands exactly on 2^31 - 1.
    engine.scanPositions = [] { return ScanPositions{2147483647 - 696 * 12, 0}; };
    engine.SetStepPerLine(12.0);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_TRUE(engine.Busy());
    Feed(W + 1);
    ASSERT_EQ(mirror.moves.size(), 697u);
    EXPECT_EQ(mirror.moves.back(), 2147483647);
    EXPECT_EQ(engine.ScansRefused(), 3);
    EXPECT_FALSE(engine.Busy());
}

TEST_F(Engine, AScanStartMovedOutOfRangeDuringTheScanEndsItWithTheLinesTaken) {
    std::atomic<int32_t> scanStart{0};
    engine.scanPositions = [&] { return ScanPositions{scanStart.load(), 0}; };
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    std::fill(frame.begin(), frame.end(), uint16_t(7 * 16));
    Feed(100);
    // The settings dialog changes the start: line 100 would be at 2147483600 + 1200.
    scanStart = 2147483600;
    Feed(1);
    EXPECT_FALSE(engine.Busy());
    EXPECT_EQ(engine.ScansRefused(), 1);
    ASSERT_EQ(mirror.moves.size(), 100u);
    for (int32_t m : mirror.moves)
        EXPECT_LE(m, 99 * 12);
    EXPECT_EQ(host.Status(3).rfind("The scan does not fit the mirror's range", 0), 0u) << host.Status(3);
    EXPECT_EQ(Cube(99, 3, 3), 7);
    EXPECT_EQ(Cube(100, 3, 3), 0);
    EXPECT_EQ(host.Status(2), "Ready");
}

TEST_F(Engine, StopHalfwayKeepsTheStoredLinesAndZerosTheRest) {
    // A previous cube's data is cleared by the next acquisition.
    std::fill(EngineTestAccess::Cube(engine).begin(), EngineTestAccess::Cube(engine).end(), uint16_t(9));
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    std::fill(frame.begin(), frame.end(), uint16_t(100 * 16));
    Feed(300);
    engine.StopAcquisition();
    EXPECT_FALSE(engine.Busy());
    Feed(5); // no mode is set any more: nothing is stored
    EXPECT_EQ(Cube(299, 64, 100), 100);
    EXPECT_EQ(Cube(300, 64, 100), 0);
    EXPECT_EQ(Cube(695, 0, 0), 0);
    EXPECT_EQ(host.Status(2), "Ready");
    // A second Stop does nothing.
    const size_t logSize = mirror.Log().size();
    engine.StopAcquisition();
    EXPECT_EQ(mirror.Log().size(), logSize);
}

TEST_F(Engine, FrameRateIsReportedFromMillisecondsWithTwoBlanks) {
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(10);
    engine.StopAcquisition(); // well under a second: still a finite rate
    const std::string text = host.Status(1);
    ASSERT_EQ(text.rfind("frame rate =  ", 0), 0u) << text;
    double rate = 0;
    ASSERT_EQ(std::sscanf(text.c_str() + 14, "%lf", &rate), 1);
    EXPECT_GT(rate, 0.0);
    EXPECT_TRUE(std::isfinite(rate));
    // Six decimals.
    EXPECT_EQ(text.size() - text.find('.') - 1, 6u);
}

TEST_F(Engine, FramesWhileTheMirrorIsPositioningAreDropped) {
    for (auto mode : {AcquisitionEngine::Mode::Cube, AcquisitionEngine::Mode::Dark,
                      AcquisitionEngine::Mode::Calibration}) {
        engine.StopAcquisition();
        engine.AcquisitionCommand(mode);
        engine.SetScannerPositioning(true);
        std::fill(frame.begin(), frame.end(), uint16_t(50 * 16));
        const size_t moves = mirror.moves.size();
        Feed(4);
        EXPECT_EQ(engine.LineIndex(), 0);
        EXPECT_EQ(mirror.moves.size(), moves);
        engine.SetScannerPositioning(false);
        Feed(1);
        EXPECT_EQ(engine.LineIndex(), 1);
    }
    // The live display shows frames whatever the mirror does.
    engine.StopAcquisition();
    engine.AcquisitionCommand(AcquisitionEngine::Mode::SpectralDisplay);
    engine.SetScannerPositioning(true);
    Pixel(3, 4) = 0xFFF0;
    Feed(1);
    EXPECT_EQ(EngineTestAccess::FrameImage(engine)[3 * W + 4], 0xFFFu);
}

TEST_F(Engine, DarkStackStoresTwentyFiveLinesInCubeBandOrderAndAveragesThem) {
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    EXPECT_TRUE(host.applyDarkEnabled.load());
    // Band 0 (rows 508 ... 511), sample 0 (column 88): lines alternate 10 and 11 -> mean of 25 values
    // 10,11,10,...,10 (13 x 10 + 12 x 11 = 262) / 25 = 10 (truncated).
    for (int line = 0; line < 25; ++line) {
        for (int r = 508; r < 512; ++r)
            Pixel(r, 88) = uint16_t((line % 2 ? 11 : 10) * 16);
        for (int r = 0; r < 4; ++r)
            Pixel(r, 88) = 4095 * 16; // band 127
        Feed(1);
    }
    EXPECT_EQ(engine.LineIndex(), 25);
    EXPECT_EQ(host.darkSaves.load(), 0);
    Feed(1); // the 26th frame ends the stack
    EXPECT_EQ(host.darkSaves.load(), 1);
    EXPECT_TRUE(engine.DarkFrameValid());
    EXPECT_FALSE(engine.AcquiringDark());
    EXPECT_FALSE(engine.Busy());
    EXPECT_EQ(EngineTestAccess::DarkFrame(engine)[0 * H + H - 1], 10);
    EXPECT_EQ(EngineTestAccess::DarkFrame(engine)[127 * H + H - 1], 4095); // 25 x 4095 does not overflow
    // Both stacks hold the same 25 lines, in the cube's band order.
    const size_t L = size_t(B) * H;
    EXPECT_EQ(std::memcmp(engine.StackBuffer(AcquisitionEngine::Stack::Dark).data(),
                          engine.StackBuffer(AcquisitionEngine::Stack::Calibration).data(), 25 * L * 2),
              0);
    EXPECT_EQ(engine.StackBuffer(AcquisitionEngine::Stack::Dark)[1 * L + 0 * H + H - 1], 11);
    // Cube lines are untouched and no mirror step was commanded.
    EXPECT_TRUE(mirror.moves.empty());
}

TEST_F(Engine, CalibrationStackHandsItsSaveOverAndKeepsTheDarkFrame) {
    EngineTestAccess::WithCalibration(engine,
                                      [](std::vector<uint16_t>& dark, std::vector<float>&) { dark[0] = 5; });
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Calibration);
    Feed(26);
    EXPECT_EQ(host.calSaves.load(), 1);
    EXPECT_EQ(host.darkSaves.load(), 0);
    EXPECT_FALSE(engine.AcquiringCalibration());
    EXPECT_FALSE(engine.DarkFrameValid());
    EXPECT_EQ(EngineTestAccess::DarkFrame(engine)[0], 5);
}

TEST_F(Engine, StopDuringADarkStackSavesNothing) {
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    Feed(10);
    engine.StopAcquisition();
    Feed(30);
    EXPECT_EQ(host.darkSaves.load(), 0);
    EXPECT_FALSE(engine.DarkFrameValid());
    EXPECT_TRUE(engine.AcquiringDark()); // left set; its frames are ignored
    EXPECT_EQ(engine.LineIndex(), 0);
}

TEST_F(Engine, CommandsRefuseWhenOfflineOrBusy) {
    engine.SetDataCameraOnline(false);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Data Camera Offline !"});
    engine.SetDataCameraOnline(true);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::SpectralDisplay);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    const auto m = host.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[1], "Camera is busy ...");
    EXPECT_EQ(m[2], "Camera already acquiring data...");
    // The live display travels to the on-center position and does not clear the cube.
    EXPECT_EQ(mirror.Log()[1], "TRAVEL-165000");
    host.previewStops = false;
    engine.StopAcquisition();
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_EQ(host.Messages().back(), "Unable STOP previewing video.");
    EXPECT_TRUE(engine.AcquiringCube()); // the acquisition goes on
}

TEST_F(Engine, MirrorThatNeverArrivesEndsTheAcquisitionCleanly) {
    mirror.travelResult = TravelResult::TimedOut;
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_FALSE(engine.Busy());
    EXPECT_FALSE(engine.AcquiringCube());
    EXPECT_EQ(host.Status(2), "Ready");
    Feed(3);
    EXPECT_EQ(engine.LineIndex(), 0);
    EXPECT_TRUE(mirror.moves.empty());
    // Without a controller link the acquisition runs with the mirror where it stands.
    mirror.travelResult = TravelResult::NotConnected;
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_TRUE(engine.Busy());
    Feed(3);
    EXPECT_EQ(engine.LineIndex(), 3);
}

// The window's way: Begin on its thread, the travel on another; Stop during the travel ends it at
// once as a Stop (no mirror time-out counted, nothing stored, no stream started), and closing ends
// a return travel too.
TEST_F(Engine, AStartTravelOnAnotherThreadEndsAtOnceWhenAborted) {
    host.streaming = false; // a stream start would show as a message
    mirror.holdTravels = 1;
    ASSERT_TRUE(engine.BeginAcquisition(AcquisitionEngine::Mode::Cube));
    EXPECT_TRUE(engine.Busy());
    EXPECT_TRUE(engine.ScannerPositioning());
    // A second command while the first travels is refused as busy, before anything moves.
    EXPECT_FALSE(engine.BeginAcquisition(AcquisitionEngine::Mode::Dark));
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Camera already acquiring data..."});
    std::thread travel([&] { engine.TravelAndStart(); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!mirror.travelling.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(mirror.travelling.load());
    Feed(3); // frames during the travel are dropped
    engine.AbortStart();
    travel.join();
    EXPECT_FALSE(engine.Busy());
    EXPECT_FALSE(engine.ScannerPositioning());
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::Stopped);
    EXPECT_EQ(engine.MirrorTimeouts(), 0);
    EXPECT_EQ(engine.LineIndex(), 0);
    EXPECT_EQ(host.Status(2), "Ready");
    EXPECT_EQ(host.ended.load(), 1);
    EXPECT_EQ(host.Messages().size(), 1u); // no stream start was tried
    // A Stop that follows the aborted start finds nothing to stop.
    EXPECT_FALSE(engine.StopAcquisition());

    // The next command clears the abort: its travel arrives and the scan runs.
    host.streaming = true;
    ASSERT_TRUE(engine.BeginAcquisition(AcquisitionEngine::Mode::Cube));
    engine.TravelAndStart();
    Feed(5);
    EXPECT_EQ(engine.LineIndex(), 5);
    // Closing: the return travel of the Stop ends at once too.
    mirror.holdTravels = 1;
    std::thread stop([&] { engine.StopAcquisition(); });
    const auto until2 = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!mirror.travelling.load() && std::chrono::steady_clock::now() < until2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(mirror.travelling.load());
    engine.AbortTravels();
    stop.join();
    EXPECT_FALSE(engine.Busy());
    EXPECT_EQ(engine.LinesTaken(), 5);
    EXPECT_EQ(engine.MirrorTimeouts(), 0);
}

TEST_F(Engine, LostLinkEndsTheScanAsStopDoesAndKeepsItsLines) {
    std::fill(frame.begin(), frame.end(), uint16_t(100 * 16));
    mirror.loseLinkAtMove = 301; // the move of line 300 finds the link gone
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(300);
    EXPECT_TRUE(engine.Busy());
    Feed(1);
    EXPECT_FALSE(engine.Busy());
    EXPECT_FALSE(engine.AcquiringCube());
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::LinkLost);
    EXPECT_EQ(engine.LinesTaken(), 300);
    EXPECT_EQ(Cube(299, 64, 100), 100);
    EXPECT_EQ(Cube(300, 64, 100), 0);
    EXPECT_EQ(host.Status(2), "Ready");
    EXPECT_TRUE(host.Status(1).rfind("frame rate = ", 0) == 0);
    EXPECT_EQ(host.ended.load(), 1);
    // Nothing more is sent to the lost controller: no return travel, no drive command after the
    // start; later frames neither move nor store.
    const auto log = mirror.Log();
    EXPECT_EQ(log.back(), "LA3600");
    EXPECT_EQ(std::count(log.begin(), log.end(), "TRAVEL0"), 1);
    Feed(3);
    EXPECT_EQ(mirror.moves.size(), 301u);
    // A link lost before the mirror reached its start: nothing taken.
    mirror.lost = false;
    mirror.travelResults = {TravelResult::LinkLost};
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_FALSE(engine.Busy());
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::LinkLost);
    EXPECT_EQ(engine.LinesTaken(), 0);
    EXPECT_EQ(engine.MirrorTimeouts(), 0);
}

TEST_F(Engine, ScanEndSaysHowEachAcquisitionEnded) {
    using End = AcquisitionEngine::ScanEnd;
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(W + 1);
    EXPECT_EQ(engine.LastScanEnd(), End::Completed);
    EXPECT_EQ(engine.LinesTaken(), W);
    // Every line taken, but the mirror did not come back: the lines stay, the end says so.
    mirror.travelResults = {TravelResult::Arrived, TravelResult::TimedOut};
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(W + 1);
    EXPECT_EQ(engine.LastScanEnd(), End::ReturnTimedOut);
    EXPECT_EQ(engine.LinesTaken(), W);
    EXPECT_EQ(engine.MirrorTimeouts(), 1);
    EXPECT_FALSE(engine.Busy());
    mirror.travelResults = {TravelResult::TimedOut};
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    EXPECT_EQ(engine.LastScanEnd(), End::StartTimedOut);
    EXPECT_EQ(engine.LinesTaken(), 0);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(10);
    EXPECT_EQ(engine.LastScanEnd(), End::None); // still running
    engine.StopAcquisition();
    EXPECT_EQ(engine.LastScanEnd(), End::Stopped);
    EXPECT_EQ(engine.LinesTaken(), 10);
    // A dark stack whose return trip ran out still averages and hands its save over.
    mirror.travelResults = {TravelResult::Arrived, TravelResult::TimedOut};
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    Feed(26);
    EXPECT_EQ(engine.LastScanEnd(), End::ReturnTimedOut);
    EXPECT_EQ(host.darkSaves.load(), 1);
    EXPECT_TRUE(engine.DarkFrameValid());
}

TEST_F(Engine, StreamThatCannotStartIsReportedAndTheFlagsStay) {
    host.streaming = false;
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Unable start streaming data , Start streaming"});
    EXPECT_EQ(host.Status(2), "Acquiring...");
    EXPECT_TRUE(engine.Busy());
}

TEST_F(Engine, GeometryChangeReallocatesOnlyWhenItReallyChanges) {
    EngineTestAccess::Cube(engine)[10] = 3;
    engine.Calibration().SetDarkFrameValid(true);
    EXPECT_FALSE(engine.AllocateBuffers(CubeGeometry{}));
    EXPECT_EQ(engine.Cube()[10], 3);
    EXPECT_TRUE(engine.DarkFrameValid());
    CubeGeometry g;
    g.bands = 60;
    EXPECT_TRUE(engine.AllocateBuffers(g));
    EXPECT_EQ(engine.Cube().size(), size_t(696) * 520 * 60);
    EXPECT_EQ(engine.Cube()[10], 0);
    EXPECT_FALSE(engine.DarkFrameValid());
    EXPECT_FLOAT_EQ(EngineTestAccess::Gains(engine)[7], 1.0f);
    EXPECT_EQ(EngineTestAccess::FrameImage(engine)[77], 77u);
}

TEST_F(Engine, ACameraThatStopsDeliveringEndsTheAcquisitionWithItsLinesKept) {
    engine.SetFrameTimeoutMs(300);
    Pixel(508, 88) = 1600; // band 0, sample 0: 1600 >> 6 = 25
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    // Frames that come in time, even slowly, keep the acquisition going.
    for (int i = 0; i < 10; ++i) {
        Feed(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    EXPECT_TRUE(engine.Busy());
    // Then nothing comes: the watchdog ends the scan as Stop does, within a few of its periods, and
    // then posts its message.
    const auto t0 = std::chrono::steady_clock::now();
    while (engine.Busy() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int i = 0; i < 500 && host.Messages().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_FALSE(engine.Busy());
    EXPECT_GE(waited, 0.2); // 300 ms after the last frame, which came 60 ms before t0
    EXPECT_LT(waited, 3.0);
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::FramesStopped);
    EXPECT_EQ(engine.LinesTaken(), 10);
    EXPECT_EQ(Cube(9, 0, H - 1), 25);
    EXPECT_EQ(Cube(10, 0, H - 1), 0);
    // The mirror went back to the scan start and the drive is off; the message says what happened.
    const auto log = mirror.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "TRAVEL0");
    EXPECT_EQ(log.back(), "DI");
    const auto messages = host.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("The data camera stopped delivering frames: none came for 0.", 0), 0u)
        << messages[0];
    EXPECT_NE(messages[0].find("ended after 10 lines; they are kept."), std::string::npos) << messages[0];
    EXPECT_EQ(host.Status(2), EngineMsg::kReady);
}

TEST_F(Engine, FrameWatchdogIsQuietOutsideAcquisitionsAndWithoutAFrameRate) {
    // No frame rate known yet: no time-out, the acquisition waits for its frames (and for Stop).
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(engine.Busy());
    engine.StopAcquisition();
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::Stopped);
    // With a time-out: after Stop nothing more happens, however long the camera is silent; a dark
    // stack cut short by the watchdog hands nothing over for saving.
    engine.SetFrameTimeoutMs(200);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(host.Messages().empty());
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    Feed(5);
    const auto t0 = std::chrono::steady_clock::now();
    while (engine.Busy() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int i = 0; i < 500 && host.Messages().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::FramesStopped);
    EXPECT_EQ(engine.LinesTaken(), 5);
    Feed(30); // a camera that comes back does not finish the stack
    EXPECT_EQ(host.darkSaves.load(), 0);
    EXPECT_FALSE(engine.DarkFrameValid());
    EXPECT_EQ(host.Messages().size(), 1u);
    // The time-out follows the frame rate: five periods and a margin.
    EXPECT_DOUBLE_EQ(AcquisitionEngine::FrameTimeoutMs(50.0), 5 * 20.0 + 3000.0);
    EXPECT_DOUBLE_EQ(AcquisitionEngine::FrameTimeoutMs(0.5), 5 * 2000.0 + 3000.0);
    EXPECT_DOUBLE_EQ(AcquisitionEngine::FrameTimeoutMs(std::nan("")), 5 * 1000.0 + 3000.0);
}

TEST_F(Engine, AfterTheLastLineOnePositionQueryChecksThatTheMirrorFollowed) {
    // The scan from 0 in steps of 12 ends with the step to 696 * 12 = 8352; the corridor (10000)
    // is wider than the whole scan, so the tolerance is half the scan's span (4176).
    EXPECT_EQ(AcquisitionEngine::MirrorFollowTolerance(10000, 12.0, W), 4176);
    EXPECT_EQ(AcquisitionEngine::MirrorFollowTolerance(100, 12.0, W), 100);
    EXPECT_EQ(AcquisitionEngine::MirrorFollowTolerance(100, -12.0, W), 100);
    EXPECT_EQ(AcquisitionEngine::MirrorFollowTolerance(-5, 12.0, W), 1);
    engine.scanPositions = [] { return ScanPositions{0, -165000, 10000}; };
    struct Case {
        int32_t reported;
        bool warned;
    };
    long scans = 0;
    for (const Case c :
         {Case{8352 - 4176, false}, Case{8352 + 4176, false}, Case{0, true}, Case{8352 + 4177, true}}) {
        SCOPED_TRACE(c.reported);
        mirror.reportedPosition = c.reported;
        host.SetStatusText(3, "");
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        Feed(W + 1);
        ASSERT_FALSE(engine.Busy());
        EXPECT_EQ(engine.LastMirrorFollowCheck().notFollowed, c.warned);
        EXPECT_EQ(host.Status(3), c.warned
                                      ? "Mirror did not follow the scan: at " + std::to_string(c.reported) +
                                            " after the last line, sent to 8352"
                                      : "");
        // One query, after the last step and before the return.
        const auto log = mirror.Log();
        ASSERT_GE(log.size(), 5u);
        EXPECT_EQ(log[log.size() - 5], "LA8352");
        EXPECT_EQ(log[log.size() - 4], "POS");
        EXPECT_EQ(std::count(log.begin(), log.end(), "POS"), ++scans);
    }
    // A Stop halfway checks against the last line sent; a controller that gives no position is not
    // judged.
    mirror.reportedPosition = 99999;
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(100);
    engine.StopAcquisition();
    EXPECT_TRUE(engine.LastMirrorFollowCheck().notFollowed);
    EXPECT_EQ(engine.LastMirrorFollowCheck().commanded, 99 * 12);
    EXPECT_EQ(engine.LastMirrorFollowCheck().at, 99999);
    mirror.reportedPosition.reset();
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(W + 1);
    EXPECT_FALSE(engine.LastMirrorFollowCheck().notFollowed);
}

TEST_F(Engine, FramesOfAnotherSizeAreRefusedCountedAndNeverBinned) {
    engine.SetFrameTimeoutMs(300);
    Pixel(508, 88) = 1600; // band 0, sample 0: 25
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    auto deliver = [this](const std::vector<uint16_t>& f, size_t bytes) {
        AcquisitionEngine::OnDataFrameCallback(
            &engine, reinterpret_cast<uint8_t*>(const_cast<uint16_t*>(f.data())), uint32_t(bytes));
    };
    const size_t frameBytes = size_t(W) * H * 2;
    deliver(frame, frameBytes);
    // An 8-bit frame, a frame two rows short, and an unbinned 1392 x 1040 frame: none is a line.
    std::vector<uint16_t> big(size_t(1392) * 1040, 65535);
    deliver(big, frameBytes / 2);
    deliver(big, frameBytes - 2 * W * 2);
    deliver(big, big.size() * 2);
    AcquisitionEngine::OnDataFrameCallback(&engine, nullptr, uint32_t(frameBytes));
    EXPECT_EQ(engine.FramesRejected(), 4u);
    EXPECT_EQ(engine.LinesTaken(), 1);
    deliver(frame, frameBytes);
    EXPECT_EQ(engine.LinesTaken(), 2);
    EXPECT_EQ(Cube(1, 0, H - 1), 25);
    EXPECT_EQ(Cube(2, 0, H - 1), 0);
    // A camera that sends only such frames ends the acquisition like one that sends nothing, and
    // the message says what came instead.
    std::atomic<bool> stop{false};
    std::thread camera([&] {
        while (!stop.load()) {
            deliver(big, big.size() * 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (int i = 0; i < 500 && host.Messages().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    camera.join();
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::FramesStopped);
    EXPECT_EQ(engine.LinesTaken(), 2);
    const auto messages = host.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("frames of the wrong size or format were refused during the acquisition"),
              std::string::npos)
        << messages[0];
}
