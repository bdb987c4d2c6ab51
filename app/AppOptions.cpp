#include "app/AppOptions.h"

#include "calibration/RadiometricCorrection.h"

#include <unistd.h>

#include "core/ValueRanges.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {
// Limits of the acquisition options beyond those of the settings files.
constexpr double kMaxIntervalSeconds = 86400.0; // a day between scan starts
constexpr int kMaxScans = 100000; // with a day between starts, the series still fits the steady clock
constexpr int kMaxMoviePeriodMs = 3600000; // an hour per movie frame

bool ToInt(const QString& s, int& v) {
    bool ok = false;
    v = s.toInt(&ok);
    return ok;
}
// A finite number from lo to hi; v is left as it was otherwise.
bool ToDoubleIn(const QString& s, double lo, double hi, double& v) {
    bool ok = false;
    const double d = s.toDouble(&ok);
    if (!ok || !std::isfinite(d) || d < lo || d > hi)
        return false;
    v = d;
    return true;
}
// A whole number from lo to hi; v is left as it was otherwise.
bool ToIntIn(const QString& s, int lo, int hi, int& v) {
    int n = 0;
    if (!ToInt(s, n) || n < lo || n > hi)
        return false;
    v = n;
    return true;
}

// The value after the option args[i]: i moves onto it, or the error names the option that lacks it.
bool TakeValue(const QStringList& args, int& i, QString& out, std::string& error) {
    if (i + 1 >= args.size()) {
        error = "missing value after " + args[i].toStdString();
        return false;
    }
    out = args[++i];
    return true;
}
} // namespace

