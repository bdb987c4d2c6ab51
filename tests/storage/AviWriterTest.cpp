// The AVI writer: result texts, the file's bytes for a tiny movie, the failed-state rules, and
// ffprobe/ffmpeg reading a movie back.
#include "storage/AviWriter.h"
#include "StorageTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {
uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t U16At(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}
std::string TextAt(const std::vector<uint8_t>& b, size_t at) {
    return std::string(b.begin() + long(at), b.begin() + long(at) + 4);
}

// A bottom-up BGR frame with rows `stride` bytes apart, pixel (x, y) = (seed + x, seed + y, seed + 16).
struct Frame {
    uint32_t width, height;
    size_t stride;
    std::vector<uint8_t> bits;
    Frame(uint32_t w, uint32_t h, size_t s, uint8_t seed)
        : width(w), height(h), stride(s), bits(s * h, 0xEE) {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                uint8_t* p = &bits[y * s + 3 * x];
                p[0] = uint8_t(seed + x);
                p[1] = uint8_t(seed + y);
                p[2] = uint8_t(seed + 16);
            }
    }
    DibView View() const { return {bits.data(), width, height, stride, 24}; }
};
} // namespace

// Codes written as their Video for Windows values.
TEST(AviWriter, FormatMessageTexts) {
    const std::pair<uint32_t, const char*> table[] = {
        {0, "Success"},
        {0x80044065u, "AVIERR_UNSUPPORTED: compression is not supported for this type of data"},
        {0x80044066u, "AVIERR_BADFORMAT: corrupt file or unrecognized format"},
        {0x80044067u, "AVIERR_MEMORY: insufficient memory"},
        {0x80044068u, "AVIERR_INTERNAL: internal error"},
        {0x80044069u, "AVIERR_BADFLAGS"},
        {0x8004406Au, "AVIERR_BADPARAM"},
        {0x8004406Bu, "AVIERR_BADSIZE"},
        {0x8004406Cu, "AVIERR_BADHANDLE"},
        {0x8004406Du, "AVIERR_FILEREAD: disk error while reading file"},
        {0x8004406Eu, "AVIERR_FILEWRITE: disk error while writing file"},
        {0x8004406Fu, "AVIERR_FILEOPEN: disk error while opening file"},
        {0x80044070u, "AVIERR_COMPRESSOR"},
        {0x80044071u, "AVIERR_NOCOMPRESSOR: a suitable compressor could not be found"},
        {0x80044072u, "AVIERR_READONLY: file is read-only"},
        {0x80044074u, "AVIERR_BUFFERTOOSMALL"},
        {0x80044075u, "AVIERR_CANTCOMPRESS"},
        {0x800440C6u, "AVIERR_USERABORT"},
        {0x800440C7u, "AVIERR_ERROR"},
        {0x80040154u, "REGDB_E_CLASSNOTREG: file type not recognised"},
        {0x80044073u, "unknown avi result code"}, // AVIERR_NODATA has no text of its own
        {12345u, "unknown avi result code"},
    };
    for (const auto& [code, text] : table) {
        char buf[512];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(AviWriter::FormatMessage(AviResult(code), buf, sizeof buf), std::strlen(text)) << text;
        EXPECT_STREQ(buf, text);
    }
}

TEST(AviWriter, FormatMessageCutsToTheBuffer) {
    char buf[8];
    EXPECT_EQ(AviWriter::FormatMessage(AVIERR_MEMORY, buf, sizeof buf), 7u);
    EXPECT_STREQ(buf, "AVIERR_");
    char untouched[2] = {'q', 'q'};
    EXPECT_EQ(AviWriter::FormatMessage(AVIERR_MEMORY, untouched, 0), 0u);
    EXPECT_EQ(untouched[0], 'q');
    char one[1];
    EXPECT_EQ(AviWriter::FormatMessage(AVIERR_MEMORY, one, 1), 0u);
    EXPECT_EQ(one[0], '\0');
}

