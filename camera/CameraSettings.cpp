#include "camera/CameraSettings.h"

#include "core/ValueRanges.h"
#include "storage/AtomicFile.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <functional>

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

// One number of a line, as "%lf" reads it but independent of the locale: blanks, an optional sign,
// then the longest number there ("inf" and "nan" included).
struct Token {
    bool number = false;  // a number starts here (else the line cannot be read further)
    bool integer = false; // written as a whole number ("7", "-12"; not "7.0", "1e3")
    bool inInt32 = false; // an integer that fits in 32 bits
    double value = 0.0;
    int64_t integerValue = 0;
    std::string text; // as written, for messages
    const char* end = nullptr;
};

Token NextToken(const char* p, const char* lineEnd) {
    Token t;
    while (p < lineEnd && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f'))
        ++p;
    const char* start = p;
    if (p < lineEnd && *p == '+' && p + 1 < lineEnd && *(p + 1) != '-')
        ++p;
    const auto d = std::from_chars(p, lineEnd, t.value);
    if (d.ptr == p)
        return t; // not a number
    t.number = true;
    if (d.ec == std::errc::result_out_of_range)
        t.value = std::isnan(t.value) ? t.value : (*p == '-' ? -HUGE_VAL : HUGE_VAL);
    t.end = d.ptr;
    t.text.assign(start, d.ptr);
    const auto i = std::from_chars(p, lineEnd, t.integerValue);
    t.integer = i.ptr == d.ptr;
    t.inInt32 =
        t.integer && i.ec == std::errc() && t.integerValue >= INT32_MIN && t.integerValue <= INT32_MAX;
    return t;
}

// What a field accepts.
struct FieldRule {
    const char* name;
    bool integer;
    double min;
    double max;
    const char* unit; // for messages ("" or " ms")
};

constexpr double kAnyInt32Min = -2147483648.0, kAnyInt32Max = 2147483647.0;
constexpr FieldRule kLine1Rules[6] = {
    {"the band count", true, kAnyInt32Min, kAnyInt32Max, ""},
    {"the binning code", true, kAnyInt32Min, kAnyInt32Max, ""},
    {"Integration", false, ValueRange::kMinIntegrationMs, ValueRange::kMaxIntegrationMs, " ms"},
    {"Gain", true, double(ValueRange::kMinGain), double(ValueRange::kMaxGain), ""},
    {"the second integration", false, 0.0, ValueRange::kMaxIntegrationMs, " ms"},
    {"the second gain", true, 0.0, double(ValueRange::kMaxGain), ""},
};

// "does not fit in 32 bits", "is not between 1 and 1000".
std::string RuleText(const FieldRule& r) {
    if (r.min == kAnyInt32Min && r.max == kAnyInt32Max)
        return "does not fit in 32 bits";
    return "is not between " + NumberText(r.min) + " and " + NumberText(r.max) + r.unit;
}

std::string ValueText(double value, const FieldRule& r) {
    return NumberText(value) + r.unit;
}

// Reads up to `count` numbers of a line into `take` (index, value), checking each against its rule:
// a value outside its range is refused (reported, the field keeps its value) and reading goes on;
// text that is not a number of the field's kind ends the line there (the fields after it cannot be
// told apart), and is reported too. Returns the number of fields read (taken or refused).
template <typename Take>
int ReadFields(const std::string& line, int lineNumber, const FieldRule* rules, int count,
               const std::function<double(int)>& current, Take&& take, ValueProblems& problems) {
    const char* p = line.data();
    const char* end = line.data() + line.size();
    int n = 0;
    while (n < count) {
        const Token t = NextToken(p, end);
        const FieldRule& r = rules[n];
        const std::string where = "line " + std::to_string(lineNumber) + ", " + r.name;
        if (!t.number || (r.integer && !t.integer)) {
            const char* from = p;
            while (from < end && (*from == ' ' || *from == '\t' || *from == '\r'))
                ++from;
            if (from == end)
                break; // a short line: the remaining fields keep their values
            const char* to = from;
            while (to < end && *to != ' ' && *to != '\t' && *to != '\r')
                ++to;
            problems.Add(where + ": \"" + QuotedFileText(std::string(from, to)) + "\" is not " +
                         (r.integer ? "a whole number" : "a number") +
                         "; it and the values after it are not read");
            break;
        }
        const bool fits =
            std::isfinite(t.value) && t.value >= r.min && t.value <= r.max && (!r.integer || t.inInt32);
        if (fits)
            take(n, t.value);
        else
            problems.Add(where + " " + t.text + r.unit + " " + RuleText(r) + "; " + ValueText(current(n), r) +
                         " kept");
        p = t.end;
        ++n;
    }
    return n;
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
        auto current = [&](int i) -> double {
            switch (i) {
            case 0:
                return values.Bands();
            case 1:
                return values.binningCode;
            case 2:
                return values.exposure;
            case 3:
                return values.gain;
            case 4:
                return values.secondExposure;
            default:
                return values.secondGain;
            }
        };
        // Values are converted only once they are known to fit their field.
        result.fieldsLine1 = ReadFields(
            line, 1, kLine1Rules, 6, current,
            [&](int i, double v) {
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
            },
            result.problems);
    }
    if (ReadLine(f.get(), line)) {
        const FieldRule rgbRules[3] = {{"the red band", true, kAnyInt32Min, kAnyInt32Max, ""},
                                       {"the green band", true, kAnyInt32Min, kAnyInt32Max, ""},
                                       {"the blue band", true, kAnyInt32Min, kAnyInt32Max, ""}};
        result.fieldsLine2 = ReadFields(
            line, 2, rgbRules, 3, [&](int i) { return double(rgbBands[size_t(i)]); },
            [&](int i, double v) { rgbBands[size_t(i)] = int32_t(v); }, result.problems);
    }
    // Indices outside the band lists (from the file or given by the caller) take the defaults.
    static constexpr const char* kColours[3] = {"red", "green", "blue"};
    for (size_t i = 0; i < 3; ++i) {
        if (rgbBands[i] < 0 || rgbBands[i] >= bandsForRgbCheck) {
            if (int(i) < result.fieldsLine2)
                result.problems.Add("line 2, the " + std::string(kColours[i]) + " band " +
                                    std::to_string(rgbBands[i]) + " is not between 0 and " +
                                    std::to_string(bandsForRgbCheck - 1) + "; " +
                                    std::to_string(kDefaultRgbBands[i]) + " used");
            rgbBands[i] = kDefaultRgbBands[i];
            result.rgbReplaced = true;
        }
    }
    return result;
}

