// The picture, its controls, the spectrum plot and the probe of the main window (offscreen).
#include "app/WindowFixture.h"
#include "app/stratadlg.h"
#include "display/ClientArea.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "support/EngineTestAccess.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <gtest/gtest.h>
#include <thread>

namespace {
constexpr int W = 696, H = 520, B = 128;

class DisplayUi : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        ASSERT_TRUE(OpenWindow());
        client = dlg->findChild<ClientArea*>();
        ASSERT_NE(client, nullptr);
        // A hand-made cube: line l, band b, stored position p holds 10 * b + (l % 7) for l < 400.
        auto& cube = EngineTestAccess::Cube(dlg->Engine());
        for (int l = 0; l < 400; ++l)
            for (int b = 0; b < B; ++b)
                for (int p = 0; p < H; ++p)
                    cube[size_t(l) * B * H + size_t(b) * H + size_t(p)] = uint16_t(10 * b + l % 7);
    }
    // A mouse move over the client area (sent directly: the window is not on a screen).
    void Move(QPoint p) {
        QMouseEvent e(QEvent::MouseMove, QPointF(p), client->mapToGlobal(QPointF(p)), Qt::NoButton,
                      Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(client, &e);
    }
    QString Text(int id) { return FindControl<QLabel>(dlg.get(), id)->text(); }
    // Pixels of the plot rectangle (785, 5, 250 x 230) with the given colour.
    int PlotPixels(QRgb colour) {
        const QImage& img = dlg->Panel().PlotImage();
        int n = 0;
        for (int y = 6; y < 235; ++y)
            for (int x = 786; x < 1035; ++x)
                if ((img.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF))
                    ++n;
        return n;
    }

    ClientArea* client = nullptr;
};
} // namespace

TEST_F(DisplayUi, MouseMovesProbeTheSpectrumAndUpdateTheStatics) {
    const QImage before = dlg->Panel().PlotImage().copy();
    // Client (27 + 100, 50) is line 100, row 50, i.e. sample H - 1 - 50, stored at position 50.
    Move(QPoint(127, 50));
    EXPECT_EQ(Text(IDC_X_STATIC), "X = 100");
    EXPECT_EQ(Text(IDC_Y_STATIC), "Y = 50");
    const auto& probe = dlg->Panel().ProbeSpectrum();
    ASSERT_EQ(probe.size(), size_t(B));
    EXPECT_FLOAT_EQ(probe[0], 100 % 7);          // 2
    EXPECT_FLOAT_EQ(probe[127], 1270 + 100 % 7); // 1272
    // The curve now rises across the plot: many of its pixels changed.
    int changed = 0;
    for (int y = 6; y < 235; ++y)
        for (int x = 786; x < 1035; ++x)
            changed += dlg->Panel().PlotImage().pixel(x, y) != before.pixel(x, y);
    EXPECT_GT(changed, 200);
    // Off the picture nothing changes.
    Move(QPoint(760, 300));
    EXPECT_EQ(Text(IDC_X_STATIC), "X = 100");
    EXPECT_FLOAT_EQ(dlg->Panel().ProbeSpectrum()[127], 1272.0f);
}

TEST_F(DisplayUi, LeftClickKeepsARedReferenceCurve) {
    EXPECT_EQ(PlotPixels(qRgb(255, 0, 0)), 0);
    QTest::mouseClick(client, Qt::LeftButton, {}, QPoint(27 + 200, 10));
    EXPECT_FLOAT_EQ(dlg->Panel().RefSpectrum()[64], 640 + 200 % 7);
    Move(QPoint(27 + 450, 10)); // line 450 holds zeros
    EXPECT_FLOAT_EQ(dlg->Panel().ProbeSpectrum()[64], 0.0f);
    EXPECT_GT(PlotPixels(qRgb(255, 0, 0)), 100);
}

