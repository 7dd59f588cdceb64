// Loopback sockets for tests and benchmarks: everything here stays on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace loopback {

inline sockaddr_in address(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening socket on a port the kernel picks (stored in *port), or -1.
inline int listen(int* port, int backlog = 1) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = address(0);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// A port nobody listens on at this moment. Taken at random below the kernel's ephemeral range
// (32768 and up), where outgoing connections of tests running beside this one cannot land on
// it between now and the moment the caller binds it.
inline int freePort() {
    static thread_local unsigned seed =
        static_cast<unsigned>(::getpid()) * 2654435761u ^ static_cast<unsigned>(::time(nullptr));
    for (int attempt = 0; attempt < 200; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        const int port = 20000 + static_cast<int>((seed >> 8) % 12000);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        const sockaddr_in a = address(port);
        const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    int port = 0;
    const int fd = listen(&port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// A connected socket to the port, or -1.
inline int connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = address(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace loopback
