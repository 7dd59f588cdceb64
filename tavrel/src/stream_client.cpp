// StreamClient: request, first frame within the time-out, then a delivery thread that reads,
// decodes the newest part of each read, and reconnects with a growing pause when the server goes.
#include "stream_client.h"

#include "raw_media_type.h"
#include "url_text.h"

#include <algorithm>
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
                                                 std::chrono::milliseconds timeout, bool allowRaw,
                                                 ClientTiming timing) {
    std::unique_ptr<StreamClient> c = create(host, port, allowRaw, timing);
    if (!c || !c->start(timeout))
        return nullptr;
    return c;
}

std::unique_ptr<StreamClient> StreamClient::create(const char* host, int port, bool allowRaw,
                                                   ClientTiming timing) {
    StreamTarget target;
    if (!parseStreamTarget(host, port, target))
        return nullptr;
    std::unique_ptr<StreamClient> c(new StreamClient());
    c->m_target = std::move(target);
    c->m_allowRaw = allowRaw;
    c->m_timing = timing;
    c->m_stopEvent = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!c->m_stopEvent.valid() || !c->m_decoder.valid())
        return nullptr;
    c->m_readBuffer.resize(kReadChunk);
    return c;
}

// The opening thread. Every wait ends on the stop event, so cancel() makes this fail at once.
bool StreamClient::start(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    if (stopRequested() || !connect(deadline))
        return false;
    while (!m_frameReady)
        if (!readSome(deadline))
            return false;
    return true;
}

void StreamClient::cancel() {
    m_stopRequested = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_stopEvent.get(), &one, sizeof one);
}

StreamClient::~StreamClient() {
    stop();
}

// Window thread (open) or delivery thread (reconnection).
bool StreamClient::connect(Clock::time_point deadline) {
    m_socket = connectBefore(m_target.host, m_target.port, deadline, m_stopEvent.get());
    if (!m_socket.valid())
        return false;
    // Raw frames only where bandwidth is free: a server on this machine.
    m_askedRaw = m_allowRaw && peerIsLoopback(m_socket.get());
    const std::string& host = m_target.host;
    const bool v6 = host.find(':') != std::string::npos;
    std::string request =
        "GET " + m_target.path + " HTTP/1.1\r\nHost: " + (v6 ? "[" : "") + host + (v6 ? "]" : "") +
        ":" + std::to_string(m_target.port) +
        "\r\nUser-Agent: Ormidal\r\nAccept: " + (m_askedRaw ? "application/x-ormidal-dib, " : "") +
        "multipart/x-mixed-replace, image/jpeg\r\n";
    if (!m_target.credentials.empty())
        request += "Authorization: Basic " + base64Encode(m_target.credentials) + "\r\n";
    request += "Connection: close\r\n\r\n";
    if (!sendAllBefore(m_socket.get(), request.data(), request.size(), deadline,
                       m_stopEvent.get())) {
        m_socket.reset();
        return false;
    }
    m_reader = StreamReader{};
    m_havePending = false;
    m_connectedAt = Clock::now();
    ++m_connects;
    return true;
}

bool StreamClient::readSome(Clock::time_point deadline) {
    if (waitFor(m_socket.get(), POLLIN, deadline, m_stopEvent.get()) != WaitResult::Ready)
        return false;
    const ssize_t n = ::recv(m_socket.get(), m_readBuffer.data(), m_readBuffer.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0)
        return false; // the server went away
    // Feeding only gathers parts (the newest wins); the one decode comes after.
    const StreamReader::Status s =
        m_reader.feed(m_readBuffer.data(), static_cast<size_t>(n), *this);
    if (stopRequested())
        return false;
    takePending();
    return s == StreamReader::Status::NeedMore;
}

void StreamClient::onPart(const MultipartPart& part) {
    if (m_havePending)
        ++m_skipped;
    m_pending.assign(part.data, part.data + part.size);
    m_pendingType.assign(part.contentType);
    m_havePending = true;
}

