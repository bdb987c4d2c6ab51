#pragma once
// The picture of Aravis's fake camera ("Fake_1"), worked out from its description: a diagonal ramp
// that moves by one step per frame. In Mono16 the pixel at column x, row y of the frame with id f
// is ((x + y + f) * 256) modulo 65535, multiplied by 1 + gain + log10(exposure / 10 ms), cut to
// 0 ... 65535 and truncated. Its region offsets do not move the ramp.
#include <cmath>
#include <cstdint>
#include <vector>

struct FakeCameraPattern {
    double scale = 2.0; // gain 1 at 10 ms

    static FakeCameraPattern For(double exposureMs, double gain) {
        return FakeCameraPattern{1.0 + gain + std::log10(exposureMs / 10.0)};
    }
    uint16_t Pixel(long x, long y, long frame) const {
        const double ramp = double(((x + y + frame) * 256) % 65535);
        const double v = ramp * scale;
        return uint16_t(v <= 0 ? 0.0 : v >= 65535.0 ? 65535.0 : v);
    }
    // The cube value of sample s, band k from frame f (B = 128 bands, sample 0 in column 88, band 0
    // from the four rows counted from the far end): the mean of the four pixels, >> 4.
    uint16_t CubeValue(int sample, int band, long frame) const {
        uint32_t sum = 0;
        for (int r = 0; r < 4; ++r)
            sum += Pixel(sample + 88, 4 * (127 - band) + r, frame);
        return uint16_t(uint16_t(sum >> 2) >> 4);
    }
    // Whether the cube line (128 bands of 520 values, sample s at position 519 - s) is frame f.
    bool LineIs(const uint16_t* line, long frame) const {
        for (int k = 0; k < 128; ++k)
            for (int s = 0; s < 520; ++s)
                if (line[k * 520 + 519 - s] != CubeValue(s, k, frame))
                    return false;
        return true;
    }
    // The frame id (modulo 65535) a cube line was taken from, looking at the ids from `from` on for
    // `span` frames; -1 when no frame gives the line.
    long FrameOf(const uint16_t* line, long from, long span) const {
        for (long i = 0; i < span; ++i) {
            const long f = (from + i) % 65535;
            if (line[519] == CubeValue(0, 0, f) && line[0] == CubeValue(519, 0, f) &&
                line[127 * 520 + 260] == CubeValue(259, 127, f) && LineIs(line, f))
                return f;
        }
        return -1;
    }
};
