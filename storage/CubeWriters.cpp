#include "storage/CubeWriters.h"

#include "storage/AtomicFile.h"

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Size of a chunk of a reordered body: few and large writes (each write costs the system tens of
// microseconds besides the copy), and the chunks in flight stay in the processors' caches.
constexpr size_t kChunkBytes = size_t(1) << 20;
// Chunks held at once: the one being written and the one being filled. More let the helper run
// further ahead, but measured no faster (the chunks then leave the processor's own cache).
constexpr size_t kChunkBuffers = 2;

// Writes a body made of `chunks` chunks of at most `capacity` values; fill(k, buffer, worker) puts
// chunk k into buffer and returns its number of values. It runs on two threads at once (for
// different chunks): worker is 0 on the writing thread and 1 on the helper, so each can keep its
// own scratch memory. Reordering the values costs about as much as the system's copy into the
// file, so a helper thread fills the next chunk while this thread writes the one before
// (kChunkBuffers buffers, nothing else held). This thread fills a chunk itself whenever the helper
// has not taken it yet, so a busy machine that leaves the helper no processor costs nothing; the
// same happens when no helper thread can be started. A failed write ends both.
template <class Fill> void WriteInChunks(SampleStream& out, size_t chunks, size_t capacity, Fill fill) {
    const size_t held = std::min(kChunkBuffers, std::max<size_t>(chunks, 1));
    // Every chunk is filled in full before it is written, so the buffers need no zeroing.
    std::array<std::unique_ptr<uint16_t[]>, kChunkBuffers> buffers;
    for (size_t i = 0; i < held; ++i)
        buffers[i] = std::make_unique_for_overwrite<uint16_t[]>(capacity);
    std::array<size_t, kChunkBuffers> sizes{};
    std::array<size_t, kChunkBuffers> holds{}; // 1 + the chunk each buffer holds, 0 for none
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;    // the next chunk to be taken by either thread
    size_t written = 0; // chunks written so far
    bool stop = false;
    auto fillChunk = [&](size_t k, int worker) {
        const size_t n = fill(k, buffers[k % held].get(), worker);
        {
            std::lock_guard lock(mutex);
            sizes[k % held] = n;
            holds[k % held] = k + 1;
        }
        changed.notify_all();
    };
    auto helper = [&] {
        for (;;) {
            size_t k;
            {
                // Chunk k goes into the buffer of chunk k - held, which must have been written.
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || next >= chunks || next < written + held; });
                if (stop || next >= chunks)
                    return;
                k = next++;
            }
            fillChunk(k, 1);
        }
    };
    std::thread filler;
    try {
        if (chunks > 1)
            filler = std::thread(helper);
    } catch (const std::system_error&) {
    }
    for (size_t k = 0; k < chunks; ++k) {
        bool mine = false;
        {
            std::unique_lock lock(mutex);
            if (next == k) {
                next = k + 1;
                mine = true;
            }
        }
        if (mine)
            fillChunk(k, 0);
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return holds[k % held] == k + 1; });
        }
        out.Put(buffers[k % held].get(), sizes[k % held]);
        const bool failed = out.Failed();
        {
            std::lock_guard lock(mutex);
            written = k + 1;
            stop = failed;
        }
        changed.notify_all();
        if (failed)
            break;
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    if (filler.joinable())
        filler.join();
}

// One cube line from band-major (band b, sample p at b*H + p) to sample-major (p*B + b). Eight
// bands by eight samples at a time: eight sequential reads become eight runs of eight values, each
// sample's bands side by side. Bands and samples beyond a multiple of eight go one by one.
void TransposeLineToBip(const uint16_t* line, size_t H, size_t B, uint16_t* out) {
    const size_t H8 = H - H % 8, B8 = B - B % 8;
#if defined(__SSE2__)
    for (size_t p = 0; p < H8; p += 8) {
        for (size_t b = 0; b < B8; b += 8) {
            const uint16_t* in = line + b * H + p;
            const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + H));
            const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * H));
            const __m128i a3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * H));
            const __m128i a4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * H));
            const __m128i a5 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 5 * H));
            const __m128i a6 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 6 * H));
            const __m128i a7 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 7 * H));
            // Pairs of bands, then quadruples, then all eight: r_k holds sample p+k of the eight bands.
            const __m128i t0 = _mm_unpacklo_epi16(a0, a1), t1 = _mm_unpackhi_epi16(a0, a1);
            const __m128i t2 = _mm_unpacklo_epi16(a2, a3), t3 = _mm_unpackhi_epi16(a2, a3);
            const __m128i t4 = _mm_unpacklo_epi16(a4, a5), t5 = _mm_unpackhi_epi16(a4, a5);
            const __m128i t6 = _mm_unpacklo_epi16(a6, a7), t7 = _mm_unpackhi_epi16(a6, a7);
            const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
            const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
            const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
            const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
            uint16_t* o = out + p * B + b;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi64(u0, u4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + B), _mm_unpackhi_epi64(u0, u4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2 * B), _mm_unpacklo_epi64(u1, u5));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 3 * B), _mm_unpackhi_epi64(u1, u5));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4 * B), _mm_unpacklo_epi64(u2, u6));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 5 * B), _mm_unpackhi_epi64(u2, u6));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 6 * B), _mm_unpacklo_epi64(u3, u7));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 7 * B), _mm_unpackhi_epi64(u3, u7));
        }
    }
