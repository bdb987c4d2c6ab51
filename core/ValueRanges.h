#pragma once
// Ranges of the numbers the program takes from outside: settings files and data files here, the
// command line and the dialogs with the same limits. A value outside its range is refused where it
// enters, the earlier (default or last good) value holds, and the user is told which value and why.
#include <cstdint>
#include <string>
#include <vector>

namespace ValueRange {
// Integration time of the data camera, milliseconds: from a microsecond (the settings file keeps six
// decimals, so a shorter time would be written as 0) to one minute per line.
inline constexpr double kMinIntegrationMs = 0.001;
inline constexpr double kMaxIntegrationMs = 60000.0;
// Gain of the data camera (a whole number).
inline constexpr int32_t kMinGain = 1;
inline constexpr int32_t kMaxGain = 1000;
// Cube, dark and calibration values: 12 significant bits.
inline constexpr uint32_t kMaxSampleValue = 4095;
} // namespace ValueRange

// The problems found in one file, for one message: the file's name, then one line per problem.
class ValueProblems {
public:
    void Add(std::string problem) { m_problems.push_back(std::move(problem)); }
    bool Empty() const { return m_problems.empty(); }
    const std::vector<std::string>& Problems() const { return m_problems; }
    // "<fileName>: <problem>" for one problem, else the file name and the problems on their own lines.
    std::string Text(const std::string& fileName) const;

private:
    std::vector<std::string> m_problems;
};

// A number for a message: integers without decimals, others with up to 9 significant digits
// ("1e+300", "12.5", "inf", "nan"); single-precision numbers with up to 7 ("0.00095").
std::string NumberText(double value);
// Text taken from a file, for a message: at most maxLength characters (then "..."), bytes that are
// not printable ASCII shown as '?'.
std::string QuotedFileText(const std::string& text, size_t maxLength = 40);
std::string NumberText(float value);
