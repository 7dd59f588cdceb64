// Tests of the code-page conversions, bounded copies and comparisons of the platform base.
#include "platform/hresult.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// 日本語のテスト: Japanese text (3-byte UTF-8 characters) plus one emoji (4 bytes, a pair).
const char kJapanese[] = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86"
                         "\xE3\x82\xB9\xE3\x83\x88";
const char kEmoji[] = "\xF0\x9F\x98\x80"; // U+1F600

std::u16string toWide(const std::string& narrow, UINT cp = CP_UTF8) {
    const int n =
        MultiByteToWideChar(cp, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::u16string wide(static_cast<size_t>(n), u'\0');
    EXPECT_EQ(
        MultiByteToWideChar(cp, 0, narrow.data(), static_cast<int>(narrow.size()), wide.data(), n),
        n);
    return wide;
}

std::string toNarrow(const std::u16string& wide, UINT cp = CP_UTF8) {
    const int n = WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    EXPECT_EQ(WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                                  n, nullptr, nullptr),
              n);
    return narrow;
}

// Converting must fail with `error`, and say so through the last error.
void expectMbToWideFails(const std::string& bytes, DWORD error) {
    SetLastError(0);
    WCHAR out[16] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                  static_cast<int>(bytes.size()), out, 16),
              0);
    EXPECT_EQ(GetLastError(), error);
    // Without the flag too: invalid input is never replaced.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out, 16),
              0);
    EXPECT_EQ(GetLastError(), error);
    // And a size query does not pretend either.
    SetLastError(0);
    EXPECT_EQ(
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0),
        0);
    EXPECT_EQ(GetLastError(), error);
}

void expectWideToMbFails(const std::u16string& wide, DWORD error) {
    SetLastError(0);
    char out[32] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                                  static_cast<int>(wide.size()), out, 32, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), error);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), error);
}

} // namespace

TEST(TextLastError, IsKeptPerThread) {
    SetLastError(1234);
    DWORD seenByOther = 99;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(5);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(TextCodePageConversion, JapaneseAndEmojiRoundTrip) {
    const std::string text = std::string("camera ") + kJapanese + " " + kEmoji;
    const std::u16string wide = toWide(text);
    EXPECT_EQ(wide, u"camera 日本語のテスト 😀");
    // The emoji is a surrogate pair: two units, as Windows counts it against a limit.
    EXPECT_EQ(wide.size(), 7u + 7u + 1u + 2u);
    EXPECT_EQ(toNarrow(wide), text);
    // Every accepted code page is UTF-8.
    for (UINT cp : {CP_ACP, CP_OEMCP, CP_THREAD_ACP}) {
        EXPECT_EQ(toWide(text, cp), wide);
        EXPECT_EQ(toNarrow(wide, cp), text);
    }
}

TEST(TextCodePageConversion, MinusOneLengthCountsAndWritesTheTerminator) {
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kJapanese, -1, nullptr, 0), 8);
    WCHAR wide[8];
    std::memset(wide, 0xFF, sizeof wide);
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, kJapanese, -1, wide, 8), 8);
    EXPECT_EQ(wide[7], u'\0');
    EXPECT_EQ(std::u16string(wide), u"日本語のテスト");
    EXPECT_EQ(platform::wideLength(wide), 7u);

    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), 22);
    char narrow[22];
    std::memset(narrow, 'x', sizeof narrow);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, 22, nullptr, nullptr), 22);
    EXPECT_STREQ(narrow, kJapanese);
}

TEST(TextCodePageConversion, ExplicitLengthDoesNotAddATerminator) {
    WCHAR wide[4] = {u'#', u'#', u'#', u'#'};
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab", 2, wide, 4), 2);
    EXPECT_EQ(wide[2], u'#');
    // Embedded NULs are characters like any other.
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\0b", 3, wide, 4), 3);
    EXPECT_EQ(wide[1], u'\0');
    EXPECT_EQ(wide[2], u'b');
}

TEST(TextCodePageConversion, TooSmallOutputFailsAndWritesNothing) {
    WCHAR wide[8];
    std::memset(wide, 0xAB, sizeof wide);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kJapanese, -1, wide, 7), 0); // needs 8
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(wide[0], 0xABABu);

    // Room for the emoji's first unit only is still too small.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kEmoji, 4, wide, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    char narrow[8];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"日本", 2, narrow, 5, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"日本", 2, narrow, 6, nullptr, nullptr), 6);
}

