#pragma once
// The main window's client area: the picture at (27, 0), 696 x 520, and the spectrum plot at
// (785, 5), 250 x 230, drawn from prepared images in paintEvent; the window's controls are its
// children at fixed positions. Mouse coordinates are client coordinates.
#include <QImage>
#include <QWidget>

class ClientArea : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPictureX = 27;
    static constexpr int kPictureY = 0;
    static constexpr int kPlotX = 785;
    static constexpr int kPlotY = 5;
    static constexpr int kPlotWidth = 250;
    static constexpr int kPlotHeight = 230;
    // The plot with its labels and titles is shown from this column on; the picture covers what
    // lies left of it.
    static constexpr int kPlotAreaLeft = kPictureX + 696 + 2;

    explicit ClientArea(QWidget* parent = nullptr);

    // The picture shown at (27, 0) (window thread).
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return m_picture; }
    // The plot's drawing surface: an image of the whole client area on which the plot draws in
    // client coordinates; its plot region is shown in paintEvent.
    QImage& PlotSurface() { return m_plotSurface; }
    void SetProbeCursor(bool on);
    // The white-reference rectangle drawn over the picture (client coordinates); an empty rectangle
    // hides it.
    void SetWhiteRectangle(const QRect& client);
    const QRect& WhiteRectangle() const { return m_whiteRectangle; }

signals:
    void MouseMoved(QPoint client, Qt::MouseButtons buttons);
    void LeftButtonDown(QPoint client);
    void LeftButtonUp(QPoint client);
    void RightButtonDown(QPoint client);
    // A drag with the left button and Shift held (the white-reference rectangle): where it started
    // and where the pointer is; finished on the release. Such a press is no left click.
    void ShiftDrag(QPoint start, QPoint current, bool finished);

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    QImage m_picture;
    QImage m_plotSurface;
    QRect m_whiteRectangle;
    bool m_shiftDragging = false;
    QPoint m_dragStart;
};
