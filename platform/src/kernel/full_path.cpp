// GetFullPathNameA: a lexical absolute path, joined with the working directory.
//
// As on Windows, the file system is not consulted beyond reading the working directory:
// "." and ".." are folded by text (".." at the root stays at the root), repeated separators
// collapse, symbolic links are not resolved and the file need not exist. Only '/' separates
// components ('\\' is an ordinary file-name byte on Linux). A path that ends in a separator
// keeps one, and then has no file part; one that ends in "." or ".." names a directory
// without a trailing separator, and its file part is that directory's last component, as
// Windows gives for "." and "..". The root alone is "/" with no file part.
#include "platform/hresult.h"
#include "platform/kernel.h"
#include "platform/text.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

bool currentDirectory(std::string& out) {
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::strlen(buffer.c_str()));
            out = std::move(buffer);
            return true;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

extern "C" DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer,
                                  LPSTR* filePart) {
    if (filePart != nullptr) {
        *filePart = nullptr;
    }
    if (fileName == nullptr || fileName[0] == '\0' || (buffer == nullptr && bufferLength > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string joined;
    if (fileName[0] != '/') {
        if (!currentDirectory(joined)) {
            SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
            return 0;
        }
        joined += '/';
    }
    joined += fileName;

    std::vector<std::string_view> parts;
    std::string_view rest(joined);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    const bool trailingSeparator = joined.back() == '/';

    std::string result;
    for (const std::string_view part : parts) {
        result += '/';
        result += part;
    }
    if (result.empty() || trailingSeparator) {
        result += '/';
    }
    if (result.size() >= 0xFFFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto length = static_cast<DWORD>(result.size());
    if (length >= bufferLength) {
        return length + 1; // the size needed, terminator included; the buffer is untouched
    }
    std::memcpy(buffer, result.c_str(), result.size() + 1);
    if (filePart != nullptr && result.back() != '/') {
        *filePart = buffer + result.rfind('/') + 1;
    }
    return length;
}
