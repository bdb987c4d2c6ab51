// Dark stack and radiometric gain files: any content loads or is refused without a crash or
// undefined behaviour; what a load takes holds 12-bit values (dark) or finite gains of 0 or more,
// and a refused file changes nothing.
//
// The first byte chooses: bit 0 the gain file (else the dark file), bit 1 a complete zero header
// before the rest (so the fuzzer reaches the values without building 32768 bytes).
#include "FuzzSupport.h"
#include "calibration/CalibrationFiles.h"

#include <cmath>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool gains = data[0] & 1;
    std::vector<uint8_t> file;
    if (data[0] & 2)
        file.assign(kCubeHeaderSize, 0);
    file.insert(file.end(), data + 1, data + size);
    const std::string path = InputFile(file.data(), file.size(), "calfile");
    if (gains) {
        std::vector<float> g(64, 1.5f);
        const RadCalLoad r = LoadRadCalFile(path, g.data(), g.size());
        FuzzCheck(r.result != FileResult::OpenFailed, "the file opens");
        FuzzCheck(r.valuesRead <= g.size(), "values read");
        for (size_t i = 0; i < g.size(); ++i) {
            if (r.result == FileResult::Refused || i >= r.valuesRead)
                FuzzCheck(g[i] == 1.5f, "gains not read stay");
            else
                FuzzCheck(std::isfinite(g[i]) && g[i] >= 0.0f, "gains finite and not negative");
        }
        return 0;
    }
    CubeGeometry geometry;
    geometry.width = 6;
    geometry.height = 8;
    geometry.bands = 4;
    geometry.darkLines = 3;
    std::vector<uint16_t> stack(size_t(geometry.darkLines) * geometry.LineValues(), 77);
    const DarkCubeLoad r = LoadDarkCubeFile(path, stack.data(), geometry);
    FuzzCheck(r.result != FileResult::OpenFailed, "the file opens");
    FuzzCheck(r.valuesRead <= stack.size(), "values read");
    if (r.result == FileResult::Refused) {
        for (uint16_t v : stack)
            FuzzCheck(v == 77, "a refused file changes nothing");
        FuzzCheck(!r.problem.empty(), "a refusal says why");
        return 0;
    }
    for (uint16_t v : stack)
        FuzzCheck(v <= 4095, "12-bit values");
    std::vector<uint16_t> dark(geometry.LineValues());
    ComputeDarkFrame(stack.data(), geometry.darkLines, geometry.LineValues(), dark.data());
    for (uint16_t v : dark)
        FuzzCheck(v <= 4095, "12-bit dark frame");
    return 0;
}
