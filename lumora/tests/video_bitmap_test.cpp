// Bitmap frame helpers: strides, colour tables, offsets and frame allocation.
#include <lumora/Video.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <vector>

namespace {

// Exposes the protected header-only helpers.
struct Frames : CVideo {
    using CVideo::GetBmpDataSize;
    using CVideo::GetBmpLineLen;
    using CVideo::GetBmpRGBNum;
};

BITMAPINFO format(LONG width, LONG height, WORD bits, DWORD compression = BI_RGB) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = bits;
    info.bmiHeader.biCompression = compression;
    return info;
}

TEST(BitmapHelpers, StridesRoundToWholeBytesThenFourBytes) {
    struct {
        LONG width;
        WORD bits;
        LONG stride;
    } cases[] = {{640, 24, 1920}, {641, 24, 1924}, {1, 1, 4},  {3, 4, 4},  {33, 1, 8},
                 {5, 8, 8},       {3, 16, 8},      {1, 32, 4}, {0, 24, 0}, {640, 0, 0}};
    for (const auto& c : cases) {
        BITMAPINFO info = format(c.width, 10, c.bits);
        EXPECT_EQ(Frames::GetBmpLineLen(&info.bmiHeader), c.stride)
            << c.width << " px at " << c.bits << " bits";
    }
    EXPECT_EQ(Frames::GetBmpLineLen(nullptr), -1);
}

TEST(BitmapHelpers, ColourTablesDependOnBitCountAndBitFields) {
    struct {
        WORD bits;
        DWORD compression;
        LONG entries;
        int offset;
    } cases[] = {{1, BI_RGB, 2, 48},  {4, BI_RGB, 16, 104},      {8, BI_RGB, 256, 1064},
                 {16, BI_RGB, 0, 40}, {16, BI_BITFIELDS, 3, 52}, {32, BI_BITFIELDS, 3, 52},
                 {32, BI_RGB, 0, 40}, {24, BI_BITFIELDS, 0, 40}, {0, BI_RGB, -1, 40},
                 {2, BI_RGB, -1, 40}, {15, BI_RGB, -1, 40}};
    for (const auto& c : cases) {
        BITMAPINFO info = format(16, 16, c.bits, c.compression);
        info.bmiHeader.biClrUsed = 7; // never read
        EXPECT_EQ(Frames::GetBmpRGBNum(&info.bmiHeader), c.entries) << c.bits << " bits";
        EXPECT_EQ(CVideo::GetBmpImageDataPos(&info), c.offset) << c.bits << " bits";
    }
    EXPECT_EQ(Frames::GetBmpRGBNum(nullptr), -1);
    EXPECT_EQ(CVideo::GetBmpImageDataPos(nullptr), -1);
    EXPECT_EQ(CVideo::GetBmpImageData(nullptr), nullptr);
}

TEST(BitmapHelpers, DataSizeUsesTheStoredHeight) {
    BITMAPINFO info = format(640, 480, 24);
    info.bmiHeader.biSizeImage = 12345; // carried, never used for sizing
    EXPECT_EQ(Frames::GetBmpDataSize(&info.bmiHeader), 921600);
    info.bmiHeader.biHeight = -480;
    EXPECT_EQ(Frames::GetBmpDataSize(&info.bmiHeader), -921600);
    EXPECT_EQ(Frames::GetBmpDataSize(nullptr), -1);
}

TEST(BitmapHelpers, DupBitmapAllocatesHeaderTableAndRows) {
    BITMAPINFO info = format(640, 480, 24);
    info.bmiHeader.biSizeImage = 777;
    BITMAPINFO* frame = CVideo::DupBitmap(&info);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(malloc_usable_size(frame) >= 921640u, true);
    EXPECT_EQ(std::memcmp(frame, &info, 40), 0); // header copied as it is, biSizeImage included
    // The pixel pointer is just past the table, and pixels + size is the end of the block.
    BYTE* pixels = CVideo::GetBmpImageData(frame);
    EXPECT_EQ(pixels, reinterpret_cast<BYTE*>(frame) + 40);
    std::memset(pixels, 0xAB, size_t(Frames::GetBmpDataSize(&frame->bmiHeader)));
    CVideo::ReleaseBitmap(frame);
}

TEST(BitmapHelpers, EightBitFramesAlwaysCarry256Colours) {
    std::vector<BYTE> source(40 + 1024);
    BITMAPINFO info = format(3, 2, 8);
    info.bmiHeader.biClrUsed = 2;
    std::memcpy(source.data(), &info, 40);
    for (size_t i = 40; i < source.size(); ++i)
        source[i] = BYTE(i);
    auto* src = reinterpret_cast<BITMAPINFO*>(source.data());

    BITMAPINFO* header = CVideo::DupBitmapInfo(src);
    ASSERT_NE(header, nullptr);
    EXPECT_GE(malloc_usable_size(header), 1064u);
    EXPECT_EQ(std::memcmp(header, source.data(), 1064), 0);
    CVideo::ReleaseBitmapInfo(header);

    BITMAPINFO* frame = CVideo::DupBitmap(src);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(std::memcmp(frame, source.data(), 1064), 0);
    EXPECT_EQ(CVideo::GetBmpImageData(frame), reinterpret_cast<BYTE*>(frame) + 1064);
    std::memset(CVideo::GetBmpImageData(frame), 0, 2 * 4); // two rows of 4 bytes fit
    CVideo::ReleaseBitmap(frame);
}

TEST(BitmapHelpers, UnknownBitCountsCopyNoColourTable) {
    for (WORD bits : {0, 2, 15}) {
        BITMAPINFO info = format(8, 8, bits);
        BITMAPINFO* header = CVideo::DupBitmapInfo(&info);
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(std::memcmp(header, &info, 40), 0);
        CVideo::ReleaseBitmapInfo(header);
        BITMAPINFO* frame = CVideo::DupBitmap(&info);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(CVideo::GetBmpImageData(frame), reinterpret_cast<BYTE*>(frame) + 40);
        CVideo::ReleaseBitmap(frame);
    }
}

TEST(BitmapHelpers, NullAndAbsurdFormatsAreRefusedSafely) {
    EXPECT_EQ(CVideo::DupBitmap(nullptr), nullptr);
    EXPECT_EQ(CVideo::DupBitmapInfo(nullptr), nullptr);
    CVideo::ReleaseBitmap(nullptr);
    CVideo::ReleaseBitmapInfo(nullptr);

    // A width whose stride cannot be sized in 32 bits is refused, never under-allocated.
    BITMAPINFO huge = format(0x7fffffff, 1, 32);
    EXPECT_EQ(Frames::GetBmpLineLen(&huge.bmiHeader), -1);
    EXPECT_EQ(CVideo::DupBitmap(&huge), nullptr);
    BITMAPINFO tall = format(65536, 65536, 32);
    EXPECT_EQ(Frames::GetBmpDataSize(&tall.bmiHeader), -1);
    EXPECT_EQ(CVideo::DupBitmap(&tall), nullptr);

    // A top-down frame gets room for all of its rows.
    BITMAPINFO topDown = format(4, -3, 24);
    BITMAPINFO* frame = CVideo::DupBitmap(&topDown);
    ASSERT_NE(frame, nullptr);
    std::memset(CVideo::GetBmpImageData(frame), 0, 12 * 3);
    CVideo::ReleaseBitmap(frame);
}

} // namespace
