#include "preview/CScrollingPreviewDlg.h"

#include <QCloseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QtDebug>
#include <algorithm>
#include <cstring>

namespace {
// Entry and exit lines of an operation on the debug output ("CSP: ...").
class Trace {
public:
    Trace(const char* in, const char* out) : m_out(out) { qDebug("%s", in); }
    ~Trace() { qDebug("%s", m_out); }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

private:
    const char* m_out;
};

// Size of dialog 132 (536 x 325 dialog units) in pixels.
constexpr int kWindowWidth = 804;
constexpr int kWindowHeight = 528;
} // namespace

// The client area the camera draws into.
class CScrollingPreviewDlg::VideoArea : public QWidget {
public:
    explicit VideoArea(CScrollingPreviewDlg* owner) : QWidget(owner), m_owner(owner) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Qt::black);
        QPoint at;
        const QImage frame = m_owner->LastFrame(&at);
        if (!frame.isNull())
            p.drawImage(at, frame);
    }

private:
    CScrollingPreviewDlg* m_owner;
};

CScrollingPreviewDlg::CScrollingPreviewDlg(UserPrompts& prompts, QWidget* parent)
    : QWidget(parent, Qt::Window), m_prompts(prompts) {
    setWindowTitle("Preview");
    if (parent)
        setWindowIcon(parent->windowIcon());
    m_video = new VideoArea(this);
    m_hBar = new QScrollBar(Qt::Horizontal, this);
    m_vBar = new QScrollBar(Qt::Vertical, this);
    connect(m_hBar, &QScrollBar::actionTriggered, this, [this](int action) { OnScrollAction(true, action); });
    connect(m_vBar, &QScrollBar::actionTriggered, this,
            [this](int action) { OnScrollAction(false, action); });
    resize(kWindowWidth, kWindowHeight);
    OnClientResized();
    UpdateScrollBars();
}

CScrollingPreviewDlg::~CScrollingPreviewDlg() {
    qDebug("CSP: Destroying window...");
    CloseCamera();
    qDebug("CSP: Window destroyed.");
}

bool CScrollingPreviewDlg::SetCameraInfo(HANDLE camera) {
    Trace trace("CSP: In SetCameraInfo...", "CSP: SetCameraInfo done.");
    FindCamera(camera);
    return UpdateCameraInfo(true);
}

bool CScrollingPreviewDlg::FindCamera(HANDLE camera) {
    Trace trace("CSP: In FindCamera...", "CSP: FindCamera done.");
    // A previous camera is forgotten, not stopped or closed.
    if (m_hCamera) {
        m_hCamera = nullptr;
        m_cameraId = 0;
    }
    m_hCamera = camera;
    return true;
}

bool CScrollingPreviewDlg::UpdateCameraInfo(bool setTitle) {
    Trace trace("CSP: In UpdateCameraInfo...", "CSP: UpdateCameraInfo done.");
    if (!m_hCamera) {
        m_cameraId = 0;
        m_modelText = PreviewMsg::kNoCamera;
        m_serialText = PreviewMsg::kNoSerial;
        SetTitle(false);
        return true;
    }
    ULONG id = 0;
    if (!LucamGetCameraId(m_hCamera, &id))
        id = 0;
    m_cameraId = id;
    LUCAM_VERSION version{};
    if (!LucamQueryVersion(m_hCamera, &version))
        m_prompts.Message(PreviewMsg::kVersion);
    if (m_cameraId == LUCAM_ID_LW11050) {
        m_maxWidth = 4008;
        m_maxHeight = 2672;
        m_modelText = "Lw11050";
    } else {
        m_maxWidth = 0;
        m_maxHeight = 0;
        m_modelText = QString::asprintf("Camera ID: 0x%04X", m_cameraId);
    }
    m_serialText = QString::asprintf("%d", int(version.serialnumber));
    if (setTitle)
        SetTitle(false);
    return true;
}

