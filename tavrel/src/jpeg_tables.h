// completeJpeg: checks a camera's JPEG for passing on as is, adding Huffman tables it lacks.
#pragma once

#include "dib_format.h"

#include <cstddef>
#include <cstdint>

namespace tavrel {

// Copies `jpeg` into `out` when it is a baseline picture of exactly `format`'s size whose
// headers are well formed, inserting the standard Huffman tables before its scan when it
// carries none (many cameras leave them out of each frame; decoders other than libjpeg's, and
// browsers, expect them). Returns the bytes written, or 0 when the picture cannot be passed on
// (the caller then encodes the decoded frame instead). The scan's data is copied, not read.
size_t completeJpeg(const uint8_t* jpeg, size_t size, const DibFormat& format, uint8_t* out,
                    size_t capacity);

} // namespace tavrel
