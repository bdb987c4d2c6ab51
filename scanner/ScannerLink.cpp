#include "scanner/ScannerLink.h"

#include "core/Sleep.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(double ms) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

bool Contains(const char* data, int count, char c) {
    return count > 0 && std::memchr(data, c, static_cast<size_t>(count)) != nullptr;
}

int64_t Distance(int32_t a, int32_t b) {
    return std::llabs(int64_t(a) - int64_t(b));
}

} // namespace

std::string MirrorTimeoutText(int32_t target) {
    return "Mirror did not reach " + std::to_string(target);
}

bool ParseLeadingInt(const char* text, int32_t& value) {
    if (!text)
        return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f')
        ++p;
    if (*p == '+')
        ++p;
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(p, p + std::strlen(p), v);
    if (ec != std::errc())
        return false;
    value = v;
    return true;
}

ScannerLink::ScannerLink(ScannerSettingsValues& settings, CSerialPort& port)
    : m_settings(&settings), m_port(port) {}

double ScannerLink::TravelLimitMs(int64_t distance, double marginMs) {
    const double travelMs = double(distance < 0 ? -distance : distance) / kMinimumMirrorSpeed * 1000.0;
    return (travelMs + marginMs) * SleepScale();
}

void ScannerLink::ShowStatus(const std::string& text) const {
    if (m_statusCallback && !text.empty())
        m_statusCallback(text);
}

bool ScannerLink::Send(const std::string& text) {
    int written = 0;
    return m_port.Write(text.data(), static_cast<int>(text.size()), &written) == 1;
}

int ScannerLink::ReadReply(char (&reply)[kReplySize + 1], int maxBytes) {
    std::memset(reply, 0, sizeof(reply));
    int count = 0;
    if (!m_port.Read(reply, maxBytes, &count))
        return -1;
    return count;
}

int64_t ScannerLink::DistanceTo(int32_t target) const {
    int64_t distance = -1;
    if (m_reportedKnown.load())
        distance = std::max(distance, Distance(target, m_lastReported.load()));
    if (m_commandedKnown.load())
        distance = std::max(distance, Distance(target, m_lastCommanded.load()));
    return distance < 0 ? kUnknownDistance : distance;
}

void ScannerLink::NoteCommanded(int32_t target) {
    m_lastCommanded.store(target);
    m_commandedKnown.store(true);
}

void ScannerLink::NoteReported(int32_t position) {
    m_lastReported.store(position);
    m_reportedKnown.store(true);
}

void ScannerLink::ApplyBaudRate() {
    FillCommState(m_commState, m_settings->m_baudRate);
}

bool ScannerLink::ConnectScanner() {
    std::string status;
    bool connected = false;
    {
        auto exchange = m_port.LockExchange();
        ApplyBaudRate();
        if (m_port.IsOpen()) {
            m_scannerConnected = false;
            return false;
        }
        const std::string portName = m_settings->m_comPort;
        if (!m_port.Open(m_commState, portName)) {
            m_scannerConnected = false;
            status = portName + " Offline";
        } else {
            // The pane says Connected once the port is open, whatever the controller answers.
            status = portName + " Connected";
            char reply[kReplySize + 1];
            Send("ANSW2\r");
            ArvSleepMs(10);
            const int count = ReadReply(reply, kReplySize);
            ArvSleepMs(10);
            if (Contains(reply, count, 'O') || Contains(reply, count, 'K')) {
                m_port.PurgeInput();
                Send("BAUD 115200\r");
                ArvSleepMs(1);
                ReadReply(reply, kReplySize);
                ArvSleepMs(1);
                m_port.PurgeInput();
                Send("CORRIDOR" + std::to_string(m_settings->GetCorridor()) + "\r\n");
                ArvSleepMs(10);
                ReadReply(reply, kReplySize);
                ArvSleepMs(10);
                connected = true;
            }
            m_scannerConnected = connected;
        }
    }
    ShowStatus(status);
    return connected;
}

void ScannerLink::DisconnectScanner() {
    auto exchange = m_port.LockExchange();
    ApplyBaudRate();
    m_scannerConnected = false;
    if (m_port.IsOpen())
        m_port.Close();
}