std::string AppOptionsHelp() {
    return "Usage: arv300 [options]\n"
           "\n"
           "ARV300 Data Acquisition Software.\n"
           "\n"
           "Devices: each device of the instrument is real or simulated.\n"
           "  - A serial device is real when its COM port has a line in ./Settings/ARV300_Ports.txt,\n"
           "    such as \"COM1 /dev/ttyUSB0\": the motion controller on the scanner settings' port\n"
           "    (COM1), the monochromator on COM4.\n"
           "  - A camera is real when a backend other than the simulator is configured for it:\n"
           "    --camera and --focus-camera, or the lines \"DataCamera BACKEND\" and\n"
           "    \"FocusCamera BACKEND\" of the ports map. With --devices real the cameras come from\n"
           "    the vendor's camera library (liblucamapi.so) unless another backend is named.\n"
           "  - Every other device is simulated: without a ports map the program runs on its\n"
           "    simulated instrument (two cameras, the controller on COM1, the monochromator on COM4).\n"
           "  The window's status pane 4 (and acquire's first line on stderr) says which devices are\n"
           "  simulated. The Simulator menu and every --sim-* switch act only on simulated devices.\n"
           "\n"
           "Options:\n"
           "  --help                   show this text\n"
           "  --simulate               every device simulated, whatever the ports map says\n"
           "  --devices MODE           auto (the rule above; the default), simulated (as --simulate)\n"
           "                           or real (no simulated device at all: a missing device gives\n"
           "                           the program's own messages, as on the bench)\n"
           "  --camera BACKEND         the data camera (and, for sim and lucam, the focus camera):\n"
           "                           sim (simulated), lucam (the vendor's camera library,\n"
           "                           liblucamapi.so), lucam:LIBRARY (that library file),\n"
           "                           genicam:DEVICE (a USB3 Vision or GigE Vision camera through\n"
           "                           Aravis, by its device id or serial number as arv-tool-0.8\n"
           "                           lists them; Fake_1 is Aravis's fake camera; no focus camera\n"
           "                           unless --focus-camera names one)\n"
           "  --focus-camera BACKEND   the focus camera alone: as --camera, or none\n"
           "  --non-interactive        print every message with its caption to stderr and cancel\n"
           "                           every file dialog, so that nothing waits on a dialog\n"
           "  --quit-when-ready        exit (code 0) as soon as start-up has reached \"Ready\"\n"
           "  --workdir DIR            run in DIR (which holds ./Settings)\n"
           "  --screenshot FILE        save the main window as a PNG once ready, then exit\n"
           "  --screenshot-after MODE  first run an acquisition: cube, dark or spectral\n"
           "  --screenshot-line N      take the screenshot when the cube reaches line N\n"
           "  --preview-screenshot F   with --screenshot: also save the focus preview window\n"
           "  --image-scale MIN:MAX    tick \"Image Scale\" with these limits (for screenshots)\n"
           "  --color                  tick \"Color\" (for screenshots)\n"
           "  --show-saturation        tick \"Show saturation\" (for screenshots)\n"
           "  --rgb R,G,B              bands of the colour composite (for screenshots)\n"
           "  --probe X,Y              probe the spectrum at picture point X,Y (for screenshots)\n"
           "  --reference X,Y          keep the spectrum at X,Y as reference curve (for screenshots)\n"
           "  --white L0:L1,S0:S1      Shift-drag over these lines and samples: the white\n"
           "                           reference of reflectance cubes (for screenshots)\n"
           "  --sim-cameras N          number of simulated cameras: 0, 1 or 2 (default 2)\n"
           "  --sim-target T           what the imager sees: scene, lenscap or sphere\n"
           "  --sim-vignetting V       the simulated imager's response falls off across the field\n"
           "                           by up to V (0 to 0.9; default 0, a flat response)\n"
           "  --sim-noise              add sensor noise\n"
           "  --sim-clock-scale F      run the simulated camera clock F times faster\n"
           "  --sim-mirror-speed C     mirror speed in counts per second (default 165000)\n"
           "  --sim-refuse-property P  the cameras refuse property P (20 exposure, 40 gain, 80 colour)\n"
           "  --sim-refuse-format      the cameras refuse a new frame format\n"
           "  --sim-controller F       controller fault: silent, garbage, stuck or absent\n"
           "  --sim-camera-stops-at P  the data camera stops delivering frames once the mirror\n"
           "                           stands at or beyond position P\n"
           "\n"
           "\n"
           "Exit codes: 0 normal end; 255 no data camera; 2 bad arguments.\n"
           "\n"
           "Usage: arv300 acquire [options] [simulator options above]\n"
           "\n"
           "Acquires without a window, with the same engine, scanner link and savers, and writes\n"
           "the files; messages go to stderr with their captions, progress to the terminal.\n"
           "\n"
           "  --integration MS         integration time (default: the camera settings file)\n"
           "  --gain N                 gain (default: the camera settings file)\n"
           "  --dark                   take a dark stack (25 lines) first and save it as a dark\n"
           "                           file (never subtracted: the cube files stay raw); in\n"
           "                           simulation the lens cap goes on for it, on real devices\n"
           "                           you are asked to cover the lens and press Enter\n"
           "  --assume-dark            the lens is already covered: do not ask\n"
           "  --dark-out PATH          the dark file (default: OUT_dark.drk)\n"
           "  --no-cube                only the dark stack\n"
           "  --format F               standard (default), bil, bsq, bip, movie, bitmap,\n"
           "                           radiance or reflectance (ENVI BIL of 32-bit floats: dark\n"
           "                           subtracted, gains applied when given; reflectance divided\n"
           "                           by the white reference); both need a dark frame\n"
           "  --dark-file PATH         subtract this dark stack file (\"Save Dark Frame...\")\n"
           "  --rad-cal PATH           apply the gains of this radiometric calibration file\n"
           "  --flat-field             take a calibration stack of a uniform source first (in\n"
           "                           simulation the sphere in white light; on real devices you\n"
           "                           are asked to point the imager at it and press Enter), save\n"
           "                           it, make the gains from it and apply them; needs a dark\n"
           "  --assume-flat            the imager already sees the uniform source: do not ask\n"
           "  --flat-out PATH          the calibration stack file (default: OUT_flat.cal)\n"
           "  --flat-file PATH         make the gains from this calibration or automatic\n"
           "                           calibration cube file instead\n"
           "  --rad-cal-out PATH       the gains made (default: OUT_radcal.rad)\n"
           "  --white L0:L1,S0:S1      reflectance: the white panel's lines and samples\n"
           "  --white-reflectance R    reflectance: the panel's known reflectance (default 1.0)\n"
           "  --out PATH               file to write; {n} stands for the scan number (1, 2, ...);\n"
           "                           default: the automatic name in the working folder\n"
           "  --no-header              no ENVI header beside bil, bsq and bip files\n"
           "  --scans N                number of cubes (default 1)\n"
           "  --interval S             seconds from the start of one scan to the next\n"
           "  --period MS              movie: milliseconds between frames (default 100)\n"
           "  --no-normalize           movie: one scale for all bands\n"
           "  --allow-no-mirror        scan even when the controller does not answer\n"
           "  --mirror-stall S         a wait on the mirror ends with \"Mirror did not reach N\" when\n"
           "                           the mirror has come no closer for S seconds (default 2)\n"
           "  --quiet                  only the summary lines\n"
           "\n"
           "Exit codes of acquire: 0 success; 2 bad arguments; 3 no data camera; 4 scanner offline;\n"
           "5 mirror time-out, mirror did not follow the scan, or link to the controller lost (what\n"
           "was acquired is still saved);\n"
           "6 save failed; 7 the data camera stopped delivering frames (the lines taken before are\n"
           "saved in the cube; a dark stack cut short is not saved). A camera that delivers no frame\n"
           "for five frame periods plus 3 s ends the acquisition.\n"
           "Ctrl-C or SIGTERM stops the scan as Stop does: the lines taken are written, the summary\n"
           "says \"stopped at line N\", and the exit code is 130 (Ctrl-C) or 143 (SIGTERM); a second\n"
           "Ctrl-C ends the program at once, after switching the mirror's drive off.\n"
           "\n"
           "Usage: arv300 convert IN --format F --out OUT [options]\n"
           "\n"
           "Reads a saved cube (the program's own format, or ENVI BIL, BSQ or BIP with its .hdr;\n"
           "520 samples x 696 lines x 128 bands, unsigned 16-bit) and writes it in format F with\n"
           "the savers of the window; its line record (NAME.lines.csv) goes along.\n"
           "\n"
           "  --format F               standard, bil, bsq, bip, movie or bitmap\n"
           "  --out PATH               file to write\n"
           "  --no-header              no ENVI header beside bil, bsq and bip files\n"
           "  --period MS              movie: milliseconds between frames (default 100)\n"
           "  --no-normalize           movie: one scale for all bands\n"
           "\n"
           "Exit codes of convert: 0 success; 2 bad arguments; 6 save failed; 7 the input could not\n"
           "be read (its message says why).\n";
}

