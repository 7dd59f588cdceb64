// record_play: recording and playback through CVideo and the media graph.
//
// Recording: the paced test-pattern camera at 1280x720, 30 fps, recorded with the MJPEG
// compressor for 10 s while a callback counts live frames. Reported: frames dropped (the
// camera's rate times the time recorded, minus the frames in the file; target 0) and process
// CPU time per frame, against the floor measured in the same run: the same camera live only.
// Playback: a 1080p H.264 file made by ffmpeg, decoded unpaced through the graph (file
// source, splitter, decoder, a grabber taking the decoder's I420 pictures, a null renderer), in
// frames per second as a ratio to `ffmpeg -i FILE -f null -` decoding the same file.
// Recording under load: the camera at 640x480, 30 fps, recorded with the slowest compressor
// (FFV1) while two busy loops load the machine. Reported: live frames per second while
// recording as a ratio to the camera's rate (target >= 0.98: the live picture never waits for
// the compressor) and |file duration - wall time recorded| (target: within one frame).
//
// Seeking: a corpus made by ffmpeg at run time (AVI with H.264 and with MPEG-4 B-frames, MP4
// and MKV with B-frames, an MP4 cut to start with pictures that cannot be decoded) and one of
// our own recordings killed mid-way; 50 positions in each, a seek right when the picture
// shown is ffmpeg's frame N (PSNR at least 30 dB and no less than against its neighbours).
#include "ffmpeg_reference.h"

#include <lumora/Video.h>
#include <platform/com_ptr.h>
#include <platform/media/file_interfaces.h>
#include <platform/media/media.h>
#include <platform/media/recording_interfaces.h>
#include <platform/media/test_pattern_camera.h>
#include <platform/text.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using platform::ComPtr;

namespace {

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}
double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string testPatternPath() {
    char path[256] = {};
    WideCharToMultiByte(CP_ACP, 0, platform::media::kTestPatternPath, -1, path, sizeof(path),
                        nullptr, nullptr);
    return path;
}

void countFrame(BYTE*, void* param) {
    static_cast<std::atomic<long>*>(param)->fetch_add(1, std::memory_order_relaxed);
}

struct Run {
    long live = 0;
    long written = 0;
    double seconds = 0, cpu = 0;
};

// Captures for `seconds`, recording to `file` when one is given.
Run capture(const char* file, const char* compressor, double seconds) {
    Run run;
    CVideo video;
    if (video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1) != 0 ||
        video.CaptureInit(1280, 720, 24, UNITS / 30) != 0)
        return run;
    std::atomic<long> live{0};
    video.SetSampleCallBack(countFrame, &live);
    const double cpu0 = cpuSeconds(), wall0 = wallSeconds();
    if (video.CaptureStart(file, compressor) != 0)
        return run;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    video.CaptureStop();
    run.cpu = cpuSeconds() - cpu0;
    run.seconds = wallSeconds() - wall0 - 1.0; // CaptureStop waits a second for the writer
    video.SetSampleCallBack(nullptr, nullptr);
    run.live = live.load();
    if (file) {
        CVideo recorded;
        if (recorded.Open(OPEN_FILE, file, 0) == 0)
            run.written = long(recorded.GetFrameCount());
    }
    return run;
}

