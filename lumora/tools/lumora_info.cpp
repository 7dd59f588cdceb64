// lumora-info: lists capture devices and grabs frames from one through CVideo, for users
// checking a camera and for scripts (the last line is key=value pairs).
#include <lumora/Video.h>
#include <platform/com_ptr.h>
#include <platform/media/graph_interfaces.h>
#include <platform/media/recording_interfaces.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

int usage(FILE* out) {
    std::fprintf(out,
                 "usage: lumora-info --list\n"
                 "       lumora-info --grab N [--device D] [--size WxH] [--bits B] [--fps F]"
                 " [--out FILE.bmp]\n"
                 "       lumora-info --selfcheck\n"
                 "       lumora-info --compressors\n"
                 "       lumora-info --record FILE --seconds S [--compressor NAME] [--device D]"
                 " [--size WxH] [--fps F]\n"
                 "       lumora-info --play FILE [--seek N] [--out FILE.bmp]\n"
                 "\n"
                 "  --list        every capture device: list number, display name, path, and\n"
                 "                its capabilities (bits, sizes, frame rates)\n"
                 "  --grab N      capture N frames, print the measured frame rate and write the\n"
                 "                last frame as a BMP; the last line is key=value pairs:\n"
                 "                device= width= height= bits= frames= fps=\n"
                 "  --device D    a list number, a display name or a device path\n"
                 "                (default: the first device)\n"
                 "  --size WxH    frame size (default: the device's current format)\n"
                 "  --bits B      16 or 24 deliver 24-bit RGB, 32 delivers 32-bit RGB; the\n"
                 "                device must offer a capability of that depth and size\n"
                 "  --fps F       frames per second, clamped to what the device offers\n"
                 "  --out FILE    the BMP to write (default frame.bmp)\n"
                 "  --selfcheck   check the library's frame layout on this machine\n"
                 "  --compressors the video compressors a recording may use\n"
                 "  --record FILE record S seconds to an AVI file while counting live frames;\n"
                 "                the last line is frames_written= live_frames= dropped=\n"
                 "                camera_skipped= fell_behind= (dropped: frames the camera's\n"
                 "                rate promised and the file lacks; of them, those the camera\n"
                 "                never delivered and those the recording could not keep)\n"
                 "  --play FILE   open a video file; the last line is frames= interval=\n"
                 "                width= height=; with --seek N the frame delivered for\n"
                 "                position N is written as a BMP (default frame.bmp)\n"
                 "\n"
                 "Exit status: 0 done, 1 capture failed, 2 bad arguments, unknown device or\n"
                 "format.\n");
    return out == stdout ? 0 : 2;
}

// Builds frames of common formats and checks the sizes and offsets the program relies on.
int selfCheck() {
    struct Case {
        int width, height, bits;
        DWORD compression;
        int offset;
        long blockSize;
    } cases[] = {
        {640, 480, 24, BI_RGB, 40, 921640},        {1280, 720, 24, BI_RGB, 40, 2764840},
        {1920, 1080, 32, BI_RGB, 40, 8294440},     {641, 480, 24, BI_RGB, 40, 40 + 1924 * 480},
        {320, 240, 8, BI_RGB, 1064, 1064 + 76800}, {320, 240, 16, BI_BITFIELDS, 52, 52 + 153600},
    };
    int failures = 0;
    for (const Case& c : cases) {
        BITMAPINFO format{};
        format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        format.bmiHeader.biWidth = c.width;
        format.bmiHeader.biHeight = c.height;
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = WORD(c.bits);
        format.bmiHeader.biCompression = c.compression;
        BITMAPINFO* frame = CVideo::DupBitmap(&format);
        const int offset = CVideo::GetBmpImageDataPos(&format);
        const bool ok = frame && offset == c.offset;
        std::printf("%-4s %4dx%-4d %2d bits: pixels at %4d\n", ok ? "ok" : "FAIL", c.width,
                    c.height, c.bits, offset);
        if (frame)
            std::memset(CVideo::GetBmpImageData(frame), 0, size_t(c.blockSize - offset));
        CVideo::ReleaseBitmap(frame);
        failures += ok ? 0 : 1;
    }
    CVideo video;
    std::printf("library: open=%d frame interval=%lld\n", video.IsOpen(),
                static_cast<long long>(video.GetFrameInterval()));
    std::printf("selfcheck=%s cases=%zu failures=%d\n", failures ? "failed" : "passed",
                sizeof(cases) / sizeof(cases[0]), failures);
    return failures ? 1 : 0;
}

