#pragma once
// The acquisition engine: turns the data camera's frames into cube lines, dark and calibration
// stacks or the live spectral picture; drives the mirror one step per cube line; runs the display
// thread. Qt-free; the main window owns one and implements EngineHost.
//
// Threads:
//  - window thread: the acquisition commands (AcquisitionCommand, or BeginAcquisition with
//    TravelAndStart on the window's command worker, which also runs the window's Stop);
//  - camera thread: OnDataFrame for every frame (also StopAcquisition at the end of a scan);
//  - frame watchdog thread: StopAcquisition when the camera goes silent;
//  - display thread: DisplayLoop, which asks the host for a picture when something changed.
// Flags are atomics. A cube line is written under its line lock (LockLine) and the display and the
// probe read lines under the same lock, so a picture may show a line that is not there yet but
// never a torn one. The display buffer and the colour planes are guarded by their own lock
// (LockDisplayBuffers); the dark frame and the gains by the calibration store's lock. Callers reach
// buffers and flags only through the operations below, which take the locks themselves.
#include "calibration/CalibrationStore.h"
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
    // Move, then poll until the mirror is there, within a time limit; a raised abort flag ends the
    // travel (TravelResult::Stopped).
    virtual TravelResult TravelTo(int32_t target, const std::atomic<bool>* abort) = 0;
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
    // AcquisitionCommand in two steps, for a caller that lets the mirror travel on another thread:
    // BeginAcquisition (window thread) checks the command, marks the engine busy and clears the
    // buffers; it returns false when the command was refused. TravelAndStart (any thread, after a
    // true Begin) switches the drive on, waits for the mirror at its start and starts the stream.
    bool BeginAcquisition(Mode mode);
    void TravelAndStart();
    // Ends a travel to a scan's start under way (the acquisition ends as Stopped, nothing stored);
    // any thread. The next BeginAcquisition clears it.
    void AbortStart();
    // Ends every travel under way or to come (start and return), for closing; any thread.
    void AbortTravels();
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
    // Mirror counts per cube line (window thread, before a scan; read at each line).
    void SetStepPerLine(double step) { m_stepPerLine = step; }
    double StepPerLine() const { return m_stepPerLine.load(); }

    // Geometry and buffers.
    const CubeGeometry& Geometry() const { return m_geometry; }
    std::mutex& LineLock(int line) const { return m_lineLocks[size_t(line) % m_lineLocks.size()]; }
    // The cube: W lines of B x H values, value b*H + (H-1-s) of a line. While an acquisition runs a
    // line is read under its LineLock; otherwise nothing else writes it.
    const std::vector<uint16_t>& Cube() const { return m_cube; }
    // The last stored line (B x H), written by the camera thread.
    const std::vector<uint16_t>& LastLine() const { return m_lineImage; }
    // The dark and the calibration stack: darkLines lines of B x H values each (room for W x B per
    // line). Read like the cube, line by line under LineLock while an acquisition runs.
    enum class Stack { Dark, Calibration };
    const std::vector<uint16_t>& StackBuffer(Stack stack) const {
        return stack == Stack::Dark ? m_darkCube : m_calCube;
    }
    // The darkLines lines of a stack, each copied under its line lock.
    std::vector<uint16_t> CopyStack(Stack stack) const;
    // `count` values of a stack from value `offset` on, copied line by line under the line locks
    // (whatever layout the caller uses); clipped to the stack's buffer.
    void ReadStack(Stack stack, size_t offset, size_t count, uint16_t* out) const;
    void WriteStack(Stack stack, size_t offset, const uint16_t* in, size_t count);

    // The dark frame and the radiometric gains with their flags.
    CalibrationStore& Calibration() { return m_calibration; }
    const CalibrationStore& Calibration() const { return m_calibration; }
    bool DarkFrameValid() const { return m_calibration.DarkFrameValid(); }

    // The display buffer (W x H, row * W + column) and the three colour planes, under their lock for
    // as long as the access lives.
    class DisplayBuffers {
    public:
        std::vector<uint32_t>& FrameImage() { return m_engine.m_frameImage; }
        std::array<std::vector<uint16_t>, 3>& ColourPlanes() { return m_engine.m_rgbPlanes; }

    private:
        friend class AcquisitionEngine;
        explicit DisplayBuffers(AcquisitionEngine& engine)
            : m_lock(engine.m_frameImageMutex), m_engine(engine) {}
        std::unique_lock<std::mutex> m_lock;
        AcquisitionEngine& m_engine;
    };
    DisplayBuffers LockDisplayBuffers() { return DisplayBuffers(*this); }
    // One value of the display buffer (0 outside it).
    uint32_t DisplayValue(int x, int y) const;

    // What runs. Busy: a cube, dark or calibration acquisition (from its command to its end).
    bool Busy() const { return m_busy.load(); }
    bool AcquiringCube() const { return m_acquireCube.load(); }
    bool AcquiringDark() const { return m_acquireDark.load(); }
    bool AcquiringCalibration() const { return m_acquireCalCube.load(); }
    bool SpectralDisplayMode() const { return m_spectralDisplayMode.load(); }
    // The mirror travels to a start or focus position: frames are not stored meanwhile.
    bool ScannerPositioning() const { return m_scannerPositioning.load(); }
    void SetScannerPositioning(bool travelling) { m_scannerPositioning = travelling; }
    bool StopRequested() const { return m_stopRequested.load(); }
    // Asks every wait of the acquisition (and the scanner link's waits) to end.
    void RequestStop() { m_stopRequested = true; }
    // The flag the scanner link's waits watch.
    const std::atomic<bool>* StopFlag() const { return &m_stopRequested; }
    bool DataCameraOnline() const { return m_dataCameraOnline.load(); }
    void SetDataCameraOnline(bool online) { m_dataCameraOnline = online; }
    // No acquisition, no stop, no travel, no spectral display, no valid dark frame: the state of a
    // window that starts or connects its devices again.
    void ResetForStartUp();

    // The line being acquired (0 when none runs).
    int LineIndex() const { return m_lineIndex.load(); }
    void ResetLineIndex() { m_lineIndex = 0; }
    // Status text of the last frame-rate report (pane 1).
    std::string LastFrameRateText() const;
    // Mirror travels that ended without arrival (time-out), for status and tests.
    int MirrorTimeouts() const { return m_mirrorTimeouts.load(); }
    // How the last acquisition ended, and the lines (cube lines or stack lines) it stored.
    ScanEnd LastScanEnd() const { return m_scanEnd.load(); }
    int LinesTaken() const { return m_linesTaken.load(); }
    // Cube scans refused or ended because a line position would not fit in 32 bits.
    int ScansRefused() const { return m_scansRefused.load(); }
    // The check after the last line of a cube: the mirror's position then was farther from the last
    // line position sent than the tolerance (the corridor, at most half the scan's span, so that a
    // mirror that never left the scan start is noticed); where it stood and where it was sent.
    struct MirrorFollowCheck {
        bool notFollowed = false;
        int32_t at = 0;
        int32_t commanded = 0;
    };
    MirrorFollowCheck LastMirrorFollowCheck() const {
        return {m_mirrorNotFollowed.load(), m_mirrorAfterScan.load(), m_mirrorCommandedAfterScan.load()};
    }
    static int32_t MirrorFollowTolerance(int32_t corridor, double stepPerLine, int lines);
    // Saturation of the last stored line or live frame: the number of its values (B x H of a line,
    // W x H of a frame) at least the threshold, which the window sets from its Max edit
    // (min(Max, 4095)). -1 until something was counted.
    void SetSaturationThreshold(uint32_t threshold) { m_saturationThreshold = threshold; }
    uint32_t SaturationThreshold() const { return m_saturationThreshold.load(); }
    int64_t LastLineHigh() const { return m_lastLineHigh.load(); }

    // Change counts, so that the display maps only what changed while an acquisition runs (then the
    // engine is the only writer of these buffers).
    // Writes of cube line `line` (binned, or cleared at the start of a cube), counted under the line's
    // lock; 0 for a line outside the cube.
    uint32_t CubeLineWrites(int line) const;
    // Writes of the display buffer by the engine (cleared, or a live frame of the spectral display),
    // counted under m_frameImageMutex.
    uint64_t FrameImageWrites() const { return m_frameImageWrites.load(); }
    // Averages into the dark frame (ComputeDarkFrame).
    uint64_t DarkFrameWrites() const { return m_calibration.DarkFrameWrites(); }
    // Allocations of the buffers (AllocateBuffers that really allocated).
    uint64_t BufferGeneration() const { return m_bufferGeneration.load(); }

