// The server's JPEG encoder: colours, orientation and odd sizes survive the planar path.
#include "jpeg_codec.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <turbojpeg.h>

using namespace tavrel;

namespace {

// Bottom-up BGR rows; the top half of the picture (the last rows in memory) is `top`.
std::vector<uint8_t> twoBands(const DibFormat& f, std::array<uint8_t, 3> top,
                              std::array<uint8_t, 3> bottom) {
    std::vector<uint8_t> rows(f.imageBytes());
    for (int y = 0; y < f.height; ++y) {
        const auto& c = (y >= f.height / 2) ? top : bottom; // y counts from the bottom
        uint8_t* row = rows.data() + static_cast<size_t>(y) * f.stride();
        for (int x = 0; x < f.width; ++x)
            std::copy(c.begin(), c.end(), row + x * 3);
    }
    return rows;
}

std::vector<uint8_t> gradient(const DibFormat& f) {
    std::vector<uint8_t> rows(f.imageBytes());
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            uint8_t* p = rows.data() + static_cast<size_t>(y) * f.stride() + x * 3;
            p[0] = static_cast<uint8_t>(x * 255 / f.width);
            p[1] = static_cast<uint8_t>(y * 255 / f.height);
            p[2] = static_cast<uint8_t>((x + y) * 255 / (f.width + f.height));
        }
    return rows;
}

std::vector<uint8_t> encode(JpegEncoder& e, const DibFormat& f, const std::vector<uint8_t>& rows) {
    std::vector<uint8_t> out(JpegEncoder::maxEncodedBytes(f));
    const size_t n = e.encode(f, rows.data(), out.data(), out.size());
    out.resize(n);
    return out;
}

std::vector<uint8_t> decode(const std::vector<uint8_t>& jpeg, const DibFormat& f) {
    std::vector<uint8_t> rows(f.imageBytes());
    JpegDecoder d;
    EXPECT_TRUE(d.decode(jpeg.data(), jpeg.size(), f, rows.data()));
    return rows;
}

// The pixel at (x, y) counted from the picture's top, in bottom-up rows.
const uint8_t* at(const std::vector<uint8_t>& rows, const DibFormat& f, int x, int y) {
    return rows.data() + static_cast<size_t>(f.height - 1 - y) * f.stride() + x * 3;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, const DibFormat& f) {
    double se = 0;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width * 3; ++x) {
            const size_t i = static_cast<size_t>(y) * f.stride() + x;
            se += (a[i] - b[i]) * double(a[i] - b[i]);
        }
    const double mse = se / (double(f.width) * f.height * 3);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

} // namespace

TEST(TavrelJpegEncoder, FullRangeColoursAndOrientationSurvive) {
    // Odd sizes with padded rows and half-covered chroma blocks, then an even one: the encoder
    // is reused across sizes, as one handle per server would be.
    JpegEncoder e;
    ASSERT_TRUE(e.valid());
    for (const DibFormat f : {DibFormat{161, 121, 24}, DibFormat{64, 48, 24}}) {
        SCOPED_TRACE(f.width);
        // Pure black over pure white: a studio-range conversion would lift black to ~16 and
        // pull white to ~235; an upside-down one swaps them.
        const auto rows = twoBands(f, {0, 0, 0}, {255, 255, 255});
        const auto jpeg = encode(e, f, rows);
        ASSERT_GT(jpeg.size(), 0u);
        const auto back = decode(jpeg, f);
        for (int c = 0; c < 3; ++c) {
            EXPECT_LE(at(back, f, f.width / 2, 2)[c], 3) << "top stays black";
            EXPECT_GE(at(back, f, f.width / 2, f.height - 3)[c], 252) << "bottom stays white";
        }
        // Blue over red: B, G, R in memory must not come out as R, G, B.
        const auto colours = decode(encode(e, f, twoBands(f, {255, 0, 0}, {0, 0, 255})), f);
        const uint8_t* top = at(colours, f, f.width - 1, 0);
        const uint8_t* bottom = at(colours, f, 0, f.height - 1);
        EXPECT_GT(top[0], 200);
        EXPECT_LT(top[2], 60);
        EXPECT_GT(bottom[2], 200);
        EXPECT_LT(bottom[0], 60);
    }
}

TEST(TavrelJpegEncoder, MatchesTheCompressorsOwnColourConversion) {
    // Viewers must see no difference from compressing the BGR rows directly at the same
    // quality and subsampling.
    const DibFormat f{320, 240, 24};
    const auto rows = gradient(f);
    JpegEncoder e;
    const auto planar = decode(encode(e, f, rows), f);

    tjhandle h = tjInitCompress();
    ASSERT_NE(h, nullptr);
    unsigned char* direct = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(h, rows.data(), f.width, static_cast<int>(f.stride()), f.height, TJPF_BGR,
                          &direct, &size, TJSAMP_420, JpegEncoder::kQuality,
                          TJFLAG_BOTTOMUP | TJFLAG_FASTDCT),
              0);
    const std::vector<uint8_t> directJpeg(direct, direct + size);
    tjFree(direct);
    tjDestroy(h);

    EXPECT_GT(psnr(planar, decode(directJpeg, f), f), 38.0);
    EXPECT_GT(psnr(planar, rows, f), 30.0);
}

TEST(TavrelJpegEncoder, RefusesABufferBelowTheWorstCase) {
    const DibFormat f{64, 48, 24};
    const auto rows = gradient(f);
    JpegEncoder e;
    std::vector<uint8_t> out(JpegEncoder::maxEncodedBytes(f) - 1);
    EXPECT_EQ(e.encode(f, rows.data(), out.data(), out.size()), 0u);
}
