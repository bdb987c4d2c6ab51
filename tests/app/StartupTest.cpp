// Start-up, controls, toolbar, camera settings and closing of the main window on the simulated
// instrument (offscreen platform).
#include "app/WindowFixture.h"
#include "app/stratadlg.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimScene.h"
#include "support/EngineTestAccess.h"
#include "support/TempDir.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QToolBar>
#include <gtest/gtest.h>

#include <thread>

namespace {
class Startup : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        prompts.echo = false;
    }
    int Start(int cameras = 2, bool controllerOn = true) {
        SimCameraSettings s;
        s.cameraCount = cameras;
        SimCameras::Instance().Configure(s);
        if (controllerOn)
            controller.Start();
        dlg = std::make_unique<CStrataDlg>(prompts, StrataOptions{});
        return dlg->OnInitDialog();
    }
};

struct ExpectedControl {
    int id;
    const char* type;
    const char* caption; // "" when the control shows no fixed caption
    bool visible;
    bool enabled;
};
} // namespace

TEST_F(Startup, TwoCamerasReachReadyWithTheScannerConnected) {
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(dlg->windowTitle(), "ARV300 Data Acquisition Software");
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    EXPECT_EQ(dlg->StatusText(3), "COM1 Connected");
    EXPECT_TRUE(prompts.Messages().empty()) << prompts.Texts().front();
    EXPECT_TRUE(dlg->Cameras().m_streaming.load());
    // Geometry and buffers.
    const CubeGeometry& g = dlg->Engine().Geometry();
    EXPECT_EQ(g.width, 696);
    EXPECT_EQ(g.height, 520);
    EXPECT_EQ(g.bands, 128);
    EXPECT_EQ(dlg->Engine().Cube().size(), size_t(696) * 520 * 128);
    // A connected controller got "EN\n" and the move to the focus position (0).
    ASSERT_TRUE(controller.WaitForCommands(5, 2000));
    const auto log = controller.ReceivedCommands();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "ANSW2\r");
    EXPECT_EQ(log[1], "BAUD 115200\r");
    EXPECT_EQ(log[2], "CORRIDOR10000\r\n");
    EXPECT_EQ(log[3], "EN\n");
    EXPECT_EQ(log[4], "LA0\n");
}

TEST_F(Startup, OneCameraEndsWithTheClosingMessage) {
    EXPECT_EQ(Start(1), -1);
    const auto shown = prompts.Messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "Unable to connect with the data camera !");
    EXPECT_EQ(shown[1].text, "Please Check Camera Connection and Power - Application Closing");
    EXPECT_EQ(shown[1].caption, "Camera Not Connected");
    EXPECT_EQ(dlg->ExitApplication(), 0);
}

TEST_F(Startup, NoCameraEndsWithOnlyTheClosingMessage) {
    EXPECT_EQ(Start(0), -1);
    EXPECT_EQ(prompts.Texts(),
              std::vector<std::string>{"Please Check Camera Connection and Power - Application Closing"});
}

TEST_F(Startup, SilentControllerGetsDisabledAndStartupGoesOn) {
    controller.SetSilent(true);
    ASSERT_EQ(Start(), 0);
    const auto shown = prompts.Messages();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0].text, "Please Check COM Port Settings");
    EXPECT_EQ(shown[0].caption, "Scanner Communication Problem");
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    ASSERT_TRUE(controller.WaitForCommands(4, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // nothing more must follow
    const auto log = controller.ReceivedCommands();
    // Handshake, then "DI\n" and no move; the focus camera's on/off at the end of start-up still
    // sends its drive commands on the open port (and no move).
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "ANSW2\r");
    EXPECT_EQ(log[1], "DI\n");
    EXPECT_EQ(log[2], "EN\n");
    EXPECT_EQ(log[3], "DI\n");
}

TEST_F(Startup, MissingSettingsFolderIsReportedAndDefaultsHold) {
    std::filesystem::remove_all(dir.Path() / "Settings");
    ASSERT_EQ(Start(), 0);
    const auto texts = prompts.Texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "unable to open ARV300_Camera_Settings.txt");
    EXPECT_EQ(texts[1], "unable to open ARV300_Scanner_Settings.txt");
    EXPECT_EQ(texts[2], "Unable to open ./Settings/DefCalLite2x2.txt file, error code: 2");
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    EXPECT_DOUBLE_EQ(dlg->CameraSettingsDialog().Values().exposure, 10.0);
}

