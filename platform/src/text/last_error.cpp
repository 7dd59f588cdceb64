// The per-thread last-error value that the Win32-style calls set on failure.
#include "platform/text.h"

namespace {
thread_local DWORD lastError = 0;
} // namespace

extern "C" DWORD GetLastError() {
    return lastError;
}

extern "C" void SetLastError(DWORD error) {
    lastError = error;
}
