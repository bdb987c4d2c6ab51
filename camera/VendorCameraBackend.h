#pragma once
// The vendor's camera library, loaded at run time (dlopen of a path or name, default the vendor's
// usual library name) and used through the functions of its interface, found by name. Nothing of
// it is needed to build the program. A library that cannot be loaded, or lacks one of the
// functions, is reported once (naming what is missing) and offers no camera.
//
// The library draws no video into the program's windows: streaming with display (code 2) starts
// the stream and hands the library's RGB preview frames to the display target instead.
#include "camera/CameraBackend.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class VendorCameraBackend final : public CameraBackend {
public:
    VendorCameraBackend(std::string library, std::function<void(const std::string&)> report);
    ~VendorCameraBackend() override;

    // The functions a usable library must have, in the order they are looked up.
    static const char* const kRequiredFunctions[];
    static const size_t kRequiredFunctionCount;

    // Loads the library on first use; false (reported once) when it cannot be used.
    bool Loaded();
    // Why the library cannot be used ("" while it can, or before the first attempt).
    std::string Problem() const;

    std::string Name() const override { return m_library; }
    LONG NumCameras() override;
    LONG EnumCameras(LUCAM_VERSION* versions, ULONG count) override;
    void* CameraOpen(ULONG number) override;
    BOOL CameraClose(void* camera) override;
    BOOL GetCameraId(void* camera, ULONG* id) override;
    BOOL QueryVersion(void* camera, LUCAM_VERSION* version) override;
    BOOL GetProperty(void* camera, ULONG property, FLOAT* value, LONG* flags) override;
    BOOL SetProperty(void* camera, ULONG property, FLOAT value, LONG flags) override;
    BOOL GetFormat(void* camera, LUCAM_FRAME_FORMAT* format, FLOAT* frameRate) override;
    BOOL SetFormat(void* camera, LUCAM_FRAME_FORMAT* format, FLOAT frameRate) override;
    LONG EnumAvailableFrameRates(void* camera, ULONG room, FLOAT* rates) override;
    BOOL StreamVideoControl(void* camera, ULONG controlType, HWND window) override;
    LONG AddStreamingCallback(void* camera, LucamStreamingCallback callback, VOID* context) override;
    BOOL RemoveStreamingCallback(void* camera, LONG callbackId) override;
    BOOL ConvertFrameToGreyscale16(void* camera, USHORT* dest, const USHORT* src, ULONG width, ULONG height,
                                   ULONG pixelFormat, LUCAM_CONVERSION* params) override;
    BOOL ContinuousAutoExposureEnable(void* camera, BYTE target, ULONG startX, ULONG startY, ULONG width,
                                      ULONG height, FLOAT lightingPeriod) override;
    LONG AddRgbPreviewCallback(void* camera, LucamRgbPreviewCallback callback, VOID* context,
                               ULONG pixelFormat) override;
    BOOL RemoveRgbPreviewCallback(void* camera, LONG callbackId) override;
    BOOL AdjustDisplayWindow(void* camera, const char* title, LONG x, LONG y, LONG width,
                             LONG height) override;
    BOOL DestroyDisplayWindow(void* camera) override;
    CameraStreamCounters Counters(void* camera) override;

    struct Api;
    struct Forward;
    struct Display;

private:
    std::string m_library;
    std::function<void(const std::string&)> m_report;
    mutable std::mutex m_mutex;
    bool m_tried = false;
    std::string m_problem;
    void* m_dl = nullptr;
    std::unique_ptr<Api> m_api;
    // Streaming callbacks of the program, each behind a counting forwarder (by callback id).
    std::map<std::pair<void*, LONG>, std::unique_ptr<Forward>> m_forwards;
    // Display targets of streams started with display, by camera.
    std::map<void*, std::unique_ptr<Display>> m_displays;
};
