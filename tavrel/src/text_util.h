// Small helpers for the ASCII protocol text the parsers read: trimming, case-blind compare,
// numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavrel {

inline bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && (isSpace(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The value of one hexadecimal digit, or -1.
inline int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

inline bool icontains(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size())
        return false;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
        if (iequals(hay.substr(i, needle.size()), needle))
            return true;
    return false;
}

// Decimal digits only, no sign, no overflow past `max`.
inline std::optional<uint64_t> parseDecimal(std::string_view s, uint64_t max) {
    if (s.empty() || s.size() > 19)
        return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > max)
            return std::nullopt;
    }
    return v;
}

// Finds the end of an HTTP head ("\r\n\r\n" or a bare "\n\n"); returns the index just past it.
inline std::optional<size_t> findHeadEnd(std::string_view buf, size_t from) {
    for (size_t i = from; i < buf.size(); ++i) {
        if (buf[i] != '\n')
            continue;
        if (i >= 1 && buf[i - 1] == '\n')
            return i + 1;
        if (i >= 2 && buf[i - 1] == '\r' && buf[i - 2] == '\n')
            return i + 1;
    }
    return std::nullopt;
}

// Calls fn(line) for each line of a head, without its line ending; stops at the empty line.
template <class Fn> void forEachLine(std::string_view head, Fn&& fn) {
    while (!head.empty()) {
        size_t nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || !fn(line))
            return;
        if (nl == std::string_view::npos)
            return;
        head.remove_prefix(nl + 1);
    }
}

// An HTTP token (method, header name): visible ASCII without separators.
inline bool isToken(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (c <= 32 || c >= 127)
            return false;
        if (std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

} // namespace tavrel
