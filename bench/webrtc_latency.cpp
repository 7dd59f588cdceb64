// webrtc_latency: glass-to-glass latency of the camera in a browser over WebRTC through Janus,
// beside MJPEG and HLS, and what the viewers cost the camera's side.
//
// The real program (offscreen, the test pattern, its start-up server) serves its own page with
// [WEBRTC] set; a real Janus (docs/janus) holds the mountpoint; headless Chromium opens the
// page, and for every picture it shows (requestVideoFrameCallback) the page reads the
// pattern's strip from a canvas (docs/janus/strip-probe.js) and reports the frame number, its
// capture time (CLOCK_MONOTONIC) and when it was shown (the system's wall clock, tied to the
// page's clock by Date.now()). glass-to-glass = shown - captured, on one clock.
//
// The camera's H.264 for Janus comes from the camera source chosen with --source:
//  - program (default): the program's own WebRTC output ([WEBRTC] RTP_URL);
//  - inprocess: the test pattern encoded here
//    as the program's encoder does, through the program's RTP sink; this process's CPU is
//    then the "program's CPU".
//
// Per size (640x480 and 1280x720, 30 fps): the camera side's CPU with 0, 1 and 10 viewers (ten
// frames of one page in one Chromium), and the latency with 1 and 10 viewers; the first picture
// after the page opens. At 1280x720 also, in the same run:
//  - mjpeg: the same page with ?mjpeg (the browser reading /stream into an <img>, read at the
//    animation frame that first shows a new picture);
//  - hls: the program publishing to a real nginx (docs/nginx), the playlist read in real time
//    by ffmpeg (Chromium here plays none of it natively, and hls.js is not packaged), each
//    decoded picture's strip against the time it came out of the decoder;
//  - the floor: ffmpeg encoding the same pictures (raw BGR, libx264 with the same settings)
//    and sending them as RTP to the same Janus: its CPU per frame from its rusage.
//
// Options: --seconds N (per case, default 20), --full (60 s per case and a 10-minute drift
// check at 720p with one viewer: p95 after 1 and after 10 minutes), --source program|inprocess.
#include "ChromiumPage.h"
#include "JanusProcess.h"
#include "NginxProcess.h"
#include "PacedCamera.h"
#include "ProgramProcess.h"
#include "loopback.h"

#include "media/sources/test_pattern/pattern_renderer.h"
#include "media/sources/test_pattern/pattern_strip.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testsupport::ChromiumPage;
using testsupport::JanusProcess;
using testsupport::PageReport;

constexpr int kFps = 30;
constexpr int kKeyframeFrames = 60; // the pattern encoder's periodic keyframe

struct Options {
    int seconds = 20;
    bool full = false;
    bool inProcess = false;
};

