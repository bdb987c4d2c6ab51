#include "app/stratadlg.h"

#include "app/AboutDlg.h"
#include "core/Sleep.h"
#include "display/ClientArea.h"
#include "display/DisplayMapping.h"
#include "preview/CScrollingPreviewDlg.h"
#include "resources/ControlIds.h"
#include "resources/MainWindowLayout.h"
#include "resources/StringTable.h"
#include "resources/resource.h"
#include "sim/SimScene.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QThread>
#include <QToolBar>
#include <QToolTip>
#include <cstdio>

// ---------------------------------------------------------------------------------------------

CStrataDlg::CStrataDlg(UserPrompts& prompts, StrataOptions options, QWidget* parent)
    : QMainWindow(parent), m_prompts(prompts), m_options(options),
      m_instrument(std::make_unique<Instrument>(prompts, options.devices)),
      m_scannerSettings(m_instrument->ScannerSettings()), m_camera(m_instrument->Cameras()),
      m_scannerLink(&m_instrument->Scanner()), m_engine(&m_instrument->CreateEngine(*this)),
      m_defCal(m_instrument->DefCal()), m_rgbBands(m_instrument->RgbBands()) {
    setWindowTitle(AppMsg::kTitle);
    SetControlId(this, IDD_STRATA_DIALOG);
    m_cameraSettingsDlg = new CCameSettingsDlg(m_instrument->CameraSettings(), this);
    m_cameraSettingsDlg->onApply = [this] { ApplyCameraSettings(); };
    m_cameraSettingsDlg->onMessage = [this](const std::string& text) { m_prompts.Message(text); };
    m_instrument->SetStatusCallback([this](const std::string& text) { SetStatusText(3, text); });
    if (QScreen* screen = QGuiApplication::primaryScreen(); screen && screen->refreshRate() > 1)
        m_engine->SetMinimumRedrawInterval(1000.0 / screen->refreshRate());

    m_client = new ClientArea(this);
    m_client->setFixedSize(1070, 602);
    setCentralWidget(m_client);
    CreateControls();
    m_display = std::make_unique<DisplayPanel>(DisplayPanel::Window{
        *m_engine, *m_client, m_prompts, m_defCal, [this](int id) { return Control(id); },
        [this](int pane, const std::string& text) { SetStatusText(pane, text); }});
    m_scanLimits = std::make_unique<ScanLimitsPanel>(ScanLimitsPanel::Window{
        [this](int id) { return Control(id); }, [this] { return m_display->MousePoint(); },
        [this] { return m_cameraSettingsDlg->Values().widthMode; },
        [this](int multiplier) { OnGeometryForFormatting(m_frameWidth * multiplier, m_frameHeight); }});
    m_display->onLeftButtonDown = [this](QPoint p) { m_scanLimits->OnSetClick(p); };
    m_continuousTimer.setInterval(500);
}

CStrataDlg::~CStrataDlg() {
    ExitApplication();
    // The preview window stops the focus camera when it is destroyed: that happens here, while the
    // instrument (a member, destroyed before the window's children) still has its cameras.
    delete m_previewDlg;
    m_previewDlg = nullptr;
}

void CStrataDlg::CreateControls() {
    CreateMainWindowControls(m_client, m_controls);
}

