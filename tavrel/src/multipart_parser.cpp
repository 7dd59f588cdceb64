// MultipartParser: boundary lines, part headers, then a body read by length or up to the delimiter.
#include "multipart_parser.h"

#include "text_util.h"

#include <algorithm>
#include <cstring>

namespace tavrel {

namespace {
constexpr size_t kMaxBoundary = 200;
} // namespace

MultipartParser::MultipartParser(std::string_view boundary, Limits limits)
    : m_limits(limits), m_boundary(boundary.substr(0, kMaxBoundary)) {
    if (!m_boundary.empty())
        m_delimiter = "\r\n--" + m_boundary;
}

MultipartParser::Status MultipartParser::fail(Status why) {
    m_state = State::Failed;
    return why;
}

bool MultipartParser::takeLine(const uint8_t* data, size_t size, size_t& i) {
    const void* nl = std::memchr(data + i, '\n', size - i);
    const size_t end = nl ? static_cast<size_t>(static_cast<const uint8_t*>(nl) - data) : size;
    const size_t room = m_limits.maxLine - std::min(m_limits.maxLine, m_line.size());
    if (end - i > room) {
        // Fails as soon as the line is too long, not at its end, which may never come.
        m_lineOverflow = true;
        i += room + 1;
        return false;
    }
    m_line.append(reinterpret_cast<const char*>(data + i), end - i);
    i = nl ? end + 1 : size;
    return nl != nullptr;
}

MultipartParser::Status MultipartParser::onBoundaryLine(std::string_view line) {
    line = trim(line);
    if (line.empty())
        return Status::NeedMore;
    if (m_boundary.empty()) {
        if (line.size() < 3 || line.size() > kMaxBoundary + 2 || line.substr(0, 2) != "--")
            return fail(Status::Malformed);
        m_boundary = line.substr(2);
        m_delimiter = "\r\n--" + m_boundary;
    }
    const std::string_view b = m_boundary;
    auto matches = [&](std::string_view l) {
        // Some servers repeat the dashes in the Content-Type's boundary parameter.
        return (l.size() == b.size() + 2 && l.substr(0, 2) == "--" && l.substr(2) == b) ||
               (b.substr(0, 2) == "--" && l == b);
    };
    if (matches(line)) {
        // The allowance is for the text between two parts; a long stream may hold any amount.
        m_skipped = 0;
        m_state = State::Headers;
        m_headerBytes = 0;
        m_type.clear();
        m_timestamp.clear();
        m_length.reset();
        return Status::NeedMore;
    }
    if (line.size() >= 2 && line.substr(line.size() - 2) == "--" &&
        matches(line.substr(0, line.size() - 2))) {
        m_state = State::End;
        return Status::End;
    }
    m_skipped += line.size();
    if (m_skipped > m_limits.maxSkipBytes)
        return fail(Status::Malformed);
    return Status::NeedMore;
}

MultipartParser::Status MultipartParser::onHeaderLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.empty()) {
        m_body.clear();
        if (m_length) {
            m_state = State::Body;
            if (*m_length == 0) {
                m_part = {m_type, m_timestamp, m_body.data(), 0};
                m_state = State::Boundary;
                return Status::Part;
            }
        } else {
            m_state = State::BodyToDelimiter;
        }
        return Status::NeedMore;
    }
    m_headerBytes += line.size();
    if (m_headerBytes > m_limits.maxHeaderBytes)
        return fail(Status::TooLarge);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
        return fail(Status::Malformed);
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim(line.substr(colon + 1));
    if (iequals(name, "Content-Type")) {
        m_type.assign(value);
    } else if (iequals(name, "Content-Length")) {
        auto len = parseDecimal(value, UINT64_MAX / 10);
        if (!len)
            return fail(Status::Malformed);
        if (*len > m_limits.maxPartBytes)
            return fail(Status::TooLarge);
        m_length = len;
    } else if (iequals(name, "X-Timestamp")) {
        m_timestamp.assign(value);
    }
    return Status::NeedMore;
}

MultipartParser::Status MultipartParser::feed(const uint8_t* data, size_t size, size_t& consumed) {
    size_t i = 0;
    Status result = Status::NeedMore;
    while (i < size && result == Status::NeedMore) {
        switch (m_state) {
        case State::Boundary:
        case State::Headers:
        case State::BoundaryTail: {
            const bool whole = takeLine(data, size, i);
            if (m_lineOverflow) {
                result = fail(Status::TooLarge);
                break;
            }
            if (!whole)
                break;
            if (m_state == State::Boundary) {
                result = onBoundaryLine(m_line);
            } else if (m_state == State::Headers) {
                result = onHeaderLine(m_line);
            } else {
                const std::string_view rest = trim(m_line);
                if (rest.substr(0, 2) == "--") {
                    m_state = State::End;
                    result = Status::End;
                } else if (rest.empty()) {
                    m_state = State::Headers;
                    m_headerBytes = 0;
                    m_type.clear();
                    m_timestamp.clear();
                    m_length.reset();
                } else {
                    result = fail(Status::Malformed);
                }
            }
            m_line.clear();
            break;
        }
        case State::Body: {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(*m_length - m_body.size(), size - i));
            m_body.insert(m_body.end(), data + i, data + i + n);
            i += n;
            if (m_body.size() == *m_length) {
                m_part = {m_type, m_timestamp, m_body.data(), m_body.size()};
                m_state = State::Boundary;
                result = Status::Part;
            }
            break;
        }
        case State::BodyToDelimiter: {
            // Append up to the next byte that could end the delimiter, then test the tail.
            const uint8_t last = static_cast<uint8_t>(m_delimiter.back());
            const void* hit = std::memchr(data + i, last, size - i);
            const size_t end =
                hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - data) + 1 : size;
            if (m_body.size() + (end - i) > m_limits.maxPartBytes + m_delimiter.size()) {
                result = fail(Status::TooLarge);
                break;
            }
            m_body.insert(m_body.end(), data + i, data + end);
            i = end;
            const size_t d = m_delimiter.size();
            if (hit && m_body.size() >= d &&
                std::memcmp(m_body.data() + m_body.size() - d, m_delimiter.data(), d) == 0) {
                m_part = {m_type, m_timestamp, m_body.data(), m_body.size() - d};
                m_state = State::BoundaryTail;
                result = Status::Part;
            }
            break;
        }
        case State::End:
            i = size;
            result = Status::End;
            break;
        case State::Failed:
            result = Status::Malformed;
            break;
        }
    }
    consumed = i;
    if (result == Status::NeedMore && m_state == State::End)
        result = Status::End;
    return result;
}

} // namespace tavrel
