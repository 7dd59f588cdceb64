// Memory the server took for a burst of raw readers goes back to the system once they leave,
// not only to the C library's free lists; an open server nobody watches copies nothing.
#include "jpeg_codec.h"
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>

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

// The capture time a snapshot's head carries, in microseconds of the wall clock.
int64_t stampUs(const std::string& head) {
    const size_t at = head.find("X-Timestamp: ");
    if (at == std::string::npos)
        return -1;
    const double seconds = std::strtod(head.c_str() + at + 13, nullptr);
    return static_cast<int64_t>(seconds * 1e6);
}

int64_t wallUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A 1080p camera feeding an open server nobody uses; watching ends after a second.
class TavrelUnwatched : public ::testing::Test {
protected:
    void SetUp() override {
        ServerOptions o;
        o.port = 0;
        o.format = kFullHd;
        o.unwatchedAfter = 1s;
        server = StreamServer::start(o);
        ASSERT_TRUE(server);
    }
    // Until frames have stopped being copied: no copy over a whole second. Bounded.
    bool waitUntilUnwatched() {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            const uint64_t before = server->stats().pool.published;
            std::this_thread::sleep_for(1s);
            if (server->stats().pool.published == before && server->stats().pool.unwatched > 0)
                return true;
        }
        return false;
    }
    std::unique_ptr<StreamServer> server;
    std::atomic<bool> feeding{true};
};

TEST_F(TavrelUnwatched, AnOpenServerNobodyWatchesCopiesNoFrameAndHoldsNoneResident) {
    // The camera's own frames are resident before the baseline; the server sees none yet.
    feeding = false;
    FrameFeeder camera(
        kFullHd, 33ms,
        [&](uint8_t* f) {
            if (feeding)
                server->addFrame(f);
        },
        2);
    std::this_thread::sleep_for(200ms);
    const long beforeKb = residentKb();
    feeding = true;
    ASSERT_TRUE(waitUntilUnwatched()) << "frames were still copied with nobody watching";
    const uint64_t copied = server->stats().pool.published;
    const uint64_t encoded = server->stats().pool.encodes;
    std::this_thread::sleep_for(2500ms); // two trim intervals: the last raw frame's pages go
    EXPECT_EQ(server->stats().pool.published, copied);
    EXPECT_EQ(server->stats().pool.encodes, encoded) << "the encoder ran for nobody";
    EXPECT_GE(server->stats().pool.keepsakes, 1u) << "no picture kept for a quiet camera";
    if (kResidentMeasurable) {
        const long frameKb = static_cast<long>(kFullHd.imageBytes() / 1024);
        const long addedKb = residentKb() - beforeKb;
        std::printf("[figure] open server, nobody watching: +%ld KiB (one frame %ld KiB)\n",
                    addedKb, frameKb);
        EXPECT_LE(addedKb, 2048) << "a frame or the encoder's planes stayed resident";
    }

    // A viewer makes frames flow again.
    const int viewer = smallBufferViewer(server->port(), "/stream");
    ASSERT_GE(viewer, 0);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (server->stats().pool.published < copied + 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    EXPECT_GE(server->stats().pool.published, copied + 3) << "a viewer got no fresh frames";
    ::close(viewer);
}

TEST_F(TavrelUnwatched, FramesAreCopiedThroughTheGraceAfterTheServerOpens) {
    // The first frames come well within the grace: each is copied, none skipped or kept apart.
    // A grace far longer than the fixture's, so that a slow machine (or a sanitizer) making the
    // camera's first frames cannot reach its end.
    server.reset();
    ServerOptions o;
    o.port = 0;
    o.format = kFullHd;
    o.unwatchedAfter = 60s;
    server = StreamServer::start(o);
    ASSERT_TRUE(server);
    std::atomic<int> offered{0};
    FrameFeeder camera(
        kFullHd, 33ms,
        [&](uint8_t* f) {
            if (offered < 3) {
                server->addFrame(f);
                ++offered;
            }
        },
        2);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (offered < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(offered, 3);
    EXPECT_EQ(server->stats().pool.published, 3u);
    EXPECT_EQ(server->stats().pool.unwatched, 0u);
    EXPECT_EQ(server->stats().pool.keepsakes, 0u);
}

TEST_F(TavrelUnwatched, AFirstFrameComingAfterTheGraceIsWhatASnapshotShows) {
    // A server opened before its camera delivers: the first frame is kept, and shown at once.
    std::this_thread::sleep_for(1500ms);
    const auto frame = makeFrame(kFullHd, 7);
    ASSERT_TRUE(server->addFrame(frame.data()));
    EXPECT_EQ(server->stats().pool.published, 0u) << "copied although nobody watched";
    const HttpAnswer a = httpGet(server->port(), "/snapshot.jpg");
    ASSERT_EQ(a.status, 200) << a.head;
    EXPECT_LT(a.took, 1s);
    JpegDecoder d;
    std::vector<uint8_t> rows(kFullHd.imageBytes());
    ASSERT_TRUE(d.decode(reinterpret_cast<const uint8_t*>(a.body.data()), a.body.size(), kFullHd,
                         rows.data()));
    EXPECT_GT(psnr(frame, rows.data(), kFullHd), 30.0) << "not the frame given";
}

TEST_F(TavrelUnwatched, ASnapshotOfALiveCameraNobodyWatchedShowsAFrameTakenAfterTheRequest) {
    FrameFeeder camera(
        kFullHd, 33ms, [&](uint8_t* f) { server->addFrame(f); }, 2);
    ASSERT_TRUE(waitUntilUnwatched());
    // The keepsake is up to seconds old; the snapshot must be the camera's next frame instead.
    const int64_t asked = wallUs();
    const HttpAnswer a = httpGet(server->port(), "/snapshot.jpg");
    ASSERT_EQ(a.status, 200) << a.head;
    EXPECT_GE(stampUs(a.head), asked) << a.head;
}

TEST_F(TavrelUnwatched, ASnapshotOfACameraThatWentQuietUnwatchedShowsItsLastKeptPicture) {
    {
        FrameFeeder camera(
            kFullHd, 33ms, [&](uint8_t* f) { server->addFrame(f); }, 2);
        ASSERT_TRUE(waitUntilUnwatched());
    } // the camera stops: its last frames were not kept
    const int64_t quietSince = wallUs();
    const HttpAnswer a = httpGet(server->port(), "/snapshot.jpg");
    ASSERT_EQ(a.status, 200) << a.head;
    EXPECT_LT(a.took, 1s) << "the snapshot waited for a frame that never comes";
    ASSERT_GT(a.body.size(), 1000u);
    EXPECT_EQ(static_cast<unsigned char>(a.body[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(a.body[1]), 0xD8);
    // Kept while the camera ran unwatched: no older than the keepsake interval before it went
    // quiet.
    const int64_t stamp = stampUs(a.head);
    EXPECT_LE(stamp, quietSince);
    EXPECT_GE(stamp, quietSince - std::chrono::duration_cast<std::chrono::microseconds>(
                                      FramePool::kKeepsakeEvery + 1s)
                                      .count());
}

} // namespace
