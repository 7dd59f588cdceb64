// Colour conversion: every input format lands bottom-up, in BGR order, without reading past
// the picture.
#include "media/filters/colour_converter/rgb_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using namespace platform::media;

namespace {

constexpr LONG kW = 8, kH = 4;

// A picture whose top row is red and every other row blue, in the given input format.
std::vector<BYTE> redTopRow(const GUID& subtype, bool bottomUp = false) {
    const BYTE redY = 81, redU = 90, redV = 240, blueY = 41, blueU = 240, blueV = 110;
    std::vector<BYTE> p;
    if (subtype == MEDIASUBTYPE_YUY2) {
        for (LONG y = 0; y < kH; ++y)
            for (LONG x = 0; x < kW / 2; ++x) {
                const bool red = y == 0;
                p.insert(p.end(), {red ? redY : blueY, red ? redU : blueU, red ? redY : blueY,
                                   red ? redV : blueV});
            }
    } else if (subtype == MEDIASUBTYPE_NV12 || subtype == MEDIASUBTYPE_I420) {
        // Chroma covers two rows; make the top two rows red instead.
        for (LONG y = 0; y < kH; ++y)
            p.insert(p.end(), kW, y < 2 ? redY : blueY);
        for (LONG y = 0; y < kH / 2; ++y) {
            const bool red = y == 0;
            if (subtype == MEDIASUBTYPE_NV12) {
                for (LONG x = 0; x < kW / 2; ++x)
                    p.insert(p.end(), {red ? redU : blueU, red ? redV : blueV});
            }
        }
        if (subtype == MEDIASUBTYPE_I420) {
            for (BYTE plane : {0, 1})
                for (LONG y = 0; y < kH / 2; ++y)
                    p.insert(p.end(), kW / 2,
                             plane == 0 ? (y == 0 ? redU : blueU) : (y == 0 ? redV : blueV));
        }
    } else if (subtype == MEDIASUBTYPE_RGB24) {
        for (LONG row = 0; row < kH; ++row) {
            const bool red = bottomUp ? row == kH - 1 : row == 0;
            for (LONG x = 0; x < kW; ++x)
                p.insert(p.end(), {BYTE(red ? 0 : 255), 0, BYTE(red ? 255 : 0)});
        }
    }
    return p;
}

PictureLayout layoutFor(const GUID& subtype, bool bottomUp = false) {
    BITMAPINFOHEADER h{};
    h.biWidth = kW;
    h.biHeight = bottomUp ? kH : -kH;
    h.biBitCount = subtype == MEDIASUBTYPE_RGB24 ? 24 : 16;
    PictureLayout layout{};
    EXPECT_TRUE(layoutOf(subtype, h, layout));
    return layout;
}

// Red is high in the third byte of a DIB pixel (B, G, R order).
bool isRed(const BYTE* pixel) {
    return pixel[2] > 180 && pixel[0] < 80;
}
bool isBlue(const BYTE* pixel) {
    return pixel[0] > 180 && pixel[2] < 80;
}

TEST(ColourConversion, EveryInputLandsBottomUpInBgrOrder) {
    struct Case {
        GUID subtype;
        bool bottomUp;
        LONG redRows;
    };
    for (const Case c : {Case{MEDIASUBTYPE_YUY2, false, 1}, Case{MEDIASUBTYPE_NV12, false, 2},
                         Case{MEDIASUBTYPE_I420, false, 2}, Case{MEDIASUBTYPE_RGB24, false, 1},
                         Case{MEDIASUBTYPE_RGB24, true, 1}}) {
        const auto src = redTopRow(c.subtype, c.bottomUp);
        const auto layout = layoutFor(c.subtype, c.bottomUp);
        ASSERT_EQ(LONG(src.size()), layout.size);
        std::vector<BYTE> band(kW * 4 * kBandRows);
        for (int bits : {24, 32}) {
            const LONG stride = ((kW * bits + 31) / 32) * 4;
            std::vector<BYTE> dst(size_t(stride) * kH + 16, 0xCD);
            ASSERT_TRUE(convertToRgb(layout, src.data(), dst.data(), stride, bits, band.data()));
            for (LONG row = 0; row < kH; ++row) {
                const BYTE* first = dst.data() + row * stride; // memory row 0 is the bottom
                const bool shouldBeRed = row >= kH - c.redRows;
                EXPECT_EQ(isRed(first), shouldBeRed) << bits << " row " << row;
                EXPECT_EQ(isBlue(first), !shouldBeRed) << bits << " row " << row;
            }
            EXPECT_EQ(dst[size_t(stride) * kH], 0xCD); // nothing written past the picture
        }
    }
}

TEST(ColourConversion, LayoutRefusesWhatItCannotSize) {
    BITMAPINFOHEADER h{};
    PictureLayout layout{};
    h.biWidth = 0;
    h.biHeight = 10;
    EXPECT_FALSE(layoutOf(MEDIASUBTYPE_YUY2, h, layout));
    h.biWidth = 100000;
    EXPECT_FALSE(layoutOf(MEDIASUBTYPE_YUY2, h, layout));
    h.biWidth = 10;
    h.biBitCount = 32;
    EXPECT_FALSE(layoutOf(MEDIASUBTYPE_RGB24, h, layout)); // bit count disagrees with subtype
    EXPECT_FALSE(layoutOf(MEDIASUBTYPE_MJPG, h, layout));
    h.biWidth = 5;
    h.biHeight = 3;
    h.biBitCount = 16;
    ASSERT_TRUE(layoutOf(MEDIASUBTYPE_YUY2, h, layout));
    EXPECT_EQ(layout.stride, 12); // rows padded to 4 bytes
    ASSERT_TRUE(layoutOf(MEDIASUBTYPE_I420, h, layout));
    EXPECT_EQ(layout.size, 15 + 2 * 3 * 2);
}

} // namespace

