#include "scanner/ScannerSettings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>

static_assert(std::atomic_ref<int32_t>::required_alignment <= alignof(int32_t));
static_assert(std::atomic_ref<double>::required_alignment <= alignof(double));

namespace {

std::atomic<int> g_velocity{80};

// Longest part of a line that is looked at (longer lines are cut there, and the rest of the line
// is skipped so that the following lines keep their positions).
constexpr size_t kMaxLine = 200;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The text after the key word (the first word) of a line, with leading blanks removed.
std::string_view AfterKey(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i == line.size())
        return {};
    while (i < line.size() && !IsBlank(line[i]))
        ++i;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    return line.substr(i);
}

// Leading decimal integer (optional sign) that fits in 32 bits, as "%d" reads it.
std::optional<int32_t> IntValue(std::string_view line) {
    std::string_view s = AfterKey(line);
    if (!s.empty() && s[0] == '+')
        s.remove_prefix(1);
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc())
        return std::nullopt;
    return v;
}

// Leading finite floating-point number, as "%lf" reads it, independent of the locale.
std::optional<double> DoubleValue(std::string_view line) {
    std::string_view s = AfterKey(line);
    if (!s.empty() && s[0] == '+')
        s.remove_prefix(1);
    double v = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// Second word of the line, as "%s %s" reads it.
std::optional<std::string> WordValue(std::string_view line) {
    std::string_view s = AfterKey(line);
    size_t n = 0;
    while (n < s.size() && !IsBlank(s[n]))
        ++n;
    if (n == 0)
        return std::nullopt;
    return std::string(s.substr(0, n));
}

// Reads one line (without its line feed), keeping at most kMaxLine characters. False at end of file.
bool ReadLine(std::FILE* f, std::string& line) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(f)) != EOF) {
        any = true;
        if (c == '\n')
            return true;
        if (line.size() < kMaxLine)
            line.push_back(static_cast<char>(c));
    }
    return any;
}

// Integer value at the start of a text, as atoi reads it (0 when there is none).
int LeadingInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    std::string_view s(text);
    s.remove_prefix(i);
    if (!s.empty() && s[0] == '+')
        s.remove_prefix(1);
    int v = 0;
    if (std::from_chars(s.data(), s.data() + s.size(), v).ec != std::errc())
        return 0;
    return v;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

int ScannerVelocity() {
    return g_velocity.load();
}
void SetScannerVelocity(int velocity) {
    g_velocity.store(velocity);
}

bool LoadScannerSettings(const std::string& path, ScannerSettingsValues& values, std::string* message) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        if (message)
            *message = kScannerSettingsOpenError;
        return false;
    }
    std::string line;
    auto next = [&]() { return ReadLine(file.get(), line); };

    // 1: velocity, written but not taken back.
    if (!next())
        return true;
    if (next())
        if (auto v = IntValue(line))
            values.SetHomeOffset(*v);
    if (next())
        if (auto v = IntValue(line))
            values.SetDelayMs(*v);
    if (next())
        if (auto v = WordValue(line))
            values.m_comPort = *v;
    if (next())
        if (auto v = IntValue(line))
            values.m_baudRate = std::to_string(*v);
    if (next())
        if (auto v = IntValue(line))
            values.SetCenterPosition(*v);
    if (next())
        if (auto v = DoubleValue(line))
            values.SetStepSize(*v);
    if (next())
        if (auto v = IntValue(line)) {
            values.SetAbsolutePos(*v);
            values.SetRelativePos(*v == 0 ? 1 : 0);
        }
    if (next())
        if (auto v = IntValue(line))
            values.SetCheckPosition(*v);
    if (next())
        if (auto v = IntValue(line))
            values.SetScannerEnabled(*v);
    if (next())
        if (auto v = IntValue(line))
            values.SetCorridor(*v);
    if (next())
        if (auto v = IntValue(line))
            values.SetScanStartPosition(*v);
    if (next())
        if (auto v = IntValue(line))
            values.SetFocusPosition(*v);
    return true;
}

bool SaveScannerSettings(const std::string& path, const ScannerSettingsValues& values, std::string* message) {
    auto failed = [message]() {
        if (message)
            *message = kScannerSettingsCreateError;
        return false;
    };
    // The step is formatted with six decimals and a point whatever the process locale says.
    char step[400];
    const auto conv =
        std::to_chars(step, step + sizeof(step) - 1, values.GetStepSize(), std::chars_format::fixed, 6);
    if (conv.ec != std::errc())
        return failed();
    *conv.ptr = '\0';

    std::string text;
    auto add = [&text](const char* key, const std::string& value) {
        text += key;
        text += ' ';
        text += value;
        text += '\n';
    };
    auto num = [](long long v) { return std::to_string(v); };
    add("Scanner_Velocity", num(values.GetVelocity()));
    add("Home_Offset", num(values.GetHomeOffset()));
    add("Scanner_Delay", num(values.GetDelayMs()));
    add("Scanner_CommPort", values.m_comPort);
    add("Scanner_Baud", num(LeadingInt(values.m_baudRate)));
    add("Scanner_Center_Position", num(values.GetCenterPosition()));
    add("Scanner_Step_size", step);
    add("Scanner_Absolute_Position", num(values.GetAbsolutePos()));
    add("Scanner_Check_position", num(values.GetCheckPosition()));
    add("Scanner_Enable", num(values.GetScannerEnabled()));
    add("Scanner_Corridor", num(values.GetCorridor()));
    add("Scanner_home_position", num(values.GetScanStartPosition()));
    add("Focus_home_position", num(values.GetFocusPosition()));

    std::FILE* f = std::fopen(path.c_str(), "wb+");
    if (!f)
        return failed();
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed)
        return failed();
    return true;
}

int32_t LinePosition(int32_t scanStart, double stepPerLine, int line) {
    const double position = std::trunc(double(scanStart) + double(line) * stepPerLine);
    if (std::isnan(position))
        return scanStart;
    if (position <= double(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (position >= double(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(position);
}
