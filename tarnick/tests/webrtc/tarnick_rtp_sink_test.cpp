// The camera's H.264 as RTP for a WebRTC gateway: the packetizer and the RTCP reader on their
// own, the sink against loopback sockets standing in for the gateway, and the whole path with a
// real Janus and a real headless Chromium reading the test pattern's strip from the pictures.
#include "ChromiumPage.h"
#include "JanusProcess.h"
#include "PacedCamera.h"
#include "PatternEncoder.h"
#include "heap_counter.h"
#include "loopback.h"

#include "publish/H264Packetizer.h"
#include "publish/RtcpPackets.h"
#include "publish/RtpH264Sink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

using testsupport::PacedCamera;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

struct Packet {
    Bytes bytes;
    bool marker() const { return bytes[1] & 0x80; }
    int payloadType() const { return bytes[1] & 0x7f; }
    std::uint16_t sequence() const { return std::uint16_t(bytes[2] << 8 | bytes[3]); }
    std::uint32_t timestamp() const { return read32(&bytes[4]); }
    std::uint32_t ssrc() const { return read32(&bytes[8]); }
    const std::uint8_t* payload() const { return bytes.data() + 12; }
    std::size_t payloadSize() const { return bytes.size() - 12; }
};

// Reassembles NAL units from packets (single units and FU-A), checking the fragment flags.
std::vector<Bytes> nalUnitsOf(const std::vector<Packet>& packets) {
    std::vector<Bytes> units;
    bool inFragment = false;
    for (const Packet& packet : packets) {
        const std::uint8_t* p = packet.payload();
        if ((p[0] & 0x1f) != rtp::kFuA) {
            EXPECT_FALSE(inFragment) << "a single unit inside a fragmented one";
            units.emplace_back(p, p + packet.payloadSize());
            continue;
        }
        const bool start = p[1] & 0x80, end = p[1] & 0x40;
        EXPECT_EQ(start, !inFragment)
            << "start flag where a fragment " << (inFragment ? "goes on" : "begins");
        if (start)
            units.push_back({std::uint8_t((p[0] & 0xe0) | (p[1] & 0x1f))});
        units.back().insert(units.back().end(), p + 2, p + packet.payloadSize());
        inFragment = !end;
    }
    EXPECT_FALSE(inFragment) << "the last fragment has no end flag";
    return units;
}

Bytes nal(std::uint8_t header, std::size_t size, std::uint8_t seed) {
    Bytes unit(size);
    unit[0] = header;
    for (std::size_t i = 1; i < size; ++i)
        unit[i] = std::uint8_t(seed + i * 7 + 1) | 0x01; // no accidental start codes
    return unit;
}

Bytes annexB(const std::vector<Bytes>& units) {
    Bytes stream;
    for (std::size_t i = 0; i < units.size(); ++i) {
        // Both start code lengths appear.
        if (i % 2 == 0)
            stream.push_back(0);
        stream.insert(stream.end(), {0, 0, 1});
        stream.insert(stream.end(), units[i].begin(), units[i].end());
    }
    return stream;
}

TEST(H264Packetizer, AnnexBStreamsSplitIntoTheirUnitsWhateverTheStartCodes) {
    const std::vector<Bytes> units = {nal(0x67, 9, 1), nal(0x68, 4, 2), nal(0x65, 300, 3)};
    Bytes stream = annexB(units);
    stream.insert(stream.begin(), {0x09, 0x10}); // junk before the first start code
    stream.insert(stream.end(), {0, 0});         // trailing zeros
    std::vector<Bytes> found;
    rtp::forEachNalUnit(stream.data(), stream.size(), [&](const std::uint8_t* p, std::size_t n) {
        found.emplace_back(p, p + n);
    });
    EXPECT_EQ(found, units);

    found.clear();
    const Bytes empty = {0, 0, 1, 0, 0, 0, 1};
    rtp::forEachNalUnit(empty.data(), empty.size(), [&](const std::uint8_t* p, std::size_t n) {
        found.emplace_back(p, p + n);
    });
    EXPECT_TRUE(found.empty());
    rtp::forEachNalUnit(nullptr, 10, [&](const std::uint8_t*, std::size_t) { FAIL(); });
}

