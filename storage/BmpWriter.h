#pragma once
// 24-bit Windows bitmap files: a 14-byte file header ("BM", file size, data offset 54), a 40-byte
// information header (width, height, 1 plane, 24 bits, no compression, the remaining fields 0),
// then the rows bottom-up, each 3*width bytes padded to a multiple of 4.
#include "core/DibView.h"
#include "storage/CubeWriters.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kBmpHeaderSize = 54;

// The 54 header bytes of a width x height 24-bit bitmap.
std::vector<uint8_t> BuildBmpHeader(uint32_t width, uint32_t height);

// Writes the bitmap file. rows points at the bottom row; stride is the distance between rows in
// the caller's memory (at least 3*width). Failure message: "unable to save cube".
CubeWriteResult WriteBmp24(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rows,
                           size_t stride);
