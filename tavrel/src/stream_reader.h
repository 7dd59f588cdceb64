// StreamReader: turns the bytes of an HTTP response carrying a multipart stream into parts.
#pragma once

#include "chunked_decoder.h"
#include "http_response_parser.h"
#include "multipart_parser.h"

#include <optional>

namespace tavrel {

class StreamReader {
public:
    // Receives every complete part, synchronously; the part's bytes are valid during the call.
    class Sink {
    public:
        virtual void onPart(const MultipartPart& part) = 0;

    protected:
        ~Sink() = default;
    };
    enum class Status { NeedMore, End, Error };

    // `data` is modified: chunked framing is removed in place.
    Status feed(uint8_t* data, size_t size, Sink& sink);
    const char* error() const { return m_error; }
    bool headComplete() const { return m_multipart.has_value(); }

    // The multipart boundary a Content-Type names ("" when it names none); exposed for tests.
    static std::string_view boundaryOf(std::string_view contentType);

private:
    Status failWith(const char* why);
    Status feedBody(const uint8_t* data, size_t size, Sink& sink);

    HttpResponseParser m_head;
    ChunkedDecoder m_chunks;
    std::optional<MultipartParser> m_multipart;
    const char* m_error = nullptr;
    bool m_ended = false;
};

} // namespace tavrel
