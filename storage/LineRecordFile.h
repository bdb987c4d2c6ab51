#pragma once
// The line record beside a saved cube ("name.lines.csv"): a comment block with the run's settings,
// then one row per stored line:
//
//   # ARV300 line record of scan1.cube
//   # started: 2026-12-06 21:05:09
//   # integration_ms: 10.000
//   ...
//   line,ms,position,dropped_before,link_up
//   0,20.113,0,0,1
//
// ms: when the line's frame arrived, milliseconds after the scan started; position: the mirror
// position commanded for the line; dropped_before: camera frames lost since the previous line;
// link_up: 1 while the motion controller's link was up. The cube files themselves are unchanged.
#include "camera/LineRecord.h"

#include <optional>
#include <string>

// Longest record read back (a record of 696 lines is about 20 kB).
inline constexpr size_t kMaxLineRecordBytes = 4 << 20;

// The record beside a cube file: the file name's extension (".cube", ".avi", ...) replaced by
// ".lines.csv", or ".lines.csv" appended to a name without one.
std::string LineRecordPath(const std::string& cubePath);

// The record's text for the cube file cubeName. A note (free text) becomes a comment line after
// the settings; a record of no acquisition has no settings and no rows.
std::string LineRecordText(const LineRecord& record, const std::string& cubeName,
                           const std::string& note = {});

// Writes the text, complete or not at all (AtomicFile). False on failure, with errno in *error.
bool WriteLineRecordFile(const std::string& path, const std::string& text, int* error = nullptr);

// The text of a record file; nullopt when there is none, it cannot be read or it is longer than
// kMaxLineRecordBytes.
std::optional<std::string> ReadLineRecordFile(const std::string& path);
