// Recording the test-pattern camera to AVI through the chosen compressor, checked by ffprobe
// and ffmpeg (tools nobody here wrote), and the list of compressors.
#include <lumora/Video.h>
#include <platform/media/test_pattern_camera.h>
#include <platform/text.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string testPatternPath() {
    char path[256] = {};
    WideCharToMultiByte(CP_ACP, 0, platform::media::kTestPatternPath, -1, path, sizeof(path),
                        nullptr, nullptr);
    return path;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// What ffprobe says of the first video stream: codec_name, width, height, nb_read_frames.
std::map<std::string, std::string> probe(const std::string& file) {
    const std::string text =
        run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=codec_name,width,height,nb_read_frames -of default=nw=1 '" +
            file + "' 2>&1");
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        if (const size_t eq = line.find('='); eq != std::string::npos)
            fields[line.substr(0, eq)] = line.substr(eq + 1);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return fields;
}

// Decoding errors ffmpeg reports for the whole file; empty when it decodes cleanly.
std::string decodeErrors(const std::string& file) {
    return run("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
}

struct LiveFrames {
    std::atomic<long> count{0};
    static void callback(BYTE*, void* param) {
        static_cast<LiveFrames*>(param)->count.fetch_add(1, std::memory_order_relaxed);
    }
};

struct recording : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("lumora-record-" + std::to_string(getpid()));
    CVideo video;
    LiveFrames live;

    void SetUp() override {
        fs::create_directories(dir);
        ASSERT_EQ(video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1), 0);
        ASSERT_EQ(video.CaptureInit(320, 240, 24, UNITS / 30), 0);
        video.SetSampleCallBack(LiveFrames::callback, &live);
    }
    void TearDown() override {
        video.Close();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // Records for `seconds`, checking that live frames keep arriving meanwhile.
    void record(const std::string& file, const char* compressor, double seconds) {
        ASSERT_EQ(video.CaptureStart(file.c_str(), compressor), 0);
        EXPECT_STREQ(video.GetFileName(), file.c_str());
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
        const long halfway = live.count.load();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
        EXPECT_GT(live.count.load(), halfway + 5) << "live frames stalled while recording";
        video.CaptureStop();
        EXPECT_STREQ(video.GetFileName(), "");
    }
};

} // namespace

struct recording_codec : recording,
                         ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(recording_codec, ThreeSecondsProbeWithTheCodecSizeAndFrameCount) {
    const auto [compressor, codec] = GetParam();
    const std::string file = (dir / "clip.avi").string();
    record(file, compressor, 3.0);
    const auto fields = probe(file);
    ASSERT_EQ(fields.count("codec_name"), 1u) << run("ffprobe '" + file + "' 2>&1");
    EXPECT_EQ(fields.at("codec_name"), codec);
    EXPECT_EQ(fields.at("width"), "320");
    EXPECT_EQ(fields.at("height"), "240");
    const int frames = std::stoi(fields.at("nb_read_frames"));
    EXPECT_NEAR(frames, 90, 1);
    EXPECT_EQ(decodeErrors(file), "");
    // Live frames flowed for the whole recording, at the camera's rate.
    EXPECT_GE(live.count.load(), 80);
}

INSTANTIATE_TEST_SUITE_P(Compressors, recording_codec,
                         ::testing::Values(std::pair{"", "rawvideo"}, std::pair{"mjpeg", "mjpeg"},
                                           std::pair{"FFV1 Lossless", "ffv1"}),
                         [](const auto& param) { return std::string(param.param.second); });

TEST_F(recording, ASecondRecordingAfterStopWritesItsOwnFileAndKeepsTheFirst) {
    const std::string first = (dir / "first.avi").string();
    const std::string second = (dir / "second.avi").string();
    record(first, "MJPEG", 1.0);
    const auto firstSize = fs::file_size(first);
    // A live-only start in between must not disturb the finished file.
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    video.CaptureStop();
    EXPECT_EQ(fs::file_size(first), firstSize);
    record(second, "no such compressor", 1.0); // unknown name: recorded uncompressed
    EXPECT_EQ(probe(first).at("codec_name"), "mjpeg");
    EXPECT_NEAR(std::stoi(probe(first).at("nb_read_frames")), 30, 1);
    EXPECT_EQ(probe(second).at("codec_name"), "rawvideo");
    EXPECT_EQ(decodeErrors(second), "");
}

