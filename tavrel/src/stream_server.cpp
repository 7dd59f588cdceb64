// StreamServer: accepts, routes requests, and sends each client the newest frame it has not had.
#include "stream_server.h"

#include "access_key.h"
#include "http_responses.h"
#include "jpeg_codec.h"
#include "jpeg_worker.h"
#include "server_connection.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace tavrel {

namespace {
constexpr size_t kInitialSlots = 4; // the pool's resting size
constexpr size_t kMaxSlots = 20;
constexpr size_t kFreeSlots = 2; // kept free for the camera after every I/O turn
constexpr std::chrono::seconds kTrimInterval{1};
// One peer may not hold the I/O thread for long: reads per connection and wake-up are bounded,
// and a peer that keeps sending after its request is closed.
constexpr size_t kReadBudget = 16 * 1024;
constexpr size_t kMaxBytesAfterRequest = 64 * 1024;
constexpr size_t kAcceptsPerTurn = 32;
constexpr uintptr_t kListenerTag = 1;
constexpr uintptr_t kWakeTag = 2;
constexpr std::chrono::milliseconds kAcceptPause{100};

int64_t wallClockUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
} // namespace

StreamServer::StreamServer(const ServerOptions& options)
    : m_options(options), m_pool(options.format, kInitialSlots), m_lastWatched(Clock::now()) {}

std::unique_ptr<StreamServer> StreamServer::start(const ServerOptions& options) {
    if (!options.format.valid() || options.maxClients == 0 ||
        JpegEncoder::maxEncodedBytes(options.format) == 0)
        return nullptr;
    std::unique_ptr<StreamServer> s(new StreamServer(options));
    if (!options.accessKey.empty() && !validAccessKey(options.accessKey))
        return nullptr;
    if (options.webrtc.enabled())
        s->m_scripts = ViewerScripts(options.scriptFiles); // files read here, before the I/O thread
    s->m_listener = listenOn(options.port, options.address);
    s->m_epoll = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    s->m_wake = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!s->m_listener.valid() || !s->m_epoll.valid() || !s->m_wake.valid())
        return nullptr;
    s->m_port = localPort(s->m_listener.get());
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenerTag;
    if (::epoll_ctl(s->m_epoll.get(), EPOLL_CTL_ADD, s->m_listener.get(), &ev) != 0)
        return nullptr;
    ev.data.u64 = kWakeTag;
    if (::epoll_ctl(s->m_epoll.get(), EPOLL_CTL_ADD, s->m_wake.get(), &ev) != 0)
        return nullptr;
    StreamServer* self = s.get();
    s->m_encoder = std::make_unique<JpegWorker>(s->m_pool, [self] { self->wake(); });
    s->m_io = std::thread([self] { self->ioLoop(); });
    return s;
}

StreamServer::~StreamServer() {
    shutdown();
}

void StreamServer::shutdown() {
    m_stopping = true;
    wake();
    if (m_io.joinable())
        m_io.join();
    m_encoder.reset();
    for (auto& c : m_connections)
        releaseFrame(*c);
    m_connections.clear();
    m_clientCount = 0;
    m_listener.reset();
}

// Any thread.
void StreamServer::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wake.get(), &one, sizeof one);
}

// Camera thread.
FramePool::Published StreamServer::addFrame(const uint8_t* rows, size_t bytes) {
    if (m_stopping.load())
        return FramePool::Published::Dropped;
    const FramePool::Published result = m_pool.publish(rows, bytes, wallClockUs());
    if (result == FramePool::Published::Kept)
        wake();
    return result;
}

// Camera thread.
bool StreamServer::addNextFrameJpeg(const uint8_t* jpeg, size_t size) {
    if (m_stopping.load())
        return false;
    return m_pool.stageJpeg(jpeg, size);
}

ServerStats StreamServer::stats() {
    ServerStats s;
    s.pool = m_pool.counters();
    s.clients = m_clientCount.load();
    s.refused = m_refused.load();
    s.shed = m_shed.load();
    s.cutOff = m_cutOff.load();
    return s;
}

// ---- everything below runs on the I/O thread ----

