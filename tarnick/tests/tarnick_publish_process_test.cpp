// The real program publishing its start-up server's camera to a real nginx on loopback: what
// nginx then serves (RTMP and HLS, read by ffprobe and ffmpeg), a second nginx relaying the
// first, a hundred HLS readers on nginx, an ingest server that is down at start, killed and
// restarted, and a URL that is refused.
#include "NginxProcess.h"
#include "ProgramProcess.h"
#include "PublishedMedia.h"
#include "SilentResolver.h"
#include "TestSupport.h"
#include "loopback.h"

#include "publish/Publisher.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

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

// What an nginx serves of the program's stream: H.264 at the capture's size over RTMP and as
// HLS over HTTP, segments that decode, and the pattern's frame counter moving on from the first
// segment to the last.
void expectTheCamerasStream(const NginxProcess& nginx) {
    EXPECT_EQ(testsupport::probeVideo(nginx.publishUrl()), "h264|640|480");
    EXPECT_EQ(testsupport::probeVideo(nginx.playlistUrl()), "h264|640|480");
    const auto segments = testsupport::playlistSegments(nginx.playlistPath());
    const auto first =
        testsupport::firstFrameStrip(nginx.prefix() + "/hls/" + segments.front(), 640, 480);
    const auto last =
        testsupport::firstFrameStrip(nginx.prefix() + "/hls/" + segments.back(), 640, 480);
    ASSERT_TRUE(first && last) << "a segment's first picture carries no readable strip";
    EXPECT_GT(last->frameNumber, first->frameNumber);
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
    expectTheCamerasStream(nginx);
    // Serving goes on beside publishing.
    EXPECT_TRUE(snapshotServed(port, program.binDir()));

    const std::string log = readFile(journal);
    EXPECT_EQ(linesWith(log, "tarnick: publishing to " + Publisher::displayUrl(nginx.publishUrl())),
              1)
        << log;
    EXPECT_EQ(linesWith(log, "cannot publish"), 0) << log;
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
    EXPECT_EQ(linesWith(readFile(journal), "tarnick: publishing stopped"), 1);
}

TEST(PublishProcess, ASecondNginxRelayingTheFirstServesTheSameStream) {
    NginxProcess origin;
    ASSERT_TRUE(origin.start());
    NginxProcess relay = NginxProcess::relayOf(origin);
    ASSERT_TRUE(relay.start());
    ProgramProcess program;
    const int port = loopback::freePort();
    writeFile(program.besideSettings(), publishingSettings(port, origin.publishUrl()));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));

    // The edge pulls by itself (a static pull retries until the origin has the stream).
    ASSERT_TRUE(pumpUntil(
        [&] { return testsupport::playlistSegments(relay.playlistPath()).size() >= 3; }, 60000))
        << "the relay made no HLS playlist with three segments within 60 s\n"
        << readFile(journal);
    // The same pictures: the camera's pattern, its frame counter moving on across the edge's
    // segments.
    expectTheCamerasStream(relay);
    // Nobody publishes to the edge directly.
    EXPECT_EQ(linesWith(readFile(journal),
                        "tarnick: publishing to " + Publisher::displayUrl(origin.publishUrl())),
              1);
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
}

// CPU time (user + system, in clock ticks) a process has used so far, from /proc.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// The program's CPU use over `ms`, in percent of one core (a figure to record, never to judge).
double cpuPercentOver(pid_t pid, int ms) {
    const long before = cpuTicks(pid);
    QElapsedTimer elapsed;
    elapsed.start();
    pumpUntil([] { return false; }, ms);
    const long spent = cpuTicks(pid) - before;
    return 100.0 * double(spent) / double(::sysconf(_SC_CLK_TCK)) /
           (double(elapsed.elapsed()) / 1000.0);
}

