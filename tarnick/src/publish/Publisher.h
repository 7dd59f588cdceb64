// Publisher: the capture server's camera published as H.264 to an RTMP(S) server, encoded and
// sent on a thread of its own behind a bounded queue, reconnecting when the network fails.
#pragma once

#include "FrameSlots.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class H264Sender;

struct PublishSettings {
    static constexpr int kDefaultBitrateKbps = 2500;
    static constexpr int kMinBitrateKbps = 100;
    static constexpr int kMaxBitrateKbps = 50000;
    static constexpr int kDefaultKeyframeSeconds = 1;
    static constexpr int kMinKeyframeSeconds = 1;
    static constexpr int kMaxKeyframeSeconds = 10;

    std::string url; // empty: publishing is off
    int bitrateKbps = kDefaultBitrateKbps;
    int keyframeSeconds = kDefaultKeyframeSeconds;
    // rtmps://: a PEM file of the authorities to trust instead of the system's (a self-signed
    // ingest); empty: the system's trust store.
    std::string caFile;
};

class Publisher {
public:
    enum class State { Off, Connecting, Publishing, Waiting };

    Publisher() = default;
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Window thread. Starts publishing frames of this format (bottom-up rows, 24 or 32 bits);
    // a running publisher is stopped first. False, with one line on standard error, when the
    // URL is not an rtmp:// or rtmps:// address or the format cannot be encoded.
    bool start(const PublishSettings& settings, int width, int height, int bitCount,
               int framesPerSecond);
    // Window thread. Stops at once, even while the network hangs or a host name is being
    // looked up (that lookup is left to end by itself); a no-op when stopped.
    void stop();

    // The frame's thread (the camera's). One frame of the format given to start(), with its
    // capture time taken now; frames of another format are refused. Never waits, never
    // allocates: the frame is copied into a free slot, or dropped and counted.
    void pushFrame(const unsigned char* rows, int width, int height, int bitCount);
    // The same with a given capture time (monotonic microseconds).
    void pushFrame(const unsigned char* rows, int width, int height, int bitCount,
                   std::int64_t captureUs);

    // Any thread.
    State state() const { return m_state.load(std::memory_order_acquire); }
    bool running() const { return m_thread.joinable(); }
    // The server published to, as host[:port] (for "waiting for …").
    std::string target() const;
    // Frames lost because the encoder or the network was behind (since start()).
    long droppedFrames() const { return m_slots.dropped(); }
    // Frames encoded and handed to the network (since start()).
    long sentFrames() const { return m_sent.load(std::memory_order_relaxed); }
    // Sessions opened (the first one and every reconnection), since start().
    long sessions() const { return m_sessions.load(std::memory_order_relaxed); }
    // The encoder of the last session ("libx264").
    std::string encoderName() const;
    // Encoders opened since start() (one per session once connected; none while waiting).
    long encodersOpened() const { return m_encodersOpened.load(std::memory_order_relaxed); }
    // Memory the frame queue holds now: none while no session is open.
    std::size_t queueBytes() const { return m_slots.allocatedBytes(); }

    // Tests: the pause after the first failure, the longest pause, and how long one network
    // step may block. Window thread, before start().
    void setTiming(int firstRetryMs, int lastRetryMs, int ioTimeoutMs);
    // Tests: how long a session must deliver before a failure is paused after briefly again,
    // and the age at which a session is renewed (FLV's millisecond times wrap at 2^31).
    // Window thread, before start().
    void setSessionTiming(int steadyAfterMs, std::int64_t renewAfterMs);

    // The URL as shown in the journal: the stream key (the last path element, and any query)
    // is cut to its first characters, and credentials are left out.
    static std::string displayUrl(const std::string& url);
    static std::string hostOf(const std::string& url);
    // True for an rtmp:// or rtmps:// URL with a host (the only outputs published to).
    static bool isPublishUrl(const std::string& url);
    static std::int64_t nowUs();

private:
    void run();
    void enter(State state, const std::string& why = {});
    // Waits up to `ms` unless stopping; queued frames are not wanted meanwhile.
    void pause(int ms);
    // One session, from its opening to its end; false when it failed (why), true when it
    // reached its age for renewal or was stopped.
    bool deliver(H264Sender& sender, std::string* why);

    PublishSettings m_settings;
    std::atomic<int> m_width{0}, m_height{0}; // read by the frame's thread
    int m_bitCount = 0, m_fps = 30;
    int m_firstRetryMs = 250, m_lastRetryMs = 2000, m_ioTimeoutMs = 5000;
    int m_steadyAfterMs = 10000;
    std::int64_t m_renewAfterMs = std::int64_t(24) * 3600 * 1000; // daily, far below 24.8 days

    FrameSlots m_slots;
    std::thread m_thread;
    // New for every start(): a connection attempt a stop left behind keeps its own.
    std::shared_ptr<std::atomic<bool>> m_stop = std::make_shared<std::atomic<bool>>(false);
    // Frames are copied only while a session is open: waiting for the network costs nothing.
    std::atomic<bool> m_accepting{false};
    std::atomic<State> m_state{State::Off};
    std::atomic<long> m_sent{0};
    std::atomic<long> m_sessions{0};
    std::atomic<long> m_encodersOpened{0};
    mutable std::mutex m_infoLock;
    std::string m_encoderName;
    std::mutex m_pauseLock;
    std::condition_variable m_pauseWake;
    // The last state the journal was told of, so that repeated failures make one line; and
    // whether sessions end before delivering for long (then their openings are not told of
    // until one lasts).
    State m_logged = State::Off;
    bool m_flapping = false;
};
