// The main window's picture, display controls, spectrum plot and spectrum probe.
#include "app/stratadlg.h"
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

namespace {
// The picture spans client x 27 ... 722 and y 0 ... 519; the right button and the left button's
// release probe x 27 ... 546 only.
constexpr int kPictureLeft = 27, kPictureRight = 722, kPictureBottom = 519, kRightButtonRight = 546;

bool InPicture(QPoint p, int right) {
    return p.x() >= kPictureLeft && p.x() <= right && p.y() >= 0 && p.y() <= kPictureBottom;
}
} // namespace

bool CStrataDlg::OnDisplayCommand(int) {
    return false;
}

ImageProcess& CStrataDlg::ImageProc() {
    return m_imageDisplay->Processor();
}

const QImage& CStrataDlg::PlotImage() const {
    return m_client->PlotSurface();
}

// ---------------------------------------------------------------------------------------------
// Picture

void CStrataDlg::SetupDisplay() {
    m_imageDisplay = std::make_unique<ImageDisplay>(*m_engine);
    m_imageDisplay->controls.colorMap = 1;
    SyncDisplayControls();
    SetupSpectrumPlot();
    UpdateImage();
}

void CStrataDlg::SyncDisplayControls() {
    if (!m_imageDisplay)
        return;
    DisplayControls& c = m_imageDisplay->controls;
    c.band = std::max(0, static_cast<QComboBox*>(Control(IDC_WAVELENGTH_LIST))->currentIndex());
    c.color = static_cast<QCheckBox*>(Control(IDC_COLOR))->isChecked();
    const auto rgb = RgbSelections();
    c.red = std::max(0, rgb[0]);
    c.green = std::max(0, rgb[1]);
    c.blue = std::max(0, rgb[2]);
    c.imageScale = static_cast<QCheckBox*>(Control(IDC_IMAGE_SCALE))->isChecked();
    c.minSlider = m_minSlider;
    c.maxSlider = m_maxSlider;
    c.applyDark = static_cast<QCheckBox*>(Control(IDC_APPLY_DARK))->isChecked();
    const SaturationLimits limits = SaturationEditLimits();
    c.showSaturation = static_cast<QCheckBox*>(Control(IDC_SHOW_SATURATION))->isChecked();
    c.saturationMax = limits.max;
    m_engine->SetSaturationThreshold(limits.HighThreshold());
}

SaturationLimits CStrataDlg::SaturationEditLimits() const {
    SaturationLimits limits;
    bool ok = false;
    int v = static_cast<QLineEdit*>(Control(IDC_SAT_MAX_EDIT))->text().toInt(&ok);
    if (ok)
        limits.max = v;
    v = static_cast<QLineEdit*>(Control(IDC_SAT_MIN_EDIT))->text().toInt(&ok);
    if (ok)
        limits.min = v;
    return limits;
}

void CStrataDlg::OnCheckSaturation() {
    // Read under the line locks: an acquisition may be writing the cube meanwhile.
    const SaturationCount c = CountSaturation(m_engine->Cube().data(), m_engine->Geometry(),
                                              SaturationEditLimits(), &m_imageDisplay->Guard());
    static_cast<QLabel*>(Control(IDC_SAT_MAX_LABEL))
        ->setText(QString::fromStdString(SaturationText(c.high, c.total)));
    static_cast<QLabel*>(Control(IDC_SAT_MIN_LABEL))
        ->setText(QString::fromStdString(SaturationText(c.low, c.total)));
}

void CStrataDlg::UpdateImage() {
    if (!m_imageDisplay)
        return;
    m_imageDisplay->UpdateImage();
    // The picture reaches the screen on the window thread; at most one draw is queued at a time.
    if (QThread::currentThread() == thread()) {
        DrawBitmap();
    } else if (!m_drawPending.exchange(true)) {
        PostToWindow([this] { DrawBitmap(); });
    }
}

void CStrataDlg::RefreshImage() {
    if (static_cast<QCheckBox*>(Control(IDC_COLOR))->isChecked())
        return;
    UpdateImage();
}

