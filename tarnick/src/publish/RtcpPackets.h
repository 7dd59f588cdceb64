// RTCP for an RTP sender: its sender reports (with the CNAME every report must carry), and
// the keyframe requests a receiver sends back — Picture Loss Indication (PSFB, FMT 1) and Full
// Intra Request (PSFB, FMT 4). Datagrams from the network are untrusted: every length is
// checked before it is read, and a datagram with any malformed packet is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rtcp {

inline constexpr int kSenderReport = 200;
inline constexpr int kSourceDescription = 202;
inline constexpr int kPayloadFeedback = 206;
inline constexpr int kPictureLoss = 1;
inline constexpr int kFullIntraRequest = 4;
// Longest datagram looked at; anything longer is not a report this sender needs.
inline constexpr std::size_t kMaxDatagram = 1500;

struct Feedback {
    bool wellFormed = false;     // every packet of the datagram parsed
    bool keyframeWanted = false; // a PLI or FIR for this sender's stream
};

// Reads one datagram of (compound or reduced-size) RTCP addressed to the sender of `ssrc`.
Feedback parse(const std::uint8_t* data, std::size_t size, std::uint32_t ssrc);

struct SenderInfo {
    std::uint32_t ssrc = 0;
    std::uint64_t ntpTime = 0; // NTP format: seconds since 1900 << 32 | fraction
    std::uint32_t rtpTime = 0; // the same instant on the stream's 90 kHz clock
    std::uint32_t packets = 0;
    std::uint32_t octets = 0; // payload bytes
};

// A compound report (SR without report blocks, then SDES with the CNAME) into `out`; its size,
// or 0 when it does not fit in `capacity` or the CNAME is longer than 255 bytes.
std::size_t writeSenderReport(std::uint8_t* out, std::size_t capacity, const SenderInfo& info,
                              std::string_view cname);

// The wall clock now in NTP format.
std::uint64_t ntpNow();

} // namespace rtcp
