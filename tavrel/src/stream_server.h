// StreamServer: the HTTP server that hands the newest frame to every client (one I/O thread).
#pragma once

#include "dib_format.h"
#include "frame_pool.h"
#include "net_socket.h"
#include "unique_fd.h"
#include "viewer_scripts.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace tavrel {

class JpegWorker;
struct Connection;

struct ServerOptions {
    int port = 7373;     // 0 picks a free port (tests, benchmarks)
    std::string address; // one numeric address to listen on; empty: every interface
    DibFormat format;
    int fps = 30;
    std::string accessKey;   // when set, every request must carry it
    WebRtcViewer webrtc;     // when enabled, the page plays WebRTC and serves its scripts
    ScriptFiles scriptFiles; // where janus.js and adapter.js are read from (tests replace them)
    size_t maxClients = 64;  // connections being answered or streamed to
    // Of those, one peer address may hold only so many, so that other addresses always find a
    // place however many readers one of them opens.
    size_t maxClientsPerAddress = 32;
    // Connections that have not finished their request have their own small budget, so that
    // silent ones never take a viewer's place; one peer address may hold only a few of them.
    size_t maxPending = 32;
    size_t maxPendingPerAddress = 8;
    // An unfinished request is not shed for the whole budget before it is this old: accepting
    // pauses instead, so a client that sends its request within it is always read.
    std::chrono::milliseconds pendingGrace{100};
    std::chrono::milliseconds requestTimeout{3000};   // a request head must arrive within this
    std::chrono::milliseconds snapshotTimeout{10000}; // a snapshot waits this long for a JPEG
    std::chrono::milliseconds sendTimeout{10000}; // a client that takes nothing for this long goes
    std::chrono::milliseconds resendInterval{1000}; // repeat the last frame while the camera idles
    // Once nobody has watched (no viewer, no snapshot) for this long, frames are no longer
    // copied or encoded: an open server nobody uses costs next to nothing.
    std::chrono::milliseconds unwatchedAfter{5000};
    // Which peers may be sent raw frames (they cost hundreds of Mbit/s): this machine only.
    // Tests replace it to see how a remote peer is answered.
    bool (*peerIsLocal)(const sockaddr_storage&) = isLoopbackAddress;
};

struct ServerStats {
    PoolCounters pool;
    size_t clients = 0;
    uint64_t refused = 0; // answered 503
    uint64_t shed = 0;    // unfinished requests closed to make room for newer ones
    uint64_t cutOff = 0;  // readers dropped to keep a slot free, peers closed for sending on
};

class StreamServer {
public:
    // Binds and starts the I/O and encoder threads; nullptr if the port or format is refused.
    static std::unique_ptr<StreamServer> start(const ServerOptions& options);
    ~StreamServer(); // shutdown() if not done yet

    // Stops both threads and closes the listener and every connection; frames added afterwards
    // are dropped. Window thread; idempotent.
    void shutdown();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Camera thread: copies the frame (`bytes` long) into a free slot and wakes the I/O
    // thread; never waits for a client or the encoder. A frame of another size is refused
    // unread; one that finds no free slot, or a server shut down, is dropped.
    FramePool::Published addFrame(const uint8_t* rows, size_t bytes);
    // A frame the caller vouches is of the served format; false when it was dropped.
    bool addFrame(const uint8_t* rows) {
        return addFrame(rows, format().imageBytes()) != FramePool::Published::Dropped;
    }
    // The format every frame must have.
    const DibFormat& format() const { return m_pool.format(); }
    // Camera thread, before the addFrame of the same frame: the camera's own JPEG of it, sent
    // to JPEG viewers and snapshots in place of an encode. False when it cannot be passed on.
    bool addNextFrameJpeg(const uint8_t* jpeg, size_t size);

    int port() const { return m_port; }
    ServerStats stats();

private:
    explicit StreamServer(const ServerOptions& options);
    void wake();
    void ioLoop();
    void acceptSome();
    void pauseAccepting(Clock::time_point until);
    void resumeAccepting(Clock::time_point now);
    void onReadable(Connection& c);
    bool makeRoomForPending(const Connection& newest, Clock::time_point now);
    size_t servedCount(const Connection& except, const AddressKey* peer) const;
    bool peerStillReading(Connection& c, Clock::time_point now);
    void keepCameraSlotsFree();
    void startResponse(Connection& c);
    void pump(Connection& c, Clock::time_point now);
    bool startNextPart(Connection& c, Clock::time_point now);
    void flush(Connection& c, Clock::time_point now);
    // Drops the frame or JPEG the connection holds, with what is left of its bytes.
    void releaseFrame(Connection& c);
    void closeConnection(size_t index);
    // How many viewers want JPEG, and whether anyone wants frames at all, told to the pool.
    void updateJpegDemand();
    // How long without a frame before the camera counts as quiet: three frame intervals.
    std::chrono::steady_clock::duration quietAfter() const;

    ServerOptions m_options;
    FramePool m_pool;
    UniqueFd m_listener;
    UniqueFd m_epoll;
    UniqueFd m_wake; // eventfd: new frame, new JPEG, or stop
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::vector<std::unique_ptr<Connection>> m_connections; // I/O thread only
    int m_jpegDemand = 0;
    bool m_anyoneWatching = false;      // a viewer, or a snapshot waiting
    bool m_poolWatched = true;          // what the pool was last told
    Clock::time_point m_lastWatched;    // frames are wanted for a while after it (I/O thread)
    Clock::time_point m_acceptResume{}; // set while the listener is left out of the poll
    std::atomic<uint64_t> m_refused{0};
    std::atomic<uint64_t> m_shed{0};
    std::atomic<uint64_t> m_cutOff{0};
    Clock::time_point m_lastTrim{};
    size_t m_minFree = SIZE_MAX; // fewest free slots seen since the last trim
    std::atomic<size_t> m_clientCount{0};
    std::unique_ptr<JpegWorker> m_encoder;
    ViewerScripts m_scripts; // read once at start; the I/O thread only reads them
    std::thread m_io;
};

} // namespace tavrel
