#pragma once
// Command-line options of arv300 and the simulated instrument they set up.
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMonochromator.h"
#include "sim/SimScene.h"

#include <QStringList>
#include <memory>
#include <string>
#include <vector>

// "arv300 acquire": unattended acquisition from the command line.
struct AcquireOptions {
    double integrationMs = -1; // -1: the camera settings file's value
    int gain = -1;             // -1: the camera settings file's value
    bool dark = false;         // a dark stack before the cubes
    std::string darkOut;       // dark file path (default: <out>_dark.drk, or the automatic name)
    bool cube = true;          // --no-cube: only the dark stack
    std::string format = "standard";
    std::string out;           // path, or pattern with {n} for the scan number; empty: automatic name
    bool createHeader = true;
    int scans = 1;
    double intervalSeconds = 0;
    int periodMs = 100;        // movie
    bool normalise = true;     // movie
    bool quiet = false;
    bool allowNoMirror = false;
    bool assumeDark = false;
};

struct AppOptions {
    bool help = false;
    bool acquire = false;
    AcquireOptions acq;
    bool simulate = true;
    bool nonInteractive = false;
    bool quitWhenReady = false;
    std::string workDir;
    std::string screenshot;        // save the main window as this PNG, then exit
    std::string previewScreenshot; // also save the focus preview window as this PNG
    std::string screenshotAfter;   // "", "cube", "dark", "spectral": acquisition before the screenshot
    int screenshotLine = -1;       // take it while the cube reaches this line (-1: after the scan)
    int imageScaleMin = -1, imageScaleMax = -1; // tick "Image Scale" with these slider values
    bool color = false;            // tick "Color"
    int rgb[3] = {-1, -1, -1};     // bands of the R, G, B lists
    int probeX = -1, probeY = -1;  // move the mouse to this picture point (spectrum probe)
    int refX = -1, refY = -1;      // left click this picture point (reference curve)
    SimCameraSettings cameras;
    SimTarget target = SimTarget::Scene;
    bool noise = false;
    double mirrorSpeed = 165000.0; // counts per second
    std::string controllerFault;    // "", "silent", "garbage", "stuck", "absent"
};

bool ParseAppOptions(const QStringList& args, AppOptions& options, std::string& error);
std::string AppOptionsHelp();
// Changes to --workdir when given; creates nothing.
bool ApplyWorkingDirectory(const AppOptions& options, std::string& error);

// The simulated instrument of this process: configured from the options at construction, stopped
// (every thread joined) at destruction.
class SimulatedInstrument {
public:
    explicit SimulatedInstrument(const AppOptions& options);
    ~SimulatedInstrument();
    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

    SimController* Controller() { return m_controller.get(); }

private:
    bool m_active;
    std::unique_ptr<SimController> m_controller;
    std::unique_ptr<SimMonochromator> m_monochromator;
};
