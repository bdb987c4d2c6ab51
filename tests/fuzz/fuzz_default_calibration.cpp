// The default calibration file: any content reads without a crash or undefined behaviour, the
// polynomial taken gives every band a wavelength, and the file header is built from what was read.
#include "FuzzSupport.h"
#include "calibration/DefaultCalibration.h"
#include "storage/CubeHeader.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputFile(data, size, "defcal");
    DefaultCalibration cal;
    int error = 0;
    std::string problems;
    FuzzCheck(ReadDefaultCalibrationFile(path, cal, &error, &problems), "the file opens");
    const bool untouched = cal.coeffs[0] == 0.0f && cal.coeffs[1] == 0.0f && cal.coeffs[2] == 0.0f;
    FuzzCheck(untouched || DefaultWavelengthsValid(cal.coeffs, 128), "every band has a wavelength");
    for (const DefCalRow& row : cal.rows)
        for (float c : row.columns)
            FuzzCheck(std::isfinite(c), "row values finite");
    FuzzCheck(cal.title.size() <= 99, "title length");
    for (int b = 0; b < 128; ++b)
        FuzzCheck(std::isfinite(BandListWavelength(cal.coeffs, b)), "band list wavelength");
    CubeHeaderInfo info;
    info.calibration = cal;
    FuzzCheck(BuildCubeHeader(info).size() == kCubeHeaderSize, "header size");
    return 0;
}
