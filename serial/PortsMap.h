#pragma once
// The ports map (./Settings/ARV300_Ports.txt): which COM port names stand for real serial devices
// on this machine, as lines "COM1 /dev/ttyUSB0", and where the cameras come from, as lines
// "DataCamera genicam:Fake_1" and "FocusCamera lucam" (see CameraChoice). Blank lines and lines
// starting with '#' are skipped; words after the device are ignored.
//
// The map is read once per start of the program. Reading is bounded: a file larger than
// kMaxPortsFileBytes, a file that is not text, or a line longer than kMaxPortsLineLength costs no
// more than reading that many bytes, and is refused with a message instead of being half-used.
//
// A port that the file names is real even when its line cannot be used (no device given, the same
// device named for two ports, the port named twice): such a port maps to no device, so opening it
// fails and the program shows its usual offline texts instead of talking to a wrong device.
#include "camera/CameraChoice.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

inline constexpr size_t kMaxPortsFileBytes = 64 * 1024;
inline constexpr size_t kMaxPortsLineLength = 512;

struct PortsMap {
    // The file was found and read (it may still hold nothing usable).
    bool present = false;
    // Upper-case port name ("COM1") -> device path; an empty path marks a port the file names
    // without a usable device.
    std::map<std::string, std::string> devices;
    // The cameras' backends named by the file (a camera named twice, or not as a backend, is
    // reported and not used).
    std::optional<CameraChoice> dataCamera;
    std::optional<CameraChoice> focusCamera;
    // What was refused, one text per problem, for the user.
    std::vector<std::string> problems;

    bool Lists(const std::string& portName) const;
    // Device path of a listed port ("" when it is not listed or has no usable device).
    std::string DeviceOf(const std::string& portName) const;
};

// "COM<n>" with n from 1 to 256, any case, blanks around it ignored; returns the upper-case name or
// "" when the text is not such a name.
std::string NormalisedComName(const std::string& text);

// Reads the map at path. A missing file gives an empty map without problems.
PortsMap ReadPortsMap(const std::string& path);
// Parses the text of a ports file (the same checks as ReadPortsMap; name is used in the messages).
PortsMap ParsePortsMap(const std::string& text, const std::string& name = "ARV300_Ports.txt");
