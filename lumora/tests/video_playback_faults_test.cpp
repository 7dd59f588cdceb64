// Playback of files that are valid but unusual, judged against what ffmpeg and ffprobe read
// of them: a long recording whose camera ran below its rate (thousands of empty index
// entries), a file with one damaged picture in the middle (the time of every picture after
// it), and a file reached through symbolic links.
#include <lumora/Video.h>
#include <platform/com.h>
#include <platform/com_ptr.h>
#include <platform/media/media.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using platform::ComPtr;

namespace {

constexpr int kWidth = 160, kHeight = 120;

// The top 24 rows: ten blocks across, block k white when bit k of the input frame's number
// is set.
constexpr const char* kNumberStrip =
    "format=yuv420p,geq=lum='if(lt(Y,24),255*mod(trunc(N/pow(2,trunc(X*10/W))),2),lum(X,Y))'"
    ":cb='if(lt(Y,24),128,cb(X,Y))':cr='if(lt(Y,24),128,cr(X,Y))'";

fs::path dir() {
    return fs::temp_directory_path() / ("lumora-faults-" + std::to_string(getpid()));
}

std::string at(const char* name) {
    return (dir() / name).string();
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::vector<std::string> linesOf(const std::string& command) {
    std::vector<std::string> lines;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            std::string line(buffer);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            lines.push_back(line);
        }
        pclose(pipe);
    }
    return lines;
}

// A numbered clip of `frames` pictures at 25 fps; `filter` follows the number strip.
bool makeClip(const std::string& path, int frames, const std::string& codec,
              const std::string& filter = "", const std::string& output = "") {
    return run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(kWidth) +
               "x" + std::to_string(kHeight) + ":rate=25 -frames:v " + std::to_string(frames) +
               " -vf \"" + kNumberStrip + filter + "\" " + output + " " + codec + " '" + path +
               "'");
}

// The number a picture carries, from rows given top-down by `rowAt(y)` (24-bit).
template <class RowAt> int numberIn(RowAt rowAt) {
    const BYTE* row = rowAt(12);
    int number = 0;
    for (int bit = 0; bit < 10; ++bit) {
        const BYTE* p = row + (2 * bit + 1) * kWidth / 20 * 3;
        if ((p[0] + p[1] + p[2]) / 3 >= 128)
            number |= 1 << bit;
    }
    return number;
}

// ffprobe's packets of the first video stream: the index entry (time in frames) of each one
// that holds a picture.
std::vector<long long> picturePacketTimes(const std::string& path) {
    std::vector<long long> times;
    for (const auto& line :
         linesOf("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,size -of "
                 "csv=p=0 '" +
                 path + "'")) {
        long long pts = 0, dts = 0, size = 0;
        if (std::sscanf(line.c_str(), "%lld,%lld,%lld", &pts, &dts, &size) == 3 && size > 0)
            times.push_back(pts);
    }
    return times;
}

long long headerFrames(const std::string& path) {
    const auto lines = linesOf("ffprobe -v error -select_streams v:0 -show_entries "
                               "stream=nb_frames -of csv=p=0 '" +
                               path + "'");
    return lines.empty() || lines[0].empty() ? -1 : std::stoll(lines[0]);
}

// The numbers of the pictures a CVideo hands to its callback (bottom-up DIB rows).
struct Shown {
    std::mutex lock;
    std::vector<int> numbers;

