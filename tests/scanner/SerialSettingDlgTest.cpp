// The "Serial Settings" diagnostic dialog and its mirror sweep on the simulated motion controller.
#include "scanner/CSerialSettingDlg.h"
#include "scanner/DialogTestSupport.h"

#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "scanner/ScannerLink.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

using ::testing::ElementsAre;
namespace Ids = SerialSettingIds;

namespace {

class SerialSettingDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.05);
        SimMirror::Instance().Reset(0);
        ASSERT_TRUE(sim.Start());
    }
    void TearDown() override {
        dlg->done(0);
        dlg.reset();
        if (GetSerialPort().IsOpen())
            GetSerialPort().Close();
        sim.Shutdown();
        SetSleepScale(1.0);
    }
    template <typename T> T* Ctl(int id) {
        T* c = FindControl<T>(dlg.get(), id);
        EXPECT_NE(c, nullptr) << "control " << id;
        return c;
    }
    QPushButton* StartButton() { return Ctl<QPushButton>(Ids::kStartThread); }
    // Texts the status edit showed, in order.
    void RecordStatus() {
        QObject::connect(Ctl<QLineEdit>(Ids::kPortStatus), &QLineEdit::textChanged,
                         [this](const QString& t) { statusTexts.push_back(t.toStdString()); });
    }
    size_t CountStartingWith(const std::string& prefix) {
        size_t n = 0;
        for (const auto& c : sim.ReceivedCommands())
            n += c.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    SimController sim{"COM1"};
    ScriptedPrompts prompts;
    std::unique_ptr<CSerialSettingDlg> dlg = std::make_unique<CSerialSettingDlg>(prompts);
    std::vector<std::string> statusTexts;
};

std::vector<QString> Entries(QComboBox* combo) {
    std::vector<QString> entries;
    for (int i = 0; i < combo->count(); ++i)
        entries.push_back(combo->itemText(i));
    return entries;
}

} // namespace

TEST_F(SerialSettingDlgTest, TemplateControls) {
    dlg->open();
    EXPECT_EQ(dlg->windowTitle(), "Serial Settings");
    EXPECT_EQ(dlg->property("controlId").toInt(), 154);
    auto* baud = Ctl<QComboBox>(Ids::kBaud);
    auto* port = Ctl<QComboBox>(Ids::kPort);
    EXPECT_THAT(Entries(baud), ElementsAre("110 ", "300", "600", "1200", "2400", "4800", "9600", "14400",
                                           "19200  ", "38400 ", "56000 ", "57600", "115200 "));
    EXPECT_THAT(Entries(port), ElementsAre("COM1", "COM2", "COM3", "COM4", "COM5", "COM6"));
    EXPECT_EQ(baud->currentText(), "115200 ");
    EXPECT_EQ(port->currentText(), "COM1");
    EXPECT_EQ(Ctl<QLineEdit>(Ids::kPortStatus)->text(), "Closed");
    EXPECT_EQ(Ctl<QPushButton>(Ids::kOpenPort)->text(), "Open Port");
    EXPECT_EQ(Ctl<QPushButton>(Ids::kClosePort)->text(), "Close Port");
    EXPECT_EQ(Ctl<QPushButton>(Ids::kSendData)->text(), "Send Data");
    EXPECT_EQ(StartButton()->text(), "Start Scanning Mirror Thread");
    EXPECT_NE(Ctl<QLineEdit>(Ids::kReceived), nullptr);
    EXPECT_NE(Ctl<QLineEdit>(Ids::kSent), nullptr);
    EXPECT_EQ(Ctl<QPushButton>(IDOK)->text(), "OK");
}

TEST_F(SerialSettingDlgTest, OpenAndClosePortButtonsOnlySetRequests) {
    dlg->open();
    Ctl<QPushButton>(Ids::kOpenPort)->click();
    EXPECT_TRUE(dlg->OpenRequested());
    EXPECT_FALSE(dlg->CloseRequested());
    EXPECT_FALSE(Ctl<QPushButton>(Ids::kOpenPort)->isEnabled());
    EXPECT_TRUE(Ctl<QPushButton>(Ids::kClosePort)->isEnabled());
    EXPECT_EQ(GetSerialPort().IsOpen(), 0); // the worker opens the port, not the button

    Ctl<QPushButton>(Ids::kClosePort)->click();
    EXPECT_FALSE(dlg->OpenRequested());
    EXPECT_TRUE(dlg->CloseRequested());
    EXPECT_TRUE(Ctl<QPushButton>(Ids::kOpenPort)->isEnabled());
    EXPECT_FALSE(Ctl<QPushButton>(Ids::kClosePort)->isEnabled());
    EXPECT_TRUE(StartButton()->isEnabled());
    EXPECT_EQ(dlg->RunFlag(), 0);
    // "Send Data" does nothing.
    Ctl<QPushButton>(Ids::kSendData)->click();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(sim.ReceivedBytes().empty());
}