void StreamServer::ioLoop() {
    epoll_event events[64];
    bool readMore = false;
    while (!m_stopping.load()) {
        // A connection with unread input left over gets its next share at once.
        // A paused listener is taken back on time, not a whole poll interval late.
        int timeoutMs = readMore ? 0 : 100;
        if (m_acceptResume != Clock::time_point{} && timeoutMs > 0) {
            const auto untilResume =
                std::chrono::duration_cast<std::chrono::milliseconds>(m_acceptResume - Clock::now())
                    .count() +
                1;
            timeoutMs = static_cast<int>(std::clamp<long long>(untilResume, 0, timeoutMs));
        }
        const int n = ::epoll_wait(m_epoll.get(), events, 64, timeoutMs);
        for (int i = 0; i < n; ++i) {
            const epoll_event& ev = events[i];
            if (ev.data.u64 == kListenerTag) {
                acceptSome();
            } else if (ev.data.u64 == kWakeTag) {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t r = ::read(m_wake.get(), &count, sizeof count);
            } else {
                auto* c = static_cast<Connection*>(ev.data.ptr);
                if (c->dead)
                    continue; // shed during this turn; its descriptor is already closed
                if (ev.events & (EPOLLIN | EPOLLRDHUP))
                    onReadable(*c);
                if (ev.events & EPOLLOUT)
                    c->writable = true;
                if (ev.events & (EPOLLERR | EPOLLHUP))
                    c->dead = true;
            }
        }
        if (readMore)
            for (auto& c : m_connections)
                if (c->readMore && !c->dead)
                    onReadable(*c);
        const auto now = Clock::now();
        resumeAccepting(now);
        if (m_anyoneWatching) {
            m_lastWatched = now;
        } else if (m_poolWatched && now - m_lastWatched >= m_options.unwatchedAfter) {
            m_poolWatched = false;
            m_pool.setWatched(false);
        }
        for (auto& c : m_connections)
            pump(*c, now);
        keepCameraSlotsFree();
        readMore = false;
        for (size_t i = m_connections.size(); i-- > 0;) {
            if (m_connections[i]->dead)
                closeConnection(i);
            else
                readMore = readMore || m_connections[i]->readMore;
        }
        // Slots that stayed free through a whole interval were not needed: let them go.
        if (now - m_lastTrim >= kTrimInterval) {
            m_lastTrim = now;
            // Called every interval even when no raw slot is spare: the JPEG buffers are
            // trimmed by the same call.
            m_pool.trim(m_minFree > kFreeSlots ? m_minFree - kFreeSlots : 0, kInitialSlots);
            m_minFree = SIZE_MAX;
        }
    }
}