double nowSeconds(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Capture times are CLOCK_MONOTONIC µs (low 40 bits); shown times are wall-clock ms.
double captureEpochMs(std::uint64_t captureUs40) {
    const double mono = nowSeconds(CLOCK_MONOTONIC);
    const double offsetMs = (nowSeconds(CLOCK_REALTIME) - mono) * 1000.0;
    const std::uint64_t monoUs = std::uint64_t(mono * 1e6);
    const std::uint64_t mask = (std::uint64_t(1) << 40) - 1;
    std::uint64_t full = (monoUs & ~mask) | captureUs40;
    if (full > monoUs + 1000000)
        full -= mask + 1;
    return double(full) / 1000.0 + offsetMs;
}

// Glass-to-glass latencies (ms) of the readings from index `from` on.
std::vector<double> latencies(const PageReport& r, std::size_t from) {
    std::vector<double> out;
    for (std::size_t i = from; i < r.captureUs.size(); ++i)
        out.push_back(r.shownEpochMs[i] - captureEpochMs(r.captureUs[i]));
    return out;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t at = std::min(v.size() - 1, std::size_t(p / 100.0 * double(v.size())));
    return v[at];
}

// CPU seconds (user + system) of a process so far, from /proc.
double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

std::string settingsText(int port, int width, int height, const JanusProcess& janus,
                         bool programSendsRtp, const std::string& publishUrl) {
    std::string text = "[NETWORK]\nCONNECT_PORT=" + std::to_string(port) +
                       "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n"
                       "FRIENDLY_NAME=Test Pattern Camera\n[VIDEO]\nWIDTH=" +
                       std::to_string(width) + "\nHEIGHT=" + std::to_string(height) +
                       "\nBITCOUNT=24\nFRAME_PER_SEC=30\n";
    // Without the program's own output the page still needs [WEBRTC] to offer WebRTC; its RTP
    // then goes to a port nobody reads.
    text +=
        "[WEBRTC]\nRTP_URL=" +
        (programSendsRtp ? janus.rtpUrl()
                         : "rtp://127.0.0.1:" + std::to_string(testsupport::freeUdpPortPair())) +
        "\nJANUS_URL=" + janus.serverUrl() + "\nMOUNTPOINT=1\n";
    if (!publishUrl.empty())
        text += "[PUBLISH]\nURL=" + publishUrl + "\nBITRATE_KBPS=1500\nKEYFRAME_SECONDS=1\n";
    return text;
}

// The camera side: the real program serving the page (and, with --source program, sending
// RTP), plus the in-process encoder otherwise.
class CameraSide {
public:
    CameraSide(const Options& options, int width, int height, const JanusProcess& janus,
               const std::string& publishUrl = {})
        : options_(options), port_(loopback::freePort()) {
        testsupport::writeFile(
            program_.besideSettings(),
            settingsText(port_, width, height, janus, !options.inProcess, publishUrl));
        log_ = program_.configDir() + "/stderr.log";
        ok_ = program_.start(false, log_) && waitForPort();
        if (ok_ && options.inProcess) {
            ok_ = sink_.open(janus.rtpUrl());
            camera_ =
                std::make_unique<testsupport::PacedCamera>(sink_, width, height, kKeyframeFrames);
            ok_ = ok_ && camera_->start();
        }
    }
    ~CameraSide() { stop(); }
    void stop() {
        if (camera_)
            camera_->stop();
        program_.stop(SIGTERM, 10s);
    }
    bool ok() const { return ok_; }
    int port() const { return port_; }
    std::string log() const { return testsupport::readFile(log_); }
    // The CPU that sending the camera to Janus costs: the in-process encoder's thread, or the
    // whole program.
    double cpuSeconds() const {
        if (!camera_)
            return processCpuSeconds(program_.pid());
        rusage usage{}; // this process: the encoder's thread, libx264's and the page's server
        ::getrusage(RUSAGE_SELF, &usage);
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    std::string pageUrl(const ChromiumPage& page, const std::string& extra = {}) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/?report=" + page.reportUrl() + extra;
    }

private:
    bool waitForPort() {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const int fd = loopback::connect(port_);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    Options options_;
    int port_;
    testsupport::ProgramProcess program_;
    std::string log_;
    RtpH264Sink sink_;
    std::unique_ptr<testsupport::PacedCamera> camera_;
    bool ok_ = false;
};

// CPU per second of the camera side over `seconds`.
double cpuPerSecond(const CameraSide& side, int seconds) {
    const double before = side.cpuSeconds();
    const double start = nowSeconds(CLOCK_MONOTONIC);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (side.cpuSeconds() - before) / (nowSeconds(CLOCK_MONOTONIC) - start);
}

struct Watched {
    bool played = false;
    double firstPictureMs = NAN;
    double cpuPerSecond = NAN;
    std::vector<double> latencies;
    double originOffsetMs = 0;
};

// Opens `tabs` copies of `url` in one Chromium, waits for pictures, then measures for
// `seconds`: latencies of every picture shown in that time, and the camera side's CPU.
Watched watch(const CameraSide& side, int tabs, int seconds, const std::string& extra,
              const char* wantedSource) {
    Watched w;
    ChromiumPage page("/nonexistent");
    const std::vector<std::string> urls(std::size_t(tabs), side.pageUrl(page, extra));
    if (!(tabs == 1 ? page.openUrl(urls[0]) : page.openFrames(urls)))
        return w;
    const std::string source = wantedSource;
    w.played = page.waitFor(
        [&](const PageReport& r) {
            return r.source == source && r.frameNumbers.size() >= std::size_t(10 * tabs);
        },
        60s);
    if (!w.played) {
        std::fprintf(stderr, "webrtc_latency: no pictures (%s, %d tabs): status %s\n",
                     source.c_str(), tabs, page.report().status.c_str());
        return w;
    }
    const PageReport first = page.report();
    if (!first.shownEpochMs.empty())
        w.firstPictureMs = first.shownEpochMs.front() - first.startEpochMs;
    std::this_thread::sleep_for(2s); // past the start
    const std::size_t from = page.report().frameNumbers.size();
    w.cpuPerSecond = cpuPerSecond(side, seconds);
    std::this_thread::sleep_for(1500ms); // the last report
    const PageReport last = page.report();
    w.latencies = latencies(last, from);
    w.originOffsetMs = last.originOffsetMs;
    return w;
}

// Raw BGR pictures of the test pattern, bottom-up as the camera hands them over, in a file.
std::string writePatternFile(int width, int height, int frames) {
    platform::media::pattern::PatternRenderer renderer;
    renderer.configure(width, height);
    std::vector<unsigned char> frame(
        platform::media::pattern::PatternRenderer::rgb24Bytes(width, height));
    const std::string path = "/tmp/webrtc-latency-" + std::to_string(::getpid()) + ".bgr";
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < frames; ++i) {
        platform::media::pattern::StripData stamp{std::uint32_t(i), std::uint64_t(i) * 33333};
        renderer.renderRgb24(frame.data(), frame.size(), stamp, {});
        out.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
    }
    return path;
}

// The floor: ffmpeg sends the same pictures as RTP to the same Janus for `seconds`, encoding
// as the camera side does (libx264 ultrafast, zerolatency, baseline, no B-frames, 1.5 Mbit/s,
// a keyframe every 60 pictures). CPU seconds per second of its run, or NAN.
double ffmpegFloor(const JanusProcess& janus, int width, int height, int seconds) {
    const std::string file = writePatternFile(width, height, 30);
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string target =
        janus.rtpUrl() + "?rtcpport=" + std::to_string(janus.videoRtcpPort());
    const std::string duration = std::to_string(seconds);
    const char* argv[] = {"ffmpeg",
                          "-nostdin",
                          "-loglevel",
                          "error",
                          "-re",
                          "-stream_loop",
                          "-1",
                          "-f",
                          "rawvideo",
                          "-pix_fmt",
                          "bgr24",
                          "-s",
                          size.c_str(),
                          "-r",
                          "30",
                          "-i",
                          file.c_str(),
                          "-vf",
                          "vflip",
                          "-t",
                          duration.c_str(),
                          "-c:v",
                          "libx264",
                          "-preset",
                          "ultrafast",
                          "-tune",
                          "zerolatency",
                          "-profile:v",
                          "baseline",
                          "-bf",
                          "0",
                          "-b:v",
                          "1500k",
                          "-g",
                          "60",
                          "-pix_fmt",
                          "yuv420p",
                          "-f",
                          "rtp",
                          target.c_str(),
                          nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const double start = nowSeconds(CLOCK_MONOTONIC);
    const int failed =
        ::posix_spawnp(&pid, "ffmpeg", &files, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    if (failed != 0) {
        std::remove(file.c_str());
        return NAN;
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const double wall = nowSeconds(CLOCK_MONOTONIC) - start;
    std::remove(file.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return NAN;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return cpu / wall;
}

// HLS from nginx as a player takes it: ffmpeg reads the playlist in real time (-re, starting
// where a live player starts, three segments back) and decodes every picture; latency is when
// a picture comes out of the decoder against its capture time. (Chromium here answers "maybe"
// for HLS but plays nothing of nginx's playlist, and hls.js is not packaged.)
std::vector<double> hlsLatencies(const testsupport::NginxProcess& nginx, int width, int height,
                                 int seconds, bool* played) {
    const std::string url = nginx.playlistUrl();
    const std::string limit = std::to_string(seconds + 20);
    const char* argv[] = {"ffmpeg",   "-nostdin",  "-loglevel", "error",       "-re",
                          "-i",       url.c_str(), "-t",        limit.c_str(), "-f",
                          "rawvideo", "-pix_fmt",  "gray",      "pipe:1",      nullptr};
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    pid_t pid = -1;
    const int failed =
        ::posix_spawnp(&pid, "ffmpeg", &files, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    ::close(out[1]);
    std::vector<double> result;
    if (failed == 0) {
        std::vector<unsigned char> picture(std::size_t(width) * std::size_t(height));
        const auto begin = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point measureFrom{};
        while (true) {
            std::size_t got = 0;
            while (got < picture.size()) {
                const ssize_t n = ::read(out[0], picture.data() + got, picture.size() - got);
                if (n <= 0)
                    break;
                got += std::size_t(n);
            }
            if (got < picture.size())
                break;
            const double shownMs = nowSeconds(CLOCK_REALTIME) * 1000.0;
            platform::media::pattern::StripData strip;
            if (!platform::media::pattern::decodeStrip(
                    width, height,
                    [&](int x, int y) {
                        return int(picture[std::size_t(y) * std::size_t(width) + std::size_t(x)]);
                    },
                    &strip))
                continue;
            const auto now = std::chrono::steady_clock::now();
            if (measureFrom == std::chrono::steady_clock::time_point{})
                measureFrom = now + 3s; // past the catch-up at the start
            if (now >= measureFrom)
                result.push_back(shownMs - captureEpochMs(strip.captureTimeUs));
            if (now - begin > std::chrono::seconds(seconds + 15) ||
                (now >= measureFrom && now - measureFrom > std::chrono::seconds(seconds)))
                break;
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::close(out[0]);
    *played = !result.empty();
    return result;
}

void printCase(const char* name, const Watched& w) {
    std::printf("%-26s %s  p50 %7.1f ms  p95 %7.1f ms  (%zu pictures)  cpu %5.1f%%\n", name,
                w.played ? "played" : "NO PICTURES", percentile(w.latencies, 50),
                percentile(w.latencies, 95), w.latencies.size(), w.cpuPerSecond * 100);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each case as it ends, also into a file
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            options.seconds = std::max(3, std::atoi(argv[++i]));
        else if (arg == "--full")
            options.full = true;
        else if (arg == "--source" && i + 1 < argc)
            options.inProcess = std::string(argv[++i]) != "program";
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--full] [--source program|inprocess]\n",
                         argv[0]);
            return 2;
        }
    }
    if (options.full)
        options.seconds = 60;
    std::printf("webrtc_latency: %d s per case, H.264 for Janus from %s\n", options.seconds,
                options.inProcess ? "the in-process encoder" : "the program");

    JanusProcess janus;
    if (!janus.start()) {
        std::fprintf(stderr, "webrtc_latency: Janus did not start\n%s", janus.log().c_str());
        return 1;
    }
    double p50_720 = NAN, p95_720 = NAN, firstPicture = NAN, cpu1_720 = NAN, cpu10_720 = NAN;
    double mjpeg50 = NAN;
    for (const auto& [width, height] : {std::pair{640, 480}, std::pair{1280, 720}}) {
        CameraSide side(options, width, height, janus);
        if (!side.ok()) {
            std::fprintf(stderr, "webrtc_latency: the program did not serve\n%s",
                         side.log().c_str());
            return 1;
        }
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        std::this_thread::sleep_for(2s);
        const double idle = cpuPerSecond(side, options.seconds);
        std::printf("%-26s cpu %5.1f%%\n", (size + " 0 viewers").c_str(), idle * 100);
        const Watched one = watch(side, 1, options.seconds, {}, "video");
        printCase((size + " 1 viewer").c_str(), one);
        std::printf("%-26s %.0f ms (page opened to first picture shown); browser clock's "
                    "timeOrigin off by %.2f ms\n",
                    (size + " first picture").c_str(), one.firstPictureMs, one.originOffsetMs);
        const Watched ten = watch(side, 10, options.seconds, {}, "video");
        printCase((size + " 10 viewers").c_str(), ten);
        if (height == 720) {
            p50_720 = percentile(one.latencies, 50);
            p95_720 = percentile(one.latencies, 95);
            firstPicture = one.firstPictureMs;
            cpu1_720 = one.cpuPerSecond;
            cpu10_720 = ten.cpuPerSecond;
            const Watched mjpeg = watch(side, 1, options.seconds, "&mjpeg", "mjpeg");
            printCase("1280x720 MJPEG 1 viewer", mjpeg);
            mjpeg50 = percentile(mjpeg.latencies, 50);
            if (options.full) {
                ChromiumPage page("/nonexistent");
                page.openUrl(side.pageUrl(page));
                page.waitFor([](const PageReport& r) { return r.frameNumbers.size() >= 30; }, 60s);
                std::vector<double> p95s;
                for (int minute = 1; minute <= 10; ++minute) {
                    const std::size_t from = page.report().frameNumbers.size();
                    std::this_thread::sleep_for(60s);
                    p95s.push_back(percentile(latencies(page.report(), from), 95));
                    std::printf("drift: minute %2d p95 %.1f ms\n", minute, p95s.back());
                }
                std::printf("drift: p95 after 10 min - after 1 min = %.1f ms\n",
                            p95s.back() - p95s.front());
            }
        }
        side.stop();
    }

    // The floor, on the same Janus with nothing else sending.
    const double ffmpegCpu = ffmpegFloor(janus, 1280, 720, options.seconds);
    std::printf("%-26s cpu %5.1f%%\n", "1280x720 ffmpeg RTP floor", ffmpegCpu * 100);

    // HLS: the program publishing to nginx, the playlist in Chromium's own player.
    double hls50 = NAN;
    {
        testsupport::NginxProcess nginx;
        if (nginx.start()) {
            CameraSide side(options, 1280, 720, janus, nginx.publishUrl());
            bool played = false;
            std::this_thread::sleep_for(8s); // a playlist of a few segments
            const std::vector<double> hls =
                side.ok() ? hlsLatencies(nginx, 1280, 720, options.seconds, &played)
                          : std::vector<double>{};
            hls50 = percentile(hls, 50);
            std::printf("%-26s %s  p50 %7.1f ms  p95 %7.1f ms  (%zu pictures)\n",
                        "1280x720 HLS (ffmpeg -re)", played ? "played" : "NO PICTURES", hls50,
                        percentile(hls, 95), hls.size());
        } else {
            std::printf("HLS: nginx did not start\n");
        }
    }

    std::printf("webrtc_p50_ms_720=%.1f webrtc_p95_ms_720=%.1f first_picture_ms=%.0f "
                "cpu_ratio_vs_ffmpeg=%.2f cpu_ratio_10_vs_1=%.2f mjpeg_p50_ms_720=%.1f "
                "hls_p50_ms_720=%.1f\n",
                p50_720, p95_720, firstPicture, cpu1_720 / ffmpegCpu, cpu10_720 / cpu1_720, mjpeg50,
                hls50);
    return 0;
}
