// The camera thread rewrites cube lines while the display copies them. With a line lock plugged
// into the read guard, every column of the picture is one whole line (all its samples written in
// the same pass), and the run is free of data races.
#include "display/DisplayMapping.h"
#include "display/SpectrumProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

class LineLocks : public LineReadGuard {
public:
    explicit LineLocks(int lines) : m_locks(size_t(lines)) {}
    void LockLine(const uint16_t*, int line) override { m_locks[size_t(line)].lock(); }
    void UnlockLine(const uint16_t*, int line) override { m_locks[size_t(line)].unlock(); }
    std::mutex& Of(int line) { return m_locks[size_t(line)]; }

private:
    std::vector<std::mutex> m_locks;
};

} // namespace

TEST(DisplayMappingThreads, ColumnsAreWholeLines) {
    CubeGeometry g;
    g.width = 40;
    g.height = 30;
    g.bands = 4;
    g.darkLines = 5;
    std::vector<uint16_t> cube(g.CubeValues(), 0);
    LineLocks locks(g.width);
    std::atomic<bool> stop{false};

    std::thread camera([&] {
        for (uint16_t pass = 1; !stop; pass = uint16_t(pass % 4000 + 1))
            for (int l = 0; l < g.width; ++l) {
                std::lock_guard lock(locks.Of(l));
                std::fill_n(cube.begin() + ptrdiff_t(size_t(l) * g.LineValues()), g.LineValues(), pass);
            }
    });

    std::vector<uint32_t> display(g.FramePixels());
    std::vector<float> spectrum(size_t(g.bands));
    int torn = 0;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(FillDisplayFromCube(display.data(), cube.data(), g, i % g.bands, nullptr, &locks));
        for (int l = 0; l < g.width; ++l)
            for (int r = 1; r < g.height; ++r)
                if (display[size_t(r) * g.width + l] != display[size_t(l)])
                    ++torn;
        SpectrumSources src;
        src.cube = cube.data();
        ASSERT_TRUE(ExtractSpectrum(i % g.width, i % g.height, spectrum.data(), g, src, &locks));
        for (float v : spectrum)
            if (v != spectrum[0])
                ++torn;
    }
    stop = true;
    camera.join();
    EXPECT_EQ(torn, 0);
}
