// FramePool: slot selection, newest-frame bookkeeping and the encoder's hand-off.
#include "frame_pool.h"

#include "jpeg_codec.h"
#include "jpeg_tables.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tavrel {

namespace {
// Nullptr when no memory could be mapped; the pool then simply has fewer slots.
std::unique_ptr<FrameSlot> makeSlot(const DibFormat& format) {
    auto slot = std::make_unique<FrameSlot>();
    slot->raw = MappedBuffer(format.imageBytes());
    if (!slot->raw.valid())
        return nullptr;
    return slot;
}
} // namespace

FramePool::FramePool(const DibFormat& format, size_t slots) : m_format(format) {
    for (size_t i = 0; i < slots; ++i)
        if (auto slot = makeSlot(format))
            m_slots.push_back(std::move(slot));
}

bool FramePool::keepsakeDue(std::chrono::steady_clock::time_point now) const {
    const auto last = m_lastOffer.load(std::memory_order_relaxed);
    if (last == 0)
        return true;
    const std::chrono::steady_clock::time_point lastOffer{
        std::chrono::steady_clock::duration(last)};
    return now - m_lastKeepsake >= kKeepsakeEvery || now - lastOffer >= kPauseBeforeKeepsake;
}

void FramePool::setWatched(bool watched) {
    m_watched.store(watched, std::memory_order_release);
}

std::chrono::steady_clock::duration FramePool::sinceLastOffer() const {
    const auto last = m_lastOffer.load(std::memory_order_relaxed);
    if (last == 0)
        return std::chrono::steady_clock::duration::max();
    return std::chrono::steady_clock::now().time_since_epoch() -
           std::chrono::steady_clock::duration(last);
}

uint64_t FramePool::snapshotSeq() {
    std::lock_guard lock(m_mutex);
    return m_skippedSinceKept ? m_seq + 1 : m_seq;
}

bool FramePool::encodePending() {
    std::lock_guard lock(m_mutex);
    return m_newestRaw && !(m_newestJpeg && m_newestJpeg->seq >= m_newestRaw->seq);
}

FramePool::Published FramePool::publish(const uint8_t* rows, size_t bytes, int64_t timestampUs) {
    if (bytes != m_format.imageBytes()) {
        std::lock_guard lock(m_mutex);
        dropRefLocked(m_staged); // it belonged to this frame
        return Published::Refused;
    }
    const auto now = std::chrono::steady_clock::now();
    const bool keepsake = keepsakeDue(now);
    m_lastOffer.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    if (!m_watched.load(std::memory_order_acquire)) {
        if (keepsake) {
            m_lastKeepsake = now;
            return keepJpegOnly(rows, timestampUs);
        }
        std::lock_guard lock(m_mutex);
        ++m_counters.unwatched;
        m_skippedSinceKept = true;
        dropRefLocked(m_staged);
        // Nobody will send the newest raw frame, and it is older than what the camera has
        // shown since: its slot is free again and its pages go at the next trim.
        dropRefLocked(m_newestRaw);
        return Published::Unwatched;
    }
    FrameSlot* slot = nullptr;
    {
        std::lock_guard lock(m_mutex);
        // Nobody but the pool holds the newest frame (no viewer is sending it, the encoder is
        // not reading it): it is rewritten in place, so a camera that nobody watches keeps one
        // frame resident, not two. It is no one's newest frame while it is being written.
        if (m_newestRaw && m_newestRaw->refs == 1)
            slot = std::exchange(m_newestRaw, nullptr); // its reference becomes the writer's
        for (auto& s : m_slots)
            if (!slot && s->refs == 0)
                slot = s.get();
        if (!slot) {
            ++m_counters.dropped;
            dropRefLocked(m_staged); // it belonged to this frame
            return Published::Dropped;
        }
        slot->refs = 1; // the writer's, handed over to "newest" below
        slot->seq = 0;
        slot->resident = slot->usedSinceTrim = true;
    }
    std::memcpy(slot->raw.data(), rows, bytes); // the slot's capacity: one frame
    {
        std::lock_guard lock(m_mutex);
        slot->seq = ++m_seq;
        slot->timestampUs = timestampUs;
        dropRefLocked(m_newestRaw);
        m_newestRaw = slot;
        m_skippedSinceKept = false;
        ++m_counters.published;
        // The camera's own JPEG of this very frame: it becomes the newest JPEG at the same
        // moment as the frame, and the encoder (which only takes frames newer than the newest
        // JPEG) leaves this one alone. The staged reference becomes the newest JPEG's.
        if (m_staged) {
            m_staged->seq = slot->seq;
            m_staged->timestampUs = timestampUs;
            dropRefLocked(m_newestJpeg);
            m_newestJpeg = std::exchange(m_staged, nullptr);
            ++m_counters.passedThrough;
        }
    }
    m_encodeWake.notify_one();
    return Published::Kept;
}

