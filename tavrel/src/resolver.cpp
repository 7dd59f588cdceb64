// Resolver: numeric addresses inline, names on a detached helper thread that shares its result.
#include "resolver.h"

#include "unique_fd.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>

namespace tavrel {

namespace {
std::vector<ResolvedAddress> lookUp(const std::string& host, int port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    std::vector<ResolvedAddress> out;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0)
        return out;
    for (addrinfo* ai = list; ai && out.size() < 16; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        ResolvedAddress r;
        std::memcpy(&r.address, ai->ai_addr, ai->ai_addrlen);
        r.length = ai->ai_addrlen;
        r.family = ai->ai_family;
        out.push_back(r);
    }
    ::freeaddrinfo(list);
    return out;
}

// Shared by the waiting caller and the helper thread; whoever lets go last frees it.
struct Lookup {
    std::mutex lock;
    std::vector<ResolvedAddress> result; // guarded by lock
    UniqueFd done{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
};
} // namespace

std::vector<ResolvedAddress> resolveBefore(const std::string& host, int port,
                                           std::chrono::steady_clock::time_point deadline,
                                           int stopFd) {
    if (auto numeric = lookUp(host, port, AI_NUMERICHOST); !numeric.empty())
        return numeric;
    auto job = std::make_shared<Lookup>();
    if (!job->done.valid())
        return {};
    try {
        // Helper thread: the blocking lookup; it signals `done` and touches nothing else.
        std::thread([job, host, port] {
            auto result = lookUp(host, port, 0);
            std::lock_guard g(job->lock);
            job->result = std::move(result);
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(job->done.get(), &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        return {};
    }
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p[2] = {{job->done.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(p, stopFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (stopFd >= 0 && (p[1].revents & POLLIN)))
            return {};
        if (p[0].revents & POLLIN) {
            std::lock_guard g(job->lock);
            return job->result;
        }
    }
}

} // namespace tavrel
