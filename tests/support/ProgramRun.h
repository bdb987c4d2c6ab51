#pragma once
// Runs a program in a child process with a time limit and, optionally, a file-size limit, the way
// an operator's shell would start it: signals at their default dispositions (so a program that
// does not protect itself from SIGXFSZ dies of it), standard input empty, standard output and
// error collected.
#include <cstdint>
#include <string>
#include <vector>

struct ProgramRunResult {
    bool started = false;
    bool timedOut = false; // killed at the time limit
    int exitCode = -1;     // when it exited
    int signal = 0;        // when a signal ended it
    std::string out, err;
    // "exit 6", "signal 25", "timed out": for failure messages.
    std::string Describe() const;
};

struct ProgramRunOptions {
    std::string workDir;        // empty: the current folder
    uint64_t fileSizeLimit = 0; // bytes; 0: no limit
    int timeoutSeconds = 120;
    std::vector<std::string> env; // extra "NAME=value" entries
};

ProgramRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProgramRunOptions& options);
