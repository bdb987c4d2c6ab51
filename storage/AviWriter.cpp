#include "storage/AviWriter.h"

#include <algorithm>
#include <cstring>

namespace {

// File layout written here (offsets in bytes):
//   0   RIFF <size> AVI
//   12  LIST <size> hdrl
//   24    avih <56>  main header
//   88    LIST <size> strl          (only once a frame fixed the format)
//   100     strh <56> stream header
//   164     strf <40> BITMAPINFOHEADER
//   212 LIST <size> movi            (148 without the stream list)
//         00db <imageSize> frame ...
//       idx1 <16 * frames>           ('00db', AVIIF_KEYFRAME, offset from 'movi', size)
constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyFrame = 0x10;
constexpr uint32_t kMainHeaderSize = 56;
constexpr uint32_t kStreamHeaderSize = 56;
constexpr uint32_t kBitmapInfoSize = 40;

class Bytes {
public:
    explicit Bytes(std::vector<uint8_t>& out) : m_out(out) {}
    void FourCC(const char* s) {
        for (int i = 0; i < 4; ++i)
            m_out.push_back(uint8_t(s[i]));
    }
    void U16(uint16_t v) {
        m_out.push_back(uint8_t(v));
        m_out.push_back(uint8_t(v >> 8));
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            m_out.push_back(uint8_t(v >> (8 * i)));
    }

private:
    std::vector<uint8_t>& m_out;
};

uint32_t Clamp32(uint64_t v) {
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
}

} // namespace

AviWriter::~AviWriter() {
    Close();
}

AviResult AviWriter::MarkFailed(AviResult code) {
    if (!m_failed) {
        m_failed = true;
        m_firstError = code;
    }
    return code;
}

AviResult AviWriter::Create(const std::string& path, uint32_t periodMs) {
    Close();
    m_period = periodMs;
    m_streamCreated = false;
    m_width = m_height = m_imageSize = 0;
    m_frameCount = 0;
    m_failed = false;
    m_firstError = AVIERR_OK;
    m_moviStart = 0;
    m_index.clear();
    if (periodMs == 0)
        return AVIERR_BADPARAM;
    if (!m_file.Open(path))
        return AVIERR_FILEOPEN;
    return AVIERR_OK;
}

std::vector<uint8_t> AviWriter::BuildHeaders() const {
    std::vector<uint8_t> out;
    Bytes w(out);
    const uint32_t strlSize = m_streamCreated ? 4 + (8 + kStreamHeaderSize) + (8 + kBitmapInfoSize) : 0;
    const uint32_t hdrlSize = 4 + (8 + kMainHeaderSize) + (m_streamCreated ? 8 + strlSize : 0);
    const uint64_t moviSize = 4 + uint64_t(m_frameCount) * (8 + uint64_t(m_imageSize));
    const uint64_t idx1Size = 16 * uint64_t(m_frameCount);
    const uint64_t riffSize = 4 + (8 + hdrlSize) + (8 + moviSize) + (8 + idx1Size);

    w.FourCC("RIFF");
    w.U32(Clamp32(riffSize));
    w.FourCC("AVI ");
    w.FourCC("LIST");
    w.U32(hdrlSize);
    w.FourCC("hdrl");

    w.FourCC("avih");
    w.U32(kMainHeaderSize);
    w.U32(Clamp32(uint64_t(m_period) * 1000));                             // microseconds per frame
    w.U32(Clamp32(uint64_t(m_imageSize) * 1000 / std::max(m_period, 1u))); // max bytes per second
    w.U32(0);                                                              // padding granularity
    w.U32(kAvifHasIndex);
    w.U32(m_frameCount);
    w.U32(0); // initial frames
    w.U32(m_streamCreated ? 1 : 0);
    w.U32(m_imageSize); // suggested buffer size
    w.U32(m_width);
    w.U32(m_height);
    for (int i = 0; i < 4; ++i)
        w.U32(0);

    if (m_streamCreated) {
        w.FourCC("LIST");
        w.U32(strlSize);
        w.FourCC("strl");
        w.FourCC("strh");
        w.U32(kStreamHeaderSize);
        w.FourCC("vids");
        w.FourCC("DIB ");
        w.U32(0); // flags
        w.U16(0); // priority
        w.U16(0); // language
        w.U32(0); // initial frames
        w.U32(m_period);
        w.U32(1000);
        w.U32(0); // start
        w.U32(m_frameCount);
        w.U32(m_imageSize);
        w.U32(0xFFFFFFFFu); // quality: default
        w.U32(0);           // sample size: varies (video)
        w.U16(0);
        w.U16(0);
        w.U16(uint16_t(m_width));
        w.U16(uint16_t(m_height));

        w.FourCC("strf");
        w.U32(kBitmapInfoSize);
        w.U32(kBitmapInfoSize);
        w.U32(m_width);
        w.U32(m_height); // positive: bottom-up rows
        w.U16(1);        // planes
        w.U16(24);
        w.U32(0); // BI_RGB
        w.U32(m_imageSize);
        for (int i = 0; i < 4; ++i)
            w.U32(0);
    }

    w.FourCC("LIST");
    w.U32(Clamp32(moviSize));
    w.FourCC("movi");
    return out;
}

