// "Save Cube" from the main window: the Cube Formatting dialog, the savers it calls, their files and
// messages, and a cube acquired on the simulated instrument read back by GDAL, Spectral Python,
// ffprobe/ffmpeg and Pillow.
#include "app/stratadlg.h"
#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "storage/CCubeFormattingDlg.h"
#include "storage/CubeWriters.h"
#include "storage/StorageTestSupport.h"
#include "support/EngineTestAccess.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using namespace CubeFormattingIds;

namespace {

constexpr int kOkButton = 1;
constexpr int kCancelButton = 2;
constexpr int W = 696, H = 520, B = 128;

void Click(QWidget* root, int id) {
    auto* button = FindControl<QAbstractButton>(root, id);
    ASSERT_NE(button, nullptr) << "no button " << id;
    button->click();
}

// Which of the six format buttons are set, in id order 1053 1054 1056 1057 1059 1060.
std::string Formats(QWidget* d) {
    std::string s;
    for (int id : {kStandard, kBil, kBsq, kMovie, kBitmap, kBip})
        s += FindControl<QRadioButton>(d, id)->isChecked() ? '1' : '0';
    return s;
}

std::string Text(QWidget* d, int id) {
    return FindControl<QLineEdit>(d, id)->text().toStdString();
}

std::string ReadText(const std::string& path) {
    const auto bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

uint16_t U16At(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint16_t(bytes[offset] | (bytes[offset + 1] << 8));
}

// The wavelength list of an ENVI header: band i at i*c1 + c0 + (i*i)*c2, "%lf", joined by ", ".
std::string WavelengthList(const float c[3]) {
    std::string s;
    char buf[64];
    for (int i = 0; i < B; ++i) {
        std::snprintf(buf, sizeof buf, "%lf",
                      double(i) * double(c[1]) + double(c[0]) + double(i * i) * double(c[2]));
        s += (i ? ", " : "") + std::string(buf);
    }
    return s;
}

struct ReaderView {
    std::string reader, type;
    long lines = 0, samples = 0, bands = 0;
    std::vector<long long> summary; // sum, then line 0 sample 0 (B values), then the last line's
    std::vector<std::string> wavelengths;
};

// Both readers of tests/storage/read_envi.py, in summary form.
std::vector<ReaderView> ReadEnvi(const std::string& python, const std::string& header,
                                 const std::string& data) {
    const auto out = RunCommand(python + " '" + ARV_SOURCE_DIR + "/tests/storage/read_envi.py' '" + header +
                                "' '" + data + "' --sum");
    std::vector<ReaderView> views;
    if (!out)
        return views;
    std::istringstream in(*out);
    std::string first, values, waves, done;
    while (std::getline(in, first) && std::getline(in, values) && std::getline(in, waves) &&
           std::getline(in, done)) {
        ReaderView v;
        std::istringstream(first) >> v.reader >> v.lines >> v.samples >> v.bands >> v.type;
        std::istringstream vs(values);
        for (long long x; vs >> x;)
            v.summary.push_back(x);
        std::istringstream ws(waves);
        for (std::string w; ws >> w;)
            v.wavelengths.push_back(w);
        views.push_back(v);
    }
    return views;
}

// Frame n of a movie as bgr24 pixels, rows from the top (empty when ffmpeg fails).
std::vector<uint8_t> MovieFrame(const std::string& movie, int n, const std::string& scratch) {
    if (!RunCommand("ffmpeg -v error -i '" + movie + "' -vf 'select=eq(n\\," + std::to_string(n) +
                    ")' -vsync 0 -frames:v 1 -f rawvideo -pix_fmt bgr24 -y '" + scratch + "'"))
        return {};
    return ReadFileBytes(scratch);
}

// Pixels of rows 0 .. rows-1 that are not the grey expected(l, r).
int GreyMismatches(const std::vector<uint8_t>& pixels, int rows,
                   const std::function<int(int l, int r)>& expected) {
    if (pixels.size() != size_t(W) * H * 3)
        return -1;
    int mismatches = 0;
    for (int r = 0; r < rows; ++r)
        for (int l = 0; l < W; ++l) {
            const int grey = expected(l, r);
            const uint8_t* px = &pixels[(size_t(r) * W + size_t(l)) * 3];
            if (px[0] != grey || px[1] != grey || px[2] != grey)
                ++mismatches;
        }
    return mismatches;
}

class StorageUi : public ::testing::Test {
protected:
    void SetUp() override {
        // The window works in a folder of its own with the shipped settings.
        fs::create_directories(work.Path().string() + "/Settings");
        for (const auto& e : fs::directory_iterator(fs::path(ARV_SOURCE_DIR) / "settings"))
            fs::copy_file(e.path(), work.Path().string() + "/Settings/" + e.path().filename().string());
        previous = fs::current_path();
        fs::current_path(work.Path());

        SetSleepScale(0.1);
        SimMirror::Instance().SetClockScale(10.0);
        SimMirror::Instance().Reset(0);
        SimCameras::Instance().Shutdown();
        SimCameraSettings sim;
        sim.clockScale = 2.0;
        SimCameras::Instance().Configure(sim);
        controller.Start();
        dlg = std::make_unique<CStrataDlg>(prompts, StrataOptions{});
        ASSERT_EQ(dlg->OnInitDialog(), 0);
        prompts.Clear();
    }
    void TearDown() override {
        dlg.reset();
        SimCameras::Instance().Shutdown();
        controller.Shutdown();
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
        fs::current_path(previous);
    }

    // Runs `command`; while the Cube Formatting dialog it opens is up, `act` gets it (and should
    // end with OK or Cancel; a dialog left open is cancelled). False when no dialog opened.
    bool WithDialog(const std::function<void(CCubeFormattingDlg&)>& act, int command = ID_FILE_SAVE_CUBE) {
        bool opened = false;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* d = qobject_cast<CCubeFormattingDlg*>(QApplication::activeModalWidget());
            if (!d)
                return;
            opened = true;
            act(*d);
            if (d->isVisible())
                d->reject();
        });
        timer.start(0);
        dlg->OnCommand(command);
        return opened;
    }

