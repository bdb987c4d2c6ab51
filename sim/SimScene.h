#pragma once
// The simulated optics: what the imager looks at, and how a frame of the data camera is formed.
//
// Scene coordinates: scene line x = (mirror position - origin) / counts per line (origin 0,
// 12 counts per line, so the default scan 0 ... 8340 sweeps scene lines 0 ... 695), and spatial
// coordinate u = frame column - 88 (so cube samples 0 ... 519 are u = 0 ... 519).
//
// The test chart (reflectance R between 0 and 1, constant within each patch):
//   background       checkerboard of 32 x 32 squares, R 0.10 where (x/32 + u/32) is even, 0.20 else
//   vegetation       lines  60 ... 199, u  40 ... 199   (low visible, green bump, red edge at 700 nm)
//   water            lines  60 ... 199, u 280 ... 479   (falls from 0.08 at 400 nm to 0.01)
//   soil             lines 260 ... 399, u  40 ... 199   (rises linearly 0.10 at 400 nm to 0.35 at 1000)
//   white reference  lines 260 ... 399, u 280 ... 479   (0.95 flat)
//   grey scale       lines 460 ... 639, u  40 ... 479   (0.2 / 0.4 / 0.6 / 0.8 in four steps of 110 u)
//
// Rows are the spectral axis: row y belongs to cube band k = B - 1 - y/4 (bands are binned from the
// far-end rows) and sees exactly the band-list wavelength of band k, c0 + 2*c1*k + c2*k^2, with the
// coefficients below (those of the shipped 2x2 default calibration). Rows beyond 4B continue the
// formula (k < 0).
//
// Pixel value (16 bit): dark offset + round(full scale * R(lambda) * response * exposure/10 ms * gain),
// clipped to 65535; optional noise. The response is 1 unless a vignetting is set (SimResponse). With the
// defaults a white reference pixel at 10 ms, gain 1 reads 800 + round(48000 * 0.95) = 46400, i.e. 2900 after
// the program's binning (mean >> 4).
#include <atomic>
#include <cstdint>

// Frame column that sees spatial coordinate u = 0 (cube sample 0).
inline constexpr double kFirstSampleColumnSim = 88.0;

enum class SimTarget { Scene = 0, LensCap = 1, Sphere = 2 };

struct SimOpticsConstants {
    static constexpr double kOrigin = 0.0;
    static constexpr double kCountsPerLine = 12.0;
    static constexpr double kDarkOffset = 800.0;
    static constexpr double kFullScale = 48000.0;
    static constexpr double kReferenceExposureMs = 10.0;
    static constexpr double kC0 = 400.0;
    static constexpr double kC1 = 2.30;
    static constexpr double kC2 = 0.00095;
    static constexpr int kBands = 128;
    // Monochromator line: a Gaussian of this width (1/e half width, nm) and peak reflectance.
    static constexpr double kLineWidthNm = 3.0;
    static constexpr double kLinePeak = 0.10;
    // The sphere in white light (the monochromator at zero order): the same level at every
    // wavelength and every column, in the units of a reflectance.
    static constexpr double kSphereWhiteLevel = 0.5;
};

enum class SimMaterial { BackgroundDark, BackgroundLight, Vegetation, Water, Soil, White, Grey1, Grey2, Grey3, Grey4, Count };

// Material of the test chart at scene line x and spatial coordinate u (both floored to whole pixels).
SimMaterial SceneMaterial(double x, double u);
// Reflectance of a material at a wavelength (nm).
double MaterialReflectance(SimMaterial material, double wavelengthNm);
// Reflectance of the test chart at scene line x, spatial coordinate u and wavelength (nm).
double SceneReflectance(double x, double u, double wavelengthNm);
// Wavelength seen by a frame row (see above).
double RowWavelength(int row);
// Scene line seen at a mirror position.
double SceneLineAt(int32_t mirrorPosition);
// Relative response of the optics and sensor at a frame column and row (2 x 2-binned grid, 696 x
// 520) for a vignetting strength v: 1 - v * (column / 695) * (0.5 + 0.5 * row / 519), a fall-off
// across the field that is stronger at the far rows. 1 everywhere when v is 0 (the default).
double SimResponse(double column, double row, double vignetting);

// Operator settings of the simulated optics (shared by the cameras and the monochromator).
struct SimOptics {
    static SimOptics& Instance();
    std::atomic<SimTarget> target{SimTarget::Scene};
    std::atomic<double> monochromatorNm{0.0}; // 0: monochromator not set
    std::atomic<bool> noise{false};
    std::atomic<double> sphereBrightness{SimOpticsConstants::kLinePeak}; // peak reflectance of the line
    // The monochromator was sent to 0 nm: at zero order it passes the lamp's white light, and the
    // sphere shows kSphereWhiteLevel at every wavelength (a uniform source for flat fields).
    std::atomic<bool> sphereWhiteLight{false};
    // Strength of the response fall-off across the field (SimResponse); 0 = a perfectly flat imager.
    std::atomic<double> vignetting{0.0};
};
