// A camera's own JPEG handed to the server beside its decoded frame: viewers and snapshots get
// those bytes (tables completed when missing), in step with the frame; anything else is encoded.
#include "tavrel/Tavrel.h"

#include "jpeg_tables.h"
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};

std::vector<uint8_t> compress(const DibFormat& f, const std::vector<uint8_t>& rows, int flags = 0) {
    tjhandle h = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(h, rows.data(), f.width, static_cast<int>(f.stride()), f.height, TJPF_BGR, &out,
                &size, TJSAMP_420, 85, TJFLAG_BOTTOMUP | flags);
    std::vector<uint8_t> jpeg(out, out + size);
    tjFree(out);
    tjDestroy(h);
    return jpeg;
}

std::vector<uint8_t> decodeRows(const std::vector<uint8_t>& jpeg, const DibFormat& f) {
    std::vector<uint8_t> rows(f.imageBytes());
    tjhandle h = tjInitDecompress();
    const int rc = tjDecompress2(h, jpeg.data(), jpeg.size(), rows.data(), f.width,
                                 static_cast<int>(f.stride()), f.height, TJPF_BGR,
                                 TJFLAG_BOTTOMUP | TJFLAG_STOPONWARNING);
    tjDestroy(h);
    if (rc != 0)
        rows.clear();
    return rows;
}

std::vector<uint8_t> completed(const std::vector<uint8_t>& jpeg, const DibFormat& f) {
    std::vector<uint8_t> out(jpeg.size() + 1024);
    out.resize(completeJpeg(jpeg.data(), jpeg.size(), f, out.data(), out.size()));
    return out;
}

std::vector<uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

// The bodies of the parts of a multipart answer, by their Content-Length.
std::vector<std::vector<uint8_t>> partBodies(const std::string& body) {
    std::vector<std::vector<uint8_t>> parts;
    size_t pos = 0;
    for (;;) {
        const size_t cl = body.find("Content-Length: ", pos);
        const size_t end = body.find("\r\n\r\n", cl);
        if (cl == std::string::npos || end == std::string::npos)
            break;
        const size_t n = std::stoul(body.substr(cl + 16));
        if (end + 4 + n > body.size())
            break;
        parts.emplace_back(body.begin() + static_cast<std::ptrdiff_t>(end + 4),
                           body.begin() + static_cast<std::ptrdiff_t>(end + 4 + n));
        pos = end + 4 + n;
    }
    return parts;
}

class TavrelPassthrough : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = freePort();
        ASSERT_EQ(m_server.OpenServer(m_port, kSmall.width, kSmall.height, 30), 0);
        for (int i = 0; i < 6; ++i) {
            m_frames.push_back(makeFrame(kSmall, i * 5));
            m_jpegs.push_back(compress(kSmall, m_frames.back()));
        }
    }
    void TearDown() override { m_server.Close(); }

    // Frame i with its own JPEG, as the camera thread hands them over.
    void add(size_t i, const std::vector<uint8_t>& jpeg) {
        ASSERT_EQ(m_server.SetNextFrameJpeg(jpeg.data(), static_cast<int>(jpeg.size())), 0);
        ASSERT_EQ(m_server.AddFrame(m_frames[i].data(), 1), 0);
    }

    CTavrel m_server;
    int m_port = 0;
    std::vector<std::vector<uint8_t>> m_frames;
    std::vector<std::vector<uint8_t>> m_jpegs;
};

TEST_F(TavrelPassthrough, SnapshotIsTheCameraJpegOfTheFrameJustAdded) {
    // One frame at a time: a JPEG paired with the frame before or after it would show here.
    for (size_t i = 0; i < m_frames.size(); ++i) {
        add(i, m_jpegs[i]);
        const HttpAnswer a = httpGet(m_port, "/snapshot.jpg");
        ASSERT_EQ(a.status, 200);
        EXPECT_EQ(bytesOf(a.body), m_jpegs[i]) << "frame " << i;
    }
}

TEST_F(TavrelPassthrough, StreamViewersGetTheCameraBytesAndRawViewersTheFrames) {
    std::atomic<bool> stop{false};
    std::thread camera([&] {
        for (size_t i = 0; !stop; ++i) {
            const auto& jpeg = m_jpegs[i % m_jpegs.size()];
            m_server.SetNextFrameJpeg(jpeg.data(), static_cast<int>(jpeg.size()));
            m_server.AddFrame(m_frames[i % m_frames.size()].data(), 1);
            std::this_thread::sleep_for(15ms);
        }
    });
    const HttpAnswer jpegView = httpGet(m_port, "/stream", {}, 700ms);
    const HttpAnswer rawView = httpGet(m_port, "/stream?raw=1", {}, 700ms);
    stop = true;
    camera.join();

    const auto jpegParts = partBodies(jpegView.body);
    ASSERT_GE(jpegParts.size(), 5u);
    for (auto& p : jpegParts)
        EXPECT_NE(std::find(m_jpegs.begin(), m_jpegs.end(), p), m_jpegs.end())
            << "a JPEG part is not one of the camera's pictures";
    const auto rawParts = partBodies(rawView.body);
    ASSERT_GE(rawParts.size(), 5u);
    for (auto& p : rawParts)
        EXPECT_NE(std::find(m_frames.begin(), m_frames.end(), p), m_frames.end())
            << "a raw part is not one of the decoded frames";
}

