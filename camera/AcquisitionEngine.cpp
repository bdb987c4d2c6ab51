#include "camera/AcquisitionEngine.h"

#include "camera/LineBinning.h"
#include "core/Sleep.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

std::string EngineMsg::ScanOutOfRangeText(int32_t scanStart, double stepPerLine, int lastLine) {
    char text[256];
    std::snprintf(
        text, sizeof text,
        "The scan does not fit the mirror's range: from the Scan Start Position %d with a Step Size of "
        "%f, line %d would be at %.0f counts. Check the scanner settings.",
        scanStart, stepPerLine, lastLine, double(scanStart) + double(lastLine) * stepPerLine);
    return text;
}

std::string EngineMsg::FramesStoppedText(double silentMs, double framePeriodMs, int lines,
                                         uint64_t rejected) {
    char text[384];
    if (rejected == 0)
        std::snprintf(
            text, sizeof text,
            "The data camera stopped delivering frames: none came for %.1f s (one was expected every %.0f "
            "ms). The acquisition was ended after %d lines; they are kept.",
            silentMs / 1000.0, framePeriodMs, lines);
    else
        std::snprintf(
            text, sizeof text,
            "The data camera stopped delivering frames: none came for %.1f s (one was expected every %.0f "
            "ms); %llu frames of the wrong size or format were refused during the acquisition. The "
            "acquisition was ended after %d lines; they are kept.",
            silentMs / 1000.0, framePeriodMs, static_cast<unsigned long long>(rejected), lines);
    return text;
}

std::string EngineMsg::MirrorNotFollowedText(int32_t at, int32_t commanded) {
    char text[160];
    std::snprintf(text, sizeof text, "Mirror did not follow the scan: at %d after the last line, sent to %d",
                  at, commanded);
    return text;
}

namespace {
int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
double FramePeriodMsOf(double framesPerSecond) {
    return std::isfinite(framesPerSecond) && framesPerSecond > 0.01 ? 1000.0 / framesPerSecond : 1000.0;
}
} // namespace

double AcquisitionEngine::FrameTimeoutMs(double framesPerSecond) {
    return kFrameTimeoutPeriods * FramePeriodMsOf(framesPerSecond) + kFrameTimeoutMarginMs;
}

int32_t AcquisitionEngine::MirrorFollowTolerance(int32_t corridor, double stepPerLine, int lines) {
    const double halfSpan = std::fabs(stepPerLine) * double(lines) / 2.0;
    return int32_t(std::clamp(std::min(double(std::max(corridor, 0)), halfSpan), 1.0, 2147483647.0));
}

void AcquisitionEngine::CheckMirrorFollowed(int64_t commanded) {
    if (commanded == kNoPosition)
        return;
    const std::optional<int32_t> at = m_mirror.QueryPosition();
    if (!at)
        return;
    const int32_t tolerance =
        MirrorFollowTolerance(scanPositions().corridor, m_stepPerLine, m_geometry.width);
    if (std::llabs(int64_t(*at) - commanded) <= tolerance)
        return;
    m_mirrorAfterScan = *at;
    m_mirrorCommandedAfterScan = int32_t(commanded);
    m_mirrorNotFollowed = true;
    m_host.SetStatusText(3, EngineMsg::MirrorNotFollowedText(*at, int32_t(commanded)));
}

void AcquisitionEngine::SetFrameRate(double framesPerSecond) {
    m_framePeriodMs = FramePeriodMsOf(framesPerSecond);
    m_frameTimeoutMs = FrameTimeoutMs(framesPerSecond);
}

AcquisitionEngine::AcquisitionEngine(EngineHost& host, MirrorLink& mirror) : m_host(host), m_mirror(mirror) {
    convertFrame = [](uint16_t* dest, const uint16_t* src, int width, int height) {
        std::memcpy(dest, src, size_t(width) * size_t(height) * sizeof(uint16_t));
        return true;
    };
}

AcquisitionEngine::~AcquisitionEngine() {
    ShutdownDisplayThread();
}

