#pragma once
// The display part of the main window: the picture and its controls (band list, "Color" with the
// R, G, B lists, the Min and Max sliders and edits, "Image Scale", "Apply Dark", the saturation
// check and overlay), the spectrum plot, the mouse probe and the white reference. It reaches the
// window's controls through the lookup the window gives it and writes the status panes through
// the window's setter, so it knows nothing else of the window.
//
// Threads: UpdateImage may be called from any thread (the engine's display thread builds the
// picture there); the picture reaches the screen, and everything else here runs, on the thread
// the panel was created on (the window thread).
#include "analysis/Saturation.h"
#include "calibration/RadiometricCorrection.h"
#include "display/ImageDisplay.h"
#include "display/graph.h"

#include <QImage>
#include <QObject>
#include <QPoint>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AcquisitionEngine;
class ClientArea;
class UserPrompts;
struct DefaultCalibration;
class QWidget;

class DisplayPanel : public QObject {
public:
    // What the window lends the panel: its engine, client area and prompts, the default
    // calibration (axis labels), its control lookup and its status text setter (any thread).
    struct Window {
        AcquisitionEngine& engine;
        ClientArea& client;
        UserPrompts& prompts;
        const DefaultCalibration& defCal;
        std::function<QWidget*(int id)> control;
        std::function<void(int pane, const std::string& text)> setStatusText;
    };
    explicit DisplayPanel(Window window);
    ~DisplayPanel() override;

    // Start-up: image processor defaults, the plot and the first picture.
    void Setup();
    // Connects the display controls and the client area's mouse signals to the panel.
    void ConnectControls();
    // From now on the mouse neither probes nor chooses a white reference (the window closes).
    void Close() { m_closing = true; }

    // Builds the picture (any thread) and puts it on the screen on the window thread; at most one
    // draw is queued at a time.
    void UpdateImage();
    // UpdateImage unless "Color" is ticked.
    void RefreshImage();
    // Puts the last bitmap on the screen (window thread).
    void DrawBitmap();
    // One of the Min (isMax false) or Max sliders with its edit and label; moveSlider also moves
    // the slider itself (without its handler).
    void SetSliderFields(bool isMax, int value, bool moveSlider);

    void OnMouseMove(QPoint client);
    // Also calls onLeftButtonDown, for the window's own use of the click.
    void OnLeftButtonDown(QPoint client);
    void OnLeftButtonUp(QPoint client);
    void OnRightButtonDown(QPoint client);
    void OnShiftDrag(QPoint start, QPoint current, bool finished);
    // "Check Saturation" (1187): the high and low values of the whole cube into the statics 1207
    // and 1209.
    void OnCheckSaturation();
    // The limits of the Max (1206) and Min (1208) edits; an empty edit holds its default (4096, 0).
    SaturationLimits SaturationEditLimits() const;
    // The selections of the R, G, B lists.
    std::array<int32_t, 3> RgbSelections() const;

    // The white reference of reflectance cubes: chosen by a Shift-drag over the picture (lines and
    // stored sample positions), shown as a rectangle on the picture.
    const std::optional<WhiteRect>& WhiteReference() const { return m_whiteRect; }
    void SetWhiteReference(const std::optional<WhiteRect>& rect);

    ImageDisplay& Display() { return *m_imageDisplay; }
    ImageProcess& ImageProc() { return m_imageDisplay->Processor(); }
    uint64_t PicturesDrawn() const { return m_picturesDrawn.load(); }
    const std::vector<float>& ProbeSpectrum() const { return m_probeSpectrum; }
    const std::vector<float>& RefSpectrum() const { return m_refSpectrum; }
    const QImage& PlotImage() const;
    // The last mouse position: picture coordinates after a move or a button, except after a left
    // press (client coordinates). Its row is the same in both.
    QPoint MousePoint() const { return m_mousePoint; }

    // The window's part of a left press on the client area (client coordinates).
    std::function<void(QPoint client)> onLeftButtonDown;

private:
    template <class T> T* Get(int id) const { return static_cast<T*>(m_window.control(id)); }
    bool Checked(int id) const;
    void SyncControls();
    void OnSliderMoved(bool isMax);
    void OnLimitEditChanged(bool isMax);
    void OnStepButton(bool isMax, int delta);
    void SetupSpectrumPlot();
    void DrawSpectrumPlot();
    void ShowCoordinates(int x, int y);
    void ShowPixelValue();
    // The spectrum under picture point m_mousePoint into out.
    void Probe(std::vector<float>& out);

    Window m_window;
    bool m_closing = false;
    std::unique_ptr<ImageDisplay> m_imageDisplay;
    std::unique_ptr<graph> m_graph;
    std::vector<float> m_probeSpectrum, m_refSpectrum, m_bandAxis;
    int m_refShown = 0;
    QPoint m_mousePoint;
    int m_minSlider = 0, m_maxSlider = 255, m_minEdit = 0, m_maxEdit = 1;
    std::atomic<bool> m_drawPending{false};
    std::atomic<uint64_t> m_picturesDrawn{0};
    std::vector<uint32_t> m_pictureScratch;
    std::optional<WhiteRect> m_whiteRect;
};
