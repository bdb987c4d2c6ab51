#pragma once
// The simulated motion controller of the scanning mirror. It sits on a pseudo-terminal registered
// as a serial port name ("COM1" by default) and speaks the controller's ASCII protocol on its own
// thread, driving SimMirror:
//
//   "ANSW2\r"      -> "OK\r\n"
//   "EN\n" / "DI\n" enable / disable the drive (disable stops the mirror); no reply
//   "LA<n>\n"      target position n            -> "OK\r\n"
//   "M\n"          start the move to the target  -> "OK\r\n"
//   "NP\r"         arm a notification            -> "OK\r\n"; "p" when the next move arrives
//   "POS\n"        -> the position in decimal + "\r\n"
//   "CORRIDOR<n>\r\n", "BAUD <n>\r"             -> "OK\r\n"
//   "gohoseq0\n"   homing: move to 0             -> "OK\r\n"
//
// Commands end in "\r", "\n" or "\r\n"; each reply is written in one piece. Unknown commands are
// logged and not answered; a command longer than kMaxCommandLength (a babbling line without
// terminators) is cut there, logged and treated as unknown. The log keeps the most recent
// kLogCommands commands and kLogBytes bytes and counts all of them, so a simulator that scans for
// days does not grow. Fault switches make it silent, answer garbage, never arrive, vanish
// after a number of commands, or answer late.
#include "sim/SimLog.h"
#include "sim/SimMirror.h"
#include "sim/SimPty.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class SimController {
public:
    explicit SimController(std::string portName = "COM1", SimMirror& mirror = SimMirror::Instance());
    ~SimController();
    SimController(const SimController&) = delete;
    SimController& operator=(const SimController&) = delete;

    // Creates the pseudo-terminal (raw mode), maps the port name to it and starts the thread.
    // False when no pseudo-terminal could be made. Does nothing when already running.
    bool Start();
    // Stops and joins the thread, closes the pseudo-terminal and removes the port mapping.
    void Shutdown();
    bool Running() const { return m_pty.Running(); }
    const std::string& PortName() const { return m_pty.PortName(); }
    // Device path of the pseudo-terminal's terminal side (what the port name maps to).
    std::string DevicePath() const;

    // Fault switches (may be changed at any time, from any thread).
    // Reads and logs commands but neither answers nor acts on them.
    void SetSilent(bool on) { m_silent = on; }
    // Answers every command (and the arrival notification) with bytes that mean nothing.
    void SetGarbage(bool on) { m_garbage = on; }
    // The mirror never reaches a target.
    void SetNeverArrives(bool on);
    // After this many further commands (the last one still handled) the controller hangs up: the
    // pseudo-terminal is closed, so reads and writes on the port fail and it cannot be reopened.
    // 0 switches the fault off.
    void SetVanishAfter(int commands) { m_vanishAfter = commands; }
    // Every reply is written this many milliseconds (real time) after its command arrived.
    void SetReplyDelayMs(int ms) { m_replyDelayMs = ms; }
    bool Vanished() const { return m_vanished.load(); }

    static constexpr size_t kLogCommands = 8192;     // several complete scans
    static constexpr size_t kLogBytes = 128 * 1024;  // as many bytes
    static constexpr size_t kMaxCommandLength = 256; // longer input without a terminator is cut

    // The most recent commands received (at most kLogCommands), with their terminators, oldest
    // first (empty ones are not logged).
    std::vector<std::string> ReceivedCommands() const;
    // The most recent bytes received (at most kLogBytes).
    std::string ReceivedBytes() const;
    void ClearLog();
    // Commands and bytes received since the start or the last ClearLog, all of them.
    size_t CommandCount() const;
    uint64_t BytesReceived() const;
    // Number of the kept commands equal to command (terminator included).
    size_t CountOf(const std::string& command) const;
    // Waits until at least count logged commands have been handled (acted on and answered);
    // false when timeoutMs passed first.
    bool WaitForCommands(size_t count, int timeoutMs) const;
    // Arrival notifications ("p") written, commands not understood.
    uint64_t NotificationsSent() const { return m_notifications.load(); }
    uint64_t UnknownCommands() const { return m_unknown.load(); }
    // Last corridor and baud values received (0 before any).
    int32_t Corridor() const { return m_corridor.load(); }
    int32_t BaudRate() const { return m_baud.load(); }

private:
    void Run(int master, int wake);
    void Consume(std::string& pending);
    // cut: the command was longer than kMaxCommandLength; it is logged cut and not understood.
    void Handle(const std::string& body, const std::string& terminator, bool cut = false);
    void Reply(std::string text);
    void Vanish();

    SimMirror& m_mirror;
    SimPtyDevice m_pty;
    std::atomic<bool> m_stop{false};

    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_garbage{false};
    std::atomic<int> m_vanishAfter{0};
    std::atomic<int> m_replyDelayMs{0};
    std::atomic<bool> m_vanished{false};

    // Controller state, touched by the thread only.
    int32_t m_target = 0;
    bool m_notifyArmed = false;
    bool m_watchArrival = false;

    mutable std::mutex m_logMutex;
    mutable std::condition_variable m_logChanged;
    RecentEntries m_log{kLogCommands};
    RecentBytes m_bytes{kLogBytes};
    size_t m_handled = 0;
    std::atomic<uint64_t> m_notifications{0};
    std::atomic<uint64_t> m_unknown{0};
    std::atomic<int32_t> m_corridor{0};
    std::atomic<int32_t> m_baud{0};
};