// Decodes the file unpaced through the graph; frames per second, or 0.
double graphDecodeRate(const std::string& file, long frames) {
    ComPtr<IGraphBuilder> graph;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     reinterpret_cast<void**>(graph.GetAddressOf()));
    ComPtr<IBaseFilter> source, grabberFilter;
    CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(source.GetAddressOf()));
    CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(grabberFilter.GetAddressOf()));
    if (!graph || !source || !grabberFilter)
        return 0;
    graph->AddFilter(source.Get(), u"Source");
    graph->AddFilter(grabberFilter.Get(), u"Sample Grabber");
    ComPtr<IFileSourceFilter> load;
    source.As(&load);
    WCHAR wide[1024];
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, 1024);
    if (!load || FAILED(load->Load(wide, nullptr)))
        return 0;
    ComPtr<ISampleGrabber> grabber;
    grabberFilter.As(&grabber);
    AM_MEDIA_TYPE decoded{};
    decoded.majortype = MEDIATYPE_Video; // the decoder's own pictures: no conversion
    decoded.subtype = MEDIASUBTYPE_I420;
    grabber->SetMediaType(&decoded);
    // A null renderer, not Render's video renderer: nothing paces the pictures.
    ComPtr<IBaseFilter> sink;
    CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(sink.GetAddressOf()));
    if (!sink)
        return 0;
    graph->AddFilter(sink.Get(), u"Null Renderer");
    struct Counter final : ISampleGrabberCB {
        std::atomic<long> count{0};
        HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG AddRef() override { return 2; }
        ULONG Release() override { return 1; }
        HRESULT SampleCB(double, IMediaSample*) override { return S_OK; }
        HRESULT BufferCB(double, BYTE*, LONG) override {
            count.fetch_add(1, std::memory_order_relaxed);
            return S_OK;
        }
    } counter;
    grabber->SetCallback(&counter, 1);
    auto pinOf = [](IBaseFilter* filter, PIN_DIRECTION direction) {
        ComPtr<IEnumPins> pins;
        filter->EnumPins(pins.GetAddressOf());
        ComPtr<IPin> pin;
        while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            PIN_DIRECTION d{};
            pin->QueryDirection(&d);
            if (d == direction)
                return pin;
        }
        return ComPtr<IPin>();
    };
    if (FAILED(graph->Connect(pinOf(source.Get(), PINDIR_OUTPUT).Get(),
                              pinOf(grabberFilter.Get(), PINDIR_INPUT).Get())) ||
        FAILED(graph->ConnectDirect(pinOf(grabberFilter.Get(), PINDIR_OUTPUT).Get(),
                                    pinOf(sink.Get(), PINDIR_INPUT).Get(), nullptr)))
        return 0;
    ComPtr<IMediaControl> control;
    graph.As(&control);
    const double start = wallSeconds();
    control->Run();
    while (counter.count.load() < frames && wallSeconds() - start < 120)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double seconds = wallSeconds() - start;
    control->Stop();
    grabber->SetCallback(nullptr, 1);
    return counter.count.load() >= frames ? double(frames) / seconds : 0;
}

// A capture object whose recording multiplexer can be asked what the file holds.
class RecordingVideo : public CVideo {
public:
    ComPtr<IBaseFilter> multiplexer() { return ComPtr<IBaseFilter>(m_pMux); }
};

struct LoadedRecording {
    double liveRatio = 0;       // live frames per second while recording / camera rate
    double timelineErrorMs = 0; // |file duration - wall time recorded|
    long written = 0, dropped = 0;
};

// Records 640x480@30 with FFV1 for `seconds` while two threads spin.
LoadedRecording recordUnderLoad(const std::string& file, double seconds) {
    LoadedRecording result;
    std::atomic<bool> spinning{true};
    std::vector<std::thread> loops;
    for (int i = 0; i < 2; ++i)
        loops.emplace_back([&] {
            volatile unsigned long n = 0;
            while (spinning.load(std::memory_order_relaxed))
                n = n + 1;
        });
    RecordingVideo video;
    std::atomic<long> live{0};
    constexpr REFERENCE_TIME kInterval = UNITS / 30;
    if (video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1) == 0 &&
        video.CaptureInit(640, 480, 24, kInterval) == 0) {
        video.SetSampleCallBack(countFrame, &live);
        if (video.CaptureStart(file.c_str(), "FFV1 Lossless") == 0) {
            // The camera's first interval starts when the graph's start delay (10 ms) ends.
            const double start = wallSeconds() + 0.010;
            const ComPtr<IBaseFilter> mux = video.multiplexer();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            const long liveFrames = live.load();
            const double wall = wallSeconds() - start;
            video.CaptureStop();
            video.SetSampleCallBack(nullptr, nullptr);
            result.liveRatio = liveFrames / wall / (double(UNITS) / double(kInterval));
            LONGLONG entries = 0;
            REFERENCE_TIME duration = 0;
            long written = 0, dropped = 0;
            if (auto status = mux ? mux.query<IRecordingStatus>() : nullptr)
                status->GetTimeline(&entries, &duration);
            if (auto counts = mux ? mux.query<IAMDroppedFrames>() : nullptr) {
                counts->GetNumNotDropped(&written);
                counts->GetNumDropped(&dropped);
            }
            result.written = written;
            result.dropped = dropped;
            result.timelineErrorMs = std::abs(double(duration) / 1e7 - wall) * 1e3;
        }
    }
    spinning = false;
    for (auto& loop : loops)
        loop.join();
    return result;
}