TEST(TextCodePageConversion, BadArgumentsAreRefused) {
    WCHAR wide[4];
    char narrow[4];
    BOOL used = TRUE;
    struct Case {
        const char* what;
        std::function<int()> call;
        DWORD error;
    };
    const std::vector<Case> cases = {
        {"empty input", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"length below -1", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"null output with a size",
         [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4); },
         ERROR_INVALID_PARAMETER},
        {"code page 932", [&] { return MultiByteToWideChar(932, 0, "a", 1, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"UTF-7", [&] { return MultiByteToWideChar(65000, 0, "a", 1, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"MB_PRECOMPOSED with UTF-8",
         [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4); },
         ERROR_INVALID_FLAGS},
        {"empty wide input",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 0, narrow, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"code page 1252",
         [&] { return WideCharToMultiByte(1252, 0, u"a", 1, narrow, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"default char with UTF-8",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, "?", nullptr); },
         ERROR_INVALID_PARAMETER},
        {"used-default flag with UTF-8",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, nullptr, &used); },
         ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST(TextCodePageConversion, AnsiPagesTakeTheirUsualFlagsAndADefaultChar) {
    WCHAR wide[4];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "ab", -1, wide, 4), 3);
    char narrow[4];
    BOOL used = TRUE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ab", -1, narrow, 4, "?", &used), 3);
    EXPECT_EQ(used, FALSE); // nothing is ever replaced
}

TEST(TextCodePageConversion, InvalidUtf8IsAlwaysRefused) {
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"overlong slash (C0 AF)", "\xC0\xAF"},
        {"overlong NUL (C1 80)", "\xC1\x80"},
        {"overlong 3-byte (E0 80 AF)", "\xE0\x80\xAF"},
        {"overlong 4-byte (F0 80 80 AF)", "\xF0\x80\x80\xAF"},
        {"encoded high surrogate (ED A0 80)", "\xED\xA0\x80"},
        {"encoded low surrogate (ED BF BF)", "\xED\xBF\xBF"},
        {"above U+10FFFF (F4 90 80 80)", "\xF4\x90\x80\x80"},
        {"F5 lead byte", "\xF5\x80\x80\x80"},
        {"lone continuation", "a\x80z"},
        {"truncated 3-byte at end", "ab\xE6\x97"},
        {"truncated 4-byte at end", "\xF0\x9F\x98"},
        {"truncated sequence before ASCII", "\xE6\x97z"},
        {"FF byte", "\xFF"},
    };
    for (const auto& [what, bytes] : bad) {
        SCOPED_TRACE(what);
        expectMbToWideFails(bytes, ERROR_NO_UNICODE_TRANSLATION);
    }
    // A cut made by the length argument is as truncated as one at the end of the string.
    WCHAR wide[4];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kJapanese, 2, wide, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    // The boundary values themselves are fine.
    EXPECT_EQ(toWide("\xF4\x8F\xBF\xBF").size(), 2u); // U+10FFFF
    EXPECT_EQ(toWide("\xEE\x80\x80"), u"\uE000");     // first code point after the surrogates
    EXPECT_EQ(toWide("\xC2\x80"), u"\u0080");
}

TEST(TextCodePageConversion, UnpairedSurrogatesAreAlwaysRefused) {
    const std::vector<std::pair<const char*, std::u16string>> bad = {
        {"lone high at end", std::u16string(u"a") + char16_t(0xD83D)},
        {"lone low", std::u16string(1, char16_t(0xDE00)) + u"a"},
        {"high then ASCII", std::u16string(1, char16_t(0xD83D)) + u"a"},
        {"reversed pair", std::u16string{char16_t(0xDE00), char16_t(0xD83D)}},
        {"two highs", std::u16string{char16_t(0xD83D), char16_t(0xD83D)}},
    };
    for (const auto& [what, wide] : bad) {
        SCOPED_TRACE(what);
        expectWideToMbFails(wide, ERROR_NO_UNICODE_TRANSLATION);
    }
    // A pair cut by the length argument is unpaired.
    char narrow[8];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"😀", 1, narrow, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(TextBoundedCopy, MbsnbcpyNeverSplitsAJapaneseCharacter) {
    unsigned char dest[16];
    const auto* src = reinterpret_cast<const unsigned char*>(kJapanese); // 3 bytes each
    // 7 bytes would end one byte into the third character: only two whole ones are copied.
    ASSERT_EQ(_mbsnbcpy_s(dest, sizeof dest, src, 7), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(dest), "\xE6\x97\xA5\xE6\x9C\xAC");
    ASSERT_EQ(_mbsnbcpy_s(dest, sizeof dest, src, 6), 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<char*>(dest)), 6u);
    ASSERT_EQ(_mbsnbcpy_s(dest, sizeof dest, src, 2), 0);
    EXPECT_EQ(dest[0], 0);
    // A count past the end copies the whole string.
    ASSERT_EQ(_mbsnbcpy_s(dest, sizeof dest, reinterpret_cast<const unsigned char*>("abc"), 100),
              0);
    EXPECT_STREQ(reinterpret_cast<char*>(dest), "abc");
}

