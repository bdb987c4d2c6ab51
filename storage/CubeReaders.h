#pragma once
// Reading saved cubes back: the program's own "ARV Standard (BIL with Header)" file (its header
// skipped by size, the lines stored last-first, the trailing dark frame) and ENVI BIL, BSQ and BIP
// bodies through their text header.
//
// Every reader takes a path, looks at the file's real size before reading anything and reads no
// further than that: a file of the wrong length, a header that describes another geometry or
// element type, or a file that cannot be read gives a result whose message says what was found.
// The cube is filled only when the whole file was read; on failure the output is left as it was.
#include "calibration/DefaultCalibration.h"
#include "core/Geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class CubeFileFormat { Standard, Bil, Bsq, Bip };

// Longest ENVI header read (the program's own is about 1.5 kB).
inline constexpr size_t kMaxEnviHeaderBytes = 1 << 20;

// The fields of an ENVI header that a reader needs. Numbers are -1 when absent.
struct EnviHeader {
    int64_t samples = -1;
    int64_t lines = -1;
    int64_t bands = -1;
    int64_t headerOffset = 0; // "header offset" (0 when absent)
    int64_t dataType = -1;    // "data type": 12 is unsigned 16-bit
    int64_t byteOrder = 0;    // 0: least significant byte first, 1: most significant first
    std::string interleave;   // "bil", "bsq" or "bip" (lower case)
    // The text of "wavelength = {...}" between the braces, without a line feed right after "{";
    // empty when absent.
    std::string wavelengths;
    // "Scanner Limits (pixels) = start<TAB>stop" of the program's own headers.
    std::optional<std::pair<int32_t, int32_t>> scannerLimits;
};

// Parses an ENVI header's text: "ENVI" on the first line, then "key = value" lines (keys in any
// case; values in braces may span lines). False, with a message, when the text does not start with
// "ENVI", a required field (samples, lines, bands, data type, interleave) is missing, a number does
// not read as one, or a brace is not closed.
bool ParseEnviHeader(std::string_view text, EnviHeader& header, std::string& error);

// What a file says about the cube besides its values.
struct CubeFileMetadata {
    std::optional<double> exposureMs;                      // the standard file's header
    std::optional<DefaultCalibration> calibration;         // the standard file's header (no title)
    std::optional<std::pair<int32_t, int32_t>> scanLimits; // the ENVI header's scanner limits
    std::string wavelengthList; // the ENVI header's wavelength list as written, when it has B entries
    std::string lineRecordText; // the line record beside the file (name.lines.csv), when there is one
};

struct OpenedCube {
    CubeFileFormat format = CubeFileFormat::Standard;
    std::string dataPath;            // the file whose values were read
    std::string headerPath;          // the ENVI header read, if any
    std::vector<uint16_t> cube;      // W lines of B x H values, line 0 first: the acquisition's layout
    std::vector<uint16_t> darkFrame; // the standard file's trailing dark frame (B x H); else empty
    CubeFileMetadata metadata;
};

struct CubeReadResult {
    bool ok = false;
    std::string message; // what went wrong, for the user; empty on success
    explicit operator bool() const { return ok; }
};

// Opens a saved cube. A file that starts with the standard header's version text is read as the
// program's own format; any other file is read through its ENVI header (the path with ".cube"
// replaced by ".hdr", or with ".hdr" appended). A path ending in ".hdr" names the header itself;
// its body is the same name with ".cube" (or no extension, ".img", ".dat", ".raw"). Only cubes of
// the geometry (W lines, H samples, B bands, unsigned 16-bit) are accepted.
CubeReadResult ReadCubeFile(const std::string& path, const CubeGeometry& geometry, OpenedCube& out);

// The program's own file: 32768 + (W + 2) * B * H * 2 bytes exactly; its header must describe the
// geometry. The lines come back in acquisition order, the last frame as the dark frame.
CubeReadResult ReadStandardCubeFile(const std::string& path, const CubeGeometry& geometry, OpenedCube& out);

// An ENVI body described by the header file: header offset + W * B * H * 2 bytes exactly.
CubeReadResult ReadEnviCubeFile(const std::string& headerPath, const std::string& dataPath,
                                const CubeGeometry& geometry, OpenedCube& out);

// Entries of a wavelength list text ("400.000000, 402.300950, ..."): the number of comma-separated
// items that are not blank.
int CountListEntries(std::string_view list);