void CStrataDlg::DrawBitmap() {
    m_drawPending = false;
    int w = 0, h = 0;
    if (!ImageProc().CopyTopDownRgb32(m_pictureScratch, w, h))
        return;
    QImage picture(reinterpret_cast<const uchar*>(m_pictureScratch.data()), w, h, w * 4,
                   QImage::Format_RGB32);
    m_client->SetPicture(picture.copy());
    ++m_picturesDrawn;
    // Clipped values of the last line or live frame, while an acquisition runs.
    const int64_t high = m_engine->LastLineHigh();
    if (m_engine->Busy() && high >= 0)
        SetStatusText(4, "Saturated: " + std::to_string(high));
}

// ---------------------------------------------------------------------------------------------
// Controls

void CStrataDlg::SetSliderFields(bool isMax, int value, bool moveSlider) {
    int& slider = isMax ? m_maxSlider : m_minSlider;
    int& edit = isMax ? m_maxEdit : m_minEdit;
    slider = value;
    edit = value;
    static_cast<QLabel*>(Control(isMax ? IDC_MAX_LABEL : IDC_MIN_LABEL))
        ->setText(QStringLiteral("%1 %2").arg(isMax ? "Max: " : "Min: ").arg(value));
    auto* e = static_cast<QLineEdit*>(Control(isMax ? IDC_MAX_EDIT : IDC_MIN_EDIT));
    if (e->text() != QString::number(value)) {
        QSignalBlocker block(e);
        e->setText(QString::number(value));
    }
    if (moveSlider) {
        auto* s = static_cast<QSlider*>(Control(isMax ? IDC_MAX_SLIDER : IDC_MIN_SLIDER));
        QSignalBlocker block(s);
        s->setValue(value);
    }
    SyncDisplayControls();
}

void CStrataDlg::OnSliderMoved(bool isMax) {
    auto* s = static_cast<QSlider*>(Control(isMax ? IDC_MAX_SLIDER : IDC_MIN_SLIDER));
    int v = s->value();
    // The maximum never goes below 1 (it divides the gain).
    if (isMax && v < 1)
        v = 1;
    SetSliderFields(isMax, v, isMax && s->value() != v);
    if (static_cast<QCheckBox*>(Control(IDC_IMAGE_SCALE))->isChecked())
        RefreshImage();
}

void CStrataDlg::OnLimitEditChanged(bool isMax) {
    auto* e = static_cast<QLineEdit*>(Control(isMax ? IDC_MAX_EDIT : IDC_MIN_EDIT));
    bool ok = false;
    const int v = e->text().toInt(&ok);
    if (!ok)
        return;
    (isMax ? m_maxEdit : m_minEdit) = v;
    auto* s = static_cast<QSlider*>(Control(isMax ? IDC_MAX_SLIDER : IDC_MIN_SLIDER));
    s->setValue(v); // the slider's own handler takes the value into the fields
}

void CStrataDlg::OnStepButton(bool isMax, int delta) {
    const int lower = isMax ? 1 : 0;
    const int v = std::clamp((isMax ? m_maxSlider : m_minSlider) + delta, lower, 16383);
    SetSliderFields(isMax, v, true);
    RefreshImage();
}

