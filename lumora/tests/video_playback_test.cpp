// File playback through CVideo: files made by ffmpeg (a tool nobody here wrote) in common
// containers and codecs, each picture carrying its frame number in a strip of ten blocks.
#include <lumora/Video.h>
#include <platform/media/media_types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The strip: the top 48 rows, ten blocks across, block k white when bit k of the frame
// number is set.
constexpr const char* kNumberStrip =
    "format=yuv420p,geq=lum='if(lt(Y,48),255*mod(trunc(N/pow(2,trunc(X*10/W))),2),lum(X,Y))'"
    ":cb='if(lt(Y,48),128,cb(X,Y))':cr='if(lt(Y,48),128,cr(X,Y))'";

struct Clip {
    const char* name;
    const char* codec; // ffmpeg's output options
    int width, height;
};

const Clip kClips[] = {
    {"mjpeg.avi", "-c:v mjpeg -q:v 3", 320, 240},
    {"h264.mp4", "-c:v libx264 -pix_fmt yuv420p -g 50", 642, 362},
    {"mpeg4.mov", "-c:v mpeg4 -q:v 3 -g 50", 320, 240},
    {"ffv1.mkv", "-c:v ffv1", 320, 240},
};

fs::path clipDir() {
    return fs::temp_directory_path() / ("lumora-play-" + std::to_string(getpid()));
}

bool makeClip(const Clip& clip) {
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(clip.width) +
        "x" + std::to_string(clip.height) + ":rate=25 -frames:v 300 -vf \"" + kNumberStrip + "\" " +
        clip.codec + " '" + (clipDir() / clip.name).string() + "'";
    return std::system(command.c_str()) == 0;
}

// Reads the frame number from a bottom-up 24-bit picture.
int frameNumber(const BYTE* pixels, int width, int height) {
    const int stride = ((width * 24 + 31) / 32) * 4;
    const BYTE* row = pixels + size_t(height - 1 - 24) * size_t(stride);
    int number = 0;
    for (int bit = 0; bit < 10; ++bit) {
        const int x = (2 * bit + 1) * width / 20;
        const BYTE* p = row + x * 3;
        if ((p[0] + p[1] + p[2]) / 3 >= 128)
            number |= 1 << bit;
    }
    return number;
}

// Frame numbers the callback saw, in order.
struct Seen {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<int> numbers;
    int width = 0, height = 0;

    static void callback(BYTE* pixels, void* param) {
        auto* self = static_cast<Seen*>(param);
        std::lock_guard held(self->lock);
        self->numbers.push_back(frameNumber(pixels, self->width, self->height));
        self->arrived.notify_all();
    }
    void watch(CVideo& video) {
        width = video.GetBitmapInfoPtr()->bmiHeader.biWidth;
        height = video.GetBitmapInfoPtr()->bmiHeader.biHeight;
        numbers.reserve(1024);
        video.SetSampleCallBack(callback, this);
    }
    bool waitFor(size_t count) {
        std::unique_lock held(lock);
        return arrived.wait_for(held, std::chrono::seconds(10),
                                [&] { return numbers.size() >= count; });
    }
    int last() {
        std::lock_guard held(lock);
        return numbers.empty() ? -1 : numbers.back();
    }
    size_t size() {
        std::lock_guard held(lock);
        return numbers.size();
    }
};

struct file_playback : ::testing::TestWithParam<Clip> {
    // Each case runs in a process of its own, so it makes only the clip it plays.
    void SetUp() override {
        fs::create_directories(clipDir());
        ASSERT_TRUE(makeClip(GetParam())) << GetParam().name;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(clipDir(), ignored);
    }
    std::string path() const { return (clipDir() / GetParam().name).string(); }
};

} // namespace

TEST_P(file_playback, OpensWithItsFrameCountAndSeeksToTheFrameAsked) {
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, path().c_str(), 0), 0) << path();
    EXPECT_EQ(video.GetOpenMode(), OPEN_FILE);
    EXPECT_EQ(video.GetFrameCount(), 300);
    EXPECT_EQ(video.GetFrameInterval(), UNITS / 25);
    EXPECT_STREQ(video.GetFileName(), path().c_str());
    const BITMAPINFO* info = video.GetBitmapInfoPtr();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->bmiHeader.biWidth, GetParam().width);
    EXPECT_EQ(info->bmiHeader.biHeight, GetParam().height);
    EXPECT_EQ(info->bmiHeader.biBitCount, 24);

    Seen seen;
    seen.watch(video);
    // The cued frame is in the grabber: GetCurrentImage hands it to the callback.
    EXPECT_EQ(video.GetCurrentImage(nullptr, 0), 0);
    ASSERT_TRUE(seen.waitFor(1));
    EXPECT_EQ(seen.last(), 0);

    EXPECT_EQ(video.SetPlayPos(120), 120);
    ASSERT_TRUE(seen.waitFor(2));
    EXPECT_EQ(seen.last(), 120);
    EXPECT_EQ(video.SetPlayPos(7), 7); // backwards too
    ASSERT_TRUE(seen.waitFor(3));
    EXPECT_EQ(seen.last(), 7);
    // The last frame is reachable; one past it is refused and shows nothing.
    EXPECT_EQ(video.SetPlayPos(299), 299);
    ASSERT_TRUE(seen.waitFor(4));
    EXPECT_EQ(seen.last(), 299);
    EXPECT_EQ(video.SetPlayPos(300), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(seen.size(), 4u);
    video.SetSampleCallBack(nullptr, nullptr);
}

