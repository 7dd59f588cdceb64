// Playback of very large pictures: the graph's peak memory against ffmpeg's on the same file,
// and what a file-mode object reports about a turned file's size.
#include <lumora/Video.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

fs::path dir() {
    return fs::temp_directory_path() / ("lumora-memory-" + std::to_string(getpid()));
}

std::string at(const char* name) {
    return (dir() / name).string();
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

class Scratch {
public:
    Scratch() { fs::create_directories(dir()); }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir(), ignored);
    }
};

// Peak resident size of a finished child in KiB, or -1 when it failed.
long peakOf(pid_t child) {
    int status = 0;
    rusage usage{};
    if (child <= 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

// ffmpeg decoding every picture of `path` into 24-bit RGB, the form the object hands out.
long ffmpegPeak(const std::string& path) {
    const char* argv[] = {"ffmpeg",   "-nostdin", "-v", "error", "-i", path.c_str(),
                          "-pix_fmt", "bgr24",    "-f", "null",  "-",  nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "ffmpeg", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    return peakOf(child);
}

// Our playback in a process of its own, so its peak is measured alone: open the file (which
// cues frame 0) and step to `frame`.
long playbackPeak(const std::string& path, LONGLONG frame) {
    const pid_t child = fork();
    if (child == 0) {
        int code = 1;
        {
            CVideo video;
            if (video.Open(OPEN_FILE, path.c_str(), 0) == 0 && video.SetPlayPos(frame) == frame)
                code = 0;
        }
        _exit(code);
    }
    return peakOf(child);
}

} // namespace

// 8192×8192 pictures: the pools hold what delivery needs, so the peak stays within 1.5× of
// ffmpeg decoding the same file to RGB (one decoded and one converted picture), although the
// object also keeps the grabber's buffered sample and its own frame.
TEST(playback_memory, HugePicturesPeakNearFfmpeg) {
    if (kSanitized)
        GTEST_SKIP() << "sanitizers change the heap";
    Scratch scratch;
    const std::string source = "-f lavfi -i testsrc2=size=8192x8192:rate=10 -frames:v 3 ";
    const struct {
        const char* name;
        const char* codec;
    } clips[] = {{"huge.avi", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p"},
                 {"huge.mp4", "-c:v libx264 -preset ultrafast -pix_fmt yuv420p"}};
    for (const auto& clip : clips) {
        const std::string path = at(clip.name);
        ASSERT_TRUE(run("ffmpeg -nostdin -v error -y " + source + clip.codec + " '" + path + "'"))
            << clip.name;
        const long ffmpeg = ffmpegPeak(path);
        const long ours = playbackPeak(path, 2);
        ASSERT_GT(ffmpeg, 0) << clip.name;
        ASSERT_GT(ours, 0) << clip.name << ": playback failed";
        std::printf("%s: ours %ld KiB, ffmpeg %ld KiB\n", clip.name, ours, ffmpeg);
        EXPECT_LE(double(ours), 1.5 * double(ffmpeg)) << clip.name;
    }
}

// A file-mode object has no stream format: GetVideoInf answers 0 and leaves the record alone,
// for a turned phone clip as for any file; the displayed size is the frame's.
TEST(playback_memory, TurnedFileReportsItsDisplayedSizeInTheFrameOnly) {
    Scratch scratch;
    const std::string coded = at("coded.mp4"), path = at("turned.mp4");
    // The display matrix is written when the stream is copied, as a phone's file carries it.
    ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
                    "-frames:v 5 -c:v libx264 -pix_fmt yuv420p '" +
                    coded + "'"));
    ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i '" + coded +
                    "' -c copy -metadata:s:v:0 rotate=90 '" + path + "'"));
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, path.c_str(), 0), 0);
    tVideoInf inf{};
    inf.nWidth = 7;
    inf.nHeight = 9;
    EXPECT_FALSE(video.GetVideoInf(inf));
    EXPECT_EQ(inf.nWidth, 7);
    EXPECT_EQ(inf.nHeight, 9);
    const BITMAPINFO* info = video.GetBitmapInfoPtr();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->bmiHeader.biWidth, 240);
    EXPECT_EQ(info->bmiHeader.biHeight, 320);
}
