#include "serial/SerialSpeed.h"

// Only the kernel's definitions here: <asm/termbits.h> declares struct termios2 and BOTHER, and
// cannot be combined with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

// Standard rates keep their Bxxx code (every driver understands those); the others use BOTHER
// with the rate in c_ospeed / c_ispeed.
unsigned StandardCode(uint32_t baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return 0;
    }
}

uint32_t RateOfCode(unsigned code) {
    switch (code) {
    case B50:
        return 50;
    case B75:
        return 75;
    case B110:
        return 110;
    case B134:
        return 134;
    case B150:
        return 150;
    case B200:
        return 200;
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B1800:
        return 1800;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 0;
    }
}

} // namespace

bool SetSerialSpeed(int fd, uint32_t baud) {
    if (baud == 0)
        return false;
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    const unsigned code = StandardCode(baud);
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT)); // input speed follows the output speed
    if (code != 0) {
        tio.c_cflag |= code;
    } else {
        tio.c_cflag |= BOTHER;
        tio.c_ospeed = baud;
        tio.c_ispeed = baud;
    }
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool GetSerialSpeed(int fd, uint32_t& outputBaud, uint32_t& inputBaud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    // The kernel fills c_ospeed / c_ispeed from the codes; fall back on the codes if it did not.
    outputBaud = tio.c_ospeed != 0 ? tio.c_ospeed : RateOfCode(tio.c_cflag & CBAUD);
    inputBaud = tio.c_ispeed != 0 ? tio.c_ispeed : outputBaud;
    return true;
}
