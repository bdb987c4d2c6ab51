// The saturation count of one stored cube line (B x H values), beside a plain pass that sums the
// same values and a copy of them.
#include "analysis/Saturation.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {
std::vector<uint16_t> TestLine() {
    std::vector<uint16_t> line(size_t(128) * 520);
    for (size_t i = 0; i < line.size(); ++i)
        line[i] = uint16_t(((i * 2654435761u) >> 16) & 0xFFF);
    return line;
}

// Baseline: a copy of the line's bytes.
void BM_LineCopy(benchmark::State& state) {
    const auto line = TestLine();
    std::vector<uint16_t> dest(line.size());
    for (auto _ : state) {
        std::memcpy(dest.data(), line.data(), line.size() * 2);
        benchmark::DoNotOptimize(dest.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size() * 2));
}
BENCHMARK(BM_LineCopy);

// The count the engine makes for every stored line (status pane 4).
void BM_CountSaturatedLine(benchmark::State& state) {
    const auto line = TestLine();
    for (auto _ : state)
        benchmark::DoNotOptimize(CountAtLeast(line.data(), line.size(), 4095));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size() * 2));
}
BENCHMARK(BM_CountSaturatedLine);
} // namespace
