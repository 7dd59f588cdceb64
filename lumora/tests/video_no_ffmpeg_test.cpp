// A machine without FFmpeg: files, compressors, recording and the publisher's loader refuse
// with a clear message, nothing crashes, and the live camera still runs. The test runs itself
// again in a child process where every dlopen of FFmpeg fails (a preloaded library), so FFmpeg
// is gone for the whole process as on such a machine.
#include "AvFunctions.h"

#include <lumora/Video.h>
#include <platform/media/test_pattern_camera.h>
#include <platform/text.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kChildMarker = "LUMORA_NO_FFMPEG_CHILD";

// The folder the parent made; the child is told it through the marker.
fs::path dir() {
    if (const char* given = std::getenv(kChildMarker))
        return given;
    return fs::temp_directory_path() / ("lumora-no-ffmpeg-" + std::to_string(getpid()));
}

std::string testPatternPath() {
    char path[256] = {};
    WideCharToMultiByte(CP_ACP, 0, platform::media::kTestPatternPath, -1, path, sizeof(path),
                        nullptr, nullptr);
    return path;
}

void countFrame(BYTE*, void* param) {
    static_cast<std::atomic<int>*>(param)->fetch_add(1);
}

} // namespace

// Runs in the child only: FFmpeg cannot be loaded here.
TEST(no_ffmpeg_child, EverythingThatNeedsFfmpegRefusesAndTheCameraStillRuns) {
    if (!std::getenv(kChildMarker))
        GTEST_SKIP() << "runs in the child of machine_without_ffmpeg";
    // The publisher's loader says FFmpeg is missing and why.
    std::string why;
    EXPECT_EQ(loadAvFunctions(&why), nullptr);
    EXPECT_FALSE(why.empty());
    // A file that plays on any other machine is refused; the object stays closed.
    const std::string clip = (dir() / "clip.avi").string();
    ASSERT_TRUE(fs::exists(clip));
    CVideo played;
    EXPECT_EQ(played.Open(OPEN_FILE, clip.c_str(), 0), -3);
    EXPECT_FALSE(played.IsOpen());
    // No compressor is offered.
    char buffer[4][256] = {};
    char* names[4] = {buffer[0], buffer[1], buffer[2], buffer[3]};
    EXPECT_EQ(CVideo::GetCompressFilterList(names, 4), 0);
    // Recording (compressed, or uncompressed into AVI) fails at the start and leaves no file;
    // the live picture still starts and runs.
    CVideo camera;
    ASSERT_EQ(camera.Open(OPEN_DEVICE, testPatternPath().c_str(), -1), 0);
    ASSERT_EQ(camera.CaptureInit(320, 240, 24, UNITS / 30), 0);
    std::atomic<int> frames{0};
    camera.SetSampleCallBack(countFrame, &frames);
    for (const char* compressor : {"MJPEG", static_cast<const char*>(nullptr)}) {
        const std::string file = (dir() / "recorded.avi").string();
        EXPECT_EQ(camera.CaptureStart(file.c_str(), compressor), -1)
            << (compressor ? compressor : "uncompressed");
        EXPECT_FALSE(camera.IsRunning());
        EXPECT_FALSE(fs::exists(file) && fs::file_size(file) > 0);
    }
    ASSERT_EQ(camera.CaptureStart(nullptr, nullptr), 0);
    for (int waited = 0; waited < 100 && frames.load() < 5; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    camera.CaptureStop();
    camera.SetSampleCallBack(nullptr, nullptr);
    EXPECT_GE(frames.load(), 5);
}

TEST(machine_without_ffmpeg, FilesCompressorsAndPublishingRefuseClearlyAndNothingCrashes) {
    if (std::getenv(kChildMarker))
        GTEST_SKIP() << "the parent's part";
    fs::create_directories(dir());
    const std::string clip = (dir() / "clip.avi").string();
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 "
                           "-frames:v 10 -c:v mjpeg '" +
                           clip + "'")
                              .c_str()),
              0);
    const std::string errors = (dir() / "stderr.txt").string();
    const std::string command =
        // Under AddressSanitizer the preloaded library comes before its runtime, which it
        // otherwise refuses; the order does not matter to what the child checks.
        std::string("ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" ") +
        "LD_PRELOAD='" + NO_FFMPEG_PRELOAD + "' " + kChildMarker + "='" + dir().string() +
        "' /proc/" + std::to_string(getpid()) +
        "/exe --gtest_filter='no_ffmpeg_child.*' >/dev/null 2>'" + errors + "'";
    const int status = std::system(command.c_str());
    std::string text;
    if (FILE* in = std::fopen(errors.c_str(), "r")) {
        char chunk[512];
        while (size_t n = std::fread(chunk, 1, sizeof chunk, in))
            text.append(chunk, n);
        std::fclose(in);
    }
    std::error_code ignored;
    fs::remove_all(dir(), ignored);
    ASSERT_TRUE(WIFEXITED(status)) << "the child crashed: " << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    // One clear line says why, and FFmpeg's name is in it.
    EXPECT_NE(text.find("FFmpeg is not available"), std::string::npos) << text;
}
