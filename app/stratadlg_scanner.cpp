// The main window's scanner dialogs ("Scanner Settings" and the serial diagnostic dialog) and the
// scan limits taken from a click on the picture.
#include "app/stratadlg.h"

#include "display/ClientArea.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>

void CStrataDlg::CreateScannerDialogs() {
    m_scannerSettingsDlg = new CScannerSettings(m_scannerSettings, *m_scannerLink, m_prompts, this);
    m_scannerSettingsDlg->saveSettings = [this] { SaveScannerSettings(); };
    // The diagnostic dialog shares the controller's port of the instrument.
    m_serialDlg = new CSerialSettingDlg(m_prompts, m_scannerLink->Port(), this);
    if (auto* serial = findChild<QAction*>("SerialSettingsAction"))
        connect(serial, &QAction::triggered, this, [this] { m_serialDlg->exec(); });
}

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnScannerCommand(int id) {
    if (id != ID_SETTINGS_SCANNER && id != ID_TB_SCANNER_SETTINGS)
        return false;
    // Not while the mirror travels to a start position.
    if (!m_engine->ScannerPositioning())
        m_scannerSettingsDlg->exec();
    return true;
}

void CStrataDlg::OnSetScanLimitClick(QPoint p) {
    // The "Set" buttons take the clicked column, in lines of the chosen cube width, as the start or
    // stop line.
    const int widthMode = m_cameraSettingsDlg->Values().widthMode;
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
