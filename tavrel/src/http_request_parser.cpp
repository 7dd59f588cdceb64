// HttpRequestParser: the request line and the headers the server reads (Accept, Authorization,
// and whether a proxy forwarded the request).
#include "http_request_parser.h"

#include "raw_media_type.h"
#include "text_util.h"

#include <algorithm>
#include <cstring>

namespace tavrel {

HttpRequestParser::Status HttpRequestParser::feed(const char* data, size_t size) {
    if (m_status != Status::NeedMore)
        return m_status;
    const size_t old = m_len;
    const size_t take = std::min(size, kMaxHeadBytes - m_len);
    std::memcpy(m_buf.data() + m_len, data, take);
    m_len += take;
    const std::string_view buf(m_buf.data(), m_len);
    if (auto end = findHeadEnd(buf, old >= 3 ? old - 3 : 0))
        m_status = parse(buf.substr(0, *end));
    else if (m_len == kMaxHeadBytes)
        m_status = Status::TooLarge;
    return m_status;
}

HttpRequestParser::Status HttpRequestParser::parse(std::string_view head) {
    bool first = true;
    bool bad = false;
    bool seenAuthorization = false;
    forEachLine(head, [&](std::string_view line) {
        if (first) {
            first = false;
            const size_t sp1 = line.find(' ');
            const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
            if (sp2 == std::string_view::npos ||
                line.find(' ', sp2 + 1) != std::string_view::npos) {
                bad = true;
                return false;
            }
            const std::string_view method = line.substr(0, sp1);
            const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            const std::string_view version = line.substr(sp2 + 1);
            if (!isToken(method) || method.size() > 16 || target.empty() || target[0] != '/' ||
                (version != "HTTP/1.1" && version != "HTTP/1.0")) {
                bad = true;
                return false;
            }
            for (char c : target)
                if (c <= 32 || c >= 127) {
                    bad = true;
                    return false;
                }
            m_request.method = method;
            const size_t q = target.find('?');
            m_request.path = target.substr(0, q);
            m_request.query =
                q == std::string_view::npos ? std::string_view{} : target.substr(q + 1);
            return true;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
            bad = true; // also refuses obsolete folded lines, which start with a space
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        if (iequals(name, "Accept")) {
            const std::string_view types = line.substr(colon + 1);
            m_request.acceptsRaw = m_request.acceptsRaw || icontains(types, kRawMediaType);
            m_request.prefersStream =
                icontains(types, "multipart/x-mixed-replace") && !icontains(types, "text/html");
        }
        // A proxy (a TLS front) connects from its own address, this machine's when it runs
        // here: what it passes on comes from a viewer elsewhere.
        if (iequals(name, "Forwarded") || iequals(name, "X-Forwarded-For") ||
            iequals(name, "X-Real-IP"))
            m_request.forwarded = true;
        if (iequals(name, "Authorization")) {
            if (seenAuthorization) {
                bad = true; // two sets of credentials: which one counts is not ours to guess
                return false;
            }
            seenAuthorization = true;
            m_request.authorization = trim(line.substr(colon + 1));
        }
        return true;
    });
    if (bad || first) {
        m_request = {};
        return Status::Malformed;
    }
    return Status::Complete;
}

bool HttpRequestParser::asksRawByQuery() const {
    std::string_view q = m_request.query;
    while (!q.empty()) {
        const size_t amp = q.find('&');
        if (q.substr(0, amp) == "raw=1")
            return true;
        if (amp == std::string_view::npos)
            break;
        q.remove_prefix(amp + 1);
    }
    return false;
}

} // namespace tavrel
