#pragma once
// "Serial Settings" dialog (154): a service dialog for the mirror's serial link. A worker thread
// opens the process's serial port on its own and runs a fixed mirror sweep, so that the controller
// and the cabling can be tried without the acquisition machinery:
//
//   fill the line parameters from the baud text, request the opening, wait 200 ms;
//   open the port (refused while the scanner link holds it: "stopping Thread !");
//   100 times: "LA-<(i + 2) * 500>\n\r", wait 10 ms, "M\n\r", wait 10 ms (targets -1000 ... -50500);
//   close the port it opened; enable "Start Scanning Mirror Thread" again.
//
// No replies are read. Each write holds the port's exchange lock, so the sweep never cuts into an
// exchange of the scanner link. The worker touches no widget: status texts, the message and the
// button are posted to the window thread. Closing the dialog (OK, Escape, destruction) stops the
// sweep, closes the port if the worker opened it and joins the worker.
#include "core/UserPrompts.h"
#include "serial/SerialPort.h"

#include <QDialog>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class QComboBox;
class QLineEdit;
class QPushButton;

// Control ids of dialog 154.
namespace SerialSettingIds {
inline constexpr int kReceived = 1154;    // edit under "Monitor Receiving Messages:"
inline constexpr int kSent = 1155;        // edit under "Monitor Sending Messages:"
inline constexpr int kPortStatus = 1150;  // edit in group "Status Port"
inline constexpr int kBaud = 1156;        // combo of baud texts
inline constexpr int kPort = 1157;        // combo COM1 ... COM6
inline constexpr int kOpenPort = 1151;    // button "Open Port"
inline constexpr int kClosePort = 1152;   // button "Close Port"
inline constexpr int kSendData = 1153;    // button "Send Data" (no action)
inline constexpr int kStartThread = 1158; // button "Start Scanning Mirror Thread"
} // namespace SerialSettingIds

inline constexpr const char* kStoppingThread = "stopping Thread !";
inline constexpr const char* kPortClosedText = "Closed";
inline constexpr const char* kPortConnectedText = "Connected";

class CSerialSettingDlg : public QDialog {
    Q_OBJECT
public:
    // prompts and port must outlive the dialog.
    explicit CSerialSettingDlg(UserPrompts& prompts, CSerialPort& port = GetSerialPort(),
                               QWidget* parent = nullptr);
    ~CSerialSettingDlg() override;

    // Both show the dialog after OnInitDialog: exec modally, open window-modally (returns at once).
    int exec() override;
    void open() override;
    // Run flag and requests cleared, values shown.
    void OnInitDialog();
    // save = true: controls -> members; false: members -> controls.
    void DoDataExchange(bool save);
    // Every way of closing ends here: the worker is stopped and joined first.
    void done(int result) override;

    void OnOpenPort();
    void OnClosePort();
    void OnStartThread();
    void OnOK();

    // State for the main window and tests (window thread).
    std::string PortStatus() const { return m_portStatus; }
    std::string BaudText() const;
    std::string PortName() const;
    bool WorkerRunning() const { return m_workerRunning.load(); }
    bool OwnsPort() const { return m_ownsPort.load(); }
    int RunFlag() const { return m_run.load(); }
    bool OpenRequested() const { return m_openRequest.load(); }
    bool CloseRequested() const { return m_closeRequest.load(); }

private:
    void Worker();
    // Stops the sweep, waits for the worker to end and closes the port if the worker left it open.
    void StopWorker();
    void PostStatus(const char* text);
    DCB FillParameters();

    UserPrompts& m_prompts;
    CSerialPort& m_port;

    QLineEdit* m_receivedEdit;
    QLineEdit* m_sentEdit;
    QLineEdit* m_statusEdit;
    QComboBox* m_baudCombo;
    QComboBox* m_portCombo;
    QPushButton* m_openButton;
    QPushButton* m_closeButton;
    QPushButton* m_startButton;

    // Window thread only.
    std::string m_receivedText;
    std::string m_sentText;
    std::string m_portStatus = kPortClosedText;

    // Read by the worker, set by the window thread.
    mutable std::mutex m_paramMutex;
    std::string m_baudText = "115200";
    std::string m_portName = "COM1";
    DCB m_commState;

    std::atomic<int> m_run{0};
    std::atomic<bool> m_openRequest{false};
    std::atomic<bool> m_closeRequest{false};
    std::atomic<bool> m_stop{false};     // the dialog is closing: end the sweep now
    std::atomic<bool> m_ownsPort{false}; // the worker opened the port and has not closed it
    std::atomic<bool> m_workerRunning{false};
    std::thread m_worker;
};