namespace {
bool ParseConvertOptions(const QStringList& args, AppOptions& o, std::string& error) {
    o.convert = true;
    o.nonInteractive = true;
    ConvertOptions& c = o.conv;
    const QStringList formats = {"standard", "bil", "bsq", "bip", "movie", "bitmap"};
    for (int i = 2; i < args.size(); ++i) {
        const QString a = args[i];
        QString v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--format") {
            if (!TakeValue(args, i, v, error))
                return false;
            if (!formats.contains(v)) {
                error = "--format takes standard, bil, bsq, bip, movie or bitmap";
                return false;
            }
            c.format = v.toStdString();
        } else if (a == "--out") {
            if (!TakeValue(args, i, v, error) || v.isEmpty()) {
                error = "--out takes a path";
                return false;
            }
            c.out = v.toStdString();
        } else if (a == "--no-header") {
            c.createHeader = false;
        } else if (a == "--no-normalize") {
            c.normalise = false;
        } else if (a == "--period") {
            if (!TakeValue(args, i, v, error) || !ToIntIn(v, 1, kMaxMoviePeriodMs, c.periodMs)) {
                error = "--period takes whole milliseconds from 1 to 3600000";
                return false;
            }
        } else if (a.startsWith("--")) {
            error = "unknown option " + a.toStdString() + " (see arv300 convert --help)";
            return false;
        } else if (c.input.empty()) {
            c.input = a.toStdString();
        } else {
            error = "convert takes one input file (" + c.input + " and " + a.toStdString() + " given)";
            return false;
        }
    }
    if (o.help)
        return true;
    if (c.input.empty() || c.format.empty() || c.out.empty()) {
        error = "usage: arv300 convert IN --format F --out OUT (see arv300 convert --help)";
        return false;
    }
    return true;
}
} // namespace

