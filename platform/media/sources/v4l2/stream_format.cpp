// Reads and sets the capture format and frame interval, checking what the driver answers.
#include "media/sources/v4l2/stream_format.h"

#include "media/sources/v4l2/capabilities.h"

#include <cerrno>
#include <linux/videodev2.h>
#include <numeric>

namespace platform::media::v4l2 {
namespace {

int readBack(const v4l2_format& fmt, StreamFormat* out) {
    const v4l2_pix_format& pix = fmt.fmt.pix;
    if (pix.width == 0 || pix.height == 0 || pix.width > kMaxSide || pix.height > kMaxSide)
        return -EPROTO;
    // 256 MiB is far beyond any real frame; a larger image size is a driver error.
    if (pix.sizeimage > (256u << 20))
        return -EPROTO;
    *out = {pix.pixelformat, pix.width, pix.height, pix.bytesperline, pix.sizeimage};
    return 0;
}

} // namespace

int getFormat(const DeviceFd& fd, StreamFormat* out) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int result = fd.ioctl(VIDIOC_G_FMT, &fmt); result < 0)
        return result;
    return readBack(fmt, out);
}

int setFormat(const DeviceFd& fd, uint32_t fourcc, uint32_t width, uint32_t height,
              StreamFormat* out) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.pixelformat = fourcc;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    if (const int result = fd.ioctl(VIDIOC_S_FMT, &fmt); result < 0)
        return result;
    return readBack(fmt, out);
}

REFERENCE_TIME getFrameInterval(const DeviceFd& fd) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (fd.ioctl(VIDIOC_G_PARM, &parm) < 0 ||
        !(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
        return 0;
    return intervalFromFraction(parm.parm.capture.timeperframe.numerator,
                                parm.parm.capture.timeperframe.denominator);
}

REFERENCE_TIME setFrameInterval(const DeviceFd& fd, REFERENCE_TIME interval) {
    if (interval <= 0 || interval > kMaxInterval)
        return 0;
    // interval / UNITS seconds, reduced so both terms fit the 32-bit fraction.
    const uint64_t divisor = std::gcd(uint64_t(interval), uint64_t(UNITS));
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe.numerator = uint32_t(uint64_t(interval) / divisor);
    parm.parm.capture.timeperframe.denominator = uint32_t(uint64_t(UNITS) / divisor);
    if (fd.ioctl(VIDIOC_S_PARM, &parm) < 0 ||
        !(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
        return 0;
    return intervalFromFraction(parm.parm.capture.timeperframe.numerator,
                                parm.parm.capture.timeperframe.denominator);
}

} // namespace platform::media::v4l2
