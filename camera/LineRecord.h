#pragma once
// The record of a cube acquisition: the run's settings, and for every stored line when its frame
// arrived, where the mirror was sent for it, how many camera frames were lost before it and whether
// the controller link was up. The engine fills it while it scans; the savers write it beside the
// cube (storage/LineRecordFile.h).
#include <cstdint>
#include <string>
#include <vector>

struct LineEvent {
    int32_t line = 0;
    double msSinceStart = 0.0;     // arrival of the line's frame, ms after the scan started
    int32_t commandedPosition = 0; // the mirror position commanded for the line
    uint32_t droppedBefore = 0;    // camera frames lost since the previous line (line 0: since the start)
    bool linkUp = true;            // the motion controller's link when the frame arrived
};

// What was set for the run.
struct RunDescription {
    std::string started;        // local time of the scan's start, "YYYY-MM-DD HH:MM:SS"
    double integrationMs = 0.0; // the camera settings' integration time
    int gain = 0;
    double frameRate = 0.0; // frames per second the data camera was set to
    int32_t scanStart = 0;  // "Scan Start Position", controller counts
    double step = 0.0;      // counts per line
    std::string camera;     // the data camera's identification
    std::string simulated;  // which devices were simulated ("none" when all were real)
    std::string program;    // program name and version
};

struct LineRecord {
    RunDescription run;
    std::vector<LineEvent> lines;
    bool scanned = false; // false until a cube acquisition started
    // Lines with at least one frame lost before them.
    int LinesWithDrops() const {
        int n = 0;
        for (const LineEvent& e : lines)
            n += e.droppedBefore > 0;
        return n;
    }
};

// Frames lost between two frames that arrived gapMs apart at a frame period of periodMs: the gap
// rounded to whole periods, less one. 0 when the period is unknown (0 or below) or the gap is not
// longer than one and a half periods.
uint32_t EstimateDroppedFrames(double gapMs, double periodMs);

// "ARV300 Data Acquisition Software <version>".
std::string ProgramDescription();
// The local time now as "YYYY-MM-DD HH:MM:SS".
std::string LocalTimeText();