constexpr int kMaxDevices = 64;

std::vector<tVideoDev> devices() {
    std::vector<tVideoDev> list(kMaxDevices);
    const int count = CVideo::GetCaptureDeviceList(list.data(), kMaxDevices);
    list.resize(size_t(count > 0 ? count : 0));
    return list;
}

double fps(LONGLONG interval) {
    return interval > 0 ? 1e7 / double(interval) : 0.0;
}

int list() {
    const auto all = devices();
    if (all.empty()) {
        std::printf("no capture devices\n");
        return 0;
    }
    for (size_t i = 0; i < all.size(); ++i) {
        std::printf("%zu: %s\n   path: %s\n", i + 1,
                    static_cast<const char*>(CVideo::GetDeviceDispName(all[i])),
                    all[i].szDevicePath);
        CVideo video;
        if (video.Open(OPEN_DEVICE, all[i].szDevicePath, -1) != 0) {
            std::printf("   (cannot be opened)\n");
            continue;
        }
        tVideoInf now{};
        if (video.GetVideoInf(now))
            std::printf("   current: %d bits %dx%d %.2f fps\n", now.nBitCount, now.nWidth,
                        now.nHeight, fps(now.llFrameInterval));
        tVideoCapInf caps[CAPINF_MAX];
        const int count = video.GetVideoCapInf(caps, CAPINF_MAX);
        for (int c = 0; c < count; ++c) {
            const tVideoCapInf& cap = caps[c];
            if (cap.nMinWidth == cap.nMaxWidth && cap.nMinHeight == cap.nMaxHeight)
                std::printf("   %2d bits %dx%d", cap.nBitCount, cap.nMaxWidth, cap.nMaxHeight);
            else
                std::printf("   %2d bits %dx%d..%dx%d", cap.nBitCount, cap.nMinWidth,
                            cap.nMinHeight, cap.nMaxWidth, cap.nMaxHeight);
            std::printf(" %.2f-%.2f fps\n", fps(cap.llMaxFrameInterval),
                        fps(cap.llMinFrameInterval));
        }
    }
    return 0;
}

// What the frame callback shares with the main thread.
struct Grab {
    std::mutex lock;
    std::condition_variable done;
    long long wanted = 0;
    long long frames = 0;
    std::chrono::steady_clock::time_point first, last;
    std::vector<BYTE> lastFrame; // sized before capture starts: no allocation per frame
    size_t frameBytes = 0;
};

// Streaming thread, once per frame.
void onFrame(BYTE* pixels, void* param) {
    auto* grab = static_cast<Grab*>(param);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(grab->lock);
    if (grab->frames >= grab->wanted)
        return;
    if (grab->frames == 0)
        grab->first = now;
    grab->last = now;
    if (++grab->frames == grab->wanted) {
        std::memcpy(grab->lastFrame.data(), pixels, grab->frameBytes);
        grab->done.notify_all();
    }
}

bool writeBmp(const char* path, const BITMAPINFOHEADER& header, const BYTE* pixels, size_t bytes) {
    FILE* file = std::fopen(path, "wb");
    if (!file)
        return false;
    const uint32_t offset = 14 + sizeof(BITMAPINFOHEADER);
    const uint32_t size = uint32_t(offset + bytes);
    BYTE fileHeader[14] = {'B', 'M'};
    std::memcpy(fileHeader + 2, &size, 4);
    std::memcpy(fileHeader + 10, &offset, 4);
    BITMAPINFOHEADER info = header;
    info.biSizeImage = DWORD(bytes);
    const bool ok = std::fwrite(fileHeader, 1, 14, file) == 14 &&
                    std::fwrite(&info, 1, sizeof(info), file) == sizeof(info) &&
                    std::fwrite(pixels, 1, bytes, file) == bytes;
    return std::fclose(file) == 0 && ok;
}

