// Transport: the lifecycle of CTavrel (one connection at a time) and its guards.
#include "transport.h"

#include "access_key.h"

#include <algorithm>

namespace tavrel {

Transport::~Transport() {
    close();
}

// Window thread.
int Transport::openServer(int port, int width, int height, int fps) {
    if (isOpen() || port <= 0 || port > 65535 || width <= 0 || height <= 0 || m_keyRefused ||
        m_addressRefused)
        return -1;
    ServerOptions options;
    options.port = port;
    options.address = m_listenAddress;
    options.accessKey = m_accessKey;
    options.webrtc = m_webrtc;
    options.format = DibFormat{width, height, 24};
    options.fps = fps > 0 ? fps : 30;
    std::shared_ptr<StreamServer> server = StreamServer::start(options);
    if (!server)
        return -1;
    {
        std::lock_guard lock(m_serverLock);
        m_server = std::move(server);
    }
    m_mode = Mode::Server;
    return 0;
}

// Window thread, or a thread the window waits for while it keeps painting; returns within
// kConnectTimeout, or at once after cancelOpen.
int Transport::openClient(const char* host, int port) {
    if (isOpen() || !host)
        return -1;
    std::unique_ptr<StreamClient> client = StreamClient::create(host, port);
    if (!client)
        return -1;
    {
        std::lock_guard lock(m_serverLock);
        m_opening = client.get();
    }
    const bool started = client->start(kConnectTimeout);
    {
        std::lock_guard lock(m_serverLock);
        m_opening = nullptr;
    }
    if (!started)
        return -1;
    client->setFormatListener(m_formatListener, m_formatContext);
    m_client = std::move(client);
    {
        std::lock_guard lock(m_serverLock);
        m_clientView = m_client.get();
    }
    m_mode = Mode::Client;
    return 0;
}

// Any thread. An open that has not reached its connection yet is not affected: the caller
// repeats the call until its open has returned.
void Transport::cancelOpen() {
    std::lock_guard lock(m_serverLock);
    if (m_opening)
        m_opening->cancel();
}

// Window thread.
void Transport::setFormatListener(FormatCallback listener, void* context) {
    m_formatListener = listener;
    m_formatContext = context;
    if (m_client)
        m_client->setFormatListener(listener, context);
}

// Window thread: the client's frames, or the frames a server takes.
int Transport::bitmapInfo(BITMAPINFOHEADER* header) {
    if (!header)
        return -1;
    DibFormat f;
    if (m_client) {
        f = m_client->format();
    } else {
        std::lock_guard lock(m_serverLock);
        if (!m_server)
            return -1;
        f = m_server->format();
    }
    *header = BITMAPINFOHEADER{};
    header->biSize = sizeof(BITMAPINFOHEADER);
    header->biWidth = f.width;
    header->biHeight = f.height; // positive: rows bottom-up
    header->biPlanes = 1;
    header->biBitCount = static_cast<WORD>(f.bits);
    header->biCompression = 0; // BI_RGB
    header->biSizeImage = static_cast<DWORD>(f.imageBytes());
    return 0;
}

int Transport::run(FrameCallback callback, void* context) {
    if (!m_client || !callback)
        return -1;
    return m_client->run(callback, context) ? 0 : -1;
}

// Window thread.
int Transport::setAccessKey(const char* key) {
    const std::string text = key ? key : "";
    m_keyRefused = !text.empty() && !validAccessKey(text);
    m_accessKey = m_keyRefused ? std::string{} : text;
    return m_keyRefused ? -1 : 0;
}

// Window thread.
int Transport::setListenAddress(const char* address) {
    const std::string text = address ? address : "";
    m_addressRefused = !text.empty() && !isNumericAddress(text);
    m_listenAddress = m_addressRefused ? std::string{} : text;
    return m_addressRefused ? -1 : 0;
}

// Window thread. A refused setting turns the WebRTC page off rather than failing OpenServer:
// the MJPEG page still serves everything it guards.
int Transport::setWebRtcViewer(const char* janusUrl, int mountpoint) {
    const std::string url = janusUrl ? janusUrl : "";
    const bool refused = mountpoint < 0 || !validJanusUrl(url);
    m_webrtc = refused || mountpoint == 0 ? WebRtcViewer{} : WebRtcViewer{url, mountpoint};
    return refused ? -1 : 0;
}

// Camera thread.
int Transport::addFrame(const unsigned char* bits, const BITMAPINFOHEADER* header) {
    if (!bits)
        return -1;
    std::shared_ptr<StreamServer> server;
    {
        std::lock_guard lock(m_serverLock);
        server = m_server;
    }
    if (!server)
        return -1;
    size_t bytes = server->format().imageBytes();
    if (header) {
        // Only rows as the server sends them (24-bit, bottom-up), of exactly its size. A
        // header whose image holds fewer bytes than that is believed: the pool refuses it.
        const DibFormat& served = server->format();
        if (header->biCompression != 0 || header->biWidth != served.width ||
            header->biHeight != served.height || header->biBitCount != served.bits)
            return -3;
        if (header->biSizeImage != 0)
            bytes = std::min<size_t>(bytes, header->biSizeImage);
    }
    switch (server->addFrame(bits, bytes)) {
    case FramePool::Published::Refused:
        return -3;
    case FramePool::Published::Dropped:
        return -2;
    default:
        return 0;
    }
}

// Camera thread.
int Transport::setNextFrameJpeg(const unsigned char* jpeg, int size) {
    if (!jpeg || size <= 0)
        return -1;
    std::shared_ptr<StreamServer> server;
    {
        std::lock_guard lock(m_serverLock);
        server = m_server;
    }
    if (!server)
        return -1;
    return server->addNextFrameJpeg(jpeg, static_cast<size_t>(size)) ? 0 : -2;
}

// Any thread.
bool Transport::isRunning() const {
    std::lock_guard lock(m_serverLock);
    return m_clientView && m_clientView->running();
}

int Transport::stop() {
    if (m_client)
        m_client->stop();
    return 0;
}

int Transport::close() {
    std::shared_ptr<StreamServer> server;
    {
        std::lock_guard lock(m_serverLock);
        server = std::move(m_server);
        m_clientView = nullptr;
    }
    m_mode = Mode::Closed;
    m_client.reset(); // stops delivery first; the lock is not held, the callback may read state
    // A frame still inside AddFrame may keep the object alive a moment longer, but the port,
    // the threads and the connections end here, so the port can be opened again at once.
    if (server)
        server->shutdown();
    server.reset();
    return 0;
}

} // namespace tavrel
