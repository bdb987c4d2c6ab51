// The dark frame and gains commands without a window: an engine fed by hand, prompts answered from a
// script, and a display that records what the window would be told, in order.
#include "calibration/CalibrationCommands.h"
#include "calibration/CalibrationFiles.h"
#include "calibration/RadiometricCorrection.h"
#include "camera/EngineSupport.h"
#include "core/UserPrompts.h"
#include "support/EngineTestAccess.h"
#include "support/SmallGeometry.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

CubeGeometry Small() {
    return SmallStackGeometry();
}
constexpr size_t kLine = 24; // B x H
constexpr size_t kHeader = 32768;

std::string LittleEndian(const std::vector<uint16_t>& values) {
    std::string bytes;
    for (uint16_t v : values) {
        bytes += char(v & 0xFF);
        bytes += char(v >> 8);
    }
    return bytes;
}

class CalibrationCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine.AllocateBuffers(Small())); }
    void TearDown() override { engine.ShutdownDisplayThread(); }

    CalibrationCommands::Display Recorder() {
        CalibrationCommands::Display d;
        d.darkLabel = [this](const std::string& t) { shown.push_back("dark: " + t); };
        d.radCalLabel = [this](const std::string& t) { shown.push_back("radcal: " + t); };
        d.status = [this](const std::string& t) { shown.push_back("status: " + t); };
        d.enableApplyDark = [this] { shown.push_back("apply dark"); };
        d.repaint = [this] { shown.push_back("repaint"); };
        return d;
    }
    // A dark stack file whose frame f holds f + 1 everywhere; `frames` frames of the stack.
    void WriteDarkFile(const std::string& name, int frames) {
        std::string file(kHeader, '\0');
        for (int f = 0; f < frames; ++f)
            file += LittleEndian(std::vector<uint16_t>(kLine, uint16_t(f + 1)));
        dir.Write(name, file);
    }
    std::vector<uint16_t> DarkStack() const { return engine.CopyStack(AcquisitionEngine::Stack::Dark); }

    TempDir dir;
    FakeHost host;
    FakeMirror mirror;
    AcquisitionEngine engine{host, mirror};
    ScriptedPrompts prompts;
    DefaultCalibration calibration;
    std::vector<std::string> shown;
    CalibrationCommands commands{engine, prompts, calibration, Recorder()};
};

