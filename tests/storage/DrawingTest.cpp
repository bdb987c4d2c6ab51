// The off-screen drawing surfaces: bitmap memory layout, pixel access, colours, text and lines.
#include "display/Drawing.h"
#include "core/UserPrompts.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string ThrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const DrawingError& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// Pixel at column x, row y counted from the top, read from the bottom-up memory.
RgbColor TopDown(const DibSection& d, uint32_t x, uint32_t y) {
    return d.ColorAt(x, d.Height() - 1 - y);
}

void Fill(DibSection& d, RgbColor c) {
    for (uint32_t y = 0; y < d.Height(); ++y)
        for (uint32_t x = 0; x < d.Width(); ++x)
            d.PixelAt(x, y, c);
}

class PromptsGuard {
public:
    PromptsGuard() { SetDrawingPrompts(&prompts); }
    ~PromptsGuard() { SetDrawingPrompts(nullptr); }
    ScriptedPrompts prompts;
};

} // namespace

TEST(RgbColor, RedIsTheLowByte) {
    EXPECT_EQ(RgbColor(0x11, 0x22, 0x33).Value(), 0x00332211u);
    const RgbColor c(0x00AABBCCu);
    EXPECT_EQ(c.Red(), 0xCC);
    EXPECT_EQ(c.Green(), 0xBB);
    EXPECT_EQ(c.Blue(), 0xAA);
}

TEST(DibSection, RowsArePaddedToFourBytes) {
    EXPECT_EQ(DibSection(5, 2).Stride(), 16u);
    EXPECT_EQ(DibSection(4, 2).Stride(), 12u);
    EXPECT_EQ(DibSection(1, 1).Stride(), 4u);
    EXPECT_EQ(DibSection(696, 520).Stride(), 2088u);
}

TEST(DibSection, PixelAtStoresBlueGreenRedBottomRowFirst) {
    DibSection d(5, 3);
    ASSERT_NE(d.Handle(), nullptr);
    const uint8_t* bits = d.Bits();
    for (size_t i = 0; i < 3 * 16; ++i)
        ASSERT_EQ(bits[i], 0) << "a new bitmap is black";
    d.PixelAt(4, 2, RgbColor(0x11, 0x22, 0x33));
    EXPECT_EQ(bits[2 * 16 + 12], 0x33);
    EXPECT_EQ(bits[2 * 16 + 13], 0x22);
    EXPECT_EQ(bits[2 * 16 + 14], 0x11);
    EXPECT_EQ(TopDown(d, 4, 0), RgbColor(0x11, 0x22, 0x33));
}

TEST(DibSection, OutOfRangeThrowsBeforeWriting) {
    DibSection d(4, 3);
    std::vector<uint8_t> before(d.Bits(), d.Bits() + 36);
    EXPECT_EQ(ThrownText([&] { d.PixelAt(4, 0, RgbColor(1, 2, 3)); }), "x too large in PixelAt");
    EXPECT_EQ(ThrownText([&] { d.PixelAt(0, 3, RgbColor(1, 2, 3)); }), "y too large in PixelAt");
    EXPECT_EQ(ThrownText([&] { d.PixelAt(9, 9, RgbColor(1, 2, 3)); }), "x too large in PixelAt");
    EXPECT_EQ(std::vector<uint8_t>(d.Bits(), d.Bits() + 36), before);
}

TEST(DibSection, CreateWithTheSameSizeKeepsThePixels) {
    DibSection d(4, 3);
    d.PixelAt(1, 1, RgbColor(9, 9, 9));
    EXPECT_FALSE(d.Create(4, 3));
    EXPECT_EQ(d.ColorAt(1, 1), RgbColor(9, 9, 9));
    EXPECT_TRUE(d.Create(4, 4));
    EXPECT_EQ(d.ColorAt(1, 1), RgbColor(0, 0, 0));
    d.Delete();
    EXPECT_EQ(d.Handle(), nullptr);
}

