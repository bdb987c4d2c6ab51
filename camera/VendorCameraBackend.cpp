#include "camera/VendorCameraBackend.h"

#include <dlfcn.h>

#include <atomic>

// The library's functions, with the shapes of camera/lucam.h and the library's own camera handles.
struct VendorCameraBackend::Api {
    LONG (*NumCameras)();
    LONG (*EnumCameras)(LUCAM_VERSION*, ULONG);
    void* (*CameraOpen)(ULONG);
    BOOL (*GetCameraId)(void*, ULONG*);
    BOOL (*QueryVersion)(void*, LUCAM_VERSION*);
    BOOL (*GetProperty)(void*, ULONG, FLOAT*, LONG*);
    BOOL (*SetProperty)(void*, ULONG, FLOAT, LONG);
    BOOL (*GetFormat)(void*, LUCAM_FRAME_FORMAT*, FLOAT*);
    BOOL (*SetFormat)(void*, LUCAM_FRAME_FORMAT*, FLOAT);
    LONG (*EnumAvailableFrameRates)(void*, ULONG, FLOAT*);
    BOOL (*StreamVideoControl)(void*, ULONG, void*);
    LONG (*AddStreamingCallback)(void*, LucamStreamingCallback, VOID*);
    BOOL (*ConvertFrameToGreyscale16)(void*, USHORT*, const USHORT*, ULONG, ULONG, ULONG, LUCAM_CONVERSION*);
    BOOL (*ContinuousAutoExposureEnable)(void*, BYTE, ULONG, ULONG, ULONG, ULONG, FLOAT);
    LONG (*AddRgbPreviewCallback)(void*, LucamRgbPreviewCallback, VOID*, ULONG);
    BOOL (*RemoveRgbPreviewCallback)(void*, LONG);
    BOOL (*AdjustDisplayWindow)(void*, const char*, LONG, LONG, LONG, LONG);
    BOOL (*DestroyDisplayWindow)(void*);
    // Used when the library has them.
    BOOL (*CameraClose)(void*);
    BOOL (*RemoveStreamingCallback)(void*, LONG);
};

// One streaming callback of the program: counts the frames and drops one that arrives while the
// previous call still runs.
struct VendorCameraBackend::Forward {
    void* camera = nullptr;
    LucamStreamingCallback callback = nullptr;
    VOID* context = nullptr;
    std::atomic<bool> busy{false};
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> dropped{0};

    static VOID Call(VOID* self, BYTE* data, ULONG length) {
        auto* f = static_cast<Forward*>(self);
        if (f->busy.exchange(true)) {
            ++f->dropped;
            return;
        }
        f->callback(f->context, data, length);
        ++f->delivered;
        f->busy = false;
    }
};

// A stream started with display: the library's RGB preview frames go to the display target.
struct VendorCameraBackend::Display {
    std::mutex mutex;
    HWND target = nullptr;
    LONG x = 0, y = 0;
    LONG callbackId = -1;

    static VOID Show(VOID* self, BYTE* data, ULONG width, ULONG height, ULONG) {
        auto* d = static_cast<Display*>(self);
        std::lock_guard lock(d->mutex);
        if (d->target && data)
            d->target->ShowFrame(data, width, height, d->x, d->y);
    }
};

const char* const VendorCameraBackend::kRequiredFunctions[] = {
    "LucamNumCameras",
    "LucamEnumCameras",
    "LucamCameraOpen",
    "LucamGetCameraId",
    "LucamQueryVersion",
    "LucamGetProperty",
    "LucamSetProperty",
    "LucamGetFormat",
    "LucamSetFormat",
    "LucamEnumAvailableFrameRates",
    "LucamStreamVideoControl",
    "LucamAddStreamingCallback",
    "LucamConvertFrameToGreyscale16",
    "LucamContinuousAutoExposureEnable",
    "LucamAddRgbPreviewCallback",
    "LucamRemoveRgbPreviewCallback",
    "LucamAdjustDisplayWindow",
    "LucamDestroyDisplayWindow",
};
const size_t VendorCameraBackend::kRequiredFunctionCount = std::size(VendorCameraBackend::kRequiredFunctions);

VendorCameraBackend::VendorCameraBackend(std::string library, std::function<void(const std::string&)> report)
    : m_library(std::move(library)), m_report(std::move(report)) {}

VendorCameraBackend::~VendorCameraBackend() {
    if (m_api) {
        // Streams of this run end before the library goes.
        std::lock_guard lock(m_mutex);
        for (auto& [camera, display] : m_displays)
            m_api->StreamVideoControl(camera, STOP_STREAMING, nullptr);
        for (auto& [key, forward] : m_forwards)
            m_api->StreamVideoControl(key.first, STOP_STREAMING, nullptr);
    }
    // The library stays loaded: a library's own threads may outlive the stop, and unloading code
    // that still runs would crash the program.
}

