#pragma once
// "Camera Settings" dialog (167): integration time and gain of the data camera. Edits the camera
// settings values of the instrument.
#include "camera/CameraSettings.h"

#include <QDialog>
#include <functional>
#include <string>

class QLineEdit;

class CCameSettingsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCameSettingsDlg(CameraSettingsValues& values, QWidget* parent = nullptr);

    CameraSettingsValues& Values() { return m_values; }
    const CameraSettingsValues& Values() const { return m_values; }
    // Called by OK before the dialog closes (the main window's ApplyCameraSettings).
    std::function<void()> onApply;
    // Shows a message (the main window's message box); OK uses it for a value outside its range.
    std::function<void(const std::string&)> onMessage;

    // Moves values between the edits and the members (save = true: edits -> members).
    void DoDataExchange(bool save);
    int exec() override;

private:
    void OnEditChanged();
    void OnOK();

    CameraSettingsValues& m_values;
    QLineEdit* m_integration;
    QLineEdit* m_gain;
    QLineEdit* m_integration2;
    QLineEdit* m_gain2;
    bool m_exchanging = false;
};
