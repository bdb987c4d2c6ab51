#pragma once
// "arv300 acquire" run inside the test process, with what it wrote to stdout and stderr.
#include "app/AcquireCommand.h"

#include <cstdio>
#include <string>

struct AcquireOutput {
    int code = -1;
    std::string out, err;
};

// Everything written to a temporary stream; the stream is closed.
inline std::string ReadBackAndClose(FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

inline AcquireOutput RunAcquireCaptured(const AppOptions& options) {
    FILE* o = std::tmpfile();
    FILE* e = std::tmpfile();
    AcquireOutput r;
    r.code = RunAcquire(options, o, e);
    r.out = ReadBackAndClose(o);
    r.err = ReadBackAndClose(e);
    return r;
}
