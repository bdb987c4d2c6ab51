#pragma once
// Disk faults for tests, each in a forked child so that nothing reaches the test process or the
// machine: a file-size limit (RLIMIT_FSIZE) and a full disk (a small tmpfs mounted over a folder
// in a private mount namespace, gone with the child).
#include <cstdint>
#include <functional>
#include <string>

// Child exit code: the child could not set the fault up (no mount namespace here).
inline constexpr int kDiskFaultUnavailable = 122;

// Runs body in a forked child whose files may not grow past limitBytes. The child first sets up the
// file-size signal as the program's main does (IgnoreFileSizeLimitSignal), so writes beyond the
// limit fail with EFBIG; with programSignals false it keeps the default disposition and dies of
// SIGXFSZ. Returns body's result, minus the signal number when a signal ended the child, or -1.
int RunWithFileSizeLimit(uint64_t limitBytes, const std::function<int()>& body, bool programSignals = true);

// Runs body in a forked child that sees an empty file system of capacityBytes (rounded up to
// pages) mounted over folder, which must exist: writes beyond it fail with ENOSPC. Returns body's
// result, kDiskFaultUnavailable when the mount could not be made, minus the signal number when a
// signal ended the child, or -1.
int RunOnFullDisk(const std::string& folder, uint64_t capacityBytes, const std::function<int()>& body);
