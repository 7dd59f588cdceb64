// The receiving client in the real world: servers that restart, change size, vanish into black
// holes or stall; it reconnects on its own and Stop and Close stay prompt throughout.
#include "tavrel/Tavrel.h"

#include "stream_client.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};

struct Counter {
    std::atomic<int> frames{0};
    size_t bytes = 0;
    std::vector<uint8_t> last;
    static void onFrame(unsigned char* frame, void* self) {
        auto* c = static_cast<Counter*>(self);
        c->last.assign(frame, frame + c->bytes); // reads exactly the announced size
        ++c->frames;
    }
    bool waitFor(int n, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (frames < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(10ms);
        return frames >= n;
    }
};

// A server of `f` on `port` with a camera feeding it, as one unit that can go and come back.
struct LiveServer {
    CTavrel transport;
    std::unique_ptr<FrameFeeder> feeder;
    LiveServer(int port, const DibFormat& f) {
        if (transport.OpenServer(port, f.width, f.height, 30) == 0)
            feeder = std::make_unique<FrameFeeder>(
                f, 10ms, [this](uint8_t* frame) { transport.AddFrame(frame, 1); });
    }
    bool serving() const { return feeder != nullptr; }
    ~LiveServer() {
        feeder.reset();
        transport.Close();
    }
};

template <class Fn> std::chrono::milliseconds timed(Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// A listener on `port` whose accept queue is full: further connection attempts get no answer
// at all, as from an address nobody routes.
struct BlackHole {
    int listener = -1;
    std::vector<int> fillers;
    explicit BlackHole(int port) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in a = loopback::address(port);
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener, 0) != 0)
            return;
        // Fill the queue until an attempt is left hanging.
        for (int i = 0; i < 8; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
            fillers.push_back(fd);
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0)
                break; // this one hangs: the hole is ready
        }
    }
    ~BlackHole() {
        for (int fd : fillers)
            ::close(fd);
        ::close(listener);
    }
};

TEST(TavrelReconnect, ServerRestartBringsThePictureBackWithoutACall) {
    const int port = freePort();
    auto server = std::make_unique<LiveServer>(port, kSmall);
    ASSERT_TRUE(server->serving());
    Counter c;
    c.bytes = kSmall.imageBytes();
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), port), 0);
    ASSERT_EQ(client.Run(&Counter::onFrame, &c), 0);
    ASSERT_TRUE(c.waitFor(5, 5s));

    server.reset();
    std::this_thread::sleep_for(1s);
    const int during = c.frames;
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(c.frames, during) << "nothing is delivered while the server is away";
    EXPECT_EQ(client.IsRunning(), 1);
    EXPECT_EQ(client.IsOpen(), 1);
    EXPECT_EQ(client.GetMode(), 1);

    server = std::make_unique<LiveServer>(port, kSmall);
    ASSERT_TRUE(server->serving());
    EXPECT_TRUE(c.waitFor(during + 10, 10s)) << "the picture did not come back";
    const auto stopTook = timed([&] { client.Stop(); });
    EXPECT_LE(stopTook, 1s);
    client.Close();
}

TEST(TavrelReconnect, FramesOfAnotherSizeAfterReconnectAreDropped) {
    const int port = freePort();
    auto server = std::make_unique<LiveServer>(port, kSmall);
    ASSERT_TRUE(server->serving());
    ClientTiming quick;
    quick.firstRetry = 20ms;
    quick.lastRetry = 200ms;
    auto client = StreamClient::open("127.0.0.1", port, 5s, true, quick);
    ASSERT_TRUE(client);
    Counter c;
    c.bytes = kSmall.imageBytes();
    ASSERT_TRUE(client->run(&Counter::onFrame, &c));
    ASSERT_TRUE(c.waitFor(3, 5s));

    server.reset();
    server = std::make_unique<LiveServer>(port, DibFormat{320, 240, 24});
    ASSERT_TRUE(server->serving());
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (client->stats().connects < 2 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(client->stats().connects, 2u);
    const int frames = c.frames;
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(c.frames, frames) << "a frame of another size reached the callback";
    EXPECT_GT(client->stats().dropped, 5u);
    EXPECT_EQ(client->format(), kSmall);
    EXPECT_TRUE(client->running());
    client->stop();
}

TEST(TavrelReconnect, StopThenRunGoesOnWithTheSameConnection) {
    const int port = freePort();
    LiveServer server(port, kSmall);
    ASSERT_TRUE(server.serving());
    auto client = StreamClient::open("127.0.0.1", port, 5s);
    ASSERT_TRUE(client);
    Counter c;
    c.bytes = kSmall.imageBytes();
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(client->run(&Counter::onFrame, &c));
        ASSERT_TRUE(c.waitFor(c.frames + 3, 5s));
        client->stop();
    }
    EXPECT_EQ(client->stats().connects, 1u) << "a stop is no reason to reconnect";
}

