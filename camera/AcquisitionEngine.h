#pragma once
// The acquisition engine: turns the data camera's frames into cube lines, dark and calibration
// stacks or the live spectral picture; drives the mirror one step per cube line; runs the display
// thread. Qt-free; the main window owns one and implements EngineHost.
//
// Threads:
//  - window thread: the acquisition commands, PrepareAcquisition, StartAcquisition, Stop;
//  - camera thread: OnDataFrame for every frame (also StopAcquisition at the end of a scan);
//  - display thread: DisplayLoop, which asks the host for a picture when something changed.
// Flags are atomics. A cube line is written under its line lock (LockLine) and the display and the
// probe read lines under the same lock, so a picture may show a line that is not there yet but
// never a torn one. The display buffer m_frameImage is guarded by m_frameImageMutex.
#include "camera/LineRecord.h"
#include "core/Geometry.h"
#include "scanner/ScannerLink.h" // TravelResult

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace EngineMsg {
inline constexpr const char* kOffline = "Data Camera Offline !";
inline constexpr const char* kBusyCube = "Camera is busy ...";
inline constexpr const char* kBusyOther = "Camera already acquiring data...";
inline constexpr const char* kPreviewStop = "Unable STOP previewing video.";
inline constexpr const char* kStreamStart = "Unable start streaming data , Start streaming";
inline constexpr const char* kReady = "Ready";
inline constexpr const char* kAcquiring = "Acquiring...";
inline constexpr const char* kFrameRate = "frame rate = ";
// The data camera delivered no frame within the frame time-out during an acquisition.
inline constexpr const char* kFramesStoppedStatus = "Data camera stopped delivering frames";
// rejected: frames of the wrong size or format that were refused during the acquisition.
std::string FramesStoppedText(double silentMs, double framePeriodMs, int lines, uint64_t rejected = 0);
// After the last line of a cube the mirror stood too far from the last position it was sent to.
std::string MirrorNotFollowedText(int32_t at, int32_t commanded);
// A cube whose line positions would leave the 32-bit range of mirror positions.
std::string ScanOutOfRangeText(int32_t scanStart, double stepPerLine, int lastLine);
} // namespace EngineMsg

// The scanner operations the engine needs.
class MirrorLink {
public:
    virtual ~MirrorLink() = default;
    virtual void EnableScannerDrive(bool on) = 0;
    // One absolute move, no wait (callable from the camera thread).
    virtual void MoveMirrorAbsolute(int32_t position) = 0;
    // Move, then poll until the mirror is there, within a time limit.
    virtual TravelResult TravelTo(int32_t target) = 0;
    // The link to the controller was lost (hang-up, failed write) and not restored since.
    virtual bool LinkLost() const { return false; }
    // One position query; nothing when the controller is not connected or gave no number.
    virtual std::optional<int32_t> QueryPosition() { return std::nullopt; }
};

// What the engine needs from the window that owns it.
class EngineHost {
public:
    virtual ~EngineHost() = default;
    // Status bar pane (1-based); callable from any thread.
    virtual void SetStatusText(int pane, const std::string& text) = 0;
    // Shows a message box; callable from the window thread.
    virtual void ShowMessage(const std::string& text) = 0;
    // Stops the focus preview if it runs; false when it could not be stopped.
    virtual bool StopFocusPreviewIfRunning() = 0;
    virtual void EnableScanLimitControls(bool enable) = 0;
    virtual void EnableApplyDark() = 0;
    // Starts the data stream if it is not running; returns whether it runs.
    virtual bool EnsureStreaming() = 0;
    // Builds a picture from the current buffers (display thread or window thread).
    virtual void UpdateImage() = 0;
    // The end of a dark or calibration stack: the save dialog belongs to the window thread. Called on
    // the camera thread; the host posts the save and returns at once (the camera thread never waits
    // for the window, so neither a stream stop nor exit can deadlock with it).
    virtual void PostStackSave(bool dark) = 0;
    // A cube, dark or calibration acquisition ended (camera or window thread).
    virtual void AcquisitionEnded() {}
    // A fault found off the window thread (the frame watchdog): the host shows text without making
    // the caller wait for the user. The default shows it at once.
    virtual void PostMessage(const std::string& text) { ShowMessage(text); }
};

