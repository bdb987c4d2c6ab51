// Replies of the motion controller: the position parser reads any bytes (as the serial port hands
// them over, zero-terminated, at most 50) without a crash or undefined behaviour, and agrees with
// "%d" as the C library reads it: a leading decimal integer that fits in 32 bits, or nothing.
#include "FuzzSupport.h"
#include "scanner/ScannerLink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char reply[51] = {};
    std::memcpy(reply, data, size < 50 ? size : 50);
    int32_t value = 12345;
    const bool parsed = ParseLeadingInt(reply, value);

    // The reference: strtoll on the same text, which skips the same blanks and takes one sign.
    const char* p = reply;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f')
        ++p;
    const bool digitsFollow =
        (*p >= '0' && *p <= '9') || ((*p == '-' || *p == '+') && p[1] >= '0' && p[1] <= '9');
    errno = 0;
    char* end = nullptr;
    const long long reference = digitsFollow ? std::strtoll(p, &end, 10) : 0;
    const bool fits = digitsFollow && errno != ERANGE && reference >= INT32_MIN && reference <= INT32_MAX;
    FuzzCheck(parsed == fits, "parsed exactly when a 32-bit integer leads the reply");
    if (parsed)
        FuzzCheck(value == reference, "the same value as the C library");
    else
        FuzzCheck(value == 12345, "nothing stored when nothing was parsed");
    return 0;
}
