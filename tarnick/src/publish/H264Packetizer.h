// H264Packetizer: H.264 NAL units as RTP packets, packetization mode 1 — a NAL unit that fits
// goes whole in one packet, a larger one in FU-A fragments — with the marker bit on the last
// packet of a picture. Allocates nothing per packet: every packet is built in one buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace rtp {

inline constexpr std::size_t kHeaderBytes = 12;
// Payload bytes per packet: with IP, UDP and the RTP header, and the SRTP and extension bytes a
// gateway adds when it forwards the packets to browsers, stays below a 1500-byte Ethernet MTU
// and common tunnels.
inline constexpr std::size_t kDefaultMaxPayload = 1200;
inline constexpr int kFuA = 28;

// The offset just after the next start code (00 00 01) at or after `from`, or `size` when there
// is none; `codeAt` receives where that start code begins (`size` when none).
std::size_t nextNalStart(const std::uint8_t* data, std::size_t size, std::size_t from,
                         std::size_t* codeAt);

// Calls `nal(data, size)` for each NAL unit of an Annex B byte stream (3- or 4-byte start
// codes), without its start code or trailing zero bytes. Bytes before the first start code are
// skipped; empty units are left out. A template so that a frame's walk allocates nothing.
template <class Visit>
void forEachNalUnit(const std::uint8_t* data, std::size_t size, Visit&& nal) {
    if (!data)
        return;
    std::size_t codeAt = 0;
    std::size_t start = nextNalStart(data, size, 0, &codeAt);
    while (start < size) {
        std::size_t nextCode = 0;
        const std::size_t next = nextNalStart(data, size, start, &nextCode);
        std::size_t end = nextCode;
        // A 4-byte start code's leading zero, and trailing zeros, belong to no unit.
        while (end > start && data[end - 1] == 0)
            --end;
        if (end > start)
            nal(data + start, end - start);
        start = next;
    }
}

class H264Packetizer {
public:
    // Takes each packet while it is valid (the packetizer's buffer); small callables only, so
    // that no call allocates.
    using Emit = std::function<void(const std::uint8_t* packet, std::size_t size)>;

    H264Packetizer(std::uint32_t ssrc, std::uint16_t firstSequence, int payloadType = 96,
                   std::size_t maxPayload = kDefaultMaxPayload);

    // Packets of one NAL unit (no start code) of the picture at `timestamp` (90 kHz);
    // `lastOfPicture` sets the marker on its last packet. Empty units send nothing.
    void packetize(const std::uint8_t* nal, std::size_t size, std::uint32_t timestamp,
                   bool lastOfPicture, const Emit& emit);

    std::uint32_t ssrc() const { return m_ssrc; }
    std::uint16_t nextSequence() const { return m_sequence; }

private:
    void emitPacket(const std::uint8_t* payloadHead, std::size_t headBytes,
                    const std::uint8_t* payload, std::size_t bytes, std::uint32_t timestamp,
                    bool marker, const Emit& emit);

    std::uint32_t m_ssrc;
    std::uint16_t m_sequence;
    int m_payloadType;
    std::size_t m_maxPayload;
    std::array<std::uint8_t, kHeaderBytes + 1500> m_packet{};
};

} // namespace rtp
