// The camera interface of camera/lucam.h, routed to the backend that opened each camera.
#include "camera/CameraSeam.h"

#include "camera/GenicamCameraBackend.h"
#include "camera/VendorCameraBackend.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// A camera handle of the program: the backend that opened the camera and the backend's own pointer.
struct LucamCamera {
    CameraBackend* backend = nullptr;
    void* camera = nullptr;
};

namespace {

struct Slot {
    CameraBackend* backend = nullptr;
    ULONG number = 0;
};

struct SeamState {
    SeamState() : passThrough(&SimulatedCameraBackend()) {}
    std::mutex mutex;
    // Both cameras from one numbering backend: its numbers are passed through.
    CameraBackend* passThrough = nullptr;
    // Otherwise: slot 1 the data camera, slot 2 the focus camera.
    Slot data, focus;
    std::vector<std::unique_ptr<CameraBackend>> owned;
    // One handle per opened camera, kept for the run (the program never closes its cameras).
    std::map<std::pair<CameraBackend*, void*>, std::unique_ptr<LucamCamera>> handles;
};

SeamState& State() {
    static SeamState state;
    return state;
}

CameraBackend* Make(SeamState& s, const CameraChoice& choice, GenicamRole role,
                    const std::function<void(const std::string&)>& report) {
    switch (choice.kind) {
    case CameraChoice::Kind::Simulated:
        return &SimulatedCameraBackend();
    case CameraChoice::Kind::VendorLibrary:
        s.owned.push_back(std::make_unique<VendorCameraBackend>(
            choice.target.empty() ? std::string(kVendorLibraryName) : choice.target, report));
        return s.owned.back().get();
    case CameraChoice::Kind::Genicam:
        s.owned.push_back(MakeGenicamCameraBackend(choice.target, role, report));
        return s.owned.back().get();
    case CameraChoice::Kind::None:
        break;
    }
    return nullptr;
}

void Forget(SeamState& s) {
    // Streams of the backends that go are stopped by their destructors.
    s.handles.clear();
    s.owned.clear();
    s.passThrough = &SimulatedCameraBackend();
    s.data = s.focus = Slot{};
}

HANDLE HandleFor(SeamState& s, CameraBackend* backend, void* camera) {
    if (!backend || !camera)
        return nullptr;
    auto& h = s.handles[{backend, camera}];
    if (!h)
        h = std::make_unique<LucamCamera>(LucamCamera{backend, camera});
    return h.get();
}

// The backend of a handle, or null.
CameraBackend* B(HANDLE camera) {
    return camera ? camera->backend : nullptr;
}

} // namespace

void CameraSeam::Install(const CameraSetup& setup, std::function<void(const std::string&)> report) {
    SeamState& s = State();
    std::lock_guard lock(s.mutex);
    Forget(s);
    const CameraChoice focus = setup.Focus();
    const bool numbering = setup.data.kind == CameraChoice::Kind::Simulated ||
                           setup.data.kind == CameraChoice::Kind::VendorLibrary;
    if (numbering && focus == setup.data) {
        s.passThrough = Make(s, setup.data, GenicamRole::DataCamera, report);
        return;
    }
    s.passThrough = nullptr;
    s.data.backend = Make(s, setup.data, GenicamRole::DataCamera, report);
    s.focus.backend = Make(s, focus, GenicamRole::FocusCamera, report);
    // In a backend that numbers its cameras, the simulator's data camera is number 1 and its focus
    // camera number 2; the vendor library's focus camera is its last one.
    s.data.number = 1;
    s.focus.number = focus.kind == CameraChoice::Kind::Simulated ? 2 : 0;
}

void CameraSeam::Reset() {
    SeamState& s = State();
    std::lock_guard lock(s.mutex);
    Forget(s);
}

CameraBackend* CameraSeam::BackendOf(HANDLE camera) {
    return B(camera);
}

CameraStreamCounters CameraSeam::Counters(HANDLE camera) {
    return camera && camera->backend ? camera->backend->Counters(camera->camera) : CameraStreamCounters{};
}

// ---- camera interface ----

LONG LucamNumCameras() {
    SeamState& s = State();
    std::lock_guard lock(s.mutex);
    if (s.passThrough)
        return s.passThrough->NumCameras();
    // The data camera's backend has no camera: there are none.
    if (!s.data.backend || s.data.backend->NumCameras() < 1)
        return 0;
    return 2;
}

LONG LucamEnumCameras(LUCAM_VERSION* versions, ULONG count) {
    SeamState& s = State();
    std::lock_guard lock(s.mutex);
    if (s.passThrough)
        return s.passThrough->EnumCameras(versions, count);
    LONG n = 0;
    for (const Slot* slot : {&s.data, &s.focus}) {
        LUCAM_VERSION v{};
        if (slot->backend) {
            std::vector<LUCAM_VERSION> all(size_t(std::max<LONG>(slot->backend->NumCameras(), 1)));
            slot->backend->EnumCameras(all.data(), ULONG(all.size()));
            v = all.front();
        }
        if (versions && ULONG(n) < count)
            versions[n] = v;
        ++n;
    }
    return n;
}