    // Picks the format, lets `extra` adjust the dialog, answers the save dialog with `path` and
    // presses OK.
    void Save(int format, std::optional<std::string> path,
              const std::function<void(CCubeFormattingDlg&)>& extra = {}) {
        prompts.QueueSavePath(std::move(path));
        ASSERT_TRUE(WithDialog([&](CCubeFormattingDlg& d) {
            Click(&d, format);
            if (extra)
                extra(d);
            Click(&d, kOkButton);
        }));
    }

    // Fills the cube with value (l*7 + b*3 + p) mod 4096 and the dark frame with 4000 - b - p.
    void FillPattern() {
        AcquisitionEngine& e = dlg->Engine();
        for (int l = 0; l < W; ++l)
            for (int b = 0; b < B; ++b)
                for (int p = 0; p < H; ++p)
                    EngineTestAccess::Cube(e)[size_t(l) * B * H + size_t(b) * H + size_t(p)] =
                        uint16_t((l * 7 + b * 3 + p) % 4096);
        EngineTestAccess::WithCalibration(e, [](std::vector<uint16_t>& dark, std::vector<float>&) {
            for (int b = 0; b < B; ++b)
                for (int p = 0; p < H; ++p)
                    dark[size_t(b) * H + size_t(p)] = uint16_t(4000 - b - p);
        });
    }

