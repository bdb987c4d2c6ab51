#pragma once
// Cube files: the program's own "ARV Standard (BIL with Header)" file, the ENVI bodies BIL, BSQ
// and BIP, the ENVI text header beside them, and the automatic cube file name.
//
// Every body value is an unsigned 16-bit sample written least significant byte first, as
// stored: no dark subtraction, gain or scaling.
//
// The writers stream straight from the cube (BIL and the standard file in gathered writes of its
// lines; BSQ and BIP reordered in chunks of 1 MiB, a helper thread filling the next chunk while
// the one before is written; never a copy of the whole cube) and write through AtomicFile, with
// room for the whole file reserved first: the file appears under its name only when every byte was
// written and flushed. A failed save removes what it wrote, leaves any earlier file of that name
// untouched, and returns a result whose message is the text to show.
//
// Precondition of every writer: `cube` holds geometry.CubeValues() values (line l, band b,
// sample p at l*B*H + b*H + p).
#include "core/Geometry.h"
#include "storage/CubeHeader.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

// Message shown when a cube, movie or bitmap file cannot be saved.
inline constexpr const char* kUnableToSaveCube = "unable to save cube";

enum class CubeWriteStatus {
    Ok,
    CannotOpen,      // the file could not be created (no folder, no permission, ...)
    WriteFailed,     // a write, the flush to disk or the final rename failed; nothing was left
    InvalidArgument, // null cube or negative geometry; nothing was created
};

struct CubeWriteResult {
    CubeWriteStatus status = CubeWriteStatus::Ok;
    int errorNumber = 0; // errno of the failure, 0 when none
    std::string message; // text to show the user; empty on success
    bool Ok() const { return status == CubeWriteStatus::Ok; }
    explicit operator bool() const { return Ok(); }
};

// "ARV Standard (BIL with Header)": the 32768-byte cube header (cube variant; samples, lines and
// bands are taken from the geometry, the rest of `header` as given), the W lines in reverse order
// (line W-1 first), one frame of B*H values 1000, one frame holding darkFrame (B*H values, band
// major; zeros when darkFrame is null). 32768 + (W+2)*B*H*2 bytes.
CubeWriteResult WriteStandardCubeFile(const std::string& path, const uint16_t* cube,
                                      const CubeGeometry& geometry, const uint16_t* darkFrame,
                                      const CubeHeaderInfo& header);
// ENVI BIL: lines 0..W-1 as stored. W*B*H*2 bytes.
CubeWriteResult WriteBilCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& geometry);
// ENVI BSQ: band by band, within a band line by line, within a line the H samples as stored.
CubeWriteResult WriteBsqCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& geometry);
// ENVI BIP: line by line, within a line sample by sample, within a sample the B band values.
CubeWriteResult WriteBipCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& geometry);

// ENVI BIL of 32-bit floats (IEEE single precision, least significant byte first): `line` fills the
// B*H values of each line 0..W-1 in turn (band-major, as a cube line). W*B*H*4 bytes.
CubeWriteResult WriteFloatBilCubeFile(const std::string& path, const CubeGeometry& geometry,
                                      const std::function<void(int line, float* values)>& line);

// Appends ".cube" unless the path's last five characters are ".cube".
std::string EnsureCubeSuffix(const std::string& path);
// The ENVI header beside a cube: a trailing ".cube" is removed, then ".hdr" appended.
std::string EnviHeaderPath(const std::string& cubePath);

// Interleave texts of the ENVI header.
inline constexpr const char* kInterleaveBil = "bil";
inline constexpr const char* kInterleaveBsq = "bsq";
inline constexpr const char* kInterleaveBip = "bip";

// The ENVI header's text. headerOffset is 32768 for the standard file and 0 for the ENVI bodies.
// Band i's wavelength is i*c1 + c0 + (i*i)*c2 in double, written "%lf". A cube opened from an ENVI
// file keeps its own list: a non-empty wavelengthList is written between the braces instead.
std::string BuildEnviHeaderText(int32_t lines, int32_t samples, int32_t bands, int32_t headerOffset,
                                std::string_view interleave, const float coeffs[3], int32_t scanStartLimit,
                                int32_t scanStopLimit, std::string_view wavelengthList = {});
// The header of a corrected cube (radiance or reflectance): as above for a BIL body of 32-bit
// floats ("data type = 4", "header offset = 0"), with the description saying what was applied.
std::string BuildFloatEnviHeaderText(int32_t lines, int32_t samples, int32_t bands,
                                     std::string_view description, const float coeffs[3],
                                     int32_t scanStartLimit, int32_t scanStopLimit,
                                     std::string_view wavelengthList = {});
// Writes the header text beside the cube (at EnviHeaderPath(cubePath)). On failure the message is
// "unable to open " and the header path joined by one blank ("unable to open  /x/scan1.hdr").
CubeWriteResult WriteEnviHeader(const std::string& cubePath, const std::string& text);

// "%s_I%d_L%d-%d_%d-%d-%d_%d.%d.%d.cube": prefix, exposure truncated toward zero, scan limits,
// day-month-year and hour.minute.second of `when`, no zero padding.
std::string ComposeCubeFileName(const std::string& prefix, double exposureMs, int32_t startLimit,
                                int32_t stopLimit, const std::tm& when);
// The local time now, for ComposeCubeFileName.
std::tm CurrentLocalTime();
