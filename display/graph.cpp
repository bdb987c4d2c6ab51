#include "display/graph.h"

#include "analysis/myMath.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace {

// Truncation toward zero of a pixel coordinate, limited so that points far outside the plot (or
// not a number) still give a representable pixel well outside every picture.
int PixelOf(double v) {
    if (std::isnan(v))
        return -1000000;
    return int(std::trunc(std::clamp(v, -1e6, 1e6)));
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    const size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

} // namespace

void GraphScale::SetGeometry(int left, int top, int width, int height, int xTicks, int xMinorTicks,
                             int yTicks, int yMinorTicks) {
    m_left = left;
    m_top = top;
    m_right = left + width;
    m_bottom = top + height;
    m_xTicks = xTicks;
    m_xMinorTicks = xMinorTicks;
    m_yTicks = yTicks;
    m_yMinorTicks = yMinorTicks;
}

int GraphScale::SetRange(int axis, float lo, float hi) {
    if (!(hi > lo))
        return 0;
    if (axis == kXAxis) {
        m_xMin = lo;
        m_xMax = hi;
    } else {
        m_yMin = lo;
        m_yMax = hi;
    }
    return 1;
}

int GraphScale::Autoscale(int axis, const float* data, int count) {
    const int n = Ticks(axis);
    if (data == nullptr || count < 1 || n < 1)
        return 0;
    float fmin, fmax;
    myMath().MinMax(data, count, fmin, fmax);
    const double scale = axis == kXAxis ? m_xScale : m_yScale;
    double mn = double(fmin) * scale;
    double mx = double(fmax) * scale;
    if (scale <= 0.0)
        std::swap(mn, mx);
    if (!std::isfinite(mn) || !std::isfinite(mx))
        return 0;

    const double rawStep = (mx - mn) / n;
    const double e = rawStep == 0.0 ? 0.0 : std::log10(rawStep);
    const double k = std::trunc(e) - (e < 0.0 ? 1.0 : 0.0);
    const double mantissa = std::pow(10.0, e - k);
    const double power = std::pow(10.0, k);
    const double step = (std::floor(mantissa) + 1.0) * power;

    const bool maxIsBigger = std::fabs(mx) > std::fabs(mn);
    const double bigValue = maxIsBigger ? mx : mn;
    const double big = std::fabs(bigValue);
    double anchor = (std::floor(big / step) + 1.0) * step;
    if (bigValue < 0.0)
        anchor = -anchor;

    // The widening loops end after a few rounds; the cap only guards against steps that are lost
    // in the rounding of very large values (step 7 then still takes the data in).
    const double unit = n * power;
    double lo, hi;
    if (maxIsBigger) {
        hi = anchor;
        lo = hi - n * step;
        for (int guard = 0; lo > mn && guard < 1000; ++guard) {
            const double next = lo - unit;
            if (next == lo)
                break;
            lo = next;
        }
    } else {
        lo = anchor;
        hi = lo + n * step;
        for (int guard = 0; hi < mx && guard < 1000; ++guard) {
            const double next = hi + unit;
            if (next == hi)
                break;
            hi = next;
        }
    }
    if (lo < 0.0 && mn >= 0.0) {
        hi = hi - lo;
        lo = 0.0;
    }
    if (mn < lo)
        lo = mn - 1.0;
    if (hi < mx)
        hi = mx + 1.0;

    float flo = float(lo);
    float fhi = float(hi);
    if (!(fhi > flo))
        fhi = std::nextafter(flo, INFINITY);
    if (axis == kXAxis) {
        m_xMin = flo;
        m_xMax = fhi;
    } else {
        m_yMin = flo;
        m_yMax = fhi;
    }
    return 1;
}

GraphScale::Point GraphScale::Map(float x, float y) const {
    const double px =
        m_left + double(m_right - m_left) / (double(m_xMax) - m_xMin) * (double(x) - m_xMin) + 0.5;
    const double py =
        m_bottom + double(m_top - m_bottom) / (double(m_yMax) - m_yMin) * (double(y) - m_yMin) + 0.5;
    return {PixelOf(px), PixelOf(py)};
}

GraphScale::Point GraphScale::Map(int16_t x, int16_t y) const {
    return Map(float(x), float(y));
}

std::vector<int> GraphScale::MajorPositions(int axis) const {
    std::vector<int> out;
    const int ticks = Ticks(axis);
    if (ticks < 1)
        return out;
    const int origin = axis == kXAxis ? m_left : m_top;
    const double size = axis == kXAxis ? m_right - m_left : m_bottom - m_top;
    const double step = size / ticks;
    for (int i = 0; i < ticks; ++i)
        out.push_back(PixelOf(origin + i * step + 0.5));
    return out;
}

std::vector<int> GraphScale::MinorPositions(int axis) const {
    std::vector<int> out;
    const int ticks = Ticks(axis);
    const int minor = MinorTicks(axis);
    if (ticks < 1 || minor < 1)
        return out;
    const double size = axis == kXAxis ? m_right - m_left : m_bottom - m_top;
    const double minorStep = size / ticks / minor;
    for (int major : MajorPositions(axis))
        for (int j = 0; j < minor; ++j)
            out.push_back(PixelOf(major + j * minorStep + 0.5));
    return out;
}

double GraphScale::TickValue(int axis, int k) const {
    const int n = Ticks(axis);
    const double lo = Min(axis);
    const double hi = Max(axis);
    return n < 1 ? lo : lo + (hi - lo) / n * k;
}

std::string GraphScale::ExponentLabel(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%9.2e", value);
    std::string s = Trim(buf);
    const size_t q = s.find('e');
    if (q != std::string::npos && q > 0) {
        // C libraries that print three exponent digits give "1.00e+005": the leading zero is
        // dropped so that labels read "1.00e+05" everywhere. Two-digit exponents stay, and so does
        // a genuine three-digit exponent (e+100).
        size_t digits = 0;
        for (size_t i = q + 2; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i)
            ++digits;
        if (digits == 3 && s[q + 2] == '0')
            s.erase(q + 2, 1);
    }
    return s;
}

std::string GraphScale::IntegerLabel(double value) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%0.0f", value);
    std::string s = Trim(buf);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

std::string GraphScale::WavelengthLabel(int k, int binningCode, float a0, float a1, float a2) {
    int m = -1;
    switch (binningCode) {
    case 1:
    case 5:
        m = 479;
        break;
    case 2:
    case 6:
        m = 239;
        break;
    case 3:
    case 7:
        m = 119;
        break;
    case 4:
    case 8:
        m = 59;
        break;
    default:
        break;
    }
    double last = 0.0;
    double d = 0.0;
    if (m > 0) {
        last = double(a0) + double(a1) * m + double(a2) * m * m;
        d = (last - a0) / 10.0;
    }
    char buf[512];
    if (k == 10)
        std::snprintf(buf, sizeof buf, "%1.2f", last);
    else
        std::snprintf(buf, sizeof buf, "%1.1f", double(a0) + k * d);
    return buf;
}

std::string GraphScale::TickLabel(int axis, int k, int binningCode, float a0, float a1, float a2) const {
    const double span = double(Max(axis)) - double(Min(axis));
    if (span <= 0.0001 || span >= 100000.0)
        return ExponentLabel(TickValue(axis, k));
    if (axis != kXAxis)
        return IntegerLabel(TickValue(axis, k));
    return WavelengthLabel(k, binningCode, a0, a1, a2);
}
