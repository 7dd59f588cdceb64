// libFuzzer target: the server's request parser, fed whole and in two pieces, and what the
// server reads from a request: raw demand, query key and Basic credentials.
#include "access_key.h"
#include "http_request_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
void inspect(const tavrel::HttpRequestParser& p) {
    (void)p.wantsRaw();
    (void)p.asksRawByQuery();
    const bool none = tavrel::requestCarriesKey(p.request(), "");
    const bool keyed = tavrel::requestCarriesKey(p.request(), "s3cret key");
    if (!none)
        std::abort(); // without a key every request passes
    (void)keyed;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    tavrel::HttpRequestParser whole;
    if (whole.feed(text, size) == tavrel::HttpRequestParser::Status::Complete)
        inspect(whole);
    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    tavrel::HttpRequestParser split;
    split.feed(text, cut);
    if (split.feed(text + cut, size - cut) == tavrel::HttpRequestParser::Status::Complete)
        inspect(split);
    return 0;
}
