// Calibration from the main window: dark and calibration stack files, loading dark stacks and
// radiometric gains, the labels, the Calibration menu and dialog, and the spectral calibration run on
// the simulated instrument (the integrating sphere shows a narrow line at the monochromator's
// wavelength).
#include "app/WindowFixture.h"
#include "app/stratadlg.h"
#include "calibration/CCalibrationDlg2.h"
#include "calibration/SpectralCalibration.h"
#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimMonochromator.h"
#include "sim/SimScene.h"
#include "support/EngineTestAccess.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

namespace {
constexpr size_t kHeader = 32768;
constexpr size_t kFrameValues = 128 * 520;     // B x H, one line of a stack
constexpr size_t kAutoFrameValues = 128 * 696; // B x W, one frame of the spectral run

uint16_t U16At(const std::string& bytes, size_t offset) {
    return uint16_t(uint8_t(bytes[offset]) | uint8_t(bytes[offset + 1]) << 8);
}
int32_t I32At(const std::string& bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | uint8_t(bytes[offset + size_t(i)]);
    return int32_t(v);
}
float F32At(const std::string& bytes, size_t offset) {
    const uint32_t bits = uint32_t(I32At(bytes, offset));
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}
std::string LittleEndian(const uint16_t* values, size_t count) {
    std::string out(count * 2, '\0');
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = char(values[i] & 0xFF);
        out[2 * i + 1] = char(values[i] >> 8);
    }
    return out;
}

class WindowCalibration : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        Faster(0.05, 20.0);
        SimCameraSettings cameras;
        cameras.clockScale = 20.0;
        ASSERT_TRUE(OpenWindow(cameras));
        prompts.Clear();
        // Start-up ends with the focus move ("DI\n"): let the controller log it before a test clears
        // the log.
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller.CountOf("DI\n") >= 1; }, 3000));
        // The run's monochromator: the simulated one, set directly; every call is recorded.
        dlg->moveMonochromator = [this](int port, int wavelength) {
            monochromatorCalls.emplace_back(port, wavelength);
            SimOptics::Instance().monochromatorNm = double(wavelength);
        };
    }
    QString LabelText(int id) { return FindControl<QLabel>(dlg.get(), id)->text(); }
    // Runs the event loop until the acquisition ended and the posted save ran.
    bool WaitForFile(const std::string& path) {
        return QTest::qWaitFor([&] { return !dlg->Engine().Busy() && std::filesystem::exists(path); }, 20000);
    }
    // One spectral run from start to end.
    bool RunSpectral(const std::array<bool, 8>& modes, const std::string& prefix) {
        return RunSpectralCalibrationToEnd(*dlg, modes, prefix);
    }
    std::array<bool, 8> Modes(std::initializer_list<int> ks) {
        std::array<bool, 8> modes{};
        for (int k : ks)
            modes[size_t(k - 1)] = true;
        return modes;
    }

    std::vector<std::pair<int, int>> monochromatorCalls;
};
} // namespace

// ---- Qt-free rules of the spectral run ----

TEST(SpectralCalibrationRules, FileNamesFollowPrefixModeAndWavelength) {
    EXPECT_EQ(CalFileListName("/d/P", 6), "/d/P_2x2_CalFileList.txt");
    EXPECT_EQ(WavelengthListName("/d/P", 2), "/d/P_1x2_WavelengthList.txt");
    EXPECT_EQ(CalFileName("/d/P", 8, 930), "/d/P_2x8_930.cal");
    EXPECT_EQ(CalFileName("C:/Data/", 1, 450), "C:/Data/_1x1_450.cal");
}

TEST(SpectralCalibrationRules, BinningTakesBandsFromTheFarRowsOverEveryColumn) {
    // W = 3, B = 2: band 0 from rows 4..7, band 1 from rows 0..3.
    const int W = 3;
    std::vector<uint16_t> frame(8 * W, 0);
    for (int r = 0; r < 4; ++r) {
        frame[size_t(r * W + 0)] = 65535;                        // band 1, column 0: 4095
        frame[size_t((4 + r) * W + 2)] = uint16_t(16 * (r + 1)); // band 0, column 2: (160 >> 2) >> 4 = 2
    }
    frame[size_t(5 * W + 1)] = 63; // band 0, column 1: (63 >> 2) >> 4 = 0
    std::vector<uint16_t> work(2 * W, 99);
    BinCalibrationFrame(frame.data(), W, 2, work.data());
    EXPECT_EQ(work, (std::vector<uint16_t>{0, 0, 2, 4095, 0, 0}));
}

TEST(SpectralCalibrationRules, PeakIsTheLargestValueAndTheFirstBandOnTies) {
    const std::vector<uint16_t> work = {1, 7, 2, //
                                        7, 0, 0, //
                                        3, 9, 9};
    FramePeak p = FindFramePeak(work.data(), 3, 3);
    EXPECT_EQ(p.value, 9);
    EXPECT_EQ(p.band, 2);
    const std::vector<uint16_t> tie = {0, 5, 5, 0};
    p = FindFramePeak(tie.data(), 2, 2);
    EXPECT_EQ(p.value, 5);
    EXPECT_EQ(p.band, 0);
}

TEST(SpectralCalibrationRules, CopyReversesBandsAndForMostModesColumns) {
    const std::vector<uint16_t> work = {1, 2, 3, //
                                        4, 5, 6};
    std::vector<uint16_t> slot(6, 0);
    CopyWorkFrameToSlot(work.data(), 3, 2, false, slot.data());
    EXPECT_EQ(slot, (std::vector<uint16_t>{4, 5, 6, 1, 2, 3}));
    CopyWorkFrameToSlot(work.data(), 3, 2, true, slot.data());
    EXPECT_EQ(slot, (std::vector<uint16_t>{6, 5, 4, 3, 2, 1}));
}

