// The focus camera's preview window and the "On/Off Focus Camera" command on the simulated
// instrument.
#include "app/WindowFixture.h"
#include "app/stratadlg.h"
#include "core/Sleep.h"
#include "preview/CScrollingPreviewDlg.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "support/TempDir.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>
#include <mutex>

namespace {
// Debug output captured while a test runs.
std::mutex g_traceMutex;
QStringList g_trace;
void CaptureTrace(QtMsgType, const QMessageLogContext&, const QString& text) {
    std::lock_guard lock(g_traceMutex);
    g_trace << text;
}

class FocusPreviewUi : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        Faster(0.05, 20.0);
        SimCameraSettings cameras;
        cameras.clockScale = 5.0;
        ASSERT_TRUE(OpenWindow(cameras));
        preview = dlg->PreviewWindow();
        ASSERT_NE(preview, nullptr);
        // Start-up ends with the focus move ("DI\n"): let the controller log it before a test clears
        // the log.
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller.CountOf("DI\n") >= 1; }, 3000));
    }
    void TearDown() override {
        qInstallMessageHandler(nullptr);
        WindowFixture::TearDown();
    }
    // The command, and the end of the mirror's travel at which the preview is switched.
    void Toggle() {
        dlg->OnCommand(ID_TB_FOCUS_CAMERA);
        ASSERT_TRUE(WaitForFocusTravel(*dlg));
    }

    CScrollingPreviewDlg* preview = nullptr;
};
} // namespace

TEST_F(FocusPreviewUi, StartupLeavesThePreviewRunningWithTheCameraInTheTitle) {
    EXPECT_TRUE(prompts.Texts().empty());
    EXPECT_TRUE(dlg->FocusPreviewOn());
    EXPECT_TRUE(preview->Previewing());
    EXPECT_TRUE(preview->isVisible());
    EXPECT_EQ(preview->TitleMode(), 1);
    // The simulated focus camera is an Lw11050 (id 0x1C8) with serial number 20114.
    EXPECT_EQ(preview->CameraId(), 0x1C8u);
    EXPECT_EQ(preview->ModelText(), "Lw11050");
    EXPECT_EQ(preview->SerialText(), "20114");
    // Each frame is counted and the count reaches the title through the window's event loop.
    ASSERT_TRUE(QTest::qWaitFor([&] { return preview->FrameCount() >= 3; }, 5000));
    const QRegularExpression title("^Preview - Lw11050 SN: 20114: Frame Count = (\\d+)$");
    ASSERT_TRUE(QTest::qWaitFor([&] { return title.match(preview->windowTitle()).hasMatch(); }, 5000))
        << preview->windowTitle().toStdString();
    EXPECT_GE(title.match(preview->windowTitle()).captured(1).toInt(), 1);
    // The camera draws its 2 x 2 subsampled picture at the window's origin.
    QPoint at(-1, -1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !preview->LastFrame(&at).isNull(); }, 5000));
    EXPECT_EQ(preview->LastFrame().size(), QSize(696, 520));
    EXPECT_EQ(at, QPoint(0, 0));
    EXPECT_EQ(preview->VideoWidth(), 696u);
    EXPECT_EQ(preview->VideoHeight(), 520u);
}

TEST_F(FocusPreviewUi, OnOffTwiceStopsHidesAndRestartsTheCount) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return preview->FrameCount() >= 5; }, 5000));
    Toggle();
    EXPECT_FALSE(dlg->FocusPreviewOn());
    EXPECT_FALSE(preview->Previewing());
    EXPECT_FALSE(preview->isVisible());
    EXPECT_EQ(preview->CallbackId(), -1);
    const unsigned stopped = preview->FrameCount();
    EXPECT_GE(stopped, 5u);
    const uint64_t delivered = SimCameras::Instance().DeliveredFrames(2);
    QTest::qWait(150);
    EXPECT_EQ(preview->FrameCount(), stopped);
    EXPECT_EQ(SimCameras::Instance().DeliveredFrames(2), delivered); // the stream stopped

    Toggle();
    EXPECT_LT(preview->FrameCount(), stopped); // counting starts again from 0
    EXPECT_TRUE(dlg->FocusPreviewOn());
    EXPECT_TRUE(preview->Previewing());
    EXPECT_TRUE(preview->isVisible());
    EXPECT_GE(preview->CallbackId(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return preview->FrameCount() >= 2; }, 5000));
    Toggle();
    EXPECT_FALSE(preview->Previewing());
    EXPECT_FALSE(preview->isVisible());
    Toggle();
    EXPECT_TRUE(preview->Previewing());
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(FocusPreviewUi, TheCommandBringsTheMirrorToTheFocusPosition) {
    dlg->ScannerValues().SetFocusPosition(3000);
    dlg->ScannerValues().SetScanStartPosition(-5000);
    controller.ClearLog();
    Toggle();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller.CountOf("DI\n") == 1; }, 3000));
    const auto log = controller.ReceivedCommands();
    EXPECT_EQ(log.front(), "EN\n");
    EXPECT_NE(std::find(log.begin(), log.end(), "LA3000\n"), log.end());
    EXPECT_EQ(std::find(log.begin(), log.end(), "LA-5000\n"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "POS\n"), log.end());
    EXPECT_EQ(log.back(), "DI\n");
    EXPECT_FALSE(dlg->Engine().ScannerPositioning());
}