void StreamClient::takePending() {
    if (!m_havePending)
        return;
    m_havePending = false;
    DibFormat f{0, 0, 24};
    const RawTypeResult rawType = parseRawMediaType(m_pendingType, f);
    const bool raw = rawType == RawTypeResult::Ok;
    // Everything about a part is checked before it may fix the format or size a buffer: a
    // raw part's length against its size, a picture by decoding all of it (at an eighth of
    // its size). Anything not raw is read as JPEG whatever its label says; cameras label
    // sloppily.
    bool ok = rawType != RawTypeResult::Invalid;
    if (ok && raw)
        ok = m_pending.size() == f.imageBytes();
    else if (ok)
        ok = m_decoder.readSize(m_pending.data(), m_pending.size(), f.width, f.height);
    ok = ok && f.valid();
    if (ok && !m_haveFormat) {
        if (!raw && !m_decoder.validate(m_pending.data(), m_pending.size())) {
            ++m_dropped;
            return;
        }
        m_format = f;
        m_frame.assign(f.imageBytes(), 0); // the one allocation, bounded by DibFormat::valid
        m_haveFormat = true;
    }
    // The window's buffer was sized from the first frame: another size is never written into
    // it. When the caller listens for it, a server that came back at another size gets its
    // new format once its picture is known good; delivery then waits for the caller.
    if (ok && f != m_format && m_formatListener &&
        (raw || m_decoder.validate(m_pending.data(), m_pending.size()))) {
        m_format = f;
        m_frame.assign(f.imageBytes(), 0); // once per change of format, bounded as above
        m_formatChanged = true;
    }
    ok = ok && f == m_format;
    if (ok && raw)
        m_frame.swap(m_pending); // same size; the old frame's buffer takes the next part
    else if (ok)
        ok = m_decoder.decode(m_pending.data(), m_pending.size(), m_format, m_frame.data());
    if (!ok) {
        ++m_dropped;
        return;
    }
    m_frameReady = true;
}

bool StreamClient::run(FrameCallback callback, void* context) {
    if (!callback || m_thread.joinable())
        return false;
    // A Stop before this Run left its wake-up in the eventfd; take it, or the new delivery
    // thread would end at its first wait.
    uint64_t pending = 0;
    [[maybe_unused]] ssize_t n = ::read(m_stopEvent.get(), &pending, sizeof pending);
    m_callback = callback;
    m_context = context;
    m_stopRequested = false;
    m_running = true;
    m_thread = std::thread([this] { deliveryLoop(); });
    return true;
}

void StreamClient::stop() {
    cancel();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
    m_running = false;
}

// Delivery thread. Every wait in here also ends on the stop event, so stop() is prompt.
void StreamClient::deliveryLoop() {
    auto retry = m_timing.firstRetry;
    while (!stopRequested()) {
        if (m_formatChanged) {
            // The new format's first frame stays ready for the next run(); until the caller
            // has stopped and run again with a buffer of that size, nothing is delivered.
            m_formatChanged = false;
            m_formatListener(m_formatContext);
            waitFor(m_stopEvent.get(), POLLIN, Clock::time_point::max(), -1);
            break;
        }
        if (m_frameReady) {
            m_frameReady = false;
            // No lock is held while the application draws.
            m_callback(m_frame.data(), m_context);
            ++m_delivered;
            // Only a connection that has kept delivering earns a quick retry after a drop.
            if (Clock::now() - m_connectedAt >= m_timing.steadyAfter)
                retry = m_timing.firstRetry;
            continue;
        }
        if (!m_socket.valid()) {
            // The server went away: try again after a pause that grows up to lastRetry. The
            // caller keeps showing the last frame meanwhile.
            if (waitFor(m_stopEvent.get(), POLLIN, Clock::now() + retry, -1) !=
                WaitResult::TimedOut)
                break;
            retry = std::min(retry * 2, m_timing.lastRetry);
            connect(Clock::now() + m_timing.connectTimeout);
            continue;
        }
        // A stop leaves the connection as it is, so that a later Run goes on reading it.
        if (!readSome(Clock::time_point::max()) && !stopRequested())
            m_socket.reset();
    }
}

} // namespace tavrel
