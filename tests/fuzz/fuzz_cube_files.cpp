// Saved cubes read back (the program's own format and ENVI bodies with their text header): any
// content opens or is refused without a crash, undefined behaviour or a read past the file; an
// opened cube has exactly the geometry's values, and a refused one says why and leaves the output
// as it was.
//
// The first byte chooses. Bit 0: the program's own format, else ENVI.
//  - Own format: a valid header for the small geometry below, patched by the input (a count, then
//    that many pairs of a 16-bit offset into the header and a byte), then the rest as the body. The
//    header is 32768 bytes, more than an input may hold, so its fields are reached through patches.
//  - ENVI: the input up to its first zero byte is the header text, the rest the body.
// Bit 1 also parses the header text on its own: a refused header says why.
#include "FuzzSupport.h"
#include "storage/CubeHeader.h"
#include "storage/CubeReaders.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {
CubeGeometry SmallGeometry() {
    CubeGeometry g;
    g.width = 3;  // lines
    g.height = 4; // samples
    g.bands = 2;
    g.darkLines = 2;
    return g;
}

void CheckResult(const CubeReadResult& r, const OpenedCube& out, const CubeGeometry& g, bool standard) {
    if (!r.ok) {
        FuzzCheck(!r.message.empty(), "a refusal says why");
        FuzzCheck(out.cube.size() == 1 && out.cube[0] == 4242 && out.dataPath == "untouched",
                  "a refused file leaves the output as it was");
        return;
    }
    FuzzCheck(r.message.empty(), "no message on success");
    FuzzCheck(out.cube.size() == g.CubeValues(), "an opened cube has the geometry's values");
    FuzzCheck(out.darkFrame.size() == (standard ? g.LineValues() : 0), "dark frame only from the own format");
    if (!out.metadata.wavelengthList.empty())
        FuzzCheck(CountListEntries(out.metadata.wavelengthList) == g.bands,
                  "a kept wavelength list has B entries");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const CubeGeometry g = SmallGeometry();
    const bool standard = data[0] & 1;
    const bool parseAlone = data[0] & 2;
    OpenedCube out;
    out.cube = {4242};
    out.dataPath = "untouched";
    size_t at = 1;
    if (standard) {
        CubeHeaderInfo info;
        info.samples = g.height;
        info.lines = g.width;
        info.bands = uint16_t(g.bands);
        std::vector<uint8_t> file = BuildCubeHeader(info);
        FuzzCheck(file.size() == kCubeHeaderSize, "header size");
        const size_t patches = at < size ? data[at++] : 0;
        for (size_t i = 0; i < patches && at + 3 <= size; ++i, at += 3) {
            const size_t offset = (size_t(data[at]) | size_t(data[at + 1]) << 8) % kCubeHeaderSize;
            file[offset] = data[at + 2];
        }
        file.insert(file.end(), data + std::min(at, size), data + size);
        const std::string path = InputFile(file.data(), file.size(), "own.cube");
        const CubeReadResult r = ReadStandardCubeFile(path, g, out);
        CheckResult(r, out, g, true);
        return 0;
    }
    const uint8_t* end = data + size;
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data + at, 0, size - at));
    const uint8_t* bodyStart = zero ? zero + 1 : end;
    const std::string_view text(reinterpret_cast<const char*>(data + at),
                                size_t((zero ? zero : end) - (data + at)));
    if (parseAlone) {
        EnviHeader h;
        std::string error;
        if (!ParseEnviHeader(text, h, error))
            FuzzCheck(!error.empty(), "a refused header says why");
    }
    const std::string hdr = InputFile(data + at, text.size(), "envi.hdr");
    const std::string body = InputFile(bodyStart, size_t(end - bodyStart), "envi.img");
    const CubeReadResult r = ReadEnviCubeFile(hdr, body, g, out);
    CheckResult(r, out, g, false);
    return 0;
}
