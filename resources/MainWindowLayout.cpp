// The main window's controls (ids, kinds, captions, places, initial state) and its toolbar icons:
// the window's layout, kept apart from what the window does with them.
#include "resources/MainWindowLayout.h"

#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QVariant>

namespace {
// ---------------------------------------------------------------------------------------------
// Controls of the window (dialog 102): id, kind, caption, client rectangle, visible, enabled.

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
} // namespace

// Toolbar icons, drawn here so the window looks the same on every platform.
QIcon ToolbarIcon(int command) {
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

void CreateMainWindowControls(QWidget* client, std::map<int, QWidget*>& controls) {
    // Frame of the saturation group, behind its controls.
    auto* saturation = new QGroupBox("Saturation", client);
    saturation->setObjectName("SaturationGroup");
    saturation->setGeometry(736, 480, 330, 116);
    for (const ControlSpec& c : kControls) {
        QWidget* w = nullptr;
        switch (c.kind) {
        case Kind::Combo: {
            auto* combo = new QComboBox(client);
            combo->setToolTip(c.caption);
            w = combo;
            // The caption stands as a label before the list.
            auto* label = new QLabel(c.caption, client);
            label->setGeometry(c.x - (c.id == IDC_WAVELENGTH_LIST ? 90 : 18), c.y + 3,
                               c.id == IDC_WAVELENGTH_LIST ? 88 : 16, 20);
            label->setVisible(c.visible);
            label->setObjectName(QStringLiteral("caption_%1").arg(c.id));
            break;
        }
        case Kind::Check:
            w = new QCheckBox(c.caption, client);
            break;
        case Kind::Button:
            w = new QPushButton(c.caption, client);
            break;
        case Kind::Label:
            w = new QLabel(c.caption, client);
            break;
        case Kind::Edit:
            w = new QLineEdit(c.caption, client);
            break;
        case Kind::HScroll:
            w = new QScrollBar(Qt::Horizontal, client);
            break;
        case Kind::VScroll:
            w = new QScrollBar(Qt::Vertical, client);
            break;
        case Kind::Slider:
            w = new QSlider(Qt::Horizontal, client);
            break;
        }
        SetControlId(w, c.id);
        w->setGeometry(c.x, c.y, c.w, c.h);
        w->setVisible(c.visible);
        w->setEnabled(c.enabled);
        controls[c.id] = w;
    }
    // Constructor defaults of the bound values.
    static_cast<QLabel*>(controls.at(IDC_RADCAL_LABEL))->setText("Rad. Cal.: None");
    auto* slider = static_cast<QSlider*>(controls.at(IDC_MIN_SLIDER));
    slider->setValue(0);
    slider = static_cast<QSlider*>(controls.at(IDC_MAX_SLIDER));
    slider->setRange(0, 255);
    slider->setValue(255);
    auto* vbar = static_cast<QScrollBar*>(controls.at(IDC_VSCROLL));
    vbar->setRange(-38, 512 - 40 + 1);
    vbar->setPageStep(40);
    vbar->setValue(-38);
    static_cast<QCheckBox*>(controls.at(IDC_ACTIVATE_GRAPH))->setChecked(true);
    // Captions of the saturation limits; the edits take whole numbers only.
    for (auto [id, caption] : {std::pair{IDC_SAT_MAX_EDIT, "Max"}, std::pair{IDC_SAT_MIN_EDIT, "Min"}}) {
        QWidget* edit = controls.at(id);
        auto* label = new QLabel(caption, client);
        label->setGeometry(edit->x() - 38, edit->y() + 1, 34, 20);
        label->setObjectName(QStringLiteral("caption_%1").arg(id));
        static_cast<QLineEdit*>(edit)->setValidator(new QIntValidator(0, 65535, edit));
    }
}