TEST_F(SerialSettingDlgTest, PortHeldByTheScannerLinkStopsTheThread) {
    ScannerSettingsValues values;
    ScannerLink link{values};
    ASSERT_TRUE(link.ConnectScanner());
    ASSERT_TRUE(sim.WaitForCommands(3, 3000));
    sim.ClearLog();
    dlg->open();
    RecordStatus();
    StartButton()->click();
    EXPECT_FALSE(StartButton()->isEnabled());
    EXPECT_EQ(dlg->RunFlag(), 1);
    // "Close Port" while the worker runs must not close the link's port either.
    Ctl<QPushButton>(Ids::kClosePort)->click();
    ASSERT_TRUE(WaitUntil([&] { return !prompts.Texts().empty() && StartButton()->isEnabled(); }));
    EXPECT_THAT(prompts.Texts(), ElementsAre("stopping Thread !"));
    EXPECT_EQ(dlg->RunFlag(), 0);
    EXPECT_TRUE(statusTexts.empty());
    EXPECT_EQ(Ctl<QLineEdit>(Ids::kPortStatus)->text(), "Closed");
    // The link keeps its port and nothing of the sweep went out.
    EXPECT_EQ(GetSerialPort().IsOpen(), 1);
    EXPECT_TRUE(link.m_scannerConnected);
    EXPECT_TRUE(sim.ReceivedBytes().empty());
    int32_t position = -1;
    EXPECT_TRUE(link.QueryMirrorPosition(position));
    link.DisconnectScanner();
}

TEST_F(SerialSettingDlgTest, FullSweepSendsTwoHundredCommands) {
    dlg->open();
    RecordStatus();
    // The choice counts once "Open Port" has taken the control values.
    ASSERT_TRUE(ChooseEntry(Ctl<QComboBox>(Ids::kBaud), "19200  "));
    Ctl<QPushButton>(Ids::kOpenPort)->click();
    EXPECT_EQ(dlg->BaudText(), "19200  ");
    StartButton()->click();
    ASSERT_TRUE(WaitUntil([&] { return StartButton()->isEnabled(); }, 10000));
    ASSERT_TRUE(sim.WaitForCommands(200, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto commands = sim.ReceivedCommands();
    ASSERT_EQ(commands.size(), 200u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(commands[size_t(2 * i)], "LA-" + std::to_string((i + 2) * 500) + "\n") << i;
        EXPECT_EQ(commands[size_t(2 * i + 1)], "M\n") << i;
    }
    EXPECT_EQ(commands[0], "LA-1000\n");
    EXPECT_EQ(commands[198], "LA-50500\n");
    // Every command ends in line feed, carriage return.
    const std::string bytes = sim.ReceivedBytes();
    EXPECT_EQ(bytes.substr(0, 12), "LA-1000\n\rM\n\r");
    EXPECT_EQ(bytes.substr(bytes.size() - 13), "LA-50500\n\rM\n\r");
    EXPECT_THAT(statusTexts, ElementsAre("Connected", "Closed"));
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    EXPECT_EQ(GetSerialPort().CommState().BaudRate, 19200u);
    EXPECT_TRUE(prompts.Texts().empty());
    EXPECT_FALSE(dlg->OwnsPort());

    // The thread can be started again once it has ended.
    sim.ClearLog();
    StartButton()->click();
    ASSERT_TRUE(WaitUntil([&] { return StartButton()->isEnabled(); }, 10000));
    ASSERT_TRUE(sim.WaitForCommands(200, 3000));
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
}

TEST_F(SerialSettingDlgTest, OkStopsAndJoinsTheWorker) {
    SetSleepScale(1.0); // a sweep of about two seconds, so that OK comes in the middle of it
    dlg->open();
    StartButton()->click();
    ASSERT_TRUE(sim.WaitForCommands(4, 5000));
    Ctl<QPushButton>(IDOK)->click();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_FALSE(dlg->WorkerRunning());
    EXPECT_FALSE(dlg->OwnsPort());
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    const size_t count = sim.CommandCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim.CommandCount(), count);
    EXPECT_LT(count, 200u);
    EXPECT_EQ(CountStartingWith("LA-"), CountStartingWith("M\n"));
}

TEST_F(SerialSettingDlgTest, DestroyingTheDialogJoinsTheWorker) {
    SetSleepScale(1.0);
    dlg->open();
    StartButton()->click();
    ASSERT_TRUE(sim.WaitForCommands(2, 5000));
    dlg.reset();
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    const size_t count = sim.CommandCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim.CommandCount(), count);
    // Events the worker posted to the dialog are dropped with it.
    QApplication::processEvents();
    dlg = std::make_unique<CSerialSettingDlg>(prompts);
}

TEST_F(SerialSettingDlgTest, UnlistedBaudTextStopsTheThread) {
    dlg->open();
    auto* baud = Ctl<QComboBox>(Ids::kBaud);
    baud->addItem("18200"); // not a rate the port accepts
    ASSERT_TRUE(ChooseEntry(baud, "18200"));
    Ctl<QPushButton>(Ids::kOpenPort)->click();
    StartButton()->click();
    ASSERT_TRUE(WaitUntil([&] { return StartButton()->isEnabled(); }));
    EXPECT_THAT(prompts.Texts(), ElementsAre("stopping Thread !"));
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    EXPECT_TRUE(sim.ReceivedBytes().empty());
}