struct ScanPositions {
    int32_t scanStart = 0;
    int32_t center = -165000;
    int32_t corridor = 10000; // counts the mirror may be away from where it was sent
};

class AcquisitionEngine {
public:
    enum class Mode { Cube, Dark, Calibration, SpectralDisplay };
    // How the last cube, dark or calibration acquisition ended.
    enum class ScanEnd {
        None,           // none ended yet (or one runs)
        Completed,      // every line taken, the mirror back at the Scan Start Position
        Stopped,        // Stop: the lines taken so far stay
        StartTimedOut,  // the mirror did not reach its start: nothing taken
        ReturnTimedOut, // every line (or those up to a Stop) taken, the mirror did not return
        LinkLost,       // the controller's link was lost: the lines taken before stay
        FramesStopped,  // the data camera stopped delivering frames: the lines taken before stay
    };

    // The frame watchdog: during an acquisition (mirror at its start, stream started), a gap between
    // two frames longer than the frame time-out ends it as Stop does, with its own message. The
    // time-out is a few frame periods plus a margin, so a slow exposure never trips it; 0 (the
    // default until a frame rate is known) switches the watchdog off.
    static constexpr int kFrameTimeoutPeriods = 5;
    static constexpr double kFrameTimeoutMarginMs = 3000.0;
    static double FrameTimeoutMs(double framesPerSecond);
    // The data camera's frame rate (after each configuration of the camera).
    void SetFrameRate(double framesPerSecond);
    void SetFrameTimeoutMs(double ms) { m_frameTimeoutMs = ms; }
    double FrameTimeoutMsSetting() const { return m_frameTimeoutMs.load(); }

    AcquisitionEngine(EngineHost& host, MirrorLink& mirror);
    ~AcquisitionEngine();
    AcquisitionEngine(const AcquisitionEngine&) = delete;
    AcquisitionEngine& operator=(const AcquisitionEngine&) = delete;

    // Allocates every buffer for the geometry (first call) or re-sizes them when W, H or B really
    // changed; returns true when the buffers were (re)allocated. A re-size clears the dark frame and
    // the radiometric calibration flags with their buffers.
    bool AllocateBuffers(const CubeGeometry& geometry);

    // The four acquisition commands (window thread).
    void AcquisitionCommand(Mode mode);
    void PrepareAcquisition();
    void StartAcquisition();
    // Stop (and the end of a scan): returns the mirror, reports the frame rate, ends the
    // acquisition. reason is what the end is recorded as (m_scanEnd). False when the acquisition
    // was already stopped (nothing done).
    bool StopAcquisition(ScanEnd reason = ScanEnd::Stopped);
    // Streaming callback of the data camera (camera thread). Frames are W x H 16-bit pixels.
    void OnDataFrame(const uint16_t* frame);
    // Frames whose length is not that of a W x H frame of 16-bit pixels are refused and counted
    // (never binned); they do not count as frames for the frame watchdog.
    static void OnDataFrameCallback(void* context, uint8_t* data, uint32_t length);
    uint64_t FramesRejected() const { return m_framesRejected.load(); }
    // Frames the camera's backend refused before they reached the engine (wrong size or format),
    // for the frame watchdog's message; none when unset.
    std::function<uint64_t()> cameraRejectedFrames;
    // Converter from raw frames to 16-bit grey; the default copies (16-bit frames).
    std::function<bool(uint16_t* dest, const uint16_t* src, int width, int height)> convertFrame;

    void ComputeDarkFrame();
    // A cube read from a file takes the place of the acquired one (window thread): every line is
    // copied under its line lock. False, with nothing changed, while an acquisition runs or when the
    // values are not W x B x H.
    bool ReplaceCube(const std::vector<uint16_t>& cube);
    // A dark frame (B x H values) from a file: copied under its lock and marked valid. False, with
    // nothing changed, when the size is not B x H.
    bool ReplaceDarkFrame(const std::vector<uint16_t>& frame);
    // The darkLines lines of a stack (m_darkCube or m_calCube), each copied under its line lock.
    std::vector<uint16_t> CopyStack(const std::vector<uint16_t>& stack) const;

    // Takes the next frame of the data camera that starts after this call (a converted W x H copy);
    // false when none arrived within timeoutMs.
    bool TakeFreshFrame(std::vector<uint16_t>& frame, int timeoutMs);

