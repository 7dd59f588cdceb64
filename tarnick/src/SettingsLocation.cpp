// The chosen settings file, its read check at start and its guarded writes.
#include "SettingsLocation.h"

#include <platform/hresult.h>
#include <platform/profile.h>
#include <platform/text.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace settingslocation {

namespace {

std::string& chosenPath() {
    static std::string path;
    return path;
}

// One line per file and run: saving writes many keys, each of which would fail alike.
void reportOnce(const std::string& path, const std::string& why) {
    static std::set<std::string> reported;
    if (!reported.insert(path).second)
        return;
    std::fprintf(stderr,
                 "tarnick: cannot write the settings file \"%s\" (%s); changes are kept "
                 "until the program ends, not saved\n",
                 path.c_str(), why.c_str());
    std::fflush(stderr);
}

} // namespace

void choose(std::string path) {
    chosenPath() = std::move(path);
}

const std::string& chosen() {
    return chosenPath();
}

std::string readProblem(const std::string& path) {
    char probe[2];
    SetLastError(ERROR_SUCCESS);
    GetPrivateProfileStringA(nullptr, nullptr, "", probe, sizeof(probe), path.c_str());
    const DWORD error = GetLastError();
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        return {};
    if (error == ERROR_FILE_TOO_LARGE)
        return "it is too large to be a settings file";
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        return "it is a folder";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    ::close(fd);
    return "it cannot be read";
}

void writeKey(const char* section, const char* key, const char* value, const char* path) {
    const std::string resolved = platform::resolveProfilePath(path);
    struct stat info {};
    if (!resolved.empty() && ::stat(resolved.c_str(), &info) == 0) {
        if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
            ::access(resolved.c_str(), W_OK) != 0) {
            reportOnce(resolved, "it is read-only");
            return;
        }
    } else if (!resolved.empty() && errno == ENOENT && std::strchr(path, '/') != nullptr) {
        // A file named by its path (a bare name's folder is the profile functions' own).
        std::error_code ignored;
        const auto folder = std::filesystem::path(resolved).parent_path();
        if (!folder.empty())
            std::filesystem::create_directories(folder, ignored);
    }
    if (!WritePrivateProfileStringA(section, key, value, path)) {
        const DWORD error = GetLastError();
        reportOnce(resolved.empty() ? std::string(path) : resolved,
                   error == ERROR_ACCESS_DENIED    ? "permission denied"
                   : error == ERROR_PATH_NOT_FOUND ? "its folder cannot be made"
                   : error == ERROR_DISK_FULL      ? "the disk is full"
                                                   : "the write failed");
    }
}

} // namespace settingslocation
