#pragma once
// From raw counts to radiometric products: flat-field gains from a calibration stack of a uniform
// source, and the conversion of a cube line to radiance and to reflectance.
//
//   radiance    (v - dark) * gain                       (gain 1 when no gains are loaded)
//   reflectance radiance * R / white(b)                 white(b): mean radiance of band b over the
//                                                       white-reference rectangle, R the panel's
//                                                       known reflectance
//
// The gains are those of the radiometric calibration file: B * H floats, index b*H + p, so a flat
// field of a uniform source becomes, after the gains, the same value at every sample of a band.
//
// Samples are counted as the cube stores them (position p, the row of the picture and the sample
// of a saved ENVI file), lines as the cube's lines.
#include "calibration/CalibrationFiles.h"
#include "core/Geometry.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace RadCalMsg {
inline constexpr const char* kNoDarkFrame =
    "No dark frame: acquire or load a dark frame first, then compute the radiometric calibration.";
inline constexpr const char* kNoDarkForRadiance =
    "No dark frame: a radiance or reflectance cube is dark subtracted. Acquire or load a dark frame "
    "first.";
inline constexpr const char* kNoWhiteReference =
    "No white reference: drag over the white panel in the picture with Shift held to choose it, "
    "then save the reflectance cube.";
inline constexpr const char* kUnableToSaveRadCal = "unable to save Radiometric Calibration File";
} // namespace RadCalMsg

// A calibration stack read from a file, as frames of B x H values in the cube's band and sample
// order (frame f at f*B*H), whatever the layout of the file.
struct CalStackLoad {
    FileResult result = FileResult::OpenFailed; // Ok, OpenFailed or Refused
    bool automatic = false;                     // the file was an automatic calibration cube file
    int frames = 0;
    std::vector<uint16_t> stack;
    std::string problem; // why it was refused (the message to show)
};

// Reads a calibration cube file (32768 + N*B*H*2 bytes: frames of B x H in the cube's order) or an
// automatic calibration cube file (32768 + N*B*W*2 bytes: frames of B x W, bands from the far end
// and the frame's columns in reverse, as the calibration runs store them: cube band b, position p
// at band B-1-b, column W-1-(88+H-1-p)). A file of another size, or holding a value above 4095, is
// Refused with a message that says why.
CalStackLoad LoadCalibrationStackFile(const std::string& path, const CubeGeometry& geometry);

struct FlatFieldGains {
    std::vector<float> gains; // B * H, index b*H + p
    size_t zeroGains = 0;     // pixels whose dark-subtracted mean was at most 0 (gain 0)
};

// Gains of a flat field: m(b,p) = mean over the frames of (stack - dark); g(b,p) = (mean of m over
// the H samples of band b) / m(b,p). A pixel with m <= 0 gets gain 0, and so does every pixel of a
// band whose mean is at most 0 (no light in that band: no gain can be told); both are counted.
FlatFieldGains ComputeFlatFieldGains(const uint16_t* stack, int frames, const uint16_t* darkFrame, int bands,
                                     int samples);

// Writes B*H gains as the radiometric calibration file: little-endian IEEE floats, no header (the
// format "Load Rad. Cal..." reads). Written beside the destination and renamed when complete.
FileResult SaveRadCalFile(const std::string& path, const float* gains, size_t count);

// "Radiometric calibration from NAME: N of M gains are 0 (no signal above the dark frame)." or
// "Radiometric calibration from NAME: every gain computed." The message after the gains were made.
std::string FlatFieldSummary(const std::string& stackName, const FlatFieldGains& gains);

// Radiance of one cube line of `count` values: (line - dark) * gain; dark null: 0, gains null: 1.
void RadianceLine(const uint16_t* line, const uint16_t* darkFrame, const float* gains, size_t count,
                  float* out);

// The white-reference rectangle: lines line0..line1 and samples sample0..sample1, both inclusive.
struct WhiteRect {
    int line0 = 0, line1 = 0, sample0 = 0, sample1 = 0;
    bool operator==(const WhiteRect&) const = default;
};
// "L0:L1,S0:S1" (e.g. "260:399,40:239"); a first number larger than the second is swapped. False
// with a message when the text is not four whole numbers in that form.
bool ParseWhiteRect(const std::string& text, WhiteRect& rect, std::string& error);
std::string WhiteRectText(const WhiteRect& rect);
// "" when the rectangle lies inside the cube, otherwise the message that says where it leaves it.
std::string CheckWhiteRect(const WhiteRect& rect, const CubeGeometry& geometry);
// Panel reflectances from 0 (exclusive) to 1.5 are taken (a panel may reflect a little above 1).
bool ValidPanelReflectance(double reflectance);

// Mean radiance of every band over the rectangle of the cube (W lines of B x H values).
std::vector<double> WhiteReferenceSpectrum(const uint16_t* cube, const CubeGeometry& geometry,
                                           const uint16_t* darkFrame, const float* gains,
                                           const WhiteRect& rect);

struct ReflectanceScale {
    std::vector<double> factors; // per band: R / white(b); 0 where white(b) <= 0
    int darkBands = 0;           // bands in which the white reference had no radiance above 0
};
ReflectanceScale ReflectanceFactors(const std::vector<double>& white, double panelReflectance);

// Reflectance of one cube line: radiance * factors[b] for band b.
void ReflectanceLine(const uint16_t* line, const uint16_t* darkFrame, const float* gains,
                     const ReflectanceScale& scale, int bands, int samples, float* out);
