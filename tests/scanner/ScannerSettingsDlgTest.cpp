// The "Scanner Settings" dialog on the simulated motion controller.
#include "scanner/CScannerSettings.h"
#include "scanner/DialogTestSupport.h"

#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
namespace Ids = ScannerSettingsIds;

namespace {

class ScannerSettingsDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.05);
        SimMirror::Instance().Reset(0);
        // COM2 is a port with nothing behind it.
        dir.Write("ports.txt", "COM2 /nonexistent/ttyUSB1\n");
        CSerialPort::SetPortsFile(dir.File("ports.txt"));
        ASSERT_TRUE(sim.Start());
        link.SetStatusCallback(status.Callback());
        ASSERT_TRUE(link.ConnectScanner());
        ASSERT_TRUE(sim.WaitForCommands(3, 3000));
        sim.ClearLog();
        dlg.saveSettings = [this] {
            ++saves;
            std::string message;
            ::SaveScannerSettings(dir.File("ARV300_Scanner_Settings.txt"), values, &message);
        };
        dlg.setScannerDelayMs = [this](int ms) { delays.push_back(ms); };
    }
    void TearDown() override {
        dlg.done(0);
        link.DisconnectScanner();
        sim.Shutdown();
        CSerialPort::SetPortsFile({});
        SetSleepScale(1.0);
    }
    template <typename T> T* Ctl(int id) {
        T* c = FindControl<T>(&dlg, id);
        EXPECT_NE(c, nullptr) << "control " << id;
        return c;
    }
    // Commands the controller received, once it has handled count of them and nothing more came.
    std::vector<std::string> SimLog(size_t count) {
        EXPECT_TRUE(sim.WaitForCommands(count, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return sim.ReceivedCommands();
    }
    void ClickOk() { Ctl<QPushButton>(IDOK)->click(); }

    TempDir dir;
    SimController sim{"COM1"};
    ScannerSettingsValues values;
    ScannerLink link{values};
    StatusLog status;
    ScriptedPrompts prompts;
    CScannerSettings dlg{values, link, prompts};
    int saves = 0;
    std::vector<int> delays;
};

std::vector<QString> Entries(QComboBox* combo) {
    std::vector<QString> entries;
    for (int i = 0; i < combo->count(); ++i)
        entries.push_back(combo->itemText(i));
    return entries;
}

} // namespace

TEST_F(ScannerSettingsDlgTest, TemplateControls) {
    EXPECT_EQ(dlg.windowTitle(), "Scanner Settings");
    EXPECT_EQ(dlg.property("controlId").toInt(), 136);
    auto* port = Ctl<QComboBox>(Ids::kComPort);
    auto* baud = Ctl<QComboBox>(Ids::kBaudRate);
    EXPECT_THAT(Entries(port),
                ElementsAre("COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10"));
    EXPECT_THAT(Entries(baud),
                ElementsAre("115200", "1200", "2400", "4800", "9600", "18200", "38400", "57600"));
    EXPECT_FALSE(baud->isEnabled());
    EXPECT_TRUE(port->isEnabled());
    for (int id : {Ids::kScanStart, Ids::kCenter, Ids::kFocus, Ids::kStepSize})
        EXPECT_FALSE(Ctl<QLineEdit>(id)->isHidden()) << id;
    for (int id : {Ids::kCorridor, Ids::kDelay})
        EXPECT_TRUE(Ctl<QLineEdit>(id)->isHidden()) << id;
    for (int id : {Ids::kScannerEnabled, Ids::kCheckPosition, Ids::kRelativePos, Ids::kAbsolutePos})
        EXPECT_TRUE(Ctl<QCheckBox>(id)->isHidden()) << id;
    EXPECT_FALSE(Ctl<QCheckBox>(Ids::kRelativePos)->isEnabled());
    EXPECT_FALSE(Ctl<QLineEdit>(Ids::kDelay)->isEnabled());
    EXPECT_TRUE(Ctl<QPushButton>(Ids::kFindHome)->isHidden());
    EXPECT_EQ(Ctl<QPushButton>(Ids::kFindHome)->text(), "Find Home");
    EXPECT_EQ(Ctl<QPushButton>(IDOK)->text(), "OK");
    QStringList groups;
    for (auto* g : dlg.findChildren<QGroupBox*>())
        groups << g->title();
    EXPECT_THAT(groups, ::testing::UnorderedElementsAre("Communication", "Calibration"));
    for (auto* b : dlg.findChildren<QPushButton*>())
        EXPECT_NE(b->text(), "Cancel");
}

