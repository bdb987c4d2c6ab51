// A stand-in for the vendor's camera library: the simulated cameras behind the vendor's C function
// names, built as a shared library that the tests load at run time like the real one. The library
// has its own cameras (its own copy of the camera simulator, hidden from the program); they look at
// the simulated scene and mirror of the process that loads it.
//
// Built twice: complete, and with FAKE_VENDOR_OMIT naming one function that the library lacks.
#define LUCAM_RECORDS_ONLY
#include "camera/CameraSeam.h"
#include "sim/SimCamera.h"

#define FAKE_VENDOR_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
CameraBackend& Cameras() {
    return SimulatedCameraBackend();
}
} // namespace

// Test controls of the stand-in (not vendor functions).
FAKE_VENDOR_EXPORT void FakeVendorConfigure(int cameraCount, double clockScale) {
    SimCameraSettings s;
    s.cameraCount = cameraCount;
    s.clockScale = clockScale;
    s.serialNumber = 7001;
    SimCameras::Instance().Shutdown();
    SimCameras::Instance().Configure(s);
}
FAKE_VENDOR_EXPORT void FakeVendorShutdown() {
    SimCameras::Instance().Shutdown();
}
FAKE_VENDOR_EXPORT void FakeVendorSilence(int silent) {
    SimCameras::Instance().SetDataCameraSilent(silent != 0);
}

FAKE_VENDOR_EXPORT LONG LucamNumCameras() {
    return Cameras().NumCameras();
}
FAKE_VENDOR_EXPORT LONG LucamEnumCameras(LUCAM_VERSION* versions, ULONG count) {
    return Cameras().EnumCameras(versions, count);
}
FAKE_VENDOR_EXPORT void* LucamCameraOpen(ULONG number) {
    return Cameras().CameraOpen(number);
}
FAKE_VENDOR_EXPORT BOOL LucamCameraClose(void* c) {
    return Cameras().CameraClose(c);
}
FAKE_VENDOR_EXPORT BOOL LucamGetCameraId(void* c, ULONG* id) {
    return Cameras().GetCameraId(c, id);
}
FAKE_VENDOR_EXPORT BOOL LucamQueryVersion(void* c, LUCAM_VERSION* v) {
    return Cameras().QueryVersion(c, v);
}
FAKE_VENDOR_EXPORT BOOL LucamGetProperty(void* c, ULONG p, FLOAT* v, LONG* f) {
    return Cameras().GetProperty(c, p, v, f);
}
FAKE_VENDOR_EXPORT BOOL LucamSetProperty(void* c, ULONG p, FLOAT v, LONG f) {
    return Cameras().SetProperty(c, p, v, f);
}
FAKE_VENDOR_EXPORT BOOL LucamGetFormat(void* c, LUCAM_FRAME_FORMAT* f, FLOAT* r) {
    return Cameras().GetFormat(c, f, r);
}
FAKE_VENDOR_EXPORT BOOL LucamSetFormat(void* c, LUCAM_FRAME_FORMAT* f, FLOAT r) {
    return Cameras().SetFormat(c, f, r);
}
FAKE_VENDOR_EXPORT LONG LucamEnumAvailableFrameRates(void* c, ULONG room, FLOAT* rates) {
    return Cameras().EnumAvailableFrameRates(c, room, rates);
}
FAKE_VENDOR_EXPORT BOOL LucamStreamVideoControl(void* c, ULONG code, void* window) {
    // The vendor's library takes a window of the platform; the stand-in draws nowhere.
    return Cameras().StreamVideoControl(c, code == START_DISPLAY ? START_STREAMING : code,
                                        code == START_DISPLAY ? nullptr : static_cast<HWND>(window));
}
FAKE_VENDOR_EXPORT LONG LucamAddStreamingCallback(void* c, LucamStreamingCallback cb, VOID* context) {
    return Cameras().AddStreamingCallback(c, cb, context);
}
FAKE_VENDOR_EXPORT BOOL LucamRemoveStreamingCallback(void* c, LONG id) {
    return Cameras().RemoveStreamingCallback(c, id);
}
#ifndef FAKE_VENDOR_OMIT_CONVERT
FAKE_VENDOR_EXPORT BOOL LucamConvertFrameToGreyscale16(void* c, USHORT* dest, const USHORT* src, ULONG width,
                                                       ULONG height, ULONG pixelFormat,
                                                       LUCAM_CONVERSION* params) {
    return Cameras().ConvertFrameToGreyscale16(c, dest, src, width, height, pixelFormat, params);
}
#endif
FAKE_VENDOR_EXPORT BOOL LucamContinuousAutoExposureEnable(void* c, BYTE target, ULONG x, ULONG y, ULONG w,
                                                          ULONG h, FLOAT period) {
    return Cameras().ContinuousAutoExposureEnable(c, target, x, y, w, h, period);
}
FAKE_VENDOR_EXPORT LONG LucamAddRgbPreviewCallback(void* c, LucamRgbPreviewCallback cb, VOID* context,
                                                   ULONG pf) {
    return Cameras().AddRgbPreviewCallback(c, cb, context, pf);
}
FAKE_VENDOR_EXPORT BOOL LucamRemoveRgbPreviewCallback(void* c, LONG id) {
    return Cameras().RemoveRgbPreviewCallback(c, id);
}
FAKE_VENDOR_EXPORT BOOL LucamAdjustDisplayWindow(void* c, const char* title, LONG x, LONG y, LONG w, LONG h) {
    return Cameras().AdjustDisplayWindow(c, title, x, y, w, h);
}
FAKE_VENDOR_EXPORT BOOL LucamDestroyDisplayWindow(void* c) {
    return Cameras().DestroyDisplayWindow(c);
}
