#pragma once
// The fixed 32768-byte header that starts every file of the program's own format (standard cubes,
// dark, calibration and automatic calibration stacks). All numbers little-endian.
#include "calibration/DefaultCalibration.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

inline constexpr size_t kCubeHeaderSize = 32768;

enum class CubeHeaderVariant { Cube, Calibration };

struct CubeHeaderInfo {
    int32_t samples = 520;    // H
    int32_t lines = 696;      // W for a cube, the stack length for dark and calibration files
    uint16_t bands = 128;     // B
    double exposureMs = 10.0; // written truncated toward zero
    DefaultCalibration calibration;
    CubeHeaderVariant variant = CubeHeaderVariant::Cube;
};

// The integration time field: milliseconds truncated toward zero, held inside the 32-bit range
// (0 for a value that is not a number). The settings and options refuse such values where they
// enter; this keeps the file's field defined whatever reaches it.
int32_t HeaderExposureMs(double exposureMs);

// The version text that starts every header.
inline constexpr char kCubeHeaderVersion[] = "Ver 1.0 KORVA-Lite    ";
inline constexpr size_t kCubeHeaderVersionSize = 22;

// The header's bytes.
std::vector<uint8_t> BuildCubeHeader(const CubeHeaderInfo& info);
// Reads the fields of a header back from its kCubeHeaderSize bytes: geometry, integration time
// (as the whole milliseconds written), the default calibration rows and coefficients, and the
// variant from its constant (a value that is neither variant's reads as the cube variant). The
// calibration's title is not stored in a header and stays empty. False, with info unchanged, when
// bytes is null or does not start with the version text.
bool ParseCubeHeader(const uint8_t* bytes, CubeHeaderInfo& info);
// Writes the header at the stream's position; false when the write failed.
bool WriteCubeHeader(FILE* file, const CubeHeaderInfo& info);