    TempDir work; // the window's current folder
    TempDir out;  // where the files are saved
    fs::path previous;
    ScriptedPrompts prompts;
    SimController controller{"COM1"};
    std::unique_ptr<CStrataDlg> dlg;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// The dialog on its own

TEST(CubeFormattingDlg, OkCallsTheFirstSetSaverInTheFixedOrder) {
    CCubeFormattingDlg d;
    std::vector<std::string> calls;
    CubeSavers s;
    s.saveStandardCube = [&] { calls.push_back("standard"); };
    s.saveBilCube = [&](int h) { calls.push_back("bil " + std::to_string(h)); };
    s.saveBsqCube = [&](int h) { calls.push_back("bsq " + std::to_string(h)); };
    s.saveBipCube = [&](int h) { calls.push_back("bip " + std::to_string(h)); };
    s.saveMovie = [&] { calls.push_back("movie"); };
    s.saveBitmap = [&] { calls.push_back("bitmap"); };
    d.SetSavers(s);
    // Several buttons set at once (as the independent buttons allow): the order decides.
    const std::pair<std::vector<int>, std::string> cases[] = {
        {{kStandard, kBil, kBsq, kMovie, kBitmap, kBip}, "standard"},
        {{kBil, kBsq, kMovie, kBitmap, kBip}, "bil 1"},
        {{kBsq, kMovie, kBitmap, kBip}, "bsq 1"},
        {{kMovie, kBitmap, kBip}, "movie"},
        {{kBitmap, kBip}, "bitmap"},
        {{kBip}, "bip 1"},
    };
    for (const auto& [set, expected] : cases) {
        calls.clear();
        for (int id : {kStandard, kBil, kBsq, kMovie, kBitmap, kBip})
            FindControl<QRadioButton>(&d, id)->setChecked(false);
        for (int id : set)
            FindControl<QRadioButton>(&d, id)->setChecked(true);
        d.setResult(QDialog::Rejected);
        Click(&d, kOkButton);
        EXPECT_EQ(calls, std::vector<std::string>{expected});
        EXPECT_EQ(d.result(), QDialog::Accepted) << expected;
    }
    // "Create Header" unticked reaches the ENVI savers as 0.
    calls.clear();
    FindControl<QRadioButton>(&d, kBip)->setChecked(false);
    FindControl<QRadioButton>(&d, kBil)->setChecked(true);
    FindControl<QCheckBox>(&d, kCreateHeader)->setChecked(false);
    Click(&d, kOkButton);
    EXPECT_EQ(calls, std::vector<std::string>{"bil 0"});
    EXPECT_EQ(d.m_createHeader, 0);
    // No button set: nothing saved, the dialog still closes with OK.
    calls.clear();
    FindControl<QRadioButton>(&d, kBil)->setChecked(false);
    d.setResult(QDialog::Rejected);
    Click(&d, kOkButton);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(d.result(), QDialog::Accepted);
}

TEST(CubeFormattingDlg, IntervalMustBeAPositiveInteger) {
    CCubeFormattingDlg d;
    ScriptedPrompts prompts;
    d.SetPrompts(&prompts);
    int saves = 0;
    CubeSavers s;
    s.saveMovie = [&] { ++saves; };
    d.SetSavers(s);
    Click(&d, kMovie);
    auto* interval = FindControl<QLineEdit>(&d, kFrameInterval);
    // The field takes digits only; text set past the validator is refused at OK.
    QTest::keyClicks(interval, "x-");
    EXPECT_EQ(interval->text(), "100");
    for (const auto& [typed, message] : {std::pair<QString, std::string>{"", kMsgEnterInteger},
                                         std::pair<QString, std::string>{"12a", kMsgEnterInteger},
                                         std::pair<QString, std::string>{"0", kMsgIntegerRange}}) {
        interval->setText(typed);
        d.setResult(QDialog::Rejected);
        Click(&d, kOkButton);
        EXPECT_EQ(saves, 0) << typed.toStdString();
        EXPECT_EQ(d.result(), QDialog::Rejected) << "the dialog stays open";
        ASSERT_FALSE(prompts.Texts().empty());
        EXPECT_EQ(prompts.Texts().back(), message);
        EXPECT_EQ(d.GetFrameInterval(), 100);
    }
    interval->setText("40");
    Click(&d, kOkButton);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(d.GetFrameInterval(), 40);
    EXPECT_EQ(d.result(), QDialog::Accepted);
}

TEST(CubeFormattingDlg, EveryOpeningShowsTheLastColumnCountOfAnyInstance) {
    CCubeFormattingDlg first, second;
    first.SetColumns(1392);
    first.SetRows(260);
    EXPECT_EQ(CCubeFormattingDlg::ProcessColumns(), 1392);
    QTimer::singleShot(0, &second, [&] {
        EXPECT_EQ(Text(&second, kColumns), "1392");
        EXPECT_EQ(Text(&second, kRows), "520") << "rows belong to each instance";
        second.reject();
    });
    second.exec();
    EXPECT_EQ(second.m_columns, 1392);
    first.SetColumns(696);
}

// ---------------------------------------------------------------------------------------------
// The dialog from the window

TEST_F(StorageUi, FirstOpeningShowsTheStandardFormatAndChoicesPersist) {
    ASSERT_TRUE(WithDialog([&](CCubeFormattingDlg& d) {
        EXPECT_EQ(d.windowTitle(), "Cube Formatting");
        EXPECT_EQ(d.property("controlId").toInt(), 137);
        EXPECT_EQ(Formats(&d), "100000");
        for (int id : {kStandard, kBil, kMovie, kBitmap})
            EXPECT_TRUE(FindControl<QWidget>(&d, id)->isVisible()) << id;
        for (int id : {kBsq, kBip, kAutoSave})
            EXPECT_FALSE(FindControl<QWidget>(&d, id)->isVisible()) << id;
        EXPECT_FALSE(d.findChild<QLabel*>("ms_label")->isVisible());
        EXPECT_EQ(Text(&d, kFrameInterval), "100");
        EXPECT_TRUE(FindControl<QCheckBox>(&d, kCreateHeader)->isChecked());
        EXPECT_TRUE(FindControl<QCheckBox>(&d, kNormalizePerFrame)->isChecked());
        EXPECT_EQ(Text(&d, kRows), "520");
        EXPECT_EQ(Text(&d, kColumns), "696");
        EXPECT_TRUE(FindControl<QLineEdit>(&d, kRows)->isReadOnly());
        EXPECT_TRUE(FindControl<QLineEdit>(&d, kColumns)->isReadOnly());
        QStringList groups;
        for (QGroupBox* g : d.findChildren<QGroupBox*>())
            groups << g->title();
        EXPECT_EQ(groups.join(","), "ARV 200,ENVI,WINDOWS,Cube Dimension");

        // One format at a time, whichever group it is in; a second click keeps it set.
        Click(&d, kBil);
        EXPECT_EQ(Formats(&d), "010000");
        Click(&d, kBil);
        EXPECT_EQ(Formats(&d), "010000");
        Click(&d, kBsq);
        EXPECT_EQ(Formats(&d), "001000");
        Click(&d, kBip);
        EXPECT_EQ(Formats(&d), "000001");
        Click(&d, kBitmap);
        EXPECT_EQ(Formats(&d), "000010");
        // A format click takes the other controls too; the interval typed afterwards is not kept
        // by Cancel.
        FindControl<QCheckBox>(&d, kCreateHeader)->setChecked(false);
        FindControl<QCheckBox>(&d, kNormalizePerFrame)->setChecked(false);
        Click(&d, kMovie);
        FindControl<QLineEdit>(&d, kFrameInterval)->setText("250");
        FindControl<QCheckBox>(&d, kNormalizePerFrame)->setChecked(true);
        Click(&d, kCancelButton);
    }));
    ASSERT_TRUE(WithDialog([&](CCubeFormattingDlg& d) {
        EXPECT_EQ(Formats(&d), "000100");
        EXPECT_FALSE(FindControl<QCheckBox>(&d, kCreateHeader)->isChecked());
        EXPECT_FALSE(FindControl<QCheckBox>(&d, kNormalizePerFrame)->isChecked());
        EXPECT_EQ(Text(&d, kFrameInterval), "100");
        // OK keeps everything, even when the saver is cancelled.
        FindControl<QLineEdit>(&d, kFrameInterval)->setText("250");
        Click(&d, kOkButton);
        EXPECT_FALSE(d.isVisible());
    }));
    EXPECT_TRUE(out.Entries().empty());
    ASSERT_TRUE(WithDialog([&](CCubeFormattingDlg& d) {
        EXPECT_EQ(Formats(&d), "000100");
        EXPECT_EQ(Text(&d, kFrameInterval), "250");
        EXPECT_EQ(d.GetFrameInterval(), 250);
        Click(&d, kCancelButton);
    }));
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(StorageUi, CubeWidthSelectionShowsItsColumnsInTheDialog) {
    auto* list = FindControl<QComboBox>(dlg.get(), IDC_CUBE_WIDTH);
    list->setEnabled(true);
    list->setCurrentIndex(1);
    emit list->activated(1);
    ASSERT_TRUE(WithDialog([&](CCubeFormattingDlg& d) {
        EXPECT_EQ(Text(&d, kColumns), "1392");
        EXPECT_EQ(Text(&d, kRows), "520");
    }));
    list->setCurrentIndex(0);
    emit list->activated(0);
    ASSERT_TRUE(WithDialog([&](CCubeFormattingDlg& d) { EXPECT_EQ(Text(&d, kColumns), "696"); }));
}

TEST_F(StorageUi, SaveCubeIsRefusedWhileTheCameraAcquires) {
    dlg->OnCommand(ID_TB_SPECTRAL_DISPLAY);
    ASSERT_TRUE(dlg->Engine().Busy());
    EXPECT_FALSE(WithDialog([](CCubeFormattingDlg&) {}, ID_FILE_SAVE_CUBE));
    EXPECT_FALSE(WithDialog([](CCubeFormattingDlg&) {}, ID_TB_SAVE_CUBE));
    EXPECT_EQ(prompts.Texts(), (std::vector<std::string>{"Camera acquiring data, stop acquisition first !",
                                                         "Camera acquiring data, stop acquisition first !"}));
    dlg->OnCommand(ID_TB_STOP);
    ASSERT_TRUE(dlg->WaitEngineCommands(30000));
    QCoreApplication::processEvents();
    EXPECT_TRUE(WithDialog([](CCubeFormattingDlg& d) { Click(&d, kCancelButton); }, ID_TB_SAVE_CUBE));
}

TEST_F(StorageUi, ACubeStartedBehindTheOpenDialogIsNotSaved) {
    // The continuous-scan timer keeps running while the dialog is up.
    for (int format : {kStandard, kBil, kMovie}) {
        prompts.QueueSavePath(out.File("late"));
        ASSERT_TRUE(WithDialog([&](CCubeFormattingDlg& d) {
            Click(&d, format);
            EngineTestAccess::SetBusy(dlg->Engine(), true);
            Click(&d, kOkButton);
            EngineTestAccess::SetBusy(dlg->Engine(), false);
        }));
    }
    EXPECT_EQ(prompts.Texts(),
              std::vector<std::string>(3, "Camera acquiring data, stop acquisition first !"));
    EXPECT_TRUE(out.Entries().empty());
}

// ---------------------------------------------------------------------------------------------
// Savers

TEST_F(StorageUi, CubeSaversOfferTheAutomaticNameAndAppendCube) {
    FillPattern();
    Save(kBil, out.File("scan1"));
    const std::vector<std::string> offered = prompts.SaveInitialNames();
    ASSERT_EQ(offered.size(), 1u);
    // Prefix "" + integration + scan limits + day-month-year + hour.minute.second, no padding.
    const int integration = int(std::trunc(dlg->CameraSettingsDialog().Values().exposure));
    ASSERT_EQ(dlg->ScanStopLine(), 511);
    const std::regex name(
        "_I" + std::to_string(integration) +
        R"(_L0-511_([1-9]|[12][0-9]|3[01])-([1-9]|1[0-2])-(\d{4})_([1-9]?[0-9])\.([1-5]?[0-9])\.([1-5]?[0-9])\.cube)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(offered[0], m, name)) << offered[0];
    EXPECT_EQ(std::stoi(m[3]), CurrentLocalTime().tm_year + 1900);
    EXPECT_EQ(dlg->CubeFileName(), offered[0]);

    // BIL with "Create Header" ticked (the default): scan1 became scan1.cube, with scan1.hdr (and
    // the line record).
    EXPECT_EQ(out.Entries(), (std::vector<std::string>{"scan1.cube", "scan1.hdr", "scan1.lines.csv"}));
    const auto bil = ReadFileBytes(out.File("scan1.cube"));
    ASSERT_EQ(bil.size(), 92651520u);
    // Line 0 first; line 1 band 2 sample 3 at (1*B*H + 2*H + 3) values: 7 + 6 + 3.
    EXPECT_EQ(U16At(bil, 0), 0);
    EXPECT_EQ(U16At(bil, 2 * (size_t(B) * H + 2 * H + 3)), 16);
    const std::string hdr = ReadText(out.File("scan1.hdr"));
    EXPECT_NE(hdr.find("\nheader offset = 0\n"), std::string::npos);
    EXPECT_NE(hdr.find("\ninterleave =  bil\n"), std::string::npos);

    // A name already ending in ".cube" is kept; without "Create Header" no header is written.
    Save(kBil, out.File("scan2.cube"),
         [](CCubeFormattingDlg& d) { FindControl<QCheckBox>(&d, kCreateHeader)->setChecked(false); });
    EXPECT_EQ(out.Entries(), (std::vector<std::string>{"scan1.cube", "scan1.hdr", "scan1.lines.csv",
                                                       "scan2.cube", "scan2.lines.csv"}));
    EXPECT_EQ(ReadFileBytes(out.File("scan2.cube")), bil);
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(StorageUi, StandardSaveWritesReversedLinesTrailingFramesAndItsHeader) {
    FillPattern();
    Save(kStandard, out.File("std"));
    ASSERT_EQ(out.Entries(), (std::vector<std::string>{"std.cube", "std.hdr", "std.lines.csv"}));
    const auto file = ReadFileBytes(out.File("std.cube"));
    const size_t line = size_t(B) * H * 2;
    ASSERT_EQ(file.size(), 32768 + 698 * line);
    // First line after the header is line 695: value (695*7 + b*3 + p) % 4096.
    EXPECT_EQ(U16At(file, 32768), (695 * 7) % 4096);
    EXPECT_EQ(U16At(file, 32768 + 2 * (5 * H + 9)), (695 * 7 + 15 + 9) % 4096);
    // The last cube line in the file is line 0.
    EXPECT_EQ(U16At(file, 32768 + 695 * line + 2 * (1 * H + 1)), 4);
    // Then one frame of 1000 and the dark frame.
    const size_t frames = 32768 + 696 * line;
    EXPECT_EQ(U16At(file, frames), 1000);
    EXPECT_EQ(U16At(file, frames + line - 2), 1000);
    EXPECT_EQ(U16At(file, frames + line), 4000);
    EXPECT_EQ(U16At(file, frames + line + 2 * (3 * H + 10)), 4000 - 3 - 10);
    EXPECT_EQ(U16At(file, file.size() - 2), 4000 - 127 - 519);

    const std::string expected = std::string("ENVI\n"
                                             "description = {}\n"
                                             "samples = 520\n"
                                             "lines   = 696\n"
                                             "bands   = 128\n"
                                             "header offset = 32768\n"
                                             "major frame offsets = {0, 0}\n"
                                             "file type = ENVI Standard\n"
                                             "data type = 12\n"
                                             "interleave =  bil\n"
                                             "sensor type = Unknown\n"
                                             "byte order = 0\n"
                                             "wavelength units = Unknown\n\n\n"
                                             "wavelength = {\n") +
                                 WavelengthList(dlg->DefCal().coeffs) +
                                 "}\nScanner Limits (pixels) = 0\t511\n";
    EXPECT_EQ(ReadText(out.File("std.hdr")), expected);
    EXPECT_EQ(WavelengthList(dlg->DefCal().coeffs).substr(0, 22), "400.000000, 402.300950");
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(StorageUi, CancelledSaveDialogsWriteNothing) {
    for (int format : {kStandard, kBil, kBsq, kBip, kMovie, kBitmap})
        Save(format, std::nullopt);
    EXPECT_EQ(prompts.SaveInitialNames().size(), 6u);
    EXPECT_TRUE(out.Entries().empty());
    EXPECT_EQ(work.Entries(), std::vector<std::string>{"Settings"});
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(StorageUi, FilesThatCannotBeCreatedSayUnableToSaveCube) {
    const std::string missing = out.File("no-such-folder/x");
    for (int format : {kStandard, kBil, kMovie, kBitmap})
        Save(format, missing);
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>(4, "unable to save cube"));
    EXPECT_TRUE(out.Entries().empty());

    // The body is written but its header cannot be: the header's own message, the cube stays.
    prompts.Clear();
    fs::create_directory(out.File("blocked.hdr"));
    Save(kBil, out.File("blocked"));
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"unable to open  " + out.File("blocked.hdr")});
    EXPECT_EQ(fs::file_size(out.File("blocked.cube")), 92651520u);
}

TEST_F(StorageUi, MovieFollowsTheIntervalNormalisationAndRadCalChoices) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    // Band b holds (b + 1) * (1 + (l + p) % 20): its maximum is 20 * (b + 1).
    AcquisitionEngine& e = dlg->Engine();
    auto value = [](int l, int b, int p) { return (b + 1) * (1 + (l + p) % 20); };
    for (int l = 0; l < W; ++l)
        for (int b = 0; b < B; ++b)
            for (int p = 0; p < H; ++p)
                EngineTestAccess::Cube(e)[size_t(l) * B * H + size_t(b) * H + size_t(p)] =
                    uint16_t(value(l, b, p));
    // "Apply Rad. Cal." halves the maximum of band 3 through its gains; the frames themselves use the
    // values as stored, so band 3 reaches white at half its maximum.
    EngineTestAccess::WithCalibration(e, [](std::vector<uint16_t>&, std::vector<float>& gains) {
        for (int p = 0; p < H; ++p)
            gains[size_t(3) * H + size_t(p)] = 0.5f;
    });
    static_cast<QCheckBox*>(dlg->Control(IDC_APPLY_RADCAL))->setChecked(true);
    Save(kMovie, out.File("perband.avi"),
         [](CCubeFormattingDlg& d) { FindControl<QLineEdit>(&d, kFrameInterval)->setText("40"); });
    const std::string movie = out.File("perband.avi");
    ASSERT_EQ(out.Entries(), (std::vector<std::string>{"perband.avi", "perband.lines.csv"}))
        << "a name ending in .avi is kept";
    const auto probe = RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate "
                                  "-of default=noprint_wrappers=1 '" +
                                  movie + "'");
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(*probe, "r_frame_rate=25/1\n");
    const std::string raw = out.File("frame.raw");
    auto grey = [&](int l, int b, int r, double maximum) {
        return std::min(255, int(std::trunc(double(value(l, b, r)) * (255.0 / maximum))));
    };
    EXPECT_EQ(GreyMismatches(MovieFrame(movie, 0, raw), 300, [&](int l, int r) { return grey(l, 0, r, 20); }),
              0);
    EXPECT_EQ(GreyMismatches(MovieFrame(movie, 3, raw), 300, [&](int l, int r) { return grey(l, 3, r, 40); }),
              0);
    EXPECT_EQ(
        GreyMismatches(MovieFrame(movie, 9, raw), 300, [&](int l, int r) { return grey(l, 9, r, 200); }), 0);

    // Without normalisation one factor serves every band: 255 / the largest value (20 * 128).
    static_cast<QCheckBox*>(dlg->Control(IDC_APPLY_RADCAL))->setChecked(false);
    Save(kMovie, out.File("global"),
         [](CCubeFormattingDlg& d) { FindControl<QCheckBox>(&d, kNormalizePerFrame)->setChecked(false); });
    const std::string global = out.File("global.avi");
    EXPECT_EQ(
        GreyMismatches(MovieFrame(global, 9, raw), 300, [&](int l, int r) { return grey(l, 9, r, 2560); }),
        0);
    EXPECT_TRUE(prompts.Messages().empty());
}

// ---------------------------------------------------------------------------------------------
// A cube acquired on the simulated instrument, saved in every format and opened by other programs

TEST_F(StorageUi, AcquiredCubeSavedInEveryFormatOpensInOtherPrograms) {
    AcquisitionEngine& e = dlg->Engine();
    dlg->OnCommand(ID_ACQ_CUBE);
    ASSERT_TRUE(e.Busy());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !e.Busy(); }, 120000)) << "the scan did not end";
    // The engine thread posts its last status texts to the window; they arrive after the flag.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->StatusText(2) == "Ready"; }, 2000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->StatusText(1).startsWith("frame rate"); }, 2000));

    const std::vector<uint16_t>& cube = e.Cube();
    auto at = [&](int l, int b, int p) { return cube[size_t(l) * B * H + size_t(b) * H + size_t(p)]; };
    long long sum = 0;
    for (uint16_t v : cube)
        sum += v;
    ASSERT_GT(sum, 0) << "the scene left nothing in the cube";
    bool linesDiffer = false;
    for (int b = 0; b < B && !linesDiffer; ++b)
        linesDiffer = at(0, b, 0) != at(W - 1, b, 0);
    ASSERT_TRUE(linesDiffer) << "the first and last lines must differ to show the line order";

    const std::string python = PythonWithGdal();
    std::vector<std::string> waves;
    for (int i = 0; i < B; ++i) {
        const float* c = dlg->DefCal().coeffs;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.6f",
                      double(i) * double(c[1]) + double(c[0]) + double(i * i) * double(c[2]));
        waves.push_back(buf);
    }
    // Summary expected from the readers: the sum, then sample 0 of the file's first and last line.
    auto expectedSummary = [&](bool reversed) {
        std::vector<long long> v{sum};
        for (int line : {reversed ? W - 1 : 0, reversed ? 0 : W - 1})
            for (int b = 0; b < B; ++b)
                v.push_back(at(line, b, 0));
        return v;
    };
    auto checkEnvi = [&](int format, const std::string& name, bool reversed) {
        SCOPED_TRACE(name);
        Save(format, out.File(name));
        const std::string data = out.File(name + ".cube"), header = out.File(name + ".hdr");
        ASSERT_TRUE(FileExists(data));
        ASSERT_TRUE(FileExists(header));
        if (python.empty())
            return;
        const auto views = ReadEnvi(python, header, data);
        ASSERT_EQ(views.size(), 2u);
        for (const ReaderView& v : views) {
            SCOPED_TRACE(v.reader);
            EXPECT_EQ(v.lines, W);
            EXPECT_EQ(v.samples, H);
            EXPECT_EQ(v.bands, B);
            EXPECT_EQ(v.type, "uint16");
            EXPECT_EQ(v.summary, expectedSummary(reversed));
            EXPECT_EQ(v.wavelengths, waves);
        }
        fs::remove(data);
        fs::remove(header);
    };
    checkEnvi(kStandard, "standard", true);
    checkEnvi(kBil, "bil", false);
    checkEnvi(kBsq, "bsq", false);
    checkEnvi(kBip, "bip", false);

    // The movie: 128 frames of 696 x 520 at 1000 / 100 ms = 10 per second, each band scaled to its
    // own maximum.
    Save(kMovie, out.File("movie"));
    const std::string movie = out.File("movie.avi");
    ASSERT_TRUE(FileExists(movie));
    if (HaveFfmpeg()) {
        const auto probe = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                      "stream=codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames "
                                      "-of default=noprint_wrappers=1 '" +
                                      movie + "'");
        ASSERT_TRUE(probe.has_value());
        EXPECT_EQ(*probe, "codec_name=rawvideo\nwidth=696\nheight=520\npix_fmt=bgr24\nr_frame_rate=10/1\n"
                          "nb_read_frames=128\n");
        // Frame 60, top rows (clear of the label): column l, row r show band 60 of line l at
        // sample r, grey = trunc(v * 255 / maximum of band 60).
        const int band = 60;
        uint16_t maximum = 0;
        for (int l = 0; l < W; ++l)
            for (int p = 0; p < H; ++p)
                maximum = std::max(maximum, at(l, band, p));
        ASSERT_GT(maximum, 0);
        EXPECT_EQ(GreyMismatches(MovieFrame(movie, band, out.File("frame.raw")), 200,
                                 [&](int l, int r) {
                                     return int(std::trunc(double(at(l, band, r)) * (255.0 / maximum)));
                                 }),
                  0);
    }
    fs::remove(movie);

    // The bitmap: the picture the window shows (the last band drawn during the scan), under the
    // name as chosen (no extension added).
    Save(kBitmap, out.File("view"));
    const auto bmp = ReadFileBytes(out.File("view"));
    ASSERT_EQ(bmp.size(), 54u + size_t(W) * H * 3);
    EXPECT_EQ(bmp, dlg->Panel().ImageProc().BitmapFileImage());
    ASSERT_NE(std::find_if(bmp.begin() + 54, bmp.end(), [&](uint8_t v) { return v != bmp[54]; }), bmp.end())
        << "the picture of the acquired cube is blank";
    if (!python.empty()) {
        // Pillow's pixel (x, y from the top) is the bitmap's row H-1-y, blue green red.
        std::string expected = "BMP (696, 520) RGB";
        std::string points;
        for (int x : {0, 100, 347, 695})
            for (int y : {0, 260, 519}) {
                const size_t at = 54 + (size_t(H - 1 - y) * W + size_t(x)) * 3;
                expected += " (" + std::to_string(bmp[at + 2]) + ", " + std::to_string(bmp[at + 1]) + ", " +
                            std::to_string(bmp[at]) + ")";
                points += "(" + std::to_string(x) + ", " + std::to_string(y) + "), ";
            }
        const auto shown = RunCommand(
            python + " -c \"from PIL import Image; im = Image.open('" + out.File("view") +
            "'); print(im.format, im.size, im.mode, *[im.getpixel(p) for p in [" + points + "]])\"");
        ASSERT_TRUE(shown.has_value());
        EXPECT_EQ(*shown, expected + "\n");
    }
    EXPECT_TRUE(prompts.Messages().empty()) << prompts.Texts().front();
    if (python.empty() || !HaveFfmpeg())
        GTEST_SKIP()
            << "the files were written but not all readers are installed (python3 with GDAL, ffmpeg)";
}

