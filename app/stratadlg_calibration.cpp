// The main window's calibration commands: the dark and calibration stacks and their files, the
// radiometric gains, and the spectral calibration run.
#include "app/stratadlg.h"

#include "calibration/AutoCalibrationRun.h"
#include "calibration/CCalibrationDlg2.h"
#include "calibration/CalibrationFiles.h"
#include "calibration/Monochromator.h"
#include "calibration/RadiometricCorrection.h"
#include "calibration/SpectralCalibration.h"
#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "storage/CubeHeader.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <memory>

namespace {
void SetLabel(QWidget* label, const std::string& text) {
    static_cast<QLabel*>(label)->setText(QString::fromStdString(text));
}

// Lets the window repaint (status texts) while a long operation runs on the window thread; the
// operator's clicks wait until it ends.
void ProcessWindowEvents() {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// A device wait of ms milliseconds (scaled like every device wait) during which the window repaints.
void WaitRepainting(double ms) {
    constexpr double kSlice = 20.0;
    for (double waited = 0; waited < ms; waited += kSlice) {
        ArvSleepMs(std::min(kSlice, ms - waited));
        ProcessWindowEvents();
    }
}

std::string Printf(const char* format, int a, int b) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;
} // namespace

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnCalibrationCommand(int id) {
    switch (id) {
    case ID_FILE_SAVE_DARK:
        SaveDarkCube();
        return true;
    case ID_FILE_SAVE_CAL:
        SaveCalibrationCube();
        return true;
    case ID_LOAD_DARK:
        LoadDarkCube();
        return true;
    case ID_LOAD_RADCAL:
        LoadRadCal();
        return true;
    case ID_RESET_RADCAL:
        ResetRadCal();
        return true;
    case ID_COMPUTE_RADCAL:
        ComputeRadCal();
        return true;
    case ID_SPECTRAL_CALIBRATION:
        m_calibrationDlg->exec();
        return true;
    default:
        return false;
    }
}

void CStrataDlg::CreateCalibrationMenu(QMenuBar* bar) {
    if (!m_calibrationDlg) {
        m_calibrationDlg = new CCalibrationDlg2(m_prompts, this);
        m_calibrationDlg->onStartSpectralCal = [this](const std::array<bool, 8>& modes,
                                                      const std::string& prefix) {
            return RunSpectralCalibration(modes, prefix);
        };
        m_calibrationDlg->onStartAutoCal = [this](const std::array<bool, 8>& modes,
                                                  const std::string& prefix) {
            return StartAutoCalibration(modes, prefix);
        };
        m_calibrationDlg->onStopAutoCal = [this] { StopAutoCalibration(); };
        // The run needs the dialog's modes and the camera to itself: closing the dialog ends it
        // after the stack under way (every wait of the run has its time limit).
        connect(m_calibrationDlg, &QDialog::finished, this, [this] {
            if (!AutoCalibrationRunning())
                return;
            StopAutoCalibration();
            while (AutoCalibrationRunning())
                WaitRepainting(20);
        });
    }
    QMenu* calibration = bar->addMenu("&Calibration");
    calibration->setObjectName("CalibrationMenu");
    calibration->addAction(AddCommand(ID_LOAD_DARK, "Load Dark Frame...", calibration));
    calibration->addAction(AddCommand(ID_LOAD_RADCAL, "Load Rad. Cal...", calibration));
    calibration->addAction(AddCommand(ID_RESET_RADCAL, "Reset Rad. Cal.", calibration));
    calibration->addAction(AddCommand(ID_COMPUTE_RADCAL, "Compute Rad. Cal. from Cal Cube...", calibration));
    calibration->addAction(AddCommand(ID_SPECTRAL_CALIBRATION, "Spectral Calibration...", calibration));
    calibration->addSeparator();
    // The serial diagnostic dialog; its handler is connected with the dialog.
    QAction* serial = calibration->addAction("Serial Settings...");
    serial->setObjectName("SerialSettingsAction");

    // The window's calibration controls (hidden, but bound and handled).
    connect(static_cast<QPushButton*>(Control(IDC_LOAD_DARK_FRAME)), &QPushButton::clicked, this,
            [this] { LoadDarkCube(); });
    connect(static_cast<QPushButton*>(Control(IDC_LOAD_RADCAL)), &QPushButton::clicked, this,
            [this] { LoadRadCal(); });
    connect(static_cast<QCheckBox*>(Control(IDC_APPLY_RADCAL)), &QCheckBox::clicked, this,
            [this] { OnApplyRadCal(); });
}

// ---------------------------------------------------------------------------------------------
// Dark and calibration stacks

void CStrataDlg::SaveDarkCube() {
    const std::optional<std::string> path = m_prompts.AskSavePath();
    if (!path)
        return;
    AcquisitionEngine& e = *m_engine;
    const CubeGeometry g = e.Geometry();
    const std::vector<uint16_t> stack = e.CopyStack(AcquisitionEngine::Stack::Dark);
    const CubeHeaderInfo header = StackHeaderInfo(g, m_cameraSettingsDlg->Values().exposure, m_defCal);
    // A file that could not be written whole is reported like one that could not be created.
    if (SaveDarkCubeFile(*path, stack.data(), g, header) != FileResult::Ok) {
        m_prompts.Message(kMsgUnableToSaveDarkFrame);
        return;
    }
    const std::string name = FileNameWithoutFolder(*path);
    m_darkFileName = QString::fromStdString(name);
    SetLabel(Control(IDC_DARK_LABEL), DarkLabelText(name));
    e.Calibration().SetDarkFrameValid(true);
}

void CStrataDlg::SaveCalibrationCube() {
    const std::optional<std::string> path = m_prompts.AskSavePath();
    if (!path)
        return;
    AcquisitionEngine& e = *m_engine;
    const CubeGeometry g = e.Geometry();
    const std::vector<uint16_t> stack = e.CopyStack(AcquisitionEngine::Stack::Calibration);
    const CubeHeaderInfo header = StackHeaderInfo(g, m_cameraSettingsDlg->Values().exposure, m_defCal);
    if (SaveCalibrationCubeFile(*path, stack.data(), g, header) != FileResult::Ok) {
        m_prompts.Message(kMsgUnableToSaveCalibrationCube);
        return;
    }
    m_radCalFileName = QString::fromStdString(FileNameWithoutFolder(*path));
}

void CStrataDlg::SaveAutoCalibrationCube(int k) {
    if (k < 1 || k > SpectralCal::kModes)
        return;
    AcquisitionEngine& e = *m_engine;
    const CubeGeometry g = e.Geometry();
    // Frames of B x W values at a stride of B * W.
    std::vector<uint16_t> stack(size_t(g.darkLines) * size_t(g.bands) * size_t(g.width));
    e.ReadStack(AcquisitionEngine::Stack::Calibration, 0, stack.size(), stack.data());
    const CubeHeaderInfo header = StackHeaderInfo(g, m_cameraSettingsDlg->Values().exposure, m_defCal);
    if (SaveAutoCalibrationCubeFile(m_autoCalFileNames[size_t(k)], stack.data(), g, header) != FileResult::Ok)
        m_prompts.Message(kMsgUnableToSaveAutoCalibrationCube);
}

void CStrataDlg::LoadDarkCube() {
    AcquisitionEngine& e = *m_engine;
    if (e.Busy())
        return;
    const std::optional<std::string> path = m_prompts.AskOpenPath();
    if (!path) {
        SetLabel(Control(IDC_DARK_LABEL), DarkLabelText(m_darkFileName.toStdString()));
        return;
    }
    const CubeGeometry g = e.Geometry();
    std::vector<uint16_t> stack(size_t(g.darkLines) * g.LineValues());
    const DarkCubeLoad load = LoadDarkCubeFile(*path, stack.data(), g);
    if (load.result != FileResult::Ok) {
        // A file that is no dark stack leaves the dark frame, the label and the names as they were.
        m_prompts.Message(load.result == FileResult::Refused ? load.problem : kMsgUnableToOpenDarkFrameFile);
        return;
    }
    // The stack in file order (a short file leaves the rest 0), then its mean.
    e.WriteStack(AcquisitionEngine::Stack::Dark, 0, stack.data(), stack.size());
    const std::string name = FileNameWithoutFolder(*path);
    m_darkFileName = QString::fromStdString(name);
    e.ComputeDarkFrame();
    SetLabel(Control(IDC_DARK_LABEL), DarkLabelText(name));
    e.Calibration().SetDarkFrameValid(true);
    EnableApplyDark();
    // Status pane 3: how much of the stack the file held.
    char text[128];
    std::snprintf(text, sizeof text, "%d of %d dark frames read", load.framesRead, g.darkLines);
    SetStatusText(3, text);
    UpdateImage();
}

// ---------------------------------------------------------------------------------------------
// Radiometric gains

void CStrataDlg::LoadRadCal() {
    AcquisitionEngine& e = *m_engine;
    if (e.Busy())
        return;
    const std::optional<std::string> path = m_prompts.AskOpenPath();
    if (!path) {
        SetLabel(Control(IDC_RADCAL_LABEL), RadCalLabelText(m_radCalFileName.toStdString()));
        return;
    }
    const CubeGeometry g = e.Geometry();
    const RadCalLoad load = e.Calibration().LoadGainsFile(*path, g.LineValues());
    if (load.result != FileResult::Ok) {
        // A file holding values that are no gains is treated like one that cannot be opened: the
        // gains stay as they were, and none count as loaded.
        m_prompts.Message(load.result == FileResult::Refused ? load.problem : kMsgUnableToOpenRadCalFile);
        SetLabel(Control(IDC_RADCAL_LABEL), RadCalLabelText("None"));
        return;
    }
    const std::string name = FileNameWithoutFolder(*path);
    m_radCalFileName = QString::fromStdString(name);
    SetLabel(Control(IDC_RADCAL_LABEL), RadCalLabelText(name));
}

void CStrataDlg::ComputeRadCal() {
    AcquisitionEngine& e = *m_engine;
    if (e.Busy())
        return;
    // The flat field is dark subtracted: without a dark frame the gains would hold the offset.
    if (!e.DarkFrameValid()) {
        m_prompts.Message(RadCalMsg::kNoDarkFrame);
        return;
    }
    const std::optional<std::string> stackPath = m_prompts.AskOpenPath();
    if (!stackPath || stackPath->empty())
        return;
    const CubeGeometry g = e.Geometry();
    const CalStackLoad stack = LoadCalibrationStackFile(*stackPath, g);
    if (stack.result != FileResult::Ok) {
        m_prompts.Message(stack.result == FileResult::Refused
                              ? stack.problem
                              : "Unable to open calibration cube file " + *stackPath);
        return;
    }
    const std::vector<uint16_t> dark = e.Calibration().CopyDarkFrame(g.LineValues());
    const FlatFieldGains gains =
        ComputeFlatFieldGains(stack.stack.data(), stack.frames, dark.data(), g.bands, g.height);
    // The gains file is offered beside the stack, named after it.
    std::string suggested = FileNameWithoutFolder(*stackPath);
    if (const size_t dot = suggested.rfind('.'); dot != std::string::npos && dot > 0)
        suggested.resize(dot);
    const std::optional<std::string> gainsPath = m_prompts.AskSavePath(suggested + ".rad");
    if (!gainsPath || gainsPath->empty())
        return;
    if (SaveRadCalFile(*gainsPath, gains.gains.data(), gains.gains.size()) != FileResult::Ok) {
        m_prompts.Message(RadCalMsg::kUnableToSaveRadCal);
        return;
    }
    // Then loaded as "Load Rad. Cal..." loads a file.
    const RadCalLoad load = e.Calibration().LoadGainsFile(*gainsPath, g.LineValues());
    if (load.result != FileResult::Ok) {
        m_prompts.Message(load.result == FileResult::Refused ? load.problem : kMsgUnableToOpenRadCalFile);
        SetLabel(Control(IDC_RADCAL_LABEL), RadCalLabelText("None"));
        return;
    }
    const std::string name = FileNameWithoutFolder(*gainsPath);
    m_radCalFileName = QString::fromStdString(name);
    SetLabel(Control(IDC_RADCAL_LABEL), RadCalLabelText(name));
    const std::string summary = FlatFieldSummary(FileNameWithoutFolder(*stackPath), gains);
    SetStatusText(3, summary);
    // Pixels without signal get no gain: the operator is told how many.
    if (gains.zeroGains > 0)
        m_prompts.Message(summary);
}

void CStrataDlg::ResetRadCal() {
    m_engine->Calibration().ResetGains(size_t(m_engine->Geometry().bands) * 520u);
}

void CStrataDlg::OnApplyRadCal() {
    auto* box = static_cast<QCheckBox*>(Control(IDC_APPLY_RADCAL));
    if (!m_engine->Calibration().GainsLoaded())
        box->setChecked(false);
    m_applyRadCal = box->isChecked() ? 1 : 0;
    RefreshImage(); // the picture itself does not use the gains
}

// ---------------------------------------------------------------------------------------------
// Automatic calibration run

bool CStrataDlg::StartAutoCalibration(const std::array<bool, 8>& modes, const std::string& prefix) {
    AcquisitionEngine& e = *m_engine;
    if (!m_autoCal || m_exiting || AutoCalibrationRunning() || m_spectralCalRunning)
        return false;
    if (e.Busy()) {
        m_prompts.Message(EngineMsg::kBusyOther);
        return false;
    }
    const int stacks = int(std::count(modes.begin(), modes.end(), true));
    if (stacks == 0) {
        m_prompts.Message(AutoCalMsg::kNoMode);
        return false;
    }
    CCalibrationDlg2& dlg = *m_calibrationDlg;
    SetStatusText(2, AutoCalMsg::kStarting);
    SetStatusText(3, "");
    // The uniform source: the sphere behind the monochromator at zero order, which passes the
    // lamp's white light. The mirror looks at the centre, as for the spectral run.
    if (!MoveMonochromatorTo(dlg.m_monoComPort, 0)) {
        SetStatusText(2, EngineMsg::kReady);
        return false;
    }
    WaitRepainting(1000); // the grating settles
    m_scannerLink->EnableScannerDrive(true);
    m_scannerLink->MoveMirrorAbsolute(m_scannerSettings.GetCenterPosition());
    m_scannerLink->EnableScannerDrive(false);

    const CubeGeometry g = e.Geometry();
    const CubeHeaderInfo header = StackHeaderInfo(g, m_cameraSettingsDlg->Values().exposure, m_defCal);
    AutoCalibrationRun::Setup setup;
    setup.modes = modes;
    setup.prefix = prefix;
    setup.geometry = g;
    // Two frame periods and room for a stream restart, as the spectral run waits.
    setup.frameTimeoutMs = int(2000.0 + 3.0 * 1000.0 / std::max(0.1f, m_camera.m_dataFrameRate));
    AcquisitionEngine* engine = m_engine;
    setup.takeFrame = [engine](std::vector<uint16_t>& frame, int timeoutMs) {
        return engine->TakeFreshFrame(frame, timeoutMs);
    };
    // The stack becomes the program's calibration stack (under the engine's line locks), then its file.
    setup.saveStack = [engine, g, header](int, const std::string& path, const std::vector<uint16_t>& stack) {
        engine->WriteStack(AcquisitionEngine::Stack::Calibration, 0, stack.data(), stack.size());
        return SaveAutoCalibrationCubeFile(path, stack.data(), g, header);
    };
    // The run's thread posts its news to the window thread; they are dropped once the window is gone.
    setup.progress = [this](const AutoCalProgress& p) {
        QMetaObject::invokeMethod(
            this,
            [this, p] {
                const std::string text = AutoCalProgressText(p);
                m_calibrationDlg->ShowAutoCalProgress(text, p.stacksDone * p.frames + p.frame,
                                                      p.stacks * p.frames);
                SetStatusText(2, text);
            },
            Qt::QueuedConnection);
    };
    setup.finished = [this, stacks](const AutoCalResult& r) {
        QMetaObject::invokeMethod(
            this, [this, r, stacks] { OnAutoCalibrationFinished(r, stacks); }, Qt::QueuedConnection);
    };
    if (!m_autoCal->Start(std::move(setup)))
        return false;
    dlg.SetAutoCalRunning(true);
    dlg.ShowAutoCalProgress("Automatic calibration: starting", 0, stacks * g.darkLines);
    return true;
}

void CStrataDlg::StopAutoCalibration() {
    if (!AutoCalibrationRunning())
        return;
    m_autoCal->Stop();
    SetStatusText(2, "Stopping after the stack under way...");
}

void CStrataDlg::OnAutoCalibrationFinished(const AutoCalResult& r, int stacks) {
    // The window may be closing: the run was abandoned then, and there is nothing to report.
    if (!m_autoCal || m_exiting)
        return;
    m_autoCal->Join();
    for (const auto& [k, path] : r.files)
        m_autoCalFileNames[size_t(k)] = path;
    const std::string summary = AutoCalSummary(r, stacks);
    m_calibrationDlg->SetAutoCalRunning(false);
    m_calibrationDlg->ShowAutoCalProgress(summary, int(r.files.size()), stacks);
    SetStatusText(2, EngineMsg::kReady);
    SetStatusText(3, r.files.empty() ? summary : r.files.back().second);
    for (size_t i = 0; i < r.unsaved.size(); ++i)
        m_prompts.Message(kMsgUnableToSaveAutoCalibrationCube);
    if (!r.message.empty())
        m_prompts.Message(r.message);
    else if (!r.stopped && r.unsaved.empty())
        SetStatusText(3, SpectralCalMsg::kEnd);
}

// ---------------------------------------------------------------------------------------------
// Spectral calibration run

bool CStrataDlg::MoveMonochromatorTo(int comPort, int wavelength) {
    if (moveMonochromator) {
        moveMonochromator(comPort, wavelength);
        return true;
    }
    // A port that cannot be reached ends the run ("COMn Offline", "Please Check COM Port
    // Settings"): the frames would otherwise be filed under a wavelength the grating never took.
    return m_instrument->MoveMonochromator(comPort, wavelength);
}

bool CStrataDlg::RunSpectralCalibration(const std::array<bool, 8>& modes, const std::string& prefix) {
    // The run lets the window repaint between frames: a second run cannot start meanwhile.
    if (m_spectralCalRunning)
        return false;
    m_spectralCalRunning = true;
    struct RunningFlag {
        bool& flag;
        ~RunningFlag() { flag = false; }
    } running{m_spectralCalRunning};

    CCalibrationDlg2& dlg = *m_calibrationDlg;
    SetStatusText(2, SpectralCalMsg::kStarting);
    SetStatusText(3, "");
    if (!MoveMonochromatorTo(dlg.m_monoComPort, dlg.m_wavelengthStart))
        return false;
    m_scannerLink->EnableScannerDrive(true);
    m_scannerLink->MoveMirrorAbsolute(m_scannerSettings.GetCenterPosition());
    m_scannerLink->EnableScannerDrive(false);

    for (int k = 1; k <= SpectralCal::kModes; ++k) {
        if (!modes[size_t(k - 1)])
            continue;
        // Mode 1x1 runs only while no acquisition does.
        if (k == 1 && m_engine->Busy())
            continue;
        if (!RunSpectralCalibrationMode(k, prefix))
            return false;
    }
    SetStatusText(3, SpectralCalMsg::kEnd);
    return true;
}

bool CStrataDlg::RunSpectralCalibrationMode(int k, const std::string& prefix) {
    using namespace SpectralCal;
    CCalibrationDlg2& dlg = *m_calibrationDlg;
    AcquisitionEngine& e = *m_engine;
    CameraSettingsValues& cs = m_cameraSettingsDlg->Values();

    const std::string listName = CalFileListName(prefix, k);
    const std::string wavelengthListName = WavelengthListName(prefix, k);
    FilePtr list(std::fopen(listName.c_str(), "wb+"), &std::fclose);
    if (!list) {
        m_prompts.Message(SpectralCalMsg::kListFile);
        return true; // the next mode
    }
    auto writeListHead = [&] {
        std::fprintf(list.get(), "%d %d\n", kListWidth, kListHeight);
        std::fprintf(list.get(), "%s\n", wavelengthListName.c_str());
    };
    writeListHead();
    ApplyCameraSettings();
    WaitRepainting(500);
    if (k == 1)
        writeListHead();
    dlg.DoDataExchange(false);

    const CubeGeometry g = e.Geometry();
    const int B = g.bands, W = g.width, N = g.darkLines;
    const size_t frameValues = size_t(B) * size_t(W);
    std::vector<uint16_t> frame, work(frameValues), slotValues(frameValues);
    const bool reverseColumns = k != 1;

    const long long start = dlg.m_wavelengthStart, end = dlg.m_wavelengthEnd;
    const long long step = std::max(1, dlg.m_wavelengthStep);
    long long lastWavelength = start;
    std::string lastName;
    for (long long L = start; L <= end; L += step) {
        const int wavelength = int(L);
        if (!MoveMonochromatorTo(dlg.m_monoComPort, wavelength))
            return false;
        if (k != 1)
            WaitRepainting(1000); // the grating settles
        int retries = 0;
        int slot = N - 1;
        for (int f = 0; f < N;) {
            if (m_exiting)
                return false;
            // Two frame periods of the current rate, and room for a stream restart.
            const double periodMs = 1000.0 / std::max(0.1f, m_camera.m_dataFrameRate);
            if (!e.TakeFreshFrame(frame, int(2000.0 + 3.0 * periodMs)) ||
                frame.size() < size_t(4 * B) * size_t(W)) {
                if (!m_exiting)
                    m_prompts.Message(SpectralCalMsg::kNoFrame);
                return false;
            }
            BinCalibrationFrame(frame.data(), W, B, work.data());
            const FramePeak peak = FindFramePeak(work.data(), W, B);
            const PeakDecision decision = CheckSpectralPeak(k, peak.value, cs.exposure);
            if (!decision.status.empty())
                SetStatusText(2, decision.status);
            switch (decision.action) {
            case PeakAction::EndLineLow:
                m_prompts.Message(Printf(SpectralCalMsg::kLineLow, peak.value, wavelength));
                return false;
            case PeakAction::EndLineSaturated:
                m_prompts.Message(Printf(SpectralCalMsg::kLineSaturated, peak.value, wavelength));
                return false;
            case PeakAction::EndHighExposure:
                m_prompts.Message(SpectralCalMsg::kHighExposure);
                return false;
            case PeakAction::EndLowExposure:
                m_prompts.Message(SpectralCalMsg::kLowExposure);
                return false;
            case PeakAction::Retry:
                if (++retries > kMaxRetriesPerWavelength) {
                    m_prompts.Message(Printf(SpectralCalMsg::kUnsettled, wavelength, 0));
                    return false;
                }
                // The camera takes the new integration time before the next frame; the wavelength
                // is measured again from its first frame.
                cs.exposure = decision.newExposure;
                m_camera.ConfigureDataCamera(cs);
                m_engine->SetFrameRate(m_camera.m_dataFrameRate);
                f = 0;
                slot = N - 1;
                ProcessWindowEvents();
                continue;
            case PeakAction::Accept:
                break;
            }
            CopyWorkFrameToSlot(work.data(), W, B, reverseColumns, slotValues.data());
            e.WriteStack(AcquisitionEngine::Stack::Calibration, size_t(slot) * frameValues, slotValues.data(),
                         frameValues);
            --slot;
            ++f;
            ProcessWindowEvents();
        }
        lastWavelength = L;
        if (k != 1) {
            const std::string name = CalFileName(prefix, k, wavelength);
            m_autoCalFileNames[size_t(k)] = name;
            std::fprintf(list.get(), "%s\t%d\n", name.c_str(), wavelength);
            std::fflush(list.get());
            SaveAutoCalibrationCube(k);
            lastName = name;
        }
    }
    if (k == 1) {
        // Mode 1x1 keeps the stack of its last wavelength, named after it.
        lastName = CalFileName(prefix, 1, int(lastWavelength));
        m_autoCalFileNames[1] = lastName;
        SaveAutoCalibrationCube(1);
    }
    SetStatusText(3, lastName);
    dlg.DoDataExchange(false);
    return true;
}
