// AllocFrameBuffer: sizes follow the header's width, height and bit count alone.
#include "FrameBuffer.h"

#include <climits>
#include <cstdlib>
#include <cstring>

int FrameBufferColourBytes(const BITMAPINFOHEADER& header) {
    switch (header.biBitCount) {
    case 1:
        return 4 * 2;
    case 4:
        return 4 * 16;
    case 8:
        return 4 * 256;
    default:
        return 0;
    }
}

BITMAPINFO* AllocFrameBuffer(const BITMAPINFOHEADER* header) {
    if (!header || header->biWidth <= 0 || header->biHeight <= 0 || header->biBitCount == 0)
        return nullptr;
    const long long bits = static_cast<long long>(header->biWidth) * header->biBitCount;
    if (bits > INT_MAX)
        return nullptr;
    const long long stride = ((bits + 7) / 8 + 3) / 4 * 4;
    const long long rows = stride * header->biHeight;
    if (rows > INT_MAX)
        return nullptr;
    const int colours = FrameBufferColourBytes(*header);
    auto* block = static_cast<BITMAPINFO*>(std::malloc(
        sizeof(BITMAPINFOHEADER) + static_cast<size_t>(colours) + static_cast<size_t>(rows)));
    if (!block)
        return nullptr;
    std::memcpy(&block->bmiHeader, header, sizeof(BITMAPINFOHEADER));
    if (colours > 0)
        std::memcpy(reinterpret_cast<BYTE*>(block) + sizeof(BITMAPINFOHEADER),
                    reinterpret_cast<const BYTE*>(header) + sizeof(BITMAPINFOHEADER),
                    static_cast<size_t>(colours));
    return block;
}