// ---------------------------------------------------------------------------------------------
// Opening saved cubes again

namespace {
// The cube and the dark frame of the engine, copied.
std::vector<uint16_t> CubeOf(CStrataDlg& d) {
    return d.Engine().Cube();
}
std::vector<uint16_t> DarkOf(CStrataDlg& d) {
    return d.Engine().Calibration().CopyDarkFrame(size_t(B) * H);
}
} // namespace

TEST_F(StorageUi, EachSavedFormatOpensAgainAndSavesTheSameBytes) {
    FillPattern();
    dlg->Engine().Calibration().SetDarkFrameValid(true);
    const std::vector<uint16_t> pattern = CubeOf(*dlg);
    const std::vector<uint16_t> dark = DarkOf(*dlg);
    // One file per layout the program writes (BSQ and BIP through their savers: their buttons are
    // hidden).
    Save(kStandard, out.File("std"));
    Save(kBil, out.File("bil"));
    prompts.QueueSavePath(out.File("bsq"));
    dlg->SaveBsqCube(1);
    prompts.QueueSavePath(out.File("bip"));
    dlg->SaveBipCube(1);
    ASSERT_TRUE(prompts.Texts().empty());

    const std::vector<uint16_t> zeros(pattern.size(), 0);
    struct Case {
        const char* name;
        int button; // 0: the hidden layouts, saved through their savers
        std::function<void(int)> saver;
    };
    const Case cases[] = {{"std", kStandard, {}},
                          {"bil", kBil, {}},
                          {"bsq", 0, [&](int h) { dlg->SaveBsqCube(h); }},
                          {"bip", 0, [&](int h) { dlg->SaveBipCube(h); }}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(dlg->Engine().ReplaceCube(zeros));
        prompts.QueueOpenPath(out.File(std::string(c.name) + ".cube"));
        dlg->OnCommand(ID_FILE_OPEN_CUBE);
        ASSERT_TRUE(prompts.Texts().empty()) << prompts.Texts()[0];
        EXPECT_EQ(dlg->windowTitle().toStdString(), std::string(AppMsg::kTitle) + " - " + c.name + ".cube");
        EXPECT_EQ(dlg->OpenedCubePath(), out.File(std::string(c.name) + ".cube"));
        EXPECT_TRUE(CubeOf(*dlg) == pattern);
        // Saved again in its own format, under another name: the same bytes, header included.
        const std::string again = std::string(c.name) + "_again";
        if (c.button)
            Save(c.button, out.File(again));
        else {
            prompts.QueueSavePath(out.File(again));
            c.saver(1);
        }
        EXPECT_TRUE(ReadFileBytes(out.File(again + ".cube")) ==
                    ReadFileBytes(out.File(std::string(c.name) + ".cube")));
        EXPECT_EQ(ReadText(out.File(again + ".hdr")), ReadText(out.File(std::string(c.name) + ".hdr")));
        // The line record went along with it (this cube was never scanned: a record without rows).
        const std::string record = ReadText(out.File(std::string(c.name) + ".lines.csv"));
        EXPECT_EQ(record,
                  "# ARV300 line record of " + std::string(c.name) +
                      ".cube\n# no cube acquisition was recorded\nline,ms,position,dropped_before,link_up\n");
        EXPECT_EQ(ReadText(out.File(again + ".lines.csv")), record);
    }
    // A file without its record: the new record says where the cube came from.
    fs::remove(out.File("bil.lines.csv"));
    prompts.QueueOpenPath(out.File("bil.cube"));
    dlg->OnCommand(ID_FILE_OPEN_CUBE);
    Save(kBil, out.File("bil_norecord"));
    EXPECT_NE(ReadText(out.File("bil_norecord.lines.csv"))
                  .find("# note: opened from " + out.File("bil.cube") + ", which has no line record\n"),
              std::string::npos);
    // The standard file's trailing dark frame became the dark frame; "Apply Dark" can be ticked.
    EngineTestAccess::WithCalibration(dlg->Engine(), [](std::vector<uint16_t>& dark, std::vector<float>&) {
        std::fill(dark.begin(), dark.end(), uint16_t(0));
    });
    dlg->Engine().Calibration().SetDarkFrameValid(false);
    prompts.QueueOpenPath(out.File("std.cube"));
    dlg->OnCommand(ID_FILE_OPEN_CUBE);
    EXPECT_EQ(DarkOf(*dlg), dark);
    EXPECT_TRUE(dlg->Engine().DarkFrameValid());
    EXPECT_TRUE(FindControl<QCheckBox>(dlg.get(), IDC_APPLY_DARK)->isEnabled());
    // The header's calibration and the integration time of the file describe the cube when it is
    // saved again, whatever this run's settings say.
    dlg->CameraSettingsDialog().Values().exposure = 55.0;
    Save(kStandard, out.File("std_later"));
    EXPECT_TRUE(ReadFileBytes(out.File("std_later.cube")) == ReadFileBytes(out.File("std.cube")));
}

