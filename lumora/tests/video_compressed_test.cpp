// The compressed-sample callback: an MJPEG camera's own pictures, each ahead of its frame.
#include "SimulatedCameras.h"

#include <lumora/Video.h>
#include <platform/media/device_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/media/test_pattern_camera.h>

#include "pattern_provider.h"
#include <tavrel/Tavrel.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 320, kHeight = 240;
constexpr size_t kStride = ((kWidth * 24 + 31) / 32) * 4;
constexpr size_t kFrameBytes = kStride * kHeight;

// What the two callbacks see; both run on the streaming thread.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<BYTE> lastJpeg;
    int jpegs = 0;
    int frames = 0;
    int jpegsAtFrame = 0;    // JPEGs seen when the latest frame arrived
    bool inStep = true;      // every frame followed exactly one new JPEG
    double worstDiff = 0;    // frame against its JPEG decoded, mean per byte
    double previousDiff = 0; // the latest frame against the JPEG before its own
    std::vector<BYTE> previousJpeg;
    tjhandle decoder = tjInitDecompress();
    std::vector<BYTE> decoded = std::vector<BYTE>(kFrameBytes);
    ~Seen() { tjDestroy(decoder); }

    double diff(const std::vector<BYTE>& jpeg, const BYTE* frame) {
        if (jpeg.empty() || tjDecompress2(decoder, jpeg.data(), jpeg.size(), decoded.data(), kWidth,
                                          int(kStride), kHeight, TJPF_BGR, TJFLAG_BOTTOMUP) != 0)
            return 255;
        double sum = 0;
        for (size_t i = 0; i < kFrameBytes; ++i)
            sum += std::abs(int(decoded[i]) - int(frame[i]));
        return sum / double(kFrameBytes);
    }
    static void onJpeg(BYTE* data, LONG length, void* param) {
        auto* self = static_cast<Seen*>(param);
        std::lock_guard g(self->lock);
        self->previousJpeg.swap(self->lastJpeg);
        self->lastJpeg.assign(data, data + length);
        ++self->jpegs;
    }
    static void onFrame(BYTE* frame, void* param) {
        auto* self = static_cast<Seen*>(param);
        std::lock_guard g(self->lock);
        self->inStep = self->inStep && self->jpegs == self->jpegsAtFrame + 1;
        self->jpegsAtFrame = self->jpegs;
        if (self->frames < 10) {
            self->worstDiff = std::max(self->worstDiff, self->diff(self->lastJpeg, frame));
            if (!self->previousJpeg.empty())
                self->previousDiff =
                    std::max(self->previousDiff, self->diff(self->previousJpeg, frame));
        }
        ++self->frames;
        self->changed.notify_all();
    }
    bool waitFrames(int n) {
        std::unique_lock g(lock);
        return changed.wait_for(g, std::chrono::seconds(10), [&] { return frames >= n; });
    }
};

class CompressedSamples : public ::testing::Test {
protected:
    platform::media::DeviceProviderScope m_provider{
        std::make_shared<testsupport::PatternCameraProvider>(u"Pattern", u"test", true)};
};

TEST_F(CompressedSamples, MjpegCameraShowsEachJpegJustBeforeTheFrameDecodedFromIt) {
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "test:mjpg", -1), 0);
    // Twice: the tap leaves with the graph and the next initialisation puts in a new one.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Seen seen;
        // Set before the graph is built: that is when the tap goes in.
        video.SetCompressedSampleCallBack(&Seen::onJpeg, &seen);
        ASSERT_EQ(video.CaptureInit(kWidth, kHeight, 24, 333333), 0);
        video.SetSampleCallBack(&Seen::onFrame, &seen);
        ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
        EXPECT_TRUE(seen.waitFrames(12));
        video.CaptureStop();
        video.SetSampleCallBack(nullptr, nullptr);
        video.SetCompressedSampleCallBack(nullptr, nullptr);

        std::lock_guard g(seen.lock);
        ASSERT_GE(seen.frames, 12);
        EXPECT_TRUE(seen.inStep) << "each frame follows exactly its own compressed sample";
        ASSERT_GE(seen.lastJpeg.size(), 4u);
        EXPECT_EQ(seen.lastJpeg[0], 0xff);
        EXPECT_EQ(seen.lastJpeg[1], 0xd8);
        EXPECT_LT(seen.worstDiff, 2.0) << "the frame is the decoded JPEG";
        EXPECT_GT(seen.previousDiff, seen.worstDiff) << "the JPEG before it is another picture";
    }
}

TEST_F(CompressedSamples, OtherFormatsNeverCallIt) {
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "test:yuy2", -1), 0);
    Seen seen;
    video.SetCompressedSampleCallBack(&Seen::onJpeg, &seen);
    ASSERT_EQ(video.CaptureInit(kWidth, kHeight, 16, 333333), 0);
    video.SetSampleCallBack(&Seen::onFrame, &seen);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    EXPECT_TRUE(seen.waitFrames(5));
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    std::lock_guard g(seen.lock);
    EXPECT_EQ(seen.jpegs, 0);
}

