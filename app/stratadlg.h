#pragma once
// The main window "ARV300 Data Acquisition Software": owns the cameras, the acquisition engine, the
// scanner link, every buffer and every secondary dialog. A thin shell: command handlers call the
// Qt-free operations of the objects it owns.
#include "app/CCameSettingsDlg.h"
#include "app/DisplayPanel.h"
#include "app/ScanLimitsPanel.h"
#include "calibration/AutoCalibrationRun.h"
#include "calibration/CalibrationCommands.h"
#include "calibration/DefaultCalibration.h"
#include "calibration/SpectralCalibrationRun.h"
#include "camera/AcquisitionEngine.h"
#include "camera/DataCameraControl.h"
#include "camera/ScannerMirrorLink.h"
#include "core/SerialWorker.h"
#include "core/UserPrompts.h"
#include "instrument/Instrument.h"
#include "scanner/CScannerSettings.h"
#include "scanner/CSerialSettingDlg.h"
#include "scanner/ScannerLink.h"
#include "scanner/ScannerSettings.h"
#include "storage/CCubeFormattingDlg.h"
#include "storage/CubeReaders.h"
#include "storage/CubeSaving.h"

#include <QMainWindow>
#include <QThread>
#include <QTimer>
#include <array>
#include <map>
#include <memory>
#include <thread>

class QAction;
class QComboBox;
class QLabel;
class QToolBar;
class ClientArea;

namespace AppMsg {
inline constexpr const char* kTitle = "ARV300 Data Acquisition Software";
inline constexpr const char* kStatusBar = "Status Bar not created!";
inline constexpr const char* kSaveBusy = "Camera acquiring data, stop acquisition first !";
} // namespace AppMsg

struct StrataOptions {
    // The devices of the run. The default (used by tests) decides each device by the ports map and
    // leaves the simulated hardware to whoever built the window; the program attaches it.
    InstrumentOptions devices;
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
    // The window's part of the camera settings: frame size, bands, the buffers and band lists.
    void ApplyCameraGeometry();
    void LoadScannerSettings();
    void SaveScannerSettings();
    void ReadDefaultCalibration(int binning);
    void FillWavelengthLists();
    void EnableScanLimitControls(bool enable) override;

    // EngineHost.
    void SetStatusText(int pane, const std::string& text) override;
    void ShowMessage(const std::string& text) override { m_prompts.Message(text); }
    bool StopFocusPreviewIfRunning() override;
    void EnableApplyDark() override;
    bool EnsureStreaming() override;
    void UpdateImage() override {
        if (m_display)
            m_display->UpdateImage();
    }
    void PostStackSave(bool dark) override;
    void AcquisitionEnded() override;
    void PostMessage(const std::string& text) override;

    // Commands.
    void OnCommand(int id);
    // An acquisition command (menu, toolbar, continuous scan).
    void RunAcquisitionCommand(AcquisitionEngine::Mode mode);
    // Stop: ends a travel to the scan's start, then the acquisition, off the window thread.
    void StopAcquisition();
    void OnAbout();

    // ---- Display (app/DisplayPanel.cpp) ----
    // The picture and its controls, the spectrum plot, the mouse probe and the white reference.
    DisplayPanel& Panel() { return *m_display; }