void CStrataDlg::ConnectDisplayControls() {
    auto* minSlider = static_cast<QSlider*>(Control(IDC_MIN_SLIDER));
    auto* maxSlider = static_cast<QSlider*>(Control(IDC_MAX_SLIDER));
    connect(minSlider, &QSlider::valueChanged, this, [this] { OnSliderMoved(false); });
    connect(maxSlider, &QSlider::valueChanged, this, [this] { OnSliderMoved(true); });
    connect(static_cast<QLineEdit*>(Control(IDC_MIN_EDIT)), &QLineEdit::textEdited, this,
            [this] { OnLimitEditChanged(false); });
    connect(static_cast<QLineEdit*>(Control(IDC_MAX_EDIT)), &QLineEdit::textEdited, this,
            [this] { OnLimitEditChanged(true); });
    connect(static_cast<QPushButton*>(Control(IDC_MIN_MINUS)), &QPushButton::clicked, this,
            [this] { OnStepButton(false, -1); });
    connect(static_cast<QPushButton*>(Control(IDC_MIN_PLUS)), &QPushButton::clicked, this,
            [this] { OnStepButton(false, +1); });
    connect(static_cast<QPushButton*>(Control(IDC_MAX_MINUS)), &QPushButton::clicked, this,
            [this] { OnStepButton(true, -1); });
    connect(static_cast<QPushButton*>(Control(IDC_MAX_PLUS)), &QPushButton::clicked, this,
            [this] { OnStepButton(true, +1); });
    connect(static_cast<QCheckBox*>(Control(IDC_IMAGE_SCALE)), &QCheckBox::clicked, this, [this] {
        SyncDisplayControls();
        RefreshImage();
    });
    connect(static_cast<QComboBox*>(Control(IDC_WAVELENGTH_LIST)), qOverload<int>(&QComboBox::activated),
            this, [this] {
                SyncDisplayControls();
                RefreshImage();
            });
    connect(static_cast<QScrollBar*>(Control(IDC_HSCROLL)), &QScrollBar::valueChanged, this,
            [this] { RefreshImage(); });
    connect(static_cast<QCheckBox*>(Control(IDC_COLOR)), &QCheckBox::clicked, this, [this] {
        SyncDisplayControls();
        UpdateImage();
    });
    for (int id : {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST})
        connect(static_cast<QComboBox*>(Control(id)), qOverload<int>(&QComboBox::activated), this, [this] {
            SyncDisplayControls();
            UpdateImage();
        });
    connect(static_cast<QCheckBox*>(Control(IDC_APPLY_DARK)), &QCheckBox::clicked, this, [this] {
        SyncDisplayControls();
        UpdateImage();
    });
    connect(static_cast<QPushButton*>(Control(IDC_CHECK_SATURATION)), &QPushButton::clicked, this,
            [this] { OnCheckSaturation(); });
    // The overlay shows in the grey and the colour picture alike.
    connect(static_cast<QCheckBox*>(Control(IDC_SHOW_SATURATION)), &QCheckBox::clicked, this, [this] {
        SyncDisplayControls();
        UpdateImage();
    });
    connect(static_cast<QLineEdit*>(Control(IDC_SAT_MAX_EDIT)), &QLineEdit::textChanged, this, [this] {
        SyncDisplayControls();
        if (static_cast<QCheckBox*>(Control(IDC_SHOW_SATURATION))->isChecked())
            UpdateImage();
    });
    connect(m_client, &ClientArea::MouseMoved, this, [this](QPoint p) { OnMouseMove(p); });
    connect(m_client, &ClientArea::LeftButtonDown, this, [this](QPoint p) { OnLeftButtonDown(p); });
    connect(m_client, &ClientArea::LeftButtonUp, this, [this](QPoint p) { OnLeftButtonUp(p); });
    connect(m_client, &ClientArea::RightButtonDown, this, [this](QPoint p) { OnRightButtonDown(p); });
    connect(m_client, &ClientArea::ShiftDrag, this,
            [this](QPoint start, QPoint current, bool finished) { OnShiftDrag(start, current, finished); });
}

// ---------------------------------------------------------------------------------------------
// White reference

namespace {
// The rectangle of the picture that shows the white reference: picture column x is line x, row y
// the stored sample position H - 1 - y.
QRect WhiteClientRect(const WhiteRect& r, int samples) {
    return QRect(QPoint(kPictureLeft + r.line0, samples - 1 - r.sample1),
                 QPoint(kPictureLeft + r.line1, samples - 1 - r.sample0));
}
} // namespace

void CStrataDlg::SetWhiteReference(const std::optional<WhiteRect>& rect) {
    m_whiteRect = rect;
    m_client->SetWhiteRectangle(rect ? WhiteClientRect(*rect, m_engine->Geometry().height) : QRect());
    if (rect)
        SetStatusText(3, "White reference: lines " + std::to_string(rect->line0) + " to " +
                             std::to_string(rect->line1) + ", samples " + std::to_string(rect->sample0) +
                             " to " + std::to_string(rect->sample1));
}

