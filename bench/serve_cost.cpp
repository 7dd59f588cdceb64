// serve_cost: what serving JPEG viewers costs. The test-pattern camera at 1920x1080@30, once in
// YUY2 and once in MJPG, through CVideo into the transport's server, with 1, 4 and 16 JPEG
// viewers on loopback: server CPU per second, resident memory, the slowest viewer's frame rate
// and the frames it lost; then the resident memory once the viewers have left. MJPG runs twice:
// the server encoding the decoded frames, and the camera's own JPEGs passed through
// (cpu_ratio_passthrough = server CPU with passthrough / without, 16 viewers). A third
// comparison does the same without the capture graph.
//
// Each mode runs in a fresh child process. Whole-process figures beside the server's share:
// resident memory with 16 viewers (the viewers are threads of this process with 64 KiB buffers
// each), what an open server adds while nobody watches (memory and CPU, once it has stopped taking
// frames), and how much of a burst of 30 stalled raw readers stays resident once they have gone
// (twice: the C library keeps its first freed blocks of a size apart, so the second burst shows
// what a process that has run a while keeps).
//
// Same-run floors: the camera alone (the same capture with nobody served: its CPU is
// subtracted from every row, as is the viewers' own), and libturbojpeg encoding alone on the
// camera's frames (libyuv conversion to full-range 4:2:0 + tjCompressFromYUVPlanes), against
// which the server's encoder is measured: encode_ratio_planes = encoder / floor.
#include "jpeg_codec.h"
#include "loopback.h"
#include "stream_server.h"

#include <lumora/Video.h>
#include <platform/media/device_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/media/test_pattern_camera.h>

#include "pattern_provider.h"

#include "media/sources/test_pattern/pattern_jpeg.h"
#include "media/sources/test_pattern/pattern_renderer.h"

#include <libyuv.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using tavrel::DibFormat;

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr LONGLONG kInterval = 333333; // 30 fps
constexpr auto kSettle = 1500ms;
constexpr auto kMeasure = 4s;
const DibFormat kFormat{kWidth, kHeight, 24};

double processCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
double threadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
// One "Name: N kB" figure of /proc/self/status, in MB.
double statusMb(const char* name) {
    FILE* f = std::fopen("/proc/self/status", "r");
    long kb = 0;
    char line[256];
    const size_t len = std::strlen(name);
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, name, len) == 0 && line[len] == ':') {
            std::sscanf(line + len + 1, "%ld", &kb);
            break;
        }
    if (f)
        std::fclose(f);
    return double(kb) / 1024.0;
}
double residentMb() {
    return statusMb("VmRSS");
}

// The capture's frame callback: hands each frame to the server, when there is one, and keeps
// a few frames for the encode floor.
struct Sink {
    std::atomic<tavrel::StreamServer*> server{nullptr};
    std::atomic<long> frames{0};
    std::atomic<bool> keep{false}; // only once memory has been measured
    std::mutex lock;
    std::vector<std::vector<uint8_t>> kept;

    // An MJPEG camera's own picture, just before its decoded frame (passthrough runs only).
    static void onJpeg(BYTE* data, LONG length, void* param) {
        auto* self = static_cast<Sink*>(param);
        if (auto* s = self->server.load())
            s->addNextFrameJpeg(data, static_cast<size_t>(length));
    }
    static void onFrame(BYTE* pixels, void* param) {
        auto* self = static_cast<Sink*>(param);
        if (auto* s = self->server.load())
            s->addFrame(pixels);
        const long n = ++self->frames;
        if (self->keep && n % 10 == 0) {
            std::lock_guard g(self->lock);
            if (self->kept.size() < 4)
                self->kept.emplace_back(pixels, pixels + kFormat.imageBytes());
        }
    }
};

// Reads the stream and counts parts by their Content-Length without decoding them; a small
// buffer, so the viewers add little to the process's resident memory.
struct Viewer {
    std::atomic<long> parts{0};
    std::atomic<double> cpu{0};
    std::atomic<bool> stop{false};
    std::thread thread;

