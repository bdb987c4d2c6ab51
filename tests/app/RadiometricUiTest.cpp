// Radiometric products from the main window on the simulated instrument: the automatic calibration
// run of the Calibration dialog (Start, Stop, its files), "Compute Rad. Cal. from Cal Cube...", the
// white reference chosen by a Shift-drag over the picture, and the two corrected cube formats.
#include "app/stratadlg.h"
#include "calibration/CCalibrationDlg2.h"
#include "core/Sleep.h"
#include "display/ClientArea.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimScene.h"
#include "storage/CCubeFormattingDlg.h"
#include "support/EngineTestAccess.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {
constexpr uint64_t kAutoFileSize = 32768 + 25ull * 128 * 696 * 2; // 4487168

class WindowRadiometry : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.05);
        SimMirror::Instance().SetClockScale(20.0);
        SimMirror::Instance().Reset(0);
        SimCameras::Instance().Shutdown();
        SimCameraSettings cameras;
        cameras.clockScale = clockScale;
        SimCameras::Instance().Configure(cameras);
        SimOptics::Instance().target = SimTarget::Scene;
        SimOptics::Instance().noise = false;
        SimOptics::Instance().monochromatorNm = 0.0;
        SimOptics::Instance().sphereWhiteLight = false;
        SimOptics::Instance().vignetting = 0.0;
        controller.Start();
        dlg = std::make_unique<CStrataDlg>(prompts, StrataOptions{});
        ASSERT_EQ(dlg->OnInitDialog(), 0);
        prompts.Clear();
        // The monochromator as the simulated CM110 takes it: 0 nm is zero order, white light.
        dlg->moveMonochromator = [this](int port, int wavelength) {
            monochromatorCalls.emplace_back(port, wavelength);
            SimOptics::Instance().monochromatorNm = double(wavelength);
            SimOptics::Instance().sphereWhiteLight = wavelength == 0;
        };
        cal = &dlg->CalibrationDialog();
        cal->m_calPrefix = dir.File("flat");
        cal->DoDataExchange(false);
    }
    void TearDown() override {
        dlg.reset();
        SimCameras::Instance().Shutdown();
        controller.Shutdown();
        SimOptics::Instance().target = SimTarget::Scene;
        SimOptics::Instance().monochromatorNm = 0.0;
        SimOptics::Instance().sphereWhiteLight = false;
        SimOptics::Instance().vignetting = 0.0;
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
    }
    void Tick(std::initializer_list<int> modes) {
        for (int k : modes)
            FindControl<QCheckBox>(cal, CalDlgId::kBinningBoxes[size_t(k - 1)])->click();
    }
    std::string Said() const {
        std::string all;
        for (const std::string& t : prompts.Texts())
            all += "[" + t + "] ";
        return all;
    }
    QPushButton* Button(int id) { return FindControl<QPushButton>(cal, id); }
    bool WaitForRunEnd() {
        return QTest::qWaitFor([&] { return Button(CalDlgId::kStart)->isEnabled(); }, 30000);
    }
    static uint64_t Size(const std::string& path) {
        std::error_code ec;
        const auto n = std::filesystem::file_size(path, ec);
        return ec ? 0 : uint64_t(n);
    }
    void Mouse(QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, int x, int y,
               Qt::KeyboardModifiers modifiers) {
        auto* client = dlg->findChild<ClientArea*>();
        const QPointF p(x + ClientArea::kPictureX, y);
        QMouseEvent e(type, p, client->mapToGlobal(p), button, buttons, modifiers);
        QCoreApplication::sendEvent(client, &e);
    }
    // A dark stack with the lens cap on, saved as dark.drk.
    void AcquireDark() {
        SimOptics::Instance().target = SimTarget::LensCap;
        prompts.QueueSavePath(dir.File("dark.drk"));
        dlg->OnCommand(ID_TB_COLLECT_DARK);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !dlg->Engine().Busy() && std::filesystem::exists(dir.File("dark.drk")); }, 20000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->DarkFileName() == "dark.drk"; }, 5000));
    }

    double clockScale = 4.0; // the simulated cameras' clock
    TempDir dir{true, true};
    ScriptedPrompts prompts;
    SimController controller{"COM1"};
    std::unique_ptr<CStrataDlg> dlg;
    CCalibrationDlg2* cal = nullptr;
    std::vector<std::pair<int, int>> monochromatorCalls;
};
// Frames at the camera's own rate (a stack of 25 takes half a second), so that Stop comes while the
// run is under way.
class WindowRadiometryRealTime : public WindowRadiometry {
protected:
    void SetUp() override {
        clockScale = 1.0;
        WindowRadiometry::SetUp();
    }
};
} // namespace

