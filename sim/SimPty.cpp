#include "sim/SimPty.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

bool OpenSimPty(SimPty& pty) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return false;
    char name[128] = {};
    termios tio{};
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0 || ::ptsname_r(master, name, sizeof(name)) != 0 || ::tcgetattr(slave, &tio) != 0) {
        if (wake >= 0)
            ::close(wake);
        ::close(master);
        ::close(slave);
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::tcgetattr(master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    pty = SimPty{master, slave, wake, name};
    return true;
}
