// StreamClient: one connection to a frame server; reads the first frame, then delivers the rest.
#pragma once

#include "dib_format.h"
#include "jpeg_codec.h"
#include "net_socket.h"
#include "stream_reader.h"
#include "unique_fd.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tavrel {

using FrameCallback = void (*)(unsigned char* frame, void* context);

struct ClientStats {
    uint64_t delivered = 0;
    uint64_t dropped = 0; // parts of the wrong size or type, or that failed to decode
};

class StreamClient final : private StreamReader::Sink {
public:
    // Connects, asks for the stream and reads until the first frame is decoded, all before
    // `timeout` ends. nullptr on failure. Window thread. Raw frames are asked for only when
    // `allowRaw` and the server is on this machine.
    static std::unique_ptr<StreamClient>
    open(const char* host, int port, std::chrono::milliseconds timeout, bool allowRaw = true);
    ~StreamClient(); // stops delivery and closes the connection
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    const DibFormat& format() const { return m_format; }
    bool askedForRaw() const { return m_askedRaw; }

    // Starts the delivery thread; the first frame, already read, is delivered first.
    bool run(FrameCallback callback, void* context);
    // Ends delivery; no callback runs once this returns (unless called from the callback).
    void stop();
    // True while the delivery thread runs; false once the server has gone.
    bool running() const { return m_running.load(); }
    ClientStats stats() const { return {m_delivered.load(), m_dropped.load()}; }

private:
    StreamClient() = default;
    void onPart(const MultipartPart& part) override;
    void deliveryLoop();

    UniqueFd m_socket;
    UniqueFd m_stopEvent; // eventfd that wakes the delivery thread's poll
    StreamReader m_reader;
    JpegDecoder m_decoder;
    std::vector<uint8_t> m_readBuffer;
    DibFormat m_format{0, 0, 24};
    bool m_haveFormat = false;
    bool m_frameReady = false; // a decoded frame waits in m_frame
    bool m_askedRaw = false;
    std::vector<uint8_t> m_frame; // sized once from the first frame; what the callback sees
    FrameCallback m_callback = nullptr;
    void* m_context = nullptr;
    bool m_delivering = false; // set before the thread starts, read on it
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<uint64_t> m_delivered{0};
    std::atomic<uint64_t> m_dropped{0};
    std::thread m_thread;
};

} // namespace tavrel
