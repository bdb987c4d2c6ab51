#include "calibration/CalibrationCommands.h"

#include "calibration/CalibrationFiles.h"
#include "calibration/RadiometricCorrection.h"
#include "camera/AcquisitionEngine.h"
#include "core/UserPrompts.h"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

CalibrationCommands::CalibrationCommands(AcquisitionEngine& engine, UserPrompts& prompts,
                                         const DefaultCalibration& calibration, Display display)
    : m_engine(engine), m_prompts(prompts), m_calibration(calibration), m_display(std::move(display)) {}

void CalibrationCommands::ForgetFileNames() {
    m_darkFileName = "None";
    m_radCalFileName = "None";
}

std::optional<std::string> CalibrationCommands::SaveStack(bool dark, double exposureMs) {
    const std::optional<std::string> path = m_prompts.AskSavePath();
    if (!path)
        return std::nullopt;
    const CubeGeometry g = m_engine.Geometry();
    const std::vector<uint16_t> stack =
        m_engine.CopyStack(dark ? AcquisitionEngine::Stack::Dark : AcquisitionEngine::Stack::Calibration);
    const CubeHeaderInfo header = StackHeaderInfo(g, exposureMs, m_calibration);
    const FileResult saved = dark ? SaveDarkCubeFile(*path, stack.data(), g, header)
                                  : SaveCalibrationCubeFile(*path, stack.data(), g, header);
    // A file that could not be written whole is reported like one that could not be created.
    if (saved != FileResult::Ok) {
        m_prompts.Message(dark ? kMsgUnableToSaveDarkFrame : kMsgUnableToSaveCalibrationCube);
        return std::nullopt;
    }
    return path;
}

void CalibrationCommands::SaveDarkCube(double exposureMs) {
    const std::optional<std::string> path = SaveStack(true, exposureMs);
    if (!path)
        return;
    m_darkFileName = FileNameWithoutFolder(*path);
    Show(m_display.darkLabel, DarkLabelText(m_darkFileName));
    m_engine.Calibration().SetDarkFrameValid(true);
}

void CalibrationCommands::SaveCalibrationCube(double exposureMs) {
    if (const std::optional<std::string> path = SaveStack(false, exposureMs))
        m_radCalFileName = FileNameWithoutFolder(*path);
}

void CalibrationCommands::LoadDarkCube() {
    if (m_engine.Busy())
        return;
    const std::optional<std::string> path = m_prompts.AskOpenPath();
    if (!path) {
        Show(m_display.darkLabel, DarkLabelText(m_darkFileName));
        return;
    }
    const CubeGeometry g = m_engine.Geometry();
    std::vector<uint16_t> stack(size_t(g.darkLines) * g.LineValues());
    const DarkCubeLoad load = LoadDarkCubeFile(*path, stack.data(), g);
    if (load.result != FileResult::Ok) {
        // A file that is no dark stack leaves the dark frame, the label and the names as they were.
        m_prompts.Message(load.result == FileResult::Refused ? load.problem : kMsgUnableToOpenDarkFrameFile);
        return;
    }
    // The stack in file order (a short file leaves the rest 0), then its mean.
    m_engine.WriteStack(AcquisitionEngine::Stack::Dark, 0, stack.data(), stack.size());
    m_darkFileName = FileNameWithoutFolder(*path);
    m_engine.ComputeDarkFrame();
    Show(m_display.darkLabel, DarkLabelText(m_darkFileName));
    m_engine.Calibration().SetDarkFrameValid(true);
    if (m_display.enableApplyDark)
        m_display.enableApplyDark();
    // Status pane 3: how much of the stack the file held.
    char text[128];
    std::snprintf(text, sizeof text, "%d of %d dark frames read", load.framesRead, g.darkLines);
    Show(m_display.status, text);
    if (m_display.repaint)
        m_display.repaint();
}

void CalibrationCommands::LoadRadCal() {
    if (m_engine.Busy())
        return;
    const std::optional<std::string> path = m_prompts.AskOpenPath();
    if (!path) {
        Show(m_display.radCalLabel, RadCalLabelText(m_radCalFileName));
        return;
    }
    LoadGains(*path);
}

bool CalibrationCommands::LoadGains(const std::string& path) {
    const RadCalLoad load = m_engine.Calibration().LoadGainsFile(path, m_engine.Geometry().LineValues());
    if (load.result != FileResult::Ok) {
        // A file holding values that are no gains is treated like one that cannot be opened: the
        // gains stay as they were, and none count as loaded.
        m_prompts.Message(load.result == FileResult::Refused ? load.problem : kMsgUnableToOpenRadCalFile);
        Show(m_display.radCalLabel, RadCalLabelText("None"));
        return false;
    }
    m_radCalFileName = FileNameWithoutFolder(path);
    Show(m_display.radCalLabel, RadCalLabelText(m_radCalFileName));
    return true;
}

void CalibrationCommands::ComputeRadCal() {
    if (m_engine.Busy())
        return;
    // The flat field is dark subtracted: without a dark frame the gains would hold the offset.
    if (!m_engine.DarkFrameValid()) {
        m_prompts.Message(RadCalMsg::kNoDarkFrame);
        return;
    }
    const std::optional<std::string> stackPath = m_prompts.AskOpenPath();
    if (!stackPath || stackPath->empty())
        return;
    const CubeGeometry g = m_engine.Geometry();
    const CalStackLoad stack = LoadCalibrationStackFile(*stackPath, g);
    if (stack.result != FileResult::Ok) {
        m_prompts.Message(stack.result == FileResult::Refused
                              ? stack.problem
                              : "Unable to open calibration cube file " + *stackPath);
        return;
    }
    const std::vector<uint16_t> dark = m_engine.Calibration().CopyDarkFrame(g.LineValues());
    const FlatFieldGains gains =
        ComputeFlatFieldGains(stack.stack.data(), stack.frames, dark.data(), g.bands, g.height);
    // The gains file is offered beside the stack, named after it.
    std::string suggested = FileNameWithoutFolder(*stackPath);
    if (const size_t dot = suggested.rfind('.'); dot != std::string::npos && dot > 0)
        suggested.resize(dot);
    const std::optional<std::string> gainsPath = m_prompts.AskSavePath(suggested + ".rad");
    if (!gainsPath || gainsPath->empty())
        return;
    if (SaveRadCalFile(*gainsPath, gains.gains.data(), gains.gains.size()) != FileResult::Ok) {
        m_prompts.Message(RadCalMsg::kUnableToSaveRadCal);
        return;
    }
    // Then loaded as "Load Rad. Cal..." loads a file.
    if (!LoadGains(*gainsPath))
        return;
    const std::string summary = FlatFieldSummary(FileNameWithoutFolder(*stackPath), gains);
    Show(m_display.status, summary);
    // Pixels without signal get no gain: the operator is told how many.
    if (gains.zeroGains > 0)
        m_prompts.Message(summary);
}

void CalibrationCommands::ResetRadCal() {
    m_engine.Calibration().ResetGains(size_t(m_engine.Geometry().bands) * 520u);
}
