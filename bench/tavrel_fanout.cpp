// Benchmark: one server fed at the camera's maximum rate, 1/4/16 loopback clients, raw and JPEG;
// compared with raw loopback TCP and libturbojpeg encoding measured in the same run. A "hostile"
// row adds readers that never read and idle connections next to healthy viewers.
#include "jpeg_codec.h"
#include "loopback.h"
#include "stream_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using tavrel::DibFormat;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRun = 1500ms;

double threadCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
double processCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Reads our stream and counts parts by their Content-Length, without decoding them.
struct CountingClient {
    std::atomic<long> parts{0};
    double cpu = 0;
    std::thread thread;
    void start(int port, bool raw, std::atomic<bool>& stop) {
        thread = std::thread([this, port, raw, &stop] {
            const int fd = loopback::connect(port);
            const std::string req =
                std::string("GET /stream") + (raw ? "?raw=1" : "") + " HTTP/1.1\r\nHost: b\r\n\r\n";
            ::send(fd, req.data(), req.size(), 0);
            timeval tv{0, 100000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::vector<char> buf(1 << 20);
            std::string head;
            size_t skip = 0;
            while (!stop) {
                const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0)
                    continue;
                size_t i = 0;
                while (i < static_cast<size_t>(n)) {
                    if (skip > 0) {
                        const size_t k = std::min(skip, static_cast<size_t>(n) - i);
                        skip -= k;
                        i += k;
                        if (skip == 0)
                            ++parts;
                        continue;
                    }
                    head.push_back(buf[i++]);
                    const size_t cl = head.find("Content-Length: ");
                    if (cl != std::string::npos && head.size() >= 4 &&
                        head.compare(head.size() - 4, 4, "\r\n\r\n") == 0 &&
                        head.find("\r\n\r\n", cl) + 4 == head.size()) {
                        skip = std::stoul(head.substr(cl + 16));
                        head.clear();
                    }
                }
            }
            cpu = threadCpuSeconds();
            ::close(fd);
        });
    }
};

struct RunResult {
    double fpsPerClient = 0;
    double serverCpuMsPerFrame = 0;
    double encodesPerFrame = 0;
    double cameraFps = 0;
};

RunResult runFanout(const DibFormat& f, bool raw, int clients) {
    tavrel::ServerOptions o;
    o.port = 0;
    o.format = f;
    auto server = tavrel::StreamServer::start(o);
    std::vector<uint8_t> frame(f.imageBytes(), 0x5a);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 31 / 7);
    server->addFrame(frame.data());
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<CountingClient>> cs;
    for (int i = 0; i < clients; ++i) {
        cs.push_back(std::make_unique<CountingClient>());
        cs.back()->start(server->port(), raw, stop);
    }
    std::this_thread::sleep_for(200ms); // all connected and streaming
    for (auto& c : cs)
        c->parts = 0;
    const auto before = server->stats().pool;
    const double cpu0 = processCpuSeconds();
    const auto t0 = Clock::now();
    std::atomic<bool> feeding{true};
    std::thread camera([&] {
        while (feeding)
            server->addFrame(frame.data()); // the camera's streaming thread, as fast as it goes
    });
    std::this_thread::sleep_for(kRun);
    feeding = false;
    camera.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    long parts = 0;
    for (auto& c : cs)
        parts += c->parts;
    const auto after = server->stats().pool;
    stop = true;
    double clientCpu = 0;
    for (auto& c : cs) {
        c->thread.join();
        clientCpu += c->cpu;
    }
    const double cpu = processCpuSeconds() - cpu0 - clientCpu; // clients' CPU is not the server's
    server.reset();
    const double published = double(after.published - before.published);
    RunResult r;
    r.fpsPerClient = double(parts) / clients / secs;
    r.cameraFps = published / secs;
    r.serverCpuMsPerFrame = published > 0 ? cpu * 1000.0 / published : 0;
    r.encodesPerFrame = published > 0 ? double(after.encodes - before.encodes) / published : 0;
    return r;
}

struct HostileResult {
    double healthyFps = 0;
    double cameraFps = 0;
    double acceptRatio = 0;
    uint64_t cutOff = 0;
    uint64_t shed = 0;
};

// A connection from another loopback address (127.0.0.x) that never sends a byte.
int idleConnection(int port, int index) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(index % 8));
    const sockaddr_in to = loopback::address(port);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return fd;
}

