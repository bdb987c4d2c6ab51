#pragma once
// Reads a terminal's line speed with TCGETS2, independently of the code under test.
#include <cstdint>

bool ProbeSpeed(int fd, uint32_t& outputBaud, uint32_t& inputBaud);