TEST(H264Packetizer, LargeUnitsGoAsFuAFragmentsThatReassembleWithinTheMtu) {
    rtp::H264Packetizer packetizer(0xdeadbeef, 65534, 96, 1200);
    const std::vector<Bytes> units = {nal(0x06, 20, 4), nal(0x65, 1200, 5), nal(0x65, 1201, 6),
                                      nal(0x41, 5000, 7)};
    std::vector<Packet> packets;
    for (std::size_t i = 0; i < units.size(); ++i)
        packetizer.packetize(
            units[i].data(), units[i].size(), 123456, i + 1 == units.size(),
            [&](const std::uint8_t* p, std::size_t n) { packets.push_back({Bytes(p, p + n)}); });
    // 1 + 1 + 2 + ceil(4999 / 1198) = 9 packets
    ASSERT_EQ(packets.size(), 9u);
    EXPECT_EQ(nalUnitsOf(packets), units);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const Packet& packet = packets[i];
        EXPECT_LE(packet.bytes.size(), 12u + 1200u);
        EXPECT_EQ(packet.bytes[0], 0x80);
        EXPECT_EQ(packet.payloadType(), 96);
        EXPECT_EQ(packet.ssrc(), 0xdeadbeefu);
        EXPECT_EQ(packet.timestamp(), 123456u);
        EXPECT_EQ(packet.sequence(), std::uint16_t(65534 + i)) << "sequence wraps after 65535";
        EXPECT_EQ(packet.marker(), i + 1 == packets.size()) << "packet " << i;
    }
    // FU-A indicator keeps the unit's NRI bits (0x60 of 0x65, 0x40 of 0x41).
    EXPECT_EQ(packets[2].payload()[0], 0x60 | rtp::kFuA);
    EXPECT_EQ(packets[4].payload()[0], 0x40 | rtp::kFuA);
    EXPECT_EQ(packets[4].payload()[1], 0x80 | 0x01);
    EXPECT_EQ(packetizer.nextSequence(), std::uint16_t(65534 + 9));
}

