// RtmpSink: the encoded camera stream published as FLV to an RTMP(S) server, on a thread of its
// own: the encoder hands pictures to a bounded queue and never waits on this network. The
// thread connects, reconnects after failures with a growing pause, and renews its session
// daily. While it is not connected it wants no pictures, so that it alone keeps no encoder
// running.
#pragma once

#include "publish/FlvConnection.h"
#include "publish/H264Sink.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RtmpSink final : public H264Sink {
public:
    enum class State { Off, Connecting, Publishing, Waiting };
    struct Params {
        std::string url;
        std::string caFile; // rtmps:// trusted authorities instead of the system's
        int ioTimeoutMs = 5000;
        int firstRetryMs = 250, lastRetryMs = 2000;
        // How long a session must deliver before a failure is paused after briefly again.
        int steadyAfterMs = 10000;
        // The age at which a session is renewed (FLV's millisecond times wrap at 2^31).
        std::int64_t renewAfterMs = std::int64_t(24) * 3600 * 1000;
    };
    // Pictures queued at most (and their bytes): a network that falls behind loses pictures
    // up to the next keyframe, never the encoder's time.
    static constexpr int kQueuedPictures = 60;
    static constexpr std::size_t kQueuedBytes = std::size_t(16) << 20;

    RtmpSink() = default;
    ~RtmpSink() override;
    RtmpSink(const RtmpSink&) = delete;
    RtmpSink& operator=(const RtmpSink&) = delete;

    // Window thread. Starts the sink's thread; `wakeEncoder` is called (from that thread) when
    // the sink starts or stops wanting pictures.
    void start(const Params& params, std::function<void()> wakeEncoder);
    // Window thread. Returns at once even while the network hangs; a no-op when stopped.
    void stop();

    // Encoder thread.
    void begin(const H264StreamInfo& info) override;
    void deliver(const H264AccessUnit& unit) override;
    void end() override;
    // Any thread.
    bool takeKeyframeRequest() override;
    bool wantsPictures() const override { return m_wanted.load(std::memory_order_acquire); }

    State state() const { return m_state.load(std::memory_order_acquire); }
    long sessions() const { return m_sessions.load(std::memory_order_relaxed); }
    long sentPictures() const { return m_sent.load(std::memory_order_relaxed); }
    long droppedPictures() const { return m_dropped.load(std::memory_order_relaxed); }
    std::size_t queueBytes() const;

    static bool isUrl(const std::string& url);
    static std::string displayUrl(const std::string& url);
    static std::string hostOf(const std::string& url);

private:
    struct Entry {
        std::vector<std::uint8_t> bytes; // grows to the largest picture, then stays
        std::size_t size = 0;
        std::int64_t captureUs = 0;
        std::uint64_t generation = 0;
        bool keyframe = false;
    };
    enum class Ended { Failed, Renew };

    void run();
    Ended session(FlvConnection& connection, std::string* why);
    void openQueue();
    void closeQueue();
    void enter(State state, const std::string& why = {});
    void pause(int ms);
    void want(bool wanted);

    Params m_params;
    std::function<void()> m_wakeEncoder;
    std::thread m_thread;
    // New for every start(): a connection attempt a stop left behind keeps its own.
    std::shared_ptr<std::atomic<bool>> m_stop = std::make_shared<std::atomic<bool>>(false);
    std::atomic<State> m_state{State::Off};
    std::atomic<bool> m_wanted{false};
    std::atomic<bool> m_keyframeWanted{false};
    std::atomic<long> m_sessions{0}, m_sent{0}, m_dropped{0};

    // The queue, between the encoder's thread and the sink's.
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries; // allocated only while a session is open
    int m_head = 0, m_count = 0;
    std::size_t m_bytes = 0;
    bool m_open = false;            // a session takes pictures
    bool m_awaitingKey = false;     // pictures are dropped up to the next keyframe
    H264StreamInfo m_info;          // the encoder's stream, while it runs
    std::uint64_t m_generation = 0; // changes with every begin() and end()
    bool m_stopping = false;

    std::mutex m_pauseLock;
    std::condition_variable m_pauseWake;
    // The sink's thread: the last state the journal was told of, and whether sessions end
    // before delivering for long (their openings are then not told of until one lasts).
    State m_logged = State::Off;
    bool m_flapping = false;
};
