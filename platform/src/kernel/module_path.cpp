// GetModuleFileNameA: the path of the running executable or of a loaded shared object.
//
// A module handle is accepted in either of the two forms a Linux program holds:
//  - a handle returned by dlopen() (on glibc, the object's link map), recognised by walking
//    the process's list of loaded objects and comparing pointers, so a stray pointer is never
//    dereferenced;
//  - the object's load address, as an HMODULE is the module's base address on Windows,
//    recognised with dladdr() when the address is exactly the start of a loaded object.
// Anything else fails with ERROR_INVALID_HANDLE. The main program's path comes from
// /proc/self/exe; a shared object's from its link map, made absolute with realpath().
#include "platform/hresult.h"
#include "platform/kernel.h"
#include "platform/text.h"
#include "text/utf8.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <string>
#include <unistd.h>

namespace {

bool executablePath(std::string& out) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return false;
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            out = std::move(buffer);
            return true;
        }
        if (buffer.size() > (1u << 20)) {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool linkMapPath(const link_map* map, std::string& out) {
    if (map->l_name == nullptr || map->l_name[0] == '\0') {
        return executablePath(out); // the main program's link map has no name
    }
    if (char* resolved = realpath(map->l_name, nullptr)) {
        out = resolved;
        std::free(resolved);
    } else {
        out = map->l_name; // e.g. the vDSO, which has no file
    }
    return true;
}

// The loaded object whose dlopen handle (link map) is `handle`, or null.
const link_map* findByHandle(const void* handle) {
    void* self = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
    if (self == nullptr) {
        return nullptr;
    }
    link_map* map = nullptr;
    const bool ok = dlinfo(self, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr;
    dlclose(self);
    if (!ok) {
        return nullptr;
    }
    while (map->l_prev != nullptr) {
        map = map->l_prev;
    }
    for (; map != nullptr; map = map->l_next) {
        if (static_cast<const void*>(map) == handle) {
            return map;
        }
    }
    return nullptr;
}

// The loaded object that starts at address `base`, or null.
const link_map* findByBase(const void* base) {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(base, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr || info.dli_fbase != base) {
        return nullptr;
    }
    return map;
}

} // namespace

extern "C" DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (fileName == nullptr && size > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string path;
    if (module == nullptr) {
        if (!executablePath(path)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    } else {
        const link_map* map = findByHandle(module);
        if (map == nullptr) {
            map = findByBase(module);
        }
        if (map == nullptr || !linkMapPath(map, path)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        std::memcpy(fileName, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    // Documented for a short buffer: the path is cut (here at a whole UTF-8 character),
    // NUL-terminated, and the result is the buffer size with ERROR_INSUFFICIENT_BUFFER.
    const size_t n = platform::utf8::cutLength(path.c_str(), size - 1);
    std::memcpy(fileName, path.data(), n);
    fileName[n] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}
