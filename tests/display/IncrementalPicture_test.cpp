// Pictures brought up to date column by column during acquisitions are the pictures a whole mapping
// gives. Two displays watch one engine through the same sequence of frames and control changes: one
// maps only what changed, the other (test hook) maps every picture whole; after every step their
// bitmaps must be identical, in every display mode. The first must also really map only the new
// columns while a cube is acquired.
#include "camera/EngineSupport.h"
#include "display/ImageDisplay.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

constexpr int W = 696, H = 520;

class IncrementalPicture : public ::testing::Test {
protected:
    void SetUp() override {
        engine.AllocateBuffers(CubeGeometry{});
        engine.SetDataCameraOnline(true);
        whole.SetIncremental(false);
    }
    void TearDown() override { engine.ShutdownDisplayThread(); }

    // A frame of random 16-bit pixels (every binned value 0 ... 4095 can occur).
    void Feed(int frames) {
        std::vector<uint16_t> frame(size_t(W) * H);
        for (int i = 0; i < frames; ++i) {
            for (auto& v : frame)
                v = uint16_t(rng());
            engine.OnDataFrame(frame.data());
        }
    }
    // Both displays take the same controls.
    template <class F> void Controls(F set) {
        set(incremental.controls);
        set(whole.controls);
    }
    // Both build a picture; the bitmaps must be the same bytes.
    void Compare(const std::string& step) {
        const uint64_t before = incremental.ColumnsMapped();
        incremental.UpdateImage();
        lastMapped = incremental.ColumnsMapped() - before;
        whole.UpdateImage();
        const auto a = incremental.Processor().BitmapFileImage();
        const auto b = whole.Processor().BitmapFileImage();
        ASSERT_EQ(a.size(), b.size()) << step;
        size_t firstDiff = a.size();
        for (size_t i = 0; i < a.size() && firstDiff == a.size(); ++i)
            if (a[i] != b[i])
                firstDiff = i;
        EXPECT_EQ(firstDiff, a.size())
            << step << ": first differing byte " << firstDiff << " (pixel " << (firstDiff - 54) / 3 << ")";
        ++steps;
    }

    FakeHost host;
    FakeMirror mirror;
    AcquisitionEngine engine{host, mirror};
    ImageDisplay incremental{engine};
    ImageDisplay whole{engine};
    std::mt19937 rng{42};
    uint64_t lastMapped = 0;
    int steps = 0;
};

} // namespace

TEST_F(IncrementalPicture, CubeScanInGreyAndColourWithEveryControl) {
    // A dark frame first, so that "Apply Dark" subtracts something.
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    Feed(26);
    ASSERT_TRUE(engine.DarkFrameValid());
    ASSERT_FALSE(engine.AcquiringDark());

    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Compare("scan started, cube cleared");
    EXPECT_EQ(lastMapped, uint64_t(W)) << "the cleared cube is a new picture";
    for (int i = 0; i < 4; ++i) {
        Feed(1);
        Compare("grey, one new line");
        EXPECT_EQ(lastMapped, 1u) << "only the new line's column is mapped";
    }
    Feed(3);
    Compare("grey, three new lines");
    EXPECT_EQ(lastMapped, 3u);
    Compare("grey, nothing new");
    EXPECT_EQ(lastMapped, 0u);

    Controls([](DisplayControls& c) { c.band = 100; });
    Compare("band changed");
    EXPECT_EQ(lastMapped, uint64_t(W));
    Feed(2);
    Compare("grey, new band, two lines");
    EXPECT_EQ(lastMapped, 2u);

    Controls([](DisplayControls& c) {
        c.imageScale = true;
        c.minSlider = 300;
        c.maxSlider = 2000;
    });
    Compare("Image Scale ticked");
    Feed(1);
    Compare("scaled, one line");
    EXPECT_EQ(lastMapped, 1u);
    Controls([](DisplayControls& c) { c.maxSlider = 1500; });
    Compare("max slider moved");
    EXPECT_EQ(lastMapped, uint64_t(W)) << "a new scale maps the whole picture";
    Controls([](DisplayControls& c) { c.imageScale = false; });
    Feed(1);
    Compare("Image Scale cleared: the last gain stays");

    Controls([](DisplayControls& c) { c.applyDark = true; });
    Compare("Apply Dark ticked");
    Feed(2);
    Compare("dark subtracted, two lines");
    EXPECT_EQ(lastMapped, 2u);

    Controls([](DisplayControls& c) { c.color = true; });
    Compare("Color ticked, dark subtracted");
    Feed(1);
    Compare("colour, one line, dark subtracted");
    EXPECT_EQ(lastMapped, 1u);
    Controls([](DisplayControls& c) { c.applyDark = false; });
    Feed(1);
    Compare("colour, Apply Dark cleared");
    Controls([](DisplayControls& c) { c.red = 5; });
    Compare("red band changed");
    Feed(4);
    Compare("colour, four lines");
    EXPECT_EQ(lastMapped, 4u);
    Controls([](DisplayControls& c) {
        c.imageScale = true;
        c.maxSlider = 900;
    });
    Compare("colour after a scaled grey picture's gain change");
    Controls([](DisplayControls& c) { c.color = false; });
    Feed(1);
    Compare("back to grey");

    engine.StopAcquisition();
    Compare("scan stopped: the whole cube without dark subtraction");
    Controls([](DisplayControls& c) { c.color = true; });
    Compare("colour with no acquisition: the grey display buffer");
}

