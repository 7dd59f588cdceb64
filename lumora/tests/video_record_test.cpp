// Recording the test-pattern camera to AVI through the chosen compressor, checked by ffprobe
// and ffmpeg (tools nobody here wrote), and the list of compressors. Timing is judged from the
// capture times the camera writes into every picture, never from how many frames a busy
// machine managed.
#include "media/sources/test_pattern/pattern_strip.h"

#include <lumora/Video.h>
#include <platform/media/test_pattern_camera.h>
#include <platform/text.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// The file as ffmpeg reads it: its index entries (empty ones stand for dropped frames) and,
// for every picture ffmpeg decodes, its entry number and the capture time in its strip.
struct FileTimeline {
    long long entries = 0;
    long long emptyEntries = 0;
    std::vector<long long> picturePts;
    std::vector<uint64_t> captureUs;
    int unreadable = 0; // pictures without a readable strip: upside down or damaged
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

FileTimeline readTimeline(const std::string& file, int width, int height) {
    FileTimeline t;
    // ffprobe lists the pictures among the packets; the header counts every entry.
    long long pictures = 0;
    for (const auto& line : lines(run("ffprobe -v error -select_streams v:0 -show_entries "
                                      "packet=size -of csv=p=0 '" +
                                      file + "'")))
        pictures += !line.empty() && std::stoll(line) > 0;
    const auto header = lines(run("ffprobe -v error -select_streams v:0 -show_entries "
                                  "stream=nb_frames -of csv=p=0 '" +
                                  file + "'"));
    t.entries = header.empty() || header[0].empty() ? 0 : std::stoll(header[0]);
    t.emptyEntries = t.entries - pictures;
    for (const auto& line : lines(run("ffprobe -v error -select_streams v:0 -show_entries "
                                      "frame=pts -of csv=p=0 '" +
                                      file + "'")))
        if (!line.empty() && line != "N/A")
            t.picturePts.push_back(std::stoll(line));
    // Top-down RGB as ffmpeg decodes it: the strip lies in the top rows of an upright picture.
    const std::string pixels = run("ffmpeg -nostdin -v error -i '" + file +
                                   "' -vsync passthrough -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
    const size_t frameBytes = size_t(width) * size_t(height) * 3;
    for (size_t offset = 0; offset + frameBytes <= pixels.size(); offset += frameBytes) {
        const auto* rgb = reinterpret_cast<const uint8_t*>(pixels.data() + offset);
        platform::media::pattern::StripData strip;
        const bool read = platform::media::pattern::decodeStrip(
            width, height,
            [&](int x, int y) {
                const uint8_t* p = rgb + (size_t(y) * size_t(width) + size_t(x)) * 3;
                return (p[0] + p[1] + p[2]) / 3;
            },
            &strip);
        t.unreadable += !read;
        t.captureUs.push_back(read ? strip.captureTimeUs : 0);
    }
    return t;
}

// The file keeps the capture timeline: every picture sits at the entry of the frame
// interval its capture time falls in, so capture time minus entry time is the same stream
// start for all (within one interval; strip times are in microseconds).
void expectTrueTimeline(const FileTimeline& t, REFERENCE_TIME interval) {
    ASSERT_FALSE(t.picturePts.empty());
    ASSERT_EQ(t.picturePts.size(), t.captureUs.size());
    EXPECT_EQ(t.unreadable, 0);
    EXPECT_EQ(t.entries - t.emptyEntries, (long long)t.picturePts.size());
    EXPECT_LT(t.picturePts.back(), t.entries);
    REFERENCE_TIME lowest = INT64_MAX, highest = INT64_MIN;
    for (size_t i = 0; i < t.picturePts.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(t.picturePts[i], t.picturePts[i - 1]);
        }
        const uint64_t sinceFirst =
            (t.captureUs[i] - t.captureUs[0]) & platform::media::pattern::kStripTimeMask;
        const REFERENCE_TIME offset =
            REFERENCE_TIME(sinceFirst) * 10 - (t.picturePts[i] - t.picturePts[0]) * interval;
        lowest = std::min(lowest, offset);
        highest = std::max(highest, offset);
    }
    EXPECT_LT(highest - lowest, interval + 10) << "pictures off their capture times";
}

// The totals a finished AVI file states: frames in the main header and the stream header,
// and the entries of its index (all of them, and the empty ones).
struct AviTotals {
    uint32_t mainFrames = 0, streamLength = 0;
    long long indexEntries = -1, emptyIndexEntries = 0;
};

AviTotals readAviTotals(const std::string& file) {
    AviTotals totals;
    std::string bytes;
    if (FILE* in = std::fopen(file.c_str(), "rb")) {
        char buffer[65536];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, in))
            bytes.append(buffer, n);
        std::fclose(in);
    }
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        if (at + 4 <= bytes.size())
            std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    if (size_t at = bytes.find("avih"); at != std::string::npos)
        totals.mainFrames = u32(at + 8 + 16);
    if (size_t at = bytes.find("strh"); at != std::string::npos)
        totals.streamLength = u32(at + 8 + 32);
    if (size_t at = bytes.rfind("idx1"); at != std::string::npos) {
        const size_t size = u32(at + 4);
        totals.indexEntries = 0;
        for (size_t entry = at + 8; entry + 16 <= at + 8 + size && entry + 16 <= bytes.size();
             entry += 16) {
            ++totals.indexEntries;
            totals.emptyIndexEntries += u32(entry + 12) == 0;
        }
    }
    return totals;
}

