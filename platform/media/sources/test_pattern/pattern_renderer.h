// PatternRenderer: draws the test pattern (moving bars, counter, time, strip) into frames.
#pragma once

#include "media/sources/test_pattern/pattern_strip.h"

#include <cstddef>
#include <cstdint>

namespace platform::media::pattern {

// Picture adjustments, in the ranges the camera controls offer.
struct PictureSettings {
    int brightness = 0;   // -100..100, added to luma
    int contrast = 100;   // 0..200 percent
    int saturation = 100; // 0..200 percent
    int hue = 0;          // -180..180 degrees
};

inline constexpr int kMinSide = 16;             // below this the strip and text do not fit
inline constexpr int kMinWidth = kStripColumns; // the strip needs one column per cell
inline constexpr int kMaxSide = 4096;

// Pure drawing: each call writes one whole frame into the caller's buffer and allocates
// nothing, so it may run on a streaming thread. Not shared between threads.
class PLATFORM_API PatternRenderer {
public:
    // False for sizes it cannot draw (odd widths for YUY2 are refused by renderYuy2); the
    // renderer then draws nothing until a size it can draw is configured.
    bool configure(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }

    // Top-down YUY2, `stride` bytes per row (at least width * 2).
    bool renderYuy2(uint8_t* out, size_t stride, const StripData& stamp,
                    const PictureSettings& settings) const;
    // A bottom-up 24-bit DIB (blue first), rows padded to 4 bytes.
    bool renderRgb24(uint8_t* out, size_t size, const StripData& stamp,
                     const PictureSettings& settings) const;

    static size_t yuy2Bytes(int width, int height) { return size_t(width) * 2 * size_t(height); }
    static size_t rgb24Bytes(int width, int height) {
        return ((size_t(width) * 3 + 3) & ~size_t(3)) * size_t(height);
    }

private:
    int width_ = 0;
    int height_ = 0;
};

// The bars' horizontal shift for a frame: they move left by a fixed step per frame.
PLATFORM_API int barOffset(int width, uint32_t frameNumber);

} // namespace platform::media::pattern