HANDLE LucamCameraOpen(ULONG number) {
    SeamState& s = State();
    std::lock_guard lock(s.mutex);
    if (s.passThrough)
        return HandleFor(s, s.passThrough, s.passThrough->CameraOpen(number));
    const Slot* slot = number == 1 ? &s.data : number == 2 ? &s.focus : nullptr;
    if (!slot || !slot->backend)
        return nullptr;
    ULONG inBackend = slot->number;
    if (inBackend == 0) {
        const LONG n = slot->backend->NumCameras();
        if (n < 1)
            return nullptr;
        inBackend = ULONG(n);
    }
    return HandleFor(s, slot->backend, slot->backend->CameraOpen(inBackend));
}

BOOL LucamCameraClose(HANDLE camera) {
    return B(camera) ? B(camera)->CameraClose(camera->camera) : FALSE;
}

BOOL LucamGetCameraId(HANDLE camera, ULONG* id) {
    return B(camera) ? B(camera)->GetCameraId(camera->camera, id) : FALSE;
}

BOOL LucamQueryVersion(HANDLE camera, LUCAM_VERSION* version) {
    return B(camera) ? B(camera)->QueryVersion(camera->camera, version) : FALSE;
}

BOOL LucamGetProperty(HANDLE camera, ULONG property, FLOAT* value, LONG* flags) {
    return B(camera) ? B(camera)->GetProperty(camera->camera, property, value, flags) : FALSE;
}

BOOL LucamSetProperty(HANDLE camera, ULONG property, FLOAT value, LONG flags) {
    return B(camera) ? B(camera)->SetProperty(camera->camera, property, value, flags) : FALSE;
}

BOOL LucamGetFormat(HANDLE camera, LUCAM_FRAME_FORMAT* format, FLOAT* frameRate) {
    return B(camera) ? B(camera)->GetFormat(camera->camera, format, frameRate) : FALSE;
}

BOOL LucamSetFormat(HANDLE camera, LUCAM_FRAME_FORMAT* format, FLOAT frameRate) {
    return B(camera) ? B(camera)->SetFormat(camera->camera, format, frameRate) : FALSE;
}

LONG LucamEnumAvailableFrameRates(HANDLE camera, ULONG room, FLOAT* rates) {
    return B(camera) ? B(camera)->EnumAvailableFrameRates(camera->camera, room, rates) : 0;
}

BOOL LucamStreamVideoControl(HANDLE camera, ULONG controlType, HWND window) {
    return B(camera) ? B(camera)->StreamVideoControl(camera->camera, controlType, window) : FALSE;
}

LONG LucamAddStreamingCallback(HANDLE camera, LucamStreamingCallback callback, VOID* context) {
    return B(camera) ? B(camera)->AddStreamingCallback(camera->camera, callback, context) : -1;
}

BOOL LucamRemoveStreamingCallback(HANDLE camera, LONG callbackId) {
    return B(camera) ? B(camera)->RemoveStreamingCallback(camera->camera, callbackId) : FALSE;
}

BOOL LucamConvertFrameToGreyscale16(HANDLE camera, USHORT* dest, const USHORT* src, ULONG width, ULONG height,
                                    ULONG pixelFormat, LUCAM_CONVERSION* params) {
    return B(camera) ? B(camera)->ConvertFrameToGreyscale16(camera->camera, dest, src, width, height,
                                                            pixelFormat, params)
                     : FALSE;
}

BOOL LucamContinuousAutoExposureEnable(HANDLE camera, BYTE target, ULONG startX, ULONG startY, ULONG width,
                                       ULONG height, FLOAT lightingPeriod) {
    return B(camera) ? B(camera)->ContinuousAutoExposureEnable(camera->camera, target, startX, startY, width,
                                                               height, lightingPeriod)
                     : FALSE;
}

LONG LucamAddRgbPreviewCallback(HANDLE camera, LucamRgbPreviewCallback callback, VOID* context,
                                ULONG pixelFormat) {
    return B(camera) ? B(camera)->AddRgbPreviewCallback(camera->camera, callback, context, pixelFormat) : -1;
}

BOOL LucamRemoveRgbPreviewCallback(HANDLE camera, LONG callbackId) {
    return B(camera) ? B(camera)->RemoveRgbPreviewCallback(camera->camera, callbackId) : FALSE;
}

BOOL LucamAdjustDisplayWindow(HANDLE camera, const char* title, LONG x, LONG y, LONG width, LONG height) {
    return B(camera) ? B(camera)->AdjustDisplayWindow(camera->camera, title, x, y, width, height) : FALSE;
}

BOOL LucamDestroyDisplayWindow(HANDLE camera) {
    return B(camera) ? B(camera)->DestroyDisplayWindow(camera->camera) : FALSE;
}
