// The line record beside a saved cube: its name, its text and the file.
#include "storage/LineRecordFile.h"
#include "StorageTestSupport.h"

#include <gtest/gtest.h>

TEST(LineRecordFile, NameBesideTheCube) {
    EXPECT_EQ(LineRecordPath("/data/scan1.cube"), "/data/scan1.lines.csv");
    EXPECT_EQ(LineRecordPath("/data/scan1.avi"), "/data/scan1.lines.csv");
    EXPECT_EQ(LineRecordPath("/data/picture"), "/data/picture.lines.csv");
    EXPECT_EQ(LineRecordPath("/data.v2/scan"), "/data.v2/scan.lines.csv");
    EXPECT_EQ(LineRecordPath("scan1.cube.bak.cube"), "scan1.cube.bak.lines.csv");
}

TEST(LineRecordFile, SettingsThenOneRowPerLine) {
    LineRecord r;
    r.scanned = true;
    r.run.started = "2026-12-06 21:05:09";
    r.run.integrationMs = 12.5;
    r.run.gain = 2;
    r.run.frameRate = 50.0;
    r.run.scanStart = -100;
    r.run.step = 12.5;
    r.run.camera = "id 0x1C8,\nserial 7"; // a line break would end the comment
    r.run.simulated = "cameras, COM1, COM4";
    r.run.program = "ARV300 Data Acquisition Software 1.0.3.1";
    r.lines = {{0, 20.0, -100, 0, true}, {1, 60.25, -87, 1, true}, {2, 80.0004, -75, 0, false}};
    EXPECT_EQ(r.LinesWithDrops(), 1);
    EXPECT_EQ(LineRecordText(r, "scan1.cube"), "# ARV300 line record of scan1.cube\n"
                                               "# started: 2026-12-06 21:05:09\n"
                                               "# integration_ms: 12.500\n"
                                               "# gain: 2\n"
                                               "# frame_rate_hz: 50.000\n"
                                               "# scan_start: -100\n"
                                               "# scan_step: 12.5\n"
                                               "# camera: id 0x1C8, serial 7\n"
                                               "# simulated: cameras, COM1, COM4\n"
                                               "# program: ARV300 Data Acquisition Software 1.0.3.1\n"
                                               "line,ms,position,dropped_before,link_up\n"
                                               "0,20.000,-100,0,1\n"
                                               "1,60.250,-87,1,1\n"
                                               "2,80.000,-75,0,0\n");
    // Nothing acquired yet: no settings, no rows; a note says where the cube came from.
    EXPECT_EQ(LineRecordText(LineRecord{}, "x.cube", "opened from /a/x.cube, which has no line record"),
              "# ARV300 line record of x.cube\n"
              "# no cube acquisition was recorded\n"
              "# note: opened from /a/x.cube, which has no line record\n"
              "line,ms,position,dropped_before,link_up\n");
    r.run.simulated.clear();
    EXPECT_NE(LineRecordText(r, "y").find("# simulated: none\n"), std::string::npos);
}

TEST(LineRecordFile, WrittenWholeAndReadBackBounded) {
    TempDir dir;
    const std::string text = "# ARV300 line record of a.cube\nline,ms,position,dropped_before,link_up\n";
    ASSERT_TRUE(WriteLineRecordFile(dir.File("a.lines.csv"), text));
    EXPECT_EQ(ReadLineRecordFile(dir.File("a.lines.csv")), text);
    EXPECT_FALSE(ReadLineRecordFile(dir.File("none.lines.csv")).has_value());
    EXPECT_FALSE(ReadLineRecordFile(dir.Path()).has_value());
    WriteFileBytes(dir.File("big.lines.csv"), std::vector<uint8_t>(kMaxLineRecordBytes + 1, '#'));
    EXPECT_FALSE(ReadLineRecordFile(dir.File("big.lines.csv")).has_value());
    int error = 0;
    EXPECT_FALSE(WriteLineRecordFile(dir.File("missing/a.lines.csv"), text, &error));
    EXPECT_EQ(error, ENOENT);
}

TEST(LineRecordFile, DroppedFramesFromTheGapBetweenFrames) {
    EXPECT_EQ(EstimateDroppedFrames(20.0, 20.0), 0u);
    EXPECT_EQ(EstimateDroppedFrames(29.9, 20.0), 0u);
    EXPECT_EQ(EstimateDroppedFrames(30.1, 20.0), 1u);
    EXPECT_EQ(EstimateDroppedFrames(41.0, 20.0), 1u);
    EXPECT_EQ(EstimateDroppedFrames(101.0, 20.0), 4u);
    EXPECT_EQ(EstimateDroppedFrames(500.0, 0.0), 0u); // no frame rate known
    EXPECT_EQ(EstimateDroppedFrames(-5.0, 20.0), 0u);
}