void ScannerLink::EnableScannerDrive(bool on) {
    auto exchange = m_port.LockExchange();
    if (on) {
        Send("EN\n");
        m_driveEnabled = 1;
    } else {
        Send("DI\n");
        m_driveEnabled = 0;
        ArvSleepMs(10);
    }
}

bool ScannerLink::Move(int32_t position, std::string& timeoutStatus) {
    auto exchange = m_port.LockExchange();
    if (!m_scannerConnected)
        return false;
    const int64_t distance = DistanceTo(position);
    char reply[kReplySize + 1];
    // Every exchange starts by dropping what is still waiting in the input: a late reply or a stale
    // arrival notification is not the answer to the command about to be sent.
    m_port.PurgeInput();
    Send("LA" + std::to_string(position) + "\n");
    ReadReply(reply, kReplySize);
    if (!m_waitForArrival) {
        m_port.PurgeInput();
        Send("M\n");
        ReadReply(reply, kReplySize);
        NoteCommanded(position);
        return true;
    }
    m_port.PurgeInput();
    Send("NP\r");
    ReadReply(reply, kReplySize);
    m_port.PurgeInput();
    Send("M\n");
    NoteCommanded(position);
    // Each read returns after at most 152 ms (50 bytes), which sets the rhythm of the wait.
    const auto deadline = DeadlineAfter(TravelLimitMs(distance, kMoveWaitMarginMs));
    for (;;) {
        const int count = ReadReply(reply, kReplySize);
        if (Contains(reply, count, 'p')) {
            NoteReported(position);
            return true;
        }
        if (m_stopRequested && m_stopRequested->load())
            return true;
        // A failed read means the port is gone: no notification can come any more.
        if (count < 0 || Clock::now() >= deadline) {
            timeoutStatus = MirrorTimeoutText(position);
            return false;
        }
    }
}

void ScannerLink::MoveMirrorAbsolute(int32_t position) {
    std::string status;
    Move(position, status);
    ShowStatus(status);
}

int ScannerLink::CheckMirrorArrival(int32_t target) {
    int32_t value = -1;
    bool parsed = false;
    {
        auto exchange = m_port.LockExchange();
        char reply[kReplySize + 1];
        m_port.PurgeInput();
        Send("POS\n");
        ArvSleepMs(100);
        const int count = ReadReply(reply, kReplySize);
        parsed = count > 0 && ParseLeadingInt(reply, value);
    }
    // No reply or no number is never arrival, whatever the target.
    if (!parsed)
        return -1;
    NoteReported(value);
    return Distance(value, target) < kArrivalTolerance ? 0 : -1;
}

bool ScannerLink::QueryMirrorPosition(int32_t& position) {
    auto exchange = m_port.LockExchange();
    char reply[kReplySize + 1];
    m_port.PurgeInput();
    Send("POS\n");
    ArvSleepMs(100);
    const int count = ReadReply(reply, 10);
    int32_t value = 0;
    if (count > 0 && ParseLeadingInt(reply, value)) {
        position = value;
        NoteReported(value);
        return true;
    }
    position = 0;
    return false;
}

void ScannerLink::StartHomingSequence() {
    auto exchange = m_port.LockExchange();
    char reply[kReplySize + 1];
    m_port.PurgeInput();
    Send("gohoseq0\n");
    ArvSleepMs(100);
    ReadReply(reply, 10);
    // Where homing leaves the mirror is not known until it is reported again.
    m_reportedKnown = false;
    m_commandedKnown = false;
}

TravelResult ScannerLink::TravelTo(int32_t target, const std::atomic<bool>* abort) {
    // An unconnected link cannot report arrival: there is nothing to wait for.
    if (!m_scannerConnected)
        return TravelResult::NotConnected;
    const auto deadline = DeadlineAfter(TravelLimitMs(DistanceTo(target), kTravelMarginMs));
    std::string moveStatus; // the travel's own time-out is reported below, once
    Move(target, moveStatus);
    if (!m_scannerConnected)
        return TravelResult::NotConnected;
    for (;;) {
        if (abort && abort->load())
            return TravelResult::Stopped;
        if (CheckMirrorArrival(target) == 0)
            return TravelResult::Arrived;
        if (Clock::now() >= deadline) {
            ShowStatus(MirrorTimeoutText(target));
            return TravelResult::TimedOut;
        }
    }
}
