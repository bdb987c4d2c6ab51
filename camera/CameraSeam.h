#pragma once
// The seam under the camera interface of camera/lucam.h: which backend each camera of a run comes
// from, and the routing of every camera call to the backend that opened the camera.
//
// Numbering: the program opens camera n as the focus camera and camera n - 1 as the data camera,
// n being the number of cameras. When both cameras come from one backend that numbers its cameras
// (the simulator, or the vendor's library), the numbers are that backend's own. Otherwise camera 1
// is the data camera and camera 2 the focus camera, each from its own backend (camera 2 cannot be
// opened when no focus camera is configured); there are no cameras at all when the data camera's
// backend has none to offer.
#include "camera/CameraBackend.h"
#include "camera/CameraChoice.h"
#include "camera/lucam.h"

#include <functional>
#include <string>

namespace CameraSeam {
// Installs the backends of a run (before the cameras are opened). Problems found while loading a
// backend (a missing library or function, a GenICam camera not found or unusable) are reported
// through report, once each, when the program first asks for its cameras.
void Install(const CameraSetup& setup, std::function<void(const std::string& text)> report = {});
// Stops and forgets every backend but the simulator's; the simulated cameras again (end of a run).
void Reset();
// The backend behind a handle (null for a null or unknown handle).
CameraBackend* BackendOf(HANDLE camera);
// The stream counters of a camera.
CameraStreamCounters Counters(HANDLE camera);
} // namespace CameraSeam

// The simulated cameras as a backend (sim/SimCamera.cpp).
CameraBackend& SimulatedCameraBackend();
