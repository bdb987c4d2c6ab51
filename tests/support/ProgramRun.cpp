#include "support/ProgramRun.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
} // namespace

std::string ProgramRunResult::Describe() const {
    if (!started)
        return "not started";
    if (timedOut)
        return "timed out";
    if (signal != 0)
        return "signal " + std::to_string(signal);
    return "exit " + std::to_string(exitCode);
}

ProgramRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProgramRunOptions& options) {
    ProgramRunResult result;
    char outTemplate[] = "/tmp/arv-run-out-XXXXXX";
    char errTemplate[] = "/tmp/arv-run-err-XXXXXX";
    const int outFd = ::mkstemp(outTemplate);
    const int errFd = ::mkstemp(errTemplate);
    if (outFd < 0 || errFd < 0)
        return result;

    std::vector<std::string> argStrings;
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The environment of the test, with the extra entries replacing those of the same name.
    std::vector<std::string> envStrings;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& extra : options.env)
            replaced = replaced || nameOf(extra) == nameOf(entry);
        if (!replaced)
            envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp;
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return result;
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            ::dup2(devNull, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0)
            ::_exit(126);
        // Whatever the test runner set, the program starts with the default dispositions.
        for (int s : {SIGXFSZ, SIGPIPE, SIGINT, SIGTERM})
            ::signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (options.fileSizeLimit > 0) {
            const rlimit limit{rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                ::_exit(125);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    result.started = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    int status = 0;
    size_t nextSignal = 0;
    std::optional<std::chrono::steady_clock::time_point> signalAt;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (nextSignal < options.signals.size()) {
            const ProgramSignal& s = options.signals[nextSignal];
            if (!signalAt && (s.afterErrText.empty() || Slurp(errTemplate).find(s.afterErrText) != std::string::npos))
                signalAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.delayMs);
            if (signalAt && std::chrono::steady_clock::now() >= *signalAt) {
                ::kill(pid, s.signal);
                result.signalled.push_back(std::chrono::steady_clock::now());
                signalAt.reset();
                ++nextSignal;
                continue;
            }
        }
        if (done < 0) {
            result.started = false;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(nextSignal < options.signals.size() ? 2 : 20));
    }
    result.ended = std::chrono::steady_clock::now();
    if (!result.timedOut && result.started) {
        if (WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.signal = WTERMSIG(status);
    }
    ::close(outFd);
    ::close(errFd);
    result.out = Slurp(outTemplate);
    result.err = Slurp(errTemplate);
    ::unlink(outTemplate);
    ::unlink(errTemplate);
    return result;
}