// A datagram of RTCP packets: header words from the caller.
Bytes pli(std::uint32_t media, std::uint32_t sender = 1) {
    Bytes p = {0x81, 206, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = std::uint8_t(sender >> (24 - 8 * i));
        p[8 + i] = std::uint8_t(media >> (24 - 8 * i));
    }
    return p;
}
Bytes fir(std::uint32_t media) {
    Bytes p = {0x84, 206, 0, 4, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        p[12 + i] = std::uint8_t(media >> (24 - 8 * i));
    return p;
}
Bytes receiverReport() {
    return {0x80, 201, 0, 1, 0, 0, 0, 9};
}
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(RtcpFeedback, PliAndFirForThisSenderAskForAKeyframeOthersDoNot) {
    constexpr std::uint32_t me = 0x11223344;
    const auto wants = [](const Bytes& d) { return rtcp::parse(d.data(), d.size(), me); };
    EXPECT_TRUE(wants(pli(me)).keyframeWanted);
    EXPECT_TRUE(wants(fir(me)).keyframeWanted);
    EXPECT_TRUE(wants(join({receiverReport(), pli(me)})).keyframeWanted) << "compound";
    EXPECT_TRUE(wants(join({receiverReport(), fir(me)})).keyframeWanted);
    for (const Bytes& other : {pli(0x99), fir(0x99), receiverReport()}) {
        EXPECT_TRUE(wants(other).wellFormed);
        EXPECT_FALSE(wants(other).keyframeWanted);
    }
    // The sender SSRC of a PLI is the receiver's own: it does not name this stream.
    EXPECT_FALSE(wants(pli(0x99, me)).keyframeWanted);
    // Generic NACK and other feedback formats are understood and ignored.
    Bytes nack = pli(me);
    nack[0] = 0x81;
    nack[1] = 205;
    EXPECT_TRUE(wants(nack).wellFormed);
    EXPECT_FALSE(wants(nack).keyframeWanted);
    // Padding on the last packet is allowed when it counts itself correctly.
    Bytes padded = join({pli(me), {0, 0, 0, 4}});
    padded[0] |= 0x20;
    padded[3] = 3;
    EXPECT_TRUE(wants(padded).keyframeWanted);
}

TEST(RtcpFeedback, MalformedDatagramsAreRefusedWhole) {
    constexpr std::uint32_t me = 7;
    const auto parse = [](const Bytes& d) { return rtcp::parse(d.data(), d.size(), me); };
    // Every strict prefix of a valid datagram is refused, but for a compound one cut after a
    // whole packet (the receiver report alone), which asks for nothing.
    for (const Bytes& valid : {pli(me), fir(me), join({receiverReport(), pli(me)})})
        for (std::size_t n = 0; n < valid.size(); ++n) {
            const Bytes prefix(valid.begin(), valid.begin() + std::ptrdiff_t(n));
            EXPECT_EQ(parse(prefix).wellFormed, n == receiverReport().size() && valid[1] == 201)
                << n << " bytes";
            EXPECT_FALSE(parse(prefix).keyframeWanted) << n << " bytes";
        }
    Bytes badVersion = pli(me);
    badVersion[0] = 0x41;
    EXPECT_FALSE(parse(badVersion).keyframeWanted);
    // A packet whose length runs past the datagram hides the PLI after it.
    Bytes longHeader = join({receiverReport(), pli(me)});
    longHeader[3] = 40;
    EXPECT_FALSE(parse(longHeader).keyframeWanted);
    // A PLI too short for its media SSRC, a FIR with a partial entry.
    Bytes shortPli = pli(me);
    shortPli[3] = 1;
    shortPli.resize(8);
    EXPECT_FALSE(parse(shortPli).wellFormed);
    Bytes partialFir = join({fir(me), {0, 0, 0, 0}});
    partialFir[3] = 5;
    EXPECT_FALSE(parse(partialFir).wellFormed);
    // Padding that counts more than the packet, or zero, or sits on a packet not last.
    for (std::uint8_t count : {0, 9, 255}) {
        Bytes padded = join({pli(me), {0, 0, 0, count}});
        padded[0] |= 0x20;
        padded[3] = 3;
        EXPECT_FALSE(parse(padded).wellFormed) << int(count);
    }
    Bytes paddedFirst = join({pli(me), receiverReport()});
    paddedFirst[0] |= 0x20;
    EXPECT_FALSE(parse(paddedFirst).wellFormed);
    // Over-long datagrams are not looked at.
    Bytes huge = pli(me);
    huge.resize(rtcp::kMaxDatagram + 4);
    huge[2] = std::uint8_t((huge.size() / 4 - 1) >> 8);
    huge[3] = std::uint8_t(huge.size() / 4 - 1);
    EXPECT_FALSE(parse(huge).wellFormed);
}

// Fuzz-style: random and mutated datagrams, each in a buffer of exactly its size (a sanitizer
// build catches any read past it), never crash and never ask for a keyframe unless well formed
// and naming this sender.
TEST(RtcpFeedback, RandomAndMutatedDatagramsAreReadSafely) {
    constexpr std::uint32_t me = 0xa1b2c3d4;
    std::mt19937 random(26);
    const std::vector<Bytes> seeds = {pli(me), fir(me), join({receiverReport(), pli(me)}),
                                      join({receiverReport(), fir(me), pli(3)})};
    int wanted = 0;
    for (int round = 0; round < 200000; ++round) {
        Bytes datagram;
        if (round % 4 == 0) {
            datagram.resize(random() % 64);
            for (auto& byte : datagram)
                byte = std::uint8_t(random());
            if (!datagram.empty() && round % 8 == 0)
                datagram[0] = std::uint8_t(0x80 | (datagram[0] & 0x3f));
        } else {
            datagram = seeds[random() % seeds.size()];
            for (int flips = 1 + int(random() % 3); flips > 0; --flips)
                datagram[random() % datagram.size()] ^= std::uint8_t(1u << (random() % 8));
            if (random() % 4 == 0)
                datagram.resize(random() % (datagram.size() + 8));
        }
        auto exact = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(datagram.size(), 1));
        std::copy(datagram.begin(), datagram.end(), exact.get());
        const rtcp::Feedback result = rtcp::parse(exact.get(), datagram.size(), me);
        if (result.keyframeWanted) {
            ++wanted;
            ASSERT_TRUE(result.wellFormed);
            // Some packet of it is a PLI or FIR, and the bytes naming this sender are in it.
            const std::uint8_t mine[4] = {0xa1, 0xb2, 0xc3, 0xd4};
            ASSERT_NE(std::search(datagram.begin(), datagram.end(), mine, mine + 4),
                      datagram.end());
        }
    }
    EXPECT_GT(wanted, 0) << "mutations that keep a request well formed still ask";
}

