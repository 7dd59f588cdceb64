// Server and client on loopback through CTavrel: frames intact, lifecycle, limits, failures.
#include "tavrel/Tavrel.h"

#include "jpeg_codec.h"
#include "stream_client.h"
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};

// Collects delivered frames; the callback runs on the transport's delivery thread.
struct Receiver {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> frames;
    size_t bytes = 0;
    std::atomic<int> count{0};
    size_t keep = 0;

    static void onFrame(unsigned char* frame, void* context) {
        auto* self = static_cast<Receiver*>(context);
        std::lock_guard g(self->lock);
        if (self->frames.size() < self->keep)
            self->frames.emplace_back(frame, frame + self->bytes);
        ++self->count;
    }
    bool waitFor(int n, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(5ms);
        return count >= n;
    }
};

class TavrelStream : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = freePort();
        ASSERT_EQ(m_server.OpenServer(m_port, kSmall.width, kSmall.height, 30), 0);
        m_feeder = std::make_unique<FrameFeeder>(kSmall, 5ms,
                                                 [this](uint8_t* f) { m_server.AddFrame(f, 1); });
    }
    void TearDown() override {
        m_feeder.reset();
        m_server.Close();
    }
    CTavrel m_server;
    int m_port = 0;
    std::unique_ptr<FrameFeeder> m_feeder;
};

bool isOneOf(const std::vector<std::vector<uint8_t>>& set, const std::vector<uint8_t>& f) {
    for (auto& s : set)
        if (s == f)
            return true;
    return false;
}

TEST_F(TavrelStream, ClientAnnouncesHeaderAndReceivesHundredRawFramesIntact) {
    Receiver r; // outlives the client that calls it
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), m_port), 0);
    EXPECT_EQ(client.IsOpen(), 1);
    EXPECT_EQ(client.GetMode(), 1);
    EXPECT_EQ(client.IsRunning(), 0);
    BITMAPINFOHEADER h{};
    ASSERT_EQ(client.GetBitmapInfoHdr(&h), 0);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, kSmall.width);
    EXPECT_EQ(h.biHeight, kSmall.height);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biSizeImage, kSmall.imageBytes());

    r.bytes = h.biSizeImage;
    r.keep = 100;
    ASSERT_EQ(client.Run(&Receiver::onFrame, &r), 0);
    EXPECT_EQ(client.IsRunning(), 1);
    ASSERT_TRUE(r.waitFor(100));
    client.Stop();
    EXPECT_EQ(client.IsRunning(), 0);
    client.Close();
    EXPECT_EQ(client.IsOpen(), 0);
    EXPECT_EQ(client.GetMode(), 0);
    ASSERT_EQ(r.frames.size(), 100u);
    for (auto& f : r.frames)
        EXPECT_TRUE(isOneOf(m_feeder->frames(), f)) << "a raw frame arrived altered";
}

TEST_F(TavrelStream, JpegFramesDecodeCloseToTheOriginal) {
    Receiver r; // outlives the client that calls it
    auto client = StreamClient::open("127.0.0.1", m_port, 5s, /*allowRaw=*/false);
    ASSERT_TRUE(client);
    EXPECT_FALSE(client->askedForRaw());
    EXPECT_EQ(client->format(), kSmall);
    r.bytes = kSmall.imageBytes();
    r.keep = 20;
    ASSERT_TRUE(client->run(&Receiver::onFrame, &r));
    ASSERT_TRUE(r.waitFor(20));
    client->stop();
    for (auto& f : r.frames) {
        double best = 0;
        for (auto& original : m_feeder->frames())
            best = std::max(best, psnr(original, f.data(), kSmall));
        EXPECT_GT(best, 30.0);
    }
}

