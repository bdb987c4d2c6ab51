#pragma once
// The main window "ARV300 Data Acquisition Software": owns the cameras, the acquisition engine, the
// scanner link, every buffer and every secondary dialog. A thin shell: command handlers call the
// Qt-free operations of the objects it owns.
#include "app/CCameSettingsDlg.h"
#include "calibration/DefaultCalibration.h"
#include "camera/AcquisitionEngine.h"
#include "camera/DataCameraControl.h"
#include "camera/ScannerMirrorLink.h"
#include "core/UserPrompts.h"
#include "scanner/ScannerLink.h"
#include "scanner/ScannerSettings.h"

#include <QMainWindow>
#include <QTimer>
#include <array>
#include <map>
#include <memory>

class QAction;
class QComboBox;
class QLabel;
class QToolBar;
class ClientArea;

namespace AppMsg {
inline constexpr const char* kTitle = "ARV300 Data Acquisition Software";
inline constexpr const char* kNoCamera = "Please Check Camera Connection and Power - Application Closing";
inline constexpr const char* kNoCameraCaption = "Camera Not Connected";
inline constexpr const char* kComPort = "Please Check COM Port Settings";
inline constexpr const char* kComPortCaption = "Scanner Communication Problem";
inline constexpr const char* kStatusBar = "Status Bar not created!";
inline constexpr const char* kStopStream = "Could not stop camera sreaming";
inline constexpr const char* kSaveBusy = "Camera acquiring data, stop acquisition first !";
} // namespace AppMsg

struct StrataOptions {
    bool simulate = true;
    bool quitWhenReady = false;
};

class CStrataDlg : public QMainWindow, public EngineHost {
    Q_OBJECT
public:
    CStrataDlg(UserPrompts& prompts, StrataOptions options, QWidget* parent = nullptr);
    ~CStrataDlg() override;

    // Brings the instrument up; returns -1 when there is no data camera (the window must then end
    // the process with that code), otherwise 0.
    int OnInitDialog();
    // Stops every thread and the stream, disables the drive; returns the exit code (0). Safe to call
    // more than once.
    int ExitApplication();
    bool Exiting() const { return m_exiting; }

    // Settings.
    void ReadCameraSettings();
    void WriteCameraSettings();
    void ApplyCameraSettings();
    void LoadScannerSettings();
    void SaveScannerSettings();
    void ReadDefaultCalibration(int binning);
    void FillWavelengthLists();
    void SetCubeWidthChoices();
    void ResetScanLimits();
    void EnableScanLimitControls(bool enable) override;

    // EngineHost.
    void SetStatusText(int pane, const std::string& text) override;
    void ShowMessage(const std::string& text) override { m_prompts.Message(text); }
    bool StopFocusPreviewIfRunning() override;
    void EnableApplyDark() override;
    bool EnsureStreaming() override;
    void UpdateImage() override;
    void PostStackSave(bool dark) override;
    void AcquisitionEnded() override;

    // Commands.
    void OnCommand(int id);
    void OnSaveCube();
    void OnAbout();

    // ---- Display (app/stratadlg_display.cpp) ----
    bool OnDisplayCommand(int id);

    // ---- Cube storage (app/stratadlg_storage.cpp) ----
    bool OnStorageCommand(int id);

    // ---- Calibration (app/stratadlg_calibration.cpp) ----
    bool OnCalibrationCommand(int id);
    void SaveDarkCube();
    void SaveCalibrationCube();
    // Writes the calibration stack (B x W frames) to file name slot k (1..8) of the spectral run.
    void SaveAutoCalibrationCube(int k);
    void LoadDarkCube();
    void LoadRadCal();
    // Command 32791: the first B x 520 radiometric gains back to 1.0.
    void ResetRadCal();
    // Check box "Apply Rad. Cal." (1084): cannot be ticked while no gains are loaded.
    void OnApplyRadCal();
    // The spectral calibration run of the "Calibration" dialog: modes 1x1 ... 2x8 and the file
    // prefix. False when a message ended it (or a run was already going on).
    bool RunSpectralCalibration(const std::array<bool, 8>& modes, const std::string& prefix);
    class CCalibrationDlg2& CalibrationDialog() {
        return *m_calibrationDlg;
    }
    bool ApplyRadCalOn() const { return m_applyRadCal != 0; }
    const QString& DarkFileName() const { return m_darkFileName; }
    const QString& RadCalFileName() const { return m_radCalFileName; }
    const std::string& AutoCalFileName(int k) const { return m_autoCalFileNames[size_t(k) % 9]; }
    // The monochromator command of the spectral run; empty: MoveMonochromator (tests may replace it).
    std::function<void(int comPort, int wavelength)> moveMonochromator;