// A list number, a display name or a path; "" and false when nothing matches.
bool resolveDevice(const std::string& wanted, std::string* path) {
    const auto all = devices();
    if (all.empty())
        return false;
    if (wanted.empty()) {
        *path = all.front().szDevicePath;
        return true;
    }
    char* end = nullptr;
    const long number = std::strtol(wanted.c_str(), &end, 10);
    if (end && *end == '\0' && number >= 1 && size_t(number) <= all.size()) {
        *path = all[size_t(number - 1)].szDevicePath;
        return true;
    }
    for (const tVideoDev& dev : all) {
        if (wanted == static_cast<const char*>(CVideo::GetDeviceDispName(dev)) ||
            wanted == dev.szDevicePath) {
            *path = dev.szDevicePath;
            return true;
        }
    }
    return false;
}

int grab(long long count, const std::string& device, int width, int height, int bits, double rate,
         const char* out) {
    std::string path;
    if (!resolveDevice(device, &path)) {
        std::fprintf(stderr, "lumora-info: unknown device '%s' (see --list)\n", device.c_str());
        return 2;
    }
    CVideo video;
    if (video.Open(OPEN_DEVICE, path.c_str(), -1) != 0) {
        std::fprintf(stderr, "lumora-info: cannot open device %s\n", path.c_str());
        return 1;
    }
    tVideoInf now{};
    video.GetVideoInf(now);
    if (width || height || bits || rate > 0) {
        const int w = width ? width : now.nWidth, h = height ? height : now.nHeight;
        const int b = bits ? bits : now.nBitCount;
        const LONGLONG interval = rate > 0 ? LONGLONG(1e7 / rate + 0.5) : now.llFrameInterval;
        tVideoCapInf caps[CAPINF_MAX];
        const int known = video.GetVideoCapInf(caps, CAPINF_MAX);
        bool offered = false;
        for (int c = 0; c < known && !offered; ++c)
            offered = caps[c].nBitCount == b && caps[c].nMinWidth <= w && w <= caps[c].nMaxWidth &&
                      caps[c].nMinHeight <= h && h <= caps[c].nMaxHeight;
        if (!offered) {
            std::fprintf(stderr, "lumora-info: %s offers no %d-bit %dx%d format (see --list)\n",
                         path.c_str(), b, w, h);
            return 2;
        }
        if (video.CaptureInit(w, h, b, interval) != 0) {
            std::fprintf(stderr, "lumora-info: cannot build a %d-bit %dx%d capture on %s\n", b, w,
                         h, path.c_str());
            return 1;
        }
    }
    const BITMAPINFO* frame = video.GetBitmapInfoPtr();
    if (!frame) {
        std::fprintf(stderr, "lumora-info: no capture graph for the device's current format\n");
        return 1;
    }
    const BITMAPINFOHEADER header = frame->bmiHeader;
    const size_t stride = size_t((header.biWidth * header.biBitCount + 31) / 32 * 4);
    Grab state;
    state.wanted = count;
    state.frameBytes = stride * size_t(header.biHeight < 0 ? -header.biHeight : header.biHeight);
    state.lastFrame.assign(state.frameBytes, 0);
    video.SetSampleCallBack(onFrame, &state);
    const double interval = double(video.GetFrameInterval());
    if (video.CaptureStart(nullptr, nullptr) != 0) {
        std::fprintf(stderr, "lumora-info: capture did not start\n");
        return 1;
    }
    // Bounded: twice the frames' time at the slowest rate asked for, plus ten seconds.
    const auto limit = std::chrono::milliseconds(
        static_cast<long long>(2 * double(count) * (interval > 0 ? interval : 1e7) / 1e4) + 10000);
    // A camera that goes silent (unplugged, or failing) ends the wait early: nothing comes
    // for a few frame times, or for a few seconds before the first frame.
    const auto silence = std::chrono::milliseconds(
        std::max<long long>(3000, static_cast<long long>(5 * interval / 1e4)));
    const auto started = std::chrono::steady_clock::now();
    bool complete = false, silent = false;
    {
        std::unique_lock lock(state.lock);
        while (!complete && !silent) {
            complete = state.done.wait_for(lock, std::chrono::milliseconds(100),
                                           [&] { return state.frames >= count; });
            const auto at = std::chrono::steady_clock::now();
            const auto lastSign = state.frames > 0 ? state.last : started;
            silent = !complete && (at - lastSign > silence || at - started > limit);
        }
    }
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    std::lock_guard lock(state.lock);
    const double seconds = std::chrono::duration<double>(state.last - state.first).count();
    const double measured =
        state.frames > 1 && seconds > 0 ? double(state.frames - 1) / seconds : 0;
    std::printf("captured %lld of %lld frames, %.2f fps measured (%.2f requested)\n", state.frames,
                count, measured, interval > 0 ? 1e7 / interval : 0.0);
    if (!complete) {
        std::fprintf(stderr,
                     "lumora-info: the camera stopped delivering frames (unplugged, or failing): "
                     "nothing for %lld ms\n",
                     static_cast<long long>(silence.count()));
        return 1;
    }
    if (!writeBmp(out, header, state.lastFrame.data(), state.frameBytes)) {
        std::fprintf(stderr, "lumora-info: cannot write %s\n", out);
        return 1;
    }
    std::printf("wrote %s\n", out);
    std::printf("device=%s width=%d height=%d bits=%d frames=%lld fps=%.2f\n", path.c_str(),
                int(header.biWidth), int(header.biHeight), int(header.biBitCount), state.frames,
                measured);
    return 0;
}

