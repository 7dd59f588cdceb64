// H264Sender: one publishing session — bottom-up RGB frames converted to I420 and encoded to
// H.264 (the encoder part, here), sent as FLV to an RTMP(S) server (FlvConnection).
#pragma once

#include "FlvConnection.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class H264Sender {
public:
    struct Params {
        std::string url;
        int width = 0;
        int height = 0;
        int bitCount = 24; // 24 (B,G,R) or 32 (B,G,R,x), bottom-up rows padded to 4 bytes
        int framesPerSecond = 30;
        int bitrateKbps = 2500;
        int keyframeSeconds = 1;
        int ioTimeoutMs = 5000; // longest any one network step may block
        std::string caFile;     // rtmps:// trusted authorities instead of the system's
    };

    // `stop` ends every blocking network step at once when it becomes true.
    explicit H264Sender(std::shared_ptr<const std::atomic<bool>> stop);
    ~H264Sender();
    H264Sender(const H264Sender&) = delete;
    H264Sender& operator=(const H264Sender&) = delete;

    // Connects, then opens the encoder (none is built while the server cannot be reached) and
    // sends the stream's header. False, with the reason in `why`, when any of it fails; the
    // session is then closed.
    bool open(const Params& params, std::string* why);
    // Converts, encodes and sends one frame of the opened format; false (with `why`) when the
    // connection failed. Timestamps are milliseconds since the session's first frame.
    bool send(const unsigned char* rows, std::int64_t captureUs, std::string* why);
    // Ends the stream (its trailer, when the connection still works) and frees everything.
    void close();

    // The encoder in use ("libx264"), empty before open().
    const std::string& encoderName() const { return m_encoderName; }
    // Encoders opened so far by this sender (one per session that connected).
    long encodersOpened() const { return m_encodersOpened; }
    // Row stride of the frames this session takes.
    static int strideOf(int width, int bitCount) { return ((width * bitCount + 31) / 32) * 4; }
    // True when the URL names an RTMP or RTMPS server (the only outputs published to).
    static bool isPublishUrl(const std::string& url);

private:
    struct Deleters {
        void operator()(AVCodecContext* context) const;
        void operator()(AVFrame* frame) const;
        void operator()(AVPacket* packet) const;
    };
    bool openEncoder(std::string* why);
    // Opens one encoder with the stream's settings; false (and why) when it does not open.
    bool tryEncoder(const AVCodec* codec, std::string* why);
    bool writePackets(std::string* why);
    // A hardware encoder that failed before its first packet is not tried again.
    bool encoderFailed(const std::string& what, std::string* why);

    FlvConnection m_connection;
    Params m_params;
    std::string m_encoderName;
    std::unique_ptr<AVCodecContext, Deleters> m_encoder;
    std::unique_ptr<AVFrame, Deleters> m_picture;
    std::unique_ptr<AVPacket, Deleters> m_packet;
    bool m_failed = false;
    bool m_hardwareUnusable = false; // for the life of the sender, across sessions
    bool m_hardware = false;         // the session's encoder is the hardware one
    long m_packetsOut = 0;
    long m_encodersOpened = 0;
    std::int64_t m_firstCaptureUs = -1;
    std::int64_t m_lastPts = -1;
};
