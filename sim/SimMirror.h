#pragma once
// The simulated scanning mirror: a motor with a finite speed. The simulated motion controller
// commands it; the simulated data camera reads its position at the start of every frame.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

class SimMirror {
public:
    static SimMirror& Instance();

    // Counts per second of travel. The default makes a 165 000-count trip take about a second.
    void SetSpeed(double countsPerSecond);
    double Speed() const;
    // Factor by which simulated time runs faster than real time (tests may run it fast).
    void SetClockScale(double scale);

    void SetDriveEnabled(bool on);
    bool DriveEnabled() const;
    // Starts a move to target (only moves while the drive is enabled; a disabled drive stops the
    // mirror where it is).
    void MoveTo(int32_t target);
    int32_t Target() const;
    int32_t Position() const;
    bool Arrived() const;
    // Puts the mirror at a position at once (tests, reset).
    void Reset(int32_t position = 0);
    // Freezes the mirror: it never reaches a target (fault switch "never arrives").
    void SetStuck(bool stuck);
    // The mirror stops for good at position when a move would take it there or past it (a mirror
    // that stops halfway); nullopt switches the fault off.
    void SetHaltAt(std::optional<int32_t> position);
    // After this many further moves (MoveTo) the mirror freezes, as with SetStuck (a mirror that
    // stops after the scan, on its way back); 0 switches the fault off.
    void SetStuckAfterMoves(int moves);

private:
    SimMirror() = default;
    double PositionAt(std::chrono::steady_clock::time_point t) const; // needs m_mutex
    void Settle(std::chrono::steady_clock::time_point t);             // needs m_mutex

    mutable std::mutex m_mutex;
    double m_speed = 165000.0;
    double m_clockScale = 1.0;
    bool m_enabled = false;
    bool m_stuck = false;
    std::optional<int32_t> m_haltAt;
    int m_stuckAfterMoves = 0;
    double m_start = 0.0;
    int32_t m_target = 0;
    std::chrono::steady_clock::time_point m_moveStart{};
};