int compressors() {
    char buffers[32][256] = {};
    char* names[32];
    for (int i = 0; i < 32; ++i)
        names[i] = buffers[i];
    const int count = CVideo::GetCompressFilterList(names, 32);
    for (int i = 0; i < count; ++i)
        std::printf("%d: %s\n", i + 1, names[i]);
    std::printf("compressors=%d\n", count < 0 ? 0 : count);
    return count < 0 ? 1 : 0;
}

// Streaming thread: counts live frames.
void countFrame(BYTE*, void* param) {
    static_cast<std::atomic<long long>*>(param)->fetch_add(1, std::memory_order_relaxed);
}

// A capture object that lets the recording's multiplexer be asked, after the stop, what the
// file holds: the multiplexer stays in the graph, the object only drops its own reference.
class RecordingVideo : public CVideo {
public:
    platform::ComPtr<IBaseFilter> multiplexer() { return platform::ComPtr<IBaseFilter>(m_pMux); }
    // The queue at the head of the recording branch: the frames it dropped are those the
    // compressor or the disk could not keep up with.
    platform::ComPtr<IBaseFilter> recordingQueue() {
        platform::ComPtr<IEnumFilters> filters;
        if (!m_pGraph || FAILED(m_pGraph->EnumFilters(filters.GetAddressOf())) || !filters)
            return {};
        platform::ComPtr<IBaseFilter> filter;
        while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            CLSID clsid{};
            if (SUCCEEDED(filter->GetClassID(&clsid)) && clsid == CLSID_RecordingQueue)
                return filter;
        }
        return {};
    }
};

