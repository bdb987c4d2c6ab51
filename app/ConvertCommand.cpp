#include "app/ConvertCommand.h"

#include "camera/AcquisitionEngine.h"
#include "camera/CameraSettings.h"
#include "camera/QuietEngineHost.h"
#include "core/UserPrompts.h"
#include "display/ImageDisplay.h"
#include "storage/CubeReaders.h"
#include "storage/CubeSaving.h"
#include "storage/CubeWriters.h"

#include <algorithm>
#include <filesystem>

namespace {
void Message(FILE* err, const std::string& text) {
    std::fprintf(err, "[%s] %s\n", kDefaultCaption, text.c_str());
    std::fflush(err);
}

uint64_t FileSize(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : uint64_t(n);
}
} // namespace

int RunConvert(const AppOptions& options, FILE* out, FILE* err) {
    const ConvertOptions& c = options.conv;
    SaveFormat format{};
    if (!ParseSaveFormat(c.format, format)) {
        std::fprintf(err, "unknown format %s\n", c.format.c_str());
        return kConvertBadArguments;
    }
    const CubeGeometry geometry{696, 520, 128, 25};
    OpenedCube opened;
    const CubeReadResult read = ReadCubeFile(c.input, geometry, opened);
    if (!read) {
        Message(err, read.message);
        return kConvertUnreadable;
    }

    // The engine only holds the cube here: nothing is acquired.
    QuietEngineHost host(false);
    StillMirror mirror(TravelResult::NotConnected);
    AcquisitionEngine engine(host, mirror);
    engine.AllocateBuffers(geometry);
    engine.ReplaceCube(opened.cube);
    if (std::any_of(opened.darkFrame.begin(), opened.darkFrame.end(), [](uint16_t v) { return v != 0; }))
        engine.ReplaceDarkFrame(opened.darkFrame);

    // What the file says about the cube; what it does not say comes from ./Settings as in the window.
    CubeSaveSource source;
    source.engine = &engine;
    const CubeFileMetadata& m = opened.metadata;
    if (m.calibration) {
        source.calibration = *m.calibration;
    } else {
        int error = 0;
        if (!ReadDefaultCalibrationFile(DefaultCalibrationPath(1), source.calibration, &error)) {
            char text[512];
            std::snprintf(text, sizeof text, "Unable to open %s file, error code: %d",
                          DefaultCalibrationPath(1).c_str(), error);
            Message(err, text);
        }
    }
    if (m.exposureMs) {
        source.exposureMs = *m.exposureMs;
    } else {
        CameraSettingsValues camera;
        std::array<int32_t, 3> rgb = kDefaultRgbBands;
        if (ReadCameraSettingsFile(kCameraSettingsPath, camera, rgb, 128).opened)
            source.exposureMs = camera.exposure;
    }
    source.scanStartLine = m.scanLimits ? m.scanLimits->first : 0;
    source.scanStopLine = m.scanLimits ? m.scanLimits->second : 511;
    source.wavelengthList = m.wavelengthList;
    for (int i = 0; i < geometry.bands; ++i)
        source.wavelengths.push_back(BandListWavelength(source.calibration.coeffs, i));
    // The record of the cube's lines goes along.
    source.lineRecordText = m.lineRecordText;
    source.lineRecordNote = "converted from " + opened.dataPath + ", which has no line record";
    ImageDisplay display(engine);
    if (format == SaveFormat::Bitmap) {
        // The picture the window shows first: the band at a third of the list, as during a scan.
        display.controls.band = geometry.bands / 3;
        display.controls.openedCube = true;
        display.UpdateImage();
        source.picture = &display.Processor();
    }
    CubeSaveOptions saveOptions;
    saveOptions.createHeader = c.createHeader;
    saveOptions.headerOffset = format == SaveFormat::Standard ? int32_t(kCubeHeaderSize) : 0;
    saveOptions.periodMs = c.periodMs;
    saveOptions.normalise = c.normalise;
    const CubeSaveResult saved = SaveCube(format, c.out, source, saveOptions);
    if (!saved.ok) {
        Message(err, saved.message);
        return kConvertSaveFailed;
    }
    std::fprintf(out, "wrote %s (%llu bytes)%s%s, %d lines, from %s, line record %s\n", saved.path.c_str(),
                 static_cast<unsigned long long>(FileSize(saved.path)),
                 saved.headerPath.empty() ? "" : " and ", saved.headerPath.c_str(), geometry.width,
                 opened.dataPath.c_str(), saved.lineRecordPath.c_str());
    std::fflush(out);
    return kConvertOk;
}
