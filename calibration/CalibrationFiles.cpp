#include "calibration/CalibrationFiles.h"

#include "core/ValueRanges.h"
#include "storage/AtomicFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;

FilePtr Open(const std::string& path, const char* mode) {
    return FilePtr(std::fopen(path.c_str(), mode), &std::fclose);
}

// Appends `count` values least significant byte first.
bool WriteValues(AtomicFile& file, const uint16_t* values, size_t count, std::vector<uint8_t>& scratch) {
    scratch.resize(count * 2);
    for (size_t i = 0; i < count; ++i) {
        scratch[2 * i] = uint8_t(values[i]);
        scratch[2 * i + 1] = uint8_t(values[i] >> 8);
    }
    return file.Write(scratch.data(), scratch.size());
}

CubeHeaderInfo StackHeader(const CubeGeometry& g, const CubeHeaderInfo& base) {
    CubeHeaderInfo h = base;
    h.samples = g.height;
    h.lines = g.darkLines;
    h.bands = uint16_t(g.bands);
    h.variant = CubeHeaderVariant::Calibration;
    return h;
}

bool ValidStack(const uint16_t* stack, const CubeGeometry& g) {
    return stack != nullptr && g.darkLines > 0 && g.bands > 0 && g.height > 0 && g.width > 0;
}

// Header, then frames N-1 .. 0 of frameValues each, as they lie in memory. The file is written
// beside its destination and takes the name only when complete, so a failure part-way leaves no
// file and an earlier file of the same name as it was.
FileResult SaveStack(const std::string& path, const uint16_t* stack, size_t frameValues,
                     const CubeGeometry& g, const CubeHeaderInfo& header, bool trailingFrame) {
    if (!ValidStack(stack, g))
        return FileResult::OpenFailed;
    AtomicFile file;
    if (!file.Open(path))
        return FileResult::OpenFailed;
    const std::vector<uint8_t> headerBytes = BuildCubeHeader(StackHeader(g, header));
    bool ok = file.Write(headerBytes.data(), headerBytes.size());
    std::vector<uint8_t> scratch;
    for (int f = g.darkLines - 1; ok && f >= 0; --f)
        ok = WriteValues(file, stack + size_t(f) * frameValues, frameValues, scratch);
    if (ok && trailingFrame) {
        const std::vector<uint16_t> trailer(g.LineValues(), kDarkFileTrailerValue);
        ok = WriteValues(file, trailer.data(), trailer.size(), scratch);
    }
    return ok && file.Commit() ? FileResult::Ok : FileResult::WriteFailed;
}

// Start of a UTF-8 character at or before / after i, so a cut never splits a character.
size_t CharStartAtOrBefore(const std::string& s, size_t i) {
    while (i > 0 && i < s.size() && (uint8_t(s[i]) & 0xC0) == 0x80)
        --i;
    return i;
}
size_t CharStartAtOrAfter(const std::string& s, size_t i) {
    while (i < s.size() && (uint8_t(s[i]) & 0xC0) == 0x80)
        ++i;
    return i;
}

std::string JoinWithBlank(const char* prefix, const std::string& name) {
    return std::string(prefix) + " " + LabelFileName(name);
}

} // namespace

void ComputeDarkFrame(const uint16_t* darkCube, int frames, size_t frameValues, uint16_t* darkFrame) {
    if (darkCube == nullptr || darkFrame == nullptr || frames < 1)
        return;
    // At least 32 bits: 25 frames of 4095 (or of 65535) cannot overflow.
    std::vector<uint64_t> sums(frameValues, 0);
    for (int f = 0; f < frames; ++f) {
        const uint16_t* frame = darkCube + size_t(f) * frameValues;
        for (size_t i = 0; i < frameValues; ++i)
            sums[i] += frame[i];
    }
    for (size_t i = 0; i < frameValues; ++i)
        darkFrame[i] = uint16_t(sums[i] / uint64_t(frames));
}

FileResult SaveDarkCubeFile(const std::string& path, const uint16_t* darkCube, const CubeGeometry& g,
                            const CubeHeaderInfo& header) {
    return SaveStack(path, darkCube, g.LineValues(), g, header, true);
}

FileResult SaveCalibrationCubeFile(const std::string& path, const uint16_t* calCube, const CubeGeometry& g,
                                   const CubeHeaderInfo& header) {
    return SaveStack(path, calCube, g.LineValues(), g, header, false);
}

FileResult SaveAutoCalibrationCubeFile(const std::string& path, const uint16_t* calCube,
                                       const CubeGeometry& g, const CubeHeaderInfo& header) {
    return SaveStack(path, calCube, size_t(g.bands) * size_t(g.width), g, header, false);
}

