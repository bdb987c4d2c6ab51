#pragma once
// The movie export: one AVI frame per band, band 0 first. Frame b is a W x H grey picture of the
// cube at band b (column x = cube line, row from the top = sample position), scaled to 0..255,
// with "Wavelength: <wavelength of band b>" written on it in blue.
//
// Drawing the label needs a QGuiApplication (see EnsureGuiApplication in display/Drawing.h).
#include "core/Geometry.h"
#include "storage/AviWriter.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Appends ".avi" unless the path's last four characters are ".avi".
std::string EnsureAviSuffix(const std::string& path);

// Scaling factors, one per band (B entries). A band's maximum is taken over every line and
// sample; with applyRadCal (and gains, B*H values band-major) each value is first multiplied by
// its gain and truncated. normalise: factor[b] = 255 / maximum of band b; otherwise every entry
// is 255 / maximum over all bands. A maximum of 0 gives the factor 0 (a black frame).
std::vector<double> ComputeMovieFactors(const uint16_t* cube, const CubeGeometry& geometry, bool normalise,
                                        bool applyRadCal, const float* gains);

struct MovieResult {
    bool ok = false;
    AviResult error = AVIERR_OK; // the first failure
    std::string errorText;       // its text (AviWriter::FormatMessage, or the drawing library's)
    explicit operator bool() const { return ok; }
};

// Writes the movie. Frame b uses factors[b] when normalising, factors[0] otherwise; grey =
// trunc(value * factor) limited to 0..255 (no dark frame or gains applied). wavelengths holds
// the band list's wavelength of every band. The label "Wavelength: %.2f" is drawn in "Arial" of
// height 25, pure blue, transparent background, top-left at (20, H - 30).
//
// Fails, leaving no movie file, when the arguments do not cover every band, the period is not
// positive, the file cannot be created, a frame bitmap cannot be made (the export stops) or any
// frame cannot be written (the remaining bands are still offered to the writer, which refuses
// them).
MovieResult WriteMovie(const std::string& path, int periodMs, const std::vector<double>& factors,
                       bool normalise, const uint16_t* cube, const CubeGeometry& geometry,
                       std::span<const float> wavelengths);