TEST(RtcpFeedback, SenderReportsCarryTheStreamsClocksAndCname) {
    std::uint8_t out[64];
    rtcp::SenderInfo info{0x01020304, 0x1122334455667788ull, 90000, 12, 3456};
    const std::size_t size = rtcp::writeSenderReport(out, sizeof out, info, "tarnick");
    ASSERT_EQ(size, 28u + 20u);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[1], 200);
    EXPECT_EQ(out[3], 6);
    EXPECT_EQ(read32(out + 4), 0x01020304u);
    EXPECT_EQ(read32(out + 8), 0x11223344u);
    EXPECT_EQ(read32(out + 12), 0x55667788u);
    EXPECT_EQ(read32(out + 16), 90000u);
    EXPECT_EQ(read32(out + 20), 12u);
    EXPECT_EQ(read32(out + 24), 3456u);
    EXPECT_EQ(out[29], 202);
    EXPECT_EQ((out[30] << 8 | out[31]) * 4 + 4, 20);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 38), out[37]), "tarnick");
    EXPECT_TRUE(rtcp::parse(out, size, 1).wellFormed) << "a report our own reader accepts";
    EXPECT_EQ(rtcp::writeSenderReport(out, 40, info, "tarnick"), 0u) << "does not fit";
}

TEST(RtpH264Sink, OnlyNumericRtpUrlsAreTakenAndRtcpGoesToTheNextPortOrTheOneGiven) {
    const auto port = [](const sockaddr_storage& a) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    };
    auto target = RtpH264Sink::parseUrl("rtp://127.0.0.1:5004");
    ASSERT_TRUE(target);
    EXPECT_EQ(port(target->rtp), 5004);
    EXPECT_EQ(port(target->rtcp), 5005);
    target = RtpH264Sink::parseUrl("RTP://10.1.2.3:6000?rtcpport=7001");
    ASSERT_TRUE(target);
    EXPECT_EQ(port(target->rtcp), 7001);
    ASSERT_TRUE(RtpH264Sink::parseUrl("rtp://[::1]:5004/"));
    EXPECT_EQ(RtpH264Sink::parseUrl("rtp://[::1]:5004")->rtp.ss_family, AF_INET6);
    std::string why;
    for (const char* url :
         {"", "rtp://", "rtp://127.0.0.1", "rtp://127.0.0.1:0", "rtp://127.0.0.1:65536",
          "rtp://127.0.0.1:5004x", "rtp://localhost:5004", "rtp://janus.example:5004",
          "rtmp://127.0.0.1:5004", "rtp://[::1:5004", "rtp://127.0.0.1:5004?ttl=2",
          "rtp://127.0.0.1:5004?rtcpport=0", "rtp://127.0.0.1:65535", "rtp://127.0.0.1:-5",
          "udp://127.0.0.1:5004"})
        EXPECT_FALSE(RtpH264Sink::parseUrl(url, &why)) << url;
    RtpH264Sink sink;
    EXPECT_FALSE(sink.open("rtp://localhost:5004", &why));
    EXPECT_NE(why.find("numeric"), std::string::npos) << why;
    EXPECT_TRUE(sink.open("rtp://127.0.0.1:65535?rtcpport=9", &why)) << why;
}