std::string VendorCameraBackend::Problem() const {
    std::lock_guard lock(m_mutex);
    return m_problem;
}

bool VendorCameraBackend::Loaded() {
    std::string problem;
    {
        std::lock_guard lock(m_mutex);
        if (m_tried)
            return m_api != nullptr;
        m_tried = true;
        dlerror();
        m_dl = dlopen(m_library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m_dl) {
            const char* why = dlerror();
            m_problem =
                "Unable to load the camera library " + m_library + (why ? std::string(": ") + why : "");
        } else {
            auto api = std::make_unique<Api>();
            void** slots[] = {reinterpret_cast<void**>(&api->NumCameras),
                              reinterpret_cast<void**>(&api->EnumCameras),
                              reinterpret_cast<void**>(&api->CameraOpen),
                              reinterpret_cast<void**>(&api->GetCameraId),
                              reinterpret_cast<void**>(&api->QueryVersion),
                              reinterpret_cast<void**>(&api->GetProperty),
                              reinterpret_cast<void**>(&api->SetProperty),
                              reinterpret_cast<void**>(&api->GetFormat),
                              reinterpret_cast<void**>(&api->SetFormat),
                              reinterpret_cast<void**>(&api->EnumAvailableFrameRates),
                              reinterpret_cast<void**>(&api->StreamVideoControl),
                              reinterpret_cast<void**>(&api->AddStreamingCallback),
                              reinterpret_cast<void**>(&api->ConvertFrameToGreyscale16),
                              reinterpret_cast<void**>(&api->ContinuousAutoExposureEnable),
                              reinterpret_cast<void**>(&api->AddRgbPreviewCallback),
                              reinterpret_cast<void**>(&api->RemoveRgbPreviewCallback),
                              reinterpret_cast<void**>(&api->AdjustDisplayWindow),
                              reinterpret_cast<void**>(&api->DestroyDisplayWindow)};
            static_assert(sizeof(slots) / sizeof(slots[0]) ==
                          sizeof(kRequiredFunctions) / sizeof(kRequiredFunctions[0]));
            std::string missing;
            for (size_t i = 0; i < std::size(slots); ++i) {
                *slots[i] = dlsym(m_dl, kRequiredFunctions[i]);
                if (!*slots[i])
                    missing += (missing.empty() ? "" : ", ") + std::string(kRequiredFunctions[i]);
            }
            *reinterpret_cast<void**>(&api->CameraClose) = dlsym(m_dl, "LucamCameraClose");
            *reinterpret_cast<void**>(&api->RemoveStreamingCallback) =
                dlsym(m_dl, "LucamRemoveStreamingCallback");
            if (missing.empty()) {
                m_api = std::move(api);
            } else {
                m_problem =
                    "The camera library " + m_library + " cannot be used: it has no function " + missing;
                // Nothing of it was called: it can go.
                dlclose(m_dl);
                m_dl = nullptr;
            }
        }
        problem = m_problem;
    }
    if (!problem.empty() && m_report)
        m_report(problem);
    return problem.empty();
}

LONG VendorCameraBackend::NumCameras() {
    return Loaded() ? m_api->NumCameras() : 0;
}

LONG VendorCameraBackend::EnumCameras(LUCAM_VERSION* versions, ULONG count) {
    return Loaded() ? m_api->EnumCameras(versions, count) : 0;
}

void* VendorCameraBackend::CameraOpen(ULONG number) {
    return Loaded() ? m_api->CameraOpen(number) : nullptr;
}

BOOL VendorCameraBackend::CameraClose(void* camera) {
    return m_api && m_api->CameraClose ? m_api->CameraClose(camera) : FALSE;
}

BOOL VendorCameraBackend::GetCameraId(void* camera, ULONG* id) {
    return m_api ? m_api->GetCameraId(camera, id) : FALSE;
}

BOOL VendorCameraBackend::QueryVersion(void* camera, LUCAM_VERSION* version) {
    return m_api ? m_api->QueryVersion(camera, version) : FALSE;
}

BOOL VendorCameraBackend::GetProperty(void* camera, ULONG property, FLOAT* value, LONG* flags) {
    return m_api ? m_api->GetProperty(camera, property, value, flags) : FALSE;
}

BOOL VendorCameraBackend::SetProperty(void* camera, ULONG property, FLOAT value, LONG flags) {
    return m_api ? m_api->SetProperty(camera, property, value, flags) : FALSE;
}

BOOL VendorCameraBackend::GetFormat(void* camera, LUCAM_FRAME_FORMAT* format, FLOAT* frameRate) {
    return m_api ? m_api->GetFormat(camera, format, frameRate) : FALSE;
}

