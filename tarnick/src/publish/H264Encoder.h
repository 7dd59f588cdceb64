// H264Encoder: the one H.264 encoder of a capture. Frames from the camera's thread wait in a
// small queue (FrameSlots); the encoder's own thread converts them (libyuv) and encodes them
// (the hardware encoder first, libx264 otherwise) and hands every picture to each of its sinks
// (RTMP, RTP...), which never wait on their network on this thread. Two outputs, one encode.
#pragma once

#include "publish/FrameSlots.h"
#include "publish/H264Sink.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class H264Encoder {
public:
    struct Params {
        int width = 0;
        int height = 0;
        int bitCount = 24; // 24 (B,G,R) or 32 (B,G,R,x), bottom-up rows padded to 4 bytes
        int framesPerSecond = 30;
        int bitrateKbps = 2500;
        int keyframeSeconds = 1;
    };

    H264Encoder() = default;
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // Window thread. Starts the encoder's thread for frames of this format, feeding `sinks`
    // (which must outlive stop()). Nothing is built or allocated until a sink wants pictures.
    // False when the format cannot be encoded.
    bool start(const Params& params, std::vector<H264Sink*> sinks);
    // Window thread. Ends the stream for every sink and joins the thread; a no-op when stopped.
    void stop();
    bool running() const { return m_thread.joinable(); }
    // Any thread: a sink's wish for pictures changed; looked at now rather than within 100 ms.
    void wake();

    // The camera's thread. Never waits, never allocates: copied into a free slot, or dropped
    // and counted. Refused unless the encoder runs and the frame has the started format.
    void pushFrame(const unsigned char* rows, int width, int height, int bitCount,
                   std::int64_t captureUs);
    bool accepting() const { return m_accepting.load(std::memory_order_acquire); }

    // Any thread.
    long encodedFrames() const { return m_encoded.load(std::memory_order_relaxed); }
    long droppedFrames() const { return m_slots.dropped(); }
    long encodersOpened() const { return m_encodersOpened.load(std::memory_order_relaxed); }
    long keyframesForced() const { return m_forced.load(std::memory_order_relaxed); }
    std::size_t queueBytes() const { return m_slots.allocatedBytes(); }
    std::string encoderName() const;

    static int strideOf(int width, int bitCount) { return ((width * bitCount + 31) / 32) * 4; }

private:
    struct Deleters {
        void operator()(AVCodecContext* context) const;
        void operator()(AVFrame* frame) const;
        void operator()(AVPacket* packet) const;
    };
    void run();
    bool anySinkWants() const;
    void idle();
    bool open(std::string* why);
    bool tryEncoder(const AVCodec* codec, std::string* why);
    void close();
    bool encode(const unsigned char* rows, std::int64_t captureUs, bool keyframe, std::string* why);
    bool handOut(std::string* why);
    bool failed(const std::string& what, std::string* why);

    Params m_params;
    std::vector<H264Sink*> m_sinks;
    std::atomic<int> m_width{0}, m_height{0}; // read by the camera's thread
    FrameSlots m_slots;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_accepting{false};
    std::mutex m_wakeLock;
    std::condition_variable m_woken;
    bool m_wakeWanted = false; // guarded by m_wakeLock
    std::atomic<long> m_encoded{0}, m_encodersOpened{0}, m_forced{0};
    mutable std::mutex m_infoLock;
    std::string m_encoderName; // guarded by m_infoLock

    // The encoder's thread only.
    std::unique_ptr<AVCodecContext, Deleters> m_encoder;
    std::unique_ptr<AVFrame, Deleters> m_picture;
    std::unique_ptr<AVPacket, Deleters> m_packet;
    bool m_hardware = false;
    bool m_hardwareUnusable = false; // for the life of the object, across openings
    long m_packetsOut = 0;
    std::int64_t m_firstCaptureUs = -1;
    std::int64_t m_lastPts = -1;
    // Capture times of the frames in the encoder, by their pts (the encoder may hold a few).
    std::array<std::pair<std::int64_t, std::int64_t>, 16> m_times{};
    std::size_t m_nextTime = 0;
    std::string m_lastError; // told once until the encoder opens again
};
