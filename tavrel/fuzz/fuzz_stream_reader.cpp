// libFuzzer target: a peer's whole response (head, chunked framing, multipart), in small reads,
// and the check of each part's picture.
#include "jpeg_codec.h"
#include "raw_media_type.h"
#include "stream_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {
struct Sink : tavrel::StreamReader::Sink {
    size_t total = 0;
    tavrel::JpegDecoder decoder;
    void onPart(const tavrel::MultipartPart& part) override {
        tavrel::DibFormat f;
        // What the client checks before a part may fix the format: the raw type, or that the
        // picture decodes completely.
        if (tavrel::parseRawMediaType(part.contentType, f) == tavrel::RawTypeResult::NotRaw)
            (void)decoder.validate(part.data, part.size);
        // Touch every byte so the sanitizer sees any read past the part.
        for (size_t i = 0; i < part.size; ++i)
            total += part.data[i];
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t step = 1 + data[0] % 64; // read sizes vary with the input
    std::vector<uint8_t> copy(data + 1, data + size);
    tavrel::StreamReader reader;
    Sink sink;
    for (size_t off = 0; off < copy.size(); off += step) {
        const size_t n = std::min(step, copy.size() - off);
        if (reader.feed(copy.data() + off, n, sink) != tavrel::StreamReader::Status::NeedMore)
            break;
    }
    return 0;
}