// The latest picture the object handed out, copied.
struct LastPicture {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<BYTE> pixels;
    long count = 0;
    static void callback(BYTE* pixels, void* param) {
        auto* self = static_cast<LastPicture*>(param);
        std::lock_guard held(self->lock);
        std::memcpy(self->pixels.data(), pixels, self->pixels.size());
        ++self->count;
        self->arrived.notify_all();
    }
};

struct SeekScore {
    long right = 0, asked = 0;
};

// 50 seeks to positions spread over the file, each judged against ffmpeg's frame N.
SeekScore seekFile(const std::string& file) {
    SeekScore score;
    CVideo video;
    if (video.Open(OPEN_FILE, file.c_str(), 0) != 0) {
        score.asked = 50;
        std::printf("  %s: refused\n", file.c_str());
        return score;
    }
    const long long counted = video.GetFrameCount(); // before samples advance the counter
    const BITMAPINFOHEADER& header = video.GetBitmapInfoPtr()->bmiHeader;
    const int width = header.biWidth, height = header.biHeight;
    const auto reference = testsupport::ffmpegPictures(file, width, height);
    LastPicture last;
    last.pixels.resize(((size_t(width) * 24 + 31) / 32) * 4 * size_t(height));
    video.SetSampleCallBack(LastPicture::callback, &last);
    std::mt19937 random(17);
    const long frames = long(reference.size());
    for (int i = 0; i < 50 && frames > 0; ++i) {
        const long n = i == 0 ? frames - 1 : long(random() % unsigned(frames));
        ++score.asked;
        long before = 0;
        {
            std::lock_guard held(last.lock);
            before = last.count;
        }
        if (video.SetPlayPos(n) != n)
            continue;
        std::unique_lock held(last.lock);
        if (!last.arrived.wait_for(held, std::chrono::seconds(10),
                                   [&] { return last.count > before; }))
            continue;
        const double here =
            testsupport::psnrOfDib(last.pixels.data(), reference[size_t(n)], width, height);
        double neighbours = 0;
        for (long m : {n - 1, n + 1})
            if (m >= 0 && m < frames)
                neighbours = std::max(neighbours,
                                      testsupport::psnrOfDib(last.pixels.data(),
                                                             reference[size_t(m)], width, height));
        if (here >= 30.0 && here + 0.01 >= neighbours)
            ++score.right;
    }
    video.SetSampleCallBack(nullptr, nullptr);
    std::printf("  %s: %ld/%ld seeks show ffmpeg's frame (file %ld frames, player %lld)\n",
                file.c_str(), score.right, score.asked, frames, counted);
    return score;
}

