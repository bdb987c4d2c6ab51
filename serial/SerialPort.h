#pragma once
// The serial port through which every byte to the mirror's motion controller passes. There is one
// port object per process (GetSerialPort); the scanner link and the serial diagnostic dialog share
// it, so whichever opens it first owns it and a second Open is refused.
//
// The port is a termios device in raw mode, 8 data bits, no parity, one stop bit unless the
// parameters say otherwise, opened exclusively: locked with flock and in exclusive mode, so a second
// instance of the program is refused even when it runs as root. Time-outs follow the controller's needs: a
// read returns when the line has been silent for 3 ms after data, or at the latest after 3 ms per requested
// byte plus 2 ms; a write gives up after 3 ms per byte plus 2 ms.
//
// Port names "COM1" ... "COM256" are mapped to devices: first through an in-memory override map
// (the simulated devices place their pseudo-terminals there), then through the ports map that the
// instrument read at start-up (./Settings/ARV300_Ports.txt, lines such as "COM1 /dev/ttyUSB0"), and
// otherwise "COM<n>" maps to /dev/ttyS<n-1>. When real ports are not allowed (everything
// simulated), only the overrides resolve. An opened device is locked (flock) and put in exclusive
// mode, so a second opener is refused, root included.
#include "serial/PortsMap.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t ODDPARITY = 1;
inline constexpr uint8_t EVENPARITY = 2;
inline constexpr uint8_t ONESTOPBIT = 0;
inline constexpr uint8_t TWOSTOPBITS = 2;

// Line parameters of a serial port (the meaningful part of a device control block).
struct DCB {
    uint32_t BaudRate = 115200;
    uint8_t ByteSize = 8;
    uint8_t Parity = NOPARITY;
    uint8_t StopBits = ONESTOPBIT;
};

// Default location of the file mapping port names to devices (relative to the working directory).
inline constexpr const char* kPortsFile = "./Settings/ARV300_Ports.txt";

// Opens a serial device for reading and writing (no controlling terminal, non-blocking, closed on
// exec) and takes the device's exclusive lock (flock). -1 when the device cannot be opened or
// another open file holds the lock: another instance of the program (even one run as root, which
// exclusive mode alone does not stop) or another program that locks its ports; its lock and
// exclusive mode stay as they were.
int OpenLockedDevice(const std::string& device);

// Whether baud is one of the rates the controller link accepts (110 ... 256000).
bool IsListedBaudRate(uint32_t baud);
// Fills dcb for the controller link: 8 data bits, no parity, one stop bit and the baud rate read
// as a decimal number from the start of baudText (blanks around it are ignored). A rate that is
// not listed leaves BaudRate 0, which Open refuses. Returns whether the rate was accepted.
bool FillCommState(DCB& dcb, const std::string& baudText);

class CSerialPort {
public:
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // All of these return 1 for success and 0 for failure.
    // Opens the device named portName with the given line parameters. Refused (0, first opening
    // left intact) while the port is open.
    int Open(const DCB& dcb, const std::string& portName);
    // Closes the port; 0 when it was not open.
    int Close();
    // One read of at most maxBytes bytes with the time-outs above. When at least one byte came, a
    // zero byte is written after the last one, so buffer must hold maxBytes + 1 bytes. Returns 1
    // also when nothing came in time (bytesRead 0); 0 when the port is closed or failed.
    int Read(char* buffer, int maxBytes, int* bytesRead);
    // Writes length bytes; 0 when the port is closed, failed, length is 0 or the write time-out
    // left bytes unwritten.
    int Write(const char* data, int length, int* bytesWritten);
    int IsOpen() const { return m_open.load(); }
    // Writes data at once, without locks or waits, for a signal handler that ends the process (only
    // async-signal-safe calls). False when the port is not open or the write failed.
    bool WriteFromSignalHandler(const char* data, int length) const;
    // Discards bytes received but not yet read (stale replies). 0 when the port is closed.
    int PurgeInput();
    // Line parameters in effect (those of the last successful Open; the defaults before).
    DCB CommState() const;

    // One command and the read of its reply form an exchange; threads sharing the port hold this
    // lock for the whole exchange so that their commands and replies never interleave. Recursive,
    // so a sequence of exchanges may hold it around the single ones.
    std::unique_lock<std::recursive_mutex> LockExchange() { return std::unique_lock(m_exchangeMutex); }

    // Device path for a port name: override map, then the installed ports map, then /dev/ttyS<n-1>
    // for "COM<n>". Empty when the name is not a COM name and not mapped, when the ports map names
    // the port without a usable device, or when real ports are not allowed and no override exists.
    static std::string DevicePath(const std::string& portName);
    // In-memory mapping of a port name to a device that takes precedence over the ports file.
    static void SetPortOverride(const std::string& portName, const std::string& devicePath);
    // Removes the override of portName; when onlyIfDevice is given, only if it still maps there.
    static void ClearPortOverride(const std::string& portName, const std::string& onlyIfDevice = {});
    // The ports map every later opening uses (CSerialPort and the monochromator's serial library),
    // and whether real devices may be opened at all. Installed once per start by the instrument.
    static void InstallPortsMap(PortsMap map, bool realPortsAllowed);
    // Reads the ports file at path now and installs it with real ports allowed (tests); empty
    // installs an empty map.
    static void SetPortsFile(const std::string& path);

private:
    CSerialPort() = default;
    // The process's single port lives until the process ends and is never destroyed (so a thread
    // still using it at exit finds it intact); the operating system closes the device.
    ~CSerialPort() = default;
    friend CSerialPort& GetSerialPort();

    mutable std::mutex m_ioMutex; // guards m_fd and m_dcb for the duration of each call
    std::recursive_mutex m_exchangeMutex;
    std::atomic<int> m_open{0};
    int m_fd = -1;
    std::atomic<int> m_signalFd{-1}; // m_fd while open, for WriteFromSignalHandler
    DCB m_dcb;
};

CSerialPort& GetSerialPort();
