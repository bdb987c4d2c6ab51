#include "scanner/ScannerLink.h"

#include "core/Sleep.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration Ms(double ms) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
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
    // One sign at most, as "%d" reads it: "+-5" is not a number.
    if (*p == '+' && p[1] != '-')
        ++p;
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(p, p + std::strlen(p), v);
    if (ec != std::errc())
        return false;
    value = v;
    return true;
}

// ---------------------------------------------------------------------------------------------

StallWatch::StallWatch(int32_t target, double stallMs, double ceilingMs)
    : m_target(target), m_stall(Ms(stallMs)), m_deadline(Clock::now() + Ms(ceilingMs)),
      m_lastProgress(Clock::now()) {}

void StallWatch::Report(int32_t position) {
    const int64_t distance = Distance(position, m_target);
    if (m_bestDistance < 0 || distance < m_bestDistance) {
        m_bestDistance = distance;
        m_lastProgress = Clock::now();
    }
    m_lastPosition = position;
}

bool StallWatch::Stalled() const {
    const auto now = Clock::now();
    return now - m_lastProgress >= m_stall || now >= m_deadline;
}

bool StallWatch::LastReported(int32_t& position) const {
    if (m_bestDistance < 0)
        return false;
    position = m_lastPosition;
    return true;
}

// ---------------------------------------------------------------------------------------------

ScannerLink::ScannerLink(ScannerSettingsValues& settings, CSerialPort& port)
    : m_settings(&settings), m_port(port) {}

StallWatch ScannerLink::NewStallWatch(int32_t target) const {
    return StallWatch(target, m_stallMs.load() * SleepScale(), kTravelCeilingMs * SleepScale());
}

void ScannerLink::ShowStatus(const std::string& text) const {
    if (m_statusCallback && !text.empty())
        m_statusCallback(text);
}

void ScannerLink::LoseLink() {
    if (!m_ownsPort)
        return;
    m_ownsPort = false;
    m_scannerConnected = false;
    m_port.Close();
    m_linkLost = true;
    std::lock_guard lock(m_lossMutex);
    m_lossText = m_openedPortName + " Offline";
}

void ScannerLink::ReportLoss() {
    std::string text;
    {
        std::lock_guard lock(m_lossMutex);
        text.swap(m_lossText);
    }
    ShowStatus(text);
}

bool ScannerLink::Send(const std::string& text) {
    if (!m_port.IsOpen())
        return false;
    int written = 0;
    if (m_port.Write(text.data(), static_cast<int>(text.size()), &written) == 1)
        return true;
    LoseLink();
    return false;
}

int ScannerLink::ReadReply(char (&reply)[kReplySize + 1], int maxBytes) {
    std::memset(reply, 0, sizeof(reply));
    if (!m_port.IsOpen())
        return -1;
    int count = 0;
    if (!m_port.Read(reply, maxBytes, &count)) {
        LoseLink();
        return -1;
    }
    return count;
}

void ScannerLink::ApplyBaudRate() {
    FillCommState(m_commState, m_settings->m_baudRate);
}

bool ScannerLink::OpenAndGreet(bool closeWhenSilent, std::string& status) {
    const std::string portName = m_settings->m_comPort;
    if (!m_port.Open(m_commState, portName)) {
        m_scannerConnected = false;
        status = portName + " Offline";
        return false;
    }
    m_ownsPort = true;
    m_openedPortName = portName;
    m_linkLost = false;
    m_silentMoves = 0;
    {
        std::lock_guard lock(m_lossMutex);
        m_lossText.clear();
    }
    // The pane says Connected once the port is open, whatever the controller answers.
    status = portName + " Connected";
    char reply[kReplySize + 1];
    Send("ANSW2\r");
    ArvSleepMs(10);
    const int count = ReadReply(reply, kReplySize);
    ArvSleepMs(10);
    bool connected = false;
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
        // The port may have hung up during the greeting.
        connected = m_ownsPort;
    }
    m_scannerConnected = connected;
    if (!m_ownsPort || (!connected && closeWhenSilent)) {
        if (m_ownsPort)
            m_port.Close();
        m_ownsPort = false;
        m_linkLost = true;
        status = portName + " Offline";
        std::lock_guard lock(m_lossMutex);
        m_lossText.clear();
    }
    return connected;
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
        connected = OpenAndGreet(false, status);
        // A port that could not be opened (or hung up while greeted) here is offline until the user
        // connects again; only a link lost while in use is restored by the next command.
        if (!m_ownsPort) {
            m_linkLost = false;
            std::lock_guard lock(m_lossMutex);
            m_lossText.clear();
        }
    }
    ShowStatus(status);
    return connected;
}

bool ScannerLink::RestoreLink() {
    if (!m_linkLost.load())
        return m_scannerConnected.load();
    std::string status;
    bool connected = false;
    {
        auto exchange = m_port.LockExchange();
        if (!m_linkLost.load())
            return m_scannerConnected.load();
        if (m_port.IsOpen()) // someone else (the diagnostic dialog) holds the port now
            return false;
        ApplyBaudRate();
        connected = OpenAndGreet(true, status);
    }
    ReportLoss();
    ShowStatus(status);
    return connected;
}

void ScannerLink::DisconnectScanner() {
    auto exchange = m_port.LockExchange();
    ApplyBaudRate();
    m_scannerConnected = false;
    m_linkLost = false;
    {
        std::lock_guard lock(m_lossMutex);
        m_lossText.clear();
    }
    m_ownsPort = false;
    if (m_port.IsOpen())
        m_port.Close();
}