TEST(AviWriter, BytesOfATwoFrameMovie) {
    TempDir dir;
    const std::string path = dir.File("tiny.avi");
    AviWriter w;
    ASSERT_EQ(w.Create(path, 100), AVIERR_OK);
    // 2 x 2 pixels; the first frame comes with unpadded rows (stride 6) and is repacked to 8.
    const Frame a(2, 2, 6, 0x10), b(2, 2, 8, 0x40);
    ASSERT_EQ(w.AddFrame(a.View()), AVIERR_OK);
    ASSERT_EQ(w.AddFrame(b.View()), AVIERR_OK);
    EXPECT_FALSE(FileExists(path)) << "the movie gets its name when closed";
    ASSERT_EQ(w.Close(), AVIERR_OK);

    const std::vector<uint8_t> f = ReadFileBytes(path);
    ASSERT_EQ(f.size(), 312u);
    EXPECT_EQ(TextAt(f, 0), "RIFF");
    EXPECT_EQ(U32At(f, 4), 304u);
    EXPECT_EQ(TextAt(f, 8), "AVI ");
    EXPECT_EQ(TextAt(f, 12), "LIST");
    EXPECT_EQ(U32At(f, 16), 192u);
    EXPECT_EQ(TextAt(f, 20), "hdrl");
    EXPECT_EQ(TextAt(f, 24), "avih");
    EXPECT_EQ(U32At(f, 28), 56u);
    EXPECT_EQ(U32At(f, 32), 100000u); // microseconds per frame
    EXPECT_EQ(U32At(f, 44), 0x10u);   // has index
    EXPECT_EQ(U32At(f, 48), 2u);      // frames
    EXPECT_EQ(U32At(f, 56), 1u);      // streams
    EXPECT_EQ(U32At(f, 60), 16u);     // suggested buffer
    EXPECT_EQ(U32At(f, 64), 2u);
    EXPECT_EQ(U32At(f, 68), 2u);
    EXPECT_EQ(TextAt(f, 88), "LIST");
    EXPECT_EQ(U32At(f, 92), 116u);
    EXPECT_EQ(TextAt(f, 96), "strl");
    EXPECT_EQ(TextAt(f, 100), "strh");
    EXPECT_EQ(U32At(f, 104), 56u);
    EXPECT_EQ(TextAt(f, 108), "vids");
    EXPECT_EQ(TextAt(f, 112), "DIB ");
    EXPECT_EQ(U32At(f, 128), 100u);  // scale = period
    EXPECT_EQ(U32At(f, 132), 1000u); // rate
    EXPECT_EQ(U32At(f, 140), 2u);    // length
    EXPECT_EQ(U32At(f, 144), 16u);
    EXPECT_EQ(U16At(f, 160), 2u); // frame rectangle right
    EXPECT_EQ(U16At(f, 162), 2u); // bottom
    EXPECT_EQ(TextAt(f, 164), "strf");
    EXPECT_EQ(U32At(f, 168), 40u);
    EXPECT_EQ(U32At(f, 172), 40u);
    EXPECT_EQ(U32At(f, 176), 2u);
    EXPECT_EQ(U32At(f, 180), 2u); // positive height: bottom-up
    EXPECT_EQ(U16At(f, 184), 1u);
    EXPECT_EQ(U16At(f, 186), 24u);
    EXPECT_EQ(U32At(f, 188), 0u);
    EXPECT_EQ(U32At(f, 192), 16u);
    EXPECT_EQ(TextAt(f, 212), "LIST");
    EXPECT_EQ(U32At(f, 216), 52u);
    EXPECT_EQ(TextAt(f, 220), "movi");
    EXPECT_EQ(TextAt(f, 224), "00db");
    EXPECT_EQ(U32At(f, 228), 16u);
    EXPECT_THAT(std::vector<uint8_t>(f.begin() + 232, f.begin() + 248),
                ElementsAre(0x10, 0x10, 0x20, 0x11, 0x10, 0x20, 0, 0,   // bottom row, padded
                            0x10, 0x11, 0x20, 0x11, 0x11, 0x20, 0, 0)); // top row
    EXPECT_EQ(TextAt(f, 248), "00db");
    EXPECT_THAT(std::vector<uint8_t>(f.begin() + 256, f.begin() + 272),
                ElementsAre(0x40, 0x40, 0x50, 0x41, 0x40, 0x50, 0xEE, 0xEE, // padding as given
                            0x40, 0x41, 0x50, 0x41, 0x41, 0x50, 0xEE, 0xEE));
    EXPECT_EQ(TextAt(f, 272), "idx1");
    EXPECT_EQ(U32At(f, 276), 32u);
    EXPECT_EQ(TextAt(f, 280), "00db");
    EXPECT_EQ(U32At(f, 284), 0x10u); // key frame
    EXPECT_EQ(U32At(f, 288), 4u);    // from 'movi'
    EXPECT_EQ(U32At(f, 292), 16u);
    EXPECT_EQ(TextAt(f, 296), "00db");
    EXPECT_EQ(U32At(f, 304), 28u);
    EXPECT_EQ(U32At(f, 308), 16u);
}

