#include "calibration/RadiometricCorrection.h"

#include "core/ValueRanges.h"
#include "storage/AtomicFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;

// A whole number in [0, max], the whole text.
bool ParseIndex(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    value = std::stoi(text);
    return true;
}

// "a:b" into two whole numbers, the smaller first.
bool ParseRange(const std::string& text, int& first, int& last) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || !ParseIndex(text.substr(0, colon), first) ||
        !ParseIndex(text.substr(colon + 1), last))
        return false;
    if (first > last)
        std::swap(first, last);
    return true;
}

} // namespace

CalStackLoad LoadCalibrationStackFile(const std::string& path, const CubeGeometry& g) {
    CalStackLoad out;
    FilePtr file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file || g.darkLines < 1 || g.bands < 1 || g.height < 1 || g.width < g.height + kFirstSampleColumn)
        return out;
    const std::string name = FileNameWithoutFolder(path);
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(path, ec);
    const size_t N = size_t(g.darkLines), B = size_t(g.bands), H = size_t(g.height), W = size_t(g.width);
    const uint64_t calSize = kCubeHeaderSize + uint64_t(N) * B * H * 2;
    const uint64_t autoSize = kCubeHeaderSize + uint64_t(N) * B * W * 2;
    if (ec || (size != calSize && size != autoSize)) {
        out.result = FileResult::Refused;
        out.problem = name + " is no calibration cube file: it holds " +
                      (ec ? std::string("an unknown number of") : std::to_string(size)) +
                      " bytes, where a calibration cube file of " + std::to_string(N) + " frames of " +
                      std::to_string(B) + " bands has " + std::to_string(calSize) +
                      " and an automatic calibration cube file " + std::to_string(autoSize) + ".";
        return out;
    }
    out.automatic = size == autoSize;
    const size_t frameValues = B * (out.automatic ? W : H);
    std::vector<uint8_t> bytes(frameValues * 2);
    out.stack.assign(N * B * H, 0);
    if (std::fseek(file.get(), long(kCubeHeaderSize), SEEK_SET) != 0)
        return out;
    for (size_t f = 0; f < N; ++f) {
        if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
            out.result = FileResult::Refused;
            out.problem = name + " could not be read to its end (frame " + std::to_string(f) + ").";
            out.stack.clear();
            return out;
        }
        // The file's frames run from the stack's last to its first; the mean does not depend on it,
        // but the stack is kept in its own order.
        uint16_t* frame = out.stack.data() + (N - 1 - f) * B * H;
        for (size_t i = 0; i < frameValues; ++i) {
            const uint16_t v = uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
            if (v > ValueRange::kMaxSampleValue) {
                out.result = FileResult::Refused;
                out.problem = name + " is not a calibration cube file of this instrument: value " +
                              std::to_string(f * frameValues + i) + " is " + std::to_string(v) +
                              ", above the largest sample value 4095.";
                out.stack.clear();
                return out;
            }
            if (!out.automatic) {
                frame[i] = v;
                continue;
            }
            // Band j of the file is cube band B-1-j; column x holds cube position x - (W-H-88).
            const size_t j = i / W, x = i % W;
            const size_t firstColumn = W - H - size_t(kFirstSampleColumn);
            if (x < firstColumn || x >= firstColumn + H)
                continue;
            frame[(B - 1 - j) * H + (x - firstColumn)] = v;
        }
    }
    out.frames = int(N);
    out.result = FileResult::Ok;
    return out;
}

FlatFieldGains ComputeFlatFieldGains(const uint16_t* stack, int frames, const uint16_t* darkFrame, int bands,
                                     int samples) {
    FlatFieldGains out;
    if (stack == nullptr || frames < 1 || bands < 1 || samples < 1)
        return out;
    const size_t B = size_t(bands), H = size_t(samples), frameValues = B * H;
    std::vector<double> mean(frameValues, 0.0);
    for (int f = 0; f < frames; ++f) {
        const uint16_t* frame = stack + size_t(f) * frameValues;
        for (size_t i = 0; i < frameValues; ++i)
            mean[i] += double(frame[i]) - (darkFrame ? double(darkFrame[i]) : 0.0);
    }
    for (double& m : mean)
        m /= double(frames);
    out.gains.assign(frameValues, 0.0f);
    for (size_t b = 0; b < B; ++b) {
        const double* row = &mean[b * H];
        double bandMean = 0.0;
        for (size_t p = 0; p < H; ++p)
            bandMean += row[p];
        bandMean /= double(H);
        for (size_t p = 0; p < H; ++p) {
            if (bandMean > 0.0 && row[p] > 0.0)
                out.gains[b * H + p] = float(bandMean / row[p]);
            else
                ++out.zeroGains;
        }
    }
    return out;
}

