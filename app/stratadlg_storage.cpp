// The main window's storage commands: "Save Cube" opens the Cube Formatting dialog, whose OK calls
// one of the savers below.
#include "app/stratadlg.h"

#include "resources/resource.h"
#include "storage/CubeWriters.h"
#include "storage/MovieExport.h"

#include <QCheckBox>
#include <QWindow>
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
    dlg->SetSavers(std::move(savers));
    return dlg;
}

// Returns true when the command belongs to this subsystem and was handled.
bool CStrataDlg::OnStorageCommand(int id) {
    switch (id) {
    case ID_FILE_SAVE_CUBE:
    case ID_TB_SAVE_CUBE:
        if (m_engine->m_busy.load()) {
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
    if (!m_engine->m_busy.load())
        return true;
    m_prompts.Message(AppMsg::kSaveBusy);
    return false;
}

std::optional<std::string> CStrataDlg::AskCubeSavePath() {
    m_cubeFileName = ComposeCubeFileName(m_cubeFilePrefix, m_cameraSettingsDlg->Values().exposure,
                                         m_scanStartLine, m_scanStopLine, CurrentLocalTime());
    const std::optional<std::string> chosen = m_prompts.AskSavePath(m_cubeFileName);
    if (!chosen || chosen->empty())
        return std::nullopt;
    return EnsureCubeSuffix(*chosen);
}

void CStrataDlg::WriteEnviHeader(const std::string& cubePath, int lines, int samples,
                                 const char* interleave) {
    const int32_t headerOffset = m_cubeFormattingDlg->m_formatStandard ? int32_t(kCubeHeaderSize) : 0;
    const std::string text =
        BuildEnviHeaderText(lines, samples, m_engine->Geometry().bands, headerOffset, interleave,
                            m_defCal.coeffs, m_scanStartLine, m_scanStopLine);
    const CubeWriteResult r = ::WriteEnviHeader(cubePath, text);
    if (!r)
        m_prompts.Message(r.message);
}

void CStrataDlg::SaveStandardCube() {
    const std::optional<std::string> path = AskCubeSavePath();
    if (!path || !CubeIdle())
        return;
    const CubeGeometry g = m_engine->Geometry();
    CubeHeaderInfo info;
    info.samples = g.height;
    info.lines = g.width;
    info.bands = uint16_t(g.bands);
    info.exposureMs = m_cameraSettingsDlg->Values().exposure;
    info.calibration = DefCal();
    info.variant = CubeHeaderVariant::Cube;
    // The dark frame may be replaced by a loader while the file is written: take a copy.
    std::vector<uint16_t> dark;
    {
        std::lock_guard lock(m_engine->m_darkFrameMutex);
        dark.assign(m_engine->m_darkFrame.begin(), m_engine->m_darkFrame.begin() + ptrdiff_t(g.LineValues()));
    }
    const CubeWriteResult r = WriteStandardCubeFile(*path, m_engine->m_cube.data(), g, dark.data(), info);
    if (!r) {
        m_prompts.Message(r.message);
        return;
    }
    WriteEnviHeader(*path, g.width, g.height, kInterleaveBil);
}

void CStrataDlg::SaveEnviCube(int createHeader, const char* interleave) {
    const std::optional<std::string> path = AskCubeSavePath();
    if (!path || !CubeIdle())
        return;
    const CubeGeometry g = m_engine->Geometry();
    const std::string layout = interleave;
    const uint16_t* cube = m_engine->m_cube.data();
    const CubeWriteResult r = layout == kInterleaveBsq   ? WriteBsqCubeFile(*path, cube, g)
                              : layout == kInterleaveBip ? WriteBipCubeFile(*path, cube, g)
                                                         : WriteBilCubeFile(*path, cube, g);
    if (!r) {
        m_prompts.Message(r.message);
        return;
    }
    // The header follows the body, so a cube that could not be written leaves no header behind.
    if (createHeader)
        WriteEnviHeader(*path, g.width, g.height, interleave);
}

void CStrataDlg::SaveBilCube(int createHeader) {
    SaveEnviCube(createHeader, kInterleaveBil);
}
void CStrataDlg::SaveBsqCube(int createHeader) {
    SaveEnviCube(createHeader, kInterleaveBsq);
}
void CStrataDlg::SaveBipCube(int createHeader) {
    SaveEnviCube(createHeader, kInterleaveBip);
}

void CStrataDlg::SaveMovie() {
    const bool normalise = m_cubeFormattingDlg->m_normalizePerFrame != 0;
    const std::optional<std::string> chosen = m_prompts.AskSavePath({});
    if (!chosen || chosen->empty() || !CubeIdle())
        return;
    const std::string path = EnsureAviSuffix(*chosen);
    const int period = m_cubeFormattingDlg->GetFrameInterval();
    const CubeGeometry g = m_engine->Geometry();
    const bool applyRadCal = static_cast<QCheckBox*>(Control(IDC_APPLY_RADCAL))->isChecked();
    std::vector<double> factors;
    {
        // The gains may be replaced by a loader meanwhile.
        std::lock_guard lock(m_engine->m_darkFrameMutex);
        factors = ComputeMovieFactors(m_engine->m_cube.data(), g, normalise, applyRadCal,
                                      m_engine->m_radCalGains.data());
    }
    const MovieResult r =
        WriteMovie(path, period, factors, normalise, m_engine->m_cube.data(), g, Wavelengths());
    // A movie that could not be completed leaves no file; say so rather than fail silently.
    if (!r)
        m_prompts.Message(r.error == AVIERR_FILEOPEN ? std::string(kUnableToSaveCube) : r.errorText);
}

void CStrataDlg::SaveBitmap() {
    const std::optional<std::string> chosen = m_prompts.AskSavePath({});
    if (!chosen || chosen->empty())
        return;
    const std::string& path = *chosen; // used as chosen: no extension is added
    FILE* probe = std::fopen(path.c_str(), "wb+");
    if (!probe) {
        m_prompts.Message(kUnableToSaveCube);
        return;
    }
    std::fclose(probe);
    if (!ImageProc().SaveBitmapFile(path)) {
        // A short bitmap would look like a picture that lost its rows.
        std::remove(path.c_str());
        m_prompts.Message(kUnableToSaveCube);
    }
}
