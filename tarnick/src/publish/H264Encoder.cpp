// H264Encoder: its thread opens the encoder when a sink wants pictures and closes it when none
// does, so that an output waiting for its network costs neither memory nor CPU.
#include "publish/H264Encoder.h"

#include "publish/AvFunctions.h"

#include <libyuv.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av().av_strerror(code, text, sizeof(text));
    return text;
}

constexpr int kTakeWaitMs = 100;
constexpr int kRetryAfterFailureMs = 1000;

} // namespace

void H264Encoder::Deleters::operator()(AVCodecContext* context) const {
    av().avcodec_free_context(&context);
}
void H264Encoder::Deleters::operator()(AVFrame* frame) const {
    av().av_frame_free(&frame);
}
void H264Encoder::Deleters::operator()(AVPacket* packet) const {
    av().av_packet_free(&packet);
}

H264Encoder::~H264Encoder() {
    stop();
}

std::string H264Encoder::encoderName() const {
    std::lock_guard guard(m_infoLock);
    return m_encoderName;
}

bool H264Encoder::start(const Params& params, std::vector<H264Sink*> sinks) {
    stop();
    if (params.width < 2 || params.height < 2 || (params.bitCount != 24 && params.bitCount != 32))
        return false;
    m_params = params;
    m_sinks = std::move(sinks);
    m_width.store(params.width, std::memory_order_relaxed);
    m_height.store(params.height, std::memory_order_relaxed);
    // Buffers come when a sink wants pictures: outputs that wait hold no frame memory.
    m_slots.reset(std::size_t(strideOf(params.width, params.bitCount)) *
                  std::size_t(params.height));
    m_encoded = 0;
    m_encodersOpened = 0;
    m_forced = 0;
    m_lastError.clear();
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void H264Encoder::stop() {
    if (!m_thread.joinable())
        return;
    m_accepting = false;
    m_stop = true;
    m_slots.wake();
    wake();
    m_thread.join();
    m_sinks.clear();
}

void H264Encoder::wake() {
    {
        std::lock_guard guard(m_wakeLock);
        m_wakeWanted = true;
    }
    m_woken.notify_all();
    m_slots.wake();
}

void H264Encoder::pushFrame(const unsigned char* rows, int width, int height, int bitCount,
                            std::int64_t captureUs) {
    // A frame of another format than the one started (a camera that came back at another
    // size) is refused by its size, checked again under the slots' lock.
    if (!rows || !m_accepting.load(std::memory_order_acquire) || (bitCount != 24 && bitCount != 32))
        return;
    if (width != m_width.load(std::memory_order_relaxed) ||
        height != m_height.load(std::memory_order_relaxed))
        return;
    m_slots.push(rows, std::size_t(strideOf(width, bitCount)) * std::size_t(height), captureUs);
}

// The encoder's thread.
bool H264Encoder::anySinkWants() const {
    for (const H264Sink* sink : m_sinks)
        if (sink->wantsPictures())
            return true;
    return false;
}

void H264Encoder::idle() {
    std::unique_lock guard(m_wakeLock);
    m_woken.wait_for(guard, std::chrono::milliseconds(kTakeWaitMs),
                     [this] { return m_wakeWanted || m_stop.load(); });
    m_wakeWanted = false;
}

void H264Encoder::run() {
    while (!m_stop) {
        if (!anySinkWants()) {
            close();
            idle();
            continue;
        }
        if (!m_encoder) {
            std::string why;
            if (!open(&why)) {
                if (why != m_lastError) {
                    std::fprintf(stderr, "tarnick: cannot encode H.264 (%s)\n", why.c_str());
                    std::fflush(stderr);
                    m_lastError = why;
                }
                close();
                std::unique_lock guard(m_wakeLock);
                m_woken.wait_for(guard, std::chrono::milliseconds(kRetryAfterFailureMs),
                                 [this] { return m_stop.load(); });
                continue;
            }
            m_lastError.clear();
        }
        const int slot = m_slots.take(kTakeWaitMs);
        if (slot < 0)
            continue;
        // Every sink's request is taken (each is answered by this one keyframe).
        bool keyframe = false;
        for (H264Sink* sink : m_sinks)
            keyframe = sink->takeKeyframeRequest() || keyframe;
        std::string why;
        const bool encoded = encode(m_slots.data(slot), m_slots.captureUs(slot), keyframe, &why);
        m_slots.release(slot);
        if (!encoded) {
            std::fprintf(stderr, "tarnick: H.264 encoder stopped (%s)\n", why.c_str());
            std::fflush(stderr);
            close(); // opened again on the next turn (libx264 when the hardware one failed)
        }
    }
    close();
}

bool H264Encoder::open(std::string* why) {
    if (!loadAvFunctions(why))
        return false;
    if (!m_slots.allocate()) {
        *why = "out of memory";
        return false;
    }
    // A memory-to-memory hardware encoder (small boards) when one opens and has not failed
    // before; libx264 otherwise.
    constexpr const char* kHardware = "h264_v4l2m2m";
    bool opened = false;
    for (const char* name : {kHardware, "libx264", ""}) {
        if (name == kHardware && m_hardwareUnusable)
            continue;
        const AVCodec* codec = *name ? av().avcodec_find_encoder_by_name(name)
                                     : av().avcodec_find_encoder(AV_CODEC_ID_H264);
        if (codec && tryEncoder(codec, why)) {
            m_hardware = name == kHardware;
            opened = true;
            break;
        }
    }
    if (!opened) {
        if (why->empty())
            *why = "no H.264 encoder";
        return false;
    }
    H264StreamInfo info;
    info.width = m_encoder->width;
    info.height = m_encoder->height;
    info.framesPerSecond = m_params.framesPerSecond;
    if (m_encoder->extradata && m_encoder->extradata_size > 0)
        info.parameterSets.assign(m_encoder->extradata,
                                  m_encoder->extradata + m_encoder->extradata_size);
    for (H264Sink* sink : m_sinks)
        sink->begin(info);
    m_slots.discardQueued();
    m_accepting.store(true, std::memory_order_release);
    return true;
}

bool H264Encoder::tryEncoder(const AVCodec* codec, std::string* why) {
    m_encoder.reset(av().avcodec_alloc_context3(codec));
    if (!m_encoder) {
        *why = "out of memory";
        return false;
    }
    AVCodecContext& encoder = *m_encoder;
    // 4:2:0 needs even sizes: an odd last column or row is left out.
    encoder.width = m_params.width & ~1;
    encoder.height = m_params.height & ~1;
    encoder.pix_fmt = AV_PIX_FMT_YUV420P;
    encoder.time_base = AVRational{1, 1000};
    encoder.framerate = AVRational{m_params.framesPerSecond, 1};
    encoder.gop_size = m_params.framesPerSecond * m_params.keyframeSeconds;
    encoder.keyint_min = encoder.gop_size;
    encoder.max_b_frames = 0;
    encoder.bit_rate = std::int64_t(m_params.bitrateKbps) * 1000;
    encoder.rc_max_rate = encoder.bit_rate;
    encoder.rc_buffer_size = int(encoder.bit_rate); // one second of stream
    // The parameter sets once, out of band: FLV carries them in its header, RTP in front of
    // every keyframe.
    encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av().av_opt_set(encoder.priv_data, "preset", "veryfast", 0);
    av().av_opt_set(encoder.priv_data, "tune", "zerolatency", 0);
    // A keyframe asked for by a receiver is an IDR picture, where any decoder may start.
    av().av_opt_set(encoder.priv_data, "forced-idr", "1", 0);
    const int result = av().avcodec_open2(&encoder, codec, nullptr);
    if (result < 0) {
        *why =
            "cannot open the H.264 encoder " + std::string(codec->name) + ": " + errorText(result);
        m_encoder.reset();
        return false;
    }
    {
        std::lock_guard guard(m_infoLock);
        m_encoderName = codec->name;
    }
    m_encodersOpened.fetch_add(1, std::memory_order_relaxed);
    m_picture.reset(av().av_frame_alloc());
    m_packet.reset(av().av_packet_alloc());
    if (!m_picture || !m_packet) {
        *why = "out of memory";
        return false;
    }
    m_picture->format = encoder.pix_fmt;
    m_picture->width = encoder.width;
    m_picture->height = encoder.height;
    if (av().av_frame_get_buffer(m_picture.get(), 0) < 0) {
        *why = "out of memory";
        return false;
    }
    return true;
}

void H264Encoder::close() {
    m_accepting.store(false, std::memory_order_release);
    if (m_encoder)
        for (H264Sink* sink : m_sinks)
            sink->end();
    m_encoder.reset();
    m_picture.reset();
    m_packet.reset();
    m_hardware = false;
    m_packetsOut = 0;
    m_firstCaptureUs = -1;
    m_lastPts = -1;
    m_times.fill({-1, 0});
    m_slots.freeBuffers();
}

bool H264Encoder::encode(const unsigned char* rows, std::int64_t captureUs, bool keyframe,
                         std::string* why) {
    if (av().av_frame_make_writable(m_picture.get()) < 0) {
        *why = "out of memory";
        return false;
    }
    const int width = m_picture->width;
    const int height = m_picture->height;
    const int stride = strideOf(m_params.width, m_params.bitCount);
    // Bottom-up rows: the source's last row is the picture's top. A negative height makes
    // libyuv read them upwards; with an odd height the picture's top row is the one left out.
    if (m_params.bitCount == 24)
        libyuv::RGB24ToI420(rows, stride, m_picture->data[0], m_picture->linesize[0],
                            m_picture->data[1], m_picture->linesize[1], m_picture->data[2],
                            m_picture->linesize[2], width, -height);
    else
        libyuv::ARGBToI420(rows, stride, m_picture->data[0], m_picture->linesize[0],
                           m_picture->data[1], m_picture->linesize[1], m_picture->data[2],
                           m_picture->linesize[2], width, -height);

    // Milliseconds since the encoder's first frame, strictly increasing.
    if (m_firstCaptureUs < 0)
        m_firstCaptureUs = captureUs;
    std::int64_t pts = (captureUs - m_firstCaptureUs) / 1000;
    if (pts <= m_lastPts)
        pts = m_lastPts + 1;
    m_lastPts = pts;
    m_picture->pts = pts;
    m_times[m_nextTime] = {pts, captureUs};
    m_nextTime = (m_nextTime + 1) % m_times.size();
    m_picture->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (keyframe)
        m_forced.fetch_add(1, std::memory_order_relaxed);

    const int result = av().avcodec_send_frame(m_encoder.get(), m_picture.get());
    if (result < 0)
        return failed(errorText(result), why);
    return handOut(why);
}

bool H264Encoder::failed(const std::string& what, std::string* why) {
    if (m_hardware && m_packetsOut == 0) {
        // Opened, then failed on its first frames: libx264 from the next opening on, for good.
        m_hardwareUnusable = true;
        *why = "the hardware encoder " + encoderName() + " failed (" + what + "); using libx264";
        return false;
    }
    *why = what;
    return false;
}

bool H264Encoder::handOut(std::string* why) {
    for (;;) {
        const int result = av().avcodec_receive_packet(m_encoder.get(), m_packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0)
            return failed(errorText(result), why);
        ++m_packetsOut;
        H264AccessUnit unit;
        unit.data = m_packet->data;
        unit.size = std::size_t(m_packet->size);
        unit.keyframe = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
        unit.captureUs = m_firstCaptureUs + m_packet->pts * 1000;
        for (const auto& [pts, capturedUs] : m_times)
            if (pts == m_packet->pts)
                unit.captureUs = capturedUs;
        for (H264Sink* sink : m_sinks)
            sink->deliver(unit);
        av().av_packet_unref(m_packet.get());
        m_encoded.fetch_add(1, std::memory_order_relaxed);
    }
}
