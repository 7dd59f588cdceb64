// headless_cost: what the headless service costs beside GStreamer's matched pipeline. The real
// tarnick program runs on the offscreen platform as the service runs it (a start-up capture
// server of the test pattern, from a settings file beside a copy of the program), and beside
// it, in the same run, gst-launch-1.0 runs
//   videotestsrc is-live=true ! video/x-raw,WxH,30/1 ! videoconvert ! I420 ! jpegenc
//   ! multipartmux ! tcpserversink
// Both at 1280x720 and 1920x1080, 30 fps, with 0, 1 and 16 MJPEG viewers on loopback (threads
// of this process reading 64 KiB at a time; their CPU is not counted). For each row: the
// serving process's whole CPU (user + system, % of one core), its resident memory, the slowest
// viewer's parts per second and the bytes per part. GStreamer's SMPTE bars make larger parts
// than the program's pattern at any quality (and its CPU barely moves between quality 30 and
// 80), so bytes per part are printed beside every figure. Ratios are program / GStreamer of the
// same run; the last line is key=value.
#include "loopback.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto kSettle = 2s;
constexpr auto kMeasure = 6s;
constexpr int kGstQuality = 50;
const std::string kGstBoundary = "ThisRandomString"; // multipartmux's default

struct Size {
    int width, height;
    const char* name;
};
constexpr Size kSizes[] = {{1280, 720, "720p"}, {1920, 1080, "1080p"}};
constexpr int kViewerCounts[] = {0, 1, 16};

