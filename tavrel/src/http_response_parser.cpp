// HttpResponseParser: status line, Content-Type, Transfer-Encoding and Content-Length.
#include "http_response_parser.h"

#include "text_util.h"

#include <algorithm>

namespace tavrel {

HttpResponseParser::Status HttpResponseParser::feed(const uint8_t* data, size_t size,
                                                    size_t& consumed) {
    consumed = 0;
    if (m_status != Status::NeedMore)
        return m_status;
    const size_t old = m_head.size();
    const size_t take = std::min(size, kMaxHeadBytes - old);
    m_head.append(reinterpret_cast<const char*>(data), take);
    if (auto end = findHeadEnd(m_head, old >= 3 ? old - 3 : 0)) {
        consumed = *end - old;
        m_head.resize(*end);
        m_status = parse();
    } else {
        consumed = take;
        if (m_head.size() == kMaxHeadBytes)
            m_status = Status::TooLarge;
    }
    return m_status;
}

HttpResponseParser::Status HttpResponseParser::parse() {
    bool first = true;
    bool bad = false;
    forEachLine(m_head, [&](std::string_view line) {
        if (first) {
            first = false;
            // "HTTP/1.x 200 reason"; the reason is optional.
            if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ' ||
                (line.size() > 12 && line[12] != ' ')) {
                bad = true;
                return false;
            }
            auto code = parseDecimal(line.substr(9, 3), 999);
            if (!code || *code < 100) {
                bad = true;
                return false;
            }
            m_statusCode = static_cast<int>(*code);
            return true;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
            bad = true;
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (iequals(name, "Content-Type")) {
            m_contentType.assign(value);
        } else if (iequals(name, "Transfer-Encoding")) {
            m_chunked = icontains(value, "chunked");
        } else if (iequals(name, "Content-Length")) {
            auto len = parseDecimal(value, UINT64_MAX / 10);
            if (!len || (m_contentLength && *m_contentLength != *len)) {
                bad = true;
                return false;
            }
            m_contentLength = len;
        }
        return true;
    });
    return (bad || first) ? Status::Malformed : Status::Complete;
}

} // namespace tavrel
