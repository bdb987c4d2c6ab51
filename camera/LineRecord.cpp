#include "camera/LineRecord.h"

#include <cmath>
#include <ctime>

#ifndef ARV_VERSION
#define ARV_VERSION "unknown"
#endif

uint32_t EstimateDroppedFrames(double gapMs, double periodMs) {
    if (!(periodMs > 0.0) || !(gapMs > 1.5 * periodMs))
        return 0;
    const double periods = std::round(gapMs / periodMs);
    return periods >= 4294967296.0 ? 0xFFFFFFFFu : uint32_t(periods) - 1;
}

std::string ProgramDescription() {
    return std::string("ARV300 Data Acquisition Software ") + ARV_VERSION;
}

std::string LocalTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}
