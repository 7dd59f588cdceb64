// Parsing and writing of the raw frame media type's parameters, strictly bounded.
#include "raw_media_type.h"

#include "text_util.h"

#include <cstdio>

namespace tavrel {

namespace {
std::string_view mediaTypeName(std::string_view contentType) {
    return trim(contentType.substr(0, contentType.find(';')));
}
} // namespace

bool isJpegMediaType(std::string_view contentType) {
    return iequals(mediaTypeName(contentType), kJpegMediaType);
}

RawTypeResult parseRawMediaType(std::string_view contentType, DibFormat& out) {
    if (!iequals(mediaTypeName(contentType), kRawMediaType))
        return RawTypeResult::NotRaw;
    int values[3] = {-1, -1, -1};
    constexpr std::string_view names[3] = {"width", "height", "bits"};
    size_t semi = contentType.find(';');
    while (semi != std::string_view::npos) {
        std::string_view rest = contentType.substr(semi + 1);
        const size_t next = rest.find(';');
        const std::string_view param = trim(rest.substr(0, next));
        semi = next == std::string_view::npos ? next : semi + 1 + next;
        if (param.empty())
            continue;
        const size_t eq = param.find('=');
        if (eq == std::string_view::npos)
            return RawTypeResult::Invalid;
        const std::string_view name = trim(param.substr(0, eq));
        std::string_view value = trim(param.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        for (int i = 0; i < 3; ++i) {
            if (!iequals(name, names[i]))
                continue;
            auto v = parseDecimal(value, kMaxFrameDimension);
            if (!v || values[i] != -1)
                return RawTypeResult::Invalid;
            values[i] = static_cast<int>(*v);
        }
    }
    DibFormat f{values[0], values[1], values[2]};
    if (!f.valid())
        return RawTypeResult::Invalid;
    out = f;
    return RawTypeResult::Ok;
}

size_t formatRawMediaType(const DibFormat& format, char* out, size_t capacity) {
    const int n = std::snprintf(out, capacity, "%.*s; width=%d; height=%d; bits=%d",
                                static_cast<int>(kRawMediaType.size()), kRawMediaType.data(),
                                format.width, format.height, format.bits);
    return (n < 0 || static_cast<size_t>(n) >= capacity) ? 0 : static_cast<size_t>(n);
}

} // namespace tavrel
