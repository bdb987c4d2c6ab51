#include "app/AcquireCommand.h"

#include "calibration/CalibrationFiles.h"
#include "calibration/RadiometricCorrection.h"
#include "camera/AcquisitionEngine.h"
#include "camera/CameraSeam.h"
#include "camera/DataCameraControl.h"
#include "camera/ScannerMirrorLink.h"
#include "display/ImageDisplay.h"
#include "scanner/ScannerSettings.h"
#include "storage/CubeSaving.h"
#include "storage/CubeWriters.h"

#include "serial/SerialPort.h"

#include <csignal>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

// Ctrl-C and SIGTERM during the command. The first one asks for a stop like the Stop button (the
// command's own thread carries it out); a second one ends the process at once, after switching the
// mirror's drive off.
std::atomic<int> g_interrupts{0};
std::atomic<int> g_interruptSignal{0};
std::atomic<CSerialPort*> g_controllerPort{nullptr};

extern "C" void OnInterruptSignal(int sig) {
    if (g_interrupts.fetch_add(1) == 0) {
        g_interruptSignal.store(sig);
        return;
    }
    static constexpr char kDriveOff[] = "DI\n";
    if (CSerialPort* port = g_controllerPort.load())
        port->WriteFromSignalHandler(kDriveOff, int(sizeof kDriveOff - 1));
    ::_exit(128 + g_interruptSignal.load());
}

// Installs the handler for SIGINT and SIGTERM for the duration of the command.
class InterruptHandling {
public:
    InterruptHandling() {
        g_interrupts = 0;
        g_interruptSignal = 0;
        g_controllerPort = &GetSerialPort();
        struct sigaction action {};
        action.sa_handler = &OnInterruptSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &m_previousInt);
        ::sigaction(SIGTERM, &action, &m_previousTerm);
    }
    ~InterruptHandling() {
        ::sigaction(SIGINT, &m_previousInt, nullptr);
        ::sigaction(SIGTERM, &m_previousTerm, nullptr);
    }
    InterruptHandling(const InterruptHandling&) = delete;
    InterruptHandling& operator=(const InterruptHandling&) = delete;
    static bool Interrupted() { return g_interrupts.load() > 0; }
    // The exit code of an interrupted command: 128 + the signal, as a shell reports it.
    static int ExitCode() { return 128 + g_interruptSignal.load(); }

private:
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
};

// Messages with their captions on stderr; file dialogs do not exist here.
class StreamPrompts : public UserPrompts {
public:
    explicit StreamPrompts(FILE* err) : m_err(err) {}
    void Message(const std::string& text, const std::string& caption = kDefaultCaption) override {
        std::lock_guard lock(m_mutex);
        std::fprintf(m_err, "%s[%s] %s\n", m_midLine ? "\n" : "", caption.c_str(), text.c_str());
        std::fflush(m_err);
        m_midLine = false;
    }
    std::optional<std::string> AskSavePath(const std::string&) override { return std::nullopt; }
    std::optional<std::string> AskOpenPath() override { return std::nullopt; }
    bool Interactive() const override { return false; }
    // A progress line is being drawn (the next message starts on a new line).
    void SetMidLine(bool on) {
        std::lock_guard lock(m_mutex);
        m_midLine = on;
    }

private:
    FILE* m_err;
    std::mutex m_mutex;
    bool m_midLine = false;
};

class CommandLineHost : public EngineHost {
public:
    CommandLineHost(StreamPrompts& prompts, bool quiet) : m_prompts(prompts), m_quiet(quiet) {}
    void SetCameras(DataCameraControl* cameras) { m_cameras = cameras; }
    void SetStatusText(int pane, const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_status[pane] = text;
        // Pane 3 carries the scanner link's news ("COM1 Connected", mirror time-outs).
        if (pane == 3 && !m_quiet)
            m_prompts.Message(text, "Scanner");
    }
    void ShowMessage(const std::string& text) override { m_prompts.Message(text); }
    bool StopFocusPreviewIfRunning() override { return true; }
    void EnableScanLimitControls(bool) override {}
    void EnableApplyDark() override {}
    bool EnsureStreaming() override { return m_cameras && m_cameras->StartDataStream(); }
    void UpdateImage() override {}
    void PostStackSave(bool dark) override { (dark ? darkDone : calDone) = true; }
    std::string Status(int pane) {
        std::lock_guard lock(m_mutex);
        return m_status[pane];
    }
    std::atomic<bool> darkDone{false};
    std::atomic<bool> calDone{false};

private:
    StreamPrompts& m_prompts;
    DataCameraControl* m_cameras = nullptr;
    bool m_quiet;
    std::mutex m_mutex;
    std::map<int, std::string> m_status;
};

