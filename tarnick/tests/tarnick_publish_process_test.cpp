// The real program publishing its start-up server's camera to a real nginx on loopback: what
// nginx then serves (RTMP and HLS, read by ffprobe and ffmpeg), an ingest server that is down
// at start, killed and restarted, and a URL that is refused.
#include "NginxProcess.h"
#include "ProgramProcess.h"
#include "PublishedMedia.h"
#include "TestSupport.h"
#include "loopback.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <sstream>

namespace {

using testsupport::NginxProcess;
using testsupport::ProgramProcess;
using testsupport::pumpUntil;
using testsupport::readFile;
using testsupport::writeFile;

std::string publishingSettings(int port, const std::string& url) {
    return "[NETWORK]\nCONNECT_PORT=" + std::to_string(port) +
           "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n"
           "[VIDEO]\nWIDTH=640\nHEIGHT=480\nBITCOUNT=24\nFRAME_PER_SEC=30\n"
           "[PUBLISH]\nURL=" +
           url + "\nBITRATE_KBPS=1500\n";
}

int linesWith(const std::string& text, const std::string& what) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        count += line.find(what) != std::string::npos;
    return count;
}

bool snapshotServed(int port, const std::string& dir) {
    const auto jpeg = testsupport::toolOutput(
        "curl", {"-sf", QString::fromStdString("http://127.0.0.1:" + std::to_string(port) +
                                               "/snapshot.jpg")});
    (void)dir;
    return jpeg && jpeg->size() > 1000 && static_cast<unsigned char>((*jpeg)[0]) == 0xFF;
}

// The frame number at the start of the newest HLS segment, once there are at least `count`.
std::optional<uint32_t> newestSegmentFrame(const NginxProcess& nginx, std::size_t count = 2) {
    const auto segments = testsupport::playlistSegments(nginx.playlistPath());
    if (segments.size() < count)
        return std::nullopt;
    const auto strip =
        testsupport::firstFrameStrip(nginx.prefix() + "/hls/" + segments.back(), 640, 480);
    if (!strip)
        return std::nullopt;
    return strip->frameNumber;
}

TEST(PublishProcess, TheStartUpServerPublishesH264ThatNginxServesOverRtmpAndHls) {
    NginxProcess nginx;
    ASSERT_TRUE(nginx.start());
    ProgramProcess program;
    const int port = loopback::freePort();
    writeFile(program.besideSettings(), publishingSettings(port, nginx.publishUrl()));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));

    ASSERT_TRUE(pumpUntil(
        [&] { return testsupport::playlistSegments(nginx.playlistPath()).size() >= 3; }, 60000))
        << "no HLS playlist with three segments within 60 s\n"
        << readFile(journal);
    // What nginx serves: H.264 at the capture's size, over RTMP and as HLS over HTTP.
    EXPECT_EQ(testsupport::probeVideo(nginx.publishUrl()), "h264|640|480");
    EXPECT_EQ(testsupport::probeVideo(nginx.playlistUrl()), "h264|640|480");
    // The segments decode, and the pattern's frame counter moves on from one to the next.
    const auto segments = testsupport::playlistSegments(nginx.playlistPath());
    const auto first =
        testsupport::firstFrameStrip(nginx.prefix() + "/hls/" + segments.front(), 640, 480);
    const auto last =
        testsupport::firstFrameStrip(nginx.prefix() + "/hls/" + segments.back(), 640, 480);
    ASSERT_TRUE(first && last) << "a segment's first picture carries no readable strip";
    EXPECT_GT(last->frameNumber, first->frameNumber);
    // Serving goes on beside publishing.
    EXPECT_TRUE(snapshotServed(port, program.binDir()));

    const std::string log = readFile(journal);
    EXPECT_EQ(linesWith(log, "tarnick: publishing to " + nginx.publishUrl()), 1) << log;
    EXPECT_EQ(linesWith(log, "cannot publish"), 0) << log;
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
    EXPECT_EQ(linesWith(readFile(journal), "tarnick: publishing stopped"), 1);
}

