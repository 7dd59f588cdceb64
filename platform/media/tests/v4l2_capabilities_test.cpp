// Tests of capability enumeration and the format and rate ioctls against simulated devices.
#include "media/sources/v4l2/capabilities.h"
#include "media/sources/v4l2/stream_format.h"
#include "testing/simulated_v4l2.h"

#include <gtest/gtest.h>

namespace v4l2 = platform::media::v4l2;
using v4l2::testing::SimDeviceSpec;
using v4l2::testing::SimFormat;
using v4l2::testing::SimulatedV4l2;

namespace {

v4l2::DeviceFd openNode(SimulatedV4l2& sim, const std::string& node) {
    v4l2::DeviceFd fd;
    EXPECT_EQ(v4l2::DeviceFd::open(sim, node, &fd), 0);
    return fd;
}

SimFormat stepwiseFormat(uint32_t fourcc) {
    SimFormat f;
    f.fourcc = fourcc;
    f.stepwise = true;
    f.range = {160, 640, 16, 120, 480, 8};
    f.stepwiseIntervals = true;
    f.minInterval = 166666;
    f.maxInterval = 2000000;
    return f;
}

} // namespace

TEST(V4l2Capabilities, DiscreteSizesGiveOneCapabilityEachWithTheirIntervals) {
    SimulatedV4l2 sim;
    sim.addDevice(v4l2::testing::uvcCamera("/dev/video0", "Cam"));
    auto fd = openNode(sim, "/dev/video0");
    const auto caps = v4l2::enumerateCapabilities(fd);
    ASSERT_EQ(caps.size(), 5u);
    EXPECT_EQ(caps[0].format.subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(caps[0].minWidth, 640u);
    EXPECT_EQ(caps[0].maxWidth, 640u);
    EXPECT_EQ(caps[1].maxHeight, 720u);
    EXPECT_EQ(caps[4].format.subtype, MEDIASUBTYPE_MJPG);
    EXPECT_EQ(caps[4].maxWidth, 1920u);
    EXPECT_EQ(caps[4].minInterval, 333333);
    EXPECT_EQ(caps[4].maxInterval, 666666);
    EXPECT_EQ(caps[4].intervals, (std::vector<REFERENCE_TIME>{333333, 666666}));
    EXPECT_EQ(caps[4].nearestInterval(400000), 333333);
    EXPECT_EQ(caps[4].nearestInterval(0), 333333);
    EXPECT_TRUE(caps[0].coversSize(640, 480));
    EXPECT_FALSE(caps[0].coversSize(320, 240));
}

TEST(V4l2Capabilities, StepwiseRangesAndUnknownFormatsAndFallbacks) {
    SimulatedV4l2 sim;
    SimDeviceSpec spec;
    spec.node = "/dev/video0";
    SimFormat h264;
    h264.fourcc = V4L2_PIX_FMT_H264; // not carried: skipped
    h264.sizes = {{640, 480}};
    spec.formats = {h264, stepwiseFormat(V4L2_PIX_FMT_BGR24)};
    sim.addDevice(spec);
    auto fd = openNode(sim, "/dev/video0");
    auto caps = v4l2::enumerateCapabilities(fd);
    ASSERT_EQ(caps.size(), 1u);
    EXPECT_EQ(caps[0].format.subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(caps[0].minWidth, 160u);
    EXPECT_EQ(caps[0].maxWidth, 640u);
    EXPECT_EQ(caps[0].stepWidth, 16u);
    EXPECT_EQ(caps[0].minInterval, 166666);
    EXPECT_EQ(caps[0].maxInterval, 2000000);
    EXPECT_TRUE(caps[0].intervals.empty());
    EXPECT_TRUE(caps[0].coversSize(320, 240));
    EXPECT_FALSE(caps[0].coversSize(330, 240)); // off the width step
    EXPECT_EQ(caps[0].nearestInterval(10), 166666);

    // A driver with neither size nor interval enumeration: TRY_FMT bounds, current rate.
    SimulatedV4l2 old;
    SimDeviceSpec bare = spec;
    bare.formats = {stepwiseFormat(V4L2_PIX_FMT_YUYV)};
    bare.enumFrameSizes = false;
    bare.enumFrameIntervals = false;
    old.addDevice(bare);
    auto oldFd = openNode(old, "/dev/video0");
    caps = v4l2::enumerateCapabilities(oldFd);
    ASSERT_EQ(caps.size(), 1u);
    EXPECT_EQ(caps[0].minWidth, 160u);
    EXPECT_EQ(caps[0].maxHeight, 480u);
    EXPECT_EQ(caps[0].minInterval, caps[0].maxInterval);
    EXPECT_GT(caps[0].minInterval, 0);
}

TEST(V4l2Capabilities, EndlessOrAbsurdReportsAreBounded) {
    SimulatedV4l2 sim;
    auto spec = v4l2::testing::uvcCamera("/dev/video0", "Liar");
    spec.endlessFormats = true;
    sim.addDevice(spec);
    auto fd = openNode(sim, "/dev/video0");
    const auto caps = v4l2::enumerateCapabilities(fd);
    EXPECT_EQ(caps.size(), size_t(v4l2::kMaxFormats) * 2); // two sizes per repeated format
    EXPECT_EQ(sim.ioctlCount(VIDIOC_ENUM_FMT), uint64_t(v4l2::kMaxFormats));

    EXPECT_EQ(v4l2::intervalFromFraction(1, 30), 333333);
    EXPECT_EQ(v4l2::intervalFromFraction(1, 0), 0);
    EXPECT_EQ(v4l2::intervalFromFraction(0, 30), 0);
    EXPECT_EQ(v4l2::intervalFromFraction(4000000000u, 1), 0); // beyond 1000 s
    EXPECT_EQ(v4l2::intervalFromFraction(1, 4000000000u), 0); // rounds to nothing
}

TEST(V4l2StreamFormat, SetFormatAdjustsAndRateFollowsTheDevice) {
    SimulatedV4l2 sim;
    sim.addDevice(v4l2::testing::uvcCamera("/dev/video0", "Cam"));
    auto fd = openNode(sim, "/dev/video0");
    v4l2::StreamFormat format;
    ASSERT_EQ(v4l2::getFormat(fd, &format), 0);
    EXPECT_EQ(format.fourcc, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(format.width, 640u);
    ASSERT_EQ(v4l2::setFormat(fd, V4L2_PIX_FMT_MJPEG, 1900, 1000, &format), 0);
    EXPECT_EQ(format.fourcc, V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(format.width, 1920u); // the nearest size the device has
    EXPECT_EQ(format.height, 1080u);
    EXPECT_EQ(v4l2::setFrameInterval(fd, 700000), 666666);
    EXPECT_EQ(v4l2::getFrameInterval(fd), 666666);
    EXPECT_EQ(v4l2::setFrameInterval(fd, 0), 0);
    sim.failNext(VIDIOC_G_FMT, EINVAL);
    EXPECT_EQ(v4l2::getFormat(fd, &format), -EINVAL);
}