bool AcquisitionEngine::AllocateBuffers(const CubeGeometry& g) {
    const bool first = m_cube.empty();
    if (!first && g.width == m_geometry.width && g.height == m_geometry.height &&
        g.bands == m_geometry.bands && g.darkLines == m_geometry.darkLines)
        return false;
    // Nobody may read the buffers while they are replaced.
    std::lock_guard lock(m_frameImageMutex);
    m_geometry = g;
    const size_t W = size_t(g.width), H = size_t(g.height), B = size_t(g.bands);
    m_greyFrame.assign(4194304, 0);
    if (W * H > m_greyFrame.size())
        m_greyFrame.assign(W * H, 0);
    m_cube.assign(W * H * B, 0);
    m_lineImage.assign(H * B, 0);
    // The stacks are W x B per line but only H x B of each line is used; keep room for both layouts.
    const size_t stackLineValues = std::max(W, H) * B;
    m_darkCube.assign(size_t(g.darkLines) * stackLineValues, 0);
    m_calCube.assign(size_t(g.darkLines) * stackLineValues, 0);
    m_frameImage.resize(W * H);
    for (size_t i = 0; i < m_frameImage.size(); ++i)
        m_frameImage[i] = uint32_t(i);
    // A new dark frame of zeros and gains of 1.0: neither valid nor loaded.
    m_calibration.Allocate(std::max(W, H) * B);
    {
        std::lock_guard lock(m_recordMutex);
        m_record.lines.assign(W, LineEvent{});
        m_recordedLines = 0;
    }
    for (auto& plane : m_rgbPlanes)
        plane.assign(W * H, 0);
    m_cubeLineWrites = std::make_unique<std::atomic<uint32_t>[]>(W);
    m_cubeLineWriteCount = g.width;
    ++m_bufferGeneration;
    return true;
}

uint32_t AcquisitionEngine::CubeLineWrites(int line) const {
    return line >= 0 && line < m_cubeLineWriteCount ? m_cubeLineWrites[size_t(line)].load() : 0;
}

void AcquisitionEngine::AcquisitionCommand(Mode mode) {
    if (BeginAcquisition(mode))
        TravelAndStart();
}

bool AcquisitionEngine::BeginAcquisition(Mode mode) {
    if (!m_host.StopFocusPreviewIfRunning())
        m_host.ShowMessage(EngineMsg::kPreviewStop);
    if (!m_dataCameraOnline.load()) {
        m_host.ShowMessage(EngineMsg::kOffline);
        return false;
    }
    if (m_busy.load()) {
        m_host.ShowMessage(mode == Mode::Cube ? EngineMsg::kBusyCube : EngineMsg::kBusyOther);
        return false;
    }
    if (mode == Mode::Cube) {
        // Every line's position, up to the step commanded by the frame after the last line, must fit
        // in 32 bits: a position that does not is never sent to the mirror, so the scan is refused
        // before anything moves.
        const int32_t scanStart = scanPositions().scanStart;
        if (!ScanFitsMirrorRange(scanStart, m_stepPerLine, m_geometry.width)) {
            ++m_scansRefused;
            m_host.ShowMessage(EngineMsg::ScanOutOfRangeText(scanStart, m_stepPerLine, m_geometry.width));
            return false;
        }
    }
    // Frames are ignored from here until the mirror stands at its start, so that no frame is stored
    // into buffers that are being cleared (and the scanner settings stay refused during the travel).
    m_scannerPositioning = true;
    m_acquireCube = mode == Mode::Cube;
    m_acquireDark = mode == Mode::Dark;
    m_acquireCalCube = mode == Mode::Calibration;
    m_spectralDisplayMode = mode == Mode::SpectralDisplay;
    m_busy = true;
    m_startAbort = false;
    if (mode == Mode::Dark)
        m_host.EnableApplyDark();
    if (mode != Mode::SpectralDisplay) {
        PrepareAcquisition();
    } else {
        std::lock_guard lock(m_frameImageMutex);
        std::fill(m_frameImage.begin(), m_frameImage.end(), 0u);
        ++m_frameImageWrites;
    }
    return true;
}

