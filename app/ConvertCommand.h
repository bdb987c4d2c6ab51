#pragma once
// "arv300 convert": a saved cube read back and written in another format with the window's savers.
#include "app/AppOptions.h"

#include <cstdio>

enum ConvertExit {
    kConvertOk = 0,
    kConvertBadArguments = 2,
    kConvertSaveFailed = 6,
    kConvertUnreadable = 7,
};

// Converts options.conv.input into options.conv.format at options.conv.out, in the current folder
// (./Settings supplies the calibration when the input carries none). Messages go to err as
// "[caption] text", the summary line to out.
int RunConvert(const AppOptions& options, FILE* out = stdout, FILE* err = stderr);