TEST(AviWriter, RefusalsAndTheFailedState) {
    TempDir dir;
    const std::string path = dir.File("m.avi");
    const Frame good(4, 3, 12, 1), other(5, 3, 16, 2);
    AviWriter w;
    EXPECT_EQ(w.AddFrame(good.View()), AVIERR_BADHANDLE) << "no file yet";
    ASSERT_EQ(w.Create(path, 40), AVIERR_OK);
    EXPECT_EQ(w.AddFrame(DibView{}), AVIERR_BADPARAM) << "not a bitmap";
    EXPECT_EQ(w.AddFrame(good.View()), AVIERR_OK) << "a refused non-bitmap does not fail the writer";
    EXPECT_EQ(w.AddFrame(other.View()), AVIERR_BADSIZE);
    EXPECT_EQ(w.AddFrame(good.View()), AVIERR_ERROR);
    EXPECT_EQ(w.AddFrame(good.View()), AVIERR_ERROR);
    EXPECT_EQ(w.FrameCount(), 1u);
    EXPECT_EQ(w.Close(), AVIERR_BADSIZE);
    EXPECT_THAT(dir.Entries(), IsEmpty()) << "an incomplete movie is not left behind";
}

TEST(AviWriter, FirstFrameMustBe24Bits) {
    TempDir dir;
    AviWriter w;
    ASSERT_EQ(w.Create(dir.File("m.avi"), 40), AVIERR_OK);
    Frame f(4, 3, 12, 1);
    DibView v = f.View();
    v.bitCount = 32;
    EXPECT_EQ(w.AddFrame(v), AVIERR_BADFORMAT);
    EXPECT_EQ(w.AddFrame(f.View()), AVIERR_ERROR);
}

TEST(AviWriter, CreateFailures) {
    AviWriter w;
    EXPECT_EQ(w.Create("/nonexistent-arv-dir/m.avi", 100), AVIERR_FILEOPEN);
    const Frame f(4, 3, 12, 1);
    EXPECT_EQ(w.AddFrame(f.View()), AVIERR_BADHANDLE);
    EXPECT_EQ(w.Close(), AVIERR_OK);
    TempDir dir;
    EXPECT_EQ(w.Create(dir.File("m.avi"), 0), AVIERR_BADPARAM);
    EXPECT_THAT(dir.Entries(), IsEmpty());
}

TEST(AviWriter, DiskErrorsFailTheFrameAndLeaveNoFile) {
    TempDir dir;
    const std::string path = dir.File("m.avi");
    const int result = RunWithFileSizeLimit(5000, [&] {
        const Frame f(40, 30, 120, 1); // 3600 bytes a frame
        AviWriter w;
        if (w.Create(path, 100) != AVIERR_OK)
            return 1;
        if (w.AddFrame(f.View()) != AVIERR_OK)
            return 2;
        if (w.AddFrame(f.View()) != AVIERR_FILEWRITE)
            return 3;
        if (w.AddFrame(f.View()) != AVIERR_ERROR)
            return 4;
        if (w.Close() != AVIERR_FILEWRITE)
            return 5;
        return dir.Entries().empty() ? 0 : 6;
    });
    EXPECT_EQ(result, 0);
}

TEST(AviWriter, FfmpegReadsTheFramesBackUpright) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    TempDir dir;
    const std::string path = dir.File("m.avi");
    const uint32_t W = 6, H = 4;
    std::vector<Frame> frames;
    for (uint8_t i = 0; i < 5; ++i)
        frames.emplace_back(W, H, DibStride(W), uint8_t(20 * i));
    {
        AviWriter w;
        ASSERT_EQ(w.Create(path, 250), AVIERR_OK);
        for (const Frame& f : frames)
            ASSERT_EQ(w.AddFrame(f.View()), AVIERR_OK);
        ASSERT_EQ(w.Close(), AVIERR_OK);
    }
    const auto probe = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                  "stream=codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames "
                                  "-of default=noprint_wrappers=1 '" +
                                  path + "'");
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(*probe,
              "codec_name=rawvideo\nwidth=6\nheight=4\npix_fmt=bgr24\nr_frame_rate=4/1\nnb_read_frames=5\n");

    const std::string raw = dir.File("frames.bgr");
    ASSERT_TRUE(RunCommand("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt bgr24 -y '" + raw + "'"));
    const std::vector<uint8_t> decoded = ReadFileBytes(raw);
    ASSERT_EQ(decoded.size(), size_t(5) * W * H * 3);
    // Decoded frames are top-down and unpadded: decoded row r is the bitmap's row H - 1 - r.
    for (size_t i = 0; i < 5; ++i)
        for (uint32_t r = 0; r < H; ++r)
            for (uint32_t x = 0; x < W; ++x)
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(decoded[((i * H + r) * W + x) * 3 + size_t(c)],
                              frames[i].bits[(H - 1 - r) * frames[i].stride + 3 * x + size_t(c)])
                        << "frame " << i << " row " << r << " x " << x;
}