void StreamServer::acceptSome() {
    // Bounded per turn: a flood of connections must not keep the thread from its clients. The
    // listener is level-triggered, so the rest are taken on the next turns.
    for (size_t turn = 0; turn < kAcceptsPerTurn; ++turn) {
        sockaddr_storage peer{};
        socklen_t peerLen = sizeof peer;
        UniqueFd fd(::accept4(m_listener.get(), reinterpret_cast<sockaddr*>(&peer), &peerLen,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            // Out of descriptors or memory: the rest wait in the backlog. The listener stays
            // readable meanwhile, so it is left out of the poll for a while instead of being
            // retried at once, round after round.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                pauseAccepting(Clock::now() + kAcceptPause);
            return;
        }
        // Unfinished requests make room for newer ones and viewers are capped when their
        // request is read; this bound only keeps the descriptor count finite.
        size_t live = 0;
        for (auto& c : m_connections)
            live += !c->dead;
        if (live >= m_options.maxClients + m_options.maxPending) {
            static const std::string busy = errorResponse(503, "Service Unavailable");
            ++m_refused; // counted before the answer, so a peer that reads it sees it counted
            [[maybe_unused]] ssize_t n =
                ::send(fd.get(), busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Connection>();
        c->fd = std::move(fd);
        c->accepted = c->lastProgress = Clock::now();
        c->peer = addressKey(peer);
        c->localPeer = m_options.peerIsLocal && m_options.peerIsLocal(peer);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.ptr = c.get();
        if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, c->fd.get(), &ev) != 0)
            continue;
        Connection& added = *c;
        m_connections.push_back(std::move(c));
        m_clientCount = m_connections.size();
        // A real client has usually sent its request before it is accepted: read it now, so
        // that it never counts against the budget of unfinished requests.
        onReadable(added);
        if (added.kind == Connection::Kind::Request && !added.dead &&
            !makeRoomForPending(added, added.accepted))
            return;
    }
}

// Keeps the unfinished requests within their budget. Past the per-address share, that
// address's oldest goes; past the whole budget, the oldest overall. Age alone decides, never
// the address, and the newest is never shed to make room for itself. Before a connection is
// shed its socket is read once more, and one whose request has arrived meanwhile is answered
// instead. A connection younger than the grace is never shed: its client may simply not have
// been scheduled to send yet (many clients of one machine connecting at once). Past the
// address's share it is left for later; past the whole budget accepting pauses until it comes
// of age, so however fast a flood connects, a client that sends its request within the grace is
// read (the next ones wait in the listen backlog, where their requests arrive before they are
// accepted). False when accepting paused.
bool StreamServer::makeRoomForPending(const Connection& newest, Clock::time_point now) {
    // The oldest unfinished connection (of `peer` when given) other than the newest, read once
    // more; null when there is none left unfinished.
    auto oldestUnfinished = [&](const AddressKey* peer) -> Connection* {
        for (auto& c : m_connections) {
            if (c->dead || c->kind != Connection::Kind::Request || (peer && c->peer != *peer))
                continue;
            if (c.get() == &newest)
                return nullptr;
            onReadable(*c);
            if (!c->dead && c->kind == Connection::Kind::Request)
                return c.get();
        }
        return nullptr;
    };
    auto shed = [&](Connection& c) {
        // Its descriptor goes at once (a flood must not use them up before the turn ends); the
        // object stays until then, as events of this turn may still name it.
        c.dead = true;
        c.fd.reset();
        ++m_shed;
    };
    auto count = [&](const AddressKey* peer) {
        size_t n = 0;
        for (auto& c : m_connections)
            n += !c->dead && c->kind == Connection::Kind::Request && (!peer || c->peer == *peer);
        return n;
    };
    if (count(&newest.peer) > m_options.maxPendingPerAddress) {
        Connection* oldest = oldestUnfinished(&newest.peer);
        if (oldest && now - oldest->accepted >= m_options.pendingGrace)
            shed(*oldest);
    }
    // m_connections is in order of acceptance, so the first match is the oldest.
    while (count(nullptr) > m_options.maxPending) {
        Connection* oldest = oldestUnfinished(nullptr);
        if (!oldest)
            break;
        if (now - oldest->accepted < m_options.pendingGrace) {
            pauseAccepting(oldest->accepted + m_options.pendingGrace);
            return false;
        }
        shed(*oldest);
    }
    return true;
}

// Connections past their request (being answered or streamed to), from `peer` when given.
size_t StreamServer::servedCount(const Connection& except, const AddressKey* peer) const {
    size_t n = 0;
    for (auto& c : m_connections)
        n += c.get() != &except && !c->dead && c->kind != Connection::Kind::Request &&
             (!peer || c->peer == *peer);
    return n;
}

void StreamServer::pauseAccepting(Clock::time_point until) {
    epoll_event ev{};
    ev.data.u64 = kListenerTag;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, m_listener.get(), &ev) == 0)
        m_acceptResume = until;
}

void StreamServer::resumeAccepting(Clock::time_point now) {
    if (m_acceptResume == Clock::time_point{} || now < m_acceptResume)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenerTag;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, m_listener.get(), &ev) == 0)
        m_acceptResume = {};
}

