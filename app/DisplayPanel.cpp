#include "app/DisplayPanel.h"

#include "calibration/DefaultCalibration.h"
#include "camera/AcquisitionEngine.h"
#include "core/UserPrompts.h"
#include "display/ClientArea.h"
#include "display/SpectrumProbe.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QThread>
#include <tuple>

namespace {
// The picture spans client x 27 ... 722 and y 0 ... 519; the right button and the left button's
// release probe x 27 ... 546 only.
constexpr int kPictureLeft = 27, kPictureRight = 722, kPictureBottom = 519, kRightButtonRight = 546;

bool InPicture(QPoint p, int right) {
    return p.x() >= kPictureLeft && p.x() <= right && p.y() >= 0 && p.y() <= kPictureBottom;
}

// The rectangle of the picture that shows the white reference: picture column x is line x, row y
// the stored sample position H - 1 - y.
QRect WhiteClientRect(const WhiteRect& r, int samples) {
    return QRect(QPoint(kPictureLeft + r.line0, samples - 1 - r.sample1),
                 QPoint(kPictureLeft + r.line1, samples - 1 - r.sample0));
}
} // namespace

DisplayPanel::DisplayPanel(Window window) : m_window(std::move(window)) {}

DisplayPanel::~DisplayPanel() = default;

bool DisplayPanel::Checked(int id) const {
    return Get<QCheckBox>(id)->isChecked();
}

const QImage& DisplayPanel::PlotImage() const {
    return m_window.client.PlotSurface();
}

// ---------------------------------------------------------------------------------------------
// Picture

void DisplayPanel::Setup() {
    m_imageDisplay = std::make_unique<ImageDisplay>(m_window.engine);
    m_imageDisplay->controls.colorMap = 1;
    SyncControls();
    SetupSpectrumPlot();
    UpdateImage();
}

std::array<int32_t, 3> DisplayPanel::RgbSelections() const {
    std::array<int32_t, 3> sel{};
    const int ids[3] = {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST};
    for (size_t i = 0; i < 3; ++i)
        sel[i] = Get<QComboBox>(ids[i])->currentIndex();
    return sel;
}

void DisplayPanel::SyncControls() {
    if (!m_imageDisplay)
        return;
    DisplayControls& c = m_imageDisplay->controls;
    c.band = std::max(0, Get<QComboBox>(IDC_WAVELENGTH_LIST)->currentIndex());
    c.color = Checked(IDC_COLOR);
    const auto rgb = RgbSelections();
    c.red = std::max(0, rgb[0]);
    c.green = std::max(0, rgb[1]);
    c.blue = std::max(0, rgb[2]);
    c.imageScale = Checked(IDC_IMAGE_SCALE);
    c.minSlider = m_minSlider;
    c.maxSlider = m_maxSlider;
    c.applyDark = Checked(IDC_APPLY_DARK);
    const SaturationLimits limits = SaturationEditLimits();
    c.showSaturation = Checked(IDC_SHOW_SATURATION);
    c.saturationMax = limits.max;
    m_window.engine.SetSaturationThreshold(limits.HighThreshold());
}

SaturationLimits DisplayPanel::SaturationEditLimits() const {
    SaturationLimits limits;
    bool ok = false;
    int v = Get<QLineEdit>(IDC_SAT_MAX_EDIT)->text().toInt(&ok);
    if (ok)
        limits.max = v;
    v = Get<QLineEdit>(IDC_SAT_MIN_EDIT)->text().toInt(&ok);
    if (ok)
        limits.min = v;
    return limits;
}

void DisplayPanel::OnCheckSaturation() {
    // Read under the line locks: an acquisition may be writing the cube meanwhile.
    AcquisitionEngine& e = m_window.engine;
    const SaturationCount c =
        CountSaturation(e.Cube().data(), e.Geometry(), SaturationEditLimits(), &m_imageDisplay->Guard());
    Get<QLabel>(IDC_SAT_MAX_LABEL)->setText(QString::fromStdString(SaturationText(c.high, c.total)));
    Get<QLabel>(IDC_SAT_MIN_LABEL)->setText(QString::fromStdString(SaturationText(c.low, c.total)));
}

