#include "publish/RtpH264Sink.h"

#include "publish/RtcpPackets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <random>

namespace {

constexpr int kPayloadType = 96;
constexpr int kMaxFeedbackPerDrain = 32; // bounds the work one call does for a flood
constexpr int kNalSps = 7;
constexpr int kSendBufferBytes = 1 << 20; // a 720p keyframe's packets leave in one burst

std::uint32_t randomWord() {
    std::random_device device;
    return std::uint32_t(device());
}

std::int64_t monotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

bool fail(std::string* why, const std::string& text) {
    if (why)
        *why = text;
    return false;
}

bool parsePort(std::string_view text, int* port) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535)
        return false;
    *port = value;
    return true;
}

bool sameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& b6 = reinterpret_cast<const sockaddr_in6&>(b);
    return std::memcmp(&a6.sin6_addr, &b6.sin6_addr, sizeof a6.sin6_addr) == 0;
}

int portOf(const sockaddr_storage& a) {
    return a.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port)
                                  : ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
}

} // namespace

std::optional<RtpH264Sink::Target> RtpH264Sink::parseUrl(const std::string& url, std::string* why) {
    constexpr std::string_view scheme = "rtp://";
    if (url.size() <= scheme.size() || url.size() > 256 ||
        strncasecmp(url.c_str(), scheme.data(), scheme.size()) != 0) {
        fail(why, "not an rtp:// URL");
        return std::nullopt;
    }
    std::string_view rest(url);
    rest.remove_prefix(scheme.size());
    std::string_view query;
    if (const auto mark = rest.find('?'); mark != std::string_view::npos) {
        query = rest.substr(mark + 1);
        rest = rest.substr(0, mark);
    }
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string host;
    std::string_view portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            fail(why, "an IPv6 address needs brackets and a port: rtp://[ADDRESS]:PORT");
            return std::nullopt;
        }
        host = std::string(rest.substr(1, close - 1));
        portText = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            fail(why, "the URL needs a port: rtp://HOST:PORT");
            return std::nullopt;
        }
        host = std::string(rest.substr(0, colon));
        portText = rest.substr(colon + 1);
    }
    int port = 0;
    if (!parsePort(portText, &port)) {
        fail(why, "the port must be a number from 1 to 65535");
        return std::nullopt;
    }
    int rtcpPort = port == 65535 ? 0 : port + 1;
    if (!query.empty()) {
        constexpr std::string_view option = "rtcpport=";
        if (query.substr(0, option.size()) != option ||
            !parsePort(query.substr(option.size()), &rtcpPort)) {
            fail(why, "the only option is rtcpport=PORT");
            return std::nullopt;
        }
    }
    if (rtcpPort == 0) {
        fail(why, "no port left for RTCP: give rtcpport=PORT");
        return std::nullopt;
    }
    Target target;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&target.rtp);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&target.rtp);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(std::uint16_t(port));
        target.length = sizeof(sockaddr_in);
        target.rtcp = target.rtp;
        reinterpret_cast<sockaddr_in*>(&target.rtcp)->sin_port = htons(std::uint16_t(rtcpPort));
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(std::uint16_t(port));
        target.length = sizeof(sockaddr_in6);
        target.rtcp = target.rtp;
        reinterpret_cast<sockaddr_in6*>(&target.rtcp)->sin6_port = htons(std::uint16_t(rtcpPort));
    } else {
        fail(why, "the host must be a numeric IP address (names are not looked up)");
        return std::nullopt;
    }
    return target;
}

RtpH264Sink::RtpH264Sink()
    : m_packetizer(randomWord(), std::uint16_t(randomWord()), kPayloadType),
      m_timestampBase(randomWord()) {}

RtpH264Sink::~RtpH264Sink() {
    if (m_socket >= 0)
        ::close(m_socket);
}

bool RtpH264Sink::open(const std::string& url, std::string* why) {
    const auto target = parseUrl(url, why);
    if (!target)
        return false;
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
        m_localPort = 0;
    }
    const int family = target->rtp.ss_family;
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(why, std::string("no UDP socket: ") + std::strerror(errno));
    const int bufferBytes = kSendBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    // Bound now, so that feedback can arrive before the first packet leaves.
    sockaddr_storage local{};
    local.ss_family = sa_family_t(family);
    socklen_t length = target->length;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ::close(fd);
        return fail(why, std::string("no local UDP port: ") + std::strerror(errno));
    }
    m_socket = fd;
    m_localPort = portOf(local);
    m_target = *target;
    return true;
}

void RtpH264Sink::begin(const H264StreamInfo& info) {
    m_parameterSets = info.parameterSets;
    m_streaming = true;
}

void RtpH264Sink::end() {
    m_streaming = false;
}

void RtpH264Sink::deliver(const H264AccessUnit& unit) {
    drainFeedback();
    if (!m_streaming || m_socket < 0 || !unit.data || unit.size == 0)
        return;
    if (m_firstCaptureUs < 0)
        m_firstCaptureUs = unit.captureUs;
    sendPicture(unit, timestampAt(unit.captureUs));
    const std::int64_t now = monotonicUs();
    if (m_reports.load(std::memory_order_relaxed) == 0 || now - m_lastReportUs >= kReportIntervalUs)
        sendReport(now);
}

