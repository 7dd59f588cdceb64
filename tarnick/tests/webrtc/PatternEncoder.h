// The test pattern camera's pictures encoded the way the program's encoder does (libx264,
// zerolatency, baseline, no B-frames, SPS/PPS as a global header), handed to an H264Sink:
// the strip of every picture carries its frame number and capture time.
#pragma once

#include "publish/H264Sink.h"

#include <media/sources/test_pattern/pattern_renderer.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <libyuv.h>

#include <cstdint>
#include <ctime>
#include <vector>

namespace testsupport {

inline std::int64_t monotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

class PatternEncoder {
public:
    PatternEncoder(int width, int height, int framesPerSecond, int keyframeInterval)
        : width_(width), height_(height), fps_(framesPerSecond) {
        av_log_set_level(AV_LOG_QUIET);
        renderer_.configure(width, height);
        yuy2_.resize(platform::media::pattern::PatternRenderer::yuy2Bytes(width, height));
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        context_ = avcodec_alloc_context3(codec);
        context_->width = width;
        context_->height = height;
        context_->pix_fmt = AV_PIX_FMT_YUV420P;
        context_->time_base = AVRational{1, framesPerSecond};
        context_->framerate = AVRational{framesPerSecond, 1};
        context_->gop_size = keyframeInterval;
        context_->max_b_frames = 0;
        context_->bit_rate = 1500000;
        context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
        av_opt_set(context_->priv_data, "profile", "baseline", 0);
        av_opt_set(context_->priv_data, "forced-idr", "1", 0);
        opened_ = codec && avcodec_open2(context_, codec, nullptr) == 0;
        frame_ = av_frame_alloc();
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = width;
        frame_->height = height;
        opened_ = opened_ && av_frame_get_buffer(frame_, 0) == 0;
        packet_ = av_packet_alloc();
    }
    ~PatternEncoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }
    PatternEncoder(const PatternEncoder&) = delete;
    PatternEncoder& operator=(const PatternEncoder&) = delete;

    bool opened() const { return opened_; }
    H264StreamInfo info() const {
        H264StreamInfo info;
        info.width = width_;
        info.height = height_;
        info.framesPerSecond = fps_;
        info.parameterSets.assign(context_->extradata,
                                  context_->extradata + context_->extradata_size);
        return info;
    }

    // Draws, encodes and delivers the next picture; a keyframe when `keyframe`.
    void encode(H264Sink& sink, bool keyframe) {
        const std::int64_t captureUs = monotonicUs();
        platform::media::pattern::StripData stamp{
            frameNumber_, std::uint64_t(captureUs) & platform::media::pattern::kStripTimeMask};
        renderer_.renderYuy2(yuy2_.data(), std::size_t(width_) * 2, stamp, {});
        av_frame_make_writable(frame_);
        libyuv::YUY2ToI420(yuy2_.data(), width_ * 2, frame_->data[0], frame_->linesize[0],
                           frame_->data[1], frame_->linesize[1], frame_->data[2],
                           frame_->linesize[2], width_, height_);
        frame_->pts = frameNumber_++;
        frame_->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(context_, frame_) < 0)
            return;
        while (avcodec_receive_packet(context_, packet_) == 0) {
            H264AccessUnit unit;
            unit.data = packet_->data;
            unit.size = std::size_t(packet_->size);
            unit.captureUs = captureUs;
            unit.keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
            keyframes_ += unit.keyframe ? 1 : 0;
            sink.deliver(unit);
            av_packet_unref(packet_);
        }
    }
    std::uint32_t frames() const { return frameNumber_; }
    int keyframes() const { return keyframes_; }

private:
    int width_;
    int height_;
    int fps_;
    platform::media::pattern::PatternRenderer renderer_;
    std::vector<std::uint8_t> yuy2_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool opened_ = false;
    std::uint32_t frameNumber_ = 0;
    int keyframes_ = 0;
};

} // namespace testsupport