void AcquisitionEngine::TravelAndStart() {
    m_mirror.EnableScannerDrive(true);
    StartAcquisition();
}

void AcquisitionEngine::AbortStart() {
    m_startAbort = true;
}

void AcquisitionEngine::AbortTravels() {
    m_travelsAborted = true;
    m_startAbort = true;
}

void AcquisitionEngine::PrepareAcquisition() {
    m_host.EnableScanLimitControls(false);
    {
        std::lock_guard lock(m_frameImageMutex);
        std::fill(m_frameImage.begin(), m_frameImage.end(), 0u);
        ++m_frameImageWrites;
    }
    const size_t lineValues = m_geometry.LineValues();
    for (int l = 0; l < m_geometry.width; ++l) {
        std::lock_guard lock(LineLock(l));
        std::fill_n(m_cube.begin() + long(size_t(l) * lineValues), lineValues, uint16_t(0));
        ++m_cubeLineWrites[size_t(l)];
    }
}

void AcquisitionEngine::StartAcquisition() {
    m_lineIndex = 0;
    m_linesTaken = 0;
    m_framesThisScan = 0;
    m_stopRequested = false;
    m_scanEnd = ScanEnd::None;
    m_mirrorNotFollowed = false;
    m_lastCommandedPosition = kNoPosition;
    const ScanPositions pos = scanPositions();
    const int32_t target = m_acquireCube.load() ? pos.scanStart : pos.center;
    m_scannerPositioning = true;
    const TravelResult travel = m_mirror.TravelTo(target, &m_startAbort);
    if (travel == TravelResult::TimedOut || travel == TravelResult::Stopped ||
        travel == TravelResult::LinkLost) {
        // The mirror did not reach its start, its link is gone, or Stop came during the travel: end
        // the acquisition cleanly, nothing stored.
        if (travel == TravelResult::LinkLost) {
            m_scanEnd = ScanEnd::LinkLost;
        } else if (travel == TravelResult::Stopped) {
            m_scanEnd = ScanEnd::Stopped;
        } else {
            ++m_mirrorTimeouts;
            m_scanEnd = ScanEnd::StartTimedOut;
        }
        m_acquireCube = false;
        m_acquireDark = false;
        m_acquireCalCube = false;
        m_stopRequested = true;
        m_busy = false;
        m_scannerPositioning = false;
        if (travel != TravelResult::LinkLost)
            m_mirror.EnableScannerDrive(false);
        m_host.EnableScanLimitControls(true);
        m_host.SetStatusText(2, EngineMsg::kReady);
        m_host.AcquisitionEnded();
        return;
    }
    // The record starts before frames are stored again, so that it holds line 0.
    if (m_acquireCube.load())
        StartLineRecord();
    m_scannerPositioning = false;
    m_startTicks = ArvTickCountMs();
    if (!m_host.EnsureStreaming()) {
        // The start may run off the window thread: the message does not wait for the operator.
        m_host.PostMessage(EngineMsg::kStreamStart);
        m_host.SetStatusText(2, EngineMsg::kReady);
    }
    m_stopRequested = false;
    m_host.SetStatusText(2, EngineMsg::kAcquiring);
    // From here frames are expected (also when the stream did not start: then the watchdog ends
    // the acquisition that would otherwise wait forever).
    ArmFrameWatchdog(true);
    StartDisplayThread();
}

void AcquisitionEngine::ArmFrameWatchdog(bool armed) {
    if (!armed) {
        m_watchdogArmed = false;
        return;
    }
    m_lastFrameNs = SteadyNs();
    m_rejectedAtArming = RejectedFrames();
    m_watchdogArmed = true;
    std::lock_guard lock(m_watchdogMutex);
    if (!m_watchdogThread.joinable() && !m_watchdogExit && m_frameTimeoutMs.load() > 0)
        m_watchdogThread = std::thread(&AcquisitionEngine::WatchdogLoop, this);
}

