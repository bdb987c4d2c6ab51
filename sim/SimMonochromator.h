#pragma once
// The simulated CM110 monochromator. It sits on a pseudo-terminal registered as a serial port name
// ("COM4" by default) and reads the instrument's byte commands on its own thread:
//
//   27             echo: answered with 27
//   16 high low    move to position high * 256 + low: sets SimOptics' monochromator wavelength (nm)
//
// Every byte received is logged; other bytes are ignored. A command whose remaining bytes do not
// follow within a second is dropped, so a cut-off command does not swallow the next one.
//
// Faults: a monochromator that is absent is simply not started (its port name then maps to nothing
// or to whatever the ports file says); a silent one logs bytes but neither answers nor moves.
#include "sim/SimLog.h"
#include "sim/SimPty.h"
#include "sim/SimScene.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class SimMonochromator {
public:
    explicit SimMonochromator(std::string portName = "COM4", SimOptics& optics = SimOptics::Instance());
    ~SimMonochromator();
    SimMonochromator(const SimMonochromator&) = delete;
    SimMonochromator& operator=(const SimMonochromator&) = delete;

    // Creates the pseudo-terminal (raw mode), maps the port name to it and starts the thread.
    // False when no pseudo-terminal could be made. Does nothing when already running.
    bool Start();
    // Stops and joins the thread, closes the pseudo-terminal and removes the port mapping.
    void Shutdown();
    bool Running() const { return m_pty.Running(); }
    const std::string& PortName() const { return m_pty.PortName(); }
    // Device path of the pseudo-terminal's terminal side.
    std::string DevicePath() const;

    // Fault switch: logs bytes but neither answers nor moves.
    void SetSilent(bool on) { m_silent = on; }

    static constexpr size_t kLogBytes = 64 * 1024;

    // The most recent bytes received (at most kLogBytes), in order.
    std::string ReceivedBytes() const;
    // Bytes received since the start or the last ClearLog, all of them.
    uint64_t BytesReceived() const;
    void ClearLog();
    // Waits until at least count bytes (of all received) have been received and handled; false when
    // timeoutMs passed first.
    bool WaitForBytes(size_t count, int timeoutMs) const;
    // Position of the last move command (0 before any) and the number of move commands carried out.
    int Wavelength() const { return m_wavelength.load(); }
    uint64_t MoveCount() const { return m_moves.load(); }
    uint64_t EchoCount() const { return m_echoes.load(); }

private:
    void Run(int master, int wake);
    void Handle(uint8_t byte, std::chrono::steady_clock::time_point now);
    void Reply(uint8_t byte);

    SimOptics& m_optics;
    SimPtyDevice m_pty;
    std::atomic<bool> m_silent{false};

    // Command parser, touched by the thread only: bytes of a move command still expected.
    int m_gotoBytesLeft = 0;
    uint16_t m_gotoValue = 0;
    std::chrono::steady_clock::time_point m_lastByte{};

    mutable std::mutex m_logMutex;
    mutable std::condition_variable m_logChanged;
    RecentBytes m_bytes{kLogBytes};
    std::atomic<int> m_wavelength{0};
    std::atomic<uint64_t> m_moves{0};
    std::atomic<uint64_t> m_echoes{0};
};
