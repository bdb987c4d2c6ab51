#include "display/Drawing.h"

#include "core/UserPrompts.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<UserPrompts*> g_prompts{nullptr};

void ShowMessage(const char* text) {
    if (UserPrompts* prompts = g_prompts.load()) {
        prompts->Message(text);
    } else {
        NonInteractivePrompts fallback;
        fallback.Message(text);
    }
}

bool HaveGuiApplication() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

// Largest QFont pixel size whose cell (ascent + descent) fits in cellHeight pixels.
int PixelSizeForCell(QFont font, int cellHeight) {
    auto cell = [&](int size) {
        font.setPixelSize(size);
        return QFontMetrics(font).height();
    };
    const int atCell = cell(cellHeight);
    int size = atCell > 0 ? std::max(1, int(int64_t(cellHeight) * cellHeight / atCell)) : cellHeight;
    for (int i = 0; i < 64 && size > 1 && cell(size) > cellHeight; ++i)
        --size;
    for (int i = 0; i < 64 && cell(size + 1) <= cellHeight; ++i)
        ++size;
    return size;
}

} // namespace

void SetDrawingPrompts(UserPrompts* prompts) {
    g_prompts.store(prompts);
}
UserPrompts* DrawingPrompts() {
    return g_prompts.load();
}

bool EnsureGuiApplication() {
    if (QCoreApplication::instance() != nullptr)
        return HaveGuiApplication();
    // Kept for the life of the process; destroying it during static destruction is unsafe.
    static int argc = 3;
    static char arg0[] = "arv300";
    static char arg1[] = "-platform";
    static char arg2[] = "offscreen";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    return app != nullptr;
}

// ---------------------------------------------------------------------------------------------
// DibSection

bool DibSection::Create(uint32_t width, uint32_t height) {
    if (width == m_width && height == m_height)
        return false;
    Delete();
    const size_t stride = (size_t(3) * width + 3) & ~size_t(3);
    const uint64_t bytes = uint64_t(stride) * height;
    // The QImage view used for text takes int sizes; larger bitmaps are refused like the platform
    // refuses them.
    if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu || bytes > 0x7FFFFFFFu) {
        ShowMessage(kCreateDibSectionFailed);
        return true;
    }
    m_bits.reset(new (std::nothrow) uint8_t[size_t(bytes)]());
    if (!m_bits) {
        ShowMessage(kCreateDibSectionFailed);
        return true;
    }
    m_width = width;
    m_height = height;
    m_stride = stride;
    return true;
}

void DibSection::Delete() {
    m_bits.reset();
    m_width = 0;
    m_height = 0;
    m_stride = 0;
}

RgbColor DibSection::ColorAt(uint32_t x, uint32_t y) const {
    if (x >= m_width)
        throw DrawingError("x too large in PixelAt");
    if (y >= m_height)
        throw DrawingError("y too large in PixelAt");
    const uint8_t* p = m_bits.get() + size_t(y) * m_stride + size_t(3) * x;
    return RgbColor(p[2], p[1], p[0]);
}

// ---------------------------------------------------------------------------------------------
// Font

Font::Font(const std::string& face, int height, int bold, bool italic, bool underline) {
    if (!HaveGuiApplication() || face.empty())
        throw DrawingError("Couldn't create font");
    m_font.setFamily(QString::fromStdString(face));
    m_font.setWeight(bold > 0 ? QFont::Bold : QFont::Normal);
    m_font.setItalic(italic);
    m_font.setUnderline(underline);
    m_font.setStrikeOut(false);
    m_font.setStyleStrategy(QFont::NoAntialias);
    if (height > 0)
        m_font.setPixelSize(PixelSizeForCell(m_font, height));
    else if (height < 0)
        m_font.setPixelSize(-height);
    else
        m_font.setPixelSize(PixelSizeForCell(m_font, 16));
}

// ---------------------------------------------------------------------------------------------
// DC

