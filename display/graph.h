#pragma once
// The line plot of the main window (the spectrum plot): a white plot rectangle with a dotted grid
// and minor ticks, tick labels on both axes, an axis title per axis, and poly-line curves. Nothing
// is retained: every call draws at once onto the target picture, and a full redraw is the sequence
// Layout -> SetRange/Autoscale per axis -> DrawAxisLabels per axis -> PlotCurve per curve.
//
// GraphScale holds the plot's geometry, ranges and the arithmetic (data to pixel mapping,
// autoscaling, tick values and label texts) and is Qt-free. graph adds the drawing onto a QImage
// that stands for the target window's client area (library arv_draw).
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class GraphScale {
public:
    static constexpr int kYAxis = 0;
    static constexpr int kXAxis = 1;
    struct Point {
        int x = 0;
        int y = 0;
        bool operator==(const Point&) const = default;
    };

    GraphScale() = default;
    virtual ~GraphScale() = default;

    void SetXScale(float scale) { m_xScale = scale; }
    void SetYScale(float scale) { m_yScale = scale; }
    float XScale() const { return m_xScale; }
    float YScale() const { return m_yScale; }

    // Plot rectangle (left, top, left + width, top + height) and tick counts, as Layout stores them.
    void SetGeometry(int left, int top, int width, int height, int xTicks, int xMinorTicks, int yTicks,
                     int yMinorTicks);
    int Left() const { return m_left; }
    int Top() const { return m_top; }
    int Right() const { return m_right; }
    int Bottom() const { return m_bottom; }
    int Ticks(int axis) const { return axis == kXAxis ? m_xTicks : m_yTicks; }
    int MinorTicks(int axis) const { return axis == kXAxis ? m_xMinorTicks : m_yMinorTicks; }

    // axis 1 = x, 0 = y. Stores (lo, hi) and returns 1 when hi > lo; otherwise changes nothing and
    // returns 0.
    int SetRange(int axis, float lo, float hi);
    float Min(int axis) const { return axis == kXAxis ? m_xMin : m_yMin; }
    float Max(int axis) const { return axis == kXAxis ? m_xMax : m_yMax; }

    // Rounded range for the data (each value times the axis's scale factor) over the axis's tick
    // count: a step of the form (m + 1) * 10^k above the raw step, anchored beyond the larger
    // magnitude, widened until it holds the data. Returns 1 when stored; 0 (nothing changed) when
    // count < 1, the axis has no ticks yet, or the data are not finite.
    int Autoscale(int axis, const float* data, int count);

    // Device pixel of a data point: px = trunc(left + (right-left)/(xmax-xmin)*(x-xmin) + 0.5),
    // py = trunc(bottom + (top-bottom)/(ymax-ymin)*(y-ymin) + 0.5); y grows upward. Results are
    // limited to +-1e6 so that far-away points stay representable.
    Point Map(float x, float y) const;
    Point Map(int16_t x, int16_t y) const;

    // Pixel positions of the grid: major lines at trunc(origin + i*step + 0.5), i = 0..ticks-1
    // (x: from left over the width, y: from top over the height), and minor ticks
    // trunc(major + j*step/minor + 0.5), j = 0..minor-1, for every major position.
    std::vector<int> MajorPositions(int axis) const;
    std::vector<int> MinorPositions(int axis) const;

    // Tick value k (0..ticks) of an axis: min + (max - min) / ticks * k.
    double TickValue(int axis, int k) const;
    // Label text of tick k: exponent form when the axis span is at most 0.0001 or at least 100000;
    // otherwise y labels "%0.0f" and x labels the wavelengths of the binning code's polynomial
    // (labels "%1.1f", label 10 "%1.2f" of the last wavelength).
    std::string TickLabel(int axis, int k, int binningCode, float a0, float a1, float a2) const;

    // "%9.2e" of the value without blanks; a three-digit exponent with a leading zero loses it.
    static std::string ExponentLabel(double value);
    // "%0.0f" of the value without blanks and without a trailing ".".
    static std::string IntegerLabel(double value);
    // Wavelength label k of the x axis for a binning code (1..8; others give a0 and 0.00).
    static std::string WavelengthLabel(int k, int binningCode, float a0, float a1, float a2);

protected:
    int m_left = 0, m_top = 0, m_right = 0, m_bottom = 0;
    int m_xTicks = 0, m_xMinorTicks = 0, m_yTicks = 0, m_yMinorTicks = 0;
    float m_xMin = 0.0f, m_xMax = 1.0f, m_yMin = 0.0f, m_yMax = 1.0f;
    float m_xScale = 1.0f, m_yScale = 1.0f;
};

class QImage;
class QFont;

class graph : public GraphScale {
public:
    graph();
    ~graph() override;
    graph(const graph&) = delete;
    graph& operator=(const graph&) = delete;

    // The picture the plot is attached to (takes precedence over Layout's fallback); may be null.
    void Attach(QImage* target) { m_attached = target; }

    // Font of labels and titles (the y title is drawn rotated by 90 degrees). height is the cell
    // height in pixels, width the average character width (0: the face's own), weight 1..1000.
    void SetFonts(int height, int width, int weight, const std::string& faceName);
    int FontHeight() const { return m_fontHeight; }
    int FontWidth() const { return m_fontWidth; }

    // Background colour behind labels and titles (the window's button-face colour).
    void SetTextBackground(int red, int green, int blue);

    // Finds the target (the attached picture, else fallback); without one the plot is disabled and
    // nothing happens. Otherwise stores the geometry and draws the frame (black, white inside,
    // which erases earlier curves), the dotted grid and the minor ticks.
    void Layout(int left, int top, int width, int height, int xTicks, int xMinorTicks, int yTicks,
                int yMinorTicks, QImage* fallback);

    // Tick marks and labels 0..ticks of the axis, then the axis title. Every label's place is first
    // blanked with 15 spaces, all blanks before any text, so that a blank erases what an earlier
    // drawing left there but never cuts a neighbouring label. When neighbouring x labels would
    // touch, the odd ones go one text row lower and the x title one row lower with them. An empty
    // title draws the axis's last title again, so it stays on screen over the fresh blanks.
    void DrawAxisLabels(int axis, const std::string& title, int binningCode, float a0, float a1, float a2);

    // Leftmost column of the target that is shown (what lies further left is covered, such as the
    // picture beside the plot): a y title whose place lies further left starts there instead.
    void SetVisibleLeft(int x) { m_visibleLeft = x; }
    // Rows of x labels in the last drawing: 1, or 2 when they were staggered.
    int XLabelRows() const { return m_xLabelRows; }

    // Poly-line through (x[0], y[0]) and (xScale*x[i], yScale*y[i]), i >= 1, clipped to the plot
    // rectangle, in a solid pen of the colour and width.
    void PlotCurve(const float* x, const float* y, int count, int red, int green, int blue, int penWidth);

    bool Enabled() const { return m_enabled != 0; }

private:
    QImage* m_attached = nullptr;
    QImage* m_target = nullptr;
    int m_enabled = 0;
    std::unique_ptr<QFont> m_font;
    int m_fontHeight = 0;
    int m_fontWidth = 0;
    uint32_t m_textBackground = 0xFFF0F0F0u; // 0xAARRGGBB
    int m_visibleLeft = INT_MIN;
    int m_xLabelRows = 1;
    std::string m_titles[2]; // last title drawn, per axis
};
