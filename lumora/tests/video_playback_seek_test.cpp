// Seeking in files users really have, judged against ffmpeg's own frame N: AVI with B-frames
// (decode-order times), recordings cut short (no index; a second RIFF), an MP4 that starts
// with pictures that cannot be decoded, a truncated MP4 with its index at the front, and
// things that are not files at all. Every picture carries a frame number in a strip of ten
// blocks, so the picture shown can be compared with the one ffmpeg decodes at that position.
#include "ffmpeg_reference.h"

#include <lumora/Video.h>
#include <platform/media/media_types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 320, kHeight = 240;

// The top 48 rows: ten blocks across, block k white when bit k of the input frame's number
// is set.
constexpr const char* kNumberStrip =
    "format=yuv420p,geq=lum='if(lt(Y,48),255*mod(trunc(N/pow(2,trunc(X*10/W))),2),lum(X,Y))'"
    ":cb='if(lt(Y,48),128,cb(X,Y))':cr='if(lt(Y,48),128,cr(X,Y))'";

fs::path dir() {
    return fs::temp_directory_path() / ("lumora-seek-" + std::to_string(getpid()));
}

std::string at(const char* name) {
    return (dir() / name).string();
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// A numbered clip of `frames` pictures at 25 fps, encoded with `codec` (ffmpeg's options).
bool makeClip(const std::string& path, const std::string& codec, int frames = 300) {
    return run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(kWidth) +
               "x" + std::to_string(kHeight) + ":rate=25 -frames:v " + std::to_string(frames) +
               " -vf \"" + kNumberStrip + "\" " + codec + " '" + path + "'");
}

// The number in a picture whose rows are `rowAt(y)` (y from the top), 24-bit.
template <class RowAt> int numberIn(RowAt rowAt, int width) {
    const BYTE* row = rowAt(24);
    int number = 0;
    for (int bit = 0; bit < 10; ++bit) {
        const BYTE* p = row + (2 * bit + 1) * width / 20 * 3;
        if ((p[0] + p[1] + p[2]) / 3 >= 128)
            number |= 1 << bit;
    }
    return number;
}

// ffmpeg's own frames of the file, in its order: the number each one carries.
std::vector<int> ffmpegNumbers(const std::string& path) {
    std::vector<int> numbers;
    FILE* pipe =
        popen(("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v:0 -f rawvideo -pix_fmt bgr24 -")
                  .c_str(),
              "r");
    if (!pipe)
        return numbers;
    const size_t stride = size_t(kWidth) * 3;
    std::vector<BYTE> picture(stride * kHeight);
    while (std::fread(picture.data(), 1, picture.size(), pipe) == picture.size())
        numbers.push_back(
            numberIn([&](int y) { return picture.data() + size_t(y) * stride; }, kWidth));
    pclose(pipe);
    return numbers;
}

// The numbers of the pictures the object hands to its callback (bottom-up DIB rows).
struct Shown {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<int> numbers;
    int width = 0, height = 0;

    static void callback(BYTE* pixels, void* param) {
        auto* self = static_cast<Shown*>(param);
        const size_t stride = ((size_t(self->width) * 24 + 31) / 32) * 4;
        const int number = numberIn(
            [&](int y) { return pixels + size_t(self->height - 1 - y) * stride; }, self->width);
        std::lock_guard held(self->lock);
        self->numbers.push_back(number);
        self->arrived.notify_all();
    }
    void watch(CVideo& video) {
        width = video.GetBitmapInfoPtr()->bmiHeader.biWidth;
        height = video.GetBitmapInfoPtr()->bmiHeader.biHeight;
        numbers.reserve(4096);
        video.SetSampleCallBack(callback, this);
    }
    // The picture a seek to `frame` shows, or -1 when the seek fails or shows nothing.
    int seek(CVideo& video, LONGLONG frame) {
        size_t before = 0;
        {
            std::lock_guard held(lock);
            before = numbers.size();
        }
        if (video.SetPlayPos(frame) != frame)
            return -1;
        std::unique_lock held(lock);
        if (!arrived.wait_for(held, std::chrono::seconds(10),
                              [&] { return numbers.size() > before; }))
            return -1;
        return numbers.back();
    }
};

