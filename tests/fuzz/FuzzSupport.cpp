#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

std::string InputFile(const uint8_t* data, size_t size, const char* tag) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string path =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/arv-fuzz-" + std::to_string(::getpid()) + "-" + tag;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, f) != size) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
    std::fclose(f);
    return path;
}

void FuzzCheck(bool ok, const char* property) {
    if (ok)
        return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}
