// A real nginx with its RTMP module on loopback, started by a test from the project's own
// docs/nginx/nginx.conf (the origin) or docs/nginx/relay.conf (an edge pulling from an
// origin), with their ports, folders and origin address replaced, in a folder of its own;
// killed and reaped when the object goes. Or a TLS front: nginx's stream module taking TLS on
// loopback with a given certificate and passing the plain bytes on to an origin's RTMP port.
#pragma once

#include "listening_child.h"
#include "loopback.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace testsupport {

class NginxProcess {
public:
    NginxProcess() : NginxProcess("nginx.conf", 0) {}
    // An edge from docs/nginx/relay.conf, pulling from the origin listening on `originRtmpPort`.
    static NginxProcess relayOf(const NginxProcess& origin) {
        return NginxProcess("relay.conf", origin.rtmpPort());
    }
    // A TLS front (rtmps://) for `origin`'s RTMP, presenting the PEM certificate and key given.
    static NginxProcess tlsFrontOf(const NginxProcess& origin, const std::string& certificate,
                                   const std::string& key) {
        NginxProcess front("", 0);
        std::ofstream(front.prefix_ + "/nginx.conf")
            << "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n"
               "pid "
            << front.prefix_ << "/nginx.pid;\nevents {}\nstream {\n  server {\n"
            << "    listen 127.0.0.1:" << front.rtmpPort_ << " ssl;\n"
            << "    ssl_certificate " << certificate << ";\n"
            << "    ssl_certificate_key " << key << ";\n"
            << "    proxy_pass 127.0.0.1:" << origin.rtmpPort() << ";\n  }\n}\n";
        return front;
    }
    // rtmps:// through this front, by host name (the certificate's name is checked).
    std::string tlsPublishUrl(const std::string& host, const std::string& name = "camera") const {
        return "rtmps://" + host + ":" + std::to_string(rtmpPort_) + "/live/" + name;
    }
    ~NginxProcess() {
        kill();
        std::error_code ignored;
        if (!prefix_.empty())
            std::filesystem::remove_all(prefix_, ignored);
    }
    NginxProcess(NginxProcess&& other) noexcept
        : prefix_(std::move(other.prefix_)), rtmpPort_(other.rtmpPort_), httpPort_(other.httpPort_),
          pid_(std::exchange(other.pid_, -1)) {
        other.prefix_.clear();
    }
    NginxProcess(const NginxProcess&) = delete;
    NginxProcess& operator=(const NginxProcess&) = delete;

    // Starts nginx in the foreground as one process (no master, no daemon), so that killing
    // that process ends it; true once its RTMP port takes connections (bounded).
    bool start() {
        const std::string conf = prefix_ + "/nginx.conf";
        const std::string log = prefix_ + "/error.log";
        const char* argv[] = {"nginx",     "-p",         prefix_.c_str(),
                              "-c",        conf.c_str(), "-e",
                              log.c_str(), "-g",         "daemon off; master_process off;",
                              nullptr};
        return spawnUntilListening(pid_, argv, rtmpPort_, std::chrono::seconds(20));
    }
    pid_t pid() const { return pid_; }
    // Ends it at once, as a crash would.
    void kill() { killAndReap(pid_); }

    int rtmpPort() const { return rtmpPort_; }
    int httpPort() const { return httpPort_; }
    const std::string& prefix() const { return prefix_; }
    std::string publishUrl(const std::string& name = "camera") const {
        return "rtmp://127.0.0.1:" + std::to_string(rtmpPort_) + "/live/" + name;
    }
    std::string playlistPath(const std::string& name = "camera") const {
        return prefix_ + "/hls/" + name + ".m3u8";
    }
    std::string playlistUrl(const std::string& name = "camera") const {
        return "http://127.0.0.1:" + std::to_string(httpPort_) + "/hls/" + name + ".m3u8";
    }

private:
    NginxProcess(const std::string& confName, int originRtmpPort)
        : rtmpPort_(loopback::freePort()), httpPort_(loopback::freePort()) {
        char pattern[] = "/tmp/tarnick-nginx-XXXXXX";
        prefix_ = ::mkdtemp(pattern);
        std::filesystem::create_directories(prefix_ + "/hls");
        if (confName.empty())
            return; // written by the caller
        std::ifstream in(ORMIDAL_SOURCE_DIR "/docs/nginx/" + confName);
        std::stringstream text;
        text << in.rdbuf();
        std::string conf = text.str();
        const std::string rtmp = "listen 127.0.0.1:" + std::to_string(rtmpPort_) + ";";
        const std::string http = "listen 127.0.0.1:" + std::to_string(httpPort_) + ";";
        replaceAll(conf, "TARNICK_NGINX_DIR", prefix_);
        replaceAll(conf, "TARNICK_RELAY_DIR", prefix_);
        replaceAll(conf, "listen 1935;", rtmp);
        replaceAll(conf, "listen 1936;", rtmp);
        replaceAll(conf, "listen 8080;", http);
        replaceAll(conf, "listen 8081;", http);
        if (originRtmpPort > 0)
            replaceAll(conf, "rtmp://127.0.0.1:1935/",
                       "rtmp://127.0.0.1:" + std::to_string(originRtmpPort) + "/");
        std::ofstream(prefix_ + "/nginx.conf") << conf;
    }

    static void replaceAll(std::string& text, const std::string& from, const std::string& to) {
        for (std::size_t at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }

    std::string prefix_;
    int rtmpPort_;
    int httpPort_;
    pid_t pid_ = -1;
};

} // namespace testsupport
