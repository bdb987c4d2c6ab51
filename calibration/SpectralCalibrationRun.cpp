#include "calibration/SpectralCalibrationRun.h"

#include "calibration/SpectralCalibration.h"
#include "core/Sleep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

namespace {
std::string Printf(const char* format, int a, int b) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;
} // namespace

std::string SpectralCalProgressText(const SpectralCalProgress& p) {
    char text[128];
    std::snprintf(text, sizeof text, "Mode %s: %d nm, frame %d of %d", SpectralCalModeText(p.mode),
                  p.wavelength, p.frame, p.frames);
    return text;
}

SpectralCalibrationRun::~SpectralCalibrationRun() {
    Stop();
    Join();
}

bool SpectralCalibrationRun::Start(Setup setup) {
    // Without the camera, the grating or the stack there is no run; the rest may be left out.
    if (!setup.takeFrame || !setup.moveMonochromator || !setup.writeStack || !setup.saveStack)
        return false;
    if (!setup.moveMirrorToCentre)
        setup.moveMirrorToCentre = [] {};
    const double rate = setup.frameRate;
    if (!setup.applyCameraSettings)
        setup.applyCameraSettings = [rate] { return rate; };
    if (!setup.setExposure)
        setup.setExposure = [rate](double) { return rate; };
    if (!setup.fileNamed)
        setup.fileNamed = [](int, const std::string&) {};
    if (!setup.message)
        setup.message = [](const std::string&) {};
    if (!setup.status)
        setup.status = [](int, const std::string&) {};
    return m_worker.Start([this, s = std::move(setup)] { Run(s); });
}

bool SpectralCalibrationRun::Wait(double ms) {
    return m_worker.WaitFor(std::chrono::duration<double, std::milli>(ms * SleepScale()));
}

void SpectralCalibrationRun::Run(const Setup& s) {
    SpectralCalResult result;
    m_exposure = s.exposure;
    m_frameRate = s.frameRate;
    auto finish = [&](bool completed) {
        result.completed = completed;
        result.stopped = StopRequested();
        if (s.finished)
            s.finished(result);
    };
    s.status(2, SpectralCalMsg::kStarting);
    s.status(3, "");
    if (!s.moveMonochromator(s.comPort, s.wavelengthStart))
        return finish(false);
    s.moveMirrorToCentre();

    for (int k = 1; k <= SpectralCal::kModes; ++k) {
        if (!s.modes[size_t(k - 1)])
            continue;
        // Mode 1x1 runs only while no acquisition does.
        if (k == 1 && s.acquiring && s.acquiring())
            continue;
        if (!RunMode(s, k))
            return finish(false);
    }
    s.status(3, SpectralCalMsg::kEnd);
    finish(true);
}

