// The moving colour-bar pattern, drawn once per format and size.
#include "media/sources/test_pattern/pattern_frames.h"

#include "media/base/media_type.h"

#include <turbojpeg.h>

#include <array>
#include <memory>

namespace platform::media {

namespace {

struct Rgb {
    BYTE r, g, b;
};

// The eight classic bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr std::array<Rgb, 8> kBars = {{{235, 235, 235},
                                       {235, 235, 16},
                                       {16, 235, 235},
                                       {16, 235, 16},
                                       {235, 16, 235},
                                       {235, 16, 16},
                                       {16, 16, 235},
                                       {16, 16, 16}}};

Rgb barAt(LONG x, LONG width, int shift) {
    const LONG barWidth = width / 8 > 0 ? width / 8 : 1;
    return kBars[size_t(((x + shift) / barWidth) % 8)];
}

BYTE clampByte(int v) {
    return BYTE(v < 0 ? 0 : v > 255 ? 255 : v);
}

// BT.601 limited range, as YUY2 cameras deliver.
void toYuv(const Rgb& c, BYTE& y, BYTE& u, BYTE& v) {
    y = clampByte(((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8) + 16);
    u = clampByte(((-38 * c.r - 74 * c.g + 112 * c.b + 128) >> 8) + 128);
    v = clampByte(((112 * c.r - 94 * c.g - 18 * c.b + 128) >> 8) + 128);
}

std::vector<BYTE> drawRgb24(LONG width, LONG height, int shift) {
    const LONG stride = dibStride(width, 24);
    std::vector<BYTE> picture(size_t(stride) * height);
    for (LONG row = 0; row < height; ++row) {
        BYTE* line = picture.data() + size_t(row) * stride;
        for (LONG x = 0; x < width; ++x) {
            const Rgb c = barAt(x, width, shift);
            line[x * 3] = c.b;
            line[x * 3 + 1] = c.g;
            line[x * 3 + 2] = c.r;
        }
    }
    return picture;
}

std::vector<BYTE> drawYuy2(LONG width, LONG height, int shift) {
    const LONG stride = dibStride(width, 16);
    std::vector<BYTE> picture(size_t(stride) * height);
    for (LONG row = 0; row < height; ++row) {
        BYTE* line = picture.data() + size_t(row) * stride;
        for (LONG x = 0; x + 1 < width; x += 2) { // YUY2 widths are even
            BYTE y0, u0, v0, y1, u1, v1;
            toYuv(barAt(x, width, shift), y0, u0, v0);
            toYuv(barAt(x + 1, width, shift), y1, u1, v1);
            BYTE* p = line + x * 2;
            p[0] = y0;
            p[1] = BYTE((u0 + u1) / 2);
            p[2] = y1;
            p[3] = BYTE((v0 + v1) / 2);
        }
    }
    return picture;
}

std::vector<BYTE> encodeJpeg(const std::vector<BYTE>& rgb, LONG width, LONG height) {
    std::unique_ptr<void, int (*)(tjhandle)> encoder(tjInitCompress(), tjDestroy);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (!encoder || tjCompress2(encoder.get(), rgb.data(), width, dibStride(width, 24), height,
                                TJPF_BGR, &jpeg, &size, TJSAMP_422, 85, TJFLAG_BOTTOMUP) != 0)
        return {};
    std::vector<BYTE> picture(jpeg, jpeg + size);
    tjFree(jpeg);
    return picture;
}

} // namespace

LONG patternFrameSize(const GUID& subtype, LONG width, LONG height) {
    if (subtype == MEDIASUBTYPE_YUY2)
        return dibStride(width, 16) * height;
    if (subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_MJPG)
        return dibStride(width, 24) * height;
    return 0;
}

std::vector<std::vector<BYTE>> renderPatternFrames(const GUID& subtype, LONG width, LONG height,
                                                   int count) {
    std::vector<std::vector<BYTE>> frames;
    for (int i = 0; i < count; ++i) {
        const int shift = i * 4;
        if (subtype == MEDIASUBTYPE_YUY2)
            frames.push_back(drawYuy2(width, height, shift));
        else if (subtype == MEDIASUBTYPE_RGB24)
            frames.push_back(drawRgb24(width, height, shift));
        else if (subtype == MEDIASUBTYPE_MJPG)
            frames.push_back(encodeJpeg(drawRgb24(width, height, shift), width, height));
        else
            return {};
    }
    return frames;
}

} // namespace platform::media