// Camera thread, nobody watching: the frame becomes the newest JPEG without a raw copy. The
// camera's own JPEG of it when one was staged; else it is encoded here, a few milliseconds
// once every few seconds, and the encoder's planes are given back at once.
FramePool::Published FramePool::keepJpegOnly(const uint8_t* rows, int64_t timestampUs) {
    EncodedFrame* out = nullptr;
    {
        std::lock_guard lock(m_mutex);
        out = std::exchange(m_staged, nullptr); // its reference becomes ours
    }
    if (!out) {
        out = takeEncodeBuffer();
        if (!out)
            return Published::Dropped;
        out->size =
            m_keepsakeEncoder.encode(m_format, rows, out->bytes.data(), out->bytes.capacity());
        m_keepsakeEncoder.discardScratch();
    }
    std::lock_guard lock(m_mutex);
    if (out->size == 0) {
        --out->refs;
        return Published::Dropped;
    }
    out->seq = ++m_seq;
    out->timestampUs = timestampUs;
    dropRefLocked(m_newestJpeg);
    m_newestJpeg = out; // our reference becomes the "newest JPEG" one
    dropRefLocked(m_newestRaw);
    m_skippedSinceKept = false;
    ++m_counters.keepsakes;
    return Published::Kept;
}

template <typename T> void FramePool::dropRefLocked(T*& slot) {
    if (slot)
        --slot->refs;
    slot = nullptr;
}

FrameSlot* FramePool::acquireRaw(uint64_t afterSeq) {
    std::lock_guard lock(m_mutex);
    if (!m_newestRaw || m_newestRaw->seq <= afterSeq)
        return nullptr;
    ++m_newestRaw->refs;
    return m_newestRaw;
}

EncodedFrame* FramePool::acquireJpeg(uint64_t afterSeq) {
    std::lock_guard lock(m_mutex);
    if (!m_newestJpeg || m_newestJpeg->seq <= afterSeq)
        return nullptr;
    ++m_newestJpeg->refs;
    return m_newestJpeg;
}

void FramePool::release(FrameSlot* slot) {
    std::lock_guard lock(m_mutex);
    --slot->refs;
}

void FramePool::release(EncodedFrame* jpeg) {
    std::lock_guard lock(m_mutex);
    --jpeg->refs;
}

uint64_t FramePool::newestSeq() {
    std::lock_guard lock(m_mutex);
    return m_seq; // also while the newest frame is being rewritten in place
}

uint64_t FramePool::newestJpegSeq() {
    std::lock_guard lock(m_mutex);
    return m_newestJpeg ? m_newestJpeg->seq : 0;
}

size_t FramePool::keepFree(size_t headroom, size_t cap) {
    size_t have = 0;
    size_t free = 0;
    {
        std::lock_guard lock(m_mutex);
        have = m_slots.size();
        for (auto& s : m_slots)
            free += s->refs == 0;
    }
    if (free >= headroom || have >= cap)
        return free;
    const size_t add = std::min(headroom - free, cap - have);
    std::vector<std::unique_ptr<FrameSlot>> fresh; // allocated outside the lock
    for (size_t i = 0; i < add; ++i)
        if (auto slot = makeSlot(m_format))
            fresh.push_back(std::move(slot));
    std::lock_guard lock(m_mutex);
    for (auto& s : fresh)
        m_slots.push_back(std::move(s));
    free = 0;
    for (auto& s : m_slots)
        free += s->refs == 0;
    return free;
}

void FramePool::trim(size_t count, size_t resting) {
    // Slots kept but unused give their pages back; each is held meanwhile, so the camera does
    // not write it while its pages go.
    std::vector<FrameSlot*> idle;
    trimSlots(count, resting, idle);
    for (FrameSlot* slot : idle)
        slot->raw.discard();
    std::lock_guard lock(m_mutex);
    for (FrameSlot* slot : idle) {
        slot->resident = false;
        --slot->refs;
    }
}