    void start(int port) {
        thread = std::thread([this, port] {
            const int fd = loopback::connect(port);
            const std::string req = "GET /stream HTTP/1.1\r\nHost: b\r\n\r\n";
            ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
            timeval tv{0, 100000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::vector<char> buf(64 * 1024);
            std::string head;
            size_t skip = 0;
            while (!stop) {
                const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                cpu = threadCpu();
                if (n <= 0)
                    continue;
                for (size_t i = 0; i < static_cast<size_t>(n);) {
                    if (skip > 0) {
                        const size_t k = std::min(skip, static_cast<size_t>(n) - i);
                        skip -= k;
                        i += k;
                        if (skip == 0)
                            ++parts;
                        continue;
                    }
                    head.push_back(buf[i++]);
                    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) {
                        const size_t cl = head.find("Content-Length: ");
                        if (cl != std::string::npos)
                            skip = std::stoul(head.substr(cl + 16));
                        head.clear();
                    }
                }
            }
            ::close(fd);
        });
    }
};

// A raw reader that asks and never reads: it holds the frame it was sent.
int stalledRawReader(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in a = loopback::address(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const std::string req = "GET /stream?raw=1 HTTP/1.1\r\nHost: b\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    return fd;
}

struct Row {
    double cpuPerSec = 0; // the server's share: process CPU less the camera's and viewers'
    double rssMb = 0;
    double minFps = 0;
    double lostPerSec = 0; // camera frames the slowest viewer never received
    double encodesPerSec = 0;
};

// Process CPU per second of wall time, less `others` (seconds of CPU over the same span).
template <typename Others> double cpuPerSecond(Others others, double& wall) {
    const double c0 = processCpu();
    const double o0 = others();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kMeasure);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return ((processCpu() - c0) - (others() - o0)) / wall;
}

struct ModeResult {
    double cameraCpu = 0, cameraRss = 0, cameraFps = 0;
    double cameraAnon = 0, cameraFile = 0; // heap and buffers; mapped files (libraries)
    double openRss = 0, openCpu = 0;       // server open, no viewer
    Row rows[3];
    double restRss = 0;
    double burstRatio = 0; // resident after a raw burst over before it, the worse of two
    bool ok = false;
};

