#include "app/AcquireCommand.h"

#include "calibration/CalibrationFiles.h"
#include "camera/AcquisitionEngine.h"
#include "camera/DataCameraControl.h"
#include "camera/ScannerMirrorLink.h"
#include "display/ImageDisplay.h"
#include "scanner/ScannerSettings.h"
#include "storage/CubeSaving.h"
#include "storage/CubeWriters.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

namespace {
// The texts the window shows for the same failures.
constexpr const char* kNoCamera = "Please Check Camera Connection and Power - Application Closing";
constexpr const char* kNoCameraCaption = "Camera Not Connected";
constexpr const char* kComPort = "Please Check COM Port Settings";
constexpr const char* kComPortCaption = "Scanner Communication Problem";

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
    CommandLineHost(StreamPrompts& prompts, DataCameraControl& cameras, bool quiet)
        : m_prompts(prompts), m_cameras(cameras), m_quiet(quiet) {}
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
    bool EnsureStreaming() override { return m_cameras.StartDataStream(); }
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
    DataCameraControl& m_cameras;
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
} // namespace

int RunAcquire(const AppOptions& options, FILE* out, FILE* err) {
    const AcquireOptions& a = options.acq;
    SaveFormat format{};
    if (!ParseSaveFormat(a.format, format)) {
        std::fprintf(err, "unknown format %s\n", a.format.c_str());
        return kAcquireBadArguments;
    }
    StreamPrompts prompts(err);
    const bool terminal = ::isatty(::fileno(err)) != 0;

    // Settings, as the window reads them at start-up.
    CameraSettingsValues cameraSettings;
    std::array<int32_t, 3> rgb = kDefaultRgbBands;
    if (!ReadCameraSettingsFile(kCameraSettingsPath, cameraSettings, rgb, 128).opened)
        prompts.Message(kMsgCameraSettingsOpen);
    cameraSettings.SetBands(128);
    cameraSettings.frameWidth = 696;
    cameraSettings.frameHeight = 520;
    cameraSettings.binningCode = 0;
    if (a.integrationMs > 0)
        cameraSettings.exposure = a.integrationMs;
    if (a.gain >= 0)
        cameraSettings.gain = a.gain;
    ScannerSettingsValues scannerSettings;
    std::string message;
    if (!LoadScannerSettings(kScannerSettingsFile, scannerSettings, &message))
        prompts.Message(message);
    DefaultCalibration defCal;
    int error = 0;
    if (!ReadDefaultCalibrationFile(DefaultCalibrationPath(1), defCal, &error)) {
        char text[512];
        std::snprintf(text, sizeof text, "Unable to open %s file, error code: %d", DefaultCalibrationPath(1).c_str(),
                      error);
        prompts.Message(text);
    }
    const CubeGeometry geometry{cameraSettings.frameWidth, cameraSettings.frameHeight, cameraSettings.Bands(), 25};

    DataCameraControl cameras(prompts);
    CommandLineHost host(prompts, cameras, a.quiet);
    ScannerLink link(scannerSettings);
    ScannerMirrorLink mirror(link);
    AcquisitionEngine engine(host, mirror);
    link.SetStopFlag(&engine.m_stopRequested);
    link.SetStatusCallback([&host](const std::string& text) { host.SetStatusText(3, text); });
    engine.scanPositions = [&scannerSettings] {
        return ScanPositions{scannerSettings.GetScanStartPosition(), scannerSettings.GetCenterPosition()};
    };
    engine.m_stepPerLine = scannerSettings.m_stepSize;
    engine.AllocateBuffers(geometry);

    if (!cameras.OpenCameras()) {
        prompts.Message(kNoCamera, kNoCameraCaption);
        return kAcquireNoDataCamera;
    }
    engine.m_dataCameraOnline = true;
    engine.convertFrame = [&cameras](uint16_t* dest, const uint16_t* src, int w, int h) {
        LUCAM_CONVERSION params{LUCAM_DM_NONE, LUCAM_CM_NONE};
        return LucamConvertFrameToGreyscale16(cameras.m_hDataCamera, dest, src, ULONG(w), ULONG(h), LUCAM_PF_16,
                                              &params) != 0;
    };
    const LONG callback = LucamAddStreamingCallback(cameras.m_hDataCamera, &AcquisitionEngine::OnDataFrameCallback,
                                                    &engine);
    int result = kAcquireOk;
    auto finish = [&](int code) {
        cameras.StopDataStream();
        LucamRemoveStreamingCallback(cameras.m_hDataCamera, callback);
        engine.ShutdownDisplayThread();
        link.EnableScannerDrive(false);
        link.DisconnectScanner();
        return code;
    };
    cameras.ConfigureDataCamera(cameraSettings);

    if (!link.ConnectScanner()) {
        prompts.Message(kComPort, kComPortCaption);
        if (!a.allowNoMirror)
            return finish(kAcquireScannerOffline);
    }
    link.EnableScannerDrive(link.m_scannerConnected.load());

    // Waits for the acquisition to end, drawing a progress bar on a terminal.
    auto wait = [&](int lines, const std::string& what) {
        const auto t0 = std::chrono::steady_clock::now();
        int shown = -1;
        while (engine.m_busy.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const int done = std::min(engine.m_lineIndex.load(), lines);
            if (!terminal || a.quiet || done == shown)
                continue;
            shown = done;
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double fps = s > 0 ? done / s : 0;
            const double left = fps > 0 ? (lines - done) / fps : 0;
            const int width = 30, filled = lines > 0 ? done * width / lines : 0;
            std::fprintf(err, "\r%s [%s%s] %d/%d lines  %.1f fps  %.0f s left ", what.c_str(),
                         std::string(size_t(filled), '#').c_str(), std::string(size_t(width - filled), '.').c_str(),
                         done, lines, fps, left);
            std::fflush(err);
            prompts.SetMidLine(true);
        }
        if (shown >= 0) {
            std::fputc('\n', err);
            prompts.SetMidLine(false);
        }
    };
    auto timedOut = [&](int before) { return engine.m_mirrorTimeouts.load() > before; };

    // Dark stack.
    if (a.dark) {
        const SimTarget target = SimOptics::Instance().target.load();
        if (options.simulate) {
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
        const int timeouts = engine.m_mirrorTimeouts.load();
        host.darkDone = false;
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
        wait(geometry.darkLines, "dark");
        for (int i = 0; i < 50 && !host.darkDone.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (options.simulate)
            SimOptics::Instance().target = target;
        if (timedOut(timeouts) || !host.darkDone.load())
            return finish(timedOut(timeouts) ? kAcquireMirrorTimeout : kAcquireSaveFailed);
        std::string darkPath = a.darkOut;
        if (darkPath.empty())
            darkPath = a.out.empty() ? StripSuffix(ComposeCubeFileName("", cameraSettings.exposure, 0, 511,
                                                                       CurrentLocalTime()),
                                                   ".cube") + "_dark.drk"
                                     : StripSuffix(StripSuffix(Replace(a.out, "{n}", ""), ".cube"), ".avi") + "_dark.drk";
        const std::vector<uint16_t> stack = engine.CopyStack(engine.m_darkCube);
        if (SaveDarkCubeFile(darkPath, stack.data(), geometry,
                             StackHeaderInfo(geometry, cameraSettings.exposure, defCal)) != FileResult::Ok) {
            prompts.Message(kMsgUnableToSaveDarkFrame);
            return finish(kAcquireSaveFailed);
        }
        std::fprintf(out, "wrote %s (%llu bytes), dark stack of %d lines\n", darkPath.c_str(),
                     static_cast<unsigned long long>(FileSize(darkPath)), geometry.darkLines);
        std::fflush(out);
    }

    // Cubes.
    ImageDisplay display(engine);
    display.controls.band = geometry.bands / 3;
    const auto series = std::chrono::steady_clock::now();
    for (int scan = 1; a.cube && scan <= a.scans; ++scan) {
        if (scan > 1 && a.intervalSeconds > 0) {
            const auto start = series + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(a.intervalSeconds * (scan - 1)));
            std::this_thread::sleep_until(start);
        }
        const int timeouts = engine.m_mirrorTimeouts.load();
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        wait(geometry.width, a.scans > 1 ? "scan " + std::to_string(scan) : "scan");
        if (timedOut(timeouts)) {
            result = kAcquireMirrorTimeout;
            break;
        }
        std::string path = a.out.empty() ? ComposeCubeFileName("", cameraSettings.exposure, 0, 511, CurrentLocalTime())
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
        CubeSaveOptions saveOptions;
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
        std::fprintf(out, "wrote %s (%llu bytes)%s%s, %d lines, %s\n", saved.path.c_str(),
                     static_cast<unsigned long long>(FileSize(saved.path)), saved.headerPath.empty() ? "" : " and ",
                     saved.headerPath.c_str(), geometry.width, host.Status(1).c_str());
        std::fflush(out);
    }
    return finish(result);
}