bool SpectralCalibrationRun::RunMode(const Setup& s, int k) {
    using namespace SpectralCal;
    const std::string listName = CalFileListName(s.prefix, k);
    const std::string wavelengthListName = WavelengthListName(s.prefix, k);
    FilePtr list(std::fopen(listName.c_str(), "wb+"), &std::fclose);
    if (!list) {
        s.message(SpectralCalMsg::kListFile);
        return true; // the next mode
    }
    auto writeListHead = [&] {
        std::fprintf(list.get(), "%d %d\n", kListWidth, kListHeight);
        std::fprintf(list.get(), "%s\n", wavelengthListName.c_str());
    };
    writeListHead();
    m_frameRate = s.applyCameraSettings();
    if (!Wait(500))
        return false;
    // The list of mode 1x1 holds its head twice.
    if (k == 1)
        writeListHead();

    const CubeGeometry& g = s.geometry;
    const int B = g.bands, W = g.width, N = g.darkLines;
    const size_t frameValues = size_t(B) * size_t(W);
    std::vector<uint16_t> frame, work(frameValues), slotValues(frameValues);
    const bool reverseColumns = k != 1;

    const long long start = s.wavelengthStart, end = s.wavelengthEnd;
    const long long step = std::max(1, s.wavelengthStep);
    SpectralCalProgress progress;
    progress.mode = k;
    progress.frames = N;
    progress.steps = end >= start ? int((end - start) / step + 1) : 0;
    long long lastWavelength = start;
    std::string lastName;
    for (long long L = start; L <= end; L += step) {
        const int wavelength = int(L);
        if (!s.moveMonochromator(s.comPort, wavelength))
            return false;
        // The grating settles (mode 1x1 takes its frames at once).
        if (k != 1 && !Wait(1000))
            return false;
        progress.wavelength = wavelength;
        progress.frame = 0;
        if (s.progress)
            s.progress(progress);
        int retries = 0;
        int slot = N - 1;
        for (int f = 0; f < N;) {
            if (StopRequested())
                return false;
            // Two frame periods of the current rate, and room for a stream restart.
            const double periodMs = 1000.0 / std::max(0.1, m_frameRate);
            if (!s.takeFrame(frame, int(2000.0 + 3.0 * periodMs)) ||
                frame.size() < size_t(4 * B) * size_t(W)) {
                if (!StopRequested())
                    s.message(SpectralCalMsg::kNoFrame);
                return false;
            }
            BinCalibrationFrame(frame.data(), W, B, work.data());
            const FramePeak peak = FindFramePeak(work.data(), W, B);
            const PeakDecision decision = CheckSpectralPeak(k, peak.value, m_exposure);
            if (!decision.status.empty())
                s.status(2, decision.status);
            switch (decision.action) {
            case PeakAction::EndLineLow:
                s.message(Printf(SpectralCalMsg::kLineLow, peak.value, wavelength));
                return false;
            case PeakAction::EndLineSaturated:
                s.message(Printf(SpectralCalMsg::kLineSaturated, peak.value, wavelength));
                return false;
            case PeakAction::EndHighExposure:
                s.message(SpectralCalMsg::kHighExposure);
                return false;
            case PeakAction::EndLowExposure:
                s.message(SpectralCalMsg::kLowExposure);
                return false;
            case PeakAction::Retry:
                if (++retries > kMaxRetriesPerWavelength) {
                    s.message(Printf(SpectralCalMsg::kUnsettled, wavelength, 0));
                    return false;
                }
                // The camera takes the new integration time before the next frame; the wavelength
                // is measured again from its first frame.
                m_exposure = decision.newExposure;
                m_frameRate = s.setExposure(m_exposure);
                f = 0;
                slot = N - 1;
                continue;
            case PeakAction::Accept:
                break;
            }
            // Frame f goes into slot N-1-f.
            CopyWorkFrameToSlot(work.data(), W, B, reverseColumns, slotValues.data());
            s.writeStack(size_t(slot) * frameValues, slotValues.data(), frameValues);
            --slot;
            ++f;
            progress.frame = f;
            if (s.progress)
                s.progress(progress);
        }
        lastWavelength = L;
        ++progress.wavelengths;
        if (k != 1) {
            const std::string name = CalFileName(s.prefix, k, wavelength);
            s.fileNamed(k, name);
            std::fprintf(list.get(), "%s\t%d\n", name.c_str(), wavelength);
            std::fflush(list.get());
            if (s.saveStack(k, name, m_exposure) != FileResult::Ok)
                s.message(kMsgUnableToSaveAutoCalibrationCube);
            lastName = name;
        }
    }
    if (k == 1) {
        // Mode 1x1 keeps the stack of its last wavelength, named after it.
        lastName = CalFileName(s.prefix, 1, int(lastWavelength));
        s.fileNamed(1, lastName);
        if (s.saveStack(1, lastName, m_exposure) != FileResult::Ok)
            s.message(kMsgUnableToSaveAutoCalibrationCube);
    }
    s.status(3, lastName);
    return true;
}
