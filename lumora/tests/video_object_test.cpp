// CVideo object: initial state, open modes, closing and copying.
#include <lumora/Video.h>
#include <platform/media/test_pattern_camera.h>
#include <platform/text.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

TEST(VideoObject, NewObjectIsClosedWithDefaults) {
    CVideo video;
    EXPECT_EQ(video.IsOpen(), 0);
    EXPECT_EQ(video.GetOpenMode(), OPEN_CLOSED);
    EXPECT_EQ(video.IsConnect(), 0);
    EXPECT_EQ(video.IsRunning(), 0);
    EXPECT_EQ(video.GetFrameInterval(), 333333);
    EXPECT_EQ(video.GetFrameCount(), 0);
    EXPECT_EQ(video.GetBitmapInfoPtr(), nullptr);
    EXPECT_TRUE(video.GetFileName().IsEmpty());
    tVideoInf inf{7, 7, 7, 7};
    EXPECT_EQ(video.GetVideoInf(inf), FALSE);
    EXPECT_EQ(inf.nWidth, 7); // untouched
}

TEST(VideoObject, UnknownModesAreRefusedAndChangeNothing) {
    CVideo video;
    EXPECT_EQ(video.Open(0, "x", 0), -1);
    EXPECT_EQ(video.Open(3, "x", 0), -1);
    EXPECT_EQ(video.Open(-1, nullptr, -1), -1);
    EXPECT_EQ(video.GetOpenMode(), OPEN_CLOSED);
}

TEST(VideoObject, FailedOpenLeavesTheObjectClosed) {
    CVideo video;
    EXPECT_LT(video.Open(OPEN_FILE, "/nonexistent/clip.avi", 0), 0);
    EXPECT_EQ(video.GetOpenMode(), OPEN_CLOSED);
    EXPECT_EQ(video.IsConnect(), 0);
    EXPECT_LT(video.Open(OPEN_DEVICE, "/dev/no-such-camera", -1), 0);
    EXPECT_EQ(video.GetOpenMode(), OPEN_CLOSED);
    EXPECT_EQ(video.IsConnect(), 0);
    EXPECT_TRUE(video.GetFileName().IsEmpty());
}

TEST(VideoObject, CloseIsHarmlessOnAClosedObject) {
    CVideo video;
    video.Close();
    video.Close();
    EXPECT_EQ(video.GetOpenMode(), OPEN_CLOSED);
    EXPECT_EQ(video.GetFrameInterval(), 333333);
}

// Counts the frames the callback sees with its own parameter.
struct FrameCount {
    std::mutex lock;
    std::condition_variable arrived;
    int frames = 0;
    static void callback(BYTE* pixels, void* param) {
        auto* self = static_cast<FrameCount*>(param);
        std::lock_guard held(self->lock);
        self->frames += pixels != nullptr;
        self->arrived.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock held(lock);
        return arrived.wait_for(held, std::chrono::seconds(10), [&] { return frames >= n; });
    }
};

std::string testPatternPath() {
    char path[256] = {};
    WideCharToMultiByte(CP_ACP, 0, platform::media::kTestPatternPath, -1, path, sizeof(path),
                        nullptr, nullptr);
    return path;
}

// Opens the test-pattern camera and captures until the callback has seen `frames` frames.
bool captures(CVideo& video, FrameCount& count, int frames) {
    if (video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1) != 0 ||
        video.CaptureStart(nullptr, nullptr) != 0)
        return false;
    const bool seen = count.waitFor(frames);
    video.Close();
    return seen;
}

TEST(VideoObject, CallbackSurvivesCloseAndFailedOpenAndIsCopied) {
    FrameCount count;
    CVideo video;
    video.SetSampleCallBack(FrameCount::callback, &count);
    video.Close();
    EXPECT_LT(video.Open(OPEN_FILE, "/nonexistent", 0), 0);
    // The callback registered before still gets the frames of the next open.
    EXPECT_TRUE(captures(video, count, 2));
    // A copy and an assigned object carry the same pair, and deliver to it.
    CVideo copy(video);
    EXPECT_TRUE(captures(copy, count, count.frames + 2));
    CVideo assigned;
    assigned = copy;
    EXPECT_EQ(assigned.GetOpenMode(), OPEN_CLOSED);
    EXPECT_EQ(assigned.GetFrameInterval(), 333333);
    EXPECT_TRUE(captures(assigned, count, count.frames + 2));
    // Cleared, nothing is delivered any more.
    assigned.SetSampleCallBack(nullptr, nullptr);
    ASSERT_EQ(assigned.Open(OPEN_DEVICE, testPatternPath().c_str(), -1), 0);
    ASSERT_EQ(assigned.CaptureStart(nullptr, nullptr), 0);
    const int before = count.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    assigned.Close();
    std::lock_guard held(count.lock);
    EXPECT_EQ(count.frames, before);
}

TEST(VideoObject, ExportedLayoutKeepsItsSizes) {
    EXPECT_EQ(sizeof(tVideoDev), 128u + 128u + 256u + 4u);
    EXPECT_EQ(sizeof(tVideoInf), 24u);
    EXPECT_EQ(sizeof(tVideoCapInf), 40u);
    EXPECT_EQ(CAPINF_MAX, 32);
}

} // namespace
