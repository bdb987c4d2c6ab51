#include "storage/CubeReaders.h"

#include "core/Text.h"
#include "storage/CubeHeader.h"
#include "storage/CubeWriters.h"
#include "storage/LineRecordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>

namespace {

std::string FileName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? path : name;
}

std::string Geometry(const CubeGeometry& g) {
    return std::to_string(g.height) + " samples x " + std::to_string(g.width) + " lines x " +
           std::to_string(g.bands) + " bands";
}

bool ToInt(std::string_view s, int64_t& v) {
    s = TrimSpace(s);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

const char* DataTypeName(int64_t type) {
    switch (type) {
    case 1:
        return "8-bit";
    case 2:
        return "signed 16-bit";
    case 3:
        return "signed 32-bit";
    case 4:
        return "32-bit float";
    case 5:
        return "64-bit float";
    case 6:
        return "complex";
    case 9:
        return "double complex";
    case 12:
        return "unsigned 16-bit";
    case 13:
        return "unsigned 32-bit";
    case 14:
        return "signed 64-bit";
    case 15:
        return "unsigned 64-bit";
    default:
        return "unknown type";
    }
}

// A file opened for reading whose size was taken when it was opened; reads never go past it.
class InputFile {
public:
    ~InputFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Open(const std::string& path, std::string& error) {
        m_path = path;
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            error = "Unable to open cube file " + path + ": " + std::strerror(errno);
            return false;
        }
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error = "Unable to open cube file " + path + ": it is not a file";
            return false;
        }
        m_size = uint64_t(st.st_size);
        return true;
    }
    uint64_t Size() const { return m_size; }
    // Reads exactly n bytes from the current position; false (with a message) when the file ends
    // first or a read fails.
    bool Read(void* data, size_t n, std::string& error) {
        if (m_position + n > m_size) {
            error = FileName(m_path) + " ended before all of it could be read";
            return false;
        }
        auto* p = static_cast<uint8_t*>(data);
        size_t done = 0;
        while (done < n) {
            const ssize_t got = ::read(m_fd, p + done, n - done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                error = got == 0 ? FileName(m_path) + " became shorter while it was read"
                                 : "Unable to read " + FileName(m_path) + ": " + std::strerror(errno);
                return false;
            }
            done += size_t(got);
        }
        m_position += n;
        return true;
    }
    bool Skip(uint64_t n, std::string& error) {
        if (m_position + n > m_size) {
            error = FileName(m_path) + " ended before all of it could be read";
            return false;
        }
        if (::lseek(m_fd, off_t(m_position + n), SEEK_SET) < 0) {
            error = "Unable to read " + FileName(m_path) + ": " + std::strerror(errno);
            return false;
        }
        m_position += n;
        return true;
    }

private:
    std::string m_path;
    int m_fd = -1;
    uint64_t m_size = 0;
    uint64_t m_position = 0;
};

// Values as the file holds them (least significant byte first unless bigEndian) into host order.
void FromFileOrder(uint16_t* values, size_t n, bool bigEndian) {
    const bool hostBig = std::endian::native == std::endian::big;
    if (bigEndian == hostBig)
        return;
    for (size_t i = 0; i < n; ++i)
        values[i] = uint16_t(values[i] << 8 | values[i] >> 8);
}

// The size check every reader makes before reading a value.
bool SizeMatches(const std::string& path, uint64_t size, uint64_t expected, const CubeGeometry& g,
                 std::string& error) {
    if (size == expected)
        return true;
    const std::string sizes = std::to_string(size) + " bytes where a cube of " + Geometry(g) +
                              " in this format has " + std::to_string(expected);
    error = size < expected ? FileName(path) + " is truncated: " + sizes
                            : FileName(path) + " is longer than a cube: " + sizes;
    return false;
}

bool ReadText(const std::string& path, size_t limit, std::string& text, std::string& error) {
    InputFile file;
    if (!file.Open(path, error))
        return false;
    if (file.Size() > limit) {
        error =
            FileName(path) + " is too long for an ENVI header (" + std::to_string(file.Size()) + " bytes)";
        return false;
    }
    text.resize(size_t(file.Size()));
    return file.Read(text.data(), text.size(), error);
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

bool EndsWith(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() && std::string_view(s).substr(s.size() - suffix.size()) == suffix;
}

// Whether the file starts with the standard header's version text.
bool StartsAsStandard(const std::string& path) {
    InputFile file;
    std::string error;
    char head[kCubeHeaderVersionSize];
    return file.Open(path, error) && file.Size() >= sizeof head && file.Read(head, sizeof head, error) &&
           std::memcmp(head, kCubeHeaderVersion, sizeof head) == 0;
}

} // namespace