void StreamServer::onReadable(Connection& c) {
    char buf[4096];
    size_t budget = kReadBudget;
    c.readMore = false;
    while (budget > 0) {
        const ssize_t n = ::recv(c.fd.get(), buf, std::min(sizeof buf, budget), MSG_DONTWAIT);
        if (n == 0) {
            // The peer will send nothing more. A client may half-close right after its request
            // and still read a finite answer, so a page, an error or a snapshot is still sent;
            // an unfinished request or an endless stream ends here.
            if (c.kind != Connection::Kind::Text && c.kind != Connection::Kind::Snapshot)
                c.dead = true;
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                c.dead = true;
            if (errno != EINTR)
                return;
            continue;
        }
        budget -= static_cast<size_t>(n);
        if (c.kind != Connection::Kind::Request) {
            // A client says nothing after its request; a little is ignored, a flood is cut off.
            c.bytesAfterRequest += static_cast<size_t>(n);
            if (c.bytesAfterRequest > kMaxBytesAfterRequest) {
                c.dead = true;
                ++m_cutOff;
                return;
            }
            continue;
        }
        switch (c.request.feed(buf, static_cast<size_t>(n))) {
        case HttpRequestParser::Status::NeedMore:
            break;
        case HttpRequestParser::Status::Complete:
            startResponse(c);
            break;
        case HttpRequestParser::Status::TooLarge:
            c.kind = Connection::Kind::Text;
            c.text = errorResponse(431, "Request Header Fields Too Large");
            c.closeWhenSent = true;
            break;
        case HttpRequestParser::Status::Malformed:
            c.kind = Connection::Kind::Text;
            c.text = errorResponse(400, "Bad Request");
            c.closeWhenSent = true;
            break;
        }
    }
    // Edge-triggered: no new event comes for input already waiting, so the loop asks again.
    c.readMore = true;
}

void StreamServer::startResponse(Connection& c) {
    const HttpRequest& r = c.request.request();
    c.kind = Connection::Kind::Text;
    c.closeWhenSent = true;
    if (servedCount(c, nullptr) >= m_options.maxClients ||
        servedCount(c, &c.peer) >= m_options.maxClientsPerAddress) {
        ++m_refused;
        c.text = errorResponse(503, "Service Unavailable", "Retry-After: 1\r\n");
    } else if (!requestCarriesKey(r, m_options.accessKey)) {
        c.text = errorResponse(401, "Unauthorized",
                               "WWW-Authenticate: Basic realm=\"Ormidal\", charset=\"UTF-8\"\r\n");
    } else if (r.method != "GET") {
        c.text = errorResponse(405, "Method Not Allowed", "Allow: GET\r\n");
    } else if (r.path == "/" && !r.prefersStream && m_options.webrtc.enabled()) {
        c.text = htmlResponse(webRtcViewerPage(m_options.format, m_options.fps, m_options.accessKey,
                                               m_options.webrtc));
    } else if (r.path == "/" && !r.prefersStream) {
        c.text = htmlResponse(viewerPage(m_options.format, m_options.fps, m_options.accessKey));
    } else if (r.path == "/stream" || r.path == "/") {
        // A client that asks for a stream and no page ("http://host:7373/" typed into our
        // own client) gets the stream at "/" as well.
        // Raw frames cost hundreds of Mbit/s: this machine only, and never through a proxy
        // here, whose viewer is elsewhere. A peer that merely accepts them gets JPEG; one that
        // demands them in the URL is refused.
        const bool local = c.localPeer && !r.forwarded;
        const bool raw = c.request.wantsRaw() && local;
        if (!local && c.request.asksRawByQuery()) {
            c.text = errorResponse(403, "Forbidden");
        } else {
            c.kind = raw ? Connection::Kind::RawStream : Connection::Kind::JpegStream;
            c.closeWhenSent = false;
        }
    } else if (r.path == "/snapshot.jpg") {
        c.snapshotSeq = m_pool.snapshotSeq();
        if (c.snapshotSeq == 0) {
            c.text = errorResponse(503, "Service Unavailable", "Retry-After: 1\r\n");
        } else {
            c.kind = Connection::Kind::Snapshot; // answered once a JPEG of that frame exists
            c.closeWhenSent = false;
        }
    } else if (const std::string* script = m_scripts.find(r.path)) {
        c.text = *script;
    } else {
        c.text = errorResponse(404, "Not Found");
    }
    updateJpegDemand();
}

