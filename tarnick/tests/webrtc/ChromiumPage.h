// A real headless Chromium showing the viewer page of docs/janus, served with its scripts by a
// small loopback web server of the test, which also takes the readings the page POSTs (the
// test pattern's strip of every picture shown: strip-probe.js). Chromium runs in a process
// group of its own, killed whole when the object goes.
#pragma once

#include "loopback.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

// What the page reported so far.
struct PageReport {
    int width = 0;
    int height = 0;
    long shown = 0;                          // pictures the video element showed
    std::string status;                      // the page's status line
    std::string source;                      // "video" (WebRTC) or "mjpeg" (the img fallback)
    std::vector<std::uint32_t> frameNumbers; // decoded strips, in the order shown
    // For each of them: its capture time (CLOCK_MONOTONIC µs, low 40 bits) and when it was
    // shown (wall clock, milliseconds since the Unix epoch).
    std::vector<std::uint64_t> captureUs;
    std::vector<double> shownEpochMs;
    double startEpochMs = 0;   // when the page began to load (wall clock, ms)
    double originOffsetMs = 0; // how far the page's performance.timeOrigin sits from that
    int reports = 0;
};

class ChromiumPage {
public:
    // Serves `pageDir` (viewer.html, its scripts) on a free loopback port.
    explicit ChromiumPage(std::string pageDir) : pageDir_(std::move(pageDir)) {
        listener_ = loopback::listen(&port_, 16);
        server_ = std::thread([this] { serve(); });
        char pattern[] = "/tmp/tarnick-chromium-XXXXXX";
        profile_ = ::mkdtemp(pattern);
    }
    ~ChromiumPage() {
        close();
        stopping_ = true;
        if (server_.joinable())
            server_.join();
        if (listener_ >= 0)
            ::close(listener_);
        std::error_code ignored;
        std::filesystem::remove_all(profile_, ignored);
    }
    ChromiumPage(const ChromiumPage&) = delete;
    ChromiumPage& operator=(const ChromiumPage&) = delete;