TEST_F(TavrelPassthrough, MissingHuffmanTablesAreInsertedAndTheJpegDecodes) {
    const auto bare = withoutHuffmanTables(m_jpegs[2]);
    ASSERT_LT(bare.size(), m_jpegs[2].size());
    add(2, bare);
    const HttpAnswer a = httpGet(m_port, "/snapshot.jpg");
    ASSERT_EQ(a.status, 200);
    const auto served = bytesOf(a.body);
    EXPECT_EQ(served, completed(bare, kSmall)) << "the camera's bytes plus the tables";
    EXPECT_EQ(served.size(), bare.size() + 420) << "one segment with the four tables";
    // The decoder now reads the inserted tables; they are the ones the encoder used when they
    // decode the scan to the very same pixels.
    EXPECT_EQ(decodeRows(served, kSmall), decodeRows(m_jpegs[2], kSmall));

    const std::string ffmpeg = findTool("ffmpeg");
    if (ffmpeg.empty())
        GTEST_SKIP() << "ffmpeg not installed";
    const std::string path = ::testing::TempDir() + "passthrough_bare.jpg";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(served.data(), 1, served.size(), f);
    std::fclose(f);
    const std::string cmd = ffmpeg + " -v error -xerror -i " + path + " -f null - 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::remove(path.c_str());
}

TEST_F(TavrelPassthrough, PicturesThatCannotBePassedOnAreEncodedInstead) {
    const DibFormat other{320, 240, 24};
    const std::vector<std::vector<uint8_t>> refused = {
        compress(other, makeFrame(other, 1)),                              // another size
        compress(kSmall, m_frames[0], TJFLAG_PROGRESSIVE),                 // not baseline
        {0xff, 0xd8, 0xff, 0xdb, 0xff, 0xff, 0x00},                        // a length past the end
        std::vector<uint8_t>(m_jpegs[0].begin() + 2, m_jpegs[0].end()),    // no start marker
        std::vector<uint8_t>(m_jpegs[0].begin(), m_jpegs[0].begin() + 40), // headers cut short
    };
    for (size_t k = 0; k < refused.size(); ++k) {
        const auto& jpeg = refused[k];
        EXPECT_EQ(m_server.SetNextFrameJpeg(jpeg.data(), static_cast<int>(jpeg.size())), -2)
            << "picture " << k;
        ASSERT_EQ(m_server.AddFrame(m_frames[k].data(), 1), 0);
        const HttpAnswer a = httpGet(m_port, "/snapshot.jpg");
        ASSERT_EQ(a.status, 200);
        EXPECT_NE(bytesOf(a.body), jpeg);
        const auto shown = decodeRows(bytesOf(a.body), kSmall);
        ASSERT_FALSE(shown.empty()) << "picture " << k;
        EXPECT_GT(psnr(m_frames[k], shown.data(), kSmall), 30.0) << "the frame, encoded";
    }
    EXPECT_EQ(m_server.SetNextFrameJpeg(nullptr, 10), -1);
    CTavrel closed;
    EXPECT_EQ(closed.SetNextFrameJpeg(m_jpegs[0].data(), static_cast<int>(m_jpegs[0].size())), -1);
}

TEST(TavrelPassthroughPool, AJpegNoFrameFollowedIsNeverPairedAndHoldsNothing) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    const auto rows = makeFrame(kSmall, 0);
    const auto jpeg = compress(kSmall, rows);
    // A camera whose decoder keeps failing: JPEGs staged, never followed by their frame.
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(server->addNextFrameJpeg(jpeg.data(), jpeg.size()));
    EXPECT_LE(server->stats().pool.encodedBuffers, 3u);
    EXPECT_EQ(server->stats().pool.passedThrough, 0u);
    ASSERT_TRUE(server->addFrame(rows.data()));
    EXPECT_EQ(server->stats().pool.passedThrough, 1u);
    ASSERT_TRUE(server->addFrame(rows.data())); // no JPEG staged for this one
    EXPECT_EQ(server->stats().pool.passedThrough, 1u);
}

TEST(TavrelJpegTables, EveryCutOfAPictureIsHandledSafely) {
    // Headers cut at every length, and bytes flipped in the headers: never a read past the
    // end (the sanitizer builds check), and nothing passed on without its scan marker.
    const auto jpeg = compress(kSmall, makeFrame(kSmall, 3));
    std::vector<uint8_t> out(jpeg.size() + 1024);
    size_t scanAt = 0;
    for (size_t n = 0; n <= jpeg.size(); ++n) {
        std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(n));
        const size_t got = completeJpeg(cut.data(), cut.size(), kSmall, out.data(), out.size());
        if (got && !scanAt)
            scanAt = n;
    }
    size_t sos = 2;
    while (jpeg[sos + 1] != 0xda)
        sos += 2 + ((size_t{jpeg[sos + 2]} << 8) | jpeg[sos + 3]);
    const size_t sosEnd = sos + 2 + ((size_t{jpeg[sos + 2]} << 8) | jpeg[sos + 3]);
    EXPECT_EQ(scanAt, sosEnd) << "first passed on once the scan header is whole";
    for (size_t i = 2; i < scanAt; ++i) {
        auto bad = jpeg;
        bad[i] ^= 0xff;
        completeJpeg(bad.data(), bad.size(), kSmall, out.data(), out.size());
    }
    EXPECT_EQ(completeJpeg(jpeg.data(), jpeg.size(), kSmall, out.data(), jpeg.size() - 1), 0u)
        << "never written past the capacity";
}

} // namespace