// Decoding errors ffmpeg reports for the whole file; empty when it decodes cleanly.
std::string decodeErrors(const std::string& file) {
    return run("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
}

struct LiveFrames {
    std::atomic<long> count{0};
    // The live frame (1-based) whose callback holds the camera's thread, and for how long.
    long holdAt = 0;
    std::chrono::milliseconds hold{0};
    static void callback(BYTE*, void* param) {
        auto* self = static_cast<LiveFrames*>(param);
        const long n = self->count.fetch_add(1, std::memory_order_relaxed) + 1;
        if (n == self->holdAt)
            std::this_thread::sleep_for(self->hold);
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

TEST_P(recording_codec, ThreeSecondsProbeWithTheCodecSizeAndTheCaptureTimeline) {
    const auto [compressor, codec] = GetParam();
    const std::string file = (dir / "clip.avi").string();
    record(file, compressor, 3.0);
    const auto fields = probe(file);
    ASSERT_EQ(fields.count("codec_name"), 1u) << run("ffprobe '" + file + "' 2>&1");
    EXPECT_EQ(fields.at("codec_name"), codec);
    EXPECT_EQ(fields.at("width"), "320");
    EXPECT_EQ(fields.at("height"), "240");
    EXPECT_EQ(decodeErrors(file), "");
    // Every picture upright, at the place of its capture time.
    expectTrueTimeline(readTimeline(file, 320, 240), UNITS / 30);
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
    expectTrueTimeline(readTimeline(first, 320, 240), UNITS / 30);
    EXPECT_EQ(probe(second).at("codec_name"), "rawvideo");
    EXPECT_EQ(decodeErrors(second), "");
}

// A live consumer that holds the camera's thread costs the camera frames, as it would a real
// sensor; the file keeps their places with empty entries and lasts as long as the recording.
TEST_F(recording, FramesTheCameraDroppedKeepTheirPlacesInTheFile) {
    const std::string file = (dir / "held.avi").string();
    live.holdAt = 10;
    live.hold = std::chrono::milliseconds(400);
    record(file, "FFV1 Lossless", 1.6);
    const FileTimeline t = readTimeline(file, 320, 240);
    expectTrueTimeline(t, UNITS / 30);
    // 400 ms held: at least the 11 intervals that passed whole are empty entries.
    EXPECT_GE(t.emptyEntries, 11);
    EXPECT_EQ(decodeErrors(file), "");
    // A normal stop leaves an index with one entry per interval and headers that agree.
    const AviTotals totals = readAviTotals(file);
    EXPECT_EQ(totals.indexEntries, t.entries);
    EXPECT_EQ(totals.emptyIndexEntries, t.emptyEntries);
    EXPECT_EQ(totals.mainFrames, uint32_t(t.entries));
    EXPECT_EQ(totals.streamLength, uint32_t(t.entries));
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

// CaptureEnd acts only on an object open on a device: closed, or playing a file, nothing
// changes and the file keeps playing.
TEST_F(recording, CaptureEndOnAClosedObjectOrAPlayedFileChangesNothing) {
    const std::string file = (dir / "played.avi").string();
    record(file, "MJPEG", 0.6);
    CVideo closed;
    closed.CaptureEnd();
    EXPECT_FALSE(closed.IsRunning());
    EXPECT_EQ(closed.GetBitmapInfoPtr(), nullptr);
    CVideo played;
    ASSERT_EQ(played.Open(OPEN_FILE, file.c_str(), 0), 0);
    const auto frames = played.GetFrameCount();
    const BITMAPINFO* before = played.GetBitmapInfoPtr();
    ASSERT_NE(before, nullptr);
    played.CaptureEnd();
    EXPECT_EQ(played.GetBitmapInfoPtr(), before);
    EXPECT_EQ(played.GetFrameCount(), frames);
    EXPECT_EQ(played.SetPlayPos(1), 1);
}

// lumora-info --record, run as a user runs it: exit status, the report on stderr and the last
// line of key=value pairs.
struct record_tool : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("lumora-info-" + std::to_string(getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // Runs the command through sh with stderr in `errors`; the exit status.
    int runTool(const std::string& command, std::string* out, std::string* errors) {
        const fs::path err = dir / "stderr.txt";
        const std::string wrapped = "(" + command + ") 2>'" + err.string() + "'; echo \"rc=$?\"";
        *out = run(wrapped);
        std::string text;
        if (FILE* in = std::fopen(err.c_str(), "r")) {
            char buffer[512];
            while (size_t n = std::fread(buffer, 1, sizeof buffer, in))
                text.append(buffer, n);
            std::fclose(in);
        }
        *errors = text;
        const size_t rc = out->rfind("rc=");
        return rc == std::string::npos ? -1 : std::stoi(out->substr(rc + 3));
    }
    static long long field(const std::string& out, const std::string& key) {
        const size_t at = out.find(key + "=");
        return at == std::string::npos ? -1 : std::stoll(out.substr(at + key.size() + 1));
    }
};

// FFV1 at 1920x1080 and 60 fps is more than one encoder thread keeps up with: frames are
// dropped from the file (and its timeline keeps their places), which is no full disk.
TEST_F(record_tool, ACompressorThatFallsBehindReportsDroppedFramesNotAFullDisk) {
    const std::string file = (dir / "fast.avi").string();
    std::string out, errors;
    const int rc = runTool(std::string(LUMORA_INFO) + " --record '" + file +
                               "' --seconds 2 --compressor 'FFV1 Lossless' --size 1920x1080 "
                               "--fps 60",
                           &out, &errors);
    EXPECT_EQ(errors.find("could not grow"), std::string::npos) << errors;
    const long long written = field(out, "frames_written"), dropped = field(out, "dropped");
    // A machine so slow (or so loaded) that the compressor finishes no picture at all says so
    // and fails; that tells nothing about the report of dropped frames.
    if (written == 0) {
        EXPECT_NE(errors.find("no picture reached"), std::string::npos) << errors;
        GTEST_SKIP() << "the compressor finished no picture here";
    }
    EXPECT_EQ(rc, 0) << out << errors;
    ASSERT_GT(written, 0) << out;
    ASSERT_GE(dropped, 0) << out;
    if (dropped > 0) {
        EXPECT_NE(errors.find("dropped"), std::string::npos) << errors;
    }
    EXPECT_EQ(field(out, "camera_skipped") + field(out, "fell_behind"), dropped) << out;
    // What the report says is what the file holds, and the file decodes. The compressor was
    // behind when the recording stopped, so frames were still queued: the index covers every
    // picture written (those handed over at the stop included), and the dropped count, split
    // by cause, covers the rest.
    const FileTimeline t = readTimeline(file, 1920, 1080);
    EXPECT_EQ(t.entries, written + dropped);
    EXPECT_EQ(t.emptyEntries, dropped);
    const AviTotals totals = readAviTotals(file);
    EXPECT_EQ(totals.indexEntries, t.entries);
    EXPECT_EQ(totals.indexEntries - totals.emptyIndexEntries, written);
    EXPECT_EQ(totals.mainFrames, uint32_t(t.entries));
    EXPECT_EQ(decodeErrors(file), "");
}

// A camera that delivers below its rate (the process stopped for a while stands in for a
// webcam lengthening its exposure): the file keeps the missing frames' places, and the report
// says the camera skipped them, not that the compressor or the disk fell behind.
TEST_F(record_tool, FramesTheCameraNeverDeliveredAreBlamedOnTheCamera) {
    const std::string file = (dir / "slow_camera.avi").string();
    std::string out, errors;
    const int rc = runTool(std::string(LUMORA_INFO) + " --record '" + file +
                               "' --seconds 2.5 --compressor MJPEG --size 320x240 --fps 30 & "
                               "p=$!; sleep 1; kill -STOP $p; sleep 0.7; kill -CONT $p; wait $p",
                           &out, &errors);
    EXPECT_EQ(rc, 0) << out << errors;
    const long long dropped = field(out, "dropped"), skipped = field(out, "camera_skipped"),
                    behind = field(out, "fell_behind");
    // 700 ms stopped: at least the 15 intervals that passed whole were never delivered.
    EXPECT_GE(skipped, 15) << out;
    EXPECT_EQ(skipped + behind, dropped) << out;
    EXPECT_NE(errors.find("never came from the camera"), std::string::npos) << errors;
    if (behind == 0) {
        EXPECT_EQ(errors.find("compressor"), std::string::npos) << errors;
    }
    const FileTimeline t = readTimeline(file, 320, 240);
    EXPECT_EQ(t.emptyEntries, dropped);
}

TEST_F(record_tool, AFileThatCannotGrowIsReportedAndFails) {
    const std::string file = (dir / "limited.avi").string();
    std::string out, errors;
    // A file-size limit of 1 MiB (ulimit counts 512- or 1024-byte blocks: at most 2 MiB).
    const int rc = runTool("ulimit -f 2048; exec " + std::string(LUMORA_INFO) + " --record '" +
                               file + "' --seconds 1 --size 640x480",
                           &out, &errors);
    EXPECT_EQ(rc, 1) << out << errors;
    EXPECT_NE(errors.find("could not grow"), std::string::npos) << errors;
    EXPECT_LE(fs::file_size(file), uintmax_t(2) << 20);
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