    // Opens viewer.html?<query>&report=/report in a new headless Chromium.
    bool open(const std::string& query) {
        return openUrl("http://127.0.0.1:" + std::to_string(port_) + "/viewer.html?" + query +
                       "&report=/report");
    }
    // Where a page served elsewhere (the capture server's own) sends its readings.
    std::string reportUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/report";
    }
    // Opens pages side by side, each in a frame of one page of a new headless Chromium (which
    // shows one page per process): several viewers at the cost of one browser. Their reports
    // are merged. The frames stay small and all in view, so none is throttled as unseen.
    bool openFrames(const std::vector<std::string>& urls) {
        std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>"
                           "body{margin:0}iframe{width:150px;height:120px;border:0}</style>"
                           "</head><body>";
        for (std::string url : urls) {
            for (auto at = url.find('&'); at != std::string::npos; at = url.find('&', at + 1))
                url.insert(at + 1, "amp;");
            page += "<iframe allow=\"autoplay\" src=\"" + url + "\"></iframe>";
        }
        {
            std::lock_guard lock(mutex_);
            framesPage_ = page + "</body></html>\n";
        }
        return openUrl("http://127.0.0.1:" + std::to_string(port_) + "/frames.html");
    }
    // Opens any page in a new headless Chromium.
    bool openUrl(const std::string& url) {
        const std::string profile = "--user-data-dir=" + profile_;
        const std::string log = profile_ + "/chromium.log";
        const char* argv[] = {"chromium", "--headless=new",
                              "--no-sandbox", // tests may run as root
                              "--disable-gpu", "--no-first-run", "--disable-extensions",
                              "--disable-background-networking", "--disable-component-update",
                              "--autoplay-policy=no-user-gesture-required",
                              // Every tab plays as if in front (several viewers in one).
                              "--disable-background-timer-throttling",
                              "--disable-renderer-backgrounding",
                              "--disable-backgrounding-occluded-windows", "--enable-logging=stderr",
                              "--v=0", profile.c_str(), url.c_str(), nullptr};
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        const int failed = ::posix_spawnp(&pid_, "chromium", &files, &attributes,
                                          const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attributes);
        if (failed != 0)
            pid_ = -1;
        return failed == 0;
    }
    // Kills the browser and everything it started.
    void close() {
        if (pid_ <= 0)
            return;
        ::kill(-pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    // Waits until `done` holds for the reports so far, or the bound passes (a hang guard).
    bool waitFor(const std::function<bool(const PageReport&)>& done,
                 std::chrono::seconds bound = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return done(report_); });
    }
    PageReport report() const {
        std::lock_guard lock(mutex_);
        return report_;
    }
    std::string browserLog() const {
        std::ifstream in(profile_ + "/chromium.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    void serve() {
        while (!stopping_) {
            pollfd waiting{listener_, POLLIN, 0};
            if (::poll(&waiting, 1, 100) <= 0)
                continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            answer(client);
            ::close(client);
        }
    }

    // One request per connection: GET of a file of the page's folder, or POST /report.
    void answer(int client) {
        std::string request;
        std::size_t bodyAt = std::string::npos;
        std::size_t length = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline && request.size() < (1u << 22)) {
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, 200) <= 0)
                continue;
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            request.append(buffer, std::size_t(got));
            if (bodyAt == std::string::npos &&
                (bodyAt = request.find("\r\n\r\n")) != std::string::npos) {
                bodyAt += 4;
                const auto header = lower(request.substr(0, bodyAt));
                const auto at = header.find("content-length:");
                if (at != std::string::npos)
                    length = std::stoul(header.substr(at + 15));
            }
            if (bodyAt != std::string::npos && request.size() >= bodyAt + length)
                break;
        }
        if (bodyAt == std::string::npos)
            return;
        if (request.rfind("POST /report", 0) == 0) {
            record(request.substr(bodyAt, length));
            reply(client, "204 No Content", "", "");
            return;
        }
        const auto pathEnd = request.find_first_of(" ?", 4);
        const std::string name = request.substr(5, pathEnd - 5);
        if (request.rfind("GET /", 0) != 0 || name.find('/') != std::string::npos ||
            name.find("..") != std::string::npos) {
            reply(client, "404 Not Found", "text/plain", "");
            return;
        }
        if (name == "frames.html") {
            std::string page;
            {
                std::lock_guard lock(mutex_);
                page = framesPage_;
            }
            reply(client, "200 OK", "text/html; charset=utf-8", page);
            return;
        }
        std::ifstream in(pageDir_ + "/" + name, std::ios::binary);
        if (!in) {
            reply(client, "404 Not Found", "text/plain", "");
            return;
        }
        const std::string body((std::istreambuf_iterator<char>(in)), {});
        const bool html = name.size() > 5 && name.substr(name.size() - 5) == ".html";
        reply(client, "200 OK", html ? "text/html; charset=utf-8" : "text/javascript", body);
    }

    static void reply(int client, const std::string& status, const std::string& type,
                      const std::string& body) {
        std::string text = "HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n";
        if (!type.empty())
            text += "Content-Type: " + type + "\r\n";
        text += "\r\n" + body;
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t sent = ::send(client, text.data() + at, text.size() - at, MSG_NOSIGNAL);
            if (sent <= 0)
                return;
            at += std::size_t(sent);
        }
    }

    static std::string lower(std::string text) {
        for (char& c : text)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }
    static long numberAfter(const std::string& json, const std::string& key) {
        const auto at = json.find("\"" + key + "\":");
        return at == std::string::npos
                   ? 0
                   : std::strtol(json.c_str() + at + key.size() + 3, nullptr, 10);
    }

    // {"width":W,"height":H,"shown":N,"status":"...","frames":[[n,t,ms],...]}
    void record(const std::string& json) {
        std::lock_guard lock(mutex_);
        report_.width = int(numberAfter(json, "width"));
        report_.height = int(numberAfter(json, "height"));
        report_.shown = numberAfter(json, "shown");
        const auto status = json.find("\"status\":\"");
        if (status != std::string::npos)
            report_.status = json.substr(status + 10, json.find('"', status + 10) - status - 10);
        const auto real = [&](const std::string& key) {
            const auto at = json.find("\"" + key + "\":");
            return at == std::string::npos
                       ? 0.0
                       : std::strtod(json.c_str() + at + key.size() + 3, nullptr);
        };
        report_.startEpochMs = real("startMs");
        report_.originOffsetMs = real("originOffsetMs");
        const auto source = json.find("\"source\":\"");
        if (source != std::string::npos)
            report_.source = json.substr(source + 10, json.find('"', source + 10) - source - 10);
        const auto frames = json.find("\"frames\":[");
        for (auto at = frames == std::string::npos ? frames : json.find("[[", frames);
             at != std::string::npos && at < json.size(); at = json.find("],[", at)) {
            at += at + 1 < json.size() && json[at + 1] == '[' ? 2 : 3;
            char* end = nullptr;
            report_.frameNumbers.push_back(
                std::uint32_t(std::strtoul(json.c_str() + at, &end, 10)));
            report_.captureUs.push_back(*end == ',' ? std::strtoull(end + 1, &end, 10) : 0);
            report_.shownEpochMs.push_back(*end == ',' ? std::strtod(end + 1, &end) : 0.0);
        }
        ++report_.reports;
        changed_.notify_all();
    }

    std::string pageDir_;
    std::string profile_;
    int listener_ = -1;
    int port_ = 0;
    pid_t pid_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread server_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    PageReport report_;
    std::string framesPage_; // guarded by mutex_
};

} // namespace testsupport