void ScannerLink::EnableScannerDrive(bool on) {
    RestoreLink();
    {
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
    ReportLoss();
}

bool ScannerLink::PollPosition(int32_t& position, int maxBytes, bool* notified) {
    char reply[kReplySize + 1];
    m_port.PurgeInput();
    if (!Send("POS\n"))
        return false;
    ArvSleepMs(100);
    const int count = ReadReply(reply, maxBytes);
    if (count <= 0)
        return false;
    // An arrival notification may come just before the position.
    if (notified && Contains(reply, count, 'p')) {
        *notified = true;
        std::replace(reply, reply + count, 'p', ' ');
    }
    return ParseLeadingInt(reply, position);
}

bool ScannerLink::Move(int32_t position, std::string& timeoutStatus, StallWatch* watch,
                       const std::atomic<bool>* abort) {
    auto exchange = m_port.LockExchange();
    if (!m_scannerConnected)
        return false;
    char reply[kReplySize + 1];
    // Every exchange starts by dropping what is still waiting in the input: a late reply or a stale
    // arrival notification is not the answer to the command about to be sent.
    m_port.PurgeInput();
    Send("LA" + std::to_string(position) + "\n");
    const int targetReply = ReadReply(reply, kReplySize);
    if (!m_waitForArrival) {
        m_port.PurgeInput();
        Send("M\n");
        const int moveReply = ReadReply(reply, kReplySize);
        // A controller that stopped answering while its port stays open (switched off behind a USB
        // adapter, a cable pulled at the controller's end) would otherwise be sent a whole scan, each
        // line waiting out two reply times. After kSilentMovesForLoss moves in a row without a byte
        // the link counts as lost: the scan ends with the lines taken, and the next command greets
        // the controller again.
        if (targetReply == 0 && moveReply == 0) {
            if (++m_silentMoves >= kSilentMovesForLoss)
                LoseLink();
        } else {
            m_silentMoves = 0;
        }
        return m_scannerConnected;
    }
    m_port.PurgeInput();
    Send("NP\r");
    ReadReply(reply, kReplySize);
    m_port.PurgeInput();
    if (!Send("M\n"))
        return false;
    StallWatch own = NewStallWatch(position);
    StallWatch& stall = watch ? *watch : own;
    const auto pollEvery = Ms(kNotificationPollMs * SleepScale());
    auto lastPoll = Clock::now();
    // Each read returns after at most 152 ms (50 bytes), which sets the rhythm of the wait; now and
    // then the position is asked for, to see whether the mirror still comes closer.
    for (;;) {
        const int count = ReadReply(reply, kReplySize);
        if (count < 0)
            return false; // the port is gone: no notification can come any more
        if (Contains(reply, count, 'p'))
            return true;
        if ((m_stopRequested && m_stopRequested->load()) || (abort && abort->load()))
            return true;
        if (Clock::now() - lastPoll >= pollEvery) {
            bool notified = false;
            int32_t at = 0;
            if (PollPosition(at, kReplySize, &notified))
                stall.Report(at);
            if (notified)
                return true;
            if (!m_scannerConnected)
                return false;
            lastPoll = Clock::now();
        }
        if (stall.Stalled()) {
            timeoutStatus = MirrorTimeoutText(position);
            return false;
        }
    }
}

void ScannerLink::MoveMirrorAbsolute(int32_t position) {
    std::string status;
    Move(position, status, nullptr);
    ReportLoss();
    ShowStatus(status);
}

int ScannerLink::CheckMirrorArrival(int32_t target) {
    int32_t value = -1;
    bool parsed = false;
    {
        auto exchange = m_port.LockExchange();
        parsed = PollPosition(value, kReplySize);
    }
    ReportLoss();
    // No reply or no number is never arrival, whatever the target.
    if (!parsed)
        return -1;
    return Distance(value, target) < kArrivalTolerance ? 0 : -1;
}

bool ScannerLink::QueryMirrorPosition(int32_t& position) {
    RestoreLink();
    int32_t value = 0;
    bool parsed = false;
    {
        auto exchange = m_port.LockExchange();
        parsed = PollPosition(value, 10);
    }
    ReportLoss();
    position = parsed ? value : 0;
    return parsed;
}

void ScannerLink::StartHomingSequence() {
    RestoreLink();
    {
        auto exchange = m_port.LockExchange();
        char reply[kReplySize + 1];
        m_port.PurgeInput();
        Send("gohoseq0\n");
        ArvSleepMs(100);
        ReadReply(reply, 10);
    }
    ReportLoss();
}

TravelResult ScannerLink::TravelTo(int32_t target, const std::atomic<bool>* abort) {
    RestoreLink();
    // An unconnected link cannot report arrival: there is nothing to wait for.
    if (!m_scannerConnected)
        return m_linkLost ? TravelResult::LinkLost : TravelResult::NotConnected;
    StallWatch stall = NewStallWatch(target);
    std::string moveStatus; // the travel's own time-out is reported below, once
    Move(target, moveStatus, &stall, abort);
    ReportLoss();
    for (;;) {
        if (!m_scannerConnected)
            return m_linkLost ? TravelResult::LinkLost : TravelResult::NotConnected;
        if (abort && abort->load())
            return TravelResult::Stopped;
        int32_t at = 0;
        bool parsed = false;
        {
            auto exchange = m_port.LockExchange();
            parsed = PollPosition(at, kReplySize);
        }
        ReportLoss();
        if (parsed && Distance(at, target) < kArrivalTolerance)
            return TravelResult::Arrived;
        if (parsed)
            stall.Report(at);
        if (m_linkLost)
            return TravelResult::LinkLost;
        if (stall.Stalled()) {
            ShowStatus(MirrorTimeoutText(target));
            return TravelResult::TimedOut;
        }
    }
}