struct SeekCase {
    const char* name;
    const char* codec;
    bool cutIndex; // the recording was killed: no index at the end of the file
};

class Corpus : public ::testing::Environment {
public:
    void SetUp() override { fs::create_directories(dir()); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir(), ignored);
    }
};
const auto* const corpus = ::testing::AddGlobalTestEnvironment(new Corpus);

// Cuts an AVI before its legacy index, as a recording killed before it finished leaves it.
bool dropIndex(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string data(bytes.begin(), bytes.end());
    const size_t index = data.rfind("idx1");
    if (index == std::string::npos)
        return false;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), std::streamsize(index));
    return true;
}

struct playback_avi_seek : ::testing::TestWithParam<SeekCase> {};

} // namespace

// Every position, from the first frame to the last, shows ffmpeg's frame at that position;
// one past the last is refused.
TEST_P(playback_avi_seek, EveryPositionShowsFfmpegsFrameAndTheLastIsReachable) {
    const std::string path = at(GetParam().name);
    ASSERT_TRUE(makeClip(path, GetParam().codec));
    if (GetParam().cutIndex) {
        ASSERT_TRUE(dropIndex(path));
    }
    const std::vector<int> expected = ffmpegNumbers(path);
    ASSERT_EQ(expected.size(), 300u);

    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, path.c_str(), 0), 0);
    EXPECT_EQ(video.GetFrameCount(), LONGLONG(expected.size()));
    Shown shown;
    shown.watch(video);
    int wrong = 0;
    // Backwards and forwards, near key frames and between them.
    std::vector<LONGLONG> positions;
    for (LONGLONG n = 0; n < 300; n += 7)
        positions.push_back(n);
    for (LONGLONG n : {299, 298, 297, 1, 2, 49, 50, 51, 59, 60, 61, 101, 100, 99, 3, 250})
        positions.push_back(n);
    for (LONGLONG n : positions) {
        const int got = shown.seek(video, n);
        if (got != expected[size_t(n)])
            ++wrong;
        EXPECT_EQ(got, expected[size_t(n)]) << "position " << n;
    }
    EXPECT_EQ(wrong, 0) << "of " << positions.size();
    EXPECT_EQ(video.SetPlayPos(300), -1);
    video.SetSampleCallBack(nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Files, playback_avi_seek,
    ::testing::Values(SeekCase{"h264_bframes.avi", "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 50",
                               false},
                      SeekCase{"mpeg4_bframes.avi", "-c:v mpeg4 -q:v 3 -bf 2 -g 50", false},
                      SeekCase{"h264_killed.avi", "-c:v libx264 -pix_fmt yuv420p -g 60", true},
                      SeekCase{"mpeg4_killed.avi", "-c:v mpeg4 -q:v 3 -bf 2 -g 60", true}),
    [](const auto& param) {
        std::string name = param.param.name;
        for (char& c : name)
            if (c == '.')
                c = '_';
        return name;
    });

// A short recording killed before its index was written, small enough that the demuxer read
// all of it while opening and indexed every picture as a key frame: seeks still decode from
// a real key frame.
TEST(playback_avi_short, ShortKilledRecordingSeeksFromRealKeyFrames) {
    const std::string path = at("short_killed.avi");
    ASSERT_TRUE(makeClip(path, "-c:v libx264 -pix_fmt yuv420p -crf 40 -g 20", 40));
    ASSERT_TRUE(dropIndex(path));
    const std::vector<int> expected = ffmpegNumbers(path);
    ASSERT_EQ(expected.size(), 40u);
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, path.c_str(), 0), 0);
    EXPECT_EQ(video.GetFrameCount(), 40);
    Shown shown;
    shown.watch(video);
    for (LONGLONG n = 39; n >= 0; n -= 3)
        EXPECT_EQ(shown.seek(video, n), expected[size_t(n)]) << "position " << n;
    video.SetSampleCallBack(nullptr, nullptr);
}

