#include "app/stratadlg.h"

#include "app/AboutDlg.h"
#include "core/Sleep.h"
#include "display/ClientArea.h"
#include "display/DisplayMapping.h"
#include "preview/CScrollingPreviewDlg.h"
#include "resources/ControlIds.h"
#include "resources/StringTable.h"
#include "resources/resource.h"
#include "sim/SimScene.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
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
// Controls of the window (dialog 102): id, kind, caption, client rectangle, visible, enabled.

namespace {
enum class Kind { Combo, Check, Button, Label, Edit, HScroll, VScroll, Slider };
struct ControlSpec {
    int id;
    Kind kind;
    const char* caption;
    int x, y, w, h;
    bool visible;
    bool enabled;
};

// The picture spans x 27 ... 722, y 0 ... 519; the plot 785 ... 1035 x 5 ... 235 with its labels
// below (two rows and the title, down to about 282); the display controls stand under the plot, and
// the saturation group under them.
constexpr ControlSpec kControls[] = {
    {IDC_WAVELENGTH_LIST, Kind::Combo, "Wavelength:", 830, 296, 100, 24, true, true},
    {IDC_SUBTRACT_DARK, Kind::Check, "Subtract Dark Frame ", 740, 560, 160, 20, false, false},
    {IDC_LOAD_DARK_FRAME, Kind::Button, "Load Dark Frame", 900, 560, 120, 24, false, false},
    {IDC_DARK_LABEL, Kind::Label, "Dark Frame: None", 740, 590, 300, 20, false, true},
    {IDC_RADCAL_LABEL, Kind::Label, "Rad. Cal.: None", 740, 610, 300, 20, false, true},
    {IDC_X_STATIC, Kind::Label, "X = 0", 740, 456, 70, 20, true, true},
    {IDC_Y_STATIC, Kind::Label, "Y = 0", 815, 456, 70, 20, true, true},
    {IDC_PIXEL_STATIC, Kind::Label, "Pixel = 0", 890, 456, 150, 20, true, true},
    {IDC_RED_EDIT, Kind::Edit, "47", 740, 640, 40, 22, false, false},
    {IDC_GREEN_EDIT, Kind::Edit, "27", 790, 640, 40, 22, false, false},
    {IDC_BLUE_EDIT, Kind::Edit, "58", 840, 640, 40, 22, false, false},
    {IDC_COLOR, Kind::Check, "Color", 950, 298, 80, 20, true, true},
    {IDC_HSCROLL, Kind::HScroll, "", 27, 522, 696, 16, true, true},
    {IDC_VSCROLL, Kind::VScroll, "", 5, 0, 18, 520, true, true},
    {IDC_COLUMNS_EDIT, Kind::Edit, "", 890, 640, 60, 22, false, true},
    {IDC_CUBE_WIDTH, Kind::Combo, "Cube Width", 960, 640, 80, 24, false, false},
    {IDC_APPLY_RADCAL, Kind::Check, "Apply Rad. Cal.", 740, 670, 130, 20, false, false},
    {IDC_LOAD_RADCAL, Kind::Button, "Load Rad. Cal.", 880, 670, 120, 24, false, false},
    {IDC_SCROLL_POS, Kind::Label, "Scroll Pos:", 740, 700, 100, 20, false, true},
    {IDC_ACTIVATE_GRAPH, Kind::Check, "Activate Graph", 850, 700, 120, 20, false, true},
    {IDC_IMAGE_SCALE, Kind::Check, "Image Scale", 740, 368, 110, 20, true, true},
    {IDC_MIN_SLIDER, Kind::Slider, "", 850, 396, 130, 22, true, true},
    {IDC_MAX_SLIDER, Kind::Slider, "", 850, 426, 130, 22, true, true},
    {IDC_MIN_LABEL, Kind::Label, "Min: 0", 740, 397, 80, 20, true, true},
    {IDC_MAX_LABEL, Kind::Label, "Max: 16384", 740, 427, 80, 20, true, true},
    {IDC_MIN_MINUS, Kind::Button, "-", 822, 396, 24, 22, true, true},
    {IDC_MAX_MINUS, Kind::Button, "-", 822, 426, 24, 22, true, true},
    {IDC_MIN_PLUS, Kind::Button, "+", 984, 396, 24, 22, true, true},
    {IDC_MAX_PLUS, Kind::Button, "+", 984, 426, 24, 22, true, true},
    {IDC_MIN_EDIT, Kind::Edit, "0", 1012, 396, 52, 22, true, true},
    {IDC_MAX_EDIT, Kind::Edit, "1", 1012, 426, 52, 22, true, true},
    {IDC_RED_LIST, Kind::Combo, "R", 760, 332, 84, 24, true, false},
    {IDC_GREEN_LIST, Kind::Combo, "G", 868, 332, 84, 24, true, false},
    {IDC_BLUE_LIST, Kind::Combo, "B", 976, 332, 84, 24, true, false},
    {IDC_SET_START, Kind::Check, "Set", 740, 730, 50, 20, false, true},
    {IDC_SHUTTER, Kind::Check, "Shutter", 800, 730, 80, 20, false, true},
    // The saturation group (its frame is drawn behind these, see CreateControls).
    {IDC_CHECK_SATURATION, Kind::Button, "Check Saturation", 746, 500, 130, 24, true, true},
    {IDC_SHOW_SATURATION, Kind::Check, "Show saturation", 892, 502, 160, 20, true, true},
    {IDC_START_SCAN_EDIT, Kind::Edit, "0", 740, 760, 60, 22, false, true},
    {IDC_STOP_SCAN_EDIT, Kind::Edit, "511", 810, 760, 60, 22, false, true},
    {IDC_SET_STOP, Kind::Check, "Set", 880, 760, 50, 20, false, true},
    {IDC_RESET_LIMITS, Kind::Button, "Reset", 940, 760, 60, 24, false, true},
    {IDC_AUTO_CUBE_SAVE, Kind::Check, "Auto Cube Save", 740, 790, 130, 20, false, true},
    {IDC_STATIC_LABEL, Kind::Label, "Static", 880, 790, 60, 20, false, true},
    {IDC_CONTINUOUS_SCAN, Kind::Check, "Continuous Scan", 740, 820, 130, 20, false, true},
    {IDC_START_RANGE_LABEL, Kind::Label, "(0-511)", 880, 820, 60, 20, false, true},
    {IDC_STOP_RANGE_LABEL, Kind::Label, "(0-511)", 950, 820, 60, 20, false, true},
    {IDC_ACTIVATE_LIMITS, Kind::Check, "Activate limits", 740, 850, 130, 20, false, true},
    {IDC_SCANNER_ACCURACY, Kind::Check, "Scanner accuracy", 880, 850, 140, 20, false, true},
    {IDC_SAT_MAX_EDIT, Kind::Edit, "4096", 786, 532, 60, 22, true, true},
    {IDC_SAT_MAX_LABEL, Kind::Label, "0 Pixels", 854, 533, 206, 20, true, true},
    {IDC_SAT_MIN_EDIT, Kind::Edit, "0", 786, 562, 60, 22, true, true},
    {IDC_SAT_MIN_LABEL, Kind::Label, "0 Pixels", 854, 563, 206, 20, true, true},
    {IDC_APPLY_DARK, Kind::Check, "Apply Dark", 870, 368, 110, 20, true, false},
};

// Toolbar icons, drawn here so the window looks the same on every platform.
QIcon MakeIcon(int command) {
    QPixmap pm(24, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    switch (command) {
    case ID_TB_SAVE_CUBE:
        p.setBrush(QColor(70, 110, 180));
        p.drawRect(4, 4, 16, 16);
        p.setBrush(Qt::white);
        p.drawRect(8, 4, 8, 6);
        break;
    case ID_TB_STOP:
        p.setBrush(QColor(200, 40, 40));
        p.drawRect(5, 5, 14, 14);
        break;
    case ID_TB_START_CUBE: {
        p.setBrush(QColor(40, 160, 60));
        const QPointF tri[3] = {{6, 4}, {20, 12}, {6, 20}};
        p.drawPolygon(tri, 3);
        break;
    }
    case ID_TB_COLLECT_DARK:
        p.setBrush(QColor(20, 20, 20));
        p.drawEllipse(4, 4, 16, 16);
        break;
    case ID_TB_COLLECT_CAL:
        p.setBrush(QColor(240, 200, 60));
        p.drawEllipse(4, 4, 16, 16);
        break;
    case ID_TB_SPECTRAL_DISPLAY: {
        QLinearGradient g(3, 0, 21, 0);
        g.setColorAt(0, Qt::blue);
        g.setColorAt(0.5, Qt::green);
        g.setColorAt(1, Qt::red);
        p.setBrush(g);
        p.drawRect(3, 6, 18, 12);
        break;
    }
    case ID_TB_FOCUS_CAMERA:
        p.setBrush(QColor(90, 90, 90));
        p.drawRect(3, 7, 14, 11);
        p.drawRect(17, 9, 4, 7);
        break;
    case ID_TB_CAMERA_SETTINGS:
        p.setBrush(QColor(150, 150, 150));
        p.drawEllipse(5, 5, 14, 14);
        p.setBrush(Qt::white);
        p.drawEllipse(9, 9, 6, 6);
        break;
    case ID_TB_SCANNER_SETTINGS:
        p.setBrush(QColor(120, 160, 200));
        p.drawRect(4, 10, 16, 4);
        p.drawLine(12, 4, 12, 20);
        break;
    }
    return QIcon(pm);
}
} // namespace

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
    // Frame of the saturation group, behind its controls.
    auto* saturation = new QGroupBox("Saturation", m_client);
    saturation->setObjectName("SaturationGroup");
    saturation->setGeometry(736, 480, 330, 116);
    for (const ControlSpec& c : kControls) {
        QWidget* w = nullptr;
        switch (c.kind) {
        case Kind::Combo: {
            auto* combo = new QComboBox(m_client);
            combo->setToolTip(c.caption);
            w = combo;
            // The caption stands as a label before the list.
            auto* label = new QLabel(c.caption, m_client);
            label->setGeometry(c.x - (c.id == IDC_WAVELENGTH_LIST ? 90 : 18), c.y + 3,
                               c.id == IDC_WAVELENGTH_LIST ? 88 : 16, 20);
            label->setVisible(c.visible);
            label->setObjectName(QStringLiteral("caption_%1").arg(c.id));
            break;
        }
        case Kind::Check:
            w = new QCheckBox(c.caption, m_client);
            break;
        case Kind::Button:
            w = new QPushButton(c.caption, m_client);
            break;
        case Kind::Label:
            w = new QLabel(c.caption, m_client);
            break;
        case Kind::Edit:
            w = new QLineEdit(c.caption, m_client);
            break;
        case Kind::HScroll:
            w = new QScrollBar(Qt::Horizontal, m_client);
            break;
        case Kind::VScroll:
            w = new QScrollBar(Qt::Vertical, m_client);
            break;
        case Kind::Slider:
            w = new QSlider(Qt::Horizontal, m_client);
            break;
        }
        SetControlId(w, c.id);
        w->setGeometry(c.x, c.y, c.w, c.h);
        w->setVisible(c.visible);
        w->setEnabled(c.enabled);
        m_controls[c.id] = w;
    }
    // Constructor defaults of the bound values.
    static_cast<QLabel*>(Control(IDC_RADCAL_LABEL))->setText("Rad. Cal.: None");
    auto* slider = static_cast<QSlider*>(Control(IDC_MIN_SLIDER));
    slider->setValue(0);
    slider = static_cast<QSlider*>(Control(IDC_MAX_SLIDER));
    slider->setRange(0, 255);
    slider->setValue(255);
    auto* vbar = static_cast<QScrollBar*>(Control(IDC_VSCROLL));
    vbar->setRange(-38, 512 - 40 + 1);
    vbar->setPageStep(40);
    vbar->setValue(-38);
    static_cast<QCheckBox*>(Control(IDC_ACTIVATE_GRAPH))->setChecked(true);
    // Captions of the saturation limits; the edits take whole numbers only.
    for (auto [id, caption] : {std::pair{IDC_SAT_MAX_EDIT, "Max"}, std::pair{IDC_SAT_MIN_EDIT, "Min"}}) {
        QWidget* edit = Control(id);
        auto* label = new QLabel(caption, m_client);
        label->setGeometry(edit->x() - 38, edit->y() + 1, 34, 20);
        label->setObjectName(QStringLiteral("caption_%1").arg(id));
        static_cast<QLineEdit*>(edit)->setValidator(new QIntValidator(0, 65535, edit));
    }
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
        a->setIcon(MakeIcon(id));
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
    SetCubeWidthChoices();
    // 5. Icons.
    setWindowIcon(MakeIcon(ID_TB_SPECTRAL_DISPLAY));
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
    m_cubeWidthIndex = 0;
    m_cubeWidthMultiplier = 1;
    m_focusPreviewOn = false;
    // 13. Cube formatting columns and rows follow the geometry.
    OnGeometryForFormatting(m_frameWidth, m_frameHeight);
    // 14. Dark frame and radiometric calibration names.
    m_darkFileName = "None";
    m_radCalFileName = "None";
    static_cast<QLabel*>(Control(IDC_DARK_LABEL))
        ->setText(QStringLiteral("%1 %2").arg("Dark Frame:", m_darkFileName));
    // 16. Min and max sliders: range 0 ... 4096, positions 0 and 4096, labels.
    auto* minSlider = static_cast<QSlider*>(Control(IDC_MIN_SLIDER));
    auto* maxSlider = static_cast<QSlider*>(Control(IDC_MAX_SLIDER));
    minSlider->setRange(0, 4096);
    maxSlider->setRange(0, 4096);
    SetSliderFields(false, 0, true);
    SetSliderFields(true, 4096, true);
    // 17. Vertical image scroll bar.
    auto* vbar = static_cast<QScrollBar*>(Control(IDC_VSCROLL));
    vbar->setRange(-38, 512 - 40 + 1);
    vbar->setPageStep(40);
    vbar->setValue(-38);
    // 18.
    m_rgbBandsChanged = false;
    // 15, 19. Image processor, plot and the first picture.
    SetupDisplay();
    // 20. The focus camera's preview window, hidden (app/stratadlg_preview.cpp).
    CreatePreviewWindow();
    ConnectMessageTable();
    ConnectDisplayControls();

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

bool CStrataDlg::eventFilter(QObject* watched, QEvent* event) {
    // The start and stop edits take the line under the last mouse position when they get the focus.
    if (event->type() == QEvent::FocusIn &&
        (watched == Control(IDC_START_SCAN_EDIT) || watched == Control(IDC_STOP_SCAN_EDIT))) {
        auto* edit = static_cast<QLineEdit*>(watched);
        edit->setText(QString::number(511 - m_mousePoint.y()));
        OnScanLimitEdited(watched == Control(IDC_START_SCAN_EDIT) ? IDC_START_SCAN_EDIT : IDC_STOP_SCAN_EDIT);
    }
    return QMainWindow::eventFilter(watched, event);
}

void CStrataDlg::ConnectMessageTable() {
    Control(IDC_START_SCAN_EDIT)->installEventFilter(this);
    Control(IDC_STOP_SCAN_EDIT)->installEventFilter(this);
    connect(static_cast<QCheckBox*>(Control(IDC_CONTINUOUS_SCAN)), &QCheckBox::clicked, this,
            [this] { OnContinuousScanClicked(); });
    connect(&m_continuousTimer, &QTimer::timeout, this, [this] { OnTimer(); });
    connect(static_cast<QComboBox*>(Control(IDC_CUBE_WIDTH)), qOverload<int>(&QComboBox::activated), this,
            [this] { OnCubeWidthChanged(); });
    connect(static_cast<QLineEdit*>(Control(IDC_START_SCAN_EDIT)), &QLineEdit::textEdited, this,
            [this] { OnScanLimitEdited(IDC_START_SCAN_EDIT); });
    connect(static_cast<QLineEdit*>(Control(IDC_STOP_SCAN_EDIT)), &QLineEdit::textEdited, this,
            [this] { OnScanLimitEdited(IDC_STOP_SCAN_EDIT); });
    connect(static_cast<QPushButton*>(Control(IDC_RESET_LIMITS)), &QPushButton::clicked, this,
            [this] { ResetScanLimits(); });
    connect(static_cast<QCheckBox*>(Control(IDC_ACTIVATE_LIMITS)), &QCheckBox::toggled, this,
            [this](bool on) {
                for (int id :
                     {IDC_START_SCAN_EDIT, IDC_STOP_SCAN_EDIT, IDC_SET_START, IDC_SET_STOP, IDC_RESET_LIMITS})
                    Control(id)->setEnabled(on);
            });
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

std::array<int32_t, 3> CStrataDlg::RgbSelections() const {
    std::array<int32_t, 3> sel{};
    const int ids[3] = {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST};
    for (size_t i = 0; i < 3; ++i)
        sel[i] = static_cast<QComboBox*>(Control(ids[i]))->currentIndex();
    return sel;
}

void CStrataDlg::WriteCameraSettings() {
    if (!WriteCameraSettingsFile(kCameraSettingsPath, m_cameraSettingsDlg->Values(), RgbSelections()))
        m_prompts.Message(kMsgCameraSettingsCreate);
}

void CStrataDlg::ApplyCameraSettings() {
    const CameraSettingsValues& cs = m_cameraSettingsDlg->Values();
    m_bands = cs.Bands();
    m_frameWidth = cs.frameWidth;
    m_frameHeight = cs.frameHeight;
    // Buffers are re-sized only when the geometry really changed: an unsaved cube and the dark
    // frame survive a change of integration or gain.
    if (m_engine->AllocateBuffers(CubeGeometry{m_frameWidth, m_frameHeight, m_bands, 25}))
        FillWavelengthLists();
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

void CStrataDlg::SetCubeWidthChoices() {
    auto* list = static_cast<QComboBox*>(Control(IDC_CUBE_WIDTH));
    list->clear();
    list->addItems({"696", "1392"});
    list->setCurrentIndex(0);
    static_cast<QLabel*>(Control(IDC_START_RANGE_LABEL))->setText("0-695");
    static_cast<QLabel*>(Control(IDC_STOP_RANGE_LABEL))->setText("0-695");
    static_cast<QLineEdit*>(Control(IDC_STOP_SCAN_EDIT))->setText("695");
    ResetScanLimits();
}

namespace {
int ScanLimitMax(int cubeWidthIndex) {
    switch (cubeWidthIndex) {
    case 1:
        return 1023;
    case 2:
        return 1535;
    case 3:
        return 2047;
    default:
        return 511;
    }
}
} // namespace

void CStrataDlg::ResetScanLimits() {
    m_scanStartLine = 0;
    m_scanStopLine = ScanLimitMax(m_cubeWidthIndex);
    static_cast<QLineEdit*>(Control(IDC_START_SCAN_EDIT))->setText(QString::number(m_scanStartLine));
    static_cast<QLineEdit*>(Control(IDC_STOP_SCAN_EDIT))->setText(QString::number(m_scanStopLine));
}

void CStrataDlg::OnScanLimitEdited(int id) {
    auto* edit = static_cast<QLineEdit*>(Control(id));
    bool ok = false;
    int v = edit->text().toInt(&ok);
    if (!ok)
        v = 0;
    v = std::clamp(v, 0, ScanLimitMax(m_cubeWidthIndex));
    (id == IDC_START_SCAN_EDIT ? m_scanStartLine : m_scanStopLine) = v;
    if (edit->text() != QString::number(v))
        edit->setText(QString::number(v));
}

void CStrataDlg::EnableScanLimitControls(bool enable) {
    auto apply = [this, enable] {
        const bool on = enable && static_cast<QCheckBox*>(Control(IDC_ACTIVATE_LIMITS))->isChecked();
        for (int id : {IDC_START_SCAN_EDIT, IDC_STOP_SCAN_EDIT, IDC_CUBE_WIDTH})
            Control(id)->setEnabled(on);
    };
    OnWindowThread(apply);
}

void CStrataDlg::OnCubeWidthChanged() {
    // The Cube Width selection sets the declared columns, the cube-width multiplier and the
    // scan-limit range, and resets the scan limits; the acquisition geometry stays.
    m_cubeWidthIndex = static_cast<QComboBox*>(Control(IDC_CUBE_WIDTH))->currentIndex();
    m_cubeWidthMultiplier = m_cubeWidthIndex + 1;
    ResetScanLimits();
    OnGeometryForFormatting(m_frameWidth * m_cubeWidthMultiplier, m_frameHeight);
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
    if (OnDisplayCommand(id) || OnStorageCommand(id) || OnCalibrationCommand(id) || OnPreviewCommand(id) ||
        OnScannerCommand(id))
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
        m_engine->StopAcquisition();
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
    m_engine->AcquisitionCommand(mode);
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
    // An automatic calibration run under way is abandoned (its stack is not saved) before the
    // camera goes.
    m_autoCal.reset();
    // Stop flag, drive off, stream off, threads joined, port released, simulated devices stopped.
    m_instrument->Shutdown();
    return 0;
}
