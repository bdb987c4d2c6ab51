#pragma once
// The CM110 monochromator on its own serial port: setting its wavelength.
//
// Each call is self-contained: it opens the port (9600 baud, 8-N-1), wakes the instrument with its
// echo command (the byte 27), sends the move-to-position command (16, then the position as 16 bits,
// high byte first), waits for the command to be taken and releases the port. No reply is checked:
// a silent monochromator leaves the caller going, and the grating stays where it was. A port that
// cannot be opened or written is reported to the caller, which must not take the run's frames as
// if the grating had moved.
#include <array>
#include <cstdint>

// The CM110's command bytes.
inline constexpr uint8_t kMonochromatorEcho = 27;
inline constexpr uint8_t kMonochromatorGoto = 16;

// The three bytes of the move-to-position command for wavelength (its lower 16 bits).
std::array<uint8_t, 3> MonochromatorGotoBytes(int wavelength);

// Sets the monochromator on COM port number comPort (1 = COM1, library port 0) to wavelength in its
// current units (nanometres). Takes at least 600 ms (scaled by the sleep scale) when the port opens.
// False when the port could not be opened or the command bytes could not be written.
bool MoveMonochromator(int comPort, int wavelength);
