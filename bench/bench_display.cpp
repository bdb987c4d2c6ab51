// Grey and colour mapping of a 696 x 520 picture by the image processor, each beside a plain pass
// over the same values in the same run (summing them, and copying them), so that the mapping's
// cost reads as a ratio to the plain pass.
#include "analysis/ImageProcess.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace {

constexpr int kW = 696, kH = 520;

// 12-bit sample values from a fixed generator.
template <class T> std::vector<T> Values() {
    std::vector<T> v(size_t(kW) * kH);
    uint32_t x = 12345;
    for (auto& e : v) {
        x = x * 1664525u + 1013904223u;
        e = T((x >> 16) & 0x0FFF);
    }
    return v;
}

void BM_GreyBaselineSum(benchmark::State& state) {
    const auto values = Values<uint32_t>();
    for (auto _ : state) {
        uint64_t sum = std::accumulate(values.begin(), values.end(), uint64_t(0));
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_GreyBaselineSum);

void BM_GreyBaselineCopy(benchmark::State& state) {
    const auto values = Values<uint32_t>();
    std::vector<uint32_t> copy(values.size());
    for (auto _ : state) {
        std::copy(values.begin(), values.end(), copy.begin());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_GreyBaselineCopy);

// Display thread redrawing with unchanged controls: automatic scaling.
void BM_GreyMapping(benchmark::State& state) {
    const auto values = Values<uint32_t>();
    ImageProcess ip(kW, kH);
    for (auto _ : state) {
        ip.MakeGreyBitmap(values.data(), kH, kW, 1, false, 0, 1);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_GreyMapping);

// The same with the linear colour table, whose lookup is skipped: the floor of the table's cost.
void BM_GreyMappingLinear(benchmark::State& state) {
    const auto values = Values<uint32_t>();
    ImageProcess ip(kW, kH);
    for (auto _ : state) {
        ip.MakeGreyBitmap(values.data(), kH, kW, 0, false, 0, 1);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_GreyMappingLinear);

// "Image Scale" ticked with the max at the values' top: the indices span the whole colour table.
void BM_GreyMappingManualFullRange(benchmark::State& state) {
    const auto values = Values<uint32_t>();
    ImageProcess ip(kW, kH);
    for (auto _ : state) {
        ip.MakeGreyBitmap(values.data(), kH, kW, 1, true, 0, 4095);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_GreyMappingManualFullRange);

// "Image Scale" ticked with the max slider moving on every picture (tables rebuilt each time).
void BM_GreyMappingSliderMoving(benchmark::State& state) {
    const auto values = Values<uint32_t>();
    ImageProcess ip(kW, kH);
    int max = 1000;
    for (auto _ : state) {
        ip.MakeGreyBitmap(values.data(), kH, kW, 1, true, 100, max);
        max = max == 4096 ? 1000 : max + 1;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_GreyMappingSliderMoving);

void BM_ColorBaselineSum(benchmark::State& state) {
    const auto r = Values<uint16_t>(), g = Values<uint16_t>(), b = Values<uint16_t>();
    for (auto _ : state) {
        uint64_t sum = std::accumulate(r.begin(), r.end(), uint64_t(0)) +
                       std::accumulate(g.begin(), g.end(), uint64_t(0)) +
                       std::accumulate(b.begin(), b.end(), uint64_t(0));
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_ColorBaselineSum);

void BM_ColorBaselineCopy(benchmark::State& state) {
    const auto r = Values<uint16_t>(), g = Values<uint16_t>(), b = Values<uint16_t>();
    std::vector<uint16_t> cr(r.size()), cg(r.size()), cb(r.size());
    for (auto _ : state) {
        std::copy(r.begin(), r.end(), cr.begin());
        std::copy(g.begin(), g.end(), cg.begin());
        std::copy(b.begin(), b.end(), cb.begin());
        benchmark::DoNotOptimize(cr.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_ColorBaselineCopy);

void BM_ColorMapping(benchmark::State& state) {
    const auto r = Values<uint16_t>(), g = Values<uint16_t>(), b = Values<uint16_t>();
    ImageProcess ip(kW, kH);
    for (auto _ : state) {
        ip.MakeColorBitmap(r.data(), g.data(), b.data(), kH, kW, 1);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_ColorMapping);

void BM_ColorMappingLinear(benchmark::State& state) {
    const auto r = Values<uint16_t>(), g = Values<uint16_t>(), b = Values<uint16_t>();
    ImageProcess ip(kW, kH);
    for (auto _ : state) {
        ip.MakeColorBitmap(r.data(), g.data(), b.data(), kH, kW, 0);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}
BENCHMARK(BM_ColorMappingLinear);

} // namespace