namespace {
// The options of the radiometric products, taken together: what each needs, and what would be
// given in vain.
bool CheckRadiometricOptions(const AcquireOptions& a, std::string& error) {
    const bool corrected = a.format == "radiance" || a.format == "reflectance";
    const bool hasDark = a.dark || !a.darkFile.empty();
    if (a.dark && !a.darkFile.empty()) {
        error = "--dark and --dark-file both give the dark frame: choose one";
        return false;
    }
    if (int(a.flatField) + int(!a.flatFile.empty()) + int(!a.radCal.empty()) > 1) {
        error = "--flat-field, --flat-file and --rad-cal each give the gains: choose one";
        return false;
    }
    if (corrected && !hasDark) {
        error = "--format " + a.format + " needs a dark frame: --dark or --dark-file PATH";
        return false;
    }
    if ((a.flatField || !a.flatFile.empty()) && !hasDark) {
        error = std::string(a.flatField ? "--flat-field" : "--flat-file") +
                " needs a dark frame to subtract from the flat field: --dark or --dark-file PATH";
        return false;
    }
    if (a.format == "reflectance" && a.white.empty()) {
        error = "--format reflectance needs the white reference: --white L0:L1,S0:S1 (the white panel's "
                "lines and "
                "samples)";
        return false;
    }
    if (a.format != "reflectance" && (!a.white.empty() || a.whiteReflectanceGiven)) {
        error = std::string(a.white.empty() ? "--white-reflectance" : "--white") +
                " is used only with --format reflectance";
        return false;
    }
    if (!a.white.empty()) {
        WhiteRect rect;
        if (!ParseWhiteRect(a.white, rect, error))
            return false;
    }
    if (!a.radCalOut.empty() && !a.flatField && a.flatFile.empty()) {
        error = "--rad-cal-out names the gains made by --flat-field or --flat-file";
        return false;
    }
    if (!a.flatOut.empty() && !a.flatField) {
        error = "--flat-out names the calibration stack of --flat-field";
        return false;
    }
    return true;
}
} // namespace