    // Display thread control: a change that needs a new picture; the loop draws at most once per
    // minimum interval (the screen's refresh period).
    void RequestRedraw();
    void SetMinimumRedrawInterval(double ms) { m_redrawIntervalMs = ms; }
    uint64_t PicturesDrawn() const { return m_picturesDrawn.load(); }
    // Stops the display thread and the frame watchdog and waits for them (exit, tests); the
    // watchdog does not start again afterwards.
    void ShutdownDisplayThread();

    // Scanner positions are read at each use.
    std::function<ScanPositions()> scanPositions = [] { return ScanPositions{}; };
    // The record of every line of a cube acquisition. describeRun gives the run's settings at the
    // start of each cube (window thread; the engine adds the time, scan start and step).
    // droppedFrameCount gives the data camera's count of lost frames so far, or -1 when the camera
    // cannot tell; it is called on the camera thread and must not block. Without a count, lost
    // frames are estimated from the gaps between frames at the period of the run's frame rate.
    // linkUp says whether the motion controller's link is up (camera thread).
    std::function<RunDescription()> describeRun = [] { return RunDescription{}; };
    std::function<int64_t()> droppedFrameCount;
    std::function<bool()> linkUp = [] { return true; };
    // A copy of the record of the last cube acquisition (the lines stored so far while it runs).
    LineRecord LastLineRecord() const;
    double m_stepPerLine = 12.0;

    // Geometry and buffers.
    const CubeGeometry& Geometry() const { return m_geometry; }
    std::mutex& LineLock(int line) const { return m_lineLocks[size_t(line) % m_lineLocks.size()]; }

    CubeGeometry m_geometry;
    std::vector<uint16_t> m_greyFrame;  // converted frame, row * W + column
    std::vector<uint16_t> m_cube;       // W lines of B x H, position b*H + (H-1-s)
    std::vector<uint16_t> m_lineImage;  // the last stored line
    std::vector<uint16_t> m_darkCube;   // darkLines lines of B x H (allocated darkLines x W x B)
    std::vector<uint16_t> m_calCube;    // same layout
    std::vector<uint16_t> m_darkFrame;  // B x H (allocated W x B)
    std::vector<uint32_t> m_frameImage; // W x H display buffer, row * W + column
    std::vector<float> m_radCalGains;   // W x B, 1.0 at allocation
    std::array<std::vector<uint16_t>, 3> m_rgbPlanes;
    mutable std::mutex m_frameImageMutex;
    mutable std::mutex m_darkFrameMutex; // m_darkFrame and m_radCalGains

