#pragma once
// Small text helpers for what the program reads from files and the command line (ASCII only, as
// the settings, ports and header files are).
#include <cctype>
#include <string>
#include <string_view>

// s without white space (space, tab, CR, LF, vertical tab, form feed) at either end.
inline std::string_view TrimSpace(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

inline std::string AsciiUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

inline std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}