TEST_F(IncrementalPicture, DarkAndCalibrationStacksAndTheSpectralDisplay) {
    for (auto mode : {AcquisitionEngine::Mode::Dark, AcquisitionEngine::Mode::Calibration}) {
        const std::string name = mode == AcquisitionEngine::Mode::Dark ? "dark" : "calibration";
        Controls([](DisplayControls& c) { c.color = false; });
        engine.AcquisitionCommand(mode);
        Compare(name + " stack started");
        Feed(3);
        Compare(name + " stack, grey, three lines");
        EXPECT_EQ(lastMapped, 25u) << "a stack's columns are mapped, the rest is kept";
        Controls([](DisplayControls& c) { c.color = true; });
        Compare(name + " stack, colour");
        Feed(5);
        Compare(name + " stack, colour, five lines");
        EXPECT_EQ(lastMapped, 25u);
        Feed(20); // the stack is complete and its acquisition ends
        Compare(name + " stack done");
    }
    Controls([](DisplayControls& c) { c.color = false; });
    engine.AcquisitionCommand(AcquisitionEngine::Mode::SpectralDisplay);
    Compare("spectral display started");
    for (int i = 0; i < 3; ++i) {
        Feed(1);
        Compare("spectral display, live frame");
        EXPECT_EQ(lastMapped, uint64_t(W)) << "every live frame is a new picture";
    }
    engine.StopAcquisition();
}

TEST_F(IncrementalPicture, LinesRewrittenOutOfOrderAreRedrawn) {
    // A second scan rewrites every line from 0 on: the columns of the old scan are replaced, not kept.
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(10);
    Compare("first scan");
    engine.StopAcquisition();
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Feed(2);
    Compare("second scan, two lines over a cleared cube");
    Feed(1);
    Compare("second scan, third line");
    EXPECT_EQ(lastMapped, 1u);
    engine.StopAcquisition();
}

TEST_F(IncrementalPicture, SaturationOverlayAndOpenedCubes) {
    // Values of 3000 and more are marked: many pixels of the random frames.
    Controls([](DisplayControls& c) {
        c.showSaturation = true;
        c.saturationMax = 3000;
    });
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    Compare("overlay, scan started");
    Feed(3);
    Compare("overlay, three lines");
    EXPECT_EQ(lastMapped, 3u) << "the overlay keeps the mapping incremental";
    Controls([](DisplayControls& c) { c.color = true; });
    Feed(2);
    Compare("overlay in colour");
    Feed(2);
    Compare("overlay in colour, two lines");
    EXPECT_EQ(lastMapped, 2u);
    Controls([](DisplayControls& c) { c.saturationMax = 3500; });
    Compare("a new Max: marks of kept columns change");
    Controls([](DisplayControls& c) { c.showSaturation = false; });
    Compare("overlay off: no red left in kept columns");
    Controls([](DisplayControls& c) { c.showSaturation = true; });
    Feed(1);
    Compare("overlay on again");
    engine.StopAcquisition();

    // A cube opened from a file is shown as during its scan; opening another replaces every column.
    Controls([](DisplayControls& c) { c.openedCube = true; });
    std::vector<uint16_t> cube(engine.Cube().size());
    for (auto& v : cube)
        v = uint16_t(rng() % 4096);
    ASSERT_TRUE(engine.ReplaceCube(cube));
    Compare("opened cube");
    for (auto& v : cube)
        v = uint16_t(rng() % 4096);
    ASSERT_TRUE(engine.ReplaceCube(cube));
    Compare("a second opened cube");
    EXPECT_EQ(lastMapped, uint64_t(W)) << "every line of the new cube is mapped";
    Controls([](DisplayControls& c) { c.applyDark = true; });
    Compare("opened cube, Apply Dark");
    std::vector<uint16_t> dark(engine.Geometry().LineValues());
    for (auto& v : dark)
        v = uint16_t(rng() % 200);
    ASSERT_TRUE(engine.ReplaceDarkFrame(dark));
    Compare("opened cube, its dark frame loaded");
    EXPECT_EQ(lastMapped, uint64_t(W));
}
