#include "storage/BmpWriter.h"

#include "storage/AtomicFile.h"

#include <cerrno>
#include <cstring>

namespace {
void PutU16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}
void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + size_t(i)] = uint8_t(v >> (8 * i));
}
} // namespace

std::vector<uint8_t> BuildBmpHeader(uint32_t width, uint32_t height) {
    std::vector<uint8_t> h(kBmpHeaderSize, 0);
    const uint64_t fileSize = kBmpHeaderSize + uint64_t(DibStride(width)) * height;
    h[0] = 'B';
    h[1] = 'M';
    PutU32(h, 2, fileSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(fileSize));
    PutU32(h, 10, uint32_t(kBmpHeaderSize));
    PutU32(h, 14, 40);
    PutU32(h, 18, width);
    PutU32(h, 22, height);
    PutU16(h, 26, 1);
    PutU16(h, 28, 24);
    return h;
}

CubeWriteResult WriteBmp24(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rows,
                           size_t stride) {
    const size_t rowBytes = DibStride(width);
    if ((rows == nullptr && width > 0 && height > 0) || stride < size_t(3) * width ||
        uint64_t(rowBytes) * height > 0x7FFFFFFFu || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu)
        return {CubeWriteStatus::InvalidArgument, EINVAL, kUnableToSaveCube};
    AtomicFile file;
    if (!file.Open(path))
        return {CubeWriteStatus::CannotOpen, file.Error(), kUnableToSaveCube};
    const std::vector<uint8_t> header = BuildBmpHeader(width, height);
    file.Write(header.data(), header.size());
    if (stride == rowBytes) {
        file.Write(rows, rowBytes * height);
    } else {
        std::vector<uint8_t> row(rowBytes, 0);
        for (uint32_t y = 0; y < height && !file.Failed(); ++y) {
            std::memcpy(row.data(), rows + size_t(y) * stride, size_t(3) * width);
            file.Write(row.data(), row.size());
        }
    }
    if (!file.Commit())
        return {CubeWriteStatus::WriteFailed, file.Error(), kUnableToSaveCube};
    return {};
}