void DisplayPanel::UpdateImage() {
    if (!m_imageDisplay)
        return;
    m_imageDisplay->UpdateImage();
    // The picture reaches the screen on the window thread; at most one draw is queued at a time.
    if (QThread::currentThread() == thread()) {
        DrawBitmap();
    } else if (!m_drawPending.exchange(true)) {
        QMetaObject::invokeMethod(
            this, [this] { DrawBitmap(); }, Qt::QueuedConnection);
    }
}

void DisplayPanel::RefreshImage() {
    if (Checked(IDC_COLOR))
        return;
    UpdateImage();
}

void DisplayPanel::DrawBitmap() {
    m_drawPending = false;
    int w = 0, h = 0;
    if (!ImageProc().CopyTopDownRgb32(m_pictureScratch, w, h))
        return;
    QImage picture(reinterpret_cast<const uchar*>(m_pictureScratch.data()), w, h, w * 4,
                   QImage::Format_RGB32);
    m_window.client.SetPicture(picture.copy());
    ++m_picturesDrawn;
    // Clipped values of the last line or live frame, while an acquisition runs.
    const int64_t high = m_window.engine.LastLineHigh();
    if (m_window.engine.Busy() && high >= 0)
        m_window.setStatusText(4, "Saturated: " + std::to_string(high));
}

// ---------------------------------------------------------------------------------------------
// Controls

void DisplayPanel::SetSliderFields(bool isMax, int value, bool moveSlider) {
    int& slider = isMax ? m_maxSlider : m_minSlider;
    int& edit = isMax ? m_maxEdit : m_minEdit;
    slider = value;
    edit = value;
    Get<QLabel>(isMax ? IDC_MAX_LABEL : IDC_MIN_LABEL)
        ->setText(QStringLiteral("%1 %2").arg(isMax ? "Max: " : "Min: ").arg(value));
    auto* e = Get<QLineEdit>(isMax ? IDC_MAX_EDIT : IDC_MIN_EDIT);
    if (e->text() != QString::number(value)) {
        QSignalBlocker block(e);
        e->setText(QString::number(value));
    }
    if (moveSlider) {
        auto* s = Get<QSlider>(isMax ? IDC_MAX_SLIDER : IDC_MIN_SLIDER);
        QSignalBlocker block(s);
        s->setValue(value);
    }
    SyncControls();
}

void DisplayPanel::OnSliderMoved(bool isMax) {
    auto* s = Get<QSlider>(isMax ? IDC_MAX_SLIDER : IDC_MIN_SLIDER);
    int v = s->value();
    // The maximum never goes below 1 (it divides the gain).
    if (isMax && v < 1)
        v = 1;
    SetSliderFields(isMax, v, isMax && s->value() != v);
    if (Checked(IDC_IMAGE_SCALE))
        RefreshImage();
}

void DisplayPanel::OnLimitEditChanged(bool isMax) {
    auto* e = Get<QLineEdit>(isMax ? IDC_MAX_EDIT : IDC_MIN_EDIT);
    bool ok = false;
    const int v = e->text().toInt(&ok);
    if (!ok)
        return;
    (isMax ? m_maxEdit : m_minEdit) = v;
    // The slider's own handler takes the value into the fields.
    Get<QSlider>(isMax ? IDC_MAX_SLIDER : IDC_MIN_SLIDER)->setValue(v);
}

void DisplayPanel::OnStepButton(bool isMax, int delta) {
    const int lower = isMax ? 1 : 0;
    const int v = std::clamp((isMax ? m_maxSlider : m_minSlider) + delta, lower, 16383);
    SetSliderFields(isMax, v, true);
    RefreshImage();
}

