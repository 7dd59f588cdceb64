// Transport: CTavrel's state: closed, a client connection or a server, and the locks between them.
#pragma once

#include "stream_client.h"
#include "stream_server.h"

#include <platform/wintypes.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace tavrel {

enum class Mode : int { Closed = 0, Client = 1, Server = 2 };

class Transport {
public:
    static constexpr std::chrono::milliseconds kConnectTimeout{5000};

    ~Transport();

    int openServer(int port, int width, int height, int fps);
    int openClient(const char* host, int port);
    int bitmapInfo(BITMAPINFOHEADER* header);
    int run(FrameCallback callback, void* context);
    // Camera thread. Without a header the frame is taken to be of the served format; with
    // one, a frame of another format is refused (-3) unread.
    int addFrame(const unsigned char* bits, const BITMAPINFOHEADER* header = nullptr);
    int setNextFrameJpeg(const unsigned char* jpeg, int size);
    int stop();
    int close();

    bool isOpen() const { return m_mode.load() != Mode::Closed; }
    int mode() const { return static_cast<int>(m_mode.load()); }
    bool isRunning() const;

    // Any thread: makes an openClient in progress on another thread fail promptly.
    void cancelOpen();
    // Window thread: the client's listener for a change of format, kept across opens.
    void setFormatListener(FormatCallback listener, void* context);

    int setAccessKey(const char* key);
    int setListenAddress(const char* address);
    int setWebRtcViewer(const char* janusUrl, int mountpoint);

private:
    std::atomic<Mode> m_mode{Mode::Closed};
    // Server options (window thread); a refused setting keeps OpenServer failing.
    std::string m_accessKey;
    std::string m_listenAddress;
    bool m_keyRefused = false;
    bool m_addressRefused = false;
    WebRtcViewer m_webrtc;
    // The camera thread's AddFrame may overlap OpenServer and Close on the window thread: it
    // takes its own reference to the server under this lock, held only for the pointer copy.
    // IsRunning from any thread reads the client's flag under the same lock, so Close cannot
    // free the client between the read of the pointer and the read of the flag.
    mutable std::mutex m_serverLock;
    std::shared_ptr<StreamServer> m_server;
    std::unique_ptr<StreamClient> m_client; // window thread only
    StreamClient* m_opening = nullptr;      // guarded by m_serverLock: a client being opened
    FormatCallback m_formatListener = nullptr;
    void* m_formatContext = nullptr;
    StreamClient* m_clientView = nullptr; // guarded by m_serverLock
};

} // namespace tavrel