void RtpH264Sink::sendPicture(const H264AccessUnit& unit, std::uint32_t timestamp) {
    const auto send = [this](const std::uint8_t* packet, std::size_t size) {
        sendDatagram(packet, size, m_target.rtp, true);
    };
    if (unit.keyframe) {
        // The encoder keeps SPS and PPS out of band: a receiver starting at this keyframe needs
        // them in front of it, unless the picture carries them itself.
        bool inBand = false;
        rtp::forEachNalUnit(unit.data, unit.size, [&inBand](const std::uint8_t* nal, std::size_t) {
            inBand = inBand || (nal[0] & 0x1f) == kNalSps;
        });
        if (!inBand)
            rtp::forEachNalUnit(m_parameterSets.data(), m_parameterSets.size(),
                                [&](const std::uint8_t* nal, std::size_t size) {
                                    m_packetizer.packetize(nal, size, timestamp, false, send);
                                });
    }
    // Each unit goes out when the next is found, so the last one carries the marker.
    const std::uint8_t* pending = nullptr;
    std::size_t pendingSize = 0;
    rtp::forEachNalUnit(unit.data, unit.size, [&](const std::uint8_t* nal, std::size_t size) {
        if (pending)
            m_packetizer.packetize(pending, pendingSize, timestamp, false, send);
        pending = nal;
        pendingSize = size;
    });
    if (pending)
        m_packetizer.packetize(pending, pendingSize, timestamp, true, send);
}

void RtpH264Sink::sendDatagram(const std::uint8_t* data, std::size_t size,
                               const sockaddr_storage& to, bool media) {
    const ssize_t sent = ::sendto(m_socket, data, size, MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&to), m_target.length);
    if (sent != ssize_t(size)) {
        // Full socket buffer, no route, a receiver's ICMP error: the packet is lost, as UDP
        // packets may be; the stream goes on.
        m_sendFailures.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (media) {
        m_packets.fetch_add(1, std::memory_order_relaxed);
        m_octets += std::uint32_t(size - rtp::kHeaderBytes);
    }
}

void RtpH264Sink::sendReport(std::int64_t nowUs) {
    std::array<std::uint8_t, 128> report{};
    rtcp::SenderInfo info;
    info.ssrc = ssrc();
    info.ntpTime = rtcp::ntpNow();
    info.rtpTime = timestampAt(nowUs);
    info.packets = std::uint32_t(m_packets.load(std::memory_order_relaxed));
    info.octets = m_octets;
    const std::size_t size = rtcp::writeSenderReport(report.data(), report.size(), info, "tarnick");
    m_lastReportUs = nowUs;
    m_reports.fetch_add(1, std::memory_order_relaxed);
    // Sent from the RTP socket: the gateway answers with its keyframe requests to the address
    // its reports come from.
    sendDatagram(report.data(), size, m_target.rtcp, false);
}

std::uint32_t RtpH264Sink::timestampAt(std::int64_t monotonicUs) const {
    // 90 kHz from the capture clock, rounded; wraps as RTP timestamps do.
    const std::int64_t elapsedUs = m_firstCaptureUs < 0 ? 0 : monotonicUs - m_firstCaptureUs;
    return m_timestampBase + std::uint32_t(std::uint64_t((elapsedUs * 9 + 50) / 100));
}

bool RtpH264Sink::takeKeyframeRequest() {
    drainFeedback();
    return m_keyframeWanted.exchange(false);
}

bool RtpH264Sink::fromReceiver(const sockaddr_storage& from) const {
    return sameHost(from, m_target.rtcp) && portOf(from) == portOf(m_target.rtcp);
}

void RtpH264Sink::drainFeedback() {
    if (m_socket < 0)
        return;
    std::array<std::uint8_t, rtcp::kMaxDatagram> buffer;
    for (int i = 0; i < kMaxFeedbackPerDrain; ++i) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got =
            ::recvfrom(m_socket, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return; // nothing more (or an ICMP error reported on the socket: nothing to read)
        }
        // MSG_TRUNC: `got` is the datagram's real length, longer ones are refused.
        if (std::size_t(got) > buffer.size() || !fromReceiver(from)) {
            m_refused.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const rtcp::Feedback feedback = rtcp::parse(buffer.data(), std::size_t(got), ssrc());
        if (!feedback.wellFormed) {
            m_refused.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (feedback.keyframeWanted) {
            m_keyframeRequests.fetch_add(1, std::memory_order_relaxed);
            m_keyframeWanted.store(true);
        }
    }
}

RtpH264Sink::Stats RtpH264Sink::stats() const {
    Stats stats;
    stats.packets = m_packets.load();
    stats.sendFailures = m_sendFailures.load();
    stats.reports = m_reports.load();
    stats.keyframeRequests = m_keyframeRequests.load();
    stats.refused = m_refused.load();
    return stats;
}
