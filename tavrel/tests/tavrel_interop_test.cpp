// Interop with tools nobody here wrote: curl, ffprobe/ffmpeg, an ffmpeg MJPEG server, Chromium.
#include "tavrel/Tavrel.h"

#include "jpeg_codec.h"
#include "tavrel_test_support.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kFormat{160, 120, 24};

// Upper half of the picture red, lower half blue: buffer rows run bottom-up, so a tool that
// shows the picture upside down fails the colour checks below.
std::vector<uint8_t> twoTone(const DibFormat& f) {
    std::vector<uint8_t> rows(f.imageBytes(), 0);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            uint8_t* p =
                rows.data() + static_cast<size_t>(y) * f.stride() + static_cast<size_t>(x) * 3;
            const bool bottomHalf = y < f.height / 2;
            p[0] = bottomHalf ? 255 : 0; // B
            p[2] = bottomHalf ? 0 : 255; // R
        }
    return rows;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string tempDir() {
    char name[] = "/tmp/tavrel-interop-XXXXXX";
    return ::mkdtemp(name) ? name : "/tmp";
}

// A serving transport fed the two-tone picture from a camera-like thread.
class TavrelInterop : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = freePort();
        ASSERT_EQ(m_server.OpenServer(m_port, kFormat.width, kFormat.height, 30), 0);
        m_frame = twoTone(kFormat);
        m_feeder = std::make_unique<FrameFeeder>(
            kFormat, 20ms, [this](uint8_t*) { m_server.AddFrame(m_frame.data(), 1); }, 1);
        m_dir = tempDir();
    }
    void TearDown() override {
        m_feeder.reset();
        m_server.Close();
        std::system(("rm -rf " + m_dir).c_str());
    }
    std::string url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    // Converts any picture file to top-down BGR rows with ffmpeg; empty on failure.
    std::string toBgr(const std::string& file, const std::string& ffmpeg) {
        const std::string out = m_dir + "/pixels.raw";
        Child c(
            {ffmpeg, "-v", "error", "-y", "-i", file, "-f", "rawvideo", "-pix_fmt", "bgr24", out});
        return c.wait(20s) == 0 ? readFile(out) : std::string{};
    }

    CTavrel m_server;
    int m_port = 0;
    std::vector<uint8_t> m_frame;
    std::unique_ptr<FrameFeeder> m_feeder;
    std::string m_dir;
};

bool looksRed(const std::string& bgr, size_t offset) {
    return bgr.size() >= offset + 3 && uint8_t(bgr[offset + 2]) > 180 && uint8_t(bgr[offset]) < 80;
}
bool looksBlue(const std::string& bgr, size_t offset) {
    return bgr.size() >= offset + 3 && uint8_t(bgr[offset]) > 180 && uint8_t(bgr[offset + 2]) < 80;
}

TEST_F(TavrelInterop, CurlFetchesASnapshotThatDecodes) {
    const std::string curl = findTool("curl");
    if (curl.empty())
        GTEST_SKIP() << "curl not installed";
    const std::string file = m_dir + "/snap.jpg";
    Child c({curl, "-s", "-f", "-m", "10", "-o", file, url("/snapshot.jpg")});
    ASSERT_EQ(c.wait(15s), 0);
    const std::string jpeg = readFile(file);
    JpegDecoder d;
    int w = 0, h = 0;
    ASSERT_TRUE(d.readSize(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), w, h));
    EXPECT_EQ(w, kFormat.width);
    EXPECT_EQ(h, kFormat.height);
    std::vector<uint8_t> rows(kFormat.imageBytes());
    ASSERT_TRUE(
        d.decode(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), kFormat, rows.data()));
    EXPECT_GT(psnr(m_frame, rows.data(), kFormat), 30.0);

    // Unknown paths and other methods are answered, not served from disk.
    auto status = [&](std::vector<std::string> args) {
        const std::string codes = m_dir + "/code.txt";
        args.insert(args.begin(), {curl, "-s", "-m", "5", "--path-as-is", "-o", "/dev/null", "-w",
                                   "%{http_code}"});
        Child run(args, codes);
        return run.wait(10s) == 0 ? readFile(codes) : "curl failed";
    };
    EXPECT_EQ(status({url("/../etc/passwd")}), "404");
    EXPECT_EQ(status({"-X", "POST", url("/stream")}), "405");
}

