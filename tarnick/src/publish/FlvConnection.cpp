// FlvConnection: libavformat's RTMP(S) client opened on a helper thread, its FLV muxer on the
// publisher's thread.
#include "FlvConnection.h"

#include "AvFunctions.h"
#include "H264Sink.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av().av_strerror(code, text, sizeof(text));
    return text;
}

bool isRtmps(const std::string& url) {
    return url.size() > 6 && (url[4] == 's' || url[4] == 'S') && url[5] == ':';
}

// How long the owner sleeps between looks at its stop flag while an attempt connects.
constexpr auto kStopLook = std::chrono::milliseconds(10);

} // namespace

// One connection attempt, shared by its owner (the publisher's thread) and its helper thread;
// whoever lets go last frees it. After a successful attempt the connection's interrupt
// callback keeps pointing here, so the owner holds it as long as the connection.
struct FlvConnection::Attempt {
    std::shared_ptr<const std::atomic<bool>> stop;
    std::atomic<bool> abandoned{false};
    std::atomic<std::int64_t> deadlineUs{0};

    std::mutex lock;
    std::condition_variable finished;
    bool done = false;         // guarded by lock
    AVIOContext* io = nullptr; // guarded by lock: the connection, until the owner takes it
    int result = 0;            // guarded by lock
    std::string error;         // guarded by lock: FFmpeg's last error on the helper's thread

    // Polled by every blocking step inside FFmpeg, on whichever thread runs it.
    static int interrupted(void* self) {
        auto* attempt = static_cast<Attempt*>(self);
        return attempt->stop->load(std::memory_order_relaxed) ||
               attempt->abandoned.load(std::memory_order_relaxed) ||
               av().av_gettime_relative() > attempt->deadlineUs.load(std::memory_order_relaxed);
    }

    // The helper thread: the blocking open, then the result handed over (or, when the owner
    // has gone, the connection closed here).
    static void open(const std::shared_ptr<Attempt>& attempt, const Params& params) {
        clearAvError();
        AVDictionary* options = nullptr;
        av().av_dict_set_int(&options, "rw_timeout", std::int64_t(params.ioTimeoutMs) * 1000, 0);
        if (isRtmps(params.url)) {
            // FFmpeg's TLS trusts any certificate unless told to verify; the host name is
            // checked against the URL's.
            av().av_dict_set(&options, "tls_verify", "1", 0);
            if (!params.caFile.empty())
                av().av_dict_set(&options, "ca_file", params.caFile.c_str(), 0);
        }
        AVIOInterruptCB callback{&Attempt::interrupted, attempt.get()};
        AVIOContext* io = nullptr;
        const int result =
            av().avio_open2(&io, params.url.c_str(), AVIO_FLAG_WRITE, &callback, &options);
        av().av_dict_free(&options);
        std::unique_lock guard(attempt->lock);
        if (attempt->abandoned.load()) {
            guard.unlock();
            if (io)
                av().avio_closep(&io);
            return;
        }
        attempt->io = io;
        attempt->result = result;
        attempt->error = lastAvError();
        attempt->done = true;
        guard.unlock();
        attempt->finished.notify_all();
    }
};

void FlvConnection::OutputDeleter::operator()(AVFormatContext* context) const {
    if (context->pb)
        av().avio_closep(&context->pb);
    av().avformat_free_context(context);
}

void FlvConnection::PacketDeleter::operator()(AVPacket* packet) const {
    av().av_packet_free(&packet);
}

FlvConnection::FlvConnection(std::shared_ptr<const std::atomic<bool>> stop)
    : m_stop(std::move(stop)) {}

FlvConnection::~FlvConnection() {
    close();
}

void FlvConnection::armDeadline() {
    if (m_attempt)
        m_attempt->deadlineUs.store(av().av_gettime_relative() +
                                        std::int64_t(m_params.ioTimeoutMs) * 1000,
                                    std::memory_order_relaxed);
}

