#include "sim/SimMirror.h"

#include <cmath>

SimMirror& SimMirror::Instance() {
    static SimMirror mirror;
    return mirror;
}

void SimMirror::SetSpeed(double countsPerSecond) {
    std::lock_guard lock(m_mutex);
    Settle(std::chrono::steady_clock::now());
    m_speed = countsPerSecond > 0 ? countsPerSecond : 1.0;
}

double SimMirror::Speed() const {
    std::lock_guard lock(m_mutex);
    return m_speed;
}

void SimMirror::SetClockScale(double scale) {
    std::lock_guard lock(m_mutex);
    Settle(std::chrono::steady_clock::now());
    m_clockScale = scale > 0 ? scale : 1.0;
}

double SimMirror::PositionAt(std::chrono::steady_clock::time_point t) const {
    if (!m_enabled || m_stuck)
        return m_start;
    const double seconds = std::chrono::duration<double>(t - m_moveStart).count() * m_clockScale;
    const double distance = double(m_target) - m_start;
    const double travelled = m_speed * seconds;
    double at = travelled >= std::fabs(distance) ? double(m_target)
                                                 : m_start + (distance > 0 ? travelled : -travelled);
    if (m_haltAt) {
        // A move that would cross the halt position (or end on it) stops there, for good.
        const double halt = double(*m_haltAt);
        if (m_start == halt || (m_start < halt && at >= halt) || (m_start > halt && at <= halt))
            at = halt;
    }
    return at;
}

void SimMirror::Settle(std::chrono::steady_clock::time_point t) {
    m_start = PositionAt(t);
    m_moveStart = t;
}

void SimMirror::SetDriveEnabled(bool on) {
    std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    Settle(now);
    if (!on)
        m_target = static_cast<int32_t>(std::lround(m_start)); // the drive stops where it stands
    m_enabled = on;
}

bool SimMirror::DriveEnabled() const {
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

void SimMirror::MoveTo(int32_t target) {
    std::lock_guard lock(m_mutex);
    Settle(std::chrono::steady_clock::now());
    m_target = target;
    if (m_stuckAfterMoves > 0 && --m_stuckAfterMoves == 0)
        m_stuck = true;
}

int32_t SimMirror::Target() const {
    std::lock_guard lock(m_mutex);
    return m_target;
}

int32_t SimMirror::Position() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int32_t>(std::lround(PositionAt(std::chrono::steady_clock::now())));
}

bool SimMirror::Arrived() const {
    std::lock_guard lock(m_mutex);
    return m_enabled && !m_stuck && PositionAt(std::chrono::steady_clock::now()) == double(m_target);
}

void SimMirror::Reset(int32_t position) {
    std::lock_guard lock(m_mutex);
    m_start = position;
    m_target = position;
    m_moveStart = std::chrono::steady_clock::now();
    m_haltAt.reset();
    m_stuckAfterMoves = 0;
}

void SimMirror::SetStuck(bool stuck) {
    std::lock_guard lock(m_mutex);
    Settle(std::chrono::steady_clock::now());
    m_stuck = stuck;
}

void SimMirror::SetHaltAt(std::optional<int32_t> position) {
    std::lock_guard lock(m_mutex);
    Settle(std::chrono::steady_clock::now());
    m_haltAt = position;
}

void SimMirror::SetStuckAfterMoves(int moves) {
    std::lock_guard lock(m_mutex);
    m_stuckAfterMoves = moves > 0 ? moves : 0;
}