TEST(TavrelReconnect, StopAndCloseArePromptInEveryPhase) {
    const int port = freePort();
    auto server = std::make_unique<LiveServer>(port, kSmall);
    ASSERT_TRUE(server->serving());
    Counter c;
    c.bytes = kSmall.imageBytes();

    // Receiving.
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), port), 0);
    ASSERT_EQ(client.Run(&Counter::onFrame, &c), 0);
    ASSERT_TRUE(c.waitFor(3, 5s));
    EXPECT_LE(timed([&] { client.Stop(); }), 1s) << "while receiving";
    ASSERT_EQ(client.Run(&Counter::onFrame, &c), 0);

    // Waiting between reconnection attempts (the pauses grow to seconds).
    server.reset();
    std::this_thread::sleep_for(2500ms);
    EXPECT_LE(timed([&] { client.Stop(); }), 1s) << "while waiting to reconnect";
    ASSERT_EQ(client.Run(&Counter::onFrame, &c), 0);

    // Connecting to an address that never answers.
    {
        BlackHole hole(port);
        std::this_thread::sleep_for(4500ms); // the next attempt is under way and hangs
        EXPECT_EQ(client.IsRunning(), 1);
        EXPECT_LE(timed([&] { client.Stop(); }), 1s) << "while a connect hangs";
        ASSERT_EQ(client.Run(&Counter::onFrame, &c), 0);
        std::this_thread::sleep_for(4500ms);
        EXPECT_LE(timed([&] { client.Close(); }), 1s) << "Close alone, while a connect hangs";
        EXPECT_EQ(client.IsOpen(), 0);
    }
}

