// DibFormat: the size of one bottom-up 24-bit frame and the bounds any peer's frame must meet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel {

// A peer may announce nothing larger than this before we allocate for it.
inline constexpr int kMaxFrameDimension = 8192;
inline constexpr size_t kMaxFrameBytes = size_t{128} << 20;

struct DibFormat {
    int width = 0;
    int height = 0;
    int bits = 24;

    // Rows are padded to whole 32-bit words, as a DIB's are.
    size_t stride() const { return ((static_cast<size_t>(width) * bits + 31) / 32) * 4; }
    size_t imageBytes() const { return stride() * static_cast<size_t>(height); }
    bool valid() const {
        return width > 0 && height > 0 && width <= kMaxFrameDimension &&
               height <= kMaxFrameDimension && bits == 24 && imageBytes() <= kMaxFrameBytes;
    }
    bool operator==(const DibFormat&) const = default;
};

} // namespace tavrel
