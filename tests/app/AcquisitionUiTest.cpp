// Acquisition commands from the window: continuous scan, the Cube Width list, Save Cube while busy.
#include "app/WindowFixture.h"
#include "app/stratadlg.h"
#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>

namespace {
class WindowAcquisition : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        Faster(0.1, 10.0);
        ASSERT_TRUE(OpenWindow());
    }
    // Runs the event loop until pred holds or ms pass.
    template <typename Pred> bool WaitFor(Pred pred, int ms) { return QTest::qWaitFor(pred, ms); }
};
} // namespace

TEST_F(WindowAcquisition, ContinuousScanStartsCubesWhileTickedAndLetsTheLastFinish) {
    AcquisitionEngine& e = dlg->Engine();
    auto* box = FindControl<QCheckBox>(dlg.get(), IDC_CONTINUOUS_SCAN);
    box->click(); // hidden, but bound and handled
    ASSERT_TRUE(box->isChecked());
    ASSERT_TRUE(WaitFor([&] { return e.Busy() && e.AcquiringCube(); }, 3000));
    // The timer re-arms: after a stopped cube the next one starts.
    dlg->OnCommand(ID_TB_STOP);
    SettleCommands();
    ASSERT_FALSE(e.Busy());
    ASSERT_TRUE(WaitFor([&] { return e.Busy(); }, 3000));
    // Unticking lets the current cube go on and starts no other.
    box->click();
    QTest::qWait(700);
    EXPECT_TRUE(e.Busy());
    dlg->OnCommand(ID_TB_STOP);
    SettleCommands();
    QTest::qWait(1200);
    EXPECT_FALSE(e.Busy());
}

TEST_F(WindowAcquisition, CubeWidthSetsTheScanLimitRangeOnly) {
    auto* list = FindControl<QComboBox>(dlg.get(), IDC_CUBE_WIDTH);
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(1), "1392");
    EXPECT_EQ(dlg->ScanStopLine(), 511);
    list->setEnabled(true);
    list->setCurrentIndex(1);
    emit list->activated(1);
    EXPECT_EQ(dlg->ScanStartLine(), 0);
    EXPECT_EQ(dlg->ScanStopLine(), 1023);
    EXPECT_EQ(dlg->Engine().Geometry().width, 696);
    // Typed limits are clamped into the range of the selection.
    auto* stop = FindControl<QLineEdit>(dlg.get(), IDC_STOP_SCAN_EDIT);
    stop->setText("");
    QTest::keyClicks(stop, "2000");
    EXPECT_EQ(dlg->ScanStopLine(), 1023);
    EXPECT_EQ(stop->text(), "1023");
    list->setCurrentIndex(0);
    emit list->activated(0);
    stop->setText("");
    QTest::keyClicks(stop, "600");
    EXPECT_EQ(stop->text(), "511");
}