TEST_F(StorageUi, OpenedStandardAcquisitionSavesTheSameBilAsTheAcquisition) {
    AcquisitionEngine& e = dlg->Engine();
    dlg->OnCommand(ID_ACQ_CUBE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !e.Busy(); }, 120000)) << "the scan did not end";
    Save(kStandard, out.File("scan"));
    Save(kBil, out.File("scan_bil"));
    const std::vector<uint16_t> acquired = CubeOf(*dlg);
    ASSERT_TRUE(e.ReplaceCube(std::vector<uint16_t>(acquired.size(), 7)));
    prompts.QueueOpenPath(out.File("scan.cube"));
    dlg->OnCommand(ID_FILE_OPEN_CUBE);
    ASSERT_TRUE(prompts.Texts().empty());
    EXPECT_TRUE(CubeOf(*dlg) == acquired);
    Save(kBil, out.File("reopened_bil"));
    EXPECT_TRUE(ReadFileBytes(out.File("reopened_bil.cube")) == ReadFileBytes(out.File("scan_bil.cube")));
    EXPECT_EQ(ReadText(out.File("reopened_bil.hdr")), ReadText(out.File("scan_bil.hdr")));
    // The scan's line record: 696 rows, scan start 0 + 12 counts per line; it goes with the
    // reopened cube unchanged.
    const std::string record = ReadText(out.File("scan.lines.csv"));
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 11 + 696);
    EXPECT_NE(record.find("\n0,"), std::string::npos);
    EXPECT_NE(record.find(",8340,"), std::string::npos); // line 695
    EXPECT_EQ(record.find(",0\n"), std::string::npos);   // the link was up for every line
    EXPECT_EQ(ReadText(out.File("reopened_bil.lines.csv")), record);

    // The opened cube is shown as during its scan: the colour composite of its bands.
    FindControl<QCheckBox>(dlg.get(), IDC_COLOR)->click();
    const std::vector<uint16_t> redPlane = EngineTestAccess::ColourPlane(e, 0);
    const uint16_t* red = redPlane.data();
    const std::array<int32_t, 3> rgb = dlg->RgbSelections();
    // Plane row r, column l holds line l, band of R, stored position H-1-r.
    EXPECT_EQ(red[size_t(10) * W + 300],
              acquired[size_t(300) * B * H + size_t(rgb[0]) * H + size_t(H - 1 - 10)]);
    FindControl<QCheckBox>(dlg.get(), IDC_COLOR)->click();
    // A new scan replaces it: the title no longer names the file.
    dlg->OnCommand(ID_ACQ_CUBE);
    EXPECT_EQ(dlg->windowTitle().toStdString(), AppMsg::kTitle);
    EXPECT_TRUE(dlg->OpenedCubePath().empty());
    dlg->OnCommand(ID_TB_STOP);
}