std::string CameraSettingsProblemText(const CameraSettingsReadResult& result) {
    return result.problems.Empty() ? std::string() : result.problems.Text("ARV300_Camera_Settings.txt");
}

std::string CameraSettingsText(const CameraSettingsValues& v, const std::array<int32_t, 3>& rgb) {
    // "%lf" with a point whatever the process locale says (the window's toolkit takes the user's).
    auto fixed6 = [](double value) {
        char digits[400];
        const auto r = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 6);
        return r.ec == std::errc() ? std::string(digits, r.ptr) : std::string("0.000000");
    };
    char buf[256];
    std::string text = std::to_string(v.Bands()) + " " + std::to_string(v.binningCode) + " " +
                       fixed6(v.exposure) + " " + std::to_string(v.gain) + " " + fixed6(v.secondExposure) +
                       " " + std::to_string(v.secondGain) + "\n";
    std::snprintf(buf, sizeof buf, "%d %d %d\n", rgb[0], rgb[1], rgb[2]);
    text += buf;
    return text;
}

bool WriteCameraSettingsFile(const std::string& path, const CameraSettingsValues& values,
                             const std::array<int32_t, 3>& rgbSelections) {
    // Written aside and renamed: a full disk never leaves a truncated settings file.
    AtomicFile file;
    if (!file.Open(path))
        return false;
    const std::string text = CameraSettingsText(values, rgbSelections);
    file.Write(text.data(), text.size());
    return file.Commit();
}
