// The real tarnick program started as a process from a folder of its own, as an installed
// copy would run: its settings file beside it, its user folder inside the test's folder.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

class ProgramProcess {
public:
    // A fresh folder holding bin/tarnick (a copy of the built program) and an empty
    // config/ folder that stands for the user's ~/.config.
    ProgramProcess() {
        char pattern[] = "/tmp/tarnick-process-XXXXXX";
        root_ = ::mkdtemp(pattern);
        std::filesystem::create_directories(binDir());
        std::filesystem::create_directories(configDir());
        std::filesystem::copy_file(TARNICK_BINARY, program());
    }
    ~ProgramProcess() {
        stop(SIGKILL);
        std::error_code ignored;
        std::filesystem::permissions(binDir(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    std::string binDir() const { return root_ + "/bin"; }
    std::string configDir() const { return root_ + "/config"; }
    std::string program() const { return binDir() + "/tarnick"; }
    std::string besideSettings() const { return binDir() + "/tarnick.ini"; }
    std::string userSettings() const { return configDir() + "/tarnick.ini"; }

    // Starts the program on the offscreen platform. With readOnly, its folder cannot be
    // written: a read-only bind mount in a mount namespace of its own when running as root
    // (root writes through permission bits), the folder's write bits removed otherwise.
    // With errorLog, the program's standard error goes to that file; extraArgs follow the
    // program's name.
    bool start(bool readOnly = false, const std::string& errorLog = {},
               const std::vector<std::string>& extraArgs = {}) {
        std::vector<std::string> argv;
        if (readOnly && ::geteuid() == 0) {
            const std::string dir = binDir();
            argv = {"unshare",
                    "-m",
                    "sh",
                    "-c",
                    "mount --bind '" + dir + "' '" + dir + "' && mount -o remount,ro,bind '" + dir +
                        "' '" + dir + "' && exec '" + program() + "' \"$@\"",
                    "tarnick"};
        } else {
            if (readOnly)
                std::filesystem::permissions(binDir(),
                                             std::filesystem::perms::owner_write |
                                                 std::filesystem::perms::group_write |
                                                 std::filesystem::perms::others_write,
                                             std::filesystem::perm_options::remove);
            argv = {program()};
        }
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        // Everything the child needs is built before fork: between fork and exec a child of
        // a threaded process may only make async-signal-safe calls.
        std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen",
                                     std::string("LD_LIBRARY_PATH=") + TARNICK_LIBRARY_DIR,
                                     "XDG_CONFIG_HOME=" + configDir(), "HOME=" + root_};
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (name != "QT_QPA_PLATFORM" && name != "LD_LIBRARY_PATH" &&
                name != "XDG_CONFIG_HOME" && name != "HOME" && name != "DISPLAY")
                env.push_back(text);
        }
        std::vector<char*> args, envp;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        for (auto& entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            if (!errorLog.empty()) {
                const int fd =
                    ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd >= 0)
                    ::dup2(fd, STDERR_FILENO);
            }
            ::execvpe(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        return true;
    }

    // The files the running program has mapped (/proc/PID/maps), one mapping a line.
    std::string mappedFiles() const {
        std::ifstream maps("/proc/" + std::to_string(pid_) + "/maps");
        return std::string(std::istreambuf_iterator<char>(maps), {});
    }

    // True once the program catches the three ending signals, that is once its own code runs
    // (a signal sent earlier would find the system's default action). Bounded.
    bool
    waitUntilCatchingEndingSignals(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        const unsigned long long wanted =
            (1ull << (SIGTERM - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGHUP - 1));
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
            std::string line;
            while (std::getline(status, line))
                if (line.rfind("SigCgt:", 0) == 0 &&
                    (std::stoull(line.substr(7), nullptr, 16) & wanted) == wanted)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Sends a signal and waits (bounded) for the program to end; the raw wait status.
    std::optional<int> stop(int signo, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        if (pid_ <= 0)
            return std::nullopt;
        ::kill(pid_, signo);
        const auto deadline = std::chrono::steady_clock::now() + bound;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return std::nullopt;
    }

    pid_t pid() const { return pid_; }

private:
    std::string root_;
    pid_t pid_ = -1;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

} // namespace testsupport
