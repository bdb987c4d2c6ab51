#include "calibration/Monochromator.h"

#include "calibration/SerialLib.h"
#include "core/Sleep.h"

namespace {
constexpr int kQueueSize = 1024;
constexpr int kMonochromatorBaudCode = 5; // 9600 baud, the CM110's serial rate
constexpr int kEchoReplySize = 20;
constexpr double kEchoWaitMs = 100.0;
constexpr double kGotoWaitMs = 500.0;
} // namespace

std::array<uint8_t, 3> MonochromatorGotoBytes(int wavelength) {
    const auto value = static_cast<uint32_t>(wavelength);
    return {kMonochromatorGoto, static_cast<uint8_t>((value & 0xFF00u) >> 8),
            static_cast<uint8_t>(value & 0xFFu)};
}

bool MoveMonochromator(int comPort, int wavelength) {
    // The library numbers ports from 0: COM1 is library port 0.
    const int port = comPort - 1;
    // Only the opening and the writes are examined: the line settings and the wake-up's answer are
    // not needed for the move.
    if (SioReset(port, kQueueSize, kQueueSize) != kSioOk)
        return false;
    SioParms(port, kSioNoParity, kSioOneStopBit, 8);
    SioBaud(port, kMonochromatorBaudCode);
    SioCtrl(port, 'H');
    SioCtrl(port, 'S');

    const char echo = static_cast<char>(kMonochromatorEcho);
    bool written = SioPuts(port, &echo, 1) == 1;
    ArvSleepMs(kEchoWaitMs);
    char reply[kEchoReplySize];
    SioGets(port, reply, kEchoReplySize); // the echo is only a wake-up: its answer is not needed

    const std::array<uint8_t, 3> bytes = MonochromatorGotoBytes(wavelength);
    const char command[3] = {static_cast<char>(bytes[0]), static_cast<char>(bytes[1]),
                             static_cast<char>(bytes[2])};
    written = SioPuts(port, command, 3) == 3 && written;
    ArvSleepMs(kGotoWaitMs);
    SioDone(port);
    return written;
}
