// StreamClient: a receiving connection to a frame server; reads the first frame, then delivers
// the rest, reconnecting whenever the server goes away.
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
using FormatCallback = void (*)(void* context);

struct ClientStats {
    uint64_t delivered = 0;
    uint64_t dropped = 0;  // parts of the wrong size or type, or that failed to decode
    uint64_t skipped = 0;  // parts a newer one in the same read replaced before decoding
    uint64_t connects = 0; // successful connections, the first one included
};

struct ClientTiming {
    // Each connection attempt (name, connect, request) ends by then.
    std::chrono::milliseconds connectTimeout{5000};
    // Waits between reconnection attempts: doubling from the first to the last.
    std::chrono::milliseconds firstRetry{250};
    std::chrono::milliseconds lastRetry{1500};
    // A connection counts as healthy, and the next drop starts again from firstRetry, only
    // once it has delivered for this long: a server that sends one good frame and then fails
    // must not be hammered every firstRetry.
    std::chrono::milliseconds steadyAfter{10000};
};

class StreamClient final : private StreamReader::Sink {
public:
    // Connects, asks for the stream and reads until the first frame is decoded, all before
    // `timeout` ends. nullptr on failure. Window thread. Raw frames are asked for only when
    // `allowRaw` and the server is on this machine.
    static std::unique_ptr<StreamClient> open(const char* host, int port,
                                              std::chrono::milliseconds timeout,
                                              bool allowRaw = true, ClientTiming timing = {});
    // The two halves of open(): create() checks the target and makes the object, start()
    // connects and reads the first frame. Between them another thread may take the object's
    // address to cancel() a start that takes too long.
    static std::unique_ptr<StreamClient> create(const char* host, int port, bool allowRaw = true,
                                                ClientTiming timing = {});
    bool start(std::chrono::milliseconds timeout);
    // Any thread: ends a start() in progress (it then fails) or the delivery's waits.
    void cancel();
    ~StreamClient(); // stops delivery and closes the connection
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    // Fixed by the first frame. Frames of another size (a server that came back changed) are
    // dropped, unless a format listener is set: then the first such frame becomes the format,
    // the listener is told (delivery thread) and delivery pauses until stop() and run() again,
    // so the caller can size its buffer anew; that frame is delivered first. Read it between
    // stop() and run().
    const DibFormat& format() const { return m_format; }
    // Window thread, before run(): who hears of a change of format. Null: none (drop).
    void setFormatListener(FormatCallback listener, void* context) {
        m_formatListener = listener;
        m_formatContext = context;
    }
    bool askedForRaw() const { return m_askedRaw; }

    // Starts the delivery thread; the first frame, already read, is delivered first.
    bool run(FrameCallback callback, void* context);
    // Ends delivery; no callback runs once this returns (unless called from the callback).
    // Prompt in every phase: reading, decoding, waiting to reconnect, resolving, connecting.
    void stop();
    // True from run() until stop(), also while the server is away and a reconnection is tried.
    bool running() const { return m_running.load(); }
    ClientStats stats() const {
        return {m_delivered.load(), m_dropped.load(), m_skipped.load(), m_connects.load()};
    }

private:
    StreamClient() = default;
    // Resolves, connects and sends the request before `deadline`; false on failure or stop.
    bool connect(Clock::time_point deadline);
    // One read and what it completes; false when the connection has ended or failed.
    bool readSome(Clock::time_point deadline);
    void onPart(const MultipartPart& part) override;
    // Checks and decodes the newest part of the last read into m_frame.
    void takePending();
    void deliveryLoop();
    bool stopRequested() const { return m_stopRequested.load(); }

    StreamTarget m_target;
    bool m_allowRaw = true;
    ClientTiming m_timing;
    UniqueFd m_socket;
    UniqueFd m_stopEvent; // eventfd that ends every wait of the delivery thread
    StreamReader m_reader;
    JpegDecoder m_decoder;
    std::vector<uint8_t> m_readBuffer;
    // The newest complete part of the current read: only it is decoded, so a burst of parts
    // costs one decode. Its buffers keep their capacity from part to part.
    std::vector<uint8_t> m_pending;
    std::string m_pendingType;
    bool m_havePending = false;
    DibFormat m_format{0, 0, 24};
    bool m_haveFormat = false;
    bool m_frameReady = false;    // a decoded frame waits in m_frame
    bool m_formatChanged = false; // m_format changed: tell the listener, deliver nothing more
    Clock::time_point m_connectedAt{};
    FormatCallback m_formatListener = nullptr;
    void* m_formatContext = nullptr;
    bool m_askedRaw = false;
    std::vector<uint8_t> m_frame; // sized once from the first frame; what the callback sees
    FrameCallback m_callback = nullptr;
    void* m_context = nullptr;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<uint64_t> m_delivered{0};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_skipped{0};
    std::atomic<uint64_t> m_connects{0};
    std::thread m_thread;
};

} // namespace tavrel