TEST(SpectralCalibrationRules, PeakCheckKeepsLinesBetweenTheLimitsAndAdjustsTheExposure) {
    // Both limits are accepted.
    EXPECT_EQ(CheckSpectralPeak(6, 300, 10).action, PeakAction::Accept);
    EXPECT_EQ(CheckSpectralPeak(6, 3500, 10).action, PeakAction::Accept);
    EXPECT_TRUE(CheckSpectralPeak(6, 3500, 10).status.empty());
    // Weak: +50 on the integer exposure.
    PeakDecision d = CheckSpectralPeak(6, 299, 60.9);
    EXPECT_EQ(d.action, PeakAction::Retry);
    EXPECT_EQ(d.newExposure, 110);
    EXPECT_EQ(d.status, "Increasing Integration Time");
    // 580 + 50 exceeds 600: the 2x modes end, the 1x modes keep the frame.
    d = CheckSpectralPeak(6, 299, 580);
    EXPECT_EQ(d.action, PeakAction::EndHighExposure);
    EXPECT_EQ(d.newExposure, 630);
    EXPECT_EQ(CheckSpectralPeak(3, 299, 580).action, PeakAction::Accept);
    EXPECT_EQ(CheckSpectralPeak(8, 299, 551).action, PeakAction::EndHighExposure);
    EXPECT_EQ(CheckSpectralPeak(8, 299, 550).action, PeakAction::Retry);
    // Mode 1x2 stops at 300 and names the new value.
    d = CheckSpectralPeak(2, 10, 250.7);
    EXPECT_EQ(d.action, PeakAction::Retry);
    EXPECT_EQ(d.status, "Increasing Integration Time to: 300");
    d = CheckSpectralPeak(2, 10, 251);
    EXPECT_EQ(d.action, PeakAction::Accept);
    EXPECT_EQ(d.status, "Increasing Integration Time to: 301");
    // Saturated: -50, never below 10.
    d = CheckSpectralPeak(7, 3501, 60);
    EXPECT_EQ(d.action, PeakAction::Retry);
    EXPECT_EQ(d.newExposure, 10);
    EXPECT_EQ(d.status, "Decreasing Integration Time");
    EXPECT_EQ(CheckSpectralPeak(7, 3501, 59).action, PeakAction::EndLowExposure);
    EXPECT_EQ(CheckSpectralPeak(4, 3501, 59).action, PeakAction::Accept);
    // Mode 1x1 never adjusts.
    EXPECT_EQ(CheckSpectralPeak(1, 299, 10).action, PeakAction::EndLineLow);
    EXPECT_EQ(CheckSpectralPeak(1, 3501, 600).action, PeakAction::EndLineSaturated);
}

// ---- Dark and calibration stacks ----

TEST_F(WindowCalibration, DarkStackIsSavedThroughTheHandOffNewestFrameFirst) {
    SimOptics::Instance().target = SimTarget::LensCap;
    SimOptics::Instance().noise = true; // so that the 25 frames differ
    const std::string path = dir.File("dark.drk");
    prompts.QueueSavePath(path);
    dlg->OnCommand(ID_TB_COLLECT_DARK);
    ASSERT_TRUE(WaitForFile(path));
    ASSERT_TRUE(QTest::qWaitFor([&] { return LabelText(IDC_DARK_LABEL) == "Dark Frame: dark.drk"; }, 5000));
    const std::string bytes = dir.Read("dark.drk");
    ASSERT_EQ(bytes.size(), 3493888u); // 32768 + 26 x 133120
    const std::vector<uint16_t>& stack = dlg->Engine().StackBuffer(AcquisitionEngine::Stack::Dark);
    ASSERT_NE(LittleEndian(&stack[24 * kFrameValues], kFrameValues), LittleEndian(&stack[0], kFrameValues));
    EXPECT_EQ(bytes.substr(kHeader, kFrameValues * 2), LittleEndian(&stack[24 * kFrameValues], kFrameValues));
    EXPECT_EQ(bytes.substr(kHeader + 24 * kFrameValues * 2, kFrameValues * 2),
              LittleEndian(&stack[0], kFrameValues));
    // The trailing frame of 1000 (0x03E8).
    const std::string trailer = bytes.substr(kHeader + 25 * kFrameValues * 2);
    for (size_t i = 0; i < trailer.size(); i += 2)
        ASSERT_EQ(U16At(trailer, i), 1000) << i;
    // Header: samples, lines = stack length, bands, integration time, calibration variant (k = 1.0).
    EXPECT_EQ(U16At(bytes, 22), 520);
    EXPECT_EQ(U16At(bytes, 28), 25);
    EXPECT_EQ(U16At(bytes, 34), 128);
    EXPECT_EQ(I32At(bytes, 3197), 10);
    EXPECT_EQ(F32At(bytes, 14531), 1.0f);
    EXPECT_TRUE(dlg->Engine().DarkFrameValid());
    EXPECT_EQ(dlg->DarkFileName(), "dark.drk");
    EXPECT_TRUE(FindControl<QCheckBox>(dlg.get(), IDC_APPLY_DARK)->isEnabled());
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(WindowCalibration, CalibrationStackFileHasNoTrailerAndNamesTheRadCal) {
    const std::string path = dir.File("stack.cal");
    prompts.QueueSavePath(path);
    dlg->OnCommand(ID_TB_COLLECT_CAL);
    ASSERT_TRUE(WaitForFile(path));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->RadCalFileName() == "stack.cal"; }, 5000));
    const std::string bytes = dir.Read("stack.cal");
    ASSERT_EQ(bytes.size(), 3360768u); // 32768 + 25 x 133120
    const std::vector<uint16_t>& stack = dlg->Engine().StackBuffer(AcquisitionEngine::Stack::Calibration);
    EXPECT_EQ(bytes.substr(kHeader, kFrameValues * 2), LittleEndian(&stack[24 * kFrameValues], kFrameValues));
    // No label changes with a calibration stack.
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: None");
    EXPECT_EQ(LabelText(IDC_RADCAL_LABEL), "Rad. Cal.: None");
}

