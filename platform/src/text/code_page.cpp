// MultiByteToWideChar / WideCharToMultiByte: strict UTF-8 <-> UTF-16 with the Win32 contracts.
//
// Every accepted code page (CP_ACP, CP_OEMCP, CP_THREAD_ACP, CP_UTF8) is UTF-8 here, so the
// only difference between them is the flags each accepts, as documented for Windows:
// CP_UTF8 takes nothing but MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS and refuses a
// default character, the ANSI pages also take MB_PRECOMPOSED (a no-op: nothing is composed)
// and WC_NO_BEST_FIT_CHARS and tolerate a default character (never used, since nothing is
// replaced). Invalid input is refused whatever the flags: replacing it with U+FFFD or '?'
// would silently corrupt names and paths that go back to the file system.
#include "platform/hresult.h"
#include "platform/text.h"
#include "text/utf8.h"

#include <climits>
#include <cstring>

namespace {

constexpr DWORD kWcNoBestFitChars = 0x00000400;

bool isKnownCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP ||
           codePage == CP_UTF8;
}

int fail(DWORD error) {
    SetLastError(error);
    return 0;
}

} // namespace

extern "C" int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte,
                                   LPWSTR wide, int cchWide) {
    if (!isKnownCodePage(codePage)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD allowed =
        codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_ERR_INVALID_CHARS | MB_PRECOMPOSED);
    if ((flags & ~allowed) != 0) {
        return fail(ERROR_INVALID_FLAGS);
    }
    if (multiByte == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWide < 0 ||
        (wide == nullptr && cchWide > 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const size_t inLength =
        cbMultiByte == -1 ? std::strlen(multiByte) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* in = reinterpret_cast<const unsigned char*>(multiByte);

    // First pass: validate everything and count; nothing is written unless all of it fits.
    size_t needed = 0;
    for (size_t i = 0; i < inLength;) {
        char32_t cp = 0;
        const size_t n = platform::utf8::decode(in + i, inLength - i, &cp);
        if (n == 0) {
            return fail(ERROR_NO_UNICODE_TRANSLATION);
        }
        needed += cp >= 0x10000 ? 2 : 1;
        i += n;
    }
    if (needed > static_cast<size_t>(INT_MAX)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (cchWide == 0) {
        return static_cast<int>(needed);
    }
    if (needed > static_cast<size_t>(cchWide)) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    size_t out = 0;
    for (size_t i = 0; i < inLength;) {
        char32_t cp = 0;
        i += platform::utf8::decode(in + i, inLength - i, &cp);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            wide[out++] = static_cast<WCHAR>(0xD800 + (cp >> 10));
            wide[out++] = static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
        } else {
            wide[out++] = static_cast<WCHAR>(cp);
        }
    }
    return static_cast<int>(out);
}

extern "C" int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWide,
                                   LPSTR multiByte, int cbMultiByte, LPCSTR defaultChar,
                                   BOOL* usedDefaultChar) {
    if (!isKnownCodePage(codePage)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD allowed =
        codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : (WC_ERR_INVALID_CHARS | kWcNoBestFitChars);
    if ((flags & ~allowed) != 0) {
        return fail(ERROR_INVALID_FLAGS);
    }
    if (wide == nullptr || cchWide == 0 || cchWide < -1 || cbMultiByte < 0 ||
        (multiByte == nullptr && cbMultiByte > 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const size_t inLength =
        cchWide == -1 ? platform::wideLength(wide) + 1 : static_cast<size_t>(cchWide);

    auto next = [&](size_t& i, char32_t& cp) -> bool {
        const char16_t u = wide[i];
        if (platform::utf8::isHighSurrogate(u)) {
            if (i + 1 >= inLength || !platform::utf8::isLowSurrogate(wide[i + 1])) {
                return false;
            }
            cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                 (static_cast<char32_t>(wide[i + 1]) - 0xDC00);
            i += 2;
            return true;
        }
        if (platform::utf8::isLowSurrogate(u)) {
            return false;
        }
        cp = u;
        i += 1;
        return true;
    };
    auto encodedLength = [](char32_t cp) -> size_t {
        return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    };

    size_t needed = 0;
    for (size_t i = 0; i < inLength;) {
        char32_t cp = 0;
        if (!next(i, cp)) {
            return fail(ERROR_NO_UNICODE_TRANSLATION);
        }
        needed += encodedLength(cp);
    }
    if (needed > static_cast<size_t>(INT_MAX)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = FALSE;
    }
    if (cbMultiByte == 0) {
        return static_cast<int>(needed);
    }
    if (needed > static_cast<size_t>(cbMultiByte)) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = reinterpret_cast<unsigned char*>(multiByte);
    size_t o = 0;
    for (size_t i = 0; i < inLength;) {
        char32_t cp = 0;
        next(i, cp);
        switch (encodedLength(cp)) {
        case 1:
            out[o++] = static_cast<unsigned char>(cp);
            break;
        case 2:
            out[o++] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            out[o++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            break;
        case 3:
            out[o++] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            out[o++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            break;
        default:
            out[o++] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            out[o++] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            out[o++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            break;
        }
    }
    return static_cast<int>(o);
}

namespace platform {

size_t wideLength(LPCWSTR text) {
    if (text == nullptr) {
        return 0;
    }
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

} // namespace platform
