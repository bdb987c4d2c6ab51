#pragma once
// "Preview" window (132): the focus camera's live picture. The camera interface draws the video into
// the window (LucamDisplayTarget::ShowFrame, on the camera's thread); the window owns the camera
// handle, starts and stops the stream, scrolls the video when it is larger than the window and
// shows the camera's identity and a frame count in its title bar.
//
// Threads: the RGB preview callback and ShowFrame run on the camera's thread. The callback only
// counts the frame and posts the title update; ShowFrame copies the picture under a lock and posts
// a repaint. Everything else runs on the window thread.
#include "camera/DataCameraControl.h" // FocusPreview
#include "camera/lucam.h"
#include "core/UserPrompts.h"

#include <QImage>
#include <QWidget>
#include <atomic>
#include <mutex>

class QScrollBar;

namespace PreviewMsg {
inline constexpr const char* kVersion = "Failed to get version information from camera.";
inline constexpr const char* kAdjust = "Failed to readjust display window.";
inline constexpr const char* kScroll = "Unable to scroll preview window.";
inline constexpr const char* kClose = "Stop the preview before closing window.";
inline constexpr const char* kNoCamera = "No Camera";
inline constexpr const char* kNoSerial = "No SN Available";
} // namespace PreviewMsg

class CScrollingPreviewDlg : public QWidget, public FocusPreview, public LucamDisplayTarget {
    Q_OBJECT
public:
    // Scroll requests, as the window's scroll bars send them.
    enum ScrollCode {
        LineBack,
        LineForward,
        PageBack,
        PageForward,
        ThumbPosition,
        ThumbTrack,
        ToStart,
        ToEnd
    };

    explicit CScrollingPreviewDlg(UserPrompts& prompts, QWidget* parent = nullptr);
    ~CScrollingPreviewDlg() override;

    // Takes the focus camera (null: none) and shows its identity in the title.
    bool SetCameraInfo(HANDLE camera);
    bool FindCamera(HANDLE camera);
    bool UpdateCameraInfo(bool setTitle);
    // FocusPreview. format null: the camera's current format (and, with frameRate -1, its rate).
    bool StartPreview(LUCAM_FRAME_FORMAT* format, float frameRate) override;
    bool StopPreview(bool hide) override;
    void CloseCamera();
    // 0: the title shows model and serial number; 1: it also shows the frame count.
    void SetTitleMode(int mode) { m_titleMode = mode; }
    void UpdateScrollBars();
    void OnHScroll(ScrollCode code, int thumb);
    void OnVScroll(ScrollCode code, int thumb);

    // LucamDisplayTarget: a frame drawn by the camera at (x, y) of the video area.
    void ShowFrame(const BYTE* rgb, ULONG width, ULONG height, LONG x, LONG y) override;

    // State, for the main window and tests.
    bool Previewing() const { return m_previewing.load(); }
    unsigned FrameCount() const { return m_frameCount.load(); }
    int TitleMode() const { return m_titleMode.load(); }
    long CallbackId() const { return m_callbackId; }
    HANDLE Camera() const { return m_hCamera; }
    unsigned CameraId() const { return m_cameraId; }
    const QString& ModelText() const { return m_modelText; }
    const QString& SerialText() const { return m_serialText; }
    int HorizontalPosition() const { return m_horizontalPosition; }
    int VerticalPosition() const { return m_verticalPosition; }
    unsigned VideoWidth() const { return m_videoWidth; }
    unsigned VideoHeight() const { return m_videoHeight; }
    int ClientWidth() const { return m_clientWidth; }
    int ClientHeight() const { return m_clientHeight; }
    QScrollBar* HorizontalBar() const { return m_hBar; }
    QScrollBar* VerticalBar() const { return m_vBar; }
    // The last picture the camera drew and where (for tests).
    QImage LastFrame(QPoint* at = nullptr) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class VideoArea;
    static void PreviewCallback(void* context, BYTE* data, ULONG width, ULONG height, ULONG pixelFormat);
    void OnFrameCountMessage();
    void OnClientResized();
    void SetTitle(bool withCount);
    void Scroll(bool horizontal, ScrollCode code, int thumb);
    void OnScrollAction(bool horizontal, int action);

    UserPrompts& m_prompts;
    HANDLE m_hCamera = nullptr;
    QString m_modelText = PreviewMsg::kNoCamera;
    QString m_serialText = PreviewMsg::kNoSerial;
    std::atomic<bool> m_previewing{false};
    long m_callbackId = -1;
    int m_clientWidth = 0, m_clientHeight = 0;
    unsigned m_videoWidth = 0, m_videoHeight = 0;
    unsigned m_maxWidth = 0, m_maxHeight = 0;
    unsigned m_frameWidth = 0, m_frameHeight = 0;
    int m_horizontalPosition = 0, m_verticalPosition = 0;
    float m_zoom = 1.0f;
    std::atomic<unsigned> m_frameCount{0};
    std::atomic<int> m_titleMode{0};
    unsigned m_cameraId = 0;

    VideoArea* m_video;
    QScrollBar* m_hBar;
    QScrollBar* m_vBar;

    mutable std::mutex m_frameMutex; // guards the picture below (written on the camera's thread)
    QImage m_frame;
    QPoint m_frameAt;
    bool m_repaintPosted = false;
};