TEST_F(WindowCalibration, SavesReportFilesThatCannotBeWrittenAndCancelChangesNothing) {
    prompts.QueueSavePath(dir.File("missing/folder/dark.drk"));
    dlg->OnCommand(ID_FILE_SAVE_DARK);
    prompts.QueueSavePath(dir.File("missing/folder/stack.cal"));
    dlg->OnCommand(ID_FILE_SAVE_CAL);
    EXPECT_EQ(prompts.Texts(),
              (std::vector<std::string>{"unable to save dark frame", "unable to save Calibration Cube"}));
    EXPECT_FALSE(dlg->Engine().DarkFrameValid());
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: None");
    // Cancel: nothing written, nothing said.
    prompts.Clear();
    prompts.QueueSavePath(std::nullopt);
    dlg->OnCommand(ID_FILE_SAVE_DARK);
    EXPECT_TRUE(prompts.Texts().empty());
    EXPECT_FALSE(dlg->Engine().DarkFrameValid());
    // The name is used as typed: no extension is added.
    prompts.QueueSavePath(dir.File("plain"));
    dlg->OnCommand(ID_FILE_SAVE_DARK);
    EXPECT_TRUE(std::filesystem::exists(dir.File("plain")));
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: plain");
}

TEST_F(WindowCalibration, DarkFilesLoadInFileOrderAndShortOnesLeaveZeros) {
    AcquisitionEngine& e = dlg->Engine();
    // A whole stack file: frame f holds f + 1 everywhere, then the trailer (not read).
    std::string file(kHeader, '\0');
    for (uint16_t f = 0; f < 25; ++f) {
        const std::vector<uint16_t> frame(kFrameValues, uint16_t(f + 1));
        file += LittleEndian(frame.data(), frame.size());
    }
    const std::vector<uint16_t> trailer(kFrameValues, 1000);
    file += LittleEndian(trailer.data(), trailer.size());
    dir.Write("full.drk", file);
    ASSERT_FALSE(FindControl<QCheckBox>(dlg.get(), IDC_APPLY_DARK)->isEnabled());
    prompts.QueueOpenPath(dir.File("full.drk"));
    dlg->OnCommand(ID_LOAD_DARK);
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[0], 1);
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[24 * kFrameValues + 5], 25);
    EXPECT_EQ(EngineTestAccess::DarkFrame(e)[0], 13); // (1 + ... + 25) / 25
    EXPECT_EQ(EngineTestAccess::DarkFrame(e)[kFrameValues - 1], 13);
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: full.drk");
    EXPECT_EQ(dlg->StatusText(3), "25 of 25 dark frames read");
    EXPECT_TRUE(FindControl<QCheckBox>(dlg.get(), IDC_APPLY_DARK)->isEnabled());

    // Only the header: an all-zero dark frame, still valid.
    dir.Write("short.drk", std::string(kHeader, '\x55'));
    e.Calibration().SetDarkFrameValid(false);
    prompts.QueueOpenPath(dir.File("short.drk"));
    dlg->OnCommand(ID_LOAD_DARK);
    const std::vector<uint16_t> dark = EngineTestAccess::DarkFrame(e);
    EXPECT_TRUE(std::all_of(dark.begin(), dark.end(), [](uint16_t v) { return v == 0; }));
    EXPECT_TRUE(std::all_of(e.StackBuffer(AcquisitionEngine::Stack::Dark).begin(),
                            e.StackBuffer(AcquisitionEngine::Stack::Dark).begin() + long(25 * kFrameValues),
                            [](uint16_t v) { return v == 0; }));
    EXPECT_TRUE(e.DarkFrameValid());
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: short.drk");
    EXPECT_EQ(dlg->StatusText(3), "0 of 25 dark frames read");

    // Two and a half frames.
    dir.Write("part.drk", file.substr(0, kHeader + kFrameValues * 5));
    prompts.QueueOpenPath(dir.File("part.drk"));
    dlg->OnCommand(ID_LOAD_DARK);
    EXPECT_EQ(dlg->StatusText(3), "2 of 25 dark frames read");
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[2 * kFrameValues + kFrameValues / 2 - 1], 3);
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[2 * kFrameValues + kFrameValues / 2], 0);
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(WindowCalibration, FailedOrCancelledDarkLoadKeepsDataAndLabel) {
    AcquisitionEngine& e = dlg->Engine();
    dir.Write("one.drk", std::string(kHeader, '\0'));
    prompts.QueueOpenPath(dir.File("one.drk"));
    dlg->LoadDarkCube();
    EngineTestAccess::StackBuffer(e, AcquisitionEngine::Stack::Dark)[7] = 42;
    prompts.QueueOpenPath(dir.File("nothing-here.drk"));
    dlg->LoadDarkCube();
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Unable to open Dark Frame File"});
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[7], 42);
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: one.drk");
    FindControl<QLabel>(dlg.get(), IDC_DARK_LABEL)->setText("changed");
    prompts.QueueOpenPath(std::nullopt);
    dlg->LoadDarkCube();
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: one.drk");
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[7], 42);
}

