// Socket helpers shared by server and client: listening, connecting with a deadline, addresses.
#pragma once

#include "unique_fd.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace tavrel {

using Clock = std::chrono::steady_clock;

// A non-blocking listener on `port`: with an empty `address` on every address, IPv6 and IPv4 on
// one socket where the system allows, IPv4 alone otherwise; else on that one numeric address
// ("127.0.0.1", "::1", "[::1]"). `port` 0 takes a free port. Invalid on failure.
UniqueFd listenOn(int port, const std::string& address = {});
int localPort(int fd);
// Whether `text` is a numeric IPv4 or IPv6 address listenOn accepts.
bool isNumericAddress(const std::string& text);

// Connects to host:port before `deadline` (name resolution included); the socket is left
// non-blocking. Gives up at once when `stopFd` (an eventfd, -1 for none) becomes readable.
// Invalid on failure.
UniqueFd connectBefore(const std::string& host, int port, Clock::time_point deadline,
                       int stopFd = -1);

// poll() for one descriptor until `deadline`, resumed after a signal interrupts it; returns
// what poll returned (0 once the deadline has passed).
int pollBefore(pollfd& p, Clock::time_point deadline);

// Waits for `events` on `fd` until `deadline` (time_point::max(): no limit) or until `stopFd`
// becomes readable, resumed after signals.
enum class WaitResult { Ready, TimedOut, Stopped, Failed };
WaitResult waitFor(int fd, short events, Clock::time_point deadline, int stopFd);

// Loopback peers are 127/8, ::1 and IPv4-mapped 127/8; every other address is not.
bool isLoopbackAddress(const sockaddr_storage& address);
bool peerIsLoopback(int fd);
// A peer's address as 16 bytes (IPv4 in its IPv6-mapped form), to count connections per peer.
using AddressKey = std::array<uint8_t, 16>;
AddressKey addressKey(const sockaddr_storage& address);
bool setNonBlocking(int fd);

// Sends all of `data` before `deadline` on a non-blocking socket, giving up on a stop.
bool sendAllBefore(int fd, const char* data, size_t size, Clock::time_point deadline,
                   int stopFd = -1);

// Where a client connects: "host", "[v6]", or "http://[user:password@]host[:port]/path". A port
// in a URL wins; URL credentials (percent-encoded) are sent as HTTP Basic credentials.
struct StreamTarget {
    std::string host;
    int port = 0;
    std::string path = "/stream";
    bool explicitPath = false;
    std::string credentials; // "user:password", decoded; empty when the URL has none
};
bool parseStreamTarget(const char* text, int defaultPort, StreamTarget& out);

} // namespace tavrel