TEST_F(DisplayUi, SetButtonsTakeTheClickedLineAndTheLimitEditsTheLastRow) {
    // With the second cube width a picture column stands for two lines.
    auto* width = FindControl<QComboBox>(dlg.get(), IDC_CUBE_WIDTH);
    ASSERT_GT(width->count(), 1);
    width->setCurrentIndex(1);
    emit width->activated(1);
    auto* setStart = FindControl<QCheckBox>(dlg.get(), IDC_SET_START);
    setStart->setEnabled(true);
    setStart->setChecked(true);
    QTest::mouseClick(client, Qt::LeftButton, {}, QPoint(27 + 40, 10));
    EXPECT_EQ(dlg->ScanStartLine(), 80);
    EXPECT_EQ(FindControl<QLineEdit>(dlg.get(), IDC_START_SCAN_EDIT)->text(), "80");
    EXPECT_FALSE(setStart->isChecked()) << "the button lets go after one click";
    // The same click still keeps the reference curve.
    EXPECT_FLOAT_EQ(dlg->Panel().RefSpectrum()[64], 640 + 40 % 7);
    // Without a ticked button a click leaves the limits alone.
    QTest::mouseClick(client, Qt::LeftButton, {}, QPoint(27 + 50, 10));
    EXPECT_EQ(dlg->ScanStartLine(), 80);
    // An edit that gets the focus takes 511 minus the row under the last mouse position.
    Move(QPoint(27 + 10, 300));
    auto* stop = FindControl<QLineEdit>(dlg.get(), IDC_STOP_SCAN_EDIT);
    QFocusEvent focusIn(QEvent::FocusIn);
    QCoreApplication::sendEvent(stop, &focusIn);
    EXPECT_EQ(stop->text(), "211");
    EXPECT_EQ(dlg->ScanStopLine(), 211);
}

TEST_F(DisplayUi, PicturesBuiltOnAnotherThreadReachTheScreenThroughOneQueuedDraw) {
    const uint64_t drawn = dlg->Panel().PicturesDrawn();
    std::thread([&] {
        for (int i = 0; i < 3; ++i)
            dlg->UpdateImage();
    }).join();
    EXPECT_EQ(dlg->Panel().PicturesDrawn(), drawn) << "drawn on the window thread only";
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg->Panel().PicturesDrawn(), drawn + 1) << "three pictures, one draw";
    // Once drawn, the next picture queues a draw again.
    std::thread([&] { dlg->UpdateImage(); }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg->Panel().PicturesDrawn(), drawn + 2);
}

TEST_F(DisplayUi, RightClickWritesTheSpectrumFileOnlyLeftOf547) {
    prompts.QueueSavePath(dir.File("far.txt"));
    Move(QPoint(600, 20));
    QTest::mouseClick(client, Qt::RightButton, {}, QPoint(600, 20));
    EXPECT_TRUE(prompts.SaveInitialNames().empty()); // no dialog was shown
    EXPECT_FALSE(std::filesystem::exists(dir.File("far.txt")));

    Move(QPoint(27 + 3, 519));
    QTest::mouseClick(client, Qt::RightButton, {}, QPoint(27 + 3, 519));
    const std::string text = dir.Read("far.txt");
    // Header, then one line per band: the band-list text and the value with six decimals.
    ASSERT_EQ(text.rfind("X: 3 Y: 519\n400.00 3.000000\n", 0), 0u) << text.substr(0, 60);
    EXPECT_NE(text.find("\n999.52 1273.000000\n"), std::string::npos);
    // An unwritable path is reported.
    prompts.QueueSavePath(dir.File("no/such/folder/x.txt"));
    QTest::mouseClick(client, Qt::RightButton, {}, QPoint(27 + 3, 519));
    EXPECT_EQ(prompts.Texts().back(), "Unable to save spectrum data");
}

