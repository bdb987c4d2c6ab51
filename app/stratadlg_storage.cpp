// The main window's storage commands: "Save Cube" opens the Cube Formatting dialog, whose OK calls
// one of the savers below.
#include "app/stratadlg.h"

#include "calibration/CalibrationFiles.h"
#include "resources/resource.h"
#include "storage/CubeReaders.h"
#include "storage/CubeSaving.h"
#include "storage/CubeWriters.h"

#include <QCheckBox>
#include <QLabel>
#include <QWindow>

#include <algorithm>
#include <cstdio>

std::unique_ptr<CCubeFormattingDlg> CStrataDlg::MakeCubeFormattingDlg() {
    auto dlg = std::make_unique<CCubeFormattingDlg>();
    dlg->SetPrompts(&m_prompts);
    CubeSavers savers;
    savers.saveStandardCube = [this] { SaveStandardCube(); };
    savers.saveBilCube = [this](int createHeader) { SaveBilCube(createHeader); };
    savers.saveBsqCube = [this](int createHeader) { SaveBsqCube(createHeader); };
    savers.saveBipCube = [this](int createHeader) { SaveBipCube(createHeader); };
    savers.saveMovie = [this] { SaveMovie(); };
    savers.saveBitmap = [this] { SaveBitmap(); };
    savers.saveRadianceCube = [this](int createHeader) { SaveRadianceCube(createHeader); };
    savers.saveReflectanceCube = [this](int createHeader) { SaveReflectanceCube(createHeader); };
    dlg->SetSavers(std::move(savers));
    return dlg;
}

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnStorageCommand(int id) {
    switch (id) {
    case ID_FILE_OPEN_CUBE:
        OnOpenCube();
        return true;
    case ID_FILE_SAVE_CUBE:
    case ID_TB_SAVE_CUBE:
        if (m_engine->Busy()) {
            m_prompts.Message(AppMsg::kSaveBusy);
            return true;
        }
        // Stacked over the window by the window system, modal for the whole application.
        m_cubeFormattingDlg->winId();
        if (QWindow* owner = windowHandle())
            m_cubeFormattingDlg->windowHandle()->setTransientParent(owner);
        m_cubeFormattingDlg->exec();
        return true;
    default:
        return false;
    }
}

void CStrataDlg::OnGeometryForFormatting(int columns, int rows) {
    m_cubeFormattingDlg->SetColumns(columns);
    m_cubeFormattingDlg->SetRows(rows);
}

bool CStrataDlg::CubeIdle() {
    // The dialog is modal, but the continuous-scan timer still runs behind it: a cube that started
    // meanwhile is being written and must not be saved half old, half new.
    if (!m_engine->Busy())
        return true;
    m_prompts.Message(AppMsg::kSaveBusy);
    return false;
}

std::optional<std::string> CStrataDlg::AskCubeSavePath() {
    m_cubeFileName = ComposeCubeFileName(m_cubeFilePrefix, m_cameraSettingsDlg->Values().exposure,
                                         ScanStartLine(), ScanStopLine(), CurrentLocalTime());
    return m_prompts.AskSavePath(m_cubeFileName);
}

CubeSaveSource CStrataDlg::SaveSource() {
    CubeSaveSource s;
    s.engine = m_engine;
    s.exposureMs = m_cameraSettingsDlg->Values().exposure;
    s.calibration = m_defCal;
    s.scanStartLine = ScanStartLine();
    s.scanStopLine = ScanStopLine();
    s.wavelengths = Wavelengths();
    s.picture = &m_display->ImageProc();
    // The files of the dark frame and the gains in use, named in a corrected cube's description.
    if (m_calibrationCommands->DarkFileName() != "None")
        s.darkName = m_calibrationCommands->DarkFileName();
    if (m_engine->Calibration().GainsLoaded() && m_calibrationCommands->RadCalFileName() != "None")
        s.radCalName = m_calibrationCommands->RadCalFileName();
    // A cube opened from a file keeps what its file said about it: saved again, its header and ENVI
    // header describe it, not the settings of this run.
    const CubeFileMetadata& m = m_openedCubeMetadata;
    if (m_openedCubePath.empty())
        s.lineRecord = m_engine->LastLineRecord();
    if (!m_openedCubePath.empty()) {
        // The record of its lines goes along when the file had one.
        s.lineRecordText = m.lineRecordText;
        s.lineRecordNote = "opened from " + m_openedCubePath + ", which has no line record";
        if (m.exposureMs)
            s.exposureMs = *m.exposureMs;
        if (m.calibration) {
            const std::string title = s.calibration.title;
            s.calibration = *m.calibration;
            s.calibration.title = title;
        }
        if (m.scanLimits) {
            s.scanStartLine = m.scanLimits->first;
            s.scanStopLine = m.scanLimits->second;
        }
        s.wavelengthList = m.wavelengthList;
    }
    return s;
}

void CStrataDlg::OnOpenCube() {
    if (m_engine->Busy()) {
        m_prompts.Message(AppMsg::kSaveBusy);
        return;
    }
    const std::optional<std::string> path = m_prompts.AskOpenPath();
    if (!path || path->empty())
        return;
    OpenCubeFile(*path);
}