void DisplayPanel::ConnectControls() {
    connect(Get<QSlider>(IDC_MIN_SLIDER), &QSlider::valueChanged, this, [this] { OnSliderMoved(false); });
    connect(Get<QSlider>(IDC_MAX_SLIDER), &QSlider::valueChanged, this, [this] { OnSliderMoved(true); });
    connect(Get<QLineEdit>(IDC_MIN_EDIT), &QLineEdit::textEdited, this,
            [this] { OnLimitEditChanged(false); });
    connect(Get<QLineEdit>(IDC_MAX_EDIT), &QLineEdit::textEdited, this, [this] { OnLimitEditChanged(true); });
    const std::tuple<int, bool, int> steps[] = {{IDC_MIN_MINUS, false, -1},
                                                {IDC_MIN_PLUS, false, +1},
                                                {IDC_MAX_MINUS, true, -1},
                                                {IDC_MAX_PLUS, true, +1}};
    for (auto [id, isMax, delta] : steps)
        connect(Get<QPushButton>(id), &QPushButton::clicked, this,
                [this, isMax = isMax, delta = delta] { OnStepButton(isMax, delta); });
    // The grey picture's controls redraw it unless "Color" is ticked; the colour controls, "Apply
    // Dark" and the overlay (shown in the grey and the colour picture alike) redraw it always.
    auto syncRefresh = [this] {
        SyncControls();
        RefreshImage();
    };
    auto syncUpdate = [this] {
        SyncControls();
        UpdateImage();
    };
    connect(Get<QCheckBox>(IDC_IMAGE_SCALE), &QCheckBox::clicked, this, syncRefresh);
    connect(Get<QComboBox>(IDC_WAVELENGTH_LIST), qOverload<int>(&QComboBox::activated), this, syncRefresh);
    connect(Get<QScrollBar>(IDC_HSCROLL), &QScrollBar::valueChanged, this, [this] { RefreshImage(); });
    for (int id : {IDC_COLOR, IDC_APPLY_DARK, IDC_SHOW_SATURATION})
        connect(Get<QCheckBox>(id), &QCheckBox::clicked, this, syncUpdate);
    for (int id : {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST})
        connect(Get<QComboBox>(id), qOverload<int>(&QComboBox::activated), this, syncUpdate);
    connect(Get<QPushButton>(IDC_CHECK_SATURATION), &QPushButton::clicked, this,
            [this] { OnCheckSaturation(); });
    connect(Get<QLineEdit>(IDC_SAT_MAX_EDIT), &QLineEdit::textChanged, this, [this] {
        SyncControls();
        if (Checked(IDC_SHOW_SATURATION))
            UpdateImage();
    });
    ClientArea* client = &m_window.client;
    connect(client, &ClientArea::MouseMoved, this, [this](QPoint p) { OnMouseMove(p); });
    connect(client, &ClientArea::LeftButtonDown, this, [this](QPoint p) { OnLeftButtonDown(p); });
    connect(client, &ClientArea::LeftButtonUp, this, [this](QPoint p) { OnLeftButtonUp(p); });
    connect(client, &ClientArea::RightButtonDown, this, [this](QPoint p) { OnRightButtonDown(p); });
    connect(client, &ClientArea::ShiftDrag, this,
            [this](QPoint start, QPoint current, bool finished) { OnShiftDrag(start, current, finished); });
}

// ---------------------------------------------------------------------------------------------
// White reference

void DisplayPanel::SetWhiteReference(const std::optional<WhiteRect>& rect) {
    m_whiteRect = rect;
    m_window.client.SetWhiteRectangle(rect ? WhiteClientRect(*rect, m_window.engine.Geometry().height)
                                           : QRect());
    if (rect)
        m_window.setStatusText(3, "White reference: lines " + std::to_string(rect->line0) + " to " +
                                      std::to_string(rect->line1) + ", samples " +
                                      std::to_string(rect->sample0) + " to " + std::to_string(rect->sample1));
}

