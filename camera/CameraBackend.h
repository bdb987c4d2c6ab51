#pragma once
// One family of cameras behind the camera interface of camera/lucam.h: the simulated cameras, the
// vendor's camera library loaded at run time, or GenICam cameras through Aravis. The functions of
// camera/lucam.h route each call to the backend that opened the camera (camera/CameraSeam.h); a
// backend answers the same questions as the vendor's interface, with its records and constants.
//
// Camera pointers are the backend's own (what it returned from CameraOpen). Every operation returns
// nonzero on success, as the vendor's functions do. Streaming callbacks run on the backend's own
// thread and receive frames in the vendor's 16-bit convention once the format asks for 16-bit
// pixels (values up to 65535, row by row).
#include "camera/lucam.h"

#include <cstdint>
#include <string>

// Counters of one camera's stream since its backend opened it.
struct CameraStreamCounters {
    uint64_t delivered = 0; // frames handed to the streaming callbacks
    uint64_t dropped = 0;   // frames lost because the previous callback still ran
    uint64_t rejected = 0;  // frames of the wrong size or format, never handed on
    uint64_t failed = 0;    // buffers the camera or its transport reported as failed or incomplete
    uint64_t underruns = 0; // frames lost because no buffer was free to receive them
};

class CameraBackend {
public:
    virtual ~CameraBackend() = default;
    // Short name for messages ("simulated cameras", "liblucamapi.so", "GenICam camera Fake_1").
    virtual std::string Name() const = 0;

    virtual LONG NumCameras() = 0;
    virtual LONG EnumCameras(LUCAM_VERSION* versions, ULONG count) = 0;
    // Numbered from 1 within the backend; null when the camera cannot be opened.
    virtual void* CameraOpen(ULONG number) = 0;
    virtual BOOL CameraClose(void* camera) = 0;
    virtual BOOL GetCameraId(void* camera, ULONG* id) = 0;
    virtual BOOL QueryVersion(void* camera, LUCAM_VERSION* version) = 0;
    virtual BOOL GetProperty(void* camera, ULONG property, FLOAT* value, LONG* flags) = 0;
    virtual BOOL SetProperty(void* camera, ULONG property, FLOAT value, LONG flags) = 0;
    virtual BOOL GetFormat(void* camera, LUCAM_FRAME_FORMAT* format, FLOAT* frameRate) = 0;
    virtual BOOL SetFormat(void* camera, LUCAM_FRAME_FORMAT* format, FLOAT frameRate) = 0;
    virtual LONG EnumAvailableFrameRates(void* camera, ULONG room, FLOAT* rates) = 0;
    virtual BOOL StreamVideoControl(void* camera, ULONG controlType, HWND window) = 0;
    virtual LONG AddStreamingCallback(void* camera, LucamStreamingCallback callback, VOID* context) = 0;
    virtual BOOL RemoveStreamingCallback(void* camera, LONG callbackId) = 0;
    virtual BOOL ConvertFrameToGreyscale16(void* camera, USHORT* dest, const USHORT* src, ULONG width,
                                           ULONG height, ULONG pixelFormat, LUCAM_CONVERSION* params) = 0;
    virtual BOOL ContinuousAutoExposureEnable(void* camera, BYTE target, ULONG startX, ULONG startY,
                                              ULONG width, ULONG height, FLOAT lightingPeriod) = 0;
    virtual LONG AddRgbPreviewCallback(void* camera, LucamRgbPreviewCallback callback, VOID* context,
                                       ULONG pixelFormat) = 0;
    virtual BOOL RemoveRgbPreviewCallback(void* camera, LONG callbackId) = 0;
    virtual BOOL AdjustDisplayWindow(void* camera, const char* title, LONG x, LONG y, LONG width,
                                     LONG height) = 0;
    virtual BOOL DestroyDisplayWindow(void* camera) = 0;

    // The camera's stream counters (zeros where the backend does not count).
    virtual CameraStreamCounters Counters(void* camera) { return {}; }
};