void StreamServer::updateJpegDemand() {
    int demand = 0;
    bool watched = false;
    for (auto& c : m_connections) {
        const bool waitingSnapshot = c->kind == Connection::Kind::Snapshot && !c->closeWhenSent;
        demand += !c->dead && (c->kind == Connection::Kind::JpegStream || waitingSnapshot);
        watched =
            watched || (!c->dead && (c->kind == Connection::Kind::JpegStream ||
                                     c->kind == Connection::Kind::RawStream || waitingSnapshot));
    }
    m_anyoneWatching = watched;
    if (watched && !m_poolWatched) {
        m_poolWatched = true;
        m_pool.setWatched(true);
    }
    if (demand != m_jpegDemand) {
        m_jpegDemand = demand;
        m_pool.setJpegDemand(demand);
    }
}

std::chrono::steady_clock::duration StreamServer::quietAfter() const {
    const int fps = std::max(1, m_options.fps);
    return std::max<std::chrono::steady_clock::duration>(std::chrono::milliseconds(100),
                                                         std::chrono::microseconds(3000000 / fps));
}

bool StreamServer::startNextPart(Connection& c, Clock::time_point now) {
    const bool raw = c.kind == Connection::Kind::RawStream;
    FrameSlot* slot = nullptr;
    EncodedFrame* jpeg = nullptr;
    if (c.kind == Connection::Kind::Snapshot) {
        jpeg = m_pool.acquireJpeg(c.snapshotSeq - 1);
        // The camera went quiet before the frame asked for came, and no frame is left to
        // encode: the last picture kept is the camera's last word.
        if (!jpeg && m_pool.sinceLastOffer() > quietAfter() && !m_pool.encodePending())
            jpeg = m_pool.acquireJpeg(0);
    } else if (raw) {
        slot = m_pool.acquireRaw(c.lastSeq);
        // While the camera is idle the newest frame goes out again, about once a second, so
        // viewers that show a part only when the next begins still show it and proxies stay open.
        if (!slot && c.lastSeq > 0 && now - c.lastPart >= m_options.resendInterval)
            slot = m_pool.acquireRaw(0);
    } else {
        jpeg = m_pool.acquireJpeg(c.lastSeq);
        if (!jpeg && c.lastSeq > 0 && now - c.lastPart >= m_options.resendInterval)
            jpeg = m_pool.acquireJpeg(0);
    }
    if (!slot && !jpeg)
        return false;
    c.slot = slot;
    c.jpeg = jpeg;
    c.lastSeq = slot ? slot->seq : jpeg->seq;
    c.body = slot ? slot->raw.data() : jpeg->bytes.data();
    c.bodyLen = slot ? slot->raw.capacity() : jpeg->size;
    const int64_t timestampUs = slot ? slot->timestampUs : jpeg->timestampUs;
    c.bodyOff = 0;
    c.headLen = c.headOff = 0;
    if (c.kind == Connection::Kind::Snapshot) {
        c.headLen = writeSnapshotHead(c.head.data(), c.head.size(), c.bodyLen, timestampUs);
        c.tail = {};
        c.closeWhenSent = true;
        updateJpegDemand();
    } else {
        if (!c.streamStarted)
            c.headLen = writeStreamHead(c.head.data(), c.head.size());
        c.streamStarted = true;
        c.headLen += writePartHead(c.head.data() + c.headLen, c.head.size() - c.headLen, raw,
                                   m_pool.format(), c.bodyLen, timestampUs);
        c.tail = partDelimiter();
    }
    c.tailOff = 0;
    c.lastPart = c.lastProgress = now;
    return true;
}

