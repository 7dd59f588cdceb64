// Starting a server program a test runs (nginx, Janus): spawned, then waited for until its
// port on loopback takes connections, or until it exits or a bound passes.
#pragma once

#include "loopback.h"

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

// Spawns `argv[0]` (searched on PATH) with `files` (may be null) and waits until `port`
// answers. True with `pid` set; false with `pid` -1 when it did not start or ended first,
// and with `pid` left set (for the caller to kill) when the bound passed.
inline bool spawnUntilListening(pid_t& pid, const char* const argv[], int port,
                                std::chrono::seconds bound,
                                const posix_spawn_file_actions_t* files = nullptr) {
    if (::posix_spawnp(&pid, argv[0], files, nullptr, const_cast<char**>(argv), environ) != 0) {
        pid = -1;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = loopback::connect(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Ends a child at once, as a crash would, and reaps it; `pid` becomes -1. Nothing when none runs.
inline void killAndReap(pid_t& pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

} // namespace testsupport
