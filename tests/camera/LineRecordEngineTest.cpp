// The engine's record of a cube acquisition, driven frame by frame: the run's settings, the
// position commanded for each line, the camera's lost frames, the link, the times.
#include "EngineSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {
class LineRecordEngine : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        engine.SetStepPerLine(12.5);
        engine.scanPositions = [] { return ScanPositions{-100, 0}; };
        engine.describeRun = [] {
            RunDescription d;
            d.integrationMs = 15.0;
            d.gain = 3;
            d.frameRate = 4.0; // a frame period of 250 ms
            d.camera = "test camera";
            d.simulated = "none";
            d.program = ProgramDescription();
            return d;
        };
        frame.assign(frame.size(), 100);
    }
};
} // namespace

TEST_F(LineRecordEngine, EveryStoredLineWithItsPositionLostFramesAndLink) {
    std::atomic<int64_t> dropped{40}; // the camera's count before the scan
    std::atomic<bool> link{true};
    engine.droppedFrameCount = [&] { return dropped.load(); };
    engine.linkUp = [&] { return link.load(); };
    EXPECT_FALSE(engine.LastLineRecord().scanned);

    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(3);
    dropped = 42; // two frames lost before line 3
    Feed(1);
    link = false;
    Feed(1);
    link = true;
    // While it runs, the record holds the lines stored so far.
    LineRecord r = engine.LastLineRecord();
    ASSERT_EQ(r.lines.size(), 5u);
    EXPECT_TRUE(r.scanned);
    EXPECT_EQ(r.run.scanStart, -100);
    EXPECT_EQ(r.run.step, 12.5);
    EXPECT_EQ(r.run.integrationMs, 15.0);
    EXPECT_EQ(r.run.camera, "test camera");
    EXPECT_EQ(r.run.started.size(), 19u); // "YYYY-MM-DD HH:MM:SS"
    EXPECT_EQ(r.run.program.rfind("ARV300 Data Acquisition Software ", 0), 0u);
    // -100 + l * 12.5, truncated toward zero: -100, -87, -75, -62, -50.
    const int32_t positions[] = {-100, -87, -75, -62, -50};
    for (int l = 0; l < 5; ++l) {
        EXPECT_EQ(r.lines[size_t(l)].line, l);
        EXPECT_EQ(r.lines[size_t(l)].commandedPosition, positions[l]) << l;
        EXPECT_EQ(r.lines[size_t(l)].droppedBefore, l == 3 ? 2u : 0u) << l;
        EXPECT_EQ(r.lines[size_t(l)].linkUp, l != 4) << l;
        if (l > 0) {
            EXPECT_GE(r.lines[size_t(l)].msSinceStart, r.lines[size_t(l - 1)].msSinceStart);
        }
    }
    EXPECT_GE(r.lines[0].msSinceStart, 0.0);
    EXPECT_EQ(r.LinesWithDrops(), 1);

    // The whole scan: 696 lines; the frame that ends it is not a line.
    Feed(696 - 5 + 1);
    EXPECT_FALSE(engine.Busy());
    r = engine.LastLineRecord();
    ASSERT_EQ(r.lines.size(), 696u);
    EXPECT_EQ(r.lines[695].commandedPosition, int32_t(-100 + 695 * 12.5)); // 8587
    // A dark stack leaves the record of the cube alone; the next cube starts a new one.
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    Feed(3);
    EXPECT_EQ(engine.LastLineRecord().lines.size(), 696u);
    engine.StopAcquisition();
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(2);
    EXPECT_EQ(engine.LastLineRecord().lines.size(), 2u);
    engine.StopAcquisition();
}

TEST_F(LineRecordEngine, WithoutACountLostFramesAreTakenFromTheGaps) {
    // No count from the camera: a gap of about three periods (250 ms each) means two lost frames.
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    Feed(2);
    const LineRecord r = engine.LastLineRecord();
    ASSERT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[1].droppedBefore, 0u);
    EXPECT_EQ(r.lines[2].droppedBefore, 2u);
    EXPECT_EQ(r.lines[3].droppedBefore, 0u);
    EXPECT_GE(r.lines[2].msSinceStart - r.lines[1].msSinceStart, 790.0);
    engine.StopAcquisition();
}