void DC::TextOut(int x, int y, std::string_view text) {
    if (!m_handle || !m_handle->bitmap || !m_handle->bitmap->Bits() || text.empty())
        return;
    if (!HaveGuiApplication())
        return;
    DeviceContext& dc = *m_handle;
    DibSection& bmp = *dc.bitmap;

    QFont font;
    if (dc.font)
        font = dc.font->Handle();
    else
        font.setStyleStrategy(QFont::NoAntialias);
    const QString str = QString::fromUtf8(text.data(), qsizetype(text.size()));
    const QFontMetrics fm(font);
    const int width = fm.horizontalAdvance(str);

    if (dc.textAlign & TA_UPDATECP) {
        x = dc.currentX;
        y = dc.currentY;
    }
    int left = x;
    switch (dc.textAlign & TA_CENTER) {
    case TA_RIGHT:
        left = x - width;
        break;
    case TA_CENTER:
        left = x - width / 2;
        break;
    default:
        break;
    }
    int top = y;
    switch (dc.textAlign & TA_BASELINE) {
    case TA_BOTTOM:
        top = y - fm.height();
        break;
    case TA_BASELINE:
        top = y - fm.ascent();
        break;
    default:
        break;
    }

    // The memory holds the rows bottom-up, so a top-down QImage view of it shows the picture
    // upside down: device row y is view row height - 1 - y. The text is drawn upright on a
    // transparent image around its cell (with a margin for overhangs and underline) and placed
    // on the view mirrored.
    const int cellHeight = fm.height();
    const int margin = cellHeight;
    QImage glyphs(width + 2 * margin, cellHeight + 2 * margin, QImage::Format_ARGB32_Premultiplied);
    glyphs.fill(Qt::transparent);
    {
        QPainter painter(&glyphs);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        const RgbColor tc = dc.textColor;
        painter.setPen(QColor(tc.Red(), tc.Green(), tc.Blue()));
        painter.setFont(font);
        painter.drawText(QPoint(margin, margin + fm.ascent()), str);
    }
    const int height = int(bmp.Height());
    QImage view(bmp.Bits(), int(bmp.Width()), height, qsizetype(bmp.Stride()), QImage::Format_BGR888);
    {
        QPainter painter(&view);
        if (dc.opaque) {
            const RgbColor bk = dc.bkColor;
            painter.fillRect(QRect(left, height - top - cellHeight, width, cellHeight),
                             QColor(bk.Red(), bk.Green(), bk.Blue()));
        }
        painter.drawImage(QPoint(left - margin, height - top + margin - glyphs.height()),
                          glyphs.mirrored(false, true));
    }

    if (dc.textAlign & TA_UPDATECP) {
        if ((dc.textAlign & TA_CENTER) == TA_LEFT)
            dc.currentX = x + width;
        else if ((dc.textAlign & TA_CENTER) == TA_RIGHT)
            dc.currentX = x - width;
    }
}

void DC::TextOut(int x, int y, std::string_view text, RgbColor color) {
    const RgbColor previous = SetTextColor(color);
    TextOut(x, y, text);
    SetTextColor(previous);
}

RgbColor DC::SetBkColor(uint8_t red, uint8_t green, uint8_t blue) {
    if (!m_handle)
        throw DrawingError("SetBkColor");
    const RgbColor previous = m_handle->bkColor;
    m_handle->bkColor = RgbColor(red, green, blue);
    return previous;
}

bool DC::SetBkMode(bool opaque) {
    if (!m_handle)
        return false;
    const bool previous = m_handle->opaque;
    m_handle->opaque = opaque;
    return previous;
}

void DC::MoveTo(int x, int y) {
    if (!m_handle)
        return;
    m_handle->currentX = x;
    m_handle->currentY = y;
}

void DC::LineTo(int x1, int y1) {
    if (!m_handle)
        return;
    int x = m_handle->currentX;
    int y = m_handle->currentY;
    m_handle->currentX = x1;
    m_handle->currentY = y1;
    DibSection* bmp = m_handle->bitmap;
    if (!bmp || !bmp->Bits())
        return;
    // Bresenham from the current position; the end point itself is not drawn.
    const int dx = std::abs(x1 - x), sx = x < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y), sy = y < y1 ? 1 : -1;
    int err = dx + dy;
    const int width = int(bmp->Width()), height = int(bmp->Height());
    while (x != x1 || y != y1) {
        if (x >= 0 && x < width && y >= 0 && y < height)
            bmp->PixelAt(uint32_t(x), uint32_t(height - 1 - y), RgbColor(0, 0, 0));
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

FontHandle DC::SelectFont(const Font& font) {
    if (!m_handle)
        return nullptr;
    const FontHandle previous = m_handle->font;
    m_handle->font = &font;
    return previous;
}

unsigned DC::SetTextAlign(unsigned horizontal, unsigned vertical) {
    if (!m_handle)
        return 0;
    const unsigned previous = m_handle->textAlign;
    m_handle->textAlign = horizontal | vertical;
    return previous;
}

RgbColor DC::SetTextColor(RgbColor color) {
    if (!m_handle)
        return RgbColor(0xFFFFFFFFu);
    const RgbColor previous = m_handle->textColor;
    m_handle->textColor = color;
    return previous;
}

RgbColor DC::GetTextColor() const {
    return m_handle ? m_handle->textColor : RgbColor(0xFFFFFFFFu);
}

// ---------------------------------------------------------------------------------------------
// MemoryDC

MemoryDC::MemoryDC() : DC(nullptr), m_context(std::make_unique<DeviceContext>()) {
    m_handle = m_context.get();
}

MemoryDC::~MemoryDC() {
    m_handle = nullptr;
}

DibSection* MemoryDC::SelectBitmap(DibSection* bitmap) {
    DibSection* previous = m_handle->bitmap;
    m_handle->bitmap = bitmap;
    return previous;
}
