#include "display/SpectrumProbe.h"

#include <cstdio>
#include <memory>

bool ExtractSpectrum(int x, int y, float* spectrum, const CubeGeometry& g, const SpectrumSources& src,
                     LineReadGuard* guard) {
    if (spectrum == nullptr || src.cube == nullptr || g.bands <= 0 || g.height <= 0)
        return false;
    if (x < 0 || x >= g.width || y < 0 || y >= g.height)
        return false;
    const uint16_t* stack = src.acquireCalCube ? src.calCube : (src.acquireDark ? src.darkCube : nullptr);
    if ((src.acquireCalCube || src.acquireDark) && stack == nullptr)
        return false;

    const int B = g.bands;
    const size_t H = size_t(g.height);
    const size_t s = H - 1 - size_t(y);
    const size_t lineStart = size_t(x) * g.LineValues();

    if (stack != nullptr) {
        if (x >= g.darkLines) {
            for (int b = 0; b < B; ++b)
                spectrum[b] = 0.0f;
            return true;
        }
        LineReadLock lock(guard, stack, x);
        for (int b = 0; b < B; ++b)
            spectrum[b] = float(stack[lineStart + size_t(b) * H + s]);
        return true;
    }

    LineReadLock lock(guard, src.cube, x);
    for (int b = 0; b < B; ++b) {
        const int raw = src.cube[lineStart + size_t(b) * H + s];
        int v = raw;
        if (src.darkFrame)
            v -= int(src.darkFrame[size_t(b) * H + s]);
        float f = float(v);
        if (f < 0.0f || f > 4095.0f || raw == 0)
            f = 0.0f;
        spectrum[b] = f;
    }
    return true;
}

bool WriteSpectrumFile(const std::string& path, int x, int y, const std::vector<std::string>& wavelengthTexts,
                       const float* spectrum, int bands) {
    if (bands < 0 || (bands > 0 && spectrum == nullptr) || wavelengthTexts.size() < size_t(bands))
        return false;
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb+"), &std::fclose);
    if (!file)
        return false;
    bool ok = std::fprintf(file.get(), "%s %d %s %d\n", "X:", x, "Y:", y) > 0;
    for (int b = 0; ok && b < bands; ++b)
        ok = std::fprintf(file.get(), "%s %f\n", wavelengthTexts[size_t(b)].c_str(), double(spectrum[b])) > 0;
    const bool closed = std::fclose(file.release()) == 0;
    return ok && closed;
}
