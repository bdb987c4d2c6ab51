#pragma once
// A pseudo-terminal for a simulated serial device, in raw mode from the start (no echo, no CR/LF
// translation, whoever opens the terminal side), with a non-blocking master and an eventfd that
// wakes the device's thread.
#include <string>

struct SimPty {
    int master = -1;
    int slave = -1; // kept open by the device so the master never sees EIO between openings
    int wake = -1;
    std::string devicePath;
};

// False (nothing left open) when no pseudo-terminal could be made.
bool OpenSimPty(SimPty& pty);
