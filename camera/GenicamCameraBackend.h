#pragma once
// GenICam cameras (USB3 Vision, GigE Vision) through Aravis, behind the camera interface: one
// camera, named by its Aravis device id or serial number.
//
// The camera answers in the vendor's terms:
//  - frames reach the streaming callbacks as 16-bit values of full scale 65535: Mono16 as it comes,
//    Mono12 and the 12-bit packed formats shifted left by 4, Mono8 by 8;
//  - the frame format's width and height are twice the frame's size: with binning 2 x 2 requested,
//    the camera bins 2 x 2 where it offers BinningHorizontal/BinningVertical, and the frame is a
//    centred region of width / 2 x height / 2 (OffsetX, OffsetY) of what it then delivers; without
//    binning the region is taken from the sensor itself. The data camera must be able to give
//    696 x 520 frames this way, or it is not used;
//  - property 20 (exposure, ms) is ExposureTime (µs), and reads back as what one frame period at
//    the current rate can hold; property 40 (gain) is the linear gain, Gain in dB where the camera
//    gives its gain in dB (20 log10), otherwise the camera's own value;
//  - the frame rates offered are the steps 1, 2, 3.75, 5, 7.5, 10, 15, 20, 25, 30, 40, 50, 60, 75
//    and 100 frames/s within AcquisitionFrameRate's bounds (the fastest of its bounds when none fits).
// Frames arrive on Aravis's stream thread; when several wait, only the newest is handed on and the
// others count as dropped (a frame must show where the mirror stands now). Frames of another size or
// format are refused and counted; buffers Aravis reports as failed and its underruns are counted.
#include "camera/CameraBackend.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class GenicamRole { DataCamera, FocusCamera };

std::unique_ptr<CameraBackend> MakeGenicamCameraBackend(const std::string& device, GenicamRole role,
                                                        std::function<void(const std::string&)> report);

// The frame rates offered for a camera whose AcquisitionFrameRate goes from minimum to maximum.
std::vector<float> GenicamFrameRates(double minimum, double maximum);

// The Aravis camera (ArvCamera*) behind a backend made by MakeGenicamCameraBackend; null for any
// other backend or before the camera was opened.
void* GenicamNativeCamera(CameraBackend* backend);
