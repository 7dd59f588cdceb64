// The server's optional access key: how a request proves it knows the key.
#pragma once

#include "http_request_parser.h"

#include <string_view>

namespace tavrel {

inline constexpr size_t kMaxAccessKeyBytes = 128;

// A key is 1 to 128 bytes without control characters (it travels in URLs and credentials).
bool validAccessKey(std::string_view key);

// True when `key` is empty (no key set) or the request carries it: "key=" in the query
// (percent-encoded) or HTTP Basic credentials whose password is the key, whatever the user name.
bool requestCarriesKey(const HttpRequest& request, std::string_view key);

} // namespace tavrel
