// Helpers for the transport's tests: test frames, a camera-like feeder, ports, fds, child tools.
#pragma once

#include "loopback.h"

#include "dib_format.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tavrel::test {

// A smooth picture that moves with `index`, so JPEG keeps it close and frames differ.
inline std::vector<uint8_t> makeFrame(const DibFormat& f, int index) {
    std::vector<uint8_t> rows(f.imageBytes(), 0);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            uint8_t* p =
                rows.data() + static_cast<size_t>(y) * f.stride() + static_cast<size_t>(x) * 3;
            p[0] = static_cast<uint8_t>((x * 255) / f.width);
            p[1] = static_cast<uint8_t>((y * 255) / f.height);
            p[2] = static_cast<uint8_t>(index * 7);
        }
    return rows;
}

inline double psnr(const std::vector<uint8_t>& a, const uint8_t* b, const DibFormat& f) {
    double se = 0;
    size_t n = 0;
    for (int y = 0; y < f.height; ++y)
        for (size_t x = 0; x < static_cast<size_t>(f.width) * 3; ++x) {
            const size_t i = static_cast<size_t>(y) * f.stride() + x;
            const double d = double(a[i]) - double(b[i]);
            se += d * d;
            ++n;
        }
    const double mse = se / double(n);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

using loopback::freePort;

inline int openFdCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

// The sanitizers keep shadow memory for every byte touched (and AddressSanitizer a quarantine
// of freed blocks), so resident figures say nothing about the server there.
constexpr bool kResidentMeasurable =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    false;
#else
    true;
#endif

// A viewer of `path` with a 4 KiB receive buffer, so that the server's sends wait on it after a
// few kilobytes; the request is sent, nothing is read. -1 when it cannot connect.
inline int smallBufferViewer(int port, const char* path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in a = loopback::address(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string req = std::string("GET ") + path + " HTTP/1.1\r\nHost: t\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    return fd;
}

inline long residentKb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    long kb = -1;
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    if (f)
        std::fclose(f);
    return kb;
}

// Calls `add(frame)` from its own thread (like a camera's streaming thread) until destroyed.
class FrameFeeder {
public:
    FrameFeeder(const DibFormat& f, std::chrono::milliseconds period,
                std::function<void(uint8_t*)> add, int distinctFrames = 8)
        : m_add(std::move(add)) {
        for (int i = 0; i < distinctFrames; ++i)
            m_frames.push_back(makeFrame(f, i));
        m_thread = std::thread([this, period] {
            for (int i = 0; !m_stop; ++i) {
                m_add(m_frames[static_cast<size_t>(i) % m_frames.size()].data());
                ++m_count;
                std::this_thread::sleep_for(period);
            }
        });
    }
    ~FrameFeeder() {
        m_stop = true;
        m_thread.join();
    }
    int count() const { return m_count; }
    const std::vector<std::vector<uint8_t>>& frames() const { return m_frames; }

private:
    std::function<void(uint8_t*)> m_add;
    std::vector<std::vector<uint8_t>> m_frames;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::thread m_thread;
};

// A JPEG without its Huffman tables (DHT segments), as many cameras send each frame.
inline std::vector<uint8_t> withoutHuffmanTables(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos + 1] != 0xda) {
        const size_t len = (size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
        if (jpeg[pos + 1] != 0xc4)
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(pos),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 2 + len));
        pos += 2 + len;
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(pos), jpeg.end());
    return out;
}

// Finds a program on PATH; empty when missing.
inline std::string findTool(const char* name) {
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        const size_t end = p.find(':', start);
        std::string candidate = p.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return {};
}

