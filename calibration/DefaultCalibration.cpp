#include "calibration/DefaultCalibration.h"

#include "core/ValueRanges.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>

std::string DefaultCalibrationPath(int binning) {
    switch (binning) {
    case 2:
        return "./Settings/DefCalLite2x4.txt";
    case 3:
        return "./Settings/DefCalLite2x8.txt";
    default:
        return "./Settings/DefCalLite2x2.txt";
    }
}

namespace {
// Longest number text looked at; a longer word is not a number of this file.
constexpr size_t kMaxNumberText = 64;

// The next white-space separated word of the file (at most kMaxNumberText + 1 characters are kept,
// so a longer word shows as one); false at the end of the file.
bool NextWord(FILE* f, std::string& word) {
    word.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF && std::isspace(c))
        ;
    if (c == EOF)
        return false;
    do {
        if (word.size() <= kMaxNumberText)
            word.push_back(char(c));
    } while ((c = std::fgetc(f)) != EOF && !std::isspace(c));
    return true;
}

// The whole word as a number, independent of the locale. Integer words may also be read as floats.
bool WordNumber(const std::string& word, double& value) {
    if (word.size() > kMaxNumberText)
        return false;
    const char* p = word.data();
    const char* end = p + word.size();
    if (p < end && *p == '+' && !(p + 1 < end && p[1] == '-')) // one sign at most
        ++p;
    const auto r = std::from_chars(p, end, value);
    if (r.ptr != end || p == end)
        return false;
    if (r.ec == std::errc::result_out_of_range)
        value = std::isnan(value) ? value : (*p == '-' ? -HUGE_VAL : HUGE_VAL);
    return true;
}

bool WordInteger(const std::string& word, int64_t& value, bool& fits) {
    if (word.size() > kMaxNumberText)
        return false;
    const char* p = word.data();
    const char* end = p + word.size();
    if (p < end && *p == '+' && !(p + 1 < end && p[1] == '-')) // one sign at most
        ++p;
    const auto r = std::from_chars(p, end, value);
    if (r.ptr != end || p == end)
        return false;
    fits = r.ec == std::errc() && value >= INT32_MIN && value <= INT32_MAX;
    return true;
}

bool FitsFloat(double v) {
    return std::isfinite(v) && std::fabs(v) <= double(std::numeric_limits<float>::max());
}
} // namespace

bool DefaultWavelengthsValid(const float coeffs[3], int bands, int* badBand) {
    for (int i = 0; i < bands; ++i) {
        const double x = i;
        const double list = double(coeffs[0]) + 2.0 * x * double(coeffs[1]) + x * x * double(coeffs[2]);
        const double envi = double(coeffs[0]) + x * double(coeffs[1]) + x * x * double(coeffs[2]);
        if (!(FitsFloat(list) && list > 0.0 && FitsFloat(envi) && envi > 0.0)) {
            if (badBand)
                *badBand = i;
            return false;
        }
    }
    return true;
}

bool ReadDefaultCalibrationFile(const std::string& path, DefaultCalibration& cal, int* errorCode,
                                std::string* problemText, int bands) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!f) {
        if (errorCode)
            *errorCode = errno;
        return false;
    }
    // Title line: up to and including its line feed. Longer titles are consumed whole but only
    // the first 99 characters are kept.
    std::string title;
    int c;
    while ((c = std::fgetc(f.get())) != EOF && c != '\n')
        if (title.size() < 99)
            title.push_back(char(c));
    cal.title = title;

    ValueProblems problems;
    const std::string fileName =
        path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    // The 21 numbers in file order: c0 c1 c2, then three rows of one integer and five floats. Each
    // is read on its own; a value outside its type's range is refused and the reading goes on; a
    // word that is not a number stops the reading there (nothing after it is guessed).
    int count = 0;
    // The polynomial is one thing: its three coefficients are taken together or not at all.
    float coeffs[3] = {cal.coeffs[0], cal.coeffs[1], cal.coeffs[2]};
    bool coeffsRefused = false;
    const std::string earlierCoeffs =
        NumberText(cal.coeffs[0]) + " " + NumberText(cal.coeffs[1]) + " " + NumberText(cal.coeffs[2]);
    bool stopped = false;
    auto where = [&](int index) {
        if (index < 3)
            return std::string("coefficient c") + std::to_string(index);
        const int row = (index - 3) / 6 + 1, column = (index - 3) % 6 + 1;
        return "row " + std::to_string(row) + " column " + std::to_string(column);
    };
    std::string word;
    for (int index = 0; index < 21 && !stopped; ++index) {
        if (!NextWord(f.get(), word)) {
            problems.Add("the file ends after " + std::to_string(count) + " of its 21 numbers; " +
                         (count < 3 ? "the coefficients " + earlierCoeffs + " and the rows keep their values"
                                    : std::string("the values after them keep theirs")));
            break;
        }
        ++count;
        const bool integer = index >= 3 && (index - 3) % 6 == 0;
        DefCalRow* row = index >= 3 ? &cal.rows[(index - 3) / 6] : nullptr;
        const std::string shown = QuotedFileText(word);
        if (integer) {
            int64_t v = 0;
            bool fits = false;
            if (!WordInteger(word, v, fits)) {
                problems.Add(where(index) + ": \"" + shown +
                             "\" is not a whole number; it and the values after it are not read");
                stopped = true;
            } else if (!fits) {
                problems.Add(where(index) + " " + shown + " does not fit in 32 bits; " +
                             std::to_string(row->column1) + " kept");
            } else {
                row->column1 = int32_t(v);
            }
            continue;
        }
        double v = 0.0;
        float& target = index < 3 ? coeffs[index] : row->columns[(index - 3) % 6 - 1];
        if (!WordNumber(word, v)) {
            problems.Add(where(index) + ": \"" + shown +
                         "\" is not a number; it and the values after it are not read");
            stopped = true;
        } else if (!FitsFloat(v)) {
            if (index < 3)
                coeffsRefused = true;
            problems.Add(where(index) + " " + shown + " is not a finite single-precision number; " +
                         (index < 3 ? "the coefficients " + earlierCoeffs : NumberText(target)) + " kept");
        } else {
            target = float(v);
        }
    }
    // The polynomial must give every band a wavelength: finite and above 0 nm, in both the band
    // lists' and the file headers' form. Otherwise the earlier coefficients hold, all three.
    int badBand = 0;
    if (count < 3 || (stopped && count <= 3) || coeffsRefused) {
        // Not all three could be read: the earlier polynomial holds (said above).
    } else if (DefaultWavelengthsValid(coeffs, bands, &badBand)) {
        std::copy(coeffs, coeffs + 3, cal.coeffs);
    } else {
        problems.Add("the coefficients " + NumberText(coeffs[0]) + " " + NumberText(coeffs[1]) + " " +
                     NumberText(coeffs[2]) + " give band " + std::to_string(badBand) +
                     " no wavelength above 0 nm; " + earlierCoeffs + " kept");
    }
    if (problemText && !problems.Empty())
        *problemText = problems.Text(fileName);
    return true;
}

float BandListWavelength(const float coeffs[3], int band) {
    const double i = band;
    return static_cast<float>(double(coeffs[0]) + 2.0 * i * double(coeffs[1]) + i * i * double(coeffs[2]));
}
