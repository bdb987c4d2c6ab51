#include "core/ValueRanges.h"

#include <cmath>
#include <cstdio>

std::string ValueProblems::Text(const std::string& fileName) const {
    if (m_problems.size() == 1)
        return fileName + ": " + m_problems.front();
    std::string text = fileName + ":";
    for (const std::string& p : m_problems)
        text += "\n" + p;
    return text;
}

std::string NumberText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string NumberText(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.7g", double(value));
    return text;
}

std::string QuotedFileText(const std::string& text, size_t maxLength) {
    std::string shown = text.substr(0, maxLength);
    for (char& c : shown)
        if (c < ' ' || c > '~')
            c = '?';
    return text.size() > maxLength ? shown + "..." : shown;
}