TEST_F(TavrelInterop, FfmpegReadsTheMjpegStreamUpright) {
    const std::string ffmpeg = findTool("ffmpeg");
    const std::string ffprobe = findTool("ffprobe");
    if (ffmpeg.empty() || ffprobe.empty())
        GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    const std::string probe = m_dir + "/probe.txt";
    Child p({ffprobe, "-v", "error", "-f", "mpjpeg", "-select_streams", "v:0", "-show_entries",
             "stream=codec_name,width,height", "-of", "csv=p=0", url("/stream")},
            probe);
    ASSERT_EQ(p.wait(20s), 0);
    EXPECT_EQ(readFile(probe), "mjpeg,160,120\n");

    const std::string out = m_dir + "/frames.raw";
    Child c({ffmpeg, "-v", "error", "-f", "mpjpeg", "-i", url("/stream"), "-frames:v", "10", "-f",
             "rawvideo", "-pix_fmt", "bgr24", out});
    ASSERT_EQ(c.wait(20s), 0);
    const std::string bgr = readFile(out);
    const size_t frameBytes = size_t{160} * 120 * 3;
    ASSERT_EQ(bgr.size(), 10 * frameBytes);
    EXPECT_TRUE(looksRed(bgr, (10 * 160 + 80) * 3)) << "top of the picture";
    EXPECT_TRUE(looksBlue(bgr, (110 * 160 + 80) * 3)) << "bottom of the picture";
}

TEST_F(TavrelInterop, ChromiumShowsTheLivePictureOnThePage) {
    std::string chromium = findTool("chromium");
    if (chromium.empty())
        chromium = findTool("chromium-browser");
    const std::string ffmpeg = findTool("ffmpeg");
    if (chromium.empty() || ffmpeg.empty())
        GTEST_SKIP() << "chromium or ffmpeg not installed";
    const std::string shot = m_dir + "/shot.png";
    Child c({chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", "--user-data-dir=" + m_dir + "/profile", "--window-size=400,300",
             "--timeout=4000", "--screenshot=" + shot, url("/")});
    ASSERT_EQ(c.wait(40s), 0);
    const std::string bgr = toBgr(shot, ffmpeg);
    ASSERT_EQ(bgr.size(), size_t{400} * 300 * 3);
    EXPECT_TRUE(looksRed(bgr, (20 * 400 + 80) * 3)) << "the image's upper half";
    EXPECT_TRUE(looksBlue(bgr, (100 * 400 + 80) * 3)) << "the image's lower half";
}

// A server handed, beside every frame, a camera's own JPEG without Huffman tables. The
// camera's picture is the frame turned upside down (blue over red), so a tool that shows blue
// on top shows the passed-through bytes, not an encode of the frame.
class TavrelInteropPassthrough : public TavrelInterop {
protected:
    void SetUp() override {
        TavrelInterop::SetUp();
        m_feeder.reset();
        std::vector<uint8_t> upsideDown = m_frame;
        const size_t stride = kFormat.stride();
        for (int y = 0; y < kFormat.height / 2; ++y)
            std::swap_ranges(upsideDown.begin() + static_cast<std::ptrdiff_t>(y * stride),
                             upsideDown.begin() + static_cast<std::ptrdiff_t>((y + 1) * stride),
                             upsideDown.end() - static_cast<std::ptrdiff_t>((y + 1) * stride));
        std::vector<uint8_t> jpeg(JpegEncoder::maxEncodedBytes(kFormat));
        jpeg.resize(JpegEncoder().encode(kFormat, upsideDown.data(), jpeg.data(), jpeg.size()));
        m_cameraJpeg = withoutHuffmanTables(jpeg);
        ASSERT_LT(m_cameraJpeg.size(), jpeg.size());
        m_feeder = std::make_unique<FrameFeeder>(
            kFormat, 20ms,
            [this](uint8_t*) {
                m_server.SetNextFrameJpeg(m_cameraJpeg.data(),
                                          static_cast<int>(m_cameraJpeg.size()));
                m_server.AddFrame(m_frame.data(), 1);
            },
            1);
    }
    std::vector<uint8_t> m_cameraJpeg;
};

TEST_F(TavrelInteropPassthrough, FfmpegAndChromiumShowTheCamerasCompletedJpeg) {
    const std::string ffmpeg = findTool("ffmpeg");
    if (ffmpeg.empty())
        GTEST_SKIP() << "ffmpeg not installed";
    const std::string out = m_dir + "/frames.raw";
    Child c({ffmpeg, "-v", "error", "-xerror", "-f", "mpjpeg", "-i", url("/stream"), "-frames:v",
             "5", "-f", "rawvideo", "-pix_fmt", "bgr24", out});
    ASSERT_EQ(c.wait(20s), 0);
    const std::string bgr = readFile(out);
    ASSERT_EQ(bgr.size(), 5 * size_t{160} * 120 * 3);
    EXPECT_TRUE(looksBlue(bgr, (10 * 160 + 80) * 3)) << "the camera's picture, top";
    EXPECT_TRUE(looksRed(bgr, (110 * 160 + 80) * 3)) << "the camera's picture, bottom";

    std::string chromium = findTool("chromium");
    if (chromium.empty())
        chromium = findTool("chromium-browser");
    if (chromium.empty())
        GTEST_SKIP() << "chromium not installed";
    const std::string shot = m_dir + "/shot.png";
    Child b({chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", "--user-data-dir=" + m_dir + "/profile", "--window-size=400,300",
             "--timeout=4000", "--screenshot=" + shot, url("/")});
    ASSERT_EQ(b.wait(40s), 0);
    const std::string page = toBgr(shot, ffmpeg);
    ASSERT_EQ(page.size(), size_t{400} * 300 * 3);
    EXPECT_TRUE(looksBlue(page, (20 * 400 + 80) * 3)) << "the image's upper half";
    EXPECT_TRUE(looksRed(page, (100 * 400 + 80) * 3)) << "the image's lower half";
}

