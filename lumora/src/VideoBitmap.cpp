// Bitmap frame helpers: sizing, locating and allocating packed DIB frames.
//
// A frame is one heap block: a 40-byte BITMAPINFOHEADER, its colour table, then the pixel
// rows, each padded to a multiple of 4 bytes. Blocks come from malloc and go back with free
// so either side of the library boundary may release them.
#include "lumora/Video.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr LONG kHeaderSize = sizeof(BITMAPINFOHEADER);
constexpr int64_t kMaxLong = std::numeric_limits<LONG>::max();

// Row stride in bytes, computed wide so that absurd widths cannot overflow: -1 when the
// stride does not fit a 32-bit size.
int64_t strideOf(const BITMAPINFOHEADER& header) {
    const int64_t bits = int64_t(header.biWidth) * header.biBitCount;
    if (bits <= 0)
        return 0;
    const int64_t stride = ((bits + 7) / 8 + 3) / 4 * 4;
    return stride > kMaxLong ? -1 : stride;
}

} // namespace

LONG CVideo::GetBmpLineLen(const BITMAPINFOHEADER* header) {
    if (!header)
        return -1;
    return static_cast<LONG>(strideOf(*header));
}

LONG CVideo::GetBmpRGBNum(const BITMAPINFOHEADER* header) {
    if (!header)
        return -1;
    switch (header->biBitCount) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    case 16:
    case 32:
        return header->biCompression == BI_BITFIELDS ? 3 : 0;
    case 24:
        return 0;
    default:
        return -1;
    }
}

LONG CVideo::GetBmpDataSize(const BITMAPINFOHEADER* header) {
    if (!header)
        return -1;
    const int64_t stride = strideOf(*header);
    if (stride < 0)
        return -1;
    // Stride is a multiple of 4, so -1 can only mean "too large to size".
    const int64_t size = stride * header->biHeight;
    if (size > kMaxLong || size < std::numeric_limits<LONG>::min())
        return -1;
    return static_cast<LONG>(size);
}

int CVideo::GetBmpImageDataPos(const BITMAPINFO* info) {
    if (!info)
        return -1;
    const LONG entries = GetBmpRGBNum(&info->bmiHeader);
    return kHeaderSize + 4 * (entries > 0 ? entries : 0);
}

BYTE* CVideo::GetBmpImageData(const BITMAPINFO* info) {
    if (!info)
        return nullptr;
    // The frame's owner decides whether its pixels may be written; the helper only locates them.
    return const_cast<BYTE*>(reinterpret_cast<const BYTE*>(info)) + GetBmpImageDataPos(info);
}

BITMAPINFO* CVideo::DupBitmapInfo(const BITMAPINFO* info) {
    if (!info)
        return nullptr;
    const LONG colourBytes = GetBmpImageDataPos(info) - kHeaderSize;
    auto* copy = static_cast<BITMAPINFO*>(std::malloc(size_t(kHeaderSize + colourBytes)));
    if (!copy)
        return nullptr;
    std::memcpy(copy, info, size_t(kHeaderSize + colourBytes));
    return copy;
}

BITMAPINFO* CVideo::DupBitmap(const BITMAPINFO* info) {
    if (!info)
        return nullptr;
    const int64_t stride = strideOf(info->bmiHeader);
    if (stride < 0)
        return nullptr;
    // A top-down frame (negative height) holds as many rows as its bottom-up twin.
    const int64_t height = info->bmiHeader.biHeight;
    const int64_t pixelBytes = stride * (height < 0 ? -height : height);
    const LONG colourBytes = GetBmpImageDataPos(info) - kHeaderSize;
    const int64_t total = kHeaderSize + colourBytes + pixelBytes;
    if (total > kMaxLong)
        return nullptr;
    auto* frame = static_cast<BITMAPINFO*>(std::malloc(size_t(total)));
    if (!frame)
        return nullptr;
    // Only the format is copied: header (biSizeImage as it is) and colour table. The pixel
    // rows are left for the caller or the sample grabber to fill.
    std::memcpy(frame, info, size_t(kHeaderSize + colourBytes));
    return frame;
}

void CVideo::ReleaseBitmap(BITMAPINFO* info) {
    std::free(info);
}

void CVideo::ReleaseBitmapInfo(BITMAPINFO* info) {
    std::free(info);
}
