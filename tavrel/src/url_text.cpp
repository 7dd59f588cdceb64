// Percent-encoding, query lookup and base64, strictly bounded: every input here is a peer's.
#include "url_text.h"

#include "text_util.h"

#include <cstdint>

namespace tavrel {

namespace {
int base64Digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
} // namespace

std::optional<std::string> percentDecode(std::string_view text, size_t maxBytes) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int hi = hexDigit(text[i + 1]);
            const int lo = hexDigit(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || out.size() >= maxBytes)
            return std::nullopt;
        out.push_back(c);
    }
    return out;
}

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        }
    }
    return out;
}

std::optional<std::string_view> queryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=')
            return pair.substr(name.size() + 1);
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<uint8_t>(bytes[i + 2]);
        out.push_back(kBase64[(v >> 18) & 63]);
        out.push_back(kBase64[(v >> 12) & 63]);
        out.push_back(i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=');
        out.push_back(i + 2 < bytes.size() ? kBase64[v & 63] : '=');
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text, size_t maxBytes) {
    if (text.size() % 4 != 0 || text.size() / 4 * 3 > maxBytes + 2)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int d[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + static_cast<size_t>(k)];
            if (c == '=' && last && k >= 2) {
                d[k] = 0;
                ++pad;
                continue;
            }
            d[k] = base64Digit(c);
            if (d[k] < 0 || pad > 0) // a digit after padding
                return std::nullopt;
        }
        const uint32_t v = static_cast<uint32_t>(d[0]) << 18 | static_cast<uint32_t>(d[1]) << 12 |
                           static_cast<uint32_t>(d[2]) << 6 | static_cast<uint32_t>(d[3]);
        out.push_back(static_cast<char>(v >> 16));
        if (pad < 2)
            out.push_back(static_cast<char>((v >> 8) & 255));
        if (pad < 1)
            out.push_back(static_cast<char>(v & 255));
    }
    if (out.size() > maxBytes)
        return std::nullopt;
    return out;
}

} // namespace tavrel
