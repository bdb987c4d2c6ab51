// Per-frame work of the acquisition engine beside a plain copy of the same frame, and a whole cube
// on the simulated instrument at 50 frames per second.
#include "camera/AcquisitionEngine.h"
#include "camera/DataCameraControl.h"
#include "camera/ScannerMirrorLink.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {
class NullHost : public EngineHost {
public:
    void SetStatusText(int, const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool StopFocusPreviewIfRunning() override { return true; }
    void EnableScanLimitControls(bool) override {}
    void EnableApplyDark() override {}
    bool EnsureStreaming() override { return true; }
    void UpdateImage() override {}
    void PostStackSave(bool) override {}
};

class NullMirror : public MirrorLink {
public:
    void EnableScannerDrive(bool) override {}
    void MoveMirrorAbsolute(int32_t) override {}
    TravelResult TravelTo(int32_t) override { return TravelResult::Arrived; }
};

std::vector<uint16_t> TestFrame() {
    std::vector<uint16_t> frame(size_t(696) * 520);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint16_t((i * 2654435761u) >> 16);
    return frame;
}

// Baseline: one plain copy of a frame's bytes.
void BM_FrameCopy(benchmark::State& state) {
    const auto frame = TestFrame();
    std::vector<uint16_t> dest(frame.size());
    for (auto _ : state) {
        std::memcpy(dest.data(), frame.data(), frame.size() * 2);
        benchmark::DoNotOptimize(dest.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size() * 2));
}
BENCHMARK(BM_FrameCopy);

// OnDataFrame in cube mode: conversion (a copy) and binning into one cube line, no serial I/O.
void BM_OnDataFrameCube(benchmark::State& state) {
    NullHost host;
    NullMirror mirror;
    AcquisitionEngine engine(host, mirror);
    engine.AllocateBuffers(CubeGeometry{});
    engine.m_acquireCube = true;
    engine.SetMinimumRedrawInterval(1e9);
    const auto frame = TestFrame();
    for (auto _ : state) {
        engine.m_lineIndex.store(int(state.iterations() % 600));
        engine.OnDataFrame(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size() * 2));
}
BENCHMARK(BM_OnDataFrameCube);

// A whole cube on the simulator at 50 frames per second through the serial link: frames the
// simulator had to drop while the lines were taken, and the scan's duration against 697 frame
// periods.
void BM_FullCubeOnSimulator(benchmark::State& state) {
    for (auto _ : state) {
        SimCameras::Instance().Shutdown();
        SimMirror::Instance().Reset(0);
        SimCameras::Instance().Configure(SimCameraSettings{});
        SimController controller("COM1");
        controller.Start();
        NullHost host;
        ScannerSettingsValues settings;
        ScannerLink link(settings);
        ScannerMirrorLink mirror(link);
        AcquisitionEngine engine(host, mirror);
        ScriptedPrompts prompts;
        DataCameraControl cams(prompts);
        cams.OpenCameras();
        engine.AllocateBuffers(CubeGeometry{});
        engine.m_dataCameraOnline = true;
        link.SetStopFlag(&engine.m_stopRequested);
        LucamAddStreamingCallback(cams.m_hDataCamera, &AcquisitionEngine::OnDataFrameCallback, &engine);
        CameraSettingsValues cs;
        cams.ConfigureDataCamera(cs);
        link.ConnectScanner();
        link.EnableScannerDrive(true);
        SimCameras::Instance().ResetCounters();
        const auto t0 = std::chrono::steady_clock::now();
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        while (engine.m_lineIndex.load() < 696 && engine.m_busy.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double dropped = double(SimCameras::Instance().DroppedFrames(1));
        while (engine.m_busy.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state.counters["dropped_frames"] = dropped;
        state.counters["scan_seconds"] = seconds;
        state.counters["scan_over_696_periods"] = seconds / (696.0 / cams.m_dataFrameRate);
        cams.StopDataStream();
        engine.ShutdownDisplayThread();
        link.DisconnectScanner();
        controller.Shutdown();
        SimCameras::Instance().Shutdown();
    }
}
BENCHMARK(BM_FullCubeOnSimulator)->Iterations(1)->Unit(benchmark::kSecond);
} // namespace
