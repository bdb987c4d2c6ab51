#include "scanner/ScannerSettings.h"

#include "core/Geometry.h"
#include "core/ValueRanges.h"
#include "storage/AtomicFile.h"

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

// A value read from a line, with what kept it from being taken.
template <typename T> struct LineValue {
    enum class Status { Ok, Missing, NotANumber, OutOfRange } status = Status::Missing;
    T value{};
    std::string text; // the value as written (cut at 40 characters), for messages
};

std::string Shown(std::string_view s) {
    size_t n = 0;
    while (n < s.size() && !IsBlank(s[n]))
        ++n;
    return QuotedFileText(std::string(s.substr(0, n)));
}

// Leading decimal integer (optional sign) that fits in 32 bits, as "%d" reads it.
LineValue<int32_t> IntValue(std::string_view line) {
    LineValue<int32_t> v;
    std::string_view s = AfterKey(line);
    v.text = Shown(s);
    if (s.empty())
        return v;
    if (s[0] == '+' && !(s.size() > 1 && s[1] == '-')) // one sign at most: "+-5" is not a number
        s.remove_prefix(1);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v.value);
    v.status = ec == std::errc()                      ? LineValue<int32_t>::Status::Ok
               : ec == std::errc::result_out_of_range ? LineValue<int32_t>::Status::OutOfRange
                                                      : LineValue<int32_t>::Status::NotANumber;
    return v;
}

// Leading finite floating-point number, as "%lf" reads it, independent of the locale.
LineValue<double> DoubleValue(std::string_view line) {
    LineValue<double> v;
    std::string_view s = AfterKey(line);
    v.text = Shown(s);
    if (s.empty())
        return v;
    if (s[0] == '+' && !(s.size() > 1 && s[1] == '-')) // one sign at most: "+-5" is not a number
        s.remove_prefix(1);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v.value);
    v.status = end == s.data()                                ? LineValue<double>::Status::NotANumber
               : ec != std::errc() || !std::isfinite(v.value) ? LineValue<double>::Status::OutOfRange
                                                              : LineValue<double>::Status::Ok;
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