bool CScrollingPreviewDlg::StartPreview(LUCAM_FRAME_FORMAT* format, float frameRate) {
    Trace trace("CSP: In StartPreview.", "CSP: StartPreview done.");
    if (!m_hCamera)
        return false;
    if (m_previewing.load())
        return true;
    m_frameCount = 0;
    if (m_callbackId < 0)
        m_callbackId =
            LucamAddRgbPreviewCallback(m_hCamera, &CScrollingPreviewDlg::PreviewCallback, this, LUCAM_PF_24);
    LUCAM_FRAME_FORMAT fmt{};
    float rate = frameRate;
    if (!format) {
        float readRate = 0;
        if (!LucamGetFormat(m_hCamera, &fmt, &readRate))
            return false;
        if (frameRate == -1.0f)
            rate = readRate;
    } else {
        fmt = *format;
    }
    if (!LucamSetFormat(m_hCamera, &fmt, rate))
        return false;
    m_frameWidth = fmt.width / std::max<USHORT>(fmt.subSampleX, 1);
    m_frameHeight = fmt.height / std::max<USHORT>(fmt.subSampleY, 1);
    if (m_zoom == 0.25f) {
        m_videoWidth = m_frameWidth >> 2;
        m_videoHeight = m_frameHeight >> 2;
    } else if (m_zoom == 0.5f) {
        m_videoWidth = m_frameWidth >> 1;
        m_videoHeight = m_frameHeight >> 1;
    } else {
        m_videoWidth = unsigned(float(m_frameWidth) * m_zoom + 0.5f);
        m_videoHeight = unsigned(float(m_frameHeight) * m_zoom + 0.5f);
    }
    if (!LucamGetFormat(m_hCamera, &fmt, &rate))
        return false;
    if (!LucamStreamVideoControl(m_hCamera, START_DISPLAY, this))
        return false;
    m_previewing = true;
    show();
    if (!LucamAdjustDisplayWindow(m_hCamera, nullptr, 0, 0, LONG(m_videoWidth), LONG(m_videoHeight)))
        m_prompts.Message(PreviewMsg::kAdjust);
    if (m_titleMode.load() == 0)
        SetTitle(false);
    m_horizontalPosition = 0;
    m_verticalPosition = 0;
    UpdateScrollBars();
    return true;
}

bool CScrollingPreviewDlg::StopPreview(bool hide) {
    Trace trace("CSP: In StopPreview...", "CSP: StopPreview done.");
    if (!m_hCamera)
        return false;
    m_previewing = false;
    if (m_callbackId >= 0) {
        const bool removed = LucamRemoveRgbPreviewCallback(m_hCamera, m_callbackId);
        m_callbackId = -1;
        if (!removed)
            return false; // the stream keeps running
    }
    const bool stopped = LucamStreamVideoControl(m_hCamera, STOP_STREAMING, nullptr) != 0;
    if (hide)
        this->hide();
    return stopped;
}

void CScrollingPreviewDlg::CloseCamera() {
    Trace trace("CSP: In CloseCamera...", "CSP: CloseCamera done.");
    if (m_hCamera) {
        StopPreview(false);
        m_hCamera = nullptr;
    }
}

void CScrollingPreviewDlg::PreviewCallback(void* context, BYTE*, ULONG, ULONG, ULONG) {
    auto* self = static_cast<CScrollingPreviewDlg*>(context);
    ++self->m_frameCount;
    // The title belongs to the window thread: the count is posted there.
    if (self->m_previewing.load() && self->m_titleMode.load() == 1)
        QMetaObject::invokeMethod(
            self, [self] { self->OnFrameCountMessage(); }, Qt::QueuedConnection);
}

void CScrollingPreviewDlg::OnFrameCountMessage() {
    SetTitle(true);
}

void CScrollingPreviewDlg::SetTitle(bool withCount) {
    if (withCount)
        setWindowTitle(QStringLiteral("Preview - %1 SN: %2: Frame Count = %3")
                           .arg(m_modelText, m_serialText)
                           .arg(int(m_frameCount.load())));
    else
        setWindowTitle(QStringLiteral("Preview - %1 SN: %2").arg(m_modelText, m_serialText));
}

void CScrollingPreviewDlg::ShowFrame(const BYTE* rgb, ULONG width, ULONG height, LONG x, LONG y) {
    // Camera thread: copy the picture, then let the window thread repaint.
    bool post = false;
    {
        std::lock_guard lock(m_frameMutex);
        if (m_frame.width() != int(width) || m_frame.height() != int(height))
            m_frame = QImage(int(width), int(height), QImage::Format_RGB888);
        const size_t rowBytes = size_t(width) * 3;
        for (ULONG r = 0; r < height; ++r)
            std::memcpy(m_frame.scanLine(int(r)), rgb + size_t(r) * rowBytes, rowBytes);
        m_frameAt = QPoint(x, y);
        post = !m_repaintPosted;
        m_repaintPosted = true;
    }
    if (post)
        QMetaObject::invokeMethod(
            this,
            [this] {
                {
                    std::lock_guard lock(m_frameMutex);
                    m_repaintPosted = false;
                }
                m_video->update();
            },
            Qt::QueuedConnection);
}