TEST_F(ScannerSettingsDlgTest, OpeningAsksForThePositionOnceAndShowsTheValues) {
    SimMirror::Instance().Reset(-4321);
    values.m_baudRate = "57600";
    values.SetCenterPosition(-150000);
    values.SetStepSize(12.5);
    dlg.open();
    EXPECT_THAT(SimLog(1), ElementsAre("POS\n"));
    EXPECT_EQ(values.GetLastPosition(), -4321);
    EXPECT_EQ(Ctl<QComboBox>(Ids::kComPort)->currentText(), "COM1");
    EXPECT_EQ(Ctl<QComboBox>(Ids::kBaudRate)->currentText(), "57600");
    EXPECT_EQ(Ctl<QLineEdit>(Ids::kCenter)->text(), "-150000");
    EXPECT_EQ(Ctl<QLineEdit>(Ids::kStepSize)->text(), "12.5");
    EXPECT_EQ(Ctl<QLineEdit>(Ids::kScanStart)->text(), "0");
    EXPECT_EQ(Ctl<QLineEdit>(Ids::kCorridor)->text(), "10000");
    EXPECT_TRUE(Ctl<QCheckBox>(Ids::kAbsolutePos)->isChecked());
    EXPECT_FALSE(Ctl<QCheckBox>(Ids::kRelativePos)->isChecked());
    // The stored check-position value does not switch on the wait for arrival.
    EXPECT_TRUE(Ctl<QCheckBox>(Ids::kCheckPosition)->isChecked());
    EXPECT_FALSE(link.m_waitForArrival);
    dlg.done(0);

    // Strings that are not in the lists select nothing; reopening asks again.
    values.m_comPort = "COM11";
    values.m_baudRate = "14400";
    sim.ClearLog();
    dlg.open();
    EXPECT_THAT(SimLog(1), ElementsAre("POS\n"));
    EXPECT_EQ(Ctl<QComboBox>(Ids::kComPort)->currentIndex(), -1);
    EXPECT_EQ(Ctl<QComboBox>(Ids::kBaudRate)->currentIndex(), -1);
    // OK keeps the names that the lists could not show.
    ClickOk();
    EXPECT_EQ(values.m_comPort, "COM11");
    EXPECT_EQ(values.m_baudRate, "14400");
}

