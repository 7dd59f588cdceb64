// A name resolver that never answers, for the test that needs one: the test runs again in a
// private network and mount namespace (unshare) where /etc/resolv.conf names a nameserver on
// loopback that takes queries and never replies, so every lookup of a name hangs for the
// resolver's whole time-out, as with an unreachable DNS server.
//
//     TEST(Suite, Case) {
//         if (!testsupport::SilentResolver::inside())
//             return testsupport::SilentResolver::runThisTestInside();
//         testsupport::SilentResolver resolver; // binds the silent nameserver
//         ... lookups of kHangingHost hang ...
//     }
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

class SilentResolver {
public:
    // A name no hosts file holds: only DNS could answer for it.
    static constexpr const char* kHangingHost = "ingest.silent-resolver.test";

    static bool inside() { return std::getenv("TARNICK_SILENT_RESOLVER") != nullptr; }

    // Runs the current test in the namespace and reports its outcome; skipped where namespaces
    // cannot be made (not root, or a sandbox that forbids them).
    static void runThisTestInside() {
        if (QProcess::execute("unshare", {"-n", "-m", "true"}) != 0)
            GTEST_SKIP() << "no private network namespace here (unshare -n -m)";
        const std::string resolv = "/tmp/tarnick-silent-resolv-" + std::to_string(::getpid());
        std::ofstream(resolv) << "nameserver 127.0.0.1\noptions timeout:30 attempts:2\n";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
        QProcess inner;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TARNICK_SILENT_RESOLVER", "1");
        inner.setProcessEnvironment(environment);
        inner.setProcessChannelMode(QProcess::ForwardedChannels);
        inner.start("unshare",
                    {"-n", "-m", "sh", "-c",
                     "ip link set lo up && mount --bind \"$1\" /etc/resolv.conf && exec \"$2\" "
                     "--gtest_filter=\"$3\"",
                     "sh", QString::fromStdString(resolv), QString::fromUtf8(self),
                     QString::fromStdString(filter)});
        const bool finished = inner.waitForFinished(300000);
        if (!finished)
            inner.kill();
        std::remove(resolv.c_str());
        ASSERT_TRUE(finished) << "the test in the namespace ran past 5 minutes";
        EXPECT_EQ(inner.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(inner.exitCode(), 0) << "the test failed in the namespace (output above)";
    }

    // Inside: the nameserver, listening and never answering.
    SilentResolver() {
        udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = ::bind(udp_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::bind(tcp_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(tcp_, 16) == 0;
    }
    ~SilentResolver() {
        ::close(udp_);
        ::close(tcp_);
    }
    SilentResolver(const SilentResolver&) = delete;
    SilentResolver& operator=(const SilentResolver&) = delete;
    bool bound() const { return bound_; }

private:
    int udp_ = -1;
    int tcp_ = -1;
    bool bound_ = false;
};

} // namespace testsupport
