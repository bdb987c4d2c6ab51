#include "storage/CubeWriters.h"

#include "storage/AtomicFile.h"

#include <algorithm>
#include <bit>
#include <sys/uio.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Writes 16-bit samples least significant byte first. On a little-endian host contiguous runs go
// straight from the caller's memory to the file; otherwise they pass through the byte buffer.
class SampleStream {
public:
    explicit SampleStream(AtomicFile& file) : m_file(file) {}

    void Put(const uint16_t* values, size_t count) {
        if constexpr (std::endian::native == std::endian::little) {
            Flush();
            m_file.Write(values, count * sizeof(uint16_t));
        } else {
            for (size_t i = 0; i < count; ++i)
                PutOne(values[i]);
        }
    }
    void PutOne(uint16_t v) {
        if (m_buffer.size() + 2 > kCapacity)
            Flush();
        m_buffer.push_back(uint8_t(v));
        m_buffer.push_back(uint8_t(v >> 8));
    }
    void Repeat(uint16_t v, size_t count) {
        for (size_t i = 0; i < count; ++i)
            PutOne(v);
    }
    bool Flush() {
        if (!m_buffer.empty()) {
            m_file.Write(m_buffer.data(), m_buffer.size());
            m_buffer.clear();
        }
        return !m_file.Failed();
    }
    bool Failed() const { return m_file.Failed(); }

private:
    static constexpr size_t kCapacity = size_t(256) * 1024;
    AtomicFile& m_file;
    std::vector<uint8_t> m_buffer = [] {
        std::vector<uint8_t> b;
        b.reserve(kCapacity);
        return b;
    }();
};

CubeWriteResult Failure(CubeWriteStatus status, int error) {
    return {status, error, kUnableToSaveCube};
}

bool ValidCube(const uint16_t* cube, const CubeGeometry& g) {
    return cube != nullptr && g.width >= 0 && g.height >= 0 && g.bands >= 0;
}

// Opens the file, lets `body` write through a SampleStream, commits, and turns what happened into
// the result.
template <class Body> CubeWriteResult WriteCube(const std::string& path, Body&& body) {
    AtomicFile file;
    if (!file.Open(path))
        return Failure(CubeWriteStatus::CannotOpen, file.Error());
    {
        SampleStream out(file);
        body(file, out);
        out.Flush();
    }
    if (!file.Commit())
        return Failure(CubeWriteStatus::WriteFailed, file.Error());
    return {};
}

} // namespace

CubeWriteResult WriteStandardCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& g,
                                      const uint16_t* darkFrame, const CubeHeaderInfo& header) {
    if (!ValidCube(cube, g))
        return Failure(CubeWriteStatus::InvalidArgument, EINVAL);
    CubeHeaderInfo info = header;
    info.samples = g.height;
    info.lines = g.width;
    info.bands = uint16_t(g.bands);
    info.variant = CubeHeaderVariant::Cube;
    const std::vector<uint8_t> headerBytes = BuildCubeHeader(info);
    const size_t lineValues = g.LineValues();
    return WriteCube(path, [&](AtomicFile& file, SampleStream& out) {
        file.Write(headerBytes.data(), headerBytes.size());
        if constexpr (std::endian::native == std::endian::little) {
            // The lines in reverse order, handed to the system in one gathered write.
            std::vector<struct iovec> lines(size_t(g.width));
            for (int32_t l = 0; l < g.width; ++l)
                lines[size_t(l)] = {const_cast<uint16_t*>(cube + size_t(g.width - 1 - l) * lineValues),
                                    lineValues * sizeof(uint16_t)};
            out.Flush();
            file.WriteGather(lines.data(), int(lines.size()));
        } else {
            for (int32_t l = g.width - 1; l >= 0 && !out.Failed(); --l)
                out.Put(cube + size_t(l) * lineValues, lineValues);
        }
        out.Repeat(1000, lineValues);
        if (darkFrame)
            out.Put(darkFrame, lineValues);
        else
            out.Repeat(0, lineValues);
    });
}

CubeWriteResult WriteBilCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& g) {
    if (!ValidCube(cube, g))
        return Failure(CubeWriteStatus::InvalidArgument, EINVAL);
    const size_t lineValues = g.LineValues();
    return WriteCube(path, [&](AtomicFile&, SampleStream& out) {
        out.Put(cube, size_t(g.width) * lineValues); // the lines lie in file order already
    });
}

CubeWriteResult WriteBsqCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& g) {
    if (!ValidCube(cube, g))
        return Failure(CubeWriteStatus::InvalidArgument, EINVAL);
    const size_t H = size_t(g.height);
    const size_t lineValues = g.LineValues();
    return WriteCube(path, [&](AtomicFile&, SampleStream& out) {
        // The H samples of one line and band are contiguous in the cube; gather them into a buffer
        // of about one cube line so the file sees large writes.
        std::vector<uint16_t> chunk;
        chunk.reserve(lineValues > H ? lineValues : H);
        for (int32_t b = 0; b < g.bands && !out.Failed(); ++b) {
            for (int32_t l = 0; l < g.width; ++l) {
                const uint16_t* src = cube + size_t(l) * lineValues + size_t(b) * H;
                if (chunk.size() + H > chunk.capacity()) {
                    out.Put(chunk.data(), chunk.size());
                    chunk.clear();
                }
                chunk.insert(chunk.end(), src, src + H);
            }
        }
        out.Put(chunk.data(), chunk.size());
    });
}

