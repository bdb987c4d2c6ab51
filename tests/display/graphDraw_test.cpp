// Drawing of the spectrum plot onto a picture standing for the main window's client area.
#include "display/graph.h"

#include <QImage>
#include <gtest/gtest.h>

namespace {

constexpr QRgb kCanvas = 0xFF808080u; // what the client area held before the plot was drawn
constexpr QRgb kBlack = 0xFF000000u;
constexpr QRgb kWhite = 0xFFFFFFFFu;
constexpr QRgb kRed = 0xFFFF0000u;

QImage Canvas() {
    QImage img(1100, 600, QImage::Format_RGB32);
    img.fill(kCanvas);
    return img;
}

// The plot as the spectrum probe lays it out: (785, 5), 250 x 230, 10 + 5 ticks per axis.
void LayOut(graph& g, QImage* canvas) {
    g.SetFonts(12, 0, 100, "Arial");
    g.Layout(785, 5, 250, 230, 10, 5, 10, 5, canvas);
}

bool IsDark(QRgb c) {
    return qGray(c) < 100;
}

int DarkPixels(const QImage& img, QRect area) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += IsDark(img.pixel(x, y));
    return n;
}

} // namespace

TEST(GraphDrawTest, FrameGridAndMinorTicks) {
    QImage canvas = Canvas();
    graph g;
    LayOut(g, &canvas);
    ASSERT_TRUE(g.Enabled());
    // Frame on the columns 785 and 1035 and the rows 5 and 235.
    EXPECT_EQ(canvas.pixel(785, 100), kBlack);
    EXPECT_EQ(canvas.pixel(1035, 100), kBlack);
    EXPECT_EQ(canvas.pixel(900, 5), kBlack);
    EXPECT_EQ(canvas.pixel(900, 235), kBlack);
    // White inside, away from grid lines (x 810, 835, ...; y 28, 51, ...).
    EXPECT_EQ(canvas.pixel(800, 100), kWhite);
    EXPECT_EQ(canvas.pixel(1030, 230), kWhite);
    // Nothing outside the frame.
    EXPECT_EQ(canvas.pixel(784, 100), kCanvas);
    EXPECT_EQ(canvas.pixel(1036, 100), kCanvas);
    EXPECT_EQ(canvas.pixel(900, 4), kCanvas);
    EXPECT_EQ(canvas.pixel(900, 236), kCanvas);
    // Minor x tick at 790: rows 235 down to 231, not 230. Minor y tick at row 10: columns 785..789.
    for (int y = 231; y <= 235; ++y)
        EXPECT_EQ(canvas.pixel(790, y), kBlack) << y;
    EXPECT_EQ(canvas.pixel(790, 230), kWhite);
    EXPECT_EQ(canvas.pixel(789, 10), kBlack);
    EXPECT_EQ(canvas.pixel(790, 10), kWhite);
    // Dotted grid: the vertical line at x = 810 has both black and white pixels.
    int black = 0, white = 0;
    for (int y = 6; y < 230; ++y)
        (canvas.pixel(810, y) == kBlack ? black : white) += 1;
    EXPECT_GT(black, 20);
    EXPECT_GT(white, 20);
}

