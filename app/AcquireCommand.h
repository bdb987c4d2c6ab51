#pragma once
// "arv300 acquire": unattended acquisitions from the command line, with the window's engine,
// camera control, scanner link, calibration files and savers.
#include "app/AppOptions.h"

#include <cstdio>

enum AcquireExit {
    kAcquireOk = 0,
    kAcquireBadArguments = 2,
    kAcquireNoDataCamera = 3,
    kAcquireScannerOffline = 4,
    kAcquireMirrorTimeout = 5,
    kAcquireSaveFailed = 6,
    // The data camera stopped delivering frames: the lines taken before are saved (a cube), a dark
    // stack cut short is not.
    kAcquireCameraStopped = 7,
};

// Runs the acquisitions the options ask for in the current folder (./Settings as for the window).
// The simulated instrument, when used, is set up by the caller. Progress and messages go to err,
// the summary lines to out.
int RunAcquire(const AppOptions& options, FILE* out = stdout, FILE* err = stderr);
