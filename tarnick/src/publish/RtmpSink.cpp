// RtmpSink: its thread connects (FlvConnection), writes queued pictures with times from the
// session's start, and on failure waits with a growing pause and connects again.
#include "publish/RtmpSink.h"

#include "publish/AvFunctions.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

std::int64_t nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    for (std::size_t i = 0; prefix[i]; ++i)
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) !=
                                    static_cast<unsigned char>(prefix[i]))
            return false;
    return true;
}

constexpr int kTakeWaitMs = 100;

} // namespace

bool RtmpSink::isUrl(const std::string& url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos || url.size() > 1024)
        return false;
    if (!(schemeEnd == 4 && startsWithNoCase(url, "rtmp")) &&
        !(schemeEnd == 5 && startsWithNoCase(url, "rtmps")))
        return false;
    for (const char c : url)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return false;
    // A host must follow the scheme.
    const std::size_t hostStart = schemeEnd + 3;
    const std::size_t hostEnd = url.find_first_of("/?#", hostStart);
    std::string authority = url.substr(
        hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    return !authority.empty() && authority[0] != ':';
}

std::string RtmpSink::hostOf(const std::string& url) {
    const std::size_t schemeEnd = url.find("://");
    const std::size_t start = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const std::size_t end = url.find_first_of("/?#", start);
    std::string host = url.substr(start, end == std::string::npos ? end : end - start);
    if (const std::size_t at = host.rfind('@'); at != std::string::npos)
        host.erase(0, at + 1);
    return host;
}

std::string RtmpSink::displayUrl(const std::string& url) {
    const std::size_t schemeEnd = url.find("://");
    const std::string scheme = schemeEnd == std::string::npos ? "" : url.substr(0, schemeEnd + 3);
    const std::size_t pathStart = url.find_first_of("/?#", scheme.size());
    std::string path = pathStart == std::string::npos ? "" : url.substr(pathStart);
    // The key: the last non-empty path element, with any query (some services take it there).
    // Whatever its length, no more than a third of it, and never more than four characters,
    // is shown.
    if (const std::size_t query = path.find_first_of("?#"); query != std::string::npos)
        path.erase(query);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    const std::size_t last = path.rfind('/');
    if (last != std::string::npos) {
        const std::string key = path.substr(last + 1);
        const std::size_t shown = std::min<std::size_t>(4, key.size() / 3);
        path = path.substr(0, last + 1) + key.substr(0, shown) + "…";
    }
    return scheme + hostOf(url) + path;
}

RtmpSink::~RtmpSink() {
    stop();
}

void RtmpSink::start(const Params& params, std::function<void()> wakeEncoder) {
    stop();
    m_params = params;
    m_wakeEncoder = std::move(wakeEncoder);
    m_sessions = 0;
    m_sent = 0;
    m_dropped = 0;
    m_logged = State::Off;
    m_flapping = false;
    {
        std::lock_guard guard(m_lock);
        m_stopping = false;
    }
    m_stop = std::make_shared<std::atomic<bool>>(false);
    m_state = State::Connecting;
    m_thread = std::thread([this] { run(); });
}

