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

namespace {
// Columns of the canvas that hold a dark pixel in the rows [top, bottom].
std::vector<bool> DarkColumns(const QImage& img, int top, int bottom) {
    std::vector<bool> dark(size_t(img.width()), false);
    for (int x = 0; x < img.width(); ++x)
        for (int y = top; y <= bottom; ++y)
            if (IsDark(img.pixel(x, y)))
                dark[size_t(x)] = true;
    return dark;
}
// Runs of dark columns (separated by at least one blank column) between x0 and x1: [first, last].
std::vector<std::pair<int, int>> DarkRuns(const std::vector<bool>& dark, int x0, int x1, int join = 3) {
    std::vector<std::pair<int, int>> runs;
    for (int x = x0; x <= x1; ++x) {
        if (!dark[size_t(x)])
            continue;
        if (!runs.empty() && x - runs.back().second <= join)
            runs.back().second = x;
        else
            runs.push_back({x, x});
    }
    return runs;
}
} // namespace

TEST(GraphDrawTest, WavelengthLabelsKeepTheirWholeTextAndDoNotRunTogether) {
    QImage canvas = Canvas();
    graph g;
    g.SetTextBackground(240, 240, 240);
    LayOut(g, &canvas);
    g.SetRange(1, 0.0f, 127.0f);
    g.SetRange(0, 0.0f, 2000.0f);
    // The shipped calibration: labels 400.0, 460.4, ... 943.6 and 1003.96, wider than the 25
    // pixels between two ticks.
    g.DrawAxisLabels(1, "Wavelength", 2, 400.0f, 2.3f, 0.00095f);
    ASSERT_EQ(g.XLabelRows(), 2);
    const int rowHeight = 11; // the text cell of the 12-pixel font, as the labels' blanks show
    ASSERT_EQ(canvas.pixel(770, 245 + rowHeight - 1), qRgb(240, 240, 240));
    ASSERT_EQ(canvas.pixel(770, 245 + rowHeight), kCanvas);
    // Even labels on the first row (from 245), odd labels one row lower, each centred on its
    // tick at 785 + 25 k, and no two run into each other.
    for (int row = 0; row < 2; ++row) {
        const auto dark = DarkColumns(canvas, 245 + row * rowHeight + 1, 245 + (row + 1) * rowHeight - 2);
        const auto runs = DarkRuns(dark, 740, 1070);
        ASSERT_EQ(runs.size(), row == 0 ? 6u : 5u) << "row " << row;
        for (size_t i = 0; i < runs.size(); ++i) {
            const int tick = 785 + 25 * int(2 * i + size_t(row));
            const int centre = (runs[i].first + runs[i].second) / 2;
            EXPECT_NEAR(centre, tick, 2) << "row " << row << " label " << i;
            // A whole "460.4" is some 25 pixels wide; cut to "460" it was about 17.
            EXPECT_GE(runs[i].second - runs[i].first, 20) << "row " << row << " label " << i;
        }
    }
    // The title stands below both rows, centred at 910.
    // Its own top, 235 + rnd(11 + 10 + 4) = 260, lies one row lower: 271.
    const auto title = DarkRuns(DarkColumns(canvas, 271, 271 + rowHeight - 1), 740, 1070, 6);
    ASSERT_EQ(title.size(), 1u);
    EXPECT_NEAR((title[0].first + title[0].second) / 2, 910, 3);
    EXPECT_EQ(DarkPixels(canvas, QRect(740, 245 + 2 * rowHeight, 330, 4)), 0);

    // Drawn again with the same labels: nothing of the first drawing is cut away.
    QImage before = canvas;
    g.DrawAxisLabels(1, "Wavelength", 2, 400.0f, 2.3f, 0.00095f);
    EXPECT_EQ(canvas, before);
}

TEST(GraphDrawTest, LabelsThatFitStayOnOneRow) {
    QImage canvas = Canvas();
    graph g;
    g.SetFonts(12, 0, 100, "Arial");
    // Ten intervals of 80 pixels hold every label.
    g.Layout(100, 5, 800, 230, 10, 5, 10, 5, &canvas);
    g.SetRange(1, 0.0f, 127.0f);
    g.SetRange(0, 0.0f, 2000.0f);
    g.DrawAxisLabels(1, "Wavelength", 2, 400.0f, 2.3f, 0.00095f);
    EXPECT_EQ(g.XLabelRows(), 1);
    EXPECT_EQ(DarkRuns(DarkColumns(canvas, 246, 254), 60, 940).size(), 11u);
    // The title at its own place: top at 235 + rnd(11 + 10 + 4) = 260, below the one row.
    EXPECT_GT(DarkPixels(canvas, QRect(450, 260, 200, 11)), 10);
    EXPECT_EQ(DarkPixels(canvas, QRect(60, 256, 880, 4)), 0);
}

TEST(GraphDrawTest, YTitleIsDrawnWhereItShowsAndStaysOverFreshLabels) {
    QImage canvas = Canvas();
    graph g;
    g.SetTextBackground(240, 240, 240);
    // The picture beside the plot covers every column left of 725.
    g.SetVisibleLeft(725);
    LayOut(g, &canvas);
    g.SetRange(1, 0.0f, 127.0f);
    g.SetRange(0, 0.0f, 2000.0f);
    g.DrawAxisLabels(0, "Igram Magnitude", 2, 400.0f, 1.0f, 0.0f);
    // Its own place (785 - 72 = 713) lies under the picture: it starts at 725 instead and stays
    // left of the widest label ("2000", from about 742).
    EXPECT_GT(DarkPixels(canvas, QRect(725, 60, 15, 120)), 20);
    EXPECT_EQ(DarkPixels(canvas, QRect(700, 0, 25, 240)), 0);
    EXPECT_EQ(DarkPixels(canvas, QRect(740, 30, 2, 180)), 0);
    // Every later drawing passes an empty title; the labels' blanks reach over the title's
    // columns, and the title is drawn again over them.
    const QImage first = canvas;
    g.SetRange(0, 0.0f, 20.0f);
    g.DrawAxisLabels(0, "", 2, 400.0f, 1.0f, 0.0f);
    EXPECT_EQ(canvas.copy(725, 60, 15, 120), first.copy(725, 60, 15, 120));
}