    // ---- Cube storage (app/stratadlg_storage.cpp) ----
    bool OnStorageCommand(int id);
    // The savers the Cube Formatting dialog calls. Each asks for the file through m_prompts (the
    // cube savers offer the automatic name) and reports its own failures.
    void SaveStandardCube();
    void SaveBilCube(int createHeader);
    void SaveBsqCube(int createHeader);
    void SaveBipCube(int createHeader);
    void SaveMovie();
    void SaveBitmap();
    // ENVI BIL of 32-bit floats: dark subtracted, gains applied when loaded; reflectance also
    // divided by the white reference. Refused with a message without a dark frame (and, for
    // reflectance, without a white reference).
    void SaveRadianceCube(int createHeader);
    void SaveReflectanceCube(int createHeader);
    // The ENVI header beside cubePath; the header offset follows the dialog's format choice.
    // Columns and rows shown by the Cube Formatting dialog: at start-up and whenever the cube
    // geometry or the Cube Width selection changes.
    void OnGeometryForFormatting(int columns, int rows);
    // File > "Open Cube...": asks for a cube file and opens it.
    void OnOpenCube();
    // Reads a saved cube (the program's own format, or ENVI BIL, BSQ, BIP with its header) into the
    // cube, its dark frame into the dark frame; the window title then names the file. On failure
    // the message is shown and the current cube stays. False when nothing was opened.
    bool OpenCubeFile(const std::string& path);
    // The file the shown cube was opened from; empty for an acquired cube.
    const std::string& OpenedCubePath() const { return m_openedCubePath; }
    CCubeFormattingDlg& CubeFormattingDialog() { return *m_cubeFormattingDlg; }
    const std::string& CubeFileName() const { return m_cubeFileName; }

    // ---- Calibration (app/stratadlg_calibration.cpp) ----
    bool OnCalibrationCommand(int id);
    // The dark and calibration stacks, the dark frame and the gains files (CalibrationCommands);
    // the stack headers carry the integration time of the camera settings.
    void SaveDarkCube() { m_calibrationCommands->SaveDarkCube(m_cameraSettingsDlg->Values().exposure); }
    void SaveCalibrationCube() {
        m_calibrationCommands->SaveCalibrationCube(m_cameraSettingsDlg->Values().exposure);
    }
    void LoadDarkCube() { m_calibrationCommands->LoadDarkCube(); }
    void LoadRadCal() { m_calibrationCommands->LoadRadCal(); }
    // Check box "Apply Rad. Cal." (1084): cannot be ticked while no gains are loaded.
    void OnApplyRadCal();
    // "Start Spectral Cal" of the "Calibration" dialog: the spectral calibration run with modes
    // 1x1 ... 2x8 and the file prefix, on its own thread (the window shows its progress in the
    // dialog). False when it did not start (a run of either kind goes on, or the window closes).
    bool StartSpectralCalibration(const std::array<bool, 8>& modes, const std::string& prefix);
    // Ends the run at its next frame or wait and waits for it (each has its time limit).
    void StopSpectralCalibration();
    // True from the start of a spectral run until the window has shown its end.
    bool SpectralCalibrationRunning() const { return m_spectralCalRunning; }
    // The last spectral run went through every ticked mode ("End Cal !"); false when a message or
    // Stop ended it.
    bool SpectralCalibrationCompleted() const { return m_spectralCalCompleted; }
    // "Start" of the calibration dialog: the automatic calibration run with the ticked modes (its
    // own thread; the window shows its progress). False when it did not start (a message says why).
    bool StartAutoCalibration(const std::array<bool, 8>& modes, const std::string& prefix);
    // "Stop": the run ends after the stack under way.
    void StopAutoCalibration();
    bool AutoCalibrationRunning() const { return m_autoCal && m_autoCal->Running(); }
    class CCalibrationDlg2& CalibrationDialog() {
        return *m_calibrationDlg;
    }
    bool ApplyRadCalOn() const { return m_applyRadCal != 0; }
    QString DarkFileName() const { return QString::fromStdString(m_calibrationCommands->DarkFileName()); }
    QString RadCalFileName() const { return QString::fromStdString(m_calibrationCommands->RadCalFileName()); }
    const std::string& AutoCalFileName(int k) const { return m_autoCalFileNames[size_t(k) % 9]; }
    // The monochromator command of the spectral run; empty: the instrument's monochromator port
    // (tests may replace it).
    std::function<void(int comPort, int wavelength)> moveMonochromator;
    // One monochromator move of a calibration run (any thread); false (after the offline texts)
    // when its port cannot be reached.
    bool MoveMonochromatorTo(int comPort, int wavelength);