ModeResult runMode(const char* path, int bits, Sink& sink, bool passthrough = false) {
    ModeResult r;
    CVideo video;
    // The camera's own pictures reach the server only when asked for before the graph is built.
    if (passthrough)
        video.SetCompressedSampleCallBack(&Sink::onJpeg, &sink);
    if (video.Open(OPEN_DEVICE, path, -1) != 0 ||
        video.CaptureInit(kWidth, kHeight, bits, kInterval) != 0)
        return r;
    video.SetSampleCallBack(&Sink::onFrame, &sink);
    if (video.CaptureStart(nullptr, nullptr) != 0)
        return r;
    std::this_thread::sleep_for(kSettle);
    double wall = 0;
    long f0 = sink.frames;
    r.cameraCpu = cpuPerSecond([] { return 0.0; }, wall);
    r.cameraFps = double(sink.frames - f0) / wall;
    r.cameraRss = residentMb();
    r.cameraAnon = statusMb("RssAnon");
    r.cameraFile = statusMb("RssFile");

    tavrel::ServerOptions o;
    o.port = 0;
    o.format = kFormat;
    o.fps = 30;
    auto server = tavrel::StreamServer::start(o);
    if (!server)
        return r;
    sink.server = server.get();
    // Frames are copied for a while after the server opens (and after anyone last watched).
    std::this_thread::sleep_for(o.unwatchedAfter + kSettle);
    r.openCpu = cpuPerSecond([] { return 0.0; }, wall) - r.cameraCpu;
    r.openRss = residentMb();
    std::vector<std::unique_ptr<Viewer>> viewers;
    const int counts[3] = {1, 4, 16};
    for (int k = 0; k < 3; ++k) {
        while (static_cast<int>(viewers.size()) < counts[k]) {
            viewers.push_back(std::make_unique<Viewer>());
            viewers.back()->start(server->port());
        }
        std::this_thread::sleep_for(kSettle);
        std::vector<long> p0;
        for (auto& v : viewers)
            p0.push_back(v->parts);
        f0 = sink.frames;
        auto viewerCpu = [&] {
            double s = 0;
            for (auto& v : viewers)
                s += v->cpu;
            return s;
        };
        Row& row = r.rows[k];
        const uint64_t e0 = server->stats().pool.encodes;
        row.cpuPerSec = cpuPerSecond(viewerCpu, wall) - r.cameraCpu;
        row.encodesPerSec = double(server->stats().pool.encodes - e0) / wall;
        row.rssMb = residentMb();
        const double cameraFps = double(sink.frames - f0) / wall;
        row.minFps = 1e9;
        for (size_t i = 0; i < viewers.size(); ++i)
            row.minFps = std::min(row.minFps, double(viewers[i]->parts - p0[i]) / wall);
        row.lostPerSec = std::max(0.0, cameraFps - row.minFps);
    }
    for (auto& v : viewers)
        v->stop = true;
    for (auto& v : viewers)
        v->thread.join();
    std::this_thread::sleep_for(2500ms); // two trim intervals: spare buffers are given back
    r.restRss = residentMb();
    for (int burst = 0; burst < 2; ++burst) {
        const double before = residentMb();
        std::vector<int> readers;
        for (int i = 0; i < 30; ++i) {
            readers.push_back(stalledRawReader(server->port()));
            std::this_thread::sleep_for(40ms); // each pins a frame of its own
        }
        std::this_thread::sleep_for(500ms);
        for (int fd : readers)
            if (fd >= 0)
                ::close(fd);
        std::this_thread::sleep_for(2500ms);
        r.burstRatio = std::max(r.burstRatio, residentMb() / before);
    }
    sink.server = nullptr;
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    video.SetCompressedSampleCallBack(nullptr, nullptr);
    server.reset();
    r.ok = true;
    return r;
}

