#pragma once
// Runs a program in a child process with a time limit and, optionally, a file-size limit, the way
// an operator's shell would start it: signals at their default dispositions (so a program that
// does not protect itself from SIGXFSZ dies of it), standard input empty, standard output and
// error collected.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct ProgramRunResult {
    bool started = false;
    bool timedOut = false; // killed at the time limit
    int exitCode = -1;     // when it exited
    int signal = 0;        // when a signal ended it
    std::string out, err;
    // When each signal of the options was sent (steady clock), and when the program ended.
    std::vector<std::chrono::steady_clock::time_point> signalled;
    std::chrono::steady_clock::time_point ended;
    // "exit 6", "signal 25", "timed out": for failure messages.
    std::string Describe() const;
};

// A signal sent to the running program once its standard error holds a text (empty: at once),
// delayMs after that.
struct ProgramSignal {
    std::string afterErrText;
    int delayMs = 0;
    int signal = 0;
};

struct ProgramRunOptions {
    std::string workDir;        // empty: the current folder
    uint64_t fileSizeLimit = 0; // bytes; 0: no limit
    int timeoutSeconds = 120;
    std::vector<std::string> env; // extra "NAME=value" entries
    std::vector<ProgramSignal> signals; // sent in order
};

ProgramRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProgramRunOptions& options);