TEST_F(ScannerSettingsDlgTest, OpeningWithoutAControllerStillCompletes) {
    link.DisconnectScanner();
    sim.Shutdown();
    values.SetLastPosition(777);
    dlg.open();
    EXPECT_EQ(values.GetLastPosition(), 0);
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(ScannerSettingsDlgTest, PortChoiceReconnects) {
    dlg.open();
    ASSERT_TRUE(sim.WaitForCommands(1, 3000));
    sim.ClearLog();
    auto* port = Ctl<QComboBox>(Ids::kComPort);
    ASSERT_TRUE(ChooseEntry(port, "COM2"));
    EXPECT_EQ(values.m_comPort, "COM2");
    EXPECT_FALSE(link.m_scannerConnected);
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    EXPECT_EQ(status.Texts().back(), "COM2 Offline");

    ASSERT_TRUE(ChooseEntry(port, "COM1"));
    EXPECT_EQ(values.m_comPort, "COM1");
    EXPECT_TRUE(link.m_scannerConnected);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected", "COM2 Offline", "COM1 Connected"));
    EXPECT_THAT(SimLog(3), ElementsAre("ANSW2\r", "BAUD 115200\r", "CORRIDOR10000\r\n"));

    // Choosing the port the link already uses reconnects as well.
    sim.ClearLog();
    ASSERT_TRUE(ChooseEntry(port, "COM1"));
    EXPECT_TRUE(link.m_scannerConnected);
    EXPECT_THAT(SimLog(3), ElementsAre("ANSW2\r", "BAUD 115200\r", "CORRIDOR10000\r\n"));
}

TEST_F(ScannerSettingsDlgTest, BaudChoiceReconnectsAtThatRate) {
    dlg.open();
    auto* baud = Ctl<QComboBox>(Ids::kBaudRate);
    baud->setEnabled(true); // disabled in the dialog; the choice still has its handler
    ASSERT_TRUE(ChooseEntry(baud, "9600"));
    EXPECT_EQ(values.m_baudRate, "9600");
    EXPECT_TRUE(link.m_scannerConnected);
    EXPECT_EQ(GetSerialPort().CommState().BaudRate, 9600u);
    // 18200 is in the list but is not a rate the link applies.
    ASSERT_TRUE(ChooseEntry(baud, "18200"));
    EXPECT_EQ(values.m_baudRate, "18200");
    EXPECT_FALSE(link.m_scannerConnected);
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    EXPECT_EQ(status.Texts().back(), "COM1 Offline");
}

TEST_F(ScannerSettingsDlgTest, EditsTakeTheirValueAsTypedExceptFocusPosition) {
    values.SetFocusPosition(100);
    dlg.open();
    auto* start = Ctl<QLineEdit>(Ids::kScanStart);
    start->selectAll();
    QTest::keyClicks(start, "-300000");
    EXPECT_EQ(values.GetScanStartPosition(), -300000);
    // Letters are refused by the box; the member keeps its value.
    QTest::keyClicks(start, "x");
    EXPECT_EQ(start->text(), "-300000");
    EXPECT_EQ(values.GetScanStartPosition(), -300000);
    // A box emptied on the way to a new number leaves the member as it was.
    start->clear();
    EXPECT_EQ(values.GetScanStartPosition(), -300000);

    auto* step = Ctl<QLineEdit>(Ids::kStepSize);
    step->selectAll();
    QTest::keyClicks(step, "12.5");
    EXPECT_DOUBLE_EQ(values.GetStepSize(), 12.5);
    auto* center = Ctl<QLineEdit>(Ids::kCenter);
    center->setText("-160000");
    EXPECT_EQ(values.GetCenterPosition(), -160000);
    Ctl<QLineEdit>(Ids::kCorridor)->setText("2500");
    EXPECT_EQ(values.GetCorridor(), 2500);
    Ctl<QLineEdit>(Ids::kDelay)->setText("25");
    EXPECT_EQ(values.GetDelayMs(), 25);
    EXPECT_THAT(delays, ElementsAre(25));

    auto* focus = Ctl<QLineEdit>(Ids::kFocus);
    focus->setText("-5000");
    EXPECT_EQ(values.GetFocusPosition(), 100);
    start->setText("42");
    ClickOk();
    EXPECT_EQ(values.GetFocusPosition(), -5000);
    EXPECT_EQ(values.GetScanStartPosition(), 42);
}

TEST_F(ScannerSettingsDlgTest, OkWithAnEmptyFieldPromptsAndKeepsEverything) {
    dlg.open();
    Ctl<QLineEdit>(Ids::kFocus)->setText("-7000");
    Ctl<QLineEdit>(Ids::kStepSize)->clear();
    ClickOk();
    EXPECT_THAT(prompts.Texts(), ElementsAre("Please enter a number."));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(saves, 0);
    EXPECT_EQ(values.GetFocusPosition(), 0);
    EXPECT_DOUBLE_EQ(values.GetStepSize(), 12.0);

    Ctl<QLineEdit>(Ids::kStepSize)->setText("12");
    Ctl<QLineEdit>(Ids::kCenter)->setText("-");
    ClickOk();
    EXPECT_THAT(prompts.Texts(), ElementsAre("Please enter a number.", "Please enter an integer."));
    EXPECT_EQ(saves, 0);
    Ctl<QLineEdit>(Ids::kCenter)->setText("-1");
    ClickOk();
    EXPECT_EQ(saves, 1);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(values.GetFocusPosition(), -7000);
}

TEST_F(ScannerSettingsDlgTest, OkWritesTheFileWithTheProcessWideVelocity) {
    // The velocity in a file is not read back; the next OK writes the process-wide one.
    dir.Write("ARV300_Scanner_Settings.txt", "Scanner_Velocity 55\nHome_Offset 3\nScanner_Delay 10\n"
                                             "Scanner_CommPort COM1\nScanner_Baud 115200\n"
                                             "Scanner_Center_Position -165000\nScanner_Step_size 12.000000\n"
                                             "Scanner_Absolute_Position 1\nScanner_Check_position 1\n"
                                             "Scanner_Enable 1\nScanner_Corridor 10000\n"
                                             "Scanner_home_position 0\nFocus_home_position 0\n");
    ASSERT_TRUE(LoadScannerSettings(dir.File("ARV300_Scanner_Settings.txt"), values, nullptr));
    values.SetVelocity(55); // whatever the member holds, opening takes the process-wide value
    dlg.open();
    EXPECT_EQ(values.GetVelocity(), 80);
    Ctl<QLineEdit>(Ids::kStepSize)->setText("12.25");
    Ctl<QLineEdit>(Ids::kFocus)->setText("-2500");
    Ctl<QCheckBox>(Ids::kAbsolutePos)->click();
    ClickOk();
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(ScannerVelocity(), 80);
    EXPECT_EQ(dir.Read("ARV300_Scanner_Settings.txt"),
              "Scanner_Velocity 80\nHome_Offset 3\nScanner_Delay 10\nScanner_CommPort COM1\n"
              "Scanner_Baud 115200\nScanner_Center_Position -165000\nScanner_Step_size 12.250000\n"
              "Scanner_Absolute_Position 0\nScanner_Check_position 1\nScanner_Enable 1\n"
              "Scanner_Corridor 10000\nScanner_home_position 0\nFocus_home_position -2500\n");
}

TEST_F(ScannerSettingsDlgTest, ClosingWithoutOkWritesNothing) {
    dlg.open();
    Ctl<QLineEdit>(Ids::kFocus)->setText("-9000");
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(saves, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("ARV300_Scanner_Settings.txt")));
    EXPECT_EQ(values.GetFocusPosition(), 0);
}