void AcquisitionEngine::WatchdogLoop() {
    std::unique_lock lock(m_watchdogMutex);
    while (!m_watchdogExit) {
        m_watchdogWake.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_watchdogExit; });
        if (m_watchdogExit)
            break;
        const double limitMs = m_frameTimeoutMs.load();
        if (!m_watchdogArmed.load() || limitMs <= 0 || m_stopRequested.load() || m_scannerPositioning.load())
            continue;
        const double silentMs = double(SteadyNs() - m_lastFrameNs.load()) / 1e6;
        if (silentMs <= limitMs || !m_watchdogArmed.exchange(false))
            continue;
        // The stop returns the mirror (a wait of its own, with its own limit): not under the lock.
        lock.unlock();
        if (StopAcquisition(ScanEnd::FramesStopped))
            m_host.PostMessage(EngineMsg::FramesStoppedText(silentMs, m_framePeriodMs.load(),
                                                            m_linesTaken.load(),
                                                            RejectedFrames() - m_rejectedAtArming.load()));
        lock.lock();
    }
}

bool AcquisitionEngine::StopAcquisition(ScanEnd reason) {
    if (m_stopRequested.exchange(true))
        return false;
    ArmFrameWatchdog(false);
    m_scannerPositioning = true;
    RequestRedraw(); // wakes the display thread so that it draws the last lines and ends
    // With the link lost nothing can reach the controller: the mirror stays where it is, and the
    // next command restores the link.
    const bool linkLost = reason == ScanEnd::LinkLost || m_mirror.LinkLost();
    if (!linkLost) {
        // Before it returns: did the mirror follow the scan to the last line position it was sent?
        CheckMirrorFollowed(m_lastCommandedPosition.exchange(kNoPosition));
        m_mirror.EnableScannerDrive(true);
        const int32_t scanStart = scanPositions().scanStart;
        const TravelResult back = m_mirror.TravelTo(scanStart, &m_travelsAborted);
        // A camera that stopped is the first fault and stays the recorded end; the mirror's own
        // failure is reported by the scanner link.
        if (back == TravelResult::TimedOut) {
            ++m_mirrorTimeouts;
            if (reason != ScanEnd::FramesStopped)
                reason = ScanEnd::ReturnTimedOut;
        } else if (back == TravelResult::LinkLost && reason != ScanEnd::FramesStopped) {
            reason = ScanEnd::LinkLost;
        }
    } else if (reason != ScanEnd::FramesStopped) {
        reason = ScanEnd::LinkLost;
    }
    m_scanEnd = reason;
    m_scannerPositioning = false;
    m_stopTicks = ArvTickCountMs();
    const uint32_t elapsedMs = m_stopTicks.load() - m_startTicks.load();
    m_elapsedSeconds = elapsedMs / 1000u;
    // The rate is computed from milliseconds so that a scan shorter than a second reports a finite
    // rate.
    const float seconds = float(std::max<uint32_t>(elapsedMs, 1u)) / 1000.0f;
    const float rate = float(m_framesThisScan.load()) / seconds;
    char text[128];
    std::snprintf(text, sizeof text, "%s %f", EngineMsg::kFrameRate, double(rate));
    {
        std::lock_guard lock(m_reportMutex);
        m_lastFrameRateText = text;
    }
    m_host.SetStatusText(1, text);
    m_host.SetStatusText(2, EngineMsg::kReady);
    m_acquireCube = false;
    m_framesThisScan = 0;
    if (!m_mirror.LinkLost())
        m_mirror.EnableScannerDrive(false);
    m_busy = false;
    m_host.AcquisitionEnded();
    return true;
}

void AcquisitionEngine::StartLineRecord() {
    RunDescription run = describeRun();
    run.started = LocalTimeText();
    run.scanStart = scanPositions().scanStart;
    run.step = m_stepPerLine;
    const int64_t dropped = droppedFrameCount ? droppedFrameCount() : -1;
    std::lock_guard lock(m_recordMutex);
    m_record.run = std::move(run);
    m_record.scanned = true;
    m_recordedLines = 0;
    m_scanStart = std::chrono::steady_clock::now();
    m_recordFramePeriodMs = m_record.run.frameRate > 0.0 ? 1000.0 / m_record.run.frameRate : 0.0;
    m_droppedAtLastLine = dropped;
}