TEST_F(WindowRadiometryRealTime, AutomaticRunSavesOneWholeFilePerTickedModeAndStopKeepsThemWhole) {
    SimOptics::Instance().target = SimTarget::Sphere;
    // Start and Stop are there to use; Stop only while a run goes on.
    EXPECT_TRUE(Button(CalDlgId::kStart)->isVisibleTo(cal));
    EXPECT_TRUE(Button(CalDlgId::kStop)->isVisibleTo(cal));
    EXPECT_TRUE(Button(CalDlgId::kStart)->isEnabled());
    EXPECT_FALSE(Button(CalDlgId::kStop)->isEnabled());

    Tick({6, 7}); // 2x2, 2x4
    Button(CalDlgId::kStart)->click();
    EXPECT_FALSE(Button(CalDlgId::kStart)->isEnabled());
    EXPECT_TRUE(Button(CalDlgId::kStop)->isEnabled());
    EXPECT_FALSE(Button(CalDlgId::kStartSpectralCal)->isEnabled());
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(monochromatorCalls, (std::vector<std::pair<int, int>>{{4, 0}})) << "zero order: white light";
    for (const char* mode : {"2x2", "2x4"}) {
        const std::string path = dir.File(std::string("flat_") + mode + "_flat.cal");
        ASSERT_EQ(Size(path), kAutoFileSize) << path << " " << Said();
        // The sphere in white light, 0.5 of full scale on a flat imager: every pixel 800 + 24000,
        // binned (mean of four, then >> 4) to 1550.
        const std::string bytes = dir.Read(std::string("flat_") + mode + "_flat.cal");
        for (size_t offset : {size_t(32768), size_t(32768 + 2 * 5000), bytes.size() - 2})
            EXPECT_EQ(uint8_t(bytes[offset]) | uint8_t(bytes[offset + 1]) << 8, 1550) << offset;
    }
    EXPECT_EQ(dlg->AutoCalFileName(6), dir.File("flat_2x2_flat.cal"));
    EXPECT_EQ(dlg->StatusText(3), "End Cal !");
    EXPECT_EQ(FindControl<QLabel>(cal, CalDlgId::kAutoCalProgress)->text(),
              "Automatic calibration: 2 of 2 files written.");
    EXPECT_EQ(FindControl<QProgressBar>(cal, CalDlgId::kAutoCalBar)->value(), 2);
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();

    // Four modes, Stop once the first file is there: the run ends after the stack under way.
    Tick({6, 7}); // untick
    Tick({2, 3, 4, 8});
    Button(CalDlgId::kStart)->click();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return std::filesystem::exists(dir.File("flat_1x2_flat.cal")); }, 20000));
    Button(CalDlgId::kStop)->click();
    ASSERT_TRUE(WaitForRunEnd());
    int whole = 0;
    for (const char* mode : {"1x2", "1x4", "1x8", "2x8"}) {
        const std::string path = dir.File(std::string("flat_") + mode + "_flat.cal");
        if (std::filesystem::exists(path)) {
            EXPECT_EQ(Size(path), kAutoFileSize) << path;
            ++whole;
        }
    }
    EXPECT_GE(whole, 1);
    EXPECT_LT(whole, 4);
    EXPECT_FALSE(std::filesystem::exists(dir.File("flat_2x8_flat.cal")));
    EXPECT_EQ(FindControl<QLabel>(cal, CalDlgId::kAutoCalProgress)->text().toStdString(),
              "Automatic calibration stopped after " + std::to_string(whole) + " of 4 files.");
}

TEST_F(WindowRadiometry, GainsComputedFromTheAutomaticStackUndoTheFallOffAcrossTheField) {
    // Without a dark frame the command is refused before any file is asked for.
    dlg->OnCommand(ID_COMPUTE_RADCAL);
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{RadCalMsg::kNoDarkFrame});
    prompts.Clear();

    AcquireDark();
    SimOptics::Instance().vignetting = 0.3;
    SimOptics::Instance().target = SimTarget::Sphere;
    Tick({6});
    Button(CalDlgId::kStart)->click();
    ASSERT_TRUE(WaitForRunEnd());
    ASSERT_EQ(Size(dir.File("flat_2x2_flat.cal")), kAutoFileSize) << Said();

    prompts.QueueOpenPath(dir.File("flat_2x2_flat.cal"));
    prompts.QueueSavePath(dir.File("flat.rad"));
    dlg->OnCommand(ID_COMPUTE_RADCAL);
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
    EXPECT_EQ(prompts.SaveInitialNames().back(), "flat_2x2_flat.rad");
    ASSERT_EQ(Size(dir.File("flat.rad")), 266240u);
    EXPECT_TRUE(dlg->Engine().Calibration().GainsLoaded());
    EXPECT_EQ(FindControl<QLabel>(dlg.get(), IDC_RADCAL_LABEL)->text(), "Rad. Cal.:  flat.rad");
    EXPECT_EQ(dlg->StatusText(3), "Radiometric calibration from flat_2x2_flat.cal: every gain computed.");

    // Band 0 sees rows 508 ... 511 (row / 519 about 0.9817); stored position p comes from frame
    // column 607 - p. The response there is 1 - 0.3 * (c / 695) * (0.5 + 0.5 * 0.9817), so the gains
    // of positions 0 (column 607) and 519 (column 88) stand in the ratio f(88) / f(607).
    const std::vector<float>& gains = EngineTestAccess::Gains(dlg->Engine());
    auto f = [](double column) { return 1.0 - 0.3 * (column / 695.0) * (0.5 + 0.5 * 0.9817); };
    EXPECT_NEAR(double(gains[0]) / double(gains[519]), f(88) / f(607), 0.01 * f(88) / f(607));
    // Band 127 sees rows 0 ... 3 (row / 519 about 0.003).
    auto f127 = [](double column) { return 1.0 - 0.3 * (column / 695.0) * (0.5 + 0.5 * 0.003); };
    EXPECT_NEAR(double(gains[127 * 520]) / double(gains[127 * 520 + 519]), f127(88) / f127(607),
                0.01 * f127(88) / f127(607));
}