// 64 idle connections renewed as the server drops them and 16 readers that ask for the stream
// and never read (half of them raw, joining one by one so each stalls on a frame of its own);
// then 16 healthy JPEG viewers come. The camera runs at 30 fps.
HostileResult runHostile(const DibFormat& f) {
    tavrel::ServerOptions o;
    o.port = 0;
    o.format = f;
    auto server = tavrel::StreamServer::start(o);
    const int port = server->port();
    std::vector<uint8_t> frame(f.imageBytes());
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 31 / 7);
    std::atomic<bool> feeding{true};
    std::thread camera([&] {
        auto next = Clock::now();
        while (feeding) {
            server->addFrame(frame.data());
            next += std::chrono::microseconds(33333);
            std::this_thread::sleep_until(next);
        }
    });
    std::atomic<bool> stop{false};
    std::thread idle([&] {
        std::vector<int> fds;
        for (int i = 0; !stop; ++i) {
            for (size_t k = fds.size(); k-- > 0;) {
                char b;
                const ssize_t n = ::recv(fds[k], &b, 1, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN)) {
                    ::close(fds[k]);
                    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(k));
                }
            }
            while (fds.size() < 64)
                fds.push_back(idleConnection(port, i++));
            std::this_thread::sleep_for(100ms);
        }
        for (int fd : fds)
            ::close(fd);
    });
    std::this_thread::sleep_for(300ms); // the idle connections are in place
    std::vector<int> stuck;
    for (int i = 0; i < 16; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const sockaddr_in a = loopback::address(port);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        const std::string req =
            std::string("GET /stream") + (i % 2 ? "?raw=1" : "") + " HTTP/1.1\r\nHost: b\r\n\r\n";
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        stuck.push_back(fd);
        std::this_thread::sleep_for(40ms);
    }
    // The viewers come while the attack is under way.
    std::vector<std::unique_ptr<CountingClient>> healthy;
    for (int i = 0; i < 16; ++i) {
        healthy.push_back(std::make_unique<CountingClient>());
        healthy.back()->start(port, false, stop);
    }
    std::this_thread::sleep_for(500ms);
    for (auto& c : healthy)
        c->parts = 0;
    const auto before = server->stats();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(kRun * 2);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    long parts = 0;
    for (auto& c : healthy)
        parts += c->parts;
    const auto after = server->stats();
    feeding = false;
    camera.join();
    stop = true;
    for (auto& c : healthy)
        c->thread.join();
    idle.join();
    for (int fd : stuck)
        ::close(fd);
    server.reset();
    HostileResult r;
    const double published = double(after.pool.published - before.pool.published);
    const double dropped = double(after.pool.dropped - before.pool.dropped);
    r.healthyFps = double(parts) / 16 / secs;
    r.cameraFps = published / secs;
    r.acceptRatio = published + dropped > 0 ? published / (published + dropped) : 0;
    r.cutOff = after.cutOff;
    r.shed = after.shed;
    return r;
}

// Floor: the same bytes over one loopback TCP connection, nothing else.
double rawTcpFps(const DibFormat& f) {
    int port = 0;
    const int lfd = loopback::listen(&port);
    std::atomic<long> bytes{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        std::vector<char> buf(1 << 20);
        for (;;) {
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            bytes += n;
        }
        ::close(fd);
    });
    const int fd = loopback::connect(port);
    std::vector<uint8_t> frame(f.imageBytes(), 1);
    const auto t0 = Clock::now();
    long frames = 0;
    while (Clock::now() - t0 < kRun) {
        size_t off = 0;
        while (off < frame.size()) {
            const ssize_t n = ::send(fd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
        ++frames;
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    ::close(fd);
    reader.join();
    ::close(lfd);
    return double(frames) / secs;
}

// Floor: libturbojpeg encoding of the same frames, alone.
double jpegEncodeFps(const DibFormat& f) {
    tavrel::JpegEncoder enc;
    std::vector<uint8_t> frame(f.imageBytes());
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 31 / 7);
    std::vector<uint8_t> out(tavrel::JpegEncoder::maxEncodedBytes(f));
    const auto t0 = Clock::now();
    long n = 0;
    while (Clock::now() - t0 < kRun) {
        enc.encode(f, frame.data(), out.data(), out.size());
        ++n;
    }
    return double(n) / std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace

int main() {
    const DibFormat sizes[] = {{1280, 720, 24}, {1920, 1080, 24}};
    double maxEncodes = 0;
    double fps16 = 0;
    double ratioRaw = 0;
    double ratioJpeg = 0;
    for (const DibFormat& f : sizes) {
        const double tcp = rawTcpFps(f);
        const double enc = jpegEncodeFps(f);
        std::printf(
            "%dx%d floors: raw loopback TCP %.1f frames/s, libturbojpeg encode %.1f frames/s\n",
            f.width, f.height, tcp, enc);
        for (bool raw : {true, false}) {
            for (int clients : {1, 4, 16}) {
                const RunResult r = runFanout(f, raw, clients);
                std::printf("  %-4s clients=%2d  camera %.1f fps  per client %.1f fps  server CPU "
                            "%.2f ms/frame"
                            "  encodes/frame %.3f\n",
                            raw ? "raw" : "jpeg", clients, r.cameraFps, r.fpsPerClient,
                            r.serverCpuMsPerFrame, r.encodesPerFrame);
                if (!raw)
                    maxEncodes = std::max(maxEncodes, r.encodesPerFrame);
                if (f.height == 1080 && !raw && clients == 16)
                    fps16 = r.fpsPerClient;
                if (f.height == 1080 && raw && clients == 1)
                    ratioRaw = r.fpsPerClient / tcp;
                if (f.height == 1080 && !raw && clients == 1)
                    ratioJpeg = r.fpsPerClient / enc;
            }
        }
    }
    const DibFormat hd{1280, 720, 24};
    const HostileResult h = runHostile(hd);
    std::printf("1280x720 hostile: 16 healthy jpeg + 16 never reading + 64 idle: camera %.1f fps "
                "(accepted %.3f of its frames), healthy per client %.1f fps (%.2f of the camera's "
                "rate), readers cut off %llu, idle connections shed %llu\n",
                h.cameraFps, h.acceptRatio, h.healthyFps,
                h.cameraFps > 0 ? h.healthyFps / h.cameraFps : 0,
                static_cast<unsigned long long>(h.cutOff), static_cast<unsigned long long>(h.shed));
    std::printf("encodes_per_frame=%.3f fps_per_client_16=%.1f ratio_raw_tcp=%.2f "
                "ratio_jpeg_encode=%.2f healthy_fps_hostile=%.1f camera_accept_ratio=%.3f\n",
                maxEncodes, fps16, ratioRaw, ratioJpeg, h.healthyFps, h.acceptRatio);
    return 0;
}