// A stand-in for the gateway: UDP sockets on an RTP port and the port after it.
class FakeGateway {
public:
    FakeGateway() : port_(testsupport::freeUdpPortPair()) {
        rtp_ = bound(port_);
        rtcp_ = bound(port_ + 1);
    }
    ~FakeGateway() {
        ::close(rtp_);
        ::close(rtcp_);
    }
    std::string url() const { return "rtp://127.0.0.1:" + std::to_string(port_); }
    // The next datagram on one of the ports (bounded wait), with its sender's port.
    bool receive(bool onRtcp, Bytes* datagram, int* fromPort = nullptr) {
        pollfd readable{onRtcp ? rtcp_ : rtp_, POLLIN, 0};
        if (::poll(&readable, 1, 5000) != 1)
            return false;
        datagram->resize(2048);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(readable.fd, datagram->data(), datagram->size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0)
            return false;
        datagram->resize(std::size_t(got));
        if (fromPort)
            *fromPort = ntohs(from.sin_port);
        return true;
    }
    // Sends from the RTCP port (as the gateway does) or from another socket.
    void sendBack(const Bytes& datagram, int toPort, bool fromRtcpPort = true) {
        const int fd = fromRtcpPort ? rtcp_ : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = loopback::address(toPort);
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        if (!fromRtcpPort)
            ::close(fd);
    }

private:
    static int bound(int port) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback::address(port);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        const int bytes = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        return fd;
    }
    int port_;
    int rtp_ = -1;
    int rtcp_ = -1;
};

TEST(RtpH264Sink, KeyframesGoOutAfterTheParameterSetsWithTheMarkerOnThePicturesLastPacket) {
    FakeGateway gateway;
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(gateway.url()));
    H264StreamInfo info;
    info.width = 64;
    info.height = 48;
    const Bytes sps = nal(0x67, 12, 1), pps = nal(0x68, 5, 2);
    info.parameterSets = annexB({sps, pps});
    const Bytes slice1 = nal(0x65, 3000, 3), slice2 = nal(0x65, 700, 4), delta = nal(0x41, 900, 5);

    const Bytes keyframe = annexB({slice1, slice2});
    const Bytes next = annexB({delta});
    H264AccessUnit unit{keyframe.data(), keyframe.size(), 1000000, true};
    sink.deliver(unit); // before begin(): nothing is sent
    sink.begin(info);
    sink.deliver(unit);
    sink.deliver({next.data(), next.size(), 1000000 + 33333, false});
    sink.end();
    sink.deliver({next.data(), next.size(), 1000000 + 66666, false}); // after end(): nothing

    std::vector<Packet> packets;
    Bytes datagram;
    while (packets.size() < 7 && gateway.receive(false, &datagram))
        packets.push_back({datagram});
    ASSERT_EQ(packets.size(), 7u); // SPS, PPS, 3 fragments, 1 slice; then 1 delta slice
    EXPECT_EQ(nalUnitsOf({packets.begin(), packets.begin() + 6}),
              (std::vector<Bytes>{sps, pps, slice1, slice2}));
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].marker(), i == 5 || i == 6) << "packet " << i;
        EXPECT_EQ(packets[i].ssrc(), sink.ssrc());
        EXPECT_EQ(packets[i].sequence(), std::uint16_t(packets[0].sequence() + i));
        EXPECT_EQ(packets[i].payloadType(), 96);
    }
    EXPECT_EQ(packets[5].timestamp(), packets[0].timestamp());
    EXPECT_EQ(packets[6].timestamp() - packets[0].timestamp(), 3000u) << "90 kHz from capture time";

    // A sender report went to the RTCP port, from the sink's own socket.
    int from = 0;
    ASSERT_TRUE(gateway.receive(true, &datagram, &from));
    EXPECT_EQ(from, sink.localPort());
    ASSERT_GE(datagram.size(), 28u);
    EXPECT_EQ(datagram[1], 200);
    EXPECT_EQ(read32(&datagram[4]), sink.ssrc());
    EXPECT_EQ(read32(&datagram[20]), 6u) << "packets sent before the report";
    EXPECT_EQ(sink.stats().packets, 7u);
    EXPECT_EQ(sink.stats().reports, 1u) << "one report a second, the first with the first picture";
}