int record(const char* file, double seconds, const char* compressor, const std::string& device,
           int width, int height, double rate) {
    std::string path;
    if (!resolveDevice(device, &path)) {
        std::fprintf(stderr, "lumora-info: unknown device '%s' (see --list)\n", device.c_str());
        return 2;
    }
    RecordingVideo video;
    if (video.Open(OPEN_DEVICE, path.c_str(), -1) != 0) {
        std::fprintf(stderr, "lumora-info: cannot open device %s\n", path.c_str());
        return 1;
    }
    tVideoInf now{};
    video.GetVideoInf(now);
    if ((width || height || rate > 0) &&
        video.CaptureInit(width ? width : now.nWidth, height ? height : now.nHeight, 24,
                          rate > 0 ? LONGLONG(1e7 / rate + 0.5) : now.llFrameInterval) != 0) {
        std::fprintf(stderr, "lumora-info: cannot build that capture format on %s\n", path.c_str());
        return 1;
    }
    std::atomic<long long> live{0};
    video.SetSampleCallBack(countFrame, &live);
    const auto start = std::chrono::steady_clock::now();
    if (video.CaptureStart(file, compressor) != 0) {
        std::fprintf(stderr, "lumora-info: cannot record to %s\n", file);
        return 1;
    }
    const platform::ComPtr<IBaseFilter> mux = video.multiplexer();
    const platform::ComPtr<IBaseFilter> queue = video.recordingQueue();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double recorded =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    // What the file holds, as the multiplexer wrote it: pictures, empty entries for the frames
    // dropped on the way (the compressor fell behind, or the camera skipped), the first write
    // that failed.
    long written = 0, dropped = 0;
    HRESULT writeError = S_OK;
    LONGLONG entries = 0;
    REFERENCE_TIME timeline = 0;
    auto counts = mux ? mux.query<IAMDroppedFrames>() : nullptr;
    auto status = mux ? mux.query<IRecordingStatus>() : nullptr;
    if (!counts || !status || FAILED(counts->GetNumNotDropped(&written)) ||
        FAILED(counts->GetNumDropped(&dropped)) || FAILED(status->GetWriteError(&writeError)) ||
        FAILED(status->GetTimeline(&entries, &timeline))) {
        std::fprintf(stderr, "lumora-info: the recording's multiplexer cannot be asked\n");
        return 1;
    }
    if (written == 0) {
        std::printf("frames_written=0 live_frames=%lld dropped=%ld\n", live.load(), dropped);
        std::fprintf(stderr,
                     "lumora-info: no picture reached %s before the recording stopped (the "
                     "compressor could not finish one)\n",
                     file);
        return 1;
    }
    CVideo played;
    if (played.Open(OPEN_FILE, file, 0) != 0) {
        std::fprintf(stderr, "lumora-info: the recording %s does not open\n", file);
        return 1;
    }
    std::printf("recorded %.2f s to %s (%.2f s in the file)\n", recorded, file,
                double(timeline) / 1e7);
    // Only a write that failed means the file could not grow (a full disk, a file-size
    // limit); frames dropped because the compressor fell behind are reported as such.
    const bool cut = FAILED(writeError);
    if (cut)
        std::fprintf(stderr, "lumora-info: the recording ended early: %s could not grow\n", file);
    // The file's empty entries have two causes: frames the recording queue dropped because the
    // branch behind it fell behind, and frames the camera never delivered (below its rate, as
    // webcams go in low light); the queue's own count tells them apart.
    long fellBehind = 0;
    if (auto queueCounts = queue ? queue.query<IAMDroppedFrames>() : nullptr;
        !queueCounts || FAILED(queueCounts->GetNumDropped(&fellBehind)))
        fellBehind = 0;
    fellBehind = std::clamp<long>(fellBehind, 0, dropped);
    const long cameraSkipped = dropped - fellBehind;
    if (!cut && fellBehind > 0)
        std::fprintf(stderr,
                     "lumora-info: %ld of %lld frames were dropped from the recording (the "
                     "compressor or the disk could not keep up); the file keeps their places\n",
                     fellBehind, (long long)entries);
    if (!cut && cameraSkipped > 0)
        std::fprintf(stderr,
                     "lumora-info: %ld of %lld frames never came from the camera (it delivered "
                     "below its rate); the file keeps their places\n",
                     cameraSkipped, (long long)entries);
    std::printf("frames_written=%ld live_frames=%lld dropped=%ld camera_skipped=%ld "
                "fell_behind=%ld\n",
                written, live.load(), dropped, cameraSkipped, fellBehind);
    return cut ? 1 : 0;
}

// What the playback callback shares with the main thread.
struct Played {
    std::mutex lock;
    std::condition_variable done;
    bool got = false;
    std::vector<BYTE> pixels;
};

void onPlayed(BYTE* pixels, void* param) {
    auto* played = static_cast<Played*>(param);
    std::lock_guard lock(played->lock);
    std::memcpy(played->pixels.data(), pixels, played->pixels.size());
    played->got = true;
    played->done.notify_all();
}

int play(const char* file, long long seek, const char* out) {
    CVideo video;
    if (const int opened = video.Open(OPEN_FILE, file, 0); opened != 0) {
        std::fprintf(stderr, "lumora-info: cannot play %s (%d)\n", file, opened);
        return 1;
    }
    const BITMAPINFOHEADER header = video.GetBitmapInfoPtr()->bmiHeader;
    // Read before seeking: delivered frames count on in the same member.
    const long long frames = static_cast<long long>(video.GetFrameCount());
    if (seek >= 0) {
        Played played;
        const size_t stride = size_t((header.biWidth * header.biBitCount + 31) / 32 * 4);
        played.pixels.assign(stride * size_t(std::abs(header.biHeight)), 0);
        video.SetSampleCallBack(onPlayed, &played);
        const bool placed = video.SetPlayPos(seek) == seek;
        video.SetSampleCallBack(nullptr, nullptr);
        std::lock_guard lock(played.lock);
        if (!placed || !played.got) {
            std::fprintf(stderr, "lumora-info: no frame at position %lld\n", seek);
            return 1;
        }
        if (!writeBmp(out, header, played.pixels.data(), played.pixels.size())) {
            std::fprintf(stderr, "lumora-info: cannot write %s\n", out);
            return 1;
        }
        std::printf("wrote frame %lld to %s\n", seek, out);
    }
    std::printf("frames=%lld interval=%lld width=%d height=%d\n", frames,
                static_cast<long long>(video.GetFrameInterval()), int(header.biWidth),
                int(header.biHeight));
    return 0;
}

