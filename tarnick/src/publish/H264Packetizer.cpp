#include "publish/H264Packetizer.h"

#include <algorithm>
#include <cstring>

namespace rtp {

std::size_t nextNalStart(const std::uint8_t* data, std::size_t size, std::size_t from,
                         std::size_t* codeAt) {
    for (std::size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            *codeAt = i;
            return i + 3;
        }
    }
    *codeAt = size;
    return size;
}

H264Packetizer::H264Packetizer(std::uint32_t ssrc, std::uint16_t firstSequence, int payloadType,
                               std::size_t maxPayload)
    : m_ssrc(ssrc), m_sequence(firstSequence), m_payloadType(payloadType & 0x7f),
      m_maxPayload(std::clamp<std::size_t>(maxPayload, 16, 1500)) {}

void H264Packetizer::packetize(const std::uint8_t* nal, std::size_t size, std::uint32_t timestamp,
                               bool lastOfPicture, const Emit& emit) {
    if (!nal || size == 0)
        return;
    if (size <= m_maxPayload) {
        emitPacket(nullptr, 0, nal, size, timestamp, lastOfPicture, emit);
        return;
    }
    // FU-A: the unit's header becomes the indicator (its F and NRI bits, type 28) and the
    // fragment header (S, E, the unit's type); its payload is cut after the header byte.
    const std::uint8_t indicator = std::uint8_t((nal[0] & 0xe0) | kFuA);
    const std::uint8_t type = nal[0] & 0x1f;
    const std::size_t chunk = m_maxPayload - 2;
    for (std::size_t at = 1; at < size;) {
        const std::size_t bytes = std::min(chunk, size - at);
        const bool first = at == 1;
        const bool last = at + bytes == size;
        const std::uint8_t head[2] = {indicator,
                                      std::uint8_t((first ? 0x80 : 0) | (last ? 0x40 : 0) | type)};
        emitPacket(head, 2, nal + at, bytes, timestamp, last && lastOfPicture, emit);
        at += bytes;
    }
}

void H264Packetizer::emitPacket(const std::uint8_t* payloadHead, std::size_t headBytes,
                                const std::uint8_t* payload, std::size_t bytes,
                                std::uint32_t timestamp, bool marker, const Emit& emit) {
    std::uint8_t* p = m_packet.data();
    p[0] = 0x80; // version 2, no padding, no extension, no CSRC
    p[1] = std::uint8_t((marker ? 0x80 : 0) | m_payloadType);
    p[2] = std::uint8_t(m_sequence >> 8);
    p[3] = std::uint8_t(m_sequence);
    p[4] = std::uint8_t(timestamp >> 24);
    p[5] = std::uint8_t(timestamp >> 16);
    p[6] = std::uint8_t(timestamp >> 8);
    p[7] = std::uint8_t(timestamp);
    p[8] = std::uint8_t(m_ssrc >> 24);
    p[9] = std::uint8_t(m_ssrc >> 16);
    p[10] = std::uint8_t(m_ssrc >> 8);
    p[11] = std::uint8_t(m_ssrc);
    if (headBytes)
        std::memcpy(p + kHeaderBytes, payloadHead, headBytes);
    std::memcpy(p + kHeaderBytes + headBytes, payload, bytes);
    ++m_sequence;
    emit(p, kHeaderBytes + headBytes + bytes);
}

} // namespace rtp
