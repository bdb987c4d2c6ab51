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

// Reads the file into cal, independent of the locale. Values that cannot be read keep their previous
// content; reading stops at the first word that is not a number. Every number is checked where it
// enters: the integers must fit in 32 bits and the others in a finite single-precision float, and the
// polynomial must give each of `bands` bands a finite wavelength above 0 nm (else the three earlier
// coefficients hold). Returns false when the file cannot be opened, with errno in *errorCode;
// otherwise problemText (if given) receives one message listing every refused or missing value, or
// stays as it was when there was none.
bool ReadDefaultCalibrationFile(const std::string& path, DefaultCalibration& cal, int* errorCode,
                                std::string* problemText = nullptr, int bands = 128);
// Whether c0 + 2*c1*i + c2*i^2 and c0 + c1*i + c2*i^2 are finite floats above 0 for i = 0 ... bands-1;
// when not, *badBand receives the first band that fails.
bool DefaultWavelengthsValid(const float coeffs[3], int bands, int* badBand = nullptr);

// Band list wavelength used by the window's band lists: c0 + 2*c1*i + c2*i^2 (the 2 is the camera's
// spectral binning factor), computed in double and returned as float.
float BandListWavelength(const float coeffs[3], int band);
