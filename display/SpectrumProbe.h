#pragma once
// The spectrum under the pointer and its text file.
#include "core/Geometry.h"
#include "display/LineReadGuard.h"

#include <string>
#include <vector>

struct SpectrumSources {
    const uint16_t* cube = nullptr;      // m_cube, line l at l*B*H
    const uint16_t* darkFrame = nullptr; // B x H; subtracted when non-null ("Apply Dark" ticked)
    const uint16_t* darkCube = nullptr;  // m_darkCube, used while a dark stack is acquired
    const uint16_t* calCube = nullptr;   // m_calCube, used while a calibration stack is acquired
    bool acquireDark = false;            // m_acquireDark
    bool acquireCalCube = false;         // m_acquireCalCube
};

// Fills spectrum[0..B-1] for cube line x and picture row y (sample H-1-y):
//   v = cube value - dark frame value (signed) when a dark frame is given; v < 0 or v > 4095
//   gives 0, and a raw cube value of 0 gives 0;
//   while a dark stack is acquired the value is instead the dark stack's value of line x when
//   x < darkLines, else 0; while a calibration stack is acquired the same from the calibration
//   stack (it wins when both flags are set).
// Returns false and leaves the spectrum unchanged when x or y lies outside the picture or a
// buffer needed is null.
bool ExtractSpectrum(int x, int y, float* spectrum, const CubeGeometry& geometry,
                     const SpectrumSources& sources, LineReadGuard* guard = nullptr);

// Writes the spectrum file: "X: x Y: y\n" ("%s %d %s %d\n"), then per band the wavelength text and
// the value ("%s %f\n"). wavelengthTexts holds the band list entries ("%.2f") and needs at least
// `bands` entries. Returns false when the file cannot be created or a write or the close fails
// (the caller shows "Unable to save spectrum data").
bool WriteSpectrumFile(const std::string& path, int x, int y, const std::vector<std::string>& wavelengthTexts,
                       const float* spectrum, int bands);

inline constexpr const char* kMsgUnableToSaveSpectrum = "Unable to save spectrum data";
