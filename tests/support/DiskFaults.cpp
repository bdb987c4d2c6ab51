#include "support/DiskFaults.h"

#include "core/Signals.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
int WaitChild(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    if (WIFSIGNALED(status))
        return -WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WriteText(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

// A private mount namespace for this process: directly as root, else inside a user namespace in
// which this user is root.
bool EnterPrivateMountNamespace() {
    if (::unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        WriteText("/proc/self/setgroups", "deny");
        if (!WriteText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
            !WriteText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
            return false;
    }
    // Mounts made from here on stay in this namespace.
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}
} // namespace

int RunWithFileSizeLimit(uint64_t limitBytes, const std::function<int()>& body, bool programSignals) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // The signal starts at its default, whatever the test runner set; only the program's own
        // start-up (when asked for) may protect the child from it.
        std::signal(SIGXFSZ, SIG_DFL);
        if (programSignals && !IgnoreFileSizeLimitSignal())
            ::_exit(121);
        const rlimit limit{rlim_t(limitBytes), rlim_t(limitBytes)};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(120);
        ::_exit(body());
    }
    return WaitChild(pid);
}

int RunOnFullDisk(const std::string& folder, uint64_t capacityBytes, const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (!EnterPrivateMountNamespace())
            ::_exit(kDiskFaultUnavailable);
        const std::string options = "size=" + std::to_string(capacityBytes) + ",mode=0777";
        if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            ::_exit(kDiskFaultUnavailable);
        ::_exit(body());
    }
    return WaitChild(pid);
}
