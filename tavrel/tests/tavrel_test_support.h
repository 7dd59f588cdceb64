// Helpers for the transport's tests: test frames, a camera-like feeder, ports, fds, child tools.
#pragma once

#include "loopback.h"

#include "dib_format.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
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