// The same server with an access key: curl with the key in the URL or as credentials, and a
// browser that opened the page with the key.
class TavrelInteropKey : public TavrelInterop {
protected:
    static constexpr const char* kKey = "k3y-for/browsers";
    void SetUp() override {
        ASSERT_EQ(m_server.SetAccessKey(kKey), 0);
        TavrelInterop::SetUp();
    }
    std::string keyed(const char* path) const {
        return url(path) + std::string("?key=k3y-for%2Fbrowsers");
    }
};

TEST_F(TavrelInteropKey, CurlNeedsTheKeyOnEveryRoute) {
    const std::string curl = findTool("curl");
    if (curl.empty())
        GTEST_SKIP() << "curl not installed";
    auto status = [&](std::vector<std::string> args) {
        const std::string codes = m_dir + "/code.txt";
        args.insert(args.begin(), {curl, "-s", "-m", "3", "-o", "/dev/null", "-w", "%{http_code}"});
        Child run(args, codes);
        run.wait(10s);
        return readFile(codes);
    };
    for (const char* route : {"/", "/stream", "/snapshot.jpg"}) {
        EXPECT_EQ(status({url(route)}), "401") << route;
        EXPECT_EQ(status({"-u", "me:wrong", url(route)}), "401") << route;
    }
    EXPECT_EQ(status({keyed("/")}), "200");
    EXPECT_EQ(status({keyed("/snapshot.jpg")}), "200");
    EXPECT_EQ(status({"-u", std::string(":") + kKey, url("/snapshot.jpg")}), "200");
    EXPECT_EQ(status({"-u", std::string("anyone:") + kKey, url("/")}), "200");
    EXPECT_EQ(status({keyed("/nothing")}), "404");
}

TEST_F(TavrelInteropKey, ChromiumOpeningThePageWithTheKeyShowsThePicture) {
    std::string chromium = findTool("chromium");
    if (chromium.empty())
        chromium = findTool("chromium-browser");
    const std::string ffmpeg = findTool("ffmpeg");
    if (chromium.empty() || ffmpeg.empty())
        GTEST_SKIP() << "chromium or ffmpeg not installed";
    const std::string shot = m_dir + "/shot.png";
    Child c({chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", "--user-data-dir=" + m_dir + "/profile", "--window-size=400,300",
             "--timeout=4000", "--screenshot=" + shot, keyed("/")});
    ASSERT_EQ(c.wait(40s), 0);
    const std::string bgr = toBgr(shot, ffmpeg);
    ASSERT_EQ(bgr.size(), size_t{400} * 300 * 3);
    EXPECT_TRUE(looksRed(bgr, (20 * 400 + 80) * 3)) << "the image's upper half";
    EXPECT_TRUE(looksBlue(bgr, (100 * 400 + 80) * 3)) << "the image's lower half";
}

struct Counter {
    std::atomic<int> frames{0};
    static void onFrame(unsigned char*, void* self) { ++static_cast<Counter*>(self)->frames; }
};

TEST(TavrelInteropClient, ClientWatchesAnFfmpegMjpegServer) {
    const std::string ffmpeg = findTool("ffmpeg");
    if (ffmpeg.empty())
        GTEST_SKIP() << "ffmpeg not installed";
    const int port = freePort();
    const std::string where = "http://127.0.0.1:" + std::to_string(port) + "/";
    Child server({ffmpeg, "-v", "error", "-re", "-f", "lavfi", "-i",
                  "testsrc2=size=320x240:rate=15", "-f", "mpjpeg", "-listen", "1", where});
    CTavrel client;
    // ffmpeg takes a moment to listen; refused connections fail fast and are retried.
    const auto end = std::chrono::steady_clock::now() + 15s;
    int rc = -1;
    while (rc != 0 && std::chrono::steady_clock::now() < end) {
        rc = client.OpenClient(const_cast<char*>(where.c_str()), 1);
        if (rc != 0)
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(rc, 0);
    BITMAPINFOHEADER h{};
    ASSERT_EQ(client.GetBitmapInfoHdr(&h), 0);
    EXPECT_EQ(h.biWidth, 320);
    EXPECT_EQ(h.biHeight, 240);
    EXPECT_EQ(h.biSizeImage, 320u * 240 * 3);
    Counter counter;
    ASSERT_EQ(client.Run(&Counter::onFrame, &counter), 0);
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (counter.frames < 10 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    EXPECT_GE(counter.frames, 10);
    client.Stop();
    client.Close();
}

} // namespace
