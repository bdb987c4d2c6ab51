#pragma once
// The main window's link to the scanning mirror's motion controller: connection handshake, drive
// enable, absolute moves, arrival polls, position query and homing, over the process's serial port.
//
// The window thread, the camera thread (one move per cube line) and dialogs call these operations;
// each command with the read of its reply holds the port's exchange lock, so exchanges from
// different threads never interleave.
//
// No wait on the mirror is endless, and none assumes a speed: a wait for the mirror ends with
// "Mirror did not reach %d" when the reported position has come no closer to the target for the
// stall period (kDefaultStallMs unless set), or after a generous overall ceiling for a long trip.
// Both are scaled like every other wait by the sleep scale.
//
// A lost link is noticed at once: when the port hangs up or a write fails, the port is closed, the
// link is no longer connected, pane 3 shows "<port> Offline", and the next command (drive, travel,
// query, homing) opens the port again and repeats the handshake.
#include "scanner/ScannerSettings.h"
#include "serial/SerialPort.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// Outcome of a travel to a target position.
enum class TravelResult {
    Arrived,      // the controller reported the mirror within reach of the target
    TimedOut,     // the time limit for the distance passed first
    NotConnected, // the link is not connected: nothing was sent and there was nothing to wait for
    Stopped,      // the caller's abort flag was raised
    LinkLost,     // the port hung up or refused a write (before or during the travel)
};

// Watches a wait on the mirror: it has stalled when the reported distance to the target has not
// shrunk for the stall period, or when the ceiling has passed since the start. Times are real
// milliseconds (already scaled).
class StallWatch {
public:
    StallWatch(int32_t target, double stallMs, double ceilingMs);
    // A position the controller reported.
    void Report(int32_t position);
    bool Stalled() const;
    // Where the mirror was last reported (false when it never was).
    bool LastReported(int32_t& position) const;

private:
    using Clock = std::chrono::steady_clock;
    int32_t m_target;
    Clock::duration m_stall;
    Clock::time_point m_deadline;
    Clock::time_point m_lastProgress;
    int64_t m_bestDistance = -1;
    int32_t m_lastPosition = 0;
};

class ScannerLink {
public:
    using StatusCallback = std::function<void(const std::string&)>;

    // A wait on the mirror ends when the position has come no closer for this long (ms).
    static constexpr double kDefaultStallMs = 2000.0;
    // Ceiling of one travel, whatever its progress (ms): a long trip of a slow mirror fits.
    static constexpr double kTravelCeilingMs = 300000.0;
    // While waiting for the arrival notification, the position is asked for this often (ms).
    static constexpr double kNotificationPollMs = 1000.0;
    // Arrival tolerance of CheckMirrorArrival: strictly closer than this many counts.
    static constexpr int32_t kArrivalTolerance = 2000;

    // settings supplies m_comPort, m_baudRate and m_corridor and must outlive the link.
    explicit ScannerLink(ScannerSettingsValues& settings, CSerialPort& port = GetSerialPort());

    // Status pane 3 texts ("%s Connected", "%s Offline", time-outs). Set before the link is used;
    // the callback may be called from any thread that calls an operation, never with the port's
    // exchange lock held.
    void SetStatusCallback(StatusCallback callback) { m_statusCallback = std::move(callback); }
    // The acquisition engine's stop flag, which ends the wait for the arrival notification.
    void SetStopFlag(const std::atomic<bool>* stopRequested) { m_stopRequested = stopRequested; }

    // Fills m_commState from m_baudRate: 8 data bits, no parity, one stop bit, the baud rate if it
    // is a listed one (else 0, so the following Open fails).
    void ApplyBaudRate();
    // Opens the port and greets the controller. False when the port was already open (nothing
    // sent), cannot be opened ("%s Offline"), or the controller's answer has neither 'O' nor 'K'.
    bool ConnectScanner();
    // Closes the port if it is open; the link is no longer connected.
    void DisconnectScanner();
    // After a lost link: opens the port again and repeats the handshake ("%s Connected"); when that
    // fails the port is closed again ("%s Offline") and the next command tries again. Does nothing
    // while the link is not lost. Returns whether the link is connected.
    bool RestoreLink();
    // Sends "EN\n" or "DI\n" (the latter followed by a 10 ms pause), connected or not.
    void EnableScannerDrive(bool on);
    // Moves the mirror to position; nothing is sent while the link is not connected. Without the
    // wait for arrival, kSilentMovesForLoss moves in a row that get no reply at all lose the link.
    // With m_waitForArrival it waits for the controller's arrival notification until the mirror stalls
    // (asking for its position now and then) or the stop flag is raised.
    void MoveMirrorAbsolute(int32_t position);
    // 0 when the controller reports the mirror closer than kArrivalTolerance to target, else -1
    // (also when the reply is missing or holds no number).
    int CheckMirrorArrival(int32_t target);
    // Asks the controller for the position; 0 when the reply holds no number. True when it did.
    bool QueryMirrorPosition(int32_t& position);
    // Starts the controller's homing sequence (reply read and discarded).
    void StartHomingSequence();
    // Moves once, then polls CheckMirrorArrival until it returns 0, or the mirror stalls, or the
    // link is lost. A raised abort flag ends the wait.
    TravelResult TravelTo(int32_t target, const std::atomic<bool>* abort = nullptr);

