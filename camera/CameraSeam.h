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
#include "camera/lucam.h"

#include <functional>
#include <optional>
#include <string>

// Where one camera comes from.
struct CameraChoice {
    enum class Kind { None, Simulated, VendorLibrary, Genicam };
    Kind kind = Kind::Simulated;
    // The vendor library's path or name (empty: the vendor's usual name), or the GenICam camera's
    // Aravis device id or serial number.
    std::string target;

    bool operator==(const CameraChoice&) const = default;
    // "sim", "lucam", "lucam:/opt/lumenera/lib/liblucamapi.so", "genicam:Fake_1", "none".
    static std::optional<CameraChoice> Parse(const std::string& text, std::string* error = nullptr);
    std::string Text() const;
    bool Real() const { return kind == Kind::VendorLibrary || kind == Kind::Genicam; }
};

// The vendor's usual name for its camera library on Linux.
inline constexpr const char* kVendorLibraryName = "liblucamapi.so";
inline constexpr const char* kCameraLibraryCaption = "Camera Library";

struct CameraSetup {
    CameraChoice data;
    // The focus camera; unset: the data camera's backend provides it where that backend numbers
    // its cameras (simulator, vendor library), none for a GenICam data camera.
    std::optional<CameraChoice> focus;
    // The focus camera that this setup really uses.
    CameraChoice Focus() const;
};

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
