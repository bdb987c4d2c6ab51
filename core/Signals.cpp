#include "core/Signals.h"

#include <csignal>

bool IgnoreFileSizeLimitSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGXFSZ, &action, nullptr) == 0;
}

bool FileSizeLimitSignalIgnored() {
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) != 0)
        return false;
    return current.sa_handler == SIG_IGN;
}