TEST(PublishProcess, AnIngestServerDownAtStartThenKilledAndRestartedIsPublishedToWithoutARestart) {
    NginxProcess nginx; // not running yet
    ProgramProcess program;
    const int port = loopback::freePort();
    writeFile(program.besideSettings(), publishingSettings(port, nginx.publishUrl()));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));

    // Down at start: the program serves, and says once why it does not publish.
    ASSERT_TRUE(
        pumpUntil([&] { return linesWith(readFile(journal), "cannot publish") > 0; }, 30000))
        << readFile(journal);
    EXPECT_TRUE(pumpUntil([&] { return snapshotServed(port, program.binDir()); }, 20000));
    pumpUntil([] { return false; }, 1500); // several attempts meanwhile
    EXPECT_EQ(linesWith(readFile(journal), "cannot publish to " + nginx.publishUrl()), 1)
        << readFile(journal);

    ASSERT_TRUE(nginx.start());
    ASSERT_TRUE(pumpUntil([&] { return newestSegmentFrame(nginx).has_value(); }, 60000))
        << "nothing published within 60 s of the server coming up\n"
        << readFile(journal);
    const uint32_t beforeKill = *newestSegmentFrame(nginx);

    // Killed mid-way, then back on the same port: publishing resumes by itself.
    nginx.kill();
    std::filesystem::remove_all(nginx.prefix() + "/hls");
    std::filesystem::create_directories(nginx.prefix() + "/hls");
    ASSERT_TRUE(
        pumpUntil([&] { return linesWith(readFile(journal), "cannot publish") >= 2; }, 30000))
        << readFile(journal);
    EXPECT_TRUE(snapshotServed(port, program.binDir())) << "serving stopped with publishing";
    ASSERT_TRUE(nginx.start());
    QElapsedTimer resumed;
    resumed.start();
    ASSERT_TRUE(
        pumpUntil([&] { return linesWith(readFile(journal), "publishing to") >= 2; }, 30000))
        << readFile(journal);
    RecordProperty("publishing_resumed_ms", static_cast<int>(resumed.elapsed()));
    std::optional<uint32_t> afterRestart;
    ASSERT_TRUE(pumpUntil(
        [&] {
            afterRestart = newestSegmentFrame(nginx, 1);
            return afterRestart.has_value();
        },
        60000));
    EXPECT_GT(*afterRestart, beforeKill);
    EXPECT_EQ(testsupport::probeVideo(nginx.publishUrl()), "h264|640|480");
    const std::string log = readFile(journal);
    EXPECT_EQ(linesWith(log, "tarnick: serving"), 1) << "the server was not restarted\n" << log;
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
}

TEST(PublishProcess, AUrlThatIsNotRtmpIsRefusedAndTheServerStillServes) {
    ProgramProcess program;
    const int port = loopback::freePort();
    std::string settings = publishingSettings(port, "http://127.0.0.1:1/live/camera");
    settings += "KEYFRAME_SECONDS=99\n";
    writeFile(program.besideSettings(), settings);
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));
    ASSERT_TRUE(pumpUntil([&] { return snapshotServed(port, program.binDir()); }, 30000));
    const std::string log = readFile(journal);
    EXPECT_EQ(linesWith(log, "is not an rtmp:// or rtmps:// URL; not publishing"), 1) << log;
    EXPECT_EQ(linesWith(log, "KEYFRAME_SECONDS=99 is out of 1..10; using 10"), 1) << log;
    EXPECT_EQ(linesWith(log, "publishing to"), 0) << log;
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
    // The PUBLISH section is the user's: the program never writes it back.
    EXPECT_NE(readFile(program.besideSettings()).find("URL=http://127.0.0.1:1/live/camera"),
              std::string::npos);
}

} // namespace
