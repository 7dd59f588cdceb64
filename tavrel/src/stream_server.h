// StreamServer: the HTTP server that hands the newest frame to every client (one I/O thread).
#pragma once

#include "dib_format.h"
#include "frame_pool.h"
#include "net_socket.h"
#include "unique_fd.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace tavrel {

class JpegWorker;
struct Connection;

struct ServerOptions {
    int port = 7373; // 0 picks a free port (tests, benchmarks)
    DibFormat format;
    int fps = 30;
    size_t maxClients = 64;
    std::chrono::milliseconds requestTimeout{10000}; // a request head must arrive within this
    std::chrono::milliseconds sendTimeout{10000}; // a client that takes nothing for this long goes
    std::chrono::milliseconds resendInterval{1000}; // repeat the last frame while the camera idles
};

struct ServerStats {
    PoolCounters pool;
    size_t clients = 0;
    uint64_t refused = 0; // answered 503
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

    // Camera thread: copies the frame into a free slot and wakes the I/O thread; never waits for
    // a client or the encoder.
    bool addFrame(const uint8_t* rows);

    int port() const { return m_port; }
    ServerStats stats();

private:
    explicit StreamServer(const ServerOptions& options);
    void wake();
    void ioLoop();
    void acceptAll();
    void pauseAccepting();
    void resumeAccepting(Clock::time_point now);
    void onReadable(Connection& c);
    void startResponse(Connection& c);
    void pump(Connection& c, Clock::time_point now);
    bool startNextPart(Connection& c, Clock::time_point now);
    void flush(Connection& c, Clock::time_point now);
    void closeConnection(size_t index);
    void updateJpegDemand();

    ServerOptions m_options;
    FramePool m_pool;
    UniqueFd m_listener;
    UniqueFd m_epoll;
    UniqueFd m_wake; // eventfd: new frame, new JPEG, or stop
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::vector<std::unique_ptr<Connection>> m_connections; // I/O thread only
    int m_jpegDemand = 0;
    Clock::time_point m_acceptResume{}; // set while the listener is left out of the poll
    std::atomic<uint64_t> m_refused{0};
    std::atomic<size_t> m_clientCount{0};
    std::unique_ptr<JpegWorker> m_encoder;
    std::thread m_io;
};

} // namespace tavrel
