#pragma once
// "Calibration" dialog (156): the settings of a spectral calibration run (file prefix, binning modes,
// last wavelength, the monochromator's COM port) and the button that starts it. The run itself is
// an operation of the main window, reached through onStartSpectralCal; it goes on on its own thread
// and the window tells the dialog when it ends.
#include "core/UserPrompts.h"

#include <QDialog>
#include <array>
#include <functional>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

// Control ids of dialog 156.
namespace CalDlgId {
inline constexpr int kDialog = 156;
inline constexpr int kBinning1x2 = 1062;
inline constexpr int kBinning1x4 = 1063;
inline constexpr int kBinning1x8 = 1064;
inline constexpr int kBinning2x1 = 1065;
inline constexpr int kBinning2x2 = 1066;
inline constexpr int kBinning2x4 = 1067;
inline constexpr int kBinning2x8 = 1068;
inline constexpr int kSpectralRange = 1069;
inline constexpr int kWavelengthEnd = 1078;
inline constexpr int kBinning1x1 = 1172;
inline constexpr int kPrefix = 1173;
inline constexpr int kBrowse = 1174;
inline constexpr int kStart = 1175;
inline constexpr int kStop = 1176;
inline constexpr int kComPort = 1186;
inline constexpr int kStartSpectralCal = 1187;
inline constexpr int kHelp = 1199;
// The automatic calibration run's progress: a text and a bar.
inline constexpr int kAutoCalProgress = 1303;
inline constexpr int kAutoCalBar = 1304;
// The eight binning boxes in the order of the modes 1x1, 1x2, 1x4, 1x8, 2x1, 2x2, 2x4, 2x8.
inline constexpr std::array<int, 8> kBinningBoxes = {kBinning1x1, kBinning1x2, kBinning1x4, kBinning1x8,
                                                     kBinning2x1, kBinning2x2, kBinning2x4, kBinning2x8};
} // namespace CalDlgId

inline constexpr const char* kCalibrationHelpText =
    "Dialog enables rapid spectral calibration\n1. Connect CM110 to RS232 Port and verify port name in edit "
    "box\n2. Select binning ratio\n3. Set directory and prefix name for files";

class CCalibrationDlg2 : public QDialog {
    Q_OBJECT
public:
    explicit CCalibrationDlg2(UserPrompts& prompts, QWidget* parent = nullptr);

    // Moves values between the controls and the members (save = true: controls -> members).
    void DoDataExchange(bool save);
    int exec() override;

    // "Start Spectral Cal": the tick states of the eight binning boxes (modes 1x1 ... 2x8) and the
    // prefix. Returns false when the run did not start. "Stop" (1176) ends a run under way through
    // onStopSpectralCal.
    std::function<bool(const std::array<bool, 8>& modes, const std::string& prefix)> onStartSpectralCal;
    std::function<void()> onStopSpectralCal;
    // The window tells the dialog that a spectral run goes on or ended.
    void SetSpectralCalRunning(bool running);

    // True while a spectral run is going on.
    bool RunInProgress() const { return m_running; }

    // "Start" (1175): the automatic calibration run with the ticked modes and the prefix; it goes on
    // on its own thread (false when it did not start). "Stop" (1176) ends it after the stack under
    // way.
    std::function<bool(const std::array<bool, 8>& modes, const std::string& prefix)> onStartAutoCal;
    std::function<void()> onStopAutoCal;
    // The window tells the dialog that the automatic run goes on or ended, and how far a run of
    // either kind is.
    void SetAutoCalRunning(bool running);
    void ShowAutoCalProgress(const std::string& text, int done, int total);

    std::string m_calPrefix = "C:/Data/";
    std::array<int, 8> m_binning{}; // 0/1 per mode 1x1 ... 2x8
    int m_wavelengthStart = 450;
    int m_wavelengthEnd = 950;
    int m_wavelengthStep = 30;
    int m_monoComPort = 4;
    int m_spectralRange = 0; // check box 1069; not used by the run

private:
    void OnControlChanged();
    void OnBrowse();
    void OnHelp();
    void OnStartSpectralCal();
    void OnStartAutoCal();

    UserPrompts& m_prompts;
    QLineEdit* m_prefixEdit;
    QLineEdit* m_endEdit;
    QLineEdit* m_portEdit;
    std::array<QCheckBox*, 8> m_binningBoxes{};
    QCheckBox* m_spectralRangeBox;
    QPushButton* m_startSpectralCal;
    QPushButton* m_start;
    QPushButton* m_stop;
    QLabel* m_autoCalText;
    QProgressBar* m_autoCalBar;
    bool m_autoCalRunning = false;
    bool m_exchanging = false;
    bool m_running = false;
};
