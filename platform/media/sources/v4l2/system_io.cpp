// The real V4L2 I/O: plain system calls on device nodes.
#include "media/sources/v4l2/v4l2_io.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform::media::v4l2 {
namespace {

class SystemIo final : public V4l2Io {
public:
    int open(const std::string& path, int flags) override {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }
    int close(int fd) override { return ::close(fd) == 0 ? 0 : -errno; }
    int ioctl(int fd, unsigned long request, void* arg) override {
        const int result = ::ioctl(fd, request, arg);
        return result >= 0 ? result : -errno;
    }
    void* mmap(int fd, size_t length, off_t offset, int* error) override {
        void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        if (address == MAP_FAILED) {
            if (error)
                *error = errno;
            return nullptr;
        }
        return address;
    }
    int munmap(void* address, size_t length) override {
        return ::munmap(address, length) == 0 ? 0 : -errno;
    }
    int poll(int fd, short events, int timeoutMs) override {
        pollfd entry{fd, events, 0};
        for (;;) {
            const int ready = ::poll(&entry, 1, timeoutMs);
            if (ready >= 0)
                return ready == 0 ? 0 : entry.revents;
            if (errno != EINTR)
                return -errno;
        }
    }
    std::vector<std::string> listDirectory(const std::string& dir) override {
        std::vector<std::string> names;
        std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), ::closedir);
        if (!handle)
            return names;
        while (const dirent* entry = ::readdir(handle.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        return names;
    }
    std::string resolvePath(const std::string& path) override {
        char resolved[PATH_MAX];
        return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
    }
};

} // namespace

V4l2Io& systemIo() {
    static SystemIo io;
    return io;
}

} // namespace platform::media::v4l2
