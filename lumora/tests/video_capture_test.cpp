// Live capture: CaptureStart without a file, CaptureStop, CaptureEnd, a camera unplugged
// mid-capture, and the test-pattern camera's frame counter.
#include "SimulatedCameras.h"

#include <platform/media/test_pattern_camera.h>
#include <platform/text.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

std::string testPatternPath() {
    char path[256] = {};
    WideCharToMultiByte(CP_ACP, 0, platform::media::kTestPatternPath, -1, path, sizeof(path),
                        nullptr, nullptr);
    return path;
}

struct Capturing : ::testing::Test {
    simcam::Scope cameras;
};

} // namespace

TEST_F(Capturing, StartStopAndRestartFollowTheRunningFlag) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    CVideo video;
    EXPECT_EQ(video.CaptureStart(nullptr, nullptr), -1); // closed
    video.CaptureStop();                                 // not running: nothing to do
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    simcam::Frames frames;
    frames.watch(video);
    video.CaptureStop(); // not running yet
    EXPECT_FALSE(video.IsRunning());
    ASSERT_EQ(video.CaptureStart("", "any compressor"), 0);
    EXPECT_TRUE(video.IsRunning());
    EXPECT_EQ(video.CaptureStart(nullptr, nullptr), -1); // already running: nothing changes
    EXPECT_TRUE(video.IsRunning());
    ASSERT_TRUE(frames.waitFor(3));
    video.CaptureStop();
    EXPECT_FALSE(video.IsRunning());
    EXPECT_STREQ(video.GetFileName(), "");
    const LONGLONG counted = video.GetFrameCount();
    EXPECT_GE(counted, 3);
    // Restarting counts from zero again.
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    EXPECT_LT(video.GetFrameCount(), counted);
    video.CaptureEnd();
    EXPECT_FALSE(video.IsRunning());
    EXPECT_EQ(video.GetBitmapInfoPtr(), nullptr);
    video.CaptureEnd(); // twice is harmless
    video.SetSampleCallBack(nullptr, nullptr);
}

TEST_F(Capturing, RecordingIsRefusedCleanlyUntilAFileWriterExists) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    const std::string longName(300, 'a');
    EXPECT_EQ(video.CaptureStart(longName.c_str(), nullptr), -1);
    EXPECT_FALSE(video.IsRunning());
    EXPECT_STREQ(video.GetFileName(), "");
}

TEST_F(Capturing, UnplugMidCaptureEndsDeliveryAndStopReturns) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    simcam::Frames frames;
    frames.watch(video);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    ASSERT_TRUE(frames.waitFor(2));
    cameras.sim().unplug("/dev/video0");
    video.CaptureStop();
    EXPECT_FALSE(video.IsRunning());
    long long atStop = 0;
    {
        std::lock_guard lock(frames.lock);
        atStop = frames.count;
    }
    // Starting again fails at the device, cleanly, and nothing more arrives.
    EXPECT_EQ(video.CaptureStart(nullptr, nullptr), -1);
    EXPECT_FALSE(video.IsRunning());
    video.Close();
    {
        std::lock_guard lock(frames.lock);
        EXPECT_EQ(frames.count, atStop);
    }
    EXPECT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), -1); // gone from the list
}

TEST_F(Capturing, TestPatternCounterAdvancesByOnePerFrame) {
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1), 0);
    ASSERT_EQ(video.CaptureInit(320, 240, 24, UNITS / 60), 0);
    simcam::Frames frames;
    frames.watch(video);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    ASSERT_TRUE(frames.waitFor(12));
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    std::lock_guard lock(frames.lock);
    ASSERT_GE(frames.numbers.size(), 12u);
    EXPECT_EQ(frames.numbers.front(), 0u);
    for (size_t i = 1; i < frames.numbers.size(); ++i)
        EXPECT_EQ(frames.numbers[i], frames.numbers[i - 1] + 1) << "at " << i;
}

TEST_F(Capturing, TheTestPatternCameraIsListedLast) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    tVideoDev list[16];
    const int count = CVideo::GetCaptureDeviceList(list, 16);
    ASSERT_GE(count, 2);
    EXPECT_STREQ(list[count - 1].szDevicePath, testPatternPath().c_str());
    EXPECT_STREQ(list[count - 2].szFriendlyName, "Sim UVC");
}

TEST_F(Capturing, RebuildingReopeningOrDestroyingARunningCaptureStopsItFirst) {
    simcam::Frames frames;
    auto counted = [&] {
        std::lock_guard lock(frames.lock);
        return frames.count;
    };
    {
        CVideo video;
        ASSERT_EQ(video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1), 0);
        ASSERT_EQ(video.CaptureInit(160, 120, 24, UNITS / 60), 0);
        frames.watch(video);
        ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
        ASSERT_TRUE(frames.waitFor(2));
        // A new format while running: the capture stops before the graph is rebuilt.
        ASSERT_EQ(video.CaptureInit(320, 240, 24, UNITS / 60), 0);
        EXPECT_FALSE(video.IsRunning());
        ASSERT_NE(video.GetBitmapInfoPtr(), nullptr);
        EXPECT_EQ(video.GetBitmapInfoPtr()->bmiHeader.biWidth, 320);
        frames.watch(video);
        ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
        ASSERT_TRUE(frames.waitFor(counted() + 2));
        // Opening again while running closes the running source first.
        ASSERT_EQ(video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1), 0);
        EXPECT_FALSE(video.IsRunning());
        ASSERT_EQ(video.CaptureInit(160, 120, 24, UNITS / 60), 0);
        frames.watch(video);
        ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
        ASSERT_TRUE(frames.waitFor(counted() + 2));
    } // destroyed while running
    const long long atDestruction = counted();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a late frame would land here
    EXPECT_EQ(counted(), atDestruction);
}
