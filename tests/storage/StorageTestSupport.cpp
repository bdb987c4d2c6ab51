#include "StorageTestSupport.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

bool FileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::optional<std::string> RunCommand(const std::string& command) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return std::nullopt;
    std::string out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    const int status = ::pclose(p);
    if (status != 0)
        return std::nullopt;
    return out;
}

std::string PythonWithGdal() {
    for (const char* candidate : {"python3", "/usr/bin/python3"}) {
        const std::string cmd = std::string(candidate) + " -c 'import osgeo' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0)
            return candidate;
    }
    return {};
}

bool HaveFfmpeg() {
    return std::system("ffprobe -version >/dev/null 2>&1") == 0 &&
           std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X ", v);
        s += b;
    }
    return s;
}
