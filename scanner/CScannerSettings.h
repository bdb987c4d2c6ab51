#pragma once
// "Scanner Settings" dialog (136): the serial port and baud rate of the mirror's motion controller,
// the mirror positions (scan start, on-centre view, focus view), the step per cube line and a few
// controller parameters. It edits the main window's scanner settings values in place and drives the
// main window's scanner link (reconnect on a port or baud change, drive enable, homing); writing
// the settings file and the scanner delay belong to the main window and are reached through the
// callbacks.
//
// Step Size, Corridor, On-Center and Scan Start Position take their value as they are typed; Focus
// Position and the rest are taken at OK, which also stores the velocity process-wide and writes the
// settings file. Closing the dialog in any other way writes nothing.
#include "core/UserPrompts.h"
#include "scanner/ScannerLink.h"
#include "scanner/ScannerSettings.h"

#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

// Control ids of dialog 136.
namespace ScannerSettingsIds {
inline constexpr int kComPort = 1203;        // combo "Scanner COM Port"
inline constexpr int kBaudRate = 1026;       // combo "Baud rate" (disabled)
inline constexpr int kScanStart = 1235;      // edit "Scan Start Position"
inline constexpr int kCenter = 1202;         // edit "On-Center Position"
inline constexpr int kFocus = 1237;          // edit "Focus Position"
inline constexpr int kStepSize = 1179;       // edit "Step Size"
inline constexpr int kCorridor = 1201;       // edit "Corridor" (hidden)
inline constexpr int kScannerEnabled = 1180; // check "Scanner Enabled" (hidden)
inline constexpr int kCheckPosition = 1204;  // check "Check Scanner Position" (hidden)
inline constexpr int kRelativePos = 1210;    // check "Relative Pos." (hidden, disabled)
inline constexpr int kAbsolutePos = 1211;    // check "Absolute Pos." (hidden)
inline constexpr int kDelay = 1212;          // edit "Delay ms" (hidden, disabled)
inline constexpr int kFindHome = 1024;       // button "Find Home" (hidden)
} // namespace ScannerSettingsIds

// Prompts shown when OK finds a field that does not hold a number.
inline constexpr const char* kEnterInteger = "Please enter an integer.";
inline constexpr const char* kEnterNumber = "Please enter a number.";

class CScannerSettings : public QDialog {
    Q_OBJECT
public:
    // values, link and prompts must outlive the dialog.
    CScannerSettings(ScannerSettingsValues& values, ScannerLink& link, UserPrompts& prompts,
                     QWidget* parent = nullptr);

    // The main window's SaveScannerSettings (it reports a file that cannot be created itself).
    std::function<void()> saveSettings;
    // Sets the main window's m_scannerDelayMs.
    std::function<void(int)> setScannerDelayMs;

    ScannerSettingsValues& Values() { return m_values; }

    // Both show the dialog after OnInitDialog: exec modally, open window-modally (returns at once).
    int exec() override;
    void open() override;
    // Copies the process-wide velocity in, asks the controller for the mirror position once and
    // shows the values.
    void OnInitDialog();
    // save = false: members -> controls (a port or baud string that is not in its list selects
    // nothing). save = true: controls -> members; when a field does not hold a number nothing is
    // taken, the prompt is shown, the field gets the focus and false is returned.
    bool DoDataExchange(bool save);

private:
    void OnPortSelected(int index);
    void OnBaudSelected(int index);
    void OnStepSizeChanged();
    void OnCorridorChanged();
    void OnCenterChanged();
    void OnScanStartChanged();
    void OnDelayChanged();
    void OnScannerEnabledClicked();
    void OnCheckPositionClicked();
    void OnRelativeClicked();
    void OnAbsoluteClicked();
    void OnFindHome();
    void OnOK();

    ScannerSettingsValues& m_values;
    ScannerLink& m_link;
    UserPrompts& m_prompts;

    QComboBox* m_comPort;
    QComboBox* m_baudRate;
    QLineEdit* m_scanStart;
    QLineEdit* m_center;
    QLineEdit* m_focus;
    QLineEdit* m_stepSize;
    QLineEdit* m_corridor;
    QLineEdit* m_delay;
    QCheckBox* m_scannerEnabled;
    QCheckBox* m_checkPosition;
    QCheckBox* m_relativePos;
    QCheckBox* m_absolutePos;
    QPushButton* m_findHome;
    bool m_exchanging = false;
};