// A clip cut from the middle of a GOP with its key frame left out: it opens, counts from the
// first picture ffmpeg decodes, and a seek before that picture shows it.
TEST(playback_mp4_seek, FileStartingWithNonKeyPacketsOpensAndCountsFromTheFirstPicture) {
    const std::string whole = at("whole.mp4"), cut = at("cut.mp4");
    ASSERT_TRUE(makeClip(whole, "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 100"));
    ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i '" + whole + "' -ss 2.2 -c copy -copyinkf '" +
                    cut + "'"));
    const std::vector<int> expected = ffmpegNumbers(cut);
    ASSERT_GT(expected.size(), 100u);

    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, cut.c_str(), 0), 0);
    EXPECT_EQ(video.GetFrameCount(), LONGLONG(expected.size()));
    Shown shown;
    shown.watch(video);
    const auto last = LONGLONG(expected.size()) - 1;
    for (LONGLONG n : {LONGLONG(0), LONGLONG(1), LONGLONG(37), LONGLONG(100), last, LONGLONG(5)})
        EXPECT_EQ(shown.seek(video, n), expected[size_t(n)]) << "position " << n;
    EXPECT_EQ(video.SetPlayPos(last + 1), -1);
    video.SetSampleCallBack(nullptr, nullptr);
}

// The index claims 300 pictures, the file holds fewer: a frame that is not there is an
// error, never the picture held from before.
TEST(playback_mp4_seek, TruncatedFileWithIndexInFrontRefusesFramesPastTheCut) {
    const std::string whole = at("front.mp4"), cut = at("front_cut.mp4");
    ASSERT_TRUE(makeClip(whole, "-c:v libx264 -pix_fmt yuv420p -bf 0 -g 25 -movflags +faststart"));
    fs::copy_file(whole, cut, fs::copy_options::overwrite_existing);
    fs::resize_file(cut, fs::file_size(whole) * 6 / 10);
    const std::vector<int> expected = ffmpegNumbers(cut);
    ASSERT_GT(expected.size(), 50u);
    ASSERT_LT(expected.size(), 300u);

    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, cut.c_str(), 0), 0);
    EXPECT_EQ(video.GetFrameCount(), LONGLONG(expected.size()));
    Shown shown;
    shown.watch(video);
    const auto last = LONGLONG(expected.size()) - 1;
    EXPECT_EQ(shown.seek(video, 1), expected[1]);
    EXPECT_EQ(shown.seek(video, last), expected[size_t(last)]);
    EXPECT_EQ(video.SetPlayPos(250), -1);
    EXPECT_EQ(video.SetPlayPos(last + 1), -1);
    video.SetSampleCallBack(nullptr, nullptr);
}