bool FlvConnection::connect(const Params& params, std::string* why) {
    close();
    m_params = params;
    auto attempt = std::make_shared<Attempt>();
    attempt->stop = m_stop;
    m_attempt = attempt;
    armDeadline();
    try {
        // Thread boundary: the helper gets its own copies and the shared attempt only.
        std::thread([attempt, params] { Attempt::open(attempt, params); }).detach();
    } catch (const std::system_error&) {
        *why = "cannot start a thread";
        m_attempt.reset();
        return false;
    }
    AVIOContext* io = nullptr;
    int result = 0;
    std::string error;
    {
        std::unique_lock guard(attempt->lock);
        while (!attempt->done) {
            if (m_stop->load()) {
                // Left behind: the helper closes what it may still open.
                attempt->abandoned = true;
                m_attempt.reset();
                *why = "stopped";
                return false;
            }
            attempt->finished.wait_for(guard, kStopLook);
        }
        io = attempt->io;
        attempt->io = nullptr;
        result = attempt->result;
        error = attempt->error;
    }
    if (result < 0 || !io) {
        if (io)
            av().avio_closep(&io);
        if (error.find("ertificate") != std::string::npos)
            *why = "the server's certificate is refused: " + error;
        else
            *why = errorText(result);
        m_attempt.reset();
        return false;
    }
    AVFormatContext* output = nullptr;
    result = av().avformat_alloc_output_context2(&output, nullptr, "flv", params.url.c_str());
    if (result < 0 || !output) {
        av().avio_closep(&io);
        *why = "no FLV muxer: " + errorText(result);
        m_attempt.reset();
        return false;
    }
    m_output.reset(output);
    output->pb = io;
    output->interrupt_callback = AVIOInterruptCB{&Attempt::interrupted, attempt.get()};
    output->flush_packets = 1; // every frame leaves at once: nothing waits in a buffer
    return true;
}

bool FlvConnection::writeHeader(const H264StreamInfo& info, std::string* why) {
    if (!m_output) {
        *why = "not connected";
        return false;
    }
    m_packet.reset(av().av_packet_alloc());
    AVStream* stream = av().avformat_new_stream(m_output.get(), nullptr);
    if (!m_packet || !stream) {
        *why = "out of memory";
        m_failed = true;
        return false;
    }
    AVCodecParameters& codec = *stream->codecpar;
    codec.codec_type = AVMEDIA_TYPE_VIDEO;
    codec.codec_id = AV_CODEC_ID_H264;
    codec.width = info.width;
    codec.height = info.height;
    codec.format = AV_PIX_FMT_YUV420P;
    // The muxer turns the Annex B parameter sets into FLV's decoder configuration, and the
    // pictures into length-prefixed units likewise. Freed with the stream.
    const std::size_t setsBytes = info.parameterSets.size();
    codec.extradata =
        static_cast<std::uint8_t*>(av().av_mallocz(setsBytes + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!codec.extradata) {
        *why = "out of memory";
        m_failed = true;
        return false;
    }
    if (setsBytes)
        std::memcpy(codec.extradata, info.parameterSets.data(), setsBytes);
    codec.extradata_size = int(setsBytes);
    stream->time_base = AVRational{1, 1000};
    AVDictionary* options = nullptr;
    // A live stream cannot seek back to write its duration and size.
    av().av_dict_set(&options, "flvflags", "no_duration_filesize", 0);
    armDeadline();
    const int result = av().avformat_write_header(m_output.get(), &options);
    av().av_dict_free(&options);
    if (result < 0) {
        *why = errorText(result);
        m_failed = true;
        return false;
    }
    m_headerWritten = true;
    return true;
}

bool FlvConnection::write(const std::uint8_t* data, std::size_t size, std::int64_t ms,
                          bool keyframe, std::string* why) {
    if (!m_output || !m_headerWritten || m_failed || !m_packet) {
        *why = "not connected";
        return false;
    }
    // A packet that only points at the caller's bytes (no reference counting): the muxer
    // copies what it keeps.
    AVPacket& packet = *m_packet;
    av().av_packet_unref(&packet);
    packet.data = const_cast<std::uint8_t*>(data);
    packet.size = int(size);
    packet.stream_index = 0;
    packet.flags = keyframe ? AV_PKT_FLAG_KEY : 0;
    AVStream* stream = m_output->streams[0];
    packet.pts = packet.dts = ms;
    av().av_packet_rescale_ts(&packet, AVRational{1, 1000}, stream->time_base);
    armDeadline();
    const int result = av().av_write_frame(m_output.get(), &packet);
    packet.data = nullptr;
    packet.size = 0;
    if (result < 0) {
        *why = errorText(result);
        m_failed = true;
        return false;
    }
    return true;
}

void FlvConnection::close() {
    if (m_output && m_headerWritten && !m_failed && !m_stop->load()) {
        armDeadline();
        av().av_write_trailer(m_output.get());
    }
    m_output.reset();
    m_packet.reset();
    m_attempt.reset();
    m_headerWritten = false;
    m_failed = false;
}