TEST_F(Startup, SettingsFileGeometryIsOverriddenAtStart) {
    dir.Write("Settings/ARV300_Camera_Settings.txt", "240 3 25.000000 2 0.000000 0\n1 2 3\n");
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(dlg->Engine().Geometry().bands, 128);
    EXPECT_EQ(dlg->CameraSettingsDialog().Values().Bands(), 128);
    EXPECT_DOUBLE_EQ(dlg->CameraSettingsDialog().Values().exposure, 25.0);
    EXPECT_EQ(dlg->RgbSelections(), (std::array<int32_t, 3>{1, 2, 3}));
}

TEST_F(Startup, SettingsValuesOutsideTheirMeaningAreReportedOncePerFileAndDefaultsHold) {
    dir.Write("Settings/ARV300_Camera_Settings.txt", "128 0 -5 0 0.000000 0\n47 27 58\n");
    std::string scanner = dir.Read("Settings/ARV300_Scanner_Settings.txt");
    scanner.replace(scanner.find("Scanner_Step_size 12.000000"), 27, "Scanner_Step_size 12000000");
    dir.Write("Settings/ARV300_Scanner_Settings.txt", scanner);
    std::string defCal = dir.Read("Settings/DefCalLite2x2.txt");
    defCal.replace(defCal.find("2.300000"), 8, "inf");
    dir.Write("Settings/DefCalLite2x2.txt", defCal);
    ASSERT_EQ(Start(), 0);
    const auto texts = prompts.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "ARV300_Camera_Settings.txt:\n"
                        "line 1, Integration -5 ms is not between 0.001 and 60000 ms; 10 ms kept\n"
                        "line 1, Gain 0 is not between 1 and 1000; 1 kept");
    EXPECT_EQ(
        texts[1],
        "ARV300_Scanner_Settings.txt: line 7, Scanner_Step_size 12000000: a scan of 696 lines from "
        "the Scan Start Position 0 would leave the mirror's range (-2147483648 to 2147483647); 12 kept");
    EXPECT_EQ(texts[2], "DefCalLite2x2.txt: coefficient c1 inf is not a finite single-precision number; the "
                        "coefficients 0 0 0 kept");
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    EXPECT_DOUBLE_EQ(dlg->CameraSettingsDialog().Values().exposure, 10.0);
    EXPECT_DOUBLE_EQ(dlg->Engine().StepPerLine(), 12.0);
}

TEST_F(Startup, WavelengthListsFollowTheDefaultCalibration) {
    ASSERT_EQ(Start(), 0);
    auto* wave = static_cast<QComboBox*>(dlg->Control(IDC_WAVELENGTH_LIST));
    ASSERT_EQ(wave->count(), 128);
    // c0 + 2*c1*i + c2*i^2 with 400, 2.3, 0.00095: band 0 = 400.00, band 42 = 594.88, band 127 = 999.52.
    EXPECT_EQ(wave->itemText(0), "400.00");
    EXPECT_EQ(wave->currentIndex(), 42);
    EXPECT_EQ(wave->currentText(), "594.88");
    EXPECT_EQ(wave->itemText(127), "999.52");
    auto* red = static_cast<QComboBox*>(dlg->Control(IDC_RED_LIST));
    EXPECT_EQ(red->currentIndex(), 47);
    EXPECT_FALSE(red->isEnabled());
}