    // ---- Focus camera (app/stratadlg_preview.cpp) ----
    bool OnPreviewCommand(int id);
    // "On/Off Focus Camera" (32805).
    void OnFocusCamera();
    class CScrollingPreviewDlg* PreviewWindow() const {
        return m_previewDlg;
    }
    bool FocusPreviewOn() const { return m_focusPreviewOn; }

    // ---- Scanner dialogs (app/stratadlg_scanner.cpp) ----
    bool OnScannerCommand(int id);

    // Accessors for tests.
    QWidget* Control(int id) const;
    QAction* MenuAction(int id) const;
    QToolBar* ToolBar() const { return m_toolBar; }
    QString StatusText(int pane) const;
    AcquisitionEngine& Engine() { return *m_engine; }
    DataCameraControl& Cameras() { return m_camera; }
    ScannerLink& Scanner() { return *m_scannerLink; }
    CCameSettingsDlg& CameraSettingsDialog() { return *m_cameraSettingsDlg; }
    ScannerSettingsValues& ScannerValues() { return m_scannerSettings; }
    const std::vector<float>& Wavelengths() const { return m_wavelengths; }
    const DefaultCalibration& DefCal() const { return m_defCal; }
    std::array<int32_t, 3> RgbSelections() const;
    bool RgbBandsChanged() const { return m_rgbBandsChanged; }
    int ScanStartLine() const { return m_scanStartLine; }
    int ScanStopLine() const { return m_scanStopLine; }

signals:
    void StatusTextChanged(int pane, QString text);
    void ReadyReached();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void CreateControls();
    void CreateMenuAndToolbar();
    void CreateStatusBar();
    void ConnectMessageTable();
    QAction* AddCommand(int id, const QString& text, QWidget* owner);
    void OnContinuousScanClicked();
    void OnTimer();
    void OnCubeWidthChanged();
    void OnScanLimitEdited(int id);

    UserPrompts& m_prompts;
    StrataOptions m_options;
    ClientArea* m_client = nullptr;
    std::map<int, QWidget*> m_controls;
    std::map<int, QAction*> m_actions;
    QToolBar* m_toolBar = nullptr;
    std::array<QLabel*, 4> m_statusPanes{};
    QTimer m_continuousTimer;

    CCameSettingsDlg* m_cameraSettingsDlg = nullptr;
    ScannerSettingsValues m_scannerSettings;
    DataCameraControl m_camera;
    std::unique_ptr<ScannerLink> m_scannerLink;
    std::unique_ptr<ScannerMirrorLink> m_mirrorLink;
    std::unique_ptr<AcquisitionEngine> m_engine;

    DefaultCalibration m_defCal;
    std::vector<float> m_wavelengths;
    std::array<int32_t, 3> m_rgbBands = kDefaultRgbBands;
    bool m_rgbBandsChanged = false;
    int32_t m_frameWidth = 696, m_frameHeight = 520, m_bands = 128, m_binningCode = 0;
    int m_scanStartLine = 0, m_scanStopLine = 511;
    int m_cubeWidthIndex = 0;
    int m_cubeWidthMultiplier = 1;
    int m_scannerDelayMs = 10;
    long m_dataCallbackId = -1;
    bool m_focusPreviewOn = false;
    bool m_closing = false;
    bool m_exiting = false;
    QString m_darkFileName = "None", m_radCalFileName = "None";

    // ---- Display members ----

    // ---- Cube storage members ----

    // ---- Calibration members ----
    // The Calibration menu; also creates the calibration dialog and connects the calibration
    // controls of the window (1003, 1096, 1084).
    void CreateCalibrationMenu(class QMenuBar* bar);
    // One binning mode of the spectral run; false when a message ended the run.
    bool RunSpectralCalibrationMode(int k, const std::string& prefix);
    class CCalibrationDlg2* m_calibrationDlg = nullptr; // owned by the window
    int m_applyRadCal = 0;
    std::array<std::string, 9> m_autoCalFileNames; // slots 1..8 of the spectral run
    bool m_spectralCalRunning = false;

    // ---- Focus camera members ----
    // Start-up step 20: the preview window, hidden.
    void CreatePreviewWindow();
    // Start-up step 22, focus camera part: configure it, then hand its handle to the preview window.
    void ConfigureFocusPreview();
    class CScrollingPreviewDlg* m_previewDlg = nullptr; // owned by the window

    // ---- Scanner dialog members ----
};
