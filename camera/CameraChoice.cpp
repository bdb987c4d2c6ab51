#include "camera/CameraChoice.h"

std::optional<CameraChoice> CameraChoice::Parse(const std::string& text, std::string* error) {
    const auto colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string target = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    // A short, printable quotation of what was given, for the message.
    std::string quoted;
    for (char c : text.substr(0, 40))
        quoted += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > 40)
        quoted += "...";
    auto fail = [error](const std::string& why) -> std::optional<CameraChoice> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (kind == "sim" && colon == std::string::npos)
        return CameraChoice{Kind::Simulated, ""};
    if (kind == "none" && colon == std::string::npos)
        return CameraChoice{Kind::None, ""};
    if (kind == "lucam") {
        if (colon != std::string::npos && target.empty())
            return fail("lucam: needs the path or name of the camera library after the colon");
        return CameraChoice{Kind::VendorLibrary, target};
    }
    if (kind == "genicam") {
        if (target.empty())
            return fail(
                "genicam: needs the camera's Aravis device id or serial number (arv-tool-0.8 lists them)");
        return CameraChoice{Kind::Genicam, target};
    }
    return fail("a camera is sim, lucam, lucam:LIBRARY, genicam:DEVICE or none, not \"" + quoted + "\"");
}

std::string CameraChoice::Text() const {
    switch (kind) {
    case Kind::None:
        return "none";
    case Kind::Simulated:
        return "sim";
    case Kind::VendorLibrary:
        return target.empty() ? "lucam" : "lucam:" + target;
    case Kind::Genicam:
        return "genicam:" + target;
    }
    return "none";
}

CameraChoice CameraSetup::Focus() const {
    if (focus)
        return *focus;
    if (data.kind == CameraChoice::Kind::Genicam)
        return CameraChoice{CameraChoice::Kind::None, ""};
    return data;
}
