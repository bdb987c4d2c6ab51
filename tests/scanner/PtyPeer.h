#pragma once
// A scripted device on a pseudo-terminal for protocol tests: it maps a port name to its terminal
// side, collects what the program sends, splits it into commands at "\r", "\n" or "\r\n" and
// answers each command with what the responder returns (nothing when it returns ""). The terminal
// itself is the simulated devices' (raw from the start, mapped to the port name); what the peer
// answers is the test's own.
#include "sim/SimPty.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class PtyPeer {
public:
    // Receives a command with its terminator; returns the bytes to answer.
    using Responder = std::function<std::string(const std::string& command)>;

    // An empty portName maps no port name to the terminal (a ports map names Path() instead).
    explicit PtyPeer(std::string portName = "COM7", Responder responder = {});
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    void SetResponder(Responder responder);
    const std::string& Path() const { return m_path; }
    // A descriptor of the terminal side held by the peer (for reading its settings).
    int SlaveFd() const { return m_device.SlaveFd(); }
    // Writes bytes towards the program, outside of any command.
    void Send(const std::string& bytes);
    // Closes the pseudo-terminal: the program's reads and writes on it fail from now on.
    void Hangup();

    std::vector<std::string> Commands() const;
    std::string Bytes() const;
    void Clear();
    bool WaitForBytes(size_t count, int timeoutMs) const;
    // Waits until nothing more has come for quietMs (at most timeoutMs); false when bytes kept coming.
    bool WaitForQuiet(int quietMs, int timeoutMs) const;

private:
    void Run(int master, int wake);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Responder m_responder;
    std::vector<std::string> m_commands;
    std::string m_bytes;
    std::string m_path;
    SimPtyDevice m_device; // last: its thread stops before the members above go
};
