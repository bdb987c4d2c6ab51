#pragma once
// "Cube Formatting" dialog (137): the output format of "Save Cube", whether the ENVI savers write a
// ".hdr" file, the time between movie frames, the movie scaling and the cube dimension. OK calls
// one saver of the main window. The main window keeps one instance for the whole run, so the
// choices persist from one opening to the next (nothing is written to disk).
#include <QDialog>
#include <cstdint>
#include <functional>

class QCheckBox;
class QLineEdit;
class QRadioButton;
class UserPrompts;

// Control ids of the dialog.
namespace CubeFormattingIds {
inline constexpr int kDialog = 137;
inline constexpr int kStandard = 1053;
inline constexpr int kBil = 1054;
inline constexpr int kBsq = 1056;
inline constexpr int kMovie = 1057;
inline constexpr int kFrameInterval = 1058;
inline constexpr int kBitmap = 1059;
inline constexpr int kBip = 1060;
inline constexpr int kCreateHeader = 1064;
inline constexpr int kRows = 1065;
inline constexpr int kColumns = 1066;
inline constexpr int kAutoSave = 1069;
inline constexpr int kNormalizePerFrame = 1181;
// Corrected cubes: ENVI BIL of 32-bit floats, and the white panel's known reflectance.
inline constexpr int kRadiance = 1300;
inline constexpr int kReflectance = 1301;
inline constexpr int kPanelReflectance = 1302;
} // namespace CubeFormattingIds

// Texts of the integer field validation of "Time between each frame".
inline constexpr const char* kMsgEnterInteger = "Please enter an integer.";
inline constexpr const char* kMsgIntegerRange = "Please enter an integer between 1 and 2147483647.";
inline constexpr const char* kMsgPanelReflectance =
    "Please enter the white panel's reflectance, a number above 0 and at most 1.5.";

// The savers OK can call; the main window provides them. An empty one is skipped.
struct CubeSavers {
    std::function<void()> saveStandardCube;
    std::function<void(int createHeader)> saveBilCube;
    std::function<void(int createHeader)> saveBsqCube;
    std::function<void(int createHeader)> saveBipCube;
    std::function<void()> saveMovie;
    std::function<void()> saveBitmap;
    std::function<void(int createHeader)> saveRadianceCube;
    std::function<void(int createHeader)> saveReflectanceCube;
};

class CCubeFormattingDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCubeFormattingDlg(QWidget* parent = nullptr);

    void SetSavers(CubeSavers savers) { m_savers = std::move(savers); }
    // Where the field validation reports a value that is not an integer (none: nothing shown).
    void SetPrompts(UserPrompts* prompts) { m_prompts = prompts; }

    // Declared columns (lines per cube); also the process-wide column count shown at each opening.
    void SetColumns(int columns);
    void SetRows(int rows);
    int GetFrameInterval() const { return m_frameInterval; }
    // The last column count given to SetColumns by any instance (696 at start).
    static int ProcessColumns();

    // Moves values between the controls and the members (save = true: controls -> members).
    // Returns false, after telling the user and putting the focus on the field, when the interval
    // does not hold an integer of at least 1; the members then keep their values.
    bool DoDataExchange(bool save);
    // Opening: columns from the process-wide count, controls from the members, then modal.
    int exec() override;

    // Bound members (1 = selected / ticked).
    int32_t m_formatStandard = 1; // "ARV Standard (BIL with Header)" at the first opening
    int32_t m_formatBil = 0;
    int32_t m_formatBsq = 0;
    int32_t m_formatBip = 0;
    int32_t m_formatMovie = 0;
    int32_t m_formatBitmap = 0;
    int32_t m_frameInterval = 100; // ms between movie frames
    int32_t m_createHeader = 1;
    int32_t m_rows = 520;
    int32_t m_columns = 696;
    int32_t m_normalizePerFrame = 1;
    int32_t m_formatRadiance = 0;
    int32_t m_formatReflectance = 0;
    double m_whiteReflectance = 1.0; // the white panel's known reflectance

private:
    // Interval edit -> m_frameInterval when it holds an integer of at least 1; otherwise false (and,
    // with report, the validation message and the focus on the field).
    bool TakeInterval(bool report);
    // Panel reflectance edit -> m_whiteReflectance when it holds a number above 0 and at most 1.5.
    bool TakePanelReflectance(bool report);
    // Format buttons and check boxes -> members.
    void TakeChoices();
    void OnFormatClicked(int id);
    void OnOK();
    int32_t* FormatMember(int id);

    CubeSavers m_savers;
    UserPrompts* m_prompts = nullptr;
    QRadioButton* m_standard;
    QRadioButton* m_bil;
    QRadioButton* m_bsq;
    QRadioButton* m_bip;
    QRadioButton* m_movie;
    QRadioButton* m_bitmap;
    QLineEdit* m_interval;
    QCheckBox* m_header;
    QLineEdit* m_rowsEdit;
    QLineEdit* m_columnsEdit;
    QCheckBox* m_normalize;
    QCheckBox* m_autoSave;
    QRadioButton* m_radiance;
    QRadioButton* m_reflectance;
    QLineEdit* m_panelReflectance;
};
