// StreamReader: response head, then optional chunked decoding, then the multipart parts.
#include "stream_reader.h"

#include "text_util.h"

namespace tavrel {

std::string_view StreamReader::boundaryOf(std::string_view contentType) {
    const std::string_view type = trim(contentType.substr(0, contentType.find(';')));
    if (type.size() < 10 || !iequals(type.substr(0, 10), "multipart/"))
        return {};
    size_t semi = contentType.find(';');
    while (semi != std::string_view::npos) {
        const std::string_view rest = contentType.substr(semi + 1);
        const size_t next = rest.find(';');
        const std::string_view param = trim(rest.substr(0, next));
        semi = next == std::string_view::npos ? next : semi + 1 + next;
        const size_t eq = param.find('=');
        if (eq == std::string_view::npos || !iequals(trim(param.substr(0, eq)), "boundary"))
            continue;
        std::string_view value = trim(param.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

StreamReader::Status StreamReader::failWith(const char* why) {
    if (!m_error)
        m_error = why;
    return Status::Error;
}

StreamReader::Status StreamReader::feed(uint8_t* data, size_t size, Sink& sink) {
    if (m_error)
        return Status::Error;
    if (m_ended)
        return Status::End;
    if (!m_multipart) {
        size_t used = 0;
        switch (m_head.feed(data, size, used)) {
        case HttpResponseParser::Status::NeedMore:
            return Status::NeedMore;
        case HttpResponseParser::Status::TooLarge:
            return failWith("response head too large");
        case HttpResponseParser::Status::Malformed:
            return failWith("malformed response head");
        case HttpResponseParser::Status::Complete:
            break;
        }
        if (m_head.statusCode() != 200)
            return failWith("response status is not 200");
        const std::string_view boundary = boundaryOf(m_head.contentType());
        if (boundary.size() > 200)
            return failWith("boundary too long");
        // Without a usable boundary the body's first "--token" line names it.
        m_multipart.emplace(boundary);
        data += used;
        size -= used;
    }
    if (m_head.chunked()) {
        size_t payload = 0;
        const ChunkedDecoder::Status s = m_chunks.decode(data, size, payload);
        if (s == ChunkedDecoder::Status::Malformed)
            return failWith("malformed chunked body");
        const Status r = feedBody(data, payload, sink);
        if (r == Status::NeedMore && s == ChunkedDecoder::Status::Done) {
            m_ended = true;
            return Status::End;
        }
        return r;
    }
    return feedBody(data, size, sink);
}

StreamReader::Status StreamReader::feedBody(const uint8_t* data, size_t size, Sink& sink) {
    while (size > 0) {
        size_t used = 0;
        switch (m_multipart->feed(data, size, used)) {
        case MultipartParser::Status::Part:
            sink.onPart(m_multipart->part());
            break;
        case MultipartParser::Status::NeedMore:
            break;
        case MultipartParser::Status::End:
            m_ended = true;
            return Status::End;
        case MultipartParser::Status::TooLarge:
            return failWith("multipart part or header too large");
        case MultipartParser::Status::Malformed:
            return failWith("malformed multipart body");
        }
        data += used;
        size -= used;
    }
    return Status::NeedMore;
}

} // namespace tavrel
