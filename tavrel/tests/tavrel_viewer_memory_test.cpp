// What viewers cost the server in memory: a JPEG viewer holds only encoded bytes, never a raw
// frame, and everything it held is given back once it leaves.
#include "jpeg_codec.h"
#include "stream_client.h"
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kFullHd{1920, 1080, 24};

const DibFormat kSmall{160, 120, 24};

std::unique_ptr<StreamServer> startServer(const DibFormat& f) {
    ServerOptions o;
    o.port = 0;
    o.format = f;
    return StreamServer::start(o);
}

// Frames with fine grain: about a megabyte of JPEG each at 1080p, so a viewer that stops
// reading fills its socket within a few frames and then holds the part it was sent.
std::vector<std::vector<uint8_t>> grainyFrames(const DibFormat& f, int count) {
    std::vector<std::vector<uint8_t>> frames;
    uint32_t seed = 12345;
    for (int i = 0; i < count; ++i) {
        frames.push_back(makeFrame(f, i));
        for (size_t k = 0; k < frames.back().size(); k += 2) {
            seed = seed * 1664525u + 1013904223u;
            frames.back()[k] = static_cast<uint8_t>(seed >> 24);
        }
    }
    return frames;
}

// Feeds `frames` in turn at about 30 fps on its own thread (the camera's).
class GrainyCamera {
public:
    GrainyCamera(StreamServer& server, std::vector<std::vector<uint8_t>> frames)
        : m_frames(std::move(frames)), m_thread([this, &server] {
              for (size_t i = 0; !m_stop; ++i) {
                  server.addFrame(m_frames[i % m_frames.size()].data());
                  std::this_thread::sleep_for(33ms);
              }
          }) {}
    ~GrainyCamera() {
        m_stop = true;
        m_thread.join();
    }

private:
    std::vector<std::vector<uint8_t>> m_frames;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

template <typename Pred> bool waitUntil(Pred pred, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
    return pred();
}

TEST(TavrelViewerMemory, StalledJpegViewersCostEncodedBytesAndLeaveNothingBehind) {
    auto server = startServer(kFullHd);
    ASSERT_TRUE(server);
    auto frames = grainyFrames(kFullHd, 3);
    std::vector<uint8_t> jpeg(JpegEncoder::maxEncodedBytes(kFullHd));
    const long jpegKb = static_cast<long>(JpegEncoder().encode(kFullHd, frames[0].data(),
                                                               jpeg.data(), jpeg.size())) /
                        1024;
    ASSERT_GT(jpegKb, 0);
    jpeg = {};
    GrainyCamera camera(*server, std::move(frames));
    std::this_thread::sleep_for(300ms);
    const PoolCounters rest = server->stats().pool;
    const long restKb = residentKb();

    std::vector<int> viewers;
    for (int n : {1, 4, 16}) {
        // Joining one after another, each stalls on a different frame.
        while (static_cast<int>(viewers.size()) < n) {
            viewers.push_back(smallBufferViewer(server->port(), "/stream"));
            ASSERT_GE(viewers.back(), 0);
            std::this_thread::sleep_for(40ms);
        }
        std::this_thread::sleep_for(1500ms);
        const PoolCounters now = server->stats().pool;
        const long growthKb = residentKb() - restKb;
        std::printf("[figure] %2d stalled JPEG viewers at 1080p: raw slots %zu, JPEG buffers "
                    "%zu, resident +%ld kB (JPEG %ld kB)\n",
                    n, now.slots, now.encodedBuffers, growthKb, jpegKb);
        EXPECT_EQ(now.slots, rest.slots) << "a JPEG viewer must not pin a raw frame";
        // Viewers stalled on the same frame share its JPEG; none holds more than one.
        EXPECT_LE(now.encodedBuffers, static_cast<size_t>(n) + 3);
        // One encoded frame per viewer, plus the encoder's planes and a few spare JPEGs, and
        // once anyone watches one more raw frame (6 MB here): while the encoder reads the
        // newest, the camera writes another slot, where at rest it rewrites the newest in place.
        if (kResidentMeasurable) {
            const long rawKb = static_cast<long>(kFullHd.imageBytes() / 1024);
            EXPECT_LT(growthKb, (jpegKb + 64) * (n + 3) + 4096 + rawKb)
                << "about one JPEG per viewer";
        }
    }
    EXPECT_GT(server->stats().pool.encodes, rest.encodes);

    for (int fd : viewers)
        ::close(fd);
    EXPECT_TRUE(waitUntil([&] {
        return server->stats().pool.encodedBuffers <= FramePool::kRestingEncodedBuffers;
    })) << "JPEG buffers left: "
        << server->stats().pool.encodedBuffers;
    EXPECT_EQ(server->stats().pool.slots, rest.slots);
}

bool isOneOf(const std::vector<std::vector<uint8_t>>& set, const std::vector<uint8_t>& f) {
    return std::find(set.begin(), set.end(), f) != set.end();
}

// Collects frames on a client's delivery thread.
struct Frames {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> kept;
    size_t bytes = 0;
    std::atomic<int> count{0};

    static void onFrame(unsigned char* frame, void* context) {
        auto* self = static_cast<Frames*>(context);
        std::lock_guard g(self->lock);
        if (self->kept.size() < 10)
            self->kept.emplace_back(frame, frame + self->bytes);
        ++self->count;
    }
};

TEST(TavrelViewerMemory, RawViewerBesideJpegViewersStillGetsExactFrames) {
    auto server = startServer(kSmall);
    ASSERT_TRUE(server);
    FrameFeeder feeder(kSmall, 10ms, [&](uint8_t* f) { server->addFrame(f); });

    std::vector<std::unique_ptr<Frames>> sinks; // outlive the clients that call them
    std::vector<std::unique_ptr<StreamClient>> clients;
    for (int i = 0; i < 4; ++i) {
        const bool raw = i == 0;
        sinks.push_back(std::make_unique<Frames>());
        sinks.back()->bytes = kSmall.imageBytes();
        clients.push_back(StreamClient::open("127.0.0.1", server->port(), 5s, raw));
        ASSERT_TRUE(clients.back());
        EXPECT_EQ(clients.back()->askedForRaw(), raw);
        ASSERT_TRUE(clients.back()->run(&Frames::onFrame, sinks.back().get()));
    }
    EXPECT_TRUE(waitUntil([&] {
        for (auto& s : sinks)
            if (s->count < 10)
                return false;
        return true;
    }));
    for (auto& c : clients)
        c->stop();

    for (auto& f : sinks[0]->kept)
        EXPECT_TRUE(isOneOf(feeder.frames(), f)) << "the raw viewer got an altered frame";
    for (size_t i = 1; i < sinks.size(); ++i)
        for (auto& f : sinks[i]->kept) {
            double best = 0;
            for (auto& original : feeder.frames())
                best = std::max(best, psnr(original, f.data(), kSmall));
            EXPECT_GT(best, 30.0) << "JPEG viewer " << i;
        }
}

} // namespace
