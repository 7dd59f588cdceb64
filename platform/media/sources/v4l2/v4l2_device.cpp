// The EINTR-retrying ioctl wrapper and DeviceFd's opening.
#include "media/sources/v4l2/v4l2_device.h"

#include <cerrno>
#include <fcntl.h>

namespace platform::media::v4l2 {

int xioctl(V4l2Io& io, int fd, unsigned long request, void* arg) {
    // A signal may interrupt any ioctl; the kernel has then done nothing, so repeating it is
    // always right. Bounded so a device stuck returning EINTR cannot hang the caller.
    constexpr int kMaxRetries = 1000;
    int result = -EINTR;
    for (int attempt = 0; attempt < kMaxRetries && result == -EINTR; ++attempt)
        result = io.ioctl(fd, request, arg);
    return result < 0 ? result : 0;
}

int DeviceFd::open(V4l2Io& io, const std::string& path, DeviceFd* out) {
    const int fd = io.open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return fd;
    *out = DeviceFd(io, fd);
    return 0;
}

} // namespace platform::media::v4l2