void RtmpSink::stop() {
    if (!m_thread.joinable())
        return;
    *m_stop = true; // every blocking network step polls this; a name lookup is left behind
    {
        std::lock_guard guard(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
    { std::lock_guard guard(m_pauseLock); }
    m_pauseWake.notify_all();
    m_thread.join();
    m_state = State::Off;
}

// Encoder thread: the stream (re)starts; a session writing the previous one ends.
void RtmpSink::begin(const H264StreamInfo& info) {
    std::lock_guard guard(m_lock);
    m_info = info;
    ++m_generation;
    m_awaitingKey = true;
}

void RtmpSink::end() {
    std::lock_guard guard(m_lock);
    ++m_generation;
    m_awaitingKey = true;
}

// Encoder thread: copied into the queue under its lock (no call out), or dropped.
void RtmpSink::deliver(const H264AccessUnit& unit) {
    if (!unit.data || unit.size == 0)
        return;
    bool wake = false;
    {
        std::lock_guard guard(m_lock);
        if (!m_open)
            return;
        if (m_awaitingKey && !unit.keyframe)
            return; // useless to a receiver until the next keyframe
        if (m_count == int(m_entries.size()) || m_bytes + unit.size > kQueuedBytes) {
            // The network is behind: this picture and those that depend on it are lost.
            m_dropped.fetch_add(1, std::memory_order_relaxed);
            m_awaitingKey = true;
            m_keyframeWanted.store(true);
            return;
        }
        Entry& entry = m_entries[std::size_t((m_head + m_count) % int(m_entries.size()))];
        if (entry.bytes.size() < unit.size) {
            try {
                entry.bytes.resize(unit.size); // a picture larger than any before
            } catch (const std::bad_alloc&) {
                m_dropped.fetch_add(1, std::memory_order_relaxed);
                m_awaitingKey = true;
                m_keyframeWanted.store(true);
                return;
            }
        }
        std::memcpy(entry.bytes.data(), unit.data, unit.size);
        entry.size = unit.size;
        entry.captureUs = unit.captureUs;
        entry.keyframe = unit.keyframe;
        entry.generation = m_generation;
        m_awaitingKey = false;
        ++m_count;
        m_bytes += unit.size;
        wake = true;
    }
    if (wake)
        m_changed.notify_one();
}

bool RtmpSink::takeKeyframeRequest() {
    return m_keyframeWanted.exchange(false);
}

std::size_t RtmpSink::queueBytes() const {
    std::lock_guard guard(m_lock);
    std::size_t bytes = 0;
    for (const Entry& entry : m_entries)
        bytes += entry.bytes.capacity();
    return bytes;
}

// The sink's thread.
void RtmpSink::want(bool wanted) {
    if (m_wanted.exchange(wanted) != wanted && m_wakeEncoder)
        m_wakeEncoder();
}

void RtmpSink::openQueue() {
    std::lock_guard guard(m_lock);
    m_entries.resize(kQueuedPictures);
    m_head = m_count = 0;
    m_bytes = 0;
    m_awaitingKey = true;
    m_open = true;
    // The session starts at a keyframe: at once, not at the next periodic one.
    m_keyframeWanted.store(true);
}

void RtmpSink::closeQueue() {
    std::lock_guard guard(m_lock);
    m_open = false;
    std::vector<Entry>().swap(m_entries); // the memory goes with the session
    m_head = m_count = 0;
    m_bytes = 0;
}

void RtmpSink::enter(State state, const std::string& why) {
    m_state.store(state, std::memory_order_release);
    if (state == m_logged || state == State::Connecting ||
        (m_flapping && state == State::Publishing))
        return;
    m_logged = state;
    if (state == State::Publishing)
        std::fprintf(stderr, "tarnick: publishing to %s\n", displayUrl(m_params.url).c_str());
    else if (state == State::Waiting)
        std::fprintf(stderr, "tarnick: cannot publish to %s (%s); trying again\n",
                     displayUrl(m_params.url).c_str(), why.c_str());
    std::fflush(stderr);
}

void RtmpSink::pause(int ms) {
    std::unique_lock guard(m_pauseLock);
    m_pauseWake.wait_for(guard, std::chrono::milliseconds(ms), [this] { return m_stop->load(); });
}

void RtmpSink::run() {
    FlvConnection connection(m_stop);
    int retryMs = m_params.firstRetryMs;
    while (!*m_stop) {
        std::string why;
        bool connected = loadAvFunctions(&why) != nullptr;
        connected = connected &&
                    connection.connect({m_params.url, m_params.caFile, m_params.ioTimeoutMs}, &why);
        if (!connected) {
            if (*m_stop)
                break;
            enter(State::Waiting, why);
            pause(retryMs);
            retryMs = std::min(retryMs * 2, m_params.lastRetryMs);
            continue;
        }
        const std::int64_t openedUs = nowUs();
        const Ended ended = session(connection, &why);
        connection.close();
        if (*m_stop)
            break;
        if (ended == Ended::Renew) {
            retryMs = m_params.firstRetryMs; // it delivered for a day, or the stream restarted
            continue;                        // at once, and without a word: the stream goes on
        }
        // The short pause is earned back only by a session that delivered for a while: a
        // server that accepts and drops at once is tried less and less often.
        const bool steady = nowUs() - openedUs >= std::int64_t(m_params.steadyAfterMs) * 1000;
        if (steady)
            retryMs = m_params.firstRetryMs;
        enter(State::Waiting, why);
        m_flapping = !steady;
        pause(retryMs);
        retryMs = std::min(retryMs * 2, m_params.lastRetryMs);
    }
    connection.close();
    closeQueue();
    want(false);
}

RtmpSink::Ended RtmpSink::session(FlvConnection& connection, std::string* why) {
    try {
        openQueue();
    } catch (const std::bad_alloc&) {
        closeQueue();
        *why = "out of memory";
        return Ended::Failed;
    }
    m_sessions.fetch_add(1, std::memory_order_relaxed);
    want(true);
    enter(State::Publishing);
    const std::int64_t openedUs = nowUs();
    bool steady = false;
    bool headerWritten = false;
    std::uint64_t streamGeneration = 0;
    std::int64_t firstCaptureUs = -1, lastMs = -1;
    Ended ended = Ended::Failed;
    for (;;) {
        const Entry* entry = nullptr;
        H264StreamInfo info;
        {
            std::unique_lock guard(m_lock);
            m_changed.wait_for(guard, std::chrono::milliseconds(kTakeWaitMs),
                               [this] { return m_count > 0 || m_stopping; });
            if (m_stopping)
                break;
            if (m_count > 0) {
                // Stays queued (so never overwritten) until written.
                entry = &m_entries[std::size_t(m_head)];
                if (!headerWritten) {
                    info = m_info;
                    streamGeneration = m_generation;
                }
            }
        }
        const std::int64_t ageUs = nowUs() - openedUs;
        if (!steady && ageUs >= std::int64_t(m_params.steadyAfterMs) * 1000) {
            // Delivered for a while: a session's opening is worth a line again.
            steady = true;
            m_flapping = false;
            enter(State::Publishing);
        }
        if (ageUs >= m_params.renewAfterMs * 1000) {
            ended = Ended::Renew;
            break;
        }
        if (!entry)
            continue;
        bool written = true;
        if (entry->generation != streamGeneration) {
            if (headerWritten) {
                ended = Ended::Renew; // the encoder started a new stream: a new session for it
                break;
            }
            written = false; // left from a stream that ended: skipped
        } else if (!headerWritten) {
            if (!connection.writeHeader(info, why))
                break;
            headerWritten = true;
        }
        if (written) {
            // Milliseconds since the session's first picture, strictly increasing.
            if (firstCaptureUs < 0)
                firstCaptureUs = entry->captureUs;
            std::int64_t ms = (entry->captureUs - firstCaptureUs) / 1000;
            if (ms <= lastMs)
                ms = lastMs + 1;
            lastMs = ms;
            if (!connection.write(entry->bytes.data(), entry->size, ms, entry->keyframe, why))
                break;
            m_sent.fetch_add(1, std::memory_order_relaxed);
        }
        std::lock_guard guard(m_lock);
        m_bytes -= entry->size;
        m_head = (m_head + 1) % int(m_entries.size());
        --m_count;
    }
    closeQueue();
    want(false);
    return ended;
}
