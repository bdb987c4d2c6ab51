#include "app/ScanLimitsPanel.h"

#include "display/ClientArea.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <utility>

namespace {
// The highest line a limit may take for each Cube Width selection.
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

void ScanLimitsPanel::SetCubeWidthChoices() {
    auto* list = static_cast<QComboBox*>(Control(IDC_CUBE_WIDTH));
    list->clear();
    list->addItems({"696", "1392"});
    list->setCurrentIndex(0);
    m_cubeWidthIndex = 0;
    static_cast<QLabel*>(Control(IDC_START_RANGE_LABEL))->setText("0-695");
    static_cast<QLabel*>(Control(IDC_STOP_RANGE_LABEL))->setText("0-695");
    static_cast<QLineEdit*>(Control(IDC_STOP_SCAN_EDIT))->setText("695");
    Reset();
}

void ScanLimitsPanel::ConnectControls() {
    Control(IDC_START_SCAN_EDIT)->installEventFilter(this);
    Control(IDC_STOP_SCAN_EDIT)->installEventFilter(this);
    connect(static_cast<QComboBox*>(Control(IDC_CUBE_WIDTH)), qOverload<int>(&QComboBox::activated), this,
            [this] { OnCubeWidthChanged(); });
    for (int id : {IDC_START_SCAN_EDIT, IDC_STOP_SCAN_EDIT})
        connect(static_cast<QLineEdit*>(Control(id)), &QLineEdit::textEdited, this,
                [this, id] { OnEdited(id); });
    connect(static_cast<QPushButton*>(Control(IDC_RESET_LIMITS)), &QPushButton::clicked, this,
            [this] { Reset(); });
    connect(static_cast<QCheckBox*>(Control(IDC_ACTIVATE_LIMITS)), &QCheckBox::toggled, this,
            [this](bool on) {
                for (int id :
                     {IDC_START_SCAN_EDIT, IDC_STOP_SCAN_EDIT, IDC_SET_START, IDC_SET_STOP, IDC_RESET_LIMITS})
                    Control(id)->setEnabled(on);
            });
}

void ScanLimitsPanel::Reset() {
    m_scanStartLine = 0;
    m_scanStopLine = ScanLimitMax(m_cubeWidthIndex);
    static_cast<QLineEdit*>(Control(IDC_START_SCAN_EDIT))->setText(QString::number(m_scanStartLine));
    static_cast<QLineEdit*>(Control(IDC_STOP_SCAN_EDIT))->setText(QString::number(m_scanStopLine));
}

void ScanLimitsPanel::Enable(bool enable) {
    const bool on = enable && static_cast<QCheckBox*>(Control(IDC_ACTIVATE_LIMITS))->isChecked();
    for (int id : {IDC_START_SCAN_EDIT, IDC_STOP_SCAN_EDIT, IDC_CUBE_WIDTH})
        Control(id)->setEnabled(on);
}

void ScanLimitsPanel::OnSetClick(QPoint p) {
    const int widthMode = m_window.widthMode();
    const int factors[] = {widthMode == 1 ? 1 : 2, 2, 3, 4};
    const int f = factors[std::clamp(m_cubeWidthIndex, 0, 3)];
    const std::pair<int, int> sets[] = {{IDC_SET_START, IDC_START_SCAN_EDIT},
                                        {IDC_SET_STOP, IDC_STOP_SCAN_EDIT}};
    for (auto [button, edit] : sets) {
        auto* set = static_cast<QCheckBox*>(Control(button));
        if (!set->isChecked())
            continue;
        const int line = (p.x() - ClientArea::kPictureX) * f;
        static_cast<QLineEdit*>(Control(edit))->setText(QString::number(line));
        (button == IDC_SET_START ? m_scanStartLine : m_scanStopLine) = line;
        set->setChecked(false);
    }
}

bool ScanLimitsPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn &&
        (watched == Control(IDC_START_SCAN_EDIT) || watched == Control(IDC_STOP_SCAN_EDIT))) {
        auto* edit = static_cast<QLineEdit*>(watched);
        edit->setText(QString::number(511 - m_window.mousePoint().y()));
        OnEdited(watched == Control(IDC_START_SCAN_EDIT) ? IDC_START_SCAN_EDIT : IDC_STOP_SCAN_EDIT);
    }
    return QObject::eventFilter(watched, event);
}

void ScanLimitsPanel::OnEdited(int id) {
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

void ScanLimitsPanel::OnCubeWidthChanged() {
    // The selection sets the declared columns, the cube-width multiplier and the scan-limit range,
    // and resets the limits; the acquisition geometry stays.
    m_cubeWidthIndex = static_cast<QComboBox*>(Control(IDC_CUBE_WIDTH))->currentIndex();
    Reset();
    if (m_window.cubeWidthChanged)
        m_window.cubeWidthChanged(m_cubeWidthIndex + 1);
}