int CountListEntries(std::string_view list) {
    int n = 0;
    while (true) {
        const size_t comma = list.find(',');
        if (!TrimSpace(list.substr(0, comma)).empty())
            ++n;
        if (comma == std::string_view::npos)
            return n;
        list.remove_prefix(comma + 1);
    }
}

bool ParseEnviHeader(std::string_view text, EnviHeader& header, std::string& error) {
    size_t pos = 0;
    auto nextLine = [&](std::string_view& line) {
        if (pos >= text.size())
            return false;
        const size_t end = text.find('\n', pos);
        line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? text.size() : end + 1;
        return true;
    };
    std::string_view line;
    if (!nextLine(line) || TrimSpace(line) != "ENVI") {
        error = "it does not start with \"ENVI\"";
        return false;
    }
    std::map<std::string, std::string> fields;
    while (nextLine(line)) {
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue; // blank lines, comments
        const std::string key = AsciiLower(TrimSpace(line.substr(0, eq)));
        std::string_view value = line.substr(eq + 1);
        const std::string_view trimmed = TrimSpace(value);
        if (!trimmed.empty() && trimmed.front() == '{') {
            // A list: everything up to the closing brace, over as many lines as it takes.
            const size_t open = size_t(trimmed.data() - text.data()) + 1;
            const size_t close = text.find('}', open);
            if (close == std::string_view::npos) {
                error = "the value of \"" + key + "\" has no closing brace";
                return false;
            }
            fields[key] = std::string(text.substr(open, close - open));
            const size_t end = text.find('\n', close);
            pos = end == std::string_view::npos ? text.size() : end + 1;
        } else {
            fields[key] = std::string(trimmed);
        }
    }
    EnviHeader h;
    struct Number {
        const char* key;
        int64_t* value;
        bool required;
    };
    const Number numbers[] = {{"samples", &h.samples, true},
                              {"lines", &h.lines, true},
                              {"bands", &h.bands, true},
                              {"data type", &h.dataType, true},
                              {"header offset", &h.headerOffset, false},
                              {"byte order", &h.byteOrder, false}};
    for (const Number& n : numbers) {
        auto it = fields.find(n.key);
        if (it == fields.end()) {
            if (n.required) {
                error = std::string("it gives no \"") + n.key + "\"";
                return false;
            }
            continue;
        }
        if (!ToInt(it->second, *n.value)) {
            error = std::string("its \"") + n.key + "\" is not a whole number (\"" + it->second + "\")";
            return false;
        }
    }
    auto it = fields.find("interleave");
    if (it == fields.end()) {
        error = "it gives no \"interleave\"";
        return false;
    }
    h.interleave = AsciiLower(TrimSpace(it->second));
    it = fields.find("wavelength");
    if (it != fields.end()) {
        std::string_view list = it->second;
        if (!list.empty() && list.front() == '\r')
            list.remove_prefix(1);
        if (!list.empty() && list.front() == '\n')
            list.remove_prefix(1);
        h.wavelengths = std::string(list);
    }
    it = fields.find("scanner limits (pixels)");
    if (it != fields.end()) {
        std::string_view v = TrimSpace(it->second);
        const size_t gap = v.find_first_of(" \t");
        int64_t a = 0, b = 0;
        if (gap != std::string_view::npos && ToInt(v.substr(0, gap), a) && ToInt(v.substr(gap), b) &&
            a >= INT32_MIN && a <= INT32_MAX && b >= INT32_MIN && b <= INT32_MAX)
            h.scannerLimits = std::pair{int32_t(a), int32_t(b)};
    }
    header = h;
    return true;
}

