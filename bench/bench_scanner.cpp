// Cost of the scanner link's exchanges over the simulated controller, against a bare command and
// reply on the same port (the baseline): the per-line move of an acquisition is two of them.
#include "core/Sleep.h"
#include "scanner/ScannerLink.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"

#include <benchmark/benchmark.h>

namespace {

struct LinkOnSim {
    LinkOnSim() {
        SetSleepScale(0.0);
        SimMirror::Instance().Reset(0);
        sim.Start();
        link.ConnectScanner();
    }
    ~LinkOnSim() {
        link.DisconnectScanner();
        sim.Shutdown();
        SetSleepScale(1.0);
    }
    ScannerSettingsValues settings;
    SimController sim{"COM1"};
    ScannerLink link{settings};
};

void BM_BareExchange(benchmark::State& state) {
    LinkOnSim rig;
    CSerialPort& port = GetSerialPort();
    char reply[51];
    for (auto _ : state) {
        int n = 0;
        port.Write("LA0\n", 4, &n);
        port.Read(reply, 50, &n);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_BareExchange)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PerLineMove(benchmark::State& state) {
    LinkOnSim rig;
    int32_t position = 0;
    for (auto _ : state)
        rig.link.MoveMirrorAbsolute(position += 12);
}
BENCHMARK(BM_PerLineMove)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ArrivalPollWithoutWait(benchmark::State& state) {
    LinkOnSim rig;
    for (auto _ : state)
        benchmark::DoNotOptimize(rig.link.CheckMirrorArrival(0));
}
BENCHMARK(BM_ArrivalPollWithoutWait)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
