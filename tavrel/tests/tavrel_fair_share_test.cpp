// Fair shares between peer addresses: a flood of idle connections from many addresses never
// shuts out a prompt viewer, whatever its address, and one address cannot take every viewer
// place.
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};

std::unique_ptr<StreamServer> startServer(ServerOptions o = {}) {
    o.port = 0;
    o.format = kSmall;
    return StreamServer::start(o);
}

// A blocking socket connected to the server on loopback from `source` ("127.0.0.1", "::1",
// "127.0.3.7"...), or -1.
int connectBlocking(const char* source, int port) {
    const bool v6 = std::string(source).find(':') != std::string::npos;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc = -1;
    if (v6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET6, source, &to.sin6_addr);
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } else {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        const sockaddr_in to = loopback::address(port);
        rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0
                 ? ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to)
                 : -1;
    }
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until the response head is whole or `limit` passes; its status code, 0 for none.
int readStatus(int fd, std::chrono::milliseconds limit) {
    std::string text;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + limit;
    while (text.find("\r\n\r\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return 0;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return 0;
        text.append(buf, static_cast<size_t>(n));
    }
    return text.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(text.c_str() + 9) : 0;
}

// Asks for a snapshot from `source`, `delay` after connecting; the answer's status, 0 for none.
int snapshotFrom(const char* source, int port, std::chrono::milliseconds delay = 0ms) {
    const int fd = connectBlocking(source, port);
    if (fd < 0)
        return -1;
    std::this_thread::sleep_for(delay);
    const std::string req = "GET /snapshot.jpg HTTP/1.1\r\nHost: t\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    const int status = readStatus(fd, 3s);
    ::close(fd);
    return status;
}

bool ipv6LoopbackWorks(int port) {
    const int fd = connectBlocking("::1", port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

std::string floodAddress(int i) {
    return "127.0.3." + std::to_string(1 + i % 100);
}

// The budget of unfinished requests is full, one connection from each of 32 addresses that sort
// above the viewer's. The viewer, accepted into the full budget and asking a moment later, must
// be answered: the oldest unfinished connection makes room, not the lowest-sorting address.
TEST(TavrelFairShare, ViewerAcceptedIntoAFullBudgetOfIdleConnectionsIsAnswered) {
    auto server = startServer();
    ASSERT_TRUE(server);
    const int port = server->port();
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { server->addFrame(f); });
    const bool v6 = ipv6LoopbackWorks(port);
    std::this_thread::sleep_for(100ms); // the probe above has gone

    std::vector<int> idle;
    for (int i = 0; i < 32; ++i) {
        idle.push_back(connectFrom(floodAddress(i).c_str(), port));
        ASSERT_GE(idle.back(), 0);
    }
    std::this_thread::sleep_for(300ms); // all accepted: the budget is full
    EXPECT_EQ(server->stats().shed, 0u);

    for (const char* viewer : {"127.0.0.1", "::1"}) {
        if (std::string(viewer) == "::1" && !v6)
            continue;
        // The previous viewer's place went back to the budget: fill it again.
        if (server->stats().shed > 0) {
            idle.push_back(connectFrom(floodAddress(static_cast<int>(idle.size())).c_str(), port));
            std::this_thread::sleep_for(200ms);
        }
        const uint64_t shedBefore = server->stats().shed;
        // Accepted before its request arrives, so it counts as unfinished for a moment.
        EXPECT_EQ(snapshotFrom(viewer, port, 200ms), 200) << "viewer from " << viewer;
        EXPECT_EQ(server->stats().shed, shedBefore + 1) << "one older idle connection made room";
    }
    // The idle connections made room oldest first.
    EXPECT_TRUE(closedByPeer(idle[0]));
    EXPECT_FALSE(closedByPeer(idle.back()));
    for (int fd : idle)
        ::close(fd);
}

// Connections that come faster than requests can: the budget is full of young idle ones, a
// viewer is accepted, and 40 more idle ones connect before it sends. None is old enough to be
// shed, so accepting pauses and the newcomers wait in the backlog; the viewer keeps its place.
TEST(TavrelFairShare, ViewerKeepsItsPlaceWhileNewerConnectionsArriveWithinTheGrace) {
    ServerOptions o;
    o.pendingGrace = 10s; // longer than the test: every connection here stays young
    auto server = startServer(o);
    ASSERT_TRUE(server);
    const int port = server->port();
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { server->addFrame(f); });
    std::vector<int> idle;
    for (int i = 0; i < 32; ++i)
        idle.push_back(connectFrom(floodAddress(i).c_str(), port));
    std::this_thread::sleep_for(200ms);
    const int viewer = connectBlocking("127.0.0.1", port);
    ASSERT_GE(viewer, 0);
    std::this_thread::sleep_for(200ms); // accepted, its request not yet sent
    for (int i = 32; i < 72; ++i)
        idle.push_back(connectFrom(floodAddress(i).c_str(), port));
    std::this_thread::sleep_for(200ms);
    const std::string req = "GET /snapshot.jpg HTTP/1.1\r\nHost: t\r\n\r\n";
    ::send(viewer, req.data(), req.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readStatus(viewer, 3s), 200);
    EXPECT_EQ(server->stats().shed, 0u) << "a connection younger than the grace was shed";
    ::close(viewer);
    for (int fd : idle)
        ::close(fd);
}

// Many clients of one machine connecting at once (16 viewers of a dashboard) may each send
// their request a little after connecting: none may be shed while younger than the grace.
TEST(TavrelFairShare, ManyClientsOfOneAddressConnectingAtOnceAreAllAnswered) {
    ServerOptions o;
    o.maxPendingPerAddress = 8;
    o.pendingGrace = 5s; // far longer than the test takes to send the requests
    auto server = startServer(o);
    ASSERT_TRUE(server);
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { server->addFrame(f); });
    std::vector<int> fds;
    for (int i = 0; i < 16; ++i)
        fds.push_back(connectFrom("127.0.0.2", server->port()));
    std::this_thread::sleep_for(200ms); // every one accepted before any request comes
    const std::string req = "GET /snapshot.jpg HTTP/1.1\r\nHost: t\r\n\r\n";
    for (int fd : fds)
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    for (size_t i = 0; i < fds.size(); ++i) {
        EXPECT_EQ(readStatus(fds[i], 5s), 200) << "client " << i;
        ::close(fds[i]);
    }
    EXPECT_EQ(server->stats().shed, 0u);
}