TEST_F(WindowCalibration, LoadsAreRefusedWhileAnAcquisitionRuns) {
    dir.Write("one.drk", std::string(kHeader, '\0'));
    dir.Write("gain.rad", std::string("\x00\x00\x20\x40", 4));
    dlg->OnCommand(ID_TB_SPECTRAL_DISPLAY);
    ASSERT_TRUE(dlg->Engine().Busy());
    prompts.QueueOpenPath(dir.File("one.drk"));
    dlg->OnCommand(ID_LOAD_DARK);
    dlg->OnCommand(ID_LOAD_RADCAL);
    EXPECT_FALSE(dlg->Engine().DarkFrameValid());
    EXPECT_FALSE(dlg->Engine().Calibration().GainsLoaded());
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: None");
    dlg->OnCommand(ID_TB_STOP);
    SettleCommands();
    // The queued answer was not taken by the refused load: the next load gets it.
    dlg->OnCommand(ID_LOAD_DARK);
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: one.drk");
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(WindowCalibration, GainFilesChangeOnlyWhatTheyHoldAndApplyRadCalNeedsThem) {
    AcquisitionEngine& e = dlg->Engine();
    auto* apply = FindControl<QCheckBox>(dlg.get(), IDC_APPLY_RADCAL);
    apply->setEnabled(true); // hidden and disabled in the window; the rule is the handler's
    // Nothing loaded yet: the box does not stay ticked.
    apply->click();
    EXPECT_FALSE(apply->isChecked());
    EXPECT_FALSE(dlg->ApplyRadCalOn());

    // 2.5f is 0x40200000.
    dir.Write("gain4.rad", std::string("\x00\x00\x20\x40", 4));
    prompts.QueueOpenPath(dir.File("gain4.rad"));
    dlg->OnCommand(ID_LOAD_RADCAL);
    EXPECT_EQ(EngineTestAccess::Gains(e)[0], 2.5f);
    EXPECT_EQ(EngineTestAccess::Gains(e)[1], 1.0f);
    EXPECT_EQ(EngineTestAccess::Gains(e)[kFrameValues - 1], 1.0f);
    EXPECT_TRUE(e.Calibration().GainsLoaded());
    EXPECT_EQ(LabelText(IDC_RADCAL_LABEL), "Rad. Cal.:  gain4.rad");
    apply->click();
    EXPECT_TRUE(apply->isChecked());
    EXPECT_TRUE(dlg->ApplyRadCalOn());
    apply->click();
    EXPECT_FALSE(dlg->ApplyRadCalOn());

    // A failed load: message, "None", not loaded, gains unchanged; the box cannot be ticked.
    prompts.QueueOpenPath(dir.File("absent.rad"));
    dlg->OnCommand(ID_LOAD_RADCAL);
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Unable to open Radiometric Calibration File"});
    EXPECT_EQ(LabelText(IDC_RADCAL_LABEL), "Rad. Cal.:  None");
    EXPECT_FALSE(e.Calibration().GainsLoaded());
    EXPECT_EQ(EngineTestAccess::Gains(e)[0], 2.5f);
    apply->click();
    EXPECT_FALSE(apply->isChecked());
    EXPECT_FALSE(dlg->ApplyRadCalOn());
    // Cancel shows the last file read again.
    prompts.QueueOpenPath(std::nullopt);
    dlg->OnCommand(ID_LOAD_RADCAL);
    EXPECT_EQ(LabelText(IDC_RADCAL_LABEL), "Rad. Cal.:  gain4.rad");

    // Reset Rad. Cal. from the menu: the first B x 520 gains back to 1.0.
    EngineTestAccess::WithCalibration(e, [](std::vector<uint16_t>&, std::vector<float>& gains) {
        gains[kFrameValues - 1] = 3.0f;
        gains[kFrameValues] = 3.0f;
    });
    dlg->MenuAction(ID_RESET_RADCAL)->trigger();
    EXPECT_EQ(EngineTestAccess::Gains(e)[0], 1.0f);
    EXPECT_EQ(EngineTestAccess::Gains(e)[kFrameValues - 1], 1.0f);
    EXPECT_EQ(EngineTestAccess::Gains(e)[kFrameValues], 3.0f);
}

TEST_F(WindowCalibration, FilesHoldingNoGainsOrNoDarkValuesAreRefusedWithTheirReason) {
    AcquisitionEngine& e = dlg->Engine();
    dir.Write("gain4.rad", std::string("\x00\x00\x20\x40", 4));
    prompts.QueueOpenPath(dir.File("gain4.rad"));
    dlg->OnCommand(ID_LOAD_RADCAL);
    ASSERT_TRUE(e.Calibration().GainsLoaded());
    // 2.0f, then not a number (0x7FC00000): refused like a file that cannot be opened.
    dir.Write("nan.rad", std::string("\x00\x00\x00\x40\x00\x00\xC0\x7F", 8));
    prompts.QueueOpenPath(dir.File("nan.rad"));
    dlg->OnCommand(ID_LOAD_RADCAL);
    EXPECT_EQ(prompts.Texts(),
              std::vector<std::string>{"nan.rad is not a radiometric calibration file: gain 1 is nan, "
                                       "not a finite number of 0 or more. No gains were loaded."});
    EXPECT_EQ(LabelText(IDC_RADCAL_LABEL), "Rad. Cal.:  None");
    EXPECT_FALSE(e.Calibration().GainsLoaded());
    EXPECT_EQ(EngineTestAccess::Gains(e)[0], 2.5f);

    // A dark file with a value no 12-bit sample can take: the dark frame and label stay.
    prompts.Clear();
    dir.Write("one.drk", std::string(kHeader, '\0') + std::string("\x05\x00", 2));
    prompts.QueueOpenPath(dir.File("one.drk"));
    dlg->OnCommand(ID_LOAD_DARK);
    ASSERT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: one.drk");
    dir.Write("wide.drk", std::string(kHeader, '\0') + std::string("\x05\x00\xFF\xFF", 4));
    prompts.QueueOpenPath(dir.File("wide.drk"));
    dlg->OnCommand(ID_LOAD_DARK);
    EXPECT_EQ(prompts.Texts(),
              std::vector<std::string>{"wide.drk is not a dark frame file of this instrument: value 1 "
                                       "is 65535, above the largest sample value 4095. The dark frame "
                                       "is unchanged."});
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: one.drk");
    EXPECT_EQ(dlg->DarkFileName().toStdString(), "one.drk");
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[0], 5);
    EXPECT_EQ(e.StackBuffer(AcquisitionEngine::Stack::Dark)[1], 0);
}