void CStrataDlg::OnShiftDrag(QPoint start, QPoint current, bool finished) {
    // A drag that starts beside the picture chooses nothing.
    if (m_closing || !InPicture(start, kPictureRight))
        return;
    const CubeGeometry g = m_engine->Geometry();
    auto line = [&](int x) { return std::clamp(x - kPictureLeft, 0, g.width - 1); };
    auto row = [&](int y) { return std::clamp(y, 0, g.height - 1); };
    const int x0 = line(std::min(start.x(), current.x())), x1 = line(std::max(start.x(), current.x()));
    const int y0 = row(std::min(start.y(), current.y())), y1 = row(std::max(start.y(), current.y()));
    const WhiteRect rect{x0, x1, g.height - 1 - y1, g.height - 1 - y0};
    if (finished)
        SetWhiteReference(rect);
    else
        m_client->SetWhiteRectangle(WhiteClientRect(rect, g.height));
}

// ---------------------------------------------------------------------------------------------
// Spectrum plot and probe

void CStrataDlg::SetupSpectrumPlot() {
    const int B = m_engine->Geometry().bands;
    m_graph = std::make_unique<graph>();
    m_graph->SetXScale(1.0f);
    m_graph->SetYScale(1.0f);
    m_graph->SetFonts(12, 0, 100, "Arial");
    const QColor face = m_client->palette().color(QPalette::Button);
    m_graph->SetTextBackground(face.red(), face.green(), face.blue());
    // The y title's own place lies under the picture; it is drawn where it shows.
    m_graph->SetVisibleLeft(ClientArea::kPlotAreaLeft);
    m_probeSpectrum.assign(size_t(B), 0.0f);
    m_refSpectrum.assign(size_t(B), 0.0f);
    m_bandAxis.resize(size_t(B));
    for (int i = 0; i < B; ++i)
        m_bandAxis[size_t(i)] = float(i);
    QImage* surface = &m_client->PlotSurface();
    m_graph->Layout(ClientArea::kPlotX, ClientArea::kPlotY, ClientArea::kPlotWidth, ClientArea::kPlotHeight,
                    10, 5, 10, 5, surface);
    m_graph->SetRange(1, 0.0f, float(B - 1));
    m_graph->Autoscale(0, m_probeSpectrum.data(), B);
    m_graph->Autoscale(0, m_refSpectrum.data(), B);
    const float* a = m_defCal.coeffs;
    m_graph->DrawAxisLabels(1, "Image Number", 2, a[0], a[1], a[2]);
    m_graph->DrawAxisLabels(0, "Igram Magnitude", 2, a[0], a[1], a[2]);
    m_graph->PlotCurve(m_bandAxis.data(), m_probeSpectrum.data(), B, 0, 0, 0, 1);
    m_client->update();
}

