#pragma once
// The serial line of a simulated device: a pseudo-terminal in raw mode from the start (no echo, no
// CR/LF translation, whoever opens the terminal side), registered under the device's port name
// ("COM1", "COM4") so that the program opens it as that port, and the device's thread. The tests'
// scripted peers use it as well; an empty port name maps no name (the peer is reached by its path).
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class SimPtyDevice {
public:
    explicit SimPtyDevice(std::string portName);
    ~SimPtyDevice(); // Stop()
    SimPtyDevice(const SimPtyDevice&) = delete;
    SimPtyDevice& operator=(const SimPtyDevice&) = delete;

    // Creates the pseudo-terminal, maps the port name to it and runs loop(master, wake) on a thread
    // of its own. The master is non-blocking; the loop returns once wake (an eventfd) is readable.
    // False, with nothing left open, when no pseudo-terminal could be made; true at once when the
    // device already runs.
    bool Start(std::function<void(int master, int wake)> loop);
    // Wakes the loop, joins the thread, closes the pseudo-terminal and removes the port mapping.
    void Stop();
    bool Running() const { return m_running.load(); }
    const std::string& PortName() const { return m_portName; }
    // Device path of the terminal side (what the port name maps to).
    std::string DevicePath() const;
    // Writes bytes to the program. When nobody reads them (or the device hung up) they are lost,
    // as on a real line.
    void Write(std::string_view bytes);
    // Reads what the program sent, without waiting: the bytes read, 0 when none came or after a
    // hang-up. Safe against a concurrent HangUp (the descriptor is used under the device's lock).
    size_t Read(char* buffer, size_t size);
    bool HungUp() const;
    // The terminal side, held open by the device (tests read the line's settings through it); -1
    // when the device does not run.
    int SlaveFd() const;
    // Closes the device's side only: the program sees a hang-up. The terminal's number stays taken
    // (its path is gone) until Stop, so a program that keeps reopening the old path finds nothing
    // instead of another program's new terminal.
    void HangUp();

private:
    const std::string m_portName;
    mutable std::mutex m_mutex; // guards the descriptors and m_devicePath
    int m_master = -1;
    int m_slave = -1; // kept open so the master never sees EIO between openings of the port
    int m_wake = -1;
    std::string m_devicePath;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
};