TEST_F(WindowCalibration, LongFileNamesAreKeptWholeAndShortenedInTheLabels) {
    const std::string name = std::string(50, 'a') + std::string(50, 'b');
    dir.Write(name, std::string(kHeader, '\0'));
    prompts.QueueOpenPath(dir.File(name));
    dlg->LoadDarkCube();
    const QString shortened = QString(38, 'a') + "..." + QString(38, 'b');
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: " + shortened);
    EXPECT_EQ(dlg->DarkFileName().toStdString(), name);
    prompts.QueueOpenPath(dir.File(name));
    dlg->LoadRadCal();
    EXPECT_EQ(LabelText(IDC_RADCAL_LABEL), "Rad. Cal.:  " + shortened);
    EXPECT_EQ(dlg->RadCalFileName().toStdString(), name);
    // A name of exactly 79 characters stays whole.
    const std::string fits(79, 'c');
    dir.Write(fits, std::string(kHeader, '\0'));
    prompts.QueueOpenPath(dir.File(fits));
    dlg->LoadDarkCube();
    EXPECT_EQ(LabelText(IDC_DARK_LABEL).toStdString(), "Dark Frame: " + fits);
}

// ---- Menu and dialog ----

TEST_F(WindowCalibration, CalibrationMenuFollowsAcquisitionAndHiddenControlsStayHidden) {
    const QList<QAction*> tops = dlg->menuBar()->actions();
    int acquisition = -1;
    for (int i = 0; i < tops.size(); ++i)
        if (tops[i]->text() == "&Acquisition")
            acquisition = i;
    ASSERT_GE(acquisition, 0);
    ASSERT_LT(acquisition + 1, tops.size());
    QMenu* menu = tops[acquisition + 1]->menu();
    EXPECT_EQ(tops[acquisition + 1]->text(), "&Calibration");
    QStringList seen;
    for (QAction* a : menu->actions())
        seen << (a->isSeparator() ? QString("-") : a->text() + "#" + a->property("commandId").toString());
    EXPECT_EQ(seen, (QStringList{"Load Dark Frame...#32787", "Load Rad. Cal...#32798",
                                 "Reset Rad. Cal.#32791", "Compute Rad. Cal. from Cal Cube...#32811",
                                 "Spectral Calibration...#32802", "-", "Serial Settings...#"}));
    EXPECT_NE(menu->findChild<QAction*>("SerialSettingsAction"), nullptr);
    // "Spectral Calibration..." shows the dialog modally, with the members in its controls.
    dlg->CalibrationDialog().m_wavelengthEnd = 800;
    bool shown = false;
    QString endShown;
    QTimer::singleShot(0, dlg.get(), [&] {
        shown = dlg->CalibrationDialog().isVisible();
        endShown = FindControl<QLineEdit>(&dlg->CalibrationDialog(), 1078)->text();
        dlg->CalibrationDialog().accept();
    });
    dlg->MenuAction(ID_SPECTRAL_CALIBRATION)->trigger();
    EXPECT_TRUE(shown);
    EXPECT_EQ(endShown, "800");
    for (int id : {IDC_LOAD_DARK_FRAME, IDC_LOAD_RADCAL, IDC_APPLY_RADCAL, IDC_DARK_LABEL, IDC_RADCAL_LABEL})
        EXPECT_TRUE(dlg->Control(id)->isHidden()) << id;
    EXPECT_EQ(LabelText(IDC_RADCAL_LABEL), "Rad. Cal.: None");
    // The hidden (and disabled) buttons are still handled when they notify.
    dir.Write("one.drk", std::string(kHeader, '\0'));
    prompts.QueueOpenPath(dir.File("one.drk"));
    emit FindControl<QPushButton>(dlg.get(), IDC_LOAD_DARK_FRAME)->clicked();
    EXPECT_EQ(LabelText(IDC_DARK_LABEL), "Dark Frame: one.drk");
}

TEST(CalibrationDialog, PortAndEndWavelengthKeepTheirLastGoodValueOutsideTheirRange) {
    ScriptedPrompts prompts;
    CCalibrationDlg2 dlg(prompts);
    auto* end = FindControl<QLineEdit>(&dlg, 1078);
    auto* port = FindControl<QLineEdit>(&dlg, 1186);
    end->setText("900");
    port->setText("3");
    dlg.DoDataExchange(true);
    ASSERT_EQ(dlg.m_wavelengthEnd, 900);
    ASSERT_EQ(dlg.m_monoComPort, 3);
    // The monochromator takes 16-bit wavelengths; the ports are COM1 ... COM10.
    for (const auto& [e, p] :
         {std::pair{"65536", "0"}, std::pair{"-1", "11"}, std::pair{"99999999999", "-4"}}) {
        end->setText(e);
        port->setText(p);
        dlg.DoDataExchange(true);
        EXPECT_EQ(dlg.m_wavelengthEnd, 900) << e;
        EXPECT_EQ(dlg.m_monoComPort, 3) << p;
    }
    end->setText("65535");
    port->setText("10");
    dlg.DoDataExchange(true);
    EXPECT_EQ(dlg.m_wavelengthEnd, 65535);
    EXPECT_EQ(dlg.m_monoComPort, 10);
}