// Runs one mode in a child process of its own, so that each whole-process figure is that of a
// fresh process (a mode run after another would count what the C library kept of the first).
// Called before this process has started any thread.
ModeResult runModeApart(const char* path, int bits, bool passthrough = false) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        Sink sink;
        const ModeResult r = runMode(path, bits, sink, passthrough);
        [[maybe_unused]] ssize_t n = ::write(fds[1], &r, sizeof r);
        ::_exit(0);
    }
    ::close(fds[1]);
    ModeResult r;
    if (child < 0 || ::read(fds[0], &r, sizeof r) != ssize_t(sizeof r))
        r = {};
    ::close(fds[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return r;
}

// A few of the YUY2 camera's frames through CVideo, for the encode floor.
void keepFrames(Sink& sink) {
    CVideo video;
    if (video.Open(OPEN_DEVICE, "bench:yuy2", -1) != 0 ||
        video.CaptureInit(kWidth, kHeight, 16, kInterval) != 0)
        return;
    sink.keep = true;
    video.SetSampleCallBack(&Sink::onFrame, &sink);
    if (video.CaptureStart(nullptr, nullptr) == 0) {
        std::this_thread::sleep_for(1500ms);
        video.CaptureStop();
    }
    video.SetSampleCallBack(nullptr, nullptr);
}

// Studio-range 4:2:0 planes (Y 16-235, chroma 16-240, as cameras send) to the full range a JFIF
// decoder expects, in place: luma, then the two chroma planes from `chromaAt` on.
void expandToFullRange(uint8_t* planes, size_t chromaAt, size_t size) {
    for (size_t i = 0; i < chromaAt; ++i) {
        const int y = ((int(planes[i]) - 16) * 149 + 64) >> 7; // 255/219
        planes[i] = uint8_t(std::clamp(y, 0, 255));
    }
    for (size_t i = chromaAt; i < size; ++i) {
        const int c = 128 + (((int(planes[i]) - 128) * 146 + 64) >> 7); // 255/224
        planes[i] = uint8_t(std::clamp(c, 0, 255));
    }
}

// ms per frame of each encoder over the kept frames, taking turns frame by frame so that clock
// and cache changes on this shared machine weigh on all of them alike.
template <size_t N>
std::array<double, N>
msPerFrame(const std::vector<std::vector<uint8_t>>& frames,
           const std::array<std::function<void(const uint8_t*)>, N>& encoders) {
    std::array<double, N> cpu{};
    long n = 0;
    const double c0 = threadCpu();
    while (threadCpu() - c0 < 6.0) {
        for (auto& f : frames)
            for (size_t k = 0; k < N; ++k) {
                const double t = threadCpu();
                encoders[k](f.data());
                cpu[k] += threadCpu() - t;
            }
        n += static_cast<long>(frames.size());
    }
    for (auto& c : cpu)
        c = c * 1e3 / double(n);
    return cpu;
}

// An MJPEG camera and the window's decode, without the capture graph: the camera's JPEGs are
// made ahead (a real camera compresses in hardware); the camera thread decodes each, as the
// program must for its window, and hands the server the decoded frame, with the camera's own
// JPEG beside it when `passthrough` is set.
struct MjpegCamera {
    std::vector<std::vector<uint8_t>> jpegs;
    std::atomic<tavrel::StreamServer*> server{nullptr};
    std::atomic<bool> passthrough{false};
    std::atomic<bool> stop{false};
    std::thread thread;

    bool prepare() {
        platform::media::pattern::PatternRenderer renderer;
        platform::media::pattern::MjpegEncoder encoder;
        if (!renderer.configure(kWidth, kHeight) || !encoder.configure(kWidth, kHeight))
            return false;
        std::vector<uint8_t> yuyv(size_t(kWidth) * 2 * kHeight);
        std::vector<uint8_t> out(encoder.maxFrameBytes());
        for (uint32_t i = 0; i < 30; ++i) {
            renderer.renderYuy2(yuyv.data(), size_t(kWidth) * 2, {i, 0}, {});
            const size_t n =
                encoder.encodeYuy2(yuyv.data(), size_t(kWidth) * 2, out.data(), out.size());
            if (n == 0)
                return false;
            jpegs.emplace_back(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return true;
    }
    void start() {
        thread = std::thread([this] {
            std::vector<uint8_t> rows(kFormat.imageBytes());
            tjhandle decoder = tjInitDecompress();
            auto next = std::chrono::steady_clock::now();
            for (size_t i = 0; !stop; ++i) {
                const auto& jpeg = jpegs[i % jpegs.size()];
                tjDecompress2(decoder, jpeg.data(), jpeg.size(), rows.data(), kWidth,
                              int(kFormat.stride()), kHeight, TJPF_BGR,
                              TJFLAG_BOTTOMUP | TJFLAG_FASTDCT);
                if (auto* s = server.load()) {
                    if (passthrough)
                        s->addNextFrameJpeg(jpeg.data(), jpeg.size());
                    s->addFrame(rows.data());
                }
                next += std::chrono::microseconds(33333);
                std::this_thread::sleep_until(next);
            }
            tjDestroy(decoder);
        });
    }
};

struct PassthroughResult {
    double cameraCpu = 0;
    double encodedCpu[2] = {}; // 1 and 16 viewers, the server encoding every frame
    double passedCpu[2] = {};  // the same with the camera's JPEG passed through
    double passedFps16 = 0;
    uint64_t encodesWhilePassing = 0;
    bool ok = false;
};

PassthroughResult runPassthrough() {
    PassthroughResult r;
    MjpegCamera camera;
    if (!camera.prepare())
        return r;
    camera.start();
    std::this_thread::sleep_for(kSettle);
    double wall = 0;
    r.cameraCpu = cpuPerSecond([] { return 0.0; }, wall);
    tavrel::ServerOptions o;
    o.port = 0;
    o.format = kFormat;
    o.fps = 30;
    auto server = tavrel::StreamServer::start(o);
    std::vector<std::unique_ptr<Viewer>> viewers;
    auto viewerCpu = [&] {
        double s = 0;
        for (auto& v : viewers)
            s += v->cpu;
        return s;
    };
    camera.server = server.get();
    const int counts[2] = {1, 16};
    for (int k = 0; server && k < 2; ++k) {
        while (static_cast<int>(viewers.size()) < counts[k]) {
            viewers.push_back(std::make_unique<Viewer>());
            viewers.back()->start(server->port());
        }
        for (bool pass : {false, true}) {
            camera.passthrough = pass;
            std::this_thread::sleep_for(kSettle);
            std::vector<long> p0;
            for (auto& v : viewers)
                p0.push_back(v->parts);
            const uint64_t e0 = server->stats().pool.encodes;
            const double cpu = cpuPerSecond(viewerCpu, wall) - r.cameraCpu;
            (pass ? r.passedCpu : r.encodedCpu)[k] = cpu;
            if (pass && k == 1) {
                r.encodesWhilePassing = server->stats().pool.encodes - e0;
                r.passedFps16 = 1e9;
                for (size_t i = 0; i < viewers.size(); ++i)
                    r.passedFps16 =
                        std::min(r.passedFps16, double(viewers[i]->parts - p0[i]) / wall);
            }
        }
    }
    for (auto& v : viewers)
        v->stop = true;
    for (auto& v : viewers)
        v->thread.join();
    camera.server = nullptr;
    camera.stop = true;
    camera.thread.join();
    r.ok = server != nullptr;
    return r;
}

} // namespace

int main() {
    platform::media::DeviceProviderScope provider(
        std::make_shared<testsupport::PatternCameraProvider>(u"Bench Pattern", u"bench", true));
    const ModeResult yuy2 = runModeApart("bench:yuy2", 16);
    const ModeResult mjpg = runModeApart("bench:mjpg", 24);
    const ModeResult mjpgPass = runModeApart("bench:mjpg", 24, true);
    const PassthroughResult pass = runPassthrough();
    Sink sink;
    keepFrames(sink);
    if (!yuy2.ok || !mjpg.ok || !mjpgPass.ok || !pass.ok || sink.kept.empty()) {
        std::fprintf(stderr, "serve_cost: a capture or the server did not start\n");
        return 1;
    }

    // Encode floor on the camera's own frames: one conversion, one compression from planes.
    std::vector<uint8_t> out(tavrel::JpegEncoder::maxEncodedBytes(kFormat));
    std::vector<uint8_t> planes(size_t(kWidth) * kHeight * 3 / 2);
    tjhandle tj = tjInitCompress();
    tavrel::JpegEncoder encoder;
    // The same pictures as a YUY2 camera gives them (studio range), made once before timing.
    std::vector<std::vector<uint8_t>> cameraYuy2;
    {
        std::vector<uint8_t> argb(size_t(kWidth) * 4 * kHeight);
        for (const auto& rows : sink.kept) {
            libyuv::RGB24ToARGB(rows.data(), int(kFormat.stride()), argb.data(), kWidth * 4, kWidth,
                                -kHeight);
            cameraYuy2.emplace_back(size_t(kWidth) * 2 * kHeight);
            libyuv::ARGBToYUY2(argb.data(), kWidth * 4, cameraYuy2.back().data(), kWidth * 2,
                               kWidth, kHeight);
        }
    }
    auto yuy2Of = [&](const uint8_t* rows) -> const uint8_t* {
        for (size_t i = 0; i < sink.kept.size(); ++i)
            if (sink.kept[i].data() == rows)
                return cameraYuy2[i].data();
        return nullptr;
    };
    uint8_t* y = planes.data();
    uint8_t* u = y + size_t(kWidth) * kHeight;
    uint8_t* v = u + size_t(kWidth / 2) * (kHeight / 2);
    auto compressPlanes = [&] {
        const unsigned char* p[3] = {y, u, v};
        const int st[3] = {kWidth, kWidth / 2, kWidth / 2};
        unsigned char* dst = out.data();
        unsigned long size = out.size();
        tjCompressFromYUVPlanes(tj, p, kWidth, st, kHeight, TJSAMP_420, &dst, &size,
                                tavrel::JpegEncoder::kQuality, TJFLAG_NOREALLOC | TJFLAG_FASTDCT);
    };
    const std::array<std::function<void(const uint8_t*)>, 4> encoders = {
        [&](const uint8_t* rows) { // the floor: one conversion, one compression from planes
            libyuv::RGB24ToJ420(rows, int(kFormat.stride()), y, kWidth, u, kWidth / 2, v,
                                kWidth / 2, kWidth, -kHeight);
            compressPlanes();
        },
        [&](const uint8_t* rows) { encoder.encode(kFormat, rows, out.data(), out.size()); },
        [&](const uint8_t* rows) { // the former path: the compressor converting BGR itself
            unsigned char* dst = out.data();
            unsigned long size = out.size();
            tjCompress2(tj, rows, kWidth, int(kFormat.stride()), kHeight, TJPF_BGR, &dst, &size,
                        TJSAMP_420, tavrel::JpegEncoder::kQuality,
                        TJFLAG_BOTTOMUP | TJFLAG_NOREALLOC | TJFLAG_FASTDCT);
        },
        [&](const uint8_t* rows) { // from the camera's own YUY2: planes, full range, compress
            libyuv::YUY2ToI420(yuy2Of(rows), kWidth * 2, y, kWidth, u, kWidth / 2, v, kWidth / 2,
                               kWidth, kHeight);
            expandToFullRange(planes.data(), size_t(kWidth) * kHeight, planes.size());
            compressPlanes();
        }};
    const auto ms = msPerFrame(sink.kept, encoders);
    tjDestroy(tj);
    const double floorMs = ms[0], encoderMs = ms[1], bgrMs = ms[2], planesMs = ms[3];
    const double encodeRatio = encoderMs / floorMs;

    std::printf("%dx%d@30 test-pattern camera through CVideo into the server; JPEG viewers on "
                "loopback; server CPU = process CPU less the camera alone and the viewers\n",
                kWidth, kHeight);
    const int counts[3] = {1, 4, 16};
    for (const auto* m : {&yuy2, &mjpg, &mjpgPass}) {
        std::printf("%s: camera alone %.1f fps, %.1f%% of a core, %.1f MB resident (%.1f MB "
                    "heap and buffers, %.1f MB mapped files); server open without viewers "
                    "+%.1f MB, %.2f%% of a core\n",
                    m == &yuy2   ? "YUY2"
                    : m == &mjpg ? "MJPG, encoded"
                                 : "MJPG, passed through",
                    m->cameraFps, m->cameraCpu * 100, m->cameraRss, m->cameraAnon, m->cameraFile,
                    m->openRss - m->cameraRss, m->openCpu * 100);
        for (int k = 0; k < 3; ++k)
            std::printf("  viewers=%2d  server CPU %5.1f%% of a core  resident %6.1f MB (+%.1f)  "
                        "slowest viewer %.1f fps, lost %.1f frames/s, %.1f encodes/s\n",
                        counts[k], m->rows[k].cpuPerSec * 100, m->rows[k].rssMb,
                        m->rows[k].rssMb - m->cameraRss, m->rows[k].minFps, m->rows[k].lostPerSec,
                        m->rows[k].encodesPerSec);
        std::printf("  after the viewers left: resident %.1f MB; after a burst of 30 stalled raw "
                    "readers %.2fx that\n",
                    m->restRss, m->burstRatio);
    }
    std::printf("encode per 1080p frame: server encoder %.2f ms, floor (libyuv + planes) %.2f "
                "ms, ratio %.2f; compressor converting BGR itself %.2f ms (%.2fx the floor)\n",
                encoderMs, floorMs, encodeRatio, bgrMs, bgrMs / floorMs);
    std::printf("encoding from the camera's YUY2 planes instead (YUY2 to 4:2:0, studio to full "
                "range, compress): %.2f ms, %.2fx the server's encoder from RGB\n",
                planesMs, planesMs / encoderMs);

    // Through CVideo: MJPEG mode with passthrough against the same without it, 16 viewers.
    // The server's share is a difference of two measurements of a loaded process; below zero
    // it is noise around nothing, and counts as nothing.
    const double passRatio = std::max(0.0, mjpgPass.rows[2].cpuPerSec) / mjpg.rows[2].cpuPerSec;
    const double passRatioNoGraph = pass.passedCpu[1] / pass.encodedCpu[1];
    std::printf("Without the capture graph (the camera's JPEGs made ahead; the camera thread "
                "decodes each for the window): camera alone %.1f%% of a core\n",
                pass.cameraCpu * 100);
    for (int k = 0; k < 2; ++k)
        std::printf("  viewers=%2d  server CPU encoding %5.1f%%, passing through %5.1f%% of a "
                    "core (ratio %.2f)\n",
                    k ? 16 : 1, pass.encodedCpu[k] * 100, pass.passedCpu[k] * 100,
                    pass.passedCpu[k] / pass.encodedCpu[k]);
    std::printf("  passing through to 16: slowest viewer %.1f fps, %llu encodes\n",
                pass.passedFps16, static_cast<unsigned long long>(pass.encodesWhilePassing));

    // The server's own memory: resident with 16 viewers less the camera alone (the capture
    // graph and the camera, not the server's); the whole process's is printed above.
    const double rss16 = std::max(
        yuy2.rows[2].rssMb - yuy2.cameraRss,
        std::max(mjpg.rows[2].rssMb - mjpg.cameraRss, mjpgPass.rows[2].rssMb - mjpgPass.cameraRss));
    double perViewer = 0;
    double fps16 = 1e9;
    for (const auto* m : {&yuy2, &mjpg, &mjpgPass}) {
        perViewer = std::max(perViewer, (m->rows[2].rssMb - m->rows[0].rssMb) / 15.0);
        fps16 = std::min(fps16, m->rows[2].minFps);
    }
    double openRss = 0, openCpu = 0, burstRatio = 0;
    for (const auto* m : {&yuy2, &mjpg, &mjpgPass}) {
        openRss = std::max(openRss, m->openRss - m->cameraRss);
        openCpu = std::max(openCpu, m->openCpu);
        burstRatio = std::max(burstRatio, m->burstRatio);
    }
    std::printf("serve_cost cpu_ratio_passthrough=%.2f rss_mb_16=%.1f rss_mb_per_viewer=%.2f "
                "fps_min_16=%.1f encode_ratio_planes=%.2f cpu_ratio_passthrough_nograph=%.2f "
                "rss_mb_whole_16_pattern=%.1f rss_mb_whole_16_mjpeg=%.1f "
                "rss_mb_after_raw_burst_ratio=%.2f rss_mb_server_open_no_viewer=%.1f "
                "cpu_pct_server_open_no_viewer=%.2f cpu_ratio_yuv_planes=%.2f\n",
                passRatio, rss16, perViewer, fps16, encodeRatio, passRatioNoGraph,
                yuy2.rows[2].rssMb, mjpgPass.rows[2].rssMb, burstRatio, openRss, openCpu * 100,
                planesMs / encoderMs);
    return 0;
}
