// Benchmark: time from AddFrame to the client's callback over loopback, 300 frames at 30 fps,
// next to the floor of sending the same bytes over a bare loopback TCP connection.
#include "loopback.h"
#include "tavrel/Tavrel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr size_t kStride = ((kWidth * 24 + 31) / 32) * 4;
constexpr size_t kBytes = kStride * kHeight;
constexpr int kFrames = 300;

struct Probe {
    std::vector<Clock::time_point> sent = std::vector<Clock::time_point>(kFrames + 1);
    std::vector<double> ms;
    std::atomic<int> last{-1};
    static void onFrame(unsigned char* frame, void* self) {
        auto* p = static_cast<Probe*>(self);
        int index = 0;
        std::memcpy(&index, frame, sizeof index);
        // A frame re-sent while the camera idles is not a new measurement.
        if (index < 0 || index > kFrames || index <= p->last)
            return;
        p->last = index;
        p->ms.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - p->sent[index]).count());
    }
};

double percentile(std::vector<double> v, double q) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * double(v.size())))];
}

// Floor: one frame's bytes written and read back over a loopback TCP pair, 300 times.
double tcpFloorP50() {
    int sv[2];
    int port = 0;
    const int lfd = loopback::listen(&port);
    sv[0] = loopback::connect(port);
    sv[1] = ::accept(lfd, nullptr, nullptr);
    std::vector<uint8_t> frame(kBytes, 3), in(kBytes);
    std::vector<double> ms;
    for (int i = 0; i < kFrames; ++i) {
        const auto t0 = Clock::now();
        std::thread writer([&] { ::send(sv[0], frame.data(), frame.size(), MSG_NOSIGNAL); });
        size_t got = 0;
        while (got < kBytes) {
            const ssize_t n = ::recv(sv[1], in.data() + got, kBytes - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        writer.join();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    ::close(sv[0]);
    ::close(sv[1]);
    ::close(lfd);
    return percentile(ms, 0.5);
}

} // namespace

int main() {
    const double floorMs = tcpFloorP50();
    CTavrel server;
    const int port = loopback::freePort();
    if (server.OpenServer(port, kWidth, kHeight, 30) != 0)
        return 1;
    std::vector<uint8_t> frame(kBytes, 0x40);
    int zero = 0;
    std::memcpy(frame.data(), &zero, sizeof zero);
    server.AddFrame(frame.data(), 1); // the client reads one frame before it returns
    CTavrel client;
    if (client.OpenClient(const_cast<char*>("127.0.0.1"), port) != 0)
        return 1;
    Probe probe;
    probe.sent[0] = Clock::now();
    client.Run(&Probe::onFrame, &probe);
    auto next = Clock::now();
    for (int i = 1; i <= kFrames; ++i) {
        next += std::chrono::microseconds(33333);
        std::this_thread::sleep_until(next);
        std::memcpy(frame.data(), &i, sizeof i);
        probe.sent[i] = Clock::now();
        server.AddFrame(frame.data(), 1);
    }
    std::this_thread::sleep_for(200ms);
    client.Stop();
    client.Close();
    server.Close();
    std::vector<double> ms(probe.ms.begin() + (probe.ms.empty() ? 0 : 1), probe.ms.end());
    std::printf(
        "1280x720 raw over loopback: %zu of %d frames measured; floor (bare TCP, same bytes) "
        "p50 %.3f ms\n",
        ms.size(), kFrames, floorMs);
    std::printf("p50_ms=%.3f p99_ms=%.3f floor_tcp_p50_ms=%.3f\n", percentile(ms, 0.5),
                percentile(ms, 0.99), floorMs);
    return 0;
}
