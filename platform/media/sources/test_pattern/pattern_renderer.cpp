// The test pattern's drawing: bars in YUV with the picture adjustments, text, strip.
#include "media/sources/test_pattern/pattern_renderer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace platform::media::pattern {
namespace {

constexpr int kBars = 8;

struct Colour {
    uint8_t y, u, v; // BT.601 limited range
    uint8_t b, g, r;
};

uint8_t clampByte(double value) {
    return uint8_t(std::clamp(std::lround(value), 0L, 255L));
}

Colour fromYuv(double y, double u, double v) {
    Colour c{clampByte(y), clampByte(u), clampByte(v), 0, 0, 0};
    const double yy = 1.164 * (c.y - 16), uu = c.u - 128.0, vv = c.v - 128.0;
    c.r = clampByte(yy + 1.596 * vv);
    c.g = clampByte(yy - 0.392 * uu - 0.813 * vv);
    c.b = clampByte(yy + 2.017 * uu);
    return c;
}

// 75% bars: white, yellow, cyan, green, magenta, red, blue, black — adjusted.
std::array<Colour, kBars> barColours(const PictureSettings& s) {
    static constexpr int rgb[kBars][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                          {0, 191, 0},     {191, 0, 191}, {191, 0, 0},
                                          {0, 0, 191},     {0, 0, 0}};
    const double contrast = std::clamp(s.contrast, 0, 200) / 100.0;
    const double saturation = std::clamp(s.saturation, 0, 200) / 100.0;
    const double hue = std::clamp(s.hue, -180, 180) * 3.14159265358979 / 180.0;
    const double brightness = std::clamp(s.brightness, -100, 100);
    std::array<Colour, kBars> colours{};
    for (int i = 0; i < kBars; ++i) {
        const double r = rgb[i][0], g = rgb[i][1], b = rgb[i][2];
        double y = 16 + 0.257 * r + 0.504 * g + 0.098 * b;
        double u = -0.148 * r - 0.291 * g + 0.439 * b;
        double v = 0.439 * r - 0.368 * g - 0.071 * b;
        y = (y - 16) * contrast + 16 + brightness;
        const double ru = (u * std::cos(hue) - v * std::sin(hue)) * saturation;
        const double rv = (u * std::sin(hue) + v * std::cos(hue)) * saturation;
        colours[size_t(i)] = fromYuv(y, 128 + ru, 128 + rv);
    }
    return colours;
}

const Colour kBlack = fromYuv(16, 128, 128);
const Colour kWhite = fromYuv(235, 128, 128);

// 5x7 glyphs, one 5-bit row each, most significant bit leftmost.
const uint8_t* glyph(char c) {
    static constexpr uint8_t digits[10][7] = {
        {14, 17, 19, 21, 25, 17, 14}, {4, 12, 4, 4, 4, 4, 14},  {14, 17, 1, 2, 4, 8, 31},
        {31, 2, 4, 2, 1, 17, 14},     {2, 6, 10, 18, 31, 2, 2}, {31, 16, 30, 1, 1, 17, 14},
        {6, 8, 16, 30, 17, 17, 14},   {31, 1, 2, 4, 8, 8, 8},   {14, 17, 17, 14, 17, 17, 14},
        {14, 17, 17, 15, 1, 2, 12}};
    static constexpr uint8_t hash[7] = {10, 10, 31, 10, 31, 10, 10};
    static constexpr uint8_t colon[7] = {0, 12, 12, 0, 12, 12, 0};
    static constexpr uint8_t dot[7] = {0, 0, 0, 0, 0, 12, 12};
    static constexpr uint8_t blank[7] = {};
    if (c >= '0' && c <= '9')
        return digits[c - '0'];
    return c == '#' ? hash : c == ':' ? colon : c == '.' ? dot : blank;
}

// Writes pixels through one of the two layouts; rows are top-down here.
class Canvas {
public:
    virtual ~Canvas() = default;
    virtual void fill(int x, int y, int w, int h, const Colour& c) = 0;
    // Draws one row of bars at row y and copies it to rows y+1 .. y+h-1.
    virtual void bars(int y, int h, int offset, const std::array<Colour, kBars>& colours) = 0;
};

int barAt(int x, int offset, int width) {
    return int((int64_t(x + offset) % width) * kBars / width);
}

class Yuy2Canvas final : public Canvas {
public:
    Yuy2Canvas(uint8_t* out, size_t stride, int width)
        : out_(out), stride_(stride), width_(width) {}
    void fill(int x, int y, int w, int h, const Colour& c) override {
        for (int row = y; row < y + h; ++row) {
            uint8_t* p = out_ + size_t(row) * stride_;
            for (int col = x; col < x + w; ++col) {
                p[size_t(col) * 2] = c.y;
                p[size_t(col) * 2 + 1] = col % 2 == 0 ? c.u : c.v;
            }
        }
    }
    void bars(int y, int h, int offset, const std::array<Colour, kBars>& colours) override {
        uint8_t* first = out_ + size_t(y) * stride_;
        for (int x = 0; x + 1 < width_; x += 2) {
            const Colour& left = colours[size_t(barAt(x, offset, width_))];
            const Colour& right = colours[size_t(barAt(x + 1, offset, width_))];
            uint8_t* p = first + size_t(x) * 2;
            p[0] = left.y;
            p[1] = left.u;
            p[2] = right.y;
            p[3] = left.v;
        }
        for (int row = 1; row < h; ++row)
            std::memcpy(first + size_t(row) * stride_, first, size_t(width_) * 2);
    }

private:
    uint8_t* out_;
    size_t stride_;
    int width_;
};

class Bgr24Canvas final : public Canvas {
public:
    Bgr24Canvas(uint8_t* out, int width, int height)
        : out_(out), stride_((size_t(width) * 3 + 3) & ~size_t(3)), width_(width), height_(height) {
    }
    void fill(int x, int y, int w, int h, const Colour& c) override {
        for (int row = y; row < y + h; ++row) {
            uint8_t* p = rowAt(row) + size_t(x) * 3;
            for (int col = 0; col < w; ++col, p += 3) {
                p[0] = c.b;
                p[1] = c.g;
                p[2] = c.r;
            }
        }
    }
    void bars(int y, int h, int offset, const std::array<Colour, kBars>& colours) override {
        uint8_t* first = rowAt(y);
        for (int x = 0; x < width_; ++x) {
            const Colour& c = colours[size_t(barAt(x, offset, width_))];
            first[size_t(x) * 3] = c.b;
            first[size_t(x) * 3 + 1] = c.g;
            first[size_t(x) * 3 + 2] = c.r;
        }
        for (int row = 1; row < h; ++row)
            std::memcpy(rowAt(y + row), first, size_t(width_) * 3);
    }

private:
    uint8_t* rowAt(int y) { return out_ + size_t(height_ - 1 - y) * stride_; }
    uint8_t* out_;
    size_t stride_;
    int width_;
    int height_;
};

// Formats the counter and the time without allocating: "#00000123" and "HH:MM:SS.mmm".
void formatCounter(uint32_t frame, char (&text)[11]) {
    text[0] = '#';
    for (int i = 9; i >= 1; --i, frame /= 10)
        text[i] = char('0' + frame % 10);
    text[10] = '\0';
}

void formatTime(uint64_t timeUs, char (&text)[13]) {
    const uint64_t ms = timeUs / 1000;
    const unsigned fields[4] = {unsigned(ms / 3600000 % 24), unsigned(ms / 60000 % 60),
                                unsigned(ms / 1000 % 60), unsigned(ms % 1000)};
    std::snprintf(text, sizeof(text), "%02u:%02u:%02u.%03u", fields[0], fields[1], fields[2],
                  fields[3]);
}

void drawText(Canvas& canvas, int x, int y, int scale, const char* text) {
    for (; *text; ++text, x += 6 * scale) {
        const uint8_t* rows = glyph(*text);
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (rows[row] & (0x10 >> col))
                    canvas.fill(x + col * scale, y + row * scale, scale, scale, kWhite);
    }
}

void draw(Canvas& canvas, int width, int height, const StripData& stamp,
          const PictureSettings& settings) {
    const StripGeometry strip = stripGeometry(width, height);
    const int stripHeight = strip.height();
    canvas.bars(stripHeight, height - stripHeight, barOffset(width, stamp.frameNumber),
                barColours(settings));

    // The strip: black background, a white cell for every 1 bit.
    canvas.fill(0, 0, width, stripHeight, kBlack);
    const auto bytes = encodeStrip(stamp);
    for (int index = 0; index < kStripBits; ++index) {
        if (stripBit(bytes, index))
            canvas.fill(strip.left + (index % kStripColumns) * strip.cellWidth,
                        (index / kStripColumns) * strip.cellHeight, strip.cellWidth,
                        strip.cellHeight, kWhite);
    }

    // The counter and time, white on a black box under the strip, when they fit.
    char counter[11];
    char time[13];
    formatCounter(stamp.frameNumber, counter);
    formatTime(stamp.captureTimeUs, time);
    const int scale = std::max(1, height / 240);
    const int boxWidth = (12 * 6 + 1) * scale + 2 * scale;
    const int boxHeight = (2 * 8 + 1) * scale + 2 * scale;
    const int boxX = std::max(0, strip.left);
    const int boxY = stripHeight + strip.cellHeight;
    if (boxX + boxWidth > width || boxY + boxHeight > height)
        return;
    canvas.fill(boxX, boxY, boxWidth, boxHeight, kBlack);
    drawText(canvas, boxX + 2 * scale, boxY + 2 * scale, scale, counter);
    drawText(canvas, boxX + 2 * scale, boxY + 10 * scale, scale, time);
}

} // namespace