// A port nobody listens on now, from the kernel.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// GET `path` from 127.0.0.1 and return the body (the server closes after a snapshot).
std::vector<BYTE> fetch(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string all;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string req = "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n";
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        char buf[65536];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            all.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    const size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 200", 0) != 0 || end == std::string::npos)
        return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(end + 4), all.end()};
}

// The capture server's wiring: each compressed picture goes to the transport just before the
// frame decoded from it, which the window would draw.
struct Serving {
    CTavrel server;
    std::mutex lock;
    std::deque<std::vector<BYTE>> sent; // the camera's latest pictures
    std::atomic<int> frames{0};

    static void onJpeg(BYTE* data, LONG length, void* param) {
        auto* self = static_cast<Serving*>(param);
        {
            std::lock_guard g(self->lock);
            self->sent.emplace_back(data, data + length);
            if (self->sent.size() > 60)
                self->sent.pop_front();
        }
        self->server.SetNextFrameJpeg(data, static_cast<int>(length));
    }
    static void onFrame(BYTE* frame, void* param) {
        auto* self = static_cast<Serving*>(param);
        self->server.AddFrame(frame, 1);
        ++self->frames;
    }
};

TEST_F(CompressedSamples, ACaptureServerSendsViewersTheCamerasOwnJpeg) {
    Serving serving;
    const int port = freePort();
    ASSERT_EQ(serving.server.OpenServer(port, kWidth, kHeight, 30), 0);
    CVideo video;
    video.SetCompressedSampleCallBack(&Serving::onJpeg, &serving);
    ASSERT_EQ(video.Open(OPEN_DEVICE, "test:mjpg", -1), 0);
    ASSERT_EQ(video.CaptureInit(kWidth, kHeight, 24, 333333), 0);
    video.SetSampleCallBack(&Serving::onFrame, &serving);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    for (int i = 0; i < 200 && serving.frames < 5; ++i)
        ::usleep(20000);
    std::vector<std::vector<BYTE>> snapshots;
    for (int i = 0; i < 3; ++i)
        snapshots.push_back(fetch(port, "/snapshot.jpg"));
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    video.SetCompressedSampleCallBack(nullptr, nullptr);
    serving.server.Close();

    std::lock_guard g(serving.lock);
    for (auto& snap : snapshots) {
        ASSERT_FALSE(snap.empty());
        EXPECT_NE(std::find(serving.sent.begin(), serving.sent.end(), snap), serving.sent.end())
            << "a snapshot that is not byte for byte one of the camera's pictures";
    }
}

// The same picture with its DHT segments taken out.
std::vector<BYTE> withoutTables(const std::vector<BYTE>& jpeg) {
    std::vector<BYTE> out(jpeg.begin(), jpeg.begin() + 2);
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos + 1] != 0xda) {
        const size_t len = (size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
        if (jpeg[pos + 1] != 0xc4)
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(pos),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 2 + len));
        pos += 2 + len;
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(pos), jpeg.end());
    return out;
}

TEST(CompressedSamplesV4l2, PicturesWithoutHuffmanTablesReachViewersCompleted) {
    simcam::Scope cameras;
    auto spec = simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC");
    spec.mjpegWithoutHuffmanTables = true;
    cameras.sim().addDevice(spec);

    Serving serving;
    const int port = freePort();
    ASSERT_EQ(serving.server.OpenServer(port, 640, 480, 30), 0);
    CVideo video;
    video.SetCompressedSampleCallBack(&Serving::onJpeg, &serving);
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    ASSERT_EQ(video.CaptureInit(640, 480, 16, 333333), 0);
    video.SetSampleCallBack(&Serving::onFrame, &serving);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    for (int i = 0; i < 200 && serving.frames < 5; ++i)
        ::usleep(20000);
    const std::vector<BYTE> snap = fetch(port, "/snapshot.jpg");
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    video.SetCompressedSampleCallBack(nullptr, nullptr);
    serving.server.Close();

    std::lock_guard g(serving.lock);
    ASSERT_FALSE(serving.sent.empty()) << "the camera's pictures were seen";
    ASSERT_EQ(withoutTables(serving.sent.back()), serving.sent.back()) << "sent without tables";
    ASSERT_FALSE(snap.empty());
    EXPECT_NE(withoutTables(snap), snap) << "the tables were put in";
    EXPECT_NE(std::find(serving.sent.begin(), serving.sent.end(), withoutTables(snap)),
              serving.sent.end())
        << "apart from the tables, the camera's own bytes";
    std::vector<BYTE> rows(size_t(640) * 3 * 480);
    tjhandle decoder = tjInitDecompress();
    EXPECT_EQ(tjDecompress2(decoder, snap.data(), snap.size(), rows.data(), 640, 640 * 3, 480,
                            TJPF_BGR, TJFLAG_STOPONWARNING),
              0);
    tjDestroy(decoder);
}

} // namespace
