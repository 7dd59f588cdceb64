// MultipartParser: splits a multipart/x-mixed-replace body into parts, across split reads, bounded.
#pragma once

#include "dib_format.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

struct MultipartPart {
    std::string_view contentType;
    std::string_view timestamp; // our X-Timestamp header, empty when absent
    const uint8_t* data = nullptr;
    size_t size = 0;
};

struct MultipartLimits {
    size_t maxLine = 1024;
    size_t maxHeaderBytes = 8192;
    size_t maxPartBytes = kMaxFrameBytes;
    size_t maxSkipBytes = size_t{1} << 20; // stray text tolerated before each boundary line
};

class MultipartParser {
public:
    using Limits = MultipartLimits;
    enum class Status { NeedMore, Part, End, Malformed, TooLarge };

    // An empty boundary is learnt from the body's first "--token" line, for servers that
    // mislabel the stream's Content-Type.
    explicit MultipartParser(std::string_view boundary = {}, Limits limits = MultipartLimits{});

    // Consumes input until one part is complete (Part: read it with part() before feeding on),
    // the input is used up (NeedMore), or the body ends or fails. The part's bytes are owned by
    // the parser; the buffer is reused from part to part.
    Status feed(const uint8_t* data, size_t size, size_t& consumed);
    const MultipartPart& part() const { return m_part; }
    const std::string& boundary() const { return m_boundary; }

private:
    enum class State { Boundary, Headers, Body, BodyToDelimiter, BoundaryTail, End, Failed };

    // Gathers one line (without its ending) into m_line; false while it is incomplete or once
    // it has grown past the limit (m_lineOverflow).
    bool takeLine(const uint8_t* data, size_t size, size_t& i);
    Status onBoundaryLine(std::string_view line);
    Status onHeaderLine(std::string_view line);
    Status fail(Status why);

    Limits m_limits;
    std::string m_boundary;
    std::string m_delimiter; // "\r\n--" + boundary, ends a part that has no Content-Length
    State m_state = State::Boundary;
    std::string m_line;
    bool m_lineOverflow = false;
    size_t m_skipped = 0;
    size_t m_headerBytes = 0;
    std::string m_type;
    std::string m_timestamp;
    std::optional<uint64_t> m_length;
    std::vector<uint8_t> m_body;
    MultipartPart m_part;
};

} // namespace tavrel
