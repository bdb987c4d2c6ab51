#include "core/Sleep.h"

#include <atomic>
#include <thread>

namespace {
std::atomic<double> g_sleepScale{1.0};
}

void ArvSleepMs(double milliseconds) {
    const double ms = milliseconds * g_sleepScale.load(std::memory_order_relaxed);
    if (ms <= 0.0)
        return;
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

void SetSleepScale(double scale) { g_sleepScale.store(scale < 0.0 ? 0.0 : scale); }
double SleepScale() { return g_sleepScale.load(); }

uint32_t ArvTickCountMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