bool CStrataDlg::OpenCubeFile(const std::string& path) {
    OpenedCube opened;
    const CubeReadResult r = ReadCubeFile(path, m_engine->Geometry(), opened);
    if (!r) {
        m_prompts.Message(r.message);
        return false;
    }
    // (An acquisition may have started while the file was read: then nothing is replaced.)
    if (!m_engine->ReplaceCube(opened.cube)) {
        m_prompts.Message(AppMsg::kSaveBusy);
        return false;
    }
    // The standard file's dark frame becomes the dark frame; an all-zero one means that none
    // existed when the cube was saved.
    const bool hasDark =
        std::any_of(opened.darkFrame.begin(), opened.darkFrame.end(), [](uint16_t v) { return v != 0; });
    if (hasDark && m_engine->ReplaceDarkFrame(opened.darkFrame)) {
        m_calibrationCommands->SetDarkFileName(LabelFileName(FileNameWithoutFolder(path)));
        static_cast<QLabel*>(Control(IDC_DARK_LABEL))
            ->setText(QString::fromStdString(DarkLabelText(m_calibrationCommands->DarkFileName())));
        Control(IDC_APPLY_DARK)->setEnabled(true);
    }
    m_openedCubePath = path;
    m_openedCubeMetadata = opened.metadata;
    m_display->Display().controls.openedCube = true;
    setWindowTitle(
        QStringLiteral("%1 - %2").arg(AppMsg::kTitle, QString::fromStdString(FileNameWithoutFolder(path))));
    UpdateImage();
    return true;
}

void CStrataDlg::ForgetOpenedCube() {
    if (m_openedCubePath.empty())
        return;
    m_openedCubePath.clear();
    m_openedCubeMetadata = {};
    m_display->Display().controls.openedCube = false;
    setWindowTitle(AppMsg::kTitle);
}

CubeSaveOptions CStrataDlg::SaveOptions(int createHeader) {
    CubeSaveOptions o;
    o.createHeader = createHeader != 0;
    // The header offset follows the format chosen in the dialog.
    o.headerOffset = m_cubeFormattingDlg->m_formatStandard ? int32_t(kCubeHeaderSize) : 0;
    o.periodMs = m_cubeFormattingDlg->GetFrameInterval();
    o.normalise = m_cubeFormattingDlg->m_normalizePerFrame != 0;
    o.applyRadCal = static_cast<QCheckBox*>(Control(IDC_APPLY_RADCAL))->isChecked();
    o.white = m_display->WhiteReference();
    o.whiteReflectance = m_cubeFormattingDlg->m_whiteReflectance;
    return o;
}

void CStrataDlg::SaveAs(SaveFormat format, const std::optional<std::string>& chosen, int createHeader) {
    if (!chosen || chosen->empty() || !CubeIdle())
        return;
    const CubeSaveResult r = SaveCube(format, *chosen, SaveSource(), SaveOptions(createHeader));
    if (!r.ok)
        m_prompts.Message(r.message);
}

void CStrataDlg::SaveStandardCube() {
    SaveAs(SaveFormat::Standard, AskCubeSavePath(), 1);
}
void CStrataDlg::SaveBilCube(int createHeader) {
    SaveAs(SaveFormat::Bil, AskCubeSavePath(), createHeader);
}
void CStrataDlg::SaveBsqCube(int createHeader) {
    SaveAs(SaveFormat::Bsq, AskCubeSavePath(), createHeader);
}
void CStrataDlg::SaveBipCube(int createHeader) {
    SaveAs(SaveFormat::Bip, AskCubeSavePath(), createHeader);
}
// Corrected cubes need a dark frame, and reflectance a white reference: refused before the file is
// asked for.
void CStrataDlg::SaveRadianceCube(int createHeader) {
    if (!m_engine->DarkFrameValid()) {
        m_prompts.Message(RadCalMsg::kNoDarkForRadiance);
        return;
    }
    SaveAs(SaveFormat::Radiance, AskCubeSavePath(), createHeader);
}
void CStrataDlg::SaveReflectanceCube(int createHeader) {
    if (!m_engine->DarkFrameValid()) {
        m_prompts.Message(RadCalMsg::kNoDarkForRadiance);
        return;
    }
    if (!m_display->WhiteReference()) {
        m_prompts.Message(RadCalMsg::kNoWhiteReference);
        return;
    }
    SaveAs(SaveFormat::Reflectance, AskCubeSavePath(), createHeader);
}
void CStrataDlg::SaveMovie() {
    SaveAs(SaveFormat::Movie, m_prompts.AskSavePath({}), 1);
}
// The bitmap is the picture as shown: it is written whatever the acquisition does.
void CStrataDlg::SaveBitmap() {
    const std::optional<std::string> chosen = m_prompts.AskSavePath({});
    if (!chosen || chosen->empty())
        return;
    const CubeSaveResult r = SaveCube(SaveFormat::Bitmap, *chosen, SaveSource(), SaveOptions(1));
    if (!r.ok)
        m_prompts.Message(r.message);
}
