// Kernel services: clocks, sleeping and module/path names.
#pragma once

#include "api.h"
#include "wintypes.h"

inline constexpr DWORD INFINITE = 0xFFFFFFFF;

extern "C" {

// Milliseconds since an arbitrary start on the monotonic clock; wraps after 49.7 days.
PLATFORM_API DWORD GetTickCount();
PLATFORM_API ULONGLONG GetTickCount64();
PLATFORM_API void Sleep(DWORD milliseconds);

// Path of the running executable (module null, from /proc/self/exe) or of a loaded shared
// object, named either by its dlopen() handle or by its load address (an HMODULE is the
// module's base address on Windows); any other handle fails with ERROR_INVALID_HANDLE.
// Returns the length without the NUL; on a short buffer the path is cut (never inside a
// UTF-8 character), NUL-terminated, nSize is returned and the last error is
// ERROR_INSUFFICIENT_BUFFER (a size of 0 returns 0 with that error).
PLATFORM_API DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

// Joins a relative path with the working directory and folds "." and ".." lexically (no
// symbolic link is resolved, the file need not exist; only '/' separates). Returns the length
// without the NUL, or the size needed (with the NUL) when the buffer is too small (the buffer
// is then untouched: call with 0 and null to ask for the size), or 0 on failure (a null or
// empty name: ERROR_INVALID_PARAMETER). *filePart, when asked for, points at the last
// component in the buffer, and is null when the path ends in a separator, is the root, or the
// buffer was too small. A trailing separator is kept; a path ending in "." or ".." names that
// directory without one (its file part is the directory's own name).
PLATFORM_API DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer,
                                    LPSTR* filePart);

} // extern "C"