// --record FILE and --play FILE with their options.
int fileCommand(int argc, char** argv) {
    const std::string command = argv[1];
    const char* file = argv[2];
    std::string device;
    const char* compressor = nullptr;
    const char* out = "frame.bmp";
    int width = 0, height = 0;
    double rate = 0, seconds = 0;
    long long seek = -1;
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "lumora-info: %s needs a value\n", argv[i]);
            return 2;
        }
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        const bool recording = command == "--record";
        if (recording && option == "--seconds") {
            seconds = std::atof(value);
        } else if (recording && option == "--compressor") {
            compressor = value;
        } else if (recording && option == "--device") {
            device = value;
        } else if (recording && option == "--size") {
            if (std::sscanf(value, "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) {
                std::fprintf(stderr, "lumora-info: --size takes WIDTHxHEIGHT, got '%s'\n", value);
                return 2;
            }
        } else if (recording && option == "--fps") {
            rate = std::atof(value);
            if (!(rate > 0 && rate <= 1000)) {
                std::fprintf(stderr, "lumora-info: --fps takes a rate above 0, got '%s'\n", value);
                return 2;
            }
        } else if (!recording && option == "--seek") {
            char* end = nullptr;
            seek = std::strtoll(value, &end, 10);
            if (!end || *end || seek < 0) {
                std::fprintf(stderr, "lumora-info: --seek takes a frame number, got '%s'\n", value);
                return 2;
            }
        } else if (!recording && option == "--out") {
            out = value;
        } else {
            std::fprintf(stderr, "lumora-info: unknown option %s\n", option.c_str());
            return usage(stderr);
        }
    }
    if (command == "--play")
        return play(file, seek, out);
    if (!(seconds > 0 && seconds <= 86400)) {
        std::fprintf(stderr, "lumora-info: --record needs --seconds from above 0 to 86400\n");
        return 2;
    }
    return record(file, seconds, compressor, device, width, height, rate);
}

} // namespace

int main(int argc, char** argv) {
    // A file that reaches the size limit fails its write (EFBIG) instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--selfcheck") == 0)
        return selfCheck();
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return usage(stdout);
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0)
        return list();
    if (argc == 2 && std::strcmp(argv[1], "--compressors") == 0)
        return compressors();
    if (argc >= 3 && (std::strcmp(argv[1], "--record") == 0 || std::strcmp(argv[1], "--play") == 0))
        return fileCommand(argc, argv);
    if (argc < 3 || std::strcmp(argv[1], "--grab") != 0)
        return usage(stderr);
    char* end = nullptr;
    const long long count = std::strtoll(argv[2], &end, 10);
    if (!end || *end || count < 1 || count > 1000000) {
        std::fprintf(stderr, "lumora-info: --grab needs a frame count from 1 to 1000000\n");
        return 2;
    }
    std::string device;
    int width = 0, height = 0, bits = 0;
    double rate = 0;
    const char* out = "frame.bmp";
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "lumora-info: %s needs a value\n", argv[i]);
            return 2;
        }
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--device") {
            device = value;
        } else if (option == "--size") {
            if (std::sscanf(value, "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) {
                std::fprintf(stderr, "lumora-info: --size takes WIDTHxHEIGHT, got '%s'\n", value);
                return 2;
            }
        } else if (option == "--bits") {
            bits = std::atoi(value);
            if (bits <= 0 || bits > 32) {
                std::fprintf(stderr, "lumora-info: --bits takes 8 to 32, got '%s'\n", value);
                return 2;
            }
        } else if (option == "--fps") {
            rate = std::atof(value);
            if (!(rate > 0 && rate <= 1000)) {
                std::fprintf(stderr, "lumora-info: --fps takes a rate above 0, got '%s'\n", value);
                return 2;
            }
        } else if (option == "--out") {
            out = value;
        } else {
            std::fprintf(stderr, "lumora-info: unknown option %s\n", option.c_str());
            return usage(stderr);
        }
    }
    return grab(count, device, width, height, bits, rate, out);
}