DarkCubeLoad LoadDarkCubeFile(const std::string& path, uint16_t* darkCube, const CubeGeometry& g) {
    DarkCubeLoad out;
    // Read-only access is all the load needs, so files without write permission load too.
    FilePtr file = Open(path, "rb");
    if (!file || darkCube == nullptr)
        return out;
    out.result = FileResult::Ok;
    const size_t frameValues = g.LineValues();
    const size_t total = size_t(std::max(g.darkLines, 0)) * frameValues;
    // Read aside: the stack changes only once the file proved to be a dark stack.
    std::vector<uint16_t> stack(total, 0);

    std::vector<uint8_t> buffer(kCubeHeaderSize);
    out.headerComplete = std::fread(buffer.data(), 1, kCubeHeaderSize, file.get()) == kCubeHeaderSize;
    if (out.headerComplete) {
        // Values in chunks of one frame; an odd last byte is not a value.
        buffer.resize(std::max<size_t>(frameValues, 1) * 2);
        size_t pending = 0; // a byte carried over from a short read
        while (out.valuesRead < total) {
            const size_t want = std::min(buffer.size(), (total - out.valuesRead) * 2) - pending;
            const size_t got = std::fread(buffer.data() + pending, 1, want, file.get());
            const size_t bytes = pending + got;
            const size_t values = bytes / 2;
            for (size_t i = 0; i < values; ++i)
                stack[out.valuesRead + i] = uint16_t(buffer[2 * i] | buffer[2 * i + 1] << 8);
            out.valuesRead += values;
            pending = bytes % 2;
            if (pending)
                buffer[0] = buffer[bytes - 1];
            if (got < want)
                break;
        }
    }
    out.framesRead = frameValues ? int(out.valuesRead / frameValues) : 0;
    for (size_t i = 0; i < out.valuesRead; ++i) {
        if (stack[i] > ValueRange::kMaxSampleValue) {
            out.result = FileResult::Refused;
            out.problem = FileNameWithoutFolder(path) +
                          " is not a dark frame file of this instrument: value " + std::to_string(i) +
                          " is " + std::to_string(stack[i]) +
                          ", above the largest sample value 4095. The dark frame is unchanged.";
            return out;
        }
    }
    std::copy(stack.begin(), stack.end(), darkCube);
    return out;
}

RadCalLoad LoadRadCalFile(const std::string& path, float* gains, size_t count) {
    RadCalLoad out;
    FilePtr file = Open(path, "rb");
    if (!file || (gains == nullptr && count > 0))
        return out;
    out.result = FileResult::Ok;
    std::vector<uint8_t> buffer(count * 4);
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    out.valuesRead = got / 4;
    std::vector<float> read(out.valuesRead);
    for (size_t i = 0; i < out.valuesRead; ++i) {
        const uint8_t* b = buffer.data() + 4 * i;
        const uint32_t bits =
            uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        std::memcpy(&read[i], &bits, 4);
        if (!(std::isfinite(read[i]) && read[i] >= 0.0f)) {
            out.result = FileResult::Refused;
            out.problem = FileNameWithoutFolder(path) + " is not a radiometric calibration file: gain " +
                          std::to_string(i) + " is " + NumberText(double(read[i])) +
                          ", not a finite number of 0 or more. No gains were loaded.";
            return out;
        }
    }
    std::copy(read.begin(), read.end(), gains);
    return out;
}

std::string FileNameWithoutFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LabelFileName(const std::string& name) {
    constexpr size_t kMax = 79;
    if (name.size() <= kMax)
        return name;
    constexpr size_t kHead = 38;
    constexpr size_t kTail = kMax - kHead - 3;
    const size_t headEnd = CharStartAtOrBefore(name, kHead);
    const size_t tailStart = CharStartAtOrAfter(name, name.size() - kTail);
    return name.substr(0, headEnd) + "..." + name.substr(tailStart);
}

std::string DarkLabelText(const std::string& fileName) {
    return JoinWithBlank("Dark Frame:", fileName);
}

std::string RadCalLabelText(const std::string& fileName) {
    return JoinWithBlank("Rad. Cal.: ", fileName);
}

CubeHeaderInfo StackHeaderInfo(const CubeGeometry& g, double exposureMs, const DefaultCalibration& calibration) {
    CubeHeaderInfo h;
    h.samples = g.height;
    h.lines = g.darkLines;
    h.bands = uint16_t(g.bands);
    h.exposureMs = exposureMs;
    h.calibration = calibration;
    h.variant = CubeHeaderVariant::Calibration;
    return h;
}
