// Text codings of URLs and HTTP credentials: percent-encoding, query parameters and base64.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel {

// Percent-decodes `text`; nullopt on a malformed escape, a control character or a result
// longer than `maxBytes`. '+' stays '+' (keys are not form data).
std::optional<std::string> percentDecode(std::string_view text, size_t maxBytes);

// Percent-encodes everything but RFC 3986's unreserved characters, so the result is safe in a
// URL's query and in an HTML attribute alike.
std::string percentEncode(std::string_view text);

// The raw (still encoded) value of the first `name=value` pair of a query string, if present.
std::optional<std::string_view> queryValue(std::string_view query, std::string_view name);

std::string base64Encode(std::string_view bytes);
// Standard alphabet with padding; nullopt on anything else or a result over `maxBytes`.
std::optional<std::string> base64Decode(std::string_view text, size_t maxBytes);

} // namespace tavrel