void DisplayPanel::OnShiftDrag(QPoint start, QPoint current, bool finished) {
    // A drag that starts beside the picture chooses nothing.
    if (m_closing || !InPicture(start, kPictureRight))
        return;
    const CubeGeometry g = m_window.engine.Geometry();
    auto line = [&](int x) { return std::clamp(x - kPictureLeft, 0, g.width - 1); };
    auto row = [&](int y) { return std::clamp(y, 0, g.height - 1); };
    const int x0 = line(std::min(start.x(), current.x())), x1 = line(std::max(start.x(), current.x()));
    const int y0 = row(std::min(start.y(), current.y())), y1 = row(std::max(start.y(), current.y()));
    const WhiteRect rect{x0, x1, g.height - 1 - y1, g.height - 1 - y0};
    if (finished)
        SetWhiteReference(rect);
    else
        m_window.client.SetWhiteRectangle(WhiteClientRect(rect, g.height));
}

// ---------------------------------------------------------------------------------------------
// Spectrum plot and probe

void DisplayPanel::SetupSpectrumPlot() {
    const int B = m_window.engine.Geometry().bands;
    ClientArea& client = m_window.client;
    m_graph = std::make_unique<graph>();
    m_graph->SetXScale(1.0f);
    m_graph->SetYScale(1.0f);
    m_graph->SetFonts(12, 0, 100, "Arial");
    const QColor face = client.palette().color(QPalette::Button);
    m_graph->SetTextBackground(face.red(), face.green(), face.blue());
    // The y title's own place lies under the picture; it is drawn where it shows.
    m_graph->SetVisibleLeft(ClientArea::kPlotAreaLeft);
    m_probeSpectrum.assign(size_t(B), 0.0f);
    m_refSpectrum.assign(size_t(B), 0.0f);
    m_bandAxis.resize(size_t(B));
    for (int i = 0; i < B; ++i)
        m_bandAxis[size_t(i)] = float(i);
    QImage* surface = &client.PlotSurface();
    m_graph->Layout(ClientArea::kPlotX, ClientArea::kPlotY, ClientArea::kPlotWidth, ClientArea::kPlotHeight,
                    10, 5, 10, 5, surface);
    m_graph->SetRange(1, 0.0f, float(B - 1));
    m_graph->Autoscale(0, m_probeSpectrum.data(), B);
    m_graph->Autoscale(0, m_refSpectrum.data(), B);
    const float* a = m_window.defCal.coeffs;
    m_graph->DrawAxisLabels(1, "Image Number", 2, a[0], a[1], a[2]);
    m_graph->DrawAxisLabels(0, "Igram Magnitude", 2, a[0], a[1], a[2]);
    m_graph->PlotCurve(m_bandAxis.data(), m_probeSpectrum.data(), B, 0, 0, 0, 1);
    client.update();
}

void DisplayPanel::DrawSpectrumPlot() {
    if (!m_graph)
        return;
    const int B = m_window.engine.Geometry().bands;
    ClientArea& client = m_window.client;
    m_bandAxis.resize(size_t(B));
    for (int i = 0; i < B; ++i)
        m_bandAxis[size_t(i)] = float(i);
    // The band under the plot is cleared so that a shorter x title leaves nothing of a longer one.
    QImage& surface = client.PlotSurface();
    {
        QPainter p(&surface);
        const int top = ClientArea::kPlotY + ClientArea::kPlotHeight + 1;
        p.fillRect(QRect(ClientArea::kPlotAreaLeft, top, surface.width(), surface.height() - top),
                   client.palette().color(QPalette::Button));
    }
    m_graph->Layout(ClientArea::kPlotX, ClientArea::kPlotY, ClientArea::kPlotWidth, ClientArea::kPlotHeight,
                    10, 5, 10, 5, &surface);
    m_graph->SetRange(1, 0.0f, float(B - 1));
    m_graph->Autoscale(0, m_probeSpectrum.data(), B);
    if (m_refShown) {
        const float refMax = *std::max_element(m_refSpectrum.begin(), m_refSpectrum.end());
        const float probeMax = *std::max_element(m_probeSpectrum.begin(), m_probeSpectrum.end());
        if (refMax > probeMax)
            m_graph->Autoscale(0, m_refSpectrum.data(), B);
        m_graph->PlotCurve(m_bandAxis.data(), m_refSpectrum.data(), B, 255, 0, 0, 1);
    }
    const float* a = m_window.defCal.coeffs;
    m_graph->DrawAxisLabels(1, "Wavelength", 2, a[0], a[1], a[2]);
    m_graph->DrawAxisLabels(0, "", 2, a[0], a[1], a[2]);
    m_graph->PlotCurve(m_bandAxis.data(), m_probeSpectrum.data(), B, 0, 0, 0, 1);
    client.update();
}