TEST_P(file_playback, PlaysInOrderPausesAndStopRewindsToTheFirstFrame) {
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, path().c_str(), 0), 0) << path();
    Seen seen;
    seen.watch(video);
    ASSERT_EQ(video.SetPlayPos(200), 200);
    ASSERT_TRUE(seen.waitFor(1));
    ASSERT_EQ(video.PlayStart(), 0);
    EXPECT_TRUE(video.IsRunning());
    ASSERT_TRUE(seen.waitFor(8));
    video.PlayPause();
    EXPECT_FALSE(video.IsRunning());
    const size_t atPause = seen.size();
    video.PlayStop(); // paused: nothing happens, no rewind
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(seen.size(), atPause + 1);
    {
        std::lock_guard held(seen.lock);
        // The cued frame, then playing from it: the same frame starts the run.
        ASSERT_GE(seen.numbers.size(), 3u);
        EXPECT_EQ(seen.numbers[0], 200);
        EXPECT_EQ(seen.numbers[1], 200);
        for (size_t i = 2; i < seen.numbers.size(); ++i)
            EXPECT_EQ(seen.numbers[i], seen.numbers[i - 1] + 1) << "at " << i;
    }
    // Playing on after the pause continues, then stop rewinds to frame 0.
    ASSERT_EQ(video.PlayStart(), 0);
    ASSERT_TRUE(seen.waitFor(atPause + 3));
    video.PlayStop();
    EXPECT_FALSE(video.IsRunning());
    EXPECT_EQ(seen.last(), 0);
    video.Close();
    EXPECT_EQ(video.GetFrameCount(), 0);
    EXPECT_STREQ(video.GetFileName(), "");
    EXPECT_EQ(video.GetFrameInterval(), UNITS / 25);
}

INSTANTIATE_TEST_SUITE_P(Clips, file_playback, ::testing::ValuesIn(kClips), [](const auto& clip) {
    std::string name = clip.param.name;
    for (char& c : name)
        if (c == '.')
            c = '_';
    return name;
});

TEST(file_playback_refusal, BadInputGivesMinusThreeAndLeavesTheObjectClosed) {
    const fs::path dir = clipDir() / "bad";
    fs::create_directories(dir);
    const std::string empty = (dir / "empty.avi").string();
    std::ofstream(empty).close();
    const std::string noise = (dir / "noise.avi").string();
    {
        std::mt19937 random(7);
        std::ofstream out(noise, std::ios::binary);
        for (int i = 0; i < 200000; ++i)
            out.put(char(random()));
    }
    const std::string whole = (dir / "whole.avi").string();
    const std::string truncated = (dir / "truncated.avi").string();
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 "
                           "-frames:v 50 -c:v mjpeg '" +
                           whole + "'")
                              .c_str()),
              0);
    {
        std::ifstream in(whole, std::ios::binary);
        std::vector<char> bytes(200);
        in.read(bytes.data(), std::streamsize(bytes.size()));
        std::ofstream(truncated, std::ios::binary).write(bytes.data(), in.gcount());
    }
    const std::string tooLong = (dir / std::string(300, 'x')).string();
    for (const std::string& name :
         {(dir / "missing.avi").string(), empty, noise, truncated, tooLong, dir.string()}) {
        CVideo video;
        EXPECT_EQ(video.Open(OPEN_FILE, name.c_str(), 0), -3) << name;
        EXPECT_EQ(video.GetOpenMode(), OPEN_CLOSED);
        EXPECT_EQ(video.GetBitmapInfoPtr(), nullptr);
        EXPECT_STREQ(video.GetFileName(), "");
        EXPECT_EQ(video.GetFrameCount(), 0);
        EXPECT_EQ(video.PlayStart(), -1);
        EXPECT_EQ(video.SetPlayPos(3), -1);
    }
    CVideo video;
    EXPECT_EQ(video.Open(OPEN_FILE, nullptr, 0), -3);
    EXPECT_EQ(video.Open(OPEN_FILE, "", 0), -3);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