void AcquisitionEngine::RecordLine(int line, int32_t position, std::chrono::steady_clock::time_point arrival,
                                   std::chrono::steady_clock::time_point previousArrival) {
    const int64_t count = droppedFrameCount ? droppedFrameCount() : -1;
    const bool up = linkUp();
    std::lock_guard lock(m_recordMutex);
    if (size_t(line) >= m_record.lines.size())
        return;
    LineEvent& e = m_record.lines[size_t(line)];
    e.line = line;
    e.msSinceStart = std::chrono::duration<double, std::milli>(arrival - m_scanStart).count();
    e.commandedPosition = position;
    if (count >= 0 && m_droppedAtLastLine >= 0) {
        e.droppedBefore = uint32_t(std::clamp<int64_t>(count - m_droppedAtLastLine, 0, 0xFFFFFFFF));
    } else {
        const double gap = std::chrono::duration<double, std::milli>(arrival - previousArrival).count();
        e.droppedBefore = previousArrival.time_since_epoch().count() == 0
                              ? 0
                              : EstimateDroppedFrames(gap, m_recordFramePeriodMs);
    }
    m_droppedAtLastLine = count;
    e.linkUp = up;
    m_recordedLines = std::max(m_recordedLines, size_t(line) + 1);
}

LineRecord AcquisitionEngine::LastLineRecord() const {
    std::lock_guard lock(m_recordMutex);
    LineRecord r;
    r.run = m_record.run;
    r.scanned = m_record.scanned;
    r.lines.assign(m_record.lines.begin(), m_record.lines.begin() + ptrdiff_t(m_recordedLines));
    return r;
}

uint64_t AcquisitionEngine::RejectedFrames() const {
    return m_framesRejected.load() + (cameraRejectedFrames ? cameraRejectedFrames() : 0);
}

std::string AcquisitionEngine::LastFrameRateText() const {
    std::lock_guard lock(m_reportMutex);
    return m_lastFrameRateText;
}

void AcquisitionEngine::StoreBinnedLine(std::vector<uint16_t>& target, int line, const uint16_t* grey) {
    uint16_t* dst = target.data() + size_t(line) * m_geometry.LineValues();
    std::lock_guard lock(LineLock(line));
    // One pass writes the line and the last-line buffer and counts the line's clipped values.
    const uint64_t high = BinFrameToLine(grey, m_geometry.width, m_geometry.height, m_geometry.bands, dst,
                                         m_lineImage.data(), m_saturationThreshold.load());
    if (&target == &m_cube)
        ++m_cubeLineWrites[size_t(line)];
    m_lastLineHigh = int64_t(high);
}

void AcquisitionEngine::OnDataFrameCallback(void* context, uint8_t* data, uint32_t length) {
    auto* engine = static_cast<AcquisitionEngine*>(context);
    const size_t expected =
        size_t(engine->m_geometry.width) * size_t(engine->m_geometry.height) * sizeof(uint16_t);
    if (!data || length != expected || engine->m_greyFrame.size() < expected / sizeof(uint16_t)) {
        // A frame of another size or pixel format would be binned from the wrong pixels (or read
        // beyond its end): it never reaches the cube.
        ++engine->m_framesRejected;
        return;
    }
    engine->OnDataFrame(reinterpret_cast<const uint16_t*>(data));
}