void DisplayPanel::ShowCoordinates(int x, int y) {
    Get<QLabel>(IDC_X_STATIC)->setText(QStringLiteral("%1 %2").arg("X =").arg(x));
    Get<QLabel>(IDC_Y_STATIC)->setText(QStringLiteral("%1 %2").arg("Y =").arg(y));
}

void DisplayPanel::ShowPixelValue() {
    const CubeGeometry& g = m_window.engine.Geometry();
    const int x = m_mousePoint.x(), y = m_mousePoint.y();
    if (x >= 0 && x < g.width && y >= 0 && y < g.height)
        Get<QLabel>(IDC_PIXEL_STATIC)
            ->setText(QStringLiteral("%1 %2").arg("Pixel =").arg(m_imageDisplay->DisplayValue(x, y)));
}

void DisplayPanel::Probe(std::vector<float>& out) {
    AcquisitionEngine& e = m_window.engine;
    SpectrumSources src;
    src.cube = e.Cube().data();
    src.darkCube = e.StackBuffer(AcquisitionEngine::Stack::Dark).data();
    src.calCube = e.StackBuffer(AcquisitionEngine::Stack::Calibration).data();
    src.acquireDark = e.AcquiringDark();
    src.acquireCalCube = e.AcquiringCalibration();
    const int x = m_mousePoint.x(), y = m_mousePoint.y();
    if (Checked(IDC_APPLY_DARK)) {
        // The dark frame stays locked while it is read.
        const CalibrationStore::View calibration = e.Calibration().Lock();
        src.darkFrame = calibration.DarkFrame();
        ExtractSpectrum(x, y, out.data(), e.Geometry(), src, &m_imageDisplay->Guard());
    } else {
        ExtractSpectrum(x, y, out.data(), e.Geometry(), src, &m_imageDisplay->Guard());
    }
}

void DisplayPanel::OnMouseMove(QPoint p) {
    if (m_closing)
        return;
    m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
    if (!InPicture(p, kPictureRight))
        return;
    m_window.client.SetProbeCursor(true);
    Probe(m_probeSpectrum);
    DrawSpectrumPlot();
    ShowCoordinates(m_mousePoint.x(), m_mousePoint.y());
    ShowPixelValue();
}

void DisplayPanel::OnLeftButtonDown(QPoint p) {
    if (!m_closing && InPicture(p, kPictureRight)) {
        m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
        m_window.client.SetProbeCursor(true);
        Probe(m_refSpectrum);
        m_refShown = 1;
        DrawSpectrumPlot();
        ShowCoordinates(m_mousePoint.x(), m_mousePoint.y());
        ShowPixelValue();
    }
    m_mousePoint = p;
    if (onLeftButtonDown)
        onLeftButtonDown(p);
}

void DisplayPanel::OnLeftButtonUp(QPoint p) {
    m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
}

void DisplayPanel::OnRightButtonDown(QPoint p) {
    m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
    if (!InPicture(p, kRightButtonRight))
        return;
    const auto path = m_window.prompts.AskSavePath();
    if (!path)
        return;
    std::vector<std::string> texts;
    auto* wave = Get<QComboBox>(IDC_WAVELENGTH_LIST);
    for (int i = 0; i < wave->count(); ++i)
        texts.push_back(wave->itemText(i).toStdString());
    if (!WriteSpectrumFile(*path, m_mousePoint.x(), m_mousePoint.y(), texts, m_probeSpectrum.data(),
                           int(m_probeSpectrum.size())))
        m_window.prompts.Message(kMsgUnableToSaveSpectrum);
}