TEST_F(TavrelStream, StopWhileFramesFlowEndsCallbacksAndCloseWithClientsAttached) {
    std::vector<std::unique_ptr<Receiver>> receivers; // outlive the clients that call them
    std::vector<std::unique_ptr<CTavrel>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<CTavrel>());
        receivers.push_back(std::make_unique<Receiver>());
        ASSERT_EQ(clients[i]->OpenClient(const_cast<char*>("localhost"), m_port), 0);
        receivers[i]->bytes = kSmall.imageBytes();
        ASSERT_EQ(clients[i]->Run(&Receiver::onFrame, receivers[i].get()), 0);
    }
    for (auto& r : receivers)
        ASSERT_TRUE(r->waitFor(5));
    clients[0]->Stop();
    const int after = receivers[0]->count;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receivers[0]->count, after) << "a callback ran after Stop returned";
    clients[0]->Close();

    // The server closes under three running clients: they keep receiving from the user's
    // point of view (reconnecting), deliver nothing, and still stop at once.
    m_feeder.reset();
    EXPECT_EQ(m_server.Close(), 0);
    EXPECT_EQ(m_server.IsOpen(), 0);
    std::this_thread::sleep_for(300ms);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(clients[i]->IsRunning(), 1) << "a client that reconnects is still receiving";
        EXPECT_EQ(clients[i]->IsOpen(), 1);
        const int frames = receivers[i]->count;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(receivers[i]->count, frames);
        const auto start = std::chrono::steady_clock::now();
        clients[i]->Stop();
        clients[i]->Close();
        EXPECT_LE(std::chrono::steady_clock::now() - start, 1s);
    }
}

TEST_F(TavrelStream, RunAgainAfterStopDeliversAgain) {
    Receiver r; // outlives the client that calls it
    r.bytes = kSmall.imageBytes();
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), m_port), 0);
    ASSERT_EQ(client.Run(&Receiver::onFrame, &r), 0);
    ASSERT_TRUE(r.waitFor(3));
    client.Stop();
    const int before = r.count;
    ASSERT_EQ(client.Run(&Receiver::onFrame, &r), 0);
    EXPECT_TRUE(r.waitFor(before + 5)) << "Run reported success but nothing was delivered";
    EXPECT_EQ(client.IsRunning(), 1);
    client.Stop();
    client.Close();
}

TEST_F(TavrelStream, StateQueriesFromAnotherThreadDuringOpenAndCloseAreSafe) {
    CTavrel client;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            client.IsRunning();
            client.IsOpen();
            client.GetMode();
        }
    });
    Receiver r; // outlives the client that calls it
    r.bytes = kSmall.imageBytes();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), m_port), 0);
        ASSERT_EQ(client.Run(&Receiver::onFrame, &r), 0);
        client.Stop();
        client.Close();
    }
    done = true;
    reader.join();
}

// Sends `request` on a fresh connection and returns everything the server answers until it
// closes. With `halfClose` the client shuts its sending side right after the request.
std::string exchange(int port, const std::string& request, bool halfClose) {
    const int fd = loopback::connect(port);
    if (fd < 0)
        return "connect failed";
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (halfClose)
        ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
        answer.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return answer;
}

