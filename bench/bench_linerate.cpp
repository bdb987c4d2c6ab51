// The line rate the acquisition holds. A whole cube (696 lines) on the simulated instrument: the
// simulated data camera with its clock raised, the motion controller on its pseudo-terminal, the
// program's engine, scanner link and display thread (pictures built as in the window, at most 60
// per second). The argument is the frame rate asked for, in frames per second.
//
// Reported per run:
//   dropped        frames the camera lost because the previous frame's callback had not returned
//   fps            frame rate of the camera (the simulated clock)
//   scan_s         time from the first line to the 696th
//   cb_ms_*        the frame callback (OnDataFrame) per stored line: median, 99th percentile, max
//   mirror_ms_*    the per-line mirror command inside it (LA and M exchanges with their waits)
//   convert_us_med the frame conversion inside it
//   rest_us_med    the rest of the callback: binning, line lock, waking the display
//   gap_ms_min     shortest time between the end of one callback and the start of the next: the
//                  simulator's own frame rendering and hand-over, which is not the program's work
#include "camera/AcquisitionEngine.h"
#include "camera/DataCameraControl.h"
#include "camera/QuietEngineHost.h"
#include "camera/ScannerMirrorLink.h"
#include "display/ImageDisplay.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Samples written by the camera thread only, read after the scan.
struct Samples {
    std::vector<double> callbackMs, mirrorMs, convertMs, gapMs;
    Clock::time_point lastEnd{};
    void Reserve() {
        for (auto* v : {&callbackMs, &mirrorMs, &convertMs, &gapMs})
            v->reserve(4096);
    }
};

double Quantile(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5))];
}

class DisplayHost : public QuietEngineHost {
public:
    DisplayHost() : QuietEngineHost(true) {}
    void UpdateImage() override {
        if (display)
            display->UpdateImage();
    }
    ImageDisplay* display = nullptr;
};

// The scanner link, with the time of each per-line move noted.
class TimedMirror : public MirrorLink {
public:
    TimedMirror(ScannerMirrorLink& link, Samples& samples) : m_link(link), m_samples(samples) {}
    void EnableScannerDrive(bool on) override { m_link.EnableScannerDrive(on); }
    void MoveMirrorAbsolute(int32_t position) override {
        const auto t0 = Clock::now();
        m_link.MoveMirrorAbsolute(position);
        if (recording)
            m_samples.mirrorMs.push_back(Ms(Clock::now() - t0));
    }
    TravelResult TravelTo(int32_t target, const std::atomic<bool>* abort) override {
        return m_link.TravelTo(target, abort);
    }
    std::atomic<bool> recording{false};

private:
    ScannerMirrorLink& m_link;
    Samples& m_samples;
};

struct CallbackContext {
    AcquisitionEngine* engine;
    Samples* samples;
    std::atomic<bool>* recording;
};

void TimedCallback(void* context, uint8_t* data, uint32_t length) {
    auto* c = static_cast<CallbackContext*>(context);
    const auto t0 = Clock::now();
    const int before = c->engine->LineIndex();
    AcquisitionEngine::OnDataFrameCallback(c->engine, data, length);
    const auto t1 = Clock::now();
    if (c->recording->load() && c->engine->LineIndex() > before) {
        c->samples->callbackMs.push_back(Ms(t1 - t0));
        if (c->samples->lastEnd != Clock::time_point{})
            c->samples->gapMs.push_back(Ms(t0 - c->samples->lastEnd));
    }
    c->samples->lastEnd = t1;
}

void BM_LineRate(benchmark::State& state) {
    const double wantedFps = double(state.range(0));
    for (auto _ : state) {
        SimCameras::Instance().Shutdown();
        SimMirror::Instance().Reset(0);
        SimCameras::Instance().Configure(SimCameraSettings{});
        SimController controller("COM1");
        controller.Start();
        Samples samples;
        samples.Reserve();
        DisplayHost host;
        ScannerSettingsValues settings;
        ScannerLink link(settings);
        ScannerMirrorLink scanner(link);
        TimedMirror mirror(scanner, samples);
        AcquisitionEngine engine(host, mirror);
        ImageDisplay display(engine);
        host.display = &display;
        ScriptedPrompts prompts;
        DataCameraControl cams(prompts);
        cams.OpenCameras();
        engine.AllocateBuffers(CubeGeometry{});
        engine.SetDataCameraOnline(true);
        engine.SetMinimumRedrawInterval(1000.0 / 60.0);
        link.SetStopFlag(engine.StopFlag());
        auto convert = engine.convertFrame;
        engine.convertFrame = [&](uint16_t* dest, const uint16_t* src, int w, int h) {
            const auto t0 = Clock::now();
            const bool ok = convert(dest, src, w, h);
            if (mirror.recording.load())
                samples.convertMs.push_back(Ms(Clock::now() - t0));
            return ok;
        };
        CallbackContext context{&engine, &samples, &mirror.recording};
        LucamAddStreamingCallback(cams.m_hDataCamera, &TimedCallback, &context);
        CameraSettingsValues cs;
        cams.ConfigureDataCamera(cs);
        const double cameraFps = cams.m_dataFrameRate;
        SimCameras::Instance().SetClockScale(wantedFps / cameraFps);
        link.ConnectScanner();
        link.EnableScannerDrive(true);

        // The scan: frames lost from the first stored line to the 696th.
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        while (engine.LineIndex() < 1 && engine.Busy())
            std::this_thread::yield();
        const uint64_t droppedBefore = SimCameras::Instance().DroppedFrames(1);
        mirror.recording = true;
        const auto t0 = Clock::now();
        const auto limit = t0 + std::chrono::seconds(120);
        while (engine.LineIndex() < 696 && engine.Busy() && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        const double dropped = double(SimCameras::Instance().DroppedFrames(1) - droppedBefore);
        while (engine.Busy() && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        cams.StopDataStream();
        mirror.recording = false;
        engine.ShutdownDisplayThread();
        link.DisconnectScanner();
        controller.Shutdown();
        SimCameras::Instance().Shutdown();
        SimCameras::Instance().SetClockScale(1.0);

        std::vector<double> rest;
        const size_t n =
            std::min({samples.callbackMs.size(), samples.mirrorMs.size(), samples.convertMs.size()});
        for (size_t i = 0; i < n; ++i)
            rest.push_back((samples.callbackMs[i] - samples.mirrorMs[i] - samples.convertMs[i]) * 1000.0);
        state.counters["fps"] = cameraFps * (wantedFps / cameraFps);
        state.counters["dropped"] = dropped;
        state.counters["lines"] = double(samples.callbackMs.size());
        state.counters["scan_s"] = seconds;
        state.counters["cb_ms_med"] = Quantile(samples.callbackMs, 0.5);
        state.counters["cb_ms_p99"] = Quantile(samples.callbackMs, 0.99);
        state.counters["cb_ms_max"] = Quantile(samples.callbackMs, 1.0);
        state.counters["mirror_ms_med"] = Quantile(samples.mirrorMs, 0.5);
        state.counters["mirror_ms_p99"] = Quantile(samples.mirrorMs, 0.99);
        state.counters["convert_us_med"] = Quantile(samples.convertMs, 0.5) * 1000.0;
        state.counters["rest_us_med"] = Quantile(rest, 0.5);
        state.counters["gap_ms_min"] = Quantile(samples.gapMs, 0.0);
        state.counters["pictures"] = double(display.PicturesBuilt());
    }
}
BENCHMARK(BM_LineRate)->DenseRange(50, 150, 10)->Arg(175)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
