// The simulated cameras: implementation of camera/lucam.h over the simulated optics.
#include "sim/SimCamera.h"

#include "camera/CameraSeam.h"
#include "camera/lucam.h"
#include "sim/SimMirror.h"
#include "sim/SimScene.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <thread>

struct SimCameraUnit {
    int number = 0;
    bool focus = false;
    SimCameraSettings settings;

    std::mutex mutex; // guards everything below except the atomics
    LUCAM_FRAME_FORMAT format{};
    float frameRate = 0;
    float exposure = 10.0f;
    float gain = 1.0f;
    std::map<LONG, std::pair<LucamStreamingCallback, void*>> callbacks;
    std::map<LONG, std::pair<LucamRgbPreviewCallback, void*>> previewCallbacks;
    LONG nextCallbackId = 0;
    HWND display = nullptr;
    LONG displayX = 0, displayY = 0;
    bool autoExposure = false;

    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    std::atomic<bool> streaming{false};
    std::atomic<bool> stopRequested{false};
    std::condition_variable wake;

    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> dropped{0};
};

namespace {
std::mutex g_registryMutex;
std::array<std::unique_ptr<SimCameraUnit>, 3> g_cameras; // index = camera number
std::atomic<double> g_clockScale{1.0};
// The data camera's deliveries have stopped (fault switch; latched until switched off or reconfigured).
std::atomic<bool> g_dataSilent{false};

constexpr ULONG kSensorWidth = 1392;
constexpr ULONG kSensorHeight = 1040;

bool Refused(SimCameraUnit* cam, ULONG property) {
    return cam->settings.refusedProperties.count(property) != 0;
}

float MaxExposureMs(float rate) {
    return rate > 0 ? 1000.0f / rate - 1.0f : 1000.0f;
}

// Frame pixels of the data camera for the current format, written row by row.
void RenderDataFrame(const LUCAM_FRAME_FORMAT& fmt, float exposure, float gain, int32_t mirrorPosition,
                     std::vector<uint16_t>& out, std::mt19937& rng) {
    const ULONG bx = std::max<USHORT>(fmt.binningX, 1);
    const ULONG by = std::max<USHORT>(fmt.binningY, 1);
    const ULONG w = fmt.width / bx;
    const ULONG h = fmt.height / by;
    out.resize(size_t(w) * h);
    const auto& optics = SimOptics::Instance();
    const SimTarget target = optics.target.load();
    const double sceneLine = SceneLineAt(mirrorPosition);
    const double scale = SimOpticsConstants::kFullScale * exposure /
                         SimOpticsConstants::kReferenceExposureMs * std::max(0.0f, gain);
    const bool noise = optics.noise.load();
    std::normal_distribution<double> gauss(0.0, 20.0);

    // Rows and columns on the 2x2-binned optical grid (696 x 520) that this format's pixels see.
    std::vector<double> rowLambda(h);
    for (ULONG r = 0; r < h; ++r)
        rowLambda[r] = RowWavelength(int(r * by / 2));
    const double lineNm = optics.monochromatorNm.load();
    const double linePeak = optics.sphereBrightness.load();
    const bool whiteLight = optics.sphereWhiteLight.load();
    const double vignetting = optics.vignetting.load();

    std::array<std::vector<double>, size_t(SimMaterial::Count)> table;
    std::vector<SimMaterial> columnMaterial(w);
    if (target == SimTarget::Scene) {
        for (ULONG c = 0; c < w; ++c)
            columnMaterial[c] = SceneMaterial(sceneLine, double(c * bx / 2) - kFirstSampleColumnSim);
        for (size_t m = 0; m < table.size(); ++m) {
            table[m].resize(h);
            for (ULONG r = 0; r < h; ++r)
                table[m][r] = MaterialReflectance(SimMaterial(m), rowLambda[r]);
        }
    }
    std::vector<uint16_t> column(h);
    for (ULONG c = 0; c < w; ++c) {
        for (ULONG r = 0; r < h; ++r) {
            double reflectance = 0.0;
            if (target == SimTarget::Scene) {
                reflectance = table[size_t(columnMaterial[c])][r];
            } else if (target == SimTarget::Sphere && whiteLight) {
                reflectance = SimOpticsConstants::kSphereWhiteLevel;
            } else if (target == SimTarget::Sphere && lineNm > 0) {
                const double d = (rowLambda[r] - lineNm) / SimOpticsConstants::kLineWidthNm;
                reflectance = linePeak * std::exp(-d * d);
            }
            if (vignetting != 0.0)
                reflectance *= SimResponse(double(c * bx / 2), double(r * by / 2), vignetting);
            double v = SimOpticsConstants::kDarkOffset + std::round(scale * reflectance);
            if (noise)
                v += std::round(gauss(rng));
            out[size_t(r) * w + c] = uint16_t(std::clamp(v, 0.0, 65535.0));
        }
    }
}

// RGB picture of the focus camera: the scene around the mirror's view, with the imager's slit drawn
// as a red line in the middle.
void RenderFocusFrame(const LUCAM_FRAME_FORMAT& fmt, std::vector<uint8_t>& out, ULONG& w, ULONG& h) {
    const ULONG sx = std::max<USHORT>(fmt.subSampleX, 1);
    const ULONG sy = std::max<USHORT>(fmt.subSampleY, 1);
    w = fmt.width / sx;
    h = fmt.height / sy;
    out.assign(size_t(w) * h * 3, 0);
    const double centreLine = SceneLineAt(SimMirror::Instance().Position());
    const SimTarget target = SimOptics::Instance().target.load();
    if (target == SimTarget::LensCap)
        return;
    for (ULONG r = 0; r < h; ++r) {
        const double u = double(r) * sy * 520.0 / kSensorHeight;
        for (ULONG c = 0; c < w; ++c) {
            const double x = centreLine + (double(c) * sx - kSensorWidth / 2.0) * 696.0 / kSensorWidth;
            uint8_t* p = &out[(size_t(r) * w + c) * 3];
            if (target == SimTarget::Sphere) {
                p[0] = p[1] = p[2] = 200;
                continue;
            }
            const SimMaterial m = SceneMaterial(x, u);
            p[0] = uint8_t(std::min(255.0, 255.0 * MaterialReflectance(m, 650.0)));
            p[1] = uint8_t(std::min(255.0, 255.0 * MaterialReflectance(m, 550.0)));
            p[2] = uint8_t(std::min(255.0, 255.0 * MaterialReflectance(m, 450.0)));
        }
        const ULONG slit = w / 2;
        uint8_t* p = &out[(size_t(r) * w + slit) * 3];
        p[0] = 255;
        p[1] = p[2] = 0;
    }
}

struct RenderKey {
    ULONG width = 0, height = 0;
    USHORT binX = 0, binY = 0;
    float exposure = 0, gain = 0;
    int32_t position = 0;
    int target = -1;
    double lineNm = 0, lineBrightness = 0;
    bool whiteLight = false;
    double vignetting = 0;
    bool operator==(const RenderKey&) const = default;
};

// Every frame dropped by camera 1 or 2 since the process started, for callbacks to read freely.
std::atomic<uint64_t> g_droppedSoFar[3];

void CountDropped(SimCameraUnit* cam) {
    cam->dropped.fetch_add(1);
    if (cam->number >= 1 && cam->number <= 2)
        g_droppedSoFar[cam->number].fetch_add(1);
}

void StreamLoop(SimCameraUnit* cam) {
    RenderKey lastKey;
    ULONG focusW = 0, focusH = 0;
    HWND lastDisplay = nullptr;
    LONG lastDx = 0, lastDy = 0;
    cam->threadId = std::this_thread::get_id();
    std::mt19937 rng(12345u + unsigned(cam->number));
    std::vector<uint16_t> frame;
    std::vector<uint8_t> rgb;
    using clock = std::chrono::steady_clock;
    auto slot = clock::now();
    uint64_t index = 0;
    while (!cam->stopRequested.load()) {
        LUCAM_FRAME_FORMAT fmt;
        float rate, exposure, gain;
        std::map<LONG, std::pair<LucamStreamingCallback, void*>> callbacks;
        std::map<LONG, std::pair<LucamRgbPreviewCallback, void*>> previews;
        HWND display;
        LONG dx, dy;
        {
            std::lock_guard lock(cam->mutex);
            fmt = cam->format;
            rate = cam->frameRate > 0 ? cam->frameRate : 15.0f;
            exposure = cam->exposure;
            gain = cam->gain;
            callbacks = cam->callbacks;
            previews = cam->previewCallbacks;
            display = cam->display;
            dx = cam->displayX;
            dy = cam->displayY;
        }
        const auto period = std::chrono::duration_cast<clock::duration>(
            std::chrono::duration<double>(1.0 / rate / std::max(1e-6, g_clockScale.load())));
        ++index;
        const bool deliberateDrop =
            cam->settings.dropEvery > 0 && index % uint64_t(cam->settings.dropEvery) == 0;
        if (deliberateDrop) {
            CountDropped(cam);
        } else if (!cam->focus && (g_dataSilent.load() ||
                                   (cam->settings.stopDeliveringAt &&
                                    SimMirror::Instance().Position() >= *cam->settings.stopDeliveringAt))) {
            // A camera that stopped delivering: no callback from now on, the stream runs on.
            g_dataSilent = true;
        } else if (!cam->focus) {
            // A frame is rendered again only when what it shows changed (or noise is on), so an idle
            // stream costs next to nothing.
            const RenderKey key{fmt.width,
                                fmt.height,
                                fmt.binningX,
                                fmt.binningY,
                                exposure,
                                gain,
                                SimMirror::Instance().Position(),
                                int(SimOptics::Instance().target.load()),
                                SimOptics::Instance().monochromatorNm.load(),
                                SimOptics::Instance().sphereBrightness.load(),
                                SimOptics::Instance().sphereWhiteLight.load(),
                                SimOptics::Instance().vignetting.load()};
            if (SimOptics::Instance().noise.load() || !(key == lastKey) || frame.empty()) {
                RenderDataFrame(fmt, exposure, gain, key.position, frame, rng);
                lastKey = key;
            }
            for (auto& [id, cb] : callbacks)
                cb.first(cb.second, reinterpret_cast<BYTE*>(frame.data()), ULONG(frame.size() * 2));
            cam->delivered.fetch_add(1);
        } else {
            // As for the data camera, the picture is drawn again only when what it shows changed; the
            // display window is repainted only then (or when it moved).
            const RenderKey key{fmt.width,
                                fmt.height,
                                fmt.subSampleX,
                                fmt.subSampleY,
                                0,
                                0,
                                SimMirror::Instance().Position(),
                                int(SimOptics::Instance().target.load()),
                                0,
                                0};
            const bool changed =
                !(key == lastKey) || rgb.empty() || display != lastDisplay || dx != lastDx || dy != lastDy;
            if (!(key == lastKey) || rgb.empty()) {
                RenderFocusFrame(fmt, rgb, focusW, focusH);
                lastKey = key;
            }
            for (auto& [id, cb] : previews)
                cb.first(cb.second, rgb.data(), focusW, focusH, LUCAM_PF_24);
            if (display && changed)
                display->ShowFrame(rgb.data(), focusW, focusH, dx, dy);
            lastDisplay = display;
            lastDx = dx;
            lastDy = dy;
            cam->delivered.fetch_add(1);
        }
        // Frames whose time came while the callback was still running are lost.
        slot += period;
        const auto now = clock::now();
        while (slot + period <= now) {
            slot += period;
            CountDropped(cam);
        }
        std::unique_lock lock(cam->mutex);
        cam->wake.wait_until(lock, slot, [cam] { return cam->stopRequested.load(); });
    }
}

void StopStream(SimCameraUnit* cam) {
    if (!cam->streaming.load() && !cam->thread.joinable())
        return;
    {
        std::lock_guard lock(cam->mutex);
        cam->stopRequested = true;
    }
    cam->wake.notify_all();
    if (cam->thread.joinable()) {
        // Stopped from its own callback: it ends after the callback returns and is joined by the
        // next start or by Shutdown.
        if (std::this_thread::get_id() != cam->threadId.load())
            cam->thread.join();
    }
    cam->streaming = false;
}

SimCameraUnit* Valid(SimCameraUnit* h) {
    return h;
}
} // namespace

