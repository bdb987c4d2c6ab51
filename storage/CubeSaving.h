#pragma once
// Saving the acquired cube in one of the program's formats: the one path shared by the window's
// Cube Formatting dialog and the command line, so both write the same bytes.
#include "analysis/ImageProcess.h"
#include "calibration/DefaultCalibration.h"
#include "calibration/RadiometricCorrection.h"
#include "camera/AcquisitionEngine.h"
#include "camera/LineRecord.h"

#include <optional>

#include <string>
#include <vector>

// Radiance and Reflectance are ENVI BIL bodies of 32-bit floats: the cube dark subtracted, the
// radiometric gains applied when loaded, and for Reflectance divided band by band by the mean
// radiance of a white reference and multiplied by its reflectance.
enum class SaveFormat { Standard, Bil, Bsq, Bip, Movie, Bitmap, Radiance, Reflectance };

// Message when the line record beside a saved file cannot be written (followed by its path).
inline constexpr const char* kUnableToSaveLineRecord = "unable to save the line record";

// "standard", "bil", "bsq", "bip", "movie", "bitmap", "radiance", "reflectance".
bool ParseSaveFormat(const std::string& text, SaveFormat& format);
const char* SaveFormatName(SaveFormat format);

// What a save reads besides the engine's buffers.
struct CubeSaveSource {
    const AcquisitionEngine* engine = nullptr; // cube, geometry, dark frame, gains
    double exposureMs = 10.0;
    DefaultCalibration calibration;
    int scanStartLine = 0;
    int scanStopLine = 511;
    std::vector<float> wavelengths; // the band list (movie labels)
    std::string wavelengthList; // the ENVI header's list as an opened file gave it (empty: from calibration)
    const ImageProcess* picture = nullptr; // the displayed picture (bitmap)
    // The line record written beside the file (name.lines.csv): lineRecordText as it is when set
    // (the record of an opened cube), otherwise built from lineRecord with lineRecordNote.
    LineRecord lineRecord;
    std::string lineRecordText;
    std::string lineRecordNote;
    // File names of the dark frame and of the gains in use, for the description of a corrected cube.
    std::string darkName;
    std::string radCalName;
};

struct CubeSaveOptions {
    bool createHeader = true;  // ENVI layouts: write the ".hdr" (the standard file always has one)
    int32_t headerOffset = 0;  // the ENVI header's offset line: 32768 when the standard format is chosen
    int periodMs = 100;        // movie: milliseconds between frames
    bool normalise = true;     // movie: scale each band to its own maximum
    bool applyRadCal = false;  // movie: maxima from the gain-corrected values
    // Reflectance: the white panel's rectangle (lines and stored sample positions) and its known
    // reflectance.
    std::optional<WhiteRect> white;
    double whiteReflectance = 1.0;
};

// The description written into the header of a corrected cube: what was applied.
std::string CorrectedCubeDescription(SaveFormat format, const std::string& darkName,
                                     const std::string& radCalName, const std::optional<WhiteRect>& white,
                                     double whiteReflectance, int darkBands);

struct CubeSaveResult {
    bool ok = false;
    std::string message;    // the text to show when !ok
    std::string path;       // the file written (suffix rules applied)
    std::string headerPath; // the ENVI header written, if any
    std::string lineRecordPath; // the line record written beside it
    int linesWithDrops = 0;     // lines of the record with frames lost before them
};

// The path a save writes for the path the user chose: ".cube" appended for the cube layouts unless
// present, ".avi" for the movie, the bitmap unchanged.
std::string SavePathFor(SaveFormat format, const std::string& chosen);

// Writes the cube in the format. The caller makes sure that no acquisition writes the cube meanwhile.
CubeSaveResult SaveCube(SaveFormat format, const std::string& chosenPath, const CubeSaveSource& source,
                        const CubeSaveOptions& options);
