// Publisher: a thread that opens a session (H264Sender), sends every queued frame through it,
// and on failure waits with a growing pause and opens a new one.
#include "Publisher.h"

#include "H264Sender.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

std::int64_t Publisher::nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

Publisher::~Publisher() {
    stop();
}

std::string Publisher::hostOf(const std::string& url) {
    const std::size_t schemeEnd = url.find("://");
    const std::size_t start = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const std::size_t end = url.find_first_of("/?#", start);
    std::string host = url.substr(start, end == std::string::npos ? end : end - start);
    if (const std::size_t at = host.rfind('@'); at != std::string::npos)
        host.erase(0, at + 1);
    return host;
}

std::string Publisher::displayUrl(const std::string& url) {
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

bool Publisher::isPublishUrl(const std::string& url) {
    return H264Sender::isPublishUrl(url);
}

std::string Publisher::target() const {
    return hostOf(m_settings.url);
}

std::string Publisher::encoderName() const {
    std::lock_guard guard(m_infoLock);
    return m_encoderName;
}

void Publisher::setTiming(int firstRetryMs, int lastRetryMs, int ioTimeoutMs) {
    m_firstRetryMs = firstRetryMs;
    m_lastRetryMs = lastRetryMs;
    m_ioTimeoutMs = ioTimeoutMs;
}

void Publisher::setSessionTiming(int steadyAfterMs, std::int64_t renewAfterMs) {
    m_steadyAfterMs = steadyAfterMs;
    m_renewAfterMs = renewAfterMs;
}

bool Publisher::start(const PublishSettings& settings, int width, int height, int bitCount,
                      int framesPerSecond) {
    stop();
    if (!H264Sender::isPublishUrl(settings.url)) {
        std::fprintf(stderr, "tarnick: cannot publish to \"%s\": not an rtmp:// or rtmps:// URL\n",
                     displayUrl(settings.url).c_str());
        std::fflush(stderr);
        return false;
    }
    if (width < 2 || height < 2 || (bitCount != 24 && bitCount != 32)) {
        std::fprintf(stderr, "tarnick: cannot publish %dx%d pictures of %d bits\n", width, height,
                     bitCount);
        std::fflush(stderr);
        return false;
    }
    m_settings = settings;
    m_settings.bitrateKbps = std::clamp(settings.bitrateKbps, PublishSettings::kMinBitrateKbps,
                                        PublishSettings::kMaxBitrateKbps);
    m_settings.keyframeSeconds =
        std::clamp(settings.keyframeSeconds, PublishSettings::kMinKeyframeSeconds,
                   PublishSettings::kMaxKeyframeSeconds);
    m_width.store(width, std::memory_order_relaxed);
    m_height.store(height, std::memory_order_relaxed);
    m_bitCount = bitCount;
    m_fps = std::clamp(framesPerSecond, 1, 240);
    // Buffers come when a session opens: waiting for the network holds no frame memory.
    m_slots.reset(std::size_t(H264Sender::strideOf(width, bitCount)) * std::size_t(height));
    m_sent = 0;
    m_sessions = 0;
    m_encodersOpened = 0;
    m_logged = State::Off;
    m_flapping = false;
    m_stop = std::make_shared<std::atomic<bool>>(false);
    m_state = State::Connecting;
    m_thread = std::thread([this] { run(); });
    return true;
}

void Publisher::stop() {
    if (!m_thread.joinable())
        return;
    m_accepting = false;
    *m_stop = true; // every blocking network step polls this; a name lookup is left behind
    m_slots.wake();
    { std::lock_guard guard(m_pauseLock); }
    m_pauseWake.notify_all();
    m_thread.join();
    m_state = State::Off;
}

void Publisher::pushFrame(const unsigned char* rows, int width, int height, int bitCount) {
    if (!m_accepting.load(std::memory_order_acquire))
        return;
    pushFrame(rows, width, height, bitCount, nowUs());
}

void Publisher::pushFrame(const unsigned char* rows, int width, int height, int bitCount,
                          std::int64_t captureUs) {
    // A frame of another format than the one published (a camera that came back at another
    // size before publishing restarted) is refused by its size, checked under the slots' lock.
    if (!rows || width <= 0 || height <= 0 || !m_accepting.load(std::memory_order_acquire))
        return;
    if (bitCount != 24 && bitCount != 32)
        return;
    if (width != m_width.load(std::memory_order_relaxed) ||
        height != m_height.load(std::memory_order_relaxed))
        return;
    m_slots.push(rows, std::size_t(H264Sender::strideOf(width, bitCount)) * std::size_t(height),
                 captureUs);
}

// The publisher's thread: states and the journal's lines.
void Publisher::enter(State state, const std::string& why) {
    m_state.store(state, std::memory_order_release);
    if (state == m_logged || state == State::Connecting ||
        (m_flapping && state == State::Publishing))
        return;
    m_logged = state;
    if (state == State::Publishing)
        std::fprintf(stderr, "tarnick: publishing to %s\n", displayUrl(m_settings.url).c_str());
    else if (state == State::Waiting)
        std::fprintf(stderr, "tarnick: cannot publish to %s (%s); trying again\n",
                     displayUrl(m_settings.url).c_str(), why.c_str());
    std::fflush(stderr);
}

void Publisher::pause(int ms) {
    m_slots.discardQueued();
    std::unique_lock guard(m_pauseLock);
    m_pauseWake.wait_for(guard, std::chrono::milliseconds(ms), [this] { return m_stop->load(); });
}

// The publisher's thread.
void Publisher::run() {
    H264Sender sender(m_stop);
    H264Sender::Params params;
    params.url = m_settings.url;
    params.caFile = m_settings.caFile;
    params.width = m_width;
    params.height = m_height;
    params.bitCount = m_bitCount;
    params.framesPerSecond = m_fps;
    params.bitrateKbps = m_settings.bitrateKbps;
    params.keyframeSeconds = m_settings.keyframeSeconds;
    params.ioTimeoutMs = m_ioTimeoutMs;

    int retryMs = m_firstRetryMs;
    while (!*m_stop) {
        std::string why;
        const bool opened = sender.open(params, &why);
        m_encodersOpened.store(sender.encodersOpened(), std::memory_order_relaxed);
        if (!opened) {
            if (*m_stop)
                break;
            enter(State::Waiting, why);
            m_slots.freeBuffers();
            pause(retryMs);
            retryMs = std::min(retryMs * 2, m_lastRetryMs);
            continue;
        }
        const std::int64_t openedUs = nowUs();
        const bool renewed = deliver(sender, &why);
        sender.close();
        if (*m_stop)
            break;
        if (renewed) {
            retryMs = m_firstRetryMs; // it delivered for a day
            continue;                 // at once, and without a word: the stream goes on
        }
        // The short pause is earned back only by a session that delivered for a while: a
        // server that accepts and drops at once is tried less and less often.
        const bool steady = nowUs() - openedUs >= std::int64_t(m_steadyAfterMs) * 1000;
        if (steady)
            retryMs = m_firstRetryMs;
        enter(State::Waiting, why);
        m_flapping = !steady;
        m_slots.freeBuffers();
        pause(retryMs);
        retryMs = std::min(retryMs * 2, m_lastRetryMs);
    }
    sender.close();
    m_slots.freeBuffers();
}

bool Publisher::deliver(H264Sender& sender, std::string* why) {
    {
        std::lock_guard guard(m_infoLock);
        m_encoderName = sender.encoderName();
    }
    if (!m_slots.allocate()) {
        *why = "out of memory";
        return false;
    }
    m_sessions.fetch_add(1, std::memory_order_relaxed);
    m_slots.discardQueued();
    m_accepting.store(true, std::memory_order_release);
    enter(State::Publishing);
    const std::int64_t openedUs = nowUs();
    bool steady = false;
    bool sent = true;
    bool renew = false;
    while (!*m_stop && sent && !renew) {
        const int slot = m_slots.take(100);
        const std::int64_t ageUs = nowUs() - openedUs;
        if (!steady && ageUs >= std::int64_t(m_steadyAfterMs) * 1000) {
            // Delivered for a while: a session's opening is worth a line again.
            steady = true;
            m_flapping = false;
            enter(State::Publishing);
        }
        renew = ageUs >= m_renewAfterMs * 1000;
        if (slot < 0)
            continue;
        sent = sender.send(m_slots.data(slot), m_slots.captureUs(slot), why);
        m_slots.release(slot);
        if (sent)
            m_sent.fetch_add(1, std::memory_order_relaxed);
    }
    m_accepting.store(false, std::memory_order_release);
    return sent;
}