AviResult AviWriter::AddFrame(const DibView& frame) {
    if (!m_file.IsOpen())
        return AVIERR_BADHANDLE;
    if (frame.bits == nullptr)
        return AVIERR_BADPARAM;
    if (m_failed)
        return AVIERR_ERROR;

    const size_t stride = DibStride(frame.width);
    if (!m_streamCreated) {
        if (frame.bitCount != 24)
            return MarkFailed(AVIERR_BADFORMAT);
        const uint64_t imageSize = uint64_t(stride) * frame.height;
        if (frame.width == 0 || frame.height == 0 || frame.width > 0x7FFF || frame.height > 0x7FFF ||
            imageSize > 0x7FFFFFFFu || frame.stride < size_t(3) * frame.width)
            return MarkFailed(AVIERR_BADPARAM);
        m_width = frame.width;
        m_height = frame.height;
        m_imageSize = uint32_t(imageSize);
        m_streamCreated = true;
        // Headers with the final layout; the counts and sizes are filled in by Close().
        const std::vector<uint8_t> headers = BuildHeaders();
        if (!m_file.Write(headers.data(), headers.size()))
            return MarkFailed(AVIERR_FILEWRITE);
        m_moviStart = m_file.Size() - 4;
    }
    if (frame.bitCount != 24 || frame.width != m_width || frame.height != m_height ||
        frame.stride < size_t(3) * frame.width)
        return MarkFailed(AVIERR_BADSIZE);

    // RIFF sizes are 32-bit: refuse a frame that would take the finished file past them.
    const uint64_t after = m_file.Size() + 8 + m_imageSize + 8 + 16 * (uint64_t(m_frameCount) + 1);
    if (after - 8 > 0xFFFFFFFFu)
        return MarkFailed(AVIERR_BADSIZE);

    const uint64_t chunkOffset = m_file.Size() - m_moviStart;
    std::vector<uint8_t> chunkHeader;
    Bytes h(chunkHeader);
    h.FourCC("00db");
    h.U32(m_imageSize);
    bool ok = m_file.Write(chunkHeader.data(), chunkHeader.size());
    if (ok && frame.stride == stride) {
        ok = m_file.Write(frame.bits, m_imageSize);
    } else if (ok) {
        // Rows of another stride are repacked to the DIB row length (padding bytes zero).
        m_rowBuffer.assign(m_imageSize, 0);
        for (uint32_t y = 0; y < m_height; ++y)
            std::memcpy(&m_rowBuffer[size_t(y) * stride], frame.bits + size_t(y) * frame.stride,
                        size_t(3) * m_width);
        ok = m_file.Write(m_rowBuffer.data(), m_rowBuffer.size());
    }
    if (!ok)
        return MarkFailed(AVIERR_FILEWRITE);

    Bytes idx(m_index);
    idx.FourCC("00db");
    idx.U32(kAviifKeyFrame);
    idx.U32(uint32_t(chunkOffset));
    idx.U32(m_imageSize);
    ++m_frameCount;
    return AVIERR_OK;
}