FileResult SaveRadCalFile(const std::string& path, const float* gains, size_t count) {
    if (gains == nullptr && count > 0)
        return FileResult::OpenFailed;
    AtomicFile file;
    if (!file.Open(path))
        return FileResult::OpenFailed;
    std::vector<uint8_t> bytes(count * 4);
    for (size_t i = 0; i < count; ++i) {
        uint32_t bits = 0;
        std::memcpy(&bits, &gains[i], 4);
        for (int k = 0; k < 4; ++k)
            bytes[4 * i + size_t(k)] = uint8_t(bits >> (8 * k));
    }
    file.Write(bytes.data(), bytes.size());
    return file.Commit() ? FileResult::Ok : FileResult::WriteFailed;
}

std::string FlatFieldSummary(const std::string& stackName, const FlatFieldGains& gains) {
    std::string text = "Radiometric calibration from " + stackName + ": ";
    if (gains.zeroGains == 0)
        return text + "every gain computed.";
    return text + std::to_string(gains.zeroGains) + " of " + std::to_string(gains.gains.size()) +
           " gains are 0 (no signal above the dark frame).";
}

void RadianceLine(const uint16_t* line, const uint16_t* darkFrame, const float* gains, size_t count,
                  float* out) {
    for (size_t i = 0; i < count; ++i) {
        const float counts = float(int(line[i]) - (darkFrame ? int(darkFrame[i]) : 0));
        out[i] = gains ? counts * gains[i] : counts;
    }
}

bool ParseWhiteRect(const std::string& text, WhiteRect& rect, std::string& error) {
    const size_t comma = text.find(',');
    WhiteRect r;
    if (comma == std::string::npos || !ParseRange(text.substr(0, comma), r.line0, r.line1) ||
        !ParseRange(text.substr(comma + 1), r.sample0, r.sample1)) {
        error =
            "--white takes the white panel's lines and samples as L0:L1,S0:S1 (e.g. 260:399,40:239), not \"" +
            QuotedFileText(text) + "\"";
        return false;
    }
    rect = r;
    return true;
}

std::string WhiteRectText(const WhiteRect& r) {
    return std::to_string(r.line0) + ":" + std::to_string(r.line1) + "," + std::to_string(r.sample0) + ":" +
           std::to_string(r.sample1);
}

std::string CheckWhiteRect(const WhiteRect& r, const CubeGeometry& g) {
    if (r.line0 < 0 || r.line1 >= g.width || r.line0 > r.line1)
        return "The white reference's lines " + std::to_string(r.line0) + " to " + std::to_string(r.line1) +
               " leave the cube's lines 0 to " + std::to_string(g.width - 1) + ".";
    if (r.sample0 < 0 || r.sample1 >= g.height || r.sample0 > r.sample1)
        return "The white reference's samples " + std::to_string(r.sample0) + " to " +
               std::to_string(r.sample1) + " leave the cube's samples 0 to " + std::to_string(g.height - 1) +
               ".";
    return "";
}

bool ValidPanelReflectance(double reflectance) {
    return reflectance > 0.0 && reflectance <= 1.5;
}

std::vector<double> WhiteReferenceSpectrum(const uint16_t* cube, const CubeGeometry& g,
                                           const uint16_t* darkFrame, const float* gains,
                                           const WhiteRect& r) {
    const size_t B = size_t(g.bands), H = size_t(g.height);
    std::vector<double> sum(B, 0.0);
    if (cube == nullptr || !CheckWhiteRect(r, g).empty())
        return sum;
    std::vector<float> radiance(B * H);
    for (int l = r.line0; l <= r.line1; ++l) {
        RadianceLine(cube + size_t(l) * B * H, darkFrame, gains, B * H, radiance.data());
        for (size_t b = 0; b < B; ++b)
            for (int p = r.sample0; p <= r.sample1; ++p)
                sum[b] += double(radiance[b * H + size_t(p)]);
    }
    const double pixels = double(r.line1 - r.line0 + 1) * double(r.sample1 - r.sample0 + 1);
    for (double& s : sum)
        s /= pixels;
    return sum;
}

ReflectanceScale ReflectanceFactors(const std::vector<double>& white, double panelReflectance) {
    ReflectanceScale s;
    s.factors.resize(white.size(), 0.0);
    for (size_t b = 0; b < white.size(); ++b) {
        if (white[b] > 0.0)
            s.factors[b] = panelReflectance / white[b];
        else
            ++s.darkBands;
    }
    return s;
}

void ReflectanceLine(const uint16_t* line, const uint16_t* darkFrame, const float* gains,
                     const ReflectanceScale& scale, int bands, int samples, float* out) {
    const size_t H = size_t(samples);
    RadianceLine(line, darkFrame, gains, size_t(bands) * H, out);
    for (size_t b = 0; b < size_t(bands); ++b) {
        const double f = b < scale.factors.size() ? scale.factors[b] : 0.0;
        for (size_t p = 0; p < H; ++p)
            out[b * H + p] = float(double(out[b * H + p]) * f);
    }
}