// FFmpeg complains about damaged files on standard error; a library must not print into its
// host's output, so playing a cut file leaves it empty.
TEST(playback_file_kinds, ADamagedFilePrintsNothingOnTheHostsStandardError) {
    const std::string whole = at("quiet.mp4"), cut = at("quiet_cut.mp4");
    ASSERT_TRUE(makeClip(whole, "-c:v libx264 -pix_fmt yuv420p -bf 0 -g 25"));
    fs::copy_file(whole, cut, fs::copy_options::overwrite_existing);
    fs::resize_file(cut, fs::file_size(whole) * 6 / 10); // the index at the end is gone
    testing::internal::CaptureStderr();
    {
        CVideo video;
        if (video.Open(OPEN_FILE, cut.c_str(), 0) == 0) {
            video.SetPlayPos(10);
            video.SetPlayPos(1000);
        }
        CVideo missing;
        missing.Open(OPEN_FILE, at("missing.mp4").c_str(), 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A named pipe nobody writes to: opening it must not wait for a writer. A watchdog plays
// the writer after five seconds, so a blocking open ends and is seen as too slow.
TEST(playback_file_kinds, NamedPipeIsRefusedWithoutBlocking) {
    const std::string fifo = at("pipe.avi");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::promise<void> done;
    auto watchdog = std::async(std::launch::async, [&, finished = done.get_future()] {
        if (finished.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            return;
        while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    CVideo video;
    EXPECT_EQ(video.Open(OPEN_FILE, fifo.c_str(), 0), -3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    done.set_value();
    watchdog.get();
}

namespace {

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
void putLe32(std::string& bytes, size_t at, uint32_t value) {
    std::memcpy(bytes.data() + at, &value, 4);
}

// Rewrites a whole AVI as a recording killed after its first RIFF was closed: the first RIFF
// keeps `first` pictures with their legacy index and header counts, the rest follow in an
// OpenDML "AVIX" RIFF that no index or header mentions. Returns false when the file does
// not have the expected layout.
bool splitIntoRiffs(const std::string& from, const std::string& to, uint32_t first) {
    std::ifstream in(from, std::ios::binary);
    std::string avi((std::istreambuf_iterator<char>(in)), {});
    const size_t movi = avi.find("movi");
    const size_t idx1 = avi.rfind("idx1");
    if (movi == std::string::npos || idx1 == std::string::npos || movi < 8)
        return false;
    const size_t moviEnd = movi + 4 + le32(avi, movi - 4) - 4;
    size_t cut = movi + 4;
    for (uint32_t i = 0; i < first; ++i) {
        if (cut + 8 > moviEnd)
            return false;
        cut += 8 + ((le32(avi, cut + 4) + 1) & ~1u);
    }
    std::string head = avi.substr(0, cut);
    putLe32(head, movi - 4, uint32_t(cut - movi));
    for (const char* counter : {"avih", "dmlh"})
        if (const size_t at = head.find(counter); at != std::string::npos)
            putLe32(head, at + 8 + (counter[0] == 'a' ? 16 : 0), first);
    if (const size_t strh = head.find("strh"); strh != std::string::npos)
        putLe32(head, strh + 8 + 32, first);
    head += "idx1";
    std::string size(4, '\0');
    putLe32(size, 0, first * 16);
    head += size + avi.substr(idx1 + 8, size_t(first) * 16);
    putLe32(head, 4, uint32_t(head.size() - 8));

    std::string rest = avi.substr(cut, moviEnd - cut);
    std::string tail = "RIFF____AVIXLIST____movi" + rest;
    putLe32(tail, 4, uint32_t(tail.size() - 8));
    putLe32(tail, 16, uint32_t(tail.size() - 20));
    std::ofstream(to, std::ios::binary | std::ios::trunc) << head << tail;
    return true;
}

} // namespace

// A recording killed after it grew past its first RIFF: every picture of the later RIFF is
// counted and reachable, across the boundary and back.
TEST(playback_avi_riffs, KilledRecordingPastItsFirstRiffCountsAndReachesEveryPicture) {
    const std::string whole = at("riffs_whole.avi"), killed = at("riffs_killed.avi");
    ASSERT_TRUE(makeClip(whole, "-c:v mpeg4 -q:v 2 -g 12 -bf 0", 75));
    ASSERT_TRUE(splitIntoRiffs(whole, killed, 40));
    const std::vector<int> expected = ffmpegNumbers(killed);
    ASSERT_EQ(expected.size(), 75u);

    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, killed.c_str(), 0), 0);
    EXPECT_EQ(video.GetFrameCount(), 75);
    Shown shown;
    shown.watch(video);
    for (LONGLONG n : {74, 40, 41, 39, 5, 60, 47, 0, 73})
        EXPECT_EQ(shown.seek(video, n), expected[size_t(n)]) << "position " << n;
    EXPECT_EQ(video.SetPlayPos(75), -1);
    video.SetSampleCallBack(nullptr, nullptr);
}

// Playing on after a pause continues from the picture the pause stopped on, never from an
// earlier one, also where pictures are reordered (B-frames, in AVI and in MP4).
TEST(playback_pause, RunAfterPauseContinuesFromThePausedFrame) {
    for (const char* name : {"pause_bframes.avi", "pause_bframes.mp4"}) {
        const std::string path = at(name);
        ASSERT_TRUE(makeClip(path, name[14] == 'a' ? "-c:v mpeg4 -q:v 3 -bf 2 -g 50"
                                                   : "-c:v libx264 -pix_fmt yuv420p -bf 3"));
        CVideo video;
        ASSERT_EQ(video.Open(OPEN_FILE, path.c_str(), 0), 0) << name;
        Shown shown;
        shown.watch(video);
        ASSERT_EQ(shown.seek(video, 100), 100) << name;
        ASSERT_EQ(video.PlayStart(), 0);
        auto waitFor = [&](size_t count) {
            std::unique_lock held(shown.lock);
            return shown.arrived.wait_for(held, std::chrono::seconds(10),
                                          [&] { return shown.numbers.size() >= count; });
        };
        ASSERT_TRUE(waitFor(6)) << name;
        video.PlayPause();
        // The picture the renderer holds has passed the grabber already; nothing follows.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        size_t paused = 0;
        int last = -1;
        {
            std::lock_guard held(shown.lock);
            paused = shown.numbers.size();
            last = shown.numbers.back();
        }
        ASSERT_EQ(video.PlayStart(), 0);
        ASSERT_TRUE(waitFor(paused + 3)) << name;
        video.PlayStop();
        std::lock_guard held(shown.lock);
        EXPECT_EQ(shown.numbers[paused], last + 1) << name;
        for (size_t i = 2; i < paused + 3; ++i)
            EXPECT_EQ(shown.numbers[i], shown.numbers[i - 1] + 1) << name << " at " << i;
        video.SetSampleCallBack(nullptr, nullptr);
    }
}

namespace {

struct Copied {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<BYTE> pixels;
    long count = 0;
    static void callback(BYTE* pixels, void* param) {
        auto* self = static_cast<Copied*>(param);
        std::lock_guard held(self->lock);
        std::memcpy(self->pixels.data(), pixels, self->pixels.size());
        ++self->count;
        self->arrived.notify_all();
    }
};

} // namespace

// Phone videos carry a display matrix: they play upright, at their displayed size, as ffmpeg
// shows them.
TEST(playback_rotation, DisplayMatrixPlaysUprightAtTheDisplayedSize) {
    const std::string coded = at("coded.mp4");
    ASSERT_TRUE(makeClip(coded, "-c:v libx264 -pix_fmt yuv420p -bf 2", 60));
    for (int degrees : {90, 180, 270}) {
        const std::string path = at(("turned" + std::to_string(degrees) + ".mp4").c_str());
        ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i '" + coded +
                        "' -c copy -metadata:s:v:0 rotate=" + std::to_string(degrees) + " '" +
                        path + "'"));
        const bool quarter = degrees != 180;
        const int width = quarter ? kHeight : kWidth, height = quarter ? kWidth : kHeight;
        const auto reference = testsupport::ffmpegPictures(path, width, height);
        ASSERT_EQ(reference.size(), 60u) << degrees;

        CVideo video;
        ASSERT_EQ(video.Open(OPEN_FILE, path.c_str(), 0), 0) << degrees;
        const BITMAPINFO* info = video.GetBitmapInfoPtr();
        ASSERT_NE(info, nullptr);
        ASSERT_EQ(info->bmiHeader.biWidth, width) << degrees;
        ASSERT_EQ(info->bmiHeader.biHeight, height) << degrees;
        Copied copied;
        copied.pixels.resize(((size_t(width) * 24 + 31) / 32) * 4 * size_t(height));
        video.SetSampleCallBack(Copied::callback, &copied);
        for (LONGLONG n : {LONGLONG(0), LONGLONG(31)}) {
            long before = 0;
            {
                std::lock_guard held(copied.lock);
                before = copied.count;
            }
            ASSERT_EQ(video.SetPlayPos(n), n);
            std::unique_lock held(copied.lock);
            ASSERT_TRUE(copied.arrived.wait_for(held, std::chrono::seconds(10),
                                                [&] { return copied.count > before; }));
            EXPECT_GE(
                testsupport::psnrOfDib(copied.pixels.data(), reference[size_t(n)], width, height),
                30.0)
                << degrees << " degrees, frame " << n;
        }
        video.SetSampleCallBack(nullptr, nullptr);
    }
}
