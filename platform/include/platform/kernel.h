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

// Path of the running executable (module null) or of a loaded library (its handle).
// Returns the length without the NUL; on a short buffer the path is cut (never inside a
// UTF-8 character), NUL-terminated, nSize is returned and the last error is
// ERROR_INSUFFICIENT_BUFFER.
PLATFORM_API DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

// Joins a relative path with the working directory and folds "." and ".." lexically.
// Returns the length without the NUL, or the size needed (with the NUL) when the buffer is
// too small, or 0 on failure. *filePart, when asked for, points at the last component in
// the buffer (null when the path ends in a separator).
PLATFORM_API DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer,
                                    LPSTR* filePart);

} // extern "C"
