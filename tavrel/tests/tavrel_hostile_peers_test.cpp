// The server under hostile and greedy peers: idle connections, readers that never read, peers
// that upload, remote peers asking for raw frames, and a pool that must shrink back.
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};
const DibFormat kVga{640, 480, 24};

std::unique_ptr<StreamServer> startServer(const DibFormat& f, ServerOptions o = {}) {
    o.port = 0;
    o.format = f;
    return StreamServer::start(o);
}

void addTo(StreamServer& s, uint8_t* frame) {
    s.addFrame(frame);
}

TEST(TavrelHostilePeers, IdleConnectionsRenewedPastTheCapLeaveViewersServed) {
    auto server = startServer(kSmall);
    ASSERT_TRUE(server);
    const int port = server->port();
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { addTo(*server, f); });

    // Five other machines keep 100 connections open that never send a byte, replacing at
    // once every one the server lets go.
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread attacker([&] {
        std::vector<int> fds;
        const char* sources[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"};
        while (!stop) {
            for (size_t i = fds.size(); i-- > 0;)
                if (closedByPeer(fds[i])) {
                    ::close(fds[i]);
                    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                }
            for (size_t k = 0; fds.size() < 100 && k < 200; ++k) {
                const int fd = connectFrom(sources[k % 5], port);
                if (fd >= 0) {
                    fds.push_back(fd);
                    ++opened;
                }
            }
            std::this_thread::sleep_for(20ms);
        }
        for (int fd : fds)
            ::close(fd);
    });
    std::this_thread::sleep_for(300ms);

    // A viewer keeps asking for snapshots and watching the stream through 5 s of this.
    PartCounter viewer(port);
    int served = 0;
    int asked = 0;
    std::string failure;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
        const HttpAnswer a = httpGet(port, "/snapshot.jpg", {}, 3s);
        ++asked;
        if (a.status == 200)
            ++served;
        else if (failure.empty())
            failure = a.head.empty() ? "no answer" : a.head.substr(0, a.head.find('\r'));
        std::this_thread::sleep_for(100ms);
    }
    const int parts = viewer.parts();
    stop = true;
    attacker.join();
    std::printf("[figure] idle flood: %d connections opened, snapshots %d/%d, stream parts %d "
                "in 5 s\n",
                opened.load(), served, asked, parts);
    EXPECT_EQ(served, asked) << "first failure: " << failure;
    EXPECT_GT(parts, 50) << "the stream stalled under the flood";
    EXPECT_FALSE(viewer.ended());
}

TEST(TavrelHostilePeers, IdleConnectionIsClosedWithinSeconds) {
    auto server = startServer(kSmall);
    ASSERT_TRUE(server);
    const int fd = connectFrom("127.0.0.2", server->port());
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    while (!closedByPeer(fd) && std::chrono::steady_clock::now() - start < 15s)
        std::this_thread::sleep_for(20ms);
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(fd);
    std::printf("[figure] silent connection closed after %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_LT(took, 6s);
}

TEST(TavrelHostilePeers, OneAddressHoldsOnlyAFewUnfinishedRequests) {
    ServerOptions o;
    o.maxPendingPerAddress = 8;
    // Connections 20 ms apart: each one over the share finds the address's oldest past the
    // grace (load only makes them older).
    o.pendingGrace = 100ms;
    auto server = startServer(kSmall, o);
    ASSERT_TRUE(server);
    // Another address's unfinished request, older than all of them: not theirs to shed.
    const int other = connectFrom("127.0.0.3", server->port());
    std::this_thread::sleep_for(20ms);
    std::vector<int> fds;
    for (int i = 0; i < 12; ++i) {
        fds.push_back(connectFrom("127.0.0.2", server->port()));
        std::this_thread::sleep_for(20ms); // accepted in this order
    }
    std::this_thread::sleep_for(500ms); // well before the request time-out
    int closed = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        const bool gone = closedByPeer(fds[i]);
        closed += gone;
        EXPECT_EQ(gone, i < 4) << "connection " << i << ": the oldest ones make room";
        ::close(fds[i]);
    }
    EXPECT_EQ(closed, 4);
    EXPECT_FALSE(closedByPeer(other)) << "another address keeps its place";
    ::close(other);
    EXPECT_EQ(server->stats().shed, 4u);
}