QImage CScrollingPreviewDlg::LastFrame(QPoint* at) const {
    std::lock_guard lock(m_frameMutex);
    if (at)
        *at = m_frameAt;
    return m_frame; // shared copy; the camera thread detaches before writing again
}

void CScrollingPreviewDlg::closeEvent(QCloseEvent* event) {
    // The window lives as long as the main window; only the toolbar command hides it.
    m_prompts.Message(PreviewMsg::kClose);
    event->ignore();
}

void CScrollingPreviewDlg::OnClientResized() {
    if (isMinimized())
        return;
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int w = std::max(0, width() - bar);
    const int h = std::max(0, height() - bar);
    m_video->setGeometry(0, 0, w, h);
    m_hBar->setGeometry(0, h, w, bar);
    m_vBar->setGeometry(w, 0, bar, h);
    m_clientWidth = w;
    m_clientHeight = h;
}

void CScrollingPreviewDlg::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (isMinimized())
        return;
    OnClientResized();
    UpdateScrollBars();
}

void CScrollingPreviewDlg::UpdateScrollBars() {
    // Range 0 ... video size, page = the visible part, position kept inside the range.
    const int videoW = int(m_videoWidth), videoH = int(m_videoHeight);
    const int pageW = std::min(m_clientWidth, videoW);
    const int pageH = std::min(m_clientHeight, videoH);
    m_horizontalPosition = std::min(m_horizontalPosition, videoW - pageW);
    m_verticalPosition = std::min(m_verticalPosition, videoH - pageH);
    m_hBar->setRange(0, videoW - pageW);
    m_hBar->setPageStep(std::max(pageW, 1));
    m_hBar->setValue(m_horizontalPosition);
    m_vBar->setRange(0, videoH - pageH);
    m_vBar->setPageStep(std::max(pageH, 1));
    m_vBar->setValue(m_verticalPosition);
}

void CScrollingPreviewDlg::OnHScroll(ScrollCode code, int thumb) {
    Trace trace("CSP: In OnHScroll...", "CSP: OnHScroll done.");
    Scroll(true, code, thumb);
}

void CScrollingPreviewDlg::OnVScroll(ScrollCode code, int thumb) {
    Trace trace("CSP: In OnVScroll...", "CSP: OnVScroll done.");
    Scroll(false, code, thumb);
}

void CScrollingPreviewDlg::Scroll(bool horizontal, ScrollCode code, int thumb) {
    if (!m_hCamera || !m_previewing.load())
        return;
    int& position = horizontal ? m_horizontalPosition : m_verticalPosition;
    const int client = horizontal ? m_clientWidth : m_clientHeight;
    const int video = int(horizontal ? m_videoWidth : m_videoHeight);
    int p = position;
    switch (code) {
    case LineBack:
        p -= 1;
        break;
    case LineForward:
        p += 1;
        break;
    case PageBack:
        p -= client;
        break;
    case PageForward:
        p += client;
        break;
    case ThumbPosition:
    case ThumbTrack:
        p = thumb;
        break;
    case ToStart:
        p = 0;
        break;
    case ToEnd:
        p = video - client;
        break;
    }
    p = std::min(p, video - client);
    p = std::max(p, 0);
    if (p == position)
        return;
    position = p;
    if (LucamAdjustDisplayWindow(m_hCamera, nullptr, -m_horizontalPosition, -m_verticalPosition,
                                 LONG(m_videoWidth), LONG(m_videoHeight)))
        (horizontal ? m_hBar : m_vBar)->setValue(position);
    else
        m_prompts.Message(PreviewMsg::kScroll);
}

void CScrollingPreviewDlg::OnScrollAction(bool horizontal, int action) {
    QScrollBar* bar = horizontal ? m_hBar : m_vBar;
    ScrollCode code;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        code = LineBack;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        code = LineForward;
        break;
    case QAbstractSlider::SliderPageStepSub:
        code = PageBack;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        code = PageForward;
        break;
    case QAbstractSlider::SliderToMinimum:
        code = ToStart;
        break;
    case QAbstractSlider::SliderToMaximum:
        code = ToEnd;
        break;
    case QAbstractSlider::SliderMove:
        code = ThumbTrack;
        break;
    default:
        return;
    }
    // The bar has already moved its thumb; the position it shows is the one the window keeps.
    const int thumb = bar->sliderPosition();
    if (horizontal)
        OnHScroll(code, thumb);
    else
        OnVScroll(code, thumb);
    bar->setSliderPosition(bar->value());
}