TEST(DibSection, FailedCreationIsShownAndLeavesNoBitmap) {
    PromptsGuard guard;
    DibSection d(0, 10);
    EXPECT_EQ(d.Handle(), nullptr);
    EXPECT_EQ(ThrownText([&] { d.PixelAt(0, 0, RgbColor()); }), "x too large in PixelAt");
    DibSection huge(0x7FFFFFF0u, 0x7FFFFFF0u);
    EXPECT_EQ(huge.Handle(), nullptr);
    EXPECT_EQ(guard.prompts.Texts(),
              (std::vector<std::string>{"CreateDIBSection failed", "CreateDIBSection failed"}));
    EXPECT_TRUE(d.Create(2, 2)) << "a later creation may succeed";
    EXPECT_NE(d.Handle(), nullptr);
}

TEST(Font, EmptyFaceCannotBeCreated) {
    EXPECT_EQ(ThrownText([] { Font f("", 25); }), "Couldn't create font");
}

TEST(Font, PositiveHeightIsTheCellHeight) {
    const Font f("Arial", 25);
    EXPECT_LE(QFontMetrics(f.Handle()).height(), 25);
    EXPECT_GE(QFontMetrics(f.Handle()).height(), 22);
    EXPECT_EQ(f.Handle().weight(), QFont::Normal);
    EXPECT_EQ(Font("Arial", -20, 1).Handle().pixelSize(), 20);
    EXPECT_EQ(Font("Arial", -20, 1).Handle().weight(), QFont::Bold);
}

TEST(DC, ColoursAndModesReturnThePreviousValues) {
    MemoryDC dc;
    EXPECT_EQ(dc.SetBkColor(1, 2, 3), RgbColor(255, 255, 255));
    EXPECT_EQ(dc.SetBkColor(4, 5, 6), RgbColor(1, 2, 3));
    EXPECT_TRUE(dc.SetBkMode(false));
    EXPECT_FALSE(dc.SetBkMode(true));
    EXPECT_EQ(dc.SetTextColor(RgbColor(0, 0, 255)), RgbColor(0, 0, 0));
    EXPECT_EQ(dc.GetTextColor(), RgbColor(0, 0, 255));
    EXPECT_EQ(dc.SetTextAlign(TA_RIGHT, TA_BASELINE), TA_LEFT | TA_TOP);
    EXPECT_EQ(dc.SetTextAlign(TA_LEFT, TA_TOP), TA_RIGHT | TA_BASELINE);
    const Font a("Arial", 20), b("Arial", 30);
    EXPECT_EQ(dc.SelectFont(a), nullptr);
    EXPECT_EQ(dc.SelectFont(b), &a);
    DibSection bmp(2, 2), other(2, 2);
    EXPECT_EQ(dc.SelectBitmap(bmp), nullptr);
    EXPECT_EQ(dc.SelectBitmap(other), &bmp);
    dc.SelectBitmap(nullptr);

    DC invalid(nullptr);
    EXPECT_EQ(ThrownText([&] { invalid.SetBkColor(1, 2, 3); }), "SetBkColor");
}

TEST(DC, LineToStopsBeforeTheEndPoint) {
    MemoryDC dc;
    DibSection d(6, 4);
    Fill(d, RgbColor(255, 255, 255));
    dc.SelectBitmap(d);
    dc.MoveTo(1, 1);
    dc.LineTo(4, 1); // top-down row 1
    dc.LineTo(4, 3);
    const RgbColor black(0, 0, 0), white(255, 255, 255);
    for (uint32_t x = 0; x < 6; ++x)
        EXPECT_EQ(TopDown(d, x, 1), (x >= 1 && x <= 4) ? black : white) << x;
    EXPECT_EQ(TopDown(d, 4, 2), black);
    EXPECT_EQ(TopDown(d, 4, 3), white) << "end point not drawn";
    EXPECT_EQ(TopDown(d, 1, 0), white);
    dc.LineTo(-5, 3); // partly outside: clipped, no throw
    EXPECT_EQ(TopDown(d, 0, 3), black);
    dc.SelectBitmap(nullptr);
}

