// The capture server's own page (the real program, its start-up server on the test pattern)
// in a real headless Chromium: with [WEBRTC] set it plays the Janus mountpoint in its video
// element, and it shows the MJPEG stream instead while Janus is not there, going back to
// WebRTC once Janus comes.
#include "ChromiumPage.h"
#include "JanusProcess.h"
#include "PacedCamera.h"
#include "ProgramProcess.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>

namespace {

using namespace std::chrono_literals;
using testsupport::ChromiumPage;
using testsupport::JanusProcess;
using testsupport::PageReport;
using testsupport::ProgramProcess;

constexpr int kWidth = 640, kHeight = 480;

// The program's own RTP goes to a port nobody reads: the tests feed the mountpoint themselves
// (a second sender on the mountpoint would garble it), so the page is tested apart from the
// program's encoder.
std::string serverSettings(int port, const JanusProcess& janus, const std::string& key) {
    const std::string unread = "rtp://127.0.0.1:" + std::to_string(testsupport::freeUdpPortPair());
    return "[NETWORK]\nCONNECT_PORT=" + std::to_string(port) + "\nACCESS_KEY=" + key +
           "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n"
           "[VIDEO]\nWIDTH=640\nHEIGHT=480\nBITCOUNT=24\nFRAME_PER_SEC=30\n"
           "[WEBRTC]\nRTP_URL=" +
           unread + "\nJANUS_URL=" + janus.serverUrl() + "\nMOUNTPOINT=1\n";
}

// The program serving with those settings, its page answering (bounded).
bool startProgram(ProgramProcess& program, int port, const JanusProcess& janus,
                  const std::string& key, const std::string& errorLog,
                  const std::string& settings = {}) {
    std::ofstream(program.besideSettings())
        << (settings.empty() ? serverSettings(port, janus, key) : settings);
    if (!program.start(false, errorLog))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = loopback::connect(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string pageUrl(int port, const ChromiumPage& page, const std::string& key) {
    return "http://127.0.0.1:" + std::to_string(port) + "/?key=" + key +
           "&report=" + page.reportUrl();
}

// Readings of `source` since `from`, in order, increasing.
bool increasingFrom(const PageReport& r, std::size_t from) {
    return std::adjacent_find(r.frameNumbers.begin() + std::ptrdiff_t(from), r.frameNumbers.end(),
                              std::greater_equal<>()) == r.frameNumbers.end();
}

std::string logOf(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The page at "/" as a browser gets it (bounded).
std::string pageText(int port) {
    const int fd = loopback::connect(port);
    if (fd < 0)
        return {};
    timeval bound{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    const std::string request = "GET / HTTP/1.1\r\nHost: t\r\nAccept: text/html\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        text.append(buffer, std::size_t(n));
    ::close(fd);
    return text;
}

// The settings as the program reads them: the page offers WebRTC only with an RTP output, at
// the Janus address and mountpoint given.
TEST(ServerPage, OffersWebRtcOnlyWithAnRtpOutputAtTheJanusAndMountpointOfTheSettings) {
    JanusProcess janus; // not started: only its addresses are used
    {
        ProgramProcess program;
        const int port = loopback::freePort();
        std::string settings = serverSettings(port, janus, "");
        settings.replace(settings.find("MOUNTPOINT=1"), 12, "MOUNTPOINT=5");
        ASSERT_TRUE(startProgram(program, port, janus, "", {}, settings));
        const std::string page = pageText(port);
        EXPECT_NE(page.find("window.viewerConfig={id:5,server:\"http:"), std::string::npos) << page;
        EXPECT_NE(page.find(std::to_string(janus.httpPort()) + "/janus\"}"), std::string::npos)
            << page;
    }
    {
        // [WEBRTC] without RTP_URL: nothing is sent, so the page is the MJPEG one.
        ProgramProcess program;
        const int port = loopback::freePort();
        std::string settings = serverSettings(port, janus, "");
        settings.replace(settings.find("RTP_URL="), 8, "UNUSED=");
        ASSERT_TRUE(startProgram(program, port, janus, "", {}, settings));
        const std::string page = pageText(port);
        EXPECT_NE(page.find("<img"), std::string::npos) << page;
        EXPECT_EQ(page.find("<video"), std::string::npos) << page;
    }
}

TEST(ServerPage, PlaysTheJanusMountpointOverWebRtcWithTheAccessKeyAsPin) {
    JanusProcess janus("page-key");
    ASSERT_TRUE(janus.start()) << janus.log();
    // The camera's H.264 for the mountpoint, as the program's WebRTC output sends it.
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(janus.rtpUrl()));
    testsupport::PacedCamera camera(sink, kWidth, kHeight, 600);
    ASSERT_TRUE(camera.start());
    ProgramProcess program;
    const int port = loopback::freePort();
    const std::string errors = program.configDir() + "/stderr.log";
    ASSERT_TRUE(startProgram(program, port, janus, "page-key", errors)) << logOf(errors);

    ChromiumPage page("/nonexistent");
    ASSERT_TRUE(page.openUrl(pageUrl(port, page, "page-key")));
    const bool played = page.waitFor(
        [](const PageReport& r) { return r.source == "video" && r.frameNumbers.size() >= 30; },
        40s);
    const PageReport report = page.report();
    ASSERT_TRUE(played) << "source " << report.source << ", status: " << report.status << ", shown "
                        << report.shown << "\n"
                        << janus.log() << page.browserLog();
    EXPECT_EQ(report.width, kWidth);
    EXPECT_EQ(report.height, kHeight);
    EXPECT_TRUE(increasingFrom(report, 0));
}

TEST(ServerPage, ShowsMjpegWhileJanusIsDownAndWebRtcOnceItComes) {
    JanusProcess janus; // configured, not started yet
    ProgramProcess program;
    const int port = loopback::freePort();
    const std::string errors = program.configDir() + "/stderr.log";
    ASSERT_TRUE(startProgram(program, port, janus, "k2", errors)) << logOf(errors);

    ChromiumPage page("/nonexistent");
    ASSERT_TRUE(page.openUrl(pageUrl(port, page, "k2")));
    const bool mjpeg = page.waitFor(
        [](const PageReport& r) { return r.source == "mjpeg" && r.frameNumbers.size() >= 10; },
        30s);
    const PageReport fallback = page.report();
    ASSERT_TRUE(mjpeg) << "source " << fallback.source << ", status: " << fallback.status
                       << ", shown " << fallback.shown << "\n"
                       << page.browserLog();
    EXPECT_EQ(fallback.width, kWidth);
    EXPECT_EQ(fallback.height, kHeight);
    EXPECT_TRUE(increasingFrom(fallback, 0)) << "the image's pictures move on";

    // Janus comes: the page's player reconnects by itself and the video takes over.
    ASSERT_TRUE(janus.start()) << janus.log();
    RtpH264Sink sink;
    ASSERT_TRUE(sink.open(janus.rtpUrl()));
    testsupport::PacedCamera camera(sink, kWidth, kHeight, 600);
    ASSERT_TRUE(camera.start());
    const std::size_t before = page.report().frameNumbers.size();
    const bool back = page.waitFor(
        [&](const PageReport& r) {
            return r.source == "video" && r.frameNumbers.size() >= before + 20;
        },
        40s);
    const PageReport again = page.report();
    EXPECT_TRUE(back) << "source " << again.source << ", status: " << again.status << "\n"
                      << janus.log();
    EXPECT_EQ(again.width, kWidth);
}

} // namespace