void StreamServer::flush(Connection& c, Clock::time_point now) {
    while (c.pending() && c.writable) {
        iovec iov[4];
        int count = 0;
        auto add = [&](const void* base, size_t len, size_t off) {
            if (off < len)
                iov[count++] = {const_cast<char*>(static_cast<const char*>(base)) + off, len - off};
        };
        add(c.head.data(), c.headLen, c.headOff);
        add(c.text.data(), c.text.size(), c.textOff);
        add(c.body, c.bodyLen, c.bodyOff);
        add(c.tail.data(), c.tail.size(), c.tailOff);
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        const ssize_t sent = ::sendmsg(c.fd.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN) {
                c.writable = false;
                // What the peer has yet to take: the reference its reading is judged by.
                if (::ioctl(c.fd.get(), SIOCOUTQ, &c.lastQueued) != 0)
                    c.lastQueued = -1;
            } else if (errno != EINTR)
                c.dead = true;
            return;
        }
        c.lastProgress = now;
        size_t left = static_cast<size_t>(sent);
        auto advance = [&](size_t len, size_t& off) {
            const size_t n = std::min(left, len - std::min(len, off));
            off += n;
            left -= n;
        };
        advance(c.headLen, c.headOff);
        advance(c.text.size(), c.textOff);
        advance(c.bodyLen, c.bodyOff);
        advance(c.tail.size(), c.tailOff);
    }
    if (!c.pending())
        releaseFrame(c);
}

void StreamServer::releaseFrame(Connection& c) {
    if (c.slot)
        m_pool.release(c.slot);
    if (c.jpeg)
        m_pool.release(c.jpeg);
    c.slot = nullptr;
    c.jpeg = nullptr;
    c.body = nullptr;
    c.bodyLen = c.bodyOff = 0;
}

void StreamServer::pump(Connection& c, Clock::time_point now) {
    while (!c.dead) {
        if (!c.pending()) {
            if (c.closeWhenSent) {
                c.dead = true;
                break;
            }
            if (c.kind == Connection::Kind::Request || c.kind == Connection::Kind::Text ||
                !startNextPart(c, now))
                break;
        }
        flush(c, now);
        if (c.pending())
            break;
    }
    if (c.dead)
        return;
    // A request that never comes, or a snapshot that no JPEG ever answers (the encoder
    // failing), must not wait for good.
    if (c.kind == Connection::Kind::Request && now - c.accepted > m_options.requestTimeout)
        c.dead = true;
    else if (c.kind == Connection::Kind::Snapshot && !c.closeWhenSent &&
             now - c.accepted > m_options.snapshotTimeout)
        c.dead = true;
    else if (c.pending() && now - c.lastProgress > m_options.sendTimeout &&
             !peerStillReading(c, now))
        c.dead = true;
}

// I/O thread. A viewer whose socket buffer still shrinks is reading, however slowly: the
// time-out then counts from now. One that has taken nothing since the last look is not.
bool StreamServer::peerStillReading(Connection& c, Clock::time_point now) {
    int queued = 0;
    if (::ioctl(c.fd.get(), SIOCOUTQ, &queued) != 0)
        return false;
    const bool drained = c.lastQueued >= 0 && queued < c.lastQueued;
    c.lastQueued = queued;
    if (!drained)
        return false;
    c.lastProgress = now;
    return true;
}

// A raw reader still sending an old frame keeps that frame's slot (JPEG readers hold only
// their JPEG). When such readers hold so many that the camera could find no free slot and the
// pool may not grow, the reader whose part has been in flight longest loses its connection: a
// slow reader loses its own frames, never the camera's or another viewer's.
void StreamServer::keepCameraSlotsFree() {
    size_t free = m_pool.keepFree(kFreeSlots, kMaxSlots);
    m_minFree = std::min(m_minFree, free);
    while (free < kFreeSlots) {
        Connection* slowest = nullptr;
        for (auto& c : m_connections)
            if (!c->dead && c->slot && (!slowest || c->lastPart < slowest->lastPart))
                slowest = c.get();
        if (!slowest)
            return;
        releaseFrame(*slowest);
        slowest->dead = true;
        ++m_cutOff;
        free = m_pool.keepFree(kFreeSlots, kMaxSlots);
    }
}

void StreamServer::closeConnection(size_t index) {
    releaseFrame(*m_connections[index]);
    // Closing the descriptor also takes it out of the epoll set.
    m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(index));
    m_clientCount = m_connections.size();
    updateJpegDemand();
}

} // namespace tavrel
