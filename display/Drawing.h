#pragma once
// Off-screen drawing surfaces: a device context wrapper `DC`, a memory context `MemoryDC`, a
// 24-bit bottom-up section bitmap `DibSection` with per-pixel access, `Font` and `RgbColor`.
//
// A DibSection owns its pixel memory in the layout of a Windows 24-bit DIB: row 0 is the bottom
// row, each pixel blue, green, red, rows (3*width + 3) & ~3 bytes apart. Text and lines are
// drawn into the bitmap selected into a MemoryDC; text is painted with QPainter on a QImage view
// of that memory, with y flipped so that coordinates count from the top as on a screen.
//
// Text needs a QGuiApplication (fonts). Programs without one call EnsureGuiApplication() once
// from the main thread before drawing text.
//
// Failures throw DrawingError, whose what() is the library's text ("SetBkColor", "Couldn't
// create font", "x too large in PixelAt", "y too large in PixelAt"). A bitmap that cannot be
// created shows "CreateDIBSection failed" through the drawing prompts (SetDrawingPrompts).
#include "core/DibView.h"

#include <QFont>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

class UserPrompts;

class DrawingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kCreateDibSectionFailed = "CreateDIBSection failed";

// Where the drawing library shows its messages. nullptr (the default) prints them to stderr.
// The pointer is read when a message is shown; the prompts must outlive their use.
void SetDrawingPrompts(UserPrompts* prompts);
UserPrompts* DrawingPrompts();

// Makes sure a QGuiApplication exists, creating one on the offscreen platform when the process has
// no application object yet (command-line exports, tests). Call from the main thread. False when
// a non-GUI QCoreApplication already exists (text cannot be drawn then).
bool EnsureGuiApplication();

// A colour 0x00BBGGRR: red in the low byte.
class RgbColor {
public:
    constexpr RgbColor() = default;
    constexpr RgbColor(uint8_t red, uint8_t green, uint8_t blue)
        : m_value(uint32_t(red) | uint32_t(green) << 8 | uint32_t(blue) << 16) {}
    constexpr explicit RgbColor(uint32_t value) : m_value(value) {}
    constexpr uint32_t Value() const { return m_value; }
    constexpr uint8_t Red() const { return uint8_t(m_value); }
    constexpr uint8_t Green() const { return uint8_t(m_value >> 8); }
    constexpr uint8_t Blue() const { return uint8_t(m_value >> 16); }
    constexpr bool operator==(const RgbColor&) const = default;

private:
    uint32_t m_value = 0;
};

class DibSection {
public:
    DibSection() = default;
    DibSection(uint32_t width, uint32_t height) { Create(width, height); }
    DibSection(const DibSection&) = delete;
    DibSection& operator=(const DibSection&) = delete;

    // Allocates a width x height bitmap (all pixels black). False when the size equals the current
    // one (nothing is done, the pixels stay). When the bitmap cannot be made (zero or too large
    // size, no memory) "CreateDIBSection failed" is shown and the object is left without a
    // bitmap (size 0 x 0, Handle() null); true is returned in that case too.
    bool Create(uint32_t width, uint32_t height);
    // Frees the bitmap.
    void Delete();

    // Stores the colour at column x, row y counted from the bottom (memory order).
    void PixelAt(uint32_t x, uint32_t y, RgbColor color) {
        if (x >= m_width)
            throw DrawingError("x too large in PixelAt");
        if (y >= m_height)
            throw DrawingError("y too large in PixelAt");
        uint8_t* p = m_bits.get() + size_t(y) * m_stride + size_t(3) * x;
        p[0] = color.Blue();
        p[1] = color.Green();
        p[2] = color.Red();
    }
    // The colour at column x, row y from the bottom; throws like PixelAt.
    RgbColor ColorAt(uint32_t x, uint32_t y) const;