// Port names ("COM1" ... "COM10", or a name of the ports map): printable characters without blanks,
// short enough to be written back and read again whole.
constexpr size_t kMaxPortName = 32;
bool IsPortName(const std::string& name) {
    if (name.empty() || name.size() > kMaxPortName)
        return false;
    for (char c : name)
        if (c <= ' ' || c > '~')
            return false;
    return true;
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
    if (!s.empty() && s[0] == '+' && !(s.size() > 1 && s[1] == '-'))
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

bool LoadScannerSettings(const std::string& path, ScannerSettingsValues& values, std::string* message,
                         std::string* problemText) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        if (message)
            *message = kScannerSettingsOpenError;
        return false;
    }
    ValueProblems problems;
    std::string line;
    int lineNumber = 0;
    bool ended = false;
    auto next = [&]() {
        if (ended)
            return false;
        ++lineNumber;
        if (!ReadLine(file.get(), line)) {
            ended = true;
            if (lineNumber > 1)
                problems.Add("the file ends after line " + std::to_string(lineNumber - 1) +
                             " of 13; the later values keep theirs");
            return false;
        }
        return true;
    };
    // Takes an integer line: a value that is missing, not a number, beyond 32 bits or below `min`
    // is refused and the member keeps its value.
    auto integer = [&](const char* key, int32_t current, int64_t min, auto&& take) {
        if (!next())
            return;
        const LineValue<int32_t> v = IntValue(line);
        const std::string where = "line " + std::to_string(lineNumber) + ", " + key;
        const std::string kept = "; " + std::to_string(current) + " kept";
        switch (v.status) {
        case LineValue<int32_t>::Status::Ok:
            if (v.value >= min) {
                take(v.value);
                return;
            }
            problems.Add(where + " " + v.text + " is below " + std::to_string(min) + kept);
            return;
        case LineValue<int32_t>::Status::Missing:
            problems.Add(where + ": no value" + kept);
            return;
        case LineValue<int32_t>::Status::NotANumber:
            problems.Add(where + " \"" + v.text + "\" is not a whole number" + kept);
            return;
        case LineValue<int32_t>::Status::OutOfRange:
            problems.Add(where + " " + v.text + " does not fit in 32 bits (-2147483648 to 2147483647)" +
                         kept);
            return;
        }
    };
    constexpr int64_t kAny = INT32_MIN;
    const ScannerSettingsValues before = values;

    // 1: velocity, written but not taken back.
    if (!next())
        return true;
    integer("Home_Offset", values.GetHomeOffset(), kAny, [&](int32_t v) { values.SetHomeOffset(v); });
    integer("Scanner_Delay", values.GetDelayMs(), 0, [&](int32_t v) { values.SetDelayMs(v); });
    if (next()) {
        const std::optional<std::string> v = WordValue(line);
        if (!v)
            problems.Add("line 4, Scanner_CommPort: no port name; " + values.m_comPort + " kept");
        else if (!IsPortName(*v))
            problems.Add("line 4, Scanner_CommPort \"" + QuotedFileText(*v) +
                         "\" is not a port name (up to " + std::to_string(kMaxPortName) +
                         " letters, digits or signs); " + values.m_comPort + " kept");
        else
            values.m_comPort = *v;
    }
    integer("Scanner_Baud", LeadingInt(values.m_baudRate), kAny,
            [&](int32_t v) { values.m_baudRate = std::to_string(v); });
    integer("Scanner_Center_Position", values.GetCenterPosition(), kAny,
            [&](int32_t v) { values.SetCenterPosition(v); });
    bool stepRead = false;
    if (next()) {
        const LineValue<double> v = DoubleValue(line);
        const std::string where = "line 7, Scanner_Step_size";
        const std::string kept = "; " + NumberText(values.GetStepSize()) + " kept";
        const int lines = CubeGeometry{}.width;
        if (v.status == LineValue<double>::Status::Ok && std::fabs(v.value) * lines >= 1.0) {
            values.SetStepSize(v.value);
            stepRead = true;
        } else if (v.status == LineValue<double>::Status::Ok && v.value == 0.0) {
            problems.Add(where + " 0: every line would be taken at the same mirror position" + kept);
        } else if (v.status == LineValue<double>::Status::Ok) {
            // Too small to move the mirror (and written back with six decimals it would read as 0).
            problems.Add(where + " " + v.text + ": a " + std::to_string(lines) +
                         "-line scan would move the mirror by less than one count" + kept);
        } else if (v.status == LineValue<double>::Status::Missing) {
            problems.Add(where + ": no value" + kept);
        } else if (v.status == LineValue<double>::Status::NotANumber) {
            problems.Add(where + " \"" + v.text + "\" is not a number" + kept);
        } else {
            problems.Add(where + " " + v.text + " is not a finite number" + kept);
        }
    }
    integer("Scanner_Absolute_Position", values.GetAbsolutePos(), kAny, [&](int32_t v) {
        values.SetAbsolutePos(v);
        values.SetRelativePos(v == 0 ? 1 : 0);
    });
    integer("Scanner_Check_position", values.GetCheckPosition(), kAny,
            [&](int32_t v) { values.SetCheckPosition(v); });
    integer("Scanner_Enable", values.GetScannerEnabled(), kAny,
            [&](int32_t v) { values.SetScannerEnabled(v); });
    integer("Scanner_Corridor", values.GetCorridor(), 0, [&](int32_t v) { values.SetCorridor(v); });
    bool startRead = false;
    integer("Scanner_home_position", values.GetScanStartPosition(), kAny, [&](int32_t v) {
        values.SetScanStartPosition(v);
        startRead = true;
    });
    integer("Focus_home_position", values.GetFocusPosition(), kAny,
            [&](int32_t v) { values.SetFocusPosition(v); });

    // The scan's line positions (scan start + line x step, up to the step after the last line)
    // must fit in 32 bits. Otherwise the value that makes it not fit falls back to its earlier one:
    // the step if the earlier step fits with the start read, else the start, else both.
    const int lastLine = CubeGeometry{}.width;
    const int32_t start = values.GetScanStartPosition();
    const double step = values.GetStepSize();
    if (!ScanFitsMirrorRange(start, step, lastLine)) {
        const bool blameStep = stepRead && ScanFitsMirrorRange(start, before.GetStepSize(), lastLine);
        const bool blameStart =
            !blameStep && startRead && ScanFitsMirrorRange(before.GetScanStartPosition(), step, lastLine);
        if (blameStep || (!blameStart && stepRead)) {
            problems.Add("line 7, Scanner_Step_size " + NumberText(step) + ": a scan of " +
                         std::to_string(lastLine) + " lines from the Scan Start Position " +
                         std::to_string(start) +
                         " would leave the mirror's range (-2147483648 to 2147483647); " +
                         NumberText(before.GetStepSize()) + " kept");
            values.SetStepSize(before.GetStepSize());
        }
        if (blameStart || (!blameStep && startRead)) {
            problems.Add("line 12, Scanner_home_position " + std::to_string(start) + ": a scan of " +
                         std::to_string(lastLine) + " lines with the Step Size " + NumberText(step) +
                         " would leave the mirror's range; " + std::to_string(before.GetScanStartPosition()) +
                         " kept");
            values.SetScanStartPosition(before.GetScanStartPosition());
        }
    }
    if (problemText && !problems.Empty())
        *problemText = problems.Text("ARV300_Scanner_Settings.txt");
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

    // Written aside and renamed: a full disk never leaves a truncated settings file.
    AtomicFile file;
    if (!file.Open(path))
        return failed();
    file.Write(text.data(), text.size());
    if (!file.Commit())
        return failed();
    return true;
}

std::optional<int32_t> CheckedLinePosition(int32_t scanStart, double stepPerLine, int line) {
    const double position = std::trunc(double(scanStart) + double(line) * stepPerLine);
    // Compared before converting: a double outside the range converts with undefined behaviour.
    if (!(position >= double(std::numeric_limits<int32_t>::min()) &&
          position <= double(std::numeric_limits<int32_t>::max())))
        return std::nullopt;
    return static_cast<int32_t>(position);
}

int32_t LinePosition(int32_t scanStart, double stepPerLine, int line) {
    if (const std::optional<int32_t> p = CheckedLinePosition(scanStart, stepPerLine, line))
        return *p;
    const double position = double(scanStart) + double(line) * stepPerLine;
    if (std::isnan(position))
        return scanStart;
    return position < 0 ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
}

bool ScanFitsMirrorRange(int32_t scanStart, double stepPerLine, int lastLine) {
    // Positions grow or fall linearly with the line: the two ends decide.
    return CheckedLinePosition(scanStart, stepPerLine, 0).has_value() &&
           CheckedLinePosition(scanStart, stepPerLine, lastLine).has_value();
}
