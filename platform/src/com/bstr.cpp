// BSTR: a UTF-16 string with its byte length stored just before the first character.
#include "platform/com.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);

uint32_t* prefixOf(BSTR text) {
    return reinterpret_cast<uint32_t*>(text) - 1;
}

} // namespace

extern "C" PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    // The prefix holds the byte count in 32 bits.
    if (length > (std::numeric_limits<uint32_t>::max() - kPrefix) / sizeof(OLECHAR) - 1)
        return nullptr;
    const size_t bytes = size_t(length) * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    const uint32_t byteCount = static_cast<uint32_t>(bytes);
    std::memcpy(block, &byteCount, kPrefix);
    BSTR result = reinterpret_cast<BSTR>(block + kPrefix);
    if (text)
        std::memcpy(result, text, bytes);
    else
        std::memset(result, 0, bytes);
    result[length] = 0;
    return result;
}

extern "C" PLATFORM_API BSTR SysAllocString(const OLECHAR* text) {
    if (!text)
        return nullptr;
    UINT length = 0;
    while (text[length])
        ++length;
    return SysAllocStringLen(text, length);
}

extern "C" PLATFORM_API void SysFreeString(BSTR text) {
    if (text)
        std::free(prefixOf(text));
}

extern "C" PLATFORM_API UINT SysStringLen(BSTR text) {
    return text ? *prefixOf(text) / sizeof(OLECHAR) : 0;
}
