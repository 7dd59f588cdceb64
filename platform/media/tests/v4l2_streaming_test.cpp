// Tests of the mmap buffer ring and the ioctl wrapper against simulated devices.
#include "media/sources/test_pattern/pattern_strip.h"
#include "media/sources/v4l2/buffer_ring.h"
#include "media/sources/v4l2/stream_format.h"
#include "testing/simulated_v4l2.h"

#include <gtest/gtest.h>

namespace v4l2 = platform::media::v4l2;
using v4l2::testing::SimulatedV4l2;

namespace {

constexpr const char* kNode = "/dev/video0";

struct Streaming : ::testing::Test {
    void SetUp() override {
        auto spec = v4l2::testing::uvcCamera(kNode, "Cam");
        spec.paced = false;
        sim.addDevice(spec);
        ASSERT_EQ(v4l2::DeviceFd::open(sim, kNode, &fd), 0);
    }
    SimulatedV4l2 sim;
    v4l2::DeviceFd fd;
};

} // namespace

TEST_F(Streaming, DeliversFramesInSequenceWithTimestampsAndCleansUp) {
    v4l2::BufferRing ring;
    ASSERT_EQ(ring.allocate(fd), 0);
    EXPECT_EQ(ring.count(), v4l2::BufferRing::kDefaultCount);
    EXPECT_EQ(sim.mappedBuffers(kNode), 4);
    ASSERT_EQ(ring.start(), 0);
    REFERENCE_TIME last = 0;
    for (uint32_t n = 0; n < 10; ++n) {
        v4l2::BufferRing::Frame frame;
        ASSERT_EQ(ring.dequeue(1000, &frame), 0);
        EXPECT_EQ(frame.sequence, n);
        EXPECT_EQ(frame.bytesUsed, 640u * 480 * 2);
        EXPECT_GE(frame.timestamp, last);
        last = frame.timestamp;
        platform::media::pattern::StripData strip;
        ASSERT_TRUE(platform::media::pattern::decodeStripYuy2(frame.data, 640, 480, &strip));
        EXPECT_EQ(strip.frameNumber, n);
        ASSERT_EQ(ring.requeue(frame.index), 0);
    }
    ring.release();
    EXPECT_EQ(sim.mappedBuffers(kNode), 0);
    EXPECT_FALSE(sim.streaming(kNode));
    // Freed buffers let the format change again.
    v4l2::StreamFormat format;
    EXPECT_EQ(v4l2::setFormat(fd, V4L2_PIX_FMT_MJPEG, 1280, 720, &format), 0);
}

TEST_F(Streaming, TheQueueIsExclusiveAndFormatLockedWhileBuffersExist) {
    v4l2::BufferRing ring;
    ASSERT_EQ(ring.allocate(fd), 0);
    v4l2::StreamFormat format;
    EXPECT_EQ(v4l2::setFormat(fd, V4L2_PIX_FMT_MJPEG, 1280, 720, &format), -EBUSY);
    v4l2::DeviceFd other;
    ASSERT_EQ(v4l2::DeviceFd::open(sim, kNode, &other), 0);
    v4l2::BufferRing second;
    EXPECT_EQ(second.allocate(other), -EBUSY);
    EXPECT_EQ(sim.mappedBuffers(kNode), 4);
    // Dequeue before streaming is refused, as the kernel does.
    v4l2::BufferRing::Frame frame;
    EXPECT_EQ(ring.dequeue(0, &frame), -EINVAL);
}

TEST_F(Streaming, InterruptedIoctlsAreRetried) {
    sim.injectEintr(3);
    v4l2::StreamFormat format;
    EXPECT_EQ(v4l2::getFormat(fd, &format), 0);
    EXPECT_EQ(sim.ioctlCount(VIDIOC_G_FMT), 4u);
}

TEST_F(Streaming, AbsurdBufferLengthIsRefusedAndNothingStaysMapped) {
    SimulatedV4l2 hostile;
    auto spec = v4l2::testing::uvcCamera(kNode, "Cam");
    spec.reportedBufferLength = 0xFFFFFFF0u;
    hostile.addDevice(spec);
    v4l2::DeviceFd hostileFd;
    ASSERT_EQ(v4l2::DeviceFd::open(hostile, kNode, &hostileFd), 0);
    v4l2::BufferRing ring;
    EXPECT_EQ(ring.allocate(hostileFd), -EPROTO);
    EXPECT_EQ(ring.count(), 0u);
    EXPECT_EQ(hostile.mappedBuffers(kNode), 0);
    // The driver's buffers were freed too: the format may change.
    v4l2::StreamFormat format;
    EXPECT_EQ(v4l2::setFormat(hostileFd, V4L2_PIX_FMT_MJPEG, 640, 480, &format), 0);
}

TEST_F(Streaming, UnplugEndsDequeueWithEnodevAndReleaseStillWorks) {
    v4l2::BufferRing ring;
    ASSERT_EQ(ring.allocate(fd), 0);
    ASSERT_EQ(ring.start(), 0);
    v4l2::BufferRing::Frame frame;
    ASSERT_EQ(ring.dequeue(1000, &frame), 0);
    sim.unplug(kNode);
    EXPECT_EQ(ring.requeue(frame.index), -ENODEV);
    EXPECT_EQ(ring.dequeue(1000, &frame), -ENODEV);
    ring.release();
    EXPECT_EQ(sim.mappedBuffers(kNode), 0);
    v4l2::DeviceFd again;
    EXPECT_EQ(v4l2::DeviceFd::open(sim, kNode, &again), -ENOENT);
}

TEST(V4l2StreamingPaced, NoFrameYetIsEagainNotAnError) {
    SimulatedV4l2 sim;
    auto spec = v4l2::testing::uvcCamera(kNode, "Slow");
    for (auto& format : spec.formats)
        format.intervals = {100 * UNITS}; // one frame per 100 s
    sim.addDevice(spec);
    v4l2::DeviceFd fd;
    ASSERT_EQ(v4l2::DeviceFd::open(sim, kNode, &fd), 0);
    v4l2::BufferRing ring;
    ASSERT_EQ(ring.allocate(fd, 2), 0);
    ASSERT_EQ(ring.start(), 0);
    v4l2::BufferRing::Frame frame;
    ASSERT_EQ(ring.dequeue(1000, &frame), 0); // the first frame is due at once
    EXPECT_EQ(ring.dequeue(0, &frame), -EAGAIN);
}