TEST(CalibrationDialog, DefaultsControlsHelpAndStart) {
    ScriptedPrompts prompts;
    CCalibrationDlg2 dlg(prompts);
    EXPECT_EQ(dlg.windowTitle(), "Calibration");
    EXPECT_EQ(FindControl<QLineEdit>(&dlg, 1173)->text(), "C:/Data/");
    EXPECT_EQ(FindControl<QLineEdit>(&dlg, 1078)->text(), "950");
    EXPECT_EQ(FindControl<QLineEdit>(&dlg, 1186)->text(), "4");
    EXPECT_EQ(dlg.m_wavelengthStart, 450);
    EXPECT_EQ(dlg.m_wavelengthStep, 30);
    const int boxes[8] = {1172, 1062, 1063, 1064, 1065, 1066, 1067, 1068};
    const char* captions[8] = {"Binning 1x1", "Binning 1x2", "Binning 1x4", "Binning 1x8",
                               "Binning 2x1", "Binning 2x2", "Binning 2x4", "Binning 2x8"};
    for (int i = 0; i < 8; ++i) {
        auto* box = FindControl<QCheckBox>(&dlg, boxes[i]);
        ASSERT_NE(box, nullptr) << boxes[i];
        EXPECT_EQ(box->text(), captions[i]);
        EXPECT_FALSE(box->isChecked());
        EXPECT_EQ(box->isEnabled(), i != 0 && i != 4) << boxes[i];
    }
    EXPECT_FALSE(FindControl<QCheckBox>(&dlg, 1069)->isEnabled());
    // Start and Stop of the automatic calibration run: shown; Stop usable while a run goes on.
    for (int id : {1175, 1176})
        EXPECT_FALSE(FindControl<QPushButton>(&dlg, id)->isHidden());
    EXPECT_TRUE(FindControl<QPushButton>(&dlg, 1175)->isEnabled());
    EXPECT_FALSE(FindControl<QPushButton>(&dlg, 1176)->isEnabled());

    FindControl<QPushButton>(&dlg, 1199)->click();
    EXPECT_EQ(prompts.Texts(),
              std::vector<std::string>{
                  "Dialog enables rapid spectral calibration\n1. Connect CM110 to RS232 Port and "
                  "verify port name in edit box\n2. Select binning ratio\n3. Set directory and "
                  "prefix name for files"});

    prompts.QueueSavePath("/data/run7");
    FindControl<QPushButton>(&dlg, 1174)->click();
    EXPECT_EQ(dlg.m_calPrefix, "/data/run7");
    EXPECT_EQ(FindControl<QLineEdit>(&dlg, 1173)->text(), "/data/run7");
    prompts.QueueSavePath(std::nullopt);
    FindControl<QPushButton>(&dlg, 1174)->click();
    EXPECT_EQ(dlg.m_calPrefix, "/data/run7");

    // Edits and boxes reach the members as they change.
    auto* end = FindControl<QLineEdit>(&dlg, 1078);
    end->setText("700");
    EXPECT_EQ(dlg.m_wavelengthEnd, 700);
    FindControl<QLineEdit>(&dlg, 1186)->setText("3");
    EXPECT_EQ(dlg.m_monoComPort, 3);
    FindControl<QCheckBox>(&dlg, 1063)->click();
    FindControl<QCheckBox>(&dlg, 1068)->click();

    std::array<bool, 8> seenModes{};
    std::string seenPrefix;
    int calls = 0;
    dlg.onStartSpectralCal = [&](const std::array<bool, 8>& modes, const std::string& prefix) {
        ++calls;
        seenModes = modes;
        seenPrefix = prefix;
        return true;
    };
    FindControl<QPushButton>(&dlg, 1187)->click();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenModes, (std::array<bool, 8>{false, false, true, false, false, false, false, true}));
    EXPECT_EQ(seenPrefix, "/data/run7");
}

// ---- Spectral calibration run on the simulator ----

TEST_F(WindowCalibration, TwoByTwoRunFindsTheLineAtEveryWavelength) {
    SimOptics::Instance().target = SimTarget::Sphere;
    const std::string prefix = dir.File("run");
    ASSERT_TRUE(RunSpectral(Modes({6}), prefix));
    EXPECT_EQ(dlg->StatusText(3), "End Cal !");

    // The list: two head lines, then one line per wavelength 450, 480, ..., 930.
    std::string expected = "1024 480\n" + prefix + "_2x2_WavelengthList.txt\n";
    for (int L = 450; L <= 930; L += 30)
        expected += prefix + "_2x2_" + std::to_string(L) + ".cal\t" + std::to_string(L) + "\n";
    EXPECT_EQ(dir.Read("run_2x2_CalFileList.txt"), expected);
    EXPECT_FALSE(std::filesystem::exists(prefix + "_2x2_960.cal"));
    // The monochromator: the start wavelength, then each wavelength of the loop, on COM4.
    ASSERT_EQ(monochromatorCalls.size(), 18u);
    EXPECT_EQ(monochromatorCalls[0], std::make_pair(4, 450));
    EXPECT_EQ(monochromatorCalls[17], std::make_pair(4, 930));

    // Band-list wavelength of band b: c0 + 2 c1 b + c2 b^2.
    auto lambda = [](int b) {
        return SimOpticsConstants::kC0 + 2.0 * SimOpticsConstants::kC1 * b + SimOpticsConstants::kC2 * b * b;
    };
    for (int L = 450; L <= 930; L += 30) {
        SCOPED_TRACE(L);
        const std::string bytes = dir.Read("run_2x2_" + std::to_string(L) + ".cal");
        ASSERT_EQ(bytes.size(), kHeader + 25 * kAutoFrameValues * 2);
        int nearest = 0;
        for (int b = 1; b < 128; ++b)
            if (std::fabs(lambda(b) - L) < std::fabs(lambda(nearest) - L))
                nearest = b;
        for (int f : {0, 24}) {
            // Frame f of the file: B x W values, band-major; the run stored the bands reversed.
            const size_t base = kHeader + size_t(f) * kAutoFrameValues * 2;
            int peak = -1, peakBand = -1;
            for (int j = 0; j < 128; ++j)
                for (int x = 0; x < 696; x += 29) {
                    const int v = U16At(bytes, base + (size_t(j) * 696 + size_t(x)) * 2);
                    if (v > peak) {
                        peak = v;
                        peakBand = j;
                    }
                }
            EXPECT_LE(std::abs((127 - peakBand) - nearest), 1) << "frame " << f << " band " << peakBand;
            EXPECT_GE(peak, 300);
            EXPECT_LE(peak, 3500);
        }
    }
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
}

