#pragma once
// The default calibration file ("./Settings/DefCalLite2x2.txt" and its 2x4, 2x8 siblings):
//   line 1      a free title (at most 99 characters), not used
//   then        c0 c1 c2 (floats, any white space between), the band-to-wavelength polynomial
//   then        three rows of one integer and five floats (columns 1..6)
// The rows are copied into every file header; the polynomial gives the band wavelengths.
#include <cstdint>
#include <string>

struct DefCalRow {
    int32_t column1 = 0;
    float columns[5] = {0, 0, 0, 0, 0}; // columns 2..6
};

struct DefaultCalibration {
    std::string title;
    float coeffs[3] = {0.0f, 0.0f, 0.0f}; // m_wavelengthCoeffs: c0, c1, c2
    DefCalRow rows[3];
};

// Path of the default calibration file of binning index 1 (2x2), 2 (2x4) or 3 (2x8).
std::string DefaultCalibrationPath(int binning);

// Reads the file into cal. Values that cannot be read keep their previous content; reading stops at
// the first value that does not convert. Returns false when the file cannot be opened, with errno in
// *errorCode.
bool ReadDefaultCalibrationFile(const std::string& path, DefaultCalibration& cal, int* errorCode);

// Band list wavelength used by the window's band lists: c0 + 2*c1*i + c2*i^2 (the 2 is the camera's
// spectral binning factor), computed in double and returned as float.
float BandListWavelength(const float coeffs[3], int band);
