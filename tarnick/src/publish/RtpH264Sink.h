// RtpH264Sink: the encoded camera stream as RTP (H.264, packetization mode 1) over UDP to a
// WebRTC gateway's mountpoint, with RTCP sender reports beside it; keyframe requests (PLI,
// FIR) coming back to its socket are handed to the encoder through takeKeyframeRequest().
// UDP needs no session: the sink sends whether or not anybody listens, so a gateway that
// restarts simply receives again.
#pragma once

#include "publish/H264Packetizer.h"
#include "publish/H264Sink.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class RtpH264Sink final : public H264Sink {
public:
    // Where the packets go: rtp://HOST:PORT[?rtcpport=N]. HOST is a numeric IPv4 address or a
    // bracketed IPv6 one — never a name, so that no lookup can block the encoder or hang the
    // configuration; RTCP goes to PORT+1 unless rtcpport says otherwise.
    struct Target {
        sockaddr_storage rtp{};
        sockaddr_storage rtcp{};
        socklen_t length = 0;
    };
    static std::optional<Target> parseUrl(const std::string& url, std::string* why = nullptr);

    struct Stats {
        std::uint64_t packets = 0;          // RTP packets sent
        std::uint64_t sendFailures = 0;     // RTP or RTCP datagrams the socket did not take
        std::uint64_t reports = 0;          // RTCP sender reports sent
        std::uint64_t keyframeRequests = 0; // PLI/FIR datagrams from the receiver
        std::uint64_t refused = 0;          // datagrams from elsewhere, too long or malformed
    };

    RtpH264Sink();
    ~RtpH264Sink() override;
    RtpH264Sink(const RtpH264Sink&) = delete;
    RtpH264Sink& operator=(const RtpH264Sink&) = delete;

    // Opens the UDP socket for `url` (parseUrl). Before the stream begins and before any thread
    // may call takeKeyframeRequest(): the socket and the target are read without a lock after.
    bool open(const std::string& url, std::string* why = nullptr);

    void begin(const H264StreamInfo& info) override;
    void deliver(const H264AccessUnit& unit) override;
    void end() override;
    bool takeKeyframeRequest() override;

    Stats stats() const;
    std::uint32_t ssrc() const { return m_packetizer.ssrc(); }
    // The sink's own UDP port (RTP and RTCP leave from it, feedback arrives on it); 0 unopened.
    int localPort() const { return m_localPort; }

    // Time between sender reports (the first goes with the first picture).
    static constexpr std::int64_t kReportIntervalUs = 1000000;

private:
    void sendPicture(const H264AccessUnit& unit, std::uint32_t timestamp);
    void sendDatagram(const std::uint8_t* data, std::size_t size, const sockaddr_storage& to,
                      bool media);
    void sendReport(std::int64_t nowUs);
    std::uint32_t timestampAt(std::int64_t monotonicUs) const;
    // Reads what arrived on the socket (bounded, never waits). Any thread.
    void drainFeedback();
    bool fromReceiver(const sockaddr_storage& from) const;

    int m_socket = -1;
    int m_localPort = 0;
    Target m_target;
    rtp::H264Packetizer m_packetizer;
    const std::uint32_t m_timestampBase;
    // Encoder thread only (begin, deliver, end).
    bool m_streaming = false;
    std::vector<std::uint8_t> m_parameterSets;
    std::int64_t m_firstCaptureUs = -1;
    std::int64_t m_lastReportUs = 0;
    std::uint32_t m_octets = 0;
    // Any thread.
    std::atomic<bool> m_keyframeWanted{false};
    std::atomic<std::uint64_t> m_packets{0};
    std::atomic<std::uint64_t> m_sendFailures{0};
    std::atomic<std::uint64_t> m_reports{0};
    std::atomic<std::uint64_t> m_keyframeRequests{0};
    std::atomic<std::uint64_t> m_refused{0};
};