private:
    friend class EngineTestAccess; // tests and benchmarks that put the engine in a state directly
    CubeGeometry m_geometry;
    std::vector<uint16_t> m_greyFrame;  // converted frame, row * W + column
    std::vector<uint16_t> m_cube;       // W lines of B x H, position b*H + (H-1-s)
    std::vector<uint16_t> m_lineImage;  // the last stored line
    std::vector<uint16_t> m_darkCube;   // darkLines lines of B x H (allocated darkLines x W x B)
    std::vector<uint16_t> m_calCube;    // same layout
    std::vector<uint32_t> m_frameImage; // W x H display buffer, row * W + column
    std::array<std::vector<uint16_t>, 3> m_rgbPlanes;
    mutable std::mutex m_frameImageMutex;
    CalibrationStore m_calibration; // dark frame (B x H used, W x B allocated) and gains

    std::atomic<double> m_stepPerLine{12.0};
    std::atomic<bool> m_acquireCube{false};
    std::atomic<bool> m_acquireDark{false};
    std::atomic<bool> m_acquireCalCube{false};
    std::atomic<bool> m_spectralDisplayMode{false};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_scannerPositioning{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_startAbort{false};     // ends the travel to a scan's start (Stop, closing)
    std::atomic<bool> m_travelsAborted{false}; // ends every travel (closing)
    std::atomic<bool> m_dataCameraOnline{false};
    std::atomic<int> m_lineIndex{0};
    std::atomic<int> m_framesThisScan{0};
    std::atomic<uint32_t> m_startTicks{0};
    std::atomic<uint32_t> m_stopTicks{0};
    std::atomic<uint32_t> m_elapsedSeconds{0};
    std::atomic<int> m_mirrorTimeouts{0};
    std::atomic<ScanEnd> m_scanEnd{ScanEnd::None};
    std::atomic<int> m_linesTaken{0};
    std::atomic<int> m_scansRefused{0};
    std::atomic<bool> m_mirrorNotFollowed{false};
    std::atomic<int32_t> m_mirrorAfterScan{0};
    std::atomic<int32_t> m_mirrorCommandedAfterScan{0};
    std::atomic<uint32_t> m_saturationThreshold{4095};
    std::atomic<int64_t> m_lastLineHigh{-1};

    void StoreBinnedLine(std::vector<uint16_t>& target, int line, const uint16_t* grey);
    void DisplayLoop();
    void StartDisplayThread();
    void ReportTravel(TravelResult result, int32_t target);
    void ArmFrameWatchdog(bool armed);
    void PrepareAcquisition();
    void StartAcquisition();
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