// A child process killed (whole group) on destruction unless it has ended.
class Child {
public:
    // Runs argv with stdout to `outPath` (or /dev/null) and stderr to /dev/null.
    Child(const std::vector<std::string>& argv, const std::string& outPath = "/dev/null") {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setpgid(0, 0);
            const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int nul = ::open("/dev/null", O_RDWR);
            ::dup2(out, 1);
            ::dup2(nul, 2);
            ::dup2(nul, 0);
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (m_pid > 0 && !m_done) {
            ::kill(-m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    // Exit status, or -1 when it did not end within `limit` (it is then killed).
    int wait(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_done = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    bool m_done = false;
};

} // namespace tavrel::test

namespace tavrel::test {

// A socket connected from the loopback address `source` (127.0.0.2 and the like reach the same
// machine as distinct peers), or -1. The connect is not waited for: the server sees it at once.
inline int connectFrom(const char* source, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    const sockaddr_in to = loopback::address(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
         errno != EINPROGRESS)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the server has closed `fd` (or reset it); anything it sent is read and thrown away.
inline bool closedByPeer(int fd) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            continue;
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
}

struct HttpAnswer {
    int status = 0; // 0: no answer
    std::string head;
    std::string body;
    std::chrono::milliseconds took{0};
};

// Sends `request` on a fresh connection from 127.0.0.1 and reads the whole answer (the server
// closes every connection after its answer), bounded by `limit`.
inline HttpAnswer httpExchange(int port, const std::string& request,
                               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    HttpAnswer a;
    const auto start = std::chrono::steady_clock::now();
    const int fd = loopback::connect(port);
    if (fd < 0)
        return a;
    timeval tv{static_cast<time_t>(limit.count() / 1000),
               static_cast<suseconds_t>((limit.count() % 1000) * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string all;
    char buf[16384];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
        all.append(buf, static_cast<size_t>(n));
        if (std::chrono::steady_clock::now() - start > limit)
            break;
    }
    ::close(fd);
    a.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    const size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos)
        return a;
    a.status = std::atoi(all.c_str() + 9);
    a.head = all.substr(0, end + 4);
    a.body = all.substr(end + 4);
    return a;
}

inline HttpAnswer httpGet(int port, const std::string& target, const std::string& headers = {},
                          std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + headers + "\r\n",
                        limit);
}

// Reads a multipart stream from the server on its own thread and counts the parts by their
// Content-Length, keeping each part's headers; optionally stops reading after its request.
class PartCounter {
public:
    explicit PartCounter(int port, const std::string& target = "/stream",
                         const std::string& headers = {}) {
        m_fd = loopback::connect(port);
        const std::string req = "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + headers + "\r\n";
        ::send(m_fd, req.data(), req.size(), MSG_NOSIGNAL);
        timeval tv{0, 100000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_thread = std::thread([this] { loop(); });
    }
    ~PartCounter() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    int parts() const { return m_parts; }
    bool ended() const { return m_ended; }
    // The part headers seen so far (copied under the lock).
    std::vector<std::string> heads() {
        std::lock_guard g(m_lock);
        return m_heads;
    }
    std::string responseHead() {
        std::lock_guard g(m_lock);
        return m_responseHead;
    }

private:
    void loop() {
        std::vector<char> buf(1 << 20);
        std::string text;
        size_t skip = 0;
        bool inHead = true;
        while (!m_stop) {
            const ssize_t n = ::recv(m_fd, buf.data(), buf.size(), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                m_ended = true;
                return;
            }
            for (ssize_t i = 0; i < n;) {
                if (skip > 0) {
                    const size_t k = std::min(skip, static_cast<size_t>(n - i));
                    skip -= k;
                    i += static_cast<ssize_t>(k);
                    if (skip == 0)
                        ++m_parts;
                    continue;
                }
                text.push_back(buf[static_cast<size_t>(i++)]);
                if (text.size() < 4 || text.compare(text.size() - 4, 4, "\r\n\r\n") != 0)
                    continue;
                std::lock_guard g(m_lock);
                if (inHead) {
                    m_responseHead = text;
                    inHead = false;
                    if (text.rfind("HTTP/1.1 200", 0) != 0) {
                        m_ended = true;
                        return;
                    }
                    // The first part's boundary line follows the head; its headers come next.
                    text.clear();
                    continue;
                }
                const size_t cl = text.find("Content-Length: ");
                if (cl == std::string::npos)
                    continue; // the delimiter line before a part's headers
                skip = std::stoul(text.substr(cl + 16));
                m_heads.push_back(text);
                text.clear();
            }
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ended{false};
    std::atomic<int> m_parts{0};
    std::mutex m_lock;
    std::vector<std::string> m_heads;
    std::string m_responseHead;
    std::thread m_thread;
};

} // namespace tavrel::test

namespace tavrel::test {

// AddressSanitizer keeps freed blocks in a quarantine, so there a peak of resident memory
// counts every buffer ever freed; peak checks mean something only without it.
inline constexpr bool kPeakMemoryMeasurable =
#if defined(__SANITIZE_ADDRESS__)
    false;
#else
    true;
#endif

// Peak resident memory since the last resetPeakResident(), in KiB.
inline void resetPeakResident() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}
inline long peakResidentKb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    long kb = -1;
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    if (f)
        std::fclose(f);
    return kb;
}

// A loopback server whose answer to every connection is written by the test: `script` runs on
// the server's thread for each accepted connection and sends what it likes until `stopping()`.
class ScriptedServer {
public:
    using Script = std::function<void(int fd, const std::atomic<bool>& stopping)>;
    explicit ScriptedServer(Script script) : m_script(std::move(script)) {
        m_listener = loopback::listen(&m_port, 16);
        m_thread = std::thread([this] { loop(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    int port() const { return m_port; }
    int connections() const { return m_connections; }

private:
    void loop() {
        while (!m_stop) {
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            ++m_connections;
            // Read the request, so closing the socket later never resets the answer.
            timeval tv{0, 200000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char buf[4096];
            [[maybe_unused]] ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            m_script(fd, m_stop);
            ::close(fd);
        }
    }

    Script m_script;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

inline bool sendAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

inline const std::string kStreamHead = "HTTP/1.1 200 OK\r\nContent-Type: "
                                       "multipart/x-mixed-replace;boundary=b\r\n\r\n";

inline std::string part(const std::string& type, const std::string& body) {
    return "--b\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body + "\r\n";
}

} // namespace tavrel::test
