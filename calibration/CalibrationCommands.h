#pragma once
// The commands on the dark frame and the radiometric gains: "Save Dark Cube", "Save Calibration
// Cube", "Load Dark Frame...", "Load Rad. Cal...", "Compute Rad. Cal. from Cal Cube..." and
// "Reset Rad. Cal.". They work on the engine's stacks and its calibration store, ask for files and
// show messages through UserPrompts, keep the names of the dark and gains files in use, and tell
// the window what to show through the callbacks of Display, in the order the operator sees it.
// Called on the window thread; Qt-free.
#include "calibration/DefaultCalibration.h"

#include <functional>
#include <optional>
#include <string>

class AcquisitionEngine;
class UserPrompts;

class CalibrationCommands {
public:
    // What the window shows; each callback may be left empty.
    struct Display {
        std::function<void(const std::string& text)> darkLabel;   // "Dark Frame: ..."
        std::function<void(const std::string& text)> radCalLabel; // "Rad. Cal.:  ..."
        std::function<void(const std::string& text)> status;      // status pane 3
        std::function<void()> enableApplyDark;                    // "Apply Dark" may be ticked
        std::function<void()> repaint;                            // a new picture (the dark frame changed)
    };

    // calibration describes the instrument in the headers of the stack files.
    CalibrationCommands(AcquisitionEngine& engine, UserPrompts& prompts,
                        const DefaultCalibration& calibration, Display display);

    // The dark stack, then the calibration stack, into a file the operator names; exposureMs is the
    // integration time written in the header. A saved dark stack makes the dark frame valid and
    // names it; a saved calibration stack names the gains file. A file that could not be written
    // whole is reported and changes nothing.
    void SaveDarkCube(double exposureMs);
    void SaveCalibrationCube(double exposureMs);
    // Reads a dark stack file and averages it into the dark frame (status pane 3: how many frames
    // the file held). Cancel shows the name in use again; a file that cannot be read or is no dark
    // stack leaves the dark frame, the label and the name as they were. Nothing while the engine
    // is busy.
    void LoadDarkCube();
    // Reads a gains file. Cancel shows the name in use again; a file that cannot be read or holds
    // no gains keeps the gains and the name, shows "None" and counts as no gains loaded. Nothing
    // while the engine is busy.
    void LoadRadCal();
    // Gains from a calibration (or automatic calibration) stack file and the dark frame, saved as a
    // gains file beside it and loaded. Refused without a dark frame; nothing while the engine is busy.
    void ComputeRadCal();
    // The first B x 520 gains back to 1.0.
    void ResetRadCal();

    // The names of the files in use ("None" until one is), without their folders.
    const std::string& DarkFileName() const { return m_darkFileName; }
    const std::string& RadCalFileName() const { return m_radCalFileName; }
    // The dark frame came from elsewhere (a cube file opened): its name as it should be shown.
    void SetDarkFileName(const std::string& name) { m_darkFileName = name; }
    // Both back to "None" (the window's start-up).
    void ForgetFileNames();

private:
    // Asks for the file and writes the dark (or the calibration) stack into it; the path when the
    // file was written whole, nothing (after the message) when it was not or the dialog was cancelled.
    std::optional<std::string> SaveStack(bool dark, double exposureMs);
    // Loads a gains file as "Load Rad. Cal..." does, once the operator has chosen it; false when
    // it was not loaded.
    bool LoadGains(const std::string& path);
    void Show(const std::function<void(const std::string&)>& f, const std::string& text) const {
        if (f)
            f(text);
    }

    AcquisitionEngine& m_engine;
    UserPrompts& m_prompts;
    const DefaultCalibration& m_calibration;
    Display m_display;
    std::string m_darkFileName = "None";
    std::string m_radCalFileName = "None";
};
