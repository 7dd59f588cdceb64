// Access key checks; the comparison takes the same time wherever the texts first differ.
#include "access_key.h"

#include "text_util.h"
#include "url_text.h"

namespace tavrel {

namespace {
bool sameKey(std::string_view given, std::string_view key) {
    unsigned diff = given.size() == key.size() ? 0u : 1u;
    for (size_t i = 0; i < key.size(); ++i)
        diff |= static_cast<unsigned char>(key[i]) ^
                static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    return diff == 0;
}

// The password of "Basic base64(user:password)"; empty when there is none.
std::string basicPassword(std::string_view authorization) {
    authorization = trim(authorization);
    const size_t space = authorization.find(' ');
    if (space == std::string_view::npos || !iequals(authorization.substr(0, space), "Basic"))
        return {};
    auto decoded = base64Decode(trim(authorization.substr(space + 1)), 2 * kMaxAccessKeyBytes + 64);
    if (!decoded)
        return {};
    const size_t colon = decoded->find(':');
    return colon == std::string::npos ? std::string{} : decoded->substr(colon + 1);
}
} // namespace

bool validAccessKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxAccessKeyBytes)
        return false;
    for (char c : key)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            return false;
    return true;
}

bool requestCarriesKey(const HttpRequest& request, std::string_view key) {
    if (key.empty())
        return true;
    bool ok = false;
    if (auto raw = queryValue(request.query, "key"))
        if (auto value = percentDecode(*raw, kMaxAccessKeyBytes))
            ok = sameKey(*value, key);
    if (!request.authorization.empty())
        ok = sameKey(basicPassword(request.authorization), key) || ok;
    return ok;
}

} // namespace tavrel
