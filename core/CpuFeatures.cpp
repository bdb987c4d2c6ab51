#include "core/CpuFeatures.h"

#if defined(__x86_64__) || defined(__i386__)
bool CpuHasAvx2() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
}

bool CpuHasFma() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return supported;
}
#else
bool CpuHasAvx2() {
    return false;
}

bool CpuHasFma() {
    return false;
}
#endif
