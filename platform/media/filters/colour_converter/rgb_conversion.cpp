// Picture layouts and the libyuv calls for each input format.
#include "media/filters/colour_converter/rgb_conversion.h"

#include "media/base/media_type.h"

#include <libyuv.h>

#include <algorithm>

namespace platform::media {

bool layoutOf(const GUID& subtype, const BITMAPINFOHEADER& header, PictureLayout& layout) {
    const LONG width = header.biWidth;
    if (header.biHeight < -16384) // also keeps the negation below from overflowing
        return false;
    const LONG height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384)
        return false;
    layout = {subtype, width, height, false, 0, 0};
    const LONG pixels = width * height;
    if (subtype == MEDIASUBTYPE_YUY2) {
        layout.stride = dibStride(width, 16);
        layout.size = layout.stride * height;
    } else if (subtype == MEDIASUBTYPE_Y800) {
        layout.stride = dibStride(width, 8);
        layout.size = layout.stride * height;
    } else if (subtype == MEDIASUBTYPE_NV12) {
        layout.stride = width;
        layout.size = pixels + ((width + 1) & ~1) * ((height + 1) / 2);
    } else if (subtype == MEDIASUBTYPE_I420 || subtype == MEDIASUBTYPE_IYUV) {
        layout.stride = width;
        layout.size = pixels + 2 * ((width + 1) / 2) * ((height + 1) / 2);
    } else if (subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB32) {
        const int bits = subtype == MEDIASUBTYPE_RGB24 ? 24 : 32;
        if (header.biBitCount != bits)
            return false;
        layout.bottomUp = header.biHeight > 0;
        layout.stride = dibStride(width, bits);
        layout.size = layout.stride * height;
    } else {
        return false;
    }
    return true;
}

namespace {

// Source formats that libyuv turns into 32-bit rows: one call per band of rows.
template <class ToArgb>
void bandedToRgb24(const PictureLayout& in, BYTE* dst, LONG dstStride, BYTE* band, ToArgb toArgb) {
    const int w = in.width, h = in.height;
    for (int y = 0; y < h; y += kBandRows) {
        const int rows = std::min(kBandRows, h - y);
        toArgb(y, rows, band, w * 4);
        // Top-down band rows y..y+rows-1 land bottom-up: a negative height flips the band.
        libyuv::ARGBToRGB24(band, w * 4, dst + LONG(h - y - rows) * dstStride, dstStride, w, -rows);
    }
}

} // namespace

bool convertToRgb(const PictureLayout& in, const BYTE* src, BYTE* dst, LONG dstStride, int dstBits,
                  BYTE* band) {
    using namespace libyuv;
    const int w = in.width, h = in.height;
    const bool to24 = dstBits == 24;
    // A negative height makes libyuv read the source bottom row first: top-down input becomes
    // bottom-up output.
    const int flip = in.bottomUp ? h : -h;
    if (in.subtype == MEDIASUBTYPE_YUY2) {
        if (!to24)
            return YUY2ToARGB(src, in.stride, dst, dstStride, w, -h) == 0;
        bandedToRgb24(in, dst, dstStride, band, [&](int y, int rows, BYTE* out, int outStride) {
            YUY2ToARGB(src + LONG(y) * in.stride, in.stride, out, outStride, w, rows);
        });
        return true;
    }
    if (in.subtype == MEDIASUBTYPE_Y800) {
        if (!to24)
            return J400ToARGB(src, in.stride, dst, dstStride, w, -h) == 0;
        bandedToRgb24(in, dst, dstStride, band, [&](int y, int rows, BYTE* out, int outStride) {
            J400ToARGB(src + LONG(y) * in.stride, in.stride, out, outStride, w, rows);
        });
        return true;
    }
    if (in.subtype == MEDIASUBTYPE_NV12) {
        const BYTE* uv = src + LONG(w) * h;
        const int uvStride = (w + 1) & ~1;
        return (to24 ? NV12ToRGB24(src, w, uv, uvStride, dst, dstStride, w, -h)
                     : NV12ToARGB(src, w, uv, uvStride, dst, dstStride, w, -h)) == 0;
    }
    if (in.subtype == MEDIASUBTYPE_I420 || in.subtype == MEDIASUBTYPE_IYUV) {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        const BYTE* u = src + LONG(w) * h;
        const BYTE* v = u + LONG(cw) * ch;
        return (to24 ? I420ToRGB24(src, w, u, cw, v, cw, dst, dstStride, w, -h)
                     : I420ToARGB(src, w, u, cw, v, cw, dst, dstStride, w, -h)) == 0;
    }
    if (in.subtype == MEDIASUBTYPE_RGB24) {
        if (to24) {
            CopyPlane(src, in.stride, dst, dstStride, w * 3, flip);
            return true;
        }
        return RGB24ToARGB(src, in.stride, dst, dstStride, w, flip) == 0;
    }
    if (in.subtype == MEDIASUBTYPE_RGB32) {
        if (to24)
            return ARGBToRGB24(src, in.stride, dst, dstStride, w, flip) == 0;
        return ARGBCopy(src, in.stride, dst, dstStride, w, flip) == 0;
    }
    return false;
}

} // namespace platform::media