TEST_F(Startup, ControlsExistWithTheirIdsCaptionsAndStates) {
    ASSERT_EQ(Start(), 0);
    const ExpectedControl expected[] = {
        {1000, "QComboBox", "", true, true},
        {1002, "QCheckBox", "Subtract Dark Frame ", false, false},
        {1003, "QPushButton", "Load Dark Frame", false, false},
        {1010, "QLabel", "Dark Frame: None", false, true},
        {1011, "QLabel", "Rad. Cal.: None", false, true},
        {1019, "QLabel", "X = 0", true, true},
        {1020, "QLabel", "Y = 0", true, true},
        {1021, "QLabel", "Pixel = 0", true, true},
        {1049, "QLineEdit", "47", false, false},
        {1050, "QLineEdit", "27", false, false},
        {1051, "QLineEdit", "58", false, false},
        {1052, "QCheckBox", "Color", true, true},
        {1067, "QScrollBar", "", true, true},
        {1068, "QScrollBar", "", true, true},
        {1069, "QLineEdit", "", false, true},
        {1071, "QComboBox", "", false, false},
        {1084, "QCheckBox", "Apply Rad. Cal.", false, false},
        {1096, "QPushButton", "Load Rad. Cal.", false, false},
        {1098, "QLabel", "Scroll Pos:", false, true},
        {1099, "QCheckBox", "Activate Graph", false, true},
        {1100, "QCheckBox", "Image Scale", true, true},
        {1103, "QSlider", "", true, true},
        {1104, "QSlider", "", true, true},
        {1105, "QLabel", "Min:  0", true, true},
        {1106, "QLabel", "Max:  4096", true, true},
        {1107, "QPushButton", "-", true, true},
        {1109, "QPushButton", "-", true, true},
        {1110, "QPushButton", "+", true, true},
        {1111, "QPushButton", "+", true, true},
        {1112, "QLineEdit", "0", true, true},
        {1113, "QLineEdit", "4096", true, true},
        {1114, "QComboBox", "", true, false},
        {1115, "QComboBox", "", true, false},
        {1116, "QComboBox", "", true, false},
        {1181, "QCheckBox", "Set", false, true},
        {1182, "QCheckBox", "Shutter", false, true},
        {1187, "QPushButton", "Check Saturation", true, true},
        {1188, "QLineEdit", "0", false, true},
        {1189, "QLineEdit", "511", false, true},
        {1191, "QCheckBox", "Set", false, true},
        {1192, "QPushButton", "Reset", false, true},
        {1193, "QCheckBox", "Auto Cube Save", false, true},
        {1194, "QLabel", "Static", false, true},
        {1195, "QCheckBox", "Continuous Scan", false, true},
        {1196, "QLabel", "0-695", false, true},
        {1197, "QLabel", "0-695", false, true},
        {1198, "QCheckBox", "Activate limits", false, true},
        {1200, "QCheckBox", "Scanner accuracy", false, true},
        // The saturation group is shown (with its "Show saturation" tick box).
        {1206, "QLineEdit", "4096", true, true},
        {1207, "QLabel", "0 Pixels", true, true},
        {1208, "QLineEdit", "0", true, true},
        {1209, "QLabel", "0 Pixels", true, true},
        {1236, "QCheckBox", "Apply Dark", true, false},
        {1250, "QCheckBox", "Show saturation", true, true},
    };
    for (const ExpectedControl& e : expected) {
        QWidget* w = FindControl<QWidget>(dlg.get(), e.id);
        ASSERT_NE(w, nullptr) << e.id;
        EXPECT_EQ(w->property("controlId").toInt(), e.id);
        EXPECT_TRUE(w->inherits(e.type)) << e.id << " is " << w->metaObject()->className();
        EXPECT_EQ(!w->isHidden(), e.visible) << e.id;
        EXPECT_EQ(w->isEnabled(), e.enabled) << e.id;
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            text = b->text();
        else if (auto* l = qobject_cast<QLabel*>(w))
            text = l->text();
        else if (auto* le = qobject_cast<QLineEdit*>(w))
            text = le->text();
        if (*e.caption) {
            EXPECT_EQ(text.toStdString(), e.caption) << e.id;
        }
    }
    auto* minSlider = FindControl<QSlider>(dlg.get(), IDC_MIN_SLIDER);
    auto* maxSlider = FindControl<QSlider>(dlg.get(), IDC_MAX_SLIDER);
    EXPECT_EQ(minSlider->maximum(), 4096);
    EXPECT_EQ(maxSlider->value(), 4096);
}

