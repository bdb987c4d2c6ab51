#pragma once
// A small serial-communications library for devices other than the mirror's controller (the
// monochromator): ports are addressed by number, opened with SioReset, configured, written and
// read, and released with SioDone. It keeps its own table of open ports, independent of the
// process's CSerialPort, so it can drive a second port while the scanner link holds the first.
//
// Port numbers start at 0: library port n is the COM name "COM<n+1>", resolved to a device through
// CSerialPort::DevicePath (the simulated instrument's overrides first, then the ports file, then
// /dev/ttyS<n>).
//
// Results: 0 (kSioOk) or a count for success, a negative kSio... code for failure.
//
// Baud codes (SioBaud):
//   code  0    1    2     3     4     5     6      7      8      9
//   baud  300  600  1200  2400  4800  9600  19200  38400  57600  115200
//
// Line control (SioCtrl), one command character:
//   'H'  hang up: drop DTR and RTS and discard whatever waits in the receive and transmit queues
//   'S'  set: raise DTR and RTS (host ready)
// Devices without modem lines (pseudo-terminals) accept both; only the queues are affected.
#include <cstdint>

inline constexpr int kSioOk = 0;
inline constexpr int kSioBadPort = -1;    // port number outside 0 ... kSioMaxPorts - 1, or no device for it
inline constexpr int kSioNotOpen = -2;    // the port was not reset (opened) first
inline constexpr int kSioRange = -3;      // a parameter is out of range
inline constexpr int kSioOpenFailed = -4; // the device cannot be opened (missing, busy, refused)
inline constexpr int kSioIoError = -5;    // the device refused a setting or a read or write failed

inline constexpr int kSioMaxPorts = 256;

// Parity and stop-bit codes of SioParms (the same values as the DCB constants of CSerialPort).
inline constexpr int kSioNoParity = 0;
inline constexpr int kSioOddParity = 1;
inline constexpr int kSioEvenParity = 2;
inline constexpr int kSioOneStopBit = 0;
inline constexpr int kSioTwoStopBits = 2;

// Baud rate of a baud code; 0 when the code is not in the table.
uint32_t SioBaudOfCode(int code);

// Opens port (closing it first if it was open) in raw mode, exclusive (locked with flock and in
// exclusive mode, so another instance is refused even as root), with 8 data bits, no parity,
// one stop bit at 9600 baud. rxQueue and txQueue (2 ... 65536 bytes) bound what one SioGets returns
// and what one SioPuts takes.
int SioReset(int port, int rxQueue, int txQueue);
// Line parameters: parity kSio...Parity, stop bits kSioOneStopBit / kSioTwoStopBits, data bits 5 ... 8.
int SioParms(int port, int parity, int stopBits, int dataBits);
// Line speed by baud code (table above).
int SioBaud(int port, int code);
// Line control command 'H' or 'S' (above).
int SioCtrl(int port, char command);
// Queues len bytes for sending; returns the number of bytes taken (at most the transmit queue).
// Waits for room in the device's buffer at most as long as the bytes take on the line plus 100 ms.
int SioPuts(int port, const char* bytes, int len);
// Returns what has arrived, at most len bytes (and at most the receive queue), without waiting;
// 0 when nothing is there.
int SioGets(int port, char* buffer, int len);
// Releases the port.
int SioDone(int port);
// Whether the port is open (for tests and diagnostics).
bool SioIsOpen(int port);
