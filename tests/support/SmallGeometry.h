#pragma once
// A small cube for the calibration tests: 100 lines of 3 bands by 8 samples (frames of 12 used rows),
// stacks of 4 frames.
#include "core/Geometry.h"

inline CubeGeometry SmallStackGeometry() {
    CubeGeometry g;
    g.width = 100;
    g.height = 8;
    g.bands = 3;
    g.darkLines = 4;
    return g;
}