CubeReadResult ReadStandardCubeFile(const std::string& path, const CubeGeometry& g, OpenedCube& out) {
    CubeReadResult r;
    InputFile file;
    if (!file.Open(path, r.message))
        return r;
    const size_t lineValues = g.LineValues();
    const uint64_t expected = kCubeHeaderSize + uint64_t(g.width + 2) * lineValues * 2;
    std::vector<uint8_t> headerBytes(kCubeHeaderSize);
    if (file.Size() < kCubeHeaderSize) {
        SizeMatches(path, file.Size(), expected, g, r.message);
        return r;
    }
    if (!file.Read(headerBytes.data(), headerBytes.size(), r.message))
        return r;
    CubeHeaderInfo info;
    if (!ParseCubeHeader(headerBytes.data(), info)) {
        r.message = FileName(path) + " is not a cube of the program's own format (it does not start with \"" +
                    std::string(kCubeHeaderVersion, kCubeHeaderVersionSize) + "\")";
        return r;
    }
    if (info.samples != g.height || info.lines != g.width || info.bands != g.bands) {
        r.message = FileName(path) + " holds " + std::to_string(info.samples) + " samples x " +
                    std::to_string(info.lines) + " lines x " + std::to_string(info.bands) +
                    " bands (so its header says); only cubes of " + Geometry(g) + " can be opened";
        return r;
    }
    if (!SizeMatches(path, file.Size(), expected, g, r.message))
        return r;
    // Lines stored last-first: the file's first line is cube line W-1.
    std::vector<uint16_t> cube(g.CubeValues());
    for (int32_t i = 0; i < g.width; ++i) {
        uint16_t* line = cube.data() + size_t(g.width - 1 - i) * lineValues;
        if (!file.Read(line, lineValues * 2, r.message))
            return r;
    }
    FromFileOrder(cube.data(), cube.size(), false);
    // A frame of 1000s, then the dark frame.
    std::vector<uint16_t> dark(lineValues);
    if (!file.Skip(lineValues * 2, r.message) || !file.Read(dark.data(), lineValues * 2, r.message))
        return r;
    FromFileOrder(dark.data(), dark.size(), false);

    OpenedCube opened;
    opened.format = CubeFileFormat::Standard;
    opened.dataPath = path;
    opened.cube = std::move(cube);
    opened.darkFrame = std::move(dark);
    opened.metadata.exposureMs = info.exposureMs;
    opened.metadata.calibration = info.calibration;
    // The ENVI header beside it, when there is one, keeps the scan limits.
    const std::string hdr = EnviHeaderPath(path);
    std::string text, ignored;
    EnviHeader envi;
    if (Exists(hdr) && ReadText(hdr, kMaxEnviHeaderBytes, text, ignored) &&
        ParseEnviHeader(text, envi, ignored)) {
        opened.headerPath = hdr;
        opened.metadata.scanLimits = envi.scannerLimits;
    }
    out = std::move(opened);
    r.ok = true;
    return r;
}