TEST(TavrelReconnect, StopIsPromptWhileAServerStallsInsideAPart) {
    ScriptedServer stall([](int fd, const std::atomic<bool>& stopping) {
        const std::string frame(kSmall.imageBytes(), 'p');
        const std::string type = "application/x-ormidal-dib; width=160; height=120; bits=24";
        if (!sendAll(fd, kStreamHead + part(type, frame) + part(type, frame).substr(0, 5000)))
            return;
        while (!stopping)
            std::this_thread::sleep_for(10ms);
    });
    Counter c;
    c.bytes = kSmall.imageBytes();
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), stall.port()), 0);
    ASSERT_EQ(client.Run(&Counter::onFrame, &c), 0);
    ASSERT_TRUE(c.waitFor(1, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(timed([&] { client.Stop(); }), 1s);
    client.Close();
}

TEST(TavrelReconnect, OpenClientGivesUpWithinItsTimeoutOnBlackHolesAndUnknownNames) {
    const int port = freePort();
    BlackHole hole(port);
    CTavrel client;
    int rc = 0;
    auto took = timed([&] { rc = client.OpenClient(const_cast<char*>("127.0.0.1"), port); });
    EXPECT_NE(rc, 0);
    EXPECT_GE(took, 4s) << "the black hole answered";
    EXPECT_LE(took, 6s);
    took = timed([&] { rc = client.OpenClient(const_cast<char*>("no-such-host.invalid"), port); });
    EXPECT_NE(rc, 0);
    EXPECT_LE(took, 6s);
    EXPECT_EQ(client.IsOpen(), 0);
}

// The server of a listening caller: frames of the announced size until the server comes back
// at another one; then the new format, taken between Stop and Run as at a first connection.
struct FormatFollower {
    CTavrel client;
    Counter counter;
    std::atomic<int> changes{0};
    static void onChange(void* self) { ++static_cast<FormatFollower*>(self)->changes; }
};

TEST(TavrelReconnect, AServerBackAtAnotherSizeIsFollowedWhenTheCallerListens) {
    const int port = freePort();
    auto server = std::make_unique<LiveServer>(port, kSmall);
    ASSERT_TRUE(server->serving());
    FormatFollower f;
    ASSERT_EQ(f.client.SetFormatChangeCallBack(&FormatFollower::onChange, &f), 0);
    f.counter.bytes = kSmall.imageBytes();
    ASSERT_EQ(f.client.OpenClient("127.0.0.1", port), 0);
    ASSERT_EQ(f.client.Run(&Counter::onFrame, &f.counter), 0);
    ASSERT_TRUE(f.counter.waitFor(3, 5s));
    EXPECT_EQ(f.changes, 0);

    const DibFormat big{320, 240, 24};
    server.reset();
    server = std::make_unique<LiveServer>(port, big);
    ASSERT_TRUE(server->serving());
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (f.changes == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(f.changes, 1) << "the caller was never told of the new size";
    // Delivery waits for the caller: nothing of the new size reaches the old callback.
    const int before = f.counter.frames;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(f.counter.frames, before);
    EXPECT_EQ(f.client.IsRunning(), 1);

    f.client.Stop();
    BITMAPINFOHEADER header{};
    ASSERT_EQ(f.client.GetBitmapInfoHdr(&header), 0);
    EXPECT_EQ(header.biWidth, 320);
    EXPECT_EQ(header.biHeight, 240);
    EXPECT_EQ(header.biSizeImage, big.imageBytes());
    f.counter.bytes = big.imageBytes();
    ASSERT_EQ(f.client.Run(&Counter::onFrame, &f.counter), 0);
    EXPECT_TRUE(f.counter.waitFor(before + 5, 10s));
    EXPECT_EQ(f.changes, 1);
    f.client.Close();
}

TEST(TavrelReconnect, OneGoodFrameThenABrokenPartDoesNotEarnAQuickRetry) {
    // Each connection: two good frames half a second apart, then a part that breaks the
    // stream.
    ScriptedServer flaky([](int fd, const std::atomic<bool>&) {
        const std::string frame(kSmall.imageBytes(), 'p');
        const std::string type = "application/x-ormidal-dib; width=160; height=120; bits=24";
        if (!sendAll(fd, kStreamHead + part(type, frame)))
            return;
        std::this_thread::sleep_for(400ms);
        if (!sendAll(fd, part(type, frame)))
            return;
        std::this_thread::sleep_for(100ms);
        sendAll(fd, "--b\r\nContent-Type: image/jpeg\r\nContent-Length: nonsense\r\n\r\n");
    });
    Counter c;
    c.bytes = kSmall.imageBytes();
    CTavrel client;
    ASSERT_EQ(client.OpenClient("127.0.0.1", flaky.port()), 0);
    ASSERT_EQ(client.Run(&Counter::onFrame, &c), 0);
    std::this_thread::sleep_for(5000ms);
    client.Stop();
    client.Close();
    // Each connection lasts half a second, then pauses of 0.25, 0.5, 1, 1.5 s: four
    // connections in 5 s (a busy machine only makes fewer). A pause reset by the frames of
    // such a connection would make about seven.
    EXPECT_GE(c.frames, 2);
    EXPECT_LE(flaky.connections(), 5);
}

TEST(TavrelReconnect, AConnectionThatKeptDeliveringEarnsAQuickRetryAgain) {
    // Each connection delivers for a while, then the server drops it.
    ScriptedServer dropping([](int fd, const std::atomic<bool>& stopping) {
        const std::string frame(kSmall.imageBytes(), 'p');
        const std::string type = "application/x-ormidal-dib; width=160; height=120; bits=24";
        sendAll(fd, kStreamHead);
        const auto until = std::chrono::steady_clock::now() + 400ms;
        while (!stopping && std::chrono::steady_clock::now() < until) {
            if (!sendAll(fd, part(type, frame)))
                return;
            std::this_thread::sleep_for(20ms);
        }
    });
    ClientTiming timing;
    timing.firstRetry = 50ms;
    timing.lastRetry = 10s;
    timing.steadyAfter = 200ms;
    auto client = StreamClient::open("127.0.0.1", dropping.port(), 5s, true, timing);
    ASSERT_TRUE(client);
    Counter c;
    c.bytes = kSmall.imageBytes();
    ASSERT_TRUE(client->run(&Counter::onFrame, &c));
    // With the pause back at 50 ms after every healthy connection, eight connections take
    // about 3.6 s; pauses that kept doubling (50 ms ... 3.2 s) would take over 9 s.
    const auto end = std::chrono::steady_clock::now() + 8s;
    while (dropping.connections() < 8 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    client->stop();
    EXPECT_GE(dropping.connections(), 8);
}

TEST(TavrelReconnect, CancelEndsAnOpenThatHangsAndLeavesTheNextOneAlone) {
    const int port = freePort();
    CTavrel client;
    {
        BlackHole hole(port);
        std::atomic<bool> done{false};
        int rc = 0;
        std::thread opener([&] {
            rc = client.OpenClient("127.0.0.1", port);
            done = true;
        });
        std::this_thread::sleep_for(300ms);
        const auto took = timed([&] {
            while (!done) {
                client.CancelOpenClient();
                std::this_thread::sleep_for(10ms);
            }
        });
        opener.join();
        EXPECT_NE(rc, 0);
        EXPECT_LE(took, 1s) << "the open went on to its time-out";
        EXPECT_EQ(client.IsOpen(), 0);
    }
    client.CancelOpenClient(); // nothing in progress: no effect on what follows
    LiveServer server(port, kSmall);
    ASSERT_TRUE(server.serving());
    EXPECT_EQ(client.OpenClient("127.0.0.1", port), 0);
    client.Close();
}

} // namespace
