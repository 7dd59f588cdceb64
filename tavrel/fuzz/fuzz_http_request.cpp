// libFuzzer target: the server's request parser, fed whole and in two pieces.
#include "http_request_parser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    tavrel::HttpRequestParser whole;
    if (whole.feed(text, size) == tavrel::HttpRequestParser::Status::Complete)
        (void)whole.wantsRaw();
    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    tavrel::HttpRequestParser split;
    split.feed(text, cut);
    if (split.feed(text + cut, size - cut) == tavrel::HttpRequestParser::Status::Complete)
        (void)split.wantsRaw();
    return 0;
}