void AcquisitionEngine::OnDataFrame(const uint16_t* frame) {
    m_lastFrameNs = SteadyNs();
    const auto arrival = std::chrono::steady_clock::now();
    const int W = m_geometry.width, H = m_geometry.height;
    const bool cube = m_acquireCube.load() && !m_scannerPositioning.load();
    // Mirror step for the current line (issued before the line limit is tested, so the frame that
    // ends a cube commands one more step).
    int32_t position = 0;
    if (cube) {
        const int line = m_lineIndex.load();
        const int32_t scanStart = scanPositions().scanStart;
        const std::optional<int32_t> checked = CheckedLinePosition(scanStart, m_stepPerLine, line);
        if (!checked) {
            // The Scan Start Position was changed during the scan to where this line does not fit:
            // nothing is sent, and the scan ends here with the lines taken so far.
            ++m_scansRefused;
            m_host.SetStatusText(3, EngineMsg::ScanOutOfRangeText(scanStart, m_stepPerLine, line));
            StopAcquisition();
            return;
        }
        position = *checked;
        m_mirror.MoveMirrorAbsolute(position);
        m_lastCommandedPosition = position;
        ++m_framesThisScan;
        // A lost link ends the scan as Stop does: the lines taken so far stay.
        if (m_mirror.LinkLost()) {
            if (!m_stopRequested.load())
                StopAcquisition(ScanEnd::LinkLost);
            m_lineIndex = 0;
            return;
        }
    }
    // Lost frames are estimated from the gap to the previous frame when the camera gives no count.
    const auto previousArrival = m_previousArrival;
    m_previousArrival = arrival;
    const bool dark = (m_acquireDark.load() || m_acquireCalCube.load()) && !m_scannerPositioning.load();
    const bool spectral = m_spectralDisplayMode.load();
    bool fresh;
    {
        std::lock_guard lock(m_freshMutex);
        fresh = m_freshTarget != nullptr;
    }
    // Frames that nothing uses are not converted (the camera streams between acquisitions too).
    if (!(cube || dark || spectral || fresh))
        return;
    if (!convertFrame(m_greyFrame.data(), frame, W, H))
        return;
    if (fresh) {
        std::lock_guard lock(m_freshMutex);
        if (m_freshTarget) {
            m_freshTarget->assign(m_greyFrame.begin(), m_greyFrame.begin() + long(size_t(W) * size_t(H)));
            m_freshTarget = nullptr;
            m_freshDone = true;
            m_freshWake.notify_all();
        }
    }

    if (cube) {
        const int line = m_lineIndex.load();
        if (line < W && !m_stopRequested.load()) {
            StoreBinnedLine(m_cube, line, m_greyFrame.data());
            RecordLine(line, position, arrival, previousArrival);
            m_lineIndex = line + 1;
            m_linesTaken = line + 1;
            RequestRedraw();
        } else {
            if (!m_stopRequested.load())
                StopAcquisition(ScanEnd::Completed);
            m_lineIndex = 0;
        }
        return;
    }
    if (spectral) {
        {
            std::lock_guard lock(m_frameImageMutex);
            const size_t n = size_t(W) * size_t(H);
            const uint32_t threshold = m_saturationThreshold.load();
            int64_t high = 0;
            for (size_t i = 0; i < n; ++i) {
                const uint32_t v = uint32_t(m_greyFrame[i] >> 4);
                m_frameImage[i] = v;
                high += v >= threshold;
            }
            m_lastLineHigh = high;
            ++m_frameImageWrites;
        }
        ++m_lineIndex;
        RequestRedraw();
        return;
    }
    if (!dark)
        return;
    const int line = m_lineIndex.load();
    if (line < m_geometry.darkLines && !m_stopRequested.load()) {
        // Dark and calibration lines are binned like cube lines, so the stacks and the dark frame have
        // the cube's band order. Both modes write both stacks.
        StoreBinnedLine(m_darkCube, line, m_greyFrame.data());
        {
            std::lock_guard lock(LineLock(line));
            // From the last-line buffer, which holds the same line and is still in the caches.
            std::memcpy(m_calCube.data() + size_t(line) * m_geometry.LineValues(), m_lineImage.data(),
                        m_geometry.LineValues() * sizeof(uint16_t));
        }
        m_lineIndex = line + 1;
        m_linesTaken = line + 1;
        RequestRedraw();
        return;
    }
    if (!m_stopRequested.load()) {
        StopAcquisition(ScanEnd::Completed);
        if (m_acquireDark.load()) {
            ComputeDarkFrame();
            m_calibration.SetDarkFrameValid(true);
            m_acquireDark = false;
            m_host.PostStackSave(true);
        } else if (m_acquireCalCube.load()) {
            m_acquireCalCube = false;
            m_host.PostStackSave(false);
        }
    }
    m_lineIndex = 0;
}