bool ParseAppOptions(const QStringList& args, AppOptions& o, std::string& error) {
    // The program attaches the simulated devices it chooses.
    o.devices.attachSimulators = true;
    SimulatorOptions& sim = o.devices.sim;
    int first = 1;
    if (args.size() > 1 && args[1] == "acquire") {
        o.acquire = true;
        o.nonInteractive = true;
        first = 2;
    } else if (args.size() > 1 && args[1] == "convert") {
        return ParseConvertOptions(args, o, error);
    }
    for (int i = first; i < args.size(); ++i) {
        const QString a = args[i];
        QString v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--simulate") {
            o.devices.mode = DeviceMode::Simulate;
        } else if (a == "--devices") {
            if (!TakeValue(args, i, v, error))
                return false;
            if (v == "auto")
                o.devices.mode = DeviceMode::Auto;
            else if (v == "simulated" || v == "simulate" || v == "sim")
                o.devices.mode = DeviceMode::Simulate;
            else if (v == "real")
                o.devices.mode = DeviceMode::Real;
            else {
                error = "--devices takes auto, simulated or real";
                return false;
            }
        } else if (a == "--camera" || a == "--focus-camera") {
            if (!TakeValue(args, i, v, error))
                return false;
            std::string why;
            const std::optional<CameraChoice> choice = CameraChoice::Parse(v.toStdString(), &why);
            if (!choice) {
                error = a.toStdString() + ": " + why;
                return false;
            }
            (a == "--camera" ? o.devices.dataCamera : o.devices.focusCamera) = choice;
        } else if (a == "--non-interactive") {
            o.nonInteractive = true;
        } else if (a == "--quit-when-ready") {
            o.quitWhenReady = true;
        } else if (a == "--workdir") {
            if (!TakeValue(args, i, v, error))
                return false;
            o.workDir = v.toStdString();
        } else if (a == "--screenshot") {
            if (!TakeValue(args, i, v, error))
                return false;
            o.screenshot = v.toStdString();
        } else if (a == "--screenshot-after") {
            if (!TakeValue(args, i, v, error))
                return false;
            if (v != "cube" && v != "dark" && v != "spectral") {
                error = "--screenshot-after takes cube, dark or spectral";
                return false;
            }
            o.screenshotAfter = v.toStdString();
        } else if (a == "--preview-screenshot") {
            if (!TakeValue(args, i, v, error))
                return false;
            o.previewScreenshot = v.toStdString();
        } else if (a == "--screenshot-line") {
            if (!TakeValue(args, i, v, error) || !ToIntIn(v, 0, 695, o.screenshotLine)) {
                error = "--screenshot-line takes a line number from 0 to 695";
                return false;
            }
        } else if (a == "--image-scale" || a == "--probe" || a == "--reference") {
            if (!TakeValue(args, i, v, error))
                return false;
            const QStringList parts = v.split(a == "--image-scale" ? ':' : ',');
            // Slider values (0 ... 4095) or a point of the picture (696 x 520).
            const bool scale = a == "--image-scale";
            int p0 = 0, p1 = 0;
            if (parts.size() != 2 || !ToIntIn(parts[0], 0, scale ? 4096 : 695, p0) ||
                !ToIntIn(parts[1], 0, scale ? 4096 : 519, p1)) {
                error = a.toStdString() + (scale ? " takes MIN:MAX from 0 to 4096" : " takes X,Y of the picture (0 to 695, 0 to 519)");
                return false;
            }
            if (a == "--image-scale") {
                o.imageScaleMin = p0;
                o.imageScaleMax = p1;
            } else if (a == "--probe") {
                o.probeX = p0;
                o.probeY = p1;
            } else {
                o.refX = p0;
                o.refY = p1;
            }
        } else if (!o.acquire && a == "--white") {
            WhiteRect rect;
            if (!TakeValue(args, i, v, error) || !ParseWhiteRect(v.toStdString(), rect, error) ||
                !(error = CheckWhiteRect(rect, CubeGeometry{})).empty())
                return false;
            o.white = v.toStdString();
        } else if (a == "--rgb") {
            if (!TakeValue(args, i, v, error))
                return false;
            const QStringList parts = v.split(',');
            if (parts.size() != 3 || !ToIntIn(parts[0], 0, 127, o.rgb[0]) || !ToIntIn(parts[1], 0, 127, o.rgb[1]) ||
                !ToIntIn(parts[2], 0, 127, o.rgb[2])) {
                error = "--rgb takes three band numbers from 0 to 127";
                return false;
            }
        } else if (a == "--color") {
            o.color = true;
        } else if (a == "--show-saturation") {
            o.showSaturation = true;
        } else if (o.acquire && a == "--integration") {
            if (!TakeValue(args, i, v, error) || !ToDoubleIn(v, ValueRange::kMinIntegrationMs, ValueRange::kMaxIntegrationMs,
                                         o.acq.integrationMs)) {
                error = "--integration takes milliseconds from 0.001 to 60000";
                return false;
            }
        } else if (o.acquire && a == "--interval") {
            // Above 0 (0 would mean no interval, which is the default) and at most a day.
            if (!TakeValue(args, i, v, error) || !ToDoubleIn(v, 0, kMaxIntervalSeconds, o.acq.intervalSeconds) ||
                o.acq.intervalSeconds <= 0) {
                error = "--interval takes seconds, above 0 and at most 86400 (a day)";
                return false;
            }
        } else if (o.acquire && a == "--gain") {
            if (!TakeValue(args, i, v, error) || !ToIntIn(v, ValueRange::kMinGain, ValueRange::kMaxGain, o.acq.gain)) {
                error = "--gain takes a whole number from 1 to 1000";
                return false;
            }
        } else if (o.acquire && a == "--scans") {
            if (!TakeValue(args, i, v, error) || !ToIntIn(v, 1, kMaxScans, o.acq.scans)) {
                error = "--scans takes a whole number from 1 to 100000";
                return false;
            }
        } else if (o.acquire && a == "--period") {
            if (!TakeValue(args, i, v, error) || !ToIntIn(v, 1, kMaxMoviePeriodMs, o.acq.periodMs)) {
                error = "--period takes whole milliseconds from 1 to 3600000";
                return false;
            }
        } else if (o.acquire && a == "--format") {
            if (!TakeValue(args, i, v, error))
                return false;
            const QStringList formats = {"standard", "bil",    "bsq",      "bip",
                                         "movie",    "bitmap", "radiance", "reflectance"};
            if (!formats.contains(v)) {
                error = "--format takes standard, bil, bsq, bip, movie, bitmap, radiance or reflectance";
                return false;
            }
            o.acq.format = v.toStdString();
        } else if (o.acquire && (a == "--dark-file" || a == "--rad-cal" || a == "--flat-out" ||
                                 a == "--flat-file" || a == "--rad-cal-out" || a == "--white")) {
            if (!TakeValue(args, i, v, error) || v.isEmpty()) {
                error = a.toStdString() + (a == "--white" ? " takes L0:L1,S0:S1" : " takes a path");
                return false;
            }
            std::string& target = a == "--dark-file"   ? o.acq.darkFile
                                  : a == "--rad-cal"   ? o.acq.radCal
                                  : a == "--flat-out"  ? o.acq.flatOut
                                  : a == "--flat-file" ? o.acq.flatFile
                                  : a == "--white"     ? o.acq.white
                                                       : o.acq.radCalOut;
            target = v.toStdString();
        } else if (o.acquire && a == "--flat-field") {
            o.acq.flatField = true;
        } else if (o.acquire && a == "--assume-flat") {
            o.acq.assumeFlat = true;
        } else if (o.acquire && a == "--white-reflectance") {
            if (!TakeValue(args, i, v, error) || !ToDoubleIn(v, 0, 1.5, o.acq.whiteReflectance) ||
                o.acq.whiteReflectance <= 0) {
                error = "--white-reflectance takes the panel's reflectance, above 0 and at most 1.5";
                return false;
            }
            o.acq.whiteReflectanceGiven = true;
        } else if (o.acquire && (a == "--out" || a == "--dark-out")) {
            if (!TakeValue(args, i, v, error) || v.isEmpty()) {
                error = a.toStdString() + " takes a path";
                return false;
            }
            (a == "--out" ? o.acq.out : o.acq.darkOut) = v.toStdString();
        } else if (o.acquire && a == "--dark") {
            o.acq.dark = true;
        } else if (o.acquire && a == "--no-cube") {
            o.acq.cube = false;
        } else if (o.acquire && a == "--no-header") {
            o.acq.createHeader = false;
        } else if (o.acquire && a == "--no-normalize") {
            o.acq.normalise = false;
        } else if (o.acquire && a == "--quiet") {
            o.acq.quiet = true;
        } else if (o.acquire && a == "--allow-no-mirror") {
            o.acq.allowNoMirror = true;
        } else if (o.acquire && a == "--assume-dark") {
            o.acq.assumeDark = true;
        } else if (o.acquire && a == "--mirror-stall") {
            double d = 0;
            if (!TakeValue(args, i, v, error) || !ToDoubleIn(v, 0, 3600, d) || d <= 0) {
                error = "--mirror-stall takes a number of seconds (above 0, at most 3600)";
                return false;
            }
            o.acq.stallSeconds = d;
        } else if (a == "--sim-cameras") {
            int n = 0;
            if (!TakeValue(args, i, v, error) || !ToInt(v, n) || n < 0 || n > 2) {
                error = "--sim-cameras takes 0, 1 or 2";
                return false;
            }
            sim.cameras.cameraCount = n;
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-target") {
            if (!TakeValue(args, i, v, error))
                return false;
            if (v == "scene")
                sim.target = SimTarget::Scene;
            else if (v == "lenscap")
                sim.target = SimTarget::LensCap;
            else if (v == "sphere")
                sim.target = SimTarget::Sphere;
            else {
                error = "--sim-target takes scene, lenscap or sphere";
                return false;
            }
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-vignetting") {
            if (!TakeValue(args, i, v, error) || !ToDoubleIn(v, 0, 0.9, sim.vignetting)) {
                error = "--sim-vignetting takes a number from 0 to 0.9";
                return false;
            }
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-noise") {
            sim.noise = true;
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-clock-scale") {
            if (!TakeValue(args, i, v, error) || !ToDoubleIn(v, 0.01, 1000, sim.cameras.clockScale)) {
                error = "--sim-clock-scale takes a number from 0.01 to 1000";
                return false;
            }
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-mirror-speed") {
            if (!TakeValue(args, i, v, error) || !ToDoubleIn(v, 1, 1e9, sim.mirrorSpeed)) {
                error = "--sim-mirror-speed takes counts per second from 1 to 1000000000";
                return false;
            }
            sim.controllerSwitches.push_back(a.toStdString());
        } else if (a == "--sim-refuse-property") {
            int p = 0;
            if (!TakeValue(args, i, v, error) || !ToInt(v, p) || p < 0) {
                error = "--sim-refuse-property takes a property number";
                return false;
            }
            sim.cameras.refusedProperties.insert(uint32_t(p));
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-refuse-format") {
            sim.cameras.refuseSetFormat = true;
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-camera-stops-at") {
            int p = 0;
            if (!TakeValue(args, i, v, error) || !ToInt(v, p)) {
                error = "--sim-camera-stops-at takes a mirror position (a whole number of 32 bits)";
                return false;
            }
            sim.cameras.stopDeliveringAt = p;
            sim.cameraSwitches.push_back(a.toStdString());
        } else if (a == "--sim-controller") {
            if (!TakeValue(args, i, v, error))
                return false;
            if (v != "silent" && v != "garbage" && v != "stuck" && v != "absent") {
                error = "--sim-controller takes silent, garbage, stuck or absent";
                return false;
            }
            sim.controllerFault = v.toStdString();
            sim.controllerSwitches.push_back(a.toStdString());
        } else {
            error = "unknown option " + a.toStdString() + " (see --help)";
            return false;
        }
    }
    if (o.acquire && !o.help && !CheckRadiometricOptions(o.acq, error))
        return false;
    return true;
}

bool ApplyWorkingDirectory(const AppOptions& options, std::string& error) {
    if (options.workDir.empty())
        return true;
    if (::chdir(options.workDir.c_str()) != 0) {
        error = "cannot change to " + options.workDir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
