// HttpResponseParser: reads the status line and headers of a peer's HTTP response, bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavrel {

class HttpResponseParser {
public:
    static constexpr size_t kMaxHeadBytes = 16384;
    enum class Status { NeedMore, Complete, TooLarge, Malformed };

    // Takes bytes up to the end of the head and no further; `consumed` says how many, so the
    // caller hands the rest to the body reader.
    Status feed(const uint8_t* data, size_t size, size_t& consumed);

    int statusCode() const { return m_statusCode; }
    const std::string& contentType() const { return m_contentType; }
    bool chunked() const { return m_chunked; }
    std::optional<uint64_t> contentLength() const { return m_contentLength; }

private:
    Status parse();

    std::string m_head; // grows to at most kMaxHeadBytes
    Status m_status = Status::NeedMore;
    int m_statusCode = 0;
    std::string m_contentType;
    bool m_chunked = false;
    std::optional<uint64_t> m_contentLength;
};

} // namespace tavrel
