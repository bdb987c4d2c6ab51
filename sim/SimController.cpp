#include "sim/SimController.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace {

// What a confused controller sends instead of an answer: no 'O', 'K', 'p' and no digits.
constexpr char kGarbage[] = "\x15?#%&\xfe~\r\n";

// Time to wait for the line feed of a "\r\n" that was split between two reads.
constexpr int kTerminatorGraceMs = 2;

std::optional<int32_t> Number(std::string_view text) {
    if (!text.empty() && text[0] == '+')
        text.remove_prefix(1);
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return v;
}

} // namespace

SimController::SimController(std::string portName, SimMirror& mirror)
    : m_mirror(mirror), m_pty(std::move(portName)) {}

SimController::~SimController() {
    Shutdown();
}

bool SimController::Start() {
    if (m_pty.Running())
        return true;
    m_target = m_mirror.Target();
    m_notifyArmed = false;
    m_watchArrival = false;
    m_vanished = false;
    m_stop = false;
    return m_pty.Start([this](int master, int wake) { Run(master, wake); });
}

void SimController::Shutdown() {
    m_stop = true;
    m_pty.Stop();
}

std::string SimController::DevicePath() const {
    return m_pty.DevicePath();
}

void SimController::SetNeverArrives(bool on) {
    m_mirror.SetStuck(on);
}

void SimController::Vanish() {
    m_vanished = true; // before the hang-up, so whoever sees the hang-up also sees the flag
    m_pty.HangUp();
}

std::vector<std::string> SimController::ReceivedCommands() const {
    std::lock_guard lock(m_logMutex);
    return m_log.Entries();
}

std::string SimController::ReceivedBytes() const {
    std::lock_guard lock(m_logMutex);
    return m_bytes.Text();
}

uint64_t SimController::BytesReceived() const {
    std::lock_guard lock(m_logMutex);
    return m_bytes.Total();
}

void SimController::ClearLog() {
    std::lock_guard lock(m_logMutex);
    m_log.Clear();
    m_bytes.Clear();
    m_handled = 0;
}

size_t SimController::CommandCount() const {
    std::lock_guard lock(m_logMutex);
    return size_t(m_log.Total());
}

size_t SimController::CountOf(const std::string& command) const {
    std::lock_guard lock(m_logMutex);
    return m_log.CountOf(command);
}

bool SimController::WaitForCommands(size_t count, int timeoutMs) const {
    std::unique_lock lock(m_logMutex);
    return m_logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return m_handled >= count; });
}

void SimController::Run(int master, int wake) {
    std::string pending;
    char chunk[256];
    while (!m_stop.load()) {
        pollfd p[2] = {{wake, POLLIN, 0}, {m_vanished ? -1 : master, POLLIN, 0}};
        const int ready = ::poll(p, 2, m_watchArrival ? 1 : 50);
        if (ready < 0 && errno != EINTR)
            break;
        if (p[0].revents & POLLIN)
            break;
        if (!m_vanished && (p[1].revents & POLLIN)) {
            const ssize_t got = ::read(master, chunk, sizeof(chunk));
            if (got > 0) {
                {
                    std::lock_guard lock(m_logMutex);
                    m_bytes.Append(chunk, static_cast<size_t>(got));
                }
                pending.append(chunk, static_cast<size_t>(got));
                // A lone carriage return at the end may be the first half of "\r\n".
                if (pending.back() == '\r') {
                    pollfd more{master, POLLIN, 0};
                    if (::poll(&more, 1, kTerminatorGraceMs) > 0 && (more.revents & POLLIN)) {
                        const ssize_t extra = ::read(master, chunk, sizeof(chunk));
                        if (extra > 0) {
                            std::lock_guard lock(m_logMutex);
                            m_bytes.Append(chunk, static_cast<size_t>(extra));
                            pending.append(chunk, static_cast<size_t>(extra));
                        }
                    }
                }
                Consume(pending);
            }
        }
        if (!m_vanished && m_watchArrival && m_mirror.Arrived()) {
            m_watchArrival = false;
            m_notifyArmed = false;
            if (!m_silent) {
                Reply("p");
                ++m_notifications;
            }
        }
    }
}

void SimController::Consume(std::string& pending) {
    for (;;) {
        if (m_vanished) {
            pending.clear();
            return;
        }
        const size_t end = pending.find_first_of("\r\n");
        if (end == std::string::npos) {
            // A line that never ends: cut it and treat it as one command nobody understands.
            if (pending.size() > kMaxCommandLength) {
                Handle(pending.substr(0, kMaxCommandLength), "", true);
                pending.clear();
            }
            return;
        }
        size_t length = 1;
        if (pending[end] == '\r' && end + 1 < pending.size() && pending[end + 1] == '\n')
            length = 2;
        const bool cut = end > kMaxCommandLength;
        const std::string body = pending.substr(0, std::min(end, kMaxCommandLength));
        const std::string terminator = pending.substr(end, length);
        pending.erase(0, end + length);
        if (!body.empty())
            Handle(body, terminator, cut);
    }
}

void SimController::Handle(const std::string& body, const std::string& terminator, bool cut) {
    {
        std::lock_guard lock(m_logMutex);
        m_log.Add(body + terminator);
    }

    if (cut) {
        ++m_unknown;
    } else if (!m_silent) {
        const std::string_view b(body);
        if (b == "ANSW2") {
            Reply("OK\r\n");
        } else if (b == "EN") {
            m_mirror.SetDriveEnabled(true);
        } else if (b == "DI") {
            m_mirror.SetDriveEnabled(false);
            m_watchArrival = false;
        } else if (b.substr(0, 2) == "LA" && Number(b.substr(2))) {
            m_target = *Number(b.substr(2));
            Reply("OK\r\n");
        } else if (b == "M") {
            m_mirror.MoveTo(m_target);
            m_watchArrival = m_notifyArmed;
            Reply("OK\r\n");
        } else if (b == "NP") {
            m_notifyArmed = true;
            Reply("OK\r\n");
        } else if (b == "POS") {
            Reply(std::to_string(m_mirror.Position()) + "\r\n");
        } else if (b.substr(0, 8) == "CORRIDOR" && Number(b.substr(8))) {
            m_corridor = *Number(b.substr(8));
            Reply("OK\r\n");
        } else if (b.substr(0, 5) == "BAUD " && Number(b.substr(5))) {
            m_baud = *Number(b.substr(5));
            Reply("OK\r\n");
        } else if (b == "gohoseq0") {
            m_target = 0;
            m_mirror.MoveTo(0);
            Reply("OK\r\n");
        } else {
            ++m_unknown;
        }
    }

    const int vanishAfter = m_vanishAfter.load();
    if (vanishAfter > 0) {
        if (vanishAfter == 1) {
            m_vanishAfter = 0;
            Vanish();
        } else {
            m_vanishAfter = vanishAfter - 1;
        }
    }
    {
        std::lock_guard lock(m_logMutex);
        ++m_handled;
    }
    m_logChanged.notify_all();
}

void SimController::Reply(std::string text) {
    if (m_garbage)
        text = kGarbage;
    const int delay = m_replyDelayMs.load();
    if (delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    m_pty.Write(text);
}