namespace {
// The text as Qt draws it on an ordinary top-down image of the same size, at the same place.
QImage Reference(int w, int h, const Font& font, int x, int y, const QString& text, QColor color) {
    QImage img(w, h, QImage::Format_RGB888);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(font.Handle());
    p.setPen(color);
    p.drawText(QPoint(x, y + QFontMetrics(font.Handle()).ascent()), text);
    return img;
}
} // namespace

TEST(DC, TextIsDrawnUprightAtItsTopLeftCorner) {
    const int W = 200, H = 60;
    MemoryDC dc;
    DibSection d(W, H);
    Fill(d, RgbColor(255, 255, 255));
    dc.SelectBitmap(d);
    const Font font("Arial", 25);
    dc.SelectFont(font);
    dc.SetBkMode(false);
    dc.SetTextColor(RgbColor(0, 0, 255));
    dc.TextOut(20, H - 30, "Wavelength: 452.50");

    const QImage ref = Reference(W, H, font, 20, H - 30, "Wavelength: 452.50", QColor(0, 0, 255));
    int blue = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const QColor r = ref.pixelColor(x, y);
            const RgbColor ours = TopDown(d, uint32_t(x), uint32_t(y));
            ASSERT_EQ(ours, RgbColor(uint8_t(r.red()), uint8_t(r.green()), uint8_t(r.blue())))
                << "at " << x << ", " << y;
            if (ours == RgbColor(0, 0, 255)) {
                ++blue;
                EXPECT_GE(x, 20);
                EXPECT_GE(y, H - 30);
                EXPECT_LT(y, H - 5);
            }
        }
    EXPECT_GT(blue, 100) << "the label shows";
    dc.SelectBitmap(nullptr);
}

TEST(DC, OpaqueBackgroundFillsTheTextCellAndColourIsRestored) {
    MemoryDC dc;
    DibSection d(120, 40);
    Fill(d, RgbColor(255, 255, 255));
    dc.SelectBitmap(d);
    const Font font("Arial", 20);
    dc.SelectFont(font);
    dc.SetBkColor(10, 20, 30);
    dc.SetTextColor(RgbColor(1, 1, 1));
    dc.TextOut(5, 10, "ii", RgbColor(200, 0, 0));
    EXPECT_EQ(dc.GetTextColor(), RgbColor(1, 1, 1));
    const int cell = QFontMetrics(font.Handle()).height();
    const int width = QFontMetrics(font.Handle()).horizontalAdvance("ii");
    int bk = 0, text = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 120; ++x) {
            const RgbColor c = TopDown(d, uint32_t(x), uint32_t(y));
            const bool inside = x >= 5 && x < 5 + width && y >= 10 && y < 10 + cell;
            if (!inside)
                ASSERT_EQ(c, RgbColor(255, 255, 255)) << x << ", " << y;
            else if (c == RgbColor(10, 20, 30))
                ++bk;
            else if (c == RgbColor(200, 0, 0))
                ++text;
            else
                ADD_FAILURE() << "unexpected colour at " << x << ", " << y;
        }
    EXPECT_GT(bk, 0);
    EXPECT_GT(text, 0);
    dc.SelectBitmap(nullptr);
}

TEST(DC, RightAlignmentEndsTheTextAtX) {
    MemoryDC dc;
    DibSection d(100, 30);
    Fill(d, RgbColor(255, 255, 255));
    dc.SelectBitmap(d);
    const Font font("Arial", 20);
    dc.SelectFont(font);
    dc.SetTextAlign(TA_RIGHT, TA_TOP);
    dc.TextOut(60, 2, "MM");
    uint32_t maxX = 0, minX = 100;
    for (uint32_t y = 0; y < 30; ++y)
        for (uint32_t x = 0; x < 100; ++x)
            if (TopDown(d, x, y) != RgbColor(255, 255, 255)) {
                maxX = std::max(maxX, x);
                minX = std::min(minX, x);
            }
    EXPECT_LT(maxX, 60u);
    EXPECT_GT(minX, 20u);
    dc.SelectBitmap(nullptr);
}
