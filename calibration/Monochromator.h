#pragma once
// The CM110 monochromator on its own serial port.

// Sets the monochromator on COM port number comPort (1 = COM1) to wavelength (nanometres).
void MoveMonochromator(int comPort, int wavelength);
