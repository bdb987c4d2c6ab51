// Drawing of the plot onto the target picture with QPainter. Lines follow the conventions of the
// program's original drawing calls: a line from p1 to p2 covers p1 up to but not including p2, and
// a frame drawn "from (left, top) to (right + 1, bottom + 1)" covers the columns left..right and
// the rows top..bottom.
#include "display/graph.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QPolygon>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);

// Axis-aligned solid segment from (x1, y1) up to, not including, (x2, y2).
void Segment(QPainter& p, int x1, int y1, int x2, int y2, const QColor& c) {
    if (x1 == x2 && y1 != y2) {
        const int last = y2 > y1 ? y2 - 1 : y2 + 1;
        p.fillRect(QRect(QPoint(x1, std::min(y1, last)), QPoint(x1, std::max(y1, last))), c);
    } else if (y1 == y2 && x1 != x2) {
        const int last = x2 > x1 ? x2 - 1 : x2 + 1;
        p.fillRect(QRect(QPoint(std::min(x1, last), y1), QPoint(std::max(x1, last), y1)), c);
    }
}

int Rnd(double v) {
    return int(v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5));
}

struct Extent {
    int width;
    int height;
};

Extent TextExtent(const QFontMetrics& fm, const QString& s) {
    return {fm.horizontalAdvance(s), fm.height()};
}

// Text with its top-left corner at (x, y) on an opaque background of its extent.
void OpaqueText(QPainter& p, const QFontMetrics& fm, int x, int y, const QString& s, const QColor& bg) {
    const Extent e = TextExtent(fm, s);
    p.fillRect(QRect(x, y, e.width, e.height), bg);
    p.setPen(kBlack);
    p.drawText(QPoint(x, y + fm.ascent()), s);
}

} // namespace

graph::graph() = default;
graph::~graph() = default;

void graph::SetFonts(int height, int width, int weight, const std::string& faceName) {
    auto font = std::make_unique<QFont>(QString::fromStdString(faceName));
    const int cell = height > 0 ? height : 12;
    // The height is the character cell (ascent plus descent), as the original font request meant
    // it: start from that pixel size and shrink until the face's cell fits.
    font->setPixelSize(cell);
    const int measured = QFontMetrics(*font).height();
    if (measured > cell)
        font->setPixelSize(std::max(1, Rnd(double(cell) * cell / measured)));
    font->setWeight(QFont::Weight(std::clamp(weight > 0 ? weight : 400, 1, 1000)));
    if (width > 0) {
        const int natural = QFontMetrics(*font).averageCharWidth();
        if (natural > 0)
            font->setStretch(std::clamp(width * 100 / natural, 1, 4000));
    }
    m_font = std::move(font);
    m_fontHeight = height;
    m_fontWidth = width == 0 ? height : width;
}

void graph::SetTextBackground(int red, int green, int blue) {
    m_textBackground = QColor(red, green, blue).rgb();
}

void graph::Layout(int left, int top, int width, int height, int xTicks, int xMinorTicks, int yTicks,
                   int yMinorTicks, QImage* fallback) {
    QImage* target = m_attached ? m_attached : fallback;
    if (target == nullptr || target->isNull()) {
        m_target = nullptr;
        m_enabled = 0;
        return;
    }
    m_target = target;
    m_enabled = 1;
    SetGeometry(left, top, width, height, xTicks, xMinorTicks, yTicks, yMinorTicks);

    QPainter p(m_target);
    // Frame: black outline on the rectangle's edges, white inside.
    p.fillRect(QRect(QPoint(m_left, m_top), QPoint(m_right, m_bottom)), kBlack);
    if (m_right - m_left >= 2 && m_bottom - m_top >= 2)
        p.fillRect(QRect(QPoint(m_left + 1, m_top + 1), QPoint(m_right - 1, m_bottom - 1)), kWhite);

    QPen dotted(kBlack, 1, Qt::DotLine);
    dotted.setCosmetic(true);
    const std::vector<int> xs = MajorPositions(kXAxis);
    const std::vector<int> xMinor = MinorPositions(kXAxis);
    for (size_t i = 0; i < xs.size(); ++i) {
        if (i > 0) {
            p.setPen(dotted);
            p.drawLine(QPoint(xs[i], m_bottom), QPoint(xs[i], m_top + 1));
        }
        for (int j = 0; j < m_xMinorTicks; ++j) {
            const int x = xMinor[i * size_t(m_xMinorTicks) + size_t(j)];
            Segment(p, x, m_bottom, x, m_bottom - 5, kBlack);
        }
    }
    const std::vector<int> ys = MajorPositions(kYAxis);
    const std::vector<int> yMinor = MinorPositions(kYAxis);
    for (size_t i = 0; i < ys.size(); ++i) {
        if (i > 0) {
            p.setPen(dotted);
            p.drawLine(QPoint(m_left, ys[i]), QPoint(m_right - 1, ys[i]));
        }
        for (int j = 0; j < m_yMinorTicks; ++j) {
            const int y = yMinor[i * size_t(m_yMinorTicks) + size_t(j)];
            Segment(p, m_left, y, m_left + 5, y, kBlack);
        }
    }
}

