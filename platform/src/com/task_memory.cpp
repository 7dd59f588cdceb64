// Task memory: the allocator COM hands out media types and strings with.
#include "platform/com.h"

#include <cstdlib>

extern "C" PLATFORM_API LPVOID CoTaskMemAlloc(size_t size) {
    return std::malloc(size);
}

extern "C" PLATFORM_API LPVOID CoTaskMemRealloc(LPVOID block, size_t size) {
    return std::realloc(block, size);
}

extern "C" PLATFORM_API void CoTaskMemFree(LPVOID block) {
    std::free(block);
}
