// The display thread and the window thread both build pictures while the window reads them: every
// picture read must be one whole picture, never a mix of two.
#include "analysis/ImageProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

TEST(ImageProcessThreads, PicturesAreNeverMixed) {
    constexpr int W = 696, H = 520;
    ImageProcess ip(W, H);
    const std::vector<uint32_t> white(W * H, 32767);
    const std::vector<uint16_t> dark(W * H, 129); // colour mapping: index 1 on every plane
    std::atomic<bool> stop{false};
    ip.MakeGreyBitmap(white.data(), H, W, 1, false, 0, 1); // something to read from the start

    // The writers pause a moment between pictures, as the real ones do, so that the reader is not
    // starved by a lock that is never free (std::mutex is not fair, and under ThreadSanitizer the
    // reader could wait for minutes).
    std::thread display([&] {
        while (!stop) {
            ip.MakeGreyBitmap(white.data(), H, W, 1, false, 0, 1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread controls([&] {
        while (!stop) {
            ip.MakeColorBitmap(dark.data(), dark.data(), dark.data(), H, W, 1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    std::vector<uint32_t> px;
    int mixed = 0, reads = 0;
    for (int i = 0; i < 60; ++i) {
        int w = 0, h = 0;
        if (!ip.CopyTopDownRgb32(px, w, h))
            continue;
        ++reads;
        for (uint32_t p : px)
            if (p != px[0]) {
                ++mixed;
                break;
            }
        ip.Gain();
    }
    stop = true;
    display.join();
    controls.join();
    EXPECT_EQ(reads, 60);
    EXPECT_EQ(mixed, 0);
}