// The capture's format changed: the second stream's keyframes carry its own parameter sets, the
// packets go on from the first stream's sequence and clock, and a keyframe carrying its
// parameter sets in band is sent as it is.
TEST(RtpH264Sink, AStreamBegunAgainSendsItsOwnParameterSetsAndGoesOnWhereTheLastEnded) {
    FakeGateway gateway;
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(gateway.url()));
    H264StreamInfo first, second;
    first.parameterSets = annexB({nal(0x67, 12, 1), nal(0x68, 5, 2)});
    const Bytes sps2 = nal(0x67, 14, 8), pps2 = nal(0x68, 6, 9);
    second.parameterSets = annexB({sps2, pps2});
    const Bytes slice = nal(0x65, 400, 3);
    const Bytes keyframe = annexB({slice});
    sink.begin(first);
    sink.deliver({keyframe.data(), keyframe.size(), 5000000, true});
    sink.end();
    sink.begin(second);
    sink.deliver({keyframe.data(), keyframe.size(), 6000000, true});
    const Bytes inBand = annexB({sps2, pps2, slice});
    sink.deliver({inBand.data(), inBand.size(), 6033333, true});

    std::vector<Packet> packets;
    Bytes datagram;
    while (packets.size() < 9 && gateway.receive(false, &datagram))
        packets.push_back({datagram});
    ASSERT_EQ(packets.size(), 9u); // 3 of the first stream, 3 + 3 of the second
    EXPECT_EQ(nalUnitsOf({packets.begin() + 3, packets.end()}),
              (std::vector<Bytes>{sps2, pps2, slice, sps2, pps2, slice}));
    for (std::size_t i = 1; i < packets.size(); ++i)
        EXPECT_EQ(packets[i].sequence(), std::uint16_t(packets[0].sequence() + i));
    EXPECT_EQ(packets[3].timestamp() - packets[0].timestamp(), 90000u);
    EXPECT_EQ(packets[6].timestamp() - packets[3].timestamp(), 3000u);
}

TEST(RtpH264Sink, KeyframeRequestsFromTheGatewaysRtcpPortAreTakenOnceEach) {
    FakeGateway gateway;
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(gateway.url()));
    const auto settle = [&](auto until) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!until() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
    };
    EXPECT_FALSE(sink.takeKeyframeRequest());
    gateway.sendBack(pli(sink.ssrc()), sink.localPort());
    bool taken = false;
    settle([&] { return taken = sink.takeKeyframeRequest(); });
    EXPECT_TRUE(taken);
    EXPECT_FALSE(sink.takeKeyframeRequest()) << "one request, one keyframe";

    gateway.sendBack(fir(sink.ssrc()), sink.localPort());
    settle([&] { return taken = sink.takeKeyframeRequest(); });
    EXPECT_TRUE(taken);

    // Requests for another stream, from another port, or malformed: refused or ignored.
    gateway.sendBack(pli(sink.ssrc() ^ 1), sink.localPort());
    gateway.sendBack(pli(sink.ssrc()), sink.localPort(), false);
    Bytes broken = pli(sink.ssrc());
    broken[3] = 9;
    gateway.sendBack(broken, sink.localPort());
    gateway.sendBack(Bytes(3000, 0x81), sink.localPort());
    // Only reading the socket (a request taken, a picture delivered) looks at what arrived.
    bool askedAgain = false;
    settle([&] {
        askedAgain = sink.takeKeyframeRequest() || askedAgain;
        return sink.stats().refused >= 3;
    });
    EXPECT_FALSE(askedAgain);
    EXPECT_EQ(sink.stats().refused, 3u);
    EXPECT_EQ(sink.stats().keyframeRequests, 2u);
}