std::string Replace(std::string s, const std::string& what, const std::string& with) {
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + with.size()))
        s.replace(p, what.size(), with);
    return s;
}

std::string StripSuffix(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0
               ? s.substr(0, s.size() - suffix.size())
               : s;
}

uint64_t FileSize(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : uint64_t(n);
}

bool MirrorFailed(AcquisitionEngine::ScanEnd end) {
    using End = AcquisitionEngine::ScanEnd;
    return end == End::StartTimedOut || end == End::ReturnTimedOut || end == End::LinkLost;
}

// Why an acquisition that took lines ended short of a normal end ("" for a normal end), for the
// summary line.
std::string EndText(AcquisitionEngine::ScanEnd end, const std::string& port, int32_t scanStart, int lines) {
    using End = AcquisitionEngine::ScanEnd;
    switch (end) {
    case End::ReturnTimedOut:
        return "; ended: the mirror did not return to the Scan Start Position (" +
               MirrorTimeoutText(scanStart) + ")";
    case End::LinkLost:
        return "; ended: the link to the controller was lost (" + port + " Offline)";
    case End::Stopped:
        return "; stopped at line " + std::to_string(lines);
    case End::FramesStopped:
        return "; ended: the data camera stopped delivering frames";
    default:
        return "";
    }
}
// Frames the data camera refused or lost to its transport during a scan ("" when none), for the
// summary line. Frames dropped because the previous one was still being handled are not faults
// (the mirror's return holds the camera thread on purpose) and are not listed.
std::string CameraFaultsText(const CameraStreamCounters& before, const CameraStreamCounters& after,
                             uint64_t refused) {
    std::string text;
    auto add = [&text](uint64_t n, const char* one, const char* many) {
        if (n > 0)
            text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + (n == 1 ? one : many);
    };
    add(refused + (after.rejected - before.rejected), "frame of the wrong size or format refused",
        "frames of the wrong size or format refused");
    add(after.failed - before.failed, "failed buffer", "failed buffers");
    add(after.underruns - before.underruns, "buffer underrun", "buffer underruns");
    return text.empty() ? text : "; camera: " + text;
}
} // namespace

