#pragma once
// Data selection of the picture: which buffer the display shows for the acquisition mode, and the
// copies from the cube, the dark stack or the calibration stack into the W x H display buffer or
// the three colour planes. Picture row r (0 = top) shows sample H-1-r, picture column l shows cube
// line l; display and plane index r * W + l.
//
// The cube and the stacks are written line by line by the camera thread while these run: every
// line is read inside one LockLine/UnlockLine pair of the optional guard.
#include "core/Geometry.h"
#include "display/LineReadGuard.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct DisplayModeFlags {
    bool acquireCube = false;         // m_acquireCube
    bool acquireDark = false;         // m_acquireDark
    bool acquireCalCube = false;      // m_acquireCalCube
    bool spectralDisplayMode = false; // m_spectralDisplayMode
};

// What the grey picture shows.
enum class GreySource {
    CubeWithDark, // the cube, dark frame subtracted when "Apply Dark" is ticked and a dark frame exists
    DarkStack,    // the first darkLines columns from the dark stack, the others unchanged
    CalStack,     // the same from the calibration stack
    Cube,         // the cube without dark subtraction (no acquisition running)
    DisplayBuffer // spectral display mode: the display buffer as the frame callback left it
};
GreySource SelectGreySource(const DisplayModeFlags& flags);

// What the colour composite shows; GreyDisplayBuffer: no acquisition runs, and the grey display
// buffer is mapped unchanged instead of the planes.
enum class ColorSource { CubeWithDark, DarkStack, CalStack, GreyDisplayBuffer };
ColorSource SelectColorSource(const DisplayModeFlags& flags);

// display[r*W + l] = cube value of line l, band `band`, sample H-1-r for every line and row. With a
// dark frame (B x H values, index b*H + s) its value of the same band and sample is subtracted and
// a negative difference becomes 0. Returns false and changes nothing when a pointer is null or the
// band lies outside 0..B-1.
bool FillDisplayFromCube(uint32_t* display, const uint16_t* cube, const CubeGeometry& geometry, int band,
                         const uint16_t* darkFrame = nullptr, LineReadGuard* guard = nullptr);

// The same for the lines [firstLine, endLine) only (clipped to the cube); the other columns keep
// their values.
bool FillDisplayFromCubeLines(uint32_t* display, const uint16_t* cube, const CubeGeometry& geometry, int band,
                              int firstLine, int endLine, const uint16_t* darkFrame = nullptr,
                              LineReadGuard* guard = nullptr);

// The same from a dark or calibration stack (line l at l*B*H) for the lines below
// min(darkLines, W); the other columns keep their values. No dark subtraction.
bool FillDisplayFromStack(uint32_t* display, const uint16_t* stack, const CubeGeometry& geometry, int band,
                          LineReadGuard* guard = nullptr);

// Colour planes (index r*W + l): red from band bands[0], green from bands[1], blue from bands[2],
// sample H-1-r of line l, with the optional dark subtraction clamped at 0 as above.
bool FillPlanesFromCube(uint16_t* red, uint16_t* green, uint16_t* blue, const uint16_t* cube,
                        const CubeGeometry& geometry, const std::array<int, 3>& bands,
                        const uint16_t* darkFrame = nullptr, LineReadGuard* guard = nullptr);

// The same for the lines [firstLine, endLine) only; the other columns keep their values.
bool FillPlanesFromCubeLines(uint16_t* red, uint16_t* green, uint16_t* blue, const uint16_t* cube,
                             const CubeGeometry& geometry, const std::array<int, 3>& bands, int firstLine,
                             int endLine, const uint16_t* darkFrame = nullptr,
                             LineReadGuard* guard = nullptr);

// The same from a stack for the lines below min(darkLines, W); other columns unchanged.
bool FillPlanesFromStack(uint16_t* red, uint16_t* green, uint16_t* blue, const uint16_t* stack,
                         const CubeGeometry& geometry, const std::array<int, 3>& bands,
                         LineReadGuard* guard = nullptr);

// Entries of the wavelength combo and the R, G, B combos: the band list wavelength of each band
// (c0 + 2*c1*i + c2*i^2) formatted "%.2f".
std::vector<std::string> BandListTexts(const float coeffs[3], int bands);