TEST_F(WindowCalibration, WeakLineEndsATwoByTwoRunButOneByFourKeepsItsFrames) {
    SimOptics::Instance().target = SimTarget::Sphere;
    SimOptics::Instance().sphereBrightness = 0.0005;
    dlg->CalibrationDialog().m_wavelengthEnd = 450; // one wavelength
    dlg->CameraSettingsDialog().Values().exposure = 580;
    const std::string prefix = dir.File("weak");
    EXPECT_FALSE(RunSpectral(Modes({6}), prefix));
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Unable to set High exposure"});
    EXPECT_EQ(dlg->StatusText(2), "Increasing Integration Time");
    EXPECT_EQ(dir.Read("weak_2x2_CalFileList.txt"), "1024 480\n" + prefix + "_2x2_WavelengthList.txt\n");
    EXPECT_FALSE(std::filesystem::exists(prefix + "_2x2_450.cal"));
    EXPECT_NE(dlg->StatusText(3), "End Cal !");

    prompts.Clear();
    EXPECT_TRUE(RunSpectral(Modes({3}), prefix));
    EXPECT_TRUE(prompts.Texts().empty());
    EXPECT_EQ(dir.Read("weak_1x4_CalFileList.txt"),
              "1024 480\n" + prefix + "_1x4_WavelengthList.txt\n" + prefix + "_1x4_450.cal\t450\n");
    EXPECT_EQ(std::filesystem::file_size(prefix + "_1x4_450.cal"), kHeader + 25 * kAutoFrameValues * 2);
    EXPECT_EQ(dlg->StatusText(3), "End Cal !");
}

TEST_F(WindowCalibration, SaturatedLineEndsARunAtTheLowestExposure) {
    SimOptics::Instance().target = SimTarget::Sphere;
    SimOptics::Instance().sphereBrightness = 2.0;
    dlg->CalibrationDialog().m_wavelengthEnd = 450;
    EXPECT_FALSE(RunSpectral(Modes({7}), dir.File("sat")));
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Unable to set Low exposure"});
    EXPECT_EQ(dlg->StatusText(2), "Decreasing Integration Time");
    // Mode 1x1 does not adjust: it names the peak and the wavelength.
    prompts.Clear();
    SimOptics::Instance().sphereBrightness = 0.0005;
    EXPECT_FALSE(RunSpectral(Modes({1}), dir.File("low")));
    ASSERT_EQ(prompts.Texts().size(), 1u);
    const std::string text = prompts.Texts()[0];
    EXPECT_EQ(text.rfind("Spectral Line is low: ", 0), 0u) << text;
    EXPECT_NE(text.find(" at 450.\nIncrease integration time or turn up source."), std::string::npos) << text;
}

TEST_F(WindowCalibration, NoModeTickedStillMovesMonochromatorAndMirror) {
    controller.ClearLog();
    EXPECT_TRUE(RunSpectral(Modes({}), dir.File("none")));
    EXPECT_EQ(monochromatorCalls, (std::vector<std::pair<int, int>>{{4, 450}}));
    EXPECT_EQ(dlg->StatusText(3), "End Cal !");
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller.CountOf("DI\n") == 1; }, 3000));
    const auto log = controller.ReceivedCommands();
    EXPECT_EQ(log.front(), "EN\n");
    EXPECT_NE(std::find(log.begin(), log.end(), "LA-165000\n"), log.end());
    EXPECT_EQ(log.back(), "DI\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("none_2x2_CalFileList.txt")));
}

TEST_F(WindowCalibration, StartSpectralCalCannotStartASecondRunWhileOneRuns) {
    SimOptics::Instance().target = SimTarget::Sphere;
    CCalibrationDlg2& cal = dlg->CalibrationDialog();
    cal.m_wavelengthEnd = 450;
    cal.m_calPrefix = dir.File("once");
    cal.m_binning[5] = 1;
    auto* start = FindControl<QPushButton>(&cal, 1187);
    bool tried = false, buttonEnabled = true, secondResult = true;
    QTimer::singleShot(0, dlg.get(), [&] {
        tried = true;
        buttonEnabled = start->isEnabled();
        start->click();
        secondResult = dlg->StartSpectralCalibration(Modes({6}), dir.File("twice"));
    });
    start->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return tried && !dlg->SpectralCalibrationRunning(); }, 120000));
    EXPECT_TRUE(tried);
    EXPECT_FALSE(buttonEnabled);
    EXPECT_FALSE(secondResult);
    EXPECT_TRUE(start->isEnabled());
    // One run: the start wavelength and the one wavelength of its loop.
    EXPECT_EQ(monochromatorCalls.size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(dir.File("once_2x2_450.cal")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("twice_2x2_CalFileList.txt")));
    EXPECT_EQ(dlg->StatusText(3), "End Cal !");
}

TEST_F(WindowCalibration, UnwritableListFileSkipsTheMode) {
    SimOptics::Instance().target = SimTarget::Sphere;
    dlg->CalibrationDialog().m_wavelengthEnd = 450;
    EXPECT_TRUE(RunSpectral(Modes({3, 6}), dir.File("no/such/folder/p")));
    EXPECT_EQ(prompts.Texts(), (std::vector<std::string>{"List FileNotOpen", "List FileNotOpen"}));
    EXPECT_EQ(dlg->StatusText(3), "End Cal !");
}

