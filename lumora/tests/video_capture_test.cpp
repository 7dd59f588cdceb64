// Live capture: CaptureStart without a file, CaptureStop, CaptureEnd, a camera unplugged
// mid-capture, the test-pattern camera's frame counter, and stopping, rebuilding, closing or
// destroying from inside the frame callback.
#include "SimulatedCameras.h"

#include <platform/media/test_pattern_camera.h>
#include <platform/text.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
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

namespace {

// A frame callback that, on its first frame, runs one action on the object it watches (from
// the streaming thread, inside the callback) and reports how long the action took.
struct ActInsideCallback {
    std::function<void()> action;
    std::mutex lock;
    std::condition_variable done;
    bool acted = false;
    std::chrono::steady_clock::duration took{};
    int runningAfter = -1;
    long long calls = 0;
    CVideo* video = nullptr;

    static void callback(BYTE*, void* param) {
        auto* self = static_cast<ActInsideCallback*>(param);
        bool first = false;
        {
            std::lock_guard held(self->lock);
            first = self->calls++ == 0;
        }
        if (!first)
            return;
        const auto start = std::chrono::steady_clock::now();
        self->action();
        const auto took = std::chrono::steady_clock::now() - start;
        std::lock_guard held(self->lock);
        self->took = took;
        self->acted = true;
        self->done.notify_all();
    }
    // A hung action would hang every later step too: give up on the whole program at once.
    void waitActed() {
        std::unique_lock held(lock);
        if (!done.wait_for(held, std::chrono::seconds(10), [&] { return acted; })) {
            std::fprintf(stderr, "the action inside the frame callback never returned\n");
            std::_Exit(1);
        }
    }
    long long count() {
        std::lock_guard held(lock);
        return calls;
    }
};

// Polls until `done` holds, for at most 5 seconds.
template <class F> bool eventually(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

TEST_F(Capturing, StopInsideTheFrameCallbackReturnsAtOnceAndALaterCloseEndsIt) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    ActInsideCallback inside;
    inside.action = [&] {
        video.CaptureStop();
        inside.runningAfter = video.IsRunning();
    };
    video.SetSampleCallBack(ActInsideCallback::callback, &inside);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    inside.waitActed();
    EXPECT_LT(inside.took, std::chrono::seconds(2));
    EXPECT_EQ(inside.runningAfter, 1); // refused: the stop could not happen there
    EXPECT_TRUE(video.IsRunning());
    // Capture went on, and a Close from this thread ends it and lets the camera go.
    EXPECT_TRUE(eventually([&] { return inside.count() >= 3; }));
    video.Close();
    EXPECT_FALSE(video.IsRunning());
    EXPECT_EQ(video.GetOpenMode(), OPEN_CLOSED);
    EXPECT_EQ(cameras.sim().openDescriptors("/dev/video0"), 0);
    const long long atClose = inside.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(inside.count(), atClose);
}

TEST_F(Capturing, RebuildingInsideTheFrameCallbackIsRefusedAndKeepsTheGraph) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    const BITMAPINFO* frame = video.GetBitmapInfoPtr();
    ASSERT_NE(frame, nullptr);
    ActInsideCallback inside;
    int result = 0;
    inside.action = [&] {
        result = video.CaptureInit(1280, 720, 16, 333333);
        video.CaptureEnd(); // refused the same way: nothing it uses may go
        inside.runningAfter = video.IsRunning();
    };
    video.SetSampleCallBack(ActInsideCallback::callback, &inside);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    inside.waitActed();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(inside.runningAfter, 1);
    EXPECT_EQ(video.GetBitmapInfoPtr(), frame);
    EXPECT_EQ(frame->bmiHeader.biWidth, 640);
    EXPECT_TRUE(eventually([&] { return inside.count() >= 3; })); // frames still land
    video.CaptureStop();
    EXPECT_FALSE(video.IsRunning());
}

TEST_F(Capturing, CloseOrDestroyInsideTheFrameCallbackReleasesTheCameraOnceItReturns) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "close");
        auto video = std::make_unique<CVideo>();
        ASSERT_EQ(video->Open(OPEN_DEVICE, "Sim UVC", 0), 0);
        ActInsideCallback inside;
        int openAfter = -1;
        inside.action = [&] {
            if (destroy) {
                video.reset();
            } else {
                video->Close();
                openAfter = video->GetOpenMode();
            }
        };
        video->SetSampleCallBack(ActInsideCallback::callback, &inside);
        ASSERT_EQ(video->CaptureStart(nullptr, nullptr), 0);
        inside.waitActed();
        EXPECT_LT(inside.took, std::chrono::seconds(2));
        if (!destroy) {
            EXPECT_EQ(openAfter, OPEN_CLOSED);
            EXPECT_FALSE(video->IsRunning());
            EXPECT_EQ(video->GetBitmapInfoPtr(), nullptr);
        }
        // The graph stops and lets the camera go once the callback has returned.
        EXPECT_TRUE(eventually([&] {
            return cameras.sim().openDescriptors("/dev/video0") == 0 &&
                   !cameras.sim().streaming("/dev/video0");
        }));
        EXPECT_EQ(inside.count(), 1); // no frame after the close
        if (video) {
            // The closed object opens again at once.
            ASSERT_EQ(video->Open(OPEN_DEVICE, "Sim UVC", 0), 0);
            video->SetSampleCallBack(nullptr, nullptr);
        }
    }
}

TEST_F(Capturing, StartAfterAFailedFormatChangeIsRefused) {
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    ASSERT_EQ(video.CaptureInit(800, 600, 24, 333333), -1); // a size the camera refuses
    EXPECT_EQ(video.GetBitmapInfoPtr(), nullptr);
    EXPECT_EQ(video.CaptureStart(nullptr, nullptr), -1);
    EXPECT_FALSE(video.IsRunning());
    // A format the camera takes builds the graph again, and then capture starts.
    ASSERT_EQ(video.CaptureInit(640, 480, 24, 333333), 0);
    simcam::Frames frames;
    frames.watch(video);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    EXPECT_TRUE(frames.waitFor(2));
    video.CaptureStop();
}
