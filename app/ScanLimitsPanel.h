#pragma once
// The scan-limit part of the main window: the "Cube Width" list, the start and stop line edits with
// their range labels, "Reset", "Activate Limits" and the two "Set" buttons that take the clicked
// column of the picture. It reaches the controls through the lookup the window gives it, so it
// knows nothing else of the window. Window thread only (Enable may be posted there).
#include <QObject>
#include <QPoint>
#include <functional>

class QWidget;

class ScanLimitsPanel : public QObject {
public:
    struct Window {
        std::function<QWidget*(int id)> control;
        // The last mouse position over the picture (an edit that gets the focus takes its row).
        std::function<QPoint()> mousePoint;
        // The camera's width mode (1: full-width frames), which sets what a clicked column is worth.
        std::function<int()> widthMode;
        // The Cube Width selection changed the declared columns: width multiplier 1 ... 4.
        std::function<void(int multiplier)> cubeWidthChanged;
    };
    explicit ScanLimitsPanel(Window window) : m_window(std::move(window)) {}

    // Start-up: the width choices ("696", "1392"), their ranges and the limits reset.
    void SetCubeWidthChoices();
    // Connects the edits, "Reset", "Activate Limits" and the Cube Width list to the panel.
    void ConnectControls();
    // The limits back to 0 and the top of the range of the chosen width.
    void Reset();
    // The edits and the width list usable (while "Activate Limits" is ticked) or not.
    void Enable(bool enable);
    // A left press on the client area while "Set" (start or stop) is ticked: the clicked column, in
    // lines of the chosen cube width, becomes that limit and the button is unticked.
    void OnSetClick(QPoint client);

    int StartLine() const { return m_scanStartLine; }
    int StopLine() const { return m_scanStopLine; }

protected:
    // An edit that gets the focus takes the line under the last mouse position.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnEdited(int id);
    void OnCubeWidthChanged();
    QWidget* Control(int id) const { return m_window.control(id); }

    Window m_window;
    int m_scanStartLine = 0, m_scanStopLine = 511;
    int m_cubeWidthIndex = 0;
};
