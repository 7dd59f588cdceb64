// DeviceFd and xioctl: an owned V4L2 file descriptor and the one EINTR-retrying ioctl.
#pragma once

#include "media/sources/v4l2/v4l2_io.h"

#include <utility>

namespace platform::media::v4l2 {

// The one ioctl wrapper: retries while the call is interrupted; 0 or -errno.
int xioctl(V4l2Io& io, int fd, unsigned long request, void* arg);

// Owns one descriptor opened through a V4l2Io; closes it through the same interface.
class DeviceFd {
public:
    DeviceFd() = default;
    DeviceFd(V4l2Io& io, int fd) : io_(&io), fd_(fd) {}
    DeviceFd(DeviceFd&& other) noexcept : io_(other.io_), fd_(std::exchange(other.fd_, -1)) {}
    DeviceFd& operator=(DeviceFd&& other) noexcept {
        if (this != &other) {
            reset();
            io_ = other.io_;
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    DeviceFd(const DeviceFd&) = delete;
    DeviceFd& operator=(const DeviceFd&) = delete;
    ~DeviceFd() { reset(); }

    // Opens `path` read-write and non-blocking (the capture loop waits with poll); -errno.
    static int open(V4l2Io& io, const std::string& path, DeviceFd* out);

    int get() const { return fd_; }
    V4l2Io& io() const { return *io_; }
    explicit operator bool() const { return fd_ >= 0; }
    int ioctl(unsigned long request, void* arg) const { return xioctl(*io_, fd_, request, arg); }
    void reset() {
        if (fd_ >= 0)
            io_->close(std::exchange(fd_, -1));
    }

private:
    V4l2Io* io_ = nullptr;
    int fd_ = -1;
};

} // namespace platform::media::v4l2