AviResult AviWriter::Close() {
    if (!m_file.IsOpen())
        return AVIERR_OK;
    if (m_failed) {
        m_file.Discard();
        return m_firstError;
    }
    if (!m_streamCreated) {
        // No frame was added: a movie without streams.
        const std::vector<uint8_t> headers = BuildHeaders();
        m_file.Write(headers.data(), headers.size());
    }
    std::vector<uint8_t> idx1;
    Bytes w(idx1);
    w.FourCC("idx1");
    w.U32(uint32_t(m_index.size()));
    m_file.Write(idx1.data(), idx1.size());
    m_file.Write(m_index.data(), m_index.size());
    const std::vector<uint8_t> headers = BuildHeaders();
    m_file.WriteAt(0, headers.data(), headers.size());
    if (!m_file.Commit())
        return MarkFailed(AVIERR_FILEWRITE);
    return AVIERR_OK;
}

void AviWriter::Discard() {
    m_file.Discard();
    m_streamCreated = false;
    m_frameCount = 0;
    m_index.clear();
}

size_t AviWriter::FormatMessage(AviResult code, char* buf, size_t size) {
    const char* text = "unknown avi result code";
    switch (code) {
    case AVIERR_OK:
        text = "Success";
        break;
    case AVIERR_UNSUPPORTED:
        text = "AVIERR_UNSUPPORTED: compression is not supported for this type of data";
        break;
    case AVIERR_BADFORMAT:
        text = "AVIERR_BADFORMAT: corrupt file or unrecognized format";
        break;
    case AVIERR_MEMORY:
        text = "AVIERR_MEMORY: insufficient memory";
        break;
    case AVIERR_INTERNAL:
        text = "AVIERR_INTERNAL: internal error";
        break;
    case AVIERR_BADFLAGS:
        text = "AVIERR_BADFLAGS";
        break;
    case AVIERR_BADPARAM:
        text = "AVIERR_BADPARAM";
        break;
    case AVIERR_BADSIZE:
        text = "AVIERR_BADSIZE";
        break;
    case AVIERR_BADHANDLE:
        text = "AVIERR_BADHANDLE";
        break;
    case AVIERR_FILEREAD:
        text = "AVIERR_FILEREAD: disk error while reading file";
        break;
    case AVIERR_FILEWRITE:
        text = "AVIERR_FILEWRITE: disk error while writing file";
        break;
    case AVIERR_FILEOPEN:
        text = "AVIERR_FILEOPEN: disk error while opening file";
        break;
    case AVIERR_COMPRESSOR:
        text = "AVIERR_COMPRESSOR";
        break;
    case AVIERR_NOCOMPRESSOR:
        text = "AVIERR_NOCOMPRESSOR: a suitable compressor could not be found";
        break;
    case AVIERR_READONLY:
        text = "AVIERR_READONLY: file is read-only";
        break;
    case AVIERR_BUFFERTOOSMALL:
        text = "AVIERR_BUFFERTOOSMALL";
        break;
    case AVIERR_CANTCOMPRESS:
        text = "AVIERR_CANTCOMPRESS";
        break;
    case AVIERR_USERABORT:
        text = "AVIERR_USERABORT";
        break;
    case AVIERR_ERROR:
        text = "AVIERR_ERROR";
        break;
    case REGDB_E_CLASSNOTREG:
        text = "REGDB_E_CLASSNOTREG: file type not recognised";
        break;
    default:
        break;
    }
    if (buf == nullptr || size == 0)
        return 0;
    const size_t n = std::min(std::strlen(text), size - 1);
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    return n;
}

std::string AviWriter::FormatMessage(AviResult code) {
    char buf[512];
    const size_t n = FormatMessage(code, buf, sizeof buf);
    return std::string(buf, n);
}
