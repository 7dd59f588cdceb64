// End to end: the real program serving the test-pattern camera, watched by the program's own
// client window on loopback. Latency runs from the capture time the camera codes into each
// picture to the moment the client's window draws it (DrawFrame), next to the frame interval
// (the floor any viewer waits for a frame anyway) and to a raw loopback TCP round trip of one
// frame measured in the same run. Server and client CPU per frame come from the kernel.
#include "TarnickDlg.h"
#include "loopback.h"
#include "media/sources/test_pattern/pattern_strip.h"

#include <QApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

namespace pattern = platform::media::pattern;
using Clock = std::chrono::steady_clock;

uint64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

double cpuSecondsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    std::string field;
    for (char c : text.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // utime and stime are the 14th and 15th fields of the whole line (12th, 13th after ')').
    if (fields.size() < 13)
        return 0;
    return double(std::stoull(fields[11]) + std::stoull(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

double selfCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The program as a server, started from its settings alone in a folder of its own.
class Server {
public:
    Server(int port, int width, int height) {
        char pattern[] = "/tmp/ormidal-e2e-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        std::filesystem::copy_file(TARNICK_BINARY, dir_ + "/tarnick");
        std::ofstream(dir_ + "/tarnick.ini")
            << "[NETWORK]\nCONNECT_PORT=" << port << "\n[CONFIG]\nAUTO_START=1\n"
            << "[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n[VIDEO]\nWIDTH=" << width
            << "\nHEIGHT=" << height << "\nBITCOUNT=24\nFRAME_PER_SEC=30\n";
        const std::string program = dir_ + "/tarnick";
        const std::string libs = std::string("LD_LIBRARY_PATH=") + TARNICK_LIBRARY_DIR;
        pid_ = ::fork();
        if (pid_ == 0) {
            char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
            char* envp[] = {const_cast<char*>("QT_QPA_PLATFORM=offscreen"),
                            const_cast<char*>(libs.c_str()), nullptr};
            ::execve(argv[0], argv, envp);
            ::_exit(127);
        }
    }
    ~Server() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    pid_t pid() const { return pid_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

struct Probe {
    CTarnickDlg* window = nullptr;
    int width = 0, height = 0;
    std::mutex lock;
    std::vector<double> latenciesMs;
    std::atomic<int> frames{0};
};

// The transport's delivery thread: the program's FrameCallback draws the frame; the probe
// reads the capture time from the pixels it was given and timestamps the drawing.
void probeFrame(unsigned char* frame, void* context) {
    auto* probe = static_cast<Probe*>(context);
    FrameCallback(frame, probe->window);
    const uint64_t drawn = monotonicUs();
    pattern::StripData strip;
    if (!pattern::decodeStripDib(frame, probe->width, probe->height, 24, &strip))
        return;
    const uint64_t age = (drawn - strip.captureTimeUs) & pattern::kStripTimeMask;
    std::lock_guard guard(probe->lock);
    probe->latenciesMs.push_back(double(age) / 1000.0);
    probe->frames.fetch_add(1);
}

// Lets the window thread paint what came, without spinning while nothing did.
void pumpBriefly() {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

// One frame's bytes over raw loopback TCP, there and back: the transport's own floor.
double loopbackFloorMs(size_t bytes) {
    int port = 0;
    const int listener = loopback::listen(&port);
    std::vector<char> buffer(bytes, 7);
    std::thread echo([&] {
        const int peer = ::accept(listener, nullptr, nullptr);
        std::vector<char> in(bytes);
        for (int round = 0; round < 50; ++round) {
            size_t got = 0;
            while (got < bytes) {
                const ssize_t n = ::read(peer, in.data() + got, bytes - got);
                if (n <= 0)
                    return;
                got += size_t(n);
            }
            [[maybe_unused]] ssize_t w = ::write(peer, "k", 1);
        }
        ::close(peer);
    });
    const int client = loopback::connect(port);
    std::vector<double> rounds;
    for (int round = 0; round < 50; ++round) {
        const auto start = Clock::now();
        size_t sent = 0;
        while (sent < bytes) {
            const ssize_t n = ::write(client, buffer.data() + sent, bytes - sent);
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        char ack;
        if (::read(client, &ack, 1) != 1)
            break;
        rounds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    echo.join();
    ::close(client);
    ::close(listener);
    return percentile(rounds, 0.5);
}

struct Result {
    double p50 = 0, p99 = 0, floorMs = 0, serverCpuMs = 0, clientCpuMs = 0;
    int frames = 0;
};

Result measure(int width, int height) {
    Result result;
    const int port = loopback::freePort();
    Server server(port, width, height);
    CTarnickDlg window;
    window.Create();
    Probe probe;
    probe.window = &window;
    probe.width = width;
    probe.height = height;

    // The server starts on its own; connect as soon as it listens.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    bool connected = false;
    while (!connected && Clock::now() < deadline) {
        connected = window.m_stream.OpenClient(const_cast<char*>("127.0.0.1"), port) == 0;
        if (!connected)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!connected) {
        std::fprintf(stderr, "the server did not come up\n");
        return result;
    }
    BITMAPINFOHEADER header{};
    window.m_stream.GetBitmapInfoHdr(&header);
    window.m_pFrameBuf = CVideo::DupBitmap(reinterpret_cast<BITMAPINFO*>(&header));
    window.FitWindowToFrame();
    window.m_stream.Run(probeFrame, &probe);

    // Settle for a second, then measure 300 frames.
    const auto settle = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < settle)
        pumpBriefly();
    {
        std::lock_guard guard(probe.lock);
        probe.latenciesMs.clear();
    }
    const int startFrames = probe.frames.load();
    const double serverStart = cpuSecondsOf(server.pid());
    const double clientStart = selfCpuSeconds();
    const auto bound = Clock::now() + std::chrono::seconds(30);
    while (probe.frames.load() - startFrames < 300 && Clock::now() < bound)
        pumpBriefly();
    const int frames = probe.frames.load() - startFrames;
    result.serverCpuMs = (cpuSecondsOf(server.pid()) - serverStart) * 1000.0 / std::max(frames, 1);
    result.clientCpuMs = (selfCpuSeconds() - clientStart) * 1000.0 / std::max(frames, 1);
    window.m_stream.Stop();
    window.m_stream.Close();
    window.EndDialog(1);
    std::lock_guard guard(probe.lock);
    result.frames = frames;
    result.p50 = percentile(probe.latenciesMs, 0.5);
    result.p99 = percentile(probe.latenciesMs, 0.99);
    result.floorMs = loopbackFloorMs(size_t(width) * height * 3);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const double intervalMs = 1000.0 / 30.0;
    const Result r480 = measure(640, 480);
    const Result r720 = measure(1280, 720);
    for (const auto& [name, r] : {std::pair{"640x480@30", r480}, std::pair{"1280x720@30", r720}})
        std::printf("%-12s frames=%d p50=%.2f ms p99=%.2f ms (frame interval %.1f ms, raw TCP "
                    "round trip of one frame %.2f ms: p50 %.2fx it) server_cpu=%.2f ms/frame "
                    "client_cpu=%.2f ms/frame\n",
                    name, r.frames, r.p50, r.p99, intervalMs, r.floorMs,
                    r.floorMs > 0 ? r.p50 / r.floorMs : 0.0, r.serverCpuMs, r.clientCpuMs);
    std::printf("p50_ms_480=%.2f p99_ms_480=%.2f p50_ms_720=%.2f p99_ms_720=%.2f "
                "ratio_p50_720_vs_tcp=%.2f server_cpu_ms_720=%.2f client_cpu_ms_720=%.2f\n",
                r480.p50, r480.p99, r720.p50, r720.p99,
                r720.floorMs > 0 ? r720.p50 / r720.floorMs : 0.0, r720.serverCpuMs,
                r720.clientCpuMs);
    return 0;
}
