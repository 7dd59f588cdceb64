// libFuzzer target: the texts that carry credentials and keys: a client's host text with URL
// credentials, percent-encoding and base64, each checked to round-trip.
#include "net_socket.h"
#include "url_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    tavrel::StreamTarget target;
    if (tavrel::parseStreamTarget(text.c_str(), 7373, target)) {
        if (target.host.empty() || target.port <= 0 || target.port > 65535)
            std::abort();
        (void)tavrel::base64Encode(target.credentials);
    }

    if (auto decoded = tavrel::percentDecode(text, 4096)) {
        if (tavrel::percentDecode(tavrel::percentEncode(*decoded), 4096) != decoded)
            std::abort();
    }
    if (auto bytes = tavrel::base64Decode(text, 4096)) {
        if (tavrel::base64Decode(tavrel::base64Encode(*bytes), 4096) != bytes)
            std::abort();
    }
    if (tavrel::base64Decode(tavrel::base64Encode(text), size) != text)
        std::abort();
    (void)tavrel::queryValue(text, "key");
    return 0;
}