    // The stall period (ms before scaling); kDefaultStallMs unless set. Any thread.
    void SetStallPeriodMs(double ms) { m_stallMs = ms > 0 ? ms : kDefaultStallMs; }
    double StallPeriodMs() const { return m_stallMs.load(); }
    // A watch for a wait on target with this link's stall period and the ceiling, both scaled.
    StallWatch NewStallWatch(int32_t target) const;

    // Per-line moves in a row without any reply after which the controller counts as gone (about
    // 2.4 s of silence at two reply times of 152 ms per move).
    static constexpr int kSilentMovesForLoss = 8;
    // The link was lost (hang-up, failed write, a controller that stopped answering) and not
    // restored since. Any thread.
    bool LinkLost() const { return m_linkLost.load(); }
    bool PortOpen() const { return m_port.IsOpen() != 0; }
    // The serial port the link speaks through (shared with the serial diagnostic dialog).
    CSerialPort& Port() { return m_port; }

    DCB m_commState;
    std::atomic<bool> m_scannerConnected{false};
    std::atomic<bool> m_waitForArrival{false};
    std::atomic<int> m_driveEnabled{0};
    const std::atomic<bool>* m_stopRequested = nullptr;
    ScannerSettingsValues* m_settings;

private:
    static constexpr int kReplySize = 50;
    // Sends text as one write and returns whether it was written. A failed write on the link's open
    // port loses the link.
    bool Send(const std::string& text);
    // Clears reply and reads at most maxBytes into it; the count read, or -1 when the read failed
    // (a failed read on the link's open port loses the link).
    int ReadReply(char (&reply)[kReplySize + 1], int maxBytes);
    // Opens the port and greets the controller (exchange lock held); status receives the pane text.
    bool OpenAndGreet(bool closeWhenSilent, std::string& status);
    // The move itself. False when nothing was sent (not connected), the link was lost, or the wait
    // for the arrival notification ended without it; then timeoutStatus holds the text to show for
    // the latter.
    bool Move(int32_t position, std::string& timeoutStatus, StallWatch* watch,
              const std::atomic<bool>* abort = nullptr);
    // POS exchange: true with the position when the reply held a number; arrival notifications in
    // the reply set notified.
    bool PollPosition(int32_t& position, int maxBytes, bool* notified = nullptr);
    // The port hung up or refused a write (exchange lock held): closes it and marks the link lost.
    void LoseLink();
    void ShowStatus(const std::string& text) const;
    // Shows "<port> Offline" once after a loss (never with the exchange lock held).
    void ReportLoss();

    CSerialPort& m_port;
    StatusCallback m_statusCallback;
    std::atomic<double> m_stallMs{kDefaultStallMs};
    std::atomic<bool> m_linkLost{false};
    // The link opened the port (the diagnostic dialog may hold it instead) under this name; both
    // belong to whoever holds the exchange lock.
    bool m_ownsPort = false;
    // Per-line moves in a row that got no reply (exchange lock held).
    int m_silentMoves = 0;
    std::string m_openedPortName;
    // "<port> Offline" waiting to be shown after a loss.
    mutable std::mutex m_lossMutex;
    std::string m_lossText;
};

// Status text for a wait on the mirror that ran out of time.
std::string MirrorTimeoutText(int32_t target);
// Signed decimal integer at the start of text (blanks before it skipped), as "%d" reads it. False
// when there is none or it does not fit in 32 bits.
bool ParseLeadingInt(const char* text, int32_t& value);
