// The main window on the simulated instrument: pictures drawn per second while a cube is acquired
// at 50 frames per second (beside the frame rate, the baseline), frames the simulator dropped
// meanwhile, and the process's CPU use while nothing changes.
#include "app/stratadlg.h"
#include "core/UserPrompts.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"

#include <QApplication>
#include <QTest>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>

namespace {
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

struct Window {
    Window() {
        SimCameras::Instance().Shutdown();
        SimMirror::Instance().Reset(0);
        SimCameras::Instance().Configure(SimCameraSettings{});
        controller.Start();
        dlg = std::make_unique<CStrataDlg>(prompts, StrataOptions{});
        dlg->show();
        dlg->OnInitDialog();
    }
    ~Window() {
        dlg.reset();
        SimCameras::Instance().Shutdown();
        controller.Shutdown();
    }
    NonInteractivePrompts prompts;
    SimController controller{"COM1"};
    std::unique_ptr<CStrataDlg> dlg;
};

void BM_PicturesDuringACube(benchmark::State& state) {
    for (auto _ : state) {
        Window w;
        AcquisitionEngine& e = w.dlg->Engine();
        const uint64_t pictures0 = w.dlg->Panel().PicturesDrawn();
        SimCameras::Instance().ResetCounters();
        w.dlg->OnCommand(ID_TB_START_CUBE);
        const auto t0 = std::chrono::steady_clock::now();
        (void)QTest::qWaitFor([&] { return e.LineIndex() >= 696 || !e.Busy(); }, 60000);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double pictures = double(w.dlg->Panel().PicturesDrawn() - pictures0);
        state.counters["pictures_per_second"] = pictures / seconds;
        state.counters["frames_per_second"] = double(SimCameras::Instance().DeliveredFrames(1)) / seconds;
        state.counters["dropped_frames"] = double(SimCameras::Instance().DroppedFrames(1));
        (void)QTest::qWaitFor([&] { return !e.Busy(); }, 10000);
    }
}
BENCHMARK(BM_PicturesDuringACube)->Iterations(1)->Unit(benchmark::kSecond);

void BM_IdleCpu(benchmark::State& state) {
    for (auto _ : state) {
        Window w;
        QTest::qWait(1000); // start-up settles
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        QTest::qWait(10000);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.counters["idle_cpu_percent_of_one_core"] = 100.0 * (CpuSeconds() - cpu0) / wall;
    }
}
BENCHMARK(BM_IdleCpu)->Iterations(1)->Unit(benchmark::kSecond);
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The window reads ./Settings; run in a temporary folder with the shipped defaults.
    const auto work = std::filesystem::temp_directory_path() / "arv300-window-bench";
    std::filesystem::create_directories(work / "Settings");
    for (auto& f : std::filesystem::directory_iterator(std::filesystem::path(ARV_SOURCE_DIR) / "settings"))
        std::filesystem::copy_file(f.path(), work / "Settings" / f.path().filename(),
                                   std::filesystem::copy_options::overwrite_existing);
    std::filesystem::current_path(work);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
