#pragma once
// Helpers shared by the storage tests: file contents, external programs and
// running a piece of code under a file size limit in a child process.
#include "support/DiskFaults.h"
#include "support/TempDir.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
