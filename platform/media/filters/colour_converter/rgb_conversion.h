// Conversion of one picture into a bottom-up BGR DIB (RGB24 or RGB32), with libyuv's row paths.
#pragma once

#include <platform/media/media_types.h>

#include <vector>

namespace platform::media {

// One picture of a supported input format, as the connected VIDEOINFOHEADER describes it.
struct PictureLayout {
    GUID subtype;
    LONG width;
    LONG height;   // rows, always positive
    bool bottomUp; // RGB with a positive biHeight; YUV is always top-down
    LONG stride;   // bytes per row of the first (or only) plane
    LONG size;     // bytes one picture needs
};

// The layout of an input type, or false when the type is not one the converter takes.
bool layoutOf(const GUID& subtype, const BITMAPINFOHEADER& header, PictureLayout& layout);

// Rows converted per pass when a format has no direct path to 24-bit output: the picture goes
// through 32-bit rows this many at a time, in a scratch band that stays in cache.
inline constexpr int kBandRows = 16;

// Converts `src` into `dst` (bottom-up rows of `dstStride` bytes, 24 or 32 bits per pixel).
// `band` is scratch of at least width * 4 * kBandRows bytes. False for an unsupported pair.
bool convertToRgb(const PictureLayout& in, const BYTE* src, BYTE* dst, LONG dstStride, int dstBits,
                  BYTE* band);

} // namespace platform::media
