// The scanner settings file: any content reads without a crash or undefined behaviour, the scan it
// describes fits the mirror's 32-bit range, and what was read is written and read back unchanged.
#include "FuzzSupport.h"
#include "scanner/ScannerSettings.h"

#include <cmath>
#include <fstream>
#include <iterator>

namespace {
std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputFile(data, size, "scanner");
    ScannerSettingsValues v;
    std::string message, problems;
    FuzzCheck(LoadScannerSettings(path, v, &message, &problems), "the file opens");
    FuzzCheck(std::isfinite(v.m_stepSize) && std::fabs(v.m_stepSize) * 696 >= 1.0,
              "step finite, moves the mirror");
    FuzzCheck(ScanFitsMirrorRange(v.m_scanStartPosition, v.m_stepSize, 696),
              "the scan fits the mirror's range");
    FuzzCheck(v.m_delayMs >= 0 && v.m_corridor >= 0, "delay and corridor not negative");
    for (int line = 0; line <= 696; line += 139)
        FuzzCheck(CheckedLinePosition(v.m_scanStartPosition, v.m_stepSize, line).has_value(),
                  "line positions");

    // Written, read and written again: the same bytes, nothing to report.
    const std::string out = path + ".saved";
    FuzzCheck(SaveScannerSettings(out, v, &message), "save");
    const std::string first = Slurp(out);
    ScannerSettingsValues back;
    std::string backProblems;
    FuzzCheck(LoadScannerSettings(out, back, &message, &backProblems), "the saved file opens");
    FuzzCheck(backProblems.empty(), "a saved file reads without problems");
    FuzzCheck(SaveScannerSettings(out, back, &message), "save again");
    FuzzCheck(Slurp(out) == first, "round trip");
    return 0;
}
