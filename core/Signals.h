#pragma once
// Process-wide signal dispositions of the program.
//
// A file-size limit (ulimit -f, RLIMIT_FSIZE) would end the process with SIGXFSZ at the first write
// beyond it, without a message and with the temporary ".part" file of the save left behind. With
// the signal ignored the write fails with EFBIG instead, and the savers report it like a full disk.

// Ignores SIGXFSZ for the whole process (and the programs it starts). Returns false when the
// disposition could not be changed.
bool IgnoreFileSizeLimitSignal();
// Whether SIGXFSZ is ignored at the moment.
bool FileSizeLimitSignalIgnored();
