// Publisher: starts the encoder with the sinks the settings name, and stops them.
#include "publish/Publisher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

std::int64_t Publisher::nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

Publisher::~Publisher() {
    stop();
}

bool Publisher::isRtpUrl(const std::string& url, std::string* why) {
    return RtpH264Sink::parseUrl(url, why).has_value();
}

std::string Publisher::target() const {
    return hostOf(m_settings.url);
}

long Publisher::sentFrames() const {
    return m_settings.url.empty() ? m_encoder.encodedFrames() : m_rtmp.sentPictures();
}

RtpH264Sink::Stats Publisher::rtpStats() const {
    return m_rtp ? m_rtp->stats() : RtpH264Sink::Stats{};
}

void Publisher::setTiming(int firstRetryMs, int lastRetryMs, int ioTimeoutMs) {
    m_rtmpParams.firstRetryMs = firstRetryMs;
    m_rtmpParams.lastRetryMs = lastRetryMs;
    m_rtmpParams.ioTimeoutMs = ioTimeoutMs;
}

void Publisher::setSessionTiming(int steadyAfterMs, std::int64_t renewAfterMs) {
    m_rtmpParams.steadyAfterMs = steadyAfterMs;
    m_rtmpParams.renewAfterMs = renewAfterMs;
}

bool Publisher::start(const PublishSettings& settings, int width, int height, int bitCount,
                      int framesPerSecond) {
    stop();
    const auto refuse = [](const std::string& line) {
        std::fprintf(stderr, "tarnick: %s\n", line.c_str());
        std::fflush(stderr);
        return false;
    };
    if (settings.url.empty() && settings.rtpUrl.empty())
        return refuse("nothing to publish to");
    if (!settings.url.empty() && !isPublishUrl(settings.url))
        return refuse("cannot publish to \"" + displayUrl(settings.url) +
                      "\": not an rtmp:// or rtmps:// URL");
    std::unique_ptr<RtpH264Sink> rtp;
    if (!settings.rtpUrl.empty()) {
        rtp = std::make_unique<RtpH264Sink>();
        std::string why;
        if (!rtp->open(settings.rtpUrl, &why))
            return refuse("cannot send RTP to \"" + settings.rtpUrl + "\": " + why);
    }
    if (width < 2 || height < 2 || (bitCount != 24 && bitCount != 32))
        return refuse("cannot publish " + std::to_string(width) + "x" + std::to_string(height) +
                      " pictures of " + std::to_string(bitCount) + " bits");
    m_settings = settings;
    m_settings.bitrateKbps = std::clamp(settings.bitrateKbps, PublishSettings::kMinBitrateKbps,
                                        PublishSettings::kMaxBitrateKbps);
    m_settings.keyframeSeconds =
        std::clamp(settings.keyframeSeconds, PublishSettings::kMinKeyframeSeconds,
                   PublishSettings::kMaxKeyframeSeconds);
    m_rtp = std::move(rtp);

    std::vector<H264Sink*> sinks;
    if (!m_settings.url.empty())
        sinks.push_back(&m_rtmp);
    if (m_rtp)
        sinks.push_back(m_rtp.get());
    H264Encoder::Params params;
    params.width = width;
    params.height = height;
    params.bitCount = bitCount;
    params.framesPerSecond = std::clamp(framesPerSecond, 1, 240);
    params.bitrateKbps = m_settings.bitrateKbps;
    params.keyframeSeconds = m_settings.keyframeSeconds;
    if (!m_encoder.start(params, sinks))
        return false;
    if (!m_settings.url.empty()) {
        RtmpSink::Params rtmp = m_rtmpParams;
        rtmp.url = m_settings.url;
        rtmp.caFile = m_settings.caFile;
        // Thread boundary: called on the sink's thread; the encoder's wake() is thread-safe.
        m_rtmp.start(rtmp, [this] { m_encoder.wake(); });
    }
    return true;
}

void Publisher::stop() {
    // The sinks first: the RTMP thread lets go of its network at once; then the encoder,
    // which ends the stream for every sink.
    m_rtmp.stop();
    m_encoder.stop();
    m_rtp.reset();
}

void Publisher::pushFrame(const unsigned char* rows, int width, int height, int bitCount) {
    if (!m_encoder.accepting())
        return;
    m_encoder.pushFrame(rows, width, height, bitCount, nowUs());
}

void Publisher::pushFrame(const unsigned char* rows, int width, int height, int bitCount,
                          std::int64_t captureUs) {
    m_encoder.pushFrame(rows, width, height, bitCount, captureUs);
}