TEST_F(ScannerSettingsDlgTest, CheckScannerPositionSetsTheWaitForArrival) {
    values.SetCheckPosition(0);
    dlg.open();
    auto* check = Ctl<QCheckBox>(Ids::kCheckPosition);
    check->click();
    EXPECT_EQ(values.GetCheckPosition(), 1);
    EXPECT_TRUE(link.m_waitForArrival);
    check->click();
    EXPECT_EQ(values.GetCheckPosition(), 0);
    EXPECT_FALSE(link.m_waitForArrival);
}

TEST_F(ScannerSettingsDlgTest, RelativeAndAbsoluteExcludeEachOther) {
    dlg.open();
    auto* relative = Ctl<QCheckBox>(Ids::kRelativePos);
    auto* absolute = Ctl<QCheckBox>(Ids::kAbsolutePos);
    absolute->click();
    EXPECT_FALSE(absolute->isChecked());
    EXPECT_TRUE(relative->isChecked());
    absolute->click();
    EXPECT_TRUE(absolute->isChecked());
    EXPECT_FALSE(relative->isChecked());
    relative->setEnabled(true);
    relative->click();
    EXPECT_TRUE(relative->isChecked());
    EXPECT_FALSE(absolute->isChecked());
    EXPECT_EQ(values.GetRelativePos(), 1);
    EXPECT_EQ(values.GetAbsolutePos(), 0);
}

