// A real Janus (streaming plugin, HTTP transport) on loopback, configured by the project's own
// docs/janus/make-config in a folder of its own with free ports; killed and reaped when the
// object goes, its folder removed.
#pragma once

#include "listening_child.h"
#include "loopback.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

// Two consecutive free UDP ports on loopback (RTP and RTCP), the first of them returned.
inline int freeUdpPortPair() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = loopback::freePort() & ~1;
        if (port < 1024)
            continue;
        bool free = true;
        for (int p : {port, port + 1}) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const sockaddr_in a = loopback::address(p);
            free =
                free && fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
            if (fd >= 0)
                ::close(fd);
        }
        if (free)
            return port;
    }
    return 0;
}

class JanusProcess {
public:
    explicit JanusProcess(std::string accessKey = {})
        : accessKey_(std::move(accessKey)), httpPort_(loopback::freePort()),
          videoPort_(freeUdpPortPair()) {
        char pattern[] = "/tmp/tarnick-janus-XXXXXX";
        dir_ = ::mkdtemp(pattern);
    }
    ~JanusProcess() {
        kill();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    JanusProcess(const JanusProcess&) = delete;
    JanusProcess& operator=(const JanusProcess&) = delete;

    // Writes the configuration (first time) and starts Janus; true once its HTTP transport
    // takes connections (bounded).
    bool start() {
        if (!configured_ && !configure())
            return false;
        configured_ = true;
        const std::string conf = dir_ + "/janus.jcfg";
        const std::string confDir = dir_ + "/conf";
        const std::string log = dir_ + "/janus.log";
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        const char* argv[] = {"janus", "-C", conf.c_str(), "-F", confDir.c_str(), nullptr};
        const bool started =
            spawnUntilListening(pid_, argv, httpPort_, std::chrono::seconds(10), &files);
        posix_spawn_file_actions_destroy(&files);
        return started;
    }
    // Ends it at once, as a crash would (Janus can hang on its way out after SIGTERM).
    void kill() { killAndReap(pid_); }

    int httpPort() const { return httpPort_; }
    int videoPort() const { return videoPort_; }
    int videoRtcpPort() const { return videoPort_ + 1; }
    std::string serverUrl() const {
        return "http://127.0.0.1:" + std::to_string(httpPort_) + "/janus";
    }
    std::string rtpUrl() const { return "rtp://127.0.0.1:" + std::to_string(videoPort_); }
    // The viewer page and its scripts, as make-config laid them out.
    std::string pageDir() const { return dir_ + "/www"; }
    std::string log() const {
        std::ifstream in(dir_ + "/janus.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    bool configure() {
        const std::string script = ORMIDAL_SOURCE_DIR "/docs/janus/make-config";
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string_view(*e).rfind("JANUS_", 0) != 0)
                env.emplace_back(*e);
        env.push_back("JANUS_HTTP_PORT=" + std::to_string(httpPort_));
        env.push_back("JANUS_VIDEO_PORT=" + std::to_string(videoPort_));
        env.push_back("JANUS_VIDEO_RTCP_PORT=" + std::to_string(videoPort_ + 1));
        env.push_back("JANUS_ACCESS_KEY=" + accessKey_);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const char* argv[] = {script.c_str(), dir_.c_str(), nullptr};
        pid_t pid = -1;
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        const int failed = ::posix_spawn(&pid, script.c_str(), &files, nullptr,
                                         const_cast<char**>(argv), envp.data());
        posix_spawn_file_actions_destroy(&files);
        if (failed != 0)
            return false;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    std::string accessKey_;
    std::string dir_;
    int httpPort_;
    int videoPort_;
    bool configured_ = false;
    pid_t pid_ = -1;
};

} // namespace testsupport