TEST(RtpH264Sink, SendingNeverWaitsForAReceiver) {
    // Nobody on the port: the packets go nowhere and delivery goes on.
    const int port = testsupport::freeUdpPortPair();
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open("rtp://127.0.0.1:" + std::to_string(port)));
    sink.begin({});
    const Bytes big = annexB({nal(0x65, 200000, 9)});
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        sink.deliver({big.data(), big.size(), i * 33333, i == 0});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << "hang guard";
    EXPECT_GT(sink.stats().packets + sink.stats().sendFailures, 100u * 160u);
}

TEST(RtpH264Sink, DeliveringPicturesAllocatesNothing) {
    FakeGateway gateway;
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(gateway.url()));
    H264StreamInfo info;
    info.parameterSets = annexB({nal(0x67, 12, 1), nal(0x68, 5, 2)});
    sink.begin(info);
    const Bytes keyframe = annexB({nal(0x65, 9000, 3), nal(0x65, 300, 4)});
    const Bytes delta = annexB({nal(0x41, 2500, 5)});
    sink.deliver({keyframe.data(), keyframe.size(), 0, true});
    heap_counter::start();
    for (int i = 1; i <= 60; ++i) {
        const Bytes& picture = i % 30 == 0 ? keyframe : delta;
        sink.deliver({picture.data(), picture.size(), i * 33333, i % 30 == 0});
        sink.takeKeyframeRequest();
    }
    const long allocations = heap_counter::stop();
    EXPECT_EQ(allocations, 0);
    EXPECT_GE(sink.stats().reports, 1u);
}

// --- The whole path: Janus's streaming plugin, Chromium playing the viewer page. ---

bool increasing(const std::vector<std::uint32_t>& numbers) {
    return std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<>()) ==
           numbers.end();
}

std::string viewerQuery(const testsupport::JanusProcess& janus, const std::string& pin = {}) {
    return "server=" + janus.serverUrl() + "&id=1" + (pin.empty() ? "" : "&pin=" + pin);
}

TEST(WebRtcThroughJanus, FfmpegRtpPlaysInChromium) {
    testsupport::JanusProcess janus;
    ASSERT_TRUE(janus.start()) << janus.log();
    const std::string target =
        janus.rtpUrl() + "?rtcpport=" + std::to_string(janus.videoRtcpPort());
    const char* argv[] = {"ffmpeg",       "-nostdin",    "-loglevel",
                          "error",        "-re",         "-f",
                          "lavfi",        "-i",          "testsrc2=size=640x480:rate=30",
                          "-t",           "50",          "-c:v",
                          "libx264",      "-profile:v",  "baseline",
                          "-tune",        "zerolatency", "-g",
                          "30",           "-f",          "rtp",
                          target.c_str(), nullptr};
    pid_t ffmpeg = -1;
    posix_spawn_file_actions_t files; // its SDP on stdout is of no use here
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    const int spawned =
        ::posix_spawnp(&ffmpeg, "ffmpeg", &files, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    ASSERT_EQ(spawned, 0);
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus)));
    const bool played =
        page.waitFor([](const auto& r) { return r.shown >= 10 && r.width > 0; }, 35s);
    ::kill(ffmpeg, SIGKILL);
    ::waitpid(ffmpeg, nullptr, 0);
    const auto report = page.report();
    EXPECT_TRUE(played) << "status: " << report.status << "\n" << janus.log();
    EXPECT_EQ(report.width, 640);
    EXPECT_EQ(report.height, 480);
}