TEST(GraphDrawTest, CurveIsClippedToThePlot) {
    QImage canvas = Canvas();
    graph g;
    LayOut(g, &canvas);
    g.SetRange(1, 0.0f, 9.0f);
    g.SetRange(0, 0.0f, 100.0f);
    // y = 45 maps to 235 - 2.3 * 45 + 0.5 = 132; the middle points lie far above and below.
    const float x[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const float y[] = {45, 45, 45, 500, 500, -400, -400, 45, 45, 45};
    g.PlotCurve(x, y, 10, 255, 0, 0, 1);
    EXPECT_EQ(canvas.pixel(800, 132), kRed);
    EXPECT_EQ(canvas.pixel(1020, 132), kRed);
    int redOutside = 0, redInside = 0;
    const QRect plot(785, 5, 251, 231);
    for (int yy = 0; yy < canvas.height(); ++yy)
        for (int xx = 0; xx < canvas.width(); ++xx)
            if (canvas.pixel(xx, yy) == kRed)
                (plot.contains(xx, yy) ? redInside : redOutside) += 1;
    EXPECT_EQ(redOutside, 0);
    EXPECT_GT(redInside, 200);

    // The next layout erases the curve.
    LayOut(g, &canvas);
    EXPECT_EQ(canvas.pixel(800, 132), kWhite);
}

TEST(GraphDrawTest, LabelsTitlesAndTheirErasure) {
    QImage canvas = Canvas();
    graph g;
    g.SetTextBackground(240, 240, 240);
    LayOut(g, &canvas);
    g.SetRange(1, 0.0f, 127.0f);
    g.SetRange(0, 0.0f, 200000.0f);
    g.DrawAxisLabels(1, "Wavelength", 2, 400.0f, 1.0f, 0.0f);
    g.DrawAxisLabels(0, "Igram Magnitude", 2, 400.0f, 1.0f, 0.0f);
    // x tick marks: rows 235..242 under each tick; labels from row 245; title below them.
    EXPECT_EQ(canvas.pixel(810, 242), kBlack);
    EXPECT_GT(DarkPixels(canvas, QRect(770, 245, 30, 16)), 5);  // "400.0" under x = 785
    EXPECT_GT(DarkPixels(canvas, QRect(870, 260, 80, 20)), 10); // "Wavelength" centred at 910
    EXPECT_EQ(canvas.pixel(770, 245 + 1), qRgb(240, 240, 240)); // blank behind the labels
    // y tick marks: columns 778..785 at each tick; labels end at column 768.
    EXPECT_EQ(canvas.pixel(778, 212), kBlack);
    EXPECT_GT(DarkPixels(canvas, QRect(720, 0, 49, 12)), 10); // "2.00e+05" at the top tick
    EXPECT_EQ(DarkPixels(canvas, QRect(769, 14, 9, 10)), 0);  // nothing between label and tick
    // The rotated y title lies in the columns 785 - 72 = 713 onward, around row 120.
    EXPECT_GT(DarkPixels(canvas, QRect(713, 60, 14, 120)), 20);

    // Short labels replace the long ones: the 15 blanks erase the old text.
    g.SetRange(0, 0.0f, 20.0f);
    g.DrawAxisLabels(0, "", 2, 400.0f, 1.0f, 0.0f);
    EXPECT_EQ(DarkPixels(canvas, QRect(735, 0, 20, 12)), 0);
    EXPECT_GT(DarkPixels(canvas, QRect(755, 0, 14, 12)), 3); // "20"
    // An empty title leaves the previous one.
    EXPECT_GT(DarkPixels(canvas, QRect(713, 60, 14, 120)), 20);
}

TEST(GraphDrawTest, WithoutTargetNothingIsDrawn) {
    QImage canvas = Canvas();
    graph g;
    g.Layout(785, 5, 250, 230, 10, 5, 10, 5, nullptr);
    EXPECT_FALSE(g.Enabled());
    g.SetRange(1, 0.0f, 9.0f);
    const float x[] = {0, 9}, y[] = {0, 1};
    g.PlotCurve(x, y, 2, 255, 0, 0, 1);
    g.DrawAxisLabels(1, "Wavelength", 2, 400.0f, 1.0f, 0.0f);
    QImage untouched = Canvas();
    EXPECT_EQ(canvas, untouched);
    // An attached picture takes precedence over the fallback.
    QImage attached = Canvas();
    g.Attach(&attached);
    g.Layout(785, 5, 250, 230, 10, 5, 10, 5, &canvas);
    EXPECT_EQ(attached.pixel(785, 100), kBlack);
    EXPECT_EQ(canvas, untouched);
}