namespace {

// A picture placed so that its last byte is the last readable byte: the page after it is
// unmapped, so reading one byte too far faults in any build.
class EndOfPage {
public:
    explicit EndOfPage(size_t size) : size_(size) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        mapped_ = ((size + page - 1) / page + 1) * page;
        base_ = static_cast<BYTE*>(
            mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ != MAP_FAILED)
            mprotect(base_ + mapped_ - page, page, PROT_NONE);
    }
    ~EndOfPage() {
        if (base_ != MAP_FAILED)
            munmap(base_, mapped_);
    }
    EndOfPage(const EndOfPage&) = delete;
    EndOfPage& operator=(const EndOfPage&) = delete;
    bool ok() const { return base_ != MAP_FAILED; }
    BYTE* data() { return base_ + (mapped_ - size_t(sysconf(_SC_PAGESIZE))) - size_; }

private:
    size_t size_, mapped_ = 0;
    BYTE* base_;
};

} // namespace

TEST(ColourConversion, OddSizedFourTwoZeroPicturesConvertWithoutReadingPastThem) {
    // 7x5: the last chroma column covers one pixel, the last chroma row one row.
    const LONG w = 7, h = 5, cw = 4, ch = 3;
    const BYTE redY = 81, redU = 90, redV = 240, blueY = 41, blueU = 240, blueV = 110;
    for (const GUID& subtype : {MEDIASUBTYPE_NV12, MEDIASUBTYPE_I420}) {
        const bool nv12 = subtype == MEDIASUBTYPE_NV12;
        SCOPED_TRACE(nv12 ? "NV12" : "I420");
        BITMAPINFOHEADER header{};
        header.biWidth = w;
        header.biHeight = -h;
        header.biBitCount = 12;
        PictureLayout layout{};
        ASSERT_TRUE(layoutOf(subtype, header, layout));
        ASSERT_EQ(layout.size, w * h + 2 * cw * ch);
        // Rows 0 and 1 red (one chroma row), the rest blue; the last row (4) is blue and has
        // a chroma row of its own.
        std::vector<BYTE> picture;
        for (LONG y = 0; y < h; ++y)
            picture.insert(picture.end(), size_t(w), y < 2 ? redY : blueY);
        if (nv12) {
            for (LONG y = 0; y < ch; ++y)
                for (LONG x = 0; x < cw; ++x)
                    picture.insert(picture.end(), {y == 0 ? redU : blueU, y == 0 ? redV : blueV});
        } else {
            for (const bool uPlane : {true, false})
                for (LONG y = 0; y < ch; ++y)
                    picture.insert(picture.end(), size_t(cw),
                                   y == 0 ? (uPlane ? redU : redV) : (uPlane ? blueU : blueV));
        }
        ASSERT_EQ(LONG(picture.size()), layout.size);
        EndOfPage source(picture.size());
        ASSERT_TRUE(source.ok());
        std::copy(picture.begin(), picture.end(), source.data());
        std::vector<BYTE> band(size_t(w) * 4 * kBandRows);
        for (const int bits : {24, 32}) {
            const LONG stride = ((w * bits + 31) / 32) * 4;
            std::vector<BYTE> dst(size_t(stride) * h + 16, 0xCD);
            ASSERT_TRUE(convertToRgb(layout, source.data(), dst.data(), stride, bits, band.data()));
            for (LONG row = 0; row < h; ++row) // memory row 0 is the bottom of the picture
                for (LONG x = 0; x < w; ++x) {
                    const BYTE* pixel = dst.data() + row * stride + x * (bits / 8);
                    EXPECT_EQ(isRed(pixel), row >= h - 2) << bits << " row " << row << " x " << x;
                    EXPECT_EQ(isBlue(pixel), row < h - 2) << bits << " row " << row << " x " << x;
                }
            EXPECT_EQ(dst[size_t(stride) * h], 0xCD);
        }
    }
}
