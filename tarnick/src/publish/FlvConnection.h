// FlvConnection: the network side of a publishing session — an RTMP(S) connection opened by
// FFmpeg's own client, and an FLV stream of one video track written over it. It knows nothing
// of the encoder but its parameter sets and pictures.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct AVFormatContext;
struct AVPacket;
struct H264StreamInfo;

class FlvConnection {
public:
    struct Params {
        std::string url;
        // A PEM file of the authorities trusted for rtmps:// instead of the system's (a
        // self-signed ingest); empty: the system's trust store.
        std::string caFile;
        int ioTimeoutMs = 5000; // longest any one network step may block
    };

    // `stop` ends every network step at once when it becomes true; it is shared because a
    // connection attempt left behind by a stop may outlive this object.
    explicit FlvConnection(std::shared_ptr<const std::atomic<bool>> stop);
    ~FlvConnection();
    FlvConnection(const FlvConnection&) = delete;
    FlvConnection& operator=(const FlvConnection&) = delete;

    // Connects: name lookup, TCP, TLS with the server's certificate and host name verified
    // (rtmps://), the RTMP handshake. The lookup is a blocking call nothing can interrupt, so
    // the attempt runs on a helper thread of its own: a stop returns at once and leaves it
    // behind to end by itself. False (and why) when it fails, times out or is stopped.
    bool connect(const Params& params, std::string* why);
    // The stream's header, from the encoder's parameters (its parameter sets).
    bool writeHeader(const H264StreamInfo& info, std::string* why);
    // One encoded picture (Annex B), its time in milliseconds since the stream's start.
    bool write(const std::uint8_t* data, std::size_t size, std::int64_t ms, bool keyframe,
               std::string* why);
    // Ends the stream (its trailer, when the connection still works) and disconnects.
    void close();
    bool connected() const { return m_output != nullptr; }

private:
    struct Attempt;
    struct OutputDeleter {
        void operator()(AVFormatContext* context) const;
    };
    void armDeadline();

    std::shared_ptr<const std::atomic<bool>> m_stop;
    // Shared with the helper thread of the attempt that opened the connection: the FFmpeg
    // context's interrupt callback points into it.
    std::shared_ptr<Attempt> m_attempt;
    Params m_params;
    std::unique_ptr<AVFormatContext, OutputDeleter> m_output;
    struct PacketDeleter {
        void operator()(AVPacket* packet) const;
    };
    std::unique_ptr<AVPacket, PacketDeleter> m_packet; // one per connection, reused
    bool m_headerWritten = false;
    bool m_failed = false;
};
