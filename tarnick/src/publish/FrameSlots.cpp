// FrameSlots: the bounded, newest-wins queue between the camera's thread and the encoder's.
#include "FrameSlots.h"

#include <chrono>
#include <cstring>
#include <new>

void FrameSlots::reset(std::size_t frameBytes, int count) {
    std::vector<Slot> old;
    {
        std::lock_guard guard(m_lock);
        old.swap(m_slots);
        m_slots.resize(std::size_t(count < 2 ? 2 : count));
        m_frameBytes = frameBytes;
        m_allocated = false;
        m_dropped.store(0, std::memory_order_relaxed);
        m_woken = false;
    }
    // The old buffers are freed outside the lock.
}

bool FrameSlots::allocate() {
    std::size_t count = 0, bytes = 0;
    {
        std::lock_guard guard(m_lock);
        if (m_allocated)
            return true;
        count = m_slots.size();
        bytes = m_frameBytes;
    }
    // Allocated and zeroed outside the lock: the producer's try-lock never meets a long hold.
    std::vector<std::vector<unsigned char>> buffers;
    try {
        buffers.assign(count, std::vector<unsigned char>(bytes));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::lock_guard guard(m_lock);
    if (m_slots.size() != count || m_frameBytes != bytes)
        return false; // reset meanwhile
    for (std::size_t i = 0; i < count; ++i) {
        m_slots[i].bytes.swap(buffers[i]);
        m_slots[i].state = SlotState::Free;
    }
    m_allocated = true;
    return true;
}

void FrameSlots::freeBuffers() {
    std::vector<std::vector<unsigned char>> buffers;
    {
        std::lock_guard guard(m_lock);
        m_allocated = false;
        for (Slot& slot : m_slots) {
            buffers.emplace_back().swap(slot.bytes);
            slot.state = SlotState::Free;
        }
    }
    // Freed outside the lock.
}

std::size_t FrameSlots::allocatedBytes() const {
    std::lock_guard guard(m_lock);
    std::size_t total = 0;
    for (const Slot& slot : m_slots)
        total += slot.bytes.size();
    return total;
}

// The producer only tries the lock: the consumer holds it for a few index updates, and a
// reset holds it while no frame is wanted anyway. The copy runs under the lock so that a
// reset never frees a buffer being written.
bool FrameSlots::push(const unsigned char* frame, std::size_t bytes, std::int64_t captureUs) {
    std::unique_lock guard(m_lock, std::try_to_lock);
    if (!guard.owns_lock()) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (!m_allocated || bytes != m_frameBytes)
        return false;
    Slot* target = nullptr;
    for (Slot& slot : m_slots)
        if (slot.state == SlotState::Free) {
            target = &slot;
            break;
        }
    if (!target) {
        for (Slot& slot : m_slots)
            if (slot.state == SlotState::Queued && (!target || slot.sequence < target->sequence))
                target = &slot;
        // The oldest queued frame makes way for this one (or, all slots taken, this one is
        // lost); one frame is lost either way.
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        if (!target)
            return false;
    }
    if (bytes > 0)
        std::memcpy(target->bytes.data(), frame, bytes);
    target->captureUs = captureUs;
    target->sequence = m_nextSequence++;
    target->state = SlotState::Queued;
    guard.unlock();
    m_queued.notify_one();
    return true;
}

int FrameSlots::take(int waitMs) {
    std::unique_lock guard(m_lock);
    auto oldest = [this] {
        int found = -1;
        for (std::size_t i = 0; i < m_slots.size(); ++i)
            if (m_slots[i].state == SlotState::Queued &&
                (found < 0 || m_slots[i].sequence < m_slots[std::size_t(found)].sequence))
                found = int(i);
        return found;
    };
    int found = oldest();
    if (found < 0 && waitMs > 0) {
        m_queued.wait_for(guard, std::chrono::milliseconds(waitMs),
                          [&] { return m_woken || (found = oldest()) >= 0; });
        m_woken = false;
    }
    if (found >= 0)
        m_slots[std::size_t(found)].state = SlotState::Taken;
    return found;
}

void FrameSlots::release(int slot) {
    std::lock_guard guard(m_lock);
    m_slots[std::size_t(slot)].state = SlotState::Free;
}

void FrameSlots::discardQueued() {
    std::lock_guard guard(m_lock);
    for (Slot& slot : m_slots)
        if (slot.state == SlotState::Queued)
            slot.state = SlotState::Free;
}

void FrameSlots::wake() {
    {
        std::lock_guard guard(m_lock);
        m_woken = true;
    }
    m_queued.notify_all();
}

long FrameSlots::dropped() const {
    return m_dropped.load(std::memory_order_relaxed);
}
