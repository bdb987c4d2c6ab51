#include "display/ClientArea.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPen>

ClientArea::ClientArea(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAutoFillBackground(true);
    m_plotSurface = QImage(kPlotX + kPlotWidth + 40, kPlotY + kPlotHeight + 60, QImage::Format_RGB32);
    m_plotSurface.fill(palette().color(QPalette::Button));
}

void ClientArea::SetPicture(const QImage& picture) {
    m_picture = picture;
    update(QRect(kPictureX, kPictureY, picture.width(), picture.height()));
}

void ClientArea::SetProbeCursor(bool on) { setCursor(on ? Qt::CrossCursor : Qt::ArrowCursor); }

void ClientArea::SetWhiteRectangle(const QRect& client) {
    const QRect old = m_whiteRectangle;
    m_whiteRectangle = client;
    update(old.adjusted(-2, -2, 2, 2));
    update(client.adjusted(-2, -2, 2, 2));
}

void ClientArea::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // The plot with its labels and titles occupies the area right of the picture.
    const QRect plotArea(kPlotAreaLeft, 0, m_plotSurface.width() - kPlotAreaLeft, m_plotSurface.height());
    p.drawImage(plotArea.topLeft(), m_plotSurface, plotArea);
    if (!m_picture.isNull())
        p.drawImage(QPoint(kPictureX, kPictureY), m_picture);
    else
        p.fillRect(QRect(kPictureX, kPictureY, 696, 520), Qt::black);
    if (!m_whiteRectangle.isEmpty()) {
        // Dashes of two colours, so that the outline shows on a white panel as on a dark scene.
        QPen pen(Qt::black, 1);
        p.setPen(pen);
        p.drawRect(m_whiteRectangle);
        pen.setColor(QColor(255, 200, 0));
        pen.setStyle(Qt::DashLine);
        p.setPen(pen);
        p.drawRect(m_whiteRectangle);
    }
}

void ClientArea::mouseMoveEvent(QMouseEvent* e) {
    if (m_shiftDragging)
        emit ShiftDrag(m_dragStart, e->position().toPoint(), false);
    emit MouseMoved(e->position().toPoint(), e->buttons());
}

void ClientArea::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && (e->modifiers() & Qt::ShiftModifier)) {
        m_shiftDragging = true;
        m_dragStart = e->position().toPoint();
        emit ShiftDrag(m_dragStart, m_dragStart, false);
    } else if (e->button() == Qt::LeftButton)
        emit LeftButtonDown(e->position().toPoint());
    else if (e->button() == Qt::RightButton)
        emit RightButtonDown(e->position().toPoint());
}

void ClientArea::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && m_shiftDragging) {
        m_shiftDragging = false;
        emit ShiftDrag(m_dragStart, e->position().toPoint(), true);
        return;
    }
    if (e->button() == Qt::LeftButton)
        emit LeftButtonUp(e->position().toPoint());
}
