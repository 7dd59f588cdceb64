// GetPrivateProfileStringA / WritePrivateProfileStringA over IniDocument and atomic files.
#include "platform/hresult.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "profile/ini_document.h"
#include "profile/profile_file.h"
#include "profile/profile_path.h"
#include "text/utf8.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace {

using platform::profile::FileContents;
using platform::profile::IniDocument;
using platform::profile::ReadStatus;

// One lock for every read-modify-write in the process, so two threads' writes to one file
// (or to two names of it) cannot lose each other's changes. Reads need no lock: a file is
// only ever replaced whole by rename, so a reader sees the old file or the new one.
std::mutex& writeLock() {
    static std::mutex lock;
    return lock;
}

DWORD win32Error(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ENAMETOOLONG:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_WRITE_FAULT;
    }
}

// Text up to an embedded NUL, which a C string cannot carry.
std::string_view cString(std::string_view s) {
    return s.substr(0, s.find('\0'));
}

// Copies one string; a cut returns size - 1 as documented.
DWORD copyValue(std::string_view value, LPSTR returned, DWORD size) {
    value = cString(value);
    if (value.size() < size) {
        std::memcpy(returned, value.data(), value.size());
        returned[value.size()] = '\0';
        return static_cast<DWORD>(value.size());
    }
    const size_t n = platform::utf8::cutLengthN(value.data(), value.size(), size - 1);
    std::memcpy(returned, value.data(), n);
    std::memset(returned + n, 0, size - n);
    return size - 1;
}

// Copies a double-NUL-terminated list; a cut ends in two NULs and returns size - 2.
DWORD copyList(const std::vector<std::string>& names, LPSTR returned, DWORD size) {
    std::string list;
    for (const std::string& name : names) {
        const std::string_view n = cString(name);
        if (!n.empty()) { // an empty name would end the list early
            list += n;
            list += '\0';
        }
    }
    if (list.size() + 1 <= size) {
        std::memcpy(returned, list.data(), list.size());
        returned[list.size()] = '\0';
        if (list.empty() && size >= 2) {
            returned[1] = '\0';
        }
        return static_cast<DWORD>(list.size());
    }
    if (size < 2) {
        returned[0] = '\0';
        return 0;
    }
    const size_t n = platform::utf8::cutLengthN(list.data(), list.size(), size - 2);
    std::memcpy(returned, list.data(), n);
    std::memset(returned + n, 0, size - n);
    return size - 2;
}

std::string_view trimTrailingBlanks(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool hasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    return trimTrailingBlanks(s);
}

bool isSafeSection(std::string_view section) {
    return !hasLineBreak(section) && section.find(']') == std::string_view::npos;
}

bool isSafeKey(std::string_view key) {
    const std::string_view name = trimBlanks(key);
    // A key that starts like a header or a comment would not read back as a key.
    return !hasLineBreak(key) && key.find('=') == std::string_view::npos && !name.empty() &&
           name.front() != '[' && name.front() != ';' && name.front() != '#';
}

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace

extern "C" DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                          LPSTR returned, DWORD size, LPCSTR fileName) {
    if (returned == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string path = platform::resolveProfilePath(fileName);
    FileContents file;
    if (!path.empty()) {
        file = platform::profile::readProfileFile(path);
    }
    const IniDocument doc =
        file.status == ReadStatus::Ok ? IniDocument::parse(file.text) : IniDocument{};
    switch (file.status) {
    case ReadStatus::Ok:
        SetLastError(ERROR_SUCCESS);
        break;
    case ReadStatus::Missing:
        SetLastError(path.empty() ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND);
        break;
    case ReadStatus::TooLarge:
        SetLastError(ERROR_FILE_TOO_LARGE);
        break;
    case ReadStatus::Unreadable:
        SetLastError(win32Error(file.error));
        break;
    }

    if (section == nullptr) {
        return copyList(doc.sectionNames(), returned, size);
    }
    if (key == nullptr) {
        return copyList(doc.keyNames(section), returned, size);
    }
    if (const auto value = doc.value(section, key)) {
        return copyValue(*value, returned, size);
    }
    return copyValue(trimTrailingBlanks(defaultValue != nullptr ? defaultValue : ""), returned,
                     size);
}

extern "C" BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                           LPCSTR fileName) {
    if (section == nullptr && key == nullptr && value == nullptr && fileName != nullptr) {
        return TRUE; // Windows' "flush the cache": nothing is cached here
    }
    if (section == nullptr || fileName == nullptr || fileName[0] == '\0' ||
        !isSafeSection(section) || (key != nullptr && !isSafeKey(key)) ||
        (key != nullptr && value != nullptr && hasLineBreak(value))) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    const std::string path = platform::resolveProfilePath(fileName);
    if (path.empty()) {
        return failWith(ERROR_PATH_NOT_FOUND);
    }
    if (platform::profile::isBareName(fileName)) {
        if (const int error =
                platform::profile::makeDirectories(platform::profile::configDirectory());
            error != 0) {
            return failWith(win32Error(error));
        }
    }

    std::lock_guard<std::mutex> hold(writeLock());
    const FileContents file = platform::profile::readProfileFile(path);
    switch (file.status) {
    case ReadStatus::Ok:
    case ReadStatus::Missing:
        break;
    case ReadStatus::TooLarge:
        return failWith(ERROR_FILE_TOO_LARGE);
    case ReadStatus::Unreadable:
        return failWith(win32Error(file.error));
    }
    const bool exists = file.status == ReadStatus::Ok;
    IniDocument doc = exists ? IniDocument::parse(file.text) : IniDocument{};

    bool changed = false;
    bool deleting = false;
    if (key == nullptr) {
        changed = doc.removeSection(section);
        deleting = true;
    } else if (value == nullptr) {
        changed = doc.removeKey(section, key);
        deleting = true;
    } else {
        changed = doc.setValue(section, key, value);
    }
    if (!changed && (exists || deleting)) {
        return TRUE; // nothing to write; deleting from a missing file creates none
    }
    const std::string text = doc.serialise();
    if (text.size() > platform::profile::kMaxFileSize) {
        return failWith(ERROR_FILE_TOO_LARGE); // we could never read it back
    }
    if (const int error =
            platform::profile::replaceProfileFile(path, text, exists ? &file.info : nullptr);
        error != 0) {
        return failWith(win32Error(error));
    }
    return TRUE;
}
