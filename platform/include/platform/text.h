// Narrow and wide text: UTF-8 is the narrow ("ANSI") code page, UTF-16 the wide one.
#pragma once

#include "api.h"
#include "wintypes.h"

#include <cstddef>

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_OEMCP = 1;
inline constexpr UINT CP_THREAD_ACP = 3;
inline constexpr UINT CP_UTF8 = 65001;

inline constexpr DWORD MB_PRECOMPOSED = 0x00000001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

using errno_t = int;
// The count that asks a bounded copy to cut what does not fit instead of failing, and the
// result that says it did.
inline constexpr size_t _TRUNCATE = static_cast<size_t>(-1);
inline constexpr errno_t STRUNCATE = 80;
// What the comparisons return for a null argument.
inline constexpr int _NLSCMPERROR = 2147483647;

extern "C" {

// Thread-local last-error value, as the Win32 calls set it.
PLATFORM_API DWORD GetLastError();
PLATFORM_API void SetLastError(DWORD error);

// Code-page conversions with the documented contracts: a length of -1 takes the whole
// NUL-terminated string (and counts the terminator); an output size of 0 asks for the size
// needed; a too-small output fails with 0 (ERROR_INSUFFICIENT_BUFFER). Every code page
// accepted (CP_ACP, CP_OEMCP, CP_THREAD_ACP, CP_UTF8) is UTF-8 here; any other code page
// fails with ERROR_INVALID_PARAMETER. Invalid input (overlong or truncated UTF-8, encoded
// surrogates, code points above U+10FFFF, unpaired UTF-16 surrogates) is always refused
// (ERROR_NO_UNICODE_TRANSLATION), never replaced, whatever the flags; nothing is written
// unless the whole result fits. An input length of 0 fails with ERROR_INVALID_PARAMETER.
// Flags, as Windows takes them: CP_UTF8 accepts only MB_ERR_INVALID_CHARS /
// WC_ERR_INVALID_CHARS and refuses a default character or a used-default flag
// (ERROR_INVALID_PARAMETER); the ANSI pages also accept MB_PRECOMPOSED and
// WC_NO_BEST_FIT_CHARS and a default character, which is never used (*usedDefaultChar is set
// to FALSE). Other flags fail with ERROR_INVALID_FLAGS.
PLATFORM_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte,
                                     LPWSTR wide, int cchWide);
PLATFORM_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWide,
                                     LPSTR multiByte, int cbMultiByte, LPCSTR defaultChar,
                                     BOOL* usedDefaultChar);

// Copies at most `count` bytes of `src` (fewer if it ends first) into `dest` (of `destSize`
// bytes), never splitting a UTF-8 sequence: a character that `count` would cut is left out
// whole. Always NUL-terminates. 0 on success; EINVAL for a null or empty `dest` or a null
// `src` (then `dest` is emptied); ERANGE (and an empty `dest`) when what is to be copied does
// not fit. With `count` = _TRUNCATE as much as fits is copied, and STRUNCATE says it was cut.
PLATFORM_API errno_t _mbsnbcpy_s(unsigned char* dest, size_t destSize, const unsigned char* src,
                                 size_t count);

// Comparisons: < 0, 0 or > 0 as `a` sorts before, equal to or after `b`; _NLSCMPERROR for
// a null argument. The case-insensitive ones fold ASCII letters to lower case, other bytes
// compare as they are. UTF-8 keeps code-point order byte by byte, so comparing bytes is
// comparing characters; only the counts differ: _mbsncmp counts characters, the others bytes.
PLATFORM_API int _stricmp(const char* a, const char* b);
PLATFORM_API int _strnicmp(const char* a, const char* b, size_t count);
PLATFORM_API int _mbsicmp(const unsigned char* a, const unsigned char* b);
PLATFORM_API int _mbsncmp(const unsigned char* a, const unsigned char* b, size_t count);
PLATFORM_API int _mbsnbcmp(const unsigned char* a, const unsigned char* b, size_t count);

} // extern "C"

namespace platform {

// Copies `src` into `dest` (of `destSize` bytes), cutting it at the last whole UTF-8
// character that fits; always NUL-terminates when destSize > 0. Returns the bytes copied.
PLATFORM_API size_t copyUtf8Bounded(char* dest, size_t destSize, const char* src);

// Length in UTF-16 units of a NUL-terminated wide string.
PLATFORM_API size_t wideLength(LPCWSTR text);

} // namespace platform
