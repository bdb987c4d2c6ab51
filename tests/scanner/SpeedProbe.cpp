#include "scanner/SpeedProbe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool ProbeSpeed(int fd, uint32_t& outputBaud, uint32_t& inputBaud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    outputBaud = tio.c_ospeed;
    inputBaud = tio.c_ispeed;
    return true;
}