TEST_F(DisplayUi, ImageScaleMapsTheSlidersRangeToTheGreyRamp) {
    auto* band = FindControl<QComboBox>(dlg.get(), IDC_WAVELENGTH_LIST);
    band->setCurrentIndex(100);
    emit band->activated(100);
    // Band 100 holds 1000 + l % 7: line 0 reads 1000, line 1 1001.
    FindControl<QCheckBox>(dlg.get(), IDC_IMAGE_SCALE)->click();
    auto* maxEdit = FindControl<QLineEdit>(dlg.get(), IDC_MAX_EDIT);
    maxEdit->clear();
    QTest::keyClicks(maxEdit, "1000");
    EXPECT_EQ(Text(IDC_MAX_LABEL), "Max:  1000");
    const QImage& pic = client->Picture();
    ASSERT_EQ(pic.width(), W);
    // 1000 at max 1000 maps to entry 255 (white); line 450 (value 0) to black.
    EXPECT_EQ(pic.pixel(0, 10) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(pic.pixel(450, 10) & 0xFFFFFF, 0x000000u);
    // "-" and "+" step the maximum by one, never below 1.
    FindControl<QPushButton>(dlg.get(), IDC_MAX_PLUS)->click();
    EXPECT_EQ(Text(IDC_MAX_LABEL), "Max:  1001");
    maxEdit->clear();
    QTest::keyClicks(maxEdit, "0");
    EXPECT_EQ(Text(IDC_MAX_LABEL), "Max:  1");
    FindControl<QPushButton>(dlg.get(), IDC_MAX_MINUS)->click();
    EXPECT_EQ(Text(IDC_MAX_LABEL), "Max:  1");
}

TEST_F(DisplayUi, ColourCompositeAndDarkSubtractionDuringAScan) {
    AcquisitionEngine& e = dlg->Engine();
    EngineTestAccess::SetAcquiringCube(e, true); // the picture shows the cube being acquired
    {
        EngineTestAccess::WithCalibration(e, [](std::vector<uint16_t>& dark, std::vector<float>&) {
            for (int b = 0; b < B; ++b)
                for (int p = 0; p < H; ++p)
                    dark[size_t(b) * H + size_t(p)] = uint16_t(10 * b + 3);
        });
    }
    e.Calibration().SetDarkFrameValid(true);
    auto* apply = FindControl<QCheckBox>(dlg.get(), IDC_APPLY_DARK);
    apply->setEnabled(true);
    apply->click();
    // Dark subtracted: line 3 reads 10 b + 3 - (10 b + 3) = 0, line 5 reads 2, line 1 would be -2 and
    // shows as 0.
    EXPECT_EQ(dlg->Panel().Display().DisplayValue(3, 100), 0u);
    EXPECT_EQ(dlg->Panel().Display().DisplayValue(5, 100), 2u);
    EXPECT_EQ(dlg->Panel().Display().DisplayValue(1, 100), 0u);
    // Colour: planes from the R, G, B bands.
    apply->click();
    FindControl<QCheckBox>(dlg.get(), IDC_COLOR)->click();
    EXPECT_TRUE(FindControl<QComboBox>(dlg.get(), IDC_RED_LIST)->isEnabled());
    const QImage& pic = client->Picture();
    const QRgb px = pic.pixel(6, 100);
    // Bands 47, 27, 58 at line 6: 476, 276, 586; different grey levels on the three channels.
    EXPECT_NE(qRed(px), qGreen(px));
    EXPECT_NE(qBlue(px), qGreen(px));
    EXPECT_GT(qBlue(px), qRed(px));
    EXPECT_GT(qRed(px), qGreen(px));
    EngineTestAccess::SetAcquiringCube(e, false);
}

TEST_F(DisplayUi, ApplyRadCalCannotBeTickedWithoutGains) {
    auto* box = FindControl<QCheckBox>(dlg.get(), IDC_APPLY_RADCAL);
    box->setEnabled(true);
    box->click();
    EXPECT_FALSE(box->isChecked());
    EngineTestAccess::SetGainsLoaded(dlg->Engine(), true);
    box->click();
    EXPECT_TRUE(box->isChecked());
}

TEST_F(DisplayUi, PlotShowsTheYTitleAndWholeWavelengthLabels) {
    Move(QPoint(127, 50));
    // What the window shows of the plot: from column kPlotAreaLeft on (the picture covers the
    // rest). The y title "Igram Magnitude" of the set-up is there, left of the y labels, after
    // every redraw.
    const QImage shown = client->grab().toImage();
    auto dark = [&](QRect r) {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                n += qGray(shown.pixel(x, y)) < 100;
        return n;
    };
    EXPECT_GT(dark(QRect(ClientArea::kPlotAreaLeft, 60, 15, 120)), 20);
    // The x labels stand on two rows (they are wider than the space between two ticks): label 10,
    // "1003.96", is whole on the first row, right of its tick at 1035.
    EXPECT_GT(dark(QRect(1036, 246, 20, 9)), 10);
    EXPECT_GT(dark(QRect(800, 257, 20, 9)), 5); // "460.4", second row
}

TEST_F(DisplayUi, SaturationGroupCountsTheCubeAndDrawsClippedPixelsRed) {
    auto* check = FindControl<QPushButton>(dlg.get(), IDC_CHECK_SATURATION);
    auto* show = FindControl<QCheckBox>(dlg.get(), IDC_SHOW_SATURATION);
    auto* maxEdit = FindControl<QLineEdit>(dlg.get(), IDC_SAT_MAX_EDIT);
    auto* minEdit = FindControl<QLineEdit>(dlg.get(), IDC_SAT_MIN_EDIT);
    for (QWidget* w : std::initializer_list<QWidget*>{check, show, maxEdit, minEdit,
                                                      FindControl<QLabel>(dlg.get(), IDC_SAT_MAX_LABEL),
                                                      FindControl<QLabel>(dlg.get(), IDC_SAT_MIN_LABEL)}) {
        ASSERT_NE(w, nullptr);
        EXPECT_FALSE(w->isHidden()) << w->objectName().toStdString();
    }
    EXPECT_EQ(maxEdit->text(), "4096");
    EXPECT_EQ(Text(IDC_SAT_MAX_LABEL), "0 Pixels");
    // Two clipped values; the fixture's cube holds zeros in band 0 of every seventh line below
    // 400 (58 lines x 520) and in all 296 lines from 400 on.
    auto& cube = EngineTestAccess::Cube(dlg->Engine());
    cube[size_t(100) * B * H + size_t(5) * H + 7] = 4095; // line 100, band 5, position 7
    cube[size_t(300) * B * H + size_t(64) * H + 519] = 4095;
    check->click();
    EXPECT_EQ(Text(IDC_SAT_MAX_LABEL), "2  Pixels (0.000004%)");
    EXPECT_EQ(Text(IDC_SAT_MIN_LABEL), "19731920  Pixels (42.593840%)");
    // The Max edit lowers the limit: values of 1270 and more (bands 127, lines 0..399) are high.
    maxEdit->setText("1276");
    minEdit->setText("");
    check->click();
    // 57 lines with l % 7 == 6 hold 1276 in band 127 at all 520 positions, and the two.
    EXPECT_EQ(Text(IDC_SAT_MAX_LABEL), "29642  Pixels (0.063986%)");
    EXPECT_EQ(Text(IDC_SAT_MIN_LABEL), "19731920  Pixels (42.593840%)");
    maxEdit->setText("4096");

    // "Show saturation": the picture of band 5 has line 100, position 7 (row 512) red.
    auto* wave = FindControl<QComboBox>(dlg.get(), IDC_WAVELENGTH_LIST);
    wave->setCurrentIndex(5);
    emit wave->activated(5);
    auto pixel = [&](int l, int r) { return client->Picture().pixel(l, r) & 0xFFFFFFu; };
    EXPECT_NE(pixel(100, H - 1 - 7), 0xFF0000u);
    show->click();
    EXPECT_EQ(pixel(100, H - 1 - 7), 0xFF0000u);
    EXPECT_NE(pixel(101, H - 1 - 7), 0xFF0000u);
    // Status pane 4 carries the count of the last line while an acquisition runs, and names the
    // simulated devices again when it ends.
    const QString devices = dlg->StatusText(4);
    EXPECT_EQ(devices, "Simulated: cameras, COM1, COM4");
    EngineTestAccess::SetLastLineHigh(dlg->Engine(), 17);
    dlg->UpdateImage();
    EXPECT_EQ(dlg->StatusText(4), devices);
    EngineTestAccess::SetBusy(dlg->Engine(), true);
    dlg->UpdateImage();
    EXPECT_EQ(dlg->StatusText(4), "Saturated: 17");
    EngineTestAccess::SetBusy(dlg->Engine(), false);
    dlg->AcquisitionEnded();
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg->StatusText(4), devices);

    // In the colour picture as well (red, green, blue bands 64, 5, 0), shown during a scan; the
    // mirror "positioning" keeps the streaming camera from storing lines meanwhile.
    dlg->Engine().SetScannerPositioning(true);
    EngineTestAccess::SetAcquiringCube(dlg->Engine(), true);
    for (auto [id, band] :
         {std::pair{IDC_RED_LIST, 64}, std::pair{IDC_GREEN_LIST, 5}, std::pair{IDC_BLUE_LIST, 0}})
        FindControl<QComboBox>(dlg.get(), id)->setCurrentIndex(band);
    FindControl<QCheckBox>(dlg.get(), IDC_COLOR)->click();
    EXPECT_EQ(pixel(100, H - 1 - 7), 0xFF0000u);
    EXPECT_EQ(pixel(300, 0), 0xFF0000u);
    show->click();
    EXPECT_NE(pixel(300, 0), 0xFF0000u);
    EngineTestAccess::SetAcquiringCube(dlg->Engine(), false);
    dlg->Engine().SetScannerPositioning(false);

    // The threshold the engine counts with follows the Max edit (4095 at most).
    maxEdit->setText("3000");
    EXPECT_EQ(dlg->Engine().SaturationThreshold(), 3000u);
    maxEdit->setText("9999");
    EXPECT_EQ(dlg->Engine().SaturationThreshold(), 4095u);
}
