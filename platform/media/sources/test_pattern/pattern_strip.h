// The machine-readable strip of the test pattern: frame number and capture time as cells.
#pragma once

#include <platform/api.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform::media::pattern {

// The strip's coding is described in docs/design/test-pattern.md; readers (tests, benches,
// latency probes) rely on it, so it changes only with that document.
struct StripData {
    uint32_t frameNumber = 0;
    uint64_t captureTimeUs = 0; // CLOCK_MONOTONIC microseconds, low 40 bits
};

inline constexpr int kStripColumns = 32;
inline constexpr int kStripRows = 3;
inline constexpr int kStripBits = kStripColumns * kStripRows; // 96 = 12 bytes
inline constexpr uint16_t kStripMagic = 0xA53C;
inline constexpr uint64_t kStripTimeMask = (uint64_t(1) << 40) - 1;

struct StripGeometry {
    int left = 0;       // first cell's x
    int cellWidth = 0;  // pixels per cell
    int cellHeight = 0; // pixel rows per cell row
    int height() const { return cellHeight * kStripRows; }
};

// Where the strip lies in a picture of this size (always at the top, centred).
PLATFORM_API StripGeometry stripGeometry(int width, int height);

// The 12 bytes the strip carries, most significant bit first: magic, frame number, time,
// CRC-8.
PLATFORM_API std::array<uint8_t, 12> encodeStrip(const StripData& data);
// The bit (0 or 1) of cell `index` (row-major, top row first).
inline int stripBit(const std::array<uint8_t, 12>& bytes, int index) {
    return (bytes[size_t(index / 8)] >> (7 - index % 8)) & 1;
}
PLATFORM_API uint8_t stripCrc8(const uint8_t* bytes, size_t count);

// Reads a strip back through a luma sampler (x, y top-down, 0..255). False when the
// picture carries no valid strip (wrong magic or checksum).
PLATFORM_API bool decodeStrip(int width, int height, const std::function<int(int x, int y)>& luma,
                              StripData* out);
// Readers for the layouts frames arrive in: a bottom-up 24- or 32-bit DIB, top-down YUY2.
PLATFORM_API bool decodeStripDib(const uint8_t* pixels, int width, int height, int bitCount,
                                 StripData* out);
PLATFORM_API bool decodeStripYuy2(const uint8_t* pixels, int width, int height, StripData* out);

} // namespace platform::media::pattern