TEST_F(FocusPreviewUi, AnAcquisitionCommandStopsTheRunningPreview) {
    ASSERT_TRUE(preview->Previewing());
    dlg->OnCommand(ID_TB_SPECTRAL_DISPLAY);
    ASSERT_TRUE(dlg->Engine().Busy());
    EXPECT_FALSE(dlg->FocusPreviewOn());
    EXPECT_FALSE(preview->Previewing());
    EXPECT_FALSE(preview->isVisible());
    // During the acquisition the command only stops; it does not start the preview.
    Toggle();
    EXPECT_FALSE(preview->Previewing());
    EXPECT_FALSE(dlg->FocusPreviewOn());
    dlg->OnCommand(ID_TB_STOP);
    SettleCommands();
    Toggle();
    EXPECT_TRUE(preview->Previewing());
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(FocusPreviewUi, OfflineFocusCameraAndCloseRequestAreRefused) {
    // The preview window cannot be closed by the user.
    EXPECT_FALSE(preview->close());
    EXPECT_TRUE(preview->isVisible());
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Stop the preview before closing window."});
    // A focus camera that is not online (the simulator cannot offer a data camera alone, so the
    // flag is cleared by hand): the command says so and changes nothing.
    prompts.Clear();
    dlg->Cameras().m_focusCameraOnline = false;
    controller.ClearLog();
    Toggle();
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Focus Camera offline !"});
    EXPECT_TRUE(preview->Previewing());
    QTest::qWait(50);
    EXPECT_TRUE(controller.ReceivedCommands().empty());
}

TEST_F(FocusPreviewUi, ScrollBarsFollowTheWindowAndStopAtTheEnds) {
    preview->resize(400, 300);
    const int clientW = preview->ClientWidth();
    const int clientH = preview->ClientHeight();
    ASSERT_GT(clientW, 0);
    ASSERT_LT(clientW, 400);
    QScrollBar* h = preview->HorizontalBar();
    QScrollBar* v = preview->VerticalBar();
    EXPECT_EQ(h->maximum(), 696 - clientW);
    EXPECT_EQ(h->pageStep(), clientW);
    EXPECT_EQ(v->maximum(), 520 - clientH);

    h->triggerAction(QAbstractSlider::SliderToMaximum);
    EXPECT_EQ(preview->HorizontalPosition(), 696 - clientW);
    EXPECT_EQ(h->value(), 696 - clientW);
    // The camera draws the video shifted by the scroll position.
    QPoint at;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            preview->LastFrame(&at);
            return at.x() == -(696 - clientW);
        },
        5000));
    // One more step right at the end does nothing.
    h->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(preview->HorizontalPosition(), 696 - clientW);
    EXPECT_EQ(h->value(), 696 - clientW);
    h->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(preview->HorizontalPosition(), 696 - clientW - 1);
    h->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(preview->HorizontalPosition(), std::max(0, 696 - clientW - 1 - clientW));
    v->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(preview->VerticalPosition(), std::min(clientH, 520 - clientH));
    v->triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(preview->VerticalPosition(), 0);

    // A larger window than the video: nothing to scroll.
    preview->resize(1200, 900);
    EXPECT_EQ(h->maximum(), 0);
    EXPECT_EQ(preview->HorizontalPosition(), 0);
    h->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(preview->HorizontalPosition(), 0);
    // Stopped, the bars do not scroll either.
    Toggle();
    preview->resize(400, 300);
    h->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(preview->HorizontalPosition(), 0);
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(FocusPreviewUi, OperationsWriteTheirTraceLines) {
    {
        std::lock_guard lock(g_traceMutex);
        g_trace.clear();
    }
    qInstallMessageHandler(CaptureTrace);
    Toggle();
    Toggle();
    qInstallMessageHandler(nullptr);
    std::lock_guard lock(g_traceMutex);
    const QStringList expected = {"CSP: In StopPreview...", "CSP: StopPreview done.", "CSP: In StartPreview.",
                                  "CSP: StartPreview done."};
    QStringList csp;
    for (const QString& line : g_trace)
        if (line.startsWith("CSP: "))
            csp << line;
    EXPECT_EQ(csp, expected);
}