#else
    for (size_t p = 0; p < H8; p += 8)
        for (size_t b = 0; b < B8; b += 8)
            for (size_t j = 0; j < 8; ++j)
                for (size_t k = 0; k < 8; ++k)
                    out[(p + k) * B + b + j] = line[(b + j) * H + p + k];
#endif
    // The bands beyond the last block of eight, for the samples done above.
    for (size_t p = 0; p < H8; ++p)
        for (size_t b = B8; b < B; ++b)
            out[p * B + b] = line[b * H + p];
    // The samples beyond the last block of eight, every band.
    for (size_t p = H8; p < H; ++p)
        for (size_t b = 0; b < B; ++b)
            out[p * B + b] = line[b * H + p];
}

CubeWriteResult Failure(CubeWriteStatus status, int error) {
    return {status, error, kUnableToSaveCube};
}

bool ValidCube(const uint16_t* cube, const CubeGeometry& g) {
    return cube != nullptr && g.width >= 0 && g.height >= 0 && g.bands >= 0;
}

// Opens the file, reserves room for its `bytes`, lets `body` write them through a SampleStream,
// commits, and turns what happened into the result.
template <class Body> CubeWriteResult WriteCube(const std::string& path, uint64_t bytes, Body&& body) {
    AtomicFile file;
    if (!file.Open(path))
        return Failure(CubeWriteStatus::CannotOpen, file.Error());
    file.Reserve(bytes);
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
    const uint64_t bytes = headerBytes.size() + (uint64_t(g.width) + 2) * lineValues * sizeof(uint16_t);
    return WriteCube(path, bytes, [&](AtomicFile& file, SampleStream& out) {
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
    return WriteCube(path, g.CubeValues() * sizeof(uint16_t), [&](AtomicFile&, SampleStream& out) {
        out.Put(cube, size_t(g.width) * lineValues); // the lines lie in file order already
    });
}

CubeWriteResult WriteBsqCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& g) {
    if (!ValidCube(cube, g))
        return Failure(CubeWriteStatus::InvalidArgument, EINVAL);
    const size_t H = size_t(g.height);
    const size_t W = size_t(g.width);
    const size_t lineValues = g.LineValues();
    return WriteCube(path, g.CubeValues() * sizeof(uint16_t), [&](AtomicFile&, SampleStream& out) {
        // The body is the pieces (band b, line l) of H values in the order b, then l; each lies
        // together in the cube. A chunk is a run of whole pieces.
        const size_t pieces = W * size_t(g.bands);
        if (H == 0 || pieces == 0)
            return;
        const size_t perChunk = std::max<size_t>(1, kChunkBytes / (H * sizeof(uint16_t)));
        const size_t chunks = (pieces + perChunk - 1) / perChunk;
        WriteInChunks(out, chunks, perChunk * H, [&](size_t k, uint16_t* buffer, int) {
            const size_t first = k * perChunk, end = std::min(pieces, first + perChunk);
            for (size_t i = first; i < end; ++i) {
                const size_t b = i / W, l = i % W;
                std::memcpy(buffer + (i - first) * H, cube + l * lineValues + b * H, H * sizeof(uint16_t));
            }
            return (end - first) * H;
        });
    });
}

CubeWriteResult WriteBipCubeFile(const std::string& path, const uint16_t* cube, const CubeGeometry& g) {
    if (!ValidCube(cube, g))
        return Failure(CubeWriteStatus::InvalidArgument, EINVAL);
    const size_t H = size_t(g.height);
    const size_t B = size_t(g.bands);
    const size_t W = size_t(g.width);
    const size_t lineValues = g.LineValues();
    return WriteCube(path, g.CubeValues() * sizeof(uint16_t), [&](AtomicFile&, SampleStream& out) {
        if (lineValues == 0 || W == 0)
            return;
        // A chunk is a run of whole lines, each transposed from band-major to sample-major. A line
        // is first copied as it lies (one sequential read of memory), then transposed from the
        // cache: reading it in place would walk 128 rows at once, which memory serves far slower.
        const size_t perChunk = std::max<size_t>(1, kChunkBytes / (lineValues * sizeof(uint16_t)));
        const size_t chunks = (W + perChunk - 1) / perChunk;
        // Both threads fill chunks, each with its own copy of the line (allocated here, so that
        // no allocation can fail on the helper thread).
        const std::array<std::unique_ptr<uint16_t[]>, 2> lines{
            std::make_unique_for_overwrite<uint16_t[]>(lineValues),
            std::make_unique_for_overwrite<uint16_t[]>(lineValues)};
        WriteInChunks(out, chunks, perChunk * lineValues, [&](size_t k, uint16_t* buffer, int worker) {
            uint16_t* line = lines[size_t(worker)].get();
            const size_t first = k * perChunk, end = std::min(W, first + perChunk);
            for (size_t l = first; l < end; ++l) {
                std::memcpy(line, cube + l * lineValues, lineValues * sizeof(uint16_t));
                TransposeLineToBip(line, H, B, buffer + (l - first) * lineValues);
            }
            return (end - first) * lineValues;
        });
    });
}

CubeWriteResult WriteFloatBilCubeFile(const std::string& path, const CubeGeometry& g,
                                      const std::function<void(int line, float* values)>& line) {
    if (!line || g.width < 0 || g.height < 0 || g.bands < 0)
        return Failure(CubeWriteStatus::InvalidArgument, EINVAL);
    const size_t lineValues = g.LineValues();
    return WriteCube(path, uint64_t(g.width) * lineValues * sizeof(float),
                     [&](AtomicFile& file, SampleStream&) {
                         std::vector<float> values(lineValues);
                         std::vector<uint8_t> bytes(lineValues * sizeof(float));
                         for (int l = 0; l < g.width && !file.Failed(); ++l) {
                             line(l, values.data());
                             // IEEE single precision, least significant byte first whatever the host.
                             for (size_t i = 0; i < lineValues; ++i) {
                                 uint32_t bits = 0;
                                 std::memcpy(&bits, &values[i], sizeof bits);
                                 uint8_t* b = &bytes[4 * i];
                                 b[0] = uint8_t(bits);
                                 b[1] = uint8_t(bits >> 8);
                                 b[2] = uint8_t(bits >> 16);
                                 b[3] = uint8_t(bits >> 24);
                             }
                             file.Write(bytes.data(), bytes.size());
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

namespace {
// The header's lines; description is what stands between the braces of its second line.
std::string EnviHeaderText(int32_t lines, int32_t samples, int32_t bands, int32_t headerOffset, int dataType,
                           std::string_view description, std::string_view interleave, const float coeffs[3],
                           int32_t scanStartLimit, int32_t scanStopLimit, std::string_view wavelengthList) {
    std::string text;
    char buf[128];
    auto add = [&](const char* fmt, auto... args) {
        const int n = std::snprintf(buf, sizeof buf, fmt, args...);
        text.append(buf, size_t(n));
    };
    text += "ENVI\n";
    text += "description = {";
    text += description;
    text += "}\n";
    add("samples = %d\n", samples);
    add("lines   = %d\n", lines);
    add("bands   = %d\n", bands);
    add("header offset = %d\n", headerOffset);
    text += "major frame offsets = {0, 0}\n";
    text += "file type = ENVI Standard\n";
    add("data type = %d\n", dataType);
    text += "interleave = ";
    text += ' ';
    text += interleave;
    text += '\n';
    text += "sensor type = Unknown\n";
    text += "byte order = 0\n";
    text += "wavelength units = Unknown\n\n\n";
    text += "wavelength = {\n";
    const double c0 = coeffs[0], c1 = coeffs[1], c2 = coeffs[2];
    if (!wavelengthList.empty())
        text += wavelengthList;
    for (int32_t i = 0; wavelengthList.empty() && i < bands; ++i) {
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
} // namespace

std::string BuildEnviHeaderText(int32_t lines, int32_t samples, int32_t bands, int32_t headerOffset,
                                std::string_view interleave, const float coeffs[3], int32_t scanStartLimit,
                                int32_t scanStopLimit, std::string_view wavelengthList) {
    return EnviHeaderText(lines, samples, bands, headerOffset, 12, {}, interleave, coeffs, scanStartLimit,
                          scanStopLimit, wavelengthList);
}

std::string BuildFloatEnviHeaderText(int32_t lines, int32_t samples, int32_t bands,
                                     std::string_view description, const float coeffs[3],
                                     int32_t scanStartLimit, int32_t scanStopLimit,
                                     std::string_view wavelengthList) {
    // Braces and line ends would end the description early: they become blanks.
    std::string clean(description);
    for (char& c : clean)
        if (c == '{' || c == '}' || c == '\n' || c == '\r')
            c = ' ';
    return EnviHeaderText(lines, samples, bands, 0, 4, clean, kInterleaveBil, coeffs, scanStartLimit,
                          scanStopLimit, wavelengthList);
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
