// libFuzzer target: the raw frame type's parameters, and that what parses also round-trips.
#include "raw_media_type.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tavrel::DibFormat f;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (tavrel::parseRawMediaType(text, f) != tavrel::RawTypeResult::Ok)
        return 0;
    if (!f.valid())
        std::abort();
    char out[128];
    tavrel::DibFormat again;
    const size_t n = tavrel::formatRawMediaType(f, out, sizeof out);
    if (n == 0 ||
        tavrel::parseRawMediaType(std::string_view(out, n), again) != tavrel::RawTypeResult::Ok ||
        !(again == f))
        std::abort();
    return 0;
}
