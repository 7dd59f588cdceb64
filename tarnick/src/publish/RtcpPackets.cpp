#include "publish/RtcpPackets.h"

#include <cstring>
#include <ctime>

namespace rtcp {

namespace {

std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

void write32(std::uint8_t* p, std::uint32_t value) {
    p[0] = std::uint8_t(value >> 24);
    p[1] = std::uint8_t(value >> 16);
    p[2] = std::uint8_t(value >> 8);
    p[3] = std::uint8_t(value);
}

// True when the payload-specific feedback packet `p` of `bytes` (padding removed) asks this
// sender for a keyframe.
bool asksForKeyframe(const std::uint8_t* p, std::size_t bytes, int format, std::uint32_t ssrc) {
    if (format == kPictureLoss)
        return read32(p + 8) == ssrc;
    // FIR: one 8-byte entry (SSRC, sequence number, reserved) per sender asked.
    for (std::size_t at = 12; at + 8 <= bytes; at += 8)
        if (read32(p + at) == ssrc)
            return true;
    return false;
}

} // namespace

Feedback parse(const std::uint8_t* data, std::size_t size, std::uint32_t ssrc) {
    Feedback result;
    if (!data || size < 4 || size > kMaxDatagram)
        return result;
    bool keyframe = false;
    for (std::size_t at = 0; at < size;) {
        const std::size_t left = size - at;
        if (left < 4)
            return result;
        const std::uint8_t* p = data + at;
        if ((p[0] >> 6) != 2)
            return result;
        const std::size_t bytes = (std::size_t(p[2]) << 8 | p[3]) * 4 + 4;
        if (bytes > left)
            return result;
        std::size_t content = bytes;
        if (p[0] & 0x20) {
            // Padding: only the last packet of a datagram may carry it; its last byte counts it.
            const std::size_t padding = p[bytes - 1];
            if (at + bytes != size || padding == 0 || padding > bytes - 4)
                return result;
            content -= padding;
        }
        const int type = p[1];
        const int format = p[0] & 0x1f;
        if (type == kPayloadFeedback && (format == kPictureLoss || format == kFullIntraRequest)) {
            // Header, sender SSRC, media SSRC; a FIR has at least one entry and whole entries.
            if (content < 12)
                return result;
            if (format == kFullIntraRequest && (content < 20 || (content - 12) % 8 != 0))
                return result;
            keyframe = keyframe || asksForKeyframe(p, content, format, ssrc);
        }
        at += bytes;
    }
    result.wellFormed = true;
    result.keyframeWanted = keyframe;
    return result;
}

std::size_t writeSenderReport(std::uint8_t* out, std::size_t capacity, const SenderInfo& info,
                              std::string_view cname) {
    if (!out || cname.size() > 255)
        return 0;
    // SDES: header, SSRC, CNAME item (type, length, text), end item, padded to 32 bits.
    const std::size_t sdesBytes = (8 + 2 + cname.size() + 1 + 3) / 4 * 4;
    const std::size_t total = 28 + sdesBytes;
    if (capacity < total)
        return 0;
    std::memset(out, 0, total);
    out[0] = 0x80; // version 2, no report blocks
    out[1] = kSenderReport;
    out[3] = 6; // 28 bytes
    write32(out + 4, info.ssrc);
    write32(out + 8, std::uint32_t(info.ntpTime >> 32));
    write32(out + 12, std::uint32_t(info.ntpTime));
    write32(out + 16, info.rtpTime);
    write32(out + 20, info.packets);
    write32(out + 24, info.octets);
    std::uint8_t* s = out + 28;
    s[0] = 0x81; // version 2, one chunk
    s[1] = kSourceDescription;
    s[2] = std::uint8_t((sdesBytes / 4 - 1) >> 8);
    s[3] = std::uint8_t(sdesBytes / 4 - 1);
    write32(s + 4, info.ssrc);
    s[8] = 1; // CNAME
    s[9] = std::uint8_t(cname.size());
    if (!cname.empty())
        std::memcpy(s + 10, cname.data(), cname.size());
    // The zero bytes after the text end the item list and pad the chunk.
    return total;
}

std::uint64_t ntpNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    constexpr std::uint64_t kUnixToNtp = 2208988800u; // seconds from 1900 to 1970
    const std::uint64_t seconds = std::uint64_t(now.tv_sec) + kUnixToNtp;
    const std::uint64_t fraction = (std::uint64_t(now.tv_nsec) << 32) / 1000000000u;
    return seconds << 32 | fraction;
}

} // namespace rtcp
