// Bounded reading and atomic replacement (temporary file, fsync, rename) of profile files.
#include "profile/profile_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform::profile {

namespace {

// Owns one file descriptor.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result (close can report a delayed write error).
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// The process's umask, read without changing it (umask() itself would race other threads).
mode_t currentUmask() {
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                std::fclose(f);
                return static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8)) & 0777;
            }
        }
        std::fclose(f);
    }
    return 022;
}

int writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

void syncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd); // best effort: makes the rename itself durable
        ::close(fd);
    }
}

} // namespace

FileContents readProfileFile(const std::string& path) {
    FileContents result;
    // O_NONBLOCK: opening a FIFO must not hang; regular files ignore it.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        result.error = errno;
        result.status = errno == ENOENT ? ReadStatus::Missing : ReadStatus::Unreadable;
        return result;
    }
    if (::fstat(fd.get(), &result.info) != 0) {
        result.error = errno;
        result.status = ReadStatus::Unreadable;
        return result;
    }
    if (!S_ISREG(result.info.st_mode)) {
        result.error = S_ISDIR(result.info.st_mode) ? EISDIR : EINVAL;
        result.status = ReadStatus::Unreadable;
        return result;
    }
    if (result.info.st_size > static_cast<off_t>(kMaxFileSize)) {
        result.status = ReadStatus::TooLarge;
        return result;
    }
    // Read up to the bound plus one byte, whatever fstat said: the file may be growing.
    constexpr size_t limit = kMaxFileSize + 1;
    std::string text(static_cast<size_t>(result.info.st_size) + 1, '\0');
    size_t got = 0;
    for (;;) {
        if (got == text.size()) {
            if (text.size() == limit) {
                break;
            }
            text.resize(std::min(text.size() * 2, limit));
        }
        const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = errno;
            result.status = ReadStatus::Unreadable;
            return result;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (got > kMaxFileSize) {
        result.status = ReadStatus::TooLarge;
        return result;
    }
    text.resize(got);
    result.text = std::move(text);
    result.status = ReadStatus::Ok;
    return result;
}

int replaceProfileFile(const std::string& path, std::string_view text, const struct stat* old) {
    std::string target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            return errno;
        }
        target = resolved;
        std::free(resolved);
    }
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string temp = dir + (dir.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return errno;
    }
    int error = writeAll(fd.get(), text);
    if (error == 0) {
        const mode_t mode = old != nullptr ? (old->st_mode & 07777) : (0666 & ~currentUmask());
        if (::fchmod(fd.get(), mode) != 0) {
            error = errno;
        }
    }
    if (error == 0 && old != nullptr &&
        (old->st_uid != ::geteuid() || old->st_gid != ::getegid())) {
        // Keep the owner where we may (as root editing another user's file); else ours.
        [[maybe_unused]] const int ignored = ::fchown(fd.get(), old->st_uid, old->st_gid);
    }
    if (error == 0 && ::fsync(fd.get()) != 0) {
        error = errno;
    }
    if (const int closed = fd.close(); error == 0) {
        error = closed;
    }
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        return error;
    }
    syncDirectory(dir);
    return 0;
}

int makeDirectories(const std::string& dir) {
    if (dir.empty()) {
        return EINVAL;
    }
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        const std::string prefix = dir.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0) {
        return errno;
    }
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

} // namespace platform::profile