// A child process, ended with SIGTERM (then SIGKILL) when the holder goes.
class Child {
public:
    Child(std::vector<std::string> argv, std::vector<std::string> env) {
        std::vector<char*> args, envp;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execvpe(args[0], args.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(50ms);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

// The child's user + system CPU in seconds.
double processCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// One "Name: N kB" figure of /proc/PID/status, in MB.
double statusMb(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(name) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::atof(line.c_str() + key.size()) / 1024.0;
    return 0;
}

// A viewer: reads everything the server sends and counts the parts by their boundary line.
class Viewer {
public:
    Viewer(int port, bool http) {
        fd_ = loopback::connect(port);
        if (fd_ < 0)
            return;
        if (http) {
            const std::string request = "GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0)
                return;
        } else {
            boundary_ = "--" + kGstBoundary;
        }
        thread_ = std::thread([this] { read(); });
    }
    ~Viewer() {
        stop_ = true;
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    long parts() const { return parts_.load(); }
    long long bytes() const { return bytes_.load(); }

private:
    void read() {
        std::vector<char> buffer(64 * 1024);
        std::string carry;
        while (!stop_) {
            const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                return;
            bytes_ += n;
            std::string text = carry + std::string(buffer.data(), size_t(n));
            if (boundary_.empty()) {
                // The HTTP answer names its boundary.
                const auto at = text.find("boundary=");
                const auto end = at == std::string::npos ? at : text.find("\r\n", at);
                if (end == std::string::npos) {
                    carry = text.size() < 4096 ? text : std::string();
                    continue;
                }
                boundary_ = "--" + text.substr(at + 9, end - at - 9);
            }
            for (auto at = text.find(boundary_); at != std::string::npos;
                 at = text.find(boundary_, at + boundary_.size()))
                ++parts_;
            const size_t keep = std::min(text.size(), boundary_.size() - 1);
            carry = text.substr(text.size() - keep);
        }
    }
    int fd_ = -1;
    std::string boundary_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long> parts_{0};
    std::atomic<long long> bytes_{0};
};

struct Row {
    double cpu = 0; // % of one core
    double rss = 0; // MB
    double fps = 0; // the slowest viewer's parts per second
    double bytesPerPart = 0;
};

// Adds viewers up to each count in turn and measures the serving process at each.
std::vector<Row> measure(const Child& child, int port, bool http) {
    std::vector<Row> rows;
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (const int count : kViewerCounts) {
        while (int(viewers.size()) < count)
            viewers.push_back(std::make_unique<Viewer>(port, http));
        std::this_thread::sleep_for(kSettle);
        std::vector<long> parts0;
        long long bytes0 = 0;
        for (auto& v : viewers) {
            parts0.push_back(v->parts());
            bytes0 += v->bytes();
        }
        const double cpu0 = processCpu(child.pid());
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(kMeasure);
        const double cpu1 = processCpu(child.pid());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        Row row;
        row.cpu = 100.0 * (cpu1 - cpu0) / seconds;
        row.rss = statusMb(child.pid(), "VmRSS");
        long slowest = -1, parts = 0;
        long long bytes = 0;
        for (size_t i = 0; i < viewers.size(); ++i) {
            const long got = viewers[i]->parts() - parts0[i];
            slowest = slowest < 0 ? got : std::min(slowest, got);
            parts += got;
            bytes += viewers[i]->bytes();
        }
        bytes -= bytes0;
        row.fps = slowest < 0 ? 0 : double(slowest) / seconds;
        row.bytesPerPart = parts > 0 ? double(bytes) / double(parts) : 0;
        rows.push_back(row);
    }
    return rows;
}

bool waitForPort(const Child& child, int port) {
    for (int i = 0; i < 200 && child.alive(); ++i) {
        const int fd = loopback::connect(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// The child's environment: this one's, with the platform and library path replaced.
std::vector<std::string> childEnvironment(const std::string& home) {
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen",
                                 std::string("LD_LIBRARY_PATH=") + TARNICK_LIBRARY_DIR,
                                 "XDG_CONFIG_HOME=" + home + "/config", "HOME=" + home};
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (name != "QT_QPA_PLATFORM" && name != "LD_LIBRARY_PATH" && name != "XDG_CONFIG_HOME" &&
            name != "HOME" && name != "DISPLAY" && name != "WAYLAND_DISPLAY")
            env.push_back(text);
    }
    return env;
}

std::vector<Row> runProgram(const Size& size, const std::string& root) {
    namespace fs = std::filesystem;
    const std::string bin = root + "/bin";
    fs::create_directories(bin);
    fs::create_directories(root + "/config");
    // The settings file beside the program: a copy, so the build folder's file is untouched.
    fs::copy_file(TARNICK_BINARY, bin + "/tarnick", fs::copy_options::overwrite_existing);
    const int port = loopback::freePort();
    std::ofstream(bin + "/tarnick.ini")
        << "[NETWORK]\nCONNECT_PORT=" << port
        << "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n[VIDEO]\nWIDTH="
        << size.width << "\nHEIGHT=" << size.height << "\nBITCOUNT=24\nFRAME_PER_SEC=30\n";
    Child child({bin + "/tarnick"}, childEnvironment(root));
    if (!waitForPort(child, port)) {
        std::fprintf(stderr, "the program did not serve on port %d\n", port);
        return {};
    }
    return measure(child, port, /*http=*/true);
}

std::vector<Row> runGStreamer(const Size& size, const std::string& root) {
    const int port = loopback::freePort();
    const std::string caps = "video/x-raw,width=" + std::to_string(size.width) +
                             ",height=" + std::to_string(size.height) + ",framerate=30/1";
    Child child({"gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "!", caps, "!",
                 "videoconvert", "!", "video/x-raw,format=I420", "!", "jpegenc",
                 "quality=" + std::to_string(kGstQuality), "!", "multipartmux", "!",
                 "tcpserversink", "host=127.0.0.1", "port=" + std::to_string(port)},
                childEnvironment(root));
    if (!waitForPort(child, port)) {
        std::fprintf(stderr, "gst-launch-1.0 did not serve on port %d\n", port);
        return {};
    }
    return measure(child, port, /*http=*/false);
}

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/headless_cost.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = made;
    std::printf("headless_cost: the program offscreen (start-up server, test pattern) against "
                "GStreamer (videotestsrc, jpegenc quality=%d), 30 fps\n",
                kGstQuality);
    std::printf("%-6s %-9s %7s %8s %8s %8s %11s %9s\n", "size", "peer", "viewers", "cpu%", "rss_MB",
                "fps_min", "bytes/part", "cpu_ratio");
    std::string keys;
    bool ok = true;
    double worstRatio = 0;
    for (const Size& size : kSizes) {
        const std::vector<Row> program = runProgram(size, root + "/" + size.name);
        const std::vector<Row> gst = runGStreamer(size, root);
        if (program.size() != std::size(kViewerCounts) || gst.size() != program.size()) {
            ok = false;
            continue;
        }
        for (size_t i = 0; i < program.size(); ++i) {
            const int viewers = kViewerCounts[i];
            const double ratio = gst[i].cpu > 0 ? program[i].cpu / gst[i].cpu : 0;
            worstRatio = std::max(worstRatio, ratio);
            std::printf("%-6s %-9s %7d %8.1f %8.1f %8.1f %11.0f %9s\n", size.name, "gstreamer",
                        viewers, gst[i].cpu, gst[i].rss, gst[i].fps, gst[i].bytesPerPart, "");
            std::printf("%-6s %-9s %7d %8.1f %8.1f %8.1f %11.0f %9.2f\n", size.name, "tarnick",
                        viewers, program[i].cpu, program[i].rss, program[i].fps,
                        program[i].bytesPerPart, ratio);
            char pair[256];
            std::snprintf(pair, sizeof(pair),
                          " cpu_ratio_%s_%d=%.2f rss_%s_%d_mb=%.1f gst_rss_%s_%d_mb=%.1f "
                          "bytes_per_part_%s_%d=%.0f gst_bytes_per_part_%s_%d=%.0f",
                          size.name, viewers, ratio, size.name, viewers, program[i].rss, size.name,
                          viewers, gst[i].rss, size.name, viewers, program[i].bytesPerPart,
                          size.name, viewers, gst[i].bytesPerPart);
            keys += pair;
        }
    }
    std::filesystem::remove_all(root);
    if (!ok) {
        std::printf("ok=0%s\n", keys.c_str());
        return 1;
    }
    std::printf("ok=1 cpu_ratio_worst=%.2f%s\n", worstRatio, keys.c_str());
    return 0;
}
