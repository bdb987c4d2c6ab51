// The main window's scanner dialogs ("Scanner Settings" and the serial diagnostic dialog).
#include "app/stratadlg.h"

#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QAction>

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
