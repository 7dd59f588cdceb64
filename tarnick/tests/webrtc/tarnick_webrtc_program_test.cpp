// The real program's start-up server sending its camera as RTP to a real Janus (started from
// docs/janus), played by a real headless Chromium on docs/janus's viewer page; beside it the
// same encoded stream published to a real nginx, one that goes down without stopping WebRTC,
// and a Janus that restarts.
#include "ChromiumPage.h"
#include "JanusProcess.h"
#include "NginxProcess.h"
#include "ProgramProcess.h"
#include "PublishedMedia.h"
#include "TestSupport.h"
#include "loopback.h"

#include "publish/Publisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::ProgramProcess;
using testsupport::readFile;
using testsupport::writeFile;

// The test pattern at 640x480, keyframes only every ten seconds (a viewer that starts at once
// starts on the keyframe its request brought), RTP to `rtpUrl` and, when given, RTMP too.
std::string settingsFor(int port, const std::string& rtpUrl, const std::string& publishUrl = {}) {
    return "[NETWORK]\nCONNECT_PORT=" + std::to_string(port) +
           "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n"
           "[VIDEO]\nWIDTH=640\nHEIGHT=480\nBITCOUNT=24\nFRAME_PER_SEC=30\n"
           "[PUBLISH]\nURL=" +
           publishUrl + "\nBITRATE_KBPS=1500\nKEYFRAME_SECONDS=10\n[WEBRTC]\nRTP_URL=" + rtpUrl +
           "\n";
}

std::string viewerQuery(const testsupport::JanusProcess& janus) {
    return "server=" + janus.serverUrl() + "&id=1";
}

bool increasing(const std::vector<std::uint32_t>& numbers) {
    return std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<>()) ==
           numbers.end();
}

// Pictures shown from now on, `count` of them, with increasing frame numbers.
bool playsOn(testsupport::ChromiumPage& page, std::size_t count, std::chrono::seconds bound) {
    const std::size_t shown = page.report().frameNumbers.size();
    return page.waitFor([&](const auto& r) { return r.frameNumbers.size() >= shown + count; },
                        bound);
}

TEST(WebRtcProgram, TheStartUpServersCameraPlaysInChromiumAtItsSizeInOrder) {
    testsupport::JanusProcess janus;
    ASSERT_TRUE(janus.start()) << janus.log();
    ProgramProcess program;
    writeFile(program.besideSettings(), settingsFor(loopback::freePort(), janus.rtpUrl()));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus)));
    const bool played = playsOn(page, 30, 45s);
    const auto report = page.report();
    ASSERT_TRUE(played) << "status: " << report.status << ", shown " << report.shown << "\n"
                        << readFile(journal) << janus.log();
    EXPECT_EQ(report.width, 640);
    EXPECT_EQ(report.height, 480);
    EXPECT_TRUE(increasing(report.frameNumbers));
    EXPECT_EQ(readFile(journal).find("cannot"), std::string::npos) << readFile(journal);
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
}

// Both outputs from one encoder: nginx serves the camera over RTMP while Chromium plays it
// through Janus; nginx going down stops no WebRTC picture.
TEST(WebRtcProgram, NginxAndJanusBothGetTheCameraAndAnIngestThatGoesDownStopsNeither) {
    testsupport::JanusProcess janus;
    ASSERT_TRUE(janus.start()) << janus.log();
    testsupport::NginxProcess nginx;
    ASSERT_TRUE(nginx.start());
    ProgramProcess program;
    writeFile(program.besideSettings(),
              settingsFor(loopback::freePort(), janus.rtpUrl(), nginx.publishUrl()));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus)));
    ASSERT_TRUE(playsOn(page, 20, 45s)) << page.report().status << "\n" << readFile(journal);
    EXPECT_EQ(testsupport::probeVideo(nginx.publishUrl()), "h264|640|480") << readFile(journal);

    nginx.kill();
    EXPECT_TRUE(playsOn(page, 60, 30s))
        << "WebRTC stopped with the ingest: " << page.report().status;
    EXPECT_TRUE(increasing(page.report().frameNumbers));
    EXPECT_NE(readFile(journal).find("cannot publish to"), std::string::npos);
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
}

