#pragma once
// The camera interface: the subset of the Lumenera LuCam C interface that the program uses, with
// the vendor's function names, records and constants. The program includes only this header.
// Each camera comes from one backend (camera/CameraSeam.h): the simulated instrument
// (sim/SimCamera.cpp), the vendor's library loaded at run time, or a GenICam camera.
//
// Every function returns nonzero (TRUE) on success unless stated otherwise.
#include <cstdint>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef float FLOAT;
typedef void VOID;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Opaque camera handle; null when a camera cannot be opened.
typedef struct LucamCamera* HANDLE;

// Where a camera draws its video when streaming with display (LucamStreamVideoControl code 2).
// Stands in for a window handle: the preview window implements it. ShowFrame is called on the
// camera's thread with a top-down RGB888 picture; the implementation must copy what it needs.
class LucamDisplayTarget {
public:
    virtual ~LucamDisplayTarget() = default;
    virtual void ShowFrame(const BYTE* rgb, ULONG width, ULONG height, LONG x, LONG y) = 0;
};
typedef LucamDisplayTarget* HWND;

// Frame format record.
typedef struct {
    ULONG xOffset;
    ULONG yOffset;
    ULONG width;
    ULONG height;
    ULONG pixelFormat;
    union {
        USHORT subSampleX;
        USHORT binningX;
    };
    USHORT flagsX;
    union {
        USHORT subSampleY;
        USHORT binningY;
    };
    USHORT flagsY;
} LUCAM_FRAME_FORMAT;

// Version record (one per camera from LucamEnumCameras, or from LucamQueryVersion).
typedef struct {
    ULONG firmware;
    ULONG fpga;
    ULONG api;
    ULONG driver;
    ULONG serialnumber;
    ULONG reserved;
} LUCAM_VERSION;

typedef struct {
    ULONG DemosaicMethod;
    ULONG CorrectionMatrix;
} LUCAM_CONVERSION;

#define LUCAM_PROP_EXPOSURE 20
#define LUCAM_PROP_GAIN 40
#define LUCAM_PROP_COLOR_FORMAT 80
#define LUCAM_PROP_MAX_WIDTH 81
#define LUCAM_PROP_MAX_HEIGHT 82

#define LUCAM_PF_8 0
#define LUCAM_PF_16 1
#define LUCAM_PF_24 2

#define LUCAM_FRAME_FORMAT_FLAGS_BINNING 0x0001

#define STOP_STREAMING 0
#define START_STREAMING 1
#define START_DISPLAY 2

#define LUCAM_DM_NONE 0
#define LUCAM_CM_NONE 0

// Camera id of the model "Lw11050".
#define LUCAM_ID_LW11050 0x1C8

typedef VOID (*LucamStreamingCallback)(VOID* context, BYTE* data, ULONG length);
typedef VOID (*LucamRgbPreviewCallback)(VOID* context, BYTE* data, ULONG width, ULONG height,
                                        ULONG pixelFormat);

// LUCAM_RECORDS_ONLY: the records, constants and callback types without the program's functions
// (for code that implements the vendor's C functions itself).
#ifndef LUCAM_RECORDS_ONLY
LONG LucamNumCameras();
LONG LucamEnumCameras(LUCAM_VERSION* versions, ULONG count);
HANDLE LucamCameraOpen(ULONG number); // numbered from 1
BOOL LucamCameraClose(HANDLE camera);
BOOL LucamGetCameraId(HANDLE camera, ULONG* id);
BOOL LucamQueryVersion(HANDLE camera, LUCAM_VERSION* version);
BOOL LucamGetProperty(HANDLE camera, ULONG property, FLOAT* value, LONG* flags);
BOOL LucamSetProperty(HANDLE camera, ULONG property, FLOAT value, LONG flags);
BOOL LucamGetFormat(HANDLE camera, LUCAM_FRAME_FORMAT* format, FLOAT* frameRate);
BOOL LucamSetFormat(HANDLE camera, LUCAM_FRAME_FORMAT* format, FLOAT frameRate);
// With rates == nullptr returns the number of rates; otherwise fills at most room rates and
// returns the number filled.
LONG LucamEnumAvailableFrameRates(HANDLE camera, ULONG room, FLOAT* rates);
BOOL LucamStreamVideoControl(HANDLE camera, ULONG controlType, HWND window);
// Returns a callback id (>= 0), or -1 on failure.
LONG LucamAddStreamingCallback(HANDLE camera, LucamStreamingCallback callback, VOID* context);
BOOL LucamRemoveStreamingCallback(HANDLE camera, LONG callbackId);
BOOL LucamConvertFrameToGreyscale16(HANDLE camera, USHORT* dest, const USHORT* src, ULONG width,
                                    ULONG height, ULONG pixelFormat, LUCAM_CONVERSION* params);
BOOL LucamContinuousAutoExposureEnable(HANDLE camera, BYTE target, ULONG startX, ULONG startY,
                                       ULONG width, ULONG height, FLOAT lightingPeriod);
LONG LucamAddRgbPreviewCallback(HANDLE camera, LucamRgbPreviewCallback callback, VOID* context,
                                ULONG pixelFormat);
BOOL LucamRemoveRgbPreviewCallback(HANDLE camera, LONG callbackId);
BOOL LucamAdjustDisplayWindow(HANDLE camera, const char* title, LONG x, LONG y, LONG width, LONG height);
BOOL LucamDestroyDisplayWindow(HANDLE camera);
#endif
