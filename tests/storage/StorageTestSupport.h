#pragma once
// Helpers shared by the storage tests: temporary folders, file contents, external programs and
// running a piece of code under a file size limit in a child process.
#include "support/DiskFaults.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    // Names of the entries of the folder, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string m_path;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Runs a shell command and returns its standard output, or nullopt when it exited non-zero.
std::optional<std::string> RunCommand(const std::string& command);

// The Debian interpreter that has GDAL: the first of "python3", "/usr/bin/python3" that imports
// osgeo. Empty when none does.
std::string PythonWithGdal();
// True when ffprobe and ffmpeg can be run.
bool HaveFfmpeg();

// Hex text of bytes, for readable failure messages.
std::string Hex(const std::vector<uint8_t>& bytes);
