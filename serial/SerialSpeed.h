#pragma once
// Line speed of a terminal device through termios2, so that rates without a Bxxx constant
// (14400, 56000, 128000, 256000) can be set as well as the standard ones. Kept apart from
// <termios.h>, whose definitions clash with the kernel's <asm/termbits.h>.
#include <cstdint>

// Sets input and output speed of fd to baud. False when baud is 0 or the device refuses.
bool SetSerialSpeed(int fd, uint32_t baud);
// Reads the output and input speeds of fd in baud. False when the device refuses.
bool GetSerialSpeed(int fd, uint32_t& outputBaud, uint32_t& inputBaud);