TEST(TavrelFairShare, PromptViewersAreAnsweredThroughAnIdleFloodFromAHundredAddresses) {
    auto server = startServer();
    ASSERT_TRUE(server);
    const int port = server->port();
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { server->addFrame(f); });
    const bool v6 = ipv6LoopbackWorks(port);

    // 100 addresses keep 150 connections open that never send a byte, replacing at once every
    // one the server lets go.
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread attacker([&] {
        std::vector<int> fds;
        int next = 0;
        while (!stop) {
            for (size_t i = fds.size(); i-- > 0;)
                if (closedByPeer(fds[i])) {
                    ::close(fds[i]);
                    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                }
            for (size_t k = 0; fds.size() < 150 && k < 300; ++k) {
                const int fd = connectFrom(floodAddress(next++).c_str(), port);
                if (fd >= 0) {
                    fds.push_back(fd);
                    ++opened;
                }
            }
            std::this_thread::sleep_for(10ms);
        }
        for (int fd : fds)
            ::close(fd);
    });
    std::this_thread::sleep_for(300ms);

    int asked = 0;
    int answered = 0;
    std::string failure;
    const auto end = std::chrono::steady_clock::now() + 4s;
    while (std::chrono::steady_clock::now() < end) {
        for (const char* viewer : {"127.0.0.1", "::1"}) {
            if (std::string(viewer) == "::1" && !v6)
                continue;
            const int status = snapshotFrom(viewer, port);
            ++asked;
            answered += status == 200;
            if (status != 200 && failure.empty())
                failure = std::string(viewer) + ": status " + std::to_string(status);
        }
        std::this_thread::sleep_for(50ms);
    }
    stop = true;
    attacker.join();
    std::printf("[figure] idle flood from 100 addresses: %d connections opened, %llu shed, "
                "snapshots answered %d/%d\n",
                opened.load(), static_cast<unsigned long long>(server->stats().shed), answered,
                asked);
    EXPECT_GT(server->stats().shed, 0u) << "the flood never filled the budget";
    EXPECT_EQ(answered, asked) << "first failure: " << failure;
}

// A stream reader from `source` that never reads past the response head; its status is stored.
struct Reader {
    int fd = -1;
    int status = 0;
};

Reader openReader(const char* source, int port) {
    Reader r;
    r.fd = connectBlocking(source, port);
    if (r.fd < 0)
        return r;
    const std::string req = "GET /stream HTTP/1.1\r\nHost: t\r\n\r\n";
    ::send(r.fd, req.data(), req.size(), MSG_NOSIGNAL);
    r.status = readStatus(r.fd, 3s);
    return r;
}

TEST(TavrelFairShare, OneAddressHoldingManyReadersLeavesOthersAPlace) {
    auto server = startServer();
    ASSERT_TRUE(server);
    const int port = server->port();
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { server->addFrame(f); });
    const size_t limit = ServerOptions{}.maxClientsPerAddress;
    ASSERT_LT(limit, ServerOptions{}.maxClients) << "one address must not fill every place";

    // One address asks for 64 streams: exactly its share is served, the rest are refused.
    std::vector<Reader> greedy;
    for (int i = 0; i < 64; ++i)
        greedy.push_back(openReader("127.0.0.2", port));
    for (size_t i = 0; i < greedy.size(); ++i)
        EXPECT_EQ(greedy[i].status, i < limit ? 200 : 503) << "reader " << i;

    // Another address still gets a place, and so does a snapshot.
    const Reader other = openReader("127.0.0.3", port);
    EXPECT_EQ(other.status, 200);
    EXPECT_EQ(snapshotFrom("127.0.0.4", port), 200);

    // A place that the greedy address frees is its own again.
    ::close(greedy[0].fd);
    greedy[0].fd = -1;
    std::this_thread::sleep_for(300ms);
    const Reader again = openReader("127.0.0.2", port);
    EXPECT_EQ(again.status, 200);
    for (const Reader& r : greedy)
        if (r.fd >= 0)
            ::close(r.fd);
    ::close(other.fd);
    ::close(again.fd);
}

TEST(TavrelFairShare, PerAddressViewerLimitIsConfigurable) {
    ServerOptions o;
    o.maxClientsPerAddress = 3;
    auto server = startServer(o);
    ASSERT_TRUE(server);
    FrameFeeder feeder(kSmall, 20ms, [&](uint8_t* f) { server->addFrame(f); });
    std::vector<Reader> readers;
    for (int i = 0; i < 4; ++i)
        readers.push_back(openReader("127.0.0.2", server->port()));
    EXPECT_EQ(readers[2].status, 200) << "the last place under the limit";
    EXPECT_EQ(readers[3].status, 503) << "the first over the limit";
    EXPECT_EQ(snapshotFrom("127.0.0.3", server->port()), 200);
    for (const Reader& r : readers)
        ::close(r.fd);
}

} // namespace
