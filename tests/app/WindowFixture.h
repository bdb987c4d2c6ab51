#pragma once
// The fixture of the window tests: the simulated instrument's process-wide state (mirror, cameras,
// optics, device waits) put back to its defaults before and after each test, a working folder of
// the test's own, scripted prompts, the simulated controller on COM1 and the window.
#include "app/stratadlg.h"
#include "core/Sleep.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimScene.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

// The mirror at 0, at its own speed and clock, free to move; no simulated camera open; the optics
// on the test chart without noise or a monochromator; device waits at their full length.
inline void ResetSimulatedInstrument() {
    SimMirror& mirror = SimMirror::Instance();
    mirror.SetClockScale(1.0);
    mirror.SetSpeed(165000.0);
    mirror.SetStuck(false);
    mirror.Reset(0);
    SimCameras::Instance().Shutdown();
    SimOptics& optics = SimOptics::Instance();
    optics.target = SimTarget::Scene;
    optics.noise = false;
    optics.sphereBrightness = SimOpticsConstants::kLinePeak;
    optics.monochromatorNm = 0.0;
    SetSleepScale(1.0);
}

// The window's start-up ends with the mirror's travel to the focus position and the preview switched
// at its end: waits for that (bounded).
inline bool WaitForFocusTravel(const CStrataDlg& dlg) {
    return QTest::qWaitFor([&] { return !dlg.FocusTravelling(); }, 20000);
}

// One spectral calibration run from its start to the window's report of its end (bounded); true
// when it went through every ticked mode, false when it did not start or a message ended it.
inline bool RunSpectralCalibrationToEnd(CStrataDlg& dlg, const std::array<bool, 8>& modes,
                                        const std::string& prefix) {
    if (!dlg.StartSpectralCalibration(modes, prefix))
        return false;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.SpectralCalibrationRunning(); }, 120000));
    return dlg.SpectralCalibrationCompleted();
}

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override { ResetSimulatedInstrument(); }
    void TearDown() override {
        dlg.reset();
        SimCameras::Instance().Shutdown();
        controller.Shutdown();
        ResetSimulatedInstrument();
    }
    // The simulated cameras as given, the controller started and the window opened; false when
    // the window's start-up failed.
    bool OpenWindow(const SimCameraSettings& cameras = {}, const StrataOptions& options = {}) {
        SimCameras::Instance().Configure(cameras);
        controller.Start();
        dlg = std::make_unique<CStrataDlg>(prompts, options);
        return dlg->OnInitDialog() == 0 && WaitForFocusTravel(*dlg);
    }
    // Waits (bounded) until the acquisition commands given so far reached the engine (the travel to
    // the scan's start, the return at Stop), then lets the window show what they posted.
    void SettleCommands(int ms = 30000) {
        ASSERT_TRUE(dlg->WaitEngineCommands(ms));
        QCoreApplication::processEvents();
    }
    // Device waits and the mirror's clock shortened together.
    static void Faster(double sleepScale, double mirrorClock) {
        SetSleepScale(sleepScale);
        SimMirror::Instance().SetClockScale(mirrorClock);
    }

    TempDir dir{true, true};
    ScriptedPrompts prompts;
    SimController controller{"COM1"};
    std::unique_ptr<CStrataDlg> dlg;
};