// A recording of the test-pattern camera, killed (SIGKILL) while it records: what a crash
// or power loss leaves. Made in a child process before this one starts any thread.
void killedRecording(const std::string& file) {
    const pid_t child = fork();
    if (child == 0) {
        CVideo video;
        if (video.Open(OPEN_DEVICE, testPatternPath().c_str(), -1) != 0 ||
            video.CaptureInit(640, 480, 24, UNITS / 30) != 0 ||
            video.CaptureStart(file.c_str(), "MPEG-4 Part 2") != 0)
            _exit(1);
        for (;;)
            pause();
    }
    if (child < 0)
        return;
    std::this_thread::sleep_for(std::chrono::seconds(4));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

SeekScore seekCorpus(const std::string& dir) {
    const std::string source = "-f lavfi -i testsrc2=size=640x480:rate=25 -frames:v 300 ";
    const std::string x264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 3 -g 50 ";
    struct Made {
        const char* name;
        std::string options;
    };
    const Made made[] = {
        {"h264_bframes.avi", source + x264},
        {"mpeg4_bframes.avi", source + "-c:v mpeg4 -q:v 3 -bf 2 -g 50 "},
        {"h264_bframes.mp4", source + x264},
        {"h264_bframes.mkv", source + x264},
    };
    std::vector<std::string> files;
    for (const Made& file : made) {
        files.push_back(dir + "/" + file.name);
        std::system(
            ("ffmpeg -nostdin -v error -y " + file.options + "'" + files.back() + "'").c_str());
    }
    files.push_back(dir + "/leading_nonkey.mp4");
    std::system(("ffmpeg -nostdin -v error -y -i '" + dir + "/h264_bframes.mp4' -ss 2.2 " +
                 "-c copy -copyinkf '" + files.back() + "'")
                    .c_str());
    files.push_back(dir + "/killed.avi");
    killedRecording(files.back());
    SeekScore total;
    for (const std::string& file : files) {
        const SeekScore score = seekFile(file);
        total.right += score.right;
        total.asked += score.asked;
    }
    return total;
}

} // namespace

int main() {
    const std::string dir = "/tmp/bench-record-play-" + std::to_string(getpid());
    std::system(("mkdir -p " + dir).c_str());
    const std::string recording = dir + "/record.avi";
    std::printf("seeking, judged against ffmpeg's frame N:\n");
    const SeekScore seeks = seekCorpus(dir);

    const Run floor = capture(nullptr, nullptr, 3.0);
    const Run rec = capture(recording.c_str(), "MJPEG", 10.0);
    const long expected = long(rec.seconds * 30.0);
    const long dropped = std::max(0L, expected - rec.written);
    const double cpuFloor = floor.live ? floor.cpu / double(floor.live) : 0;
    const double cpuRecord = rec.written ? rec.cpu / double(rec.written) : 0;
    std::printf("live only: %ld frames in %.2f s, %.2f ms CPU per frame\n", floor.live,
                floor.seconds, cpuFloor * 1e3);
    std::printf("recording MJPEG 1280x720@30: %ld written, %ld live, %ld expected, %ld dropped,"
                " %.2f ms CPU per frame (%.2fx live only)\n",
                rec.written, rec.live, expected, dropped, cpuRecord * 1e3,
                cpuFloor > 0 ? cpuRecord / cpuFloor : 0);

    const LoadedRecording loaded = recordUnderLoad(dir + "/loaded.avi", 6.0);
    std::printf("recording FFV1 640x480@30 beside two busy loops: live %.3f of the camera's rate,"
                " %ld pictures and %ld dropped in the file, timeline off by %.1f ms\n",
                loaded.liveRatio, loaded.written, loaded.dropped, loaded.timelineErrorMs);

    const std::string movie = dir + "/movie.mp4";
    constexpr long kFrames = 240;
    std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 "
                 "-frames:v " +
                 std::to_string(kFrames) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p '" +
                 movie + "'")
                    .c_str());
    const double t0 = wallSeconds();
    std::system(("ffmpeg -nostdin -v error -i '" + movie + "' -f null -").c_str());
    const double ffmpegRate = double(kFrames) / (wallSeconds() - t0);
    const double ourRate = graphDecodeRate(movie, kFrames);
    std::printf("decode 1080p H.264: graph %.1f fps, ffmpeg %.1f fps\n", ourRate, ffmpegRate);
    std::system(("rm -rf '" + dir + "'").c_str());
    std::printf("dropped=%ld cpu_ms_per_frame=%.3f cpu_ratio_vs_live=%.2f graph_decode_fps=%.1f "
                "ffmpeg_decode_fps=%.1f decode_ratio_vs_ffmpeg=%.2f live_fps_ratio_recording=%.3f "
                "timeline_error_ms=%.1f seek_exact=%ld/%ld\n",
                dropped, cpuRecord * 1e3, cpuFloor > 0 ? cpuRecord / cpuFloor : 0, ourRate,
                ffmpegRate, ffmpegRate > 0 ? ourRate / ffmpegRate : 0, loaded.liveRatio,
                loaded.timelineErrorMs, seeks.right, seeks.asked);
    return 0;
}
