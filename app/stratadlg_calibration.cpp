// The main window's calibration commands: the dark and calibration stacks and their files, the
// radiometric gains, and the spectral calibration run.
#include "app/stratadlg.h"

#include "calibration/AutoCalibrationRun.h"
#include "calibration/CCalibrationDlg2.h"
#include "calibration/CalibrationCommands.h"
#include "calibration/CalibrationFiles.h"
#include "calibration/Monochromator.h"
#include "calibration/SpectralCalibration.h"
#include "calibration/SpectralCalibrationRun.h"
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
#include <memory>

namespace {
void SetLabel(QWidget* label, const std::string& text) {
    static_cast<QLabel*>(label)->setText(QString::fromStdString(text));
}

// A device wait of ms milliseconds (scaled like every device wait) during which the window repaints;
// the operator's clicks wait until it ends.
void WaitRepainting(double ms) {
    constexpr double kSlice = 20.0;
    for (double waited = 0; waited < ms; waited += kSlice) {
        ArvSleepMs(std::min(kSlice, ms - waited));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}
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
        m_calibrationCommands->ResetRadCal();
        return true;
    case ID_COMPUTE_RADCAL:
        m_calibrationCommands->ComputeRadCal();
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
            return StartSpectralCalibration(modes, prefix);
        };
        m_calibrationDlg->onStartAutoCal = [this](const std::array<bool, 8>& modes,
                                                  const std::string& prefix) {
            return StartAutoCalibration(modes, prefix);
        };
        m_calibrationDlg->onStopAutoCal = [this] { StopAutoCalibration(); };
        m_calibrationDlg->onStopSpectralCal = [this] { StopSpectralCalibration(); };
        // The runs need the dialog's modes and the camera to themselves: closing the dialog ends the
        // spectral run at its next frame or wait, and the automatic run after the stack under way
        // (every wait of either run has its time limit).
        connect(m_calibrationDlg, &QDialog::finished, this, [this] {
            StopSpectralCalibration();
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
// Dark and calibration stacks, radiometric gains

std::unique_ptr<CalibrationCommands> CStrataDlg::MakeCalibrationCommands() {
    CalibrationCommands::Display display;
    display.darkLabel = [this](const std::string& text) { SetLabel(Control(IDC_DARK_LABEL), text); };
    display.radCalLabel = [this](const std::string& text) { SetLabel(Control(IDC_RADCAL_LABEL), text); };
    display.status = [this](const std::string& text) { SetStatusText(3, text); };
    display.enableApplyDark = [this] { EnableApplyDark(); };
    display.repaint = [this] { UpdateImage(); };
    return std::make_unique<CalibrationCommands>(*m_engine, m_prompts, m_defCal, std::move(display));
}

void CStrataDlg::OnApplyRadCal() {
    auto* box = static_cast<QCheckBox*>(Control(IDC_APPLY_RADCAL));
    if (!m_engine->Calibration().GainsLoaded())
        box->setChecked(false);
    m_applyRadCal = box->isChecked() ? 1 : 0;
    m_display->RefreshImage(); // the picture itself does not use the gains
}

// ---------------------------------------------------------------------------------------------
// Automatic calibration run

bool CStrataDlg::StartAutoCalibration(const std::array<bool, 8>& modes, const std::string& prefix) {
    AcquisitionEngine& e = *m_engine;
    if (!m_autoCal || m_exiting || AutoCalibrationRunning() || SpectralCalibrationRunning())
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
    EndFocusTravel();
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

bool CStrataDlg::StartSpectralCalibration(const std::array<bool, 8>& modes, const std::string& prefix) {
    // One run of either kind at a time; none while the window closes.
    if (m_spectralCalRunning || m_exiting || AutoCalibrationRunning())
        return false;
    CCalibrationDlg2& dlg = *m_calibrationDlg;
    // The run moves the mirror to the centre: a travel to the focus position ends first.
    EndFocusTravel();
    // The buffers follow the camera settings before the run fills the calibration stack.
    if (std::count(modes.begin(), modes.end(), true) > 0)
        ApplyCameraGeometry();

    SpectralCalibrationRun::Setup setup;
    setup.modes = modes;
    setup.prefix = prefix;
    setup.comPort = dlg.m_monoComPort;
    setup.wavelengthStart = dlg.m_wavelengthStart;
    setup.wavelengthEnd = dlg.m_wavelengthEnd;
    setup.wavelengthStep = dlg.m_wavelengthStep;
    const CubeGeometry g = m_engine->Geometry();
    setup.geometry = g;
    // The run configures the camera with the settings of the dialog, its integration time as the
    // run changes it; the settings dialog and the settings file follow on the window thread.
    auto settings = std::make_shared<CameraSettingsValues>(m_cameraSettingsDlg->Values());
    setup.exposure = settings->exposure;
    setup.frameRate = m_camera.m_dataFrameRate;
    AcquisitionEngine* engine = m_engine;
    DataCameraControl* camera = &m_camera;
    auto configure = [engine, camera, settings] {
        camera->ConfigureDataCamera(*settings);
        engine->SetFrameRate(camera->m_dataFrameRate);
        return double(camera->m_dataFrameRate);
    };
    setup.applyCameraSettings = [this, configure] {
        const double rate = configure();
        PostToWindow([this] { WriteCameraSettings(); });
        return rate;
    };
    setup.setExposure = [this, configure, settings](double exposure) {
        settings->exposure = exposure;
        const double rate = configure();
        PostToWindow([this, exposure] { m_cameraSettingsDlg->Values().exposure = exposure; });
        return rate;
    };
    setup.moveMonochromator = [this](int comPort, int wavelength) {
        return MoveMonochromatorTo(comPort, wavelength);
    };
    ScannerLink* scanner = m_scannerLink;
    const int32_t centre = m_scannerSettings.GetCenterPosition();
    setup.moveMirrorToCentre = [scanner, centre] {
        scanner->EnableScannerDrive(true);
        scanner->MoveMirrorAbsolute(centre);
        scanner->EnableScannerDrive(false);
    };
    setup.acquiring = [engine] { return engine->Busy(); };
    setup.takeFrame = [engine](std::vector<uint16_t>& frame, int timeoutMs) {
        return engine->TakeFreshFrame(frame, timeoutMs);
    };
    setup.writeStack = [engine](size_t offset, const uint16_t* values, size_t count) {
        engine->WriteStack(AcquisitionEngine::Stack::Calibration, offset, values, count);
    };
    // The stack of frames of B x W values at a stride of B * W, as the engine holds it.
    setup.saveStack = [engine, g, defCal = m_defCal](int, const std::string& path, double exposure) {
        std::vector<uint16_t> stack(size_t(g.darkLines) * size_t(g.bands) * size_t(g.width));
        engine->ReadStack(AcquisitionEngine::Stack::Calibration, 0, stack.size(), stack.data());
        return SaveAutoCalibrationCubeFile(path, stack.data(), g, StackHeaderInfo(g, exposure, defCal));
    };
    // The run's news go to the window thread in the order they came; messages are dropped once the
    // window closes.
    setup.fileNamed = [this](int k, const std::string& name) {
        PostToWindow([this, k, name] { m_autoCalFileNames[size_t(k)] = name; });
    };
    setup.message = [this](const std::string& text) {
        PostToWindow([this, text] {
            if (!m_exiting)
                m_prompts.Message(text);
        });
    };
    setup.status = [this](int pane, const std::string& text) { SetStatusText(pane, text); };
    setup.progress = [this](const SpectralCalProgress& p) {
        PostToWindow([this, p] {
            m_calibrationDlg->ShowAutoCalProgress(SpectralCalProgressText(p),
                                                  p.wavelengths * p.frames + p.frame, p.steps * p.frames);
        });
    };
    setup.finished = [this](const SpectralCalResult& r) {
        PostToWindow([this, r] { OnSpectralCalibrationFinished(r); });
    };
    if (!m_spectralCal->Start(std::move(setup)))
        return false;
    m_spectralCalRunning = true;
    m_spectralCalCompleted = false;
    dlg.SetSpectralCalRunning(true);
    return true;
}

void CStrataDlg::StopSpectralCalibration() {
    if (!m_spectralCal)
        return;
    // The run ends at its next frame or wait, each of which has its time limit.
    m_spectralCal->Stop();
    m_spectralCal->Join();
}

void CStrataDlg::OnSpectralCalibrationFinished(const SpectralCalResult& r) {
    if (!m_spectralCal)
        return;
    m_spectralCal->Join();
    m_spectralCalRunning = false;
    m_spectralCalCompleted = r.completed;
    if (m_exiting)
        return;
    m_calibrationDlg->SetSpectralCalRunning(false);
    m_calibrationDlg->DoDataExchange(false);
}