    static void callback(BYTE* pixels, void* param) {
        auto* self = static_cast<Shown*>(param);
        const size_t stride = ((size_t(kWidth) * 24 + 31) / 32) * 4;
        const int number =
            numberIn([&](int y) { return pixels + size_t(kHeight - 1 - y) * stride; });
        std::lock_guard held(self->lock);
        self->numbers.push_back(number);
    }
    int seek(CVideo& video, LONGLONG frame) {
        size_t before = 0;
        {
            std::lock_guard held(lock);
            before = numbers.size();
        }
        if (video.SetPlayPos(frame) != frame)
            return -1;
        for (int waited = 0; waited < 1000; ++waited) {
            {
                std::lock_guard held(lock);
                if (numbers.size() > before)
                    return numbers.back();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
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

} // namespace

// A camera at a third of its nominal rate for minutes: two empty entries keep the time after
// every picture, over 5 000 in all. The file's index is whole: it opens with the frame count
// ffprobe reads from its headers (counting its pictures instead would mean the index was
// judged missing and the file scanned), and every position shows the picture ffmpeg's index
// puts there, up to the last entry.
TEST(playback_sparse_avi, ThousandsOfEmptyEntriesKeepTheIndexTheCountAndTheSeeks) {
    const std::string path = at("third_rate.avi");
    ASSERT_TRUE(
        makeClip(path, 2800, "-c:v mjpeg -q:v 10", ",setpts=3*PTS", "-fps_mode passthrough -r 25"));
    const std::vector<long long> pictures = picturePacketTimes(path);
    ASSERT_EQ(pictures.size(), 2800u);
    const long long entries = headerFrames(path);
    ASSERT_GT(entries - 2800, 5000);

    CVideo video;
    ASSERT_EQ(video.Open(OPEN_FILE, path.c_str(), 0), 0);
    EXPECT_EQ(video.GetFrameCount(), entries);
    Shown shown;
    video.SetSampleCallBack(Shown::callback, &shown);
    // The picture at entry n is the last one whose entry is not after n: an empty entry
    // keeps the picture before it on screen.
    auto expectedAt = [&](long long n) {
        int number = -1;
        for (size_t i = 0; i < pictures.size() && pictures[i] <= n; ++i)
            number = int(i);
        return number;
    };
    for (long long n : {entries - 1, 0LL, 4000LL, 4001LL, 4002LL, 7500LL, 8000LL, 1LL, 2LL}) {
        EXPECT_EQ(shown.seek(video, n), expectedAt(n) & 1023) << "entry " << n;
    }
    EXPECT_EQ(video.SetPlayPos(entries), -1);
    video.SetSampleCallBack(nullptr, nullptr);
}

namespace {

// Overwrites the payload of the `which`-th non-empty video chunk ("00dc") with zeros, as a
// damaged disk or transfer leaves it: the chunk and the index stay intact.
bool damageChunk(const std::string& path, int which) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), {});
    size_t pos = bytes.find("movi");
    if (pos == std::string::npos)
        return false;
    pos += 4;
    int seen = 0;
    while (pos + 8 <= bytes.size()) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + pos + 4, 4);
        if (bytes.compare(pos, 4, "LIST") == 0) {
            pos += 12;
            continue;
        }
        if (bytes.compare(pos + 2, 2, "dc") == 0 && size > 0 && seen++ == which) {
            if (pos + 8 + size > bytes.size())
                return false;
            const std::string zeros(size, '\0');
            file.clear();
            file.seekp(std::streamoff(pos + 8));
            file.write(zeros.data(), std::streamsize(size));
            return bool(file);
        }
        pos += 8 + size + (size & 1);
    }
    return false;
}

// Collects the time and number of every picture the graph delivers to a sample grabber.
class TimedPictures final : public ISampleGrabberCB {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *object = static_cast<ISampleGrabberCB*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT SampleCB(double, IMediaSample* sample) override {
        REFERENCE_TIME start = 0, end = 0;
        BYTE* data = nullptr;
        if (FAILED(sample->GetTime(&start, &end)) || FAILED(sample->GetPointer(&data)))
            return S_OK;
        const size_t stride = ((size_t(kWidth) * 24 + 31) / 32) * 4;
        const int number = numberIn([&](int y) { return data + size_t(kHeight - 1 - y) * stride; });
        std::lock_guard held(lock_);
        frames_.push_back(std::llround(double(start) / double(UNITS / 25)));
        numbers_.push_back(number);
        return S_OK;
    }
    HRESULT BufferCB(double, BYTE*, LONG) override { return S_OK; }

    size_t count() {
        std::lock_guard held(lock_);
        return frames_.size();
    }
    std::vector<long long> frames() {
        std::lock_guard held(lock_);
        return frames_;
    }
    std::vector<int> numbers() {
        std::lock_guard held(lock_);
        return numbers_;
    }

private:
    std::mutex lock_;
    std::vector<long long> frames_;
    std::vector<int> numbers_;
};

ComPtr<IPin> firstPin(IBaseFilter* filter, PIN_DIRECTION wanted) {
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.GetAddressOf())))
        return {};
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        PIN_DIRECTION direction = PINDIR_INPUT;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted)
            return pin;
    }
    return {};
}