TEST_F(StorageUi, FilesThatCannotBeOpenedSayWhyAndLeaveTheCube) {
    FillPattern();
    Save(kStandard, out.File("good"));
    const std::vector<uint16_t> pattern = CubeOf(*dlg);
    auto open = [&](const std::string& path) {
        prompts.Clear();
        prompts.QueueOpenPath(path);
        dlg->OnCommand(ID_FILE_OPEN_CUBE);
        EXPECT_TRUE(CubeOf(*dlg) == pattern) << path;
        EXPECT_EQ(dlg->windowTitle().toStdString(), AppMsg::kTitle);
        const auto texts = prompts.Texts();
        return texts.empty() ? std::string() : texts[0];
    };
    std::vector<uint8_t> bytes = ReadFileBytes(out.File("good.cube"));
    bytes.resize(bytes.size() - 1000);
    WriteFileBytes(out.File("cut.cube"), bytes);
    EXPECT_EQ(open(out.File("cut.cube")),
              "cut.cube is truncated: 92949528 bytes where a cube of 520 samples x 696 "
              "lines x 128 bands in this format has 92950528");
    // A BIL body whose header describes 100 bands of floats.
    WriteFileBytes(out.File("other.cube"), std::vector<uint8_t>(1000, 0));
    const std::string hdr =
        "ENVI\nsamples = 520\nlines = 696\nbands = 100\ndata type = 4\ninterleave = bil\n";
    WriteFileBytes(out.File("other.hdr"), std::vector<uint8_t>(hdr.begin(), hdr.end()));
    EXPECT_EQ(open(out.File("other.cube")),
              "other.hdr describes 520 samples x 696 lines x 100 bands of data type 4 (32-bit float); only "
              "cubes of "
              "520 samples x 696 lines x 128 bands of data type 12 (unsigned 16-bit) can be opened");
    // Cancelled: nothing at all.
    prompts.QueueOpenPath(std::nullopt);
    EXPECT_EQ(open(""), "");
    // Not while the camera acquires.
    EngineTestAccess::SetBusy(dlg->Engine(), true);
    EXPECT_EQ(open(out.File("good.cube")), AppMsg::kSaveBusy);
    EngineTestAccess::SetBusy(dlg->Engine(), false);
}
