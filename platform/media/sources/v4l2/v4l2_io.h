// V4l2Io: the one narrow boundary through which all V4L2 device access passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform::media::v4l2 {

// Every call the V4L2 code makes on a device goes through this interface, so the real
// system and a simulated device are interchangeable below our own logic. Results follow the
// kernel's: non-negative on success, a negated errno on failure (no global errno).
// Implementations are thread-safe: the streaming thread and a control thread share a device.
class V4l2Io {
public:
    virtual ~V4l2Io() = default;

    // A file descriptor, or -errno.
    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    // One raw ioctl; 0 (or a positive value) or -errno. EINTR is returned as -EINTR: the one
    // retrying wrapper is xioctl().
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    // A mapping of `length` bytes at `offset` of the device, or nullptr with *error set.
    virtual void* mmap(int fd, size_t length, off_t offset, int* error) = 0;
    virtual int munmap(void* address, size_t length) = 0;
    // Waits for `events` on fd; returns the revents (0 on time-out) or -errno.
    virtual int poll(int fd, short events, int timeoutMs) = 0;

    // Device discovery: the entry names of a directory (unsorted, without "." and ".."),
    // empty when it does not exist; and the canonical path a link resolves to ("" if none).
    virtual std::vector<std::string> listDirectory(const std::string& dir) = 0;
    virtual std::string resolvePath(const std::string& path) = 0;
};

// The real Linux system.
V4l2Io& systemIo();

} // namespace platform::media::v4l2
