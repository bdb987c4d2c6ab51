#include "storage/CubeSaving.h"

#include "storage/CubeWriters.h"
#include "storage/LineRecordFile.h"
#include "storage/MovieExport.h"

#include <cstdio>
#include <filesystem>
#include <map>

namespace {
const std::map<std::string, SaveFormat> kFormats = {
    {"standard", SaveFormat::Standard}, {"bil", SaveFormat::Bil},       {"bsq", SaveFormat::Bsq},
    {"bip", SaveFormat::Bip},           {"movie", SaveFormat::Movie},   {"bitmap", SaveFormat::Bitmap},
};

CubeSaveResult Failed(std::string message) {
    CubeSaveResult r;
    r.message = std::move(message);
    return r;
}

// The ENVI header beside a cube file; its failure is reported but leaves the cube written.
CubeSaveResult WithHeader(CubeSaveResult r, const CubeSaveSource& s, int32_t headerOffset, const char* interleave) {
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
} // namespace

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
        std::vector<uint16_t> dark;
        {
            std::lock_guard lock(e.m_darkFrameMutex);
            dark.assign(e.m_darkFrame.begin(), e.m_darkFrame.begin() + ptrdiff_t(g.LineValues()));
        }
        const CubeWriteResult w = WriteStandardCubeFile(r.path, e.m_cube.data(), g, dark.data(), info);
        if (!w)
            return Failed(w.message);
        r.ok = true;
        return WithLineRecord(WithHeader(r, s, o.headerOffset, kInterleaveBil), s);
    }
    case SaveFormat::Bil:
    case SaveFormat::Bsq:
    case SaveFormat::Bip: {
        const uint16_t* cube = e.m_cube.data();
        const CubeWriteResult w = format == SaveFormat::Bsq   ? WriteBsqCubeFile(r.path, cube, g)
                                  : format == SaveFormat::Bip ? WriteBipCubeFile(r.path, cube, g)
                                                              : WriteBilCubeFile(r.path, cube, g);
        if (!w)
            return Failed(w.message);
        r.ok = true;
        // The header follows the body, so a cube that could not be written leaves no header behind.
        if (!o.createHeader)
            return WithLineRecord(r, s);
        const char* interleave = format == SaveFormat::Bsq ? kInterleaveBsq
                                 : format == SaveFormat::Bip ? kInterleaveBip
                                                             : kInterleaveBil;
        return WithLineRecord(WithHeader(r, s, o.headerOffset, interleave), s);
    }
    case SaveFormat::Movie: {
        std::vector<double> factors;
        {
            // The gains may be replaced by a loader meanwhile.
            std::lock_guard lock(e.m_darkFrameMutex);
            factors = ComputeMovieFactors(e.m_cube.data(), g, o.normalise, o.applyRadCal, e.m_radCalGains.data());
        }
        const MovieResult m = WriteMovie(r.path, o.periodMs, factors, o.normalise, e.m_cube.data(), g, s.wavelengths);
        // A movie that could not be completed leaves no file; say so rather than fail silently.
        if (!m)
            return Failed(m.error == AVIERR_FILEOPEN ? std::string(kUnableToSaveCube) : m.errorText);
        r.ok = true;
        return WithLineRecord(r, s);
    }
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