TEST_F(TavrelStream, ClientThatHalfClosesAfterItsRequestStillGetsItsAnswer) {
    // Until the first frame is encoded the snapshot is a 503; ask again, bounded.
    std::string snap;
    for (int attempt = 0; attempt < 250; ++attempt) {
        snap = exchange(m_port, "GET /snapshot.jpg HTTP/1.0\r\n\r\n", true);
        if (snap.rfind("HTTP/1.1 503", 0) != 0)
            break;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(snap.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << snap.substr(0, 80);
    const size_t body = snap.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    JpegDecoder d;
    int w = 0, h = 0;
    EXPECT_TRUE(d.readSize(reinterpret_cast<const uint8_t*>(snap.data()) + body + 4,
                           snap.size() - body - 4, w, h));
    EXPECT_EQ(w, kSmall.width);
    const std::string missing = exchange(m_port, "GET /nothing HTTP/1.0\r\n\r\n", true);
    EXPECT_EQ(missing.rfind("HTTP/1.1 404", 0), 0u) << missing.substr(0, 80);
}

TEST(TavrelServer, ClientThatNeverReadsNeitherSlowsOthersNorGrowsMemory) {
    // Frames big enough that "a few frames" stands out from allocator noise.
    const DibFormat vga{640, 480, 24};
    CTavrel server;
    const int port = freePort();
    ASSERT_EQ(server.OpenServer(port, vga.width, vga.height, 30), 0);
    FrameFeeder feeder(vga, 10ms, [&](uint8_t* f) { server.AddFrame(f, 1); });

    // A client that asks for the raw stream and then never reads.
    const int stuck = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ::setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in a = loopback::address(port);
    ASSERT_EQ(::connect(stuck, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    const char req[] = "GET /stream?raw=1 HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_GT(::send(stuck, req, sizeof req - 1, 0), 0);

    Receiver r;
    r.bytes = vga.imageBytes();
    CTavrel client;
    ASSERT_EQ(client.OpenClient(const_cast<char*>("127.0.0.1"), port), 0);
    ASSERT_EQ(client.Run(&Receiver::onFrame, &r), 0);
    ASSERT_TRUE(r.waitFor(10));
    const long rssBefore = residentKb();
    const int fedBefore = feeder.count();
    const int gotBefore = r.count;
    std::this_thread::sleep_for(10s);
    const int fed = feeder.count() - fedBefore;
    const int got = r.count - gotBefore;
    const long growthKb = residentKb() - rssBefore;
    client.Stop();
    client.Close();
    ::close(stuck);
    // The reading client keeps up with the camera (it may skip, never stall).
    EXPECT_GT(got, fed / 2) << "fed " << fed << " received " << got;
    EXPECT_LT(growthKb, static_cast<long>(4 * vga.imageBytes() / 1024 + 4096)) << growthKb;
}

TEST(TavrelServer, ManyClientsComingAndGoingLeakNoDescriptors) {
    CTavrel server;
    const int port = freePort();
    ASSERT_EQ(server.OpenServer(port, kSmall.width, kSmall.height, 30), 0);
    FrameFeeder feeder(kSmall, 5ms, [&](uint8_t* f) { server.AddFrame(f, 1); });
    auto once = [&] {
        Receiver r; // outlives the clients
        std::vector<std::unique_ptr<CTavrel>> clients;
        // As many as one address may hold (every client here comes from 127.0.0.1).
        for (int i = 0; i < static_cast<int>(ServerOptions{}.maxClientsPerAddress); ++i) {
            clients.push_back(std::make_unique<CTavrel>());
            ASSERT_EQ(clients.back()->OpenClient(const_cast<char*>("127.0.0.1"), port), 0) << i;
        }
        r.bytes = kSmall.imageBytes();
        ASSERT_EQ(clients[0]->Run(&Receiver::onFrame, &r), 0);
        ASSERT_TRUE(r.waitFor(3));
    };
    // The server notices closed clients on a later loop turn: count once it has let go of
    // every connection of the last round, i.e. once the count no longer falls.
    auto settledFdCount = [] {
        int last = openFdCount();
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(100ms);
            const int now = openFdCount();
            if (now == last)
                break;
            last = now;
        }
        return last;
    };
    once(); // warms up lazily made slots and descriptors
    const int fdsBefore = settledFdCount();
    for (int round = 0; round < 3; ++round)
        once();
    // A loaded machine may take a while to let go of the last round; a leak never does.
    int fdsAfter = openFdCount();
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (fdsAfter > fdsBefore && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
        fdsAfter = openFdCount();
    }
    EXPECT_LE(fdsAfter, fdsBefore);
}

TEST(TavrelServer, ClientsBeyondTheLimitAreRefusedWith503) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    o.maxClients = 2;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    auto frame = makeFrame(kSmall, 0);
    server->addFrame(frame.data());
    auto a = StreamClient::open("127.0.0.1", server->port(), 5s);
    auto b = StreamClient::open("127.0.0.1", server->port(), 5s);
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(StreamClient::open("127.0.0.1", server->port(), 5s));
    EXPECT_EQ(server->stats().refused, 1u);
}

TEST(TavrelServer, OutOfDescriptorsTheListenerNeitherSpinsNorStaysDeaf) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    // Client sockets are made first; then no new descriptor can be had, so the server's accept
    // fails with EMFILE while connections wait in its backlog.
    std::vector<int> peers;
    for (int i = 0; i < 3; ++i)
        peers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const sockaddr_in a = loopback::address(server->port());
    for (int fd : peers)
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);

    auto cpuNow = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    };
    const auto cpuBefore = cpuNow();
    std::this_thread::sleep_for(500ms);
    const auto cpu = cpuNow() - cpuBefore;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_LT(cpu, 150ms) << "the I/O thread spun on a listener it could not accept from";

    // Once descriptors are free again the waiting connections are served.
    timeval limit{5, 0};
    ::setsockopt(peers[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const char req[] = "GET /nothing HTTP/1.1\r\n\r\n";
    ::send(peers[0], req, sizeof req - 1, MSG_NOSIGNAL);
    char buf[64] = {};
    EXPECT_GT(::recv(peers[0], buf, sizeof buf - 1, 0), 0);
    EXPECT_EQ(std::string(buf).rfind("HTTP/1.1 404", 0), 0u) << buf;
    for (int fd : peers)
        ::close(fd);
}

TEST(TavrelServer, EncodesAtMostOncePerFrameWhateverTheClientCountAndNotAtAllUnwatched) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    auto frame = makeFrame(kSmall, 1);
    for (int i = 0; i < 10; ++i)
        server->addFrame(frame.data());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server->stats().pool.encodes, 0u) << "nobody watches JPEG";

    std::vector<std::unique_ptr<Receiver>> receivers; // outlive the clients that call them
    std::vector<std::unique_ptr<StreamClient>> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(StreamClient::open("127.0.0.1", server->port(), 5s, false));
        ASSERT_TRUE(clients.back());
        receivers.push_back(std::make_unique<Receiver>());
        receivers.back()->bytes = kSmall.imageBytes();
        ASSERT_TRUE(clients.back()->run(&Receiver::onFrame, receivers.back().get()));
    }
    FrameFeeder feeder(kSmall, 5ms, [&](uint8_t* f) { server->addFrame(f); });
    for (auto& r : receivers)
        ASSERT_TRUE(r->waitFor(20));
    const PoolCounters c = server->stats().pool;
    EXPECT_LE(c.encodes, c.published);
}