// Janus restarted: it learns the program's address from its next report, and a new viewer
// plays at once (its keyframe request answered, not the next periodic keyframe awaited).
TEST(WebRtcProgram, AfterJanusRestartsANewViewerPlaysAgain) {
    testsupport::JanusProcess janus;
    ASSERT_TRUE(janus.start()) << janus.log();
    ProgramProcess program;
    writeFile(program.besideSettings(), settingsFor(loopback::freePort(), janus.rtpUrl()));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));
    std::uint32_t before = 0;
    {
        testsupport::ChromiumPage page(janus.pageDir());
        ASSERT_TRUE(page.open(viewerQuery(janus)));
        ASSERT_TRUE(playsOn(page, 10, 45s)) << page.report().status;
        before = page.report().frameNumbers.back();
    }
    janus.kill();
    std::this_thread::sleep_for(2s); // packets meanwhile go nowhere; the program goes on
    ASSERT_TRUE(janus.start()) << janus.log();
    testsupport::ChromiumPage page(janus.pageDir());
    ASSERT_TRUE(page.open(viewerQuery(janus)));
    ASSERT_TRUE(playsOn(page, 10, 45s)) << page.report().status << "\n" << janus.log();
    EXPECT_GT(page.report().frameNumbers.front(), before);
    EXPECT_TRUE(increasing(page.report().frameNumbers));
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
}

// The publisher alone with a viewer that comes after Janus restarted: the restarted Janus
// learns the publisher's address from its next report and asks for a keyframe, which is
// encoded at once (keyframes are otherwise ten seconds apart).
TEST(WebRtcEncodeOnce, ANewViewerAfterJanusRestartsIsSentAKeyframeAtOnce) {
    testsupport::JanusProcess janus;
    ASSERT_TRUE(janus.start()) << janus.log();
    Publisher publisher;
    PublishSettings settings;
    settings.keyframeSeconds = 10;
    settings.rtpUrl = janus.rtpUrl();
    ASSERT_TRUE(publisher.start(settings, 320, 240, 24, 25));
    std::atomic<bool> stop{false};
    std::thread camera([&] {
        std::vector<unsigned char> frame(320 * 240 * 3);
        for (unsigned value = 0; !stop; ++value) {
            std::fill(frame.begin(), frame.end(), static_cast<unsigned char>(value));
            publisher.pushFrame(frame.data(), 320, 240, 24);
            std::this_thread::sleep_for(40ms);
        }
    });
    long forcedBefore = 0;
    bool playedBefore = false;
    {
        testsupport::ChromiumPage page(janus.pageDir());
        if (page.open(viewerQuery(janus)))
            playedBefore = page.waitFor([](const auto& r) { return r.shown >= 5; }, 45s);
    }
    forcedBefore = publisher.keyframesForced();
    janus.kill();
    std::this_thread::sleep_for(1s);
    const bool restarted = janus.start();
    bool playedAfter = false;
    if (restarted) {
        testsupport::ChromiumPage page(janus.pageDir());
        if (page.open(viewerQuery(janus)))
            playedAfter = page.waitFor([](const auto& r) { return r.shown >= 5; }, 45s);
    }
    const long forcedAfter = publisher.keyframesForced();
    const auto rtp = publisher.rtpStats();
    stop = true;
    camera.join();
    publisher.stop();
    ASSERT_TRUE(playedBefore && restarted) << janus.log();
    EXPECT_GE(forcedBefore, 1) << "the first viewer's request was not honoured";
    EXPECT_TRUE(playedAfter) << janus.log();
    EXPECT_GT(forcedAfter, forcedBefore) << "no keyframe for the viewer after the restart";
    EXPECT_GE(rtp.keyframeRequests, 2u);
}

} // namespace
