// Memory the server took for a burst of raw readers goes back to the system once they leave,
// not only to the C library's free lists.
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kFullHd{1920, 1080, 24};

TEST(TavrelMemoryReturn, ResidentSizeAfterARawBurstReturnsToWhereItWas) {
    if (!kResidentMeasurable)
        GTEST_SKIP() << "resident sizes mean nothing under a sanitizer";
    ServerOptions o;
    o.port = 0;
    o.format = kFullHd;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    const size_t resting = server->stats().pool.slots;
    FrameFeeder camera(
        kFullHd, 33ms, [&](uint8_t* f) { server->addFrame(f); }, 2);
    std::this_thread::sleep_for(1500ms); // every resting slot has been written
    const long beforeKb = residentKb();

    // Two bursts of 30 raw readers, joining one after another so each pins a frame of its own.
    // (The C library keeps its first freed blocks of this size apart; what the second burst
    // leaves behind is what a program that has run a while keeps.)
    for (int burst = 1; burst <= 2; ++burst) {
        std::vector<int> readers;
        for (int i = 0; i < 30; ++i) {
            readers.push_back(smallBufferViewer(server->port(), "/stream?raw=1"));
            ASSERT_GE(readers.back(), 0);
            std::this_thread::sleep_for(40ms);
        }
        std::this_thread::sleep_for(500ms);
        const size_t grown = server->stats().pool.slots;
        const long peakKb = residentKb();
        for (int fd : readers)
            ::close(fd);

        // The spare slots go after a second without use; then the figure is taken.
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (server->stats().pool.slots > resting && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(50ms);
        std::this_thread::sleep_for(300ms);
        const long afterKb = residentKb();
        std::printf("[figure] raw burst %d: pool %zu -> %zu -> %zu slots, resident %ld -> %ld -> "
                    "%ld MB (after/before %.2f)\n",
                    burst, resting, grown, server->stats().pool.slots, beforeKb / 1024,
                    peakKb / 1024, afterKb / 1024, double(afterKb) / double(beforeKb));
        ASSERT_GT(grown, resting + 4) << "the burst did not grow the pool";
        EXPECT_EQ(server->stats().pool.slots, resting);
        EXPECT_LE(afterKb, beforeKb * 11 / 10) << "burst " << burst << "'s slots stayed resident";
    }
}

TEST(TavrelMemoryReturn, OpenServerWithoutViewersKeepsOneFrameResident) {
    if (!kResidentMeasurable)
        GTEST_SKIP() << "resident sizes mean nothing under a sanitizer";
    // The camera runs first with nowhere to send its frames; then the server opens.
    std::atomic<StreamServer*> target{nullptr};
    FrameFeeder camera(
        kFullHd, 33ms,
        [&](uint8_t* f) {
            if (StreamServer* s = target.load())
                s->addFrame(f);
        },
        2);
    std::this_thread::sleep_for(500ms);
    const long cameraKb = residentKb();
    ServerOptions o;
    o.port = 0;
    o.format = kFullHd;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    target = server.get();
    std::this_thread::sleep_for(2500ms); // two trim intervals
    const long openKb = residentKb();
    const long frameKb = static_cast<long>(kFullHd.imageBytes() / 1024);
    std::printf("[figure] server open without viewers: +%ld KiB (one frame %ld KiB), %llu "
                "frames taken\n",
                openKb - cameraKb, frameKb,
                static_cast<unsigned long long>(server->stats().pool.published));
    EXPECT_GT(server->stats().pool.published, 30u);
    EXPECT_LE(openKb - cameraKb, frameKb + 2048) << "more than the newest frame stays resident";
    // And the frame kept is there at once for a snapshot.
    target = nullptr;
    std::this_thread::sleep_for(100ms);
    const HttpAnswer a = httpGet(server->port(), "/snapshot.jpg");
    EXPECT_EQ(a.status, 200);
    EXPECT_LT(a.took, 1s);
}

} // namespace
