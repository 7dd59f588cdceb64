// Bounded narrow-string copies that never split a UTF-8 character.
#include "platform/text.h"
#include "text/utf8.h"

#include <cerrno>
#include <cstring>

extern "C" errno_t _mbsnbcpy_s(unsigned char* dest, size_t destSize, const unsigned char* src,
                               size_t count) {
    if (dest == nullptr || destSize == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return EINVAL;
    }
    const char* s = reinterpret_cast<const char*>(src);
    if (count == _TRUNCATE) {
        const size_t whole = std::strlen(s);
        const size_t n = platform::utf8::cutLength(s, destSize - 1);
        std::memcpy(dest, src, n);
        dest[n] = 0;
        return n < whole ? STRUNCATE : 0;
    }
    const size_t n = platform::utf8::cutLength(s, count);
    if (n >= destSize) {
        dest[0] = 0;
        return ERANGE;
    }
    std::memcpy(dest, src, n);
    dest[n] = 0;
    return 0;
}

namespace platform {

size_t copyUtf8Bounded(char* dest, size_t destSize, const char* src) {
    if (dest == nullptr || destSize == 0) {
        return 0;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return 0;
    }
    const size_t n = utf8::cutLength(src, destSize - 1);
    std::memmove(dest, src, n);
    dest[n] = 0;
    return n;
}

} // namespace platform