TEST_F(WindowCalibration, RunDrivesTheSimulatedMonochromatorThroughItsPort) {
    // The program's own monochromator link on COM4, answered by the simulated CM110.
    SimMonochromator mono("COM4");
    ASSERT_TRUE(mono.Start());
    dlg->moveMonochromator = nullptr;
    SimOptics::Instance().target = SimTarget::Sphere;
    dlg->CalibrationDialog().m_wavelengthEnd = 510;
    const std::string prefix = dir.File("port");
    ASSERT_TRUE(RunSpectral(Modes({6}), prefix));
    // Start 450, then 450, 480, 510: each call wakes the CM110 (27) and sends 16, high, low.
    const std::string bytes = mono.ReceivedBytes();
    const std::string expected = std::string("\x1b\x10\x01\xc2", 4) + std::string("\x1b\x10\x01\xc2", 4) +
                                 std::string("\x1b\x10\x01\xe0", 4) + std::string("\x1b\x10\x01\xfe", 4);
    EXPECT_EQ(bytes, expected);
    EXPECT_DOUBLE_EQ(SimOptics::Instance().monochromatorNm.load(), 510.0);
    for (int L : {450, 480, 510})
        EXPECT_TRUE(std::filesystem::exists(prefix + "_2x2_" + std::to_string(L) + ".cal")) << L;
    mono.Shutdown();
}

TEST_F(WindowCalibration, RunFilesKeepTheirBytes) {
    // Checksums of the files of a 1x1 and a 2x2 run over three wavelengths on the simulated sphere
    // (the shipped settings, no noise), taken when the run still went on the window thread: moving
    // the run to a thread of its own must not change a byte.
    SimOptics::Instance().target = SimTarget::Sphere;
    SimOptics::Instance().sphereBrightness = 1.5 * SimOpticsConstants::kLinePeak;
    dlg->CalibrationDialog().m_wavelengthEnd = 510;
    ASSERT_TRUE(RunSpectral(Modes({1, 6}), "guard")) << (prompts.Texts().empty() ? "" : prompts.Texts()[0]);
    EXPECT_TRUE(prompts.Texts().empty());
    EXPECT_EQ(dir.Read("guard_1x1_CalFileList.txt"), "1024 480\nguard_1x1_WavelengthList.txt\n"
                                                     "1024 480\nguard_1x1_WavelengthList.txt\n");
    EXPECT_EQ(dir.Read("guard_2x2_CalFileList.txt"), "1024 480\nguard_2x2_WavelengthList.txt\n"
                                                     "guard_2x2_450.cal\t450\nguard_2x2_480.cal\t480\n"
                                                     "guard_2x2_510.cal\t510\n");
    FILE* pipe =
        ::popen(("cd '" + dir.Path().string() +
                 "' && md5sum guard_1x1_510.cal guard_2x2_450.cal guard_2x2_480.cal guard_2x2_510.cal")
                    .c_str(),
                "r");
    ASSERT_NE(pipe, nullptr);
    std::string sums;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe))
        sums += buffer;
    ::pclose(pipe);
    EXPECT_EQ(sums, "c2b74459fdeb8948b2947358610410c2  guard_1x1_510.cal\n"
                    "0f802be1fccf90a24dfa45a8af631ee2  guard_2x2_450.cal\n"
                    "5834063ff814bca6a410e22b6c312956  guard_2x2_480.cal\n"
                    "c2b74459fdeb8948b2947358610410c2  guard_2x2_510.cal\n");
    // Mode 1x1 keeps only the stack of its last wavelength.
    EXPECT_FALSE(std::filesystem::exists(dir.File("guard_1x1_450.cal")));
}

TEST_F(WindowCalibration, TheWindowShowsTheRunWhileItGoesOnAndStopOrClosingEndsIt) {
    SimOptics::Instance().target = SimTarget::Sphere;
    CCalibrationDlg2& cal = dlg->CalibrationDialog();
    cal.m_calPrefix = dir.File("long");
    cal.m_binning[5] = 1; // 2x2, 17 wavelengths
    auto* progress = FindControl<QLabel>(&cal, CalDlgId::kAutoCalProgress);
    auto* startSpectral = FindControl<QPushButton>(&cal, CalDlgId::kStartSpectralCal);
    auto* stop = FindControl<QPushButton>(&cal, CalDlgId::kStop);
    startSpectral->click();
    ASSERT_TRUE(dlg->SpectralCalibrationRunning());
    EXPECT_FALSE(startSpectral->isEnabled());
    EXPECT_FALSE(FindControl<QPushButton>(&cal, CalDlgId::kStart)->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    // The automatic run cannot start meanwhile; the run's progress reaches the dialog.
    EXPECT_FALSE(dlg->StartAutoCalibration(Modes({6}), dir.File("auto")));
    // (Stopped once the first wavelength is listed.)
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return progress->text().startsWith("Mode 2x2: ") &&
                   dir.Read("long_2x2_CalFileList.txt").find("\t450\n") != std::string::npos;
        },
        60000))
        << progress->text().toStdString();
    stop->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->SpectralCalibrationRunning(); }, 10000));
    EXPECT_FALSE(dlg->SpectralCalibrationCompleted());
    EXPECT_TRUE(startSpectral->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_NE(dlg->StatusText(3), "End Cal !");
    EXPECT_TRUE(prompts.Texts().empty());
    // The list names the wavelengths whose stacks were saved whole, and no more.
    const std::string list = dir.Read("long_2x2_CalFileList.txt");
    EXPECT_NE(list.find("long_2x2_450.cal\t450\n"), std::string::npos) << list;
    EXPECT_EQ(list.find("\t930\n"), std::string::npos) << list;
    EXPECT_FALSE(std::filesystem::exists(dir.File("long_2x2_930.cal")));

    // Closing the dialog ends a run under way; closing the window as well.
    progress->clear();
    ASSERT_TRUE(dlg->StartSpectralCalibration(Modes({6}), dir.File("closed")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return progress->text().contains(" nm, frame "); }, 60000));
    cal.reject();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->SpectralCalibrationRunning(); }, 10000));
    EXPECT_FALSE(std::filesystem::exists(dir.File("closed_2x2_930.cal")));
    progress->clear();
    ASSERT_TRUE(dlg->StartSpectralCalibration(Modes({6}), dir.File("gone")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return progress->text().contains(" nm, frame "); }, 60000));
    dlg.reset();
    EXPECT_FALSE(std::filesystem::exists(dir.File("gone_2x2_930.cal")));
    EXPECT_TRUE(prompts.Texts().empty());
}