    // ---- Focus camera (app/stratadlg_preview.cpp) ----
    bool OnPreviewCommand(int id);
    // "On/Off Focus Camera" (32805).
    void OnFocusCamera();
    class CScrollingPreviewDlg* PreviewWindow() const {
        return m_previewDlg;
    }
    bool FocusPreviewOn() const { return m_focusPreviewOn; }
    // True from the command until the mirror stands at the focus position and the preview was
    // switched.
    bool FocusTravelling() const { return m_focusTravelling; }
    // Cuts a travel to the focus position short and waits for it (the preview stays as it is).
    void EndFocusTravel();

    // ---- Scanner dialogs (app/stratadlg_scanner.cpp) ----
    bool OnScannerCommand(int id);

    // Accessors for tests.
    QWidget* Control(int id) const;
    QAction* MenuAction(int id) const;
    QToolBar* ToolBar() const { return m_toolBar; }
    QString StatusText(int pane) const;
    AcquisitionEngine& Engine() { return *m_engine; }
    // Waits (at most timeoutMs) until the acquisition commands given so far have reached the engine:
    // the mirror at the scan's start and the stream started, or the command ended.
    bool WaitEngineCommands(int timeoutMs) const { return m_engineCommands.WaitIdle(timeoutMs); }
    DataCameraControl& Cameras() { return m_camera; }
    ScannerLink& Scanner() { return *m_scannerLink; }
    Instrument& Devices() { return *m_instrument; }
    CCameSettingsDlg& CameraSettingsDialog() { return *m_cameraSettingsDlg; }
    ScannerSettingsValues& ScannerValues() { return m_scannerSettings; }
    const std::vector<float>& Wavelengths() const { return m_wavelengths; }
    const DefaultCalibration& DefCal() const { return m_defCal; }
    std::array<int32_t, 3> RgbSelections() const { return m_display->RgbSelections(); }
    bool RgbBandsChanged() const { return m_rgbBandsChanged; }
    int ScanStartLine() const { return m_scanLimits->StartLine(); }
    int ScanStopLine() const { return m_scanLimits->StopLine(); }

signals:
    void StatusTextChanged(int pane, QString text);
    void ReadyReached();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    // Runs f on the window thread later; callable from any thread, the caller does not wait.
    template <class F> void PostToWindow(F f) {
        QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
    }
    // Runs f at once on the window thread, or posts it there from any other thread.
    template <class F> void OnWindowThread(F f) {
        if (QThread::currentThread() == thread())
            f();
        else
            PostToWindow(std::move(f));
    }
    void CreateControls();
    void CreateMenuAndToolbar();
    void CreateStatusBar();
    void ConnectMessageTable();
    QAction* AddCommand(int id, const QString& text, QWidget* owner);
    void OnContinuousScanClicked();
    void OnTimer();

    UserPrompts& m_prompts;
    StrataOptions m_options;
    ClientArea* m_client = nullptr;
    std::map<int, QWidget*> m_controls;
    std::map<int, QAction*> m_actions;
    QToolBar* m_toolBar = nullptr;
    std::array<QLabel*, 4> m_statusPanes{};
    QTimer m_continuousTimer;

    // The instrument owns the devices, their settings and the engine; the members below name its
    // parts for the window's handlers.
    std::unique_ptr<Instrument> m_instrument;
    CCameSettingsDlg* m_cameraSettingsDlg = nullptr;
    ScannerSettingsValues& m_scannerSettings;
    DataCameraControl& m_camera;
    ScannerLink* m_scannerLink;
    AcquisitionEngine* m_engine;

    const DefaultCalibration& m_defCal;
    std::vector<float> m_wavelengths;
    std::array<int32_t, 3>& m_rgbBands;
    bool m_rgbBandsChanged = false;
    int32_t m_frameWidth = 696, m_frameHeight = 520, m_bands = 128;
    bool m_focusPreviewOn = false;
    bool m_closing = false;
    bool m_exiting = false;