TEST_F(Startup, ToolbarOrderAndTooltipsComeFromTheStringTable) {
    ASSERT_EQ(Start(), 0);
    const std::vector<std::pair<int, std::string>> expected = {
        {ID_TB_SAVE_CUBE, "Save Cube"},
        {0, ""},
        {ID_TB_STOP, "Stop"},
        {ID_TB_START_CUBE, "Start Cube Collect"},
        {0, ""},
        {ID_TB_COLLECT_DARK, "Collect Dark Cube"},
        {ID_TB_COLLECT_CAL, "Collect Calibration Cube"},
        {0, ""},
        {ID_TB_SPECTRAL_DISPLAY, "Spectral Display"},
        {ID_TB_FOCUS_CAMERA, "On/Off Focus Camera"},
        {0, ""},
        {ID_TB_CAMERA_SETTINGS, "Camera Settings"},
        {ID_TB_SCANNER_SETTINGS, "Scanner Settings"},
    };
    const auto actions = dlg->ToolBar()->actions();
    ASSERT_EQ(actions.size(), qsizetype(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        QAction* a = actions[qsizetype(i)];
        if (expected[i].first == 0) {
            EXPECT_TRUE(a->isSeparator()) << i;
            continue;
        }
        EXPECT_EQ(a->property("commandId").toInt(), expected[i].first) << i;
        EXPECT_EQ(a->toolTip().toStdString(), expected[i].second) << i;
    }
}

TEST_F(Startup, MenuHoldsTheCommandsInOrder) {
    ASSERT_EQ(Start(), 0);
    QStringList seen;
    for (QAction* top : dlg->menuBar()->actions()) {
        seen << top->text();
        for (QAction* a : top->menu()->actions())
            seen << (a->isSeparator() ? QString("-") : a->text() + "#" + a->property("commandId").toString());
    }
    const QStringList expected = {"&File",
                                  "Open Cube...#32810",
                                  "-",
                                  "Save Cube...#32780",
                                  "Save Dark Frame...#32806",
                                  "Save Cal Frame...#32807",
                                  "-",
                                  "Exit#32797",
                                  "&Settings",
                                  "Camera Settings#32784",
                                  "Scanner Settings#32804",
                                  "&Acquisition",
                                  "Acquire Cube#32785",
                                  "Acquire Dark Frame#32786",
                                  "Acquire Cal Cube#32792",
                                  "&Calibration",
                                  "Load Dark Frame...#32787",
                                  "Load Rad. Cal...#32798",
                                  "Reset Rad. Cal.#32791",
                                  "Compute Rad. Cal. from Cal Cube...#32811",
                                  "Spectral Calibration...#32802",
                                  "-",
                                  "Serial Settings...#",
                                  "Si&mulator",
                                  "Scene#",
                                  "Lens Cap#",
                                  "Monochromator Sphere#",
                                  "&Help",
                                  "About...#32782",
                                  "&About Strata...#16"};
    EXPECT_EQ(seen, expected);
}

TEST_F(Startup, SimulatorMenuSetsTheTargetAndExistsOnlyWithSimulatedCameras) {
    ASSERT_EQ(Start(), 0);
    auto* lensCap = dlg->findChild<QAction*>("SimTarget_1");
    ASSERT_NE(lensCap, nullptr);
    lensCap->trigger();
    EXPECT_EQ(SimOptics::Instance().target.load(), SimTarget::LensCap);
    dlg->findChild<QAction*>("SimTarget_0")->trigger();
    EXPECT_EQ(SimOptics::Instance().target.load(), SimTarget::Scene);
    dlg.reset();
    SimCameras::Instance().Shutdown();
    // No simulated device at all: this build has no real camera backend, so the window ends with
    // the closing message, and it never had a Simulator menu.
    StrataOptions real;
    real.devices.mode = DeviceMode::Real;
    dlg = std::make_unique<CStrataDlg>(prompts, real);
    EXPECT_EQ(dlg->OnInitDialog(), -1);
    EXPECT_EQ(dlg->findChild<QMenu*>("SimulatorMenu"), nullptr);
}

TEST_F(Startup, CameraSettingsOkKeepsTheCubeAndWritesTheReportedExposure) {
    ASSERT_EQ(Start(), 0);
    AcquisitionEngine& e = dlg->Engine();
    EngineTestAccess::Cube(e)[1000] = 1234;
    EngineTestAccess::WithCalibration(e,
                                      [](std::vector<uint16_t>& dark, std::vector<float>&) { dark[5] = 77; });
    e.Calibration().SetDarkFrameValid(true);
    // 150 ms cannot be met at 50 fps (19 ms at most): the walk settles at 3.75 fps, where the camera
    // delivers 150 ms.
    CCameSettingsDlg& cs = dlg->CameraSettingsDialog();
    cs.DoDataExchange(false);
    FindControl<QLineEdit>(&cs, IDC_INTEGRATION_EDIT)->setText("150");
    FindControl<QLineEdit>(&cs, IDC_GAIN_EDIT)->setText("3");
    ASSERT_NE(cs.onApply, nullptr);
    cs.onApply();
    EXPECT_EQ(e.Cube()[1000], 1234);
    EXPECT_EQ(EngineTestAccess::DarkFrame(e)[5], 77);
    EXPECT_TRUE(e.DarkFrameValid());
    EXPECT_FLOAT_EQ(dlg->Cameras().m_dataFrameRate, 3.75f);
    EXPECT_EQ(dir.Read("Settings/ARV300_Camera_Settings.txt"), "128 0 150.000000 3 0.000000 0\n47 27 58\n");
    // 30 ms is met at 30 fps (32.3 ms possible).
    FindControl<QLineEdit>(&cs, IDC_INTEGRATION_EDIT)->setText("30");
    cs.onApply();
    EXPECT_FLOAT_EQ(dlg->Cameras().m_dataFrameRate, 30.0f);
    EXPECT_TRUE(dlg->Cameras().m_streaming.load());
}

TEST_F(Startup, CameraSettingsOutsideTheirRangeAreNotTakenAndOkSaysWhy) {
    ASSERT_EQ(Start(), 0);
    CCameSettingsDlg& cs = dlg->CameraSettingsDialog();
    cs.DoDataExchange(false);
    auto* integration = FindControl<QLineEdit>(&cs, IDC_INTEGRATION_EDIT);
    auto* gain = FindControl<QLineEdit>(&cs, IDC_GAIN_EDIT);
    // Typing follows into the values only within the ranges: the last good value holds.
    for (const char* text : {"inf", "1e300", "0", "-1", "60001", "nan"}) {
        integration->setText(text);
        EXPECT_DOUBLE_EQ(cs.Values().exposure, 10.0) << text;
    }
    for (const char* text : {"0", "1001", "-3"}) {
        gain->setText(text);
        EXPECT_EQ(cs.Values().gain, 1) << text;
    }
    prompts.Clear();
    integration->setText("1e300");
    FindControl<QPushButton>(&cs, IDOK)->click();
    EXPECT_EQ(prompts.Texts(),
              std::vector<std::string>{"Integration must be a number of milliseconds from 0.001 to 60000."});
    integration->setText("15");
    gain->setText("0");
    FindControl<QPushButton>(&cs, IDOK)->click();
    EXPECT_EQ(prompts.Texts().back(), "Gain must be a whole number from 1 to 1000.");
    // Nothing was applied: the file still holds the defaults.
    EXPECT_EQ(dir.Read("Settings/ARV300_Camera_Settings.txt"), "128 0 10.000000 1 0.000000 0\n47 27 58\n");
    gain->setText("2");
    FindControl<QPushButton>(&cs, IDOK)->click();
    EXPECT_EQ(dir.Read("Settings/ARV300_Camera_Settings.txt"), "128 0 15.000000 2 0.000000 0\n47 27 58\n");
}

TEST_F(Startup, ClosingRewritesTheSettingsOnlyAfterAColourChange) {
    ASSERT_EQ(Start(), 0);
    const std::string original = "128 0 10.000000 1 0.000000 0\n47 27 58\n";
    dir.Write("Settings/ARV300_Camera_Settings.txt", "untouched");
    dlg->close();
    EXPECT_EQ(dir.Read("Settings/ARV300_Camera_Settings.txt"), "untouched");
    dlg.reset();

    SimCameras::Instance().Shutdown();
    dlg = std::make_unique<CStrataDlg>(prompts, StrataOptions{});
    dir.Write("Settings/ARV300_Camera_Settings.txt", original);
    ASSERT_EQ(dlg->OnInitDialog(), 0);
    auto* green = FindControl<QComboBox>(dlg.get(), IDC_GREEN_LIST);
    green->setEnabled(true);
    green->setCurrentIndex(30);
    emit green->activated(30);
    EXPECT_TRUE(dlg->RgbBandsChanged());
    dlg->close();
    EXPECT_EQ(dir.Read("Settings/ARV300_Camera_Settings.txt"), "128 0 10.000000 1 0.000000 0\n47 30 58\n");
}
