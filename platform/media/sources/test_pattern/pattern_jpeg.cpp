// JPEG compression of pattern frames through libturbojpeg, from 4:2:2 planes.
#include "media/sources/test_pattern/pattern_jpeg.h"

#include <libyuv/planar_functions.h>
#include <turbojpeg.h>

namespace platform::media::pattern {

struct MjpegEncoder::Handle {
    tjhandle tj = tjInitCompress();
    ~Handle() {
        if (tj)
            tjDestroy(tj);
    }
};

MjpegEncoder::MjpegEncoder() : handle_(std::make_unique<Handle>()) {}
MjpegEncoder::~MjpegEncoder() = default;

bool MjpegEncoder::configure(int width, int height, int quality) {
    if (!handle_->tj || width <= 0 || height <= 0 || width % 2 != 0 || width > 8192 ||
        height > 8192)
        return false;
    width_ = width;
    height_ = height;
    quality_ = quality;
    maxBytes_ = tjBufSize(width, height, TJSAMP_422);
    planes_.assign(size_t(width) * size_t(height) * 2, 0);
    return true;
}

size_t MjpegEncoder::encodeYuy2(const uint8_t* yuy2, size_t stride, uint8_t* out, size_t capacity) {
    if (!yuy2 || !out || width_ == 0 || capacity < maxBytes_)
        return 0;
    const size_t lumaBytes = size_t(width_) * size_t(height_);
    const int chromaWidth = width_ / 2;
    uint8_t* y = planes_.data();
    uint8_t* u = y + lumaBytes;
    uint8_t* v = u + lumaBytes / 2;
    if (libyuv::YUY2ToI422(yuy2, int(stride), y, width_, u, chromaWidth, v, chromaWidth, width_,
                           height_) != 0)
        return 0;
    const unsigned char* planes[3] = {y, u, v};
    const int strides[3] = {width_, chromaWidth, chromaWidth};
    unsigned char* dest = out;
    unsigned long size = capacity;
    if (tjCompressFromYUVPlanes(handle_->tj, planes, width_, strides, height_, TJSAMP_422, &dest,
                                &size, quality_, TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0)
        return 0;
    return size;
}

} // namespace platform::media::pattern
