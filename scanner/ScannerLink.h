#pragma once
// The main window's link to the scanning mirror's motion controller: connection handshake, drive
// enable, absolute moves, arrival polls, position query and homing, over the process's serial port.
//
// The window thread, the camera thread (one move per cube line) and dialogs call these operations;
// each command with the read of its reply holds the port's exchange lock, so exchanges from
// different threads never interleave.
//
// No wait on the mirror is endless: the wait for the controller's arrival notification and
// TravelTo end after a time limit derived from the distance to travel (scaled like every other
// wait by the sleep scale), and report "Mirror did not reach %d" through the status callback.
#include "scanner/ScannerSettings.h"
#include "scanner/SerialPort.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// Outcome of a travel to a target position.
enum class TravelResult {
    Arrived,      // the controller reported the mirror within reach of the target
    TimedOut,     // the time limit for the distance passed first
    NotConnected, // the link is not connected: nothing was sent and there was nothing to wait for
    Stopped,      // the caller's abort flag was raised
};

class ScannerLink {
public:
    using StatusCallback = std::function<void(const std::string&)>;

    // Slowest mirror speed assumed when working out a time limit, in counts per second (the mirror
    // normally travels about 165000 counts per second).
    static constexpr double kMinimumMirrorSpeed = 50000.0;
    // Added to the travel time of the wait for the arrival notification and of TravelTo, in ms.
    static constexpr double kMoveWaitMarginMs = 500.0;
    static constexpr double kTravelMarginMs = 1000.0;
    // Distance assumed while the mirror's position has never been reported, in counts.
    static constexpr int32_t kUnknownDistance = 400000;
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
    // Sends "EN\n" or "DI\n" (the latter followed by a 10 ms pause), connected or not.
    void EnableScannerDrive(bool on);
    // Moves the mirror to position; nothing is sent while the link is not connected. With
    // m_waitForArrival it waits for the controller's arrival notification, at most for the time
    // limit of the distance, or until the stop flag is raised.
    void MoveMirrorAbsolute(int32_t position);
    // 0 when the controller reports the mirror closer than kArrivalTolerance to target, else -1
    // (also when the reply is missing or holds no number).
    int CheckMirrorArrival(int32_t target);
    // Asks the controller for the position; 0 when the reply holds no number. True when it did.
    bool QueryMirrorPosition(int32_t& position);
    // Starts the controller's homing sequence (reply read and discarded).
    void StartHomingSequence();
    // Moves once, then polls CheckMirrorArrival until it returns 0, at most for the time limit of
    // the distance from the mirror's last known position. A raised abort flag ends the wait.
    TravelResult TravelTo(int32_t target, const std::atomic<bool>* abort = nullptr);

    // Time limit of a travel over distance counts, in ms of real time (scaled by the sleep scale).
    static double TravelLimitMs(int64_t distance, double marginMs);

    DCB m_commState;
    std::atomic<bool> m_scannerConnected{false};
    std::atomic<bool> m_waitForArrival{false};
    std::atomic<int> m_driveEnabled{0};
    const std::atomic<bool>* m_stopRequested = nullptr;
    ScannerSettingsValues* m_settings;

private:
    static constexpr int kReplySize = 50;
    // Sends text as one write and returns whether it was written (failures are not reported).
    bool Send(const std::string& text);
    // Clears reply and reads at most maxBytes into it; the count read, or -1 when the read failed.
    int ReadReply(char (&reply)[kReplySize + 1], int maxBytes);
    // The move itself. False when nothing was sent (not connected) or the wait for the arrival
    // notification ran out; then timeoutStatus holds the text to show for the latter.
    bool Move(int32_t position, std::string& timeoutStatus);
    // Distance to target from where the mirror may stand (last report or last commanded target).
    int64_t DistanceTo(int32_t target) const;
    void NoteCommanded(int32_t target);
    void NoteReported(int32_t position);
    void ShowStatus(const std::string& text) const;

    CSerialPort& m_port;
    StatusCallback m_statusCallback;
    // Where the mirror was last reported and last sent; for the time limits only.
    std::atomic<int32_t> m_lastReported{0};
    std::atomic<bool> m_reportedKnown{false};
    std::atomic<int32_t> m_lastCommanded{0};
    std::atomic<bool> m_commandedKnown{false};
};

// Status text for a wait on the mirror that ran out of time.
std::string MirrorTimeoutText(int32_t target);
// Signed decimal integer at the start of text (blanks before it skipped), as "%d" reads it. False
// when there is none or it does not fit in 32 bits.
bool ParseLeadingInt(const char* text, int32_t& value);