int barOffset(int width, uint32_t frameNumber) {
    const int step = std::max(1, width / 160);
    return int((uint64_t(frameNumber) * uint64_t(step)) % uint64_t(std::max(width, 1)));
}

bool PatternRenderer::configure(int width, int height) {
    if (width < kMinWidth || height < kMinSide || width > kMaxSide || height > kMaxSide) {
        // Never keep an older size: frames of the refused size must not be drawn with it.
        width_ = 0;
        height_ = 0;
        return false;
    }
    width_ = width;
    height_ = height;
    return true;
}

bool PatternRenderer::renderYuy2(uint8_t* out, size_t stride, const StripData& stamp,
                                 const PictureSettings& settings) const {
    if (!out || width_ == 0 || width_ % 2 != 0 || stride < size_t(width_) * 2)
        return false;
    Yuy2Canvas canvas(out, stride, width_);
    draw(canvas, width_, height_, stamp, settings);
    return true;
}

bool PatternRenderer::renderRgb24(uint8_t* out, size_t size, const StripData& stamp,
                                  const PictureSettings& settings) const {
    if (!out || width_ == 0 || size < rgb24Bytes(width_, height_))
        return false;
    Bgr24Canvas canvas(out, width_, height_);
    draw(canvas, width_, height_, stamp, settings);
    return true;
}

} // namespace platform::media::pattern