void FramePool::trimSlots(size_t count, size_t resting, std::vector<FrameSlot*>& idle) {
    // Both are freed after the lock is let go (declared before it, destroyed after it).
    std::vector<std::unique_ptr<FrameSlot>> spare;
    std::vector<std::unique_ptr<EncodedFrame>> spareJpeg;
    std::lock_guard lock(m_mutex);
    for (size_t i = m_slots.size(); i-- > 0 && spare.size() < count && m_slots.size() > resting;) {
        if (m_slots[i]->refs != 0)
            continue;
        spare.push_back(std::move(m_slots[i]));
        m_slots.erase(m_slots.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (auto& s : m_slots) {
        if (s->refs == 0 && s->resident && !s->usedSinceTrim) {
            s->refs = 1;
            idle.push_back(s.get());
        }
        s->usedSinceTrim = false;
    }
    // A JPEG buffer that was never needed through the whole interval is surplus; with no
    // encode at all in it (nobody watching), every free one beyond the resting count is.
    size_t surplus = m_encodedLowFree;
    m_encodedLowFree = SIZE_MAX;
    for (size_t i = m_encoded.size();
         i-- > 0 && surplus > 0 && m_encoded.size() > kRestingEncodedBuffers;) {
        if (m_encoded[i]->refs != 0)
            continue;
        spareJpeg.push_back(std::move(m_encoded[i]));
        m_encoded.erase(m_encoded.begin() + static_cast<std::ptrdiff_t>(i));
        --surplus;
    }
}

void FramePool::setJpegDemand(int readers) {
    {
        std::lock_guard lock(m_mutex);
        m_jpegDemand = readers;
    }
    m_encodeWake.notify_one();
}

FrameSlot* FramePool::waitForEncodeWork(uint64_t lastEncodedSeq) {
    std::unique_lock lock(m_mutex);
    m_encodeWake.wait(lock, [&] {
        // Only a frame newer than the newest JPEG needs encoding: a frame that came with the
        // camera's own JPEG has one already.
        return m_shutdown ||
               (m_jpegDemand > 0 && m_newestRaw && m_newestRaw->seq > lastEncodedSeq &&
                !(m_newestJpeg && m_newestJpeg->seq >= m_newestRaw->seq));
    });
    if (m_shutdown)
        return nullptr;
    ++m_newestRaw->refs;
    return m_newestRaw;
}

EncodedFrame* FramePool::takeEncodeBuffer() {
    {
        std::lock_guard lock(m_mutex);
        EncodedFrame* found = nullptr;
        size_t free = 0;
        for (auto& e : m_encoded)
            if (e->refs == 0) {
                ++free;
                if (!found)
                    found = e.get();
            }
        if (found) {
            found->refs = 1;
            m_encodedLowFree = std::min(m_encodedLowFree, free - 1);
            return found;
        }
        if (m_encoded.size() >= kMaxEncodedBuffers)
            return nullptr;
    }
    // Every buffer is held by a viewer still sending it: add one. Mapping it touches no page.
    auto fresh = std::make_unique<EncodedFrame>();
    fresh->bytes = MappedBuffer(JpegEncoder::maxEncodedBytes(m_format));
    if (!fresh->bytes.valid())
        return nullptr;
    fresh->refs = 1;
    std::lock_guard lock(m_mutex);              // released before `fresh`, should it not be kept
    if (m_encoded.size() >= kMaxEncodedBuffers) // the other caller added one meanwhile
        return nullptr;
    m_encoded.push_back(std::move(fresh));
    m_encodedLowFree = 0;
    return m_encoded.back().get();
}

bool FramePool::stageJpeg(const uint8_t* jpeg, size_t size) {
    // Nobody watching and no keepsake due: the frame will not be kept, nor its JPEG, and
    // there is nothing to encode instead.
    if (!m_watched.load(std::memory_order_acquire) &&
        !keepsakeDue(std::chrono::steady_clock::now()))
        return true;
    EncodedFrame* buffer = takeEncodeBuffer();
    if (!buffer)
        return false;
    buffer->size =
        completeJpeg(jpeg, size, m_format, buffer->bytes.data(), buffer->bytes.capacity());
    std::lock_guard lock(m_mutex);
    dropRefLocked(m_staged); // one that no frame followed
    if (buffer->size == 0) {
        --buffer->refs;
        return false;
    }
    m_staged = buffer;
    return true;
}

void FramePool::finishEncode(FrameSlot* slot, EncodedFrame* out, size_t jpegSize) {
    std::lock_guard lock(m_mutex);
    ++m_counters.encodes;
    --slot->refs; // the raw frame is no longer needed for JPEG
    // A camera JPEG of a newer frame may have arrived while this one was encoded: the newest
    // JPEG never goes back in time.
    if (m_newestJpeg && m_newestJpeg->seq >= slot->seq)
        jpegSize = 0;
    if (jpegSize == 0) {
        --out->refs;
        return;
    }
    out->size = jpegSize;
    out->seq = slot->seq;
    out->timestampUs = slot->timestampUs;
    dropRefLocked(m_newestJpeg);
    m_newestJpeg = out; // the encoder's reference becomes the "newest JPEG" one
}

void FramePool::shutdown() {
    {
        std::lock_guard lock(m_mutex);
        m_shutdown = true;
    }
    m_encodeWake.notify_all();
}

PoolCounters FramePool::counters() {
    std::lock_guard lock(m_mutex);
    PoolCounters c = m_counters;
    c.slots = m_slots.size();
    c.encodedBuffers = m_encoded.size();
    return c;
}

} // namespace tavrel
