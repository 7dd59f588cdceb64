// Tests of V4L2 node discovery and format mapping against the simulated devices.
#include "media/sources/v4l2/discovery.h"
#include "media/sources/v4l2/pixel_formats.h"
#include "testing/simulated_v4l2.h"

#include <gtest/gtest.h>

namespace v4l2 = platform::media::v4l2;
using v4l2::testing::SimulatedV4l2;

TEST(V4l2Discovery, ListsCaptureNodesOnlyInNumericOrderWithStablePaths) {
    SimulatedV4l2 sim;
    sim.addDevice(v4l2::testing::uvcCamera("/dev/video10", "Late Cam"));
    sim.addDevice(
        v4l2::testing::uvcCamera("/dev/video2", "USB Cam", "usb-Maker_USB_Cam-video-index0"));
    sim.addDevice(v4l2::testing::metadataNode("/dev/video3", "USB Cam"));
    auto output = v4l2::testing::uvcCamera("/dev/video4", "Output");
    output.deviceCaps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
    sim.addDevice(output);

    const auto nodes = v4l2::discoverCaptureNodes(sim);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].node, "/dev/video2");
    EXPECT_EQ(nodes[0].card, "USB Cam");
    EXPECT_EQ(nodes[0].devicePath, "/dev/v4l/by-id/usb-Maker_USB_Cam-video-index0");
    EXPECT_EQ(nodes[0].description, "uvcvideo video capture at usb-0000:00:14.0-1");
    EXPECT_EQ(nodes[1].node, "/dev/video10");
    EXPECT_EQ(nodes[1].devicePath, "/dev/video10"); // no link: the node itself
    EXPECT_EQ(v4l2::nodeForPath(sim, nodes[0].devicePath), "/dev/video2");
    // Discovery leaves nothing open behind it.
    EXPECT_EQ(sim.openDescriptors("/dev/video2"), 0);
    EXPECT_EQ(sim.openDescriptors("/dev/video3"), 0);
}

TEST(V4l2Discovery, SeesUnplugAtOnceAndSkipsNodesThatFailToAnswer) {
    SimulatedV4l2 sim;
    sim.addDevice(v4l2::testing::uvcCamera("/dev/video0", "A"));
    sim.addDevice(v4l2::testing::uvcCamera("/dev/video1", "B"));
    EXPECT_EQ(v4l2::discoverCaptureNodes(sim).size(), 2u);
    sim.unplug("/dev/video0");
    auto nodes = v4l2::discoverCaptureNodes(sim);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].card, "B");
    sim.failNext(VIDIOC_QUERYCAP, EIO);
    EXPECT_TRUE(v4l2::discoverCaptureNodes(sim).empty());
    EXPECT_EQ(sim.openDescriptors("/dev/video1"), 0);
}

TEST(V4l2Discovery, DriverStringsAreBoundedAndCleaned) {
    const unsigned char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(v4l2::fieldText(unterminated, sizeof(unterminated)), "abcd");
    const unsigned char control[6] = {'x', '\n', 'y', ' ', 0, 'z'};
    EXPECT_EQ(v4l2::fieldText(control, sizeof(control)), "x y");
}

TEST(V4l2PixelFormats, MapToSubtypesAndBitCounts) {
    struct Case {
        uint32_t fourcc;
        GUID subtype;
        WORD bits;
    } cases[] = {
        {V4L2_PIX_FMT_YUYV, MEDIASUBTYPE_YUY2, 16},   {V4L2_PIX_FMT_MJPEG, MEDIASUBTYPE_MJPG, 24},
        {V4L2_PIX_FMT_NV12, MEDIASUBTYPE_NV12, 12},   {V4L2_PIX_FMT_YUV420, MEDIASUBTYPE_I420, 12},
        {V4L2_PIX_FMT_BGR24, MEDIASUBTYPE_RGB24, 24}, {V4L2_PIX_FMT_GREY, MEDIASUBTYPE_Y800, 8},
        {V4L2_PIX_FMT_XBGR32, MEDIASUBTYPE_RGB32, 32}};
    for (const Case& c : cases) {
        const auto format = v4l2::pixelFormatFromFourcc(c.fourcc);
        ASSERT_TRUE(format);
        EXPECT_EQ(format->subtype, c.subtype);
        EXPECT_EQ(format->bitCount, c.bits);
        const auto back = v4l2::pixelFormatFromSubtype(c.subtype);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->fourcc, c.fourcc);
    }
    EXPECT_FALSE(v4l2::pixelFormatFromFourcc(V4L2_PIX_FMT_H264));
    EXPECT_FALSE(v4l2::pixelFormatFromSubtype(MEDIASUBTYPE_RGB565));

    const auto rgb = *v4l2::pixelFormatFromFourcc(V4L2_PIX_FMT_BGR24);
    EXPECT_EQ(v4l2::frameBytes(rgb, 641, 480), 1924u * 480); // DIB rows padded to 4 bytes
    EXPECT_EQ(v4l2::frameBytes(*v4l2::pixelFormatFromFourcc(V4L2_PIX_FMT_NV12), 640, 480), 460800u);
    // 4:2:0 at odd sizes: the chroma planes round each side up.
    for (const uint32_t fourcc : {V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420})
        EXPECT_EQ(v4l2::frameBytes(*v4l2::pixelFormatFromFourcc(fourcc), 641, 481),
                  641u * 481 + 2 * (321u * 241));
    EXPECT_EQ(v4l2::frameBytes(*v4l2::pixelFormatFromFourcc(V4L2_PIX_FMT_XBGR32), 641, 3),
              641u * 4 * 3);
    EXPECT_EQ(v4l2::frameBytes(rgb, 0, 480), 0u);
    EXPECT_EQ(v4l2::frameBytes(rgb, 100000, 480), 0u);
}
