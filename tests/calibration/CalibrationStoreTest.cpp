// The dark frame and gains store: what each operation keeps and changes, and that a view taken by a
// reader never shows a half-written set of gains while another thread loads or installs them.
#include "calibration/CalibrationStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

namespace {
void WriteGains(const std::string& path, const std::vector<float>& gains) {
    std::ofstream out(path, std::ios::binary);
    for (float g : gains) {
        uint8_t b[4];
        uint32_t bits;
        std::memcpy(&bits, &g, 4);
        for (int i = 0; i < 4; ++i)
            b[i] = uint8_t(bits >> (8 * i));
        out.write(reinterpret_cast<const char*>(b), 4);
    }
}
} // namespace

TEST(CalibrationStore, DarkFrameAndGainsKeepWhatEachOperationPromises) {
    TempDir dir;
    CalibrationStore store;
    store.Allocate(8);
    EXPECT_EQ(store.Size(), 8u);
    EXPECT_FALSE(store.DarkFrameValid());
    EXPECT_FALSE(store.GainsLoaded());
    EXPECT_EQ(store.CopyGains(100), std::vector<float>(8, 1.0f));

    // A computed dark frame zeroes what follows its values; a loaded one keeps it and is valid.
    const uint16_t nines[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    store.StoreDarkFrame(nines, 8);
    const uint16_t three[3] = {1, 2, 3};
    store.StoreDarkFrame(three, 3);
    EXPECT_EQ(store.CopyDarkFrame(8), (std::vector<uint16_t>{1, 2, 3, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(store.DarkFrameValid());
    const uint64_t writes = store.DarkFrameWrites();
    store.StoreDarkFrame(nines, 8);
    EXPECT_TRUE(store.ReplaceDarkFrame(three, 3));
    EXPECT_EQ(store.CopyDarkFrame(8), (std::vector<uint16_t>{1, 2, 3, 9, 9, 9, 9, 9}));
    EXPECT_TRUE(store.DarkFrameValid());
    EXPECT_EQ(store.DarkFrameWrites(), writes + 2);
    // More values than the store holds: refused, nothing changed.
    const std::vector<uint16_t> tooMany(9, 7);
    EXPECT_FALSE(store.ReplaceDarkFrame(tooMany.data(), tooMany.size()));
    EXPECT_EQ(store.CopyDarkFrame(8)[0], 1);

    // Gains from a file count as loaded; a refused file keeps the gains and counts as not loaded.
    WriteGains(dir.File("good.rad"), {2.0f, 3.0f});
    EXPECT_EQ(store.LoadGainsFile(dir.File("good.rad"), 8).result, FileResult::Ok);
    EXPECT_TRUE(store.GainsLoaded());
    EXPECT_EQ(store.CopyGains(3), (std::vector<float>{2.0f, 3.0f, 1.0f}));
    WriteGains(dir.File("bad.rad"), {5.0f, -1.0f});
    EXPECT_EQ(store.LoadGainsFile(dir.File("bad.rad"), 8).result, FileResult::Refused);
    EXPECT_FALSE(store.GainsLoaded());
    EXPECT_EQ(store.CopyGains(2), (std::vector<float>{2.0f, 3.0f}));
    EXPECT_EQ(store.LoadGainsFile(dir.File("missing.rad"), 8).result, FileResult::OpenFailed);
    EXPECT_FALSE(store.GainsLoaded());

    // Installed gains count as loaded; a reset puts 1.0 back over its count only and keeps the flag.
    store.InstallGains(std::vector<float>(8, 4.0f));
    EXPECT_TRUE(store.GainsLoaded());
    store.ResetGains(5);
    EXPECT_EQ(store.CopyGains(8), (std::vector<float>{1, 1, 1, 1, 1, 4, 4, 4}));
    EXPECT_TRUE(store.GainsLoaded());

    // A new allocation starts over.
    store.Allocate(4);
    EXPECT_FALSE(store.DarkFrameValid());
    EXPECT_FALSE(store.GainsLoaded());
    EXPECT_EQ(store.CopyDarkFrame(8), std::vector<uint16_t>(4, 0));
}

TEST(CalibrationStore, AViewNeverSeesGainsHalfReplaced) {
    TempDir dir;
    constexpr size_t kValues = 128 * 520;
    WriteGains(dir.File("twos.rad"), std::vector<float>(kValues, 2.0f));
    CalibrationStore store;
    store.Allocate(kValues);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            const CalibrationStore::View view = store.Lock();
            const float first = view.Gains()[0];
            for (size_t i = 1; i < kValues; i += 97)
                if (view.Gains()[i] != first)
                    ++torn;
        }
    });
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(store.LoadGainsFile(dir.File("twos.rad"), kValues).result, FileResult::Ok);
        store.InstallGains(std::vector<float>(kValues, 3.0f));
        store.ResetGains(kValues);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}
