#pragma once
// Command-line options of arv300: the devices of the run, the simulator's switches, the window's
// script and screenshot options, and those of "arv300 acquire".
#include "instrument/Instrument.h"

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
    // Radiometric products (formats radiance and reflectance).
    std::string darkFile;    // a dark stack file to subtract (instead of, or before, --dark)
    std::string radCal;      // a radiometric calibration file: the gains to apply
    bool flatField = false;  // acquire a calibration stack of the uniform source, make gains from it
    bool assumeFlat = false; // the imager already looks at the uniform source: do not ask
    std::string flatOut;     // the calibration stack file of --flat-field (default: OUT_flat.cal)
    std::string flatFile;    // make the gains from this calibration or automatic calibration cube file
    std::string radCalOut;   // where the gains made are written (default: OUT_radcal.rad)
    std::string white;       // "L0:L1,S0:S1": the white reference of a reflectance cube
    double whiteReflectance = 1.0;
    bool whiteReflectanceGiven = false;
    double stallSeconds =
        ScannerLink::kDefaultStallMs / 1000.0; // mirror waits end after this without progress
};

// "arv300 convert IN --format F --out OUT": a saved cube into another format, without a window.
struct ConvertOptions {
    std::string input;
    std::string format; // standard, bil, bsq, bip, movie or bitmap
    std::string out;
    bool createHeader = true;
    int periodMs = 100;    // movie
    bool normalise = true; // movie
};

struct AppOptions {
    bool help = false;
    bool acquire = false;
    AcquireOptions acq;
    // Devices of the run and the simulator's switches. Parsing sets attachSimulators: the program
    // attaches the simulated devices it chooses.
    InstrumentOptions devices;
    bool convert = false;
    ConvertOptions conv;
    bool nonInteractive = false;
    bool quitWhenReady = false;
    std::string workDir;
    std::string screenshot;        // save the main window as this PNG, then exit
    std::string previewScreenshot; // also save the focus preview window as this PNG
    std::string screenshotAfter;   // "", "cube", "dark", "spectral": acquisition before the screenshot
    int screenshotLine = -1;       // take it while the cube reaches this line (-1: after the scan)
    int imageScaleMin = -1, imageScaleMax = -1; // tick "Image Scale" with these slider values
    bool color = false;            // tick "Color"
    bool showSaturation = false;   // tick "Show saturation"
    int rgb[3] = {-1, -1, -1};     // bands of the R, G, B lists
    int probeX = -1, probeY = -1;  // move the mouse to this picture point (spectrum probe)
    int refX = -1, refY = -1;      // left click this picture point (reference curve)
    std::string white;             // Shift-drag over these lines and samples (white reference)
};

bool ParseAppOptions(const QStringList& args, AppOptions& options, std::string& error);
std::string AppOptionsHelp();
// Changes to --workdir when given; creates nothing.
bool ApplyWorkingDirectory(const AppOptions& options, std::string& error);
