#pragma once
// Movie writer: a RIFF AVI 1.0 file with one uncompressed video stream ("vids", "DIB ", 24-bit
// bottom-up frames as '00db' chunks), an 'idx1' index with every frame a key frame, time scale =
// period in milliseconds and rate = 1000 (frames per second = 1000 / period).
//
// Result codes are those of the Video for Windows AVI file interface.
//
// The file is written through AtomicFile: it gets its name in Close() only when every frame was
// written. A writer that failed (or was closed without frames after a failure) leaves no file.
#include "core/DibView.h"
#include "storage/AtomicFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using AviResult = int32_t;

inline constexpr AviResult AviError(uint32_t code) {
    return AviResult(0x80044000u + code);
}

inline constexpr AviResult AVIERR_OK = 0;
inline constexpr AviResult AVIERR_UNSUPPORTED = AviError(101);    // 0x80044065
inline constexpr AviResult AVIERR_BADFORMAT = AviError(102);      // 0x80044066
inline constexpr AviResult AVIERR_MEMORY = AviError(103);         // 0x80044067
inline constexpr AviResult AVIERR_INTERNAL = AviError(104);       // 0x80044068
inline constexpr AviResult AVIERR_BADFLAGS = AviError(105);       // 0x80044069
inline constexpr AviResult AVIERR_BADPARAM = AviError(106);       // 0x8004406A
inline constexpr AviResult AVIERR_BADSIZE = AviError(107);        // 0x8004406B
inline constexpr AviResult AVIERR_BADHANDLE = AviError(108);      // 0x8004406C
inline constexpr AviResult AVIERR_FILEREAD = AviError(109);       // 0x8004406D
inline constexpr AviResult AVIERR_FILEWRITE = AviError(110);      // 0x8004406E
inline constexpr AviResult AVIERR_FILEOPEN = AviError(111);       // 0x8004406F
inline constexpr AviResult AVIERR_COMPRESSOR = AviError(112);     // 0x80044070
inline constexpr AviResult AVIERR_NOCOMPRESSOR = AviError(113);   // 0x80044071
inline constexpr AviResult AVIERR_READONLY = AviError(114);       // 0x80044072
inline constexpr AviResult AVIERR_NODATA = AviError(115);         // 0x80044073
inline constexpr AviResult AVIERR_BUFFERTOOSMALL = AviError(116); // 0x80044074
inline constexpr AviResult AVIERR_CANTCOMPRESS = AviError(117);   // 0x80044075
inline constexpr AviResult AVIERR_USERABORT = AviError(198);      // 0x800440C6
inline constexpr AviResult AVIERR_ERROR = AviError(199);          // 0x800440C7
inline constexpr AviResult REGDB_E_CLASSNOTREG = AviResult(0x80040154u);

class AviWriter {
public:
    AviWriter() = default;
    ~AviWriter(); // Close()
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Opens the movie file. AVIERR_FILEOPEN when it cannot be created, AVIERR_BADPARAM for a
    // period of 0. Any writer already open is closed first.
    AviResult Create(const std::string& path, uint32_t periodMs);
    // Appends one frame. AVIERR_BADHANDLE without an open file, AVIERR_BADPARAM when the view
    // is not a bitmap, AVIERR_ERROR once any earlier frame failed. The first frame fixes the
    // format: 24 bits only (AVIERR_BADFORMAT otherwise), later frames of another size get
    // AVIERR_BADSIZE. Write errors give AVIERR_FILEWRITE. Any failure from the format on marks
    // the writer failed.
    AviResult AddFrame(const DibView& frame);
    // Completes the headers and the index and gives the file its name. Returns AVIERR_OK, or the
    // first failure (the file is then removed). Without an open file: AVIERR_OK, nothing done.
    AviResult Close();
    // Abandons the movie: closes the writer and removes what was written.
    void Discard();

    // Writes the text of a result code into buf (cut to size - 1 characters and terminated) and
    // returns the number of characters written.
    static size_t FormatMessage(AviResult code, char* buf, size_t size);
    static std::string FormatMessage(AviResult code);

    bool IsOpen() const { return m_file.IsOpen(); }
    bool HasFailed() const { return m_failed; }
    uint32_t FrameCount() const { return m_frameCount; }

private:
    std::vector<uint8_t> BuildHeaders() const;
    AviResult MarkFailed(AviResult code);

    AtomicFile m_file;
    uint32_t m_period = 0;
    bool m_streamCreated = false;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_imageSize = 0;
    uint32_t m_frameCount = 0;
    bool m_failed = false;
    AviResult m_firstError = AVIERR_OK;
    uint64_t m_moviStart = 0; // file offset of the 'movi' list type
    std::vector<uint8_t> m_index;
    std::vector<uint8_t> m_rowBuffer;
};