TEST_F(ScannerSettingsDlgTest, ScannerEnabledTogglesTheDriveAndFindHomeStartsHoming) {
    dlg.open();
    ASSERT_TRUE(sim.WaitForCommands(1, 3000));
    sim.ClearLog();
    auto* enabled = Ctl<QCheckBox>(Ids::kScannerEnabled);
    enabled->click(); // was enabled: the drive is switched off
    EXPECT_EQ(values.GetScannerEnabled(), 0);
    EXPECT_EQ(link.m_driveEnabled, 0);
    enabled->click();
    EXPECT_EQ(values.GetScannerEnabled(), 1);
    EXPECT_EQ(link.m_driveEnabled, 1);
    Ctl<QLineEdit>(Ids::kFocus)->setText("123");
    Ctl<QPushButton>(Ids::kFindHome)->click();
    EXPECT_THAT(SimLog(3), ElementsAre("DI\n", "EN\n", "gohoseq0\n"));
    // Find Home shows the values again: the focus position not yet taken is shown as stored.
    EXPECT_EQ(Ctl<QLineEdit>(Ids::kFocus)->text(), "0");
}

TEST_F(ScannerSettingsDlgTest, NumbersOutsideTheirMeaningAreNotTakenAndOkSaysWhy) {
    dlg.open();
    auto* step = Ctl<QLineEdit>(Ids::kStepSize);
    auto* start = Ctl<QLineEdit>(Ids::kScanStart);
    // A missing decimal point, a zero step, one too small to move the mirror: the step stays 12.
    for (const char* text : {"12000000", "0", "0.001", "1e-300"}) {
        step->setText(text);
        EXPECT_DOUBLE_EQ(values.GetStepSize(), 12.0) << text;
    }
    step->setText("12000000");
    ClickOk();
    EXPECT_THAT(prompts.Texts(),
                ElementsAre("A scan of 696 lines from the Scan Start Position 0 with the Step Size "
                            "12000000 would leave the mirror's range (-2147483648 to 2147483647)."));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(saves, 0);
    step->setText("0");
    ClickOk();
    EXPECT_EQ(prompts.Texts().back(), "Step Size 0: every line would be taken at the same mirror position.");
    step->setText("0.001");
    ClickOk();
    EXPECT_EQ(prompts.Texts().back(),
              "Step Size 0.001: a 696-line scan would move the mirror by less than one count.");
    // A scan start near the end of the range with the step of 12 does not fit either.
    step->setText("12");
    start->setText("2147483000");
    EXPECT_EQ(values.GetScanStartPosition(), 0);
    // Negative corridor and delay are not taken.
    start->setText("-300000");
    Ctl<QLineEdit>(Ids::kCorridor)->setText("-5");
    Ctl<QLineEdit>(Ids::kDelay)->setText("-1");
    EXPECT_EQ(values.GetCorridor(), 10000);
    EXPECT_EQ(values.GetDelayMs(), 10);
    EXPECT_TRUE(delays.empty());
    ClickOk();
    EXPECT_EQ(prompts.Texts().back(), "The Corridor cannot be negative.");
    Ctl<QLineEdit>(Ids::kCorridor)->setText("100");
    ClickOk();
    EXPECT_EQ(prompts.Texts().back(), "The delay cannot be negative.");
    EXPECT_EQ(saves, 0);
    Ctl<QLineEdit>(Ids::kDelay)->setText("10");
    ClickOk();
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(values.GetScanStartPosition(), -300000);
    EXPECT_DOUBLE_EQ(values.GetStepSize(), 12.0);
    EXPECT_EQ(values.GetCorridor(), 100);
}
