// publish_cost: what publishing costs. The test pattern at 1280x720@30 (bottom-up BGR, as the
// camera hands frames to the program) goes through the program's Publisher to a real nginx on
// loopback (docs/nginx/nginx.conf), handed over at the camera's pace by a feeder thread.
//
// Floors measured in the same run:
//  - libx264 alone through libavcodec, with the publisher's settings (veryfast, zerolatency, no
//    B-frames, the same bitrate and keyframe interval), on the same frames already in I420:
//    publish_cpu_ratio_vs_x264, what the copy, conversion, muxing and network add.
//  - the ffmpeg program publishing the same frames (`-re`, raw BGR from a file, libx264 with the
//    same settings, FLV to the same nginx): its CPU per frame from the child's rusage, start-up
//    included. publish_cpu_ratio_vs_ffmpeg = publisher / ffmpeg.
// Then, with the publisher still running:
//  - rtmp_latency_ms_p50: from a frame's hand-over to the publisher to its picture decoded by an
//    ffmpeg reading nginx's RTMP play URL (the frame is known by the number in its strip);
//  - hls_readers_100_cpu_delta_pct: the publisher's CPU per frame with 100 curl processes
//    reading the HLS playlist and a segment, against without;
//  - publishing_resume_ms_max: nginx killed and restarted 5 times, from its port taking
//    connections again to the publisher publishing again;
//  - cpu_ratio_two_outputs: the publisher's CPU per frame with RTP beside RTMP (one encoder for
//    both) against RTMP alone.
#include "loopback.h"

#include "media/sources/test_pattern/pattern_renderer.h"
#include "media/sources/test_pattern/pattern_strip.h"
#include "publish/Publisher.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}
#include <libyuv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
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

constexpr int kWidth = 1280, kHeight = 720, kFps = 30, kBitrateKbps = 2500;
constexpr int kFrames = 300;

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<std::vector<unsigned char>> patternFrames(int count) {
    platform::media::pattern::PatternRenderer renderer;
    renderer.configure(kWidth, kHeight);
    std::vector<std::vector<unsigned char>> frames;
    for (int i = 0; i < count; ++i) {
        std::vector<unsigned char> frame(
            platform::media::pattern::PatternRenderer::rgb24Bytes(kWidth, kHeight));
        platform::media::pattern::StripData stamp{uint32_t(i), uint64_t(i) * 33333};
        renderer.renderRgb24(frame.data(), frame.size(), stamp, {});
        frames.push_back(std::move(frame));
    }
    return frames;
}

// libx264 alone on the same pictures, already in I420: CPU seconds per frame.
double x264Floor(const std::vector<std::vector<unsigned char>>& frames) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    encoder->width = kWidth;
    encoder->height = kHeight;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, 1000};
    encoder->framerate = AVRational{kFps, 1};
    encoder->gop_size = kFps;
    encoder->keyint_min = kFps;
    encoder->max_b_frames = 0;
    encoder->bit_rate = kBitrateKbps * 1000;
    encoder->rc_max_rate = encoder->bit_rate;
    encoder->rc_buffer_size = int(encoder->bit_rate);
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", "veryfast", 0);
    av_opt_set(encoder->priv_data, "tune", "zerolatency", 0);
    avcodec_open2(encoder, codec, nullptr);
    std::vector<AVFrame*> pictures;
    for (const auto& frame : frames) {
        AVFrame* picture = av_frame_alloc();
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = kWidth;
        picture->height = kHeight;
        av_frame_get_buffer(picture, 0);
        const int stride = kWidth * 3 + (4 - kWidth * 3 % 4) % 4;
        libyuv::RGB24ToI420(frame.data(), stride, picture->data[0], picture->linesize[0],
                            picture->data[1], picture->linesize[1], picture->data[2],
                            picture->linesize[2], kWidth, -kHeight);
        pictures.push_back(picture);
    }
    AVPacket* packet = av_packet_alloc();
    const double start = cpuSeconds();
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        pictures[i]->pts = std::int64_t(i) * 1000 / kFps;
        avcodec_send_frame(encoder, pictures[i]);
        while (avcodec_receive_packet(encoder, packet) == 0)
            av_packet_unref(packet);
    }
    const double spent = cpuSeconds() - start;
    av_packet_free(&packet);
    for (AVFrame* picture : pictures)
        av_frame_free(&picture);
    avcodec_free_context(&encoder);
    return spent / double(frames.size());
}

