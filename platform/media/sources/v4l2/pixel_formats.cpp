// The table of V4L2 pixel formats the sources carry into the graph.
#include "media/sources/v4l2/pixel_formats.h"

#include <array>
#include <linux/videodev2.h>

namespace platform::media::v4l2 {
namespace {

constexpr DWORD kBiRgb = 0;

// V4L2's BGR24 and XBGR32 are byte for byte 24- and 32-bit DIB rows (blue first); V4L2
// RGB24 is not, so it is not offered (a converter would be needed in the source).
const std::array<PixelFormat, 7> kFormats = {{
    {V4L2_PIX_FMT_YUYV, MEDIASUBTYPE_YUY2, 16, makeFourCC('Y', 'U', 'Y', '2'), false, false},
    {V4L2_PIX_FMT_MJPEG, MEDIASUBTYPE_MJPG, 24, makeFourCC('M', 'J', 'P', 'G'), true, false},
    {V4L2_PIX_FMT_NV12, MEDIASUBTYPE_NV12, 12, makeFourCC('N', 'V', '1', '2'), false, false},
    {V4L2_PIX_FMT_YUV420, MEDIASUBTYPE_I420, 12, makeFourCC('I', '4', '2', '0'), false, false},
    {V4L2_PIX_FMT_BGR24, MEDIASUBTYPE_RGB24, 24, kBiRgb, false, true},
    {V4L2_PIX_FMT_XBGR32, MEDIASUBTYPE_RGB32, 32, kBiRgb, false, true},
    {V4L2_PIX_FMT_GREY, MEDIASUBTYPE_Y800, 8, makeFourCC('Y', '8', '0', '0'), false, false},
}};

} // namespace

std::optional<PixelFormat> pixelFormatFromFourcc(uint32_t fourcc) {
    for (const PixelFormat& format : kFormats)
        if (format.fourcc == fourcc)
            return format;
    return std::nullopt;
}

std::optional<PixelFormat> pixelFormatFromSubtype(const GUID& subtype) {
    for (const PixelFormat& format : kFormats)
        if (format.subtype == subtype)
            return format;
    return std::nullopt;
}

uint32_t frameBytes(const PixelFormat& format, uint32_t width, uint32_t height) {
    constexpr uint32_t kMaxSide = 16384;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        return 0;
    const uint64_t w = width, h = height;
    uint64_t bytes = 0;
    if (format.compressed) {
        // A JPEG frame at its worst stays below the raw 4:2:2 frame plus headers.
        bytes = w * h * 2 + 65536;
    } else if (format.compression == kBiRgb) {
        bytes = ((w * format.bitCount + 31) / 32) * 4 * h;
    } else if (format.bitCount == 12) {
        bytes = w * h + 2 * (((w + 1) / 2) * ((h + 1) / 2));
    } else {
        bytes = (w * format.bitCount + 7) / 8 * h;
    }
    return bytes > UINT32_MAX ? 0 : uint32_t(bytes);
}

} // namespace platform::media::v4l2