TEST(TavrelLifecycle, IllegalCallsAreRefusedAndStateReadsTrue) {
    CTavrel t;
    EXPECT_EQ(t.Initialize(), 0);
    EXPECT_EQ(t.IsOpen(), 0);
    EXPECT_EQ(t.GetMode(), 0);
    EXPECT_EQ(t.IsRunning(), 0);
    unsigned char pixel[4] = {};
    EXPECT_LT(t.AddFrame(pixel, 1), 0);
    EXPECT_LT(t.Run(&Receiver::onFrame, nullptr), 0);
    BITMAPINFOHEADER h{};
    EXPECT_LT(t.GetBitmapInfoHdr(&h), 0);
    EXPECT_EQ(t.Stop(), 0);
    EXPECT_EQ(t.Close(), 0);

    const int port = freePort();
    EXPECT_NE(t.OpenServer(port, 0, 120, 30), 0);
    EXPECT_NE(t.OpenServer(port, 160, -1, 30), 0);
    EXPECT_NE(t.OpenServer(0, 160, 120, 30), 0);
    EXPECT_NE(t.OpenServer(70000, 160, 120, 30), 0);
    EXPECT_NE(t.OpenServer(port, 9000, 120, 30), 0) << "beyond the frame size bound";
    ASSERT_EQ(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(t.GetMode(), 2);
    EXPECT_EQ(t.IsOpen(), 1);
    EXPECT_NE(t.OpenServer(port, 160, 120, 30), 0) << "one connection at a time";
    EXPECT_NE(t.OpenClient(const_cast<char*>("127.0.0.1"), port), 0);
    EXPECT_LT(t.Run(&Receiver::onFrame, nullptr), 0) << "a server has no delivery";
    EXPECT_LT(t.AddFrame(nullptr, 1), 0);
    EXPECT_EQ(t.Close(), 0);
    EXPECT_EQ(t.GetMode(), 0);
    EXPECT_EQ(t.UnInitialize(), 0);
}

TEST(TavrelLifecycle, AddFrameRacingOpenAndCloseIsSafe) {
    CTavrel t;
    const int port = freePort();
    FrameFeeder feeder(kSmall, 0ms, [&](uint8_t* f) { t.AddFrame(f, 1); });
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(t.OpenServer(port, kSmall.width, kSmall.height, 30), 0);
        std::this_thread::sleep_for(2ms);
        t.Close();
    }
}