    std::atomic<bool> m_acquireCube{false};
    std::atomic<bool> m_acquireDark{false};
    std::atomic<bool> m_acquireCalCube{false};
    std::atomic<bool> m_spectralDisplayMode{false};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_scannerPositioning{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_darkFrameValid{false};
    std::atomic<bool> m_radCalLoaded{false};
    std::atomic<bool> m_dataCameraOnline{false};
    std::atomic<int> m_lineIndex{0};
    std::atomic<int> m_framesThisScan{0};
    std::atomic<uint32_t> m_startTicks{0};
    std::atomic<uint32_t> m_stopTicks{0};
    std::atomic<uint32_t> m_elapsedSeconds{0};
    // Status text of the last frame-rate report (pane 1).
    std::string LastFrameRateText() const;
    // Mirror travels that ended without arrival (time-out), for status and tests.
    std::atomic<int> m_mirrorTimeouts{0};
    // How the last acquisition ended, and the lines (cube lines or stack lines) it stored.
    std::atomic<ScanEnd> m_scanEnd{ScanEnd::None};
    std::atomic<int> m_linesTaken{0};
    // Cube scans refused or ended because a line position would not fit in 32 bits.
    std::atomic<int> m_scansRefused{0};
    // The check after the last line of a cube: the mirror's position then was farther from the last
    // line position sent than the tolerance (the corridor, at most half the scan's span, so that a
    // mirror that never left the scan start is noticed); where it stood and where it was sent.
    std::atomic<bool> m_mirrorNotFollowed{false};
    std::atomic<int32_t> m_mirrorAfterScan{0};
    std::atomic<int32_t> m_mirrorCommandedAfterScan{0};
    static int32_t MirrorFollowTolerance(int32_t corridor, double stepPerLine, int lines);
    // Saturation of the last stored line or live frame: the number of its values (B x H of a line,
    // W x H of a frame) at least m_saturationThreshold, which the window sets from its Max edit
    // (min(Max, 4095)). -1 until something was counted.
    std::atomic<uint32_t> m_saturationThreshold{4095};
    std::atomic<int64_t> m_lastLineHigh{-1};

    // Change counts, so that the display maps only what changed while an acquisition runs (then the
    // engine is the only writer of these buffers).
    // Writes of cube line `line` (binned, or cleared at the start of a cube), counted under the line's
    // lock; 0 for a line outside the cube.
    uint32_t CubeLineWrites(int line) const;
    // Writes of the display buffer by the engine (cleared, or a live frame of the spectral display),
    // counted under m_frameImageMutex.
    uint64_t FrameImageWrites() const { return m_frameImageWrites.load(); }
    // Averages into the dark frame (ComputeDarkFrame).
    uint64_t DarkFrameWrites() const { return m_darkFrameWrites.load(); }
    // Allocations of the buffers (AllocateBuffers that really allocated).
    uint64_t BufferGeneration() const { return m_bufferGeneration.load(); }

private:
    void StoreBinnedLine(std::vector<uint16_t>& target, int line, const uint16_t* grey);
    void DisplayLoop();
    void StartDisplayThread();
    void ReportTravel(TravelResult result, int32_t target);
    void ArmFrameWatchdog(bool armed);
    void CheckMirrorFollowed(int64_t commanded);
    static constexpr int64_t kNoPosition = INT64_MIN;
    std::atomic<int64_t> m_lastCommandedPosition{kNoPosition};
    void WatchdogLoop();

    EngineHost& m_host;
    MirrorLink& m_mirror;
    mutable std::array<std::mutex, 64> m_lineLocks;

    std::thread m_displayThread;
    std::mutex m_displayMutex;
    std::condition_variable m_displayWake;
    bool m_displayDirty = false;
    std::atomic<bool> m_displayExit{false};
    std::atomic<double> m_redrawIntervalMs{1000.0 / 60.0};
    std::atomic<uint64_t> m_picturesDrawn{0};

    std::mutex m_freshMutex;
    std::condition_variable m_freshWake;
    std::vector<uint16_t>* m_freshTarget = nullptr;
    bool m_freshDone = false;

    mutable std::mutex m_reportMutex;
    std::string m_lastFrameRateText;

    std::unique_ptr<std::atomic<uint32_t>[]> m_cubeLineWrites; // W counts
    int m_cubeLineWriteCount = 0;
    std::atomic<uint64_t> m_frameImageWrites{0};
    std::atomic<uint64_t> m_darkFrameWrites{0};
    std::atomic<uint64_t> m_bufferGeneration{0};

    // Frame watchdog: armed while frames are expected; the time of the last frame (or of arming).
    std::atomic<double> m_frameTimeoutMs{0.0};
    std::atomic<double> m_framePeriodMs{0.0};
    std::atomic<int64_t> m_lastFrameNs{0};
    std::atomic<uint64_t> m_framesRejected{0};
    std::atomic<uint64_t> m_rejectedAtArming{0};
    uint64_t RejectedFrames() const;
    std::atomic<bool> m_watchdogArmed{false};
    std::thread m_watchdogThread;
    std::mutex m_watchdogMutex;
    std::condition_variable m_watchdogWake;
    bool m_watchdogExit = false;
    // The line record: the lines are written by the camera thread, read by the savers.
    void StartLineRecord();
    void RecordLine(int line, int32_t position, std::chrono::steady_clock::time_point arrival,
                    std::chrono::steady_clock::time_point previousArrival);
    mutable std::mutex m_recordMutex;
    LineRecord m_record;
    size_t m_recordedLines = 0;
    std::chrono::steady_clock::time_point m_scanStart{};
    double m_recordFramePeriodMs = 0.0;
    int64_t m_droppedAtLastLine = -1;
    // Camera thread only: when the previous frame arrived (any frame, stored or not).
    std::chrono::steady_clock::time_point m_previousArrival{};
};
