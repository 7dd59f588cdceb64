// Our client against hostile or broken servers: forged sizes, bursts of bogus parts, short raw
// parts; it must stay prompt, bounded in memory, and keep the first good format.
#include "tavrel/Tavrel.h"

#include "jpeg_codec.h"
#include "stream_client.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};

std::string jpegOf(const DibFormat& f, int index = 0) {
    JpegEncoder e;
    std::vector<uint8_t> out(JpegEncoder::maxEncodedBytes(f));
    const auto rows = makeFrame(f, index);
    const size_t n = e.encode(f, rows.data(), out.data(), out.size());
    return std::string(reinterpret_cast<const char*>(out.data()), n);
}

// A small real JPEG whose frame header claims another size: the header reads fine, the data
// runs out long before the claimed picture ends.
std::string forgedJpeg(int width, int height) {
    std::string j = jpegOf(DibFormat{16, 16, 24});
    const size_t sof = j.find("\xFF\xC0");
    if (sof == std::string::npos)
        return {};
    j[sof + 5] = static_cast<char>(height >> 8);
    j[sof + 6] = static_cast<char>(height & 255);
    j[sof + 7] = static_cast<char>(width >> 8);
    j[sof + 8] = static_cast<char>(width & 255);
    return j;
}

std::string rawType(const DibFormat& f) {
    return "application/x-ormidal-dib; width=" + std::to_string(f.width) +
           "; height=" + std::to_string(f.height) + "; bits=24";
}

template <class Fn> std::chrono::milliseconds timed(Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// Sends `first` once, then bursts of forged parts until the client goes.
ScriptedServer::Script burstAfter(std::string first, std::string forged) {
    return [first, forged](int fd, const std::atomic<bool>& stopping) {
        std::string burst;
        for (int i = 0; i < 200; ++i)
            burst += part("image/jpeg", forged);
        if (!sendAll(fd, kStreamHead + first))
            return;
        std::this_thread::sleep_for(300ms); // the first picture is read on its own
        while (!stopping && sendAll(fd, burst)) {
        }
    };
}

TEST(TavrelHostileServer, BurstsOfForgedHugePartsKeepOpenClientWithinItsTimeout) {
    const std::string forged = forgedJpeg(8192, 4096);
    ASSERT_FALSE(forged.empty());
    ScriptedServer server(burstAfter({}, forged));
    resetPeakResident();
    const long before = peakResidentKb();
    CTavrel client;
    int rc = 0;
    const auto took =
        timed([&] { rc = client.OpenClient(const_cast<char*>("127.0.0.1"), server.port()); });
    const long growthKb = peakResidentKb() - before;
    std::printf("[figure] forged 8192x4096 bursts: OpenClient %d after %lld ms, peak memory "
                "+%ld KiB\n",
                rc, static_cast<long long>(took.count()), growthKb);
    EXPECT_NE(rc, 0) << "no part of this server is a picture";
    EXPECT_LE(took, 6s);
    if (kPeakMemoryMeasurable) {
        EXPECT_LT(growthKb, 48 * 1024);
    }
    client.Close();
}

TEST(TavrelHostileServer, StopIsPromptWhileForgedPartsOfTheAnnouncedSizeFlood) {
    const DibFormat big{4096, 2048, 24};
    const std::string first = part("image/jpeg", jpegOf(big));
    ScriptedServer server(burstAfter(first, forgedJpeg(big.width, big.height)));
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), server.port()), 0);
    BITMAPINFOHEADER h{};
    client.GetBitmapInfoHdr(&h);
    EXPECT_EQ(h.biWidth, big.width);
    std::atomic<int> frames{0};
    ASSERT_EQ(
        client.Run([](unsigned char*, void* n) { ++*static_cast<std::atomic<int>*>(n); }, &frames),
        0);
    std::this_thread::sleep_for(1500ms);
    const auto stopTook = timed([&] { client.Stop(); });
    const auto closeTook = timed([&] { client.Close(); });
    std::printf("[figure] forged parts of the announced size: Stop %lld ms, Close %lld ms\n",
                static_cast<long long>(stopTook.count()),
                static_cast<long long>(closeTook.count()));
    EXPECT_LE(stopTook, 1s);
    EXPECT_LE(closeTook, 1s);
}

TEST(TavrelHostileServer, ForgedFirstPictureNeitherAllocatesItsClaimNorFixesTheFormat) {
    const std::string good = part("image/jpeg", jpegOf(kSmall));
    ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
        if (!sendAll(fd, kStreamHead + part("image/jpeg", forgedJpeg(8000, 5000))))
            return;
        while (!stopping && sendAll(fd, good))
            std::this_thread::sleep_for(20ms);
    });
    resetPeakResident();
    const long before = peakResidentKb();
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), server.port()), 0);
    const long growthKb = peakResidentKb() - before;
    BITMAPINFOHEADER h{};
    client.GetBitmapInfoHdr(&h);
    std::printf("[figure] forged 8000x5000 first picture: format %ldx%ld, peak memory +%ld KiB\n",
                static_cast<long>(h.biWidth), static_cast<long>(h.biHeight), growthKb);
    EXPECT_EQ(h.biWidth, kSmall.width);
    EXPECT_EQ(h.biHeight, kSmall.height);
    if (kPeakMemoryMeasurable) {
        EXPECT_LT(growthKb, 32 * 1024) << "8000x5000 would be 117 MiB";
    }
}

TEST(TavrelHostileServer, ShortRawPartsAreDroppedAndNeverFixTheFormat) {
    const DibFormat huge{8192, 5461, 24};
    const std::string good(kSmall.imageBytes(), '\x40');
    ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
        // Apart in time, so that each is read, and judged, on its own.
        for (const std::string& bad : {kStreamHead + part(rawType(huge), std::string(100, 'x')),
                                       part(rawType(kSmall), good.substr(1))}) { // a byte short
            if (!sendAll(fd, bad))
                return;
            std::this_thread::sleep_for(50ms);
        }
        while (!stopping && sendAll(fd, part(rawType(kSmall), good)))
            std::this_thread::sleep_for(20ms);
    });
    resetPeakResident();
    const long before = peakResidentKb();
    auto client = StreamClient::open("127.0.0.1", server.port(), 5s);
    const long growthKb = peakResidentKb() - before;
    ASSERT_TRUE(client);
    std::printf("[figure] raw part announcing 8192x5461 with 100 bytes: format %dx%d, peak "
                "memory +%ld KiB\n",
                client->format().width, client->format().height, growthKb);
    EXPECT_EQ(client->format(), kSmall);
    EXPECT_EQ(client->stats().dropped, 2u) << "the forged part and the short one";
    if (kPeakMemoryMeasurable) {
        EXPECT_LT(growthKb, 32 * 1024);
    }
}

} // namespace