TEST(TextBoundedCopy, MbsnbcpyTooSmallDestinationEmptiesItWithErange) {
    unsigned char dest[6];
    std::memset(dest, 'x', sizeof dest);
    const auto* src = reinterpret_cast<const unsigned char*>(kJapanese);
    EXPECT_EQ(_mbsnbcpy_s(dest, sizeof dest, src, 6), ERANGE); // 6 bytes + NUL > 6
    EXPECT_EQ(dest[0], 0);
    EXPECT_EQ(_mbsnbcpy_s(dest, 0, src, 1), EINVAL);
    EXPECT_EQ(_mbsnbcpy_s(nullptr, 4, src, 1), EINVAL);
    dest[0] = 'x';
    EXPECT_EQ(_mbsnbcpy_s(dest, sizeof dest, nullptr, 1), EINVAL);
    EXPECT_EQ(dest[0], 0);
}

TEST(TextBoundedCopy, MbsnbcpyTruncateCutsAtAWholeCharacter) {
    unsigned char dest[8]; // room for 7 bytes: two characters and a third's first byte
    EXPECT_EQ(_mbsnbcpy_s(dest, sizeof dest, reinterpret_cast<const unsigned char*>(kJapanese),
                          _TRUNCATE),
              STRUNCATE);
    EXPECT_STREQ(reinterpret_cast<char*>(dest), "\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(
        _mbsnbcpy_s(dest, sizeof dest, reinterpret_cast<const unsigned char*>("short"), _TRUNCATE),
        0);
}

TEST(TextBoundedCopy, CopyUtf8BoundedCutsAtTheLastWholeCharacter) {
    char dest[5];
    // "a" + emoji (4 bytes) needs 6 bytes with the NUL: only "a" fits whole.
    const std::string src = std::string("a") + kEmoji;
    EXPECT_EQ(platform::copyUtf8Bounded(dest, sizeof dest, src.c_str()), 1u);
    EXPECT_STREQ(dest, "a");
    char room[6];
    EXPECT_EQ(platform::copyUtf8Bounded(room, sizeof room, src.c_str()), 5u);
    EXPECT_EQ(std::string(room), src);
    EXPECT_EQ(platform::copyUtf8Bounded(dest, 0, "abc"), 0u);
    EXPECT_EQ(platform::copyUtf8Bounded(dest, 1, "abc"), 0u);
    EXPECT_STREQ(dest, "");
    // Malformed bytes are copied as single bytes, never grouped with what follows.
    EXPECT_EQ(platform::copyUtf8Bounded(dest, sizeof dest, "\xE6z\xFFwx"), 4u);
    EXPECT_STREQ(dest, "\xE6z\xFFw");
}

TEST(TextCompare, CaseInsensitiveFoldsAsciiOnly) {
    EXPECT_EQ(_stricmp("Network", "NETWORK"), 0);
    EXPECT_LT(_stricmp("abc", "ABD"), 0);
    EXPECT_GT(_stricmp("abd", "ABC"), 0);
    EXPECT_LT(_stricmp("ab", "ABC"), 0);
    // Letters fold to lower case, as _stricmp does: '^' (0x5E) sorts before 'e' (0x65),
    // though strcmp puts it after 'E' (0x45).
    EXPECT_LT(_stricmp("^", "E"), 0);
    EXPECT_EQ(_strnicmp("DEVICE_PATH", "device_name", 7), 0);
    EXPECT_NE(_strnicmp("DEVICE_PATH", "device_name", 8), 0);
    // Non-ASCII letters do not fold: "É" and "é" differ.
    EXPECT_NE(_stricmp("\xC3\x89", "\xC3\xA9"), 0);
    EXPECT_EQ(_stricmp(nullptr, "a"), _NLSCMPERROR);
}