// A real nginx on loopback from the project's docs/nginx/nginx.conf, in a folder of its own,
// that can be killed and started again on the same ports.
struct Nginx {
    std::string prefix;
    int port = loopback::freePort();
    int httpPort = loopback::freePort();
    pid_t pid = -1;
    bool configure() {
        char pattern[] = "/tmp/publish-cost-XXXXXX";
        prefix = ::mkdtemp(pattern);
        std::filesystem::create_directories(prefix + "/hls");
        std::ifstream in(ORMIDAL_SOURCE_DIR "/docs/nginx/nginx.conf");
        std::stringstream text;
        text << in.rdbuf();
        std::string conf = text.str();
        auto replace = [&](const std::string& from, const std::string& to) {
            for (auto at = conf.find(from); at != std::string::npos;
                 at = conf.find(from, at + to.size()))
                conf.replace(at, from.size(), to);
        };
        replace("TARNICK_NGINX_DIR", prefix);
        replace("listen 1935;", "listen 127.0.0.1:" + std::to_string(port) + ";");
        replace("listen 8080;", "listen 127.0.0.1:" + std::to_string(httpPort) + ";");
        std::ofstream(prefix + "/nginx.conf") << conf;
        return true;
    }
    // Spawns nginx (one process) and waits, bounded, until its RTMP port takes connections.
    bool start() {
        const std::string confPath = prefix + "/nginx.conf", log = prefix + "/error.log";
        const char* argv[] = {"nginx",
                              "-p",
                              prefix.c_str(),
                              "-c",
                              confPath.c_str(),
                              "-e",
                              log.c_str(),
                              "-g",
                              "daemon off; master_process off;",
                              nullptr};
        if (::posix_spawnp(&pid, "nginx", nullptr, nullptr, const_cast<char**>(argv), environ))
            return false;
        for (int i = 0; i < 1000; ++i) {
            const int fd = loopback::connect(port);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void kill() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    std::string url(const std::string& name) const {
        return "rtmp://127.0.0.1:" + std::to_string(port) + "/live/" + name;
    }
    ~Nginx() {
        kill();
        std::error_code ignored;
        if (!prefix.empty())
            std::filesystem::remove_all(prefix, ignored);
    }
};

using Clock = std::chrono::steady_clock;

// Hands the frames to the publisher at the camera's pace on a thread of its own (as the
// camera's thread would), cycling through them, and keeps when each frame number last went.
class Feeder {
public:
    Feeder(Publisher& publisher, const std::vector<std::vector<unsigned char>>& frames)
        : publisher_(publisher), frames_(frames), handedAt_(frames.size()) {
        thread_ = std::thread([this] { run(); });
    }
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }
    // When frame `number` was last handed over (nanoseconds of the steady clock), or 0.
    long long handedAt(uint32_t number) const {
        return number < handedAt_.size() ? handedAt_[number].load() : 0;
    }

private:
    void run() {
        auto next = Clock::now();
        for (std::size_t i = 0; !stop_; ++i) {
            const std::size_t n = i % frames_.size();
            handedAt_[n] = Clock::now().time_since_epoch().count();
            publisher_.pushFrame(frames_[n].data(), kWidth, kHeight, 24);
            next += std::chrono::microseconds(1000000 / kFps);
            std::this_thread::sleep_until(next);
        }
    }
    Publisher& publisher_;
    const std::vector<std::vector<unsigned char>>& frames_;
    std::vector<std::atomic<long long>> handedAt_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The publisher's CPU per frame sent over `seconds` (this process: the feeder's copies and the
// publisher's thread; nginx and other children are not counted).
double publisherCpuPerFrame(const Publisher& publisher, double seconds) {
    const double cpu = cpuSeconds();
    const long sent = publisher.sentFrames();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long frames = publisher.sentFrames() - sent;
    return frames > 0 ? (cpuSeconds() - cpu) / double(frames) : 0;
}

pid_t spawn(const std::vector<std::string>& args, int outFd = -1) {
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The ffmpeg program publishing the same frames with the same encoder settings: its CPU
// seconds per frame (from its rusage), or 0 when it failed.
double ffmpegCpuPerFrame(const std::vector<std::vector<unsigned char>>& frames,
                         const Nginx& nginx) {
    const std::string raw = nginx.prefix + "/frames.bgr";
    {
        // Top-down rows, as ffmpeg's raw input expects.
        std::ofstream out(raw, std::ios::binary);
        const std::size_t row = std::size_t(kWidth) * 3;
        for (const auto& frame : frames)
            for (int y = kHeight - 1; y >= 0; --y)
                out.write(reinterpret_cast<const char*>(frame.data()) + row * std::size_t(y),
                          std::streamsize(row));
    }
    const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
    const std::string rate = std::to_string(kBitrateKbps) + "k";
    const pid_t pid = spawn({"ffmpeg",
                             "-nostdin",
                             "-v",
                             "error",
                             "-re",
                             "-f",
                             "rawvideo",
                             "-pix_fmt",
                             "bgr24",
                             "-s",
                             size,
                             "-r",
                             std::to_string(kFps),
                             "-i",
                             raw,
                             "-c:v",
                             "libx264",
                             "-preset",
                             "veryfast",
                             "-tune",
                             "zerolatency",
                             "-g",
                             std::to_string(kFps),
                             "-keyint_min",
                             std::to_string(kFps),
                             "-bf",
                             "0",
                             "-b:v",
                             rate,
                             "-maxrate",
                             rate,
                             "-bufsize",
                             rate,
                             "-pix_fmt",
                             "yuv420p",
                             "-f",
                             "flv",
                             nginx.url("ffmpeg")});
    if (pid < 0)
        return 0;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 0;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return cpu / double(frames.size());
}

// Latencies (ms) from hand-over to a picture decoded by ffmpeg from nginx's RTMP play URL, for
// about `seconds` of pictures.
std::vector<double> rtmpLatencies(const Feeder& feeder, const Nginx& nginx, double seconds) {
    int pipe[2];
    if (::pipe(pipe) != 0)
        return {};
    const pid_t pid = spawn({"ffmpeg",
                             "-nostdin",
                             "-v",
                             "error",
                             "-fflags",
                             "nobuffer",
                             "-flags",
                             "low_delay",
                             "-threads",
                             "1",
                             "-probesize",
                             "100000",
                             "-analyzeduration",
                             "0",
                             "-i",
                             nginx.url("bench"),
                             "-an",
                             "-f",
                             "rawvideo",
                             "-pix_fmt",
                             "gray",
                             "-flush_packets",
                             "1",
                             "-"},
                            pipe[1]);
    ::close(pipe[1]);
    std::vector<double> latencies;
    if (pid < 0) {
        ::close(pipe[0]);
        return latencies;
    }
    std::vector<unsigned char> picture(std::size_t(kWidth) * kHeight);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    const auto bound = end + std::chrono::seconds(20); // a reader that never starts
    while (Clock::now() < bound && (latencies.empty() || Clock::now() < end)) {
        std::size_t got = 0;
        while (got < picture.size()) {
            const ssize_t n = ::read(pipe[0], picture.data() + got, picture.size() - got);
            if (n <= 0)
                break;
            got += std::size_t(n);
        }
        if (got < picture.size())
            break;
        const long long now = Clock::now().time_since_epoch().count();
        platform::media::pattern::StripData strip;
        if (!platform::media::pattern::decodeStrip(
                kWidth, kHeight,
                [&](int x, int y) { return int(picture[std::size_t(y) * kWidth + x]); }, &strip))
            continue;
        const long long handed = feeder.handedAt(strip.frameNumber);
        if (handed > 0 && now > handed)
            latencies.push_back(double(now - handed) / 1e6);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(pipe[0]);
    return latencies;
}

// The publisher's CPU per frame while 100 curl processes read the playlist and a segment in
// turn (each bounded to 60 fetches and 15 s), or 0 when there was no segment to read.
double cpuPerFrameWithReaders(const Publisher& publisher, const Nginx& nginx, int* completed) {
    std::ifstream in(nginx.prefix + "/hls/bench.m3u8");
    std::string segment;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            segment = line;
    if (segment.empty())
        return 0;
    const std::string base = "http://127.0.0.1:" + std::to_string(nginx.httpPort) + "/hls/";
    std::vector<pid_t> readers;
    for (int i = 0; i < 100; ++i)
        readers.push_back(spawn({"curl", "-s", "--max-time", "15",
                                 "{" + base + "bench.m3u8," + base + segment +
                                     "}?reader=" + std::to_string(i) + "&round=[1-30]"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // all of them started
    const double perFrame = publisherCpuPerFrame(publisher, 5);
    *completed = 0;
    for (const pid_t reader : readers) {
        if (reader < 0)
            continue;
        int status = 0;
        ::waitpid(reader, &status, 0);
        *completed += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return perFrame;
}

bool waitFor(const Publisher& publisher, bool publishing, std::chrono::seconds bound) {
    const auto end = Clock::now() + bound;
    while (Clock::now() < end) {
        if ((publisher.state() == Publisher::State::Publishing) == publishing)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

} // namespace

int main() {
    const auto frames = patternFrames(kFrames);
    const double floor = x264Floor(frames);
    std::printf("floor: libx264 alone %.3f ms CPU per frame (%dx%d)\n", floor * 1000, kWidth,
                kHeight);

    Nginx nginx;
    if (!nginx.configure() || !nginx.start()) {
        std::fprintf(stderr, "publish_cost: nginx did not start\n");
        return 1;
    }
    const double ffmpeg = ffmpegCpuPerFrame(frames, nginx);
    std::printf("ffmpeg -re publishing the same frames: %.3f ms CPU per frame\n", ffmpeg * 1000);

    Publisher publisher;
    PublishSettings settings;
    settings.url = nginx.url("bench");
    settings.bitrateKbps = kBitrateKbps;
    settings.keyframeSeconds = 1;
    publisher.start(settings, kWidth, kHeight, 24, kFps);
    if (!waitFor(publisher, true, std::chrono::seconds(30))) {
        std::fprintf(stderr, "publish_cost: the publisher never published\n");
        return 1;
    }
    Feeder feeder(publisher, frames);
    std::this_thread::sleep_for(std::chrono::seconds(1)); // past the first keyframes
    const long droppedBefore = publisher.droppedFrames();
    const long sentBefore = publisher.sentFrames();
    const double perFrame = publisherCpuPerFrame(publisher, double(kFrames) / kFps);
    const long sent = publisher.sentFrames() - sentBefore;
    const long dropped = publisher.droppedFrames() - droppedBefore;
    std::printf("publisher (%s): %.3f ms CPU per frame sent (%ld sent, %ld dropped)\n",
                publisher.encoderName().c_str(), perFrame * 1000, sent, dropped);

    const auto latencies = rtmpLatencies(feeder, nginx, 8);
    const double latencyP50 = percentile(latencies, 0.5);
    std::printf("RTMP read-back: %zu pictures, latency p50 %.1f ms, p90 %.1f ms\n",
                latencies.size(), latencyP50, percentile(latencies, 0.9));

    const double quiet = publisherCpuPerFrame(publisher, 5);
    int completed = 0;
    const double loaded = cpuPerFrameWithReaders(publisher, nginx, &completed);
    const double readersDelta = quiet > 0 && loaded > 0 ? (loaded - quiet) / quiet * 100 : 0;
    std::printf("100 HLS readers (%d completed): %.3f ms CPU per frame against %.3f without\n",
                completed, loaded * 1000, quiet * 1000);

    double resumeMax = 0;
    int resumed = 0;
    for (int round = 0; round < 5; ++round) {
        nginx.kill();
        if (!waitFor(publisher, false, std::chrono::seconds(30)))
            break;
        if (!nginx.start())
            break;
        const auto up = Clock::now();
        if (!waitFor(publisher, true, std::chrono::seconds(30)))
            break;
        resumeMax = std::max(resumeMax,
                             std::chrono::duration<double, std::milli>(Clock::now() - up).count());
        ++resumed;
    }
    std::printf("nginx killed and restarted: publishing resumed %d of 5 times\n", resumed);
    const long totalDropped = publisher.droppedFrames();

    // Encode once: RTMP and RTP together (RTP to a UDP port of this process that nobody reads)
    // against RTMP alone, over windows of the same length; both from one encoder.
    const double oneOutput = publisherCpuPerFrame(publisher, 10);
    double twoOutputs = 0;
    long encoders = 0;
    int udpPort = 0;
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = loopback::address(0);
    socklen_t localLength = sizeof local;
    if (udp >= 0 && ::bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::getsockname(udp, reinterpret_cast<sockaddr*>(&local), &localLength) == 0)
        udpPort = ntohs(local.sin_port);
    settings.rtpUrl = "rtp://127.0.0.1:" + std::to_string(udpPort);
    if (udpPort > 0 && publisher.start(settings, kWidth, kHeight, 24, kFps) &&
        waitFor(publisher, true, std::chrono::seconds(30))) {
        std::this_thread::sleep_for(std::chrono::seconds(1)); // past the first keyframes
        twoOutputs = publisherCpuPerFrame(publisher, 10);
        encoders = publisher.encodersOpened();
    }
    if (udp >= 0)
        ::close(udp);
    std::printf("RTMP alone %.3f ms, RTMP and RTP together %.3f ms CPU per frame (%ld encoder)\n",
                oneOutput * 1000, twoOutputs * 1000, encoders);
    publisher.stop();

    std::printf("publish_cpu_ms_per_frame=%.3f x264_floor_cpu_ms_per_frame=%.3f "
                "publish_cpu_ratio_vs_x264=%.2f ffmpeg_cpu_ms_per_frame=%.3f frames_sent=%ld "
                "frames_dropped=%ld frames_dropped_with_restarts=%ld "
                "publish_cpu_ratio_vs_ffmpeg=%.2f rtmp_latency_ms_p50=%.1f "
                "hls_readers_100_cpu_delta_pct=%.1f publishing_resume_ms_max=%s "
                "cpu_ratio_two_outputs=%.3f\n",
                perFrame * 1000, floor * 1000, floor > 0 ? perFrame / floor : 0, ffmpeg * 1000,
                sent, dropped, totalDropped, ffmpeg > 0 ? perFrame / ffmpeg : 0, latencyP50,
                readersDelta,
                resumed == 5 ? std::to_string(int(resumeMax + 0.5)).c_str() : "failed",
                oneOutput > 0 ? twoOutputs / oneOutput : 0);
    return 0;
}
