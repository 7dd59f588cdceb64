// The send time-out counts from a viewer's last progress, not from its connection: a slow
// viewer that keeps reading stays however long it takes, one that stops reading is cut.
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kFrame{640, 480, 24};
constexpr auto kSendTimeout = 2000ms;

std::unique_ptr<StreamServer> startServer() {
    ServerOptions o;
    o.port = 0; // a free one
    o.format = kFrame;
    o.sendTimeout = kSendTimeout;
    return StreamServer::start(o);
}

// Reads what is there within `waitMs`: the byte count, or -1 once the server has closed.
long readSome(int fd, int waitMs, size_t most) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return 0;
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, std::min(most, sizeof buffer), 0);
    return n > 0 ? long(n) : -1;
}

TEST(TavrelSendTimeout, ASlowViewerThatKeepsReadingStaysPastTheTimeOut) {
    auto server = startServer();
    ASSERT_TRUE(server);
    FrameFeeder camera(kFrame, 33ms, [&](uint8_t* rows) { server->addFrame(rows); });
    const int fd = smallBufferViewer(server->port(), "/stream?raw=1");
    ASSERT_GE(fd, 0);
    // 16 KiB every 20 ms: far slower than the frames come (a 900 KiB frame takes over a
    // second, 30 come meanwhile), but never silent for long: the server's socket drains
    // often enough to take more. Three time-outs long, it is still being served.
    long total = 0;
    const auto end = std::chrono::steady_clock::now() + 3 * kSendTimeout;
    while (std::chrono::steady_clock::now() < end) {
        const long n = readSome(fd, 20, 16384);
        ASSERT_GE(n, 0) << "cut off after " << total << " bytes while still reading";
        total += n;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(total, 0);
    EXPECT_EQ(server->stats().clients, 1u)
        << "cut off: " << server->stats().cutOff << ", read " << total;
    ::close(fd);
}

TEST(TavrelSendTimeout, AViewerThatStopsReadingIsCutAfterTheTimeOutFromItsLastProgress) {
    auto server = startServer();
    ASSERT_TRUE(server);
    FrameFeeder camera(kFrame, 33ms, [&](uint8_t* rows) { server->addFrame(rows); });
    const int fd = smallBufferViewer(server->port(), "/stream?raw=1");
    ASSERT_GE(fd, 0);
    // It reads for a while (longer than the time-out: its connection's age does not count)…
    const auto readingEnd = std::chrono::steady_clock::now() + 2 * kSendTimeout;
    while (std::chrono::steady_clock::now() < readingEnd) {
        ASSERT_GE(readSome(fd, 20, 16384), 0) << "cut off while still reading";
        std::this_thread::sleep_for(20ms);
    }
    // …then stops. Once the server has given it up, what was buffered drains and then the
    // connection ends.
    const auto stopped = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kSendTimeout + 1500ms);
    long n = 0;
    const auto bound = std::chrono::steady_clock::now() + 10s;
    while ((n = readSome(fd, 200, 65536)) > 0 && std::chrono::steady_clock::now() < bound) {
    }
    EXPECT_EQ(n, -1) << "the server kept a viewer that took nothing";
    EXPECT_GE(std::chrono::steady_clock::now() - stopped, kSendTimeout);
    EXPECT_EQ(server->stats().clients, 0u);
    ::close(fd);
}

} // namespace