TEST(TextCompare, MultibyteComparisonsCountCharactersOrBytes) {
    const auto* a = reinterpret_cast<const unsigned char*>("\xE6\x97\xA5\xE6\x9C\xAC"
                                                           "A");
    const auto* b = reinterpret_cast<const unsigned char*>("\xE6\x97\xA5\xE6\x9C\xAC"
                                                           "a");
    EXPECT_EQ(_mbsicmp(a, b), 0);
    EXPECT_NE(_mbsncmp(a, b, 3), 0);
    EXPECT_EQ(_mbsncmp(a, b, 2), 0); // two characters: six bytes
    EXPECT_EQ(_mbsnbcmp(a, b, 6), 0);
    EXPECT_NE(_mbsnbcmp(a, b, 7), 0);
    // UTF-8 order is code-point order: U+65E5 (日) sorts before U+672C (本).
    const auto* hi = reinterpret_cast<const unsigned char*>("\xE6\x97\xA5");
    const auto* hon = reinterpret_cast<const unsigned char*>("\xE6\x9C\xAC");
    EXPECT_LT(_mbsicmp(hi, hon), 0);
    EXPECT_LT(_mbsncmp(hi, hon, 1), 0);
    EXPECT_GT(_mbsncmp(hon, hi, 1), 0);
    // A shorter string that is a prefix sorts first.
    EXPECT_LT(_mbsncmp(hi, a, 5), 0);
    EXPECT_EQ(_mbsncmp(nullptr, a, 1), _NLSCMPERROR);
}

namespace {

// The first and last code point of every UTF-8 encoding length, with their bytes and UTF-16.
struct Boundary {
    const char* what;
    std::string utf8;
    std::u16string utf16;
};
const std::vector<Boundary> kBoundaries = {
    {"U+0001", "\x01", u"\u0001"},
    {"U+007F", "\x7F", u"\u007F"},
    {"U+0080", "\xC2\x80", u"\u0080"},
    {"U+07FF", "\xDF\xBF", u"\u07FF"},
    {"U+0800", "\xE0\xA0\x80", u"\u0800"},
    {"U+D7FF", "\xED\x9F\xBF", u"\uD7FF"},
    {"U+E000", "\xEE\x80\x80", u"\uE000"},
    {"U+FFFF", "\xEF\xBF\xBF", std::u16string(1, char16_t(0xFFFF))},
    {"U+10000", "\xF0\x90\x80\x80", u"\U00010000"},
    {"U+10FFFF", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
};

} // namespace

TEST(TextCodePageConversion, EveryEncodingLengthBoundaryRoundTrips) {
    for (const Boundary& b : kBoundaries) {
        SCOPED_TRACE(b.what);
        EXPECT_EQ(toWide(b.utf8), b.utf16);
        EXPECT_EQ(toNarrow(b.utf16), b.utf8);
        // Between ASCII neighbours, so a wrong length would swallow or split them.
        EXPECT_EQ(toWide("a" + b.utf8 + "z"), u"a" + b.utf16 + u"z");
        EXPECT_EQ(toNarrow(u"a" + b.utf16 + u"z"), "a" + b.utf8 + "z");
    }
    // One step past each boundary in the other direction is an overlong or out-of-range form.
    for (const char* bad : {"\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80"}) {
        SCOPED_TRACE(bad);
        expectMbToWideFails(bad, ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST(TextBoundedCopy, CopyUtf8BoundedKeepsOrDropsEachBoundaryCharacterWhole) {
    for (const Boundary& b : kBoundaries) {
        SCOPED_TRACE(b.what);
        const std::string text = "ab" + b.utf8;
        char dest[8];
        // Room for the character exactly: copied whole.
        std::memset(dest, '#', sizeof dest);
        EXPECT_EQ(platform::copyUtf8Bounded(dest, text.size() + 1, text.c_str()), text.size());
        EXPECT_EQ(std::string(dest), text);
        // One byte short: the character is left out, never cut.
        std::memset(dest, '#', sizeof dest);
        EXPECT_EQ(platform::copyUtf8Bounded(dest, text.size(), text.c_str()), 2u);
        EXPECT_EQ(std::string(dest), "ab");
        EXPECT_EQ(dest[text.size()], '#'); // nothing written past the size given
    }
}