TEST_F(recording, AnUnwritableFolderFailsTheStartAndBuildsNothing) {
    fs::path locked = dir / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    std::string file = (locked / "clip.avi").string();
    if (access(locked.c_str(), W_OK) == 0)
        file = "/proc/ormidal-clip.avi"; // a user who may write anywhere: a folder nobody can
    EXPECT_EQ(video.CaptureStart(file.c_str(), "MJPEG"), -1);
    EXPECT_FALSE(video.IsRunning());
    EXPECT_STREQ(video.GetFileName(), "");
    EXPECT_FALSE(fs::exists(file));
    // Nothing of the failed branch is left: the live graph still starts and delivers.
    const long before = live.count.load();
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    video.CaptureStop();
    EXPECT_GT(live.count.load(), before + 3);
    fs::permissions(locked, fs::perms::owner_all);
}

TEST_F(recording, ANameTooLongForAPathBuildsNothing) {
    const std::string name(300, 'a');
    EXPECT_EQ(video.CaptureStart(name.c_str(), "MJPEG"), -1);
    EXPECT_FALSE(video.IsRunning());
    EXPECT_STREQ(video.GetFileName(), "");
}

TEST_F(recording, AFileThatCannotGrowEndsTheRecordingWhileLiveFramesFlow) {
    const std::string file = (dir / "limited.avi").string();
    // A picture is 230 KB uncompressed: the limit stops the file after a few pictures.
    constexpr rlim_t kLimit = 2 << 20;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead of ending the process
    rlimit limited = saved;
    limited.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    ASSERT_EQ(video.CaptureStart(file.c_str(), nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const long atLimit = live.count.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_GT(live.count.load(), atLimit + 10) << "the live picture stopped with the file";
    video.CaptureStop();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_LE(fs::file_size(file), kLimit);
    // What was written opens and decodes.
    const auto fields = probe(file);
    ASSERT_EQ(fields.count("nb_read_frames"), 1u) << run("ffprobe '" + file + "' 2>&1");
    EXPECT_GE(std::stoi(fields.at("nb_read_frames")), 3);
    EXPECT_EQ(fields.at("codec_name"), "rawvideo");
    // And it plays here too: its pictures are counted although no index was written.
    CVideo played;
    ASSERT_EQ(played.Open(OPEN_FILE, file.c_str(), 0), 0);
    EXPECT_EQ(played.GetFrameCount(), std::stoll(fields.at("nb_read_frames")));
    EXPECT_EQ(played.GetBitmapInfoPtr()->bmiHeader.biHeight, 240); // bottom-up, as every frame
    EXPECT_EQ(played.SetPlayPos(2), 2);
}

TEST(compressor_list, NamesTheKnownCodecsInAStableOrder) {
    char buffers[8][256] = {};
    char* names[8];
    for (int i = 0; i < 8; ++i)
        names[i] = buffers[i];
    EXPECT_EQ(CVideo::GetCompressFilterList(names, 0), 0);
    const int count = CVideo::GetCompressFilterList(names, 8);
    ASSERT_GE(count, 3);
    std::vector<std::string> listed(names, names + count);
    EXPECT_EQ(listed[0], "MJPEG");
    EXPECT_EQ(listed[1], "FFV1 Lossless");
    EXPECT_EQ(listed[2], "MPEG-4 Part 2");
    char again[2][256] = {};
    char* two[2] = {again[0], again[1]};
    EXPECT_EQ(CVideo::GetCompressFilterList(two, 2), 2);
    EXPECT_EQ(std::string(again[0]), listed[0]);
    EXPECT_EQ(std::string(again[1]), listed[1]);
}