CubeWriteResult WriteBipCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& g) {
    if (!ValidCube(cube, g))
        return Failure(CubeWriteStatus::InvalidArgument, EINVAL);
    const size_t H = size_t(g.height);
    const size_t B = size_t(g.bands);
    const size_t lineValues = g.LineValues();
    return WriteCube(path, [&](AtomicFile&, SampleStream& out) {
        // One cube line at a time, transposed from band-major to sample-major.
        std::vector<uint16_t> line(lineValues);
        for (int32_t l = 0; l < g.width && !out.Failed(); ++l) {
            const uint16_t* src = cube + size_t(l) * lineValues;
            // Sixteen bands at a time: sixteen sequential reads, and each sample's sixteen values
            // land side by side.
            constexpr size_t kBlock = 16;
            for (size_t b0 = 0; b0 < B; b0 += kBlock) {
                const size_t nb = std::min(kBlock, B - b0);
                for (size_t p = 0; p < H; ++p) {
                    uint16_t* o = line.data() + p * B + b0;
                    const uint16_t* in = src + b0 * H + p;
                    for (size_t j = 0; j < nb; ++j)
                        o[j] = in[j * H];
                }
            }
            out.Put(line.data(), lineValues);
        }
    });
}

std::string EnsureCubeSuffix(const std::string& path) {
    const std::string_view suffix = ".cube";
    if (path.size() >= suffix.size() && std::string_view(path).substr(path.size() - suffix.size()) == suffix)
        return path;
    return path + std::string(suffix);
}

std::string EnviHeaderPath(const std::string& cubePath) {
    const std::string_view suffix = ".cube";
    std::string base = cubePath;
    if (base.size() >= suffix.size() && std::string_view(base).substr(base.size() - suffix.size()) == suffix)
        base.resize(base.size() - suffix.size());
    return base + ".hdr";
}

std::string BuildEnviHeaderText(int32_t lines, int32_t samples, int32_t bands, int32_t headerOffset,
                                std::string_view interleave, const float coeffs[3], int32_t scanStartLimit,
                                int32_t scanStopLimit) {
    std::string text;
    char buf[128];
    auto add = [&](const char* fmt, auto... args) {
        const int n = std::snprintf(buf, sizeof buf, fmt, args...);
        text.append(buf, size_t(n));
    };
    text += "ENVI\n";
    text += "description = {}\n";
    add("samples = %d\n", samples);
    add("lines   = %d\n", lines);
    add("bands   = %d\n", bands);
    add("header offset = %d\n", headerOffset);
    text += "major frame offsets = {0, 0}\n";
    text += "file type = ENVI Standard\n";
    text += "data type = 12\n";
    text += "interleave = ";
    text += ' ';
    text += interleave;
    text += '\n';
    text += "sensor type = Unknown\n";
    text += "byte order = 0\n";
    text += "wavelength units = Unknown\n\n\n";
    text += "wavelength = {\n";
    const double c0 = coeffs[0], c1 = coeffs[1], c2 = coeffs[2];
    for (int32_t i = 0; i < bands; ++i) {
        const double di = double(i);
        const double ii = double(int64_t(i) * int64_t(i));
        const double w = di * c1 + c0 + ii * c2;
        if (i > 0)
            text += ", ";
        // "%lf" of a very large value can need far more than the buffer; snprintf cuts it.
        const int n = std::snprintf(buf, sizeof buf, "%lf", w);
        if (n >= 0 && size_t(n) < sizeof buf) {
            text.append(buf, size_t(n));
        } else {
            std::vector<char> big(size_t(n) + 1);
            std::snprintf(big.data(), big.size(), "%lf", w);
            text.append(big.data(), size_t(n));
        }
    }
    text += "}\n";
    add("Scanner Limits (pixels) = %d\t%d\n", scanStartLimit, scanStopLimit);
    return text;
}

CubeWriteResult WriteEnviHeader(const std::string& cubePath, const std::string& text) {
    const std::string path = EnviHeaderPath(cubePath);
    const std::string message = "unable to open  " + path;
    AtomicFile file;
    if (!file.Open(path))
        return {CubeWriteStatus::CannotOpen, file.Error(), message};
    file.Write(text.data(), text.size());
    if (!file.Commit())
        return {CubeWriteStatus::WriteFailed, file.Error(), message};
    return {};
}

std::string ComposeCubeFileName(const std::string& prefix, double exposureMs, int32_t startLimit,
                                int32_t stopLimit, const std::tm& when) {
    // Truncate toward zero; values outside int (or NaN) are pinned instead of overflowing.
    int exposure = 0;
    if (exposureMs >= double(INT_MAX))
        exposure = INT_MAX;
    else if (exposureMs <= double(INT_MIN))
        exposure = INT_MIN;
    else if (exposureMs == exposureMs)
        exposure = int(std::trunc(exposureMs));
    char buf[160];
    const int n = std::snprintf(buf, sizeof buf, "_I%d_L%d-%d_%d-%d-%d_%d.%d.%d.cube", exposure, startLimit,
                                stopLimit, when.tm_mday, when.tm_mon + 1, when.tm_year + 1900, when.tm_hour,
                                when.tm_min, when.tm_sec);
    return prefix + std::string(buf, size_t(n));
}

std::tm CurrentLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}