    const uint8_t* Handle() const { return m_bits.get(); } // null without a bitmap
    uint8_t* Bits() { return m_bits.get(); }
    const uint8_t* Bits() const { return m_bits.get(); }
    uint32_t Width() const { return m_width; }
    uint32_t Height() const { return m_height; }
    size_t Stride() const { return m_stride; }
    // The bitmap as the movie writer takes it (bits null without a bitmap).
    DibView View() const { return {m_bits.get(), m_width, m_height, m_stride, 24}; }

private:
    std::unique_ptr<uint8_t[]> m_bits;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    size_t m_stride = 0;
};

class Font {
public:
    // A font of the given face and height, width 0, no escapement, weight 700 when bold > 0
    // and 400 otherwise, no strike-out, without anti-aliasing. A positive height is the
    // character cell height (ascent + descent) in pixels, a negative one the character height
    // (em size), 0 a default size. Throws "Couldn't create font" without a QGuiApplication or for
    // an empty face name.
    Font(const std::string& face, int height, int bold = 0, bool italic = false, bool underline = false);
    const QFont& Handle() const { return m_font; }

private:
    QFont m_font;
};

using FontHandle = const Font*;

// Text alignment flags (combined by OR).
inline constexpr unsigned TA_NOUPDATECP = 0;
inline constexpr unsigned TA_UPDATECP = 1;
inline constexpr unsigned TA_LEFT = 0;
inline constexpr unsigned TA_RIGHT = 2;
inline constexpr unsigned TA_CENTER = 6;
inline constexpr unsigned TA_TOP = 0;
inline constexpr unsigned TA_BOTTOM = 8;
inline constexpr unsigned TA_BASELINE = 24;

// The state a drawing context carries. A DC's handle points at one.
struct DeviceContext {
    DibSection* bitmap = nullptr; // selected bitmap, null: nothing is drawn
    FontHandle font = nullptr;    // selected font, null: the default font
    RgbColor textColor{0, 0, 0};
    RgbColor bkColor{255, 255, 255};
    bool opaque = true;
    unsigned textAlign = TA_LEFT | TA_TOP;
    int currentX = 0;
    int currentY = 0;
};
using DcHandle = DeviceContext*;

class DC {
public:
    explicit DC(DcHandle handle) : m_handle(handle) {}
    virtual ~DC() = default;
    DC(const DC&) = delete;
    DC& operator=(const DC&) = delete;

    DcHandle Handle() const { return m_handle; }

    // Draws text (UTF-8) with the current font, text colour, background mode and alignment.
    // (x, y) is the reference point chosen by the alignment (top-left by default).
    void TextOut(int x, int y, std::string_view text);
    // As TextOut, in the given colour; the current text colour is restored afterwards.
    void TextOut(int x, int y, std::string_view text, RgbColor color);
    // Sets the background colour and returns the previous one. Throws "SetBkColor" without a
    // valid context.
    RgbColor SetBkColor(uint8_t red, uint8_t green, uint8_t blue);
    // Opaque background behind text when set, transparent otherwise. Returns the previous mode.
    bool SetBkMode(bool opaque);
    // Current position; LineTo draws a black one-pixel line from it up to, not including, (x, y)
    // and moves it there.
    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    // Selects the font (the caller keeps it alive while selected); returns the previous one.
    FontHandle SelectFont(const Font& font);
    // Sets the alignment to horizontal | vertical; returns the previous alignment.
    unsigned SetTextAlign(unsigned horizontal, unsigned vertical);
    RgbColor SetTextColor(RgbColor color); // returns the previous colour
    RgbColor GetTextColor() const;

protected:
    DcHandle m_handle;
};

class MemoryDC : public DC {
public:
    MemoryDC();
    ~MemoryDC() override;
    // Selects the bitmap that drawing goes to (the caller keeps it alive while selected) and
    // returns the one selected before (null: none).
    DibSection* SelectBitmap(DibSection& bitmap) { return SelectBitmap(&bitmap); }
    // As above; null deselects.
    DibSection* SelectBitmap(DibSection* bitmap);

private:
    std::unique_ptr<DeviceContext> m_context;
};
