// Tests of the test pattern: strip coding through every output format, the picture controls.
#include "media/sources/test_pattern/pattern_jpeg.h"
#include "media/sources/test_pattern/pattern_renderer.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <vector>

namespace pattern = platform::media::pattern;

namespace {

struct Size {
    int width, height;
};
const Size kSizes[] = {{160, 120}, {320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};

// Luma of a YUY2 pixel, top-down.
int lumaAt(const std::vector<uint8_t>& yuy2, int width, int x, int y) {
    return yuy2[(size_t(y) * size_t(width) + size_t(x)) * 2];
}

// The bars' row below the strip and the text box: away from both.
int barsRow(int height) {
    return height - 2;
}

} // namespace

TEST(PatternStrip, RoundTripsThroughYuy2Rgb24AndJpegAtEverySize) {
    tjhandle decoder = tjInitDecompress();
    for (const Size& size : kSizes) {
        SCOPED_TRACE(size.width);
        pattern::PatternRenderer renderer;
        ASSERT_TRUE(renderer.configure(size.width, size.height));
        const pattern::StripData stamp{0x89ABCDEFu, 0xFEDCBA9876ull & pattern::kStripTimeMask};

        std::vector<uint8_t> yuy2(pattern::PatternRenderer::yuy2Bytes(size.width, size.height));
        ASSERT_TRUE(renderer.renderYuy2(yuy2.data(), size_t(size.width) * 2, stamp, {}));
        pattern::StripData read;
        ASSERT_TRUE(pattern::decodeStripYuy2(yuy2.data(), size.width, size.height, &read));
        EXPECT_EQ(read.frameNumber, stamp.frameNumber);
        EXPECT_EQ(read.captureTimeUs, stamp.captureTimeUs);

        std::vector<uint8_t> dib(pattern::PatternRenderer::rgb24Bytes(size.width, size.height));
        ASSERT_TRUE(renderer.renderRgb24(dib.data(), dib.size(), stamp, {}));
        ASSERT_TRUE(pattern::decodeStripDib(dib.data(), size.width, size.height, 24, &read));
        EXPECT_EQ(read.frameNumber, stamp.frameNumber);

        pattern::MjpegEncoder encoder;
        ASSERT_TRUE(encoder.configure(size.width, size.height));
        std::vector<uint8_t> jpeg(encoder.maxFrameBytes());
        const size_t bytes =
            encoder.encodeYuy2(yuy2.data(), size_t(size.width) * 2, jpeg.data(), jpeg.size());
        ASSERT_GT(bytes, 0u);
        std::vector<uint8_t> decoded(size_t(size.width) * size_t(size.height) * 3);
        ASSERT_EQ(tjDecompress2(decoder, jpeg.data(), bytes, decoded.data(), size.width, 0,
                                size.height, TJPF_BGR, TJFLAG_BOTTOMUP),
                  0);
        // Decoded bottom-up with unpadded rows; every listed width is a multiple of 4.
        ASSERT_TRUE(pattern::decodeStripDib(decoded.data(), size.width, size.height, 24, &read));
        EXPECT_EQ(read.frameNumber, stamp.frameNumber);
        EXPECT_EQ(read.captureTimeUs, stamp.captureTimeUs);
    }
    tjDestroy(decoder);
}

TEST(PatternStrip, CorruptionAndPicturesWithoutAStripAreRejected) {
    const int width = 320, height = 240;
    pattern::PatternRenderer renderer;
    ASSERT_TRUE(renderer.configure(width, height));
    std::vector<uint8_t> yuy2(pattern::PatternRenderer::yuy2Bytes(width, height));
    ASSERT_TRUE(renderer.renderYuy2(yuy2.data(), size_t(width) * 2, {7, 1234}, {}));
    pattern::StripData read;
    ASSERT_TRUE(pattern::decodeStripYuy2(yuy2.data(), width, height, &read));
    // Flip one cell of the frame number (row 1, column 5) to white or black.
    const auto geometry = pattern::stripGeometry(width, height);
    for (int y = geometry.cellHeight; y < 2 * geometry.cellHeight; ++y)
        for (int x = 0; x < geometry.cellWidth; ++x) {
            uint8_t& luma =
                yuy2[(size_t(y) * width + size_t(geometry.left + 5 * geometry.cellWidth + x)) * 2];
            luma = uint8_t(luma >= 128 ? 16 : 235);
        }
    EXPECT_FALSE(pattern::decodeStripYuy2(yuy2.data(), width, height, &read));
    std::vector<uint8_t> grey(yuy2.size(), 128);
    EXPECT_FALSE(pattern::decodeStripYuy2(grey.data(), width, height, &read));
    EXPECT_FALSE(pattern::decodeStripDib(grey.data(), width, height, 16, &read));
}

TEST(PatternRenderer, BarsMoveAndTheCounterIsDrawn) {
    const int width = 640, height = 480;
    pattern::PatternRenderer renderer;
    ASSERT_TRUE(renderer.configure(width, height));
    std::vector<uint8_t> a(pattern::PatternRenderer::yuy2Bytes(width, height));
    std::vector<uint8_t> b(a.size());
    renderer.renderYuy2(a.data(), size_t(width) * 2, {1, 0}, {});
    renderer.renderYuy2(b.data(), size_t(width) * 2, {2, 0}, {});
    EXPECT_NE(pattern::barOffset(width, 1), pattern::barOffset(width, 2));
    int changedBars = 0;
    for (int x = 0; x < width; ++x)
        changedBars += lumaAt(a, width, x, barsRow(height)) != lumaAt(b, width, x, barsRow(height));
    EXPECT_GT(changedBars, 0);
    // The counter's text area differs between frame 1 and frame 2 beyond the strip.
    const int textTop = pattern::stripGeometry(width, height).height();
    int changedText = 0;
    for (int y = textTop; y < textTop + 40; ++y)
        for (int x = 0; x < 200; ++x)
            changedText += lumaAt(a, width, x, y) != lumaAt(b, width, x, y);
    EXPECT_GT(changedText, changedBars); // more than the bars' moving edges alone
}

TEST(PatternRenderer, PictureControlsChangeTheBarsButNotTheStrip) {
    const int width = 320, height = 240;
    pattern::PatternRenderer renderer;
    ASSERT_TRUE(renderer.configure(width, height));
    auto render = [&](const pattern::PictureSettings& settings) {
        std::vector<uint8_t> out(pattern::PatternRenderer::yuy2Bytes(width, height));
        renderer.renderYuy2(out.data(), size_t(width) * 2, {5, 99}, settings);
        return out;
    };
    const auto plain = render({});
    // The first bar (75% white) at frame 5 lies at x = 0 after the offset; use bar 1 (yellow).
    const int x = (width / 8) * 1 + width / 16 - pattern::barOffset(width, 5);
    const size_t at = (size_t(barsRow(height)) * width + size_t(x)) * 2;
    const auto brighter = render({50, 100, 100, 0});
    EXPECT_GT(brighter[at], plain[at]);
    const auto flat = render({0, 0, 100, 0});
    EXPECT_EQ(flat[at], 16); // no contrast: black level everywhere
    const auto grey = render({0, 100, 0, 0});
    EXPECT_EQ(grey[at + 1], 128); // no saturation: neutral chroma
    EXPECT_NE(plain[at + 1], 128);
    const auto rotated = render({0, 100, 100, 90});
    EXPECT_NE(rotated[at + 1], plain[at + 1]);
    for (const auto* picture : {&brighter, &flat, &grey, &rotated}) {
        pattern::StripData read;
        ASSERT_TRUE(pattern::decodeStripYuy2(picture->data(), width, height, &read));
        EXPECT_EQ(read.frameNumber, 5u);
    }
}

TEST(PatternRenderer, RefusesWhatItCannotDrawSafely) {
    pattern::PatternRenderer renderer;
    EXPECT_FALSE(renderer.configure(8, 8));
    EXPECT_FALSE(renderer.configure(100000, 480));
    ASSERT_TRUE(renderer.configure(161, 120));
    std::vector<uint8_t> out(pattern::PatternRenderer::rgb24Bytes(161, 120));
    EXPECT_FALSE(renderer.renderYuy2(out.data(), 161 * 2, {}, {})); // odd width
    EXPECT_FALSE(renderer.renderRgb24(out.data(), out.size() - 1, {}, {}));
    EXPECT_TRUE(renderer.renderRgb24(out.data(), out.size(), {}, {}));
    pattern::MjpegEncoder encoder;
    EXPECT_FALSE(encoder.configure(161, 120));
    ASSERT_TRUE(encoder.configure(160, 120));
    std::vector<uint8_t> jpeg(encoder.maxFrameBytes() - 1);
    EXPECT_EQ(encoder.encodeYuy2(out.data(), 320, jpeg.data(), jpeg.size()), 0u);
}

namespace {

// A picture buffer with guard bytes on both sides, to see a write outside the picture.
struct Guarded {
    static constexpr size_t kGuard = 4096;
    std::vector<uint8_t> bytes;
    explicit Guarded(size_t picture) : bytes(picture + 2 * kGuard, 0xA5) {}
    uint8_t* picture() { return bytes.data() + kGuard; }
    bool guardsIntact() const {
        const size_t tail = bytes.size() - kGuard;
        for (size_t i = 0; i < kGuard; ++i)
            if (bytes[i] != 0xA5 || bytes[tail + i] != 0xA5)
                return false;
        return true;
    }
};

} // namespace

TEST(PatternRenderer, NarrowPicturesAreRefusedAndNothingIsWritten) {
    // The strip needs one column per cell: narrower pictures would be drawn from before
    // their first column.
    for (int width = pattern::kMinSide; width < pattern::kStripColumns; ++width) {
        SCOPED_TRACE(width);
        pattern::PatternRenderer renderer;
        EXPECT_FALSE(renderer.configure(width, 120));
        Guarded yuy2(pattern::PatternRenderer::yuy2Bytes(width, 120));
        Guarded rgb(pattern::PatternRenderer::rgb24Bytes(width, 120));
        renderer.renderYuy2(yuy2.picture(), size_t(width) * 2, {7, 0}, {});
        renderer.renderRgb24(rgb.picture(), rgb.bytes.size() - 2 * Guarded::kGuard, {7, 0}, {});
        EXPECT_TRUE(yuy2.guardsIntact());
        EXPECT_TRUE(rgb.guardsIntact());
    }
    // A refused size does not leave the previous one in force.
    pattern::PatternRenderer renderer;
    ASSERT_TRUE(renderer.configure(640, 480));
    EXPECT_FALSE(renderer.configure(20, 480));
    Guarded small(pattern::PatternRenderer::yuy2Bytes(20, 480));
    EXPECT_FALSE(renderer.renderYuy2(small.picture(), 40 * 2, {1, 0}, {}));
    EXPECT_TRUE(small.guardsIntact());
}

TEST(PatternRenderer, TheNarrowestPictureStaysInsideItsBufferAndCarriesTheStrip) {
    const int width = pattern::kStripColumns;
    for (const int height : {pattern::kMinSide, 17, 120}) {
        SCOPED_TRACE(height);
        pattern::PatternRenderer renderer;
        ASSERT_TRUE(renderer.configure(width, height));
        Guarded yuy2(pattern::PatternRenderer::yuy2Bytes(width, height));
        Guarded rgb(pattern::PatternRenderer::rgb24Bytes(width, height));
        const pattern::StripData stamp{41, 123456};
        ASSERT_TRUE(renderer.renderYuy2(yuy2.picture(), size_t(width) * 2, stamp, {}));
        ASSERT_TRUE(
            renderer.renderRgb24(rgb.picture(), rgb.bytes.size() - 2 * Guarded::kGuard, stamp, {}));
        EXPECT_TRUE(yuy2.guardsIntact());
        EXPECT_TRUE(rgb.guardsIntact());
        pattern::StripData read;
        ASSERT_TRUE(pattern::decodeStripYuy2(yuy2.picture(), width, height, &read));
        EXPECT_EQ(read.frameNumber, 41u);
        ASSERT_TRUE(pattern::decodeStripDib(rgb.picture(), width, height, 24, &read));
        EXPECT_EQ(read.frameNumber, 41u);
    }
}