void AcquisitionEngine::ComputeDarkFrame() {
    const size_t N = size_t(m_geometry.darkLines), L = m_geometry.LineValues();
    std::vector<uint32_t> sums(L, 0);
    for (size_t f = 0; f < N; ++f) {
        std::lock_guard lock(LineLock(int(f)));
        const uint16_t* line = m_darkCube.data() + f * L;
        for (size_t i = 0; i < L; ++i)
            sums[i] += line[i];
    }
    std::vector<uint16_t> mean(L);
    for (size_t i = 0; i < L; ++i)
        mean[i] = uint16_t(sums[i] / N);
    m_calibration.StoreDarkFrame(mean.data(), L);
}

bool AcquisitionEngine::ReplaceCube(const std::vector<uint16_t>& cube) {
    if (m_busy.load() || cube.size() != m_geometry.CubeValues() || m_cube.size() < cube.size())
        return false;
    const size_t L = m_geometry.LineValues();
    for (int l = 0; l < m_geometry.width; ++l) {
        std::lock_guard lock(LineLock(l));
        std::copy_n(cube.begin() + ptrdiff_t(size_t(l) * L), L, m_cube.begin() + ptrdiff_t(size_t(l) * L));
        ++m_cubeLineWrites[size_t(l)]; // the picture maps every line again
    }
    m_lineIndex = 0;
    return true;
}

bool AcquisitionEngine::ReplaceDarkFrame(const std::vector<uint16_t>& frame) {
    if (frame.size() != m_geometry.LineValues())
        return false;
    return m_calibration.ReplaceDarkFrame(frame.data(), frame.size());
}

namespace {
// Visits `count` values of a stack from `offset` on in pieces that do not cross a line, each under
// the lock of its line (the camera thread writes a stack line under the same lock).
template <typename Copy>
void ForStackLines(const AcquisitionEngine& e, size_t offset, size_t count, Copy copy) {
    const size_t lineValues = e.Geometry().LineValues();
    size_t pos = offset;
    const size_t end = offset + count;
    while (pos < end) {
        const size_t line = pos / lineValues;
        const size_t segmentEnd = std::min(end, (line + 1) * lineValues);
        std::lock_guard lock(e.LineLock(int(line)));
        copy(pos, segmentEnd - pos);
        pos = segmentEnd;
    }
}
} // namespace

void AcquisitionEngine::ReadStack(Stack which, size_t offset, size_t count, uint16_t* out) const {
    const std::vector<uint16_t>& stack = StackBuffer(which);
    count = std::min(count, stack.size() - std::min(offset, stack.size()));
    ForStackLines(*this, offset, count, [&](size_t pos, size_t n) {
        std::copy_n(stack.begin() + ptrdiff_t(pos), n, out + (pos - offset));
    });
}

void AcquisitionEngine::WriteStack(Stack which, size_t offset, const uint16_t* in, size_t count) {
    std::vector<uint16_t>& stack = which == Stack::Dark ? m_darkCube : m_calCube;
    count = std::min(count, stack.size() - std::min(offset, stack.size()));
    ForStackLines(*this, offset, count, [&](size_t pos, size_t n) {
        std::copy_n(in + (pos - offset), n, stack.begin() + ptrdiff_t(pos));
    });
}

uint32_t AcquisitionEngine::DisplayValue(int x, int y) const {
    std::lock_guard lock(m_frameImageMutex);
    const CubeGeometry& g = m_geometry;
    if (x < 0 || y < 0 || x >= g.width || y >= g.height || m_frameImage.size() < g.FramePixels())
        return 0;
    return m_frameImage[size_t(y) * size_t(g.width) + size_t(x)];
}

