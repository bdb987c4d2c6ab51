#include "storage/LineRecordFile.h"

#include "storage/AtomicFile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {
// Settings are free text on one comment line each.
std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r')
            c = ' ';
    return s;
}
} // namespace

std::string LineRecordPath(const std::string& cubePath) {
    return std::filesystem::path(cubePath).replace_extension(".lines.csv").string();
}

std::string LineRecordText(const LineRecord& record, const std::string& cubeName, const std::string& note) {
    std::string text = "# ARV300 line record of " + OneLine(cubeName) + "\n";
    char buf[256];
    if (record.scanned) {
        const RunDescription& r = record.run;
        text += "# started: " + OneLine(r.started) + "\n";
        std::snprintf(buf, sizeof buf, "# integration_ms: %.3f\n# gain: %d\n# frame_rate_hz: %.3f\n",
                      r.integrationMs, r.gain, r.frameRate);
        text += buf;
        std::snprintf(buf, sizeof buf, "# scan_start: %d\n# scan_step: %g\n", r.scanStart, r.step);
        text += buf;
        text += "# camera: " + OneLine(r.camera) + "\n";
        text += "# simulated: " + OneLine(r.simulated.empty() ? "none" : r.simulated) + "\n";
        text += "# program: " + OneLine(r.program) + "\n";
    } else {
        text += "# no cube acquisition was recorded\n";
    }
    if (!note.empty())
        text += "# note: " + OneLine(note) + "\n";
    text += "line,ms,position,dropped_before,link_up\n";
    for (const LineEvent& e : record.lines) {
        std::snprintf(buf, sizeof buf, "%d,%.3f,%d,%u,%d\n", e.line, e.msSinceStart, e.commandedPosition,
                      e.droppedBefore, e.linkUp ? 1 : 0);
        text += buf;
    }
    return text;
}

bool WriteLineRecordFile(const std::string& path, const std::string& text, int* error) {
    AtomicFile file;
    const bool ok = file.Open(path) && file.Write(text.data(), text.size()) && file.Commit();
    if (!ok && error)
        *error = file.Error();
    return ok;
}

std::optional<std::string> ReadLineRecordFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return std::nullopt;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxLineRecordBytes)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string text(size_t(size), '\0');
    if (!in.read(text.data(), std::streamsize(text.size())))
        return std::nullopt;
    return text;
}
