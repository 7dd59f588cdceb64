// Name resolution bounded by a deadline and interruptible, which getaddrinfo alone is not.
#pragma once

#include <chrono>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace tavrel {

// The addresses of host:port (TCP), numeric hosts at once; a name is looked up on a helper
// thread while the caller waits until `deadline` or until `stopFd` (an eventfd, -1 for none)
// becomes readable. Empty on failure, time-out or stop; a lookup left behind finishes on its
// own thread and is then thrown away.
struct ResolvedAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = 0;
};
std::vector<ResolvedAddress> resolveBefore(const std::string& host, int port,
                                           std::chrono::steady_clock::time_point deadline,
                                           int stopFd);

} // namespace tavrel
