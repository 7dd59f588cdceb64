// The raw frame media type: "application/x-ormidal-dib; width=W; height=H; bits=24", rows
// bottom-up.
#pragma once

#include "dib_format.h"

#include <cstddef>
#include <string_view>

namespace tavrel {

inline constexpr std::string_view kRawMediaType = "application/x-ormidal-dib";
inline constexpr std::string_view kJpegMediaType = "image/jpeg";

enum class RawTypeResult { NotRaw, Invalid, Ok };

// Reads a part's Content-Type. Ok only for our type with every parameter present, once, in range.
RawTypeResult parseRawMediaType(std::string_view contentType, DibFormat& out);

// Media type names compare without regard to case and ignore parameters.
bool isJpegMediaType(std::string_view contentType);

// Writes the Content-Type value for `format` (no allocation); returns its length, 0 if too small.
size_t formatRawMediaType(const DibFormat& format, char* out, size_t capacity);

} // namespace tavrel