TEST_F(WindowAcquisition, ScanLimitEditsTakeTheLineUnderTheMouseOnFocus) {
    auto* start = FindControl<QLineEdit>(dlg.get(), IDC_START_SCAN_EDIT);
    auto* client = dlg->centralWidget();
    QMouseEvent move(QEvent::MouseMove, QPointF(127, 200), client->mapToGlobal(QPointF(127, 200)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(client, &move);
    QFocusEvent focus(QEvent::FocusIn);
    QCoreApplication::sendEvent(start, &focus);
    EXPECT_EQ(start->text(), "311"); // 511 - 200
    EXPECT_EQ(dlg->ScanStartLine(), 311);
    // Below the picture the value is clamped into the range.
    QMouseEvent low(QEvent::MouseMove, QPointF(127, 530), client->mapToGlobal(QPointF(127, 530)),
                    Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(client, &low);
    QCoreApplication::sendEvent(start, &focus);
    EXPECT_EQ(start->text(), "0");
}

TEST_F(WindowAcquisition, SaveCubeIsRefusedDuringTheLiveDisplay) {
    dlg->OnCommand(ID_TB_SPECTRAL_DISPLAY);
    ASSERT_TRUE(dlg->Engine().Busy());
    dlg->OnCommand(ID_TB_SAVE_CUBE);
    EXPECT_EQ(prompts.Texts().back(), "Camera acquiring data, stop acquisition first !");
    SettleCommands();
    EXPECT_EQ(dlg->StatusText(2), "Acquiring...");
    dlg->OnCommand(ID_TB_STOP);
    SettleCommands();
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    EXPECT_TRUE(dlg->StatusText(1).startsWith("frame rate =  "));
}

TEST_F(WindowAcquisition, ACameraThatStopsDeliveringEndsTheCubeWithAMessageAndTheLinesStay) {
    AcquisitionEngine& e = dlg->Engine();
    prompts.Clear();
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitFor([&] { return e.LineIndex() >= 40; }, 20000));
    SimCameras::Instance().SetDataCameraSilent(true);
    // Five frame periods plus the margin, then the message box, and the window answers meanwhile.
    const double limitMs = AcquisitionEngine::FrameTimeoutMs(dlg->Cameras().m_dataFrameRate);
    EXPECT_DOUBLE_EQ(e.FrameTimeoutMsSetting(), limitMs);
    ASSERT_TRUE(WaitFor([&] { return !prompts.Texts().empty(); }, int(limitMs) + 8000));
    EXPECT_FALSE(e.Busy());
    EXPECT_EQ(e.LastScanEnd(), AcquisitionEngine::ScanEnd::FramesStopped);
    const int lines = e.LinesTaken();
    EXPECT_GE(lines, 40);
    EXPECT_LT(lines, 696);
    const std::string text = prompts.Texts().front();
    EXPECT_EQ(text.rfind("The data camera stopped delivering frames: none came for ", 0), 0u) << text;
    EXPECT_NE(text.find("ended after " + std::to_string(lines) + " lines; they are kept."), std::string::npos)
        << text;
    ASSERT_TRUE(WaitFor([&] { return dlg->StatusText(2) == "Ready"; }, 2000));
    // The lines taken are still in the cube for Save Cube; the next line was never written.
    const size_t lineValues = size_t(e.Geometry().LineValues());
    auto lineSum = [&](int l) {
        uint64_t sum = 0;
        for (size_t i = 0; i < lineValues; ++i)
            sum += e.Cube()[size_t(l) * lineValues + i];
        return sum;
    };
    EXPECT_GT(lineSum(lines - 1), 0u);
    EXPECT_EQ(lineSum(lines), 0u);
    SimCameras::Instance().SetDataCameraSilent(false);
}

TEST_F(WindowAcquisition, AMirrorThatDidNotFollowTheScanIsShownInPaneThree) {
    controller.SetNeverArrives(true);
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitFor([&] { return !dlg->Engine().Busy(); }, 90000));
    ASSERT_TRUE(WaitFor([&] { return dlg->StatusText(3).startsWith("Mirror did not follow"); }, 2000))
        << dlg->StatusText(3).toStdString();
    EXPECT_EQ(dlg->StatusText(3).toStdString(),
              "Mirror did not follow the scan: at 0 after the last line, sent to 8352");
    EXPECT_EQ(dlg->Engine().LinesTaken(), 696);
    controller.SetNeverArrives(false);
}

TEST_F(WindowAcquisition, TheWindowAnswersWhileTheMirrorTravelsToTheStartAndStopOrClosingEndsTheTravel) {
    AcquisitionEngine& e = dlg->Engine();
    // A mirror that never arrives and a stall period far longer than the test: only Stop ends it.
    dlg->Scanner().SetStallPeriodMs(600000);
    controller.SetNeverArrives(true);
    prompts.Clear();
    dlg->OnCommand(ID_TB_START_CUBE);
    EXPECT_TRUE(e.Busy());
    EXPECT_TRUE(e.ScannerPositioning());
    bool answered = false;
    QTimer::singleShot(0, dlg.get(), [&] { answered = true; });
    ASSERT_TRUE(WaitFor([&] { return answered; }, 5000));
    EXPECT_TRUE(e.ScannerPositioning()); // still on its way
    // Another command meanwhile is refused as busy, and the scanner settings stay closed.
    dlg->OnCommand(ID_TB_COLLECT_DARK);
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Camera already acquiring data..."});
    dlg->OnCommand(ID_TB_STOP);
    SettleCommands();
    EXPECT_FALSE(e.Busy());
    EXPECT_FALSE(e.ScannerPositioning());
    EXPECT_EQ(e.LastScanEnd(), AcquisitionEngine::ScanEnd::Stopped);
    EXPECT_EQ(e.MirrorTimeouts(), 0);
    EXPECT_EQ(e.LinesTaken(), 0);
    EXPECT_EQ(dlg->StatusText(2), "Ready");

    // The next cube, with a mirror that arrives, runs to its end.
    controller.SetNeverArrives(false);
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitFor([&] { return !e.Busy(); }, 60000));
    EXPECT_EQ(e.LastScanEnd(), AcquisitionEngine::ScanEnd::Completed);
    EXPECT_EQ(e.LinesTaken(), 696);

    // Closing the window during a travel ends it instead of waiting for the stall period.
    controller.SetNeverArrives(true);
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(e.ScannerPositioning());
    const auto closing = std::chrono::steady_clock::now();
    dlg.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(30));
}
