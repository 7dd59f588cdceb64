// Publisher: the capture's H.264 outputs. One encoder (H264Encoder) encodes the camera once
// and feeds every output that is set: the RTMP(S) publication (RtmpSink, its own thread and
// queue, reconnecting when the network fails) and RTP to a WebRTC gateway (RtpH264Sink, UDP,
// keyframes on the gateway's request). A slow or absent receiver holds up neither the camera
// nor the other output.
#pragma once

#include "publish/H264Encoder.h"
#include "publish/RtmpSink.h"
#include "publish/RtpH264Sink.h"

#include <cstdint>
#include <memory>
#include <string>

struct PublishSettings {
    static constexpr int kDefaultBitrateKbps = 2500;
    static constexpr int kMinBitrateKbps = 100;
    static constexpr int kMaxBitrateKbps = 50000;
    static constexpr int kDefaultKeyframeSeconds = 1;
    static constexpr int kMinKeyframeSeconds = 1;
    static constexpr int kMaxKeyframeSeconds = 10;

    std::string url; // rtmp:// or rtmps://; empty: no RTMP publication
    int bitrateKbps = kDefaultBitrateKbps;
    int keyframeSeconds = kDefaultKeyframeSeconds;
    // rtmps://: a PEM file of the authorities to trust instead of the system's (a self-signed
    // ingest); empty: the system's trust store.
    std::string caFile;
    // rtp://HOST:PORT of a WebRTC gateway's mountpoint; empty: no RTP output.
    std::string rtpUrl;
};

class Publisher {
public:
    using State = RtmpSink::State;

    Publisher() = default;
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Window thread. Starts the outputs the settings name for frames of this format
    // (bottom-up rows, 24 or 32 bits); a running publisher is stopped first. False, with one
    // line on standard error, when a URL is set but unusable, none is set, or the format
    // cannot be encoded.
    bool start(const PublishSettings& settings, int width, int height, int bitCount,
               int framesPerSecond);
    // Window thread. Stops at once, even while the network hangs or a host name is being
    // looked up (that lookup is left to end by itself); a no-op when stopped.
    void stop();

    // The frame's thread (the camera's). One frame of the format given to start(), with its
    // capture time taken now; frames of another format are refused. Never waits, never
    // allocates: the frame is copied into a free slot, or dropped and counted.
    void pushFrame(const unsigned char* rows, int width, int height, int bitCount);
    // The same with a given capture time (monotonic microseconds).
    void pushFrame(const unsigned char* rows, int width, int height, int bitCount,
                   std::int64_t captureUs);

    // Any thread. The RTMP publication's state (Off when none is set).
    State state() const { return m_rtmp.state(); }
    bool running() const { return m_encoder.running(); }
    // The server published to, as host[:port] (for "waiting for …").
    std::string target() const;
    // Frames and pictures lost because the encoder or the RTMP network was behind.
    long droppedFrames() const { return m_encoder.droppedFrames() + m_rtmp.droppedPictures(); }
    // Pictures written to the RTMP server when it is set, else encoded (since start()).
    long sentFrames() const;
    long encodedFrames() const { return m_encoder.encodedFrames(); }
    // RTMP sessions opened (the first one and every reconnection), since start().
    long sessions() const { return m_rtmp.sessions(); }
    // The encoder in use ("libx264").
    std::string encoderName() const { return m_encoder.encoderName(); }
    // Encoders opened since start(): one for every output together, none while no output
    // wants pictures (RTMP not connected and no RTP output).
    long encodersOpened() const { return m_encoder.encodersOpened(); }
    long keyframesForced() const { return m_encoder.keyframesForced(); }
    // Memory the frame and picture queues hold now: none while no output wants pictures.
    std::size_t queueBytes() const { return m_encoder.queueBytes() + m_rtmp.queueBytes(); }
    // The RTP output's counters (all zero when it is not set).
    RtpH264Sink::Stats rtpStats() const;

    // Tests: the pause after the first failure, the longest pause, and how long one network
    // step may block. Window thread, before start().
    void setTiming(int firstRetryMs, int lastRetryMs, int ioTimeoutMs);
    // Tests: how long a session must deliver before a failure is paused after briefly again,
    // and the age at which a session is renewed. Window thread, before start().
    void setSessionTiming(int steadyAfterMs, std::int64_t renewAfterMs);

    // The URL as shown in the journal: the stream key (the last path element, and any query)
    // is cut to its first characters, and credentials are left out.
    static std::string displayUrl(const std::string& url) { return RtmpSink::displayUrl(url); }
    static std::string hostOf(const std::string& url) { return RtmpSink::hostOf(url); }
    // True for an rtmp:// or rtmps:// URL with a host.
    static bool isPublishUrl(const std::string& url) { return RtmpSink::isUrl(url); }
    // True for an rtp:// URL the RTP output can send to (numeric address and port).
    static bool isRtpUrl(const std::string& url, std::string* why = nullptr);
    static std::int64_t nowUs();

private:
    PublishSettings m_settings;
    RtmpSink::Params m_rtmpParams;
    // Declared before the encoder: the sinks outlive it (it is stopped first).
    RtmpSink m_rtmp;
    std::unique_ptr<RtpH264Sink> m_rtp;
    H264Encoder m_encoder;
};
