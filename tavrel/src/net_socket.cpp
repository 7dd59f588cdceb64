// Socket helpers: dual-stack listener, connect with a deadline, loopback test, target parsing.
#include "net_socket.h"

#include "resolver.h"
#include "text_util.h"
#include "url_text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

namespace tavrel {

namespace {
constexpr size_t kMaxCredentialBytes = 256;

int msUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Binds to `addr` (whose port is set here) and listens.
UniqueFd bindListener(sockaddr_storage addr, int port) {
    const int family = addr.ss_family;
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return {};
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof(sockaddr_in);
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        // Every address: IPv4 too, on the same socket; one IPv6 address: that address only.
        const int v6only = IN6_IS_ADDR_UNSPECIFIED(&a->sin6_addr) ? 0 : 1;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        a->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof(sockaddr_in6);
    } else {
        reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(static_cast<uint16_t>(port));
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd.get(), 128) != 0)
        return {};
    return fd;
}

sockaddr_storage anyAddress(int family) {
    sockaddr_storage ss{};
    ss.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr = in6addr_any;
    else
        reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr = htonl(INADDR_ANY);
    return ss;
}

// A numeric IPv4 or IPv6 address (IPv6 optionally in brackets); false for anything else.
bool numericAddress(std::string_view text, sockaddr_storage& out) {
    text = trim(text);
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return false;
    const std::string s(text);
    out = sockaddr_storage{};
    if (::inet_pton(AF_INET, s.c_str(), &reinterpret_cast<sockaddr_in*>(&out)->sin_addr) == 1) {
        out.ss_family = AF_INET;
        return true;
    }
    if (::inet_pton(AF_INET6, s.c_str(), &reinterpret_cast<sockaddr_in6*>(&out)->sin6_addr) == 1) {
        out.ss_family = AF_INET6;
        return true;
    }
    return false;
}
} // namespace

UniqueFd listenOn(int port, const std::string& address) {
    if (port < 0 || port > 65535)
        return {};
    if (!address.empty()) {
        sockaddr_storage one{};
        return numericAddress(address, one) ? bindListener(one, port) : UniqueFd{};
    }
    UniqueFd fd = bindListener(anyAddress(AF_INET6), port);
    // Only a system without IPv6 falls back; a taken port must fail, not retry on IPv4.
    if (!fd.valid() && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL))
        fd = bindListener(anyAddress(AF_INET), port);
    return fd;
}

bool isNumericAddress(const std::string& text) {
    sockaddr_storage ss{};
    return numericAddress(text, ss);
}

int localPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return -1;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

int pollBefore(pollfd& p, Clock::time_point deadline) {
    for (;;) {
        const int n = ::poll(&p, 1, msUntil(deadline));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

WaitResult waitFor(int fd, short events, Clock::time_point deadline, int stopFd) {
    for (;;) {
        int timeout = -1;
        if (deadline != Clock::time_point::max()) {
            timeout = msUntil(deadline);
            if (timeout == 0 && Clock::now() >= deadline)
                return WaitResult::TimedOut;
        }
        pollfd p[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(p, stopFd >= 0 ? 2 : 1, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return WaitResult::Failed;
        if (stopFd >= 0 && (p[1].revents & POLLIN))
            return WaitResult::Stopped;
        if (p[0].revents)
            return WaitResult::Ready;
    }
}

UniqueFd connectBefore(const std::string& host, int port, Clock::time_point deadline, int stopFd) {
    for (const ResolvedAddress& a : resolveBefore(host, port, deadline, stopFd)) {
        UniqueFd fd(::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid())
            continue;
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a.address), a.length) != 0) {
            if (errno != EINPROGRESS)
                continue;
            const WaitResult w = waitFor(fd.get(), POLLOUT, deadline, stopFd);
            if (w == WaitResult::Stopped || w == WaitResult::TimedOut)
                return {};
            int err = 0;
            socklen_t len = sizeof err;
            if (w != WaitResult::Ready ||
                ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
                continue;
        }
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A peer that vanishes without a word is noticed within about a minute.
        ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        const int idle = 20, interval = 5, count = 4;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        return fd;
    }
    return {};
}

bool isLoopbackAddress(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET) {
        const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr.s_addr);
        return (a >> 24) == 127;
    }
    if (ss.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

bool peerIsLoopback(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return false;
    return isLoopbackAddress(ss);
}

AddressKey addressKey(const sockaddr_storage& ss) {
    AddressKey key{};
    if (ss.ss_family == AF_INET6) {
        std::memcpy(key.data(), &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, 16);
    } else if (ss.ss_family == AF_INET) {
        key[10] = key[11] = 0xff;
        std::memcpy(key.data() + 12, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, 4);
    }
    return key;
}

bool sendAllBefore(int fd, const char* data, size_t size, Clock::time_point deadline, int stopFd) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (waitFor(fd, POLLOUT, deadline, stopFd) != WaitResult::Ready)
            return false;
    }
    return true;
}

bool parseStreamTarget(const char* text, int defaultPort, StreamTarget& out) {
    if (!text)
        return false;
    std::string_view s = trim(text);
    out = StreamTarget{};
    out.port = defaultPort;
    bool url = false;
    if (s.size() >= 7 && iequals(s.substr(0, 7), "http://")) {
        s.remove_prefix(7);
        url = true;
    }
    std::string_view authority = s.substr(0, s.find('/'));
    if (url && authority.size() < s.size()) {
        out.path = std::string(s.substr(authority.size()));
        out.explicitPath = true;
    } else if (!url && authority.size() < s.size()) {
        return false; // a path needs the http:// form
    }
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        const size_t colon = userinfo.find(':');
        auto user = percentDecode(userinfo.substr(0, colon), kMaxCredentialBytes);
        auto password = percentDecode(colon == std::string_view::npos ? std::string_view{}
                                                                      : userinfo.substr(colon + 1),
                                      kMaxCredentialBytes);
        if (!url || !user || !password || user->find(':') != std::string::npos)
            return false;
        if (!user->empty() || !password->empty())
            out.credentials = *user + ":" + *password;
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return false;
            port = rest.substr(1);
        }
    } else if (const size_t colon = authority.find(':');
               colon != std::string_view::npos &&
               authority.find(':', colon + 1) == std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host)
        if (c <= 32 || c >= 127)
            return false;
    if (!port.empty()) {
        auto p = parseDecimal(port, 65535);
        if (!p)
            return false;
        out.port = static_cast<int>(*p);
    }
    for (char c : out.path)
        if (c <= 32 || c >= 127)
            return false;
    out.host = std::string(host);
    return out.port > 0 && out.port <= 65535;
}

} // namespace tavrel