TEST(TavrelServer, PortAlreadyInUseIsRefused) {
    const int port = freePort();
    CTavrel first;
    ASSERT_EQ(first.OpenServer(port, 160, 120, 30), 0);
    CTavrel second;
    EXPECT_NE(second.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(second.IsOpen(), 0);
}

TEST(TavrelClient, ClosedPortAndBlackHoleFailWithinTheTimeout) {
    CTavrel c;
    EXPECT_NE(c.OpenClient(const_cast<char*>("127.0.0.1"), freePort()), 0);
    EXPECT_EQ(c.IsOpen(), 0);

    // A listener that accepts connections in the kernel but never answers.
    int holePort = 0;
    const int hole = loopback::listen(&holePort, 4);
    ASSERT_GE(hole, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(c.OpenClient(const_cast<char*>("127.0.0.1"), holePort), 0);
    EXPECT_LE(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_EQ(c.IsOpen(), 0);
    ::close(hole);
}

TEST(TavrelClient, SignalsDuringOpenDoNotFailIt) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    // The first frame comes late, so the open waits in poll while signals arrive.
    struct sigaction quiet {
    }, saved{};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &saved), 0);
    const pthread_t opener = ::pthread_self();
    std::atomic<bool> done{false};
    auto frame = makeFrame(kSmall, 3);
    std::thread other([&] {
        const auto firstFrameAt = std::chrono::steady_clock::now() + 300ms;
        bool sent = false;
        while (!done) {
            ::pthread_kill(opener, SIGUSR1);
            if (!sent && std::chrono::steady_clock::now() >= firstFrameAt)
                sent = server->addFrame(frame.data());
            std::this_thread::sleep_for(5ms);
        }
    });
    auto client = StreamClient::open("127.0.0.1", server->port(), 5s);
    done = true;
    other.join();
    ::sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_TRUE(client) << "an interrupted poll ended the open";
}

TEST(TavrelClient, UrlHostWithPortAndPathWinsOverThePortArgument) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    auto frame = makeFrame(kSmall, 2);
    server->addFrame(frame.data());
    CTavrel c;
    const std::string url = "http://[::1]:" + std::to_string(server->port()) + "/stream";
    ASSERT_EQ(c.OpenClient(const_cast<char*>(url.c_str()), 1), 0);
    BITMAPINFOHEADER h{};
    c.GetBitmapInfoHdr(&h);
    EXPECT_EQ(h.biWidth, kSmall.width);
    c.Close();
    const std::string missing = "http://127.0.0.1:" + std::to_string(server->port()) + "/nothing";
    EXPECT_NE(c.OpenClient(const_cast<char*>(missing.c_str()), 1), 0) << "404 is a failure";
}

} // namespace