TEST(PublishProcess, AHundredHlsReadersLeavePublishingAndServingWorking) {
    NginxProcess nginx;
    ASSERT_TRUE(nginx.start());
    ProgramProcess program;
    const int port = loopback::freePort();
    writeFile(program.besideSettings(), publishingSettings(port, nginx.publishUrl()));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));
    ASSERT_TRUE(pumpUntil([&] { return newestSegmentFrame(nginx, 3).has_value(); }, 60000))
        << readFile(journal);
    const double idle = cpuPercentOver(program.pid(), 3000);

    // A hundred readers on loopback, each a curl fetching the playlist and the newest segment
    // in turn, bounded in count and in time.
    const std::string segment = "http://127.0.0.1:" + std::to_string(nginx.httpPort()) + "/hls/" +
                                testsupport::playlistSegments(nginx.playlistPath()).back();
    std::vector<std::unique_ptr<QProcess>> readers;
    for (int i = 0; i < 100; ++i) {
        auto reader = std::make_unique<QProcess>();
        reader->setStandardOutputFile(QProcess::nullDevice());
        reader->setStandardErrorFile(QProcess::nullDevice());
        reader->start("curl",
                      {"-s", "--max-time", "15",
                       QString::fromStdString("{" + nginx.playlistUrl() + "," + segment +
                                              "}?reader=" + std::to_string(i) + "&round=[1-30]")});
        readers.push_back(std::move(reader));
    }
    const uint32_t before = *newestSegmentFrame(nginx);
    const double loaded = cpuPercentOver(program.pid(), 3000);
    RecordProperty("program_cpu_pct_no_readers", std::to_string(idle));
    RecordProperty("program_cpu_pct_100_readers", std::to_string(loaded));

    // Publishing goes on: new segments whose pictures are later frames, and MJPEG is served.
    std::optional<uint32_t> after;
    EXPECT_TRUE(pumpUntil(
        [&] {
            after = newestSegmentFrame(nginx);
            return after && *after > before;
        },
        30000))
        << "no newer segment while the readers read";
    EXPECT_TRUE(snapshotServed(port, program.binDir()));
    for (auto& reader : readers)
        if (!reader->waitForFinished(20000))
            reader->kill();
    int served = 0;
    for (auto& reader : readers)
        served += reader->exitStatus() == QProcess::NormalExit && reader->exitCode() == 0;
    RecordProperty("readers_completed", served);
    EXPECT_TRUE(pumpUntil(
        [&] {
            const auto latest = newestSegmentFrame(nginx);
            return latest && after && *latest > *after;
        },
        30000))
        << "publishing stopped after the readers";
    EXPECT_TRUE(snapshotServed(port, program.binDir()));
    const std::string log = readFile(journal);
    EXPECT_EQ(linesWith(log, "cannot publish"), 0) << log;
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0);
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
    EXPECT_EQ(linesWith(readFile(journal),
                        "cannot publish to " + Publisher::displayUrl(nginx.publishUrl())),
              1)
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

// Publishing to a host whose name lookup never answers (an unreachable nameserver): SIGTERM
// ends the program within its usual bound, saying publishing stopped; nothing of FFmpeg's
// reaches the journal.
TEST(PublishProcess, SigtermEndsTheProgramWhileTheIngestsNameLookupNeverAnswers) {
    if (!testsupport::SilentResolver::inside())
        return testsupport::SilentResolver::runThisTestInside();
    testsupport::SilentResolver resolver;
    ASSERT_TRUE(resolver.bound());
    ProgramProcess program;
    const int port = loopback::freePort();
    writeFile(program.besideSettings(),
              publishingSettings(port, std::string("rtmp://") +
                                           testsupport::SilentResolver::kHangingHost +
                                           "/live/camera"));
    const std::string journal = program.binDir() + "/stderr.log";
    ASSERT_TRUE(program.start(false, journal));
    ASSERT_TRUE(pumpUntil([&] { return snapshotServed(port, program.binDir()); }, 30000))
        << readFile(journal);
    pumpUntil([] { return false; }, 1000); // the lookup hangs meanwhile
    QElapsedTimer ending;
    ending.start();
    EXPECT_EQ(program.stop(SIGTERM).value_or(-1), 0) << readFile(journal);
    RecordProperty("sigterm_to_exit_ms", static_cast<int>(ending.elapsed()));
    const std::string log = readFile(journal);
    EXPECT_EQ(linesWith(log, "tarnick: publishing stopped"), 1) << log;
    EXPECT_EQ(linesWith(log, " @ 0x"), 0) << "FFmpeg wrote on standard error\n" << log;
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