int RunAcquire(const AppOptions& options, FILE* out, FILE* err) {
    const AcquireOptions& a = options.acq;
    SaveFormat format{};
    if (!ParseSaveFormat(a.format, format)) {
        std::fprintf(err, "unknown format %s\n", a.format.c_str());
        return kAcquireBadArguments;
    }
    StreamPrompts prompts(err);
    InterruptHandling interrupts;
    const bool terminal = ::isatty(::fileno(err)) != 0;

    // The instrument, brought up as the window brings it up.
    CommandLineHost host(prompts, a.quiet);
    Instrument instrument(prompts, options.devices);
    AcquisitionEngine& engine = instrument.CreateEngine(host);
    host.SetCameras(&instrument.Cameras());
    instrument.SetStatusCallback([&host](const std::string& text) { host.SetStatusText(3, text); });
    instrument.Scanner().SetStallPeriodMs(a.stallSeconds * 1000.0);
    instrument.ReadSettings();
    instrument.ChooseDevices();
    if (!a.quiet) {
        const std::string simulated = instrument.SimulatedDevicesText();
        if (!simulated.empty())
            std::fprintf(err, "%s\n", simulated.c_str());
    }
    for (const std::string& note : instrument.Notes())
        std::fprintf(err, "%s\n", note.c_str());
    std::fflush(err);
    instrument.ReadDefaultCalibration(1);
    const DefaultCalibration& defCal = instrument.DefCal();
    CameraSettingsValues& cameraSettings = instrument.CameraSettings();
    if (a.integrationMs > 0)
        cameraSettings.exposure = a.integrationMs;
    if (a.gain >= 0)
        cameraSettings.gain = a.gain;
    const ScannerSettingsValues& scannerSettings = instrument.ScannerSettings();
    const CubeGeometry geometry = instrument.Geometry();
    engine.AllocateBuffers(geometry);

    int result = kAcquireOk;
    auto finish = [&](int code) {
        instrument.Shutdown();
        return code;
    };

    // The files of the radiometric products are read before anything is acquired, so that a file
    // that cannot be used costs no scan.
    std::string darkName, radCalName;
    std::optional<WhiteRect> white;
    if (!a.white.empty()) {
        WhiteRect rect;
        std::string why;
        if (!ParseWhiteRect(a.white, rect, why) || !(why = CheckWhiteRect(rect, geometry)).empty()) {
            prompts.Message(why);
            return finish(kAcquireBadArguments);
        }
        white = rect;
    }
    if (!a.darkFile.empty()) {
        std::vector<uint16_t> stack(size_t(geometry.darkLines) * geometry.LineValues());
        const DarkCubeLoad load = LoadDarkCubeFile(a.darkFile, stack.data(), geometry);
        if (load.result != FileResult::Ok) {
            prompts.Message(load.result == FileResult::Refused
                                ? load.problem
                                : std::string(kMsgUnableToOpenDarkFrameFile) + ": " + a.darkFile);
            return finish(kAcquireBadArguments);
        }
        // No camera runs yet: the stack is the engine's alone.
        engine.WriteStack(AcquisitionEngine::Stack::Dark, 0, stack.data(), stack.size());
        engine.ComputeDarkFrame();
        engine.Calibration().SetDarkFrameValid(true);
        darkName = FileNameWithoutFolder(a.darkFile);
    }
    if (!a.radCal.empty()) {
        const RadCalLoad load = engine.Calibration().LoadGainsFile(a.radCal, geometry.LineValues());
        if (load.result != FileResult::Ok) {
            prompts.Message(load.result == FileResult::Refused
                                ? load.problem
                                : std::string(kMsgUnableToOpenRadCalFile) + ": " + a.radCal);
            return finish(kAcquireBadArguments);
        }
        if (load.valuesRead < geometry.LineValues()) {
            prompts.Message(FileNameWithoutFolder(a.radCal) + " holds " + std::to_string(load.valuesRead) +
                            " gains, where " + std::to_string(geometry.LineValues()) + " are needed (" +
                            std::to_string(geometry.bands) + " bands x " + std::to_string(geometry.height) +
                            " samples).");
            return finish(kAcquireBadArguments);
        }
        radCalName = FileNameWithoutFolder(a.radCal);
    }
    CalStackLoad flatStack;
    if (!a.flatFile.empty()) {
        flatStack = LoadCalibrationStackFile(a.flatFile, geometry);
        if (flatStack.result != FileResult::Ok) {
            prompts.Message(flatStack.result == FileResult::Refused
                                ? flatStack.problem
                                : "Unable to open calibration cube file " + a.flatFile);
            return finish(kAcquireBadArguments);
        }
    }
    // The base of the names of the files made beside the cubes.
    const std::string outBase =
        a.out.empty()
            ? StripSuffix(ComposeCubeFileName("", cameraSettings.exposure, 0, 511, CurrentLocalTime()),
                          ".cube")
            : StripSuffix(StripSuffix(Replace(a.out, "{n}", ""), ".cube"), ".avi");
    // Gains from a flat-field stack (frames of B x H in the cube's order), dark subtracted: written as
    // a radiometric calibration file and applied to the cubes.
    auto makeGains = [&](const std::vector<uint16_t>& stack, const std::string& stackName) {
        const std::vector<uint16_t> dark = engine.Calibration().CopyDarkFrame(geometry.LineValues());
        const FlatFieldGains gains = ComputeFlatFieldGains(stack.data(), geometry.darkLines, dark.data(),
                                                           geometry.bands, geometry.height);
        const std::string path = a.radCalOut.empty() ? outBase + "_radcal.rad" : a.radCalOut;
        if (SaveRadCalFile(path, gains.gains.data(), gains.gains.size()) != FileResult::Ok) {
            prompts.Message(std::string(RadCalMsg::kUnableToSaveRadCal) + " " + path);
            return false;
        }
        engine.Calibration().InstallGains(gains.gains);
        radCalName = FileNameWithoutFolder(path);
        std::fprintf(out, "wrote %s (%llu bytes), %s\n", path.c_str(),
                     static_cast<unsigned long long>(FileSize(path)),
                     FlatFieldSummary(stackName, gains).c_str());
        std::fflush(out);
        return true;
    };
    if (InterruptHandling::Interrupted())
        return finish(InterruptHandling::ExitCode());
    if (!instrument.OpenCameras())
        return finish(kAcquireNoDataCamera);
    instrument.ConfigureCameras(nullptr);
    if (!instrument.ConnectScanner() && !a.allowNoMirror)
        return finish(kAcquireScannerOffline);
    instrument.EnableDrive(false);
    const std::string port = scannerSettings.m_comPort;

    // Waits for the acquisition to end, drawing a progress bar on a terminal.
    auto wait = [&](int lines, const std::string& what) {
        const auto t0 = std::chrono::steady_clock::now();
        int shown = -1;
        bool stopAsked = false;
        while (engine.Busy()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (InterruptHandling::Interrupted() && !stopAsked) {
                stopAsked = true;
                engine.StopAcquisition();
            }
            const int done = std::min(engine.LineIndex(), lines);
            if (!terminal || a.quiet || done == shown)
                continue;
            shown = done;
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double fps = s > 0 ? done / s : 0;
            const double left = fps > 0 ? (lines - done) / fps : 0;
            const int width = 30, filled = lines > 0 ? done * width / lines : 0;
            std::fprintf(err, "\r%s [%s%s] %d/%d lines  %.1f fps  %.0f s left ", what.c_str(),
                         std::string(size_t(filled), '#').c_str(),
                         std::string(size_t(width - filled), '.').c_str(), done, lines, fps, left);
            std::fflush(err);
            prompts.SetMidLine(true);
        }
        if (shown >= 0) {
            std::fputc('\n', err);
            prompts.SetMidLine(false);
        }
    };

    // Dark stack.
    if (a.dark && InterruptHandling::Interrupted())
        return finish(InterruptHandling::ExitCode());
    if (a.dark) {
        const bool simulatedCameras = instrument.Devices().dataCameraSimulated;
        const SimTarget target = SimOptics::Instance().target.load();
        if (simulatedCameras) {
            SimOptics::Instance().target = SimTarget::LensCap;
        } else if (!a.assumeDark) {
            std::fprintf(err, "Cover the lens and press Enter ");
            std::fflush(err);
            std::string line;
            if (!std::getline(std::cin, line)) {
                std::fprintf(err, "\nno answer on the standard input: use --assume-dark\n");
                return finish(kAcquireBadArguments);
            }
        }
        host.darkDone = false;
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
        wait(geometry.darkLines, "dark");
        for (int i = 0; i < 50 && !host.darkDone.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (simulatedCameras)
            SimOptics::Instance().target = target;
        // A complete stack is saved even when the mirror failed afterwards (it did not return, or
        // the link was lost): the exit code still says so.
        const AcquisitionEngine::ScanEnd darkEnd = engine.LastScanEnd();
        // Stopped by Ctrl-C: a stack cut short is no dark frame (as after Stop); nothing is saved.
        if (InterruptHandling::Interrupted() && !host.darkDone.load()) {
            std::fprintf(err, "dark stack stopped at line %d: not saved\n", engine.LinesTaken());
            return finish(InterruptHandling::ExitCode());
        }
        // A stack cut short is no dark frame (as after Stop): nothing is saved.
        if (darkEnd == AcquisitionEngine::ScanEnd::FramesStopped)
            return finish(kAcquireCameraStopped);
        if (!host.darkDone.load())
            return finish(MirrorFailed(darkEnd) ? kAcquireMirrorTimeout : kAcquireSaveFailed);
        std::string darkPath = a.darkOut;
        if (darkPath.empty())
            darkPath = a.out.empty() ? StripSuffix(ComposeCubeFileName("", cameraSettings.exposure, 0, 511,
                                                                       CurrentLocalTime()),
                                                   ".cube") +
                                           "_dark.drk"
                                     : StripSuffix(StripSuffix(Replace(a.out, "{n}", ""), ".cube"), ".avi") +
                                           "_dark.drk";
        const std::vector<uint16_t> stack = engine.CopyStack(AcquisitionEngine::Stack::Dark);
        if (SaveDarkCubeFile(darkPath, stack.data(), geometry,
                             StackHeaderInfo(geometry, cameraSettings.exposure, defCal)) != FileResult::Ok) {
            prompts.Message(kMsgUnableToSaveDarkFrame);
            return finish(kAcquireSaveFailed);
        }
        darkName = FileNameWithoutFolder(darkPath);
        std::fprintf(
            out, "wrote %s (%llu bytes), dark stack of %d lines%s\n", darkPath.c_str(),
            static_cast<unsigned long long>(FileSize(darkPath)), geometry.darkLines,
            EndText(darkEnd, port, scannerSettings.GetScanStartPosition(), geometry.darkLines).c_str());
        std::fflush(out);
        if (MirrorFailed(darkEnd))
            return finish(kAcquireMirrorTimeout);
    }

    // Gains from a calibration stack file, against the dark frame now in force.
    if (!a.flatFile.empty() && !makeGains(flatStack.stack, FileNameWithoutFolder(a.flatFile)))
        return finish(kAcquireSaveFailed);

    // Flat field: a calibration stack of the uniform source, saved, then the gains made from it.
    if (a.flatField && InterruptHandling::Interrupted())
        return finish(InterruptHandling::ExitCode());
    if (a.flatField) {
        const bool simulatedCameras = instrument.Devices().dataCameraSimulated;
        const SimTarget target = SimOptics::Instance().target.load();
        const bool whiteLight = SimOptics::Instance().sphereWhiteLight.load();
        if (simulatedCameras) {
            SimOptics::Instance().target = SimTarget::Sphere;
            SimOptics::Instance().sphereWhiteLight = true;
        } else if (!a.assumeFlat) {
            std::fprintf(err, "Point the imager at the uniform source and press Enter ");
            std::fflush(err);
            std::string line;
            if (!std::getline(std::cin, line)) {
                std::fprintf(err, "\nno answer on the standard input: use --assume-flat\n");
                return finish(kAcquireBadArguments);
            }
        }
        host.calDone = false;
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Calibration);
        wait(geometry.darkLines, "flat field");
        for (int i = 0; i < 50 && !host.calDone.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (simulatedCameras) {
            SimOptics::Instance().target = target;
            SimOptics::Instance().sphereWhiteLight = whiteLight;
        }
        const AcquisitionEngine::ScanEnd flatEnd = engine.LastScanEnd();
        if (InterruptHandling::Interrupted() && !host.calDone.load()) {
            std::fprintf(err, "flat-field stack stopped at line %d: not saved\n", engine.LinesTaken());
            return finish(InterruptHandling::ExitCode());
        }
        if (flatEnd == AcquisitionEngine::ScanEnd::FramesStopped)
            return finish(kAcquireCameraStopped);
        if (!host.calDone.load())
            return finish(MirrorFailed(flatEnd) ? kAcquireMirrorTimeout : kAcquireSaveFailed);
        const std::string flatPath = a.flatOut.empty() ? outBase + "_flat.cal" : a.flatOut;
        const std::vector<uint16_t> stack = engine.CopyStack(AcquisitionEngine::Stack::Calibration);
        if (SaveCalibrationCubeFile(flatPath, stack.data(), geometry,
                                    StackHeaderInfo(geometry, cameraSettings.exposure, defCal)) !=
            FileResult::Ok) {
            prompts.Message(kMsgUnableToSaveCalibrationCube);
            return finish(kAcquireSaveFailed);
        }
        std::fprintf(
            out, "wrote %s (%llu bytes), calibration stack of %d lines%s\n", flatPath.c_str(),
            static_cast<unsigned long long>(FileSize(flatPath)), geometry.darkLines,
            EndText(flatEnd, port, scannerSettings.GetScanStartPosition(), geometry.darkLines).c_str());
        std::fflush(out);
        if (!makeGains(stack, FileNameWithoutFolder(flatPath)))
            return finish(kAcquireSaveFailed);
        if (MirrorFailed(flatEnd))
            return finish(kAcquireMirrorTimeout);
    }

    // Cubes.
    ImageDisplay display(engine);
    display.controls.band = geometry.bands / 3;
    const auto series = std::chrono::steady_clock::now();
    for (int scan = 1; a.cube && scan <= a.scans; ++scan) {
        if (scan > 1 && a.intervalSeconds > 0) {
            // At most a day (86400 s) times at most 100000 scans: the product fits the clock's range.
            const auto start = series + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(a.intervalSeconds)) *
                                            (scan - 1);
            while (!InterruptHandling::Interrupted() && std::chrono::steady_clock::now() < start)
                std::this_thread::sleep_until(
                    std::min(start, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
        }
        if (InterruptHandling::Interrupted()) {
            result = InterruptHandling::ExitCode();
            break;
        }
        const int refused = engine.ScansRefused();
        const CameraStreamCounters countersBefore = CameraSeam::Counters(instrument.Cameras().m_hDataCamera);
        const uint64_t rejectedBefore = engine.FramesRejected();
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        wait(geometry.width, a.scans > 1 ? "scan " + std::to_string(scan) : "scan");
        // Scanner settings whose scan leaves the mirror's range (the engine said why).
        if (engine.ScansRefused() > refused) {
            result = kAcquireBadArguments;
            break;
        }
        // What was acquired is saved whatever ended the scan; a mirror failure ends the series with
        // the mirror's exit code.
        const AcquisitionEngine::ScanEnd end = engine.LastScanEnd();
        const int lines = engine.LinesTaken();
        if (MirrorFailed(end))
            result = kAcquireMirrorTimeout;
        if (end == AcquisitionEngine::ScanEnd::FramesStopped)
            result = kAcquireCameraStopped;
        // A mirror that did not follow the scan gives lines that are not the scene's: they are still
        // written, the summary and the exit code say so.
        const bool notFollowed = engine.LastMirrorFollowCheck().notFollowed;
        std::string followText;
        if (notFollowed) {
            result = kAcquireMirrorTimeout;
            followText = "; the mirror did not follow the scan (at " +
                         std::to_string(engine.LastMirrorFollowCheck().at) +
                         " after the last line, sent to " +
                         std::to_string(engine.LastMirrorFollowCheck().commanded) + ")";
        }
        if (InterruptHandling::Interrupted())
            result = InterruptHandling::ExitCode();
        if (lines == 0 && (MirrorFailed(end) || end == AcquisitionEngine::ScanEnd::FramesStopped))
            break;
        if (lines == 0 && InterruptHandling::Interrupted()) {
            std::fprintf(err, "stopped at line 0: nothing acquired, no file written\n");
            break;
        }
        std::string path = a.out.empty()
                               ? ComposeCubeFileName("", cameraSettings.exposure, 0, 511, CurrentLocalTime())
                               : Replace(a.out, "{n}", std::to_string(scan));
        if (a.out.empty() && (format == SaveFormat::Movie || format == SaveFormat::Bitmap))
            path = StripSuffix(path, ".cube") + (format == SaveFormat::Movie ? ".avi" : ".bmp");
        CubeSaveSource source;
        source.engine = &engine;
        source.exposureMs = cameraSettings.exposure;
        source.calibration = defCal;
        source.scanStartLine = 0;
        source.scanStopLine = 511;
        for (int i = 0; i < geometry.bands; ++i)
            source.wavelengths.push_back(BandListWavelength(defCal.coeffs, i));
        if (format == SaveFormat::Bitmap) {
            display.UpdateImage();
            source.picture = &display.Processor();
        }
        source.lineRecord = engine.LastLineRecord();
        source.darkName = darkName;
        source.radCalName = radCalName;
        CubeSaveOptions saveOptions;
        saveOptions.white = white;
        saveOptions.whiteReflectance = a.whiteReflectance;
        saveOptions.createHeader = a.createHeader;
        saveOptions.headerOffset = format == SaveFormat::Standard ? int32_t(kCubeHeaderSize) : 0;
        saveOptions.periodMs = a.periodMs;
        saveOptions.normalise = a.normalise;
        const CubeSaveResult saved = SaveCube(format, path, source, saveOptions);
        if (!saved.ok) {
            prompts.Message(saved.message);
            result = kAcquireSaveFailed;
            break;
        }
        std::fprintf(
            out,
            "wrote %s (%llu bytes)%s%s, %d lines, %s, lines after dropped frames: %d, line record %s%s%s\n",
            saved.path.c_str(), static_cast<unsigned long long>(FileSize(saved.path)),
            saved.headerPath.empty() ? "" : " and ", saved.headerPath.c_str(), lines, host.Status(1).c_str(),
            saved.linesWithDrops, saved.lineRecordPath.c_str(),
            EndText(end, port, scannerSettings.GetScanStartPosition(), lines).c_str(),
            (followText + CameraFaultsText(countersBefore,
                                           CameraSeam::Counters(instrument.Cameras().m_hDataCamera),
                                           engine.FramesRejected() - rejectedBefore))
                .c_str());
        std::fflush(out);
        if (MirrorFailed(end) || notFollowed || end == AcquisitionEngine::ScanEnd::FramesStopped ||
            InterruptHandling::Interrupted())
            break;
    }
    return finish(result);
}
