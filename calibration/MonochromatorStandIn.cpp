// Stand-in for the monochromator link while calibration/Monochromator.cpp is not in this tree: it
// lets the program link and sets the simulated monochromator's wavelength directly, taking the
// time the real command sequence takes (600 ms, scaled like every device wait). CMake compiles it
// only when Monochromator.cpp is missing.
#include "calibration/Monochromator.h"

#include "core/Sleep.h"
#include "sim/SimScene.h"

void MoveMonochromator(int comPort, int wavelength) {
    (void)comPort;
    ArvSleepMs(100);
    SimOptics::Instance().monochromatorNm = double(wavelength & 0xFFFF);
    ArvSleepMs(500);
}