CubeReadResult ReadEnviCubeFile(const std::string& headerPath, const std::string& dataPath,
                                const CubeGeometry& g, OpenedCube& out) {
    CubeReadResult r;
    std::string text;
    if (!ReadText(headerPath, kMaxEnviHeaderBytes, text, r.message))
        return r;
    EnviHeader h;
    std::string why;
    if (!ParseEnviHeader(text, h, why)) {
        r.message = FileName(headerPath) + " is not an ENVI header that can be read: " + why;
        return r;
    }
    if (h.samples != g.height || h.lines != g.width || h.bands != g.bands || h.dataType != 12) {
        r.message = FileName(headerPath) + " describes " + std::to_string(h.samples) + " samples x " +
                    std::to_string(h.lines) + " lines x " + std::to_string(h.bands) + " bands of data type " +
                    std::to_string(h.dataType) + " (" + DataTypeName(h.dataType) + "); only cubes of " +
                    Geometry(g) + " of data type 12 (unsigned 16-bit) can be opened";
        return r;
    }
    CubeFileFormat format;
    if (h.interleave == "bil")
        format = CubeFileFormat::Bil;
    else if (h.interleave == "bsq")
        format = CubeFileFormat::Bsq;
    else if (h.interleave == "bip")
        format = CubeFileFormat::Bip;
    else {
        r.message = FileName(headerPath) + " gives the interleave \"" + h.interleave +
                    "\"; only bil, bsq and bip can be read";
        return r;
    }
    if (h.byteOrder != 0 && h.byteOrder != 1) {
        r.message = FileName(headerPath) + " gives the byte order " + std::to_string(h.byteOrder) +
                    "; only 0 and 1 exist";
        return r;
    }
    if (h.headerOffset < 0 || h.headerOffset > int64_t(1) << 40) {
        r.message = FileName(headerPath) + " gives the header offset " + std::to_string(h.headerOffset);
        return r;
    }
    InputFile file;
    if (!file.Open(dataPath, r.message))
        return r;
    const size_t W = size_t(g.width), H = size_t(g.height), B = size_t(g.bands), lineValues = g.LineValues();
    if (!SizeMatches(dataPath, file.Size(), uint64_t(h.headerOffset) + g.CubeValues() * 2, g, r.message) ||
        !file.Skip(uint64_t(h.headerOffset), r.message))
        return r;
    const bool bigEndian = h.byteOrder == 1;
    std::vector<uint16_t> cube(g.CubeValues());
    switch (format) {
    case CubeFileFormat::Bil:
    case CubeFileFormat::Standard:
        // The file's order is the cube's.
        if (!file.Read(cube.data(), cube.size() * 2, r.message))
            return r;
        FromFileOrder(cube.data(), cube.size(), bigEndian);
        break;
    case CubeFileFormat::Bsq: {
        // Band by band, within a band line by line: one band of every line at a time.
        std::vector<uint16_t> plane(W * H);
        for (size_t b = 0; b < B; ++b) {
            if (!file.Read(plane.data(), plane.size() * 2, r.message))
                return r;
            FromFileOrder(plane.data(), plane.size(), bigEndian);
            for (size_t l = 0; l < W; ++l)
                std::copy_n(plane.begin() + ptrdiff_t(l * H), H,
                            cube.begin() + ptrdiff_t(l * lineValues + b * H));
        }
        break;
    }
    case CubeFileFormat::Bip: {
        // Line by line, within a line sample by sample: one line at a time, transposed.
        std::vector<uint16_t> line(lineValues);
        for (size_t l = 0; l < W; ++l) {
            if (!file.Read(line.data(), line.size() * 2, r.message))
                return r;
            FromFileOrder(line.data(), line.size(), bigEndian);
            uint16_t* dst = cube.data() + l * lineValues;
            for (size_t p = 0; p < H; ++p)
                for (size_t b = 0; b < B; ++b)
                    dst[b * H + p] = line[p * B + b];
        }
        break;
    }
    }
    OpenedCube opened;
    opened.format = format;
    opened.dataPath = dataPath;
    opened.headerPath = headerPath;
    opened.cube = std::move(cube);
    opened.metadata.scanLimits = h.scannerLimits;
    if (CountListEntries(h.wavelengths) == g.bands)
        opened.metadata.wavelengthList = h.wavelengths;
    out = std::move(opened);
    r.ok = true;
    return r;
}

namespace {
CubeReadResult ReadCubeAndRecord(const std::string& path, const CubeGeometry& g, OpenedCube& out);
} // namespace

CubeReadResult ReadCubeFile(const std::string& path, const CubeGeometry& g, OpenedCube& out) {
    const CubeReadResult r = ReadCubeAndRecord(path, g, out);
    // The record of the cube's lines goes with it.
    if (r) {
        if (auto text = ReadLineRecordFile(LineRecordPath(out.dataPath)))
            out.metadata.lineRecordText = std::move(*text);
    }
    return r;
}

namespace {
CubeReadResult ReadCubeAndRecord(const std::string& path, const CubeGeometry& g, OpenedCube& out) {
    CubeReadResult r;
    if (EndsWith(path, ".hdr")) {
        // The header was chosen: its body lies beside it.
        const std::string base = path.substr(0, path.size() - 4);
        for (const char* ext : {".cube", "", ".img", ".dat", ".raw"}) {
            const std::string data = base + ext;
            if (!Exists(data))
                continue;
            return StartsAsStandard(data) ? ReadStandardCubeFile(data, g, out)
                                          : ReadEnviCubeFile(path, data, g, out);
        }
        r.message =
            "No cube file lies beside " + FileName(path) + " (looked for " + FileName(base) + ".cube)";
        return r;
    }
    InputFile file;
    if (!file.Open(path, r.message))
        return r;
    if (StartsAsStandard(path))
        return ReadStandardCubeFile(path, g, out);
    const std::string withoutExtension = std::filesystem::path(path).replace_extension().string();
    for (const std::string& hdr : {EnviHeaderPath(path), path + ".hdr", withoutExtension + ".hdr"})
        if (Exists(hdr))
            return ReadEnviCubeFile(hdr, path, g, out);
    r.message = FileName(path) + " is not a cube of the program's own format, and no ENVI header (" +
                FileName(EnviHeaderPath(path)) + ") lies beside it";
    return r;
}
} // namespace
