// Socket helpers shared by server and client: listening, connecting with a deadline, addresses.
#pragma once

#include "unique_fd.h"

#include <chrono>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace tavrel {

using Clock = std::chrono::steady_clock;

// A non-blocking listener on every address of `port`, IPv6 and IPv4 on one socket where the
// system allows, IPv4 alone otherwise. `port` 0 takes a free port. Invalid on failure.
UniqueFd listenOn(int port);
int localPort(int fd);

// Connects to host:port before `deadline`; the socket is left non-blocking. Invalid on failure.
UniqueFd connectBefore(const std::string& host, int port, Clock::time_point deadline);

// poll() for one descriptor until `deadline`, resumed after a signal interrupts it; returns
// what poll returned (0 once the deadline has passed).
int pollBefore(pollfd& p, Clock::time_point deadline);

bool peerIsLoopback(int fd);
bool setNonBlocking(int fd);

// Sends all of `data` before `deadline` on a non-blocking socket.
bool sendAllBefore(int fd, const char* data, size_t size, Clock::time_point deadline);

// Where a client connects: "host", "[v6]", or "http://host[:port]/path". A port in a URL wins.
struct StreamTarget {
    std::string host;
    int port = 0;
    std::string path = "/stream";
    bool explicitPath = false;
};
bool parseStreamTarget(const char* text, int defaultPort, StreamTarget& out);

} // namespace tavrel
