// The device's current capture format and frame interval: G_FMT/S_FMT and G_PARM/S_PARM.
#pragma once

#include "media/sources/v4l2/pixel_formats.h"
#include "media/sources/v4l2/v4l2_device.h"

namespace platform::media::v4l2 {

struct StreamFormat {
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytesPerLine = 0;
    uint32_t sizeImage = 0;
};

// The current format; -errno, or -EPROTO when the driver reports an absurd one.
int getFormat(const DeviceFd& fd, StreamFormat* out);
// Asks for a format; the driver may adjust it, and `out` holds what it chose. -EBUSY while
// buffers are allocated, as the kernel refuses.
int setFormat(const DeviceFd& fd, uint32_t fourcc, uint32_t width, uint32_t height,
              StreamFormat* out);

// The current frame interval in 100 ns (0 when the driver does not report one).
REFERENCE_TIME getFrameInterval(const DeviceFd& fd);
// Asks for a frame interval; returns the one the driver chose (0: not supported).
REFERENCE_TIME setFrameInterval(const DeviceFd& fd, REFERENCE_TIME interval);

} // namespace platform::media::v4l2