QWidget* CStrataDlg::Control(int id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QAction* CStrataDlg::MenuAction(int id) const {
    auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

QAction* CStrataDlg::AddCommand(int id, const QString& text, QWidget* owner) {
    auto* a = new QAction(text, owner);
    a->setObjectName(QStringLiteral("ID_%1").arg(id));
    a->setProperty("commandId", id);
    connect(a, &QAction::triggered, this, [this, id] { OnCommand(id); });
    m_actions[id] = a;
    return a;
}

void CStrataDlg::CreateMenuAndToolbar() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("IDR_129");
    QMenu* file = bar->addMenu("&File");
    file->addAction(AddCommand(ID_FILE_OPEN_CUBE, "Open Cube...", file));
    file->addSeparator();
    file->addAction(AddCommand(ID_FILE_SAVE_CUBE, "Save Cube...", file));
    file->addAction(AddCommand(ID_FILE_SAVE_DARK, "Save Dark Frame...", file));
    file->addAction(AddCommand(ID_FILE_SAVE_CAL, "Save Cal Frame...", file));
    file->addSeparator();
    file->addAction(AddCommand(ID_FILE_EXIT, "Exit", file));
    QMenu* settings = bar->addMenu("&Settings");
    settings->addAction(AddCommand(ID_SETTINGS_CAMERA, "Camera Settings", settings));
    settings->addAction(AddCommand(ID_SETTINGS_SCANNER, "Scanner Settings", settings));
    QMenu* acquisition = bar->addMenu("&Acquisition");
    acquisition->addAction(AddCommand(ID_ACQ_CUBE, "Acquire Cube", acquisition));
    acquisition->addAction(AddCommand(ID_ACQ_DARK, "Acquire Dark Frame", acquisition));
    acquisition->addAction(AddCommand(ID_ACQ_CALCUBE, "Acquire Cal Cube", acquisition));
    // Calibration menu (app/stratadlg_calibration.cpp).
    CreateCalibrationMenu(bar);
    if (m_instrument->Devices().dataCameraSimulated) {
        // What the simulated imager looks at, like putting on the lens cap on a real bench. Only
        // simulated cameras see it.
        QMenu* sim = bar->addMenu("Si&mulator");
        sim->setObjectName("SimulatorMenu");
        auto* group = new QActionGroup(sim);
        const std::pair<const char*, SimTarget> targets[] = {{"Scene", SimTarget::Scene},
                                                             {"Lens Cap", SimTarget::LensCap},
                                                             {"Monochromator Sphere", SimTarget::Sphere}};
        for (const auto& [text, target] : targets) {
            QAction* a = sim->addAction(text);
            a->setCheckable(true);
            a->setChecked(SimOptics::Instance().target.load() == target);
            a->setObjectName(QStringLiteral("SimTarget_%1").arg(int(target)));
            group->addAction(a);
            connect(a, &QAction::triggered, this, [t = target] { SimOptics::Instance().target = t; });
        }
    }
    QMenu* help = bar->addMenu("&Help");
    help->addAction(AddCommand(ID_HELP_ABOUT, "About...", help));
    // The system menu's About item (command 16) cannot be added to the window manager's menu.
    help->addAction(AddCommand(IDM_ABOUTBOX, QString::fromStdString(LoadStringText(IDS_ABOUTBOX)), help));

    m_toolBar = new QToolBar("Toolbar", this);
    m_toolBar->setObjectName("IDR_130");
    m_toolBar->setMovable(false);
    m_toolBar->setIconSize(QSize(24, 24));
    const int order[] = {ID_TB_SAVE_CUBE,       0, ID_TB_STOP,
                         ID_TB_START_CUBE,      0, ID_TB_COLLECT_DARK,
                         ID_TB_COLLECT_CAL,     0, ID_TB_SPECTRAL_DISPLAY,
                         ID_TB_FOCUS_CAMERA,    0, ID_TB_CAMERA_SETTINGS,
                         ID_TB_SCANNER_SETTINGS};
    for (int id : order) {
        if (id == 0) {
            m_toolBar->addSeparator();
            continue;
        }
        const QString tip = QString::fromStdString(LoadStringText(id));
        QAction* a = AddCommand(id, tip, m_toolBar);
        a->setIcon(ToolbarIcon(id));
        a->setToolTip(tip);
        m_toolBar->addAction(a);
    }
    addToolBar(Qt::TopToolBarArea, m_toolBar);
}

void CStrataDlg::CreateStatusBar() {
    QStatusBar* sb = statusBar();
    SetControlId(sb, IDC_STATUSBAR);
    sb->setFixedHeight(25);
    sb->setSizeGripEnabled(false);
    for (size_t i = 0; i < m_statusPanes.size(); ++i) {
        m_statusPanes[i] = new QLabel(sb);
        m_statusPanes[i]->setObjectName(QStringLiteral("pane_%1").arg(i + 1));
        m_statusPanes[i]->setFrameStyle(QFrame::Panel | QFrame::Raised);
        sb->addWidget(m_statusPanes[i], 1);
    }
}

QString CStrataDlg::StatusText(int pane) const {
    if (pane < 1 || pane > 4 || !m_statusPanes[size_t(pane - 1)])
        return {};
    return m_statusPanes[size_t(pane - 1)]->text();
}

void CStrataDlg::SetStatusText(int pane, const std::string& text) {
    const QString t = QString::fromStdString(text);
    auto apply = [this, pane, t] {
        if (pane >= 1 && pane <= 4 && m_statusPanes[size_t(pane - 1)])
            m_statusPanes[size_t(pane - 1)]->setText(t);
        emit StatusTextChanged(pane, t);
    };
    OnWindowThread(apply);
}

// ---------------------------------------------------------------------------------------------
// Start-up

int CStrataDlg::OnInitDialog() {
    // 1. Base initialisation; the About item of the system menu is on the Help menu (see
    //    CreateMenuAndToolbar).
    // 2. The image display offsets are zero (the picture always starts at line 0).
    // 3. Settings files; then the devices of the run: the ports map (read once) says which are
    //    real, the simulated ones are attached.
    ReadCameraSettings();
    LoadScannerSettings();
    m_instrument->ChooseDevices();
    // 4. Cube width choices and scan limits.
    m_scanLimits->SetCubeWidthChoices();
    // 5. Icons.
    setWindowIcon(ToolbarIcon(ID_TB_SPECTRAL_DISPLAY));
    // 6. Every run starts at W = 696, H = 520, B = 128 whatever the file says (fixed when the
    //    instrument read the settings).
    const CameraSettingsValues& cs = m_cameraSettingsDlg->Values();
    m_bands = cs.Bands();
    m_frameHeight = cs.frameHeight;
    m_frameWidth = cs.frameWidth;
    // 7. Mirror step per cube line.
    m_engine->SetStepPerLine(m_scannerSettings.m_stepSize);
    // 8. Buffers.
    m_engine->AllocateBuffers(CubeGeometry{m_frameWidth, m_frameHeight, m_bands, 25});
    // 9. Default calibration (2 x 2) and the wavelength lists; cameras offline until opened.
    ReadDefaultCalibration(1);
    m_camera.m_focusCameraOnline = m_camera.m_dataCameraOnline = false;
    m_engine->SetDataCameraOnline(false);
    // 10. Menu, toolbar and status bar.
    CreateMenuAndToolbar();
    CreateStatusBar();
    CreateScannerDialogs();
    // 11. Wavelength lists.
    FillWavelengthLists();
    // 12. State.
    m_engine->ResetForStartUp();
    m_focusPreviewOn = false;
    // 13. Cube formatting columns and rows follow the geometry.
    OnGeometryForFormatting(m_frameWidth, m_frameHeight);
    // 14. Dark frame and radiometric calibration names.
    m_calibrationCommands->ForgetFileNames();
    static_cast<QLabel*>(Control(IDC_DARK_LABEL))
        ->setText(QStringLiteral("%1 %2").arg("Dark Frame:", DarkFileName()));
    // 16. Min and max sliders: range 0 ... 4096, positions 0 and 4096, labels.
    auto* minSlider = static_cast<QSlider*>(Control(IDC_MIN_SLIDER));
    auto* maxSlider = static_cast<QSlider*>(Control(IDC_MAX_SLIDER));
    minSlider->setRange(0, 4096);
    maxSlider->setRange(0, 4096);
    m_display->SetSliderFields(false, 0, true);
    m_display->SetSliderFields(true, 4096, true);
    // 17. Vertical image scroll bar.
    auto* vbar = static_cast<QScrollBar*>(Control(IDC_VSCROLL));
    vbar->setRange(-38, 512 - 40 + 1);
    vbar->setPageStep(40);
    vbar->setValue(-38);
    // 18.
    m_rgbBandsChanged = false;
    // 15, 19. Image processor, plot and the first picture.
    m_display->Setup();
    // 20. The focus camera's preview window, hidden (app/stratadlg_preview.cpp).
    CreatePreviewWindow();
    ConnectMessageTable();
    m_display->ConnectControls();

    // 21. Cameras: without a data camera the closing message, and the process ends with -1. The
    //     engine receives the data camera's frames from here on.
    if (!m_instrument->OpenCameras())
        return -1;
    // 22. Configure the cameras; the data camera's stream starts here.
    ConfigureFocusPreview(); // focus camera and preview window (app/stratadlg_preview.cpp)
    // 23, 24. Scanner link (step per line from the scanner settings).
    if (!m_instrument->ConnectScanner() && m_prompts.Interactive())
        OnCommand(ID_SETTINGS_SCANNER);
    // 25. Drive on when connected (off otherwise), and the mirror to its focus position.
    m_instrument->EnableDrive(true);
    // 26. Colour lists stay disabled until "Color" is ticked.
    for (int id : {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST})
        Control(id)->setEnabled(false);
    // 27. Pane 4 says which devices are simulated.
    SetStatusText(2, EngineMsg::kReady);
    SetStatusText(4, m_instrument->SimulatedDevicesText());
    m_camera.m_streaming = m_camera.m_streaming.load(); // the stream runs from step 22 on
    // 28. The focus camera on/off action, once.
    OnCommand(ID_TB_FOCUS_CAMERA);
    emit ReadyReached();
    return 0;
}

void CStrataDlg::ConnectMessageTable() {
    m_scanLimits->ConnectControls();
    connect(static_cast<QCheckBox*>(Control(IDC_CONTINUOUS_SCAN)), &QCheckBox::clicked, this,
            [this] { OnContinuousScanClicked(); });
    connect(&m_continuousTimer, &QTimer::timeout, this, [this] { OnTimer(); });
    for (int id : {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST})
        connect(static_cast<QComboBox*>(Control(id)), qOverload<int>(&QComboBox::activated), this,
                [this] { m_rgbBandsChanged = true; });
    connect(static_cast<QCheckBox*>(Control(IDC_COLOR)), &QCheckBox::toggled, this, [this](bool on) {
        for (int id :
             {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST, IDC_RED_EDIT, IDC_GREEN_EDIT, IDC_BLUE_EDIT})
            Control(id)->setEnabled(on);
    });
}

// ---------------------------------------------------------------------------------------------
// Settings

void CStrataDlg::ReadCameraSettings() {
    // Camera and scanner settings are read together by the instrument, in this order.
    m_instrument->ReadSettings();
}

void CStrataDlg::WriteCameraSettings() {
    if (!WriteCameraSettingsFile(kCameraSettingsPath, m_cameraSettingsDlg->Values(), RgbSelections()))
        m_prompts.Message(kMsgCameraSettingsCreate);
}

void CStrataDlg::ApplyCameraGeometry() {
    const CameraSettingsValues& cs = m_cameraSettingsDlg->Values();
    m_bands = cs.Bands();
    m_frameWidth = cs.frameWidth;
    m_frameHeight = cs.frameHeight;
    // Buffers are re-sized only when the geometry really changed: an unsaved cube and the dark
    // frame survive a change of integration or gain.
    if (m_engine->AllocateBuffers(CubeGeometry{m_frameWidth, m_frameHeight, m_bands, 25}))
        FillWavelengthLists();
}

void CStrataDlg::ApplyCameraSettings() {
    ApplyCameraGeometry();
    m_camera.ConfigureDataCamera(m_cameraSettingsDlg->Values());
    m_engine->SetFrameRate(m_camera.m_dataFrameRate);
    WriteCameraSettings();
}

void CStrataDlg::LoadScannerSettings() {
    // Read with the camera settings (ReadCameraSettings).
}

void CStrataDlg::SaveScannerSettings() {
    std::string message;
    if (!::SaveScannerSettings(kScannerSettingsFile, m_scannerSettings, &message))
        m_prompts.Message(message);
}

void CStrataDlg::ReadDefaultCalibration(int binning) {
    m_instrument->ReadDefaultCalibration(binning);
    if (m_statusPanes[0]) // the lists exist once the window is built
        FillWavelengthLists();
}

void CStrataDlg::FillWavelengthLists() {
    auto* wave = static_cast<QComboBox*>(Control(IDC_WAVELENGTH_LIST));
    QComboBox* rgb[3] = {static_cast<QComboBox*>(Control(IDC_RED_LIST)),
                         static_cast<QComboBox*>(Control(IDC_GREEN_LIST)),
                         static_cast<QComboBox*>(Control(IDC_BLUE_LIST))};
    wave->clear();
    for (QComboBox* c : rgb)
        c->clear();
    m_wavelengths.assign(size_t(m_bands), 0.0f);
    for (int i = 0; i < m_bands; ++i)
        m_wavelengths[size_t(i)] = BandListWavelength(m_defCal.coeffs, i);
    QStringList entries;
    for (const std::string& text : BandListTexts(m_defCal.coeffs, m_bands))
        entries << QString::fromStdString(text);
    wave->addItems(entries);
    for (QComboBox* c : rgb)
        c->addItems(entries);
    wave->setCurrentIndex(m_bands / 3);
    for (size_t i = 0; i < 3; ++i)
        rgb[i]->setCurrentIndex(m_rgbBands[i] < m_bands ? m_rgbBands[i] : -1);
}

void CStrataDlg::EnableScanLimitControls(bool enable) {
    OnWindowThread([this, enable] { m_scanLimits->Enable(enable); });
}

// ---------------------------------------------------------------------------------------------
// Engine host

void CStrataDlg::EnableApplyDark() {
    OnWindowThread([this] { Control(IDC_APPLY_DARK)->setEnabled(true); });
}

bool CStrataDlg::EnsureStreaming() {
    return m_camera.StartDataStream();
}

void CStrataDlg::PostStackSave(bool dark) {
    // The save dialog belongs to the window thread; the camera thread does not wait for it.
    PostToWindow([this, dark] {
        if (m_exiting)
            return;
        if (dark)
            SaveDarkCube();
        else
            SaveCalibrationCube();
    });
}

void CStrataDlg::PostMessage(const std::string& text) {
    // Called off the window thread (the frame watchdog): the message box is shown by the window
    // thread, and the caller does not wait for it.
    PostToWindow([this, text] {
        if (!m_exiting)
            m_prompts.Message(text);
    });
}

void CStrataDlg::AcquisitionEnded() {
    // Pane 4 counted clipped values during the acquisition; it names the simulated devices again.
    PostToWindow([this] {
        EnableScanLimitControls(true);
        SetStatusText(4, m_instrument->SimulatedDevicesText());
    });
}

// ---------------------------------------------------------------------------------------------
// Commands

void CStrataDlg::OnCommand(int id) {
    // Each subsystem handles its own commands first.
    if (OnStorageCommand(id) || OnCalibrationCommand(id) || OnPreviewCommand(id) || OnScannerCommand(id))
        return;
    switch (id) {
    case ID_FILE_EXIT:
    case ID_FILE_EXIT2:
        close();
        break;
    case ID_SETTINGS_CAMERA:
    case ID_TB_CAMERA_SETTINGS:
        m_cameraSettingsDlg->exec();
        break;
    case ID_ACQ_CUBE:
    case ID_TB_START_CUBE:
        RunAcquisitionCommand(AcquisitionEngine::Mode::Cube);
        break;
    case ID_ACQ_DARK:
    case ID_TB_COLLECT_DARK:
        RunAcquisitionCommand(AcquisitionEngine::Mode::Dark);
        break;
    case ID_ACQ_CALCUBE:
    case ID_TB_COLLECT_CAL:
        RunAcquisitionCommand(AcquisitionEngine::Mode::Calibration);
        break;
    case ID_TB_SPECTRAL_DISPLAY:
        RunAcquisitionCommand(AcquisitionEngine::Mode::SpectralDisplay);
        break;
    case ID_TB_STOP:
        StopAcquisition();
        break;
    case ID_HELP_ABOUT:
    case IDM_ABOUTBOX:
        OnAbout();
        break;
    default:
        break;
    }
}

void CStrataDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CStrataDlg::OnContinuousScanClicked() {
    if (static_cast<QCheckBox*>(Control(IDC_CONTINUOUS_SCAN))->isChecked())
        m_continuousTimer.start();
}

void CStrataDlg::OnTimer() {
    // While "Continuous Scan" is ticked, a cube acquisition starts whenever none runs; unticking
    // stops the timer and lets the current cube finish.
    if (!static_cast<QCheckBox*>(Control(IDC_CONTINUOUS_SCAN))->isChecked()) {
        m_continuousTimer.stop();
        return;
    }
    if (!m_engine->Busy())
        RunAcquisitionCommand(AcquisitionEngine::Mode::Cube);
}

void CStrataDlg::RunAcquisitionCommand(AcquisitionEngine::Mode mode) {
    // A cube acquisition replaces a cube opened from a file (dark and calibration stacks and the
    // live display leave the cube alone).
    if (mode == AcquisitionEngine::Mode::Cube && !m_engine->Busy() && m_engine->DataCameraOnline())
        ForgetOpenedCube();
    // The engine moves the mirror itself: a travel to the focus position ends first.
    EndFocusTravel();
    // The checks, messages and buffers here; the mirror's travel to the start on the command worker.
    if (m_engine->BeginAcquisition(mode))
        m_engineCommands.Post([engine = m_engine] { engine->TravelAndStart(); });
}

void CStrataDlg::StopAcquisition() {
    // A travel to the scan's start ends at once; the return to the start, after the commands before.
    m_engine->AbortStart();
    m_engineCommands.Post([engine = m_engine] { engine->StopAcquisition(); });
}

// ---------------------------------------------------------------------------------------------
// Closing

void CStrataDlg::closeEvent(QCloseEvent* e) {
    if (m_rgbBandsChanged)
        WriteCameraSettings();
    ExitApplication();
    e->accept();
    QApplication::exit(0);
}

int CStrataDlg::ExitApplication() {
    if (m_exiting)
        return 0;
    m_exiting = true;
    m_continuousTimer.stop();
    m_closing = true;
    m_display->Close();
    // A calibration run under way is abandoned (its stack is not saved) before the camera goes,
    // and a travel to the focus position before the port closes.
    EndFocusTravel();
    m_engine->AbortTravels();
    m_engineCommands.Close();
    m_spectralCal.reset();
    m_autoCal.reset();
    // Stop flag, drive off, stream off, threads joined, port released, simulated devices stopped.
    m_instrument->Shutdown();
    return 0;
}
