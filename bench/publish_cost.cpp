// publish_cost: what publishing costs. The test pattern at 1280x720@30 (bottom-up BGR, as the
// camera hands frames to the program) goes through the program's Publisher to a real nginx on
// loopback (docs/nginx/nginx.conf): process CPU per frame sent, measured over frames handed
// over at the camera's pace.
//
// Same-run floor: libx264 alone through libavcodec, with the publisher's settings (veryfast,
// zerolatency, no B-frames, the same bitrate and keyframe interval), encoding the same frames
// already in I420 as fast as it can. publish_cpu_ratio_vs_x264 = publisher / floor: what the
// copy, the colour conversion, the muxing and the network add to the encoder's own work.
#include "loopback.h"

#include "media/sources/test_pattern/pattern_renderer.h"
#include "publish/Publisher.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}
#include <libyuv.h>

#include <chrono>
#include <cstdio>
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

struct Nginx {
    std::string prefix;
    int port = loopback::freePort();
    pid_t pid = -1;
    bool start() {
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
        replace("/tmp/tarnick-nginx", prefix);
        replace("listen 1935;", "listen 127.0.0.1:" + std::to_string(port) + ";");
        replace("listen 8080;", "listen 127.0.0.1:" + std::to_string(loopback::freePort()) + ";");
        std::ofstream(prefix + "/nginx.conf") << conf;
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
        for (int i = 0; i < 500; ++i) {
            const int fd = loopback::connect(port);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    ~Nginx() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(prefix, ignored);
    }
};

} // namespace

int main() {
    const auto frames = patternFrames(kFrames);
    const double floor = x264Floor(frames);
    std::printf("floor: libx264 alone %.3f ms CPU per frame (%dx%d)\n", floor * 1000, kWidth,
                kHeight);

    Nginx nginx;
    if (!nginx.start()) {
        std::fprintf(stderr, "publish_cost: nginx did not start\n");
        return 1;
    }
    Publisher publisher;
    publisher.start(
        {"rtmp://127.0.0.1:" + std::to_string(nginx.port) + "/live/bench", kBitrateKbps, 1}, kWidth,
        kHeight, 24, kFps);
    while (publisher.state() != Publisher::State::Publishing)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Handed over at the camera's pace, as the camera's thread would.
    const double start = cpuSeconds();
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
        publisher.pushFrame(frames[std::size_t(i)].data(), kWidth, kHeight, 24);
        next += std::chrono::microseconds(1000000 / kFps);
        std::this_thread::sleep_until(next);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the last frames leave
    const double spent = cpuSeconds() - start;
    const long sent = publisher.sentFrames();
    const long dropped = publisher.droppedFrames();
    publisher.stop();
    const double perFrame = sent > 0 ? spent / double(sent) : 0;
    std::printf("publisher: %.3f ms CPU per frame sent (%ld sent, %ld dropped)\n", perFrame * 1000,
                sent, dropped);
    std::printf("publish_cpu_ms_per_frame=%.3f x264_floor_cpu_ms_per_frame=%.3f "
                "publish_cpu_ratio_vs_x264=%.2f frames_sent=%ld frames_dropped=%ld\n",
                perFrame * 1000, floor * 1000, floor > 0 ? perFrame / floor : 0, sent, dropped);
    return 0;
}
