#include "calibration/AutoCalibrationRun.h"

#include "calibration/SpectralCalibration.h"

#include <cstdio>

std::string AutoCalFileName(const std::string& prefix, int k) {
    return prefix + "_" + SpectralCalModeText(k) + "_flat.cal";
}

std::string AutoCalProgressText(const AutoCalProgress& p) {
    char text[128];
    std::snprintf(text, sizeof text, "Mode %s: frame %d of %d (stack %d of %d)", SpectralCalModeText(p.mode),
                  p.frame, p.frames, p.stacksDone + 1, p.stacks);
    return text;
}

std::string AutoCalSummary(const AutoCalResult& r, int stacks) {
    const std::string written = std::to_string(r.files.size()) + " of " + std::to_string(stacks);
    if (r.stopped)
        return "Automatic calibration stopped after " + written + " files.";
    return "Automatic calibration: " + written + " files written.";
}

AutoCalibrationRun::~AutoCalibrationRun() {
    m_abandon = true;
    m_worker.Stop();
    m_worker.Join();
}

bool AutoCalibrationRun::Start(Setup setup) {
    if (m_worker.Running())
        return false;
    m_abandon = false;
    return m_worker.Start([this, s = std::move(setup)] { Run(s); });
}

void AutoCalibrationRun::Run(const Setup& s) {
    using namespace SpectralCal;
    const CubeGeometry& g = s.geometry;
    const int B = g.bands, W = g.width, N = g.darkLines;
    const size_t frameValues = size_t(B) * size_t(W);
    AutoCalResult result;
    AutoCalProgress progress;
    progress.frames = N;
    for (bool m : s.modes)
        progress.stacks += m ? 1 : 0;

    std::vector<uint16_t> frame, work(frameValues), stack(size_t(N) * frameValues);
    auto report = [&] {
        if (s.progress)
            s.progress(progress);
    };
    for (int k = 1; k <= kModes && result.message.empty(); ++k) {
        if (!s.modes[size_t(k - 1)])
            continue;
        // Stop takes effect between stacks: the one under way is finished and saved.
        if (m_worker.StopRequested()) {
            result.stopped = true;
            break;
        }
        progress.mode = k;
        progress.frame = 0;
        report();
        // Frame f goes into slot N-1-f, as the spectral calibration run fills its stack.
        for (int f = 0; f < N; ++f) {
            if (m_abandon.load()) {
                result.stopped = true;
                result.message.clear();
                if (s.finished)
                    s.finished(result);
                return;
            }
            if (!s.takeFrame || !s.takeFrame(frame, s.frameTimeoutMs) ||
                frame.size() < size_t(4 * B) * size_t(W)) {
                result.message = AutoCalMsg::kNoFrame;
                break;
            }
            BinCalibrationFrame(frame.data(), W, B, work.data());
            const FramePeak peak = FindFramePeak(work.data(), W, B);
            // A saturated flat field gives gains that are no gains; a weak one is mostly noise.
            if (peak.value > kSaturationLimit || peak.value < kLowLimit) {
                char text[256];
                std::snprintf(text, sizeof text,
                              peak.value > kSaturationLimit ? AutoCalMsg::kFlatSaturated
                                                            : AutoCalMsg::kFlatLow,
                              peak.value, SpectralCalModeText(k));
                result.message = text;
                break;
            }
            CopyWorkFrameToSlot(work.data(), W, B, true, stack.data() + size_t(N - 1 - f) * frameValues);
            progress.frame = f + 1;
            report();
        }
        if (!result.message.empty())
            break;
        const std::string path = AutoCalFileName(s.prefix, k);
        if (s.saveStack && s.saveStack(k, path, stack) == FileResult::Ok)
            result.files.emplace_back(k, path);
        else
            result.unsaved.push_back(path);
        ++progress.stacksDone;
    }
    if (s.finished)
        s.finished(result);
}