void AcquisitionEngine::ResetForStartUp() {
    m_stopRequested = false;
    m_scannerPositioning = false;
    m_busy = false;
    m_calibration.SetDarkFrameValid(false);
    m_acquireCube = false;
    m_spectralDisplayMode = false;
    m_acquireDark = false;
    m_acquireCalCube = false;
}

std::vector<uint16_t> AcquisitionEngine::CopyStack(Stack which) const {
    const std::vector<uint16_t>& stack = StackBuffer(which);
    const size_t L = m_geometry.LineValues();
    std::vector<uint16_t> out(size_t(m_geometry.darkLines) * L);
    for (int l = 0; l < m_geometry.darkLines; ++l) {
        std::lock_guard lock(LineLock(l));
        std::copy_n(stack.begin() + ptrdiff_t(size_t(l) * L), L, out.begin() + ptrdiff_t(size_t(l) * L));
    }
    return out;
}

bool AcquisitionEngine::TakeFreshFrame(std::vector<uint16_t>& frame, int timeoutMs) {
    std::unique_lock lock(m_freshMutex);
    // The frame being handled right now may have started before this call: wait for the one after.
    std::vector<uint16_t> skipped;
    m_freshTarget = &skipped;
    m_freshDone = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!m_freshWake.wait_until(lock, deadline, [this] { return m_freshDone; })) {
        m_freshTarget = nullptr;
        return false;
    }
    m_freshTarget = &frame;
    m_freshDone = false;
    if (!m_freshWake.wait_until(lock, deadline, [this] { return m_freshDone; })) {
        m_freshTarget = nullptr;
        return false;
    }
    return true;
}

void AcquisitionEngine::RequestRedraw() {
    {
        std::lock_guard lock(m_displayMutex);
        m_displayDirty = true;
    }
    m_displayWake.notify_all();
}

void AcquisitionEngine::StartDisplayThread() {
    if (m_displayThread.get_id() == std::this_thread::get_id())
        return;
    if (m_displayThread.joinable()) {
        {
            std::lock_guard lock(m_displayMutex);
            m_displayExit = true;
        }
        m_displayWake.notify_all();
        m_displayThread.join();
    }
    {
        std::lock_guard lock(m_displayMutex);
        m_displayDirty = true;
        m_displayExit = false;
    }
    m_displayThread = std::thread(&AcquisitionEngine::DisplayLoop, this);
}

void AcquisitionEngine::DisplayLoop() {
    using clock = std::chrono::steady_clock;
    auto last = clock::now() - std::chrono::hours(1);
    for (;;) {
        bool draw;
        {
            std::unique_lock lock(m_displayMutex);
            m_displayWake.wait_for(lock, std::chrono::milliseconds(250), [this] {
                return m_displayDirty || m_displayExit || m_stopRequested.load();
            });
            draw = m_displayDirty;
            m_displayDirty = false;
        }
        const bool stop = m_stopRequested.load() || m_displayExit.load();
        if (draw) {
            // At most one picture per refresh period.
            const auto interval = std::chrono::duration<double, std::milli>(m_redrawIntervalMs.load());
            const auto next = last + std::chrono::duration_cast<clock::duration>(interval);
            if (!stop && clock::now() < next) {
                std::unique_lock lock(m_displayMutex);
                m_displayWake.wait_until(lock, next,
                                         [this] { return m_stopRequested.load() || m_displayExit.load(); });
            }
            last = clock::now();
            m_host.UpdateImage();
            ++m_picturesDrawn;
        }
        if (stop)
            return;
    }
}

void AcquisitionEngine::ShutdownDisplayThread() {
    {
        std::lock_guard lock(m_watchdogMutex);
        m_watchdogExit = true;
    }
    m_watchdogWake.notify_all();
    if (m_watchdogThread.joinable() && m_watchdogThread.get_id() != std::this_thread::get_id())
        m_watchdogThread.join();
    {
        std::lock_guard lock(m_displayMutex);
        m_displayExit = true;
    }
    m_displayWake.notify_all();
    if (m_displayThread.joinable() && m_displayThread.get_id() != std::this_thread::get_id())
        m_displayThread.join();
}
