// Narrow-string comparisons: ASCII case folding, UTF-8 character counting.
#include "platform/text.h"
#include "text/utf8.h"

namespace {

unsigned char foldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Compares at most `count` bytes, folding ASCII letters when asked.
int compareBytes(const unsigned char* a, const unsigned char* b, size_t count, bool fold) {
    for (size_t i = 0; i < count; ++i) {
        const unsigned char ca = fold ? foldAscii(a[i]) : a[i];
        const unsigned char cb = fold ? foldAscii(b[i]) : b[i];
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (ca == 0) {
            return 0;
        }
    }
    return 0;
}

// Bytes of the first `chars` characters of `s`, stopping at its terminator.
size_t bytesOfChars(const unsigned char* s, size_t chars) {
    size_t used = 0;
    for (size_t c = 0; c < chars && s[used] != 0; ++c) {
        size_t avail = 0;
        while (avail < 4 && s[used + avail] != 0) {
            ++avail;
        }
        used += platform::utf8::charLength(s + used, avail);
    }
    return used;
}

} // namespace

extern "C" int _stricmp(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return _NLSCMPERROR;
    }
    return compareBytes(reinterpret_cast<const unsigned char*>(a),
                        reinterpret_cast<const unsigned char*>(b), static_cast<size_t>(-1), true);
}

extern "C" int _strnicmp(const char* a, const char* b, size_t count) {
    if (a == nullptr || b == nullptr) {
        return _NLSCMPERROR;
    }
    return compareBytes(reinterpret_cast<const unsigned char*>(a),
                        reinterpret_cast<const unsigned char*>(b), count, true);
}

extern "C" int _mbsicmp(const unsigned char* a, const unsigned char* b) {
    if (a == nullptr || b == nullptr) {
        return _NLSCMPERROR;
    }
    return compareBytes(a, b, static_cast<size_t>(-1), true);
}

extern "C" int _mbsncmp(const unsigned char* a, const unsigned char* b, size_t count) {
    if (a == nullptr || b == nullptr) {
        return _NLSCMPERROR;
    }
    // The first `count` characters of each side; where they differ in length the shorter
    // is a prefix up to its end, which the byte comparison (stopping at NUL) sorts first.
    const size_t na = bytesOfChars(a, count);
    const size_t nb = bytesOfChars(b, count);
    const size_t n = na < nb ? na : nb;
    const int r = compareBytes(a, b, n, false);
    if (r != 0 || na == nb) {
        return r;
    }
    return na < nb ? -1 : 1;
}

extern "C" int _mbsnbcmp(const unsigned char* a, const unsigned char* b, size_t count) {
    if (a == nullptr || b == nullptr) {
        return _NLSCMPERROR;
    }
    return compareBytes(a, b, count, false);
}
