// The mapping between V4L2 pixel formats and the graph's video subtypes and bit counts.
#pragma once

#include <platform/media/media_types.h>

#include <cstdint>
#include <optional>

namespace platform::media::v4l2 {

struct PixelFormat {
    uint32_t fourcc;   // V4L2_PIX_FMT_*
    GUID subtype;      // MEDIASUBTYPE_*
    WORD bitCount;     // biBitCount of the format's VIDEOINFOHEADER
    DWORD compression; // biCompression: BI_RGB or the FOURCC
    bool compressed;   // frames vary in size (MJPEG)
    bool flipRows;     // V4L2 is top-down; a BI_RGB DIB is bottom-up
};

// The pixel formats we can carry, by V4L2 code; nullopt for any other.
std::optional<PixelFormat> pixelFormatFromFourcc(uint32_t fourcc);
// The same by subtype; nullopt for a subtype no V4L2 format maps to.
std::optional<PixelFormat> pixelFormatFromSubtype(const GUID& subtype);

// Bytes of one uncompressed frame in the graph's layout (DIB rows padded to 4 bytes for RGB),
// 0 when the size is out of range. Compressed formats answer the worst case for a frame.
uint32_t frameBytes(const PixelFormat& format, uint32_t width, uint32_t height);

} // namespace platform::media::v4l2
