// HttpRequestParser: reads one HTTP/1.x request head from a peer into a fixed buffer, bounded.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tavrel {

struct HttpRequest {
    std::string_view method;
    std::string_view path;          // target without its query
    std::string_view query;         // after '?', may be empty
    std::string_view authorization; // the Authorization header's value, empty when absent
    bool acceptsRaw = false;        // Accept names our raw frame type
    bool prefersStream = false;     // Accept names a multipart stream and no HTML page
    bool forwarded = false;         // a proxy passed it on (Forwarded, X-Forwarded-For, X-Real-IP)
};

class HttpRequestParser {
public:
    static constexpr size_t kMaxHeadBytes = 8192;
    enum class Status { NeedMore, Complete, TooLarge, Malformed };

    // Bytes after the head are ignored: the server answers one request per connection.
    Status feed(const char* data, size_t size);
    Status status() const { return m_status; }
    const HttpRequest& request() const { return m_request; }
    // Raw frames asked for by the query ("raw=1") or by Accept.
    bool wantsRaw() const { return asksRawByQuery() || m_request.acceptsRaw; }
    // "raw=1" in the query: an explicit demand, which a server may refuse, where Accept only
    // states a preference that it may answer with JPEG.
    bool asksRawByQuery() const;

private:
    Status parse(std::string_view head);

    std::array<char, kMaxHeadBytes> m_buf{};
    size_t m_len = 0;
    Status m_status = Status::NeedMore;
    HttpRequest m_request;
};

} // namespace tavrel
