#pragma once
// A motion controller played by a test on a pseudo-terminal (a ports map names its Path()): it
// answers the handshake and every setting with "OK", takes targets, is there at once on "M", and
// keeps the targets it was sent. Faults for the tests of what the program does when the controller
// misbehaves: silent from the start or after a number of targets, or babbling (every answer noise).
// A hang-up is the peer's own: peer.Hangup() from the test's thread.
#include "scanner/PtyPeer.h"

#include <mutex>
#include <string>
#include <vector>

class ControllerPeer {
public:
    enum class Fault { None, Silent, SilentAfterTargets, Babbling };

    void SetFault(Fault fault, size_t afterTargets = 0) {
        std::lock_guard lock(m_mutex);
        m_fault = fault;
        m_afterTargets = afterTargets;
    }
    std::string Answer(const std::string& command) {
        std::lock_guard lock(m_mutex);
        if (m_fault == Fault::Silent ||
            (m_fault == Fault::SilentAfterTargets && m_targets.size() >= m_afterTargets))
            return "";
        if (m_fault == Fault::Babbling)
            return std::string("\x01\xfe#?", 4) + "ERR" + std::to_string(m_babble++ % 97) + "\r\n";
        if (command.rfind("LA", 0) == 0) {
            m_target = std::stoi(command.substr(2));
            m_targets.push_back(m_target);
            return "OK\r\n";
        }
        if (command == "M\n") {
            m_position = m_target;
            return "OK\r\n";
        }
        if (command == "POS\n")
            return std::to_string(m_position) + "\r\n";
        return command == "EN\n" || command == "DI\n" ? "" : "OK\r\n";
    }
    std::vector<int> Targets() {
        std::lock_guard lock(m_mutex);
        return m_targets;
    }

private:
    std::mutex m_mutex;
    Fault m_fault = Fault::None;
    size_t m_afterTargets = 0;
    int m_target = 0;
    int m_position = 0;
    unsigned m_babble = 0;
    std::vector<int> m_targets;

public:
    // Last, so that its thread stops before the state it answers from goes.
    PtyPeer peer{"", [this](const std::string& c) { return Answer(c); }};
};