// Column offset of sample 0, as seen by the simulated optics (same as the program's).
// (kFirstSampleColumnSim is declared in SimScene.h.)

SimCameras& SimCameras::Instance() {
    static SimCameras cameras;
    return cameras;
}

void SimCameras::Configure(const SimCameraSettings& settings) {
    std::lock_guard lock(m_mutex);
    m_settings = settings;
    g_clockScale = settings.clockScale;
    g_dataSilent = false;
}

void SimCameras::SetDataCameraSilent(bool silent) {
    g_dataSilent = silent;
}

bool SimCameras::DataCameraSilent() const {
    return g_dataSilent.load();
}

SimCameraSettings SimCameras::Settings() const {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

void SimCameras::SetClockScale(double scale) {
    std::lock_guard lock(m_mutex);
    m_settings.clockScale = scale;
    g_clockScale = scale;
}

uint64_t SimCameras::DeliveredFrames(int number) const {
    std::lock_guard lock(g_registryMutex);
    return (number >= 1 && number <= 2 && g_cameras[number]) ? g_cameras[number]->delivered.load() : 0;
}

uint64_t SimCameras::DroppedFrames(int number) const {
    std::lock_guard lock(g_registryMutex);
    return (number >= 1 && number <= 2 && g_cameras[number]) ? g_cameras[number]->dropped.load() : 0;
}

uint64_t SimCameras::DroppedFramesSoFar(int number) {
    return number >= 1 && number <= 2 ? g_droppedSoFar[number].load() : 0;
}

void SimCameras::ResetCounters() {
    std::lock_guard lock(g_registryMutex);
    for (auto& c : g_cameras)
        if (c) {
            c->delivered = 0;
            c->dropped = 0;
        }
}

void SimCameras::Shutdown() {
    g_dataSilent = false;
    std::lock_guard lock(g_registryMutex);
    for (auto& c : g_cameras)
        if (c) {
            StopStream(c.get());
            c.reset();
        }
}

// ---- camera interface ----

namespace {
// The simulated cameras behind the camera interface.
class SimCameraBackend final : public CameraBackend {
public:
    std::string Name() const override { return "simulated cameras"; }

    LONG NumCameras() override { return std::clamp(SimCameras::Instance().Settings().cameraCount, 0, 2); }

    LONG EnumCameras(LUCAM_VERSION* versions, ULONG count) override {
        const LONG n = NumCameras();
        const auto s = SimCameras::Instance().Settings();
        for (ULONG i = 0; versions && i < count && LONG(i) < n; ++i) {
            versions[i] = LUCAM_VERSION{0x105, 0x20, 0x5010000, 0x5010000, s.serialNumber + i, 0};
        }
        return n;
    }

    void* CameraOpen(ULONG number) override {
        const auto s = SimCameras::Instance().Settings();
        if (number < 1 || LONG(number) > std::clamp(s.cameraCount, 0, 2))
            return nullptr;
        std::lock_guard lock(g_registryMutex);
        auto& slot = g_cameras[number];
        if (!slot) {
            slot = std::make_unique<SimCameraUnit>();
            slot->number = int(number);
            slot->focus = (number == 2);
            slot->settings = s;
            slot->format = LUCAM_FRAME_FORMAT{0,
                                              0,
                                              kSensorWidth,
                                              kSensorHeight,
                                              slot->focus ? ULONG(LUCAM_PF_24) : ULONG(LUCAM_PF_8),
                                              {1},
                                              0,
                                              {1},
                                              0};
            const auto& rates = slot->focus ? s.focusRates : s.dataRates;
            slot->frameRate = rates.empty() ? 15.0f : rates.back();
        }
        return slot.get();
    }

    BOOL CameraClose(void* handle) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return FALSE;
        StopStream(camera);
        return TRUE;
    }

    BOOL GetCameraId(void* handle, ULONG* id) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !id)
            return FALSE;
        *id = camera->focus ? LUCAM_ID_LW11050 : 0x1C9;
        return TRUE;
    }

    BOOL QueryVersion(void* handle, LUCAM_VERSION* version) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !version)
            return FALSE;
        *version = LUCAM_VERSION{
            0x105, 0x20, 0x5010000, 0x5010000, camera->settings.serialNumber + ULONG(camera->number - 1), 0};
        return TRUE;
    }

    BOOL GetProperty(void* handle, ULONG property, FLOAT* value, LONG* flags) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !value || Refused(camera, property))
            return FALSE;
        std::lock_guard lock(camera->mutex);
        if (flags)
            *flags = 0;
        switch (property) {
        case LUCAM_PROP_EXPOSURE:
            *value = camera->exposure;
            return TRUE;
        case LUCAM_PROP_GAIN:
            *value = camera->gain;
            return TRUE;
        case LUCAM_PROP_COLOR_FORMAT:
            *value = camera->focus ? 1.0f : 0.0f;
            return TRUE;
        case LUCAM_PROP_MAX_WIDTH:
            *value = float(kSensorWidth);
            return TRUE;
        case LUCAM_PROP_MAX_HEIGHT:
            *value = float(kSensorHeight);
            return TRUE;
        default:
            return FALSE;
        }
    }

    BOOL SetProperty(void* handle, ULONG property, FLOAT value, LONG flags) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || Refused(camera, property))
            return FALSE;
        std::lock_guard lock(camera->mutex);
        switch (property) {
        case LUCAM_PROP_EXPOSURE:
            if (!(value > 0))
                return FALSE;
            // The exposure cannot exceed the frame period of the current rate.
            camera->exposure = std::min(value, MaxExposureMs(camera->frameRate));
            return TRUE;
        case LUCAM_PROP_GAIN:
            if (value < 0 || value > 32)
                return FALSE;
            camera->gain = value;
            return TRUE;
        default:
            return FALSE;
        }
    }

    BOOL GetFormat(void* handle, LUCAM_FRAME_FORMAT* format, FLOAT* frameRate) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !format || camera->settings.refuseGetFormat)
            return FALSE;
        std::lock_guard lock(camera->mutex);
        *format = camera->format;
        if (frameRate)
            *frameRate = camera->frameRate;
        return TRUE;
    }

    BOOL SetFormat(void* handle, LUCAM_FRAME_FORMAT* format, FLOAT frameRate) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !format || camera->settings.refuseSetFormat)
            return FALSE;
        if (format->width == 0 || format->height == 0 || format->width > kSensorWidth ||
            format->height > kSensorHeight)
            return FALSE;
        std::lock_guard lock(camera->mutex);
        camera->format = *format;
        const auto& rates = camera->focus ? camera->settings.focusRates : camera->settings.dataRates;
        // Rate 0 means "the camera's default"; any other rate snaps to the nearest offered one.
        float rate = rates.empty() ? 15.0f : rates.back();
        if (frameRate > 0 && !rates.empty()) {
            rate = *std::min_element(rates.begin(), rates.end(), [frameRate](float a, float b) {
                return std::fabs(a - frameRate) < std::fabs(b - frameRate);
            });
        }
        camera->frameRate = rate;
        camera->exposure = std::min(camera->exposure, MaxExposureMs(rate));
        return TRUE;
    }

    LONG EnumAvailableFrameRates(void* handle, ULONG room, FLOAT* rates) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return 0;
        const auto& list = camera->focus ? camera->settings.focusRates : camera->settings.dataRates;
        if (!rates)
            return LONG(list.size());
        const ULONG n = std::min<ULONG>(room, ULONG(list.size()));
        std::copy_n(list.begin(), n, rates);
        return LONG(n);
    }

    BOOL StreamVideoControl(void* handle, ULONG controlType, HWND window) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return FALSE;
        if (controlType == STOP_STREAMING) {
            StopStream(camera);
            return TRUE;
        }
        if (controlType != START_STREAMING && controlType != START_DISPLAY)
            return FALSE;
        if (camera->settings.refuseStreaming)
            return FALSE;
        if (camera->streaming.load())
            return TRUE;
        if (camera->thread.joinable())
            camera->thread.join();
        {
            std::lock_guard lock(camera->mutex);
            camera->display = (controlType == START_DISPLAY) ? window : nullptr;
            camera->stopRequested = false;
        }
        camera->streaming = true;
        camera->thread = std::thread(StreamLoop, camera);
        return TRUE;
    }

    LONG AddStreamingCallback(void* handle, LucamStreamingCallback callback, VOID* context) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !callback)
            return -1;
        std::lock_guard lock(camera->mutex);
        const LONG id = camera->nextCallbackId++;
        camera->callbacks[id] = {callback, context};
        return id;
    }

    BOOL RemoveStreamingCallback(void* handle, LONG callbackId) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return FALSE;
        std::lock_guard lock(camera->mutex);
        return camera->callbacks.erase(callbackId) ? TRUE : FALSE;
    }

    BOOL ConvertFrameToGreyscale16(void* handle, USHORT* dest, const USHORT* src, ULONG width, ULONG height,
                                   ULONG pixelFormat, LUCAM_CONVERSION* params) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !dest || !src || pixelFormat != LUCAM_PF_16)
            return FALSE;
        std::memcpy(dest, src, size_t(width) * height * sizeof(USHORT));
        return TRUE;
    }

    BOOL ContinuousAutoExposureEnable(void* handle, BYTE target, ULONG, ULONG, ULONG, ULONG, FLOAT) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return FALSE;
        std::lock_guard lock(camera->mutex);
        camera->autoExposure = target > 0;
        return TRUE;
    }

    LONG AddRgbPreviewCallback(void* handle, LucamRgbPreviewCallback callback, VOID* context,
                               ULONG) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera) || !callback)
            return -1;
        std::lock_guard lock(camera->mutex);
        const LONG id = camera->nextCallbackId++;
        camera->previewCallbacks[id] = {callback, context};
        return id;
    }

    BOOL RemoveRgbPreviewCallback(void* handle, LONG callbackId) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return FALSE;
        std::lock_guard lock(camera->mutex);
        return camera->previewCallbacks.erase(callbackId) ? TRUE : FALSE;
    }

    BOOL AdjustDisplayWindow(void* handle, const char*, LONG x, LONG y, LONG, LONG) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return FALSE;
        std::lock_guard lock(camera->mutex);
        camera->displayX = x;
        camera->displayY = y;
        return TRUE;
    }

    BOOL DestroyDisplayWindow(void* handle) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        if (!Valid(camera))
            return FALSE;
        std::lock_guard lock(camera->mutex);
        camera->display = nullptr;
        return TRUE;
    }

    CameraStreamCounters Counters(void* handle) override {
        auto* camera = static_cast<SimCameraUnit*>(handle);
        CameraStreamCounters c;
        if (camera) {
            c.delivered = camera->delivered.load();
            c.dropped = camera->dropped.load();
        }
        return c;
    }
};
} // namespace

CameraBackend& SimulatedCameraBackend() {
    static SimCameraBackend backend;
    return backend;
}