void graph::DrawAxisLabels(int axis, const std::string& title, int binningCode, float a0, float a1,
                           float a2) {
    if (!m_enabled || m_target == nullptr)
        return;
    if (!m_font)
        SetFonts(12, 0, 400, "Arial");
    QPainter p(m_target);
    p.setFont(*m_font);
    const QFontMetrics fm(*m_font);
    const QColor bg = QColor::fromRgb(m_textBackground);
    const QString blank(15, QLatin1Char(' '));

    // Every label with its anchor: x labels centred under the tick with their top 2 pixels below
    // the mark's end, y labels with their right edge 9 pixels left of the mark's end, centred on
    // the tick.
    struct Placed {
        QString text;
        int x = 0; // x: centre; y: right edge
        int y = 0; // x: top; y: centre
    };
    const int n = Ticks(axis);
    std::vector<Placed> labels;
    for (int k = 0; k <= n; ++k) {
        const double value = TickValue(axis, k);
        Placed l{QString::fromStdString(TickLabel(axis, k, binningCode, a0, a1, a2))};
        if (axis == kXAxis) {
            const Point pt = Map(float(value), m_yMin);
            Segment(p, pt.x, pt.y, pt.x, pt.y + 8, kBlack);
            l.x = pt.x;
            l.y = pt.y + 10;
        } else {
            const Point pt = Map(m_xMin, float(value));
            Segment(p, pt.x, pt.y, pt.x - 8, pt.y, kBlack);
            l.x = pt.x - 17;
            l.y = pt.y;
        }
        labels.push_back(l);
    }
    // x labels wider than the space between two ticks would run into each other ("943 1003.96"
    // read as one number): the odd ones then go one text row lower.
    int rows = 1;
    if (axis == kXAxis) {
        constexpr int kGap = 3;
        for (size_t k = 1; k < labels.size(); ++k) {
            const int rightOfPrevious = labels[k - 1].x + TextExtent(fm, labels[k - 1].text).width / 2;
            const int leftOfThis = labels[k].x - TextExtent(fm, labels[k].text).width / 2;
            if (leftOfThis - rightOfPrevious < kGap)
                rows = 2;
        }
        if (rows == 2)
            for (size_t k = 1; k < labels.size(); k += 2)
                labels[k].y += fm.height();
        m_xLabelRows = rows;
    }
    auto place = [&](const Placed& l, const QString& s) {
        const Extent e = TextExtent(fm, s);
        if (axis == kXAxis)
            OpaqueText(p, fm, l.x - e.width / 2, l.y, s, bg);
        else
            OpaqueText(p, fm, l.x - e.width, l.y - e.height / 2, s, bg);
    };
    // All blanks first, then all texts: a blank erases what an earlier drawing left at its place
    // but never the label of a neighbour.
    for (const Placed& l : labels)
        place(l, blank);
    for (const Placed& l : labels)
        place(l, l.text);

    std::string& last = m_titles[axis == kXAxis ? 1 : 0];
    if (!title.empty())
        last = title;
    if (last.empty())
        return;
    const QString text = QString::fromStdString(last);
    const Extent e = TextExtent(fm, text);
    if (axis == kXAxis) {
        const Point pt = Map((m_xMin + m_xMax) / 2.0f, m_yMin);
        const int top = pt.y + Rnd(e.height + 10 + 5.0 * m_fontHeight / 15.0) + (rows - 1) * fm.height();
        OpaqueText(p, fm, pt.x - e.width / 2, top, text, bg);
    } else {
        const Point pt = Map(m_xMin, (m_yMin + m_yMax) / 2.0f);
        const int x = std::max(pt.x - Rnd(80.0 * m_fontHeight / 15.0 + 8.0), m_visibleLeft);
        const int y = pt.y + e.width / 2;
        // Rotated by 90 degrees: the text runs upward from (x, y), its top facing left.
        p.save();
        p.translate(x, y);
        p.rotate(-90.0);
        OpaqueText(p, fm, 0, 0, text, bg);
        p.restore();
    }
}

void graph::PlotCurve(const float* x, const float* y, int count, int red, int green, int blue, int penWidth) {
    if (!m_enabled || m_target == nullptr || x == nullptr || y == nullptr || count < 2)
        return;
    QPolygon points;
    points.reserve(count);
    const Point first = Map(x[0], y[0]);
    points << QPoint(first.x, first.y);
    for (int i = 1; i < count; ++i) {
        const Point pt = Map(m_xScale * x[i], m_yScale * y[i]);
        points << QPoint(pt.x, pt.y);
    }
    QPainter p(m_target);
    p.setClipRect(QRect(m_left, m_top, m_right - m_left, m_bottom - m_top));
    QPen pen(QColor(std::clamp(red, 0, 255), std::clamp(green, 0, 255), std::clamp(blue, 0, 255)));
    pen.setWidth(std::max(penWidth, 1));
    p.setPen(pen);
    p.drawPolyline(points);
}
