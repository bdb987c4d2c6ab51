// Per-frame work of the acquisition engine beside a plain copy of the same frame, and the picture
// brought up to date after each line. (A whole cube on the simulated instrument: bench_linerate.)
#include "camera/AcquisitionEngine.h"
#include "camera/LineBinning.h"
#include "camera/QuietEngineHost.h"
#include "display/ImageDisplay.h"
#include "tests/support/EngineTestAccess.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {
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
    QuietEngineHost host(true);
    StillMirror mirror(TravelResult::Arrived);
    AcquisitionEngine engine(host, mirror);
    engine.AllocateBuffers(CubeGeometry{});
    EngineTestAccess::SetAcquiringCube(engine, true);
    engine.SetMinimumRedrawInterval(1e9);
    const auto frame = TestFrame();
    // Each frame goes to the next line, as in a scan, so the cube line written is not in the caches.
    // (state.iterations() stays the same inside the loop: it cannot number the lines.)
    int line = 0;
    for (auto _ : state) {
        EngineTestAccess::SetLineIndex(engine, line);
        line = (line + 1) % 600;
        engine.OnDataFrame(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size() * 2));
}
BENCHMARK(BM_OnDataFrameCube);

// The same with the portable binning forced (what a processor without AVX2 runs).
void BM_OnDataFrameCubePortable(benchmark::State& state) {
    SetBinningPath(BinningPath::Portable);
    BM_OnDataFrameCube(state);
    SetBinningPath(BinningPath::Avx2);
}
BENCHMARK(BM_OnDataFrameCubePortable);

// A line arrives and the display brings its picture up to date: only the new column (the program),
// against the whole picture copied and mapped again for every line (the baseline, as before).
void PictureAfterEachLine(benchmark::State& state, bool incremental) {
    QuietEngineHost host(true);
    StillMirror mirror(TravelResult::Arrived);
    AcquisitionEngine engine(host, mirror);
    engine.AllocateBuffers(CubeGeometry{});
    EngineTestAccess::SetAcquiringCube(engine, true);
    engine.SetMinimumRedrawInterval(1e9);
    ImageDisplay display(engine);
    display.SetIncremental(incremental);
    const auto frame = TestFrame();
    display.UpdateImage();
    int line = 0;
    for (auto _ : state) {
        EngineTestAccess::SetLineIndex(engine, line);
        line = (line + 1) % 600;
        engine.OnDataFrame(frame.data());
        display.UpdateImage();
        benchmark::ClobberMemory();
    }
}
void BM_PictureAfterEachLine(benchmark::State& state) {
    PictureAfterEachLine(state, true);
}
void BM_WholePictureAfterEachLine(benchmark::State& state) {
    PictureAfterEachLine(state, false);
}
BENCHMARK(BM_PictureAfterEachLine);
BENCHMARK(BM_WholePictureAfterEachLine);

} // namespace