void CStrataDlg::DrawSpectrumPlot() {
    if (!m_graph)
        return;
    const int B = m_engine->Geometry().bands;
    m_bandAxis.resize(size_t(B));
    for (int i = 0; i < B; ++i)
        m_bandAxis[size_t(i)] = float(i);
    // The band under the plot is cleared so that a shorter x title leaves nothing of a longer one.
    QImage& surface = m_client->PlotSurface();
    {
        QPainter p(&surface);
        const int top = ClientArea::kPlotY + ClientArea::kPlotHeight + 1;
        p.fillRect(QRect(ClientArea::kPlotAreaLeft, top, surface.width(), surface.height() - top),
                   m_client->palette().color(QPalette::Button));
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
    const float* a = m_defCal.coeffs;
    m_graph->DrawAxisLabels(1, "Wavelength", 2, a[0], a[1], a[2]);
    m_graph->DrawAxisLabels(0, "", 2, a[0], a[1], a[2]);
    m_graph->PlotCurve(m_bandAxis.data(), m_probeSpectrum.data(), B, 0, 0, 0, 1);
    m_client->update();
}

void CStrataDlg::ShowCoordinates(int x, int y) {
    static_cast<QLabel*>(Control(IDC_X_STATIC))->setText(QStringLiteral("%1 %2").arg("X =").arg(x));
    static_cast<QLabel*>(Control(IDC_Y_STATIC))->setText(QStringLiteral("%1 %2").arg("Y =").arg(y));
}

void CStrataDlg::ShowPixelValue() {
    const CubeGeometry& g = m_engine->Geometry();
    const int x = m_mousePoint.x(), y = m_mousePoint.y();
    if (x >= 0 && x < g.width && y >= 0 && y < g.height)
        static_cast<QLabel*>(Control(IDC_PIXEL_STATIC))
            ->setText(QStringLiteral("%1 %2").arg("Pixel =").arg(m_imageDisplay->DisplayValue(x, y)));
}

namespace {
void Extract(AcquisitionEngine& e, ImageDisplay& display, bool applyDark, int x, int y,
             std::vector<float>& out) {
    SpectrumSources src;
    src.cube = e.Cube().data();
    src.darkCube = e.StackBuffer(AcquisitionEngine::Stack::Dark).data();
    src.calCube = e.StackBuffer(AcquisitionEngine::Stack::Calibration).data();
    src.acquireDark = e.AcquiringDark();
    src.acquireCalCube = e.AcquiringCalibration();
    if (applyDark) {
        const CalibrationStore::View calibration = e.Calibration().Lock();
        src.darkFrame = calibration.DarkFrame();
        ExtractSpectrum(x, y, out.data(), e.Geometry(), src, &display.Guard());
    } else {
        ExtractSpectrum(x, y, out.data(), e.Geometry(), src, &display.Guard());
    }
}
} // namespace

void CStrataDlg::OnMouseMove(QPoint p) {
    if (m_closing)
        return;
    m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
    if (!InPicture(p, kPictureRight))
        return;
    m_client->SetProbeCursor(true);
    Extract(*m_engine, *m_imageDisplay, static_cast<QCheckBox*>(Control(IDC_APPLY_DARK))->isChecked(),
            m_mousePoint.x(), m_mousePoint.y(), m_probeSpectrum);
    DrawSpectrumPlot();
    ShowCoordinates(m_mousePoint.x(), m_mousePoint.y());
    ShowPixelValue();
}

void CStrataDlg::OnLeftButtonDown(QPoint p) {
    if (!m_closing && InPicture(p, kPictureRight)) {
        m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
        m_client->SetProbeCursor(true);
        Extract(*m_engine, *m_imageDisplay, static_cast<QCheckBox*>(Control(IDC_APPLY_DARK))->isChecked(),
                m_mousePoint.x(), m_mousePoint.y(), m_refSpectrum);
        m_refShown = 1;
        DrawSpectrumPlot();
        ShowCoordinates(m_mousePoint.x(), m_mousePoint.y());
        ShowPixelValue();
    }
    // The "Set" buttons take the clicked column as the start or stop line.
    const int widthMode = m_cameraSettingsDlg->Values().widthMode;
    const int factors[] = {widthMode == 1 ? 1 : 2, 2, 3, 4};
    const int f = factors[std::clamp(m_cubeWidthIndex, 0, 3)];
    m_mousePoint = p;
    const std::pair<int, int> sets[] = {{IDC_SET_START, IDC_START_SCAN_EDIT},
                                        {IDC_SET_STOP, IDC_STOP_SCAN_EDIT}};
    for (auto [button, edit] : sets) {
        auto* set = static_cast<QCheckBox*>(Control(button));
        if (!set->isChecked())
            continue;
        const int line = (p.x() - kPictureLeft) * f;
        static_cast<QLineEdit*>(Control(edit))->setText(QString::number(line));
        (button == IDC_SET_START ? m_scanStartLine : m_scanStopLine) = line;
        set->setChecked(false);
    }
}

void CStrataDlg::OnLeftButtonUp(QPoint p) {
    m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
}

void CStrataDlg::OnRightButtonDown(QPoint p) {
    m_mousePoint = QPoint(p.x() - kPictureLeft, p.y());
    if (!InPicture(p, kRightButtonRight))
        return;
    const auto path = m_prompts.AskSavePath();
    if (!path)
        return;
    std::vector<std::string> texts;
    auto* wave = static_cast<QComboBox*>(Control(IDC_WAVELENGTH_LIST));
    for (int i = 0; i < wave->count(); ++i)
        texts.push_back(wave->itemText(i).toStdString());
    if (!WriteSpectrumFile(*path, m_mousePoint.x(), m_mousePoint.y(), texts, m_probeSpectrum.data(),
                           int(m_probeSpectrum.size())))
        m_prompts.Message(kMsgUnableToSaveSpectrum);
}
