#include "storage/MovieExport.h"

#include "display/Drawing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string EnsureAviSuffix(const std::string& path) {
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".avi") == 0)
        return path;
    return path + ".avi";
}

std::vector<double> ComputeMovieFactors(const uint16_t* cube, const CubeGeometry& g, bool normalise,
                                        bool applyRadCal, const float* gains) {
    if (cube == nullptr || g.width < 0 || g.height < 0 || g.bands <= 0)
        return std::vector<double>(size_t(std::max(g.bands, 0)), 0.0);
    const size_t H = size_t(g.height), lineValues = g.LineValues();
    const bool useGains = applyRadCal && gains != nullptr;
    std::vector<double> maxima(size_t(g.bands), 0.0);
    for (int32_t l = 0; l < g.width; ++l) {
        const uint16_t* line = cube + size_t(l) * lineValues;
        for (int32_t b = 0; b < g.bands; ++b) {
            const uint16_t* row = line + size_t(b) * H;
            double m = maxima[size_t(b)];
            if (useGains) {
                const float* gain = gains + size_t(b) * H;
                for (size_t p = 0; p < H; ++p)
                    m = std::max(m, std::trunc(double(row[p]) * double(gain[p])));
            } else {
                for (size_t p = 0; p < H; ++p)
                    m = std::max(m, double(row[p]));
            }
            maxima[size_t(b)] = m;
        }
    }
    auto factorOf = [](double maximum) { return maximum > 0.0 ? 255.0 / maximum : 0.0; };
    std::vector<double> factors(size_t(g.bands));
    if (normalise) {
        for (size_t b = 0; b < factors.size(); ++b)
            factors[b] = factorOf(maxima[b]);
    } else {
        std::fill(factors.begin(), factors.end(), factorOf(*std::max_element(maxima.begin(), maxima.end())));
    }
    return factors;
}

namespace {
MovieResult Failed(AviResult code, std::string text = {}) {
    MovieResult r;
    r.ok = false;
    r.error = code;
    r.errorText = text.empty() ? AviWriter::FormatMessage(code) : std::move(text);
    return r;
}

uint8_t Grey(uint16_t v, double f) {
    const double g = std::trunc(double(v) * f);
    if (!(g > 0.0)) // also NaN
        return 0;
    return g >= 255.0 ? 255 : uint8_t(g);
}
} // namespace

MovieResult WriteMovie(const std::string& path, int periodMs, const std::vector<double>& factors,
                       bool normalise, const uint16_t* cube, const CubeGeometry& g,
                       std::span<const float> wavelengths) {
    if (g.width < 0 || g.height < 0 || g.bands < 0 || (g.bands > 0 && cube == nullptr) ||
        wavelengths.size() < size_t(g.bands) ||
        factors.size() < size_t(normalise ? g.bands : std::min(g.bands, 1)))
        return Failed(AVIERR_BADPARAM);
    if (periodMs <= 0)
        return Failed(AVIERR_BADPARAM);

    AviWriter writer;
    const AviResult created = writer.Create(path, uint32_t(periodMs));
    if (created != AVIERR_OK)
        return Failed(created);

    try {
        MemoryDC dc;
        const Font font("Arial", 25, 0, false, false);
        const size_t H = size_t(g.height), lineValues = g.LineValues();
        AviResult firstError = AVIERR_OK;
        for (int32_t b = 0; b < g.bands; ++b) {
            DibSection frame;
            frame.Create(uint32_t(g.width), uint32_t(g.height));
            if (!frame.Handle()) {
                writer.Discard();
                return Failed(AVIERR_MEMORY, kCreateDibSectionFailed);
            }
            DibSection* previous = dc.SelectBitmap(&frame);
            const double f = normalise ? factors[size_t(b)] : factors[0];
            for (int32_t l = 0; l < g.width; ++l) {
                const uint16_t* src = cube + size_t(l) * lineValues + size_t(b) * H;
                for (size_t r = 0; r < H; ++r) {
                    const uint8_t grey = Grey(src[r], f);
                    frame.PixelAt(uint32_t(l), uint32_t(H - 1 - r), RgbColor(grey, grey, grey));
                }
            }
            char label[64];
            std::snprintf(label, sizeof label, "%s %.2f", "Wavelength:", double(wavelengths[size_t(b)]));
            dc.SetBkMode(false);
            dc.SetTextColor(RgbColor(0, 0, 255));
            dc.SelectFont(font);
            dc.TextOut(20, g.height - 30, label);

            const AviResult added = writer.AddFrame(frame.View());
            if (added != AVIERR_OK && firstError == AVIERR_OK)
                firstError = added;
            dc.SelectBitmap(previous);
        }
        const AviResult closed = writer.Close();
        if (firstError != AVIERR_OK)
            return Failed(firstError);
        if (closed != AVIERR_OK)
            return Failed(closed);
    } catch (const DrawingError& e) {
        writer.Discard();
        return Failed(AVIERR_INTERNAL, e.what());
    }
    MovieResult ok;
    ok.ok = true;
    return ok;
}
