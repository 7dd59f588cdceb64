// H264Sender: libyuv for the colour conversion, libavcodec (libx264, low latency) for H.264,
// FlvConnection for the network. Runs on the publisher's own thread only.
#include "H264Sender.h"

#include "AvFunctions.h"

#include <libyuv.h>

#include <cctype>
#include <string>

namespace {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av().av_strerror(code, text, sizeof(text));
    return text;
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    for (std::size_t i = 0; prefix[i]; ++i)
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) !=
                                    static_cast<unsigned char>(prefix[i]))
            return false;
    return true;
}

} // namespace

void H264Sender::Deleters::operator()(AVCodecContext* context) const {
    av().avcodec_free_context(&context);
}
void H264Sender::Deleters::operator()(AVFrame* frame) const {
    av().av_frame_free(&frame);
}
void H264Sender::Deleters::operator()(AVPacket* packet) const {
    av().av_packet_free(&packet);
}

bool H264Sender::isPublishUrl(const std::string& url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos || url.size() > 1024)
        return false;
    if (!(schemeEnd == 4 && startsWithNoCase(url, "rtmp")) &&
        !(schemeEnd == 5 && startsWithNoCase(url, "rtmps")))
        return false;
    for (const char c : url)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return false;
    // A host must follow the scheme.
    const std::size_t hostStart = schemeEnd + 3;
    const std::size_t hostEnd = url.find_first_of("/?#", hostStart);
    std::string authority = url.substr(
        hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    return !authority.empty() && authority[0] != ':';
}

H264Sender::H264Sender(std::shared_ptr<const std::atomic<bool>> stop)
    : m_connection(std::move(stop)) {}

H264Sender::~H264Sender() {
    close();
}

bool H264Sender::openEncoder(std::string* why) {
    // A memory-to-memory hardware encoder (small boards) when one opens and has not failed
    // before; libx264 otherwise.
    constexpr const char* kHardware = "h264_v4l2m2m";
    for (const char* name : {kHardware, "libx264", ""}) {
        if (name == kHardware && m_hardwareUnusable)
            continue;
        const AVCodec* codec = *name ? av().avcodec_find_encoder_by_name(name)
                                     : av().avcodec_find_encoder(AV_CODEC_ID_H264);
        if (codec && tryEncoder(codec, why)) {
            m_hardware = name == kHardware;
            return true;
        }
    }
    if (why->empty())
        *why = "no H.264 encoder";
    return false;
}

bool H264Sender::tryEncoder(const AVCodec* codec, std::string* why) {
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
    // FLV carries the parameter sets once, in its header.
    encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av().av_opt_set(encoder.priv_data, "preset", "veryfast", 0);
    av().av_opt_set(encoder.priv_data, "tune", "zerolatency", 0);
    const int result = av().avcodec_open2(&encoder, codec, nullptr);
    if (result < 0) {
        *why =
            "cannot open the H.264 encoder " + std::string(codec->name) + ": " + errorText(result);
        m_encoder.reset();
        return false;
    }
    m_encoderName = codec->name;
    ++m_encodersOpened;
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

bool H264Sender::open(const Params& params, std::string* why) {
    close();
    m_params = params;
    if (!isPublishUrl(params.url)) {
        *why = "not an rtmp:// or rtmps:// address";
        return false;
    }
    if (params.width < 2 || params.height < 2 || (params.bitCount != 24 && params.bitCount != 32)) {
        *why = "the picture format cannot be encoded";
        return false;
    }
    if (!loadAvFunctions(why))
        return false;
    if (!m_connection.connect({params.url, params.caFile, params.ioTimeoutMs}, why) ||
        !openEncoder(why) || !m_connection.writeHeader(*m_encoder, why)) {
        close();
        return false;
    }
    return true;
}

bool H264Sender::send(const unsigned char* rows, std::int64_t captureUs, std::string* why) {
    if (!m_encoder || !m_connection.connected() || m_failed) {
        *why = "not connected";
        return false;
    }
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

    // Milliseconds since the first frame of this session, strictly increasing.
    if (m_firstCaptureUs < 0)
        m_firstCaptureUs = captureUs;
    std::int64_t pts = (captureUs - m_firstCaptureUs) / 1000;
    if (pts <= m_lastPts)
        pts = m_lastPts + 1;
    m_lastPts = pts;
    m_picture->pts = pts;

    const int result = av().avcodec_send_frame(m_encoder.get(), m_picture.get());
    if (result < 0)
        return encoderFailed(errorText(result), why);
    return writePackets(why);
}

bool H264Sender::encoderFailed(const std::string& what, std::string* why) {
    m_failed = true;
    if (m_hardware && m_packetsOut == 0) {
        // Opened, then failed on its first frames: libx264 from the next session on, for good.
        m_hardwareUnusable = true;
        *why = "the hardware encoder " + m_encoderName + " failed (" + what + "); using libx264";
        return false;
    }
    *why = "encoder: " + what;
    return false;
}

bool H264Sender::writePackets(std::string* why) {
    for (;;) {
        const int result = av().avcodec_receive_packet(m_encoder.get(), m_packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0)
            return encoderFailed(errorText(result), why);
        ++m_packetsOut;
        if (!m_connection.write(*m_packet, m_encoder->time_base, why)) {
            m_failed = true;
            return false;
        }
    }
}

void H264Sender::close() {
    m_connection.close();
    m_encoder.reset();
    m_picture.reset();
    m_packet.reset();
    m_failed = false;
    m_hardware = false;
    m_packetsOut = 0;
    m_firstCaptureUs = -1;
    m_lastPts = -1;
    m_encoderName.clear();
}