// Plays the whole file through the graph a CVideo builds (source, splitter, decoder,
// converter, grabber, renderer) and collects every picture's time.
bool playWhole(const std::string& path, TimedPictures& pictures, size_t expected) {
    std::u16string wide(path.begin(), path.end());
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> source, grabberFilter;
    ComPtr<ISampleGrabber> grabber;
    ComPtr<IMediaControl> control;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void**>(graph.GetAddressOf()))) ||
        FAILED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(grabberFilter.GetAddressOf()))) ||
        FAILED(grabberFilter->QueryInterface(IID_ISampleGrabber,
                                             reinterpret_cast<void**>(grabber.GetAddressOf()))) ||
        FAILED(graph->AddFilter(grabberFilter.Get(), u"Grabber")) ||
        FAILED(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(source.GetAddressOf()))) ||
        FAILED(graph->AddFilter(source.Get(), u"Source")))
        return false;
    ComPtr<IFileSourceFilter> file;
    if (FAILED(source->QueryInterface(IID_IFileSourceFilter,
                                      reinterpret_cast<void**>(file.GetAddressOf()))) ||
        FAILED(file->Load(wide.c_str(), nullptr)))
        return false;
    AM_MEDIA_TYPE rgb{};
    rgb.majortype = MEDIATYPE_Video;
    rgb.subtype = MEDIASUBTYPE_RGB24;
    rgb.formattype = FORMAT_VideoInfo;
    grabber->SetMediaType(&rgb);
    grabber->SetCallback(&pictures, 0);
    const ComPtr<IPin> out = firstPin(source.Get(), PINDIR_OUTPUT);
    const ComPtr<IPin> in = firstPin(grabberFilter.Get(), PINDIR_INPUT);
    const ComPtr<IPin> grabbed = firstPin(grabberFilter.Get(), PINDIR_OUTPUT);
    if (!out || !in || !grabbed || FAILED(graph->Connect(out.Get(), in.Get())) ||
        FAILED(graph->Render(grabbed.Get())) ||
        FAILED(graph->QueryInterface(IID_IMediaControl,
                                     reinterpret_cast<void**>(control.GetAddressOf()))) ||
        FAILED(control->Run()))
        return false;
    // Played at its rate: a few seconds; a hang guard only.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    size_t seen = 0;
    auto quiet = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline && pictures.count() < expected) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (const size_t now = pictures.count(); now != seen) {
            seen = now;
            quiet = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - quiet > std::chrono::seconds(3)) {
            break; // the stream ended short of what was expected
        }
    }
    control->Stop();
    grabber->SetCallback(nullptr, 0);
    return true;
}

struct DamagedCase {
    const char* name;
    const char* codec;
};

struct playback_damaged : ::testing::TestWithParam<DamagedCase> {
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
};

} // namespace

// One picture in the middle cannot be decoded. Every picture before and after it is shown
// at its own time: the number ffmpeg wrote into it, and the time ffprobe gives it where the
// file states one; never the time of the picture before it.
TEST_P(playback_damaged, EveryPictureAfterADamagedOneKeepsItsOwnTime) {
    const std::string path = at(GetParam().name);
    ASSERT_TRUE(makeClip(path, 60, GetParam().codec));
    ASSERT_TRUE(damageChunk(path, 20));
    // ffmpeg's pictures of the damaged file: its frame times where it states them.
    const auto probed = linesOf("ffprobe -v quiet -select_streams v:0 -show_entries frame=pts "
                                "-of csv=p=0 '" +
                                path + "'");
    ASSERT_GE(probed.size(), 55u);
    ASSERT_LT(probed.size(), 60u) << "the damaged picture still decodes";

    TimedPictures pictures;
    ASSERT_TRUE(playWhole(path, pictures, probed.size()));
    const auto frames = pictures.frames();
    const auto numbers = pictures.numbers();
    EXPECT_EQ(frames.size(), probed.size());
    // ffprobe states presentation times only where the file carries them (not for pictures
    // stored in decode order): there its times are the reference too.
    const bool probedTimes = std::find(probed.begin(), probed.end(), "N/A") == probed.end();
    int wrong = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        wrong += frames[i] != numbers[i];
        EXPECT_EQ(frames[i], numbers[i]) << "picture " << i;
        if (probedTimes && i < probed.size()) {
            EXPECT_EQ(std::to_string(frames[i]), probed[i]) << "picture " << i;
        }
    }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, playback_damaged,
                         ::testing::Values(DamagedCase{"damaged_mjpeg.avi", "-c:v mjpeg -q:v 3"},
                                           DamagedCase{"damaged_mpeg4.avi",
                                                       "-c:v mpeg4 -q:v 3 -bf 2 -g 12"}),
                         [](const auto& param) {
                             std::string name = param.param.name;
                             return name.substr(0, name.find('.'));
                         });

// A file reached through a symbolic link, and through a link to that link, plays as the file
// itself does; a link to nothing is refused like a missing file, leaving the object closed.
TEST(playback_links, LinksPlayTheirFileAndADanglingLinkIsRefused) {
    const std::string path = at("linked.avi");
    ASSERT_TRUE(makeClip(path, 30, "-c:v mjpeg -q:v 5"));
    const std::string link = at("link.avi"), chained = at("chained.avi"),
                      dangling = at("dangling.avi");
    fs::create_symlink(path, link);
    fs::create_symlink("link.avi", chained); // relative: resolved from the link's folder
    fs::create_symlink(at("gone.avi"), dangling);
    for (const std::string& name : {link, chained}) {
        CVideo video;
        ASSERT_EQ(video.Open(OPEN_FILE, name.c_str(), 0), 0) << name;
        EXPECT_EQ(video.GetFrameCount(), 30) << name;
        Shown shown;
        video.SetSampleCallBack(Shown::callback, &shown);
        EXPECT_EQ(shown.seek(video, 17), 17) << name;
        video.SetSampleCallBack(nullptr, nullptr);
    }
    CVideo video;
    EXPECT_EQ(video.Open(OPEN_FILE, dangling.c_str(), 0), -3);
    EXPECT_FALSE(video.IsOpen());
    EXPECT_EQ(video.GetBitmapInfoPtr(), nullptr);
}