BOOL VendorCameraBackend::SetFormat(void* camera, LUCAM_FRAME_FORMAT* format, FLOAT frameRate) {
    return m_api ? m_api->SetFormat(camera, format, frameRate) : FALSE;
}

LONG VendorCameraBackend::EnumAvailableFrameRates(void* camera, ULONG room, FLOAT* rates) {
    return m_api ? m_api->EnumAvailableFrameRates(camera, room, rates) : 0;
}

BOOL VendorCameraBackend::StreamVideoControl(void* camera, ULONG controlType, HWND window) {
    if (!m_api)
        return FALSE;
    if (controlType != START_DISPLAY) {
        if (controlType == STOP_STREAMING) {
            std::lock_guard lock(m_mutex);
            if (auto it = m_displays.find(camera); it != m_displays.end()) {
                std::lock_guard displayLock(it->second->mutex);
                it->second->target = nullptr;
            }
        }
        return m_api->StreamVideoControl(camera, controlType, nullptr);
    }
    // The library cannot draw into the program's windows: its RGB preview frames are shown instead.
    Display* display = nullptr;
    {
        std::lock_guard lock(m_mutex);
        auto& d = m_displays[camera];
        if (!d)
            d = std::make_unique<Display>();
        display = d.get();
    }
    {
        std::lock_guard lock(display->mutex);
        display->target = window;
    }
    if (display->callbackId < 0)
        display->callbackId = m_api->AddRgbPreviewCallback(camera, &Display::Show, display, LUCAM_PF_24);
    return m_api->StreamVideoControl(camera, START_STREAMING, nullptr);
}

LONG VendorCameraBackend::AddStreamingCallback(void* camera, LucamStreamingCallback callback, VOID* context) {
    if (!m_api || !callback)
        return -1;
    auto forward = std::make_unique<Forward>();
    forward->camera = camera;
    forward->callback = callback;
    forward->context = context;
    const LONG id = m_api->AddStreamingCallback(camera, &Forward::Call, forward.get());
    if (id < 0)
        return id;
    std::lock_guard lock(m_mutex);
    m_forwards[{camera, id}] = std::move(forward);
    return id;
}

BOOL VendorCameraBackend::RemoveStreamingCallback(void* camera, LONG callbackId) {
    if (!m_api || !m_api->RemoveStreamingCallback)
        return FALSE;
    // The forwarder stays: the library may still be inside a call of it.
    return m_api->RemoveStreamingCallback(camera, callbackId);
}

BOOL VendorCameraBackend::ConvertFrameToGreyscale16(void* camera, USHORT* dest, const USHORT* src,
                                                    ULONG width, ULONG height, ULONG pixelFormat,
                                                    LUCAM_CONVERSION* params) {
    return m_api ? m_api->ConvertFrameToGreyscale16(camera, dest, src, width, height, pixelFormat, params)
                 : FALSE;
}

BOOL VendorCameraBackend::ContinuousAutoExposureEnable(void* camera, BYTE target, ULONG startX, ULONG startY,
                                                       ULONG width, ULONG height, FLOAT lightingPeriod) {
    return m_api ? m_api->ContinuousAutoExposureEnable(camera, target, startX, startY, width, height,
                                                       lightingPeriod)
                 : FALSE;
}

LONG VendorCameraBackend::AddRgbPreviewCallback(void* camera, LucamRgbPreviewCallback callback, VOID* context,
                                                ULONG pixelFormat) {
    return m_api ? m_api->AddRgbPreviewCallback(camera, callback, context, pixelFormat) : -1;
}

BOOL VendorCameraBackend::RemoveRgbPreviewCallback(void* camera, LONG callbackId) {
    return m_api ? m_api->RemoveRgbPreviewCallback(camera, callbackId) : FALSE;
}

BOOL VendorCameraBackend::AdjustDisplayWindow(void* camera, const char* title, LONG x, LONG y, LONG width,
                                              LONG height) {
    if (!m_api)
        return FALSE;
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_displays.find(camera); it != m_displays.end()) {
            std::lock_guard displayLock(it->second->mutex);
            it->second->x = x;
            it->second->y = y;
        }
    }
    return m_api->AdjustDisplayWindow(camera, title, x, y, width, height);
}

BOOL VendorCameraBackend::DestroyDisplayWindow(void* camera) {
    if (!m_api)
        return FALSE;
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_displays.find(camera); it != m_displays.end()) {
            std::lock_guard displayLock(it->second->mutex);
            it->second->target = nullptr;
        }
    }
    return m_api->DestroyDisplayWindow(camera);
}

CameraStreamCounters VendorCameraBackend::Counters(void* camera) {
    CameraStreamCounters c;
    std::lock_guard lock(m_mutex);
    for (const auto& [key, forward] : m_forwards)
        if (key.first == camera) {
            c.delivered += forward->delivered.load();
            c.dropped += forward->dropped.load();
        }
    return c;
}
