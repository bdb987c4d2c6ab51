#pragma once
// Which backend a camera of the instrument comes from, as the command line and the ports map
// name it.
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
