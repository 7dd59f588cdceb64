// resolveProfilePath: where a profile file name lives on Linux.
#include "profile/profile_path.h"
#include "platform/profile.h"

#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform::profile {

// $XDG_CONFIG_HOME when it is an absolute path (the XDG rules say to ignore a relative one),
// else $HOME/.config, with the home folder from the user database when $HOME is unset.
std::string configDirectory() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
        home = env;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    if (home.empty()) {
        return {};
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    return (home == "/" ? "" : home) + "/.config";
}

bool isBareName(const char* fileName) {
    return fileName != nullptr && fileName[0] != '\0' && std::strchr(fileName, '/') == nullptr;
}

namespace {
// "." and ".." are no file names: they would place the profile at the folder itself or above.
bool isDotName(const char* fileName) {
    return std::strcmp(fileName, ".") == 0 || std::strcmp(fileName, "..") == 0;
}
} // namespace

} // namespace platform::profile

namespace platform {

using profile::isDotName;

std::string resolveProfilePath(const char* fileName) {
    if (fileName == nullptr || fileName[0] == '\0') {
        return {};
    }
    if (profile::isBareName(fileName) && isDotName(fileName)) {
        return {};
    }
    if (!profile::isBareName(fileName)) {
        return fileName;
    }
    std::string dir = profile::configDirectory();
    if (dir.empty()) {
        return {};
    }
    if (dir.back() != '/') {
        dir += '/';
    }
    return dir + fileName;
}

} // namespace platform