TEST(TavrelHostilePeers, ReadersThatNeverReadCostTheCameraNoFrame) {
    auto server = startServer(kVga);
    ASSERT_TRUE(server);
    const int port = server->port();
    FrameFeeder feeder(kVga, 33ms, [&](uint8_t* f) { addTo(*server, f); });
    PartCounter healthy(port);
    // Readers that join one after another stall on different frames, so each pins its own.
    std::vector<int> stuck;
    for (int i = 0; i < 20; ++i) {
        stuck.push_back(smallBufferViewer(port, "/stream?raw=1"));
        stuck.push_back(smallBufferViewer(port, "/stream"));
        std::this_thread::sleep_for(70ms);
    }
    std::this_thread::sleep_for(500ms);

    const PoolCounters before = server->stats().pool;
    const int partsBefore = healthy.parts();
    std::this_thread::sleep_for(4s);
    const PoolCounters after = server->stats().pool;
    const int parts = healthy.parts() - partsBefore;
    for (int fd : stuck)
        ::close(fd);
    const auto offered = (after.published - before.published) + (after.dropped - before.dropped);
    const double accepted = offered ? double(after.published - before.published) / offered : 0;
    std::printf("[figure] 40 stuck readers: camera accepted %.1f%% of %llu frames, healthy "
                "viewer %.1f fps, pool %zu slots\n",
                accepted * 100, static_cast<unsigned long long>(offered), parts / 4.0, after.slots);
    EXPECT_GE(accepted, 0.97);
    EXPECT_GT(parts, static_cast<int>(offered / 2)) << "the healthy viewer fell behind";
}

TEST(TavrelHostilePeers, UploadingPeerIsCutOffAndOthersKeepTheirRate) {
    auto server = startServer(kSmall);
    ASSERT_TRUE(server);
    const int port = server->port();
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { addTo(*server, f); });

    // The peer asks for the stream and then sends as fast as it can.
    const int up = loopback::connect(port);
    ASSERT_GE(up, 0);
    const std::string req = "GET /stream HTTP/1.1\r\nHost: t\r\n\r\n";
    ::send(up, req.data(), req.size(), MSG_NOSIGNAL);
    std::atomic<bool> stop{false};
    std::atomic<long long> uploaded{0};
    std::atomic<bool> cut{false};
    std::thread uploader([&] {
        std::vector<char> junk(64 * 1024, 'u');
        timeval tv{0, 200000};
        ::setsockopt(up, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        while (!stop) {
            const ssize_t n = ::send(up, junk.data(), junk.size(), MSG_NOSIGNAL);
            if (n > 0)
                uploaded += n;
            else if (errno != EAGAIN && errno != EINTR) {
                cut = true;
                break;
            }
        }
    });
    PartCounter viewer(port);
    // The server answers snapshots once it holds a frame: wait for the first (bounded).
    const auto firstBy = std::chrono::steady_clock::now() + 5s;
    while (viewer.parts() == 0 && std::chrono::steady_clock::now() < firstBy)
        std::this_thread::sleep_for(10ms);
    const auto t0 = std::chrono::steady_clock::now();
    int slowestSnapshotMs = 0;
    for (int i = 0; i < 10; ++i) {
        const HttpAnswer a = httpGet(port, "/snapshot.jpg", {}, 5s);
        EXPECT_EQ(a.status, 200);
        slowestSnapshotMs = std::max(slowestSnapshotMs, static_cast<int>(a.took.count()));
        std::this_thread::sleep_for(200ms);
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int parts = viewer.parts();
    const bool wasCut = cut.load();
    stop = true;
    uploader.join();
    ::close(up);
    std::printf("[figure] uploading peer: %lld bytes taken, cut %s; viewer %.1f fps, slowest "
                "snapshot %d ms\n",
                uploaded.load(), wasCut ? "yes" : "no", parts / secs, slowestSnapshotMs);
    EXPECT_TRUE(wasCut) << "a stream connection that keeps sending must be closed";
    EXPECT_GT(parts / secs, 25.0) << "feeder runs at 50 fps";
    EXPECT_LT(slowestSnapshotMs, 2000);
}

TEST(TavrelHostilePeers, PoolReturnsToItsRestingSize) {
    auto server = startServer(kVga);
    ASSERT_TRUE(server);
    const size_t resting = server->stats().pool.slots;
    FrameFeeder feeder(kVga, 20ms, [&](uint8_t* f) { addTo(*server, f); });
    {
        std::vector<int> stuck;
        for (int i = 0; i < 8; ++i) {
            stuck.push_back(smallBufferViewer(server->port(), "/stream?raw=1"));
            std::this_thread::sleep_for(70ms);
        }
        std::this_thread::sleep_for(500ms);
        EXPECT_GT(server->stats().pool.slots, resting) << "the pool should grow under demand";
        for (int fd : stuck)
            ::close(fd);
    }
    size_t slots = 0;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while ((slots = server->stats().pool.slots) > resting && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
    std::printf("[figure] pool after the readers left: %zu slots (resting %zu)\n", slots, resting);
    EXPECT_EQ(slots, resting);
}

} // namespace
