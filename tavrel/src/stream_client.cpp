// StreamClient: request, first frame within the time-out, then a delivery thread per connection.
#include "stream_client.h"

#include "raw_media_type.h"
#include "url_text.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace tavrel {

namespace {
constexpr size_t kReadChunk = 256 * 1024;
}

std::unique_ptr<StreamClient> StreamClient::open(const char* host, int port,
                                                 std::chrono::milliseconds timeout, bool allowRaw) {
    StreamTarget target;
    if (!parseStreamTarget(host, port, target))
        return nullptr;
    const auto deadline = Clock::now() + timeout;
    std::unique_ptr<StreamClient> c(new StreamClient());
    c->m_socket = connectBefore(target.host, target.port, deadline);
    c->m_stopEvent = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!c->m_socket.valid() || !c->m_stopEvent.valid() || !c->m_decoder.valid())
        return nullptr;
    // Raw frames only where bandwidth is free: a server on this machine.
    c->m_askedRaw = allowRaw && peerIsLoopback(c->m_socket.get());
    const bool v6 = target.host.find(':') != std::string::npos;
    std::string request =
        "GET " + target.path + " HTTP/1.1\r\nHost: " + (v6 ? "[" : "") + target.host +
        (v6 ? "]" : "") + ":" + std::to_string(target.port) +
        "\r\nUser-Agent: Ormidal\r\nAccept: " +
        (c->m_askedRaw ? "application/x-ormidal-dib, " : "") +
        "multipart/x-mixed-replace, image/jpeg\r\n" +
        (target.credentials.empty()
             ? std::string{}
             : "Authorization: Basic " + base64Encode(target.credentials) + "\r\n") +
        "Connection: close\r\n\r\n";
    if (!sendAllBefore(c->m_socket.get(), request.data(), request.size(), deadline))
        return nullptr;
    c->m_readBuffer.resize(kReadChunk);
    while (!c->m_frameReady) {
        pollfd p{c->m_socket.get(), POLLIN, 0};
        if (pollBefore(p, deadline) != 1)
            return nullptr;
        const ssize_t n =
            ::recv(c->m_socket.get(), c->m_readBuffer.data(), c->m_readBuffer.size(), 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return nullptr;
        if (c->m_reader.feed(c->m_readBuffer.data(), static_cast<size_t>(n), *c) !=
                StreamReader::Status::NeedMore &&
            !c->m_frameReady)
            return nullptr;
    }
    return c;
}

StreamClient::~StreamClient() {
    stop();
}

// Runs wherever the reader runs: the window thread during open, the delivery thread after.
void StreamClient::onPart(const MultipartPart& part) {
    DibFormat f{0, 0, 24};
    const RawTypeResult rawType = parseRawMediaType(part.contentType, f);
    if (rawType == RawTypeResult::Invalid) {
        ++m_dropped;
        return;
    }
    const bool raw = rawType == RawTypeResult::Ok;
    // Anything not raw is read as JPEG whatever its label says; cameras label sloppily.
    if (!raw && !m_decoder.readSize(part.data, part.size, f.width, f.height)) {
        ++m_dropped;
        return;
    }
    if (!f.valid()) {
        ++m_dropped;
        return;
    }
    if (!m_haveFormat) {
        m_format = f;
        m_frame.assign(f.imageBytes(), 0); // the one allocation, bounded by DibFormat::valid
        m_haveFormat = true;
    } else if (!(f == m_format)) {
        ++m_dropped; // the window's buffer was sized from the first frame
        return;
    }
    if (raw) {
        if (part.size != m_frame.size()) {
            ++m_dropped;
            return;
        }
        std::memcpy(m_frame.data(), part.data, part.size);
    } else if (!m_decoder.decode(part.data, part.size, m_format, m_frame.data())) {
        ++m_dropped;
        return;
    }
    m_frameReady = true;
    if (m_delivering && !m_stopRequested.load()) {
        // Delivery thread; no lock is held while the application draws.
        m_callback(m_frame.data(), m_context);
        ++m_delivered;
    }
}

bool StreamClient::run(FrameCallback callback, void* context) {
    if (!callback || m_thread.joinable() || !m_socket.valid())
        return false;
    // A Stop before this Run left its wake-up in the eventfd; take it, or the new delivery
    // thread would end at its first poll.
    uint64_t pending = 0;
    [[maybe_unused]] ssize_t n = ::read(m_stopEvent.get(), &pending, sizeof pending);
    m_callback = callback;
    m_context = context;
    m_delivering = true;
    m_stopRequested = false;
    m_running = true;
    m_thread = std::thread([this] { deliveryLoop(); });
    return true;
}

void StreamClient::stop() {
    m_stopRequested = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_stopEvent.get(), &one, sizeof one);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
    m_running = false;
}

// Delivery thread.
void StreamClient::deliveryLoop() {
    if (m_frameReady && !m_stopRequested) {
        m_callback(m_frame.data(), m_context);
        ++m_delivered;
    }
    while (!m_stopRequested) {
        pollfd p[2] = {{m_socket.get(), POLLIN, 0}, {m_stopEvent.get(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (m_stopRequested || (p[1].revents & POLLIN))
            break;
        const ssize_t n = ::recv(m_socket.get(), m_readBuffer.data(), m_readBuffer.size(), 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break; // the server went away
        if (m_reader.feed(m_readBuffer.data(), static_cast<size_t>(n), *this) !=
            StreamReader::Status::NeedMore)
            break;
    }
    m_running = false;
}

} // namespace tavrel