TEST_F(FocusPreviewUi, ClosingTheMainWindowStopsTheFocusStream) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return SimCameras::Instance().DeliveredFrames(2) >= 2; }, 5000));
    dlg.reset();
    const uint64_t delivered = SimCameras::Instance().DeliveredFrames(2);
    QTest::qWait(100);
    EXPECT_EQ(SimCameras::Instance().DeliveredFrames(2), delivered);
}

TEST(PreviewWindow, WithoutACameraTheTitleSaysSoAndNothingStarts) {
    ScriptedPrompts prompts;
    CScrollingPreviewDlg preview(prompts);
    EXPECT_EQ(preview.windowTitle(), "Preview");
    EXPECT_TRUE(preview.SetCameraInfo(nullptr));
    EXPECT_EQ(preview.windowTitle(), "Preview - No Camera SN: No SN Available");
    EXPECT_EQ(preview.CameraId(), 0u);
    EXPECT_FALSE(preview.StartPreview(nullptr, -1.0f));
    EXPECT_FALSE(preview.StopPreview(true));
    EXPECT_FALSE(preview.isVisible());
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(FocusPreviewUi, TheMirrorTravelsWhileTheWindowGoesOnAndThePreviewSwitchesAtItsEnd) {
    // A long trip: the mirror slowed down, the focus position far away.
    SimMirror::Instance().SetSpeed(5000.0);
    dlg->ScannerValues().SetFocusPosition(150000);
    controller.ClearLog();
    ASSERT_TRUE(dlg->FocusPreviewOn());
    dlg->OnCommand(ID_TB_FOCUS_CAMERA);
    // The command returned while the mirror travels: the preview is switched at the end of the
    // travel, the scanner settings stay refused meanwhile, and a second press is the same press.
    EXPECT_TRUE(dlg->FocusTravelling());
    EXPECT_TRUE(dlg->FocusPreviewOn());
    EXPECT_TRUE(dlg->Engine().ScannerPositioning());
    dlg->OnCommand(ID_TB_FOCUS_CAMERA);
    ASSERT_TRUE(WaitForFocusTravel(*dlg));
    EXPECT_FALSE(dlg->FocusPreviewOn());
    EXPECT_FALSE(preview->Previewing());
    EXPECT_FALSE(dlg->Engine().ScannerPositioning());
    EXPECT_EQ(controller.CountOf("EN\n"), 1u);
    EXPECT_EQ(controller.CountOf("LA150000\n"), 1u);

    // An acquisition command cuts the next travel short (the engine moves the mirror itself); the
    // preview stays off.
    dlg->ScannerValues().SetFocusPosition(-150000);
    dlg->OnCommand(ID_TB_FOCUS_CAMERA);
    EXPECT_TRUE(dlg->FocusTravelling());
    dlg->OnCommand(ID_TB_SPECTRAL_DISPLAY);
    EXPECT_FALSE(dlg->FocusTravelling());
    QTest::qWait(200);
    EXPECT_FALSE(dlg->FocusPreviewOn());
    EXPECT_FALSE(preview->Previewing());
    dlg->OnCommand(ID_TB_STOP);
    SettleCommands();
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();

    // Closing the window during a travel ends it.
    dlg->OnCommand(ID_TB_FOCUS_CAMERA);
    EXPECT_TRUE(dlg->FocusTravelling());
    dlg.reset();
}
