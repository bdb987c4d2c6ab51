#include "storage/CubeSaving.h"

#include "storage/CubeWriters.h"
#include "storage/LineRecordFile.h"
#include "storage/MovieExport.h"

#include <cstdio>
#include <filesystem>
#include <map>

namespace {
const std::map<std::string, SaveFormat> kFormats = {
    {"standard", SaveFormat::Standard}, {"bil", SaveFormat::Bil},
    {"bsq", SaveFormat::Bsq},           {"bip", SaveFormat::Bip},
    {"movie", SaveFormat::Movie},       {"bitmap", SaveFormat::Bitmap},
    {"radiance", SaveFormat::Radiance}, {"reflectance", SaveFormat::Reflectance},
};

CubeSaveResult Failed(std::string message) {
    CubeSaveResult r;
    r.message = std::move(message);
    return r;
}

// The ENVI header beside a cube file; its failure is reported but leaves the cube written.
CubeSaveResult WithHeader(CubeSaveResult r, const CubeSaveSource& s, int32_t headerOffset,
                          const char* interleave) {
    const CubeGeometry g = s.engine->Geometry();
    const std::string text =
        BuildEnviHeaderText(g.width, g.height, g.bands, headerOffset, interleave, s.calibration.coeffs,
                            s.scanStartLine, s.scanStopLine, s.wavelengthList);
    const CubeWriteResult h = WriteEnviHeader(r.path, text);
    if (!h) {
        r.ok = false;
        r.message = h.message;
        return r;
    }
    r.headerPath = EnviHeaderPath(r.path);
    return r;
}
// The line record beside a file that was written (also when its ENVI header failed): a record
// that cannot be written is reported, the cube stays.
CubeSaveResult WithLineRecord(CubeSaveResult r, const CubeSaveSource& s) {
    const std::string path = LineRecordPath(r.path);
    const std::string text =
        !s.lineRecordText.empty()
            ? s.lineRecordText
            : LineRecordText(s.lineRecord, std::filesystem::path(r.path).filename().string(),
                             s.lineRecordNote);
    r.linesWithDrops = s.lineRecordText.empty() ? s.lineRecord.LinesWithDrops() : 0;
    if (!WriteLineRecordFile(path, text)) {
        if (r.ok) {
            r.ok = false;
            r.message = std::string(kUnableToSaveLineRecord) + " " + path;
        }
        return r;
    }
    r.lineRecordPath = path;
    return r;
}

std::string NumberWithoutZeros(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// A radiance or reflectance cube: dark subtracted, gains applied when loaded, reflectance against
// the white reference.
CubeSaveResult SaveCorrectedCube(SaveFormat format, CubeSaveResult r, const CubeSaveSource& s,
                                 const CubeSaveOptions& o) {
    const AcquisitionEngine& e = *s.engine;
    const CubeGeometry g = e.Geometry();
    if (!e.DarkFrameValid())
        return Failed(RadCalMsg::kNoDarkForRadiance);
    const bool reflectance = format == SaveFormat::Reflectance;
    if (reflectance && !o.white)
        return Failed(RadCalMsg::kNoWhiteReference);
    if (reflectance) {
        const std::string outside = CheckWhiteRect(*o.white, g);
        if (!outside.empty())
            return Failed(outside);
        if (!ValidPanelReflectance(o.whiteReflectance))
            return Failed("The white panel's reflectance " + NumberWithoutZeros(o.whiteReflectance) +
                          " is outside 0 (excluded) to 1.5.");
    }
    // The dark frame and the gains may be replaced by a loader meanwhile: take copies.
    std::vector<uint16_t> dark;
    std::vector<float> gains;
    const bool applyGains = e.Calibration().GainsLoaded();
    {
        const CalibrationStore::View calibration = e.Calibration().Lock();
        dark.assign(calibration.DarkFrame(), calibration.DarkFrame() + g.LineValues());
        if (applyGains)
            gains.assign(calibration.Gains(), calibration.Gains() + g.LineValues());
    }
    const float* gainData = applyGains ? gains.data() : nullptr;
    ReflectanceScale scale;
    if (reflectance)
        scale = ReflectanceFactors(
            WhiteReferenceSpectrum(e.Cube().data(), g, dark.data(), gainData, *o.white), o.whiteReflectance);
    const size_t lineValues = g.LineValues();
    const CubeWriteResult w = WriteFloatBilCubeFile(r.path, g, [&](int l, float* out) {
        const uint16_t* line = e.Cube().data() + size_t(l) * lineValues;
        if (reflectance)
            ReflectanceLine(line, dark.data(), gainData, scale, g.bands, g.height, out);
        else
            RadianceLine(line, dark.data(), gainData, lineValues, out);
    });
    if (!w)
        return Failed(w.message);
    r.ok = true;
    if (!o.createHeader)
        return WithLineRecord(r, s);
    const std::string description = CorrectedCubeDescription(
        format, s.darkName, applyGains ? s.radCalName : "", o.white, o.whiteReflectance, scale.darkBands);
    const std::string text =
        BuildFloatEnviHeaderText(g.width, g.height, g.bands, description, s.calibration.coeffs,
                                 s.scanStartLine, s.scanStopLine, s.wavelengthList);
    const CubeWriteResult h = WriteEnviHeader(r.path, text);
    if (!h) {
        r.ok = false;
        r.message = h.message;
    } else {
        r.headerPath = EnviHeaderPath(r.path);
    }
    return WithLineRecord(r, s);
}
} // namespace

std::string CorrectedCubeDescription(SaveFormat format, const std::string& darkName,
                                     const std::string& radCalName, const std::optional<WhiteRect>& white,
                                     double whiteReflectance, int darkBands) {
    const bool reflectance = format == SaveFormat::Reflectance;
    std::string text = reflectance ? "ARV300 reflectance: " : "ARV300 radiance in counts: ";
    text += "dark frame" + (darkName.empty() ? std::string() : " " + darkName) + " subtracted; ";
    text +=
        radCalName.empty() ? "no radiometric gains applied" : "radiometric gains " + radCalName + " applied";
    if (reflectance && white) {
        text += "; divided band by band by the mean radiance of the white reference (lines " +
                std::to_string(white->line0) + " to " + std::to_string(white->line1) + ", samples " +
                std::to_string(white->sample0) + " to " + std::to_string(white->sample1) +
                ") and multiplied by its reflectance " + NumberWithoutZeros(whiteReflectance);
        if (darkBands > 0)
            text += "; " + std::to_string(darkBands) + " bands without signal on the white reference are 0";
    }
    return text;
}

bool ParseSaveFormat(const std::string& text, SaveFormat& format) {
    auto it = kFormats.find(text);
    if (it == kFormats.end())
        return false;
    format = it->second;
    return true;
}

const char* SaveFormatName(SaveFormat format) {
    for (const auto& [name, f] : kFormats)
        if (f == format)
            return name.c_str();
    return "";
}

std::string SavePathFor(SaveFormat format, const std::string& chosen) {
    switch (format) {
    case SaveFormat::Movie:
        return EnsureAviSuffix(chosen);
    case SaveFormat::Bitmap:
        return chosen;
    default:
        return EnsureCubeSuffix(chosen);
    }
}

CubeSaveResult SaveCube(SaveFormat format, const std::string& chosenPath, const CubeSaveSource& s,
                        const CubeSaveOptions& o) {
    const AcquisitionEngine& e = *s.engine;
    const CubeGeometry g = e.Geometry();
    CubeSaveResult r;
    r.path = SavePathFor(format, chosenPath);
    switch (format) {
    case SaveFormat::Standard: {
        CubeHeaderInfo info;
        info.samples = g.height;
        info.lines = g.width;
        info.bands = uint16_t(g.bands);
        info.exposureMs = s.exposureMs;
        info.calibration = s.calibration;
        info.variant = CubeHeaderVariant::Cube;
        // The dark frame may be replaced by a loader while the file is written: take a copy.
        const std::vector<uint16_t> dark = e.Calibration().CopyDarkFrame(g.LineValues());
        const CubeWriteResult w = WriteStandardCubeFile(r.path, e.Cube().data(), g, dark.data(), info);
        if (!w)
            return Failed(w.message);
        r.ok = true;
        return WithLineRecord(WithHeader(r, s, o.headerOffset, kInterleaveBil), s);
    }
    case SaveFormat::Bil:
    case SaveFormat::Bsq:
    case SaveFormat::Bip: {
        const uint16_t* cube = e.Cube().data();
        const CubeWriteResult w = format == SaveFormat::Bsq   ? WriteBsqCubeFile(r.path, cube, g)
                                  : format == SaveFormat::Bip ? WriteBipCubeFile(r.path, cube, g)
                                                              : WriteBilCubeFile(r.path, cube, g);
        if (!w)
            return Failed(w.message);
        r.ok = true;
        // The header follows the body, so a cube that could not be written leaves no header behind.
        if (!o.createHeader)
            return WithLineRecord(r, s);
        const char* interleave = format == SaveFormat::Bsq   ? kInterleaveBsq
                                 : format == SaveFormat::Bip ? kInterleaveBip
                                                             : kInterleaveBil;
        return WithLineRecord(WithHeader(r, s, o.headerOffset, interleave), s);
    }
    case SaveFormat::Movie: {
        std::vector<double> factors;
        {
            // The gains may be replaced by a loader meanwhile.
            const CalibrationStore::View calibration = e.Calibration().Lock();
            factors =
                ComputeMovieFactors(e.Cube().data(), g, o.normalise, o.applyRadCal, calibration.Gains());
        }
        const MovieResult m =
            WriteMovie(r.path, o.periodMs, factors, o.normalise, e.Cube().data(), g, s.wavelengths);
        // A movie that could not be completed leaves no file; say so rather than fail silently.
        if (!m)
            return Failed(m.error == AVIERR_FILEOPEN ? std::string(kUnableToSaveCube) : m.errorText);
        r.ok = true;
        return WithLineRecord(r, s);
    }
    case SaveFormat::Radiance:
    case SaveFormat::Reflectance:
        return SaveCorrectedCube(format, r, s, o);
    case SaveFormat::Bitmap: {
        // The bitmap is written aside and renamed when complete: a failure (file that cannot be
        // created, full disk) leaves no file and never touches an earlier one of the same name.
        if (!s.picture || !s.picture->SaveBitmapFile(r.path))
            return Failed(kUnableToSaveCube);
        r.ok = true;
        return WithLineRecord(r, s);
    }
    }
    return Failed(kUnableToSaveCube);
}