TEST_F(CalibrationCommandsTest, SavedStacksAreNamedWithoutFoldersAndFailedSavesChangeNothing) {
    // A folder that does not exist: reported, nothing named, the dark frame not valid.
    prompts.QueueSavePath(dir.File("missing/dark.drk"));
    commands.SaveDarkCube(10.0);
    prompts.QueueSavePath(dir.File("missing/stack.cal"));
    commands.SaveCalibrationCube(10.0);
    EXPECT_EQ(prompts.Texts(),
              (std::vector<std::string>{kMsgUnableToSaveDarkFrame, kMsgUnableToSaveCalibrationCube}));
    EXPECT_FALSE(engine.DarkFrameValid());
    EXPECT_EQ(commands.DarkFileName(), "None");
    EXPECT_EQ(commands.RadCalFileName(), "None");
    EXPECT_TRUE(shown.empty());

    // Cancelled: nothing asked further, nothing said.
    prompts.Clear();
    prompts.QueueSavePath(std::nullopt);
    commands.SaveDarkCube(10.0);
    EXPECT_TRUE(prompts.Texts().empty());
    EXPECT_FALSE(engine.DarkFrameValid());

    prompts.QueueSavePath(dir.File("dark.drk"));
    commands.SaveDarkCube(10.0);
    EXPECT_EQ(commands.DarkFileName(), "dark.drk");
    EXPECT_EQ(shown, std::vector<std::string>{"dark: Dark Frame: dark.drk"});
    EXPECT_TRUE(engine.DarkFrameValid());
    // Header, the 4 frames, the trailing frame.
    EXPECT_EQ(dir.Read("dark.drk").size(), kHeader + 5 * kLine * 2);

    prompts.QueueSavePath(dir.File("stack.cal"));
    commands.SaveCalibrationCube(10.0);
    EXPECT_EQ(commands.RadCalFileName(), "stack.cal");
    EXPECT_EQ(dir.Read("stack.cal").size(), kHeader + 4 * kLine * 2);
    EXPECT_EQ(shown.size(), 1u); // a calibration stack changes no label
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(CalibrationCommandsTest, DarkFilesFillTheStackInOrderAndReportHowManyFramesTheyHeld) {
    WriteDarkFile("full.drk", 4);
    prompts.QueueOpenPath(dir.File("full.drk"));
    commands.LoadDarkCube();
    EXPECT_EQ(shown, (std::vector<std::string>{"dark: Dark Frame: full.drk", "apply dark",
                                               "status: 4 of 4 dark frames read", "repaint"}));
    EXPECT_EQ(EngineTestAccess::DarkFrame(engine)[0], 2); // (1 + 2 + 3 + 4) / 4
    EXPECT_TRUE(engine.DarkFrameValid());

    // One and a half frames: the rest of the stack is 0, the frame count says so.
    shown.clear();
    engine.Calibration().SetDarkFrameValid(false);
    std::string part(kHeader, '\0');
    part += LittleEndian(std::vector<uint16_t>(kLine + kLine / 2, 7));
    dir.Write("sub/part.drk", part);
    prompts.QueueOpenPath(dir.File("sub/part.drk"));
    commands.LoadDarkCube();
    EXPECT_EQ(shown[2], "status: 1 of 4 dark frames read");
    EXPECT_EQ(commands.DarkFileName(), "part.drk");
    const std::vector<uint16_t> stack = DarkStack();
    EXPECT_EQ(stack[kLine + kLine / 2 - 1], 7);
    EXPECT_EQ(stack[kLine + kLine / 2], 0);
    EXPECT_TRUE(engine.DarkFrameValid());
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(CalibrationCommandsTest, RefusedOrMissingDarkFilesKeepTheDarkFrameAndItsLabel) {
    WriteDarkFile("one.drk", 4);
    prompts.QueueOpenPath(dir.File("one.drk"));
    commands.LoadDarkCube();
    const std::vector<uint16_t> stackBefore = DarkStack();
    const std::vector<uint16_t> darkBefore = EngineTestAccess::DarkFrame(engine);
    shown.clear();

    // A value no 12-bit sample can take.
    dir.Write("wide.drk", std::string(kHeader, '\0') + std::string("\x05\x00\xFF\xFF", 4));
    prompts.QueueOpenPath(dir.File("wide.drk"));
    commands.LoadDarkCube();
    prompts.QueueOpenPath(dir.File("absent.drk"));
    commands.LoadDarkCube();
    const std::vector<std::string> texts = prompts.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("wide.drk is not a dark frame file", 0), 0u) << texts[0];
    EXPECT_EQ(texts[1], kMsgUnableToOpenDarkFrameFile);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(DarkStack(), stackBefore);
    EXPECT_EQ(EngineTestAccess::DarkFrame(engine), darkBefore);
    EXPECT_EQ(commands.DarkFileName(), "one.drk");

    // Cancelled: the name in use is shown again.
    prompts.QueueOpenPath(std::nullopt);
    commands.LoadDarkCube();
    EXPECT_EQ(shown, std::vector<std::string>{"dark: Dark Frame: one.drk"});

    // While an acquisition runs the command does not even ask for a file.
    EngineTestAccess::SetBusy(engine, true);
    prompts.QueueOpenPath(dir.File("one.drk"));
    commands.LoadDarkCube();
    commands.LoadRadCal();
    commands.ComputeRadCal();
    EngineTestAccess::SetBusy(engine, false);
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(prompts.AskOpenPath(), dir.File("one.drk")); // the queued answer is still there
}

TEST_F(CalibrationCommandsTest, RefusedGainFilesKeepTheGainsAndCountAsNotLoaded) {
    dir.Write("gain.rad", std::string("\x00\x00\x20\x40", 4)); // 2.5
    prompts.QueueOpenPath(dir.File("gain.rad"));
    commands.LoadRadCal();
    ASSERT_TRUE(engine.Calibration().GainsLoaded());
    EXPECT_EQ(commands.RadCalFileName(), "gain.rad");

    // Not a number as the second gain.
    dir.Write("nan.rad", std::string("\x00\x00\x00\x40\x00\x00\xC0\x7F", 8));
    prompts.QueueOpenPath(dir.File("nan.rad"));
    commands.LoadRadCal();
    ASSERT_EQ(prompts.Texts().size(), 1u);
    EXPECT_EQ(prompts.Texts()[0].rfind("nan.rad is not a radiometric calibration file", 0), 0u);
    EXPECT_FALSE(engine.Calibration().GainsLoaded());
    EXPECT_EQ(EngineTestAccess::Gains(engine)[0], 2.5f);
    EXPECT_EQ(commands.RadCalFileName(), "gain.rad");
    // Cancelled: the last file read is named again.
    prompts.QueueOpenPath(std::nullopt);
    commands.LoadRadCal();
    EXPECT_EQ(shown, (std::vector<std::string>{"radcal: Rad. Cal.:  gain.rad", "radcal: Rad. Cal.:  None",
                                               "radcal: Rad. Cal.:  gain.rad"}));

    // Reset: the gains back to 1.0; whether gains count as loaded is not its business.
    commands.ResetRadCal();
    const std::vector<float> gains = EngineTestAccess::Gains(engine);
    EXPECT_TRUE(std::all_of(gains.begin(), gains.end(), [](float g) { return g == 1.0f; }));
}

TEST_F(CalibrationCommandsTest, GainsAreComputedOnlyAboveADarkFrameAndThenLoaded) {
    // A flat field of 100 over a dark of 0, except one pixel without signal.
    std::vector<uint16_t> flat(4 * kLine, 100);
    for (int f = 0; f < 4; ++f)
        flat[size_t(f) * kLine + 5] = 0;
    dir.Write("flat.cal", std::string(kHeader, '\0') + LittleEndian(flat));

    // No dark frame: refused before any file is asked for.
    prompts.QueueOpenPath(dir.File("flat.cal"));
    commands.ComputeRadCal();
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{RadCalMsg::kNoDarkFrame});
    EXPECT_FALSE(engine.Calibration().GainsLoaded());
    EXPECT_EQ(prompts.AskOpenPath(), dir.File("flat.cal"));

    engine.Calibration().SetDarkFrameValid(true);
    // The gains file cannot be written: reported, no gains loaded.
    prompts.Clear();
    prompts.QueueOpenPath(dir.File("flat.cal"));
    prompts.QueueSavePath(dir.File("missing/flat.rad"));
    commands.ComputeRadCal();
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{RadCalMsg::kUnableToSaveRadCal});
    EXPECT_FALSE(engine.Calibration().GainsLoaded());
    EXPECT_TRUE(shown.empty());

    // Written beside the stack under the offered name, loaded, summarised; the pixel without a gain
    // is reported.
    prompts.Clear();
    prompts.QueueOpenPath(dir.File("flat.cal"));
    prompts.QueueSavePath(dir.File("flat.rad"));
    commands.ComputeRadCal();
    EXPECT_EQ(prompts.SaveInitialNames().back(), "flat.rad");
    ASSERT_TRUE(engine.Calibration().GainsLoaded());
    EXPECT_EQ(commands.RadCalFileName(), "flat.rad");
    EXPECT_EQ(dir.Read("flat.rad").size(), kLine * 4);
    const std::vector<float> gains = EngineTestAccess::Gains(engine);
    EXPECT_EQ(gains[5], 0.0f);
    EXPECT_GT(gains[4], 0.0f);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], "radcal: Rad. Cal.:  flat.rad");
    EXPECT_EQ(shown[1].rfind("status: Radiometric calibration from flat.cal: 1 of 24", 0), 0u) << shown[1];
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{shown[1].substr(8)});

    // A stack file of the wrong size is refused with its reason; the gains stay.
    prompts.Clear();
    dir.Write("short.cal", std::string(kHeader + 10, '\0'));
    prompts.QueueOpenPath(dir.File("short.cal"));
    commands.ComputeRadCal();
    EXPECT_EQ(prompts.Texts().size(), 1u);
    EXPECT_EQ(EngineTestAccess::Gains(engine)[5], 0.0f);
    EXPECT_EQ(commands.RadCalFileName(), "flat.rad");
}

} // namespace
