#include "sim/SimScene.h"

#include <cmath>

namespace {
bool In(double x, double u, double x0, double x1, double u0, double u1) {
    return x >= x0 && x <= x1 && u >= u0 && u <= u1;
}

double Vegetation(double nm) {
    if (nm < 680.0) {
        // Low reflectance with a green bump around 550 nm.
        const double bump = 0.08 * std::exp(-((nm - 550.0) / 30.0) * ((nm - 550.0) / 30.0));
        return 0.04 + bump;
    }
    if (nm < 750.0)
        return 0.04 + (nm - 680.0) / 70.0 * 0.46; // red edge
    return 0.50;
}

double Water(double nm) {
    if (nm < 700.0)
        return 0.08 - (nm - 400.0) / 300.0 * 0.07;
    return 0.01;
}

double Soil(double nm) { return 0.10 + (nm - 400.0) / 600.0 * 0.25; }
} // namespace

SimMaterial SceneMaterial(double x, double u) {
    x = std::floor(x);
    u = std::floor(u);
    if (In(x, u, 60, 199, 40, 199))
        return SimMaterial::Vegetation;
    if (In(x, u, 60, 199, 280, 479))
        return SimMaterial::Water;
    if (In(x, u, 260, 399, 40, 199))
        return SimMaterial::Soil;
    if (In(x, u, 260, 399, 280, 479))
        return SimMaterial::White;
    if (In(x, u, 460, 639, 40, 479))
        return SimMaterial(int(SimMaterial::Grey1) + int((u - 40) / 110));
    const long cx = long(std::floor(x / 32.0));
    const long cu = long(std::floor(u / 32.0));
    return ((cx + cu) % 2 == 0) ? SimMaterial::BackgroundDark : SimMaterial::BackgroundLight;
}

double MaterialReflectance(SimMaterial m, double nm) {
    switch (m) {
    case SimMaterial::BackgroundDark:
        return 0.10;
    case SimMaterial::BackgroundLight:
        return 0.20;
    case SimMaterial::Vegetation:
        return Vegetation(nm);
    case SimMaterial::Water:
        return Water(nm);
    case SimMaterial::Soil:
        return Soil(nm);
    case SimMaterial::White:
        return 0.95;
    case SimMaterial::Grey1:
        return 0.2;
    case SimMaterial::Grey2:
        return 0.4;
    case SimMaterial::Grey3:
        return 0.6;
    case SimMaterial::Grey4:
        return 0.8;
    default:
        return 0.0;
    }
}

double SceneReflectance(double x, double u, double nm) { return MaterialReflectance(SceneMaterial(x, u), nm); }

double RowWavelength(int row) {
    const double k = SimOpticsConstants::kBands - 1 - std::floor(row / 4.0);
    return SimOpticsConstants::kC0 + 2.0 * SimOpticsConstants::kC1 * k + SimOpticsConstants::kC2 * k * k;
}

double SceneLineAt(int32_t mirrorPosition) {
    return (double(mirrorPosition) - SimOpticsConstants::kOrigin) / SimOpticsConstants::kCountsPerLine;
}

double SimResponse(double column, double row, double vignetting) {
    if (vignetting == 0.0)
        return 1.0;
    return 1.0 - vignetting * (column / 695.0) * (0.5 + 0.5 * row / 519.0);
}

SimOptics& SimOptics::Instance() {
    static SimOptics optics;
    return optics;
}
