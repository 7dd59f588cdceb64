// Coding and decoding of the test pattern's machine-readable strip.
#include "media/sources/test_pattern/pattern_strip.h"

#include <algorithm>

namespace platform::media::pattern {

StripGeometry stripGeometry(int width, int height) {
    StripGeometry geometry;
    geometry.cellWidth = std::max(1, width / kStripColumns);
    // Tall enough to survive chroma subsampling and 8x8 JPEG blocks at every size.
    geometry.cellHeight = std::max(4, height / 40);
    geometry.left = (width - geometry.cellWidth * kStripColumns) / 2;
    return geometry;
}

uint8_t stripCrc8(const uint8_t* bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

std::array<uint8_t, 12> encodeStrip(const StripData& data) {
    std::array<uint8_t, 12> bytes{};
    bytes[0] = uint8_t(kStripMagic >> 8);
    bytes[1] = uint8_t(kStripMagic);
    for (int i = 0; i < 4; ++i)
        bytes[size_t(2 + i)] = uint8_t(data.frameNumber >> (24 - 8 * i));
    const uint64_t time = data.captureTimeUs & kStripTimeMask;
    for (int i = 0; i < 5; ++i)
        bytes[size_t(6 + i)] = uint8_t(time >> (32 - 8 * i));
    bytes[11] = stripCrc8(bytes.data(), 11);
    return bytes;
}

bool decodeStrip(int width, int height, const std::function<int(int x, int y)>& luma,
                 StripData* out) {
    const StripGeometry geometry = stripGeometry(width, height);
    if (width < kStripColumns || height < geometry.height())
        return false;
    std::array<uint8_t, 12> bytes{};
    for (int index = 0; index < kStripBits; ++index) {
        const int x =
            geometry.left + (index % kStripColumns) * geometry.cellWidth + geometry.cellWidth / 2;
        const int y = (index / kStripColumns) * geometry.cellHeight + geometry.cellHeight / 2;
        if (luma(x, y) >= 128)
            bytes[size_t(index / 8)] |= uint8_t(0x80 >> (index % 8));
    }
    if (((bytes[0] << 8) | bytes[1]) != kStripMagic || stripCrc8(bytes.data(), 11) != bytes[11])
        return false;
    StripData data;
    for (int i = 0; i < 4; ++i)
        data.frameNumber = data.frameNumber << 8 | bytes[size_t(2 + i)];
    for (int i = 0; i < 5; ++i)
        data.captureTimeUs = data.captureTimeUs << 8 | bytes[size_t(6 + i)];
    *out = data;
    return true;
}

bool decodeStripDib(const uint8_t* pixels, int width, int height, int bitCount, StripData* out) {
    if (!pixels || (bitCount != 24 && bitCount != 32) || width <= 0 || height <= 0)
        return false;
    const int bytesPerPixel = bitCount / 8;
    const size_t stride = (size_t(width) * size_t(bytesPerPixel) + 3) & ~size_t(3);
    return decodeStrip(
        width, height,
        [&](int x, int y) {
            const uint8_t* p =
                pixels + size_t(height - 1 - y) * stride + size_t(x) * size_t(bytesPerPixel);
            return (p[0] + p[1] + p[2]) / 3;
        },
        out);
}

bool decodeStripYuy2(const uint8_t* pixels, int width, int height, StripData* out) {
    if (!pixels || width <= 0 || height <= 0)
        return false;
    const size_t stride = size_t(width) * 2;
    return decodeStrip(
        width, height,
        [&](int x, int y) { return int(pixels[size_t(y) * stride + size_t(x) * 2]); }, out);
}

} // namespace platform::media::pattern