    // ---- Display members ----
    std::unique_ptr<DisplayPanel> m_display;
    std::unique_ptr<ScanLimitsPanel> m_scanLimits;

    // ---- Cube storage members ----
    std::unique_ptr<CCubeFormattingDlg> MakeCubeFormattingDlg();
    // Composes the automatic name into m_cubeFileName, offers it in the save dialog and returns the
    // chosen path; nullopt when cancelled.
    std::optional<std::string> AskCubeSavePath();
    // False (after the busy message) while an acquisition writes the cube.
    bool CubeIdle();
    // One save through the path shared with the command line.
    CubeSaveSource SaveSource();
    CubeSaveOptions SaveOptions(int createHeader);
    void SaveAs(SaveFormat format, const std::optional<std::string>& chosen, int createHeader);
    // A top-level dialog of its own: its control ids repeat some of the window's (1069, 1181), so it
    // is not a child in which the window's controls could be mistaken for its.
    std::unique_ptr<CCubeFormattingDlg> m_cubeFormattingDlg = MakeCubeFormattingDlg();
    std::string m_cubeFilePrefix; // prefix of the automatic name
    std::string m_cubeFileName;   // automatic name of the last save
    // The cube was read from this file (empty: acquired), and what the file said about it.
    std::string m_openedCubePath;
    CubeFileMetadata m_openedCubeMetadata;
    void ForgetOpenedCube();

    // ---- Calibration members ----
    // The Calibration menu; also creates the calibration dialog and connects the calibration
    // controls of the window (1003, 1096, 1084).
    void CreateCalibrationMenu(class QMenuBar* bar);
    class CCalibrationDlg2* m_calibrationDlg = nullptr; // owned by the window
    // The commands on the dark frame and the gains, showing their results in the window's controls.
    std::unique_ptr<CalibrationCommands> MakeCalibrationCommands();
    std::unique_ptr<CalibrationCommands> m_calibrationCommands = MakeCalibrationCommands();
    int m_applyRadCal = 0;
    std::array<std::string, 9> m_autoCalFileNames; // slots 1..8 of the spectral run
    // The end of a spectral calibration run (window thread).
    void OnSpectralCalibrationFinished(const SpectralCalResult& result);
    std::unique_ptr<SpectralCalibrationRun> m_spectralCal = std::make_unique<SpectralCalibrationRun>();
    bool m_spectralCalRunning = false;
    bool m_spectralCalCompleted = false;
    // The end of an automatic calibration run (window thread).
    void OnAutoCalibrationFinished(const AutoCalResult& result, int stacks);
    std::unique_ptr<AutoCalibrationRun> m_autoCal = std::make_unique<AutoCalibrationRun>();

    // ---- Focus camera members ----
    // Start-up step 20: the preview window, hidden.
    void CreatePreviewWindow();
    // Start-up step 22, focus camera part: configure it, then hand its handle to the preview window.
    void ConfigureFocusPreview();
    class CScrollingPreviewDlg* m_previewDlg = nullptr; // owned by the window
    // The travel to the focus position (its own thread), and the preview switched at its end.
    void OnFocusTravelEnded(uint64_t travel);
    void JoinFocusTravel();
    std::thread m_focusTravel;
    std::atomic<bool> m_focusTravelAbort{false};
    // The engine's commands that move the mirror (the travel to a scan's start, the return at Stop),
    // in the order given, off the window thread.
    SerialWorker m_engineCommands;
    bool m_focusTravelling = false;
    uint64_t m_focusTravelId = 0;

    // ---- Scanner dialog members ----
    CScannerSettings* m_scannerSettingsDlg = nullptr;
    CSerialSettingDlg* m_serialDlg = nullptr;
    void CreateScannerDialogs();
};