TEST_F(WindowRadiometry, ShiftDragChoosesTheWhiteReferenceAndReflectanceCubesReadTheChart) {
    // Saves refused for what they miss, before a file is asked for.
    dlg->SaveRadianceCube(1);
    dlg->SaveReflectanceCube(1);
    EXPECT_EQ(prompts.Texts(),
              (std::vector<std::string>{RadCalMsg::kNoDarkForRadiance, RadCalMsg::kNoDarkForRadiance}));
    prompts.Clear();
    AcquireDark();
    dlg->SaveReflectanceCube(1);
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{RadCalMsg::kNoWhiteReference});
    prompts.Clear();

    SimOptics::Instance().target = SimTarget::Scene;
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg->Engine().Busy(); }, 60000));

    // A plain click keeps its meaning: the reference curve, no rectangle.
    Mouse(QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, 300, 200, Qt::NoModifier);
    Mouse(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, 300, 200, Qt::NoModifier);
    EXPECT_FALSE(dlg->Panel().WhiteReference().has_value());
    EXPECT_GT(dlg->Panel().RefSpectrum()[10], 0.0f);
    // Shift held from one corner of the white panel to the other: picture column = line, picture
    // row y = stored sample 519 - y. The drag may run beyond the picture; it stops at its edge.
    Mouse(QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, 395, 519 - 44, Qt::ShiftModifier);
    Mouse(QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, 330, 400, Qt::ShiftModifier);
    EXPECT_FALSE(dlg->Panel().WhiteReference().has_value()) << "chosen on release";
    Mouse(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, 264, 519 - 235, Qt::ShiftModifier);
    ASSERT_TRUE(dlg->Panel().WhiteReference().has_value());
    EXPECT_EQ(*dlg->Panel().WhiteReference(), (WhiteRect{264, 395, 44, 235}));
    EXPECT_EQ(dlg->findChild<ClientArea*>()->WhiteRectangle(),
              QRect(QPoint(27 + 264, 519 - 235), QPoint(27 + 395, 519 - 44)));
    EXPECT_EQ(dlg->StatusText(3), "White reference: lines 264 to 395, samples 44 to 235");

    // The Cube Formatting dialog offers both formats and the panel's reflectance.
    CCubeFormattingDlg& formatting = dlg->CubeFormattingDialog();
    EXPECT_EQ(FindControl<QRadioButton>(&formatting, CubeFormattingIds::kRadiance)->text(),
              "ENVI BIL radiance");
    EXPECT_EQ(FindControl<QRadioButton>(&formatting, CubeFormattingIds::kReflectance)->text(),
              "ENVI BIL reflectance");
    formatting.m_whiteReflectance = 0.95;
    prompts.QueueSavePath(dir.File("refl"));
    dlg->SaveReflectanceCube(1);
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
    const std::string bytes = dir.Read("refl.cube");
    ASSERT_EQ(bytes.size(), 696ull * 520 * 128 * 4);
    auto at = [&](int l, int b, int p) {
        float v;
        std::memcpy(&v, &bytes[(size_t(l) * 128 * 520 + size_t(b) * 520 + size_t(p)) * 4], 4);
        return double(v);
    };
    // The white panel, the grey step of 0.4 (lines 460 ... 639, u 150 ... 259: p 260 ... 369) and a
    // checkerboard square of 0.20 (lines 0 ... 31, u 32 ... 63: p 456 ... 487).
    for (int b : {0, 64, 127}) {
        EXPECT_NEAR(at(330, b, 140), 0.95, 0.01);
        EXPECT_NEAR(at(550, b, 300), 0.4, 0.01);
        EXPECT_NEAR(at(15, b, 470), 0.20, 0.01);
    }
    const std::string header = dir.Read("refl.hdr");
    EXPECT_NE(
        header.find("description = {ARV300 reflectance: dark frame dark.drk subtracted; no radiometric gains "
                    "applied; divided band by band by the mean radiance of the white reference (lines 264 to "
                    "395, samples 44 to 235) and multiplied by its reflectance 0.95}"),
        std::string::npos)
        << header.substr(0, 300);
}
