#include "calibration/DefaultCalibration.h"

#include <cerrno>
#include <cstdio>
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

bool ReadDefaultCalibrationFile(const std::string& path, DefaultCalibration& cal, int* errorCode) {
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

    // Each value is read on its own so that a garbled value stops the reading there and every
    // value before it is kept; nothing after it is guessed.
    for (float& v : cal.coeffs)
        if (std::fscanf(f.get(), "%f", &v) != 1)
            return true;
    for (DefCalRow& row : cal.rows) {
        if (std::fscanf(f.get(), "%d", &row.column1) != 1)
            return true;
        for (float& v : row.columns)
            if (std::fscanf(f.get(), "%f", &v) != 1)
                return true;
    }
    return true;
}

float BandListWavelength(const float coeffs[3], int band) {
    const double i = band;
    return static_cast<float>(double(coeffs[0]) + 2.0 * i * double(coeffs[1]) + i * i * double(coeffs[2]));
}
