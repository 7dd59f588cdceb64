// Private UTF-8 / UTF-16 helpers shared by the conversions, bounded copies and the profile code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::utf8 {

// Length of the well-formed UTF-8 sequence that starts at s[0] (at most `avail` bytes may be
// read), or 0 when it is not well formed: overlongs, encoded surrogates, code points above
// U+10FFFF, stray continuation bytes and sequences cut short are all refused.
// *codePoint receives the decoded value when the sequence is well formed.
inline size_t decode(const unsigned char* s, size_t avail, char32_t* codePoint) {
    if (avail == 0) {
        return 0;
    }
    const unsigned char b0 = s[0];
    if (b0 < 0x80) {
        *codePoint = b0;
        return 1;
    }
    size_t len = 0;
    unsigned char lo = 0x80; // allowed range of the second byte
    unsigned char hi = 0xBF;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0Fu;
        if (b0 == 0xE0) {
            lo = 0xA0; // below: overlong
        } else if (b0 == 0xED) {
            hi = 0x9F; // above: UTF-16 surrogates
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07u;
        if (b0 == 0xF0) {
            lo = 0x90; // below: overlong
        } else if (b0 == 0xF4) {
            hi = 0x8F; // above: beyond U+10FFFF
        }
    } else {
        return 0; // continuation byte, C0/C1 (always overlong) or F5..FF
    }
    if (avail < len) {
        return 0;
    }
    if (s[1] < lo || s[1] > hi) {
        return 0;
    }
    cp = (cp << 6) | (s[1] & 0x3Fu);
    for (size_t i = 2; i < len; ++i) {
        if ((s[i] & 0xC0u) != 0x80u) {
            return 0;
        }
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    *codePoint = cp;
    return len;
}

// Bytes in one "character" at s for cutting and counting purposes: a well-formed sequence
// counts whole, any other byte on its own (so malformed text is never made worse by a cut).
inline size_t charLength(const unsigned char* s, size_t avail) {
    char32_t ignored = 0;
    const size_t n = decode(s, avail, &ignored);
    return n == 0 ? 1 : n;
}

// The longest prefix of the NUL-terminated `s` that is at most `maxBytes` long and does not
// end inside a UTF-8 character.
inline size_t cutLength(const char* s, size_t maxBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t used = 0;
    while (used < maxBytes && p[used] != 0) {
        // Never look past the terminator: a sequence with a NUL inside is not well formed.
        size_t avail = 0;
        while (avail < 4 && p[used + avail] != 0) {
            ++avail;
        }
        const size_t n = charLength(p + used, avail);
        if (used + n > maxBytes) {
            break;
        }
        used += n;
    }
    return used;
}

// The longest prefix of the first `length` bytes of `s` (which may hold NULs) that is at
// most `maxBytes` long and does not end inside a UTF-8 character.
inline size_t cutLengthN(const char* s, size_t length, size_t maxBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t used = 0;
    while (used < length) {
        const size_t n = charLength(p + used, length - used);
        if (used + n > maxBytes) {
            break;
        }
        used += n;
    }
    return used;
}

inline bool isHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
inline bool isLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace platform::utf8
