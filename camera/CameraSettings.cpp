#include "camera/CameraSettings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

int32_t BandCountFromCode(int32_t code) {
    switch (code) {
    case 0:
        return 60;
    case 2:
        return 180;
    case 3:
        return 240;
    default:
        return 128;
    }
}

int32_t BandCodeFromCount(int32_t count) {
    switch (count) {
    case 60:
        return 0;
    case 180:
        return 2;
    case 240:
        return 3;
    default:
        return 1;
    }
}

namespace {
// Reads one line (without its line feed); false at end of file.
bool ReadLine(FILE* f, std::string& line) {
    line.clear();
    int c;
    bool any = false;
    while ((c = std::fgetc(f)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < 4096)
            line.push_back(char(c));
    }
    return any;
}

// Splits a line into numbers in order, stopping at the first token that is not one.
template <typename Fn>
int ParseFields(const std::string& line, int maxFields, Fn&& store) {
    const char* p = line.c_str();
    int n = 0;
    while (n < maxFields) {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || !std::isfinite(v) || std::fabs(v) > 2.0e9)
            break;
        if (!store(n, v, p))
            break;
        p = end;
        ++n;
    }
    return n;
}

bool IsInteger(const char* p) {
    char* end = nullptr;
    std::strtol(p, &end, 10);
    char* endD = nullptr;
    std::strtod(p, &endD);
    return end == endD;
}
} // namespace

CameraSettingsReadResult ReadCameraSettingsFile(const std::string& path, CameraSettingsValues& values,
                                                std::array<int32_t, 3>& rgbBands, int32_t bandsForRgbCheck) {
    CameraSettingsReadResult result;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f)
        return result;
    result.opened = true;

    std::string line;
    if (ReadLine(f.get(), line)) {
        // Integer fields must hold whole numbers; a field that does not ends the line.
        result.fieldsLine1 = ParseFields(line, 6, [&](int i, double v, const char* p) {
            const bool integerField = (i == 0 || i == 1 || i == 3 || i == 5);
            if (integerField && !IsInteger(p))
                return false;
            switch (i) {
            case 0:
                values.SetBands(int32_t(v));
                break;
            case 1:
                values.binningCode = int32_t(v);
                break;
            case 2:
                values.exposure = v;
                break;
            case 3:
                values.gain = int32_t(v);
                break;
            case 4:
                values.secondExposure = v;
                break;
            case 5:
                values.secondGain = int32_t(v);
                break;
            }
            return true;
        });
    }
    if (ReadLine(f.get(), line)) {
        result.fieldsLine2 = ParseFields(line, 3, [&](int i, double v, const char* p) {
            if (!IsInteger(p))
                return false;
            rgbBands[size_t(i)] = int32_t(v);
            return true;
        });
    }
    for (size_t i = 0; i < 3; ++i) {
        if (rgbBands[i] < 0 || rgbBands[i] >= bandsForRgbCheck) {
            rgbBands[i] = kDefaultRgbBands[i];
            result.rgbReplaced = true;
        }
    }
    return result;
}

std::string CameraSettingsText(const CameraSettingsValues& v, const std::array<int32_t, 3>& rgb) {
    char buf[256];
    std::string text;
    std::snprintf(buf, sizeof buf, "%d %d %lf %d %lf %d\n", v.Bands(), v.binningCode, v.exposure, v.gain,
                  v.secondExposure, v.secondGain);
    text += buf;
    std::snprintf(buf, sizeof buf, "%d %d %d\n", rgb[0], rgb[1], rgb[2]);
    text += buf;
    return text;
}

bool WriteCameraSettingsFile(const std::string& path, const CameraSettingsValues& values,
                             const std::array<int32_t, 3>& rgbSelections) {
    FILE* f = std::fopen(path.c_str(), "wb+");
    if (!f)
        return false;
    const std::string text = CameraSettingsText(values, rgbSelections);
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}