namespace {

std::string timestampOf(const std::string& partHead) {
    const size_t at = partHead.find("X-Timestamp: ");
    return at == std::string::npos ? ""
                                   : partHead.substr(at + 13, partHead.find('\r', at) - at - 13);
}

TEST(TavrelIdleCamera, RawClientGetsEachFrameOnceThenAFewResendsASecond) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    PartCounter reader(server->port(), "/stream?raw=1");
    std::this_thread::sleep_for(200ms);
    // Five frames, closer together than the resend interval: each must come exactly once.
    for (int i = 0; i < 5; ++i) {
        auto frame = makeFrame(kSmall, i);
        ASSERT_TRUE(server->addFrame(frame.data()));
        std::this_thread::sleep_for(150ms);
    }
    std::this_thread::sleep_for(3200ms); // the camera idles
    const auto heads = reader.heads();
    ASSERT_GE(heads.size(), 5u);
    std::vector<std::string> stamps;
    for (auto& h : heads)
        stamps.push_back(timestampOf(h));
    for (size_t i = 1; i < 5; ++i)
        EXPECT_LT(stamps[i - 1], stamps[i]) << "frame " << i << " repeated or out of order";
    const size_t resends = heads.size() - 5;
    EXPECT_GE(resends, 2u) << "the last frame goes out again while the camera idles";
    EXPECT_LE(resends, 4u) << "about once a second, no more";
    for (size_t i = 5; i < stamps.size(); ++i)
        EXPECT_EQ(stamps[i], stamps[4]) << "a resend is the last frame";
}

TEST(TavrelIdleCamera, SnapshotAnswersAtOnceWithTheLastFrame) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    JpegDecoder d;
    for (int index : {3, 11}) {
        const auto frame = makeFrame(kSmall, index);
        ASSERT_TRUE(server->addFrame(frame.data()));
        std::this_thread::sleep_for(1500ms); // idle, nobody watching: nothing encoded yet
        const HttpAnswer a = httpGet(server->port(), "/snapshot.jpg");
        ASSERT_EQ(a.status, 200) << a.head;
        EXPECT_LE(a.took, 1s) << "the snapshot waited for a frame that never comes";
        std::vector<uint8_t> rows(kSmall.imageBytes());
        ASSERT_TRUE(d.decode(reinterpret_cast<const uint8_t*>(a.body.data()), a.body.size(), kSmall,
                             rows.data()));
        EXPECT_GT(psnr(frame, rows.data(), kSmall), 30.0) << "not the last frame";
        const auto other = makeFrame(kSmall, index + 20);
        EXPECT_LT(psnr(other, rows.data(), kSmall), psnr(frame, rows.data(), kSmall));
    }
}