TEST(WebRtcThroughJanus, TheSinksPicturesPlayInOrderAtTheCaptureSize) {
    testsupport::JanusProcess janus;
    ASSERT_TRUE(janus.start()) << janus.log();
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(janus.rtpUrl()));
    // Keyframes only every 20 s: the viewer can only start on the one its request brings.
    PacedCamera camera(sink, 480, 272, 600);
    ASSERT_TRUE(camera.start());
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus)));
    const bool played =
        page.waitFor([](const auto& r) { return r.frameNumbers.size() >= 30; }, 35s);
    camera.stop();
    const auto report = page.report();
    ASSERT_TRUE(played) << "status: " << report.status << ", shown " << report.shown << "\n"
                        << janus.log();
    EXPECT_EQ(report.width, 480);
    EXPECT_EQ(report.height, 272);
    EXPECT_TRUE(increasing(report.frameNumbers));
    EXPECT_LT(report.frameNumbers.back(), camera.frames());
    EXPECT_GE(camera.forcedKeyframes(), 1) << "the viewer's keyframe request was honoured";
}

TEST(WebRtcThroughJanus, ANewViewerMakesTheSinkReportAKeyframeRequest) {
    testsupport::JanusProcess janus("s3cret-key");
    ASSERT_TRUE(janus.start()) << janus.log();
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(janus.rtpUrl()));
    PacedCamera camera(sink, 320, 240, 600);
    ASSERT_TRUE(camera.start());
    // Janus has the sender's address once a report arrived; no viewer yet: no request.
    std::this_thread::sleep_for(1500ms);
    const auto before = sink.stats().keyframeRequests;
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus, "s3cret-key")));
    const bool played = page.waitFor([](const auto& r) { return r.frameNumbers.size() >= 5; }, 35s);
    camera.stop();
    EXPECT_EQ(before, 0u);
    EXPECT_GE(sink.stats().keyframeRequests, 1u);
    EXPECT_TRUE(played) << page.report().status;
}

TEST(WebRtcThroughJanus, TheMountpointRefusesViewersWithoutTheAccessKey) {
    testsupport::JanusProcess janus("s3cret-key");
    ASSERT_TRUE(janus.start()) << janus.log();
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus, "wrong")));
    EXPECT_TRUE(page.waitFor(
        [](const auto& r) {
            return r.status.find("nauthorized") != std::string::npos ||
                   r.status.find("pin") != std::string::npos;
        },
        30s))
        << page.report().status;
    EXPECT_EQ(page.report().shown, 0);
}

TEST(WebRtcThroughJanus, ThePageComesBackAfterJanusRestarts) {
    testsupport::JanusProcess janus;
    ASSERT_TRUE(janus.start()) << janus.log();
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(janus.rtpUrl()));
    PacedCamera camera(sink, 320, 240, 600);
    ASSERT_TRUE(camera.start());
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus)));
    ASSERT_TRUE(page.waitFor([](const auto& r) { return r.frameNumbers.size() >= 5; }, 20s))
        << page.report().status;
    janus.kill();
    const std::uint32_t sentBeforeRestart = camera.frames();
    ASSERT_TRUE(janus.start()) << janus.log();
    const bool again = page.waitFor(
        [&](const auto& r) {
            return !r.frameNumbers.empty() && r.frameNumbers.back() > sentBeforeRestart + 5;
        },
        25s);
    camera.stop();
    EXPECT_TRUE(again) << page.report().status;
}

} // namespace