// Pixel bytes that end where a page no one may read begins: a read past them faults.
class GuardedFrame {
public:
    explicit GuardedFrame(size_t bytes) : m_bytes(bytes) {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        m_length = (bytes + page - 1) / page * page + page;
        m_base = static_cast<uint8_t*>(
            ::mmap(nullptr, m_length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (m_base == MAP_FAILED) {
            m_base = nullptr;
            return;
        }
        ::mprotect(m_base + m_length - page, page, PROT_NONE);
        std::memset(data(), 0x5a, bytes);
    }
    ~GuardedFrame() {
        if (m_base)
            ::munmap(m_base, m_length);
    }
    GuardedFrame(const GuardedFrame&) = delete;
    GuardedFrame& operator=(const GuardedFrame&) = delete;
    uint8_t* data() {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        return m_base + (m_length - page) - m_bytes;
    }
    bool valid() const { return m_base != nullptr; }

private:
    uint8_t* m_base = nullptr;
    size_t m_length = 0;
    size_t m_bytes = 0;
};

BITMAPINFOHEADER dibHeader(int width, int height, int bits = 24) {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bits);
    h.biSizeImage = static_cast<DWORD>(DibFormat{width, height, 24}.imageBytes());
    return h;
}

// A camera that came back smaller than the server it feeds: its frames are refused unread,
// frames of the served format still reach the viewers, and the server says what it takes.
TEST(TavrelServerFrames, AFrameOfAnotherFormatIsRefusedWithoutReadingPastIt) {
    const DibFormat hd{1280, 720, 24}, vga{640, 480, 24};
    CTavrel server;
    const int port = freePort();
    ASSERT_EQ(server.OpenServer(port, hd.width, hd.height, 30), 0);
    BITMAPINFOHEADER served{};
    ASSERT_EQ(server.GetBitmapInfoHdr(&served), 0);
    EXPECT_EQ(served.biWidth, hd.width);
    EXPECT_EQ(served.biHeight, hd.height);
    EXPECT_EQ(served.biBitCount, 24);

    GuardedFrame small(vga.imageBytes());
    GuardedFrame full(hd.imageBytes());
    ASSERT_TRUE(small.valid() && full.valid());
    const BITMAPINFOHEADER smallHeader = dibHeader(vga.width, vga.height);
    EXPECT_EQ(server.AddFrameOf(&smallHeader, small.data()), -3);
    // The served size with fewer bytes than it needs.
    BITMAPINFOHEADER shortImage = dibHeader(hd.width, hd.height);
    shortImage.biSizeImage = static_cast<DWORD>(vga.imageBytes());
    EXPECT_EQ(server.AddFrameOf(&shortImage, small.data()), -3);
    // Enough bytes, but not rows as the server sends them: top-down, deeper, or packed.
    BITMAPINFOHEADER topDown = dibHeader(hd.width, hd.height);
    topDown.biHeight = -hd.height;
    BITMAPINFOHEADER deeper = dibHeader(hd.width, hd.height);
    deeper.biBitCount = 16;
    BITMAPINFOHEADER packed = dibHeader(hd.width, hd.height);
    packed.biCompression = 3; // BI_BITFIELDS
    for (const BITMAPINFOHEADER& other : {topDown, deeper, packed}) {
        BITMAPINFOHEADER unsized = other;
        unsized.biSizeImage = 0;
        EXPECT_EQ(server.AddFrameOf(&unsized, full.data()), -3)
            << other.biHeight << " " << other.biBitCount << " " << other.biCompression;
    }
    EXPECT_EQ(server.AddFrameOf(nullptr, small.data()), -1);

    // A frame of the served format, up to its last byte and not one further, is served.
    const BITMAPINFOHEADER fullHeader = dibHeader(hd.width, hd.height);
    Receiver r;
    r.bytes = hd.imageBytes();
    r.keep = 1;
    std::atomic<bool> stop{false};
    std::thread camera([&] {
        while (!stop) {
            server.AddFrameOf(&fullHeader, full.data());
            server.AddFrameOf(&smallHeader, small.data()); // never mixed into the stream
            std::this_thread::sleep_for(10ms);
        }
    });
    CTavrel client;
    ASSERT_EQ(client.OpenClient("127.0.0.1", port), 0);
    BITMAPINFOHEADER received{};
    ASSERT_EQ(client.GetBitmapInfoHdr(&received), 0);
    EXPECT_EQ(received.biWidth, hd.width);
    ASSERT_EQ(client.Run(&Receiver::onFrame, &r), 0);
    EXPECT_TRUE(r.waitFor(5));
    client.Close();
    stop = true;
    camera.join();
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], std::vector<uint8_t>(hd.imageBytes(), 0x5a));
    server.Close();
    EXPECT_EQ(server.GetBitmapInfoHdr(&served), -1);
    EXPECT_EQ(server.AddFrameOf(&fullHeader, full.data()), -1);
}

} // namespace
